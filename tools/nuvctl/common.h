// What every command of nuvctl shares: failures that name the call and its
// likely causes, terminal detection, pacing that follows the simulator's
// virtual clock, and an open camera that is closed on every path.
#pragma once

#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "api.h"
#include "devices.h"
#include "protocol/camera_protocol.h"

namespace nuvctl {

// The library, its devices and formats, and failures (seen as "nuvctl:
// <message>" with exit status 1) come from the tools' client library.
using nuvclient::Api;
using nuvclient::CallFailed;
using nuvclient::DeviceEntry;
using nuvclient::Failure;
using nuvclient::FormatEntry;
using nuvclient::kKindNuv;
using nuvclient::kKindNuv2;
using nuvclient::kKindVideoOnly;
using nuvclient::Library;
using nuvclient::LibraryChoice;
using nuvclient::ListDevices;
using nuvclient::ListFormats;
using nuvclient::LoadNuvLibrary;
using nuvclient::SelectDevice;

// A command line that cannot be right whatever the camera: exit status 2.
class UsageError : public Failure {
public:
    explicit UsageError(const std::string &message) : Failure(message) {}
};

// The simulator option --sim-hold-rewrite holds every camera's first flash
// write until the tool is interrupted: what Ctrl-C during a rewrite does can
// then be seen whatever the machine's speed. Releases the held writes.
void HoldSimRewrites(const std::vector<int> &interfaces);
void ReleaseSimRewrites();

bool StdoutIsTerminal();
bool StderrIsTerminal();
bool StdinIsTerminal();

// Waiting between polls: in virtual time the simulator's clock is advanced
// instead of sleeping, so nothing waits in real time.
struct Pacing {
    bool virtualClock = false;
};
void SetPacing(const Pacing &pacing);
void Pause(unsigned int milliseconds);
// Milliseconds on the clock the waits follow (virtual or real).
double NowMs();

// The camera modes (sizes by mode index) as the library and the cameras
// know them; ModeOf gives -1 for a size that is none of them.
using nuv::protocol::kModeCount;
using nuv::protocol::kModes;
using nuv::protocol::ModeOf;

struct OpenRequest {
    int width = 1280;
    int height = 720;
    double fps = 30.0;
    std::string format = "YUY2";
};

// An open camera; closed when it goes out of scope.
class Camera {
public:
    Camera(const DeviceEntry &device, const OpenRequest &request);
    ~Camera();
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;

    int Handle() const { return device_.position; }
    const DeviceEntry &Device() const { return device_; }
    const OpenRequest &Request() const { return request_; }
    bool HasControl() const { return control_; }
    int Mode() const { return ModeOf(request_.width, request_.height); }

    // Waits for the next frame the library hands out (at most timeoutMs on
    // the pacing clock); throws Failure when none comes.
    std::vector<std::uint8_t> NextFrame(unsigned int timeoutMs = 5000);
    // The same, as 16-bit words of a corrected-size frame.
    std::vector<std::uint16_t> NextWords(unsigned int timeoutMs = 5000);

    // Both correction switches (NUV2 only; a NUV camera has none).
    void SetCorrections(bool defects, bool shading);

private:
    DeviceEntry device_;
    OpenRequest request_;
    bool control_ = false;
};

// Library version text on one line.
std::string LibraryVersion();

// Formats a double without trailing noise.
std::string Num(double value, int decimals = 3);

// The calendar time of t in UTC, the same way on every build.
std::tm UtcTime(std::time_t t);

}  // namespace nuvctl
