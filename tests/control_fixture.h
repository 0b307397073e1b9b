// A camera with a control channel on a simulated HID interface, registered
// the way camera opening will register it, for the vendor-command and
// firmware tests.
#pragma once

#include <cstdint>
#include <vector>

#include "api/registry.h"
#include "api/testing.h"
#include "control/hid_transport.h"
#include "platform/os.h"
#include "sim_fixture.h"

class ControlTest : public SimTest {
protected:
    static constexpr const char *kPath = "\\\\?\\hid#vid_1b8d&pid_0101&mi_02#7&2f3a91c&0&0000#{4d1e55b2}";
    static constexpr std::uint32_t kSerial = 0x12345678;

    void SetUp() override {
        SimTest::SetUp();
        hid = NuvSimAddHidInterface(kPath, "USB\\VID_1B8D&PID_0101\\6&1a2b3c4d&0&2", "12345678", kSerial, 0, 0);
        ASSERT_GT(hid, 0);
    }

    void TearDown() override {
        for (int i = 0; i < nuv::kCameraCount; ++i) nuv::ClearRecord(nuv::Record(i));
        SimTest::TearDown();
    }

    // Opens the interface as the control-channel search does, with the
    // report lengths of its capabilities.
    nuv::ControlChannelRef OpenChannel(const char *path = kPath) {
        HANDLE file = nuv::os::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, nuv::kControlChannelFlags, nullptr);
        if (file == INVALID_HANDLE_VALUE) return nullptr;
        HIDP_CAPS caps{};
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (nuv::os::HidD_GetPreparsedData(file, &preparsed)) {
            if (nuv::os::HidP_GetCaps(preparsed, &caps) != HIDP_STATUS_SUCCESS) caps = HIDP_CAPS{};
            nuv::os::HidD_FreePreparsedData(preparsed);
        }
        return std::make_shared<nuv::ControlChannel>(file, caps.InputReportByteLength, caps.OutputReportByteLength);
    }

    // Registers camera `handle` (kind 0 "NUV" or 1 "NUV2") in record `slot`
    // with its parameter block read from the camera, as opening does.
    HANDLE RegisterWithChannel(int handle, int kind, int slot = 0, bool withBlock = true) {
        auto channel = OpenChannel();
        if (!channel) return nullptr;
        nuv::ParameterBlockRef block;
        if (withBlock) {
            auto read = std::make_shared<nuv::ParameterBlock>();
            if (!nuv::ReadParameterBlock(*channel, *read)) return nullptr;
            block = read;
        }
        HANDLE raw = channel->handle();
        nuv::RegisterCamera(slot, handle, channel, kind, block, 0, nullptr, nullptr, 0);
        NuvSimHidClearCommandLog(hid);
        return raw;
    }

    int Sent() const { return NuvSimHidCommandCount(hid); }

    std::vector<std::uint8_t> SentReport(int index) const {
        const int length = NuvSimHidCommandReport(hid, index, nullptr, 0);
        std::vector<std::uint8_t> report(length > 0 ? static_cast<std::size_t>(length) : 0);
        if (length > 0) NuvSimHidCommandReport(hid, index, report.data(), length);
        return report;
    }

    std::vector<std::uint8_t> Flash(std::uint32_t address, int size) const {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
        NuvSimFlashPeek(hid, address, bytes.data(), size);
        return bytes;
    }

    int hid = 0;
};
