// Every entry point of the libraries (the exports, and the simulator's
// control API) runs its body through Guarded: an exception becomes the entry
// point's failure value, so none leaves the library.
#pragma once

namespace nuv {

template <class R, class F>
R Guarded(R failure, F &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

}  // namespace nuv
