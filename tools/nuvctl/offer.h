// What a device offers, checked before it is opened: the library's open only
// says that it failed, the device's own format list says why.
#pragma once

#include <string>
#include <vector>

#include "common.h"

namespace nuvctl {

// "1280x720, 656x408, 328x204 at 30 or 60 fps, YUY2", one such group per
// format name ("; " between them).
std::string DescribeOffer(const std::vector<FormatEntry> &formats);

// Throws Failure when the device's format list lacks the format name, the
// size in that format, or a rate that fast at that size: "640x480 is not
// offered by NUV2; it offers ...". A rate of 0 (the last one used) is not
// checked; neither is anything when the list cannot be read (the open then
// says what it can).
void CheckOffered(const DeviceEntry &device, const OpenRequest &request);

}  // namespace nuvctl
