// The vendor command exports: each builds one command block, runs one
// exchange on the camera's control channel and converts the reply, except
// NuvSetSerialNo, which rewrites the parameter block. Every check runs before
// anything is sent, and no out-parameter is written unless the call succeeds.
#include <cstring>
#include <memory>

#include "api/registry.h"
#include "common/guarded.h"
#include "control/hid_transport.h"
#include "nuv.h"

namespace nuv {
namespace {

enum class Kind { Any, NuvOnly };

// The record of a vendor command: the handle frame, the camera kind where the
// command needs one, and a control channel. The channel is returned as a
// snapshot that keeps the handle open for the whole exchange, even if the
// camera is closed on another thread meanwhile.
std::shared_ptr<ControlChannel> ChannelFor(int handle, Kind kind, CameraRecord **recordOut = nullptr) {
    CameraRecord *record = LookUpCamera(handle);
    if (record == nullptr) return nullptr;
    if (kind == Kind::NuvOnly && record->kind.load() != kKindNuv) return nullptr;
    auto channel = record->channel.load();
    if (channel == nullptr || channel->handle() == nullptr) return nullptr;
    if (recordOut) *recordOut = record;
    return channel;
}

// One exchange whose reply must carry status 0.
bool Exchange(const ControlChannel &channel, const CommandBlock &command, ReplyBlock &reply) {
    return HidTransact(channel, command, reply) && reply[62] == 0;
}

CommandBlock Command(std::uint8_t code) {
    CommandBlock command{};
    command[0] = code;
    return command;
}

void PutU16(CommandBlock &command, int at, unsigned value) {
    command[at] = static_cast<std::uint8_t>(value >> 8);
    command[at + 1] = static_cast<std::uint8_t>(value);
}

std::uint16_t GetU16(const ReplyBlock &reply, int at) {
    return static_cast<std::uint16_t>((reply[at] << 8) | reply[at + 1]);
}

// A command with no reply data.
NuvBool Send(int handle, Kind kind, const CommandBlock &command) {
    auto channel = ChannelFor(handle, kind);
    if (!channel) return 0;
    ReplyBlock reply{};
    return Exchange(*channel, command, reply) ? 1 : 0;
}

// A command whose reply byte 1 is the answer.
NuvBool QueryByte(int handle, Kind kind, std::uint8_t code, unsigned char *value) {
    auto channel = ChannelFor(handle, kind);
    if (!channel || value == nullptr) return 0;
    ReplyBlock reply{};
    if (!Exchange(*channel, Command(code), reply)) return 0;
    *value = reply[1];
    return 1;
}

}  // namespace
}  // namespace nuv

using namespace nuv;

NuvBool NUV_CALL NuvCameraRecognition(int handle, unsigned char *value) {
    return Guarded<NuvBool>(0, [&] { return QueryByte(handle, Kind::Any, kCmdRecognition, value); });
}

NuvBool NUV_CALL NuvUSBMode(int handle, unsigned char *mode) {
    return Guarded<NuvBool>(0, [&] { return QueryByte(handle, Kind::Any, kCmdUsbMode, mode); });
}

NuvBool NUV_CALL NuvGPIODirection(int handle, int direction) {
    return Guarded<NuvBool>(0, [&] {
        CommandBlock command = Command(kCmdGpioDirection);
        command[1] = static_cast<std::uint8_t>(direction);
        return Send(handle, Kind::NuvOnly, command);
    });
}

NuvBool NUV_CALL NuvGPIOOutput(int handle, int value) {
    return Guarded<NuvBool>(0, [&] {
        CommandBlock command = Command(kCmdGpioOutput);
        command[1] = static_cast<std::uint8_t>(value);
        return Send(handle, Kind::NuvOnly, command);
    });
}

NuvBool NUV_CALL NuvGPIOInput(int handle, unsigned char *value) {
    return Guarded<NuvBool>(0, [&] { return QueryByte(handle, Kind::NuvOnly, kCmdGpioInput, value); });
}

NuvBool NUV_CALL NuvTemperature(int handle, int selector, int *value) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        auto channel = ChannelFor(handle, Kind::Any);
        if (!channel || value == nullptr) return 0;
        if (selector != 1 && selector != 2) return 0;
        CommandBlock command = Command(kCmdTemperature);
        command[1] = static_cast<std::uint8_t>(selector);
        ReplyBlock reply{};
        if (!Exchange(*channel, command, reply)) return 0;
        *value = reply[2];
        return 1;
    });
}

NuvBool NUV_CALL NuvSetDigitalGain(int handle, int gain1, int gain2, int gain3, int gain4) {
    return Guarded<NuvBool>(0, [&] {
        CommandBlock command = Command(kCmdSetDigitalGain);
        const int gains[4] = {gain1, gain2, gain3, gain4};
        for (int i = 0; i < 4; ++i) PutU16(command, 1 + 2 * i, static_cast<unsigned>(gains[i]) & 0xFFFFu);
        return Send(handle, Kind::Any, command);
    });
}

NuvBool NUV_CALL NuvGetDigitalGain(int handle, unsigned short *gain1, unsigned short *gain2, unsigned short *gain3,
                                   unsigned short *gain4) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        auto channel = ChannelFor(handle, Kind::Any);
        if (!channel || !gain1 || !gain2 || !gain3 || !gain4) return 0;
        ReplyBlock reply{};
        if (!Exchange(*channel, Command(kCmdGetDigitalGain), reply)) return 0;
        *gain1 = GetU16(reply, 1);
        *gain2 = GetU16(reply, 3);
        *gain3 = GetU16(reply, 5);
        *gain4 = GetU16(reply, 7);
        return 1;
    });
}

NuvBool NUV_CALL NuvSetShutter(int handle, int shutter) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        auto channel = ChannelFor(handle, Kind::Any);
        if (!channel) return 0;
        // Only bits 0..15 count, for the range check as well.
        const unsigned value = static_cast<unsigned>(shutter) & 0xFFFFu;
        if (value < 1 || value > 65530) return 0;
        CommandBlock command = Command(kCmdSetShutter);
        PutU16(command, 1, value);
        ReplyBlock reply{};
        return Exchange(*channel, command, reply) ? 1 : 0;
    });
}

NuvBool NUV_CALL NuvGetShutter(int handle, unsigned short *shutter) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        auto channel = ChannelFor(handle, Kind::Any);
        if (!channel || shutter == nullptr) return 0;
        ReplyBlock reply{};
        if (!Exchange(*channel, Command(kCmdGetShutter), reply)) return 0;
        *shutter = GetU16(reply, 1);
        return 1;
    });
}

NuvBool NUV_CALL NuvSetSerialNo(int handle, int serialNo) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        CameraRecord *record = nullptr;
        auto channel = ChannelFor(handle, Kind::Any, &record);
        if (!channel || record->parameterBlock.load() == nullptr) return 0;
        const auto serial = static_cast<std::uint32_t>(serialNo);
        const bool written = UpdateParameterBlock(*channel, record->parameterBlock, [serial](ParameterBlock &b) {
            b[0] = static_cast<std::uint8_t>(serial >> 24);
            b[1] = static_cast<std::uint8_t>(serial >> 16);
            b[2] = static_cast<std::uint8_t>(serial >> 8);
            b[3] = static_cast<std::uint8_t>(serial);
        });
        return written ? 1 : 0;
    });
}

NuvBool NUV_CALL NuvGetSerialNo(int handle, int *serialNo) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        auto channel = ChannelFor(handle, Kind::Any);
        if (!channel || serialNo == nullptr) return 0;
        ReplyBlock reply{};
        if (!Exchange(*channel, Command(kCmdSerialNumber), reply)) return 0;
        const std::uint32_t serial = (std::uint32_t{reply[1]} << 24) | (std::uint32_t{reply[2]} << 16) |
                                     (std::uint32_t{reply[3]} << 8) | reply[4];
        *serialNo = static_cast<int>(serial);
        return 1;
    });
}

NuvBool NUV_CALL NuvVersion(int handle, char *buffer, int size) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        auto channel = ChannelFor(handle, Kind::Any);
        if (!channel || buffer == nullptr || size <= 0) return 0;
        ReplyBlock reply{};
        if (!Exchange(*channel, Command(kCmdVersion), reply)) return 0;
        // The text starts at reply byte 1; the status byte (0 here) ends a
        // text that fills all 61 data bytes.
        const char *text = reinterpret_cast<const char *>(reply.data() + 1);
        const void *end = std::memchr(text, 0, kReplyBlockSize - 1);
        const std::size_t length = static_cast<std::size_t>(end ? static_cast<const char *>(end) - text : 0);
        if (length + 1 > static_cast<std::size_t>(size)) {
            buffer[0] = '\0';
            return 0;
        }
        std::memcpy(buffer, text, length);
        buffer[length] = '\0';
        return 1;
    });
}

NuvBool NUV_CALL NuvSetRegister(int handle, int address, int value) {
    return Guarded<NuvBool>(0, [&] {
        CommandBlock command = Command(kCmdSetRegister);
        PutU16(command, 1, static_cast<unsigned>(address) & 0xFFFFu);
        command[3] = static_cast<std::uint8_t>(value);
        return Send(handle, Kind::Any, command);
    });
}
