#include "tests/gadget/command_reports.h"

#include <algorithm>
#include <cstdio>

#include "platform/sim/firmware.h"

namespace nuv::gadget {

Report AnswerCommandReport(nuv::sim::Firmware &firmware, const std::uint8_t *report, std::size_t length) {
    nuv::sim::Firmware::Block command{};
    if (length > 1) std::copy(report + 1, report + std::min(length, 1 + command.size()), command.begin());
    const nuv::sim::Firmware::Block reply = firmware.Answer(command);
    Report input{};
    input[0] = length > 0 ? report[0] : 0;
    std::copy(reply.begin(), reply.end(), input.begin() + 1);
    return input;
}

std::string DescribeExchange(const std::uint8_t *command, const Report &reply) {
    char line[80];
    std::snprintf(line, sizeof line, "command 0x%02x (sequence %u): status 0x%02x", command[1], command[0],
                  reply[kReportLength - 1]);
    return line;
}

}  // namespace nuv::gadget
