// Shared by the capture and property tests: a world of the library's
// cameras on the virtual clock, and a tear-down that leaves no camera open.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "api/testing.h"
#include "capture/testing.h"
#include "common/process_state.h"
#include "sim_fixture.h"

namespace nuv::testing {

// Mode index 2: small frames keep the streaming cheap.
inline constexpr int kSmallWidth = 328;
inline constexpr int kSmallHeight = 204;
inline constexpr int kSmallBytes = kSmallWidth * kSmallHeight * 2;

inline constexpr unsigned kNuvSerial = 0x0012ABCD;
inline constexpr unsigned kNuv2Serial = 0x00FF0001;

class CaptureWorld : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        nuv_ = NuvSimAddCamera("NUV", kNuvSerial, 1);
        nuv2_ = NuvSimAddCamera("NUV2", kNuv2Serial, 1);
        ASSERT_GT(nuv_, 0);
        ASSERT_GT(nuv2_, 0);
    }

    // A frame of the small mode whose words all hold value.
    static std::vector<std::uint16_t> FlatFrame(std::uint16_t value) {
        return std::vector<std::uint16_t>(static_cast<std::size_t>(kSmallWidth) * kSmallHeight, value);
    }

    static bool Push(int deviceId, const std::vector<std::uint16_t> &words, double sampleTime) {
        return NuvSimPushFrame(deviceId, words.data(), static_cast<int>(words.size() * 2), sampleTime) == 1;
    }

    // Opens position at the small mode with one pushed frame waiting, so no
    // frame is generated and every later frame is the test's own.
    static int OpenPushed(int deviceId, int position, double firstTime = 0.5, std::uint16_t value = 100) {
        Push(deviceId, FlatFrame(value), firstTime);
        return NuvOpen(position, kSmallWidth, kSmallHeight, 30.0, "YUY2");
    }

    static void ExpectNothingHeld() {
        EXPECT_EQ(NuvSimLiveComObjects(), 0);
        EXPECT_EQ(NuvSimLiveComInits(), 0);
        EXPECT_EQ(NuvSimOpenHandles(), 0);
        EXPECT_EQ(Capture().deviceCount.load(), -1);
        EXPECT_EQ(Process().processComFlag, 0);
        for (int i = 0; i < kCameraCount; ++i) {
            EXPECT_EQ(Slot(i).running.load(), 0) << i;
            EXPECT_EQ(Slot(i).frames.callback, nullptr) << i;
            EXPECT_EQ(Record(i).handle.load(), -1) << i;
        }
    }

    int nuv_ = 0;
    int nuv2_ = 0;
};

}  // namespace nuv::testing
