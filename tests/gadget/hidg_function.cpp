#include "tests/gadget/hidg_function.h"

#include <fcntl.h>

#include <iostream>

namespace nuv::gadget {

namespace {

bool Gone(int code) { return code == ENODEV || code == ESHUTDOWN; }

}  // namespace

HidgFunction::HidgFunction(const std::string &node, nuv::sim::Firmware &firmware, bool verbose)
    : node_(node), firmware_(firmware), verbose_(verbose) {
    fd_ = OwnedFd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd_) FailErrno("cannot open the HID function's node " + node);
}

bool HidgFunction::OnReadable() {
    for (;;) {
        std::uint8_t report[kReportLength + 1] = {};
        const ssize_t got = ::read(fd_.Get(), report, sizeof report);
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) return true;
            if (Gone(errno)) return false;
            FailErrno("cannot read an output report from " + node_);
        }
        if (got == 0) return true;
        const Report reply = AnswerCommandReport(firmware_, report, static_cast<std::size_t>(got));
        if (verbose_) std::cerr << "nuv_gadget: " << DescribeExchange(report, reply) << std::endl;
        ++answered_;
        if (replies_.size() >= kQueueLimit) {
            replies_.pop_front();
            ++dropped_;
        }
        replies_.push_back(reply);
    }
}

bool HidgFunction::OnWritable() {
    while (!replies_.empty()) {
        const Report &input = replies_.front();
        const ssize_t put = ::write(fd_.Get(), input.data(), input.size());
        if (put < 0) {
            if (errno == EAGAIN || errno == EINTR) return true;
            if (Gone(errno)) return false;
            FailErrno("cannot write an input report to " + node_);
        }
        if (static_cast<std::size_t>(put) != input.size()) {
            throw Error(node_ + " took " + std::to_string(put) + " of the " + std::to_string(input.size()) +
                        " bytes of an input report");
        }
        replies_.pop_front();
    }
    return true;
}

}  // namespace nuv::gadget
