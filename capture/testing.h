// What the tests see of capture beyond its header: the slots and capture's
// process state, as they stand.
#pragma once

#include "capture/capture.h"
#include "capture/capture_slot.h"
