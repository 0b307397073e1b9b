#include "api/registry.h"

#include <utility>

namespace nuv {

namespace {

// Static storage, nothing allocated: loading the library constructs only
// the locks (the registry lock and each holder's), and not even those where
// the threads library gives its mutex a constant initialiser (everywhere
// but mingw-w64, whose mutex stores its initial value at load).
std::mutex gRegistryLock;
CameraRecord gRecords[kCameraCount];

}  // namespace

CameraRecord &Record(int index) { return gRecords[index]; }

std::unique_lock<std::mutex> LockRegistry() noexcept { return std::unique_lock<std::mutex>(gRegistryLock); }

void RegisterCamera(int slotIndex, int handle, ControlChannelRef channel, int kind, ParameterBlockRef block,
                    int modeIndex, GainMapRef map1, GainMapRef map2, int cameraNumberIndex) {
    if (slotIndex < 0 || slotIndex >= kCameraCount) return;
    CameraRecord &record = gRecords[slotIndex];
    auto lock = LockRegistry();
    // The previous owners (null for a free record) are dropped after unlock.
    auto oldChannel = record.channel.exchange(std::move(channel));
    auto oldBlock = record.parameterBlock.exchange(std::move(block));
    auto oldMap1 = record.gainMaps[0].exchange(std::move(map1));
    auto oldMap2 = record.gainMaps[1].exchange(std::move(map2));
    record.kind = kind;
    record.modeIndex = modeIndex;
    record.cameraNumberIndex = cameraNumberIndex;
    // Published last: a concurrent search finds the record only once its
    // other fields are in place.
    record.slotIndex = slotIndex;
    record.handle = handle;
    lock.unlock();
}

CameraRecord *FindRecord(int handle) {
    for (CameraRecord &record : gRecords) {
        if (record.handle.load() == handle) return &record;
    }
    return nullptr;
}

CameraRecord *LookUpCamera(int handle) { return handle == -1 ? nullptr : FindRecord(handle); }

void ClearRecord(CameraRecord &record) {
    auto lock = LockRegistry();
    record.handle = -1;
    record.slotIndex = -1;
    auto channel = record.channel.exchange(nullptr);
    record.kind = kKindVideoOnly;
    auto block = record.parameterBlock.exchange(nullptr);
    record.modeIndex = -1;
    auto map1 = record.gainMaps[0].exchange(nullptr);
    auto map2 = record.gainMaps[1].exchange(nullptr);
    record.cameraNumberIndex = -1;
    record.defectSwitch = 1;
    record.shadingSwitch = 1;
    lock.unlock();
}

}  // namespace nuv
