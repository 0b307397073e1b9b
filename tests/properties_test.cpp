// The ten video-property exports and the set/get operations beneath them,
// against the simulated capture filter's property ranges and values.
#include <cmath>
#include <limits>

#include "capture_fixture.h"
#include "control/video_properties.h"

namespace nuv::testing {
namespace {

class Properties : public CaptureWorld {
protected:
    void SetUp() override {
        CaptureWorld::SetUp();
        ASSERT_EQ(OpenPushed(nuv_, 0), 0);
    }
    int Camera(int index) {
        int value = -999;
        EXPECT_EQ(NuvSimGetVideoProperty(nuv_, index, &value), 1);
        return value;
    }
};

TEST_F(Properties, LedRangeIsZeroToSixtyFourComparedUnsigned) {
    const int before = Camera(0);
    EXPECT_EQ(NuvSetLed(0, 65), 0);
    EXPECT_EQ(NuvSetLed(0, -1), 0);
    EXPECT_EQ(Camera(0), before) << "a refused value never reaches the camera";
    EXPECT_EQ(NuvSetLed(0, 0), 1);
    EXPECT_EQ(Camera(0), 0);
    EXPECT_EQ(NuvSetLed(0, 64), 1);
    int led = -1;
    EXPECT_EQ(NuvGetLed(0, &led), 1);
    EXPECT_EQ(led, 64);
}

TEST_F(Properties, GainExposureColourBarAndCameraNumberRanges) {
    EXPECT_EQ(NuvSetGain(0, 241), 0);
    EXPECT_EQ(NuvSetGain(0, -1), 0);
    EXPECT_EQ(NuvSetGain(0, 240), 1);
    EXPECT_EQ(Camera(9), 240);

    EXPECT_EQ(NuvSetExposure(0, 1), 0);
    EXPECT_EQ(NuvSetExposure(0, -14), 0);
    EXPECT_EQ(NuvSetExposure(0, -13), 1);
    EXPECT_EQ(Camera(14), -13);
    EXPECT_EQ(NuvSetExposure(0, 0), 1);
    int exposure = 5;
    EXPECT_EQ(NuvGetExposure(0, &exposure), 1);
    EXPECT_EQ(exposure, 0);

    EXPECT_EQ(NuvSetColorBar(0, 2), 0);
    EXPECT_EQ(NuvSetColorBar(0, -1), 0);
    EXPECT_EQ(NuvSetColorBar(0, 1), 1);
    int bar = 0;
    EXPECT_EQ(NuvGetColorBar(0, &bar), 1);
    EXPECT_EQ(bar, 1);

    EXPECT_EQ(NuvSetCameraNo(0, 0), 0);
    EXPECT_EQ(NuvSetCameraNo(0, 3), 0);
    EXPECT_EQ(Record(0).cameraNumberIndex.load(), 0);
}

TEST_F(Properties, TheCamerasOwnRangeAppliesOnTop) {
    ASSERT_EQ(NuvSimSetVideoProperty(nuv_, 0, 1, 0, 32, 10), 1);
    ASSERT_EQ(NuvSimSetVideoProperty(nuv_, 9, 1, 16, 100, 20), 1);
    EXPECT_EQ(NuvSetLed(0, 40), 0);
    EXPECT_EQ(Camera(0), 10);
    EXPECT_EQ(NuvSetLed(0, 32), 1);
    EXPECT_EQ(NuvSetGain(0, 15), 0);
    EXPECT_EQ(NuvSetGain(0, 101), 0);
    EXPECT_EQ(Camera(9), 20);
    EXPECT_EQ(NuvSetGain(0, 16), 1);
}

TEST_F(Properties, APropertyTheCameraDidNotReportAtOpeningFailsBothWays) {
    // Probed at opening: switching it on in the camera afterwards changes
    // nothing until the next open.
    NuvClose(0);
    ASSERT_EQ(NuvSimSetVideoProperty(nuv_, 9, 0, 0, 240, 30), 1);
    ASSERT_EQ(OpenPushed(nuv_, 0), 0);
    ASSERT_EQ(NuvSimSetVideoProperty(nuv_, 9, 1, 0, 240, 30), 1);
    int gain = -7;
    EXPECT_EQ(NuvSetGain(0, 50), 0);
    EXPECT_EQ(NuvGetGain(0, &gain), 0);
    EXPECT_EQ(gain, -7);
    EXPECT_EQ(Camera(9), 30);
}

TEST_F(Properties, APropertyThatStopsAnsweringFails) {
    ASSERT_EQ(NuvSimSetVideoProperty(nuv_, 1, 0, 0, 1, 0), 1);
    int bar = -7;
    EXPECT_EQ(NuvGetColorBar(0, &bar), 0) << "the range query fails";
    EXPECT_EQ(bar, -7);
    EXPECT_EQ(NuvSetColorBar(0, 1), 0);
}

TEST_F(Properties, GettersWriteOnlyOnSuccessAndRefuseBadHandles) {
    int value = -7;
    EXPECT_EQ(NuvGetLed(-1, &value), 0);
    EXPECT_EQ(NuvGetLed(3, &value), 0);
    EXPECT_EQ(NuvGetGain(-1, &value), 0);
    EXPECT_EQ(NuvGetExposure(3, &value), 0);
    EXPECT_EQ(NuvGetCameraNo(3, &value), 0);
    EXPECT_EQ(NuvGetColorBar(-1, &value), 0);
    EXPECT_EQ(value, -7);
    EXPECT_EQ(NuvGetLed(0, nullptr), 0);
    EXPECT_EQ(NuvSetLed(-1, 1), 0);
    EXPECT_EQ(NuvSetGain(3, 1), 0);
    NuvClose(0);
    EXPECT_EQ(NuvGetLed(0, &value), 0);
    EXPECT_EQ(NuvSetLed(0, 1), 0);
    EXPECT_EQ(value, -7);
}

TEST_F(Properties, SetCameraNoRecordsTheNumberOnlyWhenTheCameraTakesIt) {
    ASSERT_EQ(NuvSetCameraNo(0, 2), 1);
    EXPECT_EQ(Record(0).cameraNumberIndex.load(), 1);
    EXPECT_EQ(Camera(2), 2);
    ASSERT_EQ(NuvSimSetVideoProperty(nuv_, 2, 1, 2, 2, 2), 1);
    EXPECT_EQ(NuvSetCameraNo(0, 1), 0);
    EXPECT_EQ(Record(0).cameraNumberIndex.load(), 1);
}

TEST_F(Properties, GetCameraNoAsksTheCameraNotTheRecord) {
    ASSERT_EQ(NuvSimSetVideoProperty(nuv_, 2, 1, 1, 2, 2), 1);
    int number = 0;
    EXPECT_EQ(NuvGetCameraNo(0, &number), 1);
    EXPECT_EQ(number, 2);
    EXPECT_EQ(Record(0).cameraNumberIndex.load(), 0);
}

TEST_F(Properties, OpeningRecordsTheCamerasNumber) {
    NuvClose(0);
    ASSERT_EQ(NuvSimSetVideoProperty(nuv_, 2, 1, 1, 2, 2), 1);
    ASSERT_EQ(OpenPushed(nuv_, 0), 0);
    EXPECT_EQ(Record(0).cameraNumberIndex.load(), 1);
}

TEST_F(Properties, TheOperationsCheckSlotRunningIndexAndValue) {
    double value = 0.0;
    EXPECT_FALSE(SetProperty(-1, 0, 1.0));
    EXPECT_FALSE(SetProperty(10, 0, 1.0));
    EXPECT_FALSE(SetProperty(1, 0, 1.0)) << "slot 1 does not run";
    EXPECT_FALSE(SetProperty(0, 17, 1.0));
    EXPECT_FALSE(SetProperty(0, -1, 1.0));
    EXPECT_FALSE(GetProperty(0, 17, &value));
    EXPECT_FALSE(GetProperty(0, 0, nullptr));
    EXPECT_FALSE(SetProperty(0, 3, 1.0)) << "saturation is not supported";
    EXPECT_FALSE(SetProperty(0, 0, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(SetProperty(0, 0, 1e12));
    // Truncated toward zero: 12.9 is 12, -0.9 is 0.
    EXPECT_TRUE(SetProperty(0, 0, 12.9));
    EXPECT_TRUE(GetProperty(0, 0, &value));
    EXPECT_EQ(value, 12.0);
    EXPECT_TRUE(SetProperty(0, 14, -0.9));
    EXPECT_EQ(Camera(14), 0);
    EXPECT_TRUE(SetProperty(0, 14, -13.7));
    EXPECT_EQ(Camera(14), -13);
}

TEST_F(Properties, APlainVideoDeviceTakesPropertiesItSupports) {
    const int webcam = NuvSimAddDevice("Webcam", 1);
    ASSERT_EQ(OpenPushed(webcam, 2), 1);
    EXPECT_EQ(NuvSetGain(2, 100), 1);
    int gain = 0;
    EXPECT_EQ(NuvGetGain(2, &gain), 1);
    EXPECT_EQ(gain, 100);
}

}  // namespace
}  // namespace nuv::testing
