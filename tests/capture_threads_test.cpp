// The capture pipeline driven from several application threads: COM
// initialisations of opens and closes on different threads, listings beside
// opens and closes, and receives racing a close.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "capture_fixture.h"

namespace nuv::testing {
namespace {

// A thread of the application that runs what it is handed, one call at a
// time, and stays alive between calls (COM initialisations belong to it).
class AppThread {
public:
    AppThread() : thread_([this] { Loop(); }) {}
    ~AppThread() {
        Run([this] { done_ = true; });
        thread_.join();
    }
    void Run(std::function<void()> work) {
        std::unique_lock<std::mutex> hold(lock_);
        work_ = std::move(work);
        changed_.notify_all();
        changed_.wait(hold, [&] { return !work_; });
    }

private:
    void Loop() {
        std::unique_lock<std::mutex> hold(lock_);
        while (!done_) {
            changed_.wait(hold, [&] { return static_cast<bool>(work_); });
            work_();
            work_ = nullptr;
            changed_.notify_all();
        }
    }
    std::mutex lock_;
    std::condition_variable changed_;
    std::function<void()> work_;
    bool done_ = false;
    std::thread thread_;
};

class AcrossThreads : public CaptureWorld {};

// The library cannot end a COM initialisation from another thread than the
// one that made it, but it must not make a new one each time either.
TEST_F(AcrossThreads, OpeningOnOneThreadAndClosingOnAnotherNeverPilesUpInitialisations) {
    AppThread opener;
    for (int cycle = 0; cycle < 4; ++cycle) {
        SCOPED_TRACE(cycle);
        int opened = -2;
        opener.Run([&] { opened = OpenPushed(nuv2_, 1); });
        ASSERT_EQ(opened, 0);
        EXPECT_EQ(NuvSimLiveComInits(), 1);
        NuvClose(1);
        EXPECT_EQ(NuvSimLiveComInits(), 1) << "the opener's initialisation, once";
    }
    // A cycle on the opener's own thread gives it back.
    opener.Run([&] {
        ASSERT_EQ(OpenPushed(nuv2_, 1), 0);
        NuvClose(1);
    });
    ExpectNothingHeld();
}

// Listings initialise COM for themselves unless an open holds the library's
// initialisation; they read that state while opens and closes change it.
TEST_F(AcrossThreads, ListingsRunBesideOpensAndCloses) {
    std::atomic<bool> stop{false};
    Counter listed;
    std::thread lister([&] {
        char list[256];
        while (!stop.load()) {
            if (NuvGetDevice(list, sizeof list) == 2) listed.Add();
            NuvGetDeviceWithSerialNo(list, sizeof list);
            NuvGetFormat(1, list, sizeof list);
        }
    });
    for (int cycle = 0; cycle < 20; ++cycle) {
        ASSERT_EQ(OpenPushed(nuv_, 0), 0);
        NuvClose(0);
    }
    EXPECT_TRUE(listed.WaitFor(3));
    stop = true;
    lister.join();
    ExpectNothingHeld();
}

// A frame handed out as new is corrected: a close racing the receive may
// make it fail, never hand out the raw frame.
TEST_F(AcrossThreads, AReceiveRacingACloseNeverHandsOutAnUncorrectedFrame) {
    const std::vector<std::uint16_t> raw = FlatFrame(500);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(OpenPushed(nuv2_, 1, 0.5, 500), 0);
        std::vector<std::uint16_t> corrected(raw.size());
        ASSERT_TRUE(Push(nuv2_, raw, 1.0));
        ASSERT_EQ(NuvReceiveImage(1, corrected.data()), 1);
        ASSERT_NE(corrected, raw) << "the camera's stored data changes a flat frame";

        std::atomic<bool> stop{false};
        Counter received;
        std::atomic<int> uncorrected{0};
        std::thread pusher([&] {
            for (double t = 2.0; !stop.load(); t += 1.0) Push(nuv2_, raw, t);
        });
        std::thread receiver([&] {
            std::vector<std::uint16_t> image(raw.size());
            while (!stop.load()) {
                if (NuvReceiveImage(1, image.data()) != 1) continue;
                received.Add();
                if (image != corrected) ++uncorrected;
            }
        });
        EXPECT_TRUE(received.WaitFor(2));
        NuvClose(1);
        stop = true;
        pusher.join();
        receiver.join();
        EXPECT_EQ(uncorrected.load(), 0);
        ExpectNothingHeld();
    }
}

}  // namespace
}  // namespace nuv::testing
