// A small check of a hidraw node, for the throw-away guest: prints what the
// kernel knows of the device (name, bus and ids, report descriptor) and, when
// asked, sends one vendor command and prints the reply.
//
//   guest_hidraw_probe DEVICE [--command HEXBYTE...] [--sequence N] [--timeout-ms N]
//                      [--repeat N] [--interval-ms N]
//
// --repeat sends the command N times (sequence numbers counting up), one
// every --interval-ms, and stops at the first that fails.
// The camera's reports carry no report ID: the command goes out as report
// number 0 (hidraw strips it), the sequence number, then the command bytes,
// zero-padded to 64 bytes; the reply is the input report that echoes the
// sequence number and command code. Exit status 0 when every step worked,
// 1 with the reason otherwise.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kReportLength = 64;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string &what) {
    const int code = errno;
    throw Failure(what + ": " + std::strerror(code));
}

long Number(const std::string &text, int base, long low, long high, const char *what) {
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, base);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
        throw Failure(std::string("not a valid ") + what + ": \"" + text + "\"");
    }
    return value;
}

long MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

void PrintHex(const char *label, const std::uint8_t *bytes, std::size_t size) {
    std::printf("%s", label);
    for (std::size_t i = 0; i < size; ++i) std::printf(" %02x", bytes[i]);
    std::printf("\n");
}

// One command report out, then input reports until the one that echoes
// its sequence number and command code.
void Exchange(int fd, const std::string &device, const std::vector<std::uint8_t> &command, std::uint8_t sequence,
              long timeoutMs) {
    std::uint8_t out[kReportLength + 1] = {};
    out[0] = 0;  // no report IDs: report number 0, not sent
    out[1] = sequence;
    std::memcpy(out + 2, command.data(), command.size());
    const ssize_t written = write(fd, out, sizeof out);
    if (written < 0) Fail("cannot write the command report to " + device);
    if (static_cast<std::size_t>(written) != sizeof out) {
        throw Failure("the command report went out short: " + std::to_string(written) + " of " +
                      std::to_string(sizeof out) + " bytes");
    }
    const long deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        const long left = deadline - MonotonicMs();
        if (left <= 0) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02x", command[0]);
            throw Failure(std::string("no reply to command ") + code + " within " + std::to_string(timeoutMs) + " ms");
        }
        pollfd wait{fd, POLLIN, 0};
        const int ready = poll(&wait, 1, static_cast<int>(left));
        if (ready < 0) {
            if (errno == EINTR) continue;
            Fail("poll on " + device);
        }
        if (ready == 0) continue;
        if (wait.revents & (POLLERR | POLLHUP | POLLNVAL)) throw Failure(device + " went away while waiting for the reply");
        std::uint8_t in[kReportLength + 1] = {};
        const ssize_t got = read(fd, in, sizeof in);
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            Fail("cannot read a reply from " + device);
        }
        if (got >= 2 && in[0] == sequence && in[1] == command[0]) {
            if (static_cast<std::size_t>(got) != kReportLength) {
                throw Failure("the reply has " + std::to_string(got) + " bytes, not " + std::to_string(kReportLength));
            }
            PrintHex("reply:", in, static_cast<std::size_t>(got));
            std::fflush(stdout);
            return;
        }
        PrintHex("other report:", in, static_cast<std::size_t>(got));
    }
}

int Run(int argc, char **argv) {
    if (argc < 2 || argv[1][0] == '-') {
        throw Failure("usage: guest_hidraw_probe DEVICE [--command HEXBYTE...] [--sequence N] [--timeout-ms N] "
                      "[--repeat N] [--interval-ms N]");
    }
    const std::string device = argv[1];
    std::vector<std::uint8_t> command;
    int sequence = 1;
    long timeoutMs = 5000;
    long repeat = 1;
    long intervalMs = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--command") {
            while (i + 1 < argc && argv[i + 1][0] != '-') {
                command.push_back(static_cast<std::uint8_t>(Number(argv[++i], 16, 0, 255, "command byte")));
            }
            if (command.empty() || command.size() > kReportLength - 1) {
                throw Failure("--command needs 1 to 63 hex bytes");
            }
        } else if (arg == "--sequence" && i + 1 < argc) {
            sequence = static_cast<int>(Number(argv[++i], 0, 0, 255, "sequence number"));
        } else if (arg == "--timeout-ms" && i + 1 < argc) {
            timeoutMs = Number(argv[++i], 10, 1, 600000, "timeout");
        } else if (arg == "--repeat" && i + 1 < argc) {
            repeat = Number(argv[++i], 10, 1, 1000000, "repeat count");
        } else if (arg == "--interval-ms" && i + 1 < argc) {
            intervalMs = Number(argv[++i], 10, 0, 600000, "interval");
        } else {
            throw Failure("unknown or incomplete argument \"" + arg + "\"");
        }
    }

    const int fd = open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) Fail("cannot open " + device);
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};

    char name[256] = {};
    if (ioctl(fd, HIDIOCGRAWNAME(sizeof name - 1), name) < 0) Fail("HIDIOCGRAWNAME on " + device);
    char phys[256] = {};
    if (ioctl(fd, HIDIOCGRAWPHYS(sizeof phys - 1), phys) < 0) Fail("HIDIOCGRAWPHYS on " + device);
    hidraw_devinfo info{};
    if (ioctl(fd, HIDIOCGRAWINFO, &info) < 0) Fail("HIDIOCGRAWINFO on " + device);
    std::printf("device %s: name \"%s\", phys \"%s\", bus %u, vendor 0x%04x, product 0x%04x\n", device.c_str(), name,
                phys, info.bustype, static_cast<unsigned>(info.vendor) & 0xFFFF,
                static_cast<unsigned>(info.product) & 0xFFFF);
    int descriptorSize = 0;
    if (ioctl(fd, HIDIOCGRDESCSIZE, &descriptorSize) < 0) Fail("HIDIOCGRDESCSIZE on " + device);
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<std::uint32_t>(descriptorSize);
    if (ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) Fail("HIDIOCGRDESC on " + device);
    std::printf("report descriptor, %d bytes:", descriptorSize);
    PrintHex("", descriptor.value, descriptor.size);
    if (command.empty()) return 0;

    for (long n = 0; n < repeat; ++n) {
        if (n > 0 && intervalMs > 0) {
            const timespec pause{intervalMs / 1000, (intervalMs % 1000) * 1000000L};
            nanosleep(&pause, nullptr);
        }
        try {
            Exchange(fd, device, command, static_cast<std::uint8_t>(sequence + n), timeoutMs);
        } catch (const Failure &failure) {
            if (repeat == 1) throw;
            throw Failure("exchange " + std::to_string(n + 1) + " of " + std::to_string(repeat) + ": " + failure.what());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception &error) {
        std::fflush(stdout);
        std::fprintf(stderr, "guest_hidraw_probe: %s\n", error.what());
        return 1;
    }
}
