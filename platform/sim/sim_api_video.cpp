// The simulator's control API for video devices.
#include <cstring>

#include "common/guarded.h"
#include "nuv_sim.h"
#include "platform/sim/world.h"

using nuv::Guarded;
using nuv::framework::VideoFormat;
using nuv::sim::FrameSource;
using nuv::sim::VideoFunction;
using nuv::sim::World;

namespace {

// Runs body(device) for a device plugged in.
template <class F>
NuvBool WithDevice(int deviceId, F &&body) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        auto device = World::Instance().FindDevice(deviceId);
        return device && body(*device) ? 1 : 0;
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
        return World::Instance().AddCamera(nuv::framework::Widen(friendlyName), serialNumber, plugAndPlay != 0);
    });
}

NuvBool NUV_CALL NuvSimUnplugCamera(int deviceId) {
    return Guarded<NuvBool>(0, [&] { return static_cast<NuvBool>(World::Instance().UnplugDevice(deviceId, true)); });
}

NuvBool NUV_CALL NuvSimSetInstanceKey(int deviceId, const char *key) {
    return WithDevice(deviceId, [&](VideoFunction &device) {
        if (key == nullptr) return false;
        device.SetInstanceKey(key);
        return true;
    });
}

NuvBool NUV_CALL NuvSimGetInstanceKey(int deviceId, char *key, int size) {
    return WithDevice(deviceId, [&](VideoFunction &device) { return CopyOut(device.InstanceKey(), key, size); });
}

NuvBool NUV_CALL NuvSimGetParentInstanceId(int deviceId, char *id, int size) {
    return WithDevice(deviceId, [&](VideoFunction &device) {
        return CopyOut(nuv::sim::ParentInstanceIdFor(device.InstanceKey()), id, size);
    });
}

NuvBool NUV_CALL NuvSimSetDisplayName(int deviceId, const char *displayName) {
    return WithDevice(deviceId, [&](VideoFunction &device) {
        device.SetDisplayName(nuv::framework::Widen(displayName));
        return true;
    });
}

NuvBool NUV_CALL NuvSimSetFriendlyName(int deviceId, const char *friendlyName) {
    return WithDevice(deviceId, [&](VideoFunction &device) {
        const nuv::framework::WideText name = nuv::framework::Widen(friendlyName);
        device.SetFriendlyName(friendlyName ? &name : nullptr);
        return true;
    });
}

NuvBool NUV_CALL NuvSimSetFilterFails(int deviceId, int fails) {
    return WithDevice(deviceId, [&](VideoFunction &device) {
        device.SetBindFails(fails != 0);
        return true;
    });
}

NuvBool NUV_CALL NuvSimClearCapabilities(int deviceId) {
    return WithDevice(deviceId, [&](VideoFunction &device) {
        device.ClearCapabilities();
        return true;
    });
}

int NUV_CALL NuvSimAddCapability(int deviceId, const char *subtype, int width, int height, int bitCount,
                                 long long frameInterval, int formatType) {
    int count = -1;
    const NuvBool ok = WithDevice(deviceId, [&](VideoFunction &device) {
        VideoFormat cap;
        if (!SubtypeFromText(subtype, &cap.subtype) || formatType < 0 || formatType > 2 || bitCount < 0) return false;
        static const GUID kVideoInfo2 = {0xF72A76A0, 0xEB0A, 0x11D0, {0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
        static const GUID kWaveFormat = {0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
        cap.formatType = formatType == 0 ? FORMAT_VideoInfo : formatType == 1 ? kVideoInfo2 : kWaveFormat;
        cap.width = width;
        cap.height = height;
        cap.bitCount = bitCount;
        cap.frameInterval = frameInterval;
        cap.maxFrameInterval = frameInterval > 0 && frameInterval < 10000000 ? 10000000 : 0;
        count = device.AddCapability(cap);
        return true;
    });
    return ok ? count : -1;
}

NuvBool NUV_CALL NuvSimSetCapabilitySize(int deviceId, int bytes) {
    return WithDevice(deviceId, [&](VideoFunction &device) {
        if (bytes < 0) return false;
        device.SetCapabilityRecordSize(bytes);
        return true;
    });
}

NuvBool NUV_CALL NuvSimGetDeviceFormat(int deviceId, int *width, int *height, long long *frameInterval,
                                       unsigned char subtype[16]) {
    return WithDevice(deviceId, [&](VideoFunction &device) {
        VideoFormat format;
        if (!device.FormatSet(&format)) return false;
        if (width) *width = format.width;
        if (height) *height = format.height;
        if (frameInterval) *frameInterval = format.frameInterval;
        if (subtype) std::memcpy(subtype, &format.subtype, 16);
        return true;
    });
}

NuvBool NUV_CALL NuvSimSetVideoProperty(int deviceId, int index, int supported, int minimum, int maximum,
                                        int value) {
    return WithDevice(deviceId, [&](VideoFunction &device) {
        return device.DefineProperty(index, supported != 0, minimum, maximum, value);
    });
}

NuvBool NUV_CALL NuvSimGetVideoProperty(int deviceId, int index, int *value) {
    return WithDevice(deviceId, [&](VideoFunction &device) {
        long current = 0;
        if (value == nullptr || !device.PropertyValue(index, &current)) return false;
        *value = static_cast<int>(current);
        return true;
    });
}

NuvBool NUV_CALL NuvSimSetFrameSource(int deviceId, int source) {
    return WithDevice(deviceId, [&](VideoFunction &device) {
        if (source < 0 || source > 2) return false;
        device.SetFrameSource(source == 0   ? FrameSource::kGenerated
                              : source == 1 ? FrameSource::kPushed
                                            : FrameSource::kNone);
        return true;
    });
}

NuvBool NUV_CALL NuvSimPushFrame(int deviceId, const void *bytes, int length, double sampleTime) {
    return WithDevice(deviceId, [&](VideoFunction &device) {
        if (length < 0 || (length > 0 && bytes == nullptr)) return false;
        const auto *data = static_cast<const std::uint8_t *>(bytes);
        device.PushFrame(std::vector<std::uint8_t>(data, data + length), sampleTime);
        return true;
    });
}

long long NUV_CALL NuvSimFramesDelivered(int deviceId) {
    return Guarded<long long>(-1, [&]() -> long long {
        auto device = World::Instance().FindDevice(deviceId, true);
        return device ? static_cast<long long>(device->FramesDelivered()) : -1;
    });
}

int NUV_CALL NuvSimRunningStreams(int deviceId) {
    return Guarded<int>(-1, [&]() -> int {
        auto device = World::Instance().FindDevice(deviceId, true);
        return device ? device->RunningStreams() : -1;
    });
}

NuvBool NUV_CALL NuvSimSetRunFails(int deviceId, int fails) {
    return WithDevice(deviceId, [&](VideoFunction &device) {
        device.SetRunFails(fails != 0);
        return true;
    });
}
