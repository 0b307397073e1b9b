#include "devices.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace nuvclient {

std::string DeviceEntry::Label() const { return serial.empty() ? name : name + "#" + serial; }

std::vector<DeviceEntry> ListDevices(const Api &api) {
    std::vector<char> text(1 << 16, '\0');
    const int count = api.NuvGetDeviceWithSerialNo(text.data(), static_cast<int>(text.size()));
    if (count < 0) {
        CallFailed("NuvGetDeviceWithSerialNo", "the device list did not fit in 64 KiB");
    }
    std::vector<DeviceEntry> devices;
    std::stringstream in(text.data());
    std::string entry;
    int position = 0;
    while (position < count && std::getline(in, entry, ',')) {
        DeviceEntry d;
        d.position = position++;
        const auto hash = entry.find('#');
        d.name = entry.substr(0, hash);
        if (hash != std::string::npos) d.serial = entry.substr(hash + 1);
        d.kind = d.name == "NUV" ? kKindNuv : d.name == "NUV2" ? kKindNuv2 : kKindVideoOnly;
        devices.push_back(d);
    }
    return devices;
}

std::vector<FormatEntry> ListFormats(int position, const Api &api) {
    if (position < 0 || position > 9) return {};
    std::vector<char> text(1 << 16, '\0');
    if (api.NuvGetFormat(position, text.data(), static_cast<int>(text.size())) != 1) {
        CallFailed("NuvGetFormat(" + std::to_string(position) + ")",
                   "the device could not be enumerated (unplugged, or its capture filter failed)");
    }
    std::vector<FormatEntry> formats;
    std::stringstream in(text.data());
    std::vector<std::string> fields;
    std::string field;
    while (std::getline(in, field, ',')) fields.push_back(field);
    for (std::size_t i = 0; i + 4 < fields.size(); i += 5) {
        FormatEntry f;
        f.index = std::atoi(fields[i].c_str());
        f.width = std::atoi(fields[i + 1].c_str());
        f.height = std::atoi(fields[i + 2].c_str());
        f.fps = std::atof(fields[i + 3].c_str());
        f.format = fields[i + 4];
        formats.push_back(f);
    }
    return formats;
}

static bool AllDigits(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

static std::string Upper(std::string s) {
    for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

DeviceEntry SelectDevice(const std::string &selector, const Api &api) {
    const auto devices = ListDevices(api);
    auto describe = [&](const std::vector<DeviceEntry> &list) {
        std::string text;
        for (const auto &d : list) text += "\n  " + std::to_string(d.position) + ": " + d.Label();
        return text.empty() ? std::string("\n  (no devices)") : text;
    };
    if (AllDigits(selector)) {
        const int position = std::atoi(selector.c_str());
        for (const auto &d : devices) {
            if (d.position == position) return d;
        }
        throw Failure("no device at position " + selector + "; the devices are:" + describe(devices));
    }
    std::vector<DeviceEntry> matches;
    for (const auto &d : devices) {
        if (!d.serial.empty() && (Upper(selector) == Upper(d.Label()) || Upper(selector) == Upper(d.serial)))
            matches.push_back(d);
    }
    if (matches.empty()) {
        for (const auto &d : devices) {
            if (d.name == selector) matches.push_back(d);
        }
    }
    if (matches.size() == 1) return matches.front();
    if (matches.empty()) throw Failure("no device matches \"" + selector + "\"; the devices are:" + describe(devices));
    throw Failure("\"" + selector + "\" matches " + std::to_string(matches.size()) +
                  " devices; choose one by position or serial:" + describe(matches));
}

std::string OpenFailureCauses(const DeviceEntry &device) {
    std::string causes = "the format name is not one the library knows (YUY2, MJPG, H264, IYUV, RGB24, RGB32, "
                         "I420, RGB555), the device does not offer that size and rate, it is already open, "
                         "it was unplugged, or no first frame arrived within 3 s";
    if (device.kind != kKindVideoOnly)
        causes += "; a NUV/NUV2 camera opens only at 1280x720, 656x408 or 328x204 and needs its control interface";
    return causes;
}

}  // namespace nuvclient
