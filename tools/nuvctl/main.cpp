// nuvctl: list, inspect, set up and capture from the library's cameras, keep
// their correction data, rewrite their firmware, calibrate them, and watch
// them live in a browser.
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "common.h"
#include "image_io.h"
#include "session.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

using nlohmann::json;

namespace nuvctl {
namespace {

// ---- Simulated world set-up (options for tests and demos) ---------------

struct SimOptions {
    bool virtualClock = false;
    std::string stateFile;
    std::vector<std::string> cameras;  // NAME:SERIALHEX
    double scene = -1.0;
    bool sceneSet = false;
    std::string lens;
    std::vector<std::string> defects;
    std::string noise;
    bool holdRewrite = false;
    bool Any() const {
        return virtualClock || !stateFile.empty() || !cameras.empty() || sceneSet || !lens.empty() ||
               !defects.empty() || !noise.empty() || holdRewrite;
    }
};

constexpr unsigned kBlockAddress = 0x70000;
constexpr int kBlockSize = 1176;

std::vector<double> Numbers(const std::string &text, const std::string &option) {
    std::vector<double> values;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        try {
            std::size_t used = 0;
            values.push_back(std::stod(item, &used));
            if (used != item.size()) throw std::invalid_argument(item);
        } catch (const std::exception &) {
            throw UsageError(option + ": \"" + item + "\" is not a number");
        }
    }
    return values;
}

void ApplySimOptions(const SimOptions &sim) {
    const Api &api = Library();
    if (!sim.Any()) return;
    if (!api.simulated) {
        throw Failure("simulator options (--virtual-clock, --sim-...) need the simulated world, and " + api.path +
                      " is not it");
    }
    if (sim.virtualClock) api.NuvSimUseVirtualClock(1);
    for (const std::string &camera : sim.cameras) {
        const auto colon = camera.find(':');
        if (colon == std::string::npos) throw UsageError("--sim-camera expects NAME:SERIAL, e.g. NUV2:1A2B3C03");
        unsigned long serial = 0;
        try {
            serial = std::stoul(camera.substr(colon + 1), nullptr, 16);
        } catch (const std::exception &) {
            throw UsageError("--sim-camera: \"" + camera.substr(colon + 1) + "\" is not a hexadecimal serial number");
        }
        if (api.NuvSimAddCamera(camera.substr(0, colon).c_str(), static_cast<unsigned>(serial), 1) <= 0)
            CallFailed("NuvSimAddCamera(" + camera + ")", "the simulated world refused the camera");
    }
    const int devices = api.NuvSimDeviceCount();
    std::vector<int> held;
    for (int id = 1; id <= devices; ++id) {
        if (sim.sceneSet && api.NuvSimSetScene(id, sim.scene) != 1)
            throw Failure("--sim-scene " + Num(sim.scene, 1) + ": NuvSimSetScene refused it (levels go up to 1023)");
        if (!sim.lens.empty()) {
            const auto v = Numbers(sim.lens, "--sim-lens");
            if (v.size() != 3 && v.size() != 7) throw UsageError("--sim-lens expects CX,CY,STRENGTH[,F0,F1,F2,F3]");
            const double *factors = v.size() == 7 ? v.data() + 3 : nullptr;
            if (api.NuvSimSetLens(id, v[0], v[1], v[2], factors) != 1)
                throw Failure("--sim-lens " + sim.lens + ": NuvSimSetLens refused it (strength > -1, factors >= 0)");
        }
        for (const std::string &defect : sim.defects) {
            const auto v = Numbers(defect, "--sim-defect");
            if (v.size() != 3) throw UsageError("--sim-defect expects FX,FY,VALUE");
            if (api.NuvSimAddSensorDefect(id, v[0], v[1], static_cast<int>(v[2])) != 1)
                throw Failure("--sim-defect " + defect + ": NuvSimAddSensorDefect refused it (0 <= f < 1, value 0..1023)");
        }
        if (const int hid = api.NuvSimCameraHidInterface(id); sim.holdRewrite && hid > 0) held.push_back(hid);
        if (!sim.noise.empty()) {
            const auto v = Numbers(sim.noise, "--sim-noise");
            if (v.empty() || v.size() > 2) throw UsageError("--sim-noise expects SIGMA[,SEED]");
            if (api.NuvSimSetNoise(id, v[0], v.size() == 2 ? static_cast<unsigned>(v[1]) : 1u) != 1)
                throw Failure("--sim-noise " + sim.noise + ": NuvSimSetNoise refused it (sigma >= 0)");
        }
    }
    HoldSimRewrites(held);
}

// The simulated cameras' parameter blocks live in a JSON file between runs:
// each run starts a fresh world, and the file carries what a camera's flash
// would have kept.
void LoadSimState(const std::string &path) {
    if (path.empty()) return;
    std::ifstream in(path);
    if (!in) return;  // first run: the world's own data
    json state;
    try {
        in >> state;
    } catch (const std::exception &e) {
        throw Failure("--sim-state " + path + ": not a state file written by nuvctl (" + e.what() + ")");
    }
    const Api &api = Library();
    for (const auto &device : state.value("devices", json::array())) {
        const int position = device.at("position").get<int>();
        const std::string hex = device.at("parameter_block").get<std::string>();
        if (hex.size() != 2 * kBlockSize) throw Failure("--sim-state " + path + ": a parameter block is not 1176 bytes");
        std::vector<unsigned char> block(kBlockSize);
        for (int i = 0; i < kBlockSize; ++i) block[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
        const int hid = api.NuvSimCameraHidInterface(SimDeviceId(position));
        if (hid <= 0 || api.NuvSimFlashPoke(hid, kBlockAddress, block.data(), kBlockSize) != 1)
            throw Failure("--sim-state " + path + ": no camera with a control interface at position " +
                          std::to_string(position));
    }
}

void SaveSimState(const std::string &path) {
    if (path.empty()) return;
    const Api &api = Library();
    json state;
    state["devices"] = json::array();
    const int devices = api.NuvSimDeviceCount();
    std::vector<int> held;
    for (int id = 1; id <= devices; ++id) {
        const int hid = api.NuvSimCameraHidInterface(id);
        if (hid <= 0) continue;
        std::vector<unsigned char> block(kBlockSize);
        if (api.NuvSimFlashPeek(hid, kBlockAddress, block.data(), kBlockSize) != 1) continue;
        std::string hex;
        char two[3];
        for (unsigned char b : block) {
            std::snprintf(two, sizeof two, "%02x", b);
            hex += two;
        }
        state["devices"].push_back({{"position", id - 1}, {"parameter_block", hex}});
    }
    std::ofstream out(path);
    out << state.dump(1) << "\n";
    if (!out) throw Failure("--sim-state " + path + ": cannot write it");
}

// ---- list and info ------------------------------------------------------

const char *KindName(int kind) { return kind == kKindNuv ? "NUV" : kind == kKindNuv2 ? "NUV2" : "video only"; }

void List(bool formats, bool asJson) {
    const auto devices = ListDevices();
    json out = json::array();
    for (const auto &d : devices) {
        json entry = {{"position", d.position}, {"name", d.name}, {"kind", KindName(d.kind)},
                      {"serial", d.serial.empty() ? json(nullptr) : json(d.serial)}};
        std::vector<FormatEntry> list;
        if (formats) {
            list = ListFormats(d.position);
            entry["formats"] = json::array();
            for (const auto &f : list) {
                entry["formats"].push_back(
                    {{"width", f.width}, {"height", f.height}, {"fps", f.fps}, {"format", f.format}});
            }
        }
        out.push_back(entry);
        if (!asJson) {
            std::printf("%d: %-12s kind %-10s serial %s\n", d.position, d.name.c_str(), KindName(d.kind),
                        d.serial.empty() ? "-" : (d.name + "#" + d.serial).c_str());
            for (const auto &f : list) {
                std::printf("     %4d x %-4d %7.3f fps  %s\n", f.width, f.height, f.fps, f.format.c_str());
            }
        }
    }
    if (asJson) EmitJson(out);
    if (!asJson && devices.empty()) std::printf("no video devices\n");
}

void Info(const DeviceEntry &device, const OpenRequest &request, bool asJson) {
    const Api &api = Library();
    const auto held = OpenCamera(device, request, Stream::kAny);
    const Camera &camera = *held;
    json out = {{"library", LibraryVersion()}, {"position", device.position}, {"name", device.name},
                {"kind", KindName(device.kind)}, {"library_path", api.path}};
    if (!camera.HasControl()) {
        out["control"] = false;
    } else {
        const int h = camera.Handle();
        const std::string label = device.Label();
        const std::string channel = "the camera did not answer on its control channel within 5 s, or refused the command";
        char version[128] = {};
        if (api.NuvVersion(h, version, sizeof version) != 1) CallFailed("NuvVersion(" + label + ")", channel);
        int serial = 0;
        if (api.NuvGetSerialNo(h, &serial) != 1) CallFailed("NuvGetSerialNo(" + label + ")", channel);
        unsigned char recognition = 0;
        unsigned char usb = 0;
        if (api.NuvCameraRecognition(h, &recognition) != 1) CallFailed("NuvCameraRecognition(" + label + ")", channel);
        if (api.NuvUSBMode(h, &usb) != 1) CallFailed("NuvUSBMode(" + label + ")", channel);
        int t1 = 0;
        int t2 = 0;
        if (api.NuvTemperature(h, 1, &t1) != 1) CallFailed("NuvTemperature(" + label + ", 1)", channel);
        if (api.NuvTemperature(h, 2, &t2) != 1) CallFailed("NuvTemperature(" + label + ", 2)", channel);
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(serial));
        out["control"] = true;
        out["firmware"] = version;
        out["serial_number"] = hex;
        out["recognition"] = recognition;
        out["usb_mode"] = usb;
        out["temperature1"] = t1;
        out["temperature2"] = t2;
    }
    if (asJson) {
        EmitJson(out);
        return;
    }
    std::printf("library:       %s\n", out["library"].get<std::string>().c_str());
    std::printf("device:        %d: %s (kind %s)\n", device.position, device.Label().c_str(), KindName(device.kind));
    if (!camera.HasControl()) {
        std::printf("control:       none (a plain video device)\n");
        return;
    }
    std::printf("firmware:      %s\n", out["firmware"].get<std::string>().c_str());
    std::printf("serial number: %s\n", out["serial_number"].get<std::string>().c_str());
    std::printf("recognition:   0x%02X\n", out["recognition"].get<int>());
    std::printf("USB mode:      0x%02X\n", out["usb_mode"].get<int>());
    std::printf("temperature 1: %d\n", out["temperature1"].get<int>());
    std::printf("temperature 2: %d\n", out["temperature2"].get<int>());
}

// ---- controls -----------------------------------------------------------

enum class Needs { kVideo, kControl, kNuv, kNuv2 };

struct Control {
    const char *name;
    const char *type;
    long min;
    long max;
    long step;
    const char *defaultValue;  // what a camera starts with, where the library fixes it
    const char *access;        // "rw", "w", "r"
    Needs needs;
    const char *what;
};

const Control kControls[] = {
    {"led", "int", 0, 64, 1, nullptr, "rw", Needs::kVideo, "LED level (video property 0)"},
    {"gain", "int", 0, 240, 1, nullptr, "rw", Needs::kVideo, "sensor gain (video property 9)"},
    {"exposure", "int", -13, 0, 1, nullptr, "rw", Needs::kVideo, "exposure (camera control 4)"},
    {"camera_no", "int", 1, 2, 1, nullptr, "rw", Needs::kVideo, "camera number; selects the correction data"},
    {"color_bar", "bool", 0, 1, 1, nullptr, "rw", Needs::kVideo, "colour-bar test pattern"},
    {"shutter", "int", 1, 65530, 1, nullptr, "rw", Needs::kControl, "shutter"},
    {"digital_gain", "int[4]", 0, 65535, 1, nullptr, "rw", Needs::kControl, "four digital gains, G1,G2,G3,G4"},
    {"gpio_direction", "int", 0, 255, 1, nullptr, "w", Needs::kNuv, "GPIO direction bits (1 = output)"},
    {"gpio_output", "int", 0, 255, 1, nullptr, "w", Needs::kNuv, "GPIO output latch"},
    {"gpio_input", "int", 0, 255, 1, nullptr, "r", Needs::kNuv, "GPIO input levels"},
    {"register.ADDR", "int", 0, 255, 1, nullptr, "w", Needs::kControl, "sensor register ADDR (0..0xFFFF)"},
    {"defect_correction", "bool", 0, 1, 1, "1", "rw", Needs::kNuv2, "pixel-defect correction of frames"},
    {"shading_correction", "bool", 0, 1, 1, "1", "rw", Needs::kNuv2, "shading correction of frames"},
    {"temperature1", "int", 0, 255, 1, nullptr, "r", Needs::kControl, "temperature of sensor 1"},
    {"temperature2", "int", 0, 255, 1, nullptr, "r", Needs::kControl, "temperature of sensor 2"},
    {"serial_no", "hex", 0, 0, 1, nullptr, "r", Needs::kControl, "serial number"},
};

const Control &FindControl(const std::string &name) {
    const std::string key = name.rfind("register.", 0) == 0 ? "register.ADDR" : name;
    for (const Control &c : kControls) {
        if (key == c.name) return c;
    }
    std::string names;
    for (const Control &c : kControls) names += std::string(" ") + c.name;
    throw Failure("unknown control \"" + name + "\"; the controls are:" + names);
}

bool Available(const Control &c, const Camera &camera) {
    switch (c.needs) {
    case Needs::kVideo: return true;
    case Needs::kControl: return camera.HasControl();
    case Needs::kNuv: return camera.HasControl() && camera.Device().kind == kKindNuv;
    case Needs::kNuv2: return camera.HasControl() && camera.Device().kind == kKindNuv2;
    }
    return false;
}

void CheckAvailable(const Control &c, const Camera &camera, const std::string &name) {
    if (Available(c, camera)) return;
    const char *why = c.needs == Needs::kNuv ? "exists on NUV cameras only"
                      : c.needs == Needs::kNuv2 ? "exists on NUV2 cameras only"
                                                : "needs a camera with a control interface (NUV or NUV2)";
    throw Failure(name + " " + why + "; " + camera.Device().Label() + " is " + KindName(camera.Device().kind));
}

const char *kPropertyCauses = "the camera is not streaming, does not support the property, or refused the value "
                              "(its own range may be narrower than the library's)";
const char *kCommandCauses = "the camera did not answer on its control channel within 5 s, or refused the command";

// Reads a control's value, typed as its JSON shows it: a number, a boolean,
// four numbers, or the serial number's text.
json GetControl(const Camera &camera, const std::string &name) {
    const Control &c = FindControl(name);
    CheckAvailable(c, camera, name);
    if (std::string(c.access) == "w") throw Failure(name + " is write-only");
    const Api &api = Library();
    const int h = camera.Handle();
    const std::string label = camera.Device().Label();
    int value = 0;
    auto video = [&](auto fn, const char *call) -> json {
        if (fn(h, &value) != 1) CallFailed(std::string(call) + "(" + label + ")", kPropertyCauses);
        if (std::string(c.type) == "bool") return value != 0;
        return value;
    };
    if (name == "led") return video(api.NuvGetLed, "NuvGetLed");
    if (name == "gain") return video(api.NuvGetGain, "NuvGetGain");
    if (name == "exposure") return video(api.NuvGetExposure, "NuvGetExposure");
    if (name == "camera_no") return video(api.NuvGetCameraNo, "NuvGetCameraNo");
    if (name == "color_bar") return video(api.NuvGetColorBar, "NuvGetColorBar");
    if (name == "defect_correction") return video(api.NuvGetPixelDefectOnOff, "NuvGetPixelDefectOnOff");
    if (name == "shading_correction") return video(api.NuvGetShadingCorrectionOnOff, "NuvGetShadingCorrectionOnOff");
    if (name == "shutter") {
        unsigned short v = 0;
        if (api.NuvGetShutter(h, &v) != 1) CallFailed("NuvGetShutter(" + label + ")", kCommandCauses);
        return v;
    }
    if (name == "digital_gain") {
        unsigned short g[4] = {};
        if (api.NuvGetDigitalGain(h, &g[0], &g[1], &g[2], &g[3]) != 1)
            CallFailed("NuvGetDigitalGain(" + label + ")", kCommandCauses);
        return json::array({g[0], g[1], g[2], g[3]});
    }
    if (name == "gpio_input") {
        unsigned char v = 0;
        if (api.NuvGPIOInput(h, &v) != 1) CallFailed("NuvGPIOInput(" + label + ")", kCommandCauses);
        return v;
    }
    if (name == "temperature1" || name == "temperature2") {
        const int selector = name.back() - '0';
        if (api.NuvTemperature(h, selector, &value) != 1)
            CallFailed("NuvTemperature(" + label + ", " + std::to_string(selector) + ")", kCommandCauses);
        return value;
    }
    if (name == "serial_no") {
        if (api.NuvGetSerialNo(h, &value) != 1) CallFailed("NuvGetSerialNo(" + label + ")", kCommandCauses);
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(value));
        return hex;
    }
    throw Failure(name + " is write-only");
}

// A value as the text output shows it: booleans as 1 and 0, lists with
// commas between.
std::string Text(const json &value) {
    if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
    if (value.is_string()) return value.get<std::string>();
    if (value.is_array()) {
        std::string text;
        for (const auto &item : value) text += (text.empty() ? "" : ",") + Text(item);
        return text;
    }
    return value.dump();
}

long ParseInt(const std::string &text, const std::string &what) {
    try {
        std::size_t used = 0;
        const long v = std::stol(text, &used, 0);
        if (used == text.size()) return v;
    } catch (const std::exception &) {
    }
    throw Failure("refused: " + what + ": \"" + text + "\" is not a whole number (nothing sent)");
}

long InRange(const Control &c, const std::string &name, const std::string &text) {
    const long v = ParseInt(text, name);
    if (v < c.min || v > c.max) {
        throw Failure("refused: " + name + "=" + text + " is outside " + std::to_string(c.min) + ".." +
                      std::to_string(c.max) + " (nothing sent)");
    }
    return v;
}

void SetControl(const Camera &camera, const std::string &name, const std::string &text) {
    const Control &c = FindControl(name);
    CheckAvailable(c, camera, name);
    if (std::string(c.access) == "r") throw Failure(name + " is read-only");
    const Api &api = Library();
    const int h = camera.Handle();
    const std::string label = camera.Device().Label();
    auto call = [&](NuvBool ok, const char *fn, long v, const char *causes) {
        if (ok != 1) CallFailed(std::string(fn) + "(" + label + ", " + std::to_string(v) + ")", causes);
    };
    if (name == "digital_gain") {
        std::vector<long> g;
        std::stringstream in(text);
        std::string item;
        while (std::getline(in, item, ',')) g.push_back(InRange(c, name, item));
        if (g.size() != 4) throw Failure("refused: digital_gain takes four values G1,G2,G3,G4 (nothing sent)");
        if (api.NuvSetDigitalGain(h, static_cast<int>(g[0]), static_cast<int>(g[1]), static_cast<int>(g[2]),
                                  static_cast<int>(g[3])) != 1)
            CallFailed("NuvSetDigitalGain(" + label + ", " + text + ")", kCommandCauses);
        return;
    }
    if (name.rfind("register.", 0) == 0) {
        const long address = ParseInt(name.substr(9), "register address");
        if (address < 0 || address > 0xFFFF)
            throw Failure("refused: register address " + name.substr(9) + " is outside 0..0xFFFF (nothing sent)");
        const long v = InRange(c, name, text);
        if (api.NuvSetRegister(h, static_cast<int>(address), static_cast<int>(v)) != 1)
            CallFailed("NuvSetRegister(" + label + ", " + name.substr(9) + ", " + text + ")", kCommandCauses);
        return;
    }
    const long v = InRange(c, name, text);
    const int iv = static_cast<int>(v);
    if (name == "led") return call(api.NuvSetLed(h, iv), "NuvSetLed", v, kPropertyCauses);
    if (name == "gain") return call(api.NuvSetGain(h, iv), "NuvSetGain", v, kPropertyCauses);
    if (name == "exposure") return call(api.NuvSetExposure(h, iv), "NuvSetExposure", v, kPropertyCauses);
    if (name == "camera_no") return call(api.NuvSetCameraNo(h, iv), "NuvSetCameraNo", v, kPropertyCauses);
    if (name == "color_bar") return call(api.NuvSetColorBar(h, iv), "NuvSetColorBar", v, kPropertyCauses);
    if (name == "defect_correction")
        return call(api.NuvSetPixelDefectOnOff(h, iv), "NuvSetPixelDefectOnOff", v, "the camera is not a NUV2 camera");
    if (name == "shading_correction")
        return call(api.NuvSetShadingCorrectionOnOff(h, iv), "NuvSetShadingCorrectionOnOff", v,
                    "the camera is not a NUV2 camera");
    if (name == "shutter") return call(api.NuvSetShutter(h, iv), "NuvSetShutter", v, kCommandCauses);
    if (name == "gpio_direction") return call(api.NuvGPIODirection(h, iv), "NuvGPIODirection", v, kCommandCauses);
    if (name == "gpio_output") return call(api.NuvGPIOOutput(h, iv), "NuvGPIOOutput", v, kCommandCauses);
    throw Failure(name + " cannot be set");
}

// What the viewer's page offers: the controls it can change and read back.
std::vector<ControlInfo> ViewControls(const Camera &camera) {
    std::vector<ControlInfo> out;
    for (const Control &c : kControls) {
        if (Available(c, camera) && std::string(c.access) == "rw") out.push_back({c.name, c.type, c.min, c.max});
    }
    return out;
}

void Ctrls(const DeviceEntry &device, const OpenRequest &request, bool asJson) {
    const auto held = OpenCamera(device, request, Stream::kAny);
    const Camera &camera = *held;
    json out = json::array();
    for (const Control &c : kControls) {
        if (!Available(c, camera)) continue;
        json entry = {{"name", c.name}, {"type", c.type}, {"min", c.min}, {"max", c.max}, {"step", c.step},
                      {"access", c.access}, {"description", c.what}};
        entry["default"] = c.defaultValue ? json(std::atoi(c.defaultValue)) : json(nullptr);
        json value = nullptr;
        if (std::string(c.access) != "w") value = GetControl(camera, c.name);
        entry["value"] = value;
        out.push_back(entry);
        if (!asJson) {
            std::string range = std::string(c.type) == "hex" ? std::string("")
                                                             : "min=" + std::to_string(c.min) + " max=" +
                                                                   std::to_string(c.max) + " step=" + std::to_string(c.step);
            if (c.defaultValue) range += std::string(" default=") + c.defaultValue;
            std::printf("%20s %-7s %-2s : %-36s value=%-12s  %s\n", c.name, c.type, c.access, range.c_str(),
                        value.is_null() ? "-" : Text(value).c_str(), c.what);
        }
    }
    if (asJson) EmitJson(out);
}

void Get(const DeviceEntry &device, const OpenRequest &request, const std::vector<std::string> &names, bool asJson) {
    for (const auto &name : names) FindControl(name);  // unknown names fail before the open
    const auto held = OpenCamera(device, request, Stream::kAny);
    json out = json::object();
    for (const auto &name : names) {
        const json value = GetControl(*held, name);
        out[name] = value;
        if (!asJson) std::printf("%s=%s\n", name.c_str(), Text(value).c_str());
    }
    if (asJson) EmitJson(out);
}

void Set(const DeviceEntry &device, const OpenRequest &request, const std::vector<std::string> &assignments,
         bool asJson) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto &a : assignments) {
        const auto eq = a.find('=');
        if (eq == std::string::npos || eq == 0) throw UsageError("set expects NAME=VALUE, got \"" + a + "\"");
        pairs.emplace_back(a.substr(0, eq), a.substr(eq + 1));
        FindControl(pairs.back().first);
    }
    const auto held = OpenCamera(device, request, Stream::kAny);
    const Camera &camera = *held;
    json out = json::object();
    for (const auto &[name, value] : pairs) {
        SetControl(camera, name, value);
        // Read back what the camera now holds, where it can be read; what
        // cannot be read is shown as written.
        const Control &c = FindControl(name);
        json now;
        if (std::string(c.access) == "rw") {
            now = GetControl(camera, name);
        } else {
            now = ParseInt(value, name);
        }
        out[name] = now;
        if (!asJson) std::printf("%s=%s\n", name.c_str(), std::string(c.access) == "rw" ? Text(now).c_str() : value.c_str());
    }
    if (asJson) EmitJson(out);
}

// ---- capture ------------------------------------------------------------

struct CaptureArgs {
    int count = 1;
    int skip = 0;
    std::string pattern;
    bool raw = false;
    bool noCorrect = false;
};

std::string FileName(const std::string &pattern, int index, int count) {
    char name[4096];
    if (pattern.find('%') != std::string::npos) {
        std::snprintf(name, sizeof name, pattern.c_str(), index);
        return name;
    }
    if (count == 1) return pattern;
    const auto dot = pattern.rfind('.');
    const auto slash = pattern.find_last_of("/\\");
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    std::snprintf(name, sizeof name, "-%04d", index);
    return hasExt ? pattern.substr(0, dot) + name + pattern.substr(dot) : pattern + name;
}

std::string HostTime() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm utc = UtcTime(t);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char out[80];
    std::snprintf(out, sizeof out, "%s.%03dZ", text, static_cast<int>(ms));
    return out;
}

// What capture writes: the file's extension says it, --raw insists on raw.
enum class Output { kPng, kRaw };

std::string Extension(const std::string &pattern) {
    const auto slash = pattern.find_last_of("/\\");
    const auto dot = pattern.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = pattern.substr(dot + 1);
    for (char &ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return ext;
}

Output ChooseOutput(const CaptureArgs &args, bool asJson) {
    if (args.pattern == "-") {
        if (asJson) throw UsageError("capture -o - writes the frames to standard output; --json would mix with them");
        if (InSession())
            throw UsageError("capture -o -: a session's standard output carries its results; name a file");
        return args.raw ? Output::kRaw : Output::kPng;
    }
    const std::string ext = Extension(args.pattern);
    if (ext == "png") {
        if (args.raw) throw UsageError("capture --raw -o " + args.pattern + ": raw frames are no PNG; name the file "
                                       ".raw or .bin, or leave --raw out");
        return Output::kPng;
    }
    if (args.raw || ext == "raw" || ext == "bin") return Output::kRaw;
    throw UsageError("capture -o " + args.pattern + ": nuvctl writes 16-bit PNG (.png) or raw frames with a JSON "
                     "sidecar (.raw, .bin, or --raw); " + (ext.empty() ? "the name has no extension" : "." + ext +
                     " is neither") + " (\"-o -\" writes to standard output)");
}

// The correction switches of an open camera as frames are corrected now; a
// NUV camera always applies its stored defect correction and has no
// shading.
struct Corrections {
    bool defects = false;
    bool shading = false;
};

Corrections CurrentCorrections(const Camera &camera) {
    if (!camera.HasControl()) return {};
    if (camera.Device().kind != kKindNuv2) return {true, false};
    const Api &api = Library();
    int defects = 1;
    int shading = 1;
    if (api.NuvGetPixelDefectOnOff(camera.Handle(), &defects) != 1 ||
        api.NuvGetShadingCorrectionOnOff(camera.Handle(), &shading) != 1)
        CallFailed("NuvGetPixelDefectOnOff(" + camera.Device().Label() + ")", "the camera is not open as a NUV2 camera");
    return {defects != 0, shading != 0};
}

void WriteToStdout(const std::string &bytes) {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size())
        throw Failure("cannot write to standard output (closed pipe?)");
    std::fflush(stdout);
}

void Capture(const DeviceEntry &device, const OpenRequest &request, const CaptureArgs &args, bool asJson) {
    if (args.count < 1) throw UsageError("capture: -n must be at least 1");
    if (args.skip < 0) throw UsageError("capture: --skip must not be negative");
    if (args.pattern.empty()) throw UsageError("capture: -o PATTERN is required");
    const Output output = ChooseOutput(args, asJson);
    if (args.noCorrect && device.kind == kKindNuv)
        throw Failure("--no-correct: a NUV camera has no correction switches; its frames always carry its stored "
                      "defect correction");
    const auto held = OpenCamera(device, request, Stream::kAsRequested);
    Camera &camera = *held;
    // Frames of the library's cameras at one of their modes are 10-bit
    // values in 16-bit words; anything else is written as delivered.
    const bool words = camera.HasControl() && camera.Mode() >= 0 && request.format == "YUY2";
    if (output == Output::kPng && !words) {
        throw Failure("capture: frames of " + device.Label() + " at " + std::to_string(request.width) + "x" +
                      std::to_string(request.height) + " in " + request.format + " are written as delivered, not as "
                      "PNG (which holds the 10-bit frames of a NUV/NUV2 camera in YUY2 at its modes); name the file "
                      ".raw or .bin");
    }
    if (output == Output::kPng && !PngSupported()) {
        throw Failure("this build of nuvctl writes no PNG; capture with --raw (see the README)");
    }
    Corrections corrections = CurrentCorrections(camera);
    // --no-correct holds for this capture alone: a session's later commands
    // find the switches as they were.
    struct Restore {
        Camera *camera = nullptr;
        Corrections before;
        ~Restore() {
            if (camera == nullptr) return;
            try {
                camera->SetCorrections(before.defects, before.shading);
            } catch (const Failure &) {
            }
        }
    } restore;
    if (args.noCorrect) {
        restore.camera = &camera;
        restore.before = corrections;
        camera.SetCorrections(false, false);
        corrections = {};
    }
    for (int i = 0; i < args.skip; ++i) camera.NextFrame();
    json written = json::array();
    const bool toStdout = args.pattern == "-";
    const bool progress = StderrIsTerminal();
    for (int i = 0; i < args.count; ++i) {
        const std::string host = HostTime();
        const std::string path = toStdout ? "-" : FileName(args.pattern, i, args.count);
        if (output == Output::kPng) {
            const auto values = camera.NextWords();
            if (toStdout) {
                WriteToStdout(EncodePng16(request.width, request.height, values));
            } else {
                WritePng16(path, request.width, request.height, values);
            }
        } else {
            std::vector<std::uint8_t> bytes = camera.NextFrame();
            if (words) bytes.resize(static_cast<std::size_t>(request.width) * request.height * 2, 0);
            if (toStdout) {
                WriteToStdout(std::string(bytes.begin(), bytes.end()));
            } else {
                WriteBytes(path, bytes);
                json sidecar = {{"width", request.width},
                                {"height", request.height},
                                {"dtype", words ? "uint16le" : "bytes"},
                                {"format", request.format},
                                {"bytes", bytes.size()},
                                {"corrections", {{"pixel_defects", corrections.defects}, {"shading", corrections.shading}}},
                                {"device", device.Label()},
                                {"host_time", host}};
                if (words) sidecar["value_range"] = {0, 1023};
                std::ofstream out(path + ".json");
                out << sidecar.dump(2) << "\n";
                if (!out) throw Failure("cannot write " + path + ".json");
            }
        }
        written.push_back(path);
        if (progress) std::fprintf(stderr, "\rframe %d/%d  %s\033[K", i + 1, args.count, path.c_str());
    }
    if (progress) std::fprintf(stderr, "\n");
    if (asJson) {
        EmitJson({{"files", written}});
    } else if (StdoutIsTerminal() && !toStdout) {
        std::printf("wrote %d frame%s\n", args.count, args.count == 1 ? "" : "s");
    }
}

// ---- the command line ---------------------------------------------------

// Everything one command line says: the options before the command, and the
// command's own.
struct Invocation {
    LibraryChoice library;
    SimOptions sim;
    bool asJson = false;
    std::vector<std::string> selectors;
    std::string size;
    OpenRequest request;
    bool formats = false;
    std::vector<std::string> getNames;
    std::vector<std::string> setPairs;
    CaptureArgs cap;
    CorrectionArgs corr;
    FirmwareArgs fw;
    CalibrateArgs cal;
    ViewArgs view;
    std::string script;  // shell: the file of commands ("-" or none: standard input)
};

// The parser of a command line, bound to an Invocation. A session's lines
// take the commands and their options and the stream and device options,
// but not what chooses the library or builds the simulated world, which the
// session does once.
struct Parser {
    std::unique_ptr<CLI::App> app;
    CLI::App *list = nullptr, *info = nullptr, *ctrls = nullptr, *get = nullptr, *set = nullptr;
    CLI::App *capture = nullptr, *defects = nullptr, *shading = nullptr, *fwWrite = nullptr;
    CLI::App *calibrate = nullptr, *view = nullptr, *shell = nullptr;
    CLI::Option *simScene = nullptr;
};

Parser MakeParser(Invocation &in, bool sessionLine) {
    Parser p;
    p.app = std::make_unique<CLI::App>("nuvctl: control, capture, calibrate and view NUV / NUV2 cameras");
    CLI::App &app = *p.app;
    app.require_subcommand(1);
    app.fallthrough();
    if (!sessionLine) {
        app.set_version_flag("--version", "nuvctl 1.0");
        app.add_option("--library", in.library.path, "the nuv library to load (else NUVCTL_LIBRARY, else the default)");
#if defined(_WIN32)
        app.add_flag("--sim", in.library.sim, "load nuv_sim.dll, the simulated world, instead of nuv.dll");
#else
        app.add_flag("--sim", in.library.sim, "load libnuv_sim.so, the simulated world (the default)");
        app.add_flag("--real", in.library.real, "load libnuv.so, the real cameras");
#endif
    }
    app.add_flag("--json", in.asJson, "machine-readable output");
    app.add_option("-d,--device", in.selectors, "position, serial (NUV2#1A2B3C02) or unique name; default 0");
    app.add_option("--size", in.size, "frame size WxH (default 1280x720)");
    app.add_option("--fps", in.request.fps, "frame rate (default 30)")->check(CLI::NonNegativeNumber);
    app.add_option("--format", in.request.format, "stream format name (default YUY2)");
    if (!sessionLine) {
        SimOptions &sim = in.sim;
        auto *simGroup = app.add_option_group("simulated world", "options for tests and demos (simulated world only)");
        simGroup->add_flag("--virtual-clock", sim.virtualClock,
                           "run on the simulator's virtual clock: nothing waits in real time");
        simGroup->add_option("--sim-state", sim.stateFile, "keep the cameras' parameter blocks in this file between runs");
        simGroup->add_option("--sim-camera", sim.cameras, "add a camera NAME:SERIALHEX to the world (repeatable)");
        p.simScene = simGroup->add_option("--sim-scene", sim.scene, "flat light of this 10-bit level (0 dark) through the optics");
        simGroup->add_option("--sim-lens", sim.lens, "lens fall-off CX,CY,STRENGTH[,F0,F1,F2,F3]");
        simGroup->add_option("--sim-defect", sim.defects, "stuck sensor pixel FX,FY,VALUE (repeatable)");
        simGroup->add_option("--sim-noise", sim.noise, "read noise SIGMA[,SEED]");
        simGroup->add_flag("--sim-hold-rewrite", sim.holdRewrite,
                           "hold a firmware rewrite at its first chunk until the tool is interrupted (Ctrl-C)");
    }

    p.list = app.add_subcommand("list", "list the video devices, their kinds and serial numbers");
    p.list->add_flag("--formats", in.formats, "also list each device's stream formats");

    p.info = app.add_subcommand("info", "library and firmware versions, serial number, kind, identity bytes, temperatures");
    p.ctrls = app.add_subcommand("ctrls", "list the controls with their ranges and values");
    p.get = app.add_subcommand("get", "read controls");
    p.get->add_option("NAME", in.getNames, "control names")->required();
    p.set = app.add_subcommand("set", "write controls, then read them back");
    p.set->add_option("NAME=VALUE", in.setPairs, "assignments")->required();

    p.capture = app.add_subcommand("capture", "write frames to files");
    CaptureArgs &cap = in.cap;
    p.capture->add_option("-n,--count", cap.count, "number of frames (default 1)");
    p.capture->add_option("--skip", cap.skip, "frames to drop first");
    p.capture->add_option("-o,--output", cap.pattern,
                          "file name or printf pattern (frame-%03d.png): .png, or .raw/.bin for raw words; - for "
                          "standard output")->required();
    p.capture->add_flag("--raw", cap.raw, "raw little-endian words with a JSON sidecar instead of PNG");
    p.capture->add_flag("--no-correct", cap.noCorrect, "switch pixel-defect and shading correction off");

    CorrectionArgs &corr = in.corr;
    auto addCorrection = [&](CLI::App *parent, const char *what) {
        auto *g = parent->add_subcommand("get", std::string("write the ") + what + " to a JSON file (or stdout)");
        g->add_option("-o,--output", corr.file, "JSON file (default: stdout)");
        auto *s = parent->add_subcommand("set", std::string("write the ") + what + " of a JSON file into the camera");
        s->add_option("FILE", corr.file, "JSON file as written by get")->required();
        s->add_flag("--yes", corr.yes, "write; without it the changes are only shown");
        for (auto *sub : {g, s}) {
            sub->add_option("--camera-no", corr.cameraNumbers, "camera number 1 or 2 (default both)")
                ->check(CLI::Range(1, 2));
            sub->add_option("--mode", corr.modes, "mode 0 (1280x720), 1 (656x408), 2 (328x204); default all")
                ->check(CLI::Range(0, 2));
        }
        parent->require_subcommand(1);
    };
    p.defects = app.add_subcommand("defects", "the cameras' pixel-defect lists");
    addCorrection(p.defects, "pixel-defect lists");
    p.shading = app.add_subcommand("shading", "the cameras' shading coefficients");
    addCorrection(p.shading, "shading coefficients");

    auto *firmware = app.add_subcommand("firmware", "rewrite the camera's firmware");
    firmware->require_subcommand(1);
    p.fwWrite = firmware->add_subcommand("write", "write a firmware image into the camera's flash and verify it");
    p.fwWrite->add_option("IMAGE", in.fw.image, "raw firmware image")->required();
    p.fwWrite->add_flag("--yes", in.fw.yes, "really rewrite (it cannot be cancelled once started)");

    p.calibrate = app.add_subcommand("calibrate", "measure defect lists and shading coefficients from frames");
    CalibrateArgs &cal = in.cal;
    p.calibrate->add_option("--camera-no", cal.cameraNumbers, "camera number 1 or 2 (default both)")->check(CLI::Range(1, 2));
    p.calibrate->add_option("--mode", cal.modes, "mode 0, 1 or 2 (default all)")->check(CLI::Range(0, 2));
    p.calibrate->add_option("--frames", cal.frames, "frames averaged per measurement (default 16)")->check(CLI::Range(1, 1000));
    p.calibrate->add_option("--level", cal.level, "flat light the simulated world shows (default 600)")->check(CLI::Range(1.0, 1023.0));
    p.calibrate->add_flag("--write", cal.write, "write the results into the camera and verify them");
    p.calibrate->add_flag("--yes", cal.yes, "confirm --write");

    p.view = app.add_subcommand("view", "serve a live view on http://127.0.0.1:PORT/");
    p.view->add_option("--port", in.view.port, "port on 127.0.0.1 (default 8080; 0 picks a free one)")->check(CLI::Range(0, 65535));
    p.view->add_option("--snapshot-dir", in.view.snapshotDir, "where the page's snapshot button writes PNGs (default .)");

    if (!sessionLine) {
        p.shell = app.add_subcommand("shell", "run many commands on one open camera: one per line, from the terminal, "
                                              "standard input or FILE; --json gives one JSON object per line");
        p.shell->add_option("FILE", in.script, "file of commands (default: standard input)");
    }
    return p;
}

bool ParseSize(const std::string &text, OpenRequest &request) {
    const auto x = text.find_first_of("xX");
    if (x == std::string::npos) return false;
    try {
        std::size_t usedWidth = 0;
        std::size_t usedHeight = 0;
        request.width = std::stoi(text.substr(0, x), &usedWidth);
        request.height = std::stoi(text.substr(x + 1), &usedHeight);
        if (usedWidth != x || usedHeight != text.size() - x - 1) return false;
    } catch (const std::exception &) {
        return false;
    }
    return request.width > 0 && request.height > 0;
}

// Runs the command a parsed line names.
void RunCommand(const Parser &p, Invocation &in) {
    if (!in.size.empty() && !ParseSize(in.size, in.request))
        throw UsageError("--size expects WxH, e.g. 1280x720, got \"" + in.size + "\"");
    const std::vector<std::string> &selectors = in.selectors;
    auto one = [&]() {
        if (selectors.size() > 1)
            throw UsageError("this command takes one device (-d); got " + std::to_string(selectors.size()));
        return SelectDevice(selectors.empty() ? "0" : selectors.front());
    };
    if (p.list->parsed()) {
        List(in.formats, in.asJson);
    } else if (p.info->parsed()) {
        Info(one(), in.request, in.asJson);
    } else if (p.ctrls->parsed()) {
        Ctrls(one(), in.request, in.asJson);
    } else if (p.get->parsed()) {
        Get(one(), in.request, in.getNames, in.asJson);
    } else if (p.set->parsed()) {
        Set(one(), in.request, in.setPairs, in.asJson);
    } else if (p.capture->parsed()) {
        Capture(one(), in.request, in.cap, in.asJson);
    } else if (p.defects->parsed()) {
        in.corr.json = in.asJson;
        if (p.defects->got_subcommand("get")) DefectsGet(one(), in.corr);
        else DefectsSet(one(), in.corr);
    } else if (p.shading->parsed()) {
        in.corr.json = in.asJson;
        if (p.shading->got_subcommand("get")) ShadingGet(one(), in.corr);
        else ShadingSet(one(), in.corr);
    } else if (p.fwWrite->parsed()) {
        in.fw.json = in.asJson;
        FirmwareWrite(one(), in.fw);
    } else if (p.calibrate->parsed()) {
        in.cal.json = in.asJson;
        Calibrate(one(), in.cal);
    } else if (p.view->parsed()) {
        // The viewer opens its cameras itself.
        CloseSessionCamera();
        std::vector<std::string> chosen = selectors.empty() ? std::vector<std::string>{"0"} : selectors;
        for (const auto &s : chosen) in.view.devices.push_back(SelectDevice(s));
        in.view.request = in.request;
        in.view.controls = ViewControls;
        in.view.getControl = GetControl;
        in.view.setControl = SetControl;
        View(in.view);
    }
}

// CLI11's parse errors: help and version exit 0 after printing them,
// everything else is a usage error.
int ParseErrorExit(CLI::App &app, const CLI::ParseError &e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
}

std::string Trim(const std::string &text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// nuvctl shell: the commands of a file, of standard input, or typed at the
// terminal, one per line, all on one open camera and one simulated world.
// Each line starts from the shell's own options (device, stream, --json)
// and may add its own. Blank lines and lines starting with # are skipped;
// "exit" or "quit" ends the session. Returns 1 when any command failed.
int Shell(const Invocation &start) {
    std::ifstream file;
    const bool fromStdin = start.script.empty() || start.script == "-";
    if (!fromStdin) {
        file.open(start.script);
        if (!file) throw Failure("cannot read the commands of " + start.script + ": " + std::strerror(errno));
    }
    std::istream &in = fromStdin ? std::cin : file;
    const bool interactive = fromStdin && StdinIsTerminal();
    Session session;
    int failed = 0;
    int number = 0;
    for (;;) {
        if (interactive) {
            std::fprintf(stderr, "nuvctl> ");
            std::fflush(stderr);
        }
        std::string line;
        if (!std::getline(in, line)) break;
        ++number;
        const std::string text = Trim(line);
        if (text.empty() || text[0] == '#') continue;
        if (text == "exit" || text == "quit") break;
        Invocation each;
        each.asJson = start.asJson;
        each.selectors = start.selectors;
        each.size = start.size;
        each.request = start.request;
        Parser p = MakeParser(each, true);
        p.app->name("nuvctl");
        // A line may repeat the tool's name, as the same command typed on
        // its own would.
        std::string command = text;
        if (command.rfind("nuvctl ", 0) == 0) command = Trim(command.substr(7));
        session.Begin(text, start.asJson || command.find("--json") != std::string::npos);
        std::string error;
        try {
            try {
                p.app->parse(command, false);
            } catch (const CLI::CallForHelp &) {
                std::printf("%s", p.app->help().c_str());
                session.End(true);
                continue;
            } catch (const CLI::ParseError &e) {
                throw UsageError(e.what());
            }
            session.Begin(text, each.asJson);
            RunCommand(p, each);
            std::fflush(stdout);
            session.End(true);
            continue;
        } catch (const Failure &e) {
            error = e.what();
        } catch (const std::exception &e) {
            error = std::string("unexpected failure: ") + e.what();
        }
        ++failed;
        std::fflush(stdout);
        std::fprintf(stderr, "nuvctl: %s:%d: %s\n", fromStdin ? "stdin" : start.script.c_str(), number, error.c_str());
        session.End(false, error);
    }
    if (interactive) std::fprintf(stderr, "\n");
    return failed > 0 ? 1 : 0;
}

}  // namespace
}  // namespace nuvctl

int main(int argc, char **argv) {
    using namespace nuvctl;
    Invocation in;
    Parser p = MakeParser(in, false);
    try {
        p.app->parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return ParseErrorExit(*p.app, e);
    }
    in.sim.sceneSet = p.simScene->count() > 0;
    int status = 0;
    try {
        LoadNuvLibrary(in.library);
        SetPacing({in.sim.virtualClock});
        ApplySimOptions(in.sim);
        LoadSimState(in.sim.stateFile);
        if (p.shell->parsed()) {
            if (!in.size.empty() && !ParseSize(in.size, in.request))
                throw UsageError("--size expects WxH, e.g. 1280x720, got \"" + in.size + "\"");
            status = Shell(in);
        } else {
            RunCommand(p, in);
        }
        SaveSimState(in.sim.stateFile);
    } catch (const UsageError &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "nuvctl: %s\n", e.what());
        status = 2;
    } catch (const Failure &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "nuvctl: %s\n", e.what());
        status = 1;
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "nuvctl: unexpected failure: %s\n", e.what());
        status = 1;
    }
    return status;
}
