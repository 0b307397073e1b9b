// The control-channel exchange and the parameter-block transfer, against the
// simulated camera firmware.
#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "common/text.h"
#include "control/testing.h"
#include "control_fixture.h"
#include "platform/sim/control_function.h"
#include "platform/sim/world.h"

namespace nuv {
namespace {

class HidTransportTest : public ControlTest {
protected:
    void SetUp() override {
        ControlTest::SetUp();
        channel = OpenChannel();
        ASSERT_NE(channel, nullptr);
    }

    bool Transact(std::uint8_t code, ReplyBlock &reply) {
        CommandBlock command{};
        command[0] = code;
        return HidTransact(*channel, command, reply);
    }

    void SetFirmwareShutter(std::uint16_t value) {
        sim::World::Instance().FindControl(hid)->WithFirmware([&](sim::Firmware &f) { f.shutter = value; });
    }

    ControlChannelRef channel;
};

// ---- Sequence numbers -------------------------------------------------------

TEST_F(HidTransportTest, SequenceNumberAdvancesOncePerReportAndWrapsAfter256) {
    const std::uint8_t start = testing::NextSequenceNumber();
    ReplyBlock reply{};
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(Transact(kCmdRecognition, reply)) << i;
    EXPECT_EQ(testing::NextSequenceNumber(), start);
    ASSERT_TRUE(Transact(kCmdRecognition, reply));
    ASSERT_EQ(Sent(), 257);
    int wraps = 0;
    for (int i = 0; i < 257; ++i) {
        const std::uint8_t carried = SentReport(i)[1];
        EXPECT_EQ(carried, static_cast<std::uint8_t>(start + i)) << i;
        if (i > 0 && SentReport(i - 1)[1] == 255) {
            EXPECT_EQ(carried, 0);
            ++wraps;
        }
    }
    EXPECT_EQ(wraps, 1);
}

TEST_F(HidTransportTest, FailedWriteKeepsTheSequenceNumberAndATimeOutAdvancesIt) {
    ReplyBlock reply{};
    const std::uint8_t start = testing::NextSequenceNumber();
    NuvSimHidFailWrites(hid, 1);
    EXPECT_FALSE(Transact(kCmdRecognition, reply));
    EXPECT_EQ(testing::NextSequenceNumber(), start);
    EXPECT_EQ(Sent(), 0);

    NuvSimHidDropReplies(hid, -1, 1);
    EXPECT_FALSE(Transact(kCmdRecognition, reply));
    EXPECT_EQ(testing::NextSequenceNumber(), static_cast<std::uint8_t>(start + 1));
    EXPECT_EQ(SentReport(0)[1], start);
}

TEST_F(HidTransportTest, NoChannelOrUnusableReportLengthsSendNothing) {
    ReplyBlock reply{};
    reply.fill(0x77);
    const std::uint8_t start = testing::NextSequenceNumber();
    CommandBlock command{};
    command[0] = kCmdRecognition;
    EXPECT_FALSE(HidTransact(ControlChannel(nullptr, 65, 65), command, reply));

    // 64-byte reports cannot carry 63 command bytes out, or the reply block in.
    for (auto lengths : {std::pair{65, 64}, std::pair{64, 65}}) {
        NuvSimSetHidReportLengths(hid, lengths.first, lengths.second);
        auto shortChannel = OpenChannel();
        EXPECT_FALSE(HidTransact(*shortChannel, command, reply));
    }
    EXPECT_EQ(Sent(), 0);
    EXPECT_EQ(testing::NextSequenceNumber(), start);
    EXPECT_EQ(reply[0], 0x77);
}

// ---- Exchanges from several threads -------------------------------------------

// The firmware worker and the application may send on one camera at once:
// each exchange must get the reply to its own command, never the other's.
TEST_F(HidTransportTest, TwoThreadsOnOneChannelEachGetTheReplyToTheirOwnCommand) {
    sim::World::Instance().FindControl(hid)->WithFirmware([](sim::Firmware &f) {
        f.temperature[0] = 41;
        f.temperature[1] = 37;
    });
    constexpr int kEach = 150;
    std::atomic<int> wrong{0};
    std::atomic<int> failed{0};
    auto ask = [&](std::uint8_t selector, std::uint8_t expected) {
        for (int i = 0; i < kEach; ++i) {
            CommandBlock command{};
            command[0] = kCmdTemperature;
            command[1] = selector;
            ReplyBlock reply{};
            if (!HidTransact(*channel, command, reply)) ++failed;
            else if (reply[2] != expected) ++wrong;
        }
    };
    std::thread first(ask, 1, 41);
    std::thread second(ask, 2, 37);
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failed.load(), 0) << "no reply is lost to the other thread";
    ASSERT_EQ(Sent(), 2 * kEach);
    for (int i = 1; i < Sent(); ++i)
        ASSERT_EQ(SentReport(i)[1], static_cast<std::uint8_t>(SentReport(i - 1)[1] + 1)) << i;
}

TEST_F(HidTransportTest, ExchangesOnDifferentChannelsNeverCarryTheSameNumber) {
    const char *otherPath = "\\\\?\\hid#vid_1b8d&pid_0101&mi_02#7&99&0&0000#{4d1e55b2}";
    const int other = NuvSimAddHidInterface(otherPath, "USB\\VID_1B8D&PID_0101\\6&99&0&2", "9", 9, 0, 0);
    ASSERT_GT(other, 0);
    ControlChannelRef otherChannel = OpenChannel(otherPath);
    ASSERT_NE(otherChannel, nullptr);
    constexpr int kEach = 100;  // 200 exchanges in all: fewer than 256 numbers
    auto send = [](const ControlChannel &ch) {
        CommandBlock command{};
        command[0] = kCmdRecognition;
        ReplyBlock reply{};
        for (int i = 0; i < kEach; ++i) HidTransact(ch, command, reply);
    };
    std::thread first(send, std::cref(*channel));
    std::thread second(send, std::cref(*otherChannel));
    first.join();
    second.join();
    std::set<int> numbers;
    for (int id : {hid, other}) {
        ASSERT_EQ(NuvSimHidCommandCount(id), kEach);
        for (int i = 0; i < kEach; ++i) {
            unsigned char report[65];
            ASSERT_EQ(NuvSimHidCommandReport(id, i, report, sizeof report), 65);
            numbers.insert(report[1]);
        }
    }
    EXPECT_EQ(numbers.size(), 2u * kEach);
}

// A refused write gives its number back only while nobody took one since.
TEST_F(HidTransportTest, AFailedWriteGivesItsNumberBack) {
    ReplyBlock reply{};
    const std::uint8_t start = testing::NextSequenceNumber();
    NuvSimHidFailWrites(hid, 3);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(Transact(kCmdRecognition, reply));
    EXPECT_EQ(testing::NextSequenceNumber(), start);
    ASSERT_TRUE(Transact(kCmdRecognition, reply));
    EXPECT_EQ(SentReport(0)[1], start);
}

// ---- Reply matching -----------------------------------------------------------

TEST_F(HidTransportTest, RepliesWithAnotherSequenceNumberOrCommandCodeAreSkipped) {
    ReplyBlock reply{};
    const DWORD before = os::GetTickCount();
    // A stray report first, then the true reply: the exchange takes the latter.
    NuvSimHidReplyMismatched(hid, kCmdGetShutter, 1, /*sequence*/ 0, /*code*/ 1, /*thenAnswer*/ 1);
    NuvSimHidReplyMismatched(hid, kCmdGetShutter, 1, /*sequence*/ 1, /*code*/ 0, /*thenAnswer*/ 1);
    EXPECT_TRUE(Transact(kCmdGetShutter, reply));
    EXPECT_EQ(reply[0], kCmdGetShutter);
    EXPECT_TRUE(Transact(kCmdGetShutter, reply));
    EXPECT_LT(os::GetTickCount() - before, 10u);

    // Only the stray report: the exchange runs into its deadline.
    reply.fill(0x55);
    NuvSimHidReplyMismatched(hid, kCmdGetShutter, 1, 0, 1, 0);
    EXPECT_FALSE(Transact(kCmdGetShutter, reply));
    EXPECT_EQ(reply[0], 0x55);
}

TEST_F(HidTransportTest, TimeOutEndsTheExchangeAtTheDeadlineEvenAcrossATickWrap) {
    ReplyBlock reply{};
    for (std::uint32_t start : {1000u, 0xFFFFF000u}) {
        NuvSimSetClock(start);
        NuvSimHidDropReplies(hid, -1, 1);
        EXPECT_FALSE(Transact(kCmdRecognition, reply));
        const std::uint32_t spent = NuvSimGetTickCount() - start;
        EXPECT_GE(spent, kReplyDeadlineMs);
        EXPECT_LE(spent, kReplyDeadlineMs + 2);
        // And an answered exchange just before the wrap costs no time.
        NuvSimSetClock(0xFFFFFFFFu);
        EXPECT_TRUE(Transact(kCmdRecognition, reply));
        EXPECT_EQ(NuvSimGetTickCount(), 0xFFFFFFFFu);
    }
}

TEST_F(HidTransportTest, LateReplyIsSkippedByTheNextExchange) {
    ReplyBlock reply{};
    SetFirmwareShutter(1000);
    NuvSimHidReplyLate(hid, kCmdGetShutter, 1, kReplyDeadlineMs + 500);
    EXPECT_FALSE(Transact(kCmdGetShutter, reply));

    // The stale answer (1000) reaches the next exchange of the same command
    // first; only the one with its own sequence number counts.
    SetFirmwareShutter(2000);
    ASSERT_TRUE(Transact(kCmdGetShutter, reply));
    EXPECT_EQ((reply[1] << 8) | reply[2], 2000);
}

TEST_F(HidTransportTest, StatusIsHandedBackNotJudged) {
    ReplyBlock reply{};
    NuvSimHidReplyStatus(hid, kCmdRecognition, 1, 1);
    EXPECT_TRUE(Transact(kCmdRecognition, reply));
    EXPECT_EQ(reply[62], 1);
    EXPECT_TRUE(Transact(kCmdRecognition, reply));
    EXPECT_EQ(reply[62], 0);
}

// ---- Report layout ------------------------------------------------------------

TEST_F(HidTransportTest, CommandByte63NeverReachesTheWireWhateverTheReportLength) {
    CommandBlock command{};
    command[0] = kCmdSetRegister;
    for (int i = 1; i < 63; ++i) command[i] = static_cast<std::uint8_t>(i);
    command[63] = 0xEE;
    ReplyBlock reply{};
    for (int length : {65, 80}) {
        NuvSimSetHidReportLengths(hid, length, length);
        auto ch = OpenChannel();
        NuvSimHidClearCommandLog(hid);
        const std::uint8_t sequence = testing::NextSequenceNumber();
        ASSERT_TRUE(HidTransact(*ch, command, reply)) << length;
        EXPECT_EQ(reply[0], kCmdSetRegister);
        const auto report = SentReport(0);
        ASSERT_EQ(report.size(), static_cast<std::size_t>(length));
        EXPECT_EQ(report[0], 0);
        EXPECT_EQ(report[1], sequence);
        for (int i = 0; i < 63; ++i) EXPECT_EQ(report[2 + i], command[i]) << i;
        // (Byte 1 is the sequence number, which may be 0xEE by itself.)
        EXPECT_EQ(std::count(report.begin() + 2, report.end(), 0xEE), 0);
        EXPECT_TRUE(std::all_of(report.begin() + 65, report.end(), [](std::uint8_t b) { return b == 0; }));
    }
}

// ---- Parameter block ----------------------------------------------------------

TEST_F(HidTransportTest, ParameterBlockReadsTheSectorInTwentyOneChunks) {
    ParameterBlock block{};
    ASSERT_TRUE(ReadParameterBlock(*channel, block));
    const auto flash = Flash(kParameterBlockAddress, kParameterBlockSize);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), flash.begin()));
    EXPECT_EQ(block[0], 0x12);
    EXPECT_EQ(block[3], 0x78);
    ASSERT_EQ(Sent(), 21);
    for (int i = 0; i < 21; ++i) {
        const auto report = SentReport(i);
        const std::uint32_t address = 0x70000 + 56u * static_cast<std::uint32_t>(i);
        EXPECT_EQ(report[2], kCmdFlashRead);
        EXPECT_EQ(report[3], address >> 16);
        EXPECT_EQ(report[4], (address >> 8) & 0xFF);
        EXPECT_EQ(report[5], address & 0xFF);
    }
}

TEST_F(HidTransportTest, ChunkEchoingAnotherAddressOrStatusFailsTheTransferThere) {
    ParameterBlock block{};
    block.fill(0x3C);
    NuvSimHidEchoAddress(hid, kCmdFlashRead, 1, 56);
    EXPECT_FALSE(ReadParameterBlock(*channel, block));
    EXPECT_EQ(Sent(), 1);
    EXPECT_EQ(block[0], 0x3C);

    NuvSimHidClearCommandLog(hid);
    NuvSimHidEchoAddress(hid, kCmdFlashWrite, 1, 1);
    EXPECT_FALSE(WriteParameterBlock(*channel, block));
    EXPECT_EQ(Sent(), 1);

    // A refused chunk in the middle: the later chunks are not sent.
    NuvSimHidClearCommandLog(hid);
    ASSERT_TRUE(FlashWriteChunk(*channel, 0x100000, block.data()));
    NuvSimHidReplyStatus(hid, kCmdFlashRead, 1, 1);
    ASSERT_TRUE(FlashReadChunk(*channel, 0x100000, block.data()) == false);
    EXPECT_EQ(Sent(), 2);
}

TEST_F(HidTransportTest, UpdateErasesWritesAndOnlyThenReplacesTheCache) {
    LockedRef<ParameterBlockRef> cache;
    auto original = std::make_shared<ParameterBlock>();
    ASSERT_TRUE(ReadParameterBlock(*channel, *original));
    cache.store(original);
    NuvSimHidClearCommandLog(hid);

    ASSERT_TRUE(UpdateParameterBlock(*channel, cache, [](ParameterBlock &b) { b[100] = 0x42; }));
    ASSERT_EQ(Sent(), 22);
    EXPECT_EQ(SentReport(0)[2], kCmdFlashErase);
    EXPECT_EQ(SentReport(0)[3], 7);
    EXPECT_EQ(SentReport(0)[4], 7);
    for (int i = 1; i < 22; ++i) EXPECT_EQ(SentReport(i)[2], kCmdFlashWrite);
    const auto updated = cache.load();
    EXPECT_NE(updated, original);
    EXPECT_EQ((*updated)[100], 0x42);
    EXPECT_EQ((*original)[100] == 0x42, false);
    const auto flash = Flash(kParameterBlockAddress, kParameterBlockSize);
    EXPECT_TRUE(std::equal(updated->begin(), updated->end(), flash.begin()));
}

TEST_F(HidTransportTest, FailedEraseSendsNoWriteAndKeepsTheCache) {
    LockedRef<ParameterBlockRef> cache;
    auto original = std::make_shared<ParameterBlock>();
    ASSERT_TRUE(ReadParameterBlock(*channel, *original));
    cache.store(original);
    const auto flashBefore = Flash(kParameterBlockAddress, kParameterBlockSize);
    NuvSimHidClearCommandLog(hid);

    NuvSimHidReplyStatus(hid, kCmdFlashErase, 1, 1);
    EXPECT_FALSE(UpdateParameterBlock(*channel, cache, [](ParameterBlock &b) { b[0] = 0; }));
    EXPECT_EQ(Sent(), 1);
    EXPECT_EQ(cache.load(), original);
    EXPECT_EQ(Flash(kParameterBlockAddress, kParameterBlockSize), flashBefore);
}

TEST_F(HidTransportTest, FailedWriteAfterTheEraseKeepsTheCacheAndTheNextUpdateRewritesEverything) {
    LockedRef<ParameterBlockRef> cache;
    auto original = std::make_shared<ParameterBlock>();
    ASSERT_TRUE(ReadParameterBlock(*channel, *original));
    cache.store(original);

    NuvSimHidDropReplies(hid, kCmdFlashWrite, 1);
    EXPECT_FALSE(UpdateParameterBlock(*channel, cache, [](ParameterBlock &b) { b[5] = 0x99; }));
    EXPECT_EQ(cache.load(), original);
    // Only the first chunk reached the flash before the transfer stopped.
    EXPECT_EQ(Flash(kParameterBlockAddress + 56, 1)[0], 0xFF);

    ASSERT_TRUE(UpdateParameterBlock(*channel, cache, [](ParameterBlock &) {}));
    const auto flash = Flash(kParameterBlockAddress, kParameterBlockSize);
    EXPECT_TRUE(std::equal(original->begin(), original->end(), flash.begin()));
}

// ---- The simulated firmware's flash -------------------------------------------

TEST_F(HidTransportTest, FlashBehavesLikeNorWriteClearsBitsEraseSetsWholeSectors) {
    std::uint8_t ones[56];
    std::uint8_t pattern[56];
    std::fill(std::begin(ones), std::end(ones), 0xF0);
    std::fill(std::begin(pattern), std::end(pattern), 0x3C);
    const ControlChannel &h = *channel;
    ASSERT_TRUE(FlashWriteChunk(h, 0x20000, ones));
    ASSERT_TRUE(FlashWriteChunk(h, 0x20000, pattern));  // no erase between: bits only clear
    EXPECT_EQ(Flash(0x20000, 1)[0], 0x30);
    ASSERT_TRUE(FlashErase(h, 2, 2));
    EXPECT_EQ(Flash(0x20000, 1)[0], 0xFF);
    // Erase reaches sector boundaries only.
    ASSERT_TRUE(FlashWriteChunk(h, 0x2FFF0, pattern));
    ASSERT_TRUE(FlashErase(h, 3, 3));
    EXPECT_EQ(Flash(0x2FFF0, 1)[0], 0x3C);
    EXPECT_EQ(Flash(0x30000, 1)[0], 0xFF);
    // Past the end of the 16 MiB flash: refused.
    EXPECT_FALSE(FlashWriteChunk(h, 0xFFFFF0, pattern));
}

TEST_F(HidTransportTest, UnknownCommandIsAnsweredWithNonZeroStatus) {
    ReplyBlock reply{};
    ASSERT_TRUE(Transact(0x77, reply));
    EXPECT_EQ(reply[0], 0x77);
    EXPECT_NE(reply[62], 0);
}

TEST_F(HidTransportTest, UnpluggedInterfaceFailsWritesAndItsPathNoLongerOpens) {
    ReplyBlock reply{};
    const std::uint8_t start = testing::NextSequenceNumber();
    ASSERT_TRUE(NuvSimRemoveHidInterface(hid));
    EXPECT_FALSE(Transact(kCmdRecognition, reply));
    EXPECT_EQ(testing::NextSequenceNumber(), start);
    EXPECT_EQ(OpenChannel(), nullptr);
}

TEST_F(HidTransportTest, CapabilitiesComeFromTheInterfaceAndPreparsedDataIsFreed) {
    NuvSimSetHidReportLengths(hid, 100, 72);
    const auto opened = OpenChannel();
    EXPECT_EQ(opened->inputLength(), 100u);
    EXPECT_EQ(opened->outputLength(), 72u);
    EXPECT_EQ(NuvSimLiveHidPreparsedData(), 0);
    EXPECT_EQ(NuvSimHidOpenFlags(hid), static_cast<int>(kControlChannelFlags));

    // UTF-16 units on every build: two bytes each, the terminator included.
    static_assert(sizeof(WCHAR) == 2);
    WCHAR serial[16] = {};
    ASSERT_TRUE(os::HidD_GetSerialNumberString(channel->handle(), serial, sizeof serial));
    EXPECT_EQ(std::basic_string<WCHAR>(serial), std::basic_string<WCHAR>(WideLiteral("12345678").get()));
    EXPECT_FALSE(os::HidD_GetSerialNumberString(channel->handle(), serial, 8 * sizeof(WCHAR)));
    EXPECT_TRUE(os::HidD_GetSerialNumberString(channel->handle(), serial, 9 * sizeof(WCHAR)));
}

}  // namespace
}  // namespace nuv
