// The camera firmware of the simulated world, independent of any transport:
// it takes a 63-byte command block (command code and arguments as they
// arrive on the wire) and answers with a 63-byte reply block (echoed code,
// 61 data bytes, status). Behind it: a 16 MiB NOR-like flash (erase sets
// whole 64 KiB sectors to 0xFF, a write can only clear bits), a parameter
// block at 0x70000 seeded from a serial number, a GPIO port, temperature
// sensors, digital gains, shutter, sensor registers and a version text.
//
// Not thread-safe by itself: the HID interface that carries it serialises
// every access.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "protocol/camera_protocol.h"

namespace nuv::sim {

class Firmware {
public:
    static constexpr std::size_t kBlockSize = protocol::kReplyBlockSize;
    static constexpr std::uint32_t kFlashSize = 16u << 20;
    static constexpr std::uint32_t kSectorSize = protocol::kFlashSectorSize;
    static constexpr std::uint32_t kChunkSize = protocol::kFlashChunkSize;
    static constexpr std::uint32_t kParameterBlockAddress = protocol::kParameterBlockAddress;
    static constexpr std::uint32_t kParameterBlockSize = protocol::kParameterBlockSize;
    static constexpr std::uint8_t kStatusOk = protocol::kStatusOk;
    static constexpr std::uint8_t kStatusUnknownCommand = protocol::kStatusUnknownCommand;
    static constexpr std::uint8_t kStatusBadArgument = protocol::kStatusBadArgument;

    using Block = std::array<std::uint8_t, kBlockSize>;

    // A camera whose parameter block carries serialNumber (bytes 0..3, most
    // significant first), a few defect entries for each camera number and
    // mode, and plausible shading sets.
    explicit Firmware(std::uint32_t serialNumber);

    Block Answer(const Block &command);

    // Flash as the test harness sees it: peek reads, poke stores bytes as
    // given (no erase needed), program ANDs like a NOR write.
    void FlashPeek(std::uint32_t address, std::uint8_t *data, std::size_t size) const;
    void FlashPoke(std::uint32_t address, const std::uint8_t *data, std::size_t size);
    void FlashProgram(std::uint32_t address, const std::uint8_t *data, std::size_t size);
    void EraseSector(std::uint32_t sector);
    // Sectors that hold anything other than 0xFF bytes (sparse storage).
    std::size_t StoredSectors() const { return sectors_.size(); }

    // Device state.
    std::uint8_t gpioDirection = 0;  // bit set: pin drives its output latch
    std::uint8_t gpioOutput = 0;
    std::uint8_t gpioExternal = 0xA5;  // what the outside world drives on input pins
    std::uint8_t temperature[2] = {41, 37};
    std::uint16_t gains[4] = {0x0100, 0x0100, 0x0100, 0x0100};
    std::uint16_t shutter = 1000;
    std::map<std::uint16_t, std::uint8_t> registers;
    std::string versionText = "NUV FW 2.04.17 2020-08-21";
    std::uint8_t recognition = 0x5A;
    std::uint8_t usbMode = 0x02;

    std::uint8_t GpioPins() const {
        return static_cast<std::uint8_t>((gpioOutput & gpioDirection) | (gpioExternal & ~gpioDirection));
    }

private:
    using Sector = std::array<std::uint8_t, kSectorSize>;
    Sector *SectorFor(std::uint32_t address, bool create);
    void SeedParameterBlock(std::uint32_t serialNumber);

    std::map<std::uint32_t, std::unique_ptr<Sector>> sectors_;
};

}  // namespace nuv::sim
