// view: live frames of one or more cameras in a browser, served on the
// loopback address only.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "image_io.h"
#include "viewer_page.h"

using nlohmann::json;

namespace nuvctl {

namespace {

std::atomic<bool> g_stop{false};
extern "C" void OnStopSignal(int) { g_stop = true; }

struct Property {
    const char *name;
    int min;
    int max;
    bool nuv2;
    decltype(Api::NuvSetGain) Api::*set;
    decltype(Api::NuvGetGain) Api::*get;
};

const Property kProperties[] = {
    {"led", 0, 64, false, &Api::NuvSetLed, &Api::NuvGetLed},
    {"gain", 0, 240, false, &Api::NuvSetGain, &Api::NuvGetGain},
    {"exposure", -13, 0, false, &Api::NuvSetExposure, &Api::NuvGetExposure},
    {"camera_no", 1, 2, false, &Api::NuvSetCameraNo, &Api::NuvGetCameraNo},
    {"defect_correction", 0, 1, true, &Api::NuvSetPixelDefectOnOff, &Api::NuvGetPixelDefectOnOff},
    {"shading_correction", 0, 1, true, &Api::NuvSetShadingCorrectionOnOff, &Api::NuvGetShadingCorrectionOnOff},
};

// One camera: its stream is pulled on a thread of its own; the newest frame
// and its statistics are kept for the page.
class Live {
public:
    Live(int index, const DeviceEntry &device, const OpenRequest &request)
        : index_(index), camera_(device, request) {
        thread_ = std::thread([this] { Pull(); });
    }
    ~Live() {
        stop_ = true;
        thread_.join();
    }

    int Index() const { return index_; }
    const Camera &Cam() const { return camera_; }

    json Status() {
        json controls = json::object();
        const Api &api = Library();
        for (const Property &p : kProperties) {
            if (p.nuv2 && camera_.Device().kind != 1) continue;
            int value = 0;
            if ((api.*p.get)(camera_.Handle(), &value) == 1) controls[p.name] = value;
        }
        std::lock_guard<std::mutex> hold(lock_);
        return {{"fps", fps_}, {"frames", frames_}, {"lo", lo_}, {"hi", hi_}, {"histogram", histogram_},
                {"controls", controls}};
    }

    // The newest frame, auto-levelled to 8 bits, as PNG; empty before the
    // first frame.
    std::string Png() {
        std::vector<std::uint8_t> display;
        int w;
        int h;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (words_.empty()) return {};
            w = width_;
            h = height_;
            display.resize(words_.size());
            const double span = std::max(1, hi_ - lo_);
            for (std::size_t i = 0; i < words_.size(); ++i) {
                const double v = (static_cast<double>(words_[i]) - lo_) * 255.0 / span;
                display[i] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
            }
        }
        return EncodePng8(w, h, display);
    }

    std::string Set(const std::string &name, const std::string &text) {
        for (const Property &p : kProperties) {
            if (name != p.name) continue;
            if (p.nuv2 && camera_.Device().kind != 1) return name + " exists on NUV2 cameras only";
            int value = 0;
            try {
                std::size_t used = 0;
                value = std::stoi(text, &used);
                if (used != text.size()) throw std::invalid_argument(text);
            } catch (const std::exception &) {
                return name + ": \"" + text + "\" is not a whole number";
            }
            if (value < p.min || value > p.max)
                return name + "=" + text + " is outside " + std::to_string(p.min) + ".." + std::to_string(p.max);
            if ((Library().*p.set)(camera_.Handle(), value) != 1)
                return "the camera refused " + name + "=" + text + " (its own range may be narrower)";
            return {};
        }
        return "unknown control " + name;
    }

private:
    void Pull() {
        const Api &api = Library();
        const OpenRequest &r = camera_.Request();
        const bool words = camera_.HasControl() && camera_.Mode() >= 0 && r.format == "YUY2";
        std::vector<std::uint8_t> bytes;
        std::vector<double> times;
        while (!stop_) {
            const int size = api.NuvGetBufferSize(camera_.Handle());
            const std::size_t room = std::max<std::size_t>(size > 0 ? static_cast<std::size_t>(size) : 0,
                                                           static_cast<std::size_t>(r.width) * r.height * 2);
            bytes.resize(room + 16);
            if (size <= 0 || api.NuvReceiveImage(camera_.Handle(), bytes.data()) != 1) {
                Pause(3);
                continue;
            }
            const std::size_t n = static_cast<std::size_t>(r.width) * r.height;
            std::vector<std::uint16_t> frame(n, 0);
            for (std::size_t i = 0; i < n && 2 * i + 1 < bytes.size(); ++i) {
                // A frame of another format is shown as its bytes.
                frame[i] = words ? static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8))
                                 : static_cast<std::uint16_t>(bytes[i] * 4);
            }
            std::vector<int> fine(1024, 0);
            for (std::uint16_t v : frame) ++fine[std::min<int>(v, 1023)];
            // Display levels: the 0.5th and 99.5th percentiles.
            const std::size_t cut = n / 200;
            int lo = 0;
            int hi = 1023;
            std::size_t seen = 0;
            for (int v = 0; v < 1024; ++v) {
                seen += static_cast<std::size_t>(fine[static_cast<std::size_t>(v)]);
                if (seen > cut) {
                    lo = v;
                    break;
                }
            }
            seen = 0;
            for (int v = 1023; v >= 0; --v) {
                seen += static_cast<std::size_t>(fine[static_cast<std::size_t>(v)]);
                if (seen > cut) {
                    hi = v;
                    break;
                }
            }
            std::vector<int> histogram(64, 0);
            for (int v = 0; v < 1024; ++v) histogram[static_cast<std::size_t>(v / 16)] += fine[static_cast<std::size_t>(v)];
            const double now = NowMs();
            times.push_back(now);
            while (!times.empty() && times.front() < now - 1000.0) times.erase(times.begin());
            std::lock_guard<std::mutex> hold(lock_);
            words_.swap(frame);
            width_ = r.width;
            height_ = r.height;
            ++frames_;
            fps_ = times.size() > 1 ? 1000.0 * (times.size() - 1) / std::max(1.0, times.back() - times.front()) : 0.0;
            lo_ = lo;
            hi_ = std::max(hi, lo + 1);
            histogram_ = histogram;
        }
    }

    int index_;
    Camera camera_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;
    std::vector<std::uint16_t> words_;
    int width_ = 0;
    int height_ = 0;
    long long frames_ = 0;
    double fps_ = 0.0;
    int lo_ = 0;
    int hi_ = 1023;
    std::vector<int> histogram_ = std::vector<int>(64, 0);
};

}  // namespace

void View(const ViewArgs &args) {
    std::vector<std::unique_ptr<Live>> cameras;
    for (std::size_t i = 0; i < args.devices.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (args.devices[j].position == args.devices[i].position)
                throw Failure(args.devices[i].Label() + " is selected twice");
        }
        cameras.push_back(std::make_unique<Live>(static_cast<int>(i), args.devices[i], args.request));
    }
    auto find = [&](const httplib::Request &req) -> Live * {
        const int cam = req.has_param("cam") ? std::atoi(req.get_param_value("cam").c_str()) : 0;
        return cam >= 0 && cam < static_cast<int>(cameras.size()) ? cameras[static_cast<std::size_t>(cam)].get() : nullptr;
    };
    httplib::Server server;
    server.Get("/", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(kViewerPage, "text/html; charset=utf-8");
    });
    server.Get("/api/cameras", [&](const httplib::Request &, httplib::Response &res) {
        json out = json::array();
        for (const auto &live : cameras) {
            const Camera &c = live->Cam();
            out.push_back({{"index", live->Index()},
                           {"label", c.Device().Label()},
                           {"kind", c.Device().kind == 1 ? "NUV2" : c.Device().kind == 0 ? "NUV" : "video"},
                           {"width", c.Request().width},
                           {"height", c.Request().height}});
        }
        res.set_content(out.dump(), "application/json");
    });
    server.Get("/api/status", [&](const httplib::Request &req, httplib::Response &res) {
        Live *live = find(req);
        if (live == nullptr) {
            res.status = 404;
            res.set_content(json({{"error", "no such camera"}}).dump(), "application/json");
            return;
        }
        res.set_content(live->Status().dump(), "application/json");
    });
    server.Get("/api/frame.png", [&](const httplib::Request &req, httplib::Response &res) {
        Live *live = find(req);
        const std::string png = live != nullptr ? live->Png() : std::string();
        if (png.empty()) {
            res.status = live == nullptr ? 404 : 503;
            return;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_content(png, "image/png");
    });
    server.Post("/api/set", [&](const httplib::Request &req, httplib::Response &res) {
        Live *live = find(req);
        std::string error = live == nullptr ? "no such camera" : "";
        if (error.empty() && (!req.has_param("name") || !req.has_param("value"))) error = "name and value are needed";
        if (error.empty()) error = live->Set(req.get_param_value("name"), req.get_param_value("value"));
        if (!error.empty()) res.status = 400;
        res.set_content(json({{"ok", error.empty()}, {"error", error.empty() ? json(nullptr) : json(error)}}).dump(),
                        "application/json");
    });
    // Loopback only: the viewer is for the person at this machine.
    int port = args.port;
    if (port == 0) {
        port = server.bind_to_any_port("127.0.0.1");
        if (port < 0) throw Failure("cannot listen on 127.0.0.1: no free port");
    } else if (!server.bind_to_port("127.0.0.1", port)) {
        throw Failure("cannot listen on 127.0.0.1:" + std::to_string(port) + " (in use? choose another with --port)");
    }
    std::printf("serving http://127.0.0.1:%d/ (Ctrl-C stops)\n", port);
    std::fflush(stdout);
    g_stop = false;
    auto previousInt = std::signal(SIGINT, OnStopSignal);
    auto previousTerm = std::signal(SIGTERM, OnStopSignal);
    std::thread watcher([&] {
        while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server.stop();
    });
    const bool listened = server.listen_after_bind();
    g_stop = true;
    watcher.join();
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    if (!listened && !g_stop) throw Failure("the viewer's server stopped unexpectedly");
}

}  // namespace nuvctl
