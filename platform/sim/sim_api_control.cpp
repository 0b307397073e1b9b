// The simulator's control API for control functions (HID interfaces) and the
// camera firmware behind them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/guarded.h"
#include "nuv_sim.h"
#include "platform/sim/world.h"

using nuv::Guarded;
using nuv::sim::ControlFunction;
using nuv::sim::Firmware;
using nuv::sim::ReplyFault;
using nuv::sim::World;

namespace {

// Runs body(control) for a control function that exists; failure otherwise.
template <class R, class F>
R WithControl(int id, R failure, F &&body) noexcept {
    return Guarded<R>(failure, [&]() -> R {
        auto control = World::Instance().FindControl(id);
        return control ? body(*control) : failure;
    });
}

bool ValidCommand(int command) { return command >= -1 && command <= 0xFF; }

NuvBool AddFault(int id, ReplyFault fault) {
    if (!ValidCommand(fault.command) || fault.count < 0 || fault.skip < 0) return 0;
    return WithControl<NuvBool>(id, 0, [&](ControlFunction &control) -> NuvBool {
        control.AddFault(fault);
        return 1;
    });
}

bool ValidFlashRange(unsigned int address, int size) {
    return size >= 0 && address < Firmware::kFlashSize &&
           static_cast<unsigned long long>(address) + static_cast<unsigned>(size) <= Firmware::kFlashSize;
}

bool ValidLength(int length) { return length >= 0 && length <= 0xFFFF; }

}  // namespace

int NUV_CALL NuvSimAddHidInterface(const char *path, const char *parentInstanceId, const char *serialString,
                                   unsigned int serialNumber, int inputLength, int outputLength) {
    return Guarded<int>(0, [&]() -> int {
        if (path == nullptr || *path == '\0' || !ValidLength(inputLength) || !ValidLength(outputLength)) return 0;
        World &world = World::Instance();
        const int next = world.ControlCount() + 1;
        char instance[64];
        std::snprintf(instance, sizeof instance, "HID\\VID_1D6B&PID_0102\\9&%08X&0&0000", 0x5E6F0000u + next);
        return world.AddControl(std::make_shared<ControlFunction>(
            path, instance, parentInstanceId ? parentInstanceId : "", nuv::framework::Widen(serialString),
            serialNumber, inputLength ? inputLength : ControlFunction::kDefaultReportLength,
            outputLength ? outputLength : ControlFunction::kDefaultReportLength));
    });
}

NuvBool NUV_CALL NuvSimRemoveHidInterface(int hid) {
    return Guarded<NuvBool>(0, [&] { return static_cast<NuvBool>(World::Instance().RemoveControl(hid)); });
}

NuvBool NUV_CALL NuvSimAttachHidInterface(int deviceId, int hid) {
    return Guarded<NuvBool>(0, [&] { return static_cast<NuvBool>(World::Instance().AttachControl(deviceId, hid)); });
}

int NUV_CALL NuvSimCameraHidInterface(int deviceId) {
    return Guarded<int>(0, [&]() -> int {
        auto device = World::Instance().FindDevice(deviceId);
        auto control = device ? device->Control() : nullptr;
        return control ? control->id : 0;
    });
}

int NUV_CALL NuvSimHidInterfaceCount(void) {
    return Guarded<int>(0, [] { return World::Instance().ControlCount(); });
}

NuvBool NUV_CALL NuvSimSetHidReportLengths(int hid, int inputLength, int outputLength) {
    if (!ValidLength(inputLength) || !ValidLength(outputLength)) return 0;
    return WithControl<NuvBool>(hid, 0, [&](ControlFunction &c) -> NuvBool {
        c.SetReportLengths(inputLength, outputLength);
        return 1;
    });
}

int NUV_CALL NuvSimHidOpenFlags(int hid) {
    return WithControl<int>(hid, -1, [](ControlFunction &c) { return static_cast<int>(c.LastOpenFlags()); });
}

// ---- Faults ---------------------------------------------------------------------

NuvBool NUV_CALL NuvSimHidFailWrites(int hid, int count) { return NuvSimHidFailWritesAfter(hid, 0, count); }

NuvBool NUV_CALL NuvSimHidFailWritesAfter(int hid, int skip, int count) {
    if (count < 0 || skip < 0) return 0;
    return WithControl<NuvBool>(hid, 0, [&](ControlFunction &c) -> NuvBool {
        c.FailWrites(skip, count);
        return 1;
    });
}

NuvBool NUV_CALL NuvSimHidDropReplies(int hid, int command, int count) {
    return NuvSimHidDropRepliesAfter(hid, command, 0, count);
}

NuvBool NUV_CALL NuvSimHidDropRepliesAfter(int hid, int command, int skip, int count) {
    return AddFault(hid, {.kind = ReplyFault::Kind::Drop, .command = command, .skip = skip, .count = count});
}

NuvBool NUV_CALL NuvSimHidReplyStatus(int hid, int command, int count, int status) {
    return NuvSimHidReplyStatusAfter(hid, command, 0, count, status);
}

NuvBool NUV_CALL NuvSimHidReplyStatusAfter(int hid, int command, int skip, int count, int status) {
    if (status < 0 || status > 0xFF) return 0;
    return AddFault(hid, {.kind = ReplyFault::Kind::Status, .command = command, .skip = skip, .count = count,
                          .status = static_cast<std::uint8_t>(status)});
}

NuvBool NUV_CALL NuvSimHidReplyMismatched(int hid, int command, int count, int sequenceDelta, int codeDelta,
                                          int thenAnswer) {
    return AddFault(hid, {.kind = ReplyFault::Kind::Mismatch, .command = command, .count = count,
                          .sequenceDelta = sequenceDelta, .codeDelta = codeDelta, .thenAnswer = thenAnswer != 0});
}

NuvBool NUV_CALL NuvSimHidReplyLate(int hid, int command, int count, unsigned int delayMs) {
    return AddFault(hid, {.kind = ReplyFault::Kind::Late, .command = command, .count = count, .delayMs = delayMs});
}

NuvBool NUV_CALL NuvSimHidEchoAddress(int hid, int command, int count, int addressDelta) {
    return NuvSimHidEchoAddressAfter(hid, command, 0, count, addressDelta);
}

NuvBool NUV_CALL NuvSimHidEchoAddressAfter(int hid, int command, int skip, int count, int addressDelta) {
    if (command != 0x20 && command != 0x21 && command != -1) return 0;
    return AddFault(hid, {.kind = ReplyFault::Kind::EchoAddress, .command = command, .skip = skip, .count = count,
                          .addressDelta = addressDelta});
}

NuvBool NUV_CALL NuvSimHidCorruptFlashRead(int hid, int count, int dataByte) {
    return NuvSimHidCorruptFlashReadAfter(hid, 0, count, dataByte);
}

NuvBool NUV_CALL NuvSimHidCorruptFlashReadAfter(int hid, int skip, int count, int dataByte) {
    if (dataByte < 0 || dataByte >= static_cast<int>(Firmware::kChunkSize)) return 0;
    return AddFault(hid, {.kind = ReplyFault::Kind::CorruptRead, .command = 0x21, .skip = skip, .count = count,
                          .dataByte = dataByte});
}

NuvBool NUV_CALL NuvSimHidScriptReply(int hid, const unsigned char *report, int length) {
    if (length < 0 || length > 0xFFFF || (report == nullptr && length > 0)) return 0;
    return WithControl<NuvBool>(hid, 0, [&](ControlFunction &c) -> NuvBool {
        c.ScriptReply(std::vector<std::uint8_t>(report, report + length));
        return 1;
    });
}

NuvBool NUV_CALL NuvSimHidPauseAt(int hid, int command, int skip) {
    if (!ValidCommand(command) || skip < 0) return 0;
    return WithControl<NuvBool>(hid, 0, [&](ControlFunction &c) -> NuvBool {
        c.PauseAt(command, skip);
        return 1;
    });
}

NuvBool NUV_CALL NuvSimHidWaitPaused(int hid, unsigned int timeoutMs) {
    return WithControl<NuvBool>(hid, 0, [&](ControlFunction &c) -> NuvBool { return c.WaitUntilPaused(timeoutMs); });
}

NuvBool NUV_CALL NuvSimHidResume(int hid) {
    return WithControl<NuvBool>(hid, 0, [](ControlFunction &c) -> NuvBool {
        c.Resume();
        return 1;
    });
}

NuvBool NUV_CALL NuvSimHidClearFaults(int hid) {
    return WithControl<NuvBool>(hid, 0, [](ControlFunction &c) -> NuvBool {
        c.ClearFaults();
        return 1;
    });
}

// ---- Observation ------------------------------------------------------------------

int NUV_CALL NuvSimHidCommandCount(int hid) {
    return WithControl<int>(hid, 0, [](ControlFunction &c) { return static_cast<int>(c.CommandCount()); });
}

int NUV_CALL NuvSimHidCommandReport(int hid, int index, unsigned char *report, int size) {
    if (index < 0) return -1;
    return WithControl<int>(hid, -1, [&](ControlFunction &c) -> int {
        return c.CommandReport(static_cast<std::size_t>(index), report,
                               report != nullptr && size > 0 ? static_cast<std::size_t>(size) : 0);
    });
}

NuvBool NUV_CALL NuvSimHidClearCommandLog(int hid) {
    return WithControl<NuvBool>(hid, 0, [](ControlFunction &c) -> NuvBool {
        c.ClearCommandLog();
        return 1;
    });
}

NuvBool NUV_CALL NuvSimFlashPeek(int hid, unsigned int address, unsigned char *data, int size) {
    if ((data == nullptr && size > 0) || !ValidFlashRange(address, size)) return 0;
    return WithControl<NuvBool>(hid, 0, [&](ControlFunction &c) -> NuvBool {
        c.WithFirmware([&](Firmware &f) { f.FlashPeek(address, data, static_cast<std::size_t>(size)); });
        return 1;
    });
}

NuvBool NUV_CALL NuvSimFlashPoke(int hid, unsigned int address, const unsigned char *data, int size) {
    if ((data == nullptr && size > 0) || !ValidFlashRange(address, size)) return 0;
    return WithControl<NuvBool>(hid, 0, [&](ControlFunction &c) -> NuvBool {
        c.WithFirmware([&](Firmware &f) { f.FlashPoke(address, data, static_cast<std::size_t>(size)); });
        return 1;
    });
}

int NUV_CALL NuvSimFlashUsedSectors(int hid) {
    return WithControl<int>(hid, -1, [](ControlFunction &c) {
        return c.WithFirmware([](Firmware &f) { return static_cast<int>(f.StoredSectors()); });
    });
}

NuvBool NUV_CALL NuvSimHidGpio(int hid, int *direction, int *output) {
    return WithControl<NuvBool>(hid, 0, [&](ControlFunction &c) -> NuvBool {
        c.WithFirmware([&](Firmware &f) {
            if (direction) *direction = f.gpioDirection;
            if (output) *output = f.gpioOutput;
        });
        return 1;
    });
}

NuvBool NUV_CALL NuvSimHidSetGpioExternal(int hid, int levels) {
    return WithControl<NuvBool>(hid, 0, [&](ControlFunction &c) -> NuvBool {
        c.WithFirmware([&](Firmware &f) { f.gpioExternal = static_cast<std::uint8_t>(levels); });
        return 1;
    });
}

NuvBool NUV_CALL NuvSimHidDigitalGains(int hid, unsigned short gains[4]) {
    if (gains == nullptr) return 0;
    return WithControl<NuvBool>(hid, 0, [&](ControlFunction &c) -> NuvBool {
        c.WithFirmware([&](Firmware &f) { std::copy(f.gains, f.gains + 4, gains); });
        return 1;
    });
}

int NUV_CALL NuvSimHidShutter(int hid) {
    return WithControl<int>(hid, -1,
                            [](ControlFunction &c) { return c.WithFirmware([](Firmware &f) { return int{f.shutter}; }); });
}

int NUV_CALL NuvSimHidRegister(int hid, int address) {
    return WithControl<int>(hid, -1, [&](ControlFunction &c) {
        return c.WithFirmware([&](Firmware &f) -> int {
            auto it = f.registers.find(static_cast<std::uint16_t>(address));
            return (address < 0 || address > 0xFFFF || it == f.registers.end()) ? -1 : it->second;
        });
    });
}

NuvBool NUV_CALL NuvSimHidSetTemperature(int hid, int selector, int value) {
    if ((selector != 1 && selector != 2) || value < 0 || value > 255) return 0;
    return WithControl<NuvBool>(hid, 0, [&](ControlFunction &c) -> NuvBool {
        c.WithFirmware([&](Firmware &f) { f.temperature[selector - 1] = static_cast<std::uint8_t>(value); });
        return 1;
    });
}

NuvBool NUV_CALL NuvSimHidSetVersionText(int hid, const char *text) {
    if (text == nullptr) return 0;
    return WithControl<NuvBool>(hid, 0, [&](ControlFunction &c) -> NuvBool {
        c.WithFirmware([&](Firmware &f) { f.versionText = text; });
        return 1;
    });
}

NuvBool NUV_CALL NuvSimHidSetIdentity(int hid, int recognition, int usbMode) {
    return WithControl<NuvBool>(hid, 0, [&](ControlFunction &c) -> NuvBool {
        c.WithFirmware([&](Firmware &f) {
            f.recognition = static_cast<std::uint8_t>(recognition);
            f.usbMode = static_cast<std::uint8_t>(usbMode);
        });
        return 1;
    });
}
