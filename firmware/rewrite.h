// The firmware rewrite job: one per process. NuvSoftRewrite erases the flash
// an image will occupy and starts the library's one worker thread, which
// writes the image in 56-byte chunks and reads it all back; the exports
// NuvSoftRewrite and NuvSoftRewriteState live beside it.
#pragma once

#include <cstdint>

#include "api/registry.h"

namespace nuv {

// Job states as NuvSoftRewriteState reports them.
inline constexpr int kRewriteStarted = 3;
inline constexpr int kRewriteWriting = 1;
inline constexpr int kRewriteVerifying = 2;
inline constexpr int kRewriteDone = 0;
inline constexpr int kRewriteFailed = -1;

// Images are refused unless 1 <= size < this: a larger image would erase
// sector 7 and with it the camera's parameter block (serial number and all
// correction data).
inline constexpr std::uint32_t kMaxImageSize = 0x70000;

// Called by NuvClose before it drops the record's channel: makes sure no
// rewrite job keeps writing through this channel after the camera is closed.
// A running job is stopped before its next chunk (it ends failed, the flash
// holding a partial image, as after any failed rewrite), its worker is
// waited for, and the job's resources are released. Returns at once when the
// job belongs to another channel or none runs.
void FinishRewriteBeforeClose(const ControlChannel *channel);

}  // namespace nuv
