// The OS door's COM services, time and text on builds that bring their own
// framework: apartments, COM memory, strings and variants, the objects
// CoCreateInstance makes.
#include <cstdlib>
#include <cstring>

#include "platform/framework/clock.h"
#include "platform/framework/diagnostics.h"
#include "platform/framework/filters.h"
#include "platform/os.h"

namespace nuv::framework {

namespace {
// COM apartments are per thread: the first initialisation on a thread takes
// its model and answers S_OK, later ones of the same model S_FALSE (each to
// be balanced by CoUninitialize), one of the other model RPC_E_CHANGED_MODE
// (not to be balanced). A reset of the world starts a new generation: what
// a thread holds from an older one no longer counts.
struct Apartment {
    int count = 0;
    DWORD model = 0;
    unsigned generation = 0;
};
thread_local Apartment tApartment;
std::atomic<unsigned> gGeneration{1};

Apartment &ThisThread() {
    if (tApartment.generation != gGeneration.load()) tApartment = Apartment{0, 0, gGeneration.load()};
    return tApartment;
}
}  // namespace

void ForgetComInits() {
    ++gGeneration;
    Live().comInits = 0;
}

WideText Widen(const char *utf8) {
    WideText out;
    if (utf8 == nullptr) return out;
    out.reserve(std::strlen(utf8));
    const auto *p = reinterpret_cast<const unsigned char *>(utf8);
    while (*p) {
        unsigned long c = *p++;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra) c &= 0x3Fu >> extra;
        for (; extra > 0 && (*p & 0xC0) == 0x80; --extra) c = (c << 6) | (*p++ & 0x3Fu);
        if (c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            out.push_back(static_cast<WCHAR>(0xD800 + (c >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<WCHAR>(c));
        }
    }
    return out;
}

std::string Narrow(const WideText &wide) {
    std::string out;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        unsigned long c = static_cast<std::uint16_t>(wide[i]);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < wide.size()) {
            const unsigned long low = static_cast<std::uint16_t>(wide[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace nuv::framework

namespace nuv::os {

using framework::Faults;
using framework::FaultPoint;

HRESULT CoInitializeEx(LPVOID, DWORD coInit) {
    framework::Apartment &apartment = framework::ThisThread();
    const DWORD model = coInit & COINIT_APARTMENTTHREADED;
    if (apartment.count > 0 && apartment.model != model) return RPC_E_CHANGED_MODE;
    apartment.model = model;
    ++framework::Live().comInits;
    return apartment.count++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    framework::Apartment &apartment = framework::ThisThread();
    if (apartment.count > 0) {
        --apartment.count;
        --framework::Live().comInits;
    }
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD, REFIID iid, LPVOID *object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return E_NOINTERFACE;  // no aggregation here
    if (clsid == CLSID_FilterGraph) {
        return Faults::Fails(FaultPoint::FilterGraph) ? E_FAIL : framework::CreateFilterGraph(iid, object);
    }
    if (clsid == CLSID_SystemDeviceEnum) {
        return Faults::Fails(FaultPoint::DeviceEnumerator) ? E_FAIL : framework::CreateSystemDeviceEnum(iid, object);
    }
    if (clsid == CLSID_CaptureGraphBuilder2) {
        return Faults::Fails(FaultPoint::CaptureGraphBuilder) ? E_FAIL
                                                              : framework::CreateCaptureGraphBuilder(iid, object);
    }
    if (clsid == CLSID_SampleGrabber) {
        return Faults::Fails(FaultPoint::SampleGrabber) ? E_FAIL : framework::CreateSampleGrabber(iid, object);
    }
    return REGDB_E_CLASSNOTREG;
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

DWORD GetTickCount() { return framework::Clock::Instance().Now(); }
void Sleep(DWORD milliseconds) { framework::Clock::Instance().Sleep(milliseconds); }

// The ANSI code page here is Latin-1: one byte per UTF-16 code unit, '?' for
// units it cannot show (a surrogate pair gives two).
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
        const auto c = static_cast<std::uint16_t>(wide[i]);
        narrow[i] = c <= 0xFF ? static_cast<char>(c) : '?';
        if (c > 0xFF && usedDefaultChar) *usedDefaultChar = TRUE;
    }
    return count <= narrowLength ? count : 0;
}

}  // namespace nuv::os
