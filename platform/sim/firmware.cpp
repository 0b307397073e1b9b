#include "platform/sim/firmware.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "protocol/shading.h"

namespace nuv::sim {

namespace {

// Deterministic per camera, so two cameras differ and a test can rely on the
// content it gets for a given serial number.
class Random {
public:
    explicit Random(std::uint32_t seed) : state_(seed * 2654435761u + 0x9E3779B9u) {}
    std::uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    int Below(int limit) { return static_cast<int>(Next() % static_cast<std::uint32_t>(limit)); }
    double Unit() { return (Next() & 0xFFFFFF) / double(0x1000000); }

private:
    std::uint32_t state_;
};

void PutLe16(std::uint8_t *at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint32_t Address24(const Firmware::Block &command) {
    return (std::uint32_t{command[1]} << 16) | (std::uint32_t{command[2]} << 8) | command[3];
}

}  // namespace

Firmware::Firmware(std::uint32_t serialNumber) { SeedParameterBlock(serialNumber); }

Firmware::Sector *Firmware::SectorFor(std::uint32_t address, bool create) {
    const std::uint32_t index = address / kSectorSize;
    auto it = sectors_.find(index);
    if (it != sectors_.end()) return it->second.get();
    if (!create) return nullptr;
    auto sector = std::make_unique<Sector>();
    sector->fill(0xFF);
    Sector *raw = sector.get();
    sectors_.emplace(index, std::move(sector));
    return raw;
}

// The flash wraps at 16 MiB; each access is split at sector boundaries so
// that one look-up serves a whole run of bytes.
void Firmware::FlashPeek(std::uint32_t address, std::uint8_t *data, std::size_t size) const {
    while (size > 0) {
        const std::uint32_t at = address % kFlashSize;
        const std::size_t run = std::min<std::size_t>(size, kSectorSize - at % kSectorSize);
        auto it = sectors_.find(at / kSectorSize);
        if (it == sectors_.end()) {
            std::memset(data, 0xFF, run);
        } else {
            std::memcpy(data, it->second->data() + at % kSectorSize, run);
        }
        address += static_cast<std::uint32_t>(run);
        data += run;
        size -= run;
    }
}

void Firmware::FlashPoke(std::uint32_t address, const std::uint8_t *data, std::size_t size) {
    while (size > 0) {
        const std::uint32_t at = address % kFlashSize;
        const std::size_t run = std::min<std::size_t>(size, kSectorSize - at % kSectorSize);
        std::memcpy(SectorFor(at, true)->data() + at % kSectorSize, data, run);
        address += static_cast<std::uint32_t>(run);
        data += run;
        size -= run;
    }
}

void Firmware::FlashProgram(std::uint32_t address, const std::uint8_t *data, std::size_t size) {
    while (size > 0) {
        const std::uint32_t at = address % kFlashSize;
        const std::size_t run = std::min<std::size_t>(size, kSectorSize - at % kSectorSize);
        // Nothing to clear keeps an erased sector sparse.
        if (std::any_of(data, data + run, [](std::uint8_t b) { return b != 0xFF; })) {
            std::uint8_t *cells = SectorFor(at, true)->data() + at % kSectorSize;
            for (std::size_t i = 0; i < run; ++i) cells[i] &= data[i];
        }
        address += static_cast<std::uint32_t>(run);
        data += run;
        size -= run;
    }
}

void Firmware::EraseSector(std::uint32_t sector) { sectors_.erase(sector); }

void Firmware::SeedParameterBlock(std::uint32_t serialNumber) {
    std::uint8_t block[kParameterBlockSize];
    std::memset(block, 0, sizeof block);
    block[0] = static_cast<std::uint8_t>(serialNumber >> 24);
    block[1] = static_cast<std::uint8_t>(serialNumber >> 16);
    block[2] = static_cast<std::uint8_t>(serialNumber >> 8);
    block[3] = static_cast<std::uint8_t>(serialNumber);
    block[4] = 0x01;  // layout revision of the factory data
    Random random(serialNumber);
    for (int number = 1; number <= 2; ++number) {
        for (int mode = 0; mode < protocol::kModeCount; ++mode) {
            const int width = protocol::kModes[mode].width;
            const int height = protocol::kModes[mode].height;
            std::uint8_t *list = block + protocol::DefectListOffset(number, mode);
            const int used = 3 + random.Below(4);
            for (int entry = 0; entry < protocol::kDefectEntryCount; ++entry) {
                std::uint16_t column = protocol::kUnusedDefect;
                std::uint16_t row = protocol::kUnusedDefect;
                if (entry < used) {
                    column = static_cast<std::uint16_t>(4 + random.Below(width - 8));
                    row = static_cast<std::uint16_t>(4 + random.Below(height - 8));
                }
                PutLe16(list + 4 * entry, column);
                PutLe16(list + 4 * entry + 2, row);
            }
            // Vignetting: the gain rises from about 1 at the optical centre
            // to about 1.4 in the corners, a little different for each site.
            protocol::ShadingSet set;
            set.cx = width / 2.0 + (random.Unit() - 0.5) * 16.0;
            set.cy = height / 2.0 + (random.Unit() - 0.5) * 12.0;
            const double corner2 = (width / 2.0) * (width / 2.0) + (height / 2.0) * (height / 2.0);
            for (int site = 0; site < protocol::kShadingSiteCount; ++site) {
                set.k2[site] = (0.38 + 0.04 * random.Unit()) / corner2;
                set.k1[site] = (random.Unit() - 0.5) * 1e-5;
                set.k0[site] = 1.0 + (random.Unit() - 0.5) * 0.02;
            }
            protocol::WriteShadingSetBytes(block + protocol::ShadingSetOffset(number, mode), set);
        }
    }
    FlashPoke(kParameterBlockAddress, block, sizeof block);
}

Firmware::Block Firmware::Answer(const Block &command) {
    Block reply{};
    reply[0] = command[0];
    std::uint8_t status = kStatusOk;
    switch (command[0]) {
    case protocol::kCmdRecognition:
        reply[1] = recognition;
        break;
    case protocol::kCmdUsbMode:
        reply[1] = usbMode;
        break;
    case protocol::kCmdGpioDirection:
        gpioDirection = command[1];
        break;
    case protocol::kCmdGpioOutput:
        gpioOutput = command[1];
        break;
    case protocol::kCmdGpioInput:  // the pins as they stand
        reply[1] = GpioPins();
        break;
    case protocol::kCmdTemperature:  // selector 1 or 2
        if (command[1] == 1 || command[1] == 2) {
            reply[1] = command[1];
            reply[2] = temperature[command[1] - 1];
        } else {
            status = kStatusBadArgument;
        }
        break;
    case protocol::kCmdSetDigitalGain:
        for (int i = 0; i < 4; ++i) {
            gains[i] = static_cast<std::uint16_t>((command[1 + 2 * i] << 8) | command[2 + 2 * i]);
        }
        break;
    case protocol::kCmdGetDigitalGain:
        for (int i = 0; i < 4; ++i) {
            reply[1 + 2 * i] = static_cast<std::uint8_t>(gains[i] >> 8);
            reply[2 + 2 * i] = static_cast<std::uint8_t>(gains[i]);
        }
        break;
    case protocol::kCmdSetShutter: {
        const auto value = static_cast<std::uint16_t>((command[1] << 8) | command[2]);
        if (value == 0) {
            status = kStatusBadArgument;
        } else {
            shutter = value;
        }
        break;
    }
    case protocol::kCmdGetShutter:
        reply[1] = static_cast<std::uint8_t>(shutter >> 8);
        reply[2] = static_cast<std::uint8_t>(shutter);
        break;
    case protocol::kCmdSerialNumber:  // from the parameter block
        FlashPeek(kParameterBlockAddress, reply.data() + 1, 4);
        break;
    case protocol::kCmdVersion: {  // zero-terminated; at most 61 bytes of data
        const std::size_t length = std::min<std::size_t>(versionText.size(), protocol::kReplyDataBytes);
        std::memcpy(reply.data() + 1, versionText.data(), length);
        break;
    }
    case protocol::kCmdSetRegister:  // a sensor register
        registers[static_cast<std::uint16_t>((command[1] << 8) | command[2])] = command[3];
        break;
    case protocol::kCmdFlashWrite: {  // 56 bytes ANDed into what is there
        const std::uint32_t address = Address24(command);
        std::memcpy(reply.data() + 1, command.data() + 1, 3);
        if (address + kChunkSize > kFlashSize) {
            status = kStatusBadArgument;
        } else {
            FlashProgram(address, command.data() + 4, kChunkSize);
        }
        break;
    }
    case protocol::kCmdFlashRead: {
        const std::uint32_t address = Address24(command);
        std::memcpy(reply.data() + 1, command.data() + 1, 3);
        if (address + kChunkSize > kFlashSize) {
            status = kStatusBadArgument;
        } else {
            FlashPeek(address, reply.data() + 4, kChunkSize);
        }
        break;
    }
    case protocol::kCmdFlashErase:  // sectors first..last inclusive
        if (command[1] > command[2]) {
            status = kStatusBadArgument;
        } else {
            for (std::uint32_t sector = command[1]; sector <= command[2]; ++sector) EraseSector(sector);
        }
        break;
    default:
        status = kStatusUnknownCommand;
        break;
    }
    reply[protocol::kReplyStatusByte] = status;
    return reply;
}

}  // namespace nuv::sim
