// The camera registry: ten open-camera records, each paired with the camera
// slot of the same position (capture owns the slots), and the registry lock.
// (The process-wide state the subsystems share is common/process_state.h.)
//
// All of it lives in static storage, so loading the library does no work
// beyond constructing its locks. Fields that calls read without the lock are
// atomics; the objects a record owns (control channel, parameter block, gain
// maps) are shared references in holders of their own (common/locked_ref.h),
// so a reader's copy stays valid while another thread replaces or releases
// them, and the release happens in the last holder, outside any lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/locked_ref.h"
#include "protocol/camera_protocol.h"

namespace nuv {

class ControlChannel;  // control/control_channel.h
class GainMap;         // correction/correction.h

inline constexpr int kCameraCount = 10;

using ParameterBlock = std::array<std::uint8_t, protocol::kParameterBlockSize>;
using ParameterBlockRef = std::shared_ptr<const ParameterBlock>;
using GainMapRef = std::shared_ptr<const GainMap>;
using ControlChannelRef = std::shared_ptr<ControlChannel>;

// Camera kinds, as a record holds them.
using protocol::kKindNuv;
using protocol::kKindNuv2;
using protocol::kKindVideoOnly;

struct CameraRecord {
    std::atomic<int> slotIndex{-1};
    std::atomic<int> handle{-1};
    LockedRef<ControlChannelRef> channel;
    std::atomic<int> kind{kKindVideoOnly};
    LockedRef<ParameterBlockRef> parameterBlock;
    std::atomic<int> modeIndex{-1};
    std::atomic<int> cameraNumberIndex{-1};
    LockedRef<GainMapRef> gainMaps[2];
    std::atomic<int> defectSwitch{1};
    std::atomic<int> shadingSwitch{1};
};

CameraRecord &Record(int index);

// The registry lock guards writes to records (and lets a reader take several
// fields that belong together). Locking it never throws: a failing mutex
// ends the process instead of turning into a result.
std::unique_lock<std::mutex> LockRegistry() noexcept;

void RegisterCamera(int slotIndex, int handle, ControlChannelRef channel, int kind, ParameterBlockRef block,
                    int modeIndex, GainMapRef map1, GainMapRef map2, int cameraNumberIndex);

// The first record whose handle matches, or null; does not treat -1 apart.
CameraRecord *FindRecord(int handle);

// How every export that takes a camera handle finds its record: -1 is
// refused first, because free records hold -1 as their handle.
CameraRecord *LookUpCamera(int handle);

// Returns the record to its free values (handle -1, slot -1, no channel,
// kind video-only, no block, mode -1, camera number -1, no maps, both switches 1).
// What the record owned is released after the lock is dropped.
void ClearRecord(CameraRecord &record);

}  // namespace nuv
