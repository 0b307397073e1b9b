// The video side of a simulated device: what it offers (stream
// capabilities, video properties), what it was set to, where its frames come
// from, and the faults it shows. The COM front end (video_*.cpp) reads it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/os.h"

namespace nuv::sim {

struct VirtualCamera;
class World;

// One stream capability as the capture pin reports it.
struct VideoCapability {
    GUID formatType;  // FORMAT_VideoInfo or any other
    GUID subtype;
    int width = 0;
    int height = 0;
    int bitCount = 16;
    std::int64_t frameInterval = 333333;  // 100 ns units
};

struct VideoProperty {
    bool supported = false;
    long min = 0;
    long max = 0;
    long step = 1;
    long defaultValue = 0;
    long value = 0;
    long flags = 2;  // manual
};

inline constexpr int kVideoPropertyCount = 17;  // 0-9 amplifier, 10-16 camera control

enum class FrameSource { kGenerated, kPushed, kNone };

struct PushedFrame {
    std::vector<std::uint8_t> bytes;
    double sampleTime = 0.0;
};

class VideoDevice {
public:
    VideoDevice();

    // Everything below is read and written under lock.
    mutable std::mutex lock;

    std::vector<VideoCapability> capabilities;
    int capabilitySize = 128;
    VideoProperty properties[kVideoPropertyCount];

    bool hasFriendlyName = true;
    bool filterFails = false;  // binding the moniker to its filter fails
    bool runFails = false;
    // Lower-case parent instance key of the USB composite device, found in
    // the display name; empty display-name override uses it.
    std::string instanceKey;
    std::wstring displayNameOverride;

    // The format the capture pin was set to.
    bool formatSet = false;
    VideoCapability format;

    FrameSource frameSource = FrameSource::kGenerated;
    std::deque<PushedFrame> pushed;
    std::uint64_t pushedDelivered = 0;  // counts pushed frames handed to a grabber
    std::uint64_t framesDelivered = 0;
    std::uint64_t pushedQueued = 0;
    int activeStreams = 0;  // running graphs streaming this device
    std::condition_variable deliveredCv;

    // Whether a running stream makes frames of its own now.
    bool Generates(bool silent) const;  // lock held

    // The format the stream runs in: the set one, else the first capability.
    bool CurrentFormat(VideoCapability *out) const;  // lock held
};

// The library's cameras' default offer: YUY2 1280x720, 656x408, 328x204 at
// 30 and 60 frames per second, and the five properties they support.
void SetCameraDefaults(VideoDevice &device);

// The parent instance key a device gets unless configured ("7&" and eight
// lower-case hex digits), and the parent instance ID of the HID interface of
// the same composite device, which yields that key.
std::string DefaultInstanceKey(int deviceId);
std::string ParentInstanceIdFor(const std::string &key);

// The display name of a device's moniker.
std::wstring DisplayNameOf(const VirtualCamera &camera);

// Framework steps that can be made to fail, numbered as the library's build
// statuses. Each fault fails the next `times` calls of the step (-1: every
// call until cleared).
enum BuildStep : int {
    kStepFilterGraph = 3,
    kStepDeviceEnumerator = 4,
    kStepClassEnumerator = 5,
    kStepDisplayName = 6,
    kStepAddCaptureFilter = 7,
    kStepCaptureBuilder = 10,
    kStepFindInterface = 11,
    kStepSetFormat = 12,
    kStepSampleGrabber = 13,
    kStepSetMediaType = 14,
    kStepAddGrabber = 15,
    kStepConnect = 16,
    kStepBufferSamples = 17,
    kStepOneShot = 18,
    kStepSetCallback = 19,
    kStepMediaEvent = 20,
    kStepMediaControl = 21,
    kStepRun = 22,
    kStepFirstFrame = 24,
};

class VideoFaults {
public:
    static VideoFaults &Instance();
    void Set(int step, int times);
    // True when the step fails now (consumes one count).
    bool Fails(int step);
    // True while the step is set to fail, without consuming a count.
    bool Active(int step) const;
    void Clear();
    static int StepFromName(const char *name);

private:
    mutable std::mutex lock_;
    std::map<int, int> remaining_;
};

// Video state of the world: called by World::Reset.
void ResetVideoWorld();

// Adds one of the library's cameras: a video device with the default offer
// and its HID interface (firmware holding serialNumber, serial string its
// eight upper-case hex digits, parent instance ID matching the device's
// display name). Returns the device id.
int AddLibraryCamera(World &world, const std::wstring &friendlyName, std::uint32_t serialNumber, bool plugAndPlay);
// The world an application meets: "NUV" and "NUV2".
void AddDefaultCameras(World &world);
// Device information sets not yet destroyed.
int LiveDeviceInfoSets();

}  // namespace nuv::sim
