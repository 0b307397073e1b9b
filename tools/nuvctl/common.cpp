#include "common.h"

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <iostream>
#include <sstream>
#include <thread>

#include "offer.h"

#if defined(_WIN32)
#include <io.h>
#define NUVCTL_ISATTY _isatty
#define NUVCTL_FILENO _fileno
#else
#include <unistd.h>
#define NUVCTL_ISATTY isatty
#define NUVCTL_FILENO fileno
#endif

namespace nuvctl {

namespace {
Pacing g_pacing;
std::atomic<long long> g_virtualMs{0};
const auto g_start = std::chrono::steady_clock::now();
}  // namespace

bool StdoutIsTerminal() { return NUVCTL_ISATTY(NUVCTL_FILENO(stdout)) != 0; }
bool StderrIsTerminal() { return NUVCTL_ISATTY(NUVCTL_FILENO(stderr)) != 0; }
bool StdinIsTerminal() { return NUVCTL_ISATTY(NUVCTL_FILENO(stdin)) != 0; }

void SetPacing(const Pacing &pacing) { g_pacing = pacing; }

namespace {
std::vector<int> g_heldInterfaces;
}  // namespace

void HoldSimRewrites(const std::vector<int> &interfaces) {
    const Api &api = Library();
    for (int hid : interfaces) {
        if (api.NuvSimHidPauseAt(hid, 0x20, 0) != 1) CallFailed("NuvSimHidPauseAt", "the simulated world refused it");
    }
    g_heldInterfaces = interfaces;
}

void ReleaseSimRewrites() {
    for (int hid : g_heldInterfaces) Library().NuvSimHidResume(hid);
    g_heldInterfaces.clear();
}

void Pause(unsigned int milliseconds) {
    if (g_pacing.virtualClock) {
        Library().NuvSimAdvanceClock(milliseconds);
        g_virtualMs += milliseconds;
        // Let the simulated streaming threads run after the clock moved.
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

double NowMs() {
    if (g_pacing.virtualClock) return static_cast<double>(g_virtualMs.load());
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - g_start).count();
}

Camera::Camera(const DeviceEntry &device, const OpenRequest &request) : device_(device), request_(request) {
    const Api &api = Library();
    if (device.position > 9) {
        throw Failure("cannot open " + device.Label() + ": the library opens positions 0..9 only");
    }
    CheckOffered(device, request);
    const std::string what = device.Label() + " at position " + std::to_string(device.position) + " (" +
                             std::to_string(request.width) + "x" + std::to_string(request.height) + ", " +
                             Num(request.fps, 2) + " fps, " + request.format + ")";
    // An open waits for the stream to settle (about 3 s): show it while it
    // happens on a terminal, and keep quiet otherwise.
    const bool show = StderrIsTerminal();
    const auto started = std::chrono::steady_clock::now();
    auto result = std::async(std::launch::async, [&] {
        return api.NuvOpen(device.position, request.width, request.height, request.fps, request.format.c_str());
    });
    while (result.wait_for(std::chrono::milliseconds(show ? 100 : 1000)) != std::future_status::ready) {
        if (show) {
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            std::fprintf(stderr, "\ropening %s ... %.1f s", what.c_str(), s);
            std::fflush(stderr);
        }
    }
    const int rc = result.get();
    if (show) {
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::fprintf(stderr, "\ropening %s ... %s (%.1f s)\033[K\n", what.c_str(), rc >= 0 ? "done" : "failed", s);
    }
    if (rc < 0) CallFailed("NuvOpen(" + what + ")", nuvclient::OpenFailureCauses(device));
    control_ = rc == 0;
}

Camera::~Camera() { Library().NuvClose(device_.position); }

std::vector<std::uint8_t> Camera::NextFrame(unsigned int timeoutMs) {
    const Api &api = Library();
    const double deadline = NowMs() + timeoutMs;
    for (;;) {
        const int size = api.NuvGetBufferSize(Handle());
        // A correction works on width x height words, whatever the frame's
        // own length.
        const std::size_t room = std::max<std::size_t>(
            static_cast<std::size_t>(size > 0 ? size : 0),
            static_cast<std::size_t>(request_.width) * static_cast<std::size_t>(request_.height) * 2);
        std::vector<std::uint8_t> bytes(room + 16);
        if (size > 0 && api.NuvReceiveImage(Handle(), bytes.data()) == 1) {
            bytes.resize(static_cast<std::size_t>(size));
            return bytes;
        }
        if (NowMs() >= deadline) {
            CallFailed("NuvReceiveImage(" + device_.Label() + ")",
                       "no new frame within " + std::to_string(timeoutMs / 1000.0).substr(0, 4) +
                           " s (the stream stopped, or the camera was unplugged)");
        }
        Pause(2);
    }
}

std::vector<std::uint16_t> Camera::NextWords(unsigned int timeoutMs) {
    const auto bytes = NextFrame(timeoutMs);
    const std::size_t n = static_cast<std::size_t>(request_.width) * static_cast<std::size_t>(request_.height);
    std::vector<std::uint16_t> words(n, 0);
    for (std::size_t i = 0; i < n && 2 * i + 1 < bytes.size(); ++i) {
        words[i] = static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return words;
}

void Camera::SetCorrections(bool defects, bool shading) {
    if (device_.kind != kKindNuv2) return;
    const Api &api = Library();
    if (api.NuvSetPixelDefectOnOff(Handle(), defects ? 1 : 0) != 1)
        CallFailed("NuvSetPixelDefectOnOff(" + device_.Label() + ")", "the camera is not open as a NUV2 camera");
    if (api.NuvSetShadingCorrectionOnOff(Handle(), shading ? 1 : 0) != 1)
        CallFailed("NuvSetShadingCorrectionOnOff(" + device_.Label() + ")", "the camera is not open as a NUV2 camera");
}

std::string LibraryVersion() {
    char text[256] = {};
    if (Library().NuvDLLVersion(text, sizeof text) != 1) CallFailed("NuvDLLVersion", "the library refused a 256-byte buffer");
    std::string s = text;
    for (auto pos = s.find("\r\n"); pos != std::string::npos; pos = s.find("\r\n")) s.replace(pos, 2, ", ");
    return s;
}

std::tm UtcTime(std::time_t t) {
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &t);
#else
    gmtime_r(&t, &utc);
#endif
    return utc;
}

std::string Num(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace nuvctl
