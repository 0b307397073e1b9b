// Frames to files: 16-bit grey PNG with an sBIT chunk of 10 for corrected
// frames (viewers show them at full range, decoders recover the values by a
// shift of 6), raw bytes with a JSON sidecar, or a frame's own bytes. The
// Linux build encodes PNG with libpng, the Windows build with the OS's own
// imaging component; both write the same file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nuvctl {

// True when this build can write PNG.
bool PngSupported();

// The PNG of width x height 10-bit values: 16-bit grey, each value widened
// by bit replication (v << 6 | v >> 4, values above 1023 as 1023) and marked
// with sBIT 10.
std::string EncodePng16(int width, int height, const std::vector<std::uint16_t> &values);

// The same, written to a file.
void WritePng16(const std::string &path, int width, int height, const std::vector<std::uint16_t> &values);

// 8-bit grey (the viewer's display frames).
std::string EncodePng8(int width, int height, const std::vector<std::uint8_t> &values);

void WriteBytes(const std::string &path, const std::vector<std::uint8_t> &bytes);

}  // namespace nuvctl
