// The camera's vendor HID interface as the HID function of a configfs
// gadget (/dev/hidgN, 64-byte reports without report IDs): each output
// report the host writes is answered by the simulated firmware with one
// input report.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "tests/gadget/command_reports.h"
#include "tests/gadget/system.h"

namespace nuv::sim {
class Firmware;
}

namespace nuv::gadget {

class HidgFunction {
public:
    HidgFunction(const std::string &node, nuv::sim::Firmware &firmware, bool verbose);

    int Fd() const { return fd_.Get(); }
    // Replies wait until the host takes them (it reads input reports only
    // while it has the interface open).
    bool WantsWrite() const { return !replies_.empty(); }

    // Both return false once the node has gone (the gadget was unbound).
    bool OnReadable();
    bool OnWritable();

    std::uint64_t CommandsAnswered() const { return answered_; }
    std::uint64_t RepliesDropped() const { return dropped_; }

private:
    // Replies nobody read are dropped beyond this, oldest first, as a
    // device's small report queue would.
    static constexpr std::size_t kQueueLimit = 32;

    std::string node_;
    nuv::sim::Firmware &firmware_;
    bool verbose_;
    OwnedFd fd_;
    std::deque<Report> replies_;
    std::uint64_t answered_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace nuv::gadget
