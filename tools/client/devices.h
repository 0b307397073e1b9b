// The devices the loaded library lists, their stream formats, and the
// choice of one device by what a user types (nuvctl -d, nuvsrc device=).
#pragma once

#include <string>
#include <vector>

#include "api.h"
#include "protocol/camera_protocol.h"

namespace nuvclient {

using nuv::protocol::kKindNuv;
using nuv::protocol::kKindNuv2;
using nuv::protocol::kKindVideoOnly;

// A device as the library lists it.
struct DeviceEntry {
    int position = 0;
    std::string name;    // friendly name
    std::string serial;  // serial text ("1A2B3C02"), empty when none was found
    int kind = kKindVideoOnly;  // kKindNuv "NUV", kKindNuv2 "NUV2", or any other device
    std::string Label() const;  // "NUV2#1A2B3C02" or the name
};
std::vector<DeviceEntry> ListDevices(const Api &api = Library());

struct FormatEntry {
    int index = 0;
    int width = 0;
    int height = 0;
    double fps = 0.0;
    std::string format;
};
// The stream formats of a position (0..9).
std::vector<FormatEntry> ListFormats(int position, const Api &api = Library());

// Resolves a selector: a position, a serial text ("NUV2#1A2B3C02" or
// "1A2B3C02") or a unique name. Throws Failure naming the devices there are
// when none or several match.
DeviceEntry SelectDevice(const std::string &selector, const Api &api = Library());

// Why NuvOpen may have refused this device: the library reports only its
// result, so the text names every likely cause.
std::string OpenFailureCauses(const DeviceEntry &device);

}  // namespace nuvclient
