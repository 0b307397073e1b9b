// What the kernel files share: word access, the shading reference of one word,
// the target attributes of the wide paths and the rule for writing around
// the caches. Internal to correction/.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "correction/correction.h"

#if defined(__x86_64__) || defined(__i386__)
#define NUV_X86 1
// GCC 12's AVX-512 headers fill "undefined" registers with a self-assigned
// variable, which its own uninitialised-use analysis then reports.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#endif

namespace nuv::kernels {

inline std::uint16_t LoadWord(const unsigned char *bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline void StoreWord(unsigned char *bytes, std::uint16_t value) {
    bytes[0] = static_cast<unsigned char>(value & 0xFF);
    bytes[1] = static_cast<unsigned char>(value >> 8);
}

// A word times its gain, limited to 0..1023: what every path must give.
inline std::uint16_t ShadeOne(std::uint16_t word, double gain) {
    const double p = static_cast<double>(word) * gain;
    if (std::isnan(p)) return 0;
    if (p >= 1024.0 || p <= -1.0) return 1023;
    return static_cast<std::uint16_t>(static_cast<int>(p));
}

// A large frame shaded into another buffer is written around the caches:
// streaming the gain map evicts the output from them anyway, and a store
// that bypasses them needs no read of the line first. Small frames stay in
// the caches for the caller.
inline constexpr std::size_t kStreamingWords = std::size_t{1} << 18;

// from: the first word the vector loop writes.
inline bool StreamsOut(const unsigned char *out, const unsigned char *in, std::size_t count, std::size_t from,
                       std::size_t alignment) {
    return out != in && count >= kStreamingWords && reinterpret_cast<std::uintptr_t>(out + 2 * from) % alignment == 0;
}

#if NUV_X86

#define NUV_AVX2 __attribute__((target("avx2")))
#define NUV_AVX512 __attribute__((target("avx512f,avx512bw")))
#define NUV_INLINE inline __attribute__((always_inline))

// Clears the upper halves of the vector registers before code without VEX
// encoding runs (the scalar tails, and the caller's code on return): with
// them dirty, every legacy SSE instruction pays a merge penalty, which
// measurably slowed the scalar and SSE2 code that ran after a wide kernel.
// GCC does not emit it before a tail call.
NUV_AVX2 NUV_INLINE void LeaveWideRegisters() { _mm256_zeroupper(); }

#endif

// ---- Compact maps (compact_kernels.cpp) -------------------------------------

// The exact gain a compact map holds for a pixel.
double CompactGain(const CompactGains &gains, std::size_t index);
// A word shaded with a compact map's gain of a pixel, exactly.
std::uint16_t ShadeCompactWord(std::uint16_t word, const CompactGains &gains, std::size_t index);
// Stores count gains in the compact form at shift (G < 2^24 and the rest
// below it exact); false, with the planes partly written, when one does not
// fit: negative, NaN, too large, or bits further down than the rest holds.
bool CompactGainRow(KernelPath path, const double *gains, std::size_t count, int shift, std::uint16_t *high,
                    std::uint8_t *low, std::uint32_t *rest);
// count words from in (or in place: out == in) with a compact map's first
// count gains.
void ShadeCompact(KernelPath path, unsigned char *out, const unsigned char *in, const CompactGains &gains,
                  std::size_t count);

}  // namespace nuv::kernels
