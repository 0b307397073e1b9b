// The simulated sensor's own optics, seen through the library as an
// application sees them: frames received with both corrections off.
#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

#include "api/testing.h"
#include "sim_fixture.h"

namespace {

struct Size {
    int width;
    int height;
};
constexpr Size kModes[3] = {{1280, 720}, {656, 408}, {328, 204}};

class SimOpticsTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        nuv2_ = NuvSimAddCamera("NUV2", 0x00FF0001, 1);
        ASSERT_GT(nuv2_, 0);
    }
    void TearDown() override {
        NuvClose(0);
        SimTest::TearDown();
    }

    // Opens position 0 at a mode with both corrections off.
    void Open(int mode) {
        size_ = kModes[mode];
        ASSERT_EQ(NuvOpen(0, size_.width, size_.height, 30.0, "YUY2"), 0);
        ASSERT_EQ(NuvSetPixelDefectOnOff(0, 0), 1);
        ASSERT_EQ(NuvSetShadingCorrectionOnOff(0, 0), 1);
    }

    // The next frame the library hands out, as words.
    std::vector<std::uint16_t> NextFrame() {
        std::vector<std::uint16_t> words(static_cast<std::size_t>(size_.width) * size_.height);
        for (int tries = 0; tries < 200; ++tries) {
            NuvSimAdvanceClock(20);
            if (NuvReceiveImage(0, words.data()) == 1) return words;
        }
        ADD_FAILURE() << "no frame";
        return {};
    }

    std::uint16_t At(const std::vector<std::uint16_t> &words, int x, int y) const {
        return words[static_cast<std::size_t>(y) * size_.width + x];
    }

    static std::uint64_t Counter(const std::vector<std::uint16_t> &words) {
        std::uint64_t counter = 0;
        for (int i = 3; i >= 0; --i) counter = (counter << 8) | words[i];
        return counter;
    }

    int nuv2_ = 0;
    Size size_{};
};

TEST_F(SimOpticsTest, FlatSceneIsFlatAndCarriesTheFrameCounter) {
    ASSERT_EQ(NuvSimSetScene(nuv2_, 500.0), 1);
    Open(2);
    const auto first = NextFrame();
    const auto second = NextFrame();
    ASSERT_FALSE(second.empty());
    for (std::size_t i = 4; i < second.size(); ++i) ASSERT_EQ(second[i], 500) << i;
    EXPECT_GT(Counter(second), Counter(first));
    EXPECT_GT(Counter(first), 0u);
}

TEST_F(SimOpticsTest, DarkSceneReadsZero) {
    ASSERT_EQ(NuvSimSetScene(nuv2_, 0.0), 1);
    Open(2);
    const auto frame = NextFrame();
    ASSERT_FALSE(frame.empty());
    for (std::size_t i = 4; i < frame.size(); ++i) ASSERT_EQ(frame[i], 0) << i;
}

TEST_F(SimOpticsTest, LensFallsOffWithRadiusAndSitesDifferAsSet) {
    const double factors[4] = {1.0, 0.9, 0.8, 0.7};
    ASSERT_EQ(NuvSimSetScene(nuv2_, 800.0), 1);
    ASSERT_EQ(NuvSimSetLens(nuv2_, 0.5, 0.5, 1.0, factors), 1);
    Open(0);
    const auto frame = NextFrame();
    ASSERT_FALSE(frame.empty());
    // At the centre (640, 360), site 1 (even row, even column): 800 * 0.9.
    EXPECT_EQ(At(frame, 640, 360), 720);
    EXPECT_EQ(At(frame, 641, 360), 800);      // site 0, r = 1 pixel
    EXPECT_EQ(At(frame, 641, 361), 640);      // site 2
    EXPECT_EQ(At(frame, 640, 361), 560);      // site 3
    // The corner pixel (1279, 719) lies almost a half diagonal away: the
    // light falls to about half, of site 2's share.
    const double halfDiagonal = 0.5 * std::sqrt(1280.0 * 1280.0 + 720.0 * 720.0);
    const double r = std::sqrt(639.0 * 639.0 + 359.0 * 359.0) / halfDiagonal;
    EXPECT_EQ(At(frame, 1279, 719), std::lround(800.0 * 0.8 / (1.0 + r * r)));
    EXPECT_LT(At(frame, 1279, 719), 330);
}

TEST_F(SimOpticsTest, OffCentreLensMovesTheBrightestPoint) {
    ASSERT_EQ(NuvSimSetScene(nuv2_, 1000.0), 1);
    ASSERT_EQ(NuvSimSetLens(nuv2_, 0.25, 0.75, 2.0, nullptr), 1);
    Open(2);
    const auto frame = NextFrame();
    ASSERT_FALSE(frame.empty());
    EXPECT_EQ(At(frame, 82, 153), 1000);  // 0.25 * 328, 0.75 * 204
    EXPECT_LT(At(frame, 200, 60), At(frame, 100, 140));
}

TEST_F(SimOpticsTest, SensorDefectsSitAtTheSameFractionInEveryMode) {
    ASSERT_EQ(NuvSimSetScene(nuv2_, 400.0), 1);
    ASSERT_EQ(NuvSimAddSensorDefect(nuv2_, 0.3, 0.6, 1023), 1);
    ASSERT_EQ(NuvSimAddSensorDefect(nuv2_, 0.71, 0.2, 0), 1);
    for (int mode = 0; mode < 3; ++mode) {
        Open(mode);
        const auto frame = NextFrame();
        ASSERT_FALSE(frame.empty());
        const int hotX = static_cast<int>(std::floor(0.3 * size_.width));
        const int hotY = static_cast<int>(std::floor(0.6 * size_.height));
        const int deadX = static_cast<int>(std::floor(0.71 * size_.width));
        const int deadY = static_cast<int>(std::floor(0.2 * size_.height));
        EXPECT_EQ(At(frame, hotX, hotY), 1023) << mode;
        EXPECT_EQ(At(frame, deadX, deadY), 0) << mode;
        int stuck = 0;
        for (std::size_t i = 4; i < frame.size(); ++i) stuck += frame[i] != 400;
        EXPECT_EQ(stuck, 2) << mode;
        NuvClose(0);
    }
    ASSERT_EQ(NuvSimClearSensorDefects(nuv2_), 1);
    Open(2);
    const auto clean = NextFrame();
    ASSERT_FALSE(clean.empty());
    for (std::size_t i = 4; i < clean.size(); ++i) ASSERT_EQ(clean[i], 400) << i;
}

TEST_F(SimOpticsTest, NoiseHasItsSigmaAndChangesFromFrameToFrame) {
    ASSERT_EQ(NuvSimSetScene(nuv2_, 500.0), 1);
    ASSERT_EQ(NuvSimSetNoise(nuv2_, 4.0, 77), 1);
    Open(2);
    const auto a = NextFrame();
    const auto b = NextFrame();
    ASSERT_FALSE(b.empty());
    double sum = 0.0;
    double sum2 = 0.0;
    const std::size_t n = b.size() - 4;
    for (std::size_t i = 4; i < b.size(); ++i) {
        sum += b[i];
        sum2 += static_cast<double>(b[i]) * b[i];
    }
    const double mean = sum / n;
    const double sigma = std::sqrt(sum2 / n - mean * mean);
    EXPECT_NEAR(mean, 500.0, 0.1);
    EXPECT_NEAR(sigma, 4.0, 0.15);  // rounding to counts adds 1/12 of variance
    EXPECT_NE(std::vector<std::uint16_t>(a.begin() + 4, a.end()), std::vector<std::uint16_t>(b.begin() + 4, b.end()));
}

TEST_F(SimOpticsTest, NoiseIsTheSameForTheSameSeedAndFrameNumber) {
    // Two cameras of one seed, opened one after the other: the second one's
    // stream counts its frames from the start again and must show, frame
    // number for frame number, what the first one showed.
    const int other = NuvSimAddCamera("NUV2", 0x00FF0002, 1);
    ASSERT_GT(other, 0);
    for (int device : {nuv2_, other}) {
        ASSERT_EQ(NuvSimSetScene(device, 500.0), 1);
        ASSERT_EQ(NuvSimSetNoise(device, 4.0, 77), 1);
    }
    size_ = kModes[2];
    ASSERT_EQ(NuvOpen(0, size_.width, size_.height, 30.0, "YUY2"), 0);
    ASSERT_EQ(NuvOpen(1, size_.width, size_.height, 30.0, "YUY2"), 0);
    std::map<std::uint64_t, std::vector<std::uint16_t>> first;
    std::vector<std::uint16_t> words(static_cast<std::size_t>(size_.width) * size_.height);
    int compared = 0;
    for (int step = 0; step < 400 && compared < 3; ++step) {
        NuvSimAdvanceClock(20);
        for (int handle : {0, 1}) {
            NuvSetPixelDefectOnOff(handle, 0);
            NuvSetShadingCorrectionOnOff(handle, 0);
        }
        if (NuvReceiveImage(0, words.data()) == 1) first[Counter(words)] = words;
        if (NuvReceiveImage(1, words.data()) == 1) {
            auto it = first.find(Counter(words));
            if (it != first.end()) {
                EXPECT_EQ(words, it->second) << "frame " << it->first;
                ++compared;
            }
        }
    }
    NuvClose(1);
    EXPECT_EQ(compared, 3);
}

TEST_F(SimOpticsTest, NegativeLevelGoesBackToFramesOfTheStoredData) {
    ASSERT_EQ(NuvSimSetScene(nuv2_, 500.0), 1);
    ASSERT_EQ(NuvSimSetScene(nuv2_, -1.0), 1);
    Open(2);
    const auto frame = NextFrame();
    ASSERT_FALSE(frame.empty());
    int flat = 0;
    for (std::size_t i = 4; i < frame.size(); ++i) flat += frame[i] == 500;
    EXPECT_LT(flat, static_cast<int>(frame.size()) / 2);
}

TEST_F(SimOpticsTest, RefusesUnknownDevicesAndValuesOutOfRange) {
    const double negative[4] = {1.0, -0.5, 1.0, 1.0};
    EXPECT_EQ(NuvSimSetScene(99, 100.0), 0);
    EXPECT_EQ(NuvSimSetScene(nuv2_, 1024.0), 0);
    EXPECT_EQ(NuvSimSetScene(nuv2_, NAN), 0);
    EXPECT_EQ(NuvSimSetLens(99, 0.5, 0.5, 0.0, nullptr), 0);
    EXPECT_EQ(NuvSimSetLens(nuv2_, 0.5, 0.5, -1.0, nullptr), 0);
    EXPECT_EQ(NuvSimSetLens(nuv2_, NAN, 0.5, 0.0, nullptr), 0);
    EXPECT_EQ(NuvSimSetLens(nuv2_, 0.5, 0.5, 0.0, negative), 0);
    EXPECT_EQ(NuvSimAddSensorDefect(nuv2_, 1.0, 0.5, 1023), 0);
    EXPECT_EQ(NuvSimAddSensorDefect(nuv2_, 0.5, -0.1, 1023), 0);
    EXPECT_EQ(NuvSimAddSensorDefect(nuv2_, 0.5, 0.5, 1024), 0);
    EXPECT_EQ(NuvSimAddSensorDefect(99, 0.5, 0.5, 0), 0);
    EXPECT_EQ(NuvSimClearSensorDefects(99), 0);
    EXPECT_EQ(NuvSimSetNoise(nuv2_, -1.0, 1), 0);
    EXPECT_EQ(NuvSimSetNoise(99, 1.0, 1), 0);
    // Nothing refused changed the scene: frames still follow the stored data.
    ASSERT_EQ(NuvSimSetScene(nuv2_, 300.0), 1);
    Open(2);
    const auto frame = NextFrame();
    ASSERT_FALSE(frame.empty());
    for (std::size_t i = 4; i < frame.size(); ++i) ASSERT_EQ(frame[i], 300) << i;
}

}  // namespace
