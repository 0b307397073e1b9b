// The status numbers of a capture-graph build, named after the one table of
// build steps; the enumeration of devices and formats shares them (3 to 12).
#pragma once

#include "nuv_build_steps.h"

namespace nuv {

enum BuildStatus : int {
    kBuildOk = 0,
#define NUV_BUILD_STATUS(number, name, what) kBuild##name = number,
    NUV_BUILD_STEPS(NUV_BUILD_STATUS)
#undef NUV_BUILD_STATUS
    // The format enumeration's own meaning of 12: reading the number of
    // capabilities failed.
    kEnumCapabilities = 12,
};

}  // namespace nuv
