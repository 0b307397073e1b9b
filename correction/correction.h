// Image corrections: pixel-defect lists and shading gain maps.
//
// A corrected image is width x height unsigned 16-bit little-endian words of
// the mode index, row after row; the caller's pointer may have any alignment.
// The per-frame routines work on the record found by camera handle and take a
// snapshot (SharedRef::load) of its parameter block and gain map, so a list
// or map replaced on another thread stays alive until the frame is done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "api/registry.h"
#include "protocol/camera_protocol.h"
#include "protocol/shading.h"

namespace nuv {

// The modes and the correction layout of the parameter block, and the
// shading model (sites, sets, the gain formula), are the protocol's
// (protocol/camera_protocol.h, protocol/shading.h).
using namespace protocol;

// Width and height of a mode index (0..2); false, with nothing written,
// otherwise.
bool ModeSize(int modeIndex, int *width, int *height);

// The set (cameraNumber, modeIndex) of a block; both must be in range.
ShadingSet ReadShadingSet(const ParameterBlock &block, int cameraNumber, int modeIndex);
void WriteShadingSet(ParameterBlock &block, int cameraNumber, int modeIndex, const ShadingSet &set);

// A gain map for a mode index (width x height doubles, uninitialised),
// aligned to a 64-byte cache line so the kernels read it in whole lines;
// null for a bad mode index or when memory runs out.
std::shared_ptr<double[]> AllocateGainMap(int modeIndex);

// ---- The three routines ---------------------------------------------------

// Fills map (width x height doubles of the mode index) with the gains of the
// set (cameraNumber, modeIndex) of block. False, with the map unwritten, for
// an argument out of range or a NaN or infinite coefficient (the centre is
// not checked). Gains are not limited.
bool ComputeGainMap(int cameraNumber, double *map, int modeIndex, const ParameterBlock &block);

// Overwrites each listed pixel of the record's camera number and the mode
// index with its diagonal neighbour two columns and rows towards the centre,
// in list order. False, with the image untouched, when there is no record,
// no parameter block, no camera number, a mode index out of range or no image.
bool CorrectPixelDefects(int handle, int modeIndex, void *image);

// Multiplies every word by its gain from the record's map for its camera
// number and limits the result to 0..1023 (1023 for products >= 1024 or
// <= -1, 0 for NaN, else truncated). False, with the image untouched, when
// there is no record, no camera number, no map, no image, or a mode index
// other than the record's (the map has only that mode's size).
bool CorrectShading(int handle, int modeIndex, void *image);

// ---- Corrections of one delivered frame --------------------------------------

// What a frame is corrected with. NuvReceiveImage takes it from the record
// together with the frame, so that a close or a change on another thread
// meanwhile can neither leave the frame half corrected nor free what the
// corrections read.
struct FrameCorrections {
    int modeIndex = -1;          // -1: a plain video device, nothing applies
    int cameraNumberIndex = -1;  // 0 or 1, else nothing applies
    ParameterBlockRef defects;   // the block whose lists apply; null: defects off
    GainMapRef gains;            // the map of the camera number; null: shading off
};

// The record's corrections as its switches, camera number and data stand
// now. The caller holds the registry lock, so the fields belong together.
FrameCorrections CurrentCorrections(const CameraRecord &record);
// Pixel defects, then shading, as far as corrections has what they need.
void ApplyCorrections(const FrameCorrections &corrections, void *image);
// The length bytes of a frame copied from source into image and corrected
// on the way, in one pass: the same bytes as a copy followed by
// ApplyCorrections on it. (A frame shorter than the mode's image is copied
// and then corrected in place: the corrections also cover the caller's own
// bytes beyond it.)
void CopyCorrected(const FrameCorrections &corrections, void *image, const void *source, std::size_t length);

// ---- Kernels ------------------------------------------------------------------
//
// Every path produces exactly the bits of the scalar reference. The fast
// paths are chosen at run time by what the CPU (and OS) supports; tests and
// benchmarks may run any available path directly.

enum class KernelPath { kScalar = 0, kSse2 = 1, kAvx2 = 2, kAvx512 = 3 };
inline constexpr int kKernelPathCount = 4;

const char *KernelPathName(KernelPath path);
bool KernelPathAvailable(KernelPath path);
// The fastest path the machine runs.
KernelPath BestKernelPath();
// The path the routines above use: the best one, unless a test forced
// another (correction/testing.h).
KernelPath ActiveKernelPath();

// Shading of count words starting at image (any alignment) with gains[0..count).
void ShadeWords(KernelPath path, void *image, const double *gains, std::size_t count);
// The same, reading the words from source (which must not overlap image):
// a frame is shaded on its way from the slot into the caller's buffer.
void ShadeWordsFrom(KernelPath path, void *image, const void *source, const double *gains, std::size_t count);
// One shaded word: the reference of every path.
std::uint16_t ShadeWord(std::uint16_t word, double gain);
// The gain map of set for a width x height image; map is width x height doubles.
void FillGainMap(KernelPath path, double *map, int width, int height, const ShadingSet &set);

}  // namespace nuv
