// What the tests see of the control transport beyond its header.
#pragma once

#include <cstdint>

namespace nuv::testing {

// The sequence number the next exchange will carry.
std::uint8_t NextSequenceNumber();

}  // namespace nuv::testing
