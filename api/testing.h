// What the tests see of the library's insides beyond the production headers:
// record look-ups by camera handle, and one call that puts the library back
// into the state it has right after loading.
#pragma once

#include "api/registry.h"

namespace nuv::testing {

// Look-ups by camera handle; none treats -1 specially and none locks.
int FindSlot(int handle);
ParameterBlockRef FindParameterBlock(int handle);
int FindModeIndex(int handle);
int FindDefectSwitch(int handle);
int FindShadingSwitch(int handle);

// Closes every open camera, tears down every slot still running, ends any
// rewrite job, and restores the process state of a freshly loaded library
// (last capture settings, device count, list size, COM status, kernel path,
// observers).
void ResetLibrary();

}  // namespace nuv::testing
