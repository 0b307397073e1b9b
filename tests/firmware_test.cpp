// The firmware rewrite job end to end against the simulated camera firmware:
// erase, worker writes and verifies, state queries, retries, refusals, and
// the close of a camera whose job runs.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "control_fixture.h"
#include "firmware/rewrite.h"
#include "firmware/testing.h"

namespace nuv {
namespace {

struct Step {
    int state;
    float progress;
};

class RewriteTest : public ControlTest {
protected:
    void SetUp() override {
        ControlTest::SetUp();
        ASSERT_NE(RegisterWithChannel(0, 1), nullptr);
        testing::SetRewriteObserver([this](int state, int, float progress) {
            {
                std::lock_guard<std::mutex> hold(stepsLock);
                steps.push_back(Step{state, progress});
            }
            if (state == kRewriteDone || state == kRewriteFailed) finals.Add();
        });
    }

    void TearDown() override {
        // No job may outlive its test: stop and release it like a close does.
        for (int i = 0; i < kCameraCount; ++i) {
            if (auto channel = Record(i).channel.load()) FinishRewriteBeforeClose(channel.get());
        }
        testing::SetRewriteObserver(nullptr);
        for (const auto &file : files) std::filesystem::remove(file);
        ControlTest::TearDown();
    }

    std::string WriteImage(const std::vector<std::uint8_t> &bytes) {
        // Named after the test: tests run in parallel processes, where a
        // fixture's address can repeat.
        const auto path = std::filesystem::temp_directory_path() /
                          ("nuv_image_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                           "_" + std::to_string(files.size()) + ".bin");
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        files.push_back(path.string());
        return path.string();
    }

    static std::vector<std::uint8_t> Pattern(std::size_t size) {
        std::vector<std::uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3 + (i >> 8));
        return bytes;
    }

    // The job's final state, as an application's query reports it once the
    // worker has published it. The worker needs no real time: the simulated
    // firmware answers at once and every timed wait runs on the virtual
    // clock.
    int WaitFinal(int handle = 0) {
        for (;;) {
            const int published = finals.Value();
            const int state = NuvSoftRewriteState(handle, &elapsed, &progress);
            if (state == kRewriteDone || state == kRewriteFailed) return state;
            if (!finals.WaitFor(published + 1)) return -99;
        }
    }

    // Command code and address of each report the firmware received.
    std::vector<std::pair<int, std::uint32_t>> Wire() const {
        std::vector<std::pair<int, std::uint32_t>> out;
        for (int i = 0; i < Sent(); ++i) {
            const auto r = SentReport(i);
            out.emplace_back(r[2], (std::uint32_t{r[3]} << 16) | (std::uint32_t{r[4]} << 8) | r[5]);
        }
        return out;
    }

    std::vector<Step> Steps() {
        std::lock_guard<std::mutex> hold(stepsLock);
        return steps;
    }

    std::vector<std::string> files;
    std::mutex stepsLock;
    std::vector<Step> steps;
    testing::Counter finals;  // final states the worker published
    int elapsed = -7;
    float progress = -7.0f;
};

using Traffic = std::vector<std::pair<int, std::uint32_t>>;

// ---- A whole job ----------------------------------------------------------------

TEST_F(RewriteTest, ImageOfTwoChunksIsWrittenReadBackAndReportedInQuarterSteps) {
    const auto image = Pattern(112);
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(image).c_str()), 1);
    ASSERT_EQ(WaitFinal(), kRewriteDone);
    EXPECT_FLOAT_EQ(progress, 100.0f);
    EXPECT_EQ(elapsed, 0);

    EXPECT_EQ(Wire(), (Traffic{{0x22, 0x000000}, {0x20, 0}, {0x20, 56}, {0x21, 0}, {0x21, 56}}));
    const auto steps = Steps();
    const std::vector<std::pair<int, float>> expected = {{1, 0.0f},  {1, 25.0f}, {1, 50.0f}, {2, 50.0f},
                                                         {2, 75.0f}, {2, 100.0f}, {0, 100.0f}};
    ASSERT_EQ(steps.size(), expected.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(steps[i].state, expected[i].first) << i;
        EXPECT_FLOAT_EQ(steps[i].progress, expected[i].second) << i;
    }
    EXPECT_EQ(Flash(0, 112), image);
    EXPECT_EQ(Flash(112, 1)[0], 0xFF);
}

TEST_F(RewriteTest, ShortLastChunkIsPaddedWithErasedBytesAndPhasesEndAbove50And100) {
    const auto image = Pattern(100);
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(image).c_str()), 1);
    ASSERT_EQ(WaitFinal(), kRewriteDone);
    EXPECT_FLOAT_EQ(progress, 106.0f);
    const auto second = SentReport(2);  // erase, write 0, write 56
    ASSERT_EQ(second[2], 0x20);
    for (int i = 0; i < 44; ++i) EXPECT_EQ(second[6 + i], image[56 + i]) << i;
    for (int i = 44; i < 56; ++i) EXPECT_EQ(second[6 + i], 0xFF) << i;
    const auto steps = Steps();
    bool sawWriteEnd = false;
    for (const Step &s : steps) {
        if (s.state == kRewriteVerifying && !sawWriteEnd) {
            EXPECT_FLOAT_EQ(s.progress, 56.0f);
            sawWriteEnd = true;
        }
    }
    EXPECT_TRUE(sawWriteEnd);
    EXPECT_EQ(Flash(0, 100), image);
}

TEST_F(RewriteTest, EraseCoversTheSectorsUpToTheImageSize) {
    const struct {
        std::size_t size;
        int lastSector;
    } cases[] = {{65535, 0}, {65536, 1}, {70000, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        NuvSimHidClearCommandLog(hid);
        const auto image = Pattern(c.size);
        ASSERT_EQ(NuvSoftRewrite(0, WriteImage(image).c_str()), 1);
        ASSERT_EQ(WaitFinal(), kRewriteDone);
        const auto erase = SentReport(0);
        EXPECT_EQ(erase[2], 0x22);
        EXPECT_EQ(erase[3], 0);
        EXPECT_EQ(erase[4], c.lastSector);
        EXPECT_EQ(Flash(0, static_cast<int>(c.size)), image);
    }
}

TEST_F(RewriteTest, ElapsedSecondsFollowTheClockThroughTimedOutExchanges) {
    NuvSimHidDropReplies(hid, 0x20, 3);  // three exchanges of 5 s each, then success
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(112)).c_str()), 1);
    ASSERT_EQ(WaitFinal(), kRewriteDone);
    EXPECT_EQ(elapsed, 15);
}

// ---- Retries --------------------------------------------------------------------------

TEST_F(RewriteTest, FiveRefusedWritesAreRetriedAndTheSixthAttemptGoesOn) {
    NuvSimHidReplyStatus(hid, 0x20, 5, 1);
    const auto image = Pattern(112);
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(image).c_str()), 1);
    ASSERT_EQ(WaitFinal(), kRewriteDone);
    EXPECT_EQ(Sent(), 1 + 6 + 1 + 2);
    EXPECT_EQ(Flash(0, 112), image);
}

TEST_F(RewriteTest, SixRefusedWritesInARowFailTheJobKeepingTheLastGoodProgress) {
    NuvSimHidReplyStatusAfter(hid, 0x20, /*skip*/ 1, /*count*/ 6, 1);
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(112)).c_str()), 1);
    ASSERT_EQ(WaitFinal(), kRewriteFailed);
    EXPECT_FLOAT_EQ(progress, 25.0f);
    Traffic expected{{0x22, 0}, {0x20, 0}};
    for (int i = 0; i < 6; ++i) expected.push_back({0x20, 56});
    EXPECT_EQ(Wire(), expected);  // no read-back after a failed write phase
}

TEST_F(RewriteTest, VerifyReadsAreRetriedFiveTimesAndTheSixthFailureEndsTheJob) {
    NuvSimHidDropReplies(hid, 0x21, 5);
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(112)).c_str()), 1);
    ASSERT_EQ(WaitFinal(), kRewriteDone);

    NuvSimHidReplyStatus(hid, 0x21, 6, 1);
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(112)).c_str()), 1);
    ASSERT_EQ(WaitFinal(), kRewriteFailed);
    EXPECT_FLOAT_EQ(progress, 50.0f);
}

TEST_F(RewriteTest, ChunkReadBackDifferentlyIsReadAgainAndTheCountRestartsPerChunk) {
    // Five mismatches on the first chunk, then five on the second: both pass.
    NuvSimHidCorruptFlashRead(hid, 5, 10);
    NuvSimHidCorruptFlashReadAfter(hid, 6, 5, 20);
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(112)).c_str()), 1);
    ASSERT_EQ(WaitFinal(), kRewriteDone);
    EXPECT_EQ(Sent(), 1 + 2 + 6 + 6);

    NuvSimHidClearCommandLog(hid);
    NuvSimHidCorruptFlashRead(hid, 6, 0);
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(112)).c_str()), 1);
    ASSERT_EQ(WaitFinal(), kRewriteFailed);
    EXPECT_EQ(Sent(), 1 + 2 + 6);
    EXPECT_FLOAT_EQ(progress, 50.0f);
}

// ---- Queries ----------------------------------------------------------------------------

TEST_F(RewriteTest, MissingFileFailsAndNoJobIsReported) {
    EXPECT_EQ(NuvSoftRewrite(0, "/no/such/dir/firmware.bin"), 0);
    EXPECT_EQ(NuvSoftRewriteState(0, &elapsed, &progress), -1);
    EXPECT_EQ(elapsed, -7);
    EXPECT_FLOAT_EQ(progress, -7.0f);
    EXPECT_EQ(Sent(), 0);
}

// Only a file on disk is read: a FIFO that nobody writes to (or a device)
// must be refused at once, not wait for a writer forever.
TEST_F(RewriteTest, APathThatIsNoRegularFileIsRefusedWithoutWaiting) {
    std::vector<std::string> paths = {std::filesystem::temp_directory_path().string()};
#if !defined(_WIN32)
    const auto fifo = std::filesystem::temp_directory_path() /
                      ("nuv_fifo_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    files.push_back(fifo.string());
    paths.push_back(fifo.string());
    paths.push_back("/dev/null");
#endif
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        EXPECT_EQ(NuvSoftRewrite(0, path.c_str()), 0);
        EXPECT_EQ(NuvSoftRewriteState(0, &elapsed, &progress), -1);
    }
    EXPECT_EQ(Sent(), 0);
    EXPECT_EQ(NuvSimOpenHandles(), 1) << "only the camera's channel is open";
}

TEST_F(RewriteTest, AnImageThatCannotBeHeldInMemoryFailsBeforeTheErase) {
    const std::string path = WriteImage(Pattern(112));
    NuvSimFailAllocations(0, 1);
    EXPECT_EQ(NuvSoftRewrite(0, path.c_str()), 0);
    EXPECT_EQ(Sent(), 0);
    EXPECT_EQ(NuvSimLiveAllocations(), 0);
    ASSERT_EQ(NuvSoftRewrite(0, path.c_str()), 1) << "the next try goes ahead";
    EXPECT_EQ(WaitFinal(), kRewriteDone);
    EXPECT_EQ(NuvSimLiveAllocations(), 0) << "the final query released the image";
}

TEST_F(RewriteTest, BadArgumentsFailWithNothingSent) {
    const std::string path = WriteImage(Pattern(112));
    EXPECT_EQ(NuvSoftRewrite(-1, path.c_str()), 0);
    EXPECT_EQ(NuvSoftRewrite(9, path.c_str()), 0);
    EXPECT_EQ(NuvSoftRewrite(0, nullptr), 0);
    RegisterCamera(2, 5, nullptr, -1, nullptr, -1, nullptr, nullptr, -1);  // no control channel
    EXPECT_EQ(NuvSoftRewrite(5, path.c_str()), 0);
    EXPECT_EQ(Sent(), 0);

    ASSERT_EQ(NuvSoftRewrite(0, path.c_str()), 1);
    EXPECT_EQ(NuvSoftRewriteState(-1, &elapsed, &progress), -1);
    EXPECT_EQ(NuvSoftRewriteState(0, nullptr, &progress), -1);
    EXPECT_EQ(NuvSoftRewriteState(0, &elapsed, nullptr), -1);
    EXPECT_EQ(WaitFinal(), kRewriteDone);
}

TEST_F(RewriteTest, StartedJobReportsThreeUntilItsWorkerRunsAndOtherCamerasSeeNoJob) {
    // A second camera with its own interface and channel.
    const char *otherPath = "\\\\?\\hid#other";
    ASSERT_GT(NuvSimAddHidInterface(otherPath, "USB\\VID_1B8D&PID_0101\\6&99&0&2", "0000BEEF", 0xBEEF, 0, 0), 0);
    RegisterCamera(1, 1, OpenChannel(otherPath), 1, nullptr, 0, nullptr, nullptr, 0);

    NuvSimHoldNewThreads(1);
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(112)).c_str()), 1);
    EXPECT_EQ(NuvSoftRewriteState(0, &elapsed, &progress), kRewriteStarted);
    EXPECT_FLOAT_EQ(progress, 0.0f);
    int otherElapsed = -3;
    float otherProgress = -3.0f;
    EXPECT_EQ(NuvSoftRewriteState(1, &otherElapsed, &otherProgress), -1);
    EXPECT_EQ(otherElapsed, -3);
    EXPECT_EQ(NuvSoftRewriteState(1, &otherElapsed, &otherProgress), -1);
    EXPECT_EQ(Sent(), 1);  // only the erase so far

    // Starting another job meanwhile is refused and leaves this one alone.
    EXPECT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(56)).c_str()), 0);
    EXPECT_EQ(NuvSoftRewrite(1, WriteImage(Pattern(56)).c_str()), 0);
    EXPECT_EQ(Sent(), 1);
    EXPECT_EQ(NuvSoftRewriteState(0, &elapsed, &progress), kRewriteStarted);

    // The first final query waits for the worker (which a held thread makes
    // run) and releases the job: the worker's handle is closed.
    NuvSimHoldNewThreads(0);
    const int handlesWithWorker = NuvSimOpenHandles();
    ASSERT_EQ(WaitFinal(), kRewriteDone);
    EXPECT_EQ(NuvSimOpenHandles(), handlesWithWorker - 1);
    const int sent = Sent();
    EXPECT_EQ(NuvSoftRewriteState(0, &elapsed, &progress), kRewriteDone);
    EXPECT_FLOAT_EQ(progress, 100.0f);
    EXPECT_EQ(Sent(), sent);
}

TEST_F(RewriteTest, FinishedJobNeverQueriedDoesNotBlockTheNextOne) {
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(56)).c_str()), 1);
    // Let the worker end without querying: a final-state wait on the thread
    // happens inside the next start.
    ASSERT_TRUE(finals.WaitFor(1));
    const auto image = Pattern(168);
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(image).c_str()), 1);
    ASSERT_EQ(WaitFinal(), kRewriteDone);
    EXPECT_EQ(Flash(0, 168), image);
}

// ---- Refusals ----------------------------------------------------------------------------

TEST_F(RewriteTest, EmptyAndParameterSectorReachingImagesAreRefusedBeforeAnythingIsSent) {
    const auto flashBefore = Flash(0x70000, kParameterBlockSize);
    EXPECT_EQ(NuvSoftRewrite(0, WriteImage({}).c_str()), 0);
    EXPECT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(0x70000)).c_str()), 0);
    EXPECT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(0x1000000)).c_str()), 0);
    EXPECT_EQ(Sent(), 0);
    EXPECT_EQ(NuvSoftRewriteState(0, &elapsed, &progress), -1);
    EXPECT_EQ(Flash(0x70000, kParameterBlockSize), flashBefore);
}

TEST_F(RewriteTest, LargestAcceptedImageStopsShortOfTheParameterBlock) {
    const auto flashBefore = Flash(0x70000, kParameterBlockSize);
    const auto image = Pattern(0x70000 - 1);
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(image).c_str()), 1);
    EXPECT_EQ(SentReport(0)[4], 6);  // sectors 0..6
    ASSERT_EQ(WaitFinal(), kRewriteDone);
    EXPECT_EQ(Flash(0, 0x70000 - 1), image);
    EXPECT_EQ(Flash(0x70000, kParameterBlockSize), flashBefore);
}

TEST_F(RewriteTest, RefusedEraseOrWorkerThatCannotStartLeavesNoJob) {
    NuvSimHidReplyStatus(hid, 0x22, 1, 1);
    EXPECT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(112)).c_str()), 0);
    EXPECT_EQ(Sent(), 1);
    EXPECT_EQ(NuvSoftRewriteState(0, &elapsed, &progress), -1);

    const int handles = NuvSimOpenHandles();
    NuvSimFailThreadCreations(1);
    EXPECT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(112)).c_str()), 0);
    EXPECT_EQ(NuvSoftRewriteState(0, &elapsed, &progress), -1);
    EXPECT_EQ(NuvSimOpenHandles(), handles);
    EXPECT_EQ(Sent(), 2);  // erases only

    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(112)).c_str()), 1);
    EXPECT_EQ(WaitFinal(), kRewriteDone);
}

// ---- Close while a job runs ----------------------------------------------------------------

TEST_F(RewriteTest, CloseStopsTheJobBeforeItsNextChunkAndReleasesIt) {
    NuvSimHoldNewThreads(1);
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(112)).c_str()), 1);
    const auto channel = Record(0).channel.load();

    // Another camera's close leaves the job alone.
    auto unrelated = OpenChannel();
    FinishRewriteBeforeClose(unrelated.get());
    unrelated.reset();
    EXPECT_EQ(NuvSoftRewriteState(0, &elapsed, &progress), kRewriteStarted);

    FinishRewriteBeforeClose(channel.get());
    EXPECT_EQ(Wire(), (Traffic{{0x22, 0}}));  // nothing written after the close began
    EXPECT_EQ(NuvSoftRewriteState(0, &elapsed, &progress), kRewriteFailed);

    // As NuvClose goes on: the record drops the channel and every handle of
    // the camera is closed; nothing keeps a stale handle.
    ClearRecord(Record(0));
    EXPECT_EQ(NuvSimOpenHandles(), 1);  // only the test's own reference remains
    EXPECT_EQ(channel.use_count(), 1);
}

TEST_F(RewriteTest, CloseOfAFinishedJobReleasesItAndANewCameraMayRewrite) {
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(Pattern(112)).c_str()), 1);
    FinishRewriteBeforeClose(Record(0).channel.load().get());
    ClearRecord(Record(0));
    EXPECT_EQ(NuvSimOpenHandles(), 0);

    ASSERT_NE(RegisterWithChannel(0, 1), nullptr);
    const auto image = Pattern(56);
    ASSERT_EQ(NuvSoftRewrite(0, WriteImage(image).c_str()), 1);
    ASSERT_EQ(WaitFinal(), kRewriteDone);
    EXPECT_EQ(Flash(0, 56), image);
}

}  // namespace
}  // namespace nuv
