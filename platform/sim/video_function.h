// The video function of a virtual camera: what it offers (stream
// capabilities, video properties), what it was set to, where its frames come
// from (generated at the frame rate, pushed by a test, or none) and the
// faults it shows. A running stream is paced by the framework's clock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/framework/source.h"
#include "platform/sim/optics.h"
#include "platform/sim/sensor.h"

namespace nuv::sim {

using framework::PropertyRange;
using framework::VideoFormat;
using framework::WideText;

class ControlFunction;

enum class FrameSource { kGenerated, kPushed, kNone };

struct VideoProperty {
    bool supported = false;
    PropertyRange range;
    long value = 0;
    long flags = 2;  // manual
};

class VideoFunction final : public framework::VideoSource, public std::enable_shared_from_this<VideoFunction> {
public:
    VideoFunction(int id, WideText friendlyName, bool plugAndPlay);

    const int id;
    const bool plugAndPlay;

    // framework::VideoSource
    bool FriendlyName(WideText *name) const override;
    WideText DisplayName() const override;
    bool Binds() const override;
    std::vector<VideoFormat> Capabilities() const override;
    int CapabilityRecordSize() const override;
    bool SetFormat(const VideoFormat &format) override;
    bool CurrentFormat(VideoFormat *format) const override;
    bool GetPropertyRange(int index, PropertyRange *range) const override;
    bool GetProperty(int index, long *value, long *flags) const override;
    bool SetProperty(int index, long value, long flags) override;
    std::unique_ptr<framework::VideoStream> Start() override;

    // Configuration, from the control API.
    void SetFriendlyName(const WideText *name);  // null: no "FriendlyName"
    void SetInstanceKey(std::string key);
    std::string InstanceKey() const;
    void SetDisplayName(WideText name);  // empty: the one made from the key
    void SetBindFails(bool fails);
    void SetRunFails(bool fails);
    void ClearCapabilities();
    int AddCapability(const VideoFormat &format);
    void SetCapabilityRecordSize(int bytes);
    bool FormatSet(VideoFormat *format) const;
    bool DefineProperty(int index, bool supported, long min, long max, long value);
    bool PropertyValue(int index, long *value) const;

    // The control function whose flash shapes the frames (null: a plain
    // video device), and the camera's optics.
    void AttachControl(std::shared_ptr<ControlFunction> control);
    std::shared_ptr<ControlFunction> Control() const;
    OpticsState &Optics() { return optics_; }

    // Frames.
    void SetFrameSource(FrameSource source);
    // Queues a sample for the running stream (switching generated frames to
    // pushed ones); waits until a running stream has delivered it.
    void PushFrame(std::vector<std::uint8_t> bytes, double sampleTime);
    std::uint64_t FramesDelivered() const;
    int RunningStreams() const;
    // Pulled out: it sends nothing more, and no stream starts.
    void Unplug();

private:
    class Stream;
    friend class Stream;
    struct Pushed {
        std::vector<std::uint8_t> bytes;
        double sampleTime = 0.0;
    };
    // Whether a running stream makes frames of its own now (lock held).
    bool GeneratesLocked() const;
    bool CurrentFormatLocked(VideoFormat *format) const;
    void MakeDisplayNameLocked();
    // The firmware's parameter block, the camera number behind hue and the
    // sensor's controls (the properties, the firmware's shutter and digital
    // gains), as a frame is made from them.
    void FrameInputs(std::vector<std::uint8_t> *block, int *cameraNumber, SensorSettings *sensor) const;

    mutable std::mutex lock_;
    std::condition_variable delivered_;
    WideText friendlyName_;
    bool hasFriendlyName_ = true;
    std::string instanceKey_;
    WideText displayName_;  // made from the key
    WideText displayNameOverride_;
    bool bindFails_ = false;
    bool runFails_ = false;
    bool present_ = true;
    std::vector<VideoFormat> capabilities_;
    int capabilityRecordSize_ = 128;
    VideoProperty properties_[framework::kVideoPropertyCount];
    bool formatSet_ = false;
    VideoFormat format_;
    FrameSource frameSource_ = FrameSource::kGenerated;
    std::deque<Pushed> pushed_;
    std::uint64_t pushedDelivered_ = 0;
    std::uint64_t framesDelivered_ = 0;
    int runningStreams_ = 0;
    std::shared_ptr<ControlFunction> control_;
    OpticsState optics_;  // its own lock
};

// The library's cameras' offer: YUY2 at 1280x720, 656x408 and 328x204, at 30
// and 60 frames per second, and the five properties they support.
void SetCameraDefaults(VideoFunction &video);

// The parent instance key a device gets unless configured ("7&" and eight
// lower-case hex digits), and the parent instance ID of the HID interface of
// the same composite device, which yields that key.
std::string DefaultInstanceKey(int deviceId);
std::string ParentInstanceIdFor(const std::string &key);

}  // namespace nuv::sim
