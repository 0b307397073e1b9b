// The vendor HID control channel: one exchange of a command report and its
// reply, and the transfer of the camera's parameter block in 56-byte chunks.
// The report layouts and command codes are the protocol's
// (protocol/camera_protocol.h).
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "api/registry.h"
#include "control/control_channel.h"
#include "platform/os.h"
#include "protocol/camera_protocol.h"

namespace nuv {

using namespace protocol;

using protocol::CommandBlock;
using protocol::ReplyBlock;

// CreateFileA flags with which the control channel must be opened (the
// discovery code's control-channel search uses them). Overlapped, because a
// synchronous HID handle offers no read that gives up at a deadline: the
// transport's reads go through os::ReadFileWithin, which needs it.
inline constexpr DWORD kControlChannelFlags = FILE_FLAG_OVERLAPPED;

// Every read for a reply ends by this many milliseconds after the command
// report was written.
inline constexpr DWORD kReplyDeadlineMs = 5000;

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
bool UpdateParameterBlock(const ControlChannel &channel, LockedRef<ParameterBlockRef> &cache,
                          const std::function<void(ParameterBlock &)> &change);

}  // namespace nuv
