// The simulated sensor answers its controls as a real one does, seen
// through the library's own calls: exposure (property and shutter command)
// and the gains scale the signal, the LED adds an offset, the converter
// clips at 1023, shot noise grows with the signal, and the colour bar shows
// its pattern. At the values a camera starts with nothing changes.
#include <cmath>
#include <cstdint>
#include <vector>

#include "protocol/shading.h"
#include "sim_fixture.h"

namespace {

constexpr int kWidth = 328;
constexpr int kHeight = 204;

class SimSensorTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        device_ = NuvSimAddCamera("NUV2", 0x00FF0001, 1);
        ASSERT_GT(device_, 0);
    }
    void TearDown() override {
        NuvClose(0);
        SimTest::TearDown();
    }

    // Opens the camera at the small mode; raw frames (both corrections off)
    // unless corrected.
    void Open(bool corrected = false) {
        ASSERT_EQ(NuvOpen(0, kWidth, kHeight, 30.0, "YUY2"), 0);
        ASSERT_EQ(NuvSetPixelDefectOnOff(0, corrected ? 1 : 0), 1);
        ASSERT_EQ(NuvSetShadingCorrectionOnOff(0, corrected ? 1 : 0), 1);
    }

    // A frame made after everything the test set so far: the frame waiting
    // may be older, so the one after it is taken.
    std::vector<std::uint16_t> Frame() {
        std::vector<std::uint16_t> words(static_cast<std::size_t>(kWidth) * kHeight);
        int received = 0;
        for (int tries = 0; tries < 400 && received < 2; ++tries) {
            NuvSimAdvanceClock(20);
            if (NuvReceiveImage(0, words.data()) == 1) ++received;
        }
        EXPECT_EQ(received, 2) << "no frame";
        return words;
    }

    static std::uint16_t At(const std::vector<std::uint16_t> &w, int x, int y) {
        return w[static_cast<std::size_t>(y) * kWidth + x];
    }

    // Every pixel but the frame counter's four.
    template <class F>
    static void ForEachPixel(const std::vector<std::uint16_t> &w, F &&f) {
        for (std::size_t i = 4; i < w.size(); ++i) f(static_cast<int>(i % kWidth), static_cast<int>(i / kWidth), w[i]);
    }

    static double Mean(const std::vector<std::uint16_t> &w) {
        double sum = 0.0;
        ForEachPixel(w, [&](int, int, std::uint16_t v) { sum += v; });
        return sum / static_cast<double>(w.size() - 4);
    }

    // Standard deviation over the pixels of one site (a flat scene's pixels
    // of one site share their light).
    static double SiteSigma(const std::vector<std::uint16_t> &w, int site) {
        double sum = 0.0, sum2 = 0.0;
        int n = 0;
        ForEachPixel(w, [&](int x, int y, std::uint16_t v) {
            if (nuv::protocol::ShadingSite(y, x) != site) return;
            sum += v;
            sum2 += static_cast<double>(v) * v;
            ++n;
        });
        const double mean = sum / n;
        return std::sqrt(sum2 / n - mean * mean);
    }

    // Every pixel equals f(x, y).
    template <class F>
    static void ExpectEvery(const std::vector<std::uint16_t> &w, F &&expected, const char *what) {
        int wrong = 0;
        ForEachPixel(w, [&](int x, int y, std::uint16_t v) {
            if (v != expected(x, y) && wrong++ < 3) ADD_FAILURE() << what << ": (" << x << ", " << y << ") reads " << v
                                                                 << ", expected " << expected(x, y);
        });
        EXPECT_EQ(wrong, 0) << what;
    }

    int device_ = 0;
};

TEST_F(SimSensorTest, SignalAboveTheOffsetFollowsExposureTimeAndTheShutter) {
    ASSERT_EQ(NuvSimSetScene(device_, 200.0), 1);
    Open();
    ExpectEvery(Frame(), [](int, int) { return 200; }, "reference settings: the light itself");
    ASSERT_EQ(NuvSetLed(0, 10), 1);  // an offset of 40 counts
    ExpectEvery(Frame(), [](int, int) { return 240; }, "LED 10");
    ASSERT_EQ(NuvSetExposure(0, -5), 1);  // twice the exposure time
    ExpectEvery(Frame(), [](int, int) { return 440; }, "exposure -5");
    ASSERT_EQ(NuvSetExposure(0, -8), 1);
    ExpectEvery(Frame(), [](int, int) { return 90; }, "exposure -8");
    ASSERT_EQ(NuvSetShutter(0, 3000), 1);  // three times the reference 1000
    ExpectEvery(Frame(), [](int, int) { return 190; }, "exposure -8, shutter 3000");
    ASSERT_EQ(NuvSetShutter(0, 500), 1);
    ExpectEvery(Frame(), [](int, int) { return 65; }, "exposure -8, shutter 500");
}

TEST_F(SimSensorTest, AnalogGainScalesEverySiteAndDigitalGainsEachTheirOwn) {
    // A lens, so that the light is not flat: the gains scale it, they do not
    // reshape it (the stored correction data keeps describing the lens).
    ASSERT_EQ(NuvSimSetScene(device_, 300.0), 1);
    ASSERT_EQ(NuvSimSetLens(device_, 0.5, 0.5, 0.6, nullptr), 1);
    Open();
    const auto reference = Frame();
    ASSERT_EQ(NuvSetGain(0, 16), 1);  // twice
    // The reference frame holds the light rounded: twice it is within a
    // count of the light doubled.
    ForEachPixel(Frame(), [&](int x, int y, std::uint16_t v) {
        ASSERT_NEAR(v, 2.0 * At(reference, x, y), 1.0) << x << "," << y;
    });
    ASSERT_EQ(NuvSetGain(0, 0), 1);
    // Gains 1..4 act on sites 0..3: (even row, odd column), (even, even),
    // (odd, odd), (odd, even); 0x0100 is unity.
    ASSERT_EQ(NuvSetDigitalGain(0, 0x0100, 0x0200, 0x0080, 0x0000), 1);
    const double factor[4] = {1.0, 2.0, 0.5, 0.0};
    const auto digital = Frame();
    ForEachPixel(digital, [&](int x, int y, std::uint16_t v) {
        const int site = nuv::protocol::ShadingSite(y, x);
        // The reference frame holds rounded light, so each site's value is
        // within a rounding of its factor times it.
        EXPECT_NEAR(v, factor[site] * At(reference, x, y), factor[site] * 0.5 + 0.5) << x << "," << y;
    });
    EXPECT_EQ(At(digital, 164, 101), 0) << "site 3 at digital gain 0 is black";
}

TEST_F(SimSensorTest, TheConverterClipsAt1023AndStuckPixelsKeepTheirValue) {
    ASSERT_EQ(NuvSimSetScene(device_, 400.0), 1);
    ASSERT_EQ(NuvSimAddSensorDefect(device_, 0.5, 0.5, 7), 1);
    Open();
    ASSERT_EQ(NuvSetExposure(0, 0), 1);  // 64 times the reference
    ASSERT_EQ(NuvSetGain(0, 240), 1);
    ExpectEvery(Frame(), [](int x, int y) { return x == 164 && y == 102 ? 7 : 1023; }, "saturated");
    ASSERT_EQ(NuvSetExposure(0, -13), 1);  // 1/128 of the reference: 400 / 128 * 16 = 50
    ASSERT_EQ(NuvSetLed(0, 64), 1);        // + 256
    ExpectEvery(Frame(), [](int x, int y) { return x == 164 && y == 102 ? 7 : 306; }, "shortest exposure");
}

TEST_F(SimSensorTest, BrightnessAddsAnOffsetToDarkness) {
    ASSERT_EQ(NuvSimSetScene(device_, 0.0), 1);
    Open();
    ExpectEvery(Frame(), [](int, int) { return 0; }, "dark");
    for (int led : {1, 33, 64}) {
        ASSERT_EQ(NuvSetLed(0, led), 1);
        ExpectEvery(Frame(), [&](int, int) { return 4 * led; }, "LED");
        ASSERT_EQ(NuvSetGain(0, 240), 1);  // the offset is not amplified
        ExpectEvery(Frame(), [&](int, int) { return 4 * led; }, "LED with gain");
        ASSERT_EQ(NuvSetGain(0, 0), 1);
    }
}

TEST_F(SimSensorTest, ShotNoiseGrowsWithTheSignal) {
    ASSERT_EQ(NuvSimSetNoise(device_, 1.0, 5), 1);
    ASSERT_EQ(NuvSimSetShotNoise(device_, 4.0), 1);
    ASSERT_EQ(NuvSimSetScene(device_, 100.0), 1);
    Open();
    // sigma^2 = read^2 + gain^2 * light * exposure / electrons per count.
    const auto expected = [](double light, double gain) { return std::sqrt(1.0 + gain * gain * light / 4.0); };
    const double dim = SiteSigma(Frame(), 1);
    EXPECT_NEAR(dim, expected(100.0, 1.0), 0.3);
    ASSERT_EQ(NuvSimSetScene(device_, 800.0), 1);
    const double bright = SiteSigma(Frame(), 1);
    EXPECT_NEAR(bright, expected(800.0, 1.0), 0.6);
    ASSERT_EQ(NuvSetExposure(0, -8), 1);  // a quarter of the light collected
    EXPECT_NEAR(SiteSigma(Frame(), 1), expected(200.0, 1.0), 0.4);
    ASSERT_EQ(NuvSetExposure(0, -6), 1);
    ASSERT_EQ(NuvSimSetScene(device_, 200.0), 1);
    ASSERT_EQ(NuvSetGain(0, 16), 1);  // the gain amplifies the spread with the signal
    EXPECT_NEAR(SiteSigma(Frame(), 1), expected(200.0, 2.0), 0.6);
    EXPECT_GT(bright, 2.5 * dim);
    ASSERT_EQ(NuvSimSetShotNoise(device_, 0.0), 1);
    EXPECT_NEAR(SiteSigma(Frame(), 1), 1.0, 0.15) << "read noise alone";
    EXPECT_EQ(NuvSimSetShotNoise(device_, -1.0), 0);
    EXPECT_EQ(NuvSimSetShotNoise(99, 1.0), 0);
}

TEST_F(SimSensorTest, TheColourBarReplacesTheImageWithItsPattern) {
    ASSERT_EQ(NuvSimSetScene(device_, 321.0), 1);
    ASSERT_EQ(NuvSimAddSensorDefect(device_, 0.1, 0.5, 1023), 1);
    Open();
    ASSERT_EQ(NuvSetColorBar(0, 1), 1);
    ASSERT_EQ(NuvSetGain(0, 100), 1);  // a pattern generator after the pixels: no gain, no defects
    const std::uint16_t bars[8] = {1023, 906, 717, 601, 422, 306, 117, 0};
    const auto frame = Frame();
    ExpectEvery(frame, [&](int x, int) { return bars[x * 8 / kWidth]; }, "colour bars");
    std::uint64_t counter = 0;
    for (int i = 3; i >= 0; --i) counter = (counter << 8) | frame[i];
    EXPECT_GT(counter, 0u) << "the frame counter stays";
    ASSERT_EQ(NuvSetColorBar(0, 0), 1);
    ASSERT_EQ(NuvSetGain(0, 0), 1);
    ExpectEvery(Frame(), [](int x, int y) { return x == 32 && y == 102 ? 1023 : 321; }, "the scene again");
}

TEST_F(SimSensorTest, FramesOfTheStoredDataAnswerTooAndDefaultsLeaveThemUntouched) {
    // Without optics: the stored shading's scene, corrected back to 639..640
    // at the reference settings, but for the few replaced stored defects.
    Open(true);
    int off = 0;
    ForEachPixel(Frame(), [&](int x, int y, std::uint16_t v) {
        if (v == 639 || v == 640) return;
        ++off;
        ASSERT_NEAR(v, 640, 5) << x << "," << y;
    });
    EXPECT_LE(off, 6) << "only the corrected defects of the set";
    ASSERT_EQ(NuvSetPixelDefectOnOff(0, 0), 1);
    ASSERT_EQ(NuvSetShadingCorrectionOnOff(0, 0), 1);
    const auto raw = Frame();
    ASSERT_EQ(NuvSetExposure(0, -7), 1);  // half the exposure time
    const auto half = Frame();
    int hot = 0;
    ForEachPixel(half, [&](int x, int y, std::uint16_t v) {
        const std::uint16_t before = At(raw, x, y);
        if (before == 1023) {
            ++hot;  // the stored defects are stuck at full scale
            ASSERT_EQ(v, 1023) << x << "," << y;
        } else {
            ASSERT_EQ(v, std::lround(before * 0.5)) << x << "," << y;
        }
    });
    EXPECT_GE(hot, 3);
    // Corrected, the halved scene is flat again at half the level.
    ASSERT_EQ(NuvSetPixelDefectOnOff(0, 1), 1);
    ASSERT_EQ(NuvSetShadingCorrectionOnOff(0, 1), 1);
    EXPECT_NEAR(Mean(Frame()), 320.0, 2.0);
}

TEST_F(SimSensorTest, EveryPropertyAndCommandHasAVisibleEffectOverItsRange) {
    ASSERT_EQ(NuvSimSetScene(device_, 300.0), 1);
    Open();
    const double reference = Mean(Frame());
    struct Setting {
        const char *name;
        int low;
        int high;
        decltype(&NuvSetLed) set;
        int start;
        int step;  // the smallest change that moves a light of 300 by a count
    };
    const Setting settings[] = {
        {"led", 0, 64, NuvSetLed, 0, 1},
        {"gain", 0, 240, NuvSetGain, 0, 1},
        {"exposure", -13, 0, NuvSetExposure, -6, 1},
        {"color_bar", 0, 1, NuvSetColorBar, 0, 1},
        {"shutter", 1, 65530, NuvSetShutter, 1000, 2},
    };
    for (const Setting &s : settings) {
        ASSERT_EQ(s.set(0, s.low), 1) << s.name;
        const double low = Mean(Frame());
        ASSERT_EQ(s.set(0, s.high), 1) << s.name;
        const double high = Mean(Frame());
        EXPECT_GT(std::fabs(high - low), 50.0) << s.name << ": " << low << " .. " << high;
        // A small step from the start changes the image as well.
        ASSERT_EQ(s.set(0, s.start + s.step), 1) << s.name;
        EXPECT_NE(Mean(Frame()), reference) << s.name << " a step from its start";
        ASSERT_EQ(s.set(0, s.start), 1) << s.name;
        EXPECT_EQ(Mean(Frame()), reference) << s.name << " back at its start";
    }
    for (int gain = 0; gain < 4; ++gain) {
        unsigned short g[4] = {0x0100, 0x0100, 0x0100, 0x0100};
        g[gain] = 0x0101;  // one step
        ASSERT_EQ(NuvSetDigitalGain(0, g[0], g[1], g[2], g[3]), 1);
        EXPECT_GT(Mean(Frame()), reference) << "digital gain " << gain + 1;
    }
    ASSERT_EQ(NuvSetDigitalGain(0, 0x0100, 0x0100, 0x0100, 0x0100), 1);
    // The camera number picks the stored data that shapes frames without
    // optics.
    NuvClose(0);
    ASSERT_EQ(NuvSimSetScene(device_, -1.0), 1);
    Open();
    const auto first = Frame();
    ASSERT_EQ(NuvSetCameraNo(0, 2), 1);
    ASSERT_EQ(NuvSetPixelDefectOnOff(0, 0), 1);
    ASSERT_EQ(NuvSetShadingCorrectionOnOff(0, 0), 1);
    const auto second = Frame();
    EXPECT_NE(std::vector<std::uint16_t>(first.begin() + 4, first.end()),
              std::vector<std::uint16_t>(second.begin() + 4, second.end()));
}

}  // namespace
