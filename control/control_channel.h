// The camera's HID control channel: owns the file handle and closes it when
// the last user lets go, so that a command or a firmware job still running
// on another thread never writes to a closed handle, or to another device
// that the OS gave the same handle value.
//
// It also keeps the report lengths of its own interface (cameras on one
// machine may report different ones) and serialises the exchanges made
// through it: two threads sending at once would otherwise read each other's
// replies from the one handle, and one of them would wait out the deadline.
#pragma once

#include <mutex>

#include "platform/os.h"

namespace nuv {

class ControlChannel {
public:
    ControlChannel(HANDLE handle, unsigned inputLength, unsigned outputLength)
        : handle_(handle), inputLength_(inputLength), outputLength_(outputLength) {}
    ControlChannel(const ControlChannel &) = delete;
    ControlChannel &operator=(const ControlChannel &) = delete;
    ~ControlChannel() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) os::CloseHandle(handle_);
    }
    HANDLE handle() const { return handle_; }
    unsigned inputLength() const { return inputLength_; }
    unsigned outputLength() const { return outputLength_; }
    // Held for one whole exchange (command report out, reply in).
    std::mutex &exchangeLock() const { return exchangeLock_; }

private:
    HANDLE handle_;
    unsigned inputLength_;
    unsigned outputLength_;
    mutable std::mutex exchangeLock_;
};

}  // namespace nuv
