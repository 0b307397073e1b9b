// The OS door on Windows: each service forwards to the OS function of the
// same name.
#include <malloc.h>

#include "platform/os.h"

namespace nuv::os {

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) { return ::CoInitializeEx(reserved, coInit); }
void CoUninitialize() { ::CoUninitialize(); }
HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID *object) {
    return ::CoCreateInstance(clsid, outer, context, iid, object);
}
LPVOID CoTaskMemAlloc(size_t bytes) { return ::CoTaskMemAlloc(bytes); }
void CoTaskMemFree(LPVOID block) { ::CoTaskMemFree(block); }
void VariantInit(VARIANT *variant) { ::VariantInit(variant); }
HRESULT VariantClear(VARIANT *variant) { return ::VariantClear(variant); }
BSTR SysAllocString(const OLECHAR *text) { return ::SysAllocString(text); }
void SysFreeString(BSTR text) { ::SysFreeString(text); }

HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
    return ::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
}
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
    return ::SetupDiEnumDeviceInfo(set, index, data);
}
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA data, const GUID *interfaceGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA interfaceData) {
    return ::SetupDiEnumDeviceInterfaces(set, data, interfaceGuid, index, interfaceData);
}
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA data) {
    return ::SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, detailSize, requiredSize, data);
}
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) { return ::SetupDiDestroyDeviceInfoList(set); }
CONFIGRET CM_Get_Parent(PDEVINST parent, DEVINST device, ULONG flags) {
    return ::CM_Get_Parent(parent, device, flags);
}
CONFIGRET CM_Get_Device_IDA(DEVINST device, PCHAR buffer, ULONG bufferLength, ULONG flags) {
    return ::CM_Get_Device_IDA(device, buffer, bufferLength, flags);
}

void HidD_GetHidGuid(LPGUID hidGuid) { ::HidD_GetHidGuid(hidGuid); }
BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA *preparsed) {
    return ::HidD_GetPreparsedData(device, preparsed);
}
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) { return ::HidD_FreePreparsedData(preparsed); }
NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) { return ::HidP_GetCaps(preparsed, caps); }
BOOLEAN HidD_GetSerialNumberString(HANDLE device, PVOID buffer, ULONG bufferLength) {
    return ::HidD_GetSerialNumberString(device, buffer, bufferLength);
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
    return ::CreateFileA(path, access, share, security, disposition, flags, templateFile);
}
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped) {
    return ::WriteFile(file, data, bytes, written, overlapped);
}
BOOL ReadFile(HANDLE file, LPVOID data, DWORD bytes, LPDWORD read, LPOVERLAPPED overlapped) {
    return ::ReadFile(file, data, bytes, read, overlapped);
}
BOOL CloseHandle(HANDLE object) { return ::CloseHandle(object); }
DWORD GetFileType(HANDLE file) { return ::GetFileType(file); }
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) { return ::GetFileSizeEx(file, size); }

void *AllocateAligned(std::size_t bytes, std::size_t alignment) { return ::_aligned_malloc(bytes, alignment); }
void FreeAligned(void *block) { ::_aligned_free(block); }

DWORD GetTickCount() { return ::GetTickCount(); }
void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideLength, LPSTR narrow, int narrowLength,
                        LPCCH defaultChar, LPBOOL usedDefaultChar) {
    return ::WideCharToMultiByte(codePage, flags, wide, wideLength, narrow, narrowLength, defaultChar,
                                 usedDefaultChar);
}

}  // namespace nuv::os

// ---- Control channel report I/O --------------------------------------------
namespace nuv::os {

namespace {

// One overlapped transfer on a handle opened with FILE_FLAG_OVERLAPPED,
// waited for at most timeoutMs. A transfer still pending at the deadline is
// cancelled, and its completion awaited before returning, because the OS
// writes into data and ov until the cancellation has completed.
template <class Start>
BOOL OverlappedWithin(HANDLE file, LPDWORD transferred, DWORD timeoutMs, Start start) {
    if (transferred) *transferred = 0;
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) return FALSE;
    DWORD count = 0;
    BOOL ok = start(&ov);
    if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
        if (::WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0) {
            ::CancelIoEx(file, &ov);
        }
        // Completed, or cancelled: either way wait for the final state.
        ok = ::GetOverlappedResult(file, &ov, &count, TRUE);
    } else if (ok) {
        ok = ::GetOverlappedResult(file, &ov, &count, FALSE);
    }
    ::CloseHandle(ov.hEvent);
    if (ok && transferred) *transferred = count;
    return ok;
}

}  // namespace

BOOL WriteFileWithin(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, DWORD timeoutMs) {
    return OverlappedWithin(file, written, timeoutMs,
                            [&](OVERLAPPED *ov) { return ::WriteFile(file, data, bytes, nullptr, ov); });
}

BOOL ReadFileWithin(HANDLE file, LPVOID data, DWORD bytes, LPDWORD read, DWORD timeoutMs) {
    return OverlappedWithin(file, read, timeoutMs,
                            [&](OVERLAPPED *ov) { return ::ReadFile(file, data, bytes, nullptr, ov); });
}

}  // namespace nuv::os

// ---- Threads -----------------------------------------------------------------
namespace nuv::os {

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId) {
    return ::CreateThread(security, stackSize, start, parameter, flags, threadId);
}
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) { return ::WaitForSingleObject(object, milliseconds); }

}  // namespace nuv::os
