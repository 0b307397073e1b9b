// What the library and every camera agree on: the vendor HID report layout,
// the command codes, the flash geometry and the layout of the parameter
// block. The camera side (real firmware, or the simulated one) and the
// library side both read it from here, so the two can never drift apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nuv::protocol {

// ---- Reports ---------------------------------------------------------------
// command report: [0] report ID 0, [1] sequence number, [2..64] command bytes
//                 0..62 (command byte 63 never reaches the device)
// reply report:   [0] report ID, [1] sequence number answered, [2..64] the
//                 reply block: [0] echoed code, [1..61] data, [62] status
// Multi-byte numbers travel most significant byte first.
inline constexpr std::size_t kReportLength = 65;       // the usual length, report ID included
inline constexpr std::size_t kCommandBlockSize = 64;   // command byte 63 never reaches the device
inline constexpr std::size_t kReplyBlockSize = 63;
inline constexpr std::size_t kReportHeader = 2;        // report ID, sequence number
inline constexpr std::size_t kWireCommandBytes = kCommandBlockSize - 1;
inline constexpr std::size_t kReplyStatusByte = 62;    // of the reply block
inline constexpr std::size_t kReplyDataBytes = 61;     // reply bytes 1..61
static_assert(kReportHeader + kWireCommandBytes == kReportLength);
static_assert(kReportHeader + kReplyBlockSize == kReportLength);
using CommandBlock = std::array<std::uint8_t, kCommandBlockSize>;
using ReplyBlock = std::array<std::uint8_t, kReplyBlockSize>;

// Status bytes: 0 is success, anything else a refusal.
inline constexpr std::uint8_t kStatusOk = 0x00;
inline constexpr std::uint8_t kStatusUnknownCommand = 0x01;
inline constexpr std::uint8_t kStatusBadArgument = 0x02;

// ---- Command codes -----------------------------------------------------------
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

// ---- Flash ------------------------------------------------------------------------
// 24-bit byte addresses, 64 KiB sectors (a sector number is bits 16..23 of an
// address), 56 data bytes per read or write chunk (command bytes 4..59, reply
// bytes 4..59; bytes 1..3 carry the address).
inline constexpr std::uint32_t kFlashChunkSize = 56;
inline constexpr std::uint32_t kFlashSectorSize = 0x10000;
inline constexpr std::size_t kFlashAddressByte = 1;
inline constexpr std::size_t kFlashDataByte = 4;

// ---- Parameter block ------------------------------------------------------------
// 1176 bytes from flash address 0x70000 (sector 7), moved in 21 chunks.
// Bytes 0..3: the serial number, most significant byte first. Then one
// 576-byte section per camera number (1, 2): three defect lists of 20
// entries (column, row: 16 bits each, little-endian; 0xFFFF unused), one per
// mode, then three shading sets of 14 little-endian doubles (cx, cy, then
// k2, k1, k0 of sites 0..3), one per mode. The last 8 bytes are not used.
inline constexpr std::uint32_t kParameterBlockAddress = 0x70000;
inline constexpr std::uint8_t kParameterBlockSector = 7;
inline constexpr std::size_t kParameterBlockSize = 1176;
inline constexpr int kParameterBlockChunks = 21;
static_assert(kParameterBlockChunks * kFlashChunkSize == kParameterBlockSize);
inline constexpr std::size_t kSerialNumberOffset = 0;

// Camera kinds: the two models known by their device names, and any other
// video device, which has no control channel.
inline constexpr int kKindNuv = 0;         // "NUV"
inline constexpr int kKindNuv2 = 1;        // "NUV2"
inline constexpr int kKindVideoOnly = -1;  // any other name

// The camera modes: the image sizes a camera streams with its corrections,
// each with the defect list and shading set of its mode index.
struct ImageSize {
    int width;
    int height;
};
inline constexpr int kModeCount = 3;
inline constexpr ImageSize kModes[kModeCount] = {{1280, 720}, {656, 408}, {328, 204}};

// The mode index of a size, or -1 when it is none of the modes.
constexpr int ModeOf(int width, int height) {
    for (int mode = 0; mode < kModeCount; ++mode) {
        if (kModes[mode].width == width && kModes[mode].height == height) return mode;
    }
    return -1;
}

inline constexpr int kDefectEntryCount = 20;
inline constexpr int kDefectEntrySize = 4;
inline constexpr std::uint16_t kUnusedDefect = 0xFFFF;
inline constexpr int kShadingValueCount = 14;
inline constexpr int kShadingSetSize = kShadingValueCount * 8;

inline constexpr std::size_t kSectionOffset = 16;
inline constexpr std::size_t kSectionSize = 576;
inline constexpr std::size_t kShadingSetsInSection = 3 * 80;

// Byte offsets inside the parameter block, camera number 1 or 2, mode 0..2.
inline constexpr std::size_t DefectListOffset(int cameraNumber, int modeIndex) {
    return kSectionOffset + kSectionSize * static_cast<std::size_t>(cameraNumber - 1) +
           static_cast<std::size_t>(kDefectEntryCount * kDefectEntrySize) * static_cast<std::size_t>(modeIndex);
}
inline constexpr std::size_t ShadingSetOffset(int cameraNumber, int modeIndex) {
    return kSectionOffset + kSectionSize * static_cast<std::size_t>(cameraNumber - 1) + kShadingSetsInSection +
           static_cast<std::size_t>(kShadingSetSize) * static_cast<std::size_t>(modeIndex);
}
static_assert(DefectListOffset(2, 2) == 16 + 576 + 160);
static_assert(ShadingSetOffset(2, 2) + kShadingSetSize + 8 == kParameterBlockSize);

}  // namespace nuv::protocol
