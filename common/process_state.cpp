#include "common/process_state.h"

namespace nuv {

namespace {

// Constant-initialised: loading the library runs no constructor for it.
constinit ProcessState gProcess;

}  // namespace

ProcessState &Process() { return gProcess; }

}  // namespace nuv
