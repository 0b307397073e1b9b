// The OS door's files and HID class services over the control sources:
// CreateFileA opens a control interface by its device path (any other path
// is a file of the machine, read only), report I/O is bounded by a deadline
// on the framework's clock, and the HID class answers from the interface.
#include <algorithm>
#include <cstring>

#include "platform/framework/diagnostics.h"
#include "platform/framework/files.h"
#include "platform/framework/source.h"

namespace nuv::framework {
namespace {

// An open control interface as a file of the handle table.
class HidFile final : public FileObject {
public:
    HidFile(std::shared_ptr<ControlSource> source, std::shared_ptr<ControlHandle> handle)
        : source_(std::move(source)), handle_(std::move(handle)) {}

    BOOL Write(const void *data, DWORD bytes, DWORD *written) override {
        if (written) *written = 0;
        if (data == nullptr || !handle_->Write(static_cast<const std::uint8_t *>(data), bytes)) return FALSE;
        if (written) *written = bytes;
        return TRUE;
    }
    BOOL Read(void *data, DWORD bytes, DWORD *read) override { return ReadWithin(data, bytes, read, INFINITE); }
    BOOL ReadWithin(void *data, DWORD bytes, DWORD *read, DWORD timeoutMs) override {
        if (read) *read = 0;
        std::size_t length = 0;
        if (data == nullptr || !handle_->Read(static_cast<std::uint8_t *>(data), bytes, &length, timeoutMs)) {
            return FALSE;
        }
        if (read) *read = static_cast<DWORD>(length);
        return TRUE;
    }
    const std::shared_ptr<ControlSource> &source() const { return source_; }

private:
    std::shared_ptr<ControlSource> source_;
    std::shared_ptr<ControlHandle> handle_;
};

std::shared_ptr<ControlSource> SourceOfHandle(HANDLE handle) {
    auto file = FileTable::Instance().GetAs<HidFile>(handle);
    return file ? file->source() : nullptr;
}

// What HidD_GetPreparsedData hands out: the interface's capabilities at the
// time of the call. Counted, so that tests can see every one freed.
struct PreparsedData {
    static constexpr std::uint32_t kMagic = 0x48494450;  // "HIDP"
    std::uint32_t magic = kMagic;
    HIDP_CAPS caps{};
};

PreparsedData *FromOpaque(PHIDP_PREPARSED_DATA preparsed) {
    auto *data = reinterpret_cast<PreparsedData *>(preparsed);
    return data != nullptr && data->magic == PreparsedData::kMagic ? data : nullptr;
}

}  // namespace
}  // namespace nuv::framework

namespace nuv::os {

using framework::FaultPoint;
using framework::Faults;
using framework::FileTable;

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags, HANDLE) {
    if (path == nullptr) return INVALID_HANDLE_VALUE;
    for (auto &source : framework::Sources().ControlSources()) {
        if (source->Path() != path) continue;
        if (!source->Present() || Faults::Fails(FaultPoint::CreateFileA)) return INVALID_HANDLE_VALUE;
        auto handle = source->Open(flags);
        if (!handle) return INVALID_HANDLE_VALUE;
        return FileTable::Instance().Adopt(std::make_shared<framework::HidFile>(std::move(source), std::move(handle)));
    }
    if (access != GENERIC_READ || disposition != OPEN_EXISTING) return INVALID_HANDLE_VALUE;
    return FileTable::Instance().Adopt(framework::OpenDiskFile(path));
}

BOOL WriteFile(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED) {
    auto target = FileTable::Instance().Get(file);
    return target ? target->Write(data, bytes, written) : FALSE;
}

BOOL ReadFile(HANDLE file, LPVOID data, DWORD bytes, LPDWORD read, LPOVERLAPPED) {
    auto source = FileTable::Instance().Get(file);
    return source ? source->Read(data, bytes, read) : FALSE;
}

// The control interfaces take a report at once or fail it.
BOOL WriteFileWithin(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, DWORD) {
    return WriteFile(file, data, bytes, written, nullptr);
}

BOOL ReadFileWithin(HANDLE file, LPVOID data, DWORD bytes, LPDWORD read, DWORD timeoutMs) {
    auto source = FileTable::Instance().Get(file);
    return source ? source->ReadWithin(data, bytes, read, timeoutMs) : FALSE;
}

BOOL CloseHandle(HANDLE object) { return FileTable::Instance().Close(object) ? TRUE : FALSE; }

DWORD GetFileType(HANDLE file) {
    auto object = FileTable::Instance().Get(file);
    return object ? object->Type() : FILE_TYPE_UNKNOWN;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
    auto object = FileTable::Instance().Get(file);
    LONGLONG bytes = 0;
    if (size == nullptr || !object || !object->Size(&bytes)) return FALSE;
    size->QuadPart = bytes;
    return TRUE;
}

void HidD_GetHidGuid(LPGUID hidGuid) {
    if (hidGuid == nullptr) return;
    // The HID device interface class.
    *hidGuid = GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA *preparsed) {
    if (preparsed == nullptr) return FALSE;
    auto source = framework::SourceOfHandle(device);
    if (!source || Faults::Fails(FaultPoint::HidD_GetPreparsedData)) return FALSE;
    auto *data = new framework::PreparsedData();
    data->caps.Usage = 0x0001;
    data->caps.UsagePage = 0xFF00;  // vendor-defined
    data->caps.InputReportByteLength = static_cast<USHORT>(source->InputReportLength());
    data->caps.OutputReportByteLength = static_cast<USHORT>(source->OutputReportLength());
    data->caps.NumberLinkCollectionNodes = 1;
    data->caps.NumberInputValueCaps = 1;
    data->caps.NumberOutputValueCaps = 1;
    ++framework::Live().preparsedData;
    *preparsed = reinterpret_cast<PHIDP_PREPARSED_DATA>(data);
    return TRUE;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) {
    framework::PreparsedData *data = framework::FromOpaque(preparsed);
    if (data == nullptr) return FALSE;
    data->magic = 0;
    delete data;
    --framework::Live().preparsedData;
    return TRUE;
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) {
    const framework::PreparsedData *data = framework::FromOpaque(preparsed);
    if (data == nullptr || caps == nullptr || Faults::Fails(FaultPoint::HidP_GetCaps)) {
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    }
    *caps = data->caps;
    return HIDP_STATUS_SUCCESS;
}

// The string with its terminator, in UTF-16 units; fails when the buffer
// cannot hold all of it.
BOOLEAN HidD_GetSerialNumberString(HANDLE device, PVOID buffer, ULONG bufferLength) {
    auto source = framework::SourceOfHandle(device);
    framework::WideText serial;
    if (!source || buffer == nullptr || Faults::Fails(FaultPoint::HidD_GetSerialNumberString) ||
        !source->SerialString(&serial)) {
        return FALSE;
    }
    const std::size_t bytes = (serial.size() + 1) * sizeof(WCHAR);
    if (bufferLength < bytes) return FALSE;
    auto *out = static_cast<WCHAR *>(buffer);
    std::copy(serial.begin(), serial.end(), out);
    out[serial.size()] = 0;
    return TRUE;
}

}  // namespace nuv::os
