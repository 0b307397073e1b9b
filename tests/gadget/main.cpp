// nuv_gadget: the device side of a virtual camera on the USB gadget stack
// of Linux, with the simulated camera's firmware and frames behind it.
//
//   nuv_gadget --gadgetfs DIR    the whole camera (video and vendor HID) as
//                                one device through gadgetfs mounted at DIR
//   nuv_gadget --hidg NODE       the vendor HID interface as the HID function
//                                of a configfs gadget (/dev/hidgN)
//   nuv_gadget --write-frame WIDTHxHEIGHT FILE [--counter N] [--camera-number C]
//                                writes frame N as the camera sends it
//
// Serves until SIGINT or SIGTERM, or until its device goes away, then
// prints what it did.
#include <signal.h>

#include <csignal>
#include <sys/select.h>
#include <sys/signalfd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/firmware.h"
#include "tests/gadget/gadgetfs_camera.h"
#include "tests/gadget/hidg_function.h"
#include "tests/gadget/sim_frames.h"
#include "tests/gadget/system.h"

namespace {

using nuv::gadget::Error;

constexpr const char *kUsage =
    "usage: nuv_gadget --gadgetfs DIR [--serial HEX] [--verbose]\n"
    "       nuv_gadget --hidg NODE [--serial HEX] [--verbose]\n"
    "       nuv_gadget --write-frame WIDTHxHEIGHT FILE [--counter N] [--camera-number 1|2] [--serial HEX]\n"
    "\n"
    "  --gadgetfs DIR   serve the whole camera through gadgetfs mounted at DIR\n"
    "  --hidg NODE      serve the vendor HID interface of a configfs gadget (/dev/hidgN)\n"
    "  --serial HEX     the firmware's serial number (default 1A2B3C04)\n"
    "  --verbose        log every control request and command\n"
    "  --write-frame    write frame N (default 0) as the camera sends it, and exit\n"
    "  --camera-number  the camera number the frame is made for (default 1)\n";

struct Options {
    std::string gadgetfs;
    std::string hidg;
    std::uint32_t serial = 0x1A2B3C04u;
    bool verbose = false;
    std::string frameSize;
    std::string frameFile;
    std::uint64_t counter = 0;
    int cameraNumber = 1;
};

std::uint64_t ParseNumber(const std::string &text, int base, std::uint64_t limit, const char *what) {
    std::size_t used = 0;
    unsigned long long value = 0;
    try {
        value = std::stoull(text, &used, base);
    } catch (const std::exception &) {
        used = 0;
    }
    if (text.empty() || used != text.size() || value > limit || text[0] == '-') {
        throw Error(std::string("not a valid ") + what + ": \"" + text + "\"");
    }
    return value;
}

Options Parse(int argc, char **argv) {
    Options options;
    auto value = [&](int &i) -> std::string {
        if (i + 1 >= argc) throw Error(std::string(argv[i]) + " needs a value");
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--gadgetfs") {
            options.gadgetfs = value(i);
        } else if (arg == "--hidg") {
            options.hidg = value(i);
        } else if (arg == "--serial") {
            options.serial = static_cast<std::uint32_t>(ParseNumber(value(i), 16, 0xFFFFFFFFu, "serial number"));
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--write-frame") {
            options.frameSize = value(i);
            options.frameFile = value(i);
        } else if (arg == "--camera-number") {
            options.cameraNumber = static_cast<int>(ParseNumber(value(i), 10, 2, "camera number"));
            if (options.cameraNumber == 0) throw Error("the camera number is 1 or 2");
        } else if (arg == "--counter") {
            options.counter = ParseNumber(value(i), 10, UINT64_MAX, "frame counter");
        } else if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            std::exit(0);
        } else {
            throw Error("unknown argument \"" + arg + "\"\n" + kUsage);
        }
    }
    const int modes = !options.gadgetfs.empty() + !options.hidg.empty() + !options.frameFile.empty();
    if (modes != 1) throw Error(std::string("choose one of --gadgetfs, --hidg and --write-frame\n") + kUsage);
    return options;
}

int WriteFrame(const Options &options, const std::shared_ptr<nuv::sim::Firmware> &firmware) {
    const std::size_t x = options.frameSize.find('x');
    if (x == std::string::npos) throw Error("not a frame size (WIDTHxHEIGHT): \"" + options.frameSize + "\"");
    const int width = static_cast<int>(ParseNumber(options.frameSize.substr(0, x), 10, 8192, "frame width"));
    const int height = static_cast<int>(ParseNumber(options.frameSize.substr(x + 1), 10, 8192, "frame height"));
    if (width == 0 || height == 0) throw Error("empty frame size \"" + options.frameSize + "\"");
    nuv::gadget::SimFrames frames(firmware);
    std::vector<std::uint8_t> bytes;
    frames.Make(width, height, options.cameraNumber, options.counter, bytes);
    std::ofstream out(options.frameFile, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw Error("cannot write " + options.frameFile);
    return 0;
}

// Signals arrive as readable data, so that serving ends between steps.
nuv::gadget::OwnedFd StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) < 0) nuv::gadget::FailErrno("sigprocmask");
    nuv::gadget::OwnedFd fd(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd) nuv::gadget::FailErrno("signalfd");
    return fd;
}

int ServeHidg(const Options &options, nuv::sim::Firmware &firmware) {
    const nuv::gadget::OwnedFd stop = StopSignals();
    nuv::gadget::HidgFunction hid(options.hidg, firmware, options.verbose);
    std::cerr << "nuv_gadget: serving commands on " << options.hidg << std::endl;
    std::string ended = "stopped by a signal";
    for (;;) {
        fd_set readable, writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_SET(stop.Get(), &readable);
        FD_SET(hid.Fd(), &readable);
        if (hid.WantsWrite()) FD_SET(hid.Fd(), &writable);
        // A node that vanished does not always wake us: look again now and then.
        timeval wait{0, 250000};
        const int ready = select(std::max(stop.Get(), hid.Fd()) + 1, &readable, &writable, nullptr, &wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            nuv::gadget::FailErrno("select");
        }
        if (FD_ISSET(stop.Get(), &readable)) break;
        if ((FD_ISSET(hid.Fd(), &readable) && !hid.OnReadable()) ||
            (FD_ISSET(hid.Fd(), &writable) && !hid.OnWritable())) {
            ended = "the HID node went away (gadget unbound)";
            break;
        }
    }
    std::cout << "nuv_gadget: " << ended << "; " << hid.CommandsAnswered() << " commands answered";
    if (hid.RepliesDropped() > 0) std::cout << " (" << hid.RepliesDropped() << " replies never read)";
    std::cout << std::endl;
    return 0;
}

volatile std::sig_atomic_t gStop = 0;

void RequestStop(int) { gStop = 1; }

int ServeGadgetfs(const Options &options, const std::shared_ptr<nuv::sim::Firmware> &firmware) {
    // No restart: the signal ends the wait for the controller's next event.
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGINT, &action, nullptr) < 0 || sigaction(SIGTERM, &action, nullptr) < 0) {
        nuv::gadget::FailErrno("sigaction");
    }
    std::mutex firmwareLock;
    nuv::gadget::SimFrames frames(firmware);
    nuv::gadget::CameraIdentity identity;
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", options.serial);
    identity.serial = serial;
    std::string ended;
    std::uint64_t framesSent = 0, streams = 0, commands = 0;
    {
        nuv::gadget::GadgetfsCamera camera(options.gadgetfs, identity, frames, *firmware, firmwareLock,
                                           options.verbose);
        ended = camera.Serve(gStop);
        framesSent = camera.FramesSent();
        streams = camera.StreamsCommitted();
        commands = camera.CommandsAnswered();
    }
    std::cout << "nuv_gadget: " << ended << "; " << framesSent << " frames sent in " << streams
              << " streams; " << commands << " commands answered" << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        const Options options = Parse(argc, argv);
        auto firmware = std::make_shared<nuv::sim::Firmware>(options.serial);
        if (!options.frameFile.empty()) return WriteFrame(options, firmware);
        if (!options.hidg.empty()) return ServeHidg(options, *firmware);
        return ServeGadgetfs(options, firmware);
    } catch (const std::exception &error) {
        std::cerr << "nuv_gadget: " << error.what() << std::endl;
        return 1;
    }
}
