#include "discovery/text.h"

#include "discovery/discovery.h"

#include <cstring>

namespace nuv {

void WideToAnsi(const WCHAR *wide, char *out, int size) {
    if (out == nullptr || size < 1) return;
    out[0] = '\0';
    if (wide == nullptr) return;
    // The usual case: the whole text fits.
    const int whole = os::WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (whole > 0 && whole <= size) {
        if (os::WideCharToMultiByte(CP_ACP, 0, wide, -1, out, size, nullptr, nullptr) > 0) {
            out[size - 1] = '\0';
            return;
        }
        out[0] = '\0';
    }
    // Too long: character by character (a surrogate pair is one character),
    // so that a multi-byte character is never cut in half.
    int used = 0;
    for (std::size_t i = 0; wide[i] != 0;) {
        int units = 1;
        const auto unit = static_cast<unsigned long>(wide[i]);
        if (sizeof(WCHAR) == 2 && unit >= 0xD800 && unit <= 0xDBFF) {
            const auto next = static_cast<unsigned long>(wide[i + 1]);
            if (next >= 0xDC00 && next <= 0xDFFF) units = 2;
        }
        char piece[16];
        const int n = os::WideCharToMultiByte(CP_ACP, 0, wide + i, units, piece, sizeof piece, nullptr, nullptr);
        if (n <= 0 || used + n > size - 1) break;
        std::memcpy(out + used, piece, static_cast<std::size_t>(n));
        used += n;
        i += static_cast<std::size_t>(units);
    }
    out[used] = '\0';
}

ComSession::ComSession() {
    if (Process().processComFlag.load() != 0) return;
    const HRESULT result = os::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Process().lastComStatus = result;
    // S_FALSE means this thread had COM already; that initialisation counts
    // too and is balanced, or the caller's own CoUninitialize would no longer
    // end its COM use. A refused mode (RPC_E_CHANGED_MODE) is left alone.
    initialised_ = result == S_OK || result == S_FALSE;
}

ComSession::~ComSession() {
    if (initialised_) os::CoUninitialize();
}

HRESULT NoteComStatus(HRESULT result) {
    Process().lastComStatus = result;
    return result;
}

int OpenVideoCategory(ComRef<IGraphBuilder> &graph, ComRef<ICreateDevEnum> &devices,
                      ComRef<IEnumMoniker> &monikers) {
    if (NoteComStatus(os::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                           graph.putVoid())) != S_OK) {
        return kEnumFilterGraph;
    }
    if (NoteComStatus(os::CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_ICreateDevEnum, devices.putVoid())) != S_OK) {
        return kEnumDeviceEnumerator;
    }
    if (NoteComStatus(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.put(), 0)) != S_OK ||
        !monikers) {
        return kEnumClassEnumerator;
    }
    return 0;
}

}  // namespace nuv
