// The OS door answered by the simulated world: time, text, COM memory and
// apartments. Devices answer through the front ends beside this file.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/os.h"
#include "platform/sim/clock.h"
#include "platform/sim/files.h"
#include "platform/sim/world.h"

namespace nuv::os {

namespace {
// COM apartments are per thread: the first initialisation on a thread answers
// S_OK, later ones S_FALSE, each to be balanced by CoUninitialize.
thread_local int tComInitCount = 0;
}  // namespace

HRESULT CoInitializeEx(LPVOID, DWORD coInit) {
    if (coInit != COINIT_MULTITHREADED) return RPC_E_CHANGED_MODE;
    sim::World::Instance().NoteComInit(+1);
    return tComInitCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (tComInitCount > 0) {
        --tComInitCount;
        sim::World::Instance().NoteComInit(-1);
    }
}

LPVOID CoTaskMemAlloc(size_t bytes) { return std::malloc(bytes ? bytes : 1); }
void CoTaskMemFree(LPVOID block) { std::free(block); }

void VariantInit(VARIANT *variant) {
    std::memset(variant, 0, sizeof *variant);
    variant->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT *variant) {
    if (variant == nullptr) return E_INVALIDARG;
    if (variant->vt == VT_BSTR) os::SysFreeString(variant->bstrVal);
    os::VariantInit(variant);
    return S_OK;
}

// A BSTR carries its byte length in the four bytes before the text.
BSTR SysAllocString(const OLECHAR *text) {
    if (text == nullptr) return nullptr;
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    auto *block = static_cast<unsigned char *>(std::malloc(sizeof(DWORD) + (length + 1) * sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    const DWORD bytes = static_cast<DWORD>(length * sizeof(OLECHAR));
    std::memcpy(block, &bytes, sizeof bytes);
    auto *out = reinterpret_cast<OLECHAR *>(block + sizeof(DWORD));
    std::memcpy(out, text, (length + 1) * sizeof(OLECHAR));
    return out;
}

void SysFreeString(BSTR text) {
    if (text != nullptr) std::free(reinterpret_cast<unsigned char *>(text) - sizeof(DWORD));
}

DWORD GetTickCount() { return sim::Clock::Instance().Now(); }
void Sleep(DWORD milliseconds) { sim::Clock::Instance().Sleep(milliseconds); }

// The simulated ANSI code page is Latin-1: one byte per character, '?' for
// characters it cannot show.
int WideCharToMultiByte(UINT, DWORD, LPCWCH wide, int wideLength, LPSTR narrow, int narrowLength, LPCCH,
                        LPBOOL usedDefaultChar) {
    if (wide == nullptr || wideLength == 0 || narrowLength < 0) return 0;
    int count = wideLength;
    if (count < 0) {
        count = 0;
        while (wide[count] != 0) ++count;
        ++count;  // the terminator is converted too
    }
    if (usedDefaultChar) *usedDefaultChar = FALSE;
    if (narrowLength == 0) return count;
    const int fit = count <= narrowLength ? count : narrowLength;
    for (int i = 0; i < fit; ++i) {
        const auto c = static_cast<unsigned long>(wide[i]);
        narrow[i] = c <= 0xFF ? static_cast<char>(c) : '?';
        if (c > 0xFF && usedDefaultChar) *usedDefaultChar = TRUE;
    }
    return count <= narrowLength ? count : 0;
}

}  // namespace nuv::os

namespace nuv::os {

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags, HANDLE) {
    if (path == nullptr) return INVALID_HANDLE_VALUE;
    HANDLE device = sim::FileTable::Instance().Open(path, flags);
    if (device != INVALID_HANDLE_VALUE) return device;
    // Any other path is a file of the machine (a firmware image), read only.
    if (access != GENERIC_READ || disposition != OPEN_EXISTING) return INVALID_HANDLE_VALUE;
    return sim::FileTable::Instance().Adopt(sim::OpenDiskFile(path));
}

BOOL WriteFile(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED) {
    auto target = sim::FileTable::Instance().Get(file);
    return target ? target->Write(data, bytes, written) : FALSE;
}

BOOL ReadFile(HANDLE file, LPVOID data, DWORD bytes, LPDWORD read, LPOVERLAPPED) {
    auto source = sim::FileTable::Instance().Get(file);
    return source ? source->Read(data, bytes, read) : FALSE;
}

BOOL CloseHandle(HANDLE object) { return sim::FileTable::Instance().Close(object) ? TRUE : FALSE; }

DWORD GetFileType(HANDLE file) {
    auto object = sim::FileTable::Instance().Get(file);
    return object ? object->Type() : FILE_TYPE_UNKNOWN;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
    auto object = sim::FileTable::Instance().Get(file);
    LONGLONG bytes = 0;
    if (size == nullptr || !object || !object->Size(&bytes)) return FALSE;
    size->QuadPart = bytes;
    return TRUE;
}

}  // namespace nuv::os
