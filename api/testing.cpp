#include "api/testing.h"

namespace nuv::testing {

int FindSlot(int handle) {
    const CameraRecord *record = FindRecord(handle);
    return record ? record->slotIndex.load() : -1;
}

ParameterBlockRef FindParameterBlock(int handle) {
    const CameraRecord *record = FindRecord(handle);
    return record ? record->parameterBlock.load() : nullptr;
}

int FindModeIndex(int handle) {
    const CameraRecord *record = FindRecord(handle);
    return record ? record->modeIndex.load() : -1;
}

int FindDefectSwitch(int handle) {
    const CameraRecord *record = FindRecord(handle);
    return record ? record->defectSwitch.load() : -1;
}

int FindShadingSwitch(int handle) {
    const CameraRecord *record = FindRecord(handle);
    return record ? record->shadingSwitch.load() : -1;
}

}  // namespace nuv::testing
