// Helpers of the discovery routines: ANSI names from wide text, and COM
// initialised for the duration of one call.
#pragma once

#include "api/registry.h"
#include "platform/com_ref.h"
#include "platform/os.h"

namespace nuv {

// Converts wide text with the process ANSI code page into out (size bytes,
// terminator included). Text that does not fit is cut at a character
// boundary; text that cannot be converted at all gives "".
void WideToAnsi(const WCHAR *wide, char *out, int size);

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

// Stores result as the last COM status and returns it.
HRESULT NoteComStatus(HRESULT result);

// The first steps of every enumeration: the scratch filter graph, the system
// device enumerator and the video-input category's moniker enumerator.
// Returns 0, or the status of the step that failed (3, 4 or 5; an empty
// category, S_FALSE, counts as failure).
int OpenVideoCategory(ComRef<IGraphBuilder> &graph, ComRef<ICreateDevEnum> &devices,
                      ComRef<IEnumMoniker> &monikers);

}  // namespace nuv
