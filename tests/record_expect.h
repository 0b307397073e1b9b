// The free values of an open-camera record, as every clearing leaves them.
#pragma once

#include <gtest/gtest.h>

#include "api/registry.h"

namespace nuv {

inline void ExpectFree(const CameraRecord &record) {
    EXPECT_EQ(record.slotIndex.load(), -1);
    EXPECT_EQ(record.handle.load(), -1);
    EXPECT_TRUE(record.channel.load() == nullptr);
    EXPECT_EQ(record.kind.load(), -1);
    EXPECT_TRUE(record.parameterBlock.load() == nullptr);
    EXPECT_EQ(record.modeIndex.load(), -1);
    EXPECT_EQ(record.cameraNumberIndex.load(), -1);
    EXPECT_TRUE(record.gainMaps[0].load() == nullptr);
    EXPECT_TRUE(record.gainMaps[1].load() == nullptr);
    EXPECT_EQ(record.defectSwitch.load(), 1);
    EXPECT_EQ(record.shadingSwitch.load(), 1);
}

}  // namespace nuv
