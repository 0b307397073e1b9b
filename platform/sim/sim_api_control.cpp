// The simulator's control API for HID interfaces and camera firmware.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "api/guarded.h"
#include "nuv_sim.h"
#include "platform/sim/hid_interface.h"
#include "platform/sim/threads.h"
#include "platform/sim/world.h"

using nuv::sim::Firmware;
using nuv::sim::HidInterface;
using nuv::Guarded;
using nuv::sim::World;
using FaultKind = nuv::sim::HidInterface::FaultKind;

namespace {

// Runs body(hid) for an interface that exists; failure otherwise.
template <class R, class F>
R WithHid(int id, R failure, F &&body) noexcept {
    return Guarded<R>(failure, [&]() -> R {
        auto hid = World::Instance().FindHidInterface(id);
        return hid ? body(*hid) : failure;
    });
}

bool ValidCommand(int command) { return command >= -1 && command <= 0xFF; }

NuvBool AddFault(int id, FaultKind kind, int command, int count, int a = 0, int b = 0, int c = 0, int skip = 0) {
    if (!ValidCommand(command) || count < 0 || skip < 0) return 0;
    return WithHid<NuvBool>(id, 0, [&](HidInterface &hid) -> NuvBool {
        hid.AddFault(kind, command, count, a, b, c, skip);
        return 1;
    });
}

bool ValidFlashRange(unsigned int address, int size) {
    return size >= 0 && address < Firmware::kFlashSize &&
           static_cast<unsigned long long>(address) + static_cast<unsigned>(size) <= Firmware::kFlashSize;
}

}  // namespace

int NUV_CALL NuvSimAddHidInterface(const char *path, const char *parentInstanceId, const char *serialString,
                                   unsigned int serialNumber, int inputLength, int outputLength) {
    return Guarded<int>(0, [&]() -> int {
        if (path == nullptr || *path == '\0' || inputLength < 0 || outputLength < 0 || inputLength > 0xFFFF ||
            outputLength > 0xFFFF) {
            return 0;
        }
        auto hid = std::make_shared<HidInterface>(
            path, parentInstanceId ? parentInstanceId : "", nuv::sim::Widen(serialString),
            std::make_shared<Firmware>(serialNumber), inputLength ? inputLength : HidInterface::kDefaultReportLength,
            outputLength ? outputLength : HidInterface::kDefaultReportLength);
        return World::Instance().AddHidInterface(std::move(hid));
    });
}

NuvBool NUV_CALL NuvSimRemoveHidInterface(int hid) {
    return Guarded<NuvBool>(0, [&] { return static_cast<NuvBool>(World::Instance().RemoveHidInterface(hid)); });
}

NuvBool NUV_CALL NuvSimAttachHidInterface(int deviceId, int hid) {
    return Guarded<NuvBool>(0,
                            [&] { return static_cast<NuvBool>(World::Instance().AttachHidInterface(deviceId, hid)); });
}

int NUV_CALL NuvSimCameraHidInterface(int deviceId) {
    return Guarded<int>(0, [&]() -> int {
        World &world = World::Instance();
        std::lock_guard<std::mutex> hold(world.Lock());
        for (const auto &device : world.Devices()) {
            if (device->id == deviceId) return device->hid ? device->hid->id : 0;
        }
        return 0;
    });
}

int NUV_CALL NuvSimHidInterfaceCount(void) {
    return Guarded<int>(0, [] {
        World &world = World::Instance();
        std::lock_guard<std::mutex> hold(world.Lock());
        return static_cast<int>(world.HidInterfaces().size());
    });
}

NuvBool NUV_CALL NuvSimSetHidReportLengths(int hid, int inputLength, int outputLength) {
    if (inputLength < 0 || outputLength < 0 || inputLength > 0xFFFF || outputLength > 0xFFFF) return 0;
    return WithHid<NuvBool>(hid, 0, [&](HidInterface &h) -> NuvBool {
        h.SetReportLengths(inputLength, outputLength);
        return 1;
    });
}

int NUV_CALL NuvSimHidOpenFlags(int hid) {
    return WithHid<int>(hid, -1, [](HidInterface &h) { return static_cast<int>(h.LastOpenFlags()); });
}

int NUV_CALL NuvSimLiveHidPreparsedData(void) { return nuv::sim::gLivePreparsedData.load(); }

NuvBool NUV_CALL NuvSimHidFailWrites(int hid, int count) {
    if (count < 0) return 0;
    return WithHid<NuvBool>(hid, 0, [&](HidInterface &h) -> NuvBool {
        h.FailWrites(count);
        return 1;
    });
}

NuvBool NUV_CALL NuvSimHidDropReplies(int hid, int command, int count) {
    return AddFault(hid, FaultKind::Drop, command, count);
}

NuvBool NUV_CALL NuvSimHidReplyStatus(int hid, int command, int count, int status) {
    if (status < 0 || status > 0xFF) return 0;
    return AddFault(hid, FaultKind::Status, command, count, status);
}

NuvBool NUV_CALL NuvSimHidReplyMismatched(int hid, int command, int count, int sequenceDelta, int codeDelta,
                                          int thenAnswer) {
    return AddFault(hid, FaultKind::Mismatch, command, count, sequenceDelta, codeDelta, thenAnswer != 0);
}

NuvBool NUV_CALL NuvSimHidReplyLate(int hid, int command, int count, unsigned int delayMs) {
    return AddFault(hid, FaultKind::Late, command, count, static_cast<int>(delayMs));
}

NuvBool NUV_CALL NuvSimHidEchoAddress(int hid, int command, int count, int addressDelta) {
    if (command != 0x20 && command != 0x21 && command != -1) return 0;
    return AddFault(hid, FaultKind::EchoAddress, command, count, addressDelta);
}

NuvBool NUV_CALL NuvSimHidCorruptFlashRead(int hid, int count, int dataByte) {
    if (dataByte < 0 || dataByte >= static_cast<int>(Firmware::kChunkSize)) return 0;
    return AddFault(hid, FaultKind::CorruptRead, 0x21, count, dataByte);
}

NuvBool NUV_CALL NuvSimHidDropRepliesAfter(int hid, int command, int skip, int count) {
    return AddFault(hid, FaultKind::Drop, command, count, 0, 0, 0, skip);
}

NuvBool NUV_CALL NuvSimHidReplyStatusAfter(int hid, int command, int skip, int count, int status) {
    if (status < 0 || status > 0xFF) return 0;
    return AddFault(hid, FaultKind::Status, command, count, status, 0, 0, skip);
}

NuvBool NUV_CALL NuvSimHidCorruptFlashReadAfter(int hid, int skip, int count, int dataByte) {
    if (dataByte < 0 || dataByte >= static_cast<int>(Firmware::kChunkSize)) return 0;
    return AddFault(hid, FaultKind::CorruptRead, 0x21, count, dataByte, 0, 0, skip);
}

NuvBool NUV_CALL NuvSimHidClearFaults(int hid) {
    return WithHid<NuvBool>(hid, 0, [](HidInterface &h) -> NuvBool {
        h.ClearFaults();
        return 1;
    });
}

int NUV_CALL NuvSimHidCommandCount(int hid) {
    return WithHid<int>(hid, 0, [](HidInterface &h) { return static_cast<int>(h.CommandCount()); });
}

int NUV_CALL NuvSimHidCommandReport(int hid, int index, unsigned char *report, int size) {
    return WithHid<int>(hid, -1, [&](HidInterface &h) -> int {
        const auto log = h.CommandLog();
        if (index < 0 || static_cast<std::size_t>(index) >= log.size()) return -1;
        const auto &entry = log[static_cast<std::size_t>(index)];
        if (report != nullptr && size > 0) {
            std::memcpy(report, entry.data(), std::min<std::size_t>(entry.size(), static_cast<std::size_t>(size)));
        }
        return static_cast<int>(entry.size());
    });
}

NuvBool NUV_CALL NuvSimHidClearCommandLog(int hid) {
    return WithHid<NuvBool>(hid, 0, [](HidInterface &h) -> NuvBool {
        h.ClearCommandLog();
        return 1;
    });
}

NuvBool NUV_CALL NuvSimFlashPeek(int hid, unsigned int address, unsigned char *data, int size) {
    if ((data == nullptr && size > 0) || !ValidFlashRange(address, size)) return 0;
    return WithHid<NuvBool>(hid, 0, [&](HidInterface &h) -> NuvBool {
        h.WithFirmware([&](Firmware &f) { f.FlashPeek(address, data, static_cast<std::size_t>(size)); });
        return 1;
    });
}

NuvBool NUV_CALL NuvSimFlashPoke(int hid, unsigned int address, const unsigned char *data, int size) {
    if ((data == nullptr && size > 0) || !ValidFlashRange(address, size)) return 0;
    return WithHid<NuvBool>(hid, 0, [&](HidInterface &h) -> NuvBool {
        h.WithFirmware([&](Firmware &f) { f.FlashPoke(address, data, static_cast<std::size_t>(size)); });
        return 1;
    });
}

int NUV_CALL NuvSimFlashUsedSectors(int hid) {
    return WithHid<int>(hid, -1, [](HidInterface &h) {
        return h.WithFirmware([](Firmware &f) { return static_cast<int>(f.StoredSectors()); });
    });
}

NuvBool NUV_CALL NuvSimHidGpio(int hid, int *direction, int *output) {
    return WithHid<NuvBool>(hid, 0, [&](HidInterface &h) -> NuvBool {
        h.WithFirmware([&](Firmware &f) {
            if (direction) *direction = f.gpioDirection;
            if (output) *output = f.gpioOutput;
        });
        return 1;
    });
}

NuvBool NUV_CALL NuvSimHidSetGpioExternal(int hid, int levels) {
    return WithHid<NuvBool>(hid, 0, [&](HidInterface &h) -> NuvBool {
        h.WithFirmware([&](Firmware &f) { f.gpioExternal = static_cast<std::uint8_t>(levels); });
        return 1;
    });
}

NuvBool NUV_CALL NuvSimHidDigitalGains(int hid, unsigned short gains[4]) {
    if (gains == nullptr) return 0;
    return WithHid<NuvBool>(hid, 0, [&](HidInterface &h) -> NuvBool {
        h.WithFirmware([&](Firmware &f) { std::copy(f.gains, f.gains + 4, gains); });
        return 1;
    });
}

int NUV_CALL NuvSimHidShutter(int hid) {
    return WithHid<int>(hid, -1, [](HidInterface &h) { return h.WithFirmware([](Firmware &f) { return int{f.shutter}; }); });
}

int NUV_CALL NuvSimHidRegister(int hid, int address) {
    return WithHid<int>(hid, -1, [&](HidInterface &h) {
        return h.WithFirmware([&](Firmware &f) -> int {
            auto it = f.registers.find(static_cast<std::uint16_t>(address));
            return (address < 0 || address > 0xFFFF || it == f.registers.end()) ? -1 : it->second;
        });
    });
}

NuvBool NUV_CALL NuvSimHidSetTemperature(int hid, int selector, int value) {
    if ((selector != 1 && selector != 2) || value < 0 || value > 255) return 0;
    return WithHid<NuvBool>(hid, 0, [&](HidInterface &h) -> NuvBool {
        h.WithFirmware([&](Firmware &f) { f.temperature[selector - 1] = static_cast<std::uint8_t>(value); });
        return 1;
    });
}

NuvBool NUV_CALL NuvSimHidSetVersionText(int hid, const char *text) {
    if (text == nullptr) return 0;
    return WithHid<NuvBool>(hid, 0, [&](HidInterface &h) -> NuvBool {
        h.WithFirmware([&](Firmware &f) { f.versionText = text; });
        return 1;
    });
}

NuvBool NUV_CALL NuvSimHidSetIdentity(int hid, int recognition, int usbMode) {
    return WithHid<NuvBool>(hid, 0, [&](HidInterface &h) -> NuvBool {
        h.WithFirmware([&](Firmware &f) {
            f.recognition = static_cast<std::uint8_t>(recognition);
            f.usbMode = static_cast<std::uint8_t>(usbMode);
        });
        return 1;
    });
}

// ---- Threads ----------------------------------------------------------------

void NUV_CALL NuvSimFailThreadCreations(int count) { nuv::sim::FailThreadCreations(count); }
void NUV_CALL NuvSimHoldNewThreads(int on) { nuv::sim::HoldNewThreads(on != 0); }
