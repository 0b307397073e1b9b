// Device discovery: video-capture devices by position, the HID control
// interface that belongs to a video device, and stream format names and
// lists. The exports NuvGetDevice, NuvGetDeviceWithSerialNo and NuvGetFormat
// live beside these routines; this header is what the capture side calls.
#pragma once

#include <cstdint>

#include "api/registry.h"
#include "common/build_status.h"
#include "common/text.h"
#include "platform/os.h"

namespace nuv {

// Finds the plug-and-play video-capture device at position (0-based, only
// monikers whose display name contains "@device:pnp" count) and copies its
// friendly name into name (at most 255 ANSI bytes, cut at a character
// boundary; empty when the device has none). When displayName is not null it
// receives the moniker's display name (1024 bytes). Returns kBuildOk, or the
// status of the step that failed (3 to 7, 9 for no device at the position).
int EnumVideoDevice(int position, char name[kDeviceNameSize], char *displayName);

// The parent instance key of a HID device's parent instance ID: lower case,
// from after the last '\' up to (not including) the second '&' after it.
// False when the ID has no '\' or fewer than two '&' after it.
bool ParentInstanceKey(const char *parentInstanceId, char *key, int keySize);

// Reads the serial text (at most eight characters, each UTF-16 unit narrowed
// to its low byte) of the first HID interface whose parent instance key
// occurs in displayName. False when none matches or the search fails.
bool FindHidSerialNumber(const char *displayName, char serial[9]);

// The control-channel search of camera open: the first HID interface whose
// parent instance key occurs in displayName, opened with kControlChannelFlags,
// carrying the report lengths of its own capabilities. Null when none.
ControlChannelRef OpenControlChannel(const char *displayName);

// Names a media subtype: the table name and 0, or the first 32 bits printed
// with "%X" and 1 for a subtype outside the table.
int FormatNameFromSubtype(const GUID &subtype, char name[kFormatNameSize]);

// The subtype of one of the first eight table names (exact, case-sensitive);
// false for any other name, "Y16" included.
bool SubtypeFromFormatName(const char *name, GUID *subtype);

// One listed stream capability.
struct StreamFormatRecord {
    std::int32_t width;
    std::int32_t height;
    std::int32_t bitCount;
    std::int64_t frameInterval;  // 100 ns units
    double frameRate;            // 1e7 / frameInterval
    GUID subtype;
    char formatName[kFormatNameSize];
};

// Lists the VIDEOINFOHEADER capabilities of the device at position (among
// the first ten monikers of the category). *count is the capacity on entry
// and the number filled on return with status kBuildOk. Returns kBuildOk or
// the status of the step that failed (3 to 7, 9 to 11, kEnumCapabilities).
int EnumStreamFormats(int position, StreamFormatRecord records[], int *count);

}  // namespace nuv
