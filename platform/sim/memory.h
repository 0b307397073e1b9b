// Switches of the simulated world's allocator (os::AllocateAligned).
#pragma once

namespace nuv::sim {

// After skip allocations pass, the next count fail; (0, 0) switches it off.
void FailAllocations(int skip, int count);
void ResetAllocationSwitch();
// Blocks handed out and not yet freed.
int LiveAllocations();

}  // namespace nuv::sim
