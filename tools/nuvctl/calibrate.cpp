// calibrate: measures a NUV2 camera's defect lists and shading sets from
// frames and, when asked, writes them and checks the result on fresh frames.
#include <cstdio>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "calibrate.h"
#include "commands.h"
#include "session.h"

#if defined(_WIN32)
#include <io.h>
#define NUVCTL_STDIN_TTY() (_isatty(_fileno(stdin)) != 0)
#else
#include <unistd.h>
#define NUVCTL_STDIN_TTY() (isatty(fileno(stdin)) != 0)
#endif

using nlohmann::json;

namespace nuvctl {

namespace {

// How the camera is shown a flat field or darkness: the simulated world
// switches its scene; a person is asked to at a real camera.
class Scene {
public:
    Scene(const DeviceEntry &device, double level) : device_(device), level_(level) {}

    void Flat() { Show(level_, "Show the camera a flat, evenly lit target (no image, no shadow)"); }
    void Dark() { Show(0.0, "Cover the lens completely (dark frames)"); }

private:
    void Show(double level, const char *request) {
        if (level == current_) return;
        current_ = level;
        const Api &api = Library();
        if (api.simulated) {
            if (api.NuvSimSetScene(SimDeviceId(device_.position), level) != 1)
                CallFailed("NuvSimSetScene(" + std::to_string(SimDeviceId(device_.position)) + ", " + Num(level, 1) + ")",
                           "the simulated world has no such device");
            return;
        }
        if (!NUVCTL_STDIN_TTY())
            throw Failure("calibrate asks for a dark and a flat scene at a real camera and needs a terminal for it");
        std::fprintf(stderr, "%s, then press Enter: ", request);
        std::string line;
        std::getline(std::cin, line);
    }

    DeviceEntry device_;
    double level_;
    double current_ = -1.0;
};

Image Average(Camera &camera, int frames) {
    const OpenRequest &r = camera.Request();
    Image image{r.width, r.height, std::vector<double>(static_cast<std::size_t>(r.width) * r.height, 0.0)};
    // Frames already on their way were taken before the last change.
    camera.NextFrame();
    camera.NextFrame();
    for (int i = 0; i < frames; ++i) {
        const auto words = camera.NextWords();
        for (std::size_t p = 0; p < words.size(); ++p) image.v[p] += words[p];
    }
    for (double &v : image.v) v /= frames;
    return image;
}

json FlatnessJson(const Flatness &f) { return {{"spread", f.spread}, {"corner_centre", f.cornerCentre}}; }

std::string Row(const char *what, const Flatness &f) {
    char line[160];
    std::snprintf(line, sizeof line, "    %-32s %8.3f %%   %6.3f\n", what, 100.0 * f.spread, f.cornerCentre);
    return line;
}

}  // namespace

void Calibrate(const DeviceEntry &device, const CalibrateArgs &args) {
    if (device.kind != kKindNuv2)
        throw Failure(device.Label() + ": calibration measures correction data, which NUV2 cameras alone carry; choose "
                                       "one with -d (e.g. -d NUV2)");
    const Api &api = Library();
    const std::vector<int> modes = args.modes.empty() ? std::vector<int>{0, 1, 2} : args.modes;
    const std::vector<int> numbers = args.cameraNumbers.empty() ? std::vector<int>{1, 2} : args.cameraNumbers;
    const bool write = args.write && args.yes;
    const bool terminal = StderrIsTerminal();
    json results = json::array();
    Scene scene(device, args.level);
    for (int mode : modes) {
        OpenRequest request;
        request.width = kModes[mode].width;
        request.height = kModes[mode].height;
        const auto held = OpenCamera(device, request, Stream::kAsRequested);
        Camera &camera = *held;
        for (int n : numbers) {
            const std::string name = "camera " + std::to_string(n) + ", mode " + std::to_string(mode) + " (" +
                                     std::to_string(request.width) + "x" + std::to_string(request.height) + ")";
            auto step = [&](const char *what) {
                if (terminal) std::fprintf(stderr, "\r%s: %s\033[K", name.c_str(), what);
            };
            if (api.NuvSetCameraNo(camera.Handle(), n) != 1)
                CallFailed("NuvSetCameraNo(" + device.Label() + ", " + std::to_string(n) + ")",
                           "the camera refused the camera number, or stopped streaming");
            scene.Flat();
            step("frames with the stored corrections");
            camera.SetCorrections(true, true);
            const Image stored = Average(camera, args.frames);
            step("flat frames, corrections off");
            camera.SetCorrections(false, false);
            const Image flat = Average(camera, args.frames);
            scene.Dark();
            step("dark frames");
            const Image dark = Average(camera, args.frames);
            scene.Flat();
            step("fitting");
            // Every suspect pixel stays out of the fit; the list keeps the
            // worst 20, which is all the camera stores.
            std::vector<Defect> defects = FindDefects(flat, dark, 1 << 20);
            std::vector<bool> skip(flat.v.size(), false);
            for (const Defect &d : defects) skip[static_cast<std::size_t>(d.y) * flat.width + d.x] = true;
            const std::size_t suspects = defects.size();
            if (defects.size() > 20) defects.resize(20);
            const ShadingFit fit = FitShading(flat, skip);
            Image predicted = flat;
            for (int y = 0; y < flat.height; ++y) {
                for (int x = 0; x < flat.width; ++x) {
                    predicted.v[static_cast<std::size_t>(y) * flat.width + x] *= GainAt(fit, x, y);
                }
            }
            const Flatness raw = Measure(flat, skip);
            const Flatness before = Measure(stored, {});
            const Flatness after = Measure(predicted, skip);
            json result = {{"camera_no", n},
                           {"mode", mode},
                           {"width", request.width},
                           {"height", request.height},
                           {"frames", args.frames},
                           {"centre", {fit.centre[0], fit.centre[1]}},
                           {"k2", std::vector<double>(fit.k2, fit.k2 + 4)},
                           {"k1", std::vector<double>(fit.k1, fit.k1 + 4)},
                           {"k0", std::vector<double>(fit.k0, fit.k0 + 4)},
                           {"target", fit.target},
                           {"suspect_pixels", suspects},
                           {"raw", FlatnessJson(raw)},
                           {"stored_corrections", FlatnessJson(before)},
                           {"fitted", FlatnessJson(after)},
                           {"written", false},
                           {"verified", nullptr}};
            json list = json::array();
            std::vector<std::pair<int, int>> entries;
            for (const Defect &d : defects) {
                list.push_back({{"column", d.x}, {"row", d.y}, {"kind", d.kind}, {"score", d.score}});
                entries.emplace_back(d.x, d.y);
            }
            result["defects"] = list;
            Flatness verified{};
            if (write) {
                step("writing");
                WriteDefects(camera, n, mode, entries);
                WriteShading(camera, n, mode, fit.centre, fit.k2, fit.k1, fit.k0);
                step("verifying on corrected frames");
                camera.SetCorrections(true, true);
                verified = Measure(Average(camera, args.frames), {});
                result["written"] = true;
                result["verified"] = FlatnessJson(verified);
            }
            if (terminal) std::fprintf(stderr, "\r\033[K");
            results.push_back(result);
            if (!args.json) {
                std::string text = name + ": centre (" + Num(fit.centre[0], 1) + ", " + Num(fit.centre[1], 1) + "), " +
                                   std::to_string(defects.size()) + " defect(s)";
                if (suspects > defects.size()) text += " (" + std::to_string(suspects) + " suspects, the worst 20 kept)";
                text += "\n    flatness (" + std::to_string(args.frames) + " frames averaged)    spread   corner/centre\n";
                text += Row("raw, corrections off", raw);
                text += Row("with the stored corrections", before);
                text += Row("with the fit (computed)", after);
                if (write) text += Row("written, corrected frames", verified);
                for (const Defect &d : defects)
                    text += "    defect " + std::string(d.kind) + " at (" + std::to_string(d.x) + ", " +
                            std::to_string(d.y) + "), " + Num(d.score, 0) + " counts off\n";
                std::printf("%s", text.c_str());
                std::fflush(stdout);
            }
        }
    }
    if (args.json) EmitJson({{"device", device.Label()}, {"results", results}});
    if (args.write && !args.yes) throw Failure("not written: add --yes to --write the results into the camera");
}

}  // namespace nuvctl
