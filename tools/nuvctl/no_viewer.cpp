// Builds without an HTTP library (the Windows build) have no viewer.
#include "commands.h"

namespace nuvctl {

void View(const ViewArgs &) {
    throw Failure("this build of nuvctl has no viewer (no HTTP library for it); use the Linux build");
}

}  // namespace nuvctl
