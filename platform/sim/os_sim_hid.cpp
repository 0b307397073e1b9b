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
