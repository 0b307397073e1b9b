// The library's COM bookkeeping shared by its subsystems: the last COM
// status, and COM initialised for the duration of one enumeration call.
#pragma once

#include "platform/os.h"

namespace nuv {

// Stores a framework result as the last COM status and passes it on.
HRESULT NoteCom(HRESULT result);

// Initialises COM (multithreaded) for one enumeration call unless the
// library holds its own initialisation (the process COM flag), and undoes
// exactly what it did.
class ComSession {
public:
    ComSession();
    ~ComSession();
    ComSession(const ComSession &) = delete;
    ComSession &operator=(const ComSession &) = delete;

private:
    bool initialised_ = false;
};

}  // namespace nuv
