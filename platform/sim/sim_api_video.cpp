// The simulator's control API for video devices.
#include <cstring>

#include "api/guarded.h"
#include "nuv_sim.h"
#include "platform/sim/clock.h"
#include "platform/sim/hid_interface.h"
#include "platform/sim/video_com.h"

using nuv::sim::FrameSource;
using nuv::sim::VideoCapability;
using nuv::sim::VideoDevice;
using nuv::sim::VideoFaults;
using nuv::Guarded;
using nuv::sim::World;

namespace {

// Runs body(camera, device) for an existing device id.
template <class F>
NuvBool WithDevice(int deviceId, F &&body) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        auto camera = World::Instance().FindDevice(deviceId);
        if (!camera) return 0;
        return body(*camera, *camera->video) ? 1 : 0;
    });
}

bool CopyOut(const std::string &text, char *out, int size) {
    if (out == nullptr || size < 1 || text.size() + 1 > static_cast<std::size_t>(size)) return false;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

bool SubtypeFromText(const char *text, GUID *subtype) {
    static const struct {
        const char *name;
        GUID subtype;
    } kKnown[] = {
        {"RGB24", MEDIASUBTYPE_RGB24},
        {"RGB32", MEDIASUBTYPE_RGB32},
        {"RGB555", MEDIASUBTYPE_RGB555},
        {"Y16", {0x20363159, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}},
    };
    if (text == nullptr) return false;
    for (const auto &entry : kKnown) {
        if (std::strcmp(entry.name, text) == 0) {
            *subtype = entry.subtype;
            return true;
        }
    }
    if (std::strlen(text) != 4) return false;
    // A four-character code, in the framework's FOURCC GUID pattern.
    const auto *c = reinterpret_cast<const unsigned char *>(text);
    *subtype = GUID{static_cast<DWORD>(c[0] | (c[1] << 8) | (c[2] << 16) | (static_cast<DWORD>(c[3]) << 24)),
                    0x0000,
                    0x0010,
                    {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    return true;
}

}  // namespace

int NUV_CALL NuvSimAddCamera(const char *friendlyName, unsigned int serialNumber, int plugAndPlay) {
    return Guarded<int>(0, [&] {
        return nuv::sim::AddLibraryCamera(World::Instance(), nuv::sim::Widen(friendlyName), serialNumber,
                                          plugAndPlay != 0);
    });
}

NuvBool NUV_CALL NuvSimUnplugCamera(int deviceId) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        World &world = World::Instance();
        auto camera = world.FindDevice(deviceId);
        if (!camera) return 0;
        std::shared_ptr<nuv::sim::HidInterface> hid;
        {
            std::lock_guard<std::mutex> hold(world.Lock());
            hid = camera->hid;
        }
        if (hid) world.RemoveHidInterface(hid->id);
        {
            std::lock_guard<std::mutex> hold(camera->video->lock);
            camera->video->frameSource = FrameSource::kNone;
            camera->video->pushed.clear();
        }
        nuv::sim::Clock::Instance().Notify();
        return world.RemoveDevice(deviceId) ? 1 : 0;
    });
}

NuvBool NUV_CALL NuvSimSetInstanceKey(int deviceId, const char *key) {
    return WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        if (key == nullptr) return false;
        std::lock_guard<std::mutex> hold(device.lock);
        device.instanceKey = key;
        return true;
    });
}

NuvBool NUV_CALL NuvSimGetInstanceKey(int deviceId, char *key, int size) {
    return WithDevice(deviceId, [&](nuv::sim::VirtualCamera &camera, VideoDevice &device) {
        std::string text;
        {
            std::lock_guard<std::mutex> hold(device.lock);
            text = device.instanceKey;
        }
        if (text.empty()) text = nuv::sim::DefaultInstanceKey(camera.id);
        return CopyOut(text, key, size);
    });
}

NuvBool NUV_CALL NuvSimGetParentInstanceId(int deviceId, char *id, int size) {
    return WithDevice(deviceId, [&](nuv::sim::VirtualCamera &camera, VideoDevice &device) {
        std::string key;
        {
            std::lock_guard<std::mutex> hold(device.lock);
            key = device.instanceKey;
        }
        if (key.empty()) key = nuv::sim::DefaultInstanceKey(camera.id);
        return CopyOut(nuv::sim::ParentInstanceIdFor(key), id, size);
    });
}

NuvBool NUV_CALL NuvSimSetDisplayName(int deviceId, const char *displayName) {
    return WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        std::lock_guard<std::mutex> hold(device.lock);
        device.displayNameOverride = nuv::sim::Widen(displayName);
        return true;
    });
}

NuvBool NUV_CALL NuvSimSetFriendlyName(int deviceId, const char *friendlyName) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        World &world = World::Instance();
        auto camera = world.FindDevice(deviceId);
        if (!camera) return 0;
        {
            std::lock_guard<std::mutex> hold(world.Lock());
            if (friendlyName != nullptr) camera->friendlyName = nuv::sim::Widen(friendlyName);
        }
        std::lock_guard<std::mutex> hold(camera->video->lock);
        camera->video->hasFriendlyName = friendlyName != nullptr;
        return 1;
    });
}

NuvBool NUV_CALL NuvSimSetFilterFails(int deviceId, int fails) {
    return WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        std::lock_guard<std::mutex> hold(device.lock);
        device.filterFails = fails != 0;
        return true;
    });
}

NuvBool NUV_CALL NuvSimClearCapabilities(int deviceId) {
    return WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        std::lock_guard<std::mutex> hold(device.lock);
        device.capabilities.clear();
        device.formatSet = false;
        return true;
    });
}

int NUV_CALL NuvSimAddCapability(int deviceId, const char *subtype, int width, int height, int bitCount,
                                 long long frameInterval, int formatType) {
    int count = -1;
    const NuvBool ok = WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        VideoCapability cap;
        if (!SubtypeFromText(subtype, &cap.subtype) || formatType < 0 || formatType > 2 || bitCount < 0) return false;
        static const GUID kVideoInfo2 = {0xF72A76A0, 0xEB0A, 0x11D0, {0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
        static const GUID kWaveFormat = {0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
        cap.formatType = formatType == 0 ? FORMAT_VideoInfo : formatType == 1 ? kVideoInfo2 : kWaveFormat;
        cap.width = width;
        cap.height = height;
        cap.bitCount = bitCount;
        cap.frameInterval = frameInterval;
        std::lock_guard<std::mutex> hold(device.lock);
        device.capabilities.push_back(cap);
        count = static_cast<int>(device.capabilities.size());
        return true;
    });
    return ok ? count : -1;
}

NuvBool NUV_CALL NuvSimSetCapabilitySize(int deviceId, int bytes) {
    return WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        if (bytes < 0) return false;
        std::lock_guard<std::mutex> hold(device.lock);
        device.capabilitySize = bytes;
        return true;
    });
}

NuvBool NUV_CALL NuvSimGetDeviceFormat(int deviceId, int *width, int *height, long long *frameInterval,
                                       unsigned char subtype[16]) {
    return WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        std::lock_guard<std::mutex> hold(device.lock);
        if (!device.formatSet) return false;
        if (width) *width = device.format.width;
        if (height) *height = device.format.height;
        if (frameInterval) *frameInterval = device.format.frameInterval;
        if (subtype) std::memcpy(subtype, &device.format.subtype, 16);
        return true;
    });
}

NuvBool NUV_CALL NuvSimSetVideoProperty(int deviceId, int index, int supported, int minimum, int maximum,
                                        int value) {
    return WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        if (index < 0 || index >= nuv::sim::kVideoPropertyCount) return false;
        std::lock_guard<std::mutex> hold(device.lock);
        nuv::sim::VideoProperty &p = device.properties[index];
        p.supported = supported != 0;
        p.min = minimum;
        p.max = maximum;
        p.defaultValue = value;
        p.value = value;
        return true;
    });
}

NuvBool NUV_CALL NuvSimGetVideoProperty(int deviceId, int index, int *value) {
    return WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        if (index < 0 || index >= nuv::sim::kVideoPropertyCount || value == nullptr) return false;
        std::lock_guard<std::mutex> hold(device.lock);
        if (!device.properties[index].supported) return false;
        *value = static_cast<int>(device.properties[index].value);
        return true;
    });
}

NuvBool NUV_CALL NuvSimSetFrameSource(int deviceId, int source) {
    return WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        if (source < 0 || source > 2) return false;
        {
            std::lock_guard<std::mutex> hold(device.lock);
            device.frameSource = source == 0 ? FrameSource::kGenerated
                                 : source == 1 ? FrameSource::kPushed
                                               : FrameSource::kNone;
        }
        nuv::sim::Clock::Instance().Notify();
        return true;
    });
}

NuvBool NUV_CALL NuvSimPushFrame(int deviceId, const void *bytes, int length, double sampleTime) {
    return WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        if (length < 0 || (length > 0 && bytes == nullptr)) return false;
        nuv::sim::PushedFrame frame;
        const auto *data = static_cast<const std::uint8_t *>(bytes);
        frame.bytes.assign(data, data + length);
        frame.sampleTime = sampleTime;
        std::uint64_t ticket;
        bool running;
        {
            std::lock_guard<std::mutex> hold(device.lock);
            if (device.frameSource == FrameSource::kGenerated) device.frameSource = FrameSource::kPushed;
            device.pushed.push_back(std::move(frame));
            ticket = device.pushedDelivered + device.pushed.size();
            running = device.activeStreams > 0;
        }
        nuv::sim::Clock::Instance().Notify();
        if (!running) return true;
        std::unique_lock<std::mutex> hold(device.lock);
        device.deliveredCv.wait(hold, [&] { return device.pushedDelivered >= ticket || device.activeStreams == 0; });
        return true;
    });
}

long long NUV_CALL NuvSimFramesDelivered(int deviceId) {
    long long count = -1;
    WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        std::lock_guard<std::mutex> hold(device.lock);
        count = static_cast<long long>(device.framesDelivered + device.pushedDelivered);
        return true;
    });
    return count;
}

int NUV_CALL NuvSimRunningStreams(int deviceId) {
    int count = -1;
    WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        std::lock_guard<std::mutex> hold(device.lock);
        count = device.activeStreams;
        return true;
    });
    return count;
}

NuvBool NUV_CALL NuvSimSetRunFails(int deviceId, int fails) {
    return WithDevice(deviceId, [&](nuv::sim::VirtualCamera &, VideoDevice &device) {
        std::lock_guard<std::mutex> hold(device.lock);
        device.runFails = fails != 0;
        return true;
    });
}

NuvBool NUV_CALL NuvSimFailBuildStep(int status, int times) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        static const int kSteps[] = {3, 4, 5, 6, 7, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 24};
        for (int step : kSteps) {
            if (step == status) {
                VideoFaults::Instance().Set(status, times);
                return 1;
            }
        }
        return 0;
    });
}

NuvBool NUV_CALL NuvSimFailBuildStepNamed(const char *name, int times) {
    const int step = VideoFaults::StepFromName(name);
    return step < 0 ? 0 : NuvSimFailBuildStep(step, times);
}

void NUV_CALL NuvSimClearBuildFaults(void) { VideoFaults::Instance().Clear(); }

int NUV_CALL NuvSimLiveDeviceInfoSets(void) { return nuv::sim::LiveDeviceInfoSets(); }
