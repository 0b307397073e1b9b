// The process-wide state that the subsystems share beyond the camera
// records: the caller's last device-list size and the library's COM
// bookkeeping. It sits below the registry because the COM bookkeeping of
// common/com.h keeps it too. (Capture keeps its own: the device count, the
// device-bound flags and the last capture settings.)
#pragma once

#include <atomic>
#include <cstdint>

namespace nuv {

struct ProcessState {
    // The byte size of the caller's last device list.
    std::atomic<int> deviceListSize{1024};
    // 1 while the library holds a COM initialisation of its own.
    std::atomic<int> processComFlag{0};
    // The result code of the most recent media-framework call (an HRESULT).
    std::atomic<std::int32_t> lastComStatus{0};
};

ProcessState &Process();

}  // namespace nuv
