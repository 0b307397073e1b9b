// Every test starts from an empty simulated world on the virtual clock and a
// library as freshly loaded, so nothing depends on the machine's speed or on
// the tests before, and nothing sleeps in real time.
#pragma once

#include <gtest/gtest.h>

#include "capture/testing.h"
#include "nuv.h"
#include "nuv_sim.h"

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        NuvSimReset();
        NuvSimUseVirtualClock(1);
    }
    void TearDown() override {
        NuvSimClearBuildFaults();
        nuv::testing::ResetLibrary();
        NuvSimReset();
    }
};

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace nuv::testing {

// A count that other threads raise and a test waits for (never by spinning):
// the wait ends when the count reaches the target, or fails after a
// minute of real time, which only a broken library ever takes.
class Counter {
public:
    void Add(int n = 1) {
        std::lock_guard<std::mutex> hold(lock_);
        count_ += n;
        changed_.notify_all();
    }
    int Value() {
        std::lock_guard<std::mutex> hold(lock_);
        return count_;
    }
    bool WaitFor(int target) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::minutes(1), [&] { return count_ >= target; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int count_ = 0;
};

}  // namespace nuv::testing
