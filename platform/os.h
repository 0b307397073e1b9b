// The one door to the operating system. Every OS service the library uses is
// declared here, in namespace nuv::os, under the OS's own name and signature.
// Which world answers is decided at link time: platform/windows forwards to
// the OS (nuv.dll), platform/sim lets the simulated camera world answer
// (nuv_sim). On Windows the SDK supplies types, interfaces and GUIDs; on other
// systems platform/compat declares the same names.
#pragma once

#if defined(_WIN32)
#ifndef STRSAFE_NO_DEPRECATE
#define STRSAFE_NO_DEPRECATE
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <dshow.h>
#include <qedit.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// The toolchain's HID headers declare C functions without extern "C".
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
// Missing from the SDK headers of the toolchain.
inline constexpr GUID CLSID_SampleGrabber = {
    0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
#else
#include "compat/win_types.h"
#include "compat/com.h"
#include "compat/dshow.h"
#include "compat/devices.h"
#endif

#include <cstddef>

namespace nuv::os {

// COM
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
void CoUninitialize();
HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID *object);
LPVOID CoTaskMemAlloc(size_t bytes);
void CoTaskMemFree(LPVOID block);
void VariantInit(VARIANT *variant);
HRESULT VariantClear(VARIANT *variant);
BSTR SysAllocString(const OLECHAR *text);
void SysFreeString(BSTR text);

// Device setup and configuration manager
HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, PCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA data, const GUID *interfaceGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA interfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA data);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
CONFIGRET CM_Get_Parent(PDEVINST parent, DEVINST device, ULONG flags);
CONFIGRET CM_Get_Device_IDA(DEVINST device, PCHAR buffer, ULONG bufferLength, ULONG flags);

// HID class
void HidD_GetHidGuid(LPGUID hidGuid);
BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA *preparsed);
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed);
NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps);
BOOLEAN HidD_GetSerialNumberString(HANDLE device, PVOID buffer, ULONG bufferLength);

// Files
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE file, LPVOID data, DWORD bytes, LPDWORD read, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE object);
// What a handle is (a disk file, a pipe, a character device ...), and the
// size of a disk file.
DWORD GetFileType(HANDLE file);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);

// Time
DWORD GetTickCount();
void Sleep(DWORD milliseconds);

// Text
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideLength, LPSTR narrow, int narrowLength,
                        LPCCH defaultChar, LPBOOL usedDefaultChar);

// ---- Control channel report I/O --------------------------------------------
// A synchronous HID handle offers no read that gives up at a deadline: a read
// waits for the next input report however long that takes. The control
// channel is therefore opened with FILE_FLAG_OVERLAPPED, and these two start
// one overlapped transfer and wait for it at most timeoutMs milliseconds; a
// transfer still pending then is cancelled and the call fails. Not OS
// functions themselves: on Windows they are built from ReadFile/WriteFile,
// WaitForSingleObject and CancelIoEx, the way widely used HID libraries do.
BOOL WriteFileWithin(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, DWORD timeoutMs);
BOOL ReadFileWithin(HANDLE file, LPVOID data, DWORD bytes, LPDWORD read, DWORD timeoutMs);

// ---- Memory -------------------------------------------------------------------
// The library's large buffers (frame buffers, gain maps, firmware images),
// aligned to alignment bytes (a power of two, at most 4096): gain maps start
// on a cache line so the correction kernels read them in whole lines. Null
// when memory runs out. On Windows the C runtime's aligned heap.
void *AllocateAligned(std::size_t bytes, std::size_t alignment);
void FreeAligned(void *block);

// ---- Threads ------------------------------------------------------------------
// The firmware rewrite's worker. The handle is closed with CloseHandle.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);

}  // namespace nuv::os
