// Image corrections: the kernels against the scalar reference on every path
// this CPU runs, the two per-frame steps on registered records, and safe
// replacement of a map or block while a frame is being corrected.
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "api/registry.h"
#include "correction/correction.h"
#include "correction/testing.h"
#include "control_fixture.h"
#include "sim_fixture.h"

namespace nuv {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<KernelPath> FastPaths() {
    std::vector<KernelPath> paths;
    for (int p = 1; p < kKernelPathCount; ++p) {
        if (KernelPathAvailable(static_cast<KernelPath>(p))) paths.push_back(static_cast<KernelPath>(p));
    }
    return paths;
}

std::uint16_t WordAt(const unsigned char *bytes, std::size_t i) {
    return static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
}

void PutWord(unsigned char *bytes, std::size_t i, std::uint16_t value) {
    bytes[2 * i] = static_cast<unsigned char>(value & 0xFF);
    bytes[2 * i + 1] = static_cast<unsigned char>(value >> 8);
}

// The clamp rule, written independently of the library.
std::uint16_t Expected(std::uint16_t word, double gain) {
    const double p = static_cast<double>(word) * gain;
    if (p != p) return 0;
    if (p >= 1024.0 || p <= -1.0) return 1023;
    return static_cast<std::uint16_t>(std::trunc(p));
}

std::vector<double> SpecialGains() {
    const double denormal = std::numeric_limits<double>::denorm_min();
    return {kNaN,
            -kNaN,
            std::numeric_limits<double>::signaling_NaN(),
            std::bit_cast<double>(std::uint64_t{0x7FF0000000000123}),
            kInf,
            -kInf,
            0.0,
            -0.0,
            denormal,
            -denormal,
            std::numeric_limits<double>::min() / 3,
            std::numeric_limits<double>::min(),
            std::numeric_limits<double>::max(),
            std::numeric_limits<double>::lowest(),
            1.0,
            std::nextafter(1.0, 0.0),
            0.5,
            -0.5,
            -1.0,
            -1e-5,
            1023.0 / 65535.0,
            1024.0 / 65535.0,
            1.5392,
            2147483648.0,
            4294967296.0,
            -2147483649.0,
            1e300,
            -1e300};
}

// A map holding gains (compact when they all fit and allowCompact).
std::shared_ptr<GainMap> MapOf(const std::vector<double> &gains, bool allowCompact = true) {
    auto map = GainMap::Allocate(gains.size());
    EXPECT_NE(map, nullptr);
    if (map) map->Assign(gains.data(), allowCompact);
    return map;
}

// Runs ShadeWords on a copy of words placed at byte offset `offset` inside a
// fenced buffer and checks the fences.
std::vector<std::uint16_t> Shade(KernelPath path, const std::vector<std::uint16_t> &words,
                                 const std::vector<double> &gains, int offset) {
    const std::size_t fence = 64;
    std::vector<unsigned char> buffer(fence + offset + 2 * words.size() + fence, 0xA5);
    unsigned char *image = buffer.data() + fence + offset;
    for (std::size_t i = 0; i < words.size(); ++i) PutWord(image, i, words[i]);
    ShadeWords(path, image, gains.data(), words.size());
    for (std::size_t i = 0; i < fence + offset; ++i) EXPECT_EQ(buffer[i], 0xA5) << "before the image, byte " << i;
    for (std::size_t i = fence + offset + 2 * words.size(); i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], 0xA5) << "after the image, byte " << i;
    }
    std::vector<std::uint16_t> out(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) out[i] = WordAt(image, i);
    return out;
}

// ---- Shading kernel ------------------------------------------------------------

TEST(ShadingKernel, EveryWordWithEverySpecialGainMatchesTheReferenceOnEveryPath) {
    std::vector<std::uint16_t> words(65536);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(i);
    std::vector<std::vector<double>> gainSets;
    for (double g : SpecialGains()) gainSets.emplace_back(words.size(), g);
    // Each lane a different special value, so lane mix-ups show.
    const std::vector<double> specials = SpecialGains();
    std::vector<double> mixed(words.size());
    for (std::size_t i = 0; i < mixed.size(); ++i) mixed[i] = specials[(i * 7) % specials.size()];
    gainSets.push_back(mixed);
    // Gains that put the product just at, below and above both limits.
    std::vector<double> edges[6];
    for (auto &e : edges) e.resize(words.size(), 1.0);
    for (std::size_t v = 1; v < words.size(); ++v) {
        const double up = 1024.0 / static_cast<double>(v);
        const double down = -1.0 / static_cast<double>(v);
        edges[0][v] = up;
        edges[1][v] = std::nextafter(up, 0.0);
        edges[2][v] = std::nextafter(up, kInf);
        edges[3][v] = down;
        edges[4][v] = std::nextafter(down, 0.0);
        edges[5][v] = std::nextafter(down, -kInf);
    }
    for (auto &e : edges) gainSets.push_back(e);
    std::mt19937_64 random(42);
    std::uniform_real_distribution<double> spread(-0.1, 0.1);
    std::vector<double> noisy(words.size());
    for (double &g : noisy) g = spread(random);
    gainSets.push_back(noisy);

    for (std::size_t s = 0; s < gainSets.size(); ++s) {
        const std::vector<double> &gains = gainSets[s];
        const std::vector<std::uint16_t> reference = Shade(KernelPath::kScalar, words, gains, 0);
        for (std::size_t i = 0; i < words.size(); ++i) {
            ASSERT_EQ(reference[i], Expected(words[i], gains[i])) << "set " << s << " word " << i;
        }
        for (KernelPath path : FastPaths()) {
            SCOPED_TRACE(KernelPathName(path));
            const std::vector<std::uint16_t> fast = Shade(path, words, gains, static_cast<int>(s % 3));
            for (std::size_t i = 0; i < words.size(); ++i) {
                ASSERT_EQ(fast[i], reference[i]) << "set " << s << " word " << i << " gain " << gains[i];
            }
        }
    }
}

TEST(ShadingKernel, OddCountsAndUnalignedStartsStayInsideTheImage) {
    std::mt19937 random(7);
    for (KernelPath path : FastPaths()) {
        SCOPED_TRACE(KernelPathName(path));
        for (std::size_t count : {0u, 1u, 2u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 47u, 65u, 1001u}) {
            std::vector<std::uint16_t> words(count);
            for (auto &w : words) w = static_cast<std::uint16_t>(random());
            // Exactly sized: a read past the end shows under the address sanitizer.
            std::vector<double> gains(count);
            for (std::size_t i = 0; i < count; ++i) gains[i] = 0.001 * static_cast<double>(random() % 3000) - 1.0;
            const auto reference = Shade(KernelPath::kScalar, words, gains, 0);
            for (int offset = 0; offset < 4; ++offset) {
                EXPECT_EQ(Shade(path, words, gains, offset), reference) << "count " << count << " offset " << offset;
            }
        }
    }
}

// ---- Gain-map kernel -------------------------------------------------------------

bool SameBits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (a != a && b != b);
}

ShadingSet MakeSet(double cx, double cy, double k2, double k1, double k0) {
    ShadingSet set;
    set.cx = cx;
    set.cy = cy;
    for (int s = 0; s < 4; ++s) {
        set.k2[s] = k2;
        set.k1[s] = k1;
        set.k0[s] = k0;
    }
    return set;
}

std::vector<ShadingSet> GainSets() {
    const double denormal = std::numeric_limits<double>::denorm_min();
    std::vector<ShadingSet> sets = {
        MakeSet(640.0, 360.0, 1e-6, 0.0, 1.0),
        MakeSet(639.37, 361.81, 3.1e-7, -2.7e-4, 0.93),
        MakeSet(-5.5, 1e6, -1e-9, 1e-3, 1.0),
        MakeSet(1e154, -1e154, 1e-300, 1e-300, 1e300),
        MakeSet(kNaN, 360.0, 1e-6, 0.0, 1.0),
        MakeSet(kInf, 3.0, 1e-6, 1e-6, 1.0),
        MakeSet(-kInf, kInf, 0.0, 0.0, 1.0),
        MakeSet(0.0, -0.0, denormal, -denormal, denormal),
        MakeSet(3.0, 4.0, 1e308, 1e308, -1e308),
        MakeSet(100.25, 50.75, -0.0, -0.0, -0.0),
    };
    ShadingSet sites = MakeSet(163.9, 101.2, 0.0, 0.0, 0.0);
    for (int s = 0; s < 4; ++s) {
        sites.k2[s] = 1e-6 * (s + 1);
        sites.k1[s] = -1e-4 * (s + 2);
        sites.k0[s] = 1.0 + 0.125 * s;
    }
    sets.push_back(sites);
    return sets;
}

// A frame corrected on its way out of the slot must come out exactly as a
// copy corrected in place: defect chains in both list orders, a target listed
// twice, the special gains, and frames longer than the image.
TEST(CopyCorrected, GivesTheBytesOfACopyCorrectedInPlaceOnEveryPath) {
    std::mt19937 random(7);
    // Mode 0 frames are large enough to be written around the caches.
    for (int mode : {2, 0}) {
        const std::size_t words = static_cast<std::size_t>(kModes[mode].width) * kModes[mode].height;
        std::vector<unsigned char> raw(2 * words + 6);
        for (auto &byte : raw) byte = static_cast<unsigned char>(random());
        auto block = std::make_shared<ParameterBlock>();
        block->fill(0xFF);
        // (10,10) takes (12,12); (12,12) listed before it takes (14,14);
        // (100,50) twice; (163,101) takes (165,103), listed after it.
        const std::pair<int, int> listed[] = {{12, 12}, {10, 10}, {100, 50}, {163, 101}, {165, 103}, {100, 50},
                                              {0, 0},   {kModes[mode].width - 1, kModes[mode].height - 1},
                                              {0xFFFF, 3}};
        int entry = 0;
        for (auto [x, y] : listed) {
            std::uint8_t *at = block->data() + DefectListOffset(2, mode) + 4 * entry++;
            at[0] = static_cast<std::uint8_t>(x & 0xFF);
            at[1] = static_cast<std::uint8_t>(x >> 8);
            at[2] = static_cast<std::uint8_t>(y & 0xFF);
            at[3] = static_cast<std::uint8_t>(y >> 8);
        }
        // Special gains keep a map in doubles; without them it is compact.
        const std::vector<double> special = SpecialGains();
        std::vector<double> values(words), plain(words);
        for (std::size_t w = 0; w < words; ++w) {
            plain[w] = 0.5 + static_cast<double>(random() % 1000) / 500.0;
            values[w] = w % 7 == 0 ? special[w % special.size()] : plain[w];
        }
        const std::shared_ptr<GainMap> maps[] = {MapOf(values), MapOf(plain)};
        ASSERT_FALSE(maps[0]->IsCompact());
        ASSERT_TRUE(maps[1]->IsCompact());

        std::vector<KernelPath> paths = FastPaths();
        paths.push_back(KernelPath::kScalar);
        for (KernelPath path : paths) {
            testing::ForceKernelPath(path);
            for (int which = 1; which <= 5; ++which) {
                for (std::size_t length : {2 * words, 2 * words + 6}) {
                    SCOPED_TRACE(::testing::Message() << "mode " << mode << " " << KernelPathName(path)
                                                      << " corrections " << which << " length " << length);
                    FrameCorrections corrections;
                    corrections.modeIndex = mode;
                    corrections.cameraNumberIndex = 1;
                    if (which & 1) corrections.defects = block;
                    if (which & 2) corrections.gains = maps[0];
                    if (which & 4) corrections.gains = maps[1];
                    std::vector<unsigned char> fused(length + 4, 0x5A), reference(length + 4, 0x5A);
                    CopyCorrected(corrections, fused.data(), raw.data(), length);
                    std::memcpy(reference.data(), raw.data(), length);
                    ApplyCorrections(corrections, reference.data());
                    ASSERT_EQ(fused, reference);
                }
            }
        }
        testing::ResetKernelPath();
    }
}

TEST(GainMapKernel, EveryPathGivesTheReferenceBitsForEveryModeAndOddSizes) {
    const std::vector<ShadingSet> sets = GainSets();
    std::vector<std::pair<int, int>> sizes = {{1280, 720}, {656, 408}, {328, 204}};
    for (int w = 1; w <= 19; w += 3) sizes.emplace_back(w, 5);
    sizes.emplace_back(37, 3);
    for (std::size_t s = 0; s < sets.size(); ++s) {
        for (auto [width, height] : sizes) {
            const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
            std::vector<double> reference(n);
            FillGainMap(KernelPath::kScalar, reference.data(), width, height, sets[s]);
            for (KernelPath path : FastPaths()) {
                std::vector<double> fast(n, 12345.0);
                FillGainMap(path, fast.data(), width, height, sets[s]);
                for (std::size_t i = 0; i < n; ++i) {
                    ASSERT_TRUE(SameBits(fast[i], reference[i]))
                        << KernelPathName(path) << " set " << s << " " << width << "x" << height << " index " << i
                        << ": " << fast[i] << " vs " << reference[i];
                }
            }
        }
    }
}

// The gain formula, one rounding per operation, written out here so that a
// build that fuses a multiply and an add anywhere (kernels or reference)
// fails.
double StepwiseGain(const ShadingSet &set, int x, int y) {
    volatile double dy = set.cy - y;
    volatile double dy2 = dy * dy;
    volatile double dx = set.cx - x;
    volatile double dx2 = dx * dx;
    volatile double sum = dx2 + dy2;
    volatile double r = std::sqrt(sum);
    const int site = ((y & 1) ? 2 : 0) + ((x & 1) ? 0 : 1);
    volatile double a = set.k2[site] * r;
    volatile double b = a * r;
    volatile double c = set.k1[site] * r;
    volatile double d = b + c;
    return d + set.k0[site];
}

TEST(GainMapKernel, NoPathFusesMultiplyAndAdd) {
    ShadingSet set = MakeSet(10.1, 7.3, 0.0, 0.0, 0.0);
    for (int s = 0; s < 4; ++s) {
        set.k2[s] = 1.0 / (3.0 + s);
        set.k1[s] = -1.0 / (7.0 + s);
        set.k0[s] = 0.1 * (s + 1);
    }
    const int width = 32;
    const int height = 16;
    // The detector has teeth: for these values a fused evaluation differs.
    int fusedDiffers = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int site = ((y & 1) ? 2 : 0) + ((x & 1) ? 0 : 1);
            const double dy = set.cy - y;
            const double dx = set.cx - x;
            const double r = std::sqrt(std::fma(dx, dx, dy * dy));
            const double fused = std::fma(set.k2[site] * r, r, set.k1[site] * r) + set.k0[site];
            if (!SameBits(fused, StepwiseGain(set, x, y))) ++fusedDiffers;
        }
    }
    ASSERT_GT(fusedDiffers, 50);
    for (int p = 0; p < kKernelPathCount; ++p) {
        const KernelPath path = static_cast<KernelPath>(p);
        if (!KernelPathAvailable(path)) continue;
        std::vector<double> map(width * height);
        FillGainMap(path, map.data(), width, height, set);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                ASSERT_TRUE(SameBits(map[y * width + x], StepwiseGain(set, x, y)))
                    << KernelPathName(path) << " at " << x << "," << y;
            }
        }
    }
}

TEST(GainMapKernel, TheBestPathIsTheWidestTheCpuRuns) {
    EXPECT_TRUE(KernelPathAvailable(KernelPath::kScalar));
    EXPECT_TRUE(KernelPathAvailable(BestKernelPath()));
    for (int p = static_cast<int>(BestKernelPath()) + 1; p < kKernelPathCount; ++p) {
        EXPECT_FALSE(KernelPathAvailable(static_cast<KernelPath>(p)));
    }
    EXPECT_EQ(ActiveKernelPath(), BestKernelPath());
    testing::ForceKernelPath(KernelPath::kScalar);
    EXPECT_EQ(ActiveKernelPath(), KernelPath::kScalar);
    testing::ResetKernelPath();
    EXPECT_EQ(ActiveKernelPath(), BestKernelPath());
}

// ---- ComputeGainMap -----------------------------------------------------------------

void PutSet(ParameterBlock &block, int cameraNumber, int modeIndex, const ShadingSet &set) {
    WriteShadingSet(block, cameraNumber, modeIndex, set);
}

TEST(ComputeGainMap, ReadsTheSetOfItsCameraNumberAndModeFromTheBlock) {
    ParameterBlock block{};
    block.fill(0xFF);  // every other set is NaN
    PutSet(block, 2, 0, MakeSet(640.0, 360.0, 0.000001, 0.0, 1.0));
    EXPECT_EQ(ReadShadingSet(block, 2, 0).cx, 640.0);
    // Layout: camera 2, mode 0 begins at byte 16 + 576 + 240, little-endian.
    EXPECT_EQ(block[16 + 576 + 240 + 7], 0x40);
    EXPECT_EQ(block[16 + 576 + 240 + 6], 0x84);

    auto map = MapOf(std::vector<double>(1280 * 720, -7.0));
    ASSERT_TRUE(ComputeGainMap(2, map.get(), 0, block));
    const ShadingSet set = MakeSet(640.0, 360.0, 0.000001, 0.0, 1.0);
    EXPECT_NEAR(map->Gain(0), 1.5392, 1e-12);  // r^2 = 539200 at column 0, row 0
    EXPECT_EQ(map->Gain(0), StepwiseGain(set, 0, 0));
    EXPECT_EQ(map->Gain(360 * 1280 + 640), 1.0);
    EXPECT_EQ(map->Gain(1280 * 720 - 1), StepwiseGain(set, 1279, 719));
    // Camera 1's set of the same mode is NaN: refused, map untouched.
    auto other = MapOf(std::vector<double>(1280 * 720, -7.0));
    EXPECT_FALSE(ComputeGainMap(1, other.get(), 0, block));
    EXPECT_EQ(other->Gain(0), -7.0);
}

TEST(ComputeGainMap, RefusesNanAndInfiniteCoefficientsButNotTheCentre) {
    ParameterBlock block{};
    auto map = MapOf(std::vector<double>(328 * 204, -7.0));
    for (int site = 0; site < 4; ++site) {
        for (int k = 0; k < 3; ++k) {
            for (double bad : {kNaN, kInf, -kInf}) {
                ShadingSet set = MakeSet(1.0, 2.0, 0.0, 0.0, 1.0);
                (k == 0 ? set.k2 : k == 1 ? set.k1 : set.k0)[site] = bad;
                PutSet(block, 1, 2, set);
                EXPECT_FALSE(ComputeGainMap(1, map.get(), 2, block)) << site << " " << k;
                EXPECT_EQ(map->Gain(0), -7.0);
            }
        }
    }
    PutSet(block, 1, 2, MakeSet(kNaN, kInf, 0.0, 0.0, 1.0));
    ASSERT_TRUE(ComputeGainMap(1, map.get(), 2, block));
    for (std::size_t i = 0; i < map->Count(); ++i) ASSERT_TRUE(std::isnan(map->Gain(i)));
}

TEST(ComputeGainMap, RefusesArgumentsOutOfRange) {
    ParameterBlock block{};
    auto map = AllocateGainMap(0);
    ASSERT_NE(map, nullptr);
    EXPECT_FALSE(ComputeGainMap(0, map.get(), 0, block));
    EXPECT_FALSE(ComputeGainMap(3, map.get(), 0, block));
    EXPECT_FALSE(ComputeGainMap(1, map.get(), -1, block));
    EXPECT_FALSE(ComputeGainMap(1, map.get(), 3, block));
    EXPECT_FALSE(ComputeGainMap(1, map.get(), 1, block)) << "a map of another mode's size";
    EXPECT_FALSE(ComputeGainMap(1, nullptr, 0, block));
    EXPECT_EQ(AllocateGainMap(3), nullptr);
    EXPECT_EQ(AllocateGainMap(-1), nullptr);
    const auto aligned = AllocateGainMap(2);
    ASSERT_NE(aligned, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned->Storage()) % 64, 0u) << "whole cache lines for the kernels";
    EXPECT_TRUE(ComputeGainMap(1, aligned.get(), 2, block));
    int w = 0, h = 0;
    EXPECT_FALSE(ModeSize(3, &w, &h));
    EXPECT_EQ(w, 0);
    ASSERT_TRUE(ModeSize(1, &w, &h));
    EXPECT_EQ(w, 656);
    EXPECT_EQ(h, 408);
}

// ---- The per-frame steps on a registered record --------------------------------------

class CorrectionRecordTest : public SimTest {
protected:
    static constexpr int kHandle = 3;

    void TearDown() override {
        testing::ResetKernelPath();
        for (int i = 0; i < kCameraCount; ++i) ClearRecord(Record(i));
        SimTest::TearDown();
    }

    static std::shared_ptr<ParameterBlock> EmptyBlock() {
        auto block = std::make_shared<ParameterBlock>();
        block->fill(0xFF);  // every defect entry unused
        return block;
    }

    static void SetDefects(ParameterBlock &block, int cameraNumber, int modeIndex,
                           const std::vector<std::pair<int, int>> &entries) {
        std::uint8_t *at = block.data() + DefectListOffset(cameraNumber, modeIndex);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            at[4 * i] = static_cast<std::uint8_t>(entries[i].first & 0xFF);
            at[4 * i + 1] = static_cast<std::uint8_t>(entries[i].first >> 8);
            at[4 * i + 2] = static_cast<std::uint8_t>(entries[i].second & 0xFF);
            at[4 * i + 3] = static_cast<std::uint8_t>(entries[i].second >> 8);
        }
    }

    static std::shared_ptr<const GainMap> ConstantMap(int modeIndex, double gain) {
        const std::size_t n = static_cast<std::size_t>(kModes[modeIndex].width) * kModes[modeIndex].height;
        return MapOf(std::vector<double>(n, gain));
    }

    // Words that differ from their neighbours, so a wrong source shows.
    static std::vector<std::uint16_t> Pattern(int modeIndex) {
        std::vector<std::uint16_t> image(static_cast<std::size_t>(kModes[modeIndex].width) * kModes[modeIndex].height);
        for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint16_t>(i * 2654435761u >> 16);
        return image;
    }
};

TEST_F(CorrectionRecordTest, DefectsTakeTheDiagonalNeighbourTowardsTheCentreAtEveryQuadrantEdge) {
    struct Case {
        int mode, x, y, sx, sy;
    };
    const Case cases[] = {
        {0, 0, 0, 2, 2},       {0, 1279, 719, 1277, 717}, {0, 639, 359, 641, 361}, {0, 640, 360, 638, 358},
        {0, 1279, 0, 1277, 2}, {0, 0, 719, 2, 717},       {0, 639, 360, 641, 358}, {0, 640, 359, 638, 361},
        {2, 163, 101, 165, 103}, {2, 164, 102, 162, 100}, {2, 327, 203, 325, 201}, {1, 327, 203, 329, 205}, {1, 328, 204, 326, 202},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " at " << c.x << "," << c.y);
        auto block = EmptyBlock();
        SetDefects(*block, 2, c.mode, {{c.x, c.y}});
        RegisterCamera(0, kHandle, nullptr, 1, block, c.mode, nullptr, nullptr, 1);
        auto image = Pattern(c.mode);
        const auto before = image;
        ASSERT_TRUE(CorrectPixelDefects(kHandle, c.mode, image.data()));
        const int w = kModes[c.mode].width;
        EXPECT_EQ(image[c.y * w + c.x], before[c.sy * w + c.sx]);
        image[c.y * w + c.x] = before[c.y * w + c.x];
        EXPECT_EQ(image, before) << "only the listed pixel changes";
        ClearRecord(Record(0));
    }
}

TEST_F(CorrectionRecordTest, DefectsFollowListOrderUseTheRecordsCameraNumberAndSkipOutsideEntries) {
    auto block = EmptyBlock();
    // A at (10,10) takes (12,12), which is B. B first: A gets B's new value
    // (that of (14,14)). C at (20,20) takes (22,22) = D, listed after C.
    SetDefects(*block, 1, 2,
               {{0xFFFF, 0xFFFF}, {12, 12}, {10, 10}, {20, 20}, {22, 22}, {0xFFFF, 10}, {10, 0xFFFF},
                {328, 5}, {5, 204}});
    SetDefects(*block, 2, 2, {{30, 30}});
    RegisterCamera(0, kHandle, nullptr, 1, block, 2, nullptr, nullptr, 0);
    auto image = Pattern(2);
    const auto before = image;
    ASSERT_TRUE(CorrectPixelDefects(kHandle, 2, image.data()));
    auto at = [](int x, int y) { return static_cast<std::size_t>(y) * 328 + x; };
    EXPECT_EQ(image[at(12, 12)], before[at(14, 14)]);
    EXPECT_EQ(image[at(10, 10)], before[at(14, 14)]);
    EXPECT_EQ(image[at(22, 22)], before[at(24, 24)]);
    EXPECT_EQ(image[at(20, 20)], before[at(22, 22)]);
    EXPECT_EQ(image[at(30, 30)], before[at(30, 30)]) << "camera number 2's list is not in use";
    int changed = 0;
    for (std::size_t i = 0; i < image.size(); ++i) changed += image[i] != before[i];
    EXPECT_EQ(changed, 4);

    // Camera number 2 selected: its list applies instead.
    Record(0).cameraNumberIndex = 1;
    image = before;
    ASSERT_TRUE(CorrectPixelDefects(kHandle, 2, image.data()));
    EXPECT_EQ(image[at(30, 30)], before[at(32, 32)]);
    EXPECT_EQ(image[at(10, 10)], before[at(10, 10)]);
}

TEST_F(CorrectionRecordTest, DefectsWorkOnAnUnalignedImage) {
    auto block = EmptyBlock();
    SetDefects(*block, 1, 2, {{0, 0}, {327, 203}});
    RegisterCamera(0, kHandle, nullptr, 1, block, 2, nullptr, nullptr, 0);
    std::vector<unsigned char> buffer(328 * 204 * 2 + 1, 0);
    unsigned char *image = buffer.data() + 1;
    PutWord(image, 2 * 328 + 2, 0x3FF);
    PutWord(image, 201 * 328 + 325, 0x155);
    ASSERT_TRUE(CorrectPixelDefects(kHandle, 2, image));
    EXPECT_EQ(WordAt(image, 0), 0x3FF);
    EXPECT_EQ(WordAt(image, 203 * 328 + 327), 0x155);
}

TEST_F(CorrectionRecordTest, DefectsRefuseWithoutRecordBlockCameraNumberOrImage) {
    auto image = Pattern(2);
    const auto before = image;
    auto block = EmptyBlock();
    SetDefects(*block, 1, 2, {{0, 0}});
    EXPECT_FALSE(CorrectPixelDefects(kHandle, 2, image.data())) << "no record";
    RegisterCamera(0, kHandle, nullptr, 1, nullptr, 2, nullptr, nullptr, 0);
    EXPECT_FALSE(CorrectPixelDefects(kHandle, 2, image.data())) << "no block";
    RegisterCamera(0, kHandle, nullptr, 1, block, 2, nullptr, nullptr, -1);
    EXPECT_FALSE(CorrectPixelDefects(kHandle, 2, image.data())) << "no camera number";
    RegisterCamera(0, kHandle, nullptr, 1, block, 2, nullptr, nullptr, 0);
    EXPECT_FALSE(CorrectPixelDefects(kHandle, 3, image.data()));
    EXPECT_FALSE(CorrectPixelDefects(kHandle, -1, image.data()));
    EXPECT_FALSE(CorrectPixelDefects(kHandle, 2, nullptr));
    EXPECT_FALSE(CorrectPixelDefects(-1, 2, image.data()));
    EXPECT_EQ(image, before);
    // A kind-0 camera is still corrected with the lists it holds.
    RegisterCamera(0, kHandle, nullptr, 0, block, 2, nullptr, nullptr, 0);
    EXPECT_TRUE(CorrectPixelDefects(kHandle, 2, image.data()));
    EXPECT_EQ(image[0], before[2 * 328 + 2]);
}

// Shades one word at (x, y) of mode 0 with a map computed from set.
std::uint16_t ShadeAt(const ShadingSet &set, int modeIndex, int x, int y, std::uint16_t word, int handle) {
    ParameterBlock block{};
    WriteShadingSet(block, 1, modeIndex, set);
    const int w = kModes[modeIndex].width;
    const std::size_t n = static_cast<std::size_t>(w) * kModes[modeIndex].height;
    std::shared_ptr<GainMap> map = AllocateGainMap(modeIndex);
    EXPECT_TRUE(ComputeGainMap(1, map.get(), modeIndex, block));
    RegisterCamera(0, handle, nullptr, 1, std::make_shared<ParameterBlock>(block), modeIndex, map, nullptr, 0);
    std::vector<std::uint16_t> image(n, 0);
    image[static_cast<std::size_t>(y) * w + x] = word;
    EXPECT_TRUE(CorrectShading(handle, modeIndex, image.data()));
    return image[static_cast<std::size_t>(y) * w + x];
}

TEST_F(CorrectionRecordTest, ShadingGivesTheDocumentedValuesOnEveryPath) {
    for (int p = 0; p < kKernelPathCount; ++p) {
        if (!KernelPathAvailable(static_cast<KernelPath>(p))) continue;
        testing::ForceKernelPath(static_cast<KernelPath>(p));
        SCOPED_TRACE(KernelPathName(ActiveKernelPath()));
        EXPECT_EQ(ShadeAt(MakeSet(640, 360, 0.000001, 0, 1), 0, 0, 0, 500, kHandle), 769);
        EXPECT_EQ(ShadeAt(MakeSet(640, 360, 0.000001, 0, 1), 0, 640, 360, 500, kHandle), 500);
        EXPECT_EQ(ShadeAt(MakeSet(0, 0, 0, 0, 1), 2, 5, 7, 1023, kHandle), 1023);
        EXPECT_EQ(ShadeAt(MakeSet(0, 0, 0, 0, 1), 2, 5, 7, 1024, kHandle), 1023);
        EXPECT_EQ(ShadeAt(MakeSet(0, 0, 0, 0, 1), 2, 5, 7, 65535, kHandle), 1023);
        EXPECT_EQ(ShadeAt(MakeSet(0, 0, 0, 0, 0.5), 2, 1, 1, 3, kHandle), 1);
        EXPECT_EQ(ShadeAt(MakeSet(0, 0, 0, 0, 0.5), 2, 1, 1, 1, kHandle), 0);
        EXPECT_EQ(ShadeAt(MakeSet(0, 0, 0, 0, -0.5), 2, 9, 9, 2, kHandle), 1023);  // product -1
        EXPECT_EQ(ShadeAt(MakeSet(0, 0, 0, 0, -0.5), 2, 9, 9, 1, kHandle), 0);     // product -0.5
        EXPECT_EQ(ShadeAt(MakeSet(kNaN, 0, 0, 0, 1), 2, 9, 9, 700, kHandle), 0);
    }
}

TEST_F(CorrectionRecordTest, ShadingUsesTheMapOfTheRecordsCameraNumberAndRefusesWhatItCannotShade) {
    auto image = Pattern(2);
    for (auto &w : image) w &= 0x3FF;
    const auto before = image;
    EXPECT_FALSE(CorrectShading(kHandle, 2, image.data())) << "no record";
    RegisterCamera(0, kHandle, nullptr, 1, EmptyBlock(), 2, nullptr, ConstantMap(2, 0.5), 0);
    EXPECT_FALSE(CorrectShading(kHandle, 2, image.data())) << "camera number 1 has no map";
    EXPECT_EQ(image, before);
    Record(0).cameraNumberIndex = 1;
    EXPECT_FALSE(CorrectShading(kHandle, 0, image.data())) << "the map is for mode 2";
    EXPECT_FALSE(CorrectShading(kHandle, 2, nullptr));
    EXPECT_FALSE(CorrectShading(-1, 2, image.data()));
    Record(0).cameraNumberIndex = -1;
    EXPECT_FALSE(CorrectShading(kHandle, 2, image.data()));
    EXPECT_EQ(image, before);

    Record(0).cameraNumberIndex = 1;
    ASSERT_TRUE(CorrectShading(kHandle, 2, image.data()));
    for (std::size_t i = 0; i < image.size(); ++i) ASSERT_EQ(image[i], before[i] / 2);
}

TEST_F(CorrectionRecordTest, ShadingAnUnalignedFrameLeavesTheBytesAroundIt) {
    RegisterCamera(0, kHandle, nullptr, 1, EmptyBlock(), 2, ConstantMap(2, 2.0), nullptr, 0);
    const std::size_t n = 328 * 204;
    std::vector<unsigned char> buffer(2 * n + 2, 0x77);
    unsigned char *image = buffer.data() + 1;
    for (std::size_t i = 0; i < n; ++i) PutWord(image, i, static_cast<std::uint16_t>(i % 600));
    ASSERT_TRUE(CorrectShading(kHandle, 2, image));
    EXPECT_EQ(buffer.front(), 0x77);
    EXPECT_EQ(buffer.back(), 0x77);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(WordAt(image, i), std::min<std::size_t>(2 * (i % 600), 1023)) << i;
    }
}

// A map or block replaced (and the old one dropped) while another thread
// corrects frames: every frame is corrected with one whole map, and nothing
// freed is read (the sanitizer builds catch that).
TEST_F(CorrectionRecordTest, ReplacingMapsAndBlocksWhileFramesAreCorrectedIsSafe) {
    auto block = EmptyBlock();
    SetDefects(*block, 1, 2, {{0, 0}});
    RegisterCamera(0, kHandle, nullptr, 1, block, 2, ConstantMap(2, 1.0), nullptr, 0);
    std::atomic<bool> done{false};
    std::thread replacer([&] {
        for (int i = 0; i < 300; ++i) {
            auto fresh = ConstantMap(2, (i & 1) ? 0.5 : 1.0);
            auto nextBlock = EmptyBlock();
            SetDefects(*nextBlock, 1, 2, {{(i & 1) ? 1 : 0, 0}});
            Record(0).parameterBlock.exchange(std::move(nextBlock));
            auto lock = LockRegistry();
            auto old = Record(0).gainMaps[0].exchange(std::move(fresh));
            lock.unlock();
            old.reset();  // the last reference goes here unless a frame holds it
        }
        done = true;
    });
    std::vector<std::uint16_t> image(328 * 204);
    int frames = 0;
    while (!done.load() || frames < 20) {
        for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint16_t>(2 * (i % 500) + 2);
        ASSERT_TRUE(CorrectPixelDefects(kHandle, 2, image.data()));
        ASSERT_TRUE(CorrectShading(kHandle, 2, image.data()));
        const bool halved = image[5] == 6;  // (2*5+2)/2
        if (!halved) {
            ASSERT_EQ(image[5], 12);
        }
        for (std::size_t i = 2; i < image.size(); ++i) {
            const std::uint16_t v = static_cast<std::uint16_t>(2 * (i % 500) + 2);
            ASSERT_EQ(image[i], halved ? v / 2 : v) << "frame " << frames << " word " << i;
        }
        ++frames;
    }
    replacer.join();
}


// ---- The exports, end to end through the control channel and the simulated firmware ----

class CorrectionExportTest : public ControlTest {
protected:
    static constexpr int kNuv = 0;
    static constexpr int kNuv2 = 1;

    // Registers handle as camera opening does: channel, block read from the
    // camera, and for a "NUV2" camera the two gain maps of the mode.
    void Open(int handle, int kind, int mode, int cameraNumberIndex = 0, int slot = 0) {
        auto channel = OpenChannel();
        ASSERT_TRUE(channel);
        auto block = std::make_shared<ParameterBlock>();
        ASSERT_TRUE(ReadParameterBlock(*channel, *block));
        std::shared_ptr<GainMap> maps[2];
        if (kind == kNuv2) {
            for (int n = 0; n < 2; ++n) {
                maps[n] = AllocateGainMap(mode);
                ASSERT_TRUE(maps[n]);
                if (!ComputeGainMap(n + 1, maps[n].get(), mode, *block)) maps[n].reset();
            }
        }
        RegisterCamera(slot, handle, channel, kind, block, mode, maps[0], maps[1], cameraNumberIndex);
        NuvSimHidClearCommandLog(hid);
    }

    static std::vector<NuvDefectEntry> List(std::vector<NuvDefectEntry> used) {
        used.resize(kDefectEntryCount, NuvDefectEntry{0xFFFF, 0xFFFF});
        return used;
    }

    std::vector<NuvDefectEntry> Get(int handle, int cameraNo, int mode) {
        std::vector<NuvDefectEntry> list(kDefectEntryCount, NuvDefectEntry{0x1234, 0x5678});
        EXPECT_EQ(NuvGetPixelDefect(handle, cameraNo, mode, list.data()), 1);
        return list;
    }

    static bool Same(const std::vector<NuvDefectEntry> &a, const std::vector<NuvDefectEntry> &b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(NuvDefectEntry)) == 0;
    }

    ParameterBlock Cache(int slot = 0) { return *Record(slot).parameterBlock.load(); }

    // Shading values for all four sites.
    struct Values {
        double centre[2];
        double k2[4], k1[4], k0[4];
    };
    static Values Uniform(double cx, double cy, double k2, double k1, double k0) {
        return {{cx, cy}, {k2, k2, k2, k2}, {k1, k1, k1, k1}, {k0, k0, k0, k0}};
    }
    static NuvBool Set(int handle, int cameraNo, int mode, const Values &v) {
        return NuvSetShadingCorrection(handle, cameraNo, mode, v.centre, v.k2, v.k1, v.k0);
    }
};

TEST_F(CorrectionExportTest, SetPixelDefectRewritesTheBlockInTheCameraAndTheCacheAndFramesUseIt) {
    Open(1, kNuv2, 2);
    const ParameterBlock before = Cache();
    const auto list = List({{163, 101}, {0, 0}, {0xFFFF, 10}, {10, 0xFFFF}, {327, 203}});
    ASSERT_EQ(NuvSetPixelDefect(1, 1, 2, list.data()), 1);
    EXPECT_EQ(Sent(), 22) << "one erase and 21 chunk writes";
    EXPECT_EQ(SentReport(0)[2], 0x22);
    EXPECT_EQ(SentReport(0)[3], 7);
    EXPECT_EQ(SentReport(0)[4], 7);
    EXPECT_TRUE(Same(Get(1, 1, 2), list));
    const ParameterBlock after = Cache();
    const auto flash = Flash(0x70000, kParameterBlockSize);
    EXPECT_TRUE(std::equal(after.begin(), after.end(), flash.begin())) << "cache is the camera's block";
    for (std::size_t i = 0; i < kParameterBlockSize; ++i) {
        const bool inList = i >= DefectListOffset(1, 2) && i < DefectListOffset(1, 2) + 80;
        if (!inList) {
            ASSERT_EQ(after[i], before[i]) << "byte " << i;
        }
    }
    EXPECT_EQ(after[DefectListOffset(1, 2)], 163);
    EXPECT_EQ(after[DefectListOffset(1, 2) + 2], 101);

    std::vector<std::uint16_t> image(328 * 204);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint16_t>(i % 1021);
    const auto frame = image;
    ASSERT_TRUE(CorrectPixelDefects(1, 2, image.data()));
    EXPECT_EQ(image[101 * 328 + 163], frame[103 * 328 + 165]);
    EXPECT_EQ(image[0], frame[2 * 328 + 2]);
    EXPECT_EQ(image[203 * 328 + 327], frame[201 * 328 + 325]);
}

TEST_F(CorrectionExportTest, PixelDefectCallsRefuseBadArgumentsBeforeSendingAnything) {
    Open(1, kNuv2, 0);
    Open(2, kNuv, 0, 0, 1);
    RegisterCamera(2, 3, nullptr, 1, std::make_shared<ParameterBlock>(), 0, nullptr, nullptr, 0);  // no channel
    RegisterCamera(3, 4, OpenChannel(), 1, nullptr, 0, nullptr, nullptr, 0);                        // no block
    NuvSimHidClearCommandLog(hid);
    const ParameterBlock cached = Cache();
    const auto good = List({{1279, 719}});
    std::vector<NuvDefectEntry> out(kDefectEntryCount, NuvDefectEntry{7, 7});
    for (int handle : {-1, 9, 2, 3, 4}) {
        SCOPED_TRACE(handle);
        EXPECT_EQ(NuvSetPixelDefect(handle, 1, 0, good.data()), 0);
        if (handle != 3) {
            EXPECT_EQ(NuvGetPixelDefect(handle, 1, 0, out.data()), 0);
        }
    }
    EXPECT_EQ(NuvGetPixelDefect(3, 1, 0, out.data()), 1) << "the getter needs only the cached block";
    out.assign(kDefectEntryCount, NuvDefectEntry{7, 7});
    for (int cameraNo : {0, 3, -1}) {
        EXPECT_EQ(NuvSetPixelDefect(1, cameraNo, 0, good.data()), 0);
        EXPECT_EQ(NuvGetPixelDefect(1, cameraNo, 0, out.data()), 0);
    }
    for (int mode : {-1, 3}) {
        EXPECT_EQ(NuvSetPixelDefect(1, 1, mode, good.data()), 0);
        EXPECT_EQ(NuvGetPixelDefect(1, 1, mode, out.data()), 0);
    }
    EXPECT_EQ(NuvSetPixelDefect(1, 1, 0, nullptr), 0);
    EXPECT_EQ(NuvGetPixelDefect(1, 1, 0, nullptr), 0);
    EXPECT_EQ(NuvSetPixelDefect(1, 1, 0, List({{1280, 0}}).data()), 0);
    EXPECT_EQ(NuvSetPixelDefect(1, 1, 0, List({{0, 720}}).data()), 0);
    EXPECT_EQ(NuvSetPixelDefect(1, 2, 2, List({{5, 5}, {328, 5}}).data()), 0);
    EXPECT_EQ(Sent(), 0);
    EXPECT_EQ(Cache(), cached);
    EXPECT_EQ(out[0].column, 7) << "failed getters write nothing";

    EXPECT_EQ(NuvSetPixelDefect(1, 1, 0, good.data()), 1);
    EXPECT_EQ(NuvSetPixelDefect(1, 2, 2, List({{327, 203}, {0xFFFF, 0xFFFF}}).data()), 1);
}

TEST_F(CorrectionExportTest, AFailedWriteOrEraseKeepsTheOldList) {
    Open(1, kNuv2, 0);
    const auto old = Get(1, 2, 1);
    const auto fresh = List({{100, 100}, {200, 200}});
    NuvSimHidReplyStatus(hid, 0x20, 1, 1);  // the first chunk write refused
    EXPECT_EQ(NuvSetPixelDefect(1, 2, 1, fresh.data()), 0);
    EXPECT_TRUE(Same(Get(1, 2, 1), old));
    NuvSimHidClearCommandLog(hid);
    NuvSimHidReplyStatus(hid, 0x22, 1, 1);
    EXPECT_EQ(NuvSetPixelDefect(1, 2, 1, fresh.data()), 0);
    EXPECT_EQ(Sent(), 1) << "no write after a refused erase";
    EXPECT_TRUE(Same(Get(1, 2, 1), old));
    // The next update writes the whole block again.
    EXPECT_EQ(NuvSetPixelDefect(1, 2, 1, fresh.data()), 1);
    EXPECT_TRUE(Same(Get(1, 2, 1), fresh));
    const ParameterBlock cache = Cache();
    const auto flash = Flash(0x70000, kParameterBlockSize);
    EXPECT_TRUE(std::equal(cache.begin(), cache.end(), flash.begin()));
}

TEST_F(CorrectionExportTest, SwitchesAcceptZeroAndOneOnNuv2AndVideoOnlyCamerasAndResetOnClose) {
    Open(1, kNuv2, 0);
    Open(2, kNuv, 0, 0, 1);
    RegisterCamera(2, 5, nullptr, -1, nullptr, -1, nullptr, nullptr, -1);  // plain video device
    using SetFn = NuvBool(NUV_CALL *)(int, int);
    using GetFn = NuvBool(NUV_CALL *)(int, int *);
    const std::pair<SetFn, GetFn> switches[] = {{NuvSetPixelDefectOnOff, NuvGetPixelDefectOnOff},
                                                {NuvSetShadingCorrectionOnOff, NuvGetShadingCorrectionOnOff}};
    for (auto [set, get] : switches) {
        int on = 9;
        EXPECT_EQ(get(1, &on), 1);
        EXPECT_EQ(on, 1);
        EXPECT_EQ(set(1, 0), 1);
        EXPECT_EQ(get(1, &on), 1);
        EXPECT_EQ(on, 0);
        EXPECT_EQ(set(1, 2), 0);
        EXPECT_EQ(set(1, -1), 0);
        EXPECT_EQ(get(1, &on), 1);
        EXPECT_EQ(on, 0) << "a refused value leaves the switch";
        EXPECT_EQ(set(5, 0), 1);
        EXPECT_EQ(get(5, &on), 1);
        EXPECT_EQ(on, 0);
        on = 9;
        EXPECT_EQ(set(2, 0), 0) << "kind 0";
        EXPECT_EQ(get(2, &on), 0);
        EXPECT_EQ(set(-1, 0), 0);
        EXPECT_EQ(get(-1, &on), 0);
        EXPECT_EQ(get(1, nullptr), 0);
        EXPECT_EQ(on, 9);
    }
    EXPECT_EQ(Record(1).defectSwitch.load(), 1);
    EXPECT_EQ(Sent(), 0);
    // Close: the handle is gone, and the record is back at switch 1.
    ClearRecord(Record(0));
    int on = 9;
    EXPECT_EQ(NuvSetPixelDefectOnOff(1, 0), 0);
    EXPECT_EQ(NuvGetShadingCorrectionOnOff(1, &on), 0);
    EXPECT_EQ(on, 9);
    Open(1, kNuv2, 0);
    EXPECT_EQ(NuvGetPixelDefectOnOff(1, &on), 1);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(NuvGetShadingCorrectionOnOff(1, &on), 1);
    EXPECT_EQ(on, 1);
}

TEST_F(CorrectionExportTest, SetShadingForTheOpenedModeStoresTheSetAndReplacesTheMap) {
    Open(1, kNuv2, 0);
    const auto oldMap2 = Record(0).gainMaps[1].load();
    ASSERT_EQ(Set(1, 1, 0, Uniform(640, 360, 0.000001, 0, 1)), 1);
    EXPECT_EQ(Sent(), 22);
    EXPECT_EQ(Record(0).gainMaps[1].load(), oldMap2) << "camera number 2's map stays";

    Values got = Uniform(0, 0, 0, 0, 0);
    ASSERT_EQ(NuvGetShadingCorrection(1, 1, 0, got.centre, got.k2, got.k1, got.k0), 1);
    EXPECT_EQ(got.centre[0], 640.0);
    EXPECT_EQ(got.centre[1], 360.0);
    EXPECT_EQ(got.k2[3], 0.000001);
    EXPECT_EQ(got.k0[2], 1.0);
    const auto flash = Flash(0x70000 + ShadingSetOffset(1, 0), kShadingSetSize);
    double cx = 0;
    std::memcpy(&cx, flash.data(), 8);
    EXPECT_EQ(cx, 640.0);

    std::vector<std::uint16_t> image(1280 * 720, 500);
    ASSERT_TRUE(CorrectShading(1, 0, image.data()));
    EXPECT_EQ(image[0], 769);
    EXPECT_EQ(image[360 * 1280 + 640], 500);

    std::fill(image.begin(), image.end(), 3);
    image[1] = 1;
    ASSERT_EQ(Set(1, 1, 0, Uniform(640, 360, 0, 0, 0.5)), 1);
    ASSERT_TRUE(CorrectShading(1, 0, image.data()));
    EXPECT_EQ(image[0], 1);
    EXPECT_EQ(image[1], 0);

    // Site order of the arrays: element i belongs to site i.
    Values sites = Uniform(640, 360, 0, 0, 0);
    for (int s = 0; s < 4; ++s) sites.k0[s] = s + 1;
    ASSERT_EQ(Set(1, 1, 0, sites), 1);
    std::fill(image.begin(), image.end(), 100);
    ASSERT_TRUE(CorrectShading(1, 0, image.data()));
    EXPECT_EQ(image[0 * 1280 + 1], 100) << "even row, odd column: site 0";
    EXPECT_EQ(image[0 * 1280 + 0], 200) << "even row, even column: site 1";
    EXPECT_EQ(image[1 * 1280 + 1], 300) << "odd row, odd column: site 2";
    EXPECT_EQ(image[1 * 1280 + 0], 400) << "odd row, even column: site 3";
}

TEST_F(CorrectionExportTest, ANewMapThatCannotBeAllocatedKeepsThePreviousOneButTheSetIsStored) {
    Open(1, kNuv2, 2);
    const auto previous = Record(0).gainMaps[0].load();
    NuvSimFailAllocations(0, 1);
    EXPECT_EQ(Set(1, 1, 2, Uniform(164, 102, 0, 0, 0.5)), 0);
    EXPECT_EQ(Record(0).gainMaps[0].load(), previous);
    Values got = Uniform(0, 0, 0, 0, 0);
    ASSERT_EQ(NuvGetShadingCorrection(1, 1, 2, got.centre, got.k2, got.k1, got.k0), 1);
    EXPECT_EQ(got.k0[0], 0.5) << "stored in the camera and the cache all the same";
    ASSERT_EQ(Set(1, 1, 2, Uniform(164, 102, 0, 0, 0.5)), 1);
    EXPECT_NE(Record(0).gainMaps[0].load(), previous);
}

TEST_F(CorrectionExportTest, SetShadingForAnotherModeOrCameraNumberLeavesTheMapsInUse) {
    Open(1, kNuv2, 2);
    const auto map1 = Record(0).gainMaps[0].load();
    const auto map2 = Record(0).gainMaps[1].load();
    ASSERT_TRUE(map1 && map2);
    ASSERT_EQ(Set(1, 1, 0, Uniform(1, 2, 0, 0, 0.25)), 1);
    EXPECT_EQ(Record(0).gainMaps[0].load(), map1);
    EXPECT_EQ(Record(0).gainMaps[1].load(), map2);
    Values got = Uniform(0, 0, 0, 0, 0);
    ASSERT_EQ(NuvGetShadingCorrection(1, 1, 0, got.centre, got.k2, got.k1, got.k0), 1);
    EXPECT_EQ(got.k0[0], 0.25);

    // Camera number 2 while the camera works as number 1: only map 2 changes,
    // and frames see it once camera number 2 is selected.
    ASSERT_EQ(Set(1, 2, 2, Uniform(0, 0, 0, 0, 0.5)), 1);
    EXPECT_EQ(Record(0).gainMaps[0].load(), map1);
    EXPECT_NE(Record(0).gainMaps[1].load(), map2);
    std::vector<std::uint16_t> image(328 * 204, 400);
    ASSERT_TRUE(CorrectShading(1, 2, image.data()));
    EXPECT_NE(image[5], 200);
    Record(0).cameraNumberIndex = 1;
    std::fill(image.begin(), image.end(), 400);
    ASSERT_TRUE(CorrectShading(1, 2, image.data()));
    EXPECT_EQ(image[5], 200);
}

TEST_F(CorrectionExportTest, NanCoefficientStoresTheSetButRemovesTheMapAndNanCentreZeroesFrames) {
    Open(1, kNuv2, 2);
    Values bad = Uniform(164, 102, 0, 0, 1);
    bad.k1[2] = kNaN;
    ASSERT_EQ(Set(1, 1, 2, bad), 1);
    EXPECT_TRUE(Record(0).gainMaps[0].load() == nullptr);
    Values got = Uniform(0, 0, 0, 0, 0);
    ASSERT_EQ(NuvGetShadingCorrection(1, 1, 2, got.centre, got.k2, got.k1, got.k0), 1);
    EXPECT_TRUE(std::isnan(got.k1[2]));
    std::vector<std::uint16_t> image(328 * 204, 400);
    EXPECT_FALSE(CorrectShading(1, 2, image.data()));
    EXPECT_EQ(image[0], 400);
    // Opening again computes from the same stored set: again no map.
    ParameterBlock block = Cache();
    auto map = AllocateGainMap(2);
    EXPECT_FALSE(ComputeGainMap(1, map.get(), 2, block));

    ASSERT_EQ(Set(1, 1, 2, Uniform(kNaN, 102, 0, 0, 1)), 1);
    ASSERT_FALSE(Record(0).gainMaps[0].load() == nullptr);
    ASSERT_TRUE(CorrectShading(1, 2, image.data()));
    for (std::uint16_t w : image) ASSERT_EQ(w, 0);
}

TEST_F(CorrectionExportTest, ShadingCallsRefuseBadArgumentsAndFailedWritesKeepEverything) {
    Open(1, kNuv2, 0);
    Open(2, kNuv, 0, 0, 1);
    RegisterCamera(2, 3, nullptr, 1, std::make_shared<ParameterBlock>(), 0, nullptr, nullptr, 0);
    NuvSimHidClearCommandLog(hid);
    const ParameterBlock cached = Cache();
    const auto map = Record(0).gainMaps[0].load();
    Values v = Uniform(1, 1, 0, 0, 1);
    Values out = Uniform(7, 7, 7, 7, 7);
    for (int handle : {-1, 9, 2}) {
        EXPECT_EQ(Set(handle, 1, 0, v), 0);
        EXPECT_EQ(NuvGetShadingCorrection(handle, 1, 0, out.centre, out.k2, out.k1, out.k0), 0);
    }
    EXPECT_EQ(Set(3, 1, 0, v), 0) << "no channel";
    for (int cameraNo : {0, 3}) EXPECT_EQ(Set(1, cameraNo, 0, v), 0);
    for (int mode : {-1, 3}) {
        EXPECT_EQ(Set(1, 1, mode, v), 0);
        EXPECT_EQ(NuvGetShadingCorrection(1, 1, mode, out.centre, out.k2, out.k1, out.k0), 0);
    }
    EXPECT_EQ(NuvSetShadingCorrection(1, 1, 0, nullptr, v.k2, v.k1, v.k0), 0);
    EXPECT_EQ(NuvSetShadingCorrection(1, 1, 0, v.centre, v.k2, nullptr, v.k0), 0);
    EXPECT_EQ(NuvGetShadingCorrection(1, 1, 0, out.centre, out.k2, out.k1, nullptr), 0);
    EXPECT_EQ(Sent(), 0);
    EXPECT_EQ(out.centre[0], 7.0);

    NuvSimHidReplyStatus(hid, 0x20, 1, 2);
    EXPECT_EQ(Set(1, 1, 0, v), 0);
    NuvSimHidReplyStatus(hid, 0x22, 1, 2);
    EXPECT_EQ(Set(1, 1, 0, v), 0);
    EXPECT_EQ(Cache(), cached);
    EXPECT_EQ(Record(0).gainMaps[0].load(), map);
}

// NuvSetShadingCorrection replacing the map (and the block) while another
// thread shades frames: each frame is shaded with one whole map, and the
// replaced map outlives the frame that still uses it.
TEST_F(CorrectionExportTest, MapReplacedWhileAnotherThreadShadesFrames) {
    Open(1, kNuv2, 2);
    ASSERT_EQ(Set(1, 1, 2, Uniform(0, 0, 0, 0, 1.0)), 1);
    std::atomic<bool> done{false};
    std::atomic<int> frames{0};
    std::atomic<bool> mixed{false};
    std::thread shader([&] {
        std::vector<std::uint16_t> image(328 * 204);
        while (!done.load() || frames.load() < 10) {
            std::fill(image.begin(), image.end(), 400);
            if (!CorrectShading(1, 2, image.data())) continue;
            if (!CorrectPixelDefects(1, 2, image.data())) mixed = true;
            const std::uint16_t first = image[0];
            if (first != 400 && first != 200) mixed = true;
            for (std::uint16_t w : image) {
                if (w != first) mixed = true;
            }
            ++frames;
        }
    });
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(Set(1, 1, 2, Uniform(0, 0, 0, 0, (i & 1) ? 1.0 : 0.5)), 1);
        ASSERT_EQ(NuvSetPixelDefect(1, 1, 2, List({}).data()), 1);
    }
    done = true;
    shader.join();
    EXPECT_FALSE(mixed.load());
    EXPECT_GE(frames.load(), 10);
}

}  // namespace
}  // namespace nuv
