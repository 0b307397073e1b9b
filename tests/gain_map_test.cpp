// Gain maps in their compact form: which maps take it, what they hold, and
// the proof that a frame shaded with one is, bit for bit, the frame shaded
// with the double gains: every 10-bit word and a sample of larger ones, at
// every pixel of every mode, for the cameras' own data and for coefficient
// sets of every kind, on every kernel path this CPU runs. (Sets whose maps
// stay in doubles are shaded with a sample of the words.)
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "correction/correction.h"
#include "correction/testing.h"
#include "control_fixture.h"

namespace nuv {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<KernelPath> AvailablePaths() {
    std::vector<KernelPath> paths;
    for (int p = 0; p < kKernelPathCount; ++p) {
        if (KernelPathAvailable(static_cast<KernelPath>(p))) paths.push_back(static_cast<KernelPath>(p));
    }
    return paths;
}

ShadingSet Uniform(double cx, double cy, double k2, double k1, double k0) {
    ShadingSet set;
    set.cx = cx;
    set.cy = cy;
    for (int s = 0; s < kShadingSiteCount; ++s) {
        set.k2[s] = k2;
        set.k1[s] = k1;
        set.k0[s] = k0;
    }
    return set;
}

std::shared_ptr<GainMap> MapOf(const std::vector<double> &gains, bool allowCompact = true) {
    auto map = GainMap::Allocate(gains.size());
    EXPECT_NE(map, nullptr);
    if (map) map->Assign(gains.data(), allowCompact);
    return map;
}

bool SameGain(double a, double b) { return a == b || (a != a && b != b); }

// ---- Which maps are compact, and what they hold ----------------------------------

TEST(GainMapForm, ALensMapIsCompactHoldsEveryGainExactlyAndTakesNoMoreThanItsDoubles) {
    for (int mode = 0; mode < kModeCount; ++mode) {
        const int w = kModes[mode].width, h = kModes[mode].height;
        const std::size_t n = static_cast<std::size_t>(w) * h;
        ShadingSet set = Uniform(w / 2.0 + 3.3, h / 2.0 - 1.7, 0.4 / (w * w / 4.0 + h * h / 4.0), -3e-6, 1.0);
        set.k0[2] = 0.99;
        auto map = AllocateGainMap(mode);
        ASSERT_NE(map, nullptr);
        EXPECT_EQ(map->StorageBytes(), 8 * n) << "as much as the doubles took, no more";
        map->Fill(KernelPath::kScalar, w, h, set);
        EXPECT_TRUE(map->IsCompact()) << mode;
        EXPECT_EQ(map->Compact().shift, 23) << "gains from about 1 to 1.4";
        std::vector<double> doubles(n);
        FillGainMap(KernelPath::kScalar, doubles.data(), w, h, set);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(map->Gain(i), doubles[i]) << mode << " " << i;
    }
}

TEST(GainMapForm, TheShiftFollowsTheLargestGainAndOtherMapsKeepDoubles) {
    const std::size_t n = 1000;
    struct Case {
        double low, high;
        int shift;  // 0: doubles
    } cases[] = {
        {0.3, 0.9, 24},   {1.0, 1.999, 23}, {1.0, 2.0, 22},  {0.6, 7.9, 21},   {5.0, 63.0, 18},
        {8.0, 64.0, 0},   // too large for 24 bits at the smallest shift
        {1e-3, 1.5, 0},   // spread too wide: the small gains' last bits fall below the rest
        {-0.5, 1.0, 0},   // negative
        {1.0, kNaN, 0},   // NaN
        {1.0, std::numeric_limits<double>::infinity(), 0},
    };
    for (const Case &c : cases) {
        std::vector<double> gains(n);
        for (std::size_t i = 0; i < n; ++i) gains[i] = c.low + (c.high - c.low) * static_cast<double>(i % 97) / 96.0;
        gains[n - 1] = c.high;
        const auto map = MapOf(gains);
        SCOPED_TRACE(::testing::Message() << c.low << ".." << c.high);
        EXPECT_EQ(map->IsCompact(), c.shift != 0);
        if (c.shift != 0) {
            EXPECT_EQ(map->Compact().shift, c.shift);
            EXPECT_EQ(map->Doubles(), nullptr);
        } else {
            ASSERT_NE(map->Doubles(), nullptr);
        }
        for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(SameGain(map->Gain(i), gains[i])) << i;
    }
    // Zeros of either sign are 0 to a word; a compact map holds +0.
    const auto zeros = MapOf({0.0, -0.0, 1.25, 0.0});
    EXPECT_TRUE(zeros->IsCompact());
    EXPECT_EQ(std::bit_cast<std::uint64_t>(zeros->Gain(1)), 0u);
    EXPECT_EQ(zeros->ShadeWord(1000, 1), 0);
    EXPECT_EQ(zeros->ShadeWord(1000, 2), 1023);
    EXPECT_EQ(zeros->ShadeWord(800, 2), 1000);
    // Kept in doubles on request.
    EXPECT_FALSE(MapOf({1.0, 1.5}, false)->IsCompact());
}

// ---- The kernels on hand-made gains ----------------------------------------------

std::vector<std::uint16_t> Reference(const std::vector<std::uint16_t> &words, const std::vector<double> &gains) {
    std::vector<std::uint16_t> out(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) out[i] = ShadeWord(words[i], gains[i]);
    return out;
}

// Shades a copy of words at byte offset `offset` in a fenced buffer, in place
// or from a separate source, and checks the fences.
std::vector<std::uint16_t> ShadeFenced(KernelPath path, const std::vector<std::uint16_t> &words, const GainMap &map,
                                       int offset, bool inPlace) {
    const std::size_t fence = 64, bytes = 2 * words.size();
    std::vector<unsigned char> buffer(fence + offset + bytes + fence, 0xA5), source(bytes + 1);
    unsigned char *image = buffer.data() + fence + offset;
    unsigned char *from = inPlace ? image : source.data() + (offset & 1);
    for (std::size_t i = 0; i < words.size(); ++i) {
        from[2 * i] = static_cast<unsigned char>(words[i] & 0xFF);
        from[2 * i + 1] = static_cast<unsigned char>(words[i] >> 8);
    }
    ShadeWordsFrom(path, image, from, map, words.size());
    for (std::size_t i = 0; i < fence + offset; ++i) EXPECT_EQ(buffer[i], 0xA5) << "before the image, byte " << i;
    for (std::size_t i = fence + offset + bytes; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xA5) << "after, byte " << i;
    std::vector<std::uint16_t> out(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) out[i] = static_cast<std::uint16_t>(image[2 * i] | (image[2 * i + 1] << 8));
    return out;
}

// Gains just below integers' reciprocals put every product just below an
// integer: no lane can settle a word, so every word is settled one by one,
// many more than a group holds.
TEST(CompactKernel, WordsNoLaneCanSettleComeOutExactAtAnyCountAndAlignment) {
    std::mt19937 random(11);
    for (std::size_t count : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 65u, 1001u, 4099u}) {
        std::vector<double> gains(count);
        std::vector<std::uint16_t> words(count);
        for (std::size_t i = 0; i < count; ++i) {
            const int n = 1 + static_cast<int>(random() % 7);
            gains[i] = std::nextafter(static_cast<double>(n) / 4.0, 0.0);  // 1/4 .. 7/4, one ulp below
            words[i] = static_cast<std::uint16_t>(4 * (1 + random() % 255));
        }
        const auto map = MapOf(gains);
        ASSERT_TRUE(map->IsCompact());
        const auto expected = Reference(words, gains);
        for (KernelPath path : AvailablePaths()) {
            for (int offset = 0; offset < 4; ++offset) {
                for (bool inPlace : {true, false}) {
                    EXPECT_EQ(ShadeFenced(path, words, *map, offset, inPlace), expected)
                        << KernelPathName(path) << " count " << count << " offset " << offset << " in place "
                        << inPlace;
                }
            }
        }
    }
}

// Words above 1023 do not fit the lanes' 16 bits once shifted: each is
// settled one by one.
TEST(CompactKernel, WordsAboveTenBitsComeOutAsWithTheDoubleGain) {
    const std::size_t count = 3000;
    std::vector<double> gains(count);
    std::vector<std::uint16_t> words(count);
    std::mt19937 random(5);
    for (std::size_t i = 0; i < count; ++i) {
        gains[i] = (i % 3 == 0) ? 0.015625 * (1.0 + static_cast<double>(i % 500) / 512.0) : 1.0 / (1.0 + (i % 11));
        words[i] = static_cast<std::uint16_t>(i % 4 == 0 ? random() : 1024 + random() % 64512);
    }
    words[0] = 65535;
    words[1] = 1024;
    const auto map = MapOf(gains);
    ASSERT_TRUE(map->IsCompact());
    const auto expected = Reference(words, gains);
    for (KernelPath path : AvailablePaths()) {
        EXPECT_EQ(ShadeFenced(path, words, *map, 0, true), expected) << KernelPathName(path);
        EXPECT_EQ(ShadeFenced(path, words, *map, 2, false), expected) << KernelPathName(path);
    }
}

// ---- The proof, map by map -------------------------------------------------------

// The sanitizer builds look for memory and thread faults, which any frame
// shows (every path, words settled one by one, streamed and in-place
// frames), and unoptimised builds would take long: they shade four frames of
// 10-bit words and one of larger ones; the optimised plain builds all.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__OPTIMIZE__)
constexpr int kWordStep = 511;
constexpr int kLargerFrames = 1;
#else
constexpr int kWordStep = 1;
constexpr int kLargerFrames = 8;
#endif

// Every word of every pixel of the map of set at a mode, on every path: 1024
// frames in which each pixel meets every 10-bit word once, then frames of
// larger words; shaded on the way from another buffer (mode 0 frames are
// written around the caches there) and, every 16th frame, in place. The
// reference is the double map's kernel on the best path, checked in turn
// against the scalar definition on a sample of frames.
void ExpectEveryWordAsWithDoubles(const ShadingSet &set, int mode, const char *what) {
    SCOPED_TRACE(::testing::Message() << what << ", mode " << mode);
    const int w = kModes[mode].width, h = kModes[mode].height;
    const std::size_t n = static_cast<std::size_t>(w) * h;
    std::vector<double> doubles(n);
    FillGainMap(KernelPath::kScalar, doubles.data(), w, h, set);
    const auto map = AllocateGainMap(mode);
    ASSERT_NE(map, nullptr);
    map->Fill(BestKernelPath(), w, h, set);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(SameGain(map->Gain(i), doubles[i]) || (doubles[i] == 0.0 && map->Gain(i) == 0.0))
            << "gain " << i << ": " << map->Gain(i) << " vs " << doubles[i];
    }
    const std::vector<KernelPath> paths = AvailablePaths();
    std::vector<std::uint16_t> start(n), frame(n), expected(n), shaded(n);
    for (std::size_t i = 0; i < n; ++i) start[i] = static_cast<std::uint16_t>((7 * i) % 1024);
    auto compare = [&](KernelPath path, const char *how, int f) {
        if (std::memcmp(shaded.data(), expected.data(), 2 * n) == 0) return true;
        std::size_t i = 0;
        while (shaded[i] == expected[i]) ++i;
        ADD_FAILURE() << KernelPathName(path) << " " << how << ", frame " << f << ": pixel " << i << " word "
                      << frame[i] << " gain " << doubles[i] << " gives " << shaded[i] << ", not " << expected[i];
        return false;
    };
    // A map kept in doubles is shaded by the double kernels, which meet every
    // word with every kind of gain in ShadingKernel's tests: a sample here.
    const int step = map->IsCompact() ? kWordStep : std::max(kWordStep, 127);
    const int tenBitFrames = 1024, largerFrames = kLargerFrames;
    for (int f = 0; f < tenBitFrames + largerFrames; ++f) {
        if (f < tenBitFrames && f % step != 0 && f != tenBitFrames - 1) continue;
        if (f < tenBitFrames) {
            for (std::size_t i = 0; i < n; ++i) frame[i] = static_cast<std::uint16_t>((start[i] + f) & 1023);
        } else {
            for (std::size_t i = 0; i < n; ++i) frame[i] = static_cast<std::uint16_t>(1024 + (i * 2654435761u + f * 40503u) % 64512);
        }
        ShadeWordsFrom(BestKernelPath(), expected.data(), frame.data(), doubles.data(), n);
        if (f % 127 == 0) {
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(expected[i], ShadeWord(frame[i], doubles[i])) << i;
        }
        for (KernelPath path : paths) {
            ShadeWordsFrom(path, shaded.data(), frame.data(), *map, n);
            if (!compare(path, "from a source", f)) return;
            if (f % 16 == 0) {
                shaded = frame;
                ShadeWords(path, shaded.data(), *map, n);
                if (!compare(path, "in place", f)) return;
            }
        }
    }
}

// One test per mode, so that the three can run side by side.
class GainMapProof : public ControlTest, public ::testing::WithParamInterface<int> {};

TEST_P(GainMapProof, TheCamerasOwnDataForEveryCameraNumber) {
    const int mode = GetParam();
    ParameterBlock block{};
    ASSERT_EQ(NuvSimFlashPeek(hid, kParameterBlockAddress, block.data(), static_cast<int>(block.size())), 1);
    for (int number = 1; number <= 2; ++number) {
        const ShadingSet set = ReadShadingSet(block, number, mode);
        auto map = AllocateGainMap(mode);
        ASSERT_TRUE(ComputeGainMap(number, map.get(), mode, block));
        EXPECT_TRUE(map->IsCompact()) << "camera number " << number;
        ExpectEveryWordAsWithDoubles(set, mode, number == 1 ? "camera number 1" : "camera number 2");
    }
}

// Sets of every kind, drawn at random around their kind's shape.
TEST_P(GainMapProof, RandomSetsOfEveryKind) {
    const int mode = GetParam();
    std::mt19937_64 random(2024 + mode);
    auto uniform = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(random); };
    const double w = kModes[mode].width, h = kModes[mode].height;
    const double corner2 = w * w / 4 + h * h / 4;
    auto lens = [&](double rise, double spread) {
        ShadingSet set = Uniform(uniform(0.3, 0.7) * w, uniform(0.3, 0.7) * h, 0, 0, 0);
        for (int s = 0; s < kShadingSiteCount; ++s) {
            set.k2[s] = rise * uniform(0.9, 1.1) / corner2;
            set.k1[s] = uniform(-spread, spread) / std::sqrt(corner2);
            set.k0[s] = uniform(0.97, 1.03);
        }
        return set;
    };
    struct Kind {
        const char *what;
        ShadingSet set;
    } kinds[] = {
        {"a lens", lens(0.4, 0.02)},
        {"a strong fall-off (gains to about 7)", lens(6.0, 0.1)},
        {"gains below 1", Uniform(uniform(0, w), uniform(0, h), -0.3 / corner2, 0.0, uniform(0.9, 0.99))},
        {"gains of 1 and one ulp either side of it and of 2",
         [] {
             ShadingSet set = Uniform(0, 0, 0, 0, 1.0);
             set.k0[1] = std::nextafter(1.0, 0.0);
             set.k0[2] = std::nextafter(1.0, 2.0);
             set.k0[3] = std::nextafter(2.0, 0.0);
             return set;
         }()},
        {"gains from 5 to 55",
         [&] {
             ShadingSet set = lens(50.0, 0.0);
             for (double &k0 : set.k0) k0 += 4.0;
             return set;
         }()},
        {"gains from 1 to 60 (kept in doubles)", lens(59.0, 0.0)},
        {"negative gains", Uniform(uniform(0, w), uniform(0, h), 1e-6, -1e-4, uniform(-0.5, 0.2))},
        {"a NaN centre", Uniform(kNaN, uniform(0, h), 1e-6, 0, 1)},
    };
    for (std::size_t k = 0; k < std::size(kinds); ++k) {
        // The sampling builds take each kind at one mode.
        if (kWordStep > 1 && static_cast<int>(k % kModeCount) != mode) continue;
        ExpectEveryWordAsWithDoubles(kinds[k].set, mode, kinds[k].what);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryMode, GainMapProof, ::testing::Range(0, kModeCount),
                         [](const ::testing::TestParamInfo<int> &info) { return "Mode" + std::to_string(info.param); });

}  // namespace
}  // namespace nuv
