// Switches of the allocator behind os::AllocateAligned on non-Windows builds.
#pragma once

namespace nuv::framework {

// After skip allocations pass, the next count fail; (0, 0) switches it off.
void FailAllocations(int skip, int count);
void ResetAllocationSwitch();
// Blocks handed out and not yet freed.
int LiveAllocations();

}  // namespace nuv::framework
