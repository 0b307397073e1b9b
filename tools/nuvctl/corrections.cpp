// The correction data stored in a camera (defect lists, shading sets) to and
// from JSON files, and the firmware rewrite.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "session.h"

using nlohmann::json;

namespace nuvctl {

namespace {

constexpr int kEntries = 20;

const char *kNotNuv2 = "corrections exist on NUV2 cameras only; choose one with -d (e.g. -d NUV2)";

std::vector<int> Or(const std::vector<int> &chosen, std::vector<int> all) { return chosen.empty() ? all : chosen; }

bool Wanted(const std::vector<int> &chosen, int value) {
    return chosen.empty() || std::find(chosen.begin(), chosen.end(), value) != chosen.end();
}

void RequireNuv2(const DeviceEntry &device) {
    if (device.kind != kKindNuv2) throw Failure(device.Label() + ": " + kNotNuv2);
}

std::string SetName(int cameraNo, int mode) {
    return "camera " + std::to_string(cameraNo) + ", mode " + std::to_string(mode) + " (" +
           std::to_string(kModes[mode].width) + "x" + std::to_string(kModes[mode].height) + ")";
}

json ReadJson(const std::string &path) {
    std::ifstream in(path);
    if (!in) throw Failure("cannot read " + path + ": " + std::strerror(errno));
    try {
        json j;
        in >> j;
        return j;
    } catch (const std::exception &e) {
        throw Failure(path + " is not JSON: " + e.what());
    }
}

void WriteJson(const std::string &path, const json &j, bool asJson) {
    if (path.empty() || path == "-") {
        // The data is the command's output, --json or not; a JSON session
        // gives it as the command's result line.
        if (asJson || !InSession()) {
            EmitJson(j);
        } else {
            std::printf("%s\n", j.dump(2).c_str());
        }
        return;
    }
    std::ofstream out(path);
    out << j.dump(2) << "\n";
    if (!out) throw Failure("cannot write " + path);
}

// What a "set" shows: the changes, line by line, and what was written; with
// --json one result {"changes": [LINE, ...], "written": N}.
class Report {
public:
    explicit Report(bool asJson) : json_(asJson) {}
    void Line(const std::string &line) {
        if (json_) {
            lines_.push_back(line);
        } else {
            std::printf("%s\n", line.c_str());
        }
    }
    // The closing line (none when empty), and the count written.
    void Done(const std::string &last, int written) {
        if (json_) {
            EmitJson({{"changes", lines_}, {"written", written}});
        } else if (!last.empty()) {
            std::printf("%s\n", last.c_str());
        }
    }

private:
    bool json_;
    std::vector<std::string> lines_;
};

// ---- defect lists ----

using Entries = std::vector<std::pair<int, int>>;  // used entries, in list order

Entries ReadDefects(const Camera &camera, int cameraNo, int mode) {
    NuvDefectEntry raw[kEntries];
    if (Library().NuvGetPixelDefect(camera.Handle(), cameraNo, mode, raw) != 1)
        CallFailed("NuvGetPixelDefect(" + camera.Device().Label() + ", " + std::to_string(cameraNo) + ", " +
                       std::to_string(mode) + ")",
                   "the camera is not a NUV2 camera, or its parameter block was not read when it was opened");
    Entries entries;
    for (const auto &e : raw) {
        if (e.column < kModes[mode].width && e.row < kModes[mode].height) entries.emplace_back(e.column, e.row);
    }
    return entries;
}

}  // namespace

void WriteDefects(const Camera &camera, int cameraNo, int mode, const Entries &entries) {
    if (entries.size() > kEntries) throw Failure("a defect list holds at most 20 entries");
    NuvDefectEntry raw[kEntries];
    for (int i = 0; i < kEntries; ++i) {
        raw[i].column = 0xFFFF;
        raw[i].row = 0xFFFF;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        raw[i].column = static_cast<unsigned short>(entries[i].first);
        raw[i].row = static_cast<unsigned short>(entries[i].second);
    }
    if (Library().NuvSetPixelDefect(camera.Handle(), cameraNo, mode, raw) != 1)
        CallFailed("NuvSetPixelDefect(" + camera.Device().Label() + ", " + SetName(cameraNo, mode) + ")",
                   "the camera did not confirm the erase or the write of its parameter block (control channel "
                   "lost, or the flash refused it); the stored data may be partly written: write it again");
}

namespace {

Entries ParseEntries(const json &set, int mode, const std::string &where) {
    Entries entries;
    for (const auto &e : set.at("entries")) {
        if (!e.is_array() || e.size() != 2 || !e[0].is_number_integer() || !e[1].is_number_integer())
            throw Failure(where + ": each entry is [column, row]");
        const int x = e[0].get<int>();
        const int y = e[1].get<int>();
        if (x < 0 || y < 0 || x >= kModes[mode].width || y >= kModes[mode].height)
            throw Failure(where + ": entry [" + std::to_string(x) + ", " + std::to_string(y) + "] lies outside the " +
                          std::to_string(kModes[mode].width) + "x" + std::to_string(kModes[mode].height) +
                          " image (nothing written)");
        entries.emplace_back(x, y);
    }
    if (entries.size() > kEntries)
        throw Failure(where + ": " + std::to_string(entries.size()) + " entries; a list holds at most 20 (nothing written)");
    return entries;
}

void CheckSetHeader(const json &set, const std::string &where, int *cameraNo, int *mode) {
    try {
        *cameraNo = set.at("camera_no").get<int>();
        *mode = set.at("mode").get<int>();
    } catch (const std::exception &) {
        throw Failure(where + ": each set needs camera_no and mode");
    }
    if (*cameraNo < 1 || *cameraNo > 2) throw Failure(where + ": camera_no must be 1 or 2");
    if (*mode < 0 || *mode >= kModeCount) throw Failure(where + ": mode must be 0, 1 or 2");
}

OpenRequest AnyMode() { return OpenRequest{}; }

}  // namespace

void DefectsGet(const DeviceEntry &device, const CorrectionArgs &args) {
    RequireNuv2(device);
    const auto held = OpenCamera(device, AnyMode(), Stream::kAny);
    const Camera &camera = *held;
    json out = {{"device", device.Label()}, {"defects", json::array()}};
    for (int n : Or(args.cameraNumbers, {1, 2})) {
        for (int m : Or(args.modes, {0, 1, 2})) {
            json entries = json::array();
            for (const auto &[x, y] : ReadDefects(camera, n, m)) entries.push_back({x, y});
            out["defects"].push_back({{"camera_no", n},
                                      {"mode", m},
                                      {"width", kModes[m].width},
                                      {"height", kModes[m].height},
                                      {"entries", entries}});
        }
    }
    WriteJson(args.file, out, args.json);
}

void DefectsSet(const DeviceEntry &device, const CorrectionArgs &args) {
    RequireNuv2(device);
    const json file = ReadJson(args.file);
    if (!file.contains("defects") || !file["defects"].is_array())
        throw Failure(args.file + ": no \"defects\" array (write one with: nuvctl defects get -o FILE)");
    struct Change {
        int cameraNo, mode;
        Entries entries;
    };
    std::vector<Change> wanted;
    for (const auto &set : file["defects"]) {
        int n = 0;
        int m = 0;
        CheckSetHeader(set, args.file, &n, &m);
        if (!Wanted(args.cameraNumbers, n) || !Wanted(args.modes, m)) continue;
        wanted.push_back({n, m, ParseEntries(set, m, args.file + ", " + SetName(n, m))});
    }
    const auto held = OpenCamera(device, AnyMode(), Stream::kAny);
    const Camera &camera = *held;
    Report report(args.json);
    std::vector<Change> changes;
    for (const auto &c : wanted) {
        const Entries now = ReadDefects(camera, c.cameraNo, c.mode);
        if (now == c.entries) continue;
        report.Line(SetName(c.cameraNo, c.mode) + ":");
        for (const auto &e : now) {
            if (std::find(c.entries.begin(), c.entries.end(), e) == c.entries.end())
                report.Line("  - [" + std::to_string(e.first) + ", " + std::to_string(e.second) + "]");
        }
        for (const auto &e : c.entries) {
            if (std::find(now.begin(), now.end(), e) == now.end())
                report.Line("  + [" + std::to_string(e.first) + ", " + std::to_string(e.second) + "]");
        }
        if (std::is_permutation(now.begin(), now.end(), c.entries.begin(), c.entries.end()))
            report.Line("  (same entries, new order)");
        changes.push_back(c);
    }
    if (changes.empty()) return report.Done("no changes", 0);
    if (!args.yes) {
        report.Done("", 0);
        throw Failure("not written: " + std::to_string(changes.size()) + " list(s) would change; add --yes to write them");
    }
    for (const auto &c : changes) {
        WriteDefects(camera, c.cameraNo, c.mode, c.entries);
        if (ReadDefects(camera, c.cameraNo, c.mode) != c.entries)
            throw Failure("NuvGetPixelDefect after the write does not return the list written (" +
                          SetName(c.cameraNo, c.mode) + ")");
    }
    report.Done("wrote " + std::to_string(changes.size()) + " list(s)", static_cast<int>(changes.size()));
}

// ---- shading sets ----

struct Shading {
    double centre[2];
    double k2[4], k1[4], k0[4];
    bool operator==(const Shading &o) const { return std::memcmp(this, &o, sizeof *this) == 0; }
};

namespace {

Shading ReadShading(const Camera &camera, int cameraNo, int mode) {
    Shading s{};
    if (Library().NuvGetShadingCorrection(camera.Handle(), cameraNo, mode, s.centre, s.k2, s.k1, s.k0) != 1)
        CallFailed("NuvGetShadingCorrection(" + camera.Device().Label() + ", " + std::to_string(cameraNo) + ", " +
                       std::to_string(mode) + ")",
                   "the camera is not a NUV2 camera, or its parameter block was not read when it was opened");
    return s;
}

json ToJson(const double *v, int n) { return json(std::vector<double>(v, v + n)); }

void FromJson(const json &set, const char *key, double *v, int n, const std::string &where) {
    const json &a = set.contains(key) ? set.at(key) : json();
    if (!a.is_array() || static_cast<int>(a.size()) != n)
        throw Failure(where + ": \"" + key + "\" must be " + std::to_string(n) + " numbers");
    for (int i = 0; i < n; ++i) {
        if (!a[i].is_number()) throw Failure(where + ": \"" + key + "\" must be " + std::to_string(n) + " numbers");
        v[i] = a[i].get<double>();
    }
}

}  // namespace

void WriteShading(const Camera &camera, int cameraNo, int mode, const double centre[2], const double k2[4],
                  const double k1[4], const double k0[4]) {
    if (Library().NuvSetShadingCorrection(camera.Handle(), cameraNo, mode, centre, k2, k1, k0) != 1)
        CallFailed("NuvSetShadingCorrection(" + camera.Device().Label() + ", " + SetName(cameraNo, mode) + ")",
                   "the camera did not confirm the erase or the write of its parameter block (control channel "
                   "lost, or the flash refused it), or no memory was left for the new gain map; the stored data "
                   "may be partly written: write it again");
}

void ShadingGet(const DeviceEntry &device, const CorrectionArgs &args) {
    RequireNuv2(device);
    const auto held = OpenCamera(device, AnyMode(), Stream::kAny);
    const Camera &camera = *held;
    json out = {{"device", device.Label()},
                {"gain", "k2*r*r + k1*r + k0, r = distance in pixels from the centre (column, row)"},
                {"shading", json::array()}};
    for (int n : Or(args.cameraNumbers, {1, 2})) {
        for (int m : Or(args.modes, {0, 1, 2})) {
            const Shading s = ReadShading(camera, n, m);
            out["shading"].push_back({{"camera_no", n},
                                      {"mode", m},
                                      {"width", kModes[m].width},
                                      {"height", kModes[m].height},
                                      {"centre", ToJson(s.centre, 2)},
                                      {"k2", ToJson(s.k2, 4)},
                                      {"k1", ToJson(s.k1, 4)},
                                      {"k0", ToJson(s.k0, 4)}});
        }
    }
    WriteJson(args.file, out, args.json);
}

void ShadingSet(const DeviceEntry &device, const CorrectionArgs &args) {
    RequireNuv2(device);
    const json file = ReadJson(args.file);
    if (!file.contains("shading") || !file["shading"].is_array())
        throw Failure(args.file + ": no \"shading\" array (write one with: nuvctl shading get -o FILE)");
    struct Change {
        int cameraNo, mode;
        Shading s;
    };
    std::vector<Change> wanted;
    for (const auto &set : file["shading"]) {
        int n = 0;
        int m = 0;
        CheckSetHeader(set, args.file, &n, &m);
        if (!Wanted(args.cameraNumbers, n) || !Wanted(args.modes, m)) continue;
        Change c{n, m, {}};
        const std::string where = args.file + ", " + SetName(n, m);
        FromJson(set, "centre", c.s.centre, 2, where);
        FromJson(set, "k2", c.s.k2, 4, where);
        FromJson(set, "k1", c.s.k1, 4, where);
        FromJson(set, "k0", c.s.k0, 4, where);
        wanted.push_back(c);
    }
    const auto held = OpenCamera(device, AnyMode(), Stream::kAny);
    const Camera &camera = *held;
    Report report(args.json);
    std::vector<Change> changes;
    for (const auto &c : wanted) {
        const Shading now = ReadShading(camera, c.cameraNo, c.mode);
        if (now == c.s) continue;
        report.Line(SetName(c.cameraNo, c.mode) + ":");
        auto show = [&](const char *name, const double *a, const double *b, int n) {
            for (int i = 0; i < n; ++i) {
                if (a[i] == b[i]) continue;
                char line[128];
                std::snprintf(line, sizeof line, "  %s[%d]: %.10g -> %.10g", name, i, a[i], b[i]);
                report.Line(line);
            }
        };
        show("centre", now.centre, c.s.centre, 2);
        show("k2", now.k2, c.s.k2, 4);
        show("k1", now.k1, c.s.k1, 4);
        show("k0", now.k0, c.s.k0, 4);
        changes.push_back(c);
    }
    if (changes.empty()) return report.Done("no changes", 0);
    if (!args.yes) {
        report.Done("", 0);
        throw Failure("not written: " + std::to_string(changes.size()) + " set(s) would change; add --yes to write them");
    }
    for (const auto &c : changes) {
        WriteShading(camera, c.cameraNo, c.mode, c.s.centre, c.s.k2, c.s.k1, c.s.k0);
        if (!(ReadShading(camera, c.cameraNo, c.mode) == c.s))
            throw Failure("NuvGetShadingCorrection after the write does not return the set written (" +
                          SetName(c.cameraNo, c.mode) + ")");
    }
    report.Done("wrote " + std::to_string(changes.size()) + " set(s)", static_cast<int>(changes.size()));
}

// ---- firmware ----

namespace {
std::atomic<bool> g_interrupted{false};
extern "C" void OnInterrupt(int) {
    g_interrupted = true;
    std::signal(SIGINT, OnInterrupt);
}

const char *StateName(int state) {
    switch (state) {
    case 3: return "started";
    case 1: return "writing";
    case 2: return "verifying";
    case 0: return "done";
    default: return "failed";
    }
}
}  // namespace

float ShownPercent(int state, float libraryPercent) {
    if (state == 0) return 100.0f;
    const float limit = state == 1 || state == 3 ? 50.0f : 100.0f;
    return std::clamp(libraryPercent, 0.0f, limit);
}

namespace {

// The image's size, or why it is none the camera takes.
long long ImageSize(const std::string &path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(fs::path(path), error);
    if (error || !fs::exists(status))
        throw Failure("cannot read firmware image " + path + ": " +
                      (error ? error.message() : std::string(std::strerror(ENOENT))));
    if (fs::is_directory(status)) throw Failure("firmware image " + path + " is a directory, not an image file");
    if (!fs::is_regular_file(status))
        throw Failure("firmware image " + path + " is not a regular file (a device or a pipe); the library reads "
                      "images from disk files only");
    const auto size = static_cast<long long>(fs::file_size(fs::path(path), error));
    if (error) throw Failure("cannot read firmware image " + path + ": " + error.message());
    std::FILE *probe = std::fopen(path.c_str(), "rb");
    if (probe == nullptr) throw Failure("cannot read firmware image " + path + ": " + std::strerror(errno));
    std::fclose(probe);
    if (size <= 0) throw Failure("firmware image " + path + " is empty");
    if (size > kMaxFirmwareImage)
        throw Failure("firmware image " + path + " is " + std::to_string(size) + " bytes, too large for the camera: "
                      "it takes at most " + std::to_string(kMaxFirmwareImage) + " bytes (its flash below the parameter "
                      "block at 0x70000, which holds the serial number and the correction data)");
    return size;
}

}  // namespace

void FirmwareWrite(const DeviceEntry &device, const FirmwareArgs &args) {
    const long long size = ImageSize(args.image);
    if (device.kind == kKindVideoOnly) throw Failure(device.Label() + " is not a NUV/NUV2 camera: it has no firmware to rewrite");
    if (!args.yes) {
        throw Failure("not written: this erases and rewrites the firmware of " + device.Label() + " with " +
                      args.image + " (" + std::to_string(size) + " bytes) and cannot be cancelled once started; "
                      "add --yes to do it");
    }
    const auto held = OpenCamera(device, OpenRequest{}, Stream::kAny);
    const Camera &camera = *held;
    const Api &api = Library();
    if (api.NuvSoftRewrite(camera.Handle(), args.image.c_str()) != 1)
        CallFailed("NuvSoftRewrite(" + device.Label() + ", " + args.image + ")",
                   "the library could not read the image or hold it in memory, a rewrite is already running, or "
                   "the camera refused the erase");
    g_interrupted = false;
    auto previous = std::signal(SIGINT, OnInterrupt);
    const bool terminal = StderrIsTerminal() && !args.json;
    int last = 99;
    int lastWhole = -1;
    bool warned = false;
    int state = 3;
    int elapsed = 0;
    float progress = 0.0f;
    for (;;) {
        state = api.NuvSoftRewriteState(camera.Handle(), &elapsed, &progress);
        const float shown = ShownPercent(state, progress);
        if (g_interrupted && !warned) {
            std::fprintf(stderr, "%snuvctl: a firmware rewrite cannot be cancelled safely; waiting for it to finish\n",
                         terminal ? "\n" : "");
            warned = true;
            ReleaseSimRewrites();
        }
        if (args.json) {
            // A line for each state and each whole percent.
            if (state != last || static_cast<int>(shown) != lastWhole) {
                EmitJsonLine({{"state", StateName(state)},
                              {"percent", shown},
                              {"library_percent", progress},
                              {"elapsed", elapsed},
                              {"device", device.Label()}});
            }
        } else if (terminal) {
            const int width = 30;
            const int filled = static_cast<int>(shown / 100.0f * width + 0.5f);
            std::string bar(static_cast<std::size_t>(std::clamp(filled, 0, width)), '#');
            bar.resize(width, '-');
            std::fprintf(stderr, "\r[%s] %5.1f %%  %-9s %3d s\033[K", bar.c_str(), shown, StateName(state), elapsed);
            std::fflush(stderr);
        } else if (state != last) {
            std::fprintf(stderr, "firmware: %s, %.1f %%, %d s\n", StateName(state), shown, elapsed);
        }
        last = state;
        lastWhole = static_cast<int>(shown);
        if (state == 0 || state == -1) break;
        Pause(50);
    }
    if (terminal) std::fprintf(stderr, "\n");
    std::signal(SIGINT, previous);
    if (state != 0) {
        throw Failure("NuvSoftRewriteState(" + device.Label() + ") reports the rewrite failed at " +
                      std::to_string(static_cast<int>(ShownPercent(state, progress))) +
                      " %: a chunk could not be written, or read back equal, six times in a row; the flash holds a "
                      "partly written image, so write it again before unplugging the camera");
    }
    if (StdoutIsTerminal() && !args.json)
        std::printf("firmware of %s rewritten and verified in %d s\n", device.Label().c_str(), elapsed);
}

}  // namespace nuvctl
