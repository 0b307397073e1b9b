// What the library does when a device service, a framework call or the
// application's own COM state gets in its way, through the public exports
// against the simulated world's fault switches.
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capture_fixture.h"
#include "control/testing.h"
#include "protocol/camera_protocol.h"

namespace nuv::testing {
namespace {

std::string List(int(NUV_CALL *call)(char *, int), int *result, int size = 1024) {
    std::string buffer(static_cast<std::size_t>(size), 'x');
    *result = call(buffer.data(), size);
    return std::string(buffer.c_str());
}

class FaultPoints : public CaptureWorld {
protected:
    void TearDown() override {
        NuvSimClearCallFaults();
        CaptureWorld::TearDown();
    }

    int OpenNuv() { return NuvOpen(0, kSmallWidth, kSmallHeight, 30.0, "YUY2"); }

    void ExpectNoDeviceServiceLeft() {
        EXPECT_EQ(NuvSimLiveHidPreparsedData(), 0);
        EXPECT_EQ(NuvSimLiveDeviceInfoSets(), 0);
        EXPECT_EQ(NuvSimOpenHandles(), 0);
    }
};

// ---- The control interface's device services --------------------------------

// Every service the control-channel search checks can refuse: the open then
// finds no control channel, fails and tears its graph down, and the next
// open, with the service back, succeeds.
TEST_F(FaultPoints, EachRefusedDeviceServiceFailsTheOpenWithNothingLeft) {
    for (const char *call : {"CreateFileA", "HidD_GetPreparsedData", "HidP_GetCaps", "SetupDiEnumDeviceInterfaces",
                             "SetupDiGetDeviceInterfaceDetailA", "CM_Get_Parent", "CM_Get_Device_IDA"}) {
        SCOPED_TRACE(call);
        ASSERT_EQ(NuvSimFailCall(call, -1, 0, -1), 1);
        EXPECT_EQ(OpenNuv(), -1);
        ExpectNothingHeld();
        ExpectNoDeviceServiceLeft();
        EXPECT_EQ(NuvSimRunningStreams(nuv_), 0);
        NuvSimClearCallFaults();
        EXPECT_EQ(OpenNuv(), 0);
        NuvClose(0);
        ExpectNothingHeld();
    }
}

// A member that cannot be read is skipped, and the search goes on to the
// next member with the same key: one refusal costs nothing when a second
// interface of the camera answers.
TEST_F(FaultPoints, ARefusedFirstMemberIsSkippedForTheNextMatch) {
    char parent[256] = {};
    ASSERT_EQ(NuvSimGetParentInstanceId(nuv_, parent, sizeof parent), 1);
    const int second = NuvSimAddHidInterface("\\\\?\\hid#second", parent, "0012ABCD", kNuvSerial, 0, 0);
    ASSERT_GT(second, 0);
    for (const char *call : {"CreateFileA", "HidD_GetPreparsedData", "HidP_GetCaps",
                             "SetupDiGetDeviceInterfaceDetailA", "CM_Get_Parent", "CM_Get_Device_IDA"}) {
        SCOPED_TRACE(call);
        ASSERT_EQ(NuvSimFailCall(call, -1, 0, 1), 1);
        EXPECT_EQ(OpenNuv(), 0);
        NuvSimHidClearCommandLog(second);
        int value = 0;
        EXPECT_EQ(NuvTemperature(0, 1, &value), 1);
        EXPECT_EQ(NuvSimHidCommandCount(second), 1) << "the channel is the second interface";
        NuvClose(0);
        ExpectNothingHeld();
        NuvSimClearCallFaults();
    }
}

// Listing with serials: an interface that cannot be matched, opened or read
// leaves its camera's bare tag, and the call still succeeds.
TEST_F(FaultPoints, ASerialThatCannotBeReadLeavesTheBareTag) {
    int result = 0;
    for (const char *call : {"CreateFileA", "HidD_GetPreparsedData", "HidP_GetCaps", "HidD_GetSerialNumberString",
                             "SetupDiGetDeviceInterfaceDetailA", "CM_Get_Parent", "CM_Get_Device_IDA"}) {
        SCOPED_TRACE(call);
        ASSERT_EQ(NuvSimFailCall(call, -1, 0, 1), 1);
        EXPECT_EQ(List(NuvGetDeviceWithSerialNo, &result), "NUV,NUV2#00FF0001");
        EXPECT_EQ(result, 2);
        ExpectNoDeviceServiceLeft();
        NuvSimClearCallFaults();
    }
    // An interface listing that fails ends the search for that camera only.
    ASSERT_EQ(NuvSimFailCall("SetupDiEnumDeviceInterfaces", -1, 0, 1), 1);
    EXPECT_EQ(List(NuvGetDeviceWithSerialNo, &result), "NUV,NUV2#00FF0001");
    ExpectNoDeviceServiceLeft();
}

// ---- Serial strings are UTF-16 on every build -------------------------------

TEST_F(FaultPoints, SerialTextsNarrowUtf16CodeUnitsWhateverTheStringsLength) {
    NuvSimReset();
    NuvSimUseVirtualClock(1);
    char parent[256] = {};
    const int longOne = NuvSimAddDevice("NUV", 1);
    ASSERT_EQ(NuvSimGetParentInstanceId(longOne, parent, sizeof parent), 1);
    // 63 characters and the terminator fill the 128-byte buffer exactly.
    const std::string sixtyThree = "ABCDEFGH" + std::string(55, 'z');
    NuvSimAttachHidInterface(longOne, NuvSimAddHidInterface("\\\\?\\hid#long", parent, sixtyThree.c_str(), 1, 0, 0));
    const int tooLong = NuvSimAddDevice("NUV2", 1);
    ASSERT_EQ(NuvSimGetParentInstanceId(tooLong, parent, sizeof parent), 1);
    NuvSimAttachHidInterface(tooLong,
                             NuvSimAddHidInterface("\\\\?\\hid#toolong", parent, std::string(64, 'Q').c_str(), 2, 0, 0));
    const int emoji = NuvSimAddDevice("NUV", 1);
    ASSERT_EQ(NuvSimGetParentInstanceId(emoji, parent, sizeof parent), 1);
    // "A", U+1F600 (D83D DE00 in UTF-16), "B": the low bytes are '=' and 0.
    NuvSimAttachHidInterface(emoji, NuvSimAddHidInterface("\\\\?\\hid#emoji", parent, "A\xF0\x9F\x98\x80" "B", 3, 0, 0));
    int result = 0;
    EXPECT_EQ(List(NuvGetDeviceWithSerialNo, &result), "NUV#ABCDEFGH,NUV2,NUV#A=");
    EXPECT_EQ(result, 3);
}

// ---- Format lists ----------------------------------------------------------------

TEST_F(FaultPoints, ARefusedCapabilityCountOrRecordEndsTheFormatList) {
    char list[1024];
    ASSERT_EQ(NuvGetFormat(1, list, sizeof list), 1);
    const std::string full = list;
    ASSERT_EQ(NuvSimFailCall("GetNumberOfCapabilities", -1, 0, 1), 1);
    EXPECT_EQ(NuvGetFormat(1, list, sizeof list), 0);
    EXPECT_EQ(Process().lastComStatus.load(), static_cast<std::int32_t>(E_FAIL));
    // The record of index 2 (328x204 at 30 fps) is refused: it is left out
    // and the records after it close up.
    ASSERT_EQ(NuvSimFailCall("GetStreamCaps", 2, 0, 1), 1);
    EXPECT_EQ(NuvGetFormat(1, list, sizeof list), 1);
    EXPECT_EQ(std::string(list),
              "0,1280,720,30.000030,YUY2,1,656,408,30.000030,YUY2,2,1280,720,59.999880,YUY2,"
              "3,656,408,59.999880,YUY2,4,328,204,59.999880,YUY2,");
    EXPECT_NE(full.find("328,204,30.000030"), std::string::npos);
    EXPECT_EQ(NuvSimLiveComObjects(), 0);
}

// ---- Steps that repeat per device --------------------------------------------

TEST_F(FaultPoints, AStepFailingAtALaterPositionEndsTheListThere) {
    int result = 0;
    ASSERT_EQ(NuvSimFailBuildStepAfter(6, 1, 1), 1) << "the second display name";
    EXPECT_EQ(List(NuvGetDevice, &result), "NUV");
    EXPECT_EQ(result, 1);
    // Position 1's enumeration reads display names 0 and 1 again: the
    // second of those is refused, so camera 1 cannot be bound.
    ASSERT_EQ(NuvSimFailBuildStepAfter(6, 1, 1), 1);
    EXPECT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    EXPECT_EQ(Slot(0).buildStatus.load(), 6);
    ExpectNothingHeld();
    EXPECT_EQ(NuvSimFailBuildStepAfter(8, 0, 1), 0) << "8 is the library's own finding, not a call";
    EXPECT_EQ(NuvSimFailBuildStepAfter(6, -1, 1), 0);
}

// ---- Teardown refused by the framework -------------------------------------------

TEST_F(FaultPoints, ARefusedStopOrAWaitThatTimesOutLeavesAStuckGraphThatNoLongerDelivers) {
    for (const char *call : {"Stop", "WaitForCompletion"}) {
        SCOPED_TRACE(call);
        ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
        ASSERT_EQ(NuvSimFailCall(call, -1, 0, 1), 1);
        NuvClose(1);
        EXPECT_EQ(Record(0).handle.load(), -1) << "the record is cleared all the same";
        EXPECT_EQ(Slot(0).running.load(), 1) << "the graph is left in place";
        const long long delivered = NuvSimFramesDelivered(nuv2_);
        Push(nuv2_, FlatFrame(300), 9.0);
        if (std::string(call) == "Stop") {
            EXPECT_EQ(NuvSimFramesDelivered(nuv2_), delivered + 1) << "a graph that was not stopped still runs";
        }
        EXPECT_EQ(Slot(0).frames.length.load(), kSmallBytes) << "but nothing reaches the slot";
        // The next open retries the teardown, which now succeeds, and takes
        // record and slot 0 again.
        ASSERT_EQ(OpenPushed(nuv_, 0), 0);
        EXPECT_EQ(Record(0).handle.load(), 0);
        EXPECT_EQ(NuvSimRunningStreams(nuv2_), 0);
        NuvClose(0);
        ExpectNothingHeld();
    }
}

// ---- Control-channel faults with a skip count ------------------------------------

TEST_F(FaultPoints, ABlockReadRefusedAtALaterChunkFailsTheOpen) {
    const int hid = NuvSimCameraHidInterface(nuv2_);
    ASSERT_EQ(NuvSimHidEchoAddressAfter(hid, protocol::kCmdFlashRead, 7, 1, 56), 1);
    EXPECT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 30.0, "YUY2"), -1);
    int reads = 0;
    for (int i = 0; i < NuvSimHidCommandCount(hid); ++i) {
        unsigned char report[65];
        NuvSimHidCommandReport(hid, i, report, sizeof report);
        reads += report[2] == protocol::kCmdFlashRead;
    }
    EXPECT_EQ(reads, 8) << "the transfer stops at the chunk that echoed another address";
    ExpectNothingHeld();
}

TEST_F(FaultPoints, WritesFailingPartWayThroughAnUpdateKeepTheCachedList) {
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    const int hid = NuvSimCameraHidInterface(nuv2_);
    NuvDefectEntry before[20];
    ASSERT_EQ(NuvGetPixelDefect(1, 1, 2, before), 1);
    NuvDefectEntry changed[20];
    std::memcpy(changed, before, sizeof changed);
    changed[0].column = 5;
    changed[0].row = 6;
    // The erase and four chunks get through; the fifth write fails.
    ASSERT_EQ(NuvSimHidFailWritesAfter(hid, 5, 1), 1);
    EXPECT_EQ(NuvSetPixelDefect(1, 1, 2, changed), 0);
    NuvDefectEntry after[20];
    ASSERT_EQ(NuvGetPixelDefect(1, 1, 2, after), 1);
    EXPECT_EQ(std::memcmp(after, before, sizeof after), 0);
    EXPECT_EQ(NuvSetPixelDefect(1, 1, 2, changed), 1) << "the next update rewrites everything";
    NuvClose(1);
}

// ---- Replies scripted byte for byte -----------------------------------------------

TEST_F(FaultPoints, ScriptedRepliesAreAcceptedOnlyWhenTheyAnswerTheCommand) {
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    const int hid = NuvSimCameraHidInterface(nuv2_);
    const std::uint8_t next = NextSequenceNumber();
    // The exact reply the firmware would send for temperature sensor 2, with
    // another value: the library takes it.
    std::vector<std::uint8_t> reply(65, 0);
    reply[1] = next;
    reply[2] = protocol::kCmdTemperature;
    reply[3] = 2;
    reply[4] = 99;
    ASSERT_EQ(NuvSimHidScriptReply(hid, reply.data(), static_cast<int>(reply.size())), 1);
    int value = -1;
    EXPECT_EQ(NuvTemperature(1, 2, &value), 1);
    EXPECT_EQ(value, 99);
    // Every reply that is not that (random bytes, any length, the right
    // header on the wrong length, a refusal) fails the exchange and leaves
    // the output alone.
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        const std::uint8_t sequence = NextSequenceNumber();
        const std::size_t length = round % 3 == 0 ? 65 : random() % 130;
        std::vector<std::uint8_t> bytes(length);
        for (auto &b : bytes) b = static_cast<std::uint8_t>(random());
        if (round % 3 == 0 && length > 4) {
            bytes[0] = 0;
            bytes[1] = sequence;
            bytes[2] = protocol::kCmdTemperature;
            bytes[3] = 2;
            if (bytes[64] == 0) bytes[64] = 1;  // a refusal
        }
        if (length == 65 && bytes[0] == 0 && bytes[1] == sequence && bytes[2] == protocol::kCmdTemperature &&
            bytes[64] == 0) {
            continue;  // by chance a good reply
        }
        ASSERT_EQ(NuvSimHidScriptReply(hid, bytes.data(), static_cast<int>(length)), 1);
        value = -7;
        EXPECT_EQ(NuvTemperature(1, 2, &value), 0) << round;
        EXPECT_EQ(value, -7);
    }
    EXPECT_EQ(NuvTemperature(1, 2, &value), 1) << "the camera answers again";
    NuvClose(1);
}

// ---- Timeouts on a streaming camera ----------------------------------------------

// Waiting for a reply moves the virtual clock, and a streaming thread must
// generate every frame that falls due meanwhile: no lock of the simulated
// world may be held across that.
TEST_F(FaultPoints, AnExchangeThatTimesOutReturnsOnACameraThatStreams) {
    ASSERT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
    const int hid = NuvSimCameraHidInterface(nuv2_);
    const long long before = NuvSimFramesDelivered(nuv2_);
    const unsigned start = NuvSimGetTickCount();
    ASSERT_EQ(NuvSimHidDropReplies(hid, protocol::kCmdTemperature, 1), 1);
    int value = -1;
    EXPECT_EQ(NuvTemperature(1, 1, &value), 0);
    EXPECT_GE(NuvSimGetTickCount() - start, 5000u);
    EXPECT_GE(NuvSimFramesDelivered(nuv2_) - before, 140) << "frames went on while the exchange waited";
    ASSERT_EQ(NuvSimHidReplyLate(hid, protocol::kCmdTemperature, 1, 1200), 1);
    EXPECT_EQ(NuvTemperature(1, 1, &value), 1);
    NuvClose(1);
    ExpectNothingHeld();
}

// ---- A firmware rewrite held at a chosen chunk ---------------------------------------

TEST_F(FaultPoints, ARewriteHeldAtAChunkShowsItsStateAndProgress) {
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    const int hid = NuvSimCameraHidInterface(nuv2_);
    const std::string path = ::testing::TempDir() + "nuv_fault_points_image.bin";
    {
        std::vector<unsigned char> image(56 * 8, 0x5A);
        FILE *file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(image.data(), 1, image.size(), file);
        std::fclose(file);
    }
    ASSERT_EQ(NuvSimHidPauseAt(hid, protocol::kCmdFlashWrite, 4), 1);
    ASSERT_EQ(NuvSoftRewrite(1, path.c_str()), 1);

    ASSERT_EQ(NuvSimHidWaitPaused(hid, 60000), 1);
    float percent = -1;
    int elapsed = -1;
    EXPECT_EQ(NuvSoftRewriteState(1, &elapsed, &percent), 1);
    EXPECT_FLOAT_EQ(percent, 25.0f) << "four of eight chunks written";
    ASSERT_EQ(NuvSimHidPauseAt(hid, protocol::kCmdFlashRead, 2), 1);
    ASSERT_EQ(NuvSimHidResume(hid), 1);
    // The same point holds the verify pass now.
    ASSERT_EQ(NuvSimHidWaitPaused(hid, 60000), 1);
    EXPECT_EQ(NuvSoftRewriteState(1, &elapsed, &percent), 2);
    EXPECT_FLOAT_EQ(percent, 50.0f + 50.0f * 2 / 8);
    ASSERT_EQ(NuvSimHidResume(hid), 1);
    // The first final query waits for the worker and releases the job; a
    // close stops what is still running.
    NuvClose(1);
    EXPECT_EQ(NuvSimOpenHandles(), 0);
    std::remove(path.c_str());
}

// ---- The application's COM state ---------------------------------------------------

// A thread the application initialised as multithreaded: the library's own
// initialisation answers S_FALSE and is balanced, so the application keeps
// exactly its own.
TEST_F(FaultPoints, AMultithreadedApplicationThreadKeepsItsOwnInitialisation) {
    ASSERT_EQ(NuvSimComInitialize(0), 0);
    int result = 0;
    EXPECT_EQ(List(NuvGetDevice, &result), "NUV,NUV2");
    EXPECT_EQ(NuvSimLiveComInits(), 1);
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    EXPECT_EQ(Process().processComFlag.load(), 1);
    NuvClose(1);
    EXPECT_EQ(NuvSimLiveComInits(), 1) << "the application's initialisation outlives the close";
    NuvSimComUninitialize();
    ExpectNothingHeld();
}

// A thread in a single-threaded apartment: the library's initialisation is
// refused with RPC_E_CHANGED_MODE, the calls go on, and nothing is undone
// that the library did not do.
TEST_F(FaultPoints, AnApartmentThreadedApplicationThreadListsAndOpensWithoutLosingItsApartment) {
    ASSERT_EQ(NuvSimComInitialize(1), 0);
    EXPECT_EQ(NuvSimComInitialize(0), static_cast<int>(RPC_E_CHANGED_MODE));
    int result = 0;
    EXPECT_EQ(List(NuvGetDevice, &result), "NUV,NUV2");
    EXPECT_EQ(NuvSimLiveComInits(), 1);
    ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
    EXPECT_EQ(Process().processComFlag.load(), 0);
    NuvClose(1);
    EXPECT_EQ(NuvSimLiveComInits(), 1);
    NuvSimComUninitialize();
    ExpectNothingHeld();
}

// ---- The simulated world itself --------------------------------------------------------

TEST_F(FaultPoints, AResetForgetsComInitialisationsThatThreadsStillHold) {
    ASSERT_EQ(NuvSimComInitialize(0), 0);
    std::thread([] { NuvSimComInitialize(1); }).join();
    EXPECT_EQ(NuvSimLiveComInits(), 2);
    NuvSimReset();
    NuvSimUseVirtualClock(1);
    EXPECT_EQ(NuvSimLiveComInits(), 0);
    NuvSimComUninitialize();
    EXPECT_EQ(NuvSimLiveComInits(), 0) << "an initialisation of before the reset is not counted down";
}

TEST_F(FaultPoints, AnUnpluggedCameraSendsNothingMoreAndItsGraphCanStillBeSeen) {
    ASSERT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
    NuvSimAdvanceClock(100);
    ASSERT_EQ(NuvSimUnplugCamera(nuv2_), 1);
    const long long delivered = NuvSimFramesDelivered(nuv2_);
    NuvSimAdvanceClock(1000);
    EXPECT_EQ(NuvSimFramesDelivered(nuv2_), delivered);
    EXPECT_EQ(NuvSimRunningStreams(nuv2_), 1);
    int value = 0;
    EXPECT_EQ(NuvTemperature(1, 1, &value), 0) << "its control channel is gone";
    NuvClose(1);
    EXPECT_EQ(NuvSimRunningStreams(nuv2_), 0);
    ExpectNothingHeld();
    EXPECT_EQ(NuvSimRunningStreams(9999), -1);
}

TEST_F(FaultPoints, SwitchingFramesOffStopsTheFrameAlreadyScheduled) {
    ASSERT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 30.0, "YUY2"), 0);
    NuvSimAdvanceClock(20);  // the next frame falls due within 14 ms
    ASSERT_EQ(NuvSimSetFrameSource(nuv2_, 2), 1);
    const long long delivered = NuvSimFramesDelivered(nuv2_);
    NuvSimAdvanceClock(500);
    EXPECT_EQ(NuvSimFramesDelivered(nuv2_), delivered);
    ASSERT_EQ(NuvSimSetFrameSource(nuv2_, 0), 1);
    NuvSimAdvanceClock(500);
    EXPECT_GT(NuvSimFramesDelivered(nuv2_), delivered);
    NuvClose(1);
}

TEST_F(FaultPoints, FormatsOnlyWithinTheRatesADeviceOffers) {
    EXPECT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 0.5, "YUY2"), -1) << "slower than one frame per second";
    EXPECT_EQ(Slot(0).buildStatus.load(), 12);
    EXPECT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 120.0, "YUY2"), -1) << "faster than offered";
    EXPECT_EQ(NuvOpen(1, kSmallWidth, kSmallHeight, 1.0, "YUY2"), 0);
    NuvClose(1);
    ExpectNothingHeld();
}

}  // namespace
}  // namespace nuv::testing
