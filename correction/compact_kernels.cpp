// Shading with a compact gain map: a scalar path and SSE2, AVX2 and AVX-512
// paths that give exactly the bits of each word times its double gain.
//
// Why the vector paths are exact (correction.h describes the map): a word
// v <= 1023 is shifted left by k = 24 - shift into v' < 2^16, so that
// v' * G / 2^24 = v * G / 2^shift, with G = 256 * high + low. In 16-bit
// lanes, high times v' gives the parts m1 (upper) and m0 (lower), and
// q = floor(v' * low / 256) the share of low; with T = m0 + q,
//   v * g = m1 + carry(T) + (T mod 2^16 + f + v' * t / 256) / 2^16
// for some f, t in [0, 1) (t from the rest below G). So floor(v * g) is
// m1 + carry(T) whenever T mod 2^16 <= 65534 - ceil(v' / 256), and then
// v * g also stays 2^-16 below the next integer, where the double product
// cannot round up to it either. Each map uses the bound of its largest v';
// a lane above it, or with a word above 1023, is settled one by one from
// the exact gain (ShadeCompactWord). The carry is taken from the rounding
// average (m0 + q + 1) / 2, which differs from the true carry only when
// T mod 2^16 = 0xFFFF, a lane settled one by one anyway.
#include <bit>
#include <cstring>

#include "correction/correction.h"
#include "correction/kernel_support.h"

namespace nuv::kernels {
namespace {

constexpr double kWholeLimit = 16777216.0;  // G < 2^24

inline std::uint32_t WholeAt(const CompactGains &gains, std::size_t index) {
    return (std::uint32_t{gains.high[index]} << 8) | gains.low[index];
}

// word * gain * 2^shift lies in [product, product + word): its integer part
// is the product's unless the product's fraction is within word of the next
// integer (which also keeps the double product from rounding up to it).
// Otherwise the exact gain decides.
inline std::uint16_t ShadeWordOf(std::uint32_t word, std::uint32_t whole, int shift, const CompactGains &gains,
                                 std::size_t index) {
    const std::uint64_t product = std::uint64_t{word} * whole;
    const std::uint64_t unit = std::uint64_t{1} << shift;
    if ((product & (unit - 1)) + word >= unit) [[unlikely]] {
        return ShadeOne(static_cast<std::uint16_t>(word), CompactGain(gains, index));
    }
    const auto result = static_cast<std::uint32_t>(product >> shift);
    return static_cast<std::uint16_t>(result < 1023 ? result : 1023);
}

// One store of a little-endian word where the machine is little-endian.
inline void StoreLittleEndianWord(unsigned char *at, std::uint16_t value) {
    if constexpr (std::endian::native == std::endian::little) std::memcpy(at, &value, 2);
    else StoreWord(at, value);
}

void ShadeCompactScalar(unsigned char *out, const unsigned char *in, const CompactGains &gains, std::size_t begin,
                        std::size_t end) {
    // Locals: stores through out may alias anything, the map's pointers too.
    const std::uint16_t *const high = gains.high;
    const std::uint8_t *const low = gains.low;
    const int shift = gains.shift;
    const std::uint64_t below = (std::uint64_t{1} << shift) - 1;
    std::size_t i = begin;
    // Two words at a time, with one test for both whether either needs its
    // exact gain: the common case runs without a branch per word.
    for (; i + 2 <= end; i += 2) {
        const std::uint32_t w0 = LoadWord(in + 2 * i), w1 = LoadWord(in + 2 * i + 2);
        const std::uint64_t p0 = std::uint64_t{w0} * ((std::uint32_t{high[i]} << 8) | low[i]);
        const std::uint64_t p1 = std::uint64_t{w1} * ((std::uint32_t{high[i + 1]} << 8) | low[i + 1]);
        const auto x0 = static_cast<std::uint32_t>(p0 >> shift), x1 = static_cast<std::uint32_t>(p1 >> shift);
        StoreLittleEndianWord(out + 2 * i, static_cast<std::uint16_t>(x0 < 1023 ? x0 : 1023));
        StoreLittleEndianWord(out + 2 * i + 2, static_cast<std::uint16_t>(x1 < 1023 ? x1 : 1023));
        if ((((p0 & below) + w0) | ((p1 & below) + w1)) >> shift) [[unlikely]] {
            StoreLittleEndianWord(out + 2 * i, ShadeWordOf(w0, (std::uint32_t{high[i]} << 8) | low[i], shift, gains, i));
            StoreLittleEndianWord(out + 2 * i + 2,
                                  ShadeWordOf(w1, (std::uint32_t{high[i + 1]} << 8) | low[i + 1], shift, gains, i + 1));
        }
    }
    if (i < end) StoreLittleEndianWord(out + 2 * i, ShadeWordOf(LoadWord(in + 2 * i), WholeAt(gains, i), shift, gains, i));
}

#if NUV_X86

// What a vector lane needs of the map's shift.
struct LaneRule {
    int wordShift;          // k: v' = v << k
    std::uint16_t lastSure; // the largest T mod 2^16 the lanes trust
};

LaneRule RuleOf(const CompactGains &gains) {
    const int k = 24 - gains.shift;
    const int largest = 1023 << k;
    return {k, static_cast<std::uint16_t>(65534 - (largest + 255) / 256)};
}

// Words the vector lanes could not settle, done one by one a little later
// (after their group was written); the rest of each one's exact gain, which
// no frame reads otherwise, is fetched meanwhile.
class Unsettled {
public:
    Unsettled(unsigned char *out, const CompactGains &gains, bool streaming)
        : out_(out), gains_(gains), streaming_(streaming) {}

    // The words of the group at first (words holds them as they came in)
    // whose bits are set in mask; bitsPerWord 2 for a byte mask of 16-bit
    // lanes. Out of line: the vector loop keeps its registers.
    __attribute__((noinline)) void AddGroup(std::size_t first, const std::uint16_t *words, std::uint64_t mask,
                                            int bitsPerWord, int lanes) {
        if (count_ + lanes > kCapacity) Settle();
        for (; mask != 0; mask &= mask - 1) {
            const int lane = __builtin_ctzll(mask) / bitsPerWord;
            const std::size_t index = first + static_cast<std::size_t>(lane);
            _mm_prefetch(reinterpret_cast<const char *>(gains_.rest + index), _MM_HINT_T0);
            index_[count_] = index;
            word_[count_] = words[lane];
            ++count_;
        }
    }
    void Settle() {
        if (count_ == 0) return;
        if (streaming_) _mm_sfence();  // the streamed group stores land first
        for (int k = 0; k < count_; ++k) StoreWord(out_ + 2 * index_[k], ShadeCompactWord(word_[k], gains_, index_[k]));
        count_ = 0;
    }

private:
    static constexpr int kCapacity = 128;
    unsigned char *out_;
    const CompactGains &gains_;
    bool streaming_;
    int count_ = 0;
    std::size_t index_[kCapacity];
    std::uint16_t word_[kCapacity];
};

// Whether out is written around the caches (kStreamingWords says when),
// and if so the words before the first vector store that is aligned as a
// streaming store must be.
struct Streaming {
    bool on = false;
    std::size_t head = 0;
};

Streaming StreamingOf(const unsigned char *out, const unsigned char *in, std::size_t count, std::size_t alignment) {
    const auto address = reinterpret_cast<std::uintptr_t>(out);
    if (out == in || count < kStreamingWords || address % 2 != 0) return {};
    return {true, ((alignment - address % alignment) % alignment) / 2};
}

// ---- SSE2 ------------------------------------------------------------------------

#if defined(__SSE2__)
void ShadeCompactSse2(unsigned char *out, const unsigned char *in, const CompactGains &gains, std::size_t count) {
    const LaneRule rule = RuleOf(gains);
    const __m128i zero = _mm_setzero_si128();
    const __m128i limit = _mm_set1_epi16(1023);
    const __m128i lastSure = _mm_set1_epi16(static_cast<short>(rule.lastSure));
    const __m128i aboveTenBits = _mm_set1_epi16(static_cast<short>(0xFC00));
    const __m128i k = _mm_cvtsi32_si128(rule.wordShift);
    const std::uint16_t *const highs = gains.high;
    const std::uint8_t *const lows = gains.low;
    Unsettled unsettled(out, gains, false);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 2 * i));
        const __m128i scaled = _mm_sll_epi16(v, k);
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(highs + i));
        const __m128i low = _mm_unpacklo_epi8(zero, _mm_loadl_epi64(reinterpret_cast<const __m128i *>(lows + i)));
        const __m128i part = _mm_mullo_epi16(scaled, high);
        const __m128i share = _mm_mulhi_epu16(scaled, low);
        const __m128i fraction = _mm_add_epi16(part, share);
        __m128i whole = _mm_add_epi16(_mm_mulhi_epu16(scaled, high), _mm_srli_epi16(_mm_avg_epu16(part, share), 15));
        // SSE2 has no unsigned minimum: x - max(x - 1023, 0).
        whole = _mm_sub_epi16(whole, _mm_subs_epu16(whole, limit));
        const __m128i unsure = _mm_or_si128(_mm_subs_epu16(fraction, lastSure), _mm_and_si128(v, aboveTenBits));
        const int sure = _mm_movemask_epi8(_mm_cmpeq_epi16(unsure, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i), whole);
        if (sure != 0xFFFF) [[unlikely]] {
            std::uint16_t words[8];
            _mm_storeu_si128(reinterpret_cast<__m128i *>(words), v);
            unsettled.AddGroup(i, words, static_cast<std::uint32_t>(~sure) & 0x5555u, 2, 8);
        }
    }
    ShadeCompactScalar(out, in, gains, i, count);
    unsettled.Settle();
}
#endif

// ---- AVX2 ------------------------------------------------------------------------

template <bool kStream>
NUV_AVX2 NUV_INLINE std::size_t ShadeCompactLoopAvx2(unsigned char *out, const unsigned char *in,
                                                     const CompactGains &gains, std::size_t i, std::size_t count,
                                                     Unsettled &unsettled) {
    const LaneRule rule = RuleOf(gains);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i limit = _mm256_set1_epi16(1023);
    const __m256i lastSure = _mm256_set1_epi16(static_cast<short>(rule.lastSure));
    const __m128i k = _mm_cvtsi32_si128(rule.wordShift);
    const std::uint16_t *const highs = gains.high;
    const std::uint8_t *const lows = gains.low;
    for (; i + 16 <= count; i += 16) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + 2 * i));
        const __m256i scaled = _mm256_sll_epi16(v, k);
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(highs + i));
        const __m256i low = _mm256_slli_epi16(
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(lows + i))), 8);
        const __m256i part = _mm256_mullo_epi16(scaled, high);
        const __m256i share = _mm256_mulhi_epu16(scaled, low);
        const __m256i fraction = _mm256_add_epi16(part, share);
        const __m256i whole = _mm256_min_epu16(
            _mm256_add_epi16(_mm256_mulhi_epu16(scaled, high), _mm256_srli_epi16(_mm256_avg_epu16(part, share), 15)),
            limit);
        // Nonzero where T mod 2^16 is above the trusted bound or the word
        // above 1023.
        const __m256i unsure = _mm256_or_si256(_mm256_subs_epu16(fraction, lastSure), _mm256_subs_epu16(v, limit));
        const auto sure = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(unsure, zero)));
        if constexpr (kStream) _mm256_stream_si256(reinterpret_cast<__m256i *>(out + 2 * i), whole);
        else _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 2 * i), whole);
        if (sure != 0xFFFFFFFFu) [[unlikely]] {
            std::uint16_t words[16];
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(words), v);
            unsettled.AddGroup(i, words, ~sure & 0x55555555u, 2, 16);
        }
    }
    return i;
}

NUV_AVX2 void ShadeCompactAvx2(unsigned char *out, const unsigned char *in, const CompactGains &gains,
                               std::size_t count) {
    const Streaming streaming = StreamingOf(out, in, count, 32);
    std::size_t i = streaming.head;
    ShadeCompactScalar(out, in, gains, 0, i);
    Unsettled unsettled(out, gains, streaming.on);
    if (streaming.on) {
        i = ShadeCompactLoopAvx2<true>(out, in, gains, i, count, unsettled);
        _mm_sfence();
    } else {
        i = ShadeCompactLoopAvx2<false>(out, in, gains, i, count, unsettled);
    }
    LeaveWideRegisters();
    ShadeCompactScalar(out, in, gains, i, count);
    unsettled.Settle();
}

// ---- AVX-512 -------------------------------------------------------------------

template <bool kStream>
NUV_AVX512 NUV_INLINE std::size_t ShadeCompactLoopAvx512(unsigned char *out, const unsigned char *in,
                                                         const CompactGains &gains, std::size_t i,
                                                         std::size_t count, Unsettled &unsettled) {
    const LaneRule rule = RuleOf(gains);
    const __m512i limit = _mm512_set1_epi16(1023);
    const __m512i lastSure = _mm512_set1_epi16(static_cast<short>(rule.lastSure));
    const __m128i k = _mm_cvtsi32_si128(rule.wordShift);
    const std::uint16_t *const highs = gains.high;
    const std::uint8_t *const lows = gains.low;
    for (; i + 32 <= count; i += 32) {
        const __m512i v = _mm512_loadu_si512(in + 2 * i);
        const __m512i scaled = _mm512_sll_epi16(v, k);
        const __m512i high = _mm512_loadu_si512(highs + i);
        const __m512i low = _mm512_slli_epi16(
            _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(lows + i))), 8);
        const __m512i part = _mm512_mullo_epi16(scaled, high);
        const __m512i share = _mm512_mulhi_epu16(scaled, low);
        const __m512i fraction = _mm512_add_epi16(part, share);
        const __m512i whole = _mm512_min_epu16(
            _mm512_add_epi16(_mm512_mulhi_epu16(scaled, high), _mm512_srli_epi16(_mm512_avg_epu16(part, share), 15)),
            limit);
        const __mmask32 unsure = _mm512_cmpgt_epu16_mask(fraction, lastSure) | _mm512_cmpgt_epu16_mask(v, limit);
        if constexpr (kStream) _mm512_stream_si512(reinterpret_cast<__m512i *>(out + 2 * i), whole);
        else _mm512_storeu_si512(out + 2 * i, whole);
        if (unsure != 0) [[unlikely]] {
            std::uint16_t words[32];
            _mm512_storeu_si512(words, v);
            unsettled.AddGroup(i, words, unsure, 1, 32);
        }
    }
    return i;
}

NUV_AVX512 void ShadeCompactAvx512(unsigned char *out, const unsigned char *in, const CompactGains &gains,
                                   std::size_t count) {
    const Streaming streaming = StreamingOf(out, in, count, 64);
    std::size_t i = streaming.head;
    ShadeCompactScalar(out, in, gains, 0, i);
    Unsettled unsettled(out, gains, streaming.on);
    if (streaming.on) {
        i = ShadeCompactLoopAvx512<true>(out, in, gains, i, count, unsettled);
        _mm_sfence();
    } else {
        i = ShadeCompactLoopAvx512<false>(out, in, gains, i, count, unsettled);
    }
    LeaveWideRegisters();
    ShadeCompactScalar(out, in, gains, i, count);
    unsettled.Settle();
}

// ---- Compaction ------------------------------------------------------------------

NUV_AVX2 bool CompactGainRowAvx2(const double *gains, std::size_t count, double scale, std::uint16_t *high,
                                 std::uint8_t *low, std::uint32_t *rest, std::size_t &done) {
    const __m256d scaleV = _mm256_set1_pd(scale);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d limit = _mm256_set1_pd(kWholeLimit);
    const __m256d half = _mm256_set1_pd(0x1p16);
    int bad = 0;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d scaled = _mm256_mul_pd(_mm256_loadu_pd(gains + i), scaleV);
        const __m256d in = _mm256_and_pd(_mm256_cmp_pd(scaled, zero, _CMP_GE_OQ), _mm256_cmp_pd(scaled, limit, _CMP_LT_OQ));
        const __m256d kept = _mm256_and_pd(scaled, in);  // +0 where out of range
        const __m128i whole = _mm256_cvttpd_epi32(kept);
        // The rest in two 16-bit halves: each fits a signed conversion.
        const __m256d below = _mm256_mul_pd(_mm256_sub_pd(kept, _mm256_cvtepi32_pd(whole)), half);
        const __m128i upper = _mm256_cvttpd_epi32(below);
        const __m256d lowerPart = _mm256_mul_pd(_mm256_sub_pd(below, _mm256_cvtepi32_pd(upper)), half);
        const __m128i lower = _mm256_cvttpd_epi32(lowerPart);
        const __m256d exact = _mm256_cmp_pd(_mm256_cvtepi32_pd(lower), lowerPart, _CMP_EQ_OQ);
        bad |= _mm256_movemask_pd(_mm256_and_pd(in, exact)) ^ 0xF;
        const __m128i highs = _mm_packus_epi32(_mm_srli_epi32(whole, 8), whole);
        const __m128i lows = _mm_and_si128(whole, _mm_set1_epi32(0xFF));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(high + i), highs);
        const int lowBytes = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packus_epi32(lows, lows), lows));
        std::memcpy(low + i, &lowBytes, 4);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(rest + i), _mm_or_si128(_mm_slli_epi32(upper, 16), lower));
    }
    LeaveWideRegisters();
    done = i;
    return bad == 0;
}

// Eight gains at: G and the rest below it; bits set in the result for the
// gains that do not fit.
NUV_AVX512 NUV_INLINE __mmask8 CompactEightAvx512(const double *at, __m512d scale, __m256i &whole, __m256i &rest) {
    const __m512d scaled = _mm512_mul_pd(_mm512_loadu_pd(at), scale);
    const __mmask8 in = _mm512_cmp_pd_mask(scaled, _mm512_setzero_pd(), _CMP_GE_OQ) &
                        _mm512_cmp_pd_mask(scaled, _mm512_set1_pd(kWholeLimit), _CMP_LT_OQ);
    whole = _mm512_maskz_cvttpd_epu32(in, scaled);
    const __m512d below = _mm512_mul_pd(_mm512_sub_pd(scaled, _mm512_cvtepu32_pd(whole)), _mm512_set1_pd(0x1p32));
    rest = _mm512_maskz_cvttpd_epu32(in, below);
    const __mmask8 exact = _mm512_cmp_pd_mask(_mm512_cvtepu32_pd(rest), below, _CMP_EQ_OQ);
    return static_cast<__mmask8>(~(in & exact));
}

NUV_AVX512 bool CompactGainRowAvx512(const double *gains, std::size_t count, double scale, std::uint16_t *high,
                                     std::uint8_t *low, std::uint32_t *rest, std::size_t &done) {
    const __m512d scaleV = _mm512_set1_pd(scale);
    __mmask8 bad = 0;
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        __m256i w0, w1, r0, r1;
        bad = static_cast<__mmask8>(bad | CompactEightAvx512(gains + i, scaleV, w0, r0) |
                                    CompactEightAvx512(gains + i + 8, scaleV, w1, r1));
        const __m512i wholes = _mm512_inserti64x4(_mm512_castsi256_si512(w0), w1, 1);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(high + i), _mm512_cvtepi32_epi16(_mm512_srli_epi32(wholes, 8)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(low + i), _mm512_cvtepi32_epi8(wholes));
        _mm512_storeu_si512(rest + i, _mm512_inserti64x4(_mm512_castsi256_si512(r0), r1, 1));
    }
    LeaveWideRegisters();
    done = i;
    return bad == 0;
}

#endif  // NUV_X86

bool CompactGainRowScalar(const double *gains, std::size_t count, double scale, std::uint16_t *high,
                          std::uint8_t *low, std::uint32_t *rest) {
    bool fits = true;
    for (std::size_t i = 0; i < count; ++i) {
        // Both products are exact (powers of two), and so is the difference
        // of a number and its integer part.
        const double scaled = gains[i] * scale;
        const bool inRange = scaled >= 0.0 && scaled < kWholeLimit;  // not negative, NaN or too large
        const auto whole = static_cast<std::uint32_t>(inRange ? scaled : 0.0);
        const double below = (scaled - whole) * 0x1p32;
        const auto bits = static_cast<std::uint32_t>(inRange ? below : 0.0);
        fits &= inRange & (bits == below);  // no bits further down than the rest holds
        high[i] = static_cast<std::uint16_t>(whole >> 8);
        low[i] = static_cast<std::uint8_t>(whole & 0xFF);
        rest[i] = bits;
    }
    return fits;
}

}  // namespace

double CompactGain(const CompactGains &gains, std::size_t index) {
    // G * 2^32 + rest has the gain's own significant bits (at most 53), so
    // the conversion is exact, and so is the scaling by 2^-(shift + 32),
    // built from its exponent bits.
    const std::uint64_t scaled = (std::uint64_t{WholeAt(gains, index)} << 32) | gains.rest[index];
    const auto unscale = std::bit_cast<double>(static_cast<std::uint64_t>(1023 - 32 - gains.shift) << 52);
    return static_cast<double>(scaled) * unscale;
}

std::uint16_t ShadeCompactWord(std::uint16_t word, const CompactGains &gains, std::size_t index) {
    return ShadeWordOf(word, WholeAt(gains, index), gains.shift, gains, index);
}

bool CompactGainRow(KernelPath path, const double *gains, std::size_t count, int shift, std::uint16_t *high,
                    std::uint8_t *low, std::uint32_t *rest) {
    const double scale = std::ldexp(1.0, shift);
    std::size_t done = 0;
    bool fits = true;
    if (!KernelPathAvailable(path)) path = KernelPath::kScalar;
#if NUV_X86
    if (path == KernelPath::kAvx512) fits = CompactGainRowAvx512(gains, count, scale, high, low, rest, done);
    else if (path == KernelPath::kAvx2) fits = CompactGainRowAvx2(gains, count, scale, high, low, rest, done);
#endif
    return CompactGainRowScalar(gains + done, count - done, scale, high + done, low + done, rest + done) && fits;
}

void ShadeCompact(KernelPath path, unsigned char *out, const unsigned char *in, const CompactGains &gains,
                  std::size_t count) {
    if (!KernelPathAvailable(path)) path = KernelPath::kScalar;
    switch (path) {
#if NUV_X86
#if defined(__SSE2__)
        case KernelPath::kSse2:
            ShadeCompactSse2(out, in, gains, count);
            return;
#endif
        case KernelPath::kAvx2:
            ShadeCompactAvx2(out, in, gains, count);
            return;
        case KernelPath::kAvx512:
            ShadeCompactAvx512(out, in, gains, count);
            return;
#endif
        default:
            ShadeCompactScalar(out, in, gains, 0, count);
            return;
    }
}

}  // namespace nuv::kernels
