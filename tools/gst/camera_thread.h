// Opening and closing the library's cameras from the element. The library
// initialises COM for an idle period in the thread that opens its first
// camera and can undo that only in the same thread; streaming threads come
// and go, and the last camera may close in any element's stop. So the
// opens that may begin an idle period and every close run on one thread of
// the process's own, and no idle period can begin while an element opens
// on its own streaming thread: the initialisation is always undone.
#pragma once

#include "api.h"

namespace nuvgst {

// NuvOpen, on the camera thread when no camera of the library is open,
// else on the caller's thread (opens run side by side, as the library
// allows).
int OpenCamera(const nuvclient::Api &api, int position, int width, int height, double fps, const char *format);

// NuvClose, on the camera thread.
void CloseCamera(const nuvclient::Api &api, int position);

}  // namespace nuvgst
