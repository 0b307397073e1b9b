#include "platform/sim/video_device.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/sim/world.h"

namespace nuv::sim {

std::shared_ptr<VideoDevice> NewVideoDevice() { return std::make_shared<VideoDevice>(); }

VideoDevice::VideoDevice() { SetCameraDefaults(*this); }

bool VideoDevice::CurrentFormat(VideoCapability *out) const {
    if (formatSet) {
        *out = format;
        return true;
    }
    for (const VideoCapability &cap : capabilities) {
        if (cap.formatType == FORMAT_VideoInfo) {
            *out = cap;
            return true;
        }
    }
    return false;
}

bool VideoDevice::Generates(bool silent) const {
    VideoCapability current;
    return frameSource == FrameSource::kGenerated && !silent && CurrentFormat(&current) &&
           current.frameInterval > 0;
}

void SetCameraDefaults(VideoDevice &device) {
    device.capabilities.clear();
    for (std::int64_t interval : {std::int64_t{333333}, std::int64_t{166667}}) {
        for (auto [w, h] : {std::pair{1280, 720}, std::pair{656, 408}, std::pair{328, 204}}) {
            VideoCapability cap;
            cap.formatType = FORMAT_VideoInfo;
            cap.subtype = MEDIASUBTYPE_YUY2;
            cap.width = w;
            cap.height = h;
            cap.bitCount = 16;
            cap.frameInterval = interval;
            device.capabilities.push_back(cap);
        }
    }
    device.capabilitySize = 128;
    for (VideoProperty &property : device.properties) property = VideoProperty{};
    // The cameras put the LED behind brightness, the colour bar behind
    // contrast and the camera number behind hue.
    auto support = [&](int index, long min, long max, long value) {
        VideoProperty &p = device.properties[index];
        p.supported = true;
        p.min = min;
        p.max = max;
        p.defaultValue = value;
        p.value = value;
    };
    support(0, 0, 64, 0);     // brightness: LED
    support(1, 0, 1, 0);      // contrast: colour bar
    support(2, 1, 2, 1);      // hue: camera number
    support(9, 0, 240, 0);    // gain
    support(14, -13, 0, -6);  // exposure
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

std::wstring DisplayNameOf(const VirtualCamera &camera) {
    std::string key;
    {
        std::lock_guard<std::mutex> hold(camera.video->lock);
        if (!camera.video->displayNameOverride.empty()) return camera.video->displayNameOverride;
        key = camera.video->instanceKey;
    }
    if (key.empty()) key = DefaultInstanceKey(camera.id);
    char text[256];
    if (camera.plugAndPlay) {
        std::snprintf(text, sizeof text,
                      "@device:pnp:\\\\?\\usb#vid_1d6b&pid_0102&mi_00#%s&0&0000#"
                      "{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global",
                      key.c_str());
    } else {
        std::snprintf(text, sizeof text,
                      "@device:sw:{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\{4A2C0F%02X-9E1B-4C3D-8A5F-000000000001}",
                      camera.id & 0xFF);
    }
    return Widen(text);
}

VideoFaults &VideoFaults::Instance() {
    static VideoFaults *faults = new VideoFaults();  // outlives the library's statics
    return *faults;
}

void VideoFaults::Set(int step, int times) {
    std::lock_guard<std::mutex> hold(lock_);
    if (times == 0) {
        remaining_.erase(step);
    } else {
        remaining_[step] = times;
    }
}

bool VideoFaults::Fails(int step) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = remaining_.find(step);
    if (it == remaining_.end()) return false;
    if (it->second > 0 && --it->second == 0) remaining_.erase(it);
    return true;
}

bool VideoFaults::Active(int step) const {
    std::lock_guard<std::mutex> hold(lock_);
    return remaining_.count(step) != 0;
}

void VideoFaults::Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    remaining_.clear();
}

void ResetVideoWorld() { VideoFaults::Instance().Clear(); }

int VideoFaults::StepFromName(const char *name) {
    static const struct {
        const char *name;
        int step;
    } kSteps[] = {
        {"FilterGraph", kStepFilterGraph},
        {"DeviceEnumerator", kStepDeviceEnumerator},
        {"ClassEnumerator", kStepClassEnumerator},
        {"DisplayName", kStepDisplayName},
        {"AddFilter", kStepAddCaptureFilter},
        {"CaptureGraphBuilder", kStepCaptureBuilder},
        {"FindInterface", kStepFindInterface},
        {"SetFormat", kStepSetFormat},
        {"SampleGrabber", kStepSampleGrabber},
        {"SetMediaType", kStepSetMediaType},
        {"AddGrabber", kStepAddGrabber},
        {"Connect", kStepConnect},
        {"SetBufferSamples", kStepBufferSamples},
        {"SetOneShot", kStepOneShot},
        {"SetCallback", kStepSetCallback},
        {"MediaEvent", kStepMediaEvent},
        {"MediaControl", kStepMediaControl},
        {"Run", kStepRun},
        {"FirstFrame", kStepFirstFrame},
    };
    if (name == nullptr) return -1;
    for (const auto &entry : kSteps) {
        if (std::strcmp(entry.name, name) == 0) return entry.step;
    }
    return -1;
}

}  // namespace nuv::sim
