// Threads of the OS door on non-Windows builds: real threads behind handles
// of the file table, with two switches for tests: fail the next thread
// creations, and hold new threads back until someone waits for them (so that
// a test can see what a caller sees before a worker has run).
#pragma once

namespace nuv::framework {

void FailThreadCreations(int count);
// Switching it off starts the threads held so far.
void HoldNewThreads(bool on);
// Back to normal (a reset of the simulated world).
void ResetThreadSwitches();

}  // namespace nuv::framework
