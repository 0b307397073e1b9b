// Image corrections: pixel-defect lists and shading gain maps.
//
// A corrected image is width x height unsigned 16-bit little-endian words of
// the mode index, row after row; the caller's pointer may have any alignment.
// The per-frame routines work on the record found by camera handle and take a
// snapshot (LockedRef::load) of its parameter block and gain map, so a list
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

class GainMap;  // below

// A gain map for a mode index (room for width x height gains, not yet
// computed); null for a bad mode index or when memory runs out.
std::shared_ptr<GainMap> AllocateGainMap(int modeIndex);

// ---- The three routines ---------------------------------------------------

// Fills map (allocated for the mode index) with the gains of the set
// (cameraNumber, modeIndex) of block. False, with the map unwritten, for an
// argument out of range or a NaN or infinite coefficient (the centre is not
// checked). Gains are not limited.
bool ComputeGainMap(int cameraNumber, GainMap *map, int modeIndex, const ParameterBlock &block);

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

// Shading of count words starting at image (any alignment) with the first
// count gains of map.
void ShadeWords(KernelPath path, void *image, const GainMap &map, std::size_t count);
// The same, reading the words from source (which must not overlap image):
// a frame is shaded on its way from the slot into the caller's buffer.
void ShadeWordsFrom(KernelPath path, void *image, const void *source, const GainMap &map, std::size_t count);
// The same with plain double gains, gains[0..count).
void ShadeWords(KernelPath path, void *image, const double *gains, std::size_t count);
void ShadeWordsFrom(KernelPath path, void *image, const void *source, const double *gains, std::size_t count);
// One shaded word: the reference of every path.
std::uint16_t ShadeWord(std::uint16_t word, double gain);
// The gains of set for a width x height image, as doubles: the whole map
// (width x height), or row y alone (width).
void FillGainMap(KernelPath path, double *map, int width, int height, const ShadingSet &set);
void FillGainRow(KernelPath path, double *row, int width, int y, const ShadingSet &set);

// ---- Gain maps ------------------------------------------------------------------
//
// A gain map holds the gain of every pixel of one mode, computed once from a
// shading set and read by every frame. Frames read it in full, so its form
// decides how fast a corrected frame can be; what a frame may not lose is a
// single bit of the product of each word and its double gain.
//
// The compact form keeps each gain g as the 24-bit integer
// G = floor(g * 2^shift), in a plane of its high 16 bits and one of its low 8
// bits (3 bytes a pixel, a little more than a third of a double), and in a
// third plane the 32 bits below G that make it exact:
// g = (G + rest / 2^32) / 2^shift. The corrected word floor(v * g) is
// floor(v * G / 2^shift) unless v * G / 2^shift lies within v / 2^shift below
// an integer, where the rest could carry the product over it. The kernels see
// that from the bits they compute and settle those few words (about one in
// ten thousand) from the exact gain. The shift is the map's: the largest from
// 18 to 24 at which its largest gain fits 24 bits.
//
// A map takes the compact form when every gain is 0 or has all its bits
// within G and the rest (gains spread over at most a factor of about 16, all
// below 64: a lens's maps); any other map (a negative, NaN, infinite, huge
// or widely spread gain) keeps plain doubles. Both forms live in one block
// of 8 bytes a pixel, as a map of doubles always took.

// The planes of a compact map.
struct CompactGains {
    const std::uint16_t *high = nullptr;  // G >> 8
    const std::uint8_t *low = nullptr;    // G & 0xFF
    const std::uint32_t *rest = nullptr;  // (g * 2^shift - G) * 2^32
    int shift = 0;
};

class GainMap {
public:
    // Room for count gains, in one block that starts on a cache line; null
    // when memory runs out.
    static std::shared_ptr<GainMap> Allocate(std::size_t count);

    std::size_t Count() const { return count_; }
    bool IsCompact() const { return compact_; }

    // The gains of set for a width x height image, compact when they all
    // fit; nothing is written unless width * height is Count().
    void Fill(KernelPath path, int width, int height, const ShadingSet &set);
    // The given Count() gains, compact when they all fit and allowCompact.
    void Assign(const double *gains, bool allowCompact = true);

    // The gain of a pixel as it acts on words: the double itself (a compact
    // map gives +0.0 for -0.0).
    double Gain(std::size_t index) const;
    // A word shaded with the gain of a pixel.
    std::uint16_t ShadeWord(std::uint16_t word, std::size_t index) const;

    // The gains as the kernels read them: the doubles of a map that is not
    // compact (else null), the planes of one that is.
    const double *Doubles() const { return compact_ ? nullptr : block_.get(); }
    CompactGains Compact() const;

    // The block that holds either form, and its size in bytes.
    const void *Storage() const { return block_.get(); }
    std::size_t StorageBytes() const { return blockBytes_; }

    GainMap(const GainMap &) = delete;
    GainMap &operator=(const GainMap &) = delete;
    ~GainMap();

private:
    GainMap() = default;
    // Where the planes lie in the block; false when it cannot hold them.
    bool LayOut();
    bool CompactRow(KernelPath path, const double *gains, std::size_t first, std::size_t count);

    std::size_t count_ = 0;
    std::size_t blockBytes_ = 0;
    std::unique_ptr<double[], void (*)(double *)> block_{nullptr, nullptr};
    bool compact_ = false;
    int shift_ = 0;
    std::uint16_t *high_ = nullptr;
    std::uint8_t *low_ = nullptr;
    std::uint32_t *rest_ = nullptr;
};

}  // namespace nuv
