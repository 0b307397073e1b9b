// Every test starts from an empty simulated world on the virtual clock and a
// library as freshly loaded, so nothing depends on the machine's speed or on
// the tests before, and nothing sleeps in real time.
#pragma once

#include <gtest/gtest.h>

#include "api/testing.h"
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
