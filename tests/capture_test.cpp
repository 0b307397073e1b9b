// Opening, frames, closing and opening by serial number, through the public
// exports against the simulated world; the sample callback's COM face and the
// teardown's refusal are reached internally.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <thread>

#include "capture/sample_grabber_cb.h"
#include "capture_fixture.h"
#include "correction/correction.h"
#include "record_expect.h"

namespace nuv::testing {
namespace {

class OpenClose : public CaptureWorld {};

TEST_F(OpenClose, CyclesLeaveNoFrameworkObjectHandleOrComInitialisationBehind) {
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
        EXPECT_EQ(NuvGetBufferSize(1), kSmallBytes);
        EXPECT_EQ(NuvSimLiveComInits(), 1);
        EXPECT_EQ(Capture().deviceCount.load(), 2);
        EXPECT_EQ(NuvSimRunningStreams(nuv2_), 1);
        NuvClose(1);
        EXPECT_EQ(NuvSimRunningStreams(nuv2_), 0);
        ExpectNothingHeld();
    }
}

TEST_F(OpenClose, RegistersTheCameraWithItsChannelBlockModeMapsAndCameraNumber) {
    ASSERT_EQ(NuvOpen(1, 656, 408, 30.0, "YUY2"), 0);
    const CameraRecord &record = Record(0);
    EXPECT_EQ(record.handle.load(), 1);
    EXPECT_EQ(record.slotIndex.load(), 0);
    EXPECT_EQ(record.kind.load(), 1);
    EXPECT_EQ(record.modeIndex.load(), 1);
    EXPECT_EQ(record.cameraNumberIndex.load(), 0);
    ASSERT_FALSE(record.channel.load() == nullptr);
    auto block = record.parameterBlock.load();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(((*block)[0] << 24) | ((*block)[1] << 16) | ((*block)[2] << 8) | (*block)[3],
              static_cast<int>(kNuv2Serial));
    EXPECT_FALSE(record.gainMaps[0].load() == nullptr);
    EXPECT_FALSE(record.gainMaps[1].load() == nullptr);
    EXPECT_EQ(Slot(0).running.load(), 1);
    EXPECT_EQ(Slot(0).devicePosition, 1);
    EXPECT_STREQ(Slot(0).friendlyName, "NUV2");
    EXPECT_STREQ(Slot(0).formatName, "YUY2");
    EXPECT_EQ(NuvSimOpenHandles(), 1);

    int serial = 0;
    EXPECT_EQ(NuvGetSerialNo(1, &serial), 1);
    EXPECT_EQ(static_cast<unsigned>(serial), kNuv2Serial);
}

TEST_F(OpenClose, ANuvCameraHasNoGainMaps) {
    ASSERT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
    EXPECT_EQ(Record(0).kind.load(), 0);
    EXPECT_TRUE(Record(0).gainMaps[0].load() == nullptr);
    EXPECT_TRUE(Record(0).gainMaps[1].load() == nullptr);
}

TEST_F(OpenClose, RecordsAndSlotsAreTakenLowestFirstAndReused) {
    NuvSimAddCamera("NUV2", 0x00000003, 1);
    ASSERT_EQ(NuvOpen(2, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
    EXPECT_EQ(testing::FindSlot(2), 0);
    EXPECT_EQ(testing::FindSlot(0), -1) << "handle 0 reaches no record until position 0 is open";
    ASSERT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
    EXPECT_EQ(testing::FindSlot(0), 1);
    NuvClose(2);
    EXPECT_EQ(Record(0).handle.load(), -1);
    ASSERT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
    EXPECT_EQ(testing::FindSlot(1), 0);
    EXPECT_EQ(Slot(0).devicePosition, 1);
}

TEST_F(OpenClose, ClosingOneCameraLeavesTheOtherStreamingAndComInitialised) {
    ASSERT_EQ(OpenPushed(nuv_, 0), 0);
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    NuvClose(0);
    EXPECT_EQ(NuvSimLiveComInits(), 1);
    EXPECT_EQ(Capture().deviceCount.load(), 2);
    EXPECT_EQ(NuvSimRunningStreams(nuv2_), 1);
    std::vector<std::uint16_t> image(kSmallWidth * kSmallHeight);
    ASSERT_TRUE(Push(nuv2_, FlatFrame(7), 2.0));
    EXPECT_EQ(NuvReceiveImage(1, image.data()), 1);
    NuvClose(1);
    ExpectNothingHeld();
}

TEST_F(OpenClose, CloseReturnsTheRecordToItsFreeValuesWhateverTheSwitches) {
    ASSERT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
    {
        auto lock = LockRegistry();
        Record(0).defectSwitch = 0;
        Record(0).shadingSwitch = 0;
    }
    NuvClose(1);
    ExpectFree(Record(0));
    EXPECT_EQ(NuvGetBufferSize(1), 0);
    std::uint8_t image[16] = {};
    EXPECT_EQ(NuvReceiveImage(1, image), 0);
}

TEST_F(OpenClose, CloseSwitchesTheLedOffAndIgnoresHandlesThatAreNotOpen) {
    ASSERT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
    ASSERT_EQ(NuvSetLed(0, 40), 1);
    NuvClose(5);
    NuvClose(-1);
    int led = 0;
    EXPECT_EQ(NuvGetLed(0, &led), 1);
    EXPECT_EQ(led, 40);
    NuvClose(0);
    ASSERT_EQ(NuvSimGetVideoProperty(nuv_, 0, &led), 1);
    EXPECT_EQ(led, 0);
}

TEST_F(OpenClose, FormatNamesAreExactAndRefusedBeforeAnythingIsTouched) {
    for (const char *name : {"yuy2", "Y16", "YUY2 ", "", "NV12"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, name), -1);
    }
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, nullptr), -1);
    EXPECT_EQ(NuvSimLiveComInits(), 0);
    EXPECT_EQ(Capture().deviceCount.load(), -1);
    EXPECT_EQ(NuvSimGetDeviceFormat(nuv_, nullptr, nullptr, nullptr, nullptr), 0) << "the device was not set";
}

TEST_F(OpenClose, OpeningAnOpenPositionAgainFailsAndTheFirstKeepsStreaming) {
    ASSERT_EQ(OpenPushed(nuv_, 0), 0);
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_EQ(Record(1).handle.load(), -1);
    std::vector<std::uint16_t> image(kSmallWidth * kSmallHeight);
    ASSERT_TRUE(Push(nuv_, FlatFrame(7), 3.0));
    EXPECT_EQ(NuvReceiveImage(0, image.data()), 1);
}

TEST_F(OpenClose, APlainVideoDeviceOpensForVideoOnlyWithoutVendorCommands) {
    const int webcam = NuvSimAddDevice("Webcam", 1);
    ASSERT_EQ(OpenPushed(webcam, 2), 1);
    const CameraRecord &record = Record(0);
    EXPECT_EQ(record.kind.load(), -1);
    EXPECT_EQ(record.modeIndex.load(), -1);
    EXPECT_TRUE(record.channel.load() == nullptr);
    EXPECT_TRUE(record.parameterBlock.load() == nullptr);
    int serial = 12345;
    EXPECT_EQ(NuvGetSerialNo(2, &serial), 0);
    EXPECT_EQ(serial, 12345);
    EXPECT_EQ(NuvSimOpenHandles(), 0);

    // Frames come through untouched: a plain device gets no correction.
    std::vector<std::uint16_t> frame = FlatFrame(0);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint16_t>(i * 7919u);
    std::vector<std::uint16_t> image(frame.size());
    ASSERT_TRUE(Push(webcam, frame, 1.0));
    ASSERT_EQ(NuvReceiveImage(2, image.data()), 1);
    EXPECT_EQ(image, frame);
    EXPECT_EQ(NuvSetLed(2, 5), 1);

    NuvClose(2);
    int led = -1;
    ASSERT_EQ(NuvSimGetVideoProperty(webcam, 0, &led), 1);
    EXPECT_EQ(led, 0) << "the LED switch-off is tried on any device";
    ExpectNothingHeld();
}

TEST_F(OpenClose, ANuvCameraAtZeroByZeroFailsAfterItsGraphRanAndIsTornDown) {
    ASSERT_EQ(NuvOpen(0, 1280, 720, 15.0, "YUY2"), 0);
    NuvClose(0);
    const long long before = NuvSimFramesDelivered(nuv_);
    EXPECT_EQ(NuvOpen(0, 0, 0, 0.0, "YUY2"), -1);
    int width = 0, height = 0;
    long long interval = 0;
    ASSERT_EQ(NuvSimGetDeviceFormat(nuv_, &width, &height, &interval, nullptr), 1);
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 720);
    EXPECT_EQ(interval, 666667);
    EXPECT_GT(NuvSimFramesDelivered(nuv_), before) << "the graph ran";
    EXPECT_EQ(NuvSimRunningStreams(nuv_), 0);
    ExpectNothingHeld();
}

TEST_F(OpenClose, ZeroSizeAndRateTakeTheLastCaptureSettings) {
    const int webcam = NuvSimAddDevice("Webcam", 1);
    ASSERT_GT(NuvSimAddCapability(webcam, "YUY2", 640, 480, 16, 333333, 0), 0);
    // As right after loading.
    Capture().lastWidth = 640;
    Capture().lastHeight = 480;
    Capture().lastFrameRate = 30.0;
    ASSERT_EQ(NuvOpen(2, 0, 0, 0.0, "YUY2"), 1);
    int width = 0, height = 0;
    long long interval = 0;
    ASSERT_EQ(NuvSimGetDeviceFormat(webcam, &width, &height, &interval, nullptr), 1);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
    EXPECT_EQ(interval, 333333);
    EXPECT_EQ(Slot(0).width, 640) << "the substituted values are the slot's";
    EXPECT_EQ(Slot(0).frameRate, 30.0);
    NuvClose(2);

    ASSERT_EQ(NuvOpen(2, 1280, 720, 15.0, "YUY2"), 1);
    NuvClose(2);
    EXPECT_EQ(Capture().lastWidth, 1280);
    EXPECT_EQ(Capture().lastHeight, 720);
    EXPECT_EQ(Capture().lastFrameRate, 15.0);
    ASSERT_EQ(NuvOpen(2, 0, 0, 0.0, "YUY2"), 1);
    ASSERT_EQ(NuvSimGetDeviceFormat(webcam, &width, &height, &interval, nullptr), 1);
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 720);
    EXPECT_EQ(interval, 666667);
}

TEST_F(OpenClose, TheFrameIntervalIsRoundedFromTheRate) {
    for (const auto &[rate, interval] : {std::pair{30.0, 333333LL}, {15.0, 666667LL}, {60.0, 166667LL}}) {
        SCOPED_TRACE(rate);
        const int result = NuvOpen(0, kSmallWidth, kSmallHeight, rate, "YUY2");
        long long set = 0;
        ASSERT_EQ(NuvSimGetDeviceFormat(nuv_, nullptr, nullptr, &set, nullptr), 1);
        EXPECT_EQ(set, interval);
        if (result != -1) NuvClose(0);
    }
}

TEST_F(OpenClose, AnEleventhOpenIsRefusedBeforeComIsTouchedAndTenCamerasStream) {
    int devices[kCameraCount + 1] = {nuv_, nuv2_};
    for (int i = 2; i <= kCameraCount; ++i) devices[i] = NuvSimAddCamera("NUV2", 0x100u + i, 1);
    for (int i = 0; i < kCameraCount; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(OpenPushed(devices[i], i, 0.5), 0);
        EXPECT_EQ(testing::FindSlot(i), i);
    }
    const HRESULT status = Process().lastComStatus.load();
    const int objects = NuvSimLiveComObjects();
    Process().lastComStatus = 12345;
    EXPECT_EQ(NuvOpen(kCameraCount, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_EQ(Process().lastComStatus.load(), 12345) << "no framework call was made";
    EXPECT_EQ(NuvSimLiveComObjects(), objects);
    Process().lastComStatus = status;

    std::vector<std::uint16_t> image(kSmallWidth * kSmallHeight);
    for (int i = 0; i < kCameraCount; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(Push(devices[i], FlatFrame(static_cast<std::uint16_t>(i)), 1.0));
    }
    {
        auto lock = LockRegistry();
        for (int i = 0; i < kCameraCount; ++i) {
            Record(i).defectSwitch = 0;
            Record(i).shadingSwitch = 0;
        }
    }
    for (int i = 0; i < kCameraCount; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(NuvReceiveImage(i, image.data()), 1);
        EXPECT_EQ(image[100], i) << "each camera hands out its own frame";
    }
    for (int i = 0; i < kCameraCount; ++i) NuvClose(i);
    ExpectNothingHeld();
}

TEST_F(OpenClose, ANegativePositionFailsCleanly) {
    EXPECT_EQ(NuvOpen(-1, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_EQ(NuvSimRunningStreams(nuv_), 0);
    EXPECT_EQ(NuvOpen(-2, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_EQ(Slot(0).buildStatus.load(), kBuildNoDevice);
    ExpectNothingHeld();
}

TEST_F(OpenClose, ACameraWithoutControlInterfaceOrReadableBlockFailsAndIsTornDown) {
    const int orphan = NuvSimAddDevice("NUV", 1);  // no HID interface behind it
    EXPECT_EQ(NuvOpen(2, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_EQ(NuvSimRunningStreams(orphan), 0);
    ExpectNothingHeld();

    const int hid = NuvSimCameraHidInterface(nuv2_);
    ASSERT_GT(hid, 0);
    ASSERT_EQ(NuvSimHidReplyStatus(hid, 0x21, 1, 5), 1);  // a flash read refused
    EXPECT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_EQ(NuvSimRunningStreams(nuv2_), 0);
    ExpectNothingHeld();
}

TEST_F(OpenClose, GainMapsOfAnOpenStartOnCacheLines) {
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    for (int k = 0; k < 2; ++k) {
        const GainMapRef map = Record(0).gainMaps[k].load();
        ASSERT_NE(map, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(map->Storage()) % 64, 0u) << k;
    }
}

TEST_F(OpenClose, AGainMapThatCannotBeAllocatedFailsTheOpenWithNothingHeld) {
    for (int failing = 1; failing <= 2; ++failing) {
        SCOPED_TRACE(failing);
        // The first large buffer is the frame buffer, then the two maps.
        NuvSimFailAllocations(failing, 1);
        EXPECT_EQ(OpenPushed(nuv2_, 1), -1);
        NuvSimFailAllocations(0, 0);
        ExpectNothingHeld();
        EXPECT_EQ(NuvSimLiveAllocations(), 0);
    }
}

// Cameras of one machine may report other report lengths: each channel keeps
// those of its own interface, whatever was opened or listed after it.
TEST_F(OpenClose, EachCameraSendsWithTheReportLengthsOfItsOwnInterface) {
    const int longer = NuvSimCameraHidInterface(nuv2_);
    ASSERT_EQ(NuvSimSetHidReportLengths(longer, 80, 72), 1);
    ASSERT_EQ(OpenPushed(nuv_, 0), 0);
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    char list[256];
    ASSERT_EQ(NuvGetDeviceWithSerialNo(list, sizeof list), 2);
    int serial = 0;
    ASSERT_EQ(NuvGetSerialNo(0, &serial), 1);
    EXPECT_EQ(static_cast<unsigned>(serial), kNuvSerial);
    ASSERT_EQ(NuvGetSerialNo(1, &serial), 1);
    EXPECT_EQ(static_cast<unsigned>(serial), kNuv2Serial);
    const int shorter = NuvSimCameraHidInterface(nuv_);
    EXPECT_EQ(NuvSimHidCommandReport(shorter, NuvSimHidCommandCount(shorter) - 1, nullptr, 0), 65);
    EXPECT_EQ(NuvSimHidCommandReport(longer, NuvSimHidCommandCount(longer) - 1, nullptr, 0), 72);
}

// A device without a "FriendlyName" is listed as an empty name; it still
// takes its position, for the open as for the listing.
TEST_F(OpenClose, ANamelessDeviceKeepsItsPositionForEveryLookup) {
    NuvSimReset();
    NuvSimUseVirtualClock(1);
    const int nameless = NuvSimAddCamera("Nameless", 0x0BADF00D, 1);
    ASSERT_EQ(NuvSimSetFriendlyName(nameless, nullptr), 1);
    nuv_ = NuvSimAddCamera("NUV", kNuvSerial, 1);
    char list[64];
    ASSERT_EQ(NuvGetDevice(list, sizeof list), 2);
    EXPECT_STREQ(list, ",NUV");

    ASSERT_EQ(OpenPushed(nuv_, 1), 0) << "position 1 is the camera";
    int serial = 0;
    EXPECT_EQ(NuvGetSerialNo(1, &serial), 1);
    NuvClose(1);
    EXPECT_EQ(OpenPushed(nameless, 0), 1) << "position 0 is the nameless device, video only";
    NuvClose(0);

    int handle = -1;
    char request[16];
    std::snprintf(request, sizeof request, "NUV#%08X", kNuvSerial);
    Push(nuv_, FlatFrame(100), 0.5);
    ASSERT_EQ(NuvOpenSerialNo(request, &handle, kSmallWidth, kSmallHeight, 30.0), 0);
    EXPECT_EQ(handle, 1);
    NuvClose(1);
    ExpectNothingHeld();
}

// The list an open fetches for itself grows while it does not fit, and no
// size a caller once passed decides what it allocates.
TEST_F(OpenClose, TheOpensOwnListFitsWhateverSizeWasRemembered) {
    for (int i = 0; i < 8; ++i) NuvSimAddDevice(std::string(200, static_cast<char>('a' + i)).c_str(), 1);
    const int last = NuvSimAddCamera("NUV", 0x00C0FFEE, 1);
    for (int remembered : {16, std::numeric_limits<int>::max()}) {
        SCOPED_TRACE(remembered);
        Process().deviceListSize = remembered;
        ASSERT_EQ(OpenPushed(last, 10), 0);
        NuvClose(10);
    }
    ExpectNothingHeld();
}

TEST_F(OpenClose, ACameraNumberThatCannotBeReadFailsTheOpen) {
    ASSERT_EQ(NuvSimSetVideoProperty(nuv2_, 2, 0, 1, 2, 1), 1);
    EXPECT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    ExpectNothingHeld();
}

TEST_F(OpenClose, CloseStopsARunningFirmwareRewriteBeforeTheChannelGoes) {
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    const std::string path =
        (std::filesystem::temp_directory_path() / "nuv_capture_rewrite_close.bin").string();
    {
        std::ofstream image(path, std::ios::binary);
        for (int i = 0; i < 4096; ++i) image.put(static_cast<char>(i * 13));
    }
    const int hid = NuvSimCameraHidInterface(nuv2_);
    NuvSimHoldNewThreads(1);  // the job's worker has written nothing yet
    ASSERT_EQ(NuvSoftRewrite(1, path.c_str()), 1);
    NuvClose(1);
    NuvSimHoldNewThreads(0);
    unsigned char report[128];
    for (int i = 0; i < NuvSimHidCommandCount(hid); ++i) {
        ASSERT_GT(NuvSimHidCommandReport(hid, i, report, sizeof report), 2);
        EXPECT_NE(report[2], 0x20) << "no flash write through a closed camera";
    }
    int elapsed = -5;
    float progress = -5.0f;
    EXPECT_EQ(NuvSoftRewriteState(1, &elapsed, &progress), -1);
    ExpectNothingHeld();
    std::remove(path.c_str());
}

// ---- Build statuses ------------------------------------------------------

class Build : public CaptureWorld {};

TEST_F(Build, EveryFrameworkStepFailureEndsWithItsStatusAndNothingHeld) {
    for (int status : {3, 4, 5, 6, 7, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21}) {
        SCOPED_TRACE(status);
        ASSERT_EQ(NuvSimFailBuildStep(status, 1), 1);
        EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
        EXPECT_EQ(Slot(0).buildStatus.load(), status);
        EXPECT_EQ(Slot(0).running.load(), 0);
        EXPECT_EQ(Capture().deviceBound[0].load(), 0);
        ExpectNothingHeld();
        // One attempt only: the next open finds the step working again.
        ASSERT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
        NuvClose(0);
    }
}

TEST_F(Build, ABindingThatFailsEndsWithTheAddFilterStatus) {
    ASSERT_EQ(NuvSimSetFilterFails(nuv_, 1), 1);
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_EQ(Slot(0).buildStatus.load(), kBuildAddFilter);
    ExpectNothingHeld();
}

TEST_F(Build, ASizeTheDeviceDoesNotOfferFailsSetFormat) {
    EXPECT_EQ(NuvOpen(0, 640, 480, 30.0, "YUY2"), -1);
    EXPECT_EQ(Slot(0).buildStatus.load(), kBuildSetFormat);
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "MJPG"), -1);
    EXPECT_EQ(Slot(0).buildStatus.load(), kBuildSetFormat);
}

TEST_F(Build, APositionBeyondTheLastDeviceBindsNothing) {
    EXPECT_EQ(NuvOpen(5, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_EQ(Slot(0).buildStatus.load(), kBuildNoDevice);
    EXPECT_EQ(NuvSimGetDeviceFormat(nuv_, nullptr, nullptr, nullptr, nullptr), 0);
    ExpectNothingHeld();
}

TEST_F(Build, AnEmptyCategoryFailsWithStatusFive) {
    NuvSimReset();
    NuvSimUseVirtualClock(1);
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_EQ(Slot(0).buildStatus.load(), kBuildClassEnumerator);
    ExpectNothingHeld();
}

TEST_F(Build, NoPlugAndPlayDeviceFailsWithStatusEightButAPluggedCameraOpensLater) {
    NuvSimReset();
    NuvSimUseVirtualClock(1);
    NuvSimAddDevice("Screen capture", 0);
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_EQ(Slot(0).buildStatus.load(), kBuildNoDevices);
    ExpectNothingHeld();
    // The count belonged to a build that opened nothing: a camera plugged in
    // afterwards is counted afresh.
    NuvSimAddCamera("NUV", kNuvSerial, 1);
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
}

TEST_F(Build, RunFailuresAreRetriedThreeTimesInAll) {
    ASSERT_EQ(NuvSimFailBuildStep(kBuildRun, 2), 1);
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0) << "the third attempt runs";
    NuvClose(0);

    ASSERT_EQ(NuvSimFailBuildStep(kBuildRun, 3), 1);
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_EQ(Slot(0).buildStatus.load(), kBuildRun);
    EXPECT_EQ(NuvSimRunningStreams(nuv_), 0);
    ExpectNothingHeld();
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0) << "exactly three attempts were made";
}

TEST_F(Build, ADeviceThatSendsNoFrameIsBuiltThreeTimesWithinTheBound) {
    ASSERT_EQ(NuvSimSetFrameSource(nuv_, 2), 1);
    const unsigned start = NuvSimGetTickCount();
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    const unsigned elapsed = NuvSimGetTickCount() - start;
    EXPECT_EQ(Slot(0).buildStatus.load(), kBuildFirstFrame);
    // Each attempt: the 3000 ms completion wait, then a poll of just over
    // 3000 ms in 1 ms steps.
    EXPECT_GE(elapsed, 3u * (3000u + 3001u));
    EXPECT_LE(elapsed, 3u * (3000u + 3002u));
    EXPECT_EQ(NuvSimRunningStreams(nuv_), 0) << "the graph was stopped before its buffer went";
    ExpectNothingHeld();
}

TEST_F(Build, AFirstFrameFaultIsRetriedLikeASilentDevice) {
    ASSERT_EQ(NuvSimFailBuildStep(kBuildFirstFrame, 2), 1);
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
    NuvClose(0);
    ASSERT_EQ(NuvSimFailBuildStep(kBuildFirstFrame, 3), 1);
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_EQ(Slot(0).buildStatus.load(), kBuildFirstFrame);
}

TEST_F(Build, TheFrameworkResultIsKeptAsTheLastComStatus) {
    ASSERT_EQ(NuvSimFailBuildStep(kBuildConnect, 1), 1);
    EXPECT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_LT(Process().lastComStatus.load(), 0) << "the failed Connect's result";
}

TEST_F(Build, PropertySupportIsProbedFromTheDevice) {
    ASSERT_EQ(NuvSimSetVideoProperty(nuv_, 9, 0, 0, 0, 0), 1);
    ASSERT_EQ(NuvSimSetVideoProperty(nuv_, 16, 1, 0, 10, 5), 1);
    ASSERT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
    for (int k = 0; k < kPropertyCount; ++k) {
        const bool expected = k == 0 || k == 1 || k == 2 || k == 14 || k == 16;
        EXPECT_EQ(Slot(0).propertySupport[k], expected ? 1 : 0) << k;
    }
}

// ---- Teardown --------------------------------------------------------------

class Teardown : public CaptureWorld {};

TEST_F(Teardown, ARefusedStepLeavesTheSlotRunningUntilATeardownSucceeds) {
    ASSERT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
    EXPECT_EQ(TeardownGraph(10), 1);
    EXPECT_EQ(TeardownGraph(3), 1) << "not running";
    ASSERT_EQ(NuvSimFailBuildStep(kBuildMediaControl, 1), 1);
    EXPECT_EQ(TeardownGraph(0), 2);
    EXPECT_EQ(Slot(0).running.load(), 1);
    EXPECT_EQ(NuvSimRunningStreams(nuv_), 1);
    EXPECT_EQ(TeardownGraph(0), 0);
    EXPECT_EQ(Slot(0).running.load(), 0);
    EXPECT_EQ(NuvSimRunningStreams(nuv_), 0);
    ClearRecord(Record(0));
    ExpectNothingHeld();
}

// The grabber lets go of the callback only when it is destroyed: the
// callback must outlive it, or its destructor calls into freed memory (the
// sanitizer builds watch).
TEST_F(Teardown, ARefusedCallbackDetachLeavesTheCallbackAliveUntilTheGrabberIsGone) {
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    ASSERT_EQ(NuvSimFailBuildStep(kBuildSetCallback, 1), 1);  // the detach of the close
    NuvClose(1);
    ExpectNothingHeld();
    EXPECT_EQ(NuvSimLiveAllocations(), 0);
}

TEST_F(Teardown, ARefusedCloseCostsNoLaterOpenAndItsGraphNoLongerDelivers) {
    ASSERT_EQ(OpenPushed(nuv_, 0), 0);
    ASSERT_EQ(NuvSimFailBuildStep(kBuildMediaControl, 1), 1);
    NuvClose(0);
    EXPECT_EQ(Record(0).handle.load(), -1);
    ASSERT_EQ(Slot(0).running.load(), 1) << "the refused graph stays in place";
    const double before = Slot(0).frames.sampleTime.load();
    ASSERT_TRUE(Push(nuv_, FlatFrame(9), 7.0));
    EXPECT_EQ(Slot(0).frames.sampleTime.load(), before) << "nothing reaches the slot any more";

    // The next open tries the teardown again and gets the slot back.
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    EXPECT_EQ(Record(0).handle.load(), 1);
    EXPECT_EQ(NuvSimRunningStreams(nuv_), 0);
    NuvClose(1);
    ExpectNothingHeld();
}

TEST_F(Teardown, ASlotThatKeepsRefusingIsSkippedAndRetriedLater) {
    ASSERT_EQ(OpenPushed(nuv_, 0), 0);
    // Refused at the close, and again when the next open retries it.
    ASSERT_EQ(NuvSimFailBuildStep(kBuildMediaControl, 2), 1);
    NuvClose(0);
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    EXPECT_EQ(Record(0).handle.load(), -1);
    EXPECT_EQ(Record(1).handle.load(), 1) << "record and slot 1: slot 0 is still stuck";
    EXPECT_EQ(Slot(0).running.load(), 1);
    NuvClose(1);
    EXPECT_EQ(NuvSimLiveComInits(), 1) << "the stuck graph keeps the library's COM";

    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    EXPECT_EQ(Record(0).handle.load(), 1) << "the retry succeeded";
    NuvClose(1);
    ExpectNothingHeld();
}

TEST_F(Teardown, ReleaseGraphOfAnEmptySlotIsHarmless) {
    ReleaseGraph(4);
    ReleaseGraph(-1);
    ReleaseGraph(10);
    EXPECT_EQ(NuvSimLiveComObjects(), 0);
}

// ---- Frames ------------------------------------------------------------------

class Frames : public CaptureWorld {
protected:
    void SetUp() override {
        CaptureWorld::SetUp();
        image_.assign(kSmallWidth * kSmallHeight + 8, 0xBEEF);
    }
    void SwitchCorrections(int recordIndex, int on) {
        auto lock = LockRegistry();
        Record(recordIndex).defectSwitch = on;
        Record(recordIndex).shadingSwitch = on;
    }
    std::vector<std::uint16_t> image_;
};

TEST_F(Frames, EachFrameIsHandedOutOnceAndTheFirstAtTimeZeroIsNot) {
    ASSERT_EQ(OpenPushed(nuv2_, 1, 0.0), 0);
    SwitchCorrections(0, 0);
    EXPECT_EQ(NuvGetBufferSize(1), kSmallBytes);
    EXPECT_EQ(NuvReceiveImage(1, image_.data()), 0) << "time 0.0 equals the initial last delivered time";
    EXPECT_EQ(image_[0], 0xBEEF);

    ASSERT_TRUE(Push(nuv2_, FlatFrame(11), 1.0));
    EXPECT_EQ(NuvReceiveImage(1, image_.data()), 1);
    EXPECT_EQ(image_[0], 11);
    image_[0] = 0xBEEF;
    EXPECT_EQ(NuvReceiveImage(1, image_.data()), 0);
    EXPECT_EQ(image_[0], 0xBEEF);

    ASSERT_TRUE(Push(nuv2_, FlatFrame(12), 1.0));
    EXPECT_EQ(NuvReceiveImage(1, image_.data()), 0) << "equal sample times";

    ASSERT_TRUE(Push(nuv2_, FlatFrame(13), 2.0));
    ASSERT_TRUE(Push(nuv2_, FlatFrame(14), 3.0));
    EXPECT_EQ(NuvReceiveImage(1, image_.data()), 1);
    EXPECT_EQ(image_[0], 14) << "only the newest frame is kept";

    const double nan = std::numeric_limits<double>::quiet_NaN();
    ASSERT_TRUE(Push(nuv2_, FlatFrame(15), nan));
    EXPECT_EQ(NuvReceiveImage(1, image_.data()), 1);
    EXPECT_EQ(NuvReceiveImage(1, image_.data()), 1) << "NaN never equals itself";
}

TEST_F(Frames, WithBothSwitchesOffTheBytesAreTheSamplesOwn) {
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    SwitchCorrections(0, 0);
    std::vector<std::uint16_t> frame = FlatFrame(0);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint16_t>(i % 1024);
    ASSERT_TRUE(Push(nuv2_, frame, 1.0));
    ASSERT_EQ(NuvReceiveImage(1, image_.data()), 1);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), image_.begin()));
    EXPECT_EQ(image_[frame.size()], 0xBEEF) << "nothing past the frame";
}

// The shading each camera number's data gives a flat frame.
std::vector<std::uint16_t> ExpectedShading(const ParameterBlock &block, int cameraNumber, std::uint16_t value) {
    const std::shared_ptr<GainMap> map = AllocateGainMap(2);
    EXPECT_TRUE(ComputeGainMap(cameraNumber, map.get(), 2, block));
    std::vector<std::uint16_t> out(map->Count());
    for (std::size_t i = 0; i < map->Count(); ++i) {
        const double product = value * map->Gain(i);
        out[i] = std::isnan(product) ? 0 : (product >= 1024.0 || product <= -1.0) ? 1023
                                                                                    : static_cast<std::uint16_t>(product);
    }
    return out;
}

TEST_F(Frames, CorrectionsUseTheDataOfTheRecordedCameraNumber) {
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    const ParameterBlockRef block = testing::FindParameterBlock(1);
    ASSERT_NE(block, nullptr);
    const auto first = ExpectedShading(*block, 1, 500);
    const auto second = ExpectedShading(*block, 2, 500);
    ASSERT_NE(first, second) << "the two camera numbers carry different shading";
    {
        auto lock = LockRegistry();
        Record(0).defectSwitch = 0;  // a flat frame hides defects anyway
    }

    ASSERT_TRUE(Push(nuv2_, FlatFrame(500), 1.0));
    ASSERT_EQ(NuvReceiveImage(1, image_.data()), 1);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), image_.begin()));

    ASSERT_EQ(NuvSetCameraNo(1, 2), 1);
    ASSERT_TRUE(Push(nuv2_, FlatFrame(500), 2.0));
    ASSERT_EQ(NuvReceiveImage(1, image_.data()), 1);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), image_.begin()));
}

TEST_F(Frames, AnEmptySampleAfterAFrameIsHandedOutWithoutBytes) {
    const int webcam = NuvSimAddDevice("Webcam", 1);
    ASSERT_EQ(OpenPushed(webcam, 2), 1);
    ASSERT_TRUE(Push(webcam, FlatFrame(3), 1.0));
    ASSERT_EQ(NuvReceiveImage(2, image_.data()), 1);
    image_.assign(image_.size(), 0xBEEF);
    ASSERT_EQ(NuvSimPushFrame(webcam, nullptr, 0, 2.0), 1);
    EXPECT_EQ(NuvGetBufferSize(2), 0);
    EXPECT_EQ(NuvReceiveImage(2, image_.data()), 1);
    EXPECT_EQ(image_[0], 0xBEEF);
}

TEST_F(Frames, ASampleLongerThanTheBufferGrowsIt) {
    const int webcam = NuvSimAddDevice("Webcam", 1);
    ASSERT_GT(NuvSimAddCapability(webcam, "MJPG", kSmallWidth, kSmallHeight, 16, 333333, 0), 0);
    std::vector<std::uint8_t> small(100, 1), large(5000, 2);
    ASSERT_EQ(NuvSimPushFrame(webcam, small.data(), 100, 0.5), 1);
    ASSERT_EQ(NuvOpen(2, kSmallWidth, kSmallHeight, 30.0, "MJPG"), 1);
    EXPECT_EQ(NuvGetBufferSize(2), 100);
    ASSERT_EQ(NuvSimPushFrame(webcam, large.data(), 5000, 1.0), 1);
    EXPECT_EQ(NuvGetBufferSize(2), 5000);
    EXPECT_GE(Slot(0).frames.capacity, 5000u);
    std::vector<std::uint8_t> out(6000, 0);
    ASSERT_EQ(NuvReceiveImage(2, out.data()), 1);
    EXPECT_TRUE(std::equal(large.begin(), large.end(), out.begin()));
    EXPECT_EQ(out[5000], 0);
}

TEST_F(Frames, ASampleThatCannotGrowTheBufferIsDroppedAndThePreviousFrameKept) {
    const int webcam = NuvSimAddDevice("Webcam", 1);
    ASSERT_GT(NuvSimAddCapability(webcam, "MJPG", kSmallWidth, kSmallHeight, 16, 333333, 0), 0);
    std::vector<std::uint8_t> small(100, 1), large(5000, 2);
    ASSERT_EQ(NuvSimPushFrame(webcam, small.data(), 100, 0.5), 1);
    ASSERT_EQ(NuvOpen(2, kSmallWidth, kSmallHeight, 30.0, "MJPG"), 1);
    std::vector<std::uint8_t> out(6000, 0);
    ASSERT_EQ(NuvReceiveImage(2, out.data()), 1);
    NuvSimFailAllocations(0, 1);
    ASSERT_EQ(NuvSimPushFrame(webcam, large.data(), 5000, 1.0), 1);
    EXPECT_EQ(NuvGetBufferSize(2), 100);
    EXPECT_EQ(NuvReceiveImage(2, out.data()), 0) << "the dropped sample is not a new frame";
    ASSERT_EQ(NuvSimPushFrame(webcam, large.data(), 5000, 1.5), 1);
    ASSERT_EQ(NuvReceiveImage(2, out.data()), 1);
    EXPECT_EQ(NuvGetBufferSize(2), 5000);
    EXPECT_EQ(out[4999], 2);
}

TEST_F(Frames, ReceiveRefusesBadHandlesNullImagesAndCamerasNotRunning) {
    EXPECT_EQ(NuvReceiveImage(-1, image_.data()), 0);
    EXPECT_EQ(NuvReceiveImage(0, image_.data()), 0);
    EXPECT_EQ(NuvGetBufferSize(-1), 0);
    ASSERT_EQ(OpenPushed(nuv_, 0), 0);
    ASSERT_TRUE(Push(nuv_, FlatFrame(1), 1.0));
    EXPECT_EQ(NuvReceiveImage(0, nullptr), 0);
    EXPECT_EQ(NuvReceiveImage(0, image_.data()), 1) << "the refused call consumed nothing";
}

// ---- The sample callback's COM face ----------------------------------------

TEST(SampleGrabberCallback, AnswersItsTwoInterfacesAndCountsNothing) {
    ewc_SampleGrabberCB callback(9, Slot(9).frames);
    void *out = reinterpret_cast<void *>(1);
    EXPECT_EQ(callback.QueryInterface(IID_ISampleGrabberCB, &out), S_OK);
    EXPECT_EQ(out, static_cast<ISampleGrabberCB *>(&callback));
    out = nullptr;
    EXPECT_EQ(callback.QueryInterface(IID_IUnknown, &out), S_OK);
    EXPECT_EQ(out, static_cast<ISampleGrabberCB *>(&callback));
    EXPECT_EQ(callback.QueryInterface(IID_IBaseFilter, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(callback.AddRef(), 2u);
    EXPECT_EQ(callback.Release(), 1u);
    EXPECT_EQ(callback.SampleCB(1.0, nullptr), S_OK);
    EXPECT_EQ(callback.lastDeliveredTime, 0.0);
}

TEST(SampleGrabberCallback, AnEmptyFirstSampleAllocatesNothing) {
    ewc_SampleGrabberCB callback(9, Slot(9).frames);
    EXPECT_EQ(callback.BufferCB(1.0, nullptr, 0), S_FALSE);
    EXPECT_EQ(Slot(9).frames.buffer, nullptr);
    EXPECT_EQ(Slot(9).frames.length.load(), 0);
    EXPECT_EQ(callback.BufferCB(1.0, nullptr, 10), E_POINTER);
    EXPECT_EQ(callback.BufferCB(1.0, nullptr, -1), E_POINTER);
    std::uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(callback.BufferCB(2.5, bytes, 4), S_OK);
    EXPECT_EQ(Slot(9).frames.length.load(), 4);
    EXPECT_EQ(Slot(9).frames.capacity, 14u) << "the first sample's length plus 10";
    EXPECT_EQ(Slot(9).frames.sampleTime.load(), 2.5);
    ReleaseGraph(9);
    EXPECT_EQ(Slot(9).frames.buffer, nullptr);
    Slot(9).frames.length = 0;
    Slot(9).frames.sampleTime = 0.0;
}

// ---- Open by serial number -----------------------------------------------

class BySerial : public CaptureWorld {};

TEST_F(BySerial, OpensTheListedCameraAndHandsBackItsPosition) {
    int handle = -7;
    EXPECT_EQ(NuvOpenSerialNo("NUV2#00FF0001", &handle, kSmallWidth, kSmallHeight, 30.0), 0);
    EXPECT_EQ(handle, 1);
    EXPECT_EQ(Record(0).handle.load(), 1);
    EXPECT_EQ(Record(0).kind.load(), 1);
    handle = -7;
    EXPECT_EQ(NuvOpenSerialNo("NUV#0012ABCD", &handle, kSmallWidth, kSmallHeight, 30.0), 0);
    EXPECT_EQ(handle, 0);
}

TEST_F(BySerial, RefusesMalformedRequestsWithoutOpening) {
    int handle = -7;
    EXPECT_EQ(NuvOpenSerialNo(nullptr, &handle, kSmallWidth, kSmallHeight, 30.0), -1);
    EXPECT_EQ(NuvOpenSerialNo("NUV2#00FF0001", nullptr, kSmallWidth, kSmallHeight, 30.0), -1);
    EXPECT_EQ(NuvOpenSerialNo("00FF0001", &handle, kSmallWidth, kSmallHeight, 30.0), -1);
    EXPECT_EQ(NuvOpenSerialNo("xNUV#0012ABCD", &handle, kSmallWidth, kSmallHeight, 30.0), -1);
    EXPECT_EQ(NuvOpenSerialNo("NUV#0012ABCDx", &handle, kSmallWidth, kSmallHeight, 30.0), -1);
    EXPECT_EQ(NuvOpenSerialNo("NUV2#00ff0001", &handle, kSmallWidth, kSmallHeight, 30.0), -1);
    const std::string longRequest = "NUV#0012ABCD" + std::string(112, ' ');
    EXPECT_EQ(NuvOpenSerialNo(longRequest.c_str(), &handle, kSmallWidth, kSmallHeight, 30.0), -1);
    EXPECT_EQ(handle, -7);
    ExpectNothingHeld();
}

TEST_F(BySerial, ALowerCaseEntryIsOpenedThenClosedBecauseTheConfirmationIsUpperCase) {
    const int device = NuvSimAddDevice("NUV2", 1);
    char parent[256] = {};
    ASSERT_EQ(NuvSimGetParentInstanceId(device, parent, sizeof parent), 1);
    const int hid = NuvSimAddHidInterface("\\\\?\\hid#lower", parent, "00ab00cd", 0x00AB00CD, 0, 0);
    ASSERT_GT(hid, 0);
    ASSERT_EQ(NuvSimAttachHidInterface(device, hid), 1);
    int handle = -7;
    const long long before = NuvSimFramesDelivered(device);
    EXPECT_EQ(NuvOpenSerialNo("NUV2#00ab00cd", &handle, kSmallWidth, kSmallHeight, 30.0), -1);
    EXPECT_GT(NuvSimFramesDelivered(device), before) << "it was opened";
    EXPECT_EQ(handle, -7);
    ExpectNothingHeld();
}

TEST_F(BySerial, AnAlreadyOpenCameraIsRefusedAndStaysOpen) {
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    int handle = -7;
    EXPECT_EQ(NuvOpenSerialNo("NUV2#00FF0001", &handle, kSmallWidth, kSmallHeight, 30.0), -1);
    EXPECT_EQ(handle, -7);
    EXPECT_EQ(Record(0).handle.load(), 1);
    EXPECT_EQ(NuvSimRunningStreams(nuv2_), 1);
}

TEST_F(BySerial, AFailedConfirmationClosesTheCameraAgain) {
    const int hid = NuvSimCameraHidInterface(nuv2_);
    ASSERT_EQ(NuvSimHidReplyStatus(hid, 0xE0, 100, 3), 1);  // serial number command refused
    int handle = -7;
    EXPECT_EQ(NuvOpenSerialNo("NUV2#00FF0001", &handle, kSmallWidth, kSmallHeight, 30.0), -1);
    EXPECT_EQ(handle, -7);
    NuvSimHidClearFaults(hid);
    ExpectNothingHeld();
}

TEST_F(BySerial, AListSizeOfZeroIsReplacedByTheDefault) {
    Process().deviceListSize = 0;
    int handle = -7;
    EXPECT_EQ(NuvOpenSerialNo("NUV#0012ABCD", &handle, kSmallWidth, kSmallHeight, 30.0), 0);
    EXPECT_EQ(Process().deviceListSize.load(), 1024);
}

// ---- A close on one thread while another uses the camera --------------------

class CloseRace : public CaptureWorld {};

// Frames keep coming (a third thread moves the virtual clock), one thread
// receives, sets properties and sends vendor commands on the camera, and the
// test thread closes it in the middle. Nothing may crash or touch freed
// memory or a closed handle (the sanitizer builds watch), and afterwards
// every call on the handle fails cleanly.
TEST_F(CloseRace, ReceivePropertiesAndCommandsRaceAClose) {
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        const int handle = round % 2;
        ASSERT_EQ(NuvOpen(handle, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
        std::atomic<bool> stop{false};
        Counter received;
        std::thread clock([&] {
            while (!stop.load()) NuvSimAdvanceClock(33);
        });
        std::thread user([&] {
            std::vector<std::uint16_t> image(kSmallWidth * kSmallHeight);
            int value = 0;
            while (!stop.load()) {
                received.Add(NuvReceiveImage(handle, image.data()));
                NuvGetBufferSize(handle);
                NuvSetGain(handle, 10);
                NuvGetLed(handle, &value);
                NuvGetSerialNo(handle, &value);
                NuvSetCameraNo(handle, 1);
            }
        });
        EXPECT_TRUE(received.WaitFor(3));
        NuvClose(handle);
        std::vector<std::uint16_t> image(kSmallWidth * kSmallHeight);
        int value = -5;
        EXPECT_EQ(NuvReceiveImage(handle, image.data()), 0);
        EXPECT_EQ(NuvGetLed(handle, &value), 0);
        EXPECT_EQ(NuvGetSerialNo(handle, &value), 0);
        EXPECT_EQ(value, -5);
        stop = true;
        clock.join();
        user.join();
        ExpectNothingHeld();
    }
}

TEST_F(CloseRace, ReceiversOnOtherCamerasAreUnaffectedByCloses) {
    ASSERT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
    std::atomic<bool> stop{false};
    Counter received;
    std::thread clock([&] {
        while (!stop.load()) NuvSimAdvanceClock(33);
    });
    std::thread user([&] {
        std::vector<std::uint16_t> image(kSmallWidth * kSmallHeight);
        while (!stop.load()) received.Add(NuvReceiveImage(1, image.data()));
    });
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_EQ(NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
        NuvClose(0);
    }
    EXPECT_TRUE(received.WaitFor(received.Value() + 3)) << "camera 1 kept streaming";
    stop = true;
    clock.join();
    user.join();
    NuvClose(1);
    ExpectNothingHeld();
}

}  // namespace
}  // namespace nuv::testing
