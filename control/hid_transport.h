// The vendor HID control channel: one exchange of a command report and its
// reply, and the transfer of the camera's parameter block in 56-byte chunks.
//
// Report layouts (for the usual 65-byte reports):
//   command report: [0] report ID 0, [1] sequence number, [2..64] command
//                   bytes 0..62 (command byte 63 never reaches the device)
//   reply report:   [0] report ID, [1] sequence number answered, [2..64]
//                   reply block: [0] echoed code, [1..61] data, [62] status
// Multi-byte numbers travel most significant byte first.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "api/registry.h"
#include "api/shared_ref.h"
#include "platform/os.h"

namespace nuv {

inline constexpr int kCommandBlockSize = 64;  // command byte 63 never reaches the device
inline constexpr int kReplyBlockSize = 63;    // reply byte 62 = status
using CommandBlock = std::array<std::uint8_t, kCommandBlockSize>;
using ReplyBlock = std::array<std::uint8_t, kReplyBlockSize>;

// CreateFileA flags with which the control channel must be opened (the
// discovery code's control-channel search uses them). Overlapped, because a
// synchronous HID handle offers no read that gives up at a deadline: the
// transport's reads go through os::ReadFileWithin, which needs it.
inline constexpr DWORD kControlChannelFlags = FILE_FLAG_OVERLAPPED;

// Every read for a reply ends by this many milliseconds after the command
// report was written.
inline constexpr DWORD kReplyDeadlineMs = 5000;

// Vendor command codes.
inline constexpr std::uint8_t kCmdGpioDirection = 0x01;
inline constexpr std::uint8_t kCmdGpioOutput = 0x02;
inline constexpr std::uint8_t kCmdGpioInput = 0x03;
inline constexpr std::uint8_t kCmdTemperature = 0x10;
inline constexpr std::uint8_t kCmdFlashWrite = 0x20;
inline constexpr std::uint8_t kCmdFlashRead = 0x21;
inline constexpr std::uint8_t kCmdFlashErase = 0x22;
inline constexpr std::uint8_t kCmdSetDigitalGain = 0x30;
inline constexpr std::uint8_t kCmdGetDigitalGain = 0x31;
inline constexpr std::uint8_t kCmdSetShutter = 0x32;
inline constexpr std::uint8_t kCmdGetShutter = 0x33;
inline constexpr std::uint8_t kCmdSerialNumber = 0xE0;
inline constexpr std::uint8_t kCmdRecognition = 0xF0;
inline constexpr std::uint8_t kCmdUsbMode = 0xF1;
inline constexpr std::uint8_t kCmdSetRegister = 0xF2;
inline constexpr std::uint8_t kCmdVersion = 0xFF;

// Flash layout: 24-bit byte addresses, 64 KiB sectors, 56 data bytes per
// read or write chunk; the parameter block lives in sector 7.
inline constexpr std::uint32_t kFlashChunkSize = 56;
inline constexpr std::uint32_t kFlashSectorSize = 0x10000;
inline constexpr std::uint32_t kParameterBlockAddress = 0x70000;
inline constexpr std::uint8_t kParameterBlockSector = 7;
inline constexpr int kParameterBlockChunks = 21;  // 21 x 56 = 1176
static_assert(kParameterBlockChunks * kFlashChunkSize == kParameterBlockSize);

// One exchange: writes the command report with its own sequence number, then
// reads input reports until one echoes that number and the command code, for
// at most kReplyDeadlineMs. True with reply filled when the matching report
// came; false with reply untouched otherwise. The status byte (reply[62]) is
// the caller's to check. Fails without sending anything when the channel's
// report lengths are too short for a 63-byte command or reply block.
//
// Sequence numbers are process-wide and each exchange takes its own, so no
// two exchanges in flight carry the same one; a report whose write fails
// gives its number back when no other exchange took one meanwhile. Exchanges
// on one channel run one at a time.
bool HidTransact(const ControlChannel &channel, const CommandBlock &command, ReplyBlock &reply);

// Flash chunk commands (write 0x20, read 0x21): the chunk is good when the
// exchange succeeded, the status is 0 and the reply repeats the address.
bool FlashWriteChunk(const ControlChannel &channel, std::uint32_t address, const std::uint8_t *data56);
bool FlashReadChunk(const ControlChannel &channel, std::uint32_t address, std::uint8_t *data56);
// Erases sectors first..last (inclusive); true when acknowledged with status 0.
bool FlashErase(const ControlChannel &channel, std::uint8_t firstSector, std::uint8_t lastSector);

bool ReadParameterBlock(const ControlChannel &channel, ParameterBlock &block);         // 21 reads of 56 bytes
bool WriteParameterBlock(const ControlChannel &channel, const ParameterBlock &block);  // 21 writes
// Erase sector 7, copy *cache, apply change to the copy, write it, and only
// after every chunk was acknowledged replace cache with the copy.
bool UpdateParameterBlock(const ControlChannel &channel, SharedRef<const ParameterBlock> &cache,
                          const std::function<void(ParameterBlock &)> &change);

// The sequence number the next exchange will carry (for tests and tools).
std::uint8_t NextSequenceNumber();

}  // namespace nuv
