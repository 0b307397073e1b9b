// What the tests and benchmarks see of the corrections beyond their header.
#pragma once

#include "correction/correction.h"

namespace nuv::testing {

// Makes the correction routines use path (must be available; an unavailable
// one is ignored). Returns the previous setting.
KernelPath ForceKernelPath(KernelPath path);
// Back to the best path the machine runs.
void ResetKernelPath();

}  // namespace nuv::testing
