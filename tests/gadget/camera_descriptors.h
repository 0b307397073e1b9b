// The USB descriptors of the virtual camera as one composite device: a
// video function (control interface with camera terminal, processing unit
// and output terminal; streaming interface with one uncompressed YUY2
// format over a bulk endpoint) and the vendor HID interface (64-byte input
// and output reports on interrupt endpoints, no report IDs).
//
// The whole configuration stays within 256 bytes: gadgetfs sends no more of
// it (the host then times out reading the rest). That leaves out the
// interface association and the colour matching descriptor (both optional
// for the host's drivers) and the camera terminal's controls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/gadget/uvc_requests.h"

namespace nuv::gadget {

struct CameraIdentity {
    std::uint16_t vendorId = 0x1D6B;
    std::uint16_t productId = 0x0102;
    std::uint16_t release = 0x0100;
    std::string manufacturer = "nuv";
    std::string product = "NUV2";
    std::string serial = "1A2B3C04";
};

struct CameraEndpoints {
    std::uint8_t videoIn = 0x81;
    std::uint8_t hidIn = 0x85;
    std::uint8_t hidOut = 0x02;
};

inline constexpr int kHidInterface = 2;
inline constexpr std::uint16_t kHidPacket = 64;

std::vector<std::uint8_t> HidReportDescriptor();
// The HID class descriptor (as in the configuration, and on request).
std::vector<std::uint8_t> HidClassDescriptor();
std::vector<std::uint8_t> DeviceDescriptor(const CameraIdentity &identity);
// The whole configuration at full or high speed; unitControls: the
// processing unit's control bitmap.
inline constexpr std::size_t kConfigurationLimit = 256;
std::vector<std::uint8_t> ConfigurationDescriptor(const UvcLayout &layout, std::uint16_t unitControls,
                                                  const CameraEndpoints &endpoints, bool highSpeed);
// String descriptor `index` (0: the language list), or nothing.
std::optional<std::vector<std::uint8_t>> StringDescriptor(const CameraIdentity &identity, int index);

// One endpoint descriptor.
std::vector<std::uint8_t> EndpointDescriptor(std::uint8_t address, std::uint8_t attributes, std::uint16_t maxPacket,
                                             std::uint8_t interval);
// The bulk packet size at each speed: a payload must not end on a packet
// boundary unless it has the full payload length.
inline constexpr std::uint16_t BulkPacket(bool highSpeed) { return highSpeed ? 512 : 64; }
// The interrupt interval giving 1 ms at each speed.
inline constexpr std::uint8_t InterruptInterval(bool highSpeed) { return highSpeed ? 4 : 1; }

}  // namespace nuv::gadget
