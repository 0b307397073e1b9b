// The eight correction exports: defect lists and shading sets written to the
// camera's parameter block and read from the cached copy, and the two
// switches. Every check runs before anything is sent; a failed call leaves
// its out-parameters unwritten.
#include <cstring>
#include <memory>

#include "api/registry.h"
#include "common/guarded.h"
#include "control/hid_transport.h"
#include "correction/correction.h"
#include "nuv.h"

namespace nuv {
namespace {

static_assert(sizeof(NuvDefectEntry) == kDefectEntrySize, "a defect entry is column and row, 16 bits each");

// The record of a correction call: handle -1 refused first, then the first
// record holding the handle, which must not be a "NUV" camera.
CameraRecord *CorrectionRecord(int handle) {
    CameraRecord *record = LookUpCamera(handle);
    if (record == nullptr || record->kind.load() == kKindNuv) return nullptr;
    return record;
}

// The switch exports also accept a plain video device, as long as the
// record is in use.
CameraRecord *SwitchRecord(int handle) {
    CameraRecord *record = CorrectionRecord(handle);
    if (record == nullptr || record->slotIndex.load() == -1) return nullptr;
    return record;
}

bool ValidCameraNumber(int cameraNumber) { return cameraNumber == 1 || cameraNumber == 2; }
bool ValidMode(int modeIndex) { return modeIndex >= 0 && modeIndex < kModeCount; }

// The first checks of both setters, in their order: the handle and camera
// number, a record that is not a "NUV" camera, a control channel and a cached
// parameter block. The channel is handed out for the update that follows.
CameraRecord *WritableRecord(int handle, int cameraNo, ControlChannelRef &channel) {
    if (handle == -1 || !ValidCameraNumber(cameraNo)) return nullptr;
    CameraRecord *record = CorrectionRecord(handle);
    if (record == nullptr) return nullptr;
    channel = record->channel.load();
    if (channel == nullptr || channel->handle() == nullptr || record->parameterBlock.load() == nullptr) return nullptr;
    return record;
}

std::uint16_t Column(const NuvDefectEntry &entry) { return entry.column; }
std::uint16_t Row(const NuvDefectEntry &entry) { return entry.row; }

bool SetSwitch(int handle, int on, std::atomic<int> CameraRecord::*field) {
    CameraRecord *record = SwitchRecord(handle);
    if (record == nullptr || (on != 0 && on != 1)) return false;
    auto lock = LockRegistry();
    (record->*field).store(on);
    return true;
}

bool GetSwitch(int handle, int *on, std::atomic<int> CameraRecord::*field) {
    const CameraRecord *record = SwitchRecord(handle);
    if (record == nullptr || on == nullptr) return false;
    *on = (record->*field).load();
    return true;
}

}  // namespace
}  // namespace nuv

using namespace nuv;

NuvBool NUV_CALL NuvSetPixelDefect(int handle, int cameraNo, int mode, const NuvDefectEntry *entries) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        ControlChannelRef channel;
        CameraRecord *record = WritableRecord(handle, cameraNo, channel);
        if (record == nullptr) return 0;
        if (!ValidMode(mode) || entries == nullptr) return 0;
        // The caller's array is copied once, so what is checked is what is
        // written even if the caller changes it meanwhile.
        NuvDefectEntry list[kDefectEntryCount];
        std::memcpy(list, entries, sizeof list);
        for (const NuvDefectEntry &entry : list) {
            if (Column(entry) != kUnusedDefect && Column(entry) >= kModes[mode].width) return 0;
            if (Row(entry) != kUnusedDefect && Row(entry) >= kModes[mode].height) return 0;
        }
        const int offset = DefectListOffset(cameraNo, mode);
        const bool written = UpdateParameterBlock(*channel, record->parameterBlock, [&](ParameterBlock &b) {
            for (int i = 0; i < kDefectEntryCount; ++i) {
                std::uint8_t *at = b.data() + offset + kDefectEntrySize * i;
                at[0] = static_cast<std::uint8_t>(Column(list[i]) & 0xFF);
                at[1] = static_cast<std::uint8_t>(Column(list[i]) >> 8);
                at[2] = static_cast<std::uint8_t>(Row(list[i]) & 0xFF);
                at[3] = static_cast<std::uint8_t>(Row(list[i]) >> 8);
            }
        });
        return written ? 1 : 0;
    });
}

NuvBool NUV_CALL NuvGetPixelDefect(int handle, int cameraNo, int mode, NuvDefectEntry *entries) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        if (handle == -1 || !ValidCameraNumber(cameraNo)) return 0;
        const CameraRecord *record = CorrectionRecord(handle);
        if (record == nullptr) return 0;
        const ParameterBlockRef block = record->parameterBlock.load();
        if (block == nullptr || !ValidMode(mode) || entries == nullptr) return 0;
        const std::uint8_t *at = block->data() + DefectListOffset(cameraNo, mode);
        for (int i = 0; i < kDefectEntryCount; ++i, at += kDefectEntrySize) {
            NuvDefectEntry entry;
            entry.column = static_cast<unsigned short>(at[0] | (at[1] << 8));
            entry.row = static_cast<unsigned short>(at[2] | (at[3] << 8));
            std::memcpy(entries + i, &entry, sizeof entry);
        }
        return 1;
    });
}

NuvBool NUV_CALL NuvSetPixelDefectOnOff(int handle, int on) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool { return SetSwitch(handle, on, &CameraRecord::defectSwitch); });
}

NuvBool NUV_CALL NuvGetPixelDefectOnOff(int handle, int *on) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool { return GetSwitch(handle, on, &CameraRecord::defectSwitch); });
}

NuvBool NUV_CALL NuvSetShadingCorrection(int handle, int cameraNo, int mode, const double *centre, const double *k2,
                                         const double *k1, const double *k0) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        ControlChannelRef channel;
        CameraRecord *record = WritableRecord(handle, cameraNo, channel);
        if (record == nullptr) return 0;
        if (!ValidMode(mode)) return 0;
        if (centre == nullptr || k2 == nullptr || k1 == nullptr || k0 == nullptr) return 0;
        ShadingSet set;
        set.cx = centre[0];
        set.cy = centre[1];
        for (int site = 0; site < 4; ++site) {
            set.k2[site] = k2[site];
            set.k1[site] = k1[site];
            set.k0[site] = k0[site];
        }
        const bool written = UpdateParameterBlock(*channel, record->parameterBlock,
                                                  [&](ParameterBlock &b) { WriteShadingSet(b, cameraNo, mode, set); });
        if (!written) return 0;
        // Frames use maps of the opened size only; a set for another size
        // reaches them when the camera is next opened at that size.
        if (mode != record->modeIndex.load()) return 1;

        std::shared_ptr<GainMap> map = AllocateGainMap(mode);
        if (map == nullptr) return 0;  // stored, but the previous map stays in use
        // The map is computed from the values just stored, not from the
        // cache, which another writer may already have replaced.
        ParameterBlock stored{};
        WriteShadingSet(stored, cameraNo, mode, set);
        if (!ComputeGainMap(cameraNo, map.get(), mode, stored)) map.reset();

        GainMapRef previous;
        {
            auto lock = LockRegistry();
            previous = record->gainMaps[cameraNo - 1].exchange(std::move(map));
        }
        // previous is released here, outside the lock; a frame still being
        // shaded with it holds its own reference.
        return 1;
    });
}

NuvBool NUV_CALL NuvGetShadingCorrection(int handle, int cameraNo, int mode, double *centre, double *k2, double *k1,
                                         double *k0) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        if (handle == -1 || !ValidCameraNumber(cameraNo)) return 0;
        const CameraRecord *record = CorrectionRecord(handle);
        if (record == nullptr) return 0;
        const ParameterBlockRef block = record->parameterBlock.load();
        if (block == nullptr || !ValidMode(mode)) return 0;
        if (centre == nullptr || k2 == nullptr || k1 == nullptr || k0 == nullptr) return 0;
        const ShadingSet set = ReadShadingSet(*block, cameraNo, mode);
        centre[0] = set.cx;
        centre[1] = set.cy;
        for (int site = 0; site < 4; ++site) {
            k2[site] = set.k2[site];
            k1[site] = set.k1[site];
            k0[site] = set.k0[site];
        }
        return 1;
    });
}

NuvBool NUV_CALL NuvSetShadingCorrectionOnOff(int handle, int on) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool { return SetSwitch(handle, on, &CameraRecord::shadingSwitch); });
}

NuvBool NUV_CALL NuvGetShadingCorrectionOnOff(int handle, int *on) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool { return GetSwitch(handle, on, &CameraRecord::shadingSwitch); });
}
