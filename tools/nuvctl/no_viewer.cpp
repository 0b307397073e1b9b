// A build made without Boost's headers has no viewer.
#include "commands.h"

namespace nuvctl {

void View(const ViewArgs &) {
    throw Failure("this build of nuvctl has no viewer: Boost's headers (libboost-dev) were missing when it was built");
}

}  // namespace nuvctl
