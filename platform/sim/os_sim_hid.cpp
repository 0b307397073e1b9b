// The OS door's control-channel services, answered by the simulated files:
// report I/O bounded by a deadline.
#include "platform/os.h"
#include "platform/sim/files.h"

namespace nuv::os {

BOOL WriteFileWithin(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, DWORD) {
    // Simulated devices take a report at once or fail it.
    auto target = sim::FileTable::Instance().Get(file);
    return target ? target->Write(data, bytes, written) : FALSE;
}

BOOL ReadFileWithin(HANDLE file, LPVOID data, DWORD bytes, LPDWORD read, DWORD timeoutMs) {
    auto source = sim::FileTable::Instance().Get(file);
    return source ? source->ReadWithin(data, bytes, read, timeoutMs) : FALSE;
}

}  // namespace nuv::os

// ---- HID class services over the virtual HID interfaces ----------------------
#include <atomic>
#include <cstring>

#include "platform/sim/hid_interface.h"

namespace nuv::sim {

// What HidD_GetPreparsedData hands out: the interface's capabilities at the
// time of the call. Counted, so that tests can see every one freed.
struct SimPreparsedData {
    static constexpr std::uint32_t kMagic = 0x48494450;  // "HIDP"
    std::uint32_t magic = kMagic;
    HIDP_CAPS caps{};
};

std::atomic<int> gLivePreparsedData{0};

namespace {
SimPreparsedData *FromOpaque(PHIDP_PREPARSED_DATA preparsed) {
    auto *data = reinterpret_cast<SimPreparsedData *>(preparsed);
    return data != nullptr && data->magic == SimPreparsedData::kMagic ? data : nullptr;
}
}  // namespace

}  // namespace nuv::sim

namespace nuv::os {

void HidD_GetHidGuid(LPGUID hidGuid) {
    if (hidGuid == nullptr) return;
    // The HID device interface class.
    *hidGuid = GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA *preparsed) {
    if (preparsed == nullptr) return FALSE;
    auto hid = sim::HidInterfaceOf(device);
    if (!hid) return FALSE;
    auto *data = new sim::SimPreparsedData();
    data->caps.Usage = 0x0001;
    data->caps.UsagePage = 0xFF00;  // vendor-defined
    data->caps.InputReportByteLength = static_cast<USHORT>(hid->InputLength());
    data->caps.OutputReportByteLength = static_cast<USHORT>(hid->OutputLength());
    data->caps.NumberLinkCollectionNodes = 1;
    data->caps.NumberInputValueCaps = 1;
    data->caps.NumberOutputValueCaps = 1;
    ++sim::gLivePreparsedData;
    *preparsed = reinterpret_cast<PHIDP_PREPARSED_DATA>(data);
    return TRUE;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) {
    sim::SimPreparsedData *data = sim::FromOpaque(preparsed);
    if (data == nullptr) return FALSE;
    data->magic = 0;
    delete data;
    --sim::gLivePreparsedData;
    return TRUE;
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) {
    const sim::SimPreparsedData *data = sim::FromOpaque(preparsed);
    if (data == nullptr || caps == nullptr) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *caps = data->caps;
    return HIDP_STATUS_SUCCESS;
}

// The string with its terminator, in WCHAR units; fails when the buffer
// cannot hold all of it.
BOOLEAN HidD_GetSerialNumberString(HANDLE device, PVOID buffer, ULONG bufferLength) {
    auto hid = sim::HidInterfaceOf(device);
    if (!hid || buffer == nullptr) return FALSE;
    const std::wstring &serial = hid->SerialString();
    const std::size_t bytes = (serial.size() + 1) * sizeof(WCHAR);
    if (bufferLength < bytes) return FALSE;
    auto *out = static_cast<WCHAR *>(buffer);
    for (std::size_t i = 0; i < serial.size(); ++i) out[i] = static_cast<WCHAR>(serial[i]);
    out[serial.size()] = 0;
    return TRUE;
}

}  // namespace nuv::os
