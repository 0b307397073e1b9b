// view: live frames of one or more cameras in a browser, served on the
// loopback address only, to the page of this run alone (viewer_guard.h).
//
// The page receives each frame's own values (10-bit words of a NUV/NUV2
// camera) and draws them itself: levels, the saturation overlay, the value
// under the cursor and the statistics of a region all come from the values
// the library delivered, never from a picture already scaled for display.
#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "image_io.h"
#include "viewer_guard.h"
#include "viewer_http.h"
#include "viewer_page.h"

using nlohmann::json;

namespace nuvctl {

namespace {

static_assert(std::endian::native == std::endian::little, "frames are sent as the host's 16-bit words");

// How the page is to read a frame's values.
enum class Layout {
    kWords,  // a NUV/NUV2 camera at one of its modes: 10-bit values in 16-bit words
    kLuma,   // another device's YUY2: the luma byte of each pixel
    kBytes,  // anything else: each byte a value
};

struct Frame {
    long long sequence = 0;  // 1 for the first frame this run received from the camera, then 2, 3, ...
    int width = 0;
    int height = 0;
    Layout layout = Layout::kWords;
    int counterPixels = 0;  // leading values that carry the simulated camera's frame counter
    std::vector<std::uint16_t> values;
};

// The simulated camera writes its frame counter into the first four words of
// every frame: they are not image and stay out of histograms and statistics.
constexpr int kSimCounterWords = 4;

// Frames the page was sent lately, so that a snapshot saves the very frame
// the page shows (also when it is paused a while).
constexpr std::size_t kServedKept = 8;

Layout LayoutOf(const Camera &camera) {
    if (camera.Request().format != "YUY2") return Layout::kBytes;
    return camera.HasControl() && camera.Mode() >= 0 ? Layout::kWords : Layout::kLuma;
}

std::shared_ptr<Frame> ToFrame(const std::vector<std::uint8_t> &bytes, const OpenRequest &r, Layout layout) {
    auto frame = std::make_shared<Frame>();
    frame->width = r.width;
    frame->height = r.height;
    frame->layout = layout;
    const std::size_t n = static_cast<std::size_t>(r.width) * static_cast<std::size_t>(r.height);
    frame->values.assign(n, 0);
    std::uint16_t *out = frame->values.data();
    switch (layout) {
    case Layout::kWords:
        std::memcpy(out, bytes.data(), std::min(bytes.size() / 2, n) * 2);
        break;
    case Layout::kLuma:
        for (std::size_t i = 0; i < n && 2 * i < bytes.size(); ++i) out[i] = bytes[2 * i];
        break;
    case Layout::kBytes:
        for (std::size_t i = 0; i < n && i < bytes.size(); ++i) out[i] = bytes[i];
        break;
    }
    // Byte-wise, the counter's four little-endian words are eight bytes;
    // luma takes every second byte of them.
    if (Library().simulated) frame->counterPixels = layout == Layout::kBytes ? 2 * kSimCounterWords : kSimCounterWords;
    return frame;
}

const char *LayoutName(Layout layout) {
    return layout == Layout::kWords ? "words" : layout == Layout::kLuma ? "luma" : "bytes";
}

json StreamJson(const OpenRequest &r, int index) {
    return {{"width", r.width}, {"height", r.height}, {"fps", r.fps}, {"format", r.format},
            {"index", index < 0 ? json(nullptr) : json(index)}};
}

// The entry of a format list that a request asks for (the nearest rate of
// the same size and format), -1 when none.
int FormatIndex(const std::vector<FormatEntry> &formats, const OpenRequest &r) {
    int best = -1;
    for (std::size_t i = 0; i < formats.size(); ++i) {
        const FormatEntry &f = formats[i];
        if (f.width != r.width || f.height != r.height || f.format != r.format) continue;
        if (best < 0 || std::fabs(f.fps - r.fps) < std::fabs(formats[static_cast<std::size_t>(best)].fps - r.fps))
            best = static_cast<int>(i);
    }
    return best;
}

// One camera: its stream is pulled on a thread of its own, which also
// reopens it when the page chooses another format. The newest frame is kept
// for the page.
class Live {
public:
    Live(int index, const DeviceEntry &device, const OpenRequest &request, const ViewArgs &tool)
        : index_(index), device_(device), tool_(tool), formats_(ListFormats(device.position)),
          request_(request), camera_(std::make_unique<Camera>(device, request)) {
        controls_ = tool_.controls(*camera_);
        layout_ = LayoutOf(*camera_);
        thread_ = std::thread([this] { Pull(); });
    }
    ~Live() {
        stop_ = true;
        thread_.join();
    }

    json Describe() const {
        json formats = json::array();
        for (std::size_t i = 0; i < formats_.size(); ++i) {
            const FormatEntry &f = formats_[i];
            formats.push_back({{"index", i}, {"width", f.width}, {"height", f.height}, {"fps", f.fps}, {"format", f.format}});
        }
        json controls = json::array();
        for (const ControlInfo &c : controls_)
            controls.push_back({{"name", c.name}, {"type", c.type}, {"min", c.min}, {"max", c.max}});
        return {{"index", index_},
                {"label", device_.Label()},
                {"kind", device_.kind == kKindNuv2 ? "NUV2" : device_.kind == kKindNuv ? "NUV" : "video"},
                {"formats", formats},
                {"controls", controls}};
    }

    json Status() {
        json out;
        {
            std::lock_guard<std::mutex> hold(stateLock_);
            out = {{"state", state_},
                   {"error", error_.empty() ? json(nullptr) : json(error_)},
                   {"stream", StreamJson(request_, FormatIndex(formats_, request_))},
                   {"layout", LayoutName(layout_)},
                   {"received", received_},
                   {"fps", fps_},
                   {"dropped", dropped_},
                   {"dropped_by", Library().simulated ? "the camera's count" : "gaps between frames"}};
        }
        json values = json::object();
        json errors = json::object();
        // A reopen holds the camera for seconds: the page then hears the
        // state alone instead of waiting.
        std::unique_lock<std::mutex> hold(cameraLock_, std::try_to_lock);
        if (hold.owns_lock() && camera_) {
            for (const ControlInfo &c : controls_) {
                try {
                    values[c.name] = ControlValue(tool_.getControl(*camera_, c.name));
                } catch (const std::exception &e) {
                    errors[c.name] = e.what();
                }
            }
        }
        out["controls"] = values;
        out["control_errors"] = errors;
        return out;
    }

    // The newest frame when it is newer than `after`, remembered as served.
    std::shared_ptr<const Frame> Serve(long long after, bool *none) {
        std::lock_guard<std::mutex> hold(frameLock_);
        *none = !newest_;
        if (!newest_ || newest_->sequence <= after) return nullptr;
        if (served_.empty() || served_.back() != newest_) served_.push_back(newest_);
        while (served_.size() > kServedKept) served_.pop_front();
        return newest_;
    }

    std::shared_ptr<const Frame> Served(long long sequence) {
        std::lock_guard<std::mutex> hold(frameLock_);
        for (const auto &frame : served_) {
            if (frame->sequence == sequence) return frame;
        }
        return nullptr;
    }

    // Empty on success, else why not (the tool's own refusal texts).
    std::string Set(const std::string &name, const json &value) {
        const ControlInfo *control = nullptr;
        for (const ControlInfo &c : controls_) {
            if (c.name == name) control = &c;
        }
        if (control == nullptr) return "no control \"" + name + "\" on " + device_.Label();
        std::string text;
        if (control->type == "int[4]") {
            if (!value.is_array() || value.size() != 4) return name + " takes four whole numbers";
            for (const json &v : value) {
                if (!v.is_number_integer()) return name + " takes four whole numbers";
                text += (text.empty() ? "" : ",") + std::to_string(v.get<long long>());
            }
        } else if (value.is_boolean()) {
            text = value.get<bool>() ? "1" : "0";
        } else if (value.is_number_integer()) {
            text = std::to_string(value.get<long long>());
        } else {
            return name + " takes a whole number";
        }
        std::unique_lock<std::mutex> hold(cameraLock_, std::try_to_lock);
        if (!hold.owns_lock() || !camera_) return device_.Label() + " is being reopened; try again when it streams";
        try {
            tool_.setControl(*camera_, name, text);
        } catch (const std::exception &e) {
            return e.what();
        }
        return {};
    }

    // Asks the pull thread to reopen the camera with entry `index` of the
    // device's format list. Empty when asked, else why not.
    std::string Reopen(long long index) {
        if (index < 0 || index >= static_cast<long long>(formats_.size())) {
            return "format " + std::to_string(index) + " is not in the list of " + device_.Label() + " (0.." +
                   std::to_string(static_cast<long long>(formats_.size()) - 1) + ")";
        }
        const FormatEntry &f = formats_[static_cast<std::size_t>(index)];
        std::lock_guard<std::mutex> hold(stateLock_);
        wanted_ = OpenRequest{f.width, f.height, f.fps, f.format};
        state_ = "opening";
        return {};
    }

    const DeviceEntry &Device() const { return device_; }

private:
    // The page shows switches as 0 and 1, as the library's calls take them.
    static json ControlValue(const json &value) {
        return value.is_boolean() ? json(value.get<bool>() ? 1 : 0) : value;
    }

    void Pull() {
        const Api &api = Library();
        std::vector<std::uint8_t> bytes;
        std::deque<double> arrivals;
        double last = -1.0;
        // Frames lost in this opening of the camera, and before it.
        long long session = 0;
        long long firstSent = 0;
        long long gaps = 0;
        long long droppedBefore = 0;
        while (!stop_) {
            std::optional<OpenRequest> wanted;
            {
                std::lock_guard<std::mutex> hold(stateLock_);
                wanted.swap(wanted_);
            }
            if (wanted) {
                Open(*wanted);
                arrivals.clear();
                last = -1.0;
                session = gaps = 0;
                std::lock_guard<std::mutex> hold(stateLock_);
                droppedBefore = dropped_;
                continue;
            }
            if (!camera_) {
                Pause(20);
                continue;
            }
            const OpenRequest &r = camera_->Request();
            const int handle = camera_->Handle();
            const int size = api.NuvGetBufferSize(handle);
            // The corrections work on width x height words whatever the
            // frame's own length.
            const std::size_t words = static_cast<std::size_t>(r.width) * static_cast<std::size_t>(r.height) * 2;
            bytes.resize(std::max(size > 0 ? static_cast<std::size_t>(size) : 0, words) + 16);
            if (size <= 0 || api.NuvReceiveImage(handle, bytes.data()) != 1) {
                Pause(3);
                continue;
            }
            std::shared_ptr<Frame> frame = ToFrame(bytes, r, layout_);
            const double now = NowMs();
            arrivals.push_back(now);
            while (arrivals.front() < now - 1000.0) arrivals.pop_front();
            // The library hands out only the newest frame; what came in
            // between is lost. The simulated camera counts what it sent;
            // elsewhere a gap of several frame intervals tells.
            long long dropped = 0;
            ++session;
            if (api.simulated) {
                const long long sent = api.NuvSimFramesDelivered(SimDeviceId(device_.position));
                if (session == 1) firstSent = sent;
                dropped = std::max(0LL, sent - firstSent - (session - 1));
            } else {
                const double interval = r.fps > 0.0 ? 1000.0 / r.fps : 0.0;
                if (last >= 0.0 && interval > 0.0 && now - last > 1.5 * interval)
                    gaps += std::llround((now - last) / interval) - 1;
                dropped = gaps;
            }
            last = now;
            {
                std::lock_guard<std::mutex> hold(stateLock_);
                frame->sequence = ++received_;
                dropped_ = droppedBefore + dropped;
                fps_ = arrivals.size() > 1
                           ? 1000.0 * static_cast<double>(arrivals.size() - 1) / std::max(1.0, now - arrivals.front())
                           : 0.0;
            }
            std::lock_guard<std::mutex> hold(frameLock_);
            newest_ = std::move(frame);
        }
    }

    // On the pull thread: close, open as asked; when that fails, the stream
    // as it was, so that a refused format leaves the camera streaming.
    void Open(const OpenRequest &wanted) {
        std::lock_guard<std::mutex> hold(cameraLock_);
        {
            std::lock_guard<std::mutex> frames(frameLock_);
            newest_.reset();
        }
        const OpenRequest previous = camera_ ? camera_->Request() : request_;
        // The correction switches belong to an opening of the camera: a
        // person who chose raw frames keeps them at the new size.
        std::optional<std::pair<bool, bool>> switches;
        if (camera_ && camera_->HasControl() && device_.kind == kKindNuv2) {
            const Api &api = Library();
            int defects = 1;
            int shading = 1;
            if (api.NuvGetPixelDefectOnOff(camera_->Handle(), &defects) == 1 &&
                api.NuvGetShadingCorrectionOnOff(camera_->Handle(), &shading) == 1)
                switches.emplace(defects != 0, shading != 0);
        }
        camera_.reset();
        std::string error;
        OpenRequest now = wanted;
        try {
            camera_ = std::make_unique<Camera>(device_, wanted);
        } catch (const std::exception &e) {
            error = e.what();
            now = previous;
            try {
                camera_ = std::make_unique<Camera>(device_, previous);
            } catch (const std::exception &again) {
                error += "; reopening as before failed too: " + std::string(again.what());
            }
        }
        if (camera_ && switches) {
            try {
                camera_->SetCorrections(switches->first, switches->second);
            } catch (const std::exception &e) {
                error += (error.empty() ? "" : "; ") + std::string(e.what());
            }
        }
        std::lock_guard<std::mutex> state(stateLock_);
        if (camera_) layout_ = LayoutOf(*camera_);
        request_ = now;
        state_ = camera_ ? "streaming" : "closed";
        error_ = error;
    }

    const int index_;
    const DeviceEntry device_;
    const ViewArgs &tool_;
    const std::vector<FormatEntry> formats_;
    std::vector<ControlInfo> controls_;
    std::atomic<bool> stop_{false};

    // Held by the pull thread while it reopens, and by requests that call
    // the camera: the camera is never closed under a control call.
    std::mutex cameraLock_;
    // Replaced only by the pull thread, under cameraLock_ (and stateLock_
    // for the two that the status reports).
    OpenRequest request_;
    std::unique_ptr<Camera> camera_;
    Layout layout_ = Layout::kWords;

    std::mutex stateLock_;  // what the status reports, and a reopen asked for
    std::optional<OpenRequest> wanted_;
    std::string state_ = "streaming";
    std::string error_;
    long long received_ = 0;
    long long dropped_ = 0;
    double fps_ = 0.0;

    std::mutex frameLock_;
    std::shared_ptr<const Frame> newest_;
    std::deque<std::shared_ptr<const Frame>> served_;

    std::thread thread_;  // last: it starts once everything above exists
};

// ---- answers -----------------------------------------------------------

HttpResponse Answer(int status, const std::string &type, std::string body) {
    HttpResponse r;
    r.status = status;
    r.contentType = type;
    r.body = std::move(body);
    return r;
}

HttpResponse JsonAnswer(int status, const json &body) { return Answer(status, "application/json", body.dump()); }

HttpResponse Error(int status, const std::string &text) {
    return JsonAnswer(status, {{"ok", false}, {"error", text}});
}

HttpResponse Refused(int status, const std::string &text) {
    return Answer(status, "text/plain; charset=utf-8", text + "\n");
}

// Headers of every answer: nothing is cached, no other site may frame the
// page, nothing guesses content types, and the token in an address never
// travels on as a referrer.
void Harden(HttpResponse &r) {
    r.headers.emplace_back("Cache-Control", "no-store");
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    r.headers.emplace_back("X-Frame-Options", "DENY");
    r.headers.emplace_back("Referrer-Policy", "no-referrer");
    r.headers.emplace_back("Content-Security-Policy",
                           "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                           "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
}

std::string SnapshotName(const DeviceEntry &device, long long sequence) {
    std::string label = device.Label();
    for (char &c : label) {
        if (c == '#') c = '-';
    }
    const std::tm utc = UtcTime(std::time(nullptr));
    char when[32];
    std::strftime(when, sizeof when, "%Y%m%dT%H%M%SZ", &utc);
    char name[160];
    std::snprintf(name, sizeof name, "%s-%s-%06lld.png", label.c_str(), when, sequence);
    return name;
}

class Viewer {
public:
    Viewer(const ViewArgs &args, int port) : args_(args), guard_(port, NewToken()) {
        for (std::size_t i = 0; i < args.devices.size(); ++i) {
            for (std::size_t j = 0; j < i; ++j) {
                if (args.devices[j].position == args.devices[i].position)
                    throw Failure(args.devices[i].Label() + " is selected twice");
            }
            cameras_.push_back(std::make_unique<Live>(static_cast<int>(i), args.devices[i], args.request, args));
        }
    }

    const Guard &Door() const { return guard_; }

    HttpResponse Handle(const HttpRequest &request) {
        HttpResponse r = Route(request);
        Harden(r);
        return r;
    }

private:
    HttpResponse Route(const HttpRequest &request) {
        if (auto why = guard_.Refusal(request)) return Refused(403, *why);
        const std::string path = TargetPath(request.target);
        const bool get = request.method == "GET";
        const bool post = request.method == "POST";
        auto only = [](const char *method) {
            HttpResponse r = Refused(405, std::string("this address takes ") + method + " only");
            r.headers.emplace_back("Allow", method);
            return r;
        };
        if (path == "/" || path == "/viewer.js" || path == "/viewer.css" || path == "/api/cameras" ||
            path == "/api/status" || path == "/api/frame") {
            if (!get) return only("GET");
            return Read(path, request);
        }
        if (path == "/api/set" || path == "/api/stream" || path == "/api/snapshot") {
            if (!post) return only("POST");
            if (auto why = guard_.StateChangeRefusal(request)) return Refused(403, *why);
            const json body = json::parse(request.body, nullptr, false);
            if (body.is_discarded() || !body.is_object()) return Error(400, "the body is not a JSON object");
            return Change(path, body);
        }
        return Refused(404, "no such address: " + path);
    }

    // A count in a query: digits only, at most 18 of them.
    static std::optional<long long> Count(const std::optional<std::string> &text) {
        if (!text || text->empty() || text->size() > 18) return std::nullopt;
        long long value = 0;
        for (char c : *text) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + (c - '0');
        }
        return value;
    }

    Live *Find(const std::optional<std::string> &text) {
        const auto index = Count(text);
        return index && *index < static_cast<long long>(cameras_.size()) ? cameras_[static_cast<std::size_t>(*index)].get()
                                                                           : nullptr;
    }

    Live *Find(const json &body) {
        const auto it = body.find("cam");
        if (it == body.end() || !it->is_number_unsigned()) return nullptr;
        const auto index = it->get<std::uint64_t>();
        return index < cameras_.size() ? cameras_[static_cast<std::size_t>(index)].get() : nullptr;
    }

    HttpResponse Read(const std::string &path, const HttpRequest &request) {
        if (path == "/") {
            if (guard_.TokenInQuery(request)) {
                // The token goes into a cookie and out of the address bar.
                HttpResponse r = Refused(303, "see /");
                r.headers.emplace_back("Location", "/");
                r.headers.emplace_back("Set-Cookie", guard_.SetCookie());
                return r;
            }
            return Answer(200, "text/html; charset=utf-8", kViewerPage);
        }
        if (path == "/viewer.js") return Answer(200, "text/javascript; charset=utf-8", kViewerScript);
        if (path == "/viewer.css") return Answer(200, "text/css; charset=utf-8", kViewerStyle);
        if (path == "/api/cameras") {
            json out = json::array();
            for (const auto &live : cameras_) out.push_back(live->Describe());
            return JsonAnswer(200, out);
        }
        Live *live = Find(QueryValue(request.target, "cam"));
        if (live == nullptr) return Error(404, "no such camera (cam=0.." + std::to_string(cameras_.size() - 1) + ")");
        if (path == "/api/status") return JsonAnswer(200, live->Status());
        long long after = 0;
        if (const auto text = QueryValue(request.target, "after")) {
            const auto number = Count(text);
            if (!number) return Error(400, "after=" + *text + " is not a frame number");
            after = *number;
        }
        bool none = false;
        const auto frame = live->Serve(after, &none);
        if (none) return Error(503, "no frame yet");
        if (!frame) return Answer(204, "application/octet-stream", {});
        HttpResponse r = Answer(200, "application/octet-stream",
                                std::string(reinterpret_cast<const char *>(frame->values.data()), frame->values.size() * 2));
        r.headers.emplace_back("X-Frame-Sequence", std::to_string(frame->sequence));
        r.headers.emplace_back("X-Frame-Width", std::to_string(frame->width));
        r.headers.emplace_back("X-Frame-Height", std::to_string(frame->height));
        r.headers.emplace_back("X-Frame-Layout", LayoutName(frame->layout));
        r.headers.emplace_back("X-Frame-Max", frame->layout == Layout::kWords ? "1023" : "255");
        r.headers.emplace_back("X-Frame-Counter-Pixels", std::to_string(frame->counterPixels));
        return r;
    }

    HttpResponse Change(const std::string &path, const json &body) {
        Live *live = Find(body);
        if (live == nullptr) return Error(404, "no such camera (\"cam\": 0.." + std::to_string(cameras_.size() - 1) + ")");
        if (path == "/api/set") {
            const auto name = body.find("name");
            const auto value = body.find("value");
            if (name == body.end() || !name->is_string() || value == body.end())
                return Error(400, "a change needs \"name\" (text) and \"value\"");
            const std::string error = live->Set(name->get<std::string>(), *value);
            return error.empty() ? JsonAnswer(200, {{"ok", true}}) : Error(400, error);
        }
        if (path == "/api/stream") {
            const auto format = body.find("format");
            if (format == body.end() || !format->is_number_integer())
                return Error(400, "a stream change needs \"format\": an entry of the camera's format list");
            const std::string error = live->Reopen(format->get<long long>());
            return error.empty() ? JsonAnswer(202, {{"ok", true}}) : Error(400, error);
        }
        const auto sequence = body.find("sequence");
        if (sequence == body.end() || !sequence->is_number_integer())
            return Error(400, "a snapshot needs \"sequence\": the frame shown");
        return Snapshot(*live, sequence->get<long long>());
    }

    HttpResponse Snapshot(Live &live, long long sequence) {
        const auto frame = live.Served(sequence);
        if (!frame) return Error(404, "frame " + std::to_string(sequence) + " is no longer held; take the snapshot again");
        if (frame->layout != Layout::kWords) {
            return Error(400, "snapshots are of 10-bit frames (a NUV or NUV2 camera at one of its sizes, YUY2); "
                              "nuvctl capture writes other formats as delivered");
        }
        if (!PngSupported()) return Error(501, "snapshots are not available in this build of nuvctl (it writes no PNG)");
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path path = fs::absolute(fs::path(args_.snapshotDir) / SnapshotName(live.Device(), sequence), ec);
        if (ec) return Error(500, "cannot place a snapshot in " + args_.snapshotDir + ": " + ec.message());
        if (fs::exists(path, ec)) return Error(409, path.string() + " exists already; nothing written");
        try {
            WritePng16(path.string(), frame->width, frame->height, frame->values);
        } catch (const std::exception &e) {
            return Error(500, e.what());
        }
        return JsonAnswer(200, {{"ok", true}, {"path", path.string()}, {"sequence", sequence}});
    }

    const ViewArgs &args_;
    Guard guard_;
    std::vector<std::unique_ptr<Live>> cameras_;
};

}  // namespace

void View(const ViewArgs &args) {
    if (!args.controls || !args.getControl || !args.setControl) throw Failure("internal: the viewer has no control table");
    {
        std::error_code ec;
        if (!std::filesystem::is_directory(args.snapshotDir, ec))
            throw Failure("--snapshot-dir " + args.snapshotDir + ": not a directory");
    }
    // The port first: a busy one fails before any camera is touched.
    HttpServer server(args.port);
    Viewer viewer(args, server.Port());
    std::printf("serving %s (Ctrl-C stops)\n", viewer.Door().Url().c_str());
    std::fflush(stdout);
    server.Run([&](const HttpRequest &request) { return viewer.Handle(request); });
}

}  // namespace nuvctl
