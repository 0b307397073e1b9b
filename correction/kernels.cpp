// The numeric kernels of the corrections: a scalar reference and SSE2, AVX2
// and AVX-512 paths that give exactly its bits.
//
// Why the fast paths are exact:
// - u16 -> int32 -> double is exact, and so is each x as a double;
// - every product, sum and square root is one IEEE operation in the same
//   order as the reference (sqrt is correctly rounded in both), and the
//   build never contracts a multiply and an add into an FMA
//   (-ffp-contract=off; a test fails if it does);
// - a truncating double -> int32 conversion yields the truncated value for
//   products in (-1, 1024), a value above 1023 for larger ones, a negative
//   value for products <= -1 and 0x80000000 for everything out of int32
//   range; read as unsigned, one minimum with 1023 gives both clamps at
//   once. NaN would also come out as 0x80000000, so it is turned into +0.0
//   before the conversion.
//
// The AVX paths carry target attributes instead of per-file flags, and the
// choice among them is made once at run time from the CPU's (and the OS's)
// features, so one binary runs everywhere.
#include <atomic>
#include <cmath>
#include <cstring>

#include "correction/correction.h"
#include "correction/kernel_support.h"
#include "correction/testing.h"

namespace nuv {

using namespace kernels;

namespace {

// ---- Scalar reference ------------------------------------------------------

// out and in are the same image, or two that do not overlap.
void ShadeScalar(unsigned char *out, const unsigned char *in, const double *gains, std::size_t begin,
                 std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) StoreWord(out + 2 * i, ShadeOne(LoadWord(in + 2 * i), gains[i]));
}

// The vector loops read the map in whole cache lines: words before the first
// 64-byte boundary of the map are done one by one (a load split across two
// lines costs about as much as a second load).
std::size_t ShadeHead(unsigned char *out, const unsigned char *in, const double *gains, std::size_t count) {
    const auto address = reinterpret_cast<std::uintptr_t>(gains);
    std::size_t head = 0;
    if (address % alignof(double) == 0) head = ((64 - address % 64) % 64) / sizeof(double);
    if (head > count) head = count;
    ShadeScalar(out, in, gains, 0, head);
    return head;
}

// The scalar reference is the protocol's own gain of each pixel
// (protocol/shading.h); the vector paths below give the same bits.
void FillRowTail(double *row, int y, int from, int width, double dy2, const ShadingSet &set) {
    for (int x = from; x < width; ++x) row[x] = ShadingGainAt(set, y, x, dy2);
}

void FillGainRowScalar(double *row, int width, int y, const ShadingSet &set) {
    FillRowTail(row, y, 0, width, ShadingRowSquare(set, y), set);
}

#if NUV_X86

// Coefficients of the two sites a row alternates between, for even and odd
// columns.
struct RowSites {
    int even;
    int odd;
};
inline RowSites SitesOfRow(int y) { return {ShadingSite(y, 0), ShadingSite(y, 1)}; }

// ---- SSE2 ------------------------------------------------------------------------

#if defined(__SSE2__)
void ShadeSse2(unsigned char *out, const unsigned char *in, const double *gains, std::size_t count) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i limit = _mm_set1_epi16(1023);
    auto product = [](__m128i words, const double *g) {
        __m128d p = _mm_mul_pd(_mm_cvtepi32_pd(words), _mm_loadu_pd(g));
        p = _mm_and_pd(p, _mm_cmpord_pd(p, p));
        return _mm_cvttpd_epi32(p);
    };
    std::size_t i = ShadeHead(out, in, gains, count);
    for (; i + 8 <= count; i += 8) {
        const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 2 * i));
        const __m128i lo = _mm_unpacklo_epi16(words, zero);
        const __m128i hi = _mm_unpackhi_epi16(words, zero);
        const double *g = gains + i;
        const __m128i t0 = product(lo, g);
        const __m128i t1 = product(_mm_shuffle_epi32(lo, 0x4E), g + 2);
        const __m128i t2 = product(hi, g + 4);
        const __m128i t3 = product(_mm_shuffle_epi32(hi, 0x4E), g + 6);
        // Signed saturation keeps 0..1023, turns larger values into larger
        // ones and negative ones (0x80000000 among them) into words >= 0x8000
        // read as unsigned; the unsigned minimum with 1023, which SSE2 lacks,
        // is x - max(x - 1023, 0).
        const __m128i packed = _mm_packs_epi32(_mm_unpacklo_epi64(t0, t1), _mm_unpacklo_epi64(t2, t3));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i),
                         _mm_sub_epi16(packed, _mm_subs_epu16(packed, limit)));
    }
    ShadeScalar(out, in, gains, i, count);
}

void FillGainRowSse2(double *row, int width, int y, const ShadingSet &set) {
    const __m128d cx = _mm_set1_pd(set.cx);
    const __m128d step = _mm_set1_pd(2.0);
    const double dy2s = ShadingRowSquare(set, y);
    const __m128d dy2 = _mm_set1_pd(dy2s);
    const RowSites s = SitesOfRow(y);
    const __m128d k2 = _mm_set_pd(set.k2[s.odd], set.k2[s.even]);
    const __m128d k1 = _mm_set_pd(set.k1[s.odd], set.k1[s.even]);
    const __m128d k0 = _mm_set_pd(set.k0[s.odd], set.k0[s.even]);
    __m128d xs = _mm_set_pd(1.0, 0.0);
    int x = 0;
    for (; x + 2 <= width; x += 2) {
        const __m128d dx = _mm_sub_pd(cx, xs);
        const __m128d r = _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(dx, dx), dy2));
        const __m128d gain =
            _mm_add_pd(_mm_add_pd(_mm_mul_pd(_mm_mul_pd(k2, r), r), _mm_mul_pd(k1, r)), k0);
        _mm_storeu_pd(row + x, gain);
        xs = _mm_add_pd(xs, step);
    }
    FillRowTail(row, y, x, width, dy2s, set);
}
#endif

// ---- AVX2 ------------------------------------------------------------------------

// Four words times their gains, truncated; a NaN product comes out as
// 0x80000000 like an out-of-range one.
NUV_AVX2 inline __attribute__((always_inline)) __m128i TruncateFourAvx2(const unsigned char *at, const double *g) {
    const __m128i words = _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(at)));
    return _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_cvtepi32_pd(words), _mm256_loadu_pd(g)));
}

// The same with NaN products made +0.0 first, so they come out as 0.
NUV_AVX2 inline __attribute__((always_inline)) __m128i ShadeFourAvx2(const unsigned char *at, const double *g) {
    const __m128i words = _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(at)));
    __m256d p = _mm256_mul_pd(_mm256_cvtepi32_pd(words), _mm256_loadu_pd(g));
    p = _mm256_and_pd(p, _mm256_cmp_pd(p, p, _CMP_ORD_Q));
    return _mm256_cvttpd_epi32(p);
}

// Sixteen words. Signed saturation to 16 bits keeps 0..1023 and makes every
// other value a word above 1023 when read as unsigned, which the unsigned
// minimum then clamps. Only a NaN product, or one below -32767, yields the
// word 0x8000: groups without it (every group of an ordinary frame) need no
// NaN test, and the rare others are done again with it.
template <bool kStream>
NUV_AVX2 inline __attribute__((always_inline)) void ShadeSixteenAvx2(unsigned char *out, const unsigned char *at,
                                                                     const double *g) {
    const __m128i flag = _mm_set1_epi16(static_cast<short>(0x8000));
    __m128i a = _mm_packs_epi32(TruncateFourAvx2(at, g), TruncateFourAvx2(at + 8, g + 4));
    __m128i b = _mm_packs_epi32(TruncateFourAvx2(at + 16, g + 8), TruncateFourAvx2(at + 24, g + 12));
    if (_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(a, flag), _mm_cmpeq_epi16(b, flag))) != 0) {
        a = _mm_packs_epi32(ShadeFourAvx2(at, g), ShadeFourAvx2(at + 8, g + 4));
        b = _mm_packs_epi32(ShadeFourAvx2(at + 16, g + 8), ShadeFourAvx2(at + 24, g + 12));
    }
    const __m128i limit = _mm_set1_epi16(1023);
    if constexpr (kStream) {
        _mm_stream_si128(reinterpret_cast<__m128i *>(out), _mm_min_epu16(a, limit));
        _mm_stream_si128(reinterpret_cast<__m128i *>(out + 16), _mm_min_epu16(b, limit));
    } else {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_min_epu16(a, limit));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16), _mm_min_epu16(b, limit));
    }
}

NUV_AVX2 void ShadeAvx2(unsigned char *out, const unsigned char *in, const double *gains, std::size_t count) {
    std::size_t i = ShadeHead(out, in, gains, count);
    if (StreamsOut(out, in, count, i, 16)) {
        for (; i + 16 <= count; i += 16) ShadeSixteenAvx2<true>(out + 2 * i, in + 2 * i, gains + i);
        _mm_sfence();
    } else {
        for (; i + 16 <= count; i += 16) ShadeSixteenAvx2<false>(out + 2 * i, in + 2 * i, gains + i);
    }
    LeaveWideRegisters();
    ShadeScalar(out, in, gains, i, count);
}

NUV_AVX2 void FillGainRowAvx2(double *row, int width, int y, const ShadingSet &set) {
    const __m256d cx = _mm256_set1_pd(set.cx);
    const __m256d step = _mm256_set1_pd(4.0);
    const double dy2s = ShadingRowSquare(set, y);
    const __m256d dy2 = _mm256_set1_pd(dy2s);
    const RowSites s = SitesOfRow(y);
    const __m256d k2 = _mm256_set_pd(set.k2[s.odd], set.k2[s.even], set.k2[s.odd], set.k2[s.even]);
    const __m256d k1 = _mm256_set_pd(set.k1[s.odd], set.k1[s.even], set.k1[s.odd], set.k1[s.even]);
    const __m256d k0 = _mm256_set_pd(set.k0[s.odd], set.k0[s.even], set.k0[s.odd], set.k0[s.even]);
    __m256d xs = _mm256_set_pd(3.0, 2.0, 1.0, 0.0);
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        const __m256d dx = _mm256_sub_pd(cx, xs);
        const __m256d r = _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), dy2));
        const __m256d gain = _mm256_add_pd(
            _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(k2, r), r), _mm256_mul_pd(k1, r)), k0);
        _mm256_storeu_pd(row + x, gain);
        xs = _mm256_add_pd(xs, step);
    }
    LeaveWideRegisters();
    FillRowTail(row, y, x, width, dy2s, set);
}

// ---- AVX-512 -------------------------------------------------------------------

// Eight words (as int32) times their gains, truncated; NaN products come out
// as 0x80000000.
NUV_AVX512 inline __attribute__((always_inline)) __m256i TruncateEightAvx512(const unsigned char *at, const double *g) {
    const __m256i words = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(at)));
    return _mm512_cvttpd_epi32(_mm512_mul_pd(_mm512_cvtepi32_pd(words), _mm512_loadu_pd(g)));
}

// The same with NaN lanes zeroed by the conversion's mask.
NUV_AVX512 inline __attribute__((always_inline)) __m256i ShadeEightAvx512(const unsigned char *at, const double *g) {
    const __m256i words = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(at)));
    const __m512d p = _mm512_mul_pd(_mm512_cvtepi32_pd(words), _mm512_loadu_pd(g));
    return _mm512_maskz_cvttpd_epi32(_mm512_cmp_pd_mask(p, p, _CMP_ORD_Q), p);
}

// Packs two groups of eight in word order: the pack works within 128-bit
// lanes, the permutation restores the order.
NUV_AVX512 inline __attribute__((always_inline)) __m256i PackSixteenAvx512(__m256i low, __m256i high) {
    return _mm256_permute4x64_epi64(_mm256_packs_epi32(low, high), 0xD8);
}

// Sixteen words, with the saturating pack, the unsigned minimum and the
// rare-NaN retry of the AVX2 path.
NUV_AVX512 void ShadeAvx512(unsigned char *out, const unsigned char *in, const double *gains, std::size_t count) {
    const __m256i limit = _mm256_set1_epi16(1023);
    const __m256i flag = _mm256_set1_epi16(static_cast<short>(0x8000));
    std::size_t i = ShadeHead(out, in, gains, count);
    const bool stream = StreamsOut(out, in, count, i, 32);
    for (; i + 16 <= count; i += 16) {
        const unsigned char *at = in + 2 * i;
        const double *g = gains + i;
        __m256i packed = PackSixteenAvx512(TruncateEightAvx512(at, g), TruncateEightAvx512(at + 16, g + 8));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi16(packed, flag)) != 0) {
            packed = PackSixteenAvx512(ShadeEightAvx512(at, g), ShadeEightAvx512(at + 16, g + 8));
        }
        if (stream) _mm256_stream_si256(reinterpret_cast<__m256i *>(out + 2 * i), _mm256_min_epu16(packed, limit));
        else _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 2 * i), _mm256_min_epu16(packed, limit));
    }
    if (stream) _mm_sfence();
    LeaveWideRegisters();
    ShadeScalar(out, in, gains, i, count);
}

NUV_AVX512 void FillGainRowAvx512(double *row, int width, int y, const ShadingSet &set) {
    const __m512d cx = _mm512_set1_pd(set.cx);
    const __m512d step = _mm512_set1_pd(8.0);
    const double dy2s = ShadingRowSquare(set, y);
    const __m512d dy2 = _mm512_set1_pd(dy2s);
    const RowSites s = SitesOfRow(y);
    const double e2 = set.k2[s.even], o2 = set.k2[s.odd];
    const double e1 = set.k1[s.even], o1 = set.k1[s.odd];
    const double e0 = set.k0[s.even], o0 = set.k0[s.odd];
    const __m512d k2 = _mm512_set_pd(o2, e2, o2, e2, o2, e2, o2, e2);
    const __m512d k1 = _mm512_set_pd(o1, e1, o1, e1, o1, e1, o1, e1);
    const __m512d k0 = _mm512_set_pd(o0, e0, o0, e0, o0, e0, o0, e0);
    __m512d xs = _mm512_set_pd(7.0, 6.0, 5.0, 4.0, 3.0, 2.0, 1.0, 0.0);
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m512d dx = _mm512_sub_pd(cx, xs);
        const __m512d r = _mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(dx, dx), dy2));
        const __m512d gain = _mm512_add_pd(
            _mm512_add_pd(_mm512_mul_pd(_mm512_mul_pd(k2, r), r), _mm512_mul_pd(k1, r)), k0);
        _mm512_storeu_pd(row + x, gain);
        xs = _mm512_add_pd(xs, step);
    }
    LeaveWideRegisters();
    FillRowTail(row, y, x, width, dy2s, set);
}

#endif  // NUV_X86

bool Detect(KernelPath path) {
    switch (path) {
        case KernelPath::kScalar:
            return true;
#if NUV_X86
#if defined(__SSE2__)
        case KernelPath::kSse2:
            return true;
#endif
        case KernelPath::kAvx2:
            // libgcc's feature bits include the OS's consent (XCR0) to the
            // wider registers.
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2");
        case KernelPath::kAvx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#endif
        default:
            return false;
    }
}

KernelPath DetectBest() {
    for (int p = kKernelPathCount - 1; p > 0; --p) {
        if (Detect(static_cast<KernelPath>(p))) return static_cast<KernelPath>(p);
    }
    return KernelPath::kScalar;
}

// -1: no override.
std::atomic<int> gForcedPath{-1};

}  // namespace

const char *KernelPathName(KernelPath path) {
    switch (path) {
        case KernelPath::kScalar:
            return "scalar";
        case KernelPath::kSse2:
            return "SSE2";
        case KernelPath::kAvx2:
            return "AVX2";
        case KernelPath::kAvx512:
            return "AVX-512";
    }
    return "unknown";
}

bool KernelPathAvailable(KernelPath path) {
    static const bool available[kKernelPathCount] = {Detect(KernelPath::kScalar), Detect(KernelPath::kSse2),
                                                     Detect(KernelPath::kAvx2), Detect(KernelPath::kAvx512)};
    const int index = static_cast<int>(path);
    return index >= 0 && index < kKernelPathCount && available[index];
}

KernelPath BestKernelPath() {
    static const KernelPath best = DetectBest();
    return best;
}

KernelPath ActiveKernelPath() {
    const int forced = gForcedPath.load(std::memory_order_relaxed);
    return forced >= 0 ? static_cast<KernelPath>(forced) : BestKernelPath();
}

namespace testing {

KernelPath ForceKernelPath(KernelPath path) {
    const KernelPath previous = ActiveKernelPath();
    if (KernelPathAvailable(path)) gForcedPath.store(static_cast<int>(path), std::memory_order_relaxed);
    return previous;
}

void ResetKernelPath() { gForcedPath.store(-1, std::memory_order_relaxed); }

}  // namespace testing

void ShadeWords(KernelPath path, void *image, const double *gains, std::size_t count) {
    ShadeWordsFrom(path, image, image, gains, count);
}

void ShadeWordsFrom(KernelPath path, void *image, const void *source, const double *gains, std::size_t count) {
    auto *out = static_cast<unsigned char *>(image);
    const auto *in = static_cast<const unsigned char *>(source);
    if (!KernelPathAvailable(path)) path = KernelPath::kScalar;
    switch (path) {
#if NUV_X86
#if defined(__SSE2__)
        case KernelPath::kSse2:
            ShadeSse2(out, in, gains, count);
            return;
#endif
        case KernelPath::kAvx2:
            ShadeAvx2(out, in, gains, count);
            return;
        case KernelPath::kAvx512:
            ShadeAvx512(out, in, gains, count);
            return;
#endif
        default:
            ShadeScalar(out, in, gains, 0, count);
            return;
    }
}

void ShadeWords(KernelPath path, void *image, const GainMap &map, std::size_t count) {
    ShadeWordsFrom(path, image, image, map, count);
}

void ShadeWordsFrom(KernelPath path, void *image, const void *source, const GainMap &map, std::size_t count) {
    if (map.IsCompact()) {
        ShadeCompact(path, static_cast<unsigned char *>(image), static_cast<const unsigned char *>(source),
                     map.Compact(), count);
    } else {
        ShadeWordsFrom(path, image, source, map.Doubles(), count);
    }
}

std::uint16_t ShadeWord(std::uint16_t word, double gain) { return ShadeOne(word, gain); }

namespace {

using RowFill = void (*)(double *row, int width, int y, const ShadingSet &set);

RowFill RowFillOf(KernelPath path) {
    if (!KernelPathAvailable(path)) path = KernelPath::kScalar;
    switch (path) {
#if NUV_X86
#if defined(__SSE2__)
        case KernelPath::kSse2:
            return FillGainRowSse2;
#endif
        case KernelPath::kAvx2:
            return FillGainRowAvx2;
        case KernelPath::kAvx512:
            return FillGainRowAvx512;
#endif
        default:
            return FillGainRowScalar;
    }
}

}  // namespace

void FillGainRow(KernelPath path, double *row, int width, int y, const ShadingSet &set) {
    if (width > 0) RowFillOf(path)(row, width, y, set);
}

void FillGainMap(KernelPath path, double *map, int width, int height, const ShadingSet &set) {
    if (width <= 0 || height <= 0) return;
    const RowFill fill = RowFillOf(path);
    for (int y = 0; y < height; ++y)
        fill(map + static_cast<std::size_t>(y) * static_cast<std::size_t>(width), width, y, set);
}

}  // namespace nuv
