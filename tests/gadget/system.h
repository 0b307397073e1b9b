// Small helpers around the system calls of the gadget: errors that name
// what failed and why, and file descriptors that close themselves.
#pragma once

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include <unistd.h>

namespace nuv::gadget {

// A failure of the gadget, with the system's reason when there is one.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string &what) : std::runtime_error(what) {}
};

// what + ": " + the text of errno (read before anything else can change it).
[[noreturn]] inline void FailErrno(const std::string &what) {
    const int code = errno;
    throw Error(what + ": " + std::strerror(code));
}

class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(OwnedFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedFd &operator=(OwnedFd &&other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    OwnedFd(const OwnedFd &) = delete;
    OwnedFd &operator=(const OwnedFd &) = delete;
    ~OwnedFd() { Reset(); }

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

}  // namespace nuv::gadget
