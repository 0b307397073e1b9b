#include "platform/sim/video_function.h"

#include <atomic>
#include <cctype>
#include <cstdio>

#include "platform/framework/clock.h"
#include "platform/sim/control_function.h"
#include "platform/sim/frames.h"
#include "protocol/camera_protocol.h"

namespace nuv::sim {

using framework::Clock;

namespace {
constexpr int kHueProperty = 2;  // the cameras put their camera number behind hue
// The other properties the sensor answers: the LED behind brightness, the
// colour bar behind contrast, gain, and exposure (camera control 4).
constexpr int kBrightnessProperty = 0;
constexpr int kContrastProperty = 1;
constexpr int kGainProperty = 9;
constexpr int kExposureProperty = framework::kCameraControlBase + 4;
// The cameras slow down to one frame per second at most.
constexpr std::int64_t kSlowestInterval = 10000000;

long long Rows(int height) { return height < 0 ? -static_cast<long long>(height) : height; }
}  // namespace

// One running stream: generated frames paced by the clock, pushed frames as
// soon as they are queued. Counted by its function while it lives.
class VideoFunction::Stream final : public framework::VideoStream {
public:
    explicit Stream(std::shared_ptr<VideoFunction> video) : video_(std::move(video)) {
        Clock &clock = Clock::Instance();
        start_ = clock.Now();
        follower_ = clock.AddFollower();
    }
    ~Stream() override {
        Clock::Instance().RemoveFollower(follower_);
        std::lock_guard<std::mutex> hold(video_->lock_);
        --video_->runningStreams_;
        video_->delivered_.notify_all();
    }

    void Interrupt() override {
        stop_ = true;
        Clock::Instance().Notify();
    }

    void Run(framework::FrameSink &sink) override {
        Clock &clock = Clock::Instance();
        VideoFunction &video = *video_;
        std::vector<std::uint8_t> bytes;
        std::uint64_t frame = 0;
        for (;;) {
            VideoFormat format{};
            bool generate = false;
            bool havePushed = false;
            Pushed pushed;
            {
                std::lock_guard<std::mutex> hold(video.lock_);
                if (stop_) return;
                if (!video.pushed_.empty() && video.present_) {
                    pushed = std::move(video.pushed_.front());
                    video.pushed_.pop_front();
                    havePushed = true;
                } else {
                    generate = video.GeneratesLocked();
                    if (generate) video.CurrentFormatLocked(&format);
                }
            }
            if (havePushed) {
                sink.Deliver(pushed.sampleTime, pushed.bytes.data(), pushed.bytes.size());
                std::lock_guard<std::mutex> hold(video.lock_);
                ++video.pushedDelivered_;
                video.delivered_.notify_all();
                continue;
            }
            // Woken when there is a frame to push, or when generating was
            // switched on or off: a frame already due is not sent once the
            // device stopped generating.
            auto wake = [&] {
                if (stop_) return true;
                std::lock_guard<std::mutex> hold(video.lock_);
                return (!video.pushed_.empty() && video.present_) || video.GeneratesLocked() != generate;
            };
            const auto offset = static_cast<std::uint32_t>(frame * static_cast<std::uint64_t>(format.frameInterval) /
                                                           10000);
            if (!clock.WaitUntil(follower_, start_ + offset, generate, wake)) continue;
            {
                std::lock_guard<std::mutex> hold(video.lock_);
                if (stop_) return;
                if (!video.GeneratesLocked()) continue;
            }
            ++frame;
            std::vector<std::uint8_t> block;
            int cameraNumber = 0;
            SensorSettings sensor;
            video.FrameInputs(&block, &cameraNumber, &sensor);
            generator_.Generate(video.optics_, block, cameraNumber, sensor, format, frame, bytes);
            const double sampleTime = static_cast<double>(frame) * static_cast<double>(format.frameInterval) / 1e7;
            sink.Deliver(sampleTime, bytes.data(), bytes.size());
            std::lock_guard<std::mutex> hold(video.lock_);
            ++video.framesDelivered_;
        }
    }

private:
    std::shared_ptr<VideoFunction> video_;
    std::atomic<bool> stop_{false};
    std::uint32_t start_ = 0;
    int follower_ = 0;
    FrameGenerator generator_;
};

VideoFunction::VideoFunction(int id, WideText friendlyName, bool plugAndPlay)
    : id(id), plugAndPlay(plugAndPlay), friendlyName_(std::move(friendlyName)) {
    MakeDisplayNameLocked();
    SetCameraDefaults(*this);
}

bool VideoFunction::FriendlyName(WideText *name) const {
    std::lock_guard<std::mutex> hold(lock_);
    if (!hasFriendlyName_) return false;
    *name = friendlyName_;
    return true;
}

WideText VideoFunction::DisplayName() const {
    std::lock_guard<std::mutex> hold(lock_);
    return displayNameOverride_.empty() ? displayName_ : displayNameOverride_;
}

// Made once per key: enumerations read it for every device, many times.
void VideoFunction::MakeDisplayNameLocked() {
    const std::string key = instanceKey_.empty() ? DefaultInstanceKey(id) : instanceKey_;
    char text[320];
    if (plugAndPlay) {
        std::snprintf(text, sizeof text,
                      "@device:pnp:\\\\?\\usb#vid_1d6b&pid_0102&mi_00#%s&0&0000#"
                      "{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global",
                      key.c_str());
    } else {
        std::snprintf(text, sizeof text,
                      "@device:sw:{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\{4A2C0F%02X-9E1B-4C3D-8A5F-000000000001}",
                      id & 0xFF);
    }
    displayName_ = framework::Widen(text);
}

bool VideoFunction::Binds() const {
    std::lock_guard<std::mutex> hold(lock_);
    return !bindFails_;
}

std::vector<VideoFormat> VideoFunction::Capabilities() const {
    std::lock_guard<std::mutex> hold(lock_);
    return capabilities_;
}

int VideoFunction::CapabilityRecordSize() const {
    std::lock_guard<std::mutex> hold(lock_);
    return capabilityRecordSize_;
}

// A format of a size and subtype the device offers, at a frame interval
// within the range a capability of them reports.
bool VideoFunction::SetFormat(const VideoFormat &format) {
    std::lock_guard<std::mutex> hold(lock_);
    for (const VideoFormat &cap : capabilities_) {
        const std::int64_t longest = cap.maxFrameInterval > 0 ? cap.maxFrameInterval : cap.frameInterval;
        if (cap.formatType != FORMAT_VideoInfo || cap.subtype != format.subtype || cap.width != format.width ||
            Rows(cap.height) != Rows(format.height) || format.frameInterval < cap.frameInterval ||
            format.frameInterval > longest) {
            continue;
        }
        format_ = cap;
        format_.frameInterval = format.frameInterval;
        formatSet_ = true;
        return true;
    }
    return false;
}

bool VideoFunction::CurrentFormat(VideoFormat *format) const {
    std::lock_guard<std::mutex> hold(lock_);
    return CurrentFormatLocked(format);
}

bool VideoFunction::CurrentFormatLocked(VideoFormat *format) const {
    if (formatSet_) {
        *format = format_;
        return true;
    }
    for (const VideoFormat &cap : capabilities_) {
        if (cap.formatType == FORMAT_VideoInfo) {
            *format = cap;
            return true;
        }
    }
    return false;
}

bool VideoFunction::GetPropertyRange(int index, PropertyRange *range) const {
    std::lock_guard<std::mutex> hold(lock_);
    if (index < 0 || index >= framework::kVideoPropertyCount || !properties_[index].supported) return false;
    *range = properties_[index].range;
    return true;
}

bool VideoFunction::GetProperty(int index, long *value, long *flags) const {
    std::lock_guard<std::mutex> hold(lock_);
    if (index < 0 || index >= framework::kVideoPropertyCount || !properties_[index].supported) return false;
    *value = properties_[index].value;
    *flags = properties_[index].flags;
    return true;
}

bool VideoFunction::SetProperty(int index, long value, long flags) {
    std::lock_guard<std::mutex> hold(lock_);
    if (index < 0 || index >= framework::kVideoPropertyCount || !properties_[index].supported) return false;
    VideoProperty &p = properties_[index];
    if (value < p.range.min || value > p.range.max) return false;
    p.value = value;
    p.flags = flags;
    return true;
}

std::unique_ptr<framework::VideoStream> VideoFunction::Start() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (runFails_ || !present_) return nullptr;
        ++runningStreams_;
    }
    return std::make_unique<Stream>(shared_from_this());
}

void VideoFunction::SetFriendlyName(const WideText *name) {
    std::lock_guard<std::mutex> hold(lock_);
    hasFriendlyName_ = name != nullptr;
    if (name) friendlyName_ = *name;
}

void VideoFunction::SetInstanceKey(std::string key) {
    std::lock_guard<std::mutex> hold(lock_);
    instanceKey_ = std::move(key);
    MakeDisplayNameLocked();
}

std::string VideoFunction::InstanceKey() const {
    std::lock_guard<std::mutex> hold(lock_);
    return instanceKey_.empty() ? DefaultInstanceKey(id) : instanceKey_;
}

void VideoFunction::SetDisplayName(WideText name) {
    std::lock_guard<std::mutex> hold(lock_);
    displayNameOverride_ = std::move(name);
}

void VideoFunction::SetBindFails(bool fails) {
    std::lock_guard<std::mutex> hold(lock_);
    bindFails_ = fails;
}

void VideoFunction::SetRunFails(bool fails) {
    std::lock_guard<std::mutex> hold(lock_);
    runFails_ = fails;
}

void VideoFunction::ClearCapabilities() {
    std::lock_guard<std::mutex> hold(lock_);
    capabilities_.clear();
    formatSet_ = false;
}

int VideoFunction::AddCapability(const VideoFormat &format) {
    std::lock_guard<std::mutex> hold(lock_);
    capabilities_.push_back(format);
    return static_cast<int>(capabilities_.size());
}

void VideoFunction::SetCapabilityRecordSize(int bytes) {
    std::lock_guard<std::mutex> hold(lock_);
    capabilityRecordSize_ = bytes;
}

bool VideoFunction::FormatSet(VideoFormat *format) const {
    std::lock_guard<std::mutex> hold(lock_);
    if (!formatSet_) return false;
    *format = format_;
    return true;
}

bool VideoFunction::DefineProperty(int index, bool supported, long min, long max, long value) {
    if (index < 0 || index >= framework::kVideoPropertyCount) return false;
    std::lock_guard<std::mutex> hold(lock_);
    VideoProperty &p = properties_[index];
    p.supported = supported;
    p.range = PropertyRange{min, max, 1, value, 2};
    p.value = value;
    return true;
}

bool VideoFunction::PropertyValue(int index, long *value) const {
    long flags = 0;
    return GetProperty(index, value, &flags);
}

void VideoFunction::AttachControl(std::shared_ptr<ControlFunction> control) {
    std::lock_guard<std::mutex> hold(lock_);
    control_ = std::move(control);
}

std::shared_ptr<ControlFunction> VideoFunction::Control() const {
    std::lock_guard<std::mutex> hold(lock_);
    return control_;
}

void VideoFunction::FrameInputs(std::vector<std::uint8_t> *block, int *cameraNumber, SensorSettings *sensor) const {
    std::shared_ptr<ControlFunction> control;
    {
        std::lock_guard<std::mutex> hold(lock_);
        control = control_;
        *cameraNumber = static_cast<int>(properties_[kHueProperty].value);
        // A property the device does not offer stays at the reference.
        auto take = [&](int index, long *to) {
            if (properties_[index].supported) *to = properties_[index].value;
        };
        take(kBrightnessProperty, &sensor->led);
        take(kContrastProperty, &sensor->colourBar);
        take(kGainProperty, &sensor->gain);
        take(kExposureProperty, &sensor->exposure);
    }
    if (!control) return;
    *block = control->ParameterBlock();
    control->WithFirmware([&](const Firmware &firmware) {
        sensor->shutter = firmware.shutter;
        for (int i = 0; i < 4; ++i) sensor->digitalGains[i] = firmware.gains[i];
    });
}

void VideoFunction::SetFrameSource(FrameSource source) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        frameSource_ = source;
    }
    Clock::Instance().Notify();
}

void VideoFunction::PushFrame(std::vector<std::uint8_t> bytes, double sampleTime) {
    std::uint64_t ticket;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (frameSource_ == FrameSource::kGenerated) frameSource_ = FrameSource::kPushed;
        pushed_.push_back(Pushed{std::move(bytes), sampleTime});
        ticket = pushedDelivered_ + pushed_.size();
    }
    Clock::Instance().Notify();
    std::unique_lock<std::mutex> hold(lock_);
    delivered_.wait(hold, [&] { return pushedDelivered_ >= ticket || runningStreams_ == 0 || !present_; });
}

std::uint64_t VideoFunction::FramesDelivered() const {
    std::lock_guard<std::mutex> hold(lock_);
    return framesDelivered_ + pushedDelivered_;
}

int VideoFunction::RunningStreams() const {
    std::lock_guard<std::mutex> hold(lock_);
    return runningStreams_;
}

void VideoFunction::Unplug() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        present_ = false;
        pushed_.clear();
        delivered_.notify_all();
    }
    Clock::Instance().Notify();
}

bool VideoFunction::GeneratesLocked() const {
    VideoFormat current;
    return present_ && frameSource_ == FrameSource::kGenerated && CurrentFormatLocked(&current) &&
           current.frameInterval > 0;
}

void SetCameraDefaults(VideoFunction &video) {
    video.ClearCapabilities();
    for (std::int64_t interval : {std::int64_t{333333}, std::int64_t{166667}}) {
        for (const protocol::ImageSize &mode : protocol::kModes) {
            VideoFormat cap;
            cap.formatType = FORMAT_VideoInfo;
            cap.subtype = MEDIASUBTYPE_YUY2;
            cap.width = mode.width;
            cap.height = mode.height;
            cap.bitCount = 16;
            cap.frameInterval = interval;
            cap.maxFrameInterval = kSlowestInterval;
            video.AddCapability(cap);
        }
    }
    video.SetCapabilityRecordSize(128);
    for (int index = 0; index < framework::kVideoPropertyCount; ++index) video.DefineProperty(index, false, 0, 0, 0);
    // The cameras put the LED behind brightness, the colour bar behind
    // contrast and the camera number behind hue.
    video.DefineProperty(0, true, 0, 64, 0);     // brightness: LED
    video.DefineProperty(1, true, 0, 1, 0);      // contrast: colour bar
    video.DefineProperty(2, true, 1, 2, 1);      // hue: camera number
    video.DefineProperty(9, true, 0, 240, 0);    // gain
    video.DefineProperty(14, true, -13, 0, -6);  // exposure
}

std::string DefaultInstanceKey(int deviceId) {
    char key[32];
    std::snprintf(key, sizeof key, "7&%08x", 0x2a1b3c00u + static_cast<unsigned>(deviceId) * 0x01000101u);
    return key;
}

std::string ParentInstanceIdFor(const std::string &key) {
    std::string id = "USB\\VID_1D6B&PID_0102&MI_01\\";
    for (char c : key) id.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    return id + "&0&0001";
}

}  // namespace nuv::sim
