// What the tests see of the registry beyond its header: record look-ups by
// camera handle. (The call that puts the whole library back into the state
// it has right after loading is capture/testing.h's.)
#pragma once

#include "api/registry.h"

namespace nuv::testing {

// Look-ups by camera handle; none treats -1 specially and none locks.
int FindSlot(int handle);
ParameterBlockRef FindParameterBlock(int handle);
int FindModeIndex(int handle);
int FindDefectSwitch(int handle);
int FindShadingSwitch(int handle);

}  // namespace nuv::testing
