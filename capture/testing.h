// What the tests see of capture beyond its header: the slots and capture's
// process state, as they stand, and the reset of the whole library, which
// capture, at the top of the subsystems, can reach.
#pragma once

#include "capture/capture.h"
#include "capture/capture_slot.h"

namespace nuv::testing {

// Closes every open camera, tears down every slot still running, ends any
// rewrite job, and restores the process state of a freshly loaded library
// (last capture settings, device count, list size, COM status, kernel path,
// observers).
void ResetLibrary();

}  // namespace nuv::testing
