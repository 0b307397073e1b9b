// What the capture and property sources share among themselves.
#pragma once

#include "platform/os.h"

namespace nuv {

// Stores a framework result as the last COM status and passes it on.
HRESULT NoteCom(HRESULT result);

// ReleaseGraph for a caller that already holds the slot's graph lock.
void ReleaseGraphLocked(int slotIndex);

// COM initialisation of an idle period: made by the first open on its
// thread, undone when nothing runs any more. Callers hold the process
// lifecycle lock.
void InitialiseComIfIdle();
void UndoComInitialisation();
// When no slot runs: undoes the COM initialisation and forgets the device
// count, so that the next open starts afresh.
void EndIdlePeriodIfNothingRuns();

}  // namespace nuv
