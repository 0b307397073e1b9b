// The camera's vendor reports on a HID interface without report IDs: an
// output report is a sequence number and a 63-byte command block; the
// input report that answers it is the same sequence number and the
// firmware's 63-byte reply block (echoed command code, data, status).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace nuv::sim {
class Firmware;
}

namespace nuv::gadget {

inline constexpr std::size_t kReportLength = 64;
using Report = std::array<std::uint8_t, kReportLength>;

// The input report answering one output report (`length` bytes as they
// came; a short one counts as zero-padded). The caller serialises access to
// the firmware.
Report AnswerCommandReport(nuv::sim::Firmware &firmware, const std::uint8_t *report, std::size_t length);

// "command 0x21 (sequence 5): status 0x00", for logs.
std::string DescribeExchange(const std::uint8_t *command, const Report &reply);

}  // namespace nuv::gadget
