// The registry: free values, look-ups, registration and clearing, and the
// handle frame every export goes through.
#include <memory>

#include "api/registry.h"
#include "capture/testing.h"
#include "api/testing.h"
#include "common/process_state.h"
#include "correction/correction.h"
#include "record_expect.h"
#include "sim_fixture.h"

namespace nuv {
namespace {

class RegistryTest : public SimTest {
protected:
    void TearDown() override {
        for (int i = 0; i < kCameraCount; ++i) ClearRecord(Record(i));
        SimTest::TearDown();
    }
};

TEST_F(RegistryTest, EveryRecordAndSlotStartsFreeAndProcessStateHasItsInitialValues) {
    for (int i = 0; i < kCameraCount; ++i) {
        SCOPED_TRACE(i);
        ExpectFree(Record(i));
        EXPECT_EQ(Slot(i).running.load(), 0);
        EXPECT_EQ(Slot(i).frames.length.load(), 0);
        EXPECT_EQ(Slot(i).frames.buffer, nullptr);
        EXPECT_EQ(Capture().deviceBound[i].load(), 0);
        EXPECT_EQ(Slot(i).frames.callback, nullptr);
    }
    EXPECT_EQ(Capture().lastWidth, 640);
    EXPECT_EQ(Capture().lastHeight, 480);
    EXPECT_EQ(Capture().lastFrameRate, 30.0);
    EXPECT_EQ(Capture().deviceCount.load(), -1);
    EXPECT_EQ(Process().deviceListSize.load(), 1024);
    EXPECT_EQ(Process().processComFlag, 0);
    EXPECT_EQ(Process().lastComStatus.load(), 0);
}

TEST_F(RegistryTest, LookUpsFindTheRegisteredHandleAndNothingElse) {
    auto block = std::make_shared<ParameterBlock>();
    (*block)[0] = 0x12;
    std::shared_ptr<const GainMap> map = GainMap::Allocate(4);
    RegisterCamera(0, 2, nullptr, 1, block, 1, map, nullptr, 0);

    EXPECT_EQ(testing::FindSlot(2), 0);
    EXPECT_EQ(testing::FindParameterBlock(2), block);
    EXPECT_EQ(testing::FindModeIndex(2), 1);
    EXPECT_EQ(testing::FindDefectSwitch(2), 1);
    EXPECT_EQ(testing::FindShadingSwitch(2), 1);
    EXPECT_EQ(Record(0).kind.load(), 1);
    EXPECT_EQ(Record(0).cameraNumberIndex.load(), 0);
    EXPECT_EQ(Record(0).gainMaps[0].load().get(), map.get());

    // Handle 0 is the position of another device: no record holds it.
    EXPECT_EQ(testing::FindSlot(0), -1);
    EXPECT_EQ(testing::FindParameterBlock(0), nullptr);
    EXPECT_EQ(testing::FindModeIndex(0), -1);
    EXPECT_EQ(testing::FindDefectSwitch(0), -1);
    EXPECT_EQ(testing::FindShadingSwitch(0), -1);
    EXPECT_EQ(LookUpCamera(0), nullptr);
    EXPECT_EQ(LookUpCamera(2), &Record(0));
}

TEST_F(RegistryTest, RegistrationLeavesTheSwitchesAndIgnoresSlotsBeyondNine) {
    Record(3).defectSwitch = 0;
    RegisterCamera(3, 7, nullptr, 1, nullptr, 0, nullptr, nullptr, 1);
    EXPECT_EQ(testing::FindDefectSwitch(7), 0);

    RegisterCamera(10, 8, nullptr, 1, nullptr, 0, nullptr, nullptr, 1);
    EXPECT_EQ(testing::FindSlot(8), -1);
    for (int i = 0; i < kCameraCount; ++i) {
        if (i != 3) ExpectFree(Record(i));
    }
}

TEST_F(RegistryTest, ClearingRestoresTheFreeValuesWhateverTheSwitchesWere) {
    RegisterCamera(1, 4, nullptr, 1, std::make_shared<ParameterBlock>(), 2, GainMap::Allocate(1), nullptr, 1);
    Record(1).defectSwitch = 0;
    Record(1).shadingSwitch = 0;
    ClearRecord(Record(1));
    ExpectFree(Record(1));
    EXPECT_EQ(testing::FindSlot(4), -1);
}

TEST_F(RegistryTest, HandleMinusOneIsRefusedAlthoughFreeRecordsHoldIt) {
    // The raw search does match a free record ...
    EXPECT_EQ(FindRecord(-1), &Record(0));
    // ... which is why the export frame refuses -1 before searching.
    EXPECT_EQ(LookUpCamera(-1), nullptr);
    EXPECT_EQ(NuvGetBufferSize(-1), 0);
}

TEST_F(RegistryTest, AReaderKeepsItsSnapshotWhenTheRecordIsCleared) {
    auto block = std::make_shared<ParameterBlock>();
    (*block)[5] = 0xA5;
    RegisterCamera(0, 3, nullptr, 1, block, 0, nullptr, nullptr, 0);
    block.reset();

    ParameterBlockRef snapshot = testing::FindParameterBlock(3);
    ClearRecord(Record(0));
    ASSERT_NE(snapshot, nullptr);
    EXPECT_EQ((*snapshot)[5], 0xA5);
    EXPECT_EQ(snapshot.use_count(), 1);
}

}  // namespace
}  // namespace nuv
