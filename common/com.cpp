#include "common/com.h"

#include "common/process_state.h"

namespace nuv {

HRESULT NoteCom(HRESULT result) {
    Process().lastComStatus = static_cast<std::int32_t>(result);
    return result;
}

ComSession::ComSession() {
    if (Process().processComFlag.load() != 0) return;
    const HRESULT result = NoteCom(os::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    // S_FALSE means this thread had COM already; that initialisation counts
    // too and is balanced, or the caller's own CoUninitialize would no longer
    // end its COM use. A refused mode (RPC_E_CHANGED_MODE) is left alone.
    initialised_ = result == S_OK || result == S_FALSE;
}

ComSession::~ComSession() {
    if (initialised_) os::CoUninitialize();
}

}  // namespace nuv
