// The vendor command exports on a registered camera with a control channel,
// end to end through the transport and the simulated firmware.
#include <cstring>
#include <string>

#include "control_fixture.h"

namespace nuv {
namespace {

constexpr int kNuv = 0;
constexpr int kNuv2 = 1;

class VendorCommandTest : public ControlTest {
protected:
    // The command bytes (command byte 0 onward) of the report sent last.
    std::vector<std::uint8_t> LastCommand() const {
        const auto report = SentReport(Sent() - 1);
        return std::vector<std::uint8_t>(report.begin() + 2, report.end());
    }
};

// ---- The frame every command goes through ---------------------------------------

TEST_F(VendorCommandTest, BadHandleMissingChannelOrNullOutputSendsNothing) {
    RegisterWithChannel(3, kNuv);
    RegisterCamera(1, 4, nullptr, -1, nullptr, -1, nullptr, nullptr, -1);  // video only
    unsigned char byte = 0x11;
    int value = 0x2222;
    unsigned short gains[4] = {1, 2, 3, 4};
    char text[64] = "untouched";
    for (int handle : {-1, 5, 4}) {
        SCOPED_TRACE(handle);
        EXPECT_EQ(NuvCameraRecognition(handle, &byte), 0);
        EXPECT_EQ(NuvUSBMode(handle, &byte), 0);
        EXPECT_EQ(NuvTemperature(handle, 1, &value), 0);
        EXPECT_EQ(NuvSetDigitalGain(handle, 1, 1, 1, 1), 0);
        EXPECT_EQ(NuvGetDigitalGain(handle, &gains[0], &gains[1], &gains[2], &gains[3]), 0);
        EXPECT_EQ(NuvSetShutter(handle, 100), 0);
        EXPECT_EQ(NuvSetSerialNo(handle, 1), 0);
        EXPECT_EQ(NuvGetSerialNo(handle, &value), 0);
        EXPECT_EQ(NuvVersion(handle, text, sizeof text), 0);
        EXPECT_EQ(NuvSetRegister(handle, 1, 1), 0);
    }
    EXPECT_EQ(NuvCameraRecognition(3, nullptr), 0);
    EXPECT_EQ(NuvUSBMode(3, nullptr), 0);
    EXPECT_EQ(NuvGPIOInput(3, nullptr), 0);
    EXPECT_EQ(NuvTemperature(3, 1, nullptr), 0);
    EXPECT_EQ(NuvGetDigitalGain(3, &gains[0], nullptr, &gains[2], &gains[3]), 0);
    EXPECT_EQ(NuvGetShutter(3, nullptr), 0);
    EXPECT_EQ(NuvGetSerialNo(3, nullptr), 0);
    EXPECT_EQ(NuvVersion(3, nullptr, 64), 0);
    EXPECT_EQ(NuvVersion(3, text, 0), 0);
    EXPECT_EQ(NuvVersion(3, text, -5), 0);
    EXPECT_EQ(Sent(), 0);
    EXPECT_EQ(byte, 0x11);
    EXPECT_EQ(value, 0x2222);
    EXPECT_EQ(gains[0], 1);
    EXPECT_STREQ(text, "untouched");
}

TEST_F(VendorCommandTest, NonZeroStatusFailsEveryCommandAndLeavesOutputs) {
    RegisterWithChannel(0, kNuv);
    unsigned char byte = 0x11;
    int value = 0x2222;
    unsigned short gain = 7;
    char text[64] = "untouched";
    NuvSimHidReplyStatus(hid, -1, 100, 3);
    EXPECT_EQ(NuvCameraRecognition(0, &byte), 0);
    EXPECT_EQ(NuvGPIOInput(0, &byte), 0);
    EXPECT_EQ(NuvGPIODirection(0, 1), 0);
    EXPECT_EQ(NuvTemperature(0, 2, &value), 0);
    EXPECT_EQ(NuvGetSerialNo(0, &value), 0);
    EXPECT_EQ(NuvGetShutter(0, &gain), 0);
    EXPECT_EQ(NuvSetShutter(0, 5), 0);
    EXPECT_EQ(NuvVersion(0, text, sizeof text), 0);
    EXPECT_EQ(Sent(), 8);
    EXPECT_EQ(byte, 0x11);
    EXPECT_EQ(value, 0x2222);
    EXPECT_EQ(gain, 7);
    EXPECT_STREQ(text, "untouched");
}

TEST_F(VendorCommandTest, NoReplyWithinTheDeadlineFailsTheCommand) {
    RegisterWithChannel(0, kNuv);
    unsigned char byte = 0x11;
    NuvSimHidDropReplies(hid, kCmdUsbMode, 1);
    const unsigned before = NuvSimGetTickCount();
    EXPECT_EQ(NuvUSBMode(0, &byte), 0);
    EXPECT_GE(NuvSimGetTickCount() - before, 5000u);
    EXPECT_EQ(byte, 0x11);
    EXPECT_EQ(NuvUSBMode(0, &byte), 1);
    EXPECT_EQ(byte, 0x02);
}

// ---- Identification, GPIO, temperature ---------------------------------------------

TEST_F(VendorCommandTest, RecognitionAndUsbModeReturnReplyByteOne) {
    RegisterWithChannel(0, kNuv2);
    NuvSimHidSetIdentity(hid, 0xC3, 0x03);
    unsigned char recognition = 0, mode = 0;
    ASSERT_EQ(NuvCameraRecognition(0, &recognition), 1);
    ASSERT_EQ(NuvUSBMode(0, &mode), 1);
    EXPECT_EQ(recognition, 0xC3);
    EXPECT_EQ(mode, 0x03);
    EXPECT_EQ(LastCommand()[0], kCmdUsbMode);
}

TEST_F(VendorCommandTest, GpioDrivesThePortOnANuvCamera) {
    RegisterWithChannel(0, kNuv);
    NuvSimHidSetGpioExternal(hid, 0x5A);
    ASSERT_EQ(NuvGPIODirection(0, 0x10F), 1);  // bits above 7 are not sent
    EXPECT_EQ(LastCommand()[1], 0x0F);
    ASSERT_EQ(NuvGPIOOutput(0, 0x36), 1);
    int direction = 0, output = 0;
    NuvSimHidGpio(hid, &direction, &output);
    EXPECT_EQ(direction, 0x0F);
    EXPECT_EQ(output, 0x36);
    unsigned char pins = 0;
    ASSERT_EQ(NuvGPIOInput(0, &pins), 1);
    EXPECT_EQ(pins, 0x56);  // low nibble driven by the latch, high nibble from outside
}

TEST_F(VendorCommandTest, GpioIsRefusedOnANuv2CameraWithoutSending) {
    RegisterWithChannel(0, kNuv2);
    unsigned char pins = 0x99;
    EXPECT_EQ(NuvGPIODirection(0, 1), 0);
    EXPECT_EQ(NuvGPIOOutput(0, 1), 0);
    EXPECT_EQ(NuvGPIOInput(0, &pins), 0);
    EXPECT_EQ(Sent(), 0);
    EXPECT_EQ(pins, 0x99);
}

TEST_F(VendorCommandTest, TemperatureTakesSelectorOneOrTwoAndReadsReplyByteTwo) {
    RegisterWithChannel(0, kNuv);
    NuvSimHidSetTemperature(hid, 1, 200);
    NuvSimHidSetTemperature(hid, 2, 33);
    int value = -1;
    ASSERT_EQ(NuvTemperature(0, 1, &value), 1);
    EXPECT_EQ(value, 200);  // unsigned, not -56
    ASSERT_EQ(NuvTemperature(0, 2, &value), 1);
    EXPECT_EQ(value, 33);
    EXPECT_EQ(LastCommand()[1], 2);
    const int sent = Sent();
    EXPECT_EQ(NuvTemperature(0, 0, &value), 0);
    EXPECT_EQ(NuvTemperature(0, 3, &value), 0);
    EXPECT_EQ(NuvTemperature(0, 0x101, &value), 0);
    EXPECT_EQ(Sent(), sent);
    EXPECT_EQ(value, 33);
}

// ---- Gain, shutter, register: bytes on the wire -----------------------------------------

TEST_F(VendorCommandTest, DigitalGainTravelsMostSignificantByteFirst) {
    RegisterWithChannel(0, kNuv2);
    ASSERT_EQ(NuvSetDigitalGain(0, 0x1234, 0xABCD, 0x10001, -1), 1);
    const auto command = LastCommand();
    const std::uint8_t expected[9] = {kCmdSetDigitalGain, 0x12, 0x34, 0xAB, 0xCD, 0x00, 0x01, 0xFF, 0xFF};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(command[i], expected[i]) << i;
    for (std::size_t i = 9; i < command.size(); ++i) EXPECT_EQ(command[i], 0) << i;
    unsigned short g[4] = {};
    NuvSimHidDigitalGains(hid, g);
    EXPECT_EQ(g[0], 0x1234);
    EXPECT_EQ(g[2], 0x0001);

    ASSERT_EQ(NuvGetDigitalGain(0, &g[0], &g[1], &g[2], &g[3]), 1);
    EXPECT_EQ(g[0], 0x1234);
    EXPECT_EQ(g[1], 0xABCD);
    EXPECT_EQ(g[2], 0x0001);
    EXPECT_EQ(g[3], 0xFFFF);
}

TEST_F(VendorCommandTest, ShutterRangeUsesOnlyTheLowSixteenBits) {
    RegisterWithChannel(0, kNuv);
    EXPECT_EQ(NuvSetShutter(0, 0), 0);
    EXPECT_EQ(NuvSetShutter(0, 65531), 0);
    EXPECT_EQ(NuvSetShutter(0, 65535), 0);
    EXPECT_EQ(NuvSetShutter(0, 0x10000), 0);
    EXPECT_EQ(Sent(), 0);

    const struct {
        int argument;
        std::uint16_t sent;
    } cases[] = {{1, 1}, {65530, 65530}, {0x10001, 1}, {0x1234, 0x1234}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argument);
        ASSERT_EQ(NuvSetShutter(0, c.argument), 1);
        const auto command = LastCommand();
        EXPECT_EQ(command[0], kCmdSetShutter);
        EXPECT_EQ(command[1], c.sent >> 8);
        EXPECT_EQ(command[2], c.sent & 0xFF);
        EXPECT_EQ(command[3], 0);
        unsigned short read = 0;
        ASSERT_EQ(NuvGetShutter(0, &read), 1);
        EXPECT_EQ(read, c.sent);
    }
    EXPECT_EQ(NuvSimHidShutter(hid), 0x1234);
}

TEST_F(VendorCommandTest, RegisterWriteSendsSixteenBitAddressAndEightBitValue) {
    RegisterWithChannel(0, kNuv2);
    ASSERT_EQ(NuvSetRegister(0, 0x51234, 0x1AB), 1);
    const auto command = LastCommand();
    EXPECT_EQ(command[0], kCmdSetRegister);
    EXPECT_EQ(command[1], 0x12);
    EXPECT_EQ(command[2], 0x34);
    EXPECT_EQ(command[3], 0xAB);
    EXPECT_EQ(command[4], 0);
    EXPECT_EQ(NuvSimHidRegister(hid, 0x1234), 0xAB);
}

// ---- Serial number --------------------------------------------------------------------

TEST_F(VendorCommandTest, SerialNumberIsReplyBytesOneToFourMostSignificantFirst) {
    RegisterWithChannel(0, kNuv);
    int serial = 0;
    ASSERT_EQ(NuvGetSerialNo(0, &serial), 1);
    EXPECT_EQ(serial, 0x12345678);
    EXPECT_EQ(LastCommand()[0], kCmdSerialNumber);
}

TEST_F(VendorCommandTest, SetSerialNoRewritesTheBlockAndALaterUpdateKeepsIt) {
    RegisterWithChannel(0, kNuv2);
    const auto before = Flash(kParameterBlockAddress, kParameterBlockSize);
    ASSERT_EQ(NuvSetSerialNo(0, static_cast<int>(0xCAFE0042u)), 1);
    EXPECT_EQ(Sent(), 22);
    auto flash = Flash(kParameterBlockAddress, kParameterBlockSize);
    EXPECT_EQ(flash[0], 0xCA);
    EXPECT_EQ(flash[3], 0x42);
    EXPECT_TRUE(std::equal(flash.begin() + 4, flash.end(), before.begin() + 4));
    const auto cached = testing::FindParameterBlock(0);
    EXPECT_TRUE(std::equal(cached->begin(), cached->end(), flash.begin()));
    int serial = 0;
    ASSERT_EQ(NuvGetSerialNo(0, &serial), 1);
    EXPECT_EQ(static_cast<std::uint32_t>(serial), 0xCAFE0042u);

    // Another writer of the block (a defect list change) starts from the cache.
    ASSERT_TRUE(UpdateParameterBlock(*Record(0).channel.load(), Record(0).parameterBlock,
                                     [](ParameterBlock &b) { b[16] = 0x01; }));
    flash = Flash(kParameterBlockAddress, 4);
    EXPECT_EQ(flash, (std::vector<std::uint8_t>{0xCA, 0xFE, 0x00, 0x42}));
}

TEST_F(VendorCommandTest, SetSerialNoFailuresLeaveTheCache) {
    RegisterWithChannel(1, kNuv, 0, /*withBlock*/ false);
    EXPECT_EQ(NuvSetSerialNo(1, 7), 0);
    EXPECT_EQ(Sent(), 0);

    RegisterWithChannel(0, kNuv);
    const auto cached = testing::FindParameterBlock(0);
    NuvSimHidReplyStatus(hid, kCmdFlashErase, 1, 1);
    EXPECT_EQ(NuvSetSerialNo(0, 7), 0);
    EXPECT_EQ(Sent(), 1);
    NuvSimHidReplyStatus(hid, kCmdFlashWrite, 1, 1);
    EXPECT_EQ(NuvSetSerialNo(0, 7), 0);
    EXPECT_EQ(testing::FindParameterBlock(0), cached);
    EXPECT_EQ((*cached)[3], 0x78);
}

// ---- Version text ---------------------------------------------------------------------

TEST_F(VendorCommandTest, VersionTextNeedsRoomForItsTerminator) {
    RegisterWithChannel(0, kNuv);
    NuvSimHidSetVersionText(hid, "FW 1.2.3");
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(NuvVersion(0, buffer, 9), 1);
    EXPECT_STREQ(buffer, "FW 1.2.3");

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(NuvVersion(0, buffer, 8), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x');  // nothing written past the caller's size
}

TEST_F(VendorCommandTest, VersionTextOfSixtyOneCharactersEndsAtTheStatusByte) {
    RegisterWithChannel(0, kNuv);
    const std::string longest(61, 'v');
    NuvSimHidSetVersionText(hid, (longest + "cut off").c_str());
    char buffer[80];
    ASSERT_EQ(NuvVersion(0, buffer, sizeof buffer), 1);
    EXPECT_EQ(std::string(buffer), longest);
    EXPECT_EQ(NuvVersion(0, buffer, 61), 0);
    EXPECT_EQ(NuvVersion(0, buffer, 62), 1);
}

}  // namespace
}  // namespace nuv
