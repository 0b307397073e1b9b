// Text between the OS's wide strings (UTF-16 on every build) and the narrow
// texts of the exports, in one place.
#pragma once

#include <array>
#include <cstddef>

#include "platform/os.h"

namespace nuv {

// The narrow buffers names are kept in: a device's friendly name, a moniker's
// display name, a format name (terminators included).
inline constexpr int kDeviceNameSize = 256;
inline constexpr int kDisplayNameSize = 1024;
inline constexpr int kFormatNameSize = 80;

// Converts wide text with the process ANSI code page into out (size bytes,
// terminator included). Text that does not fit is cut at a character
// boundary (a surrogate pair is one character); text that cannot be
// converted at all gives "".
void WideToAnsi(const OLECHAR *wide, char *out, int size);

// True when the wide text contains the ASCII text, compared unit by unit.
bool WideContains(const OLECHAR *wide, const char *ascii);

// An ASCII literal as wide text, built at compile time on every build.
template <std::size_t N>
struct WideLiteral {
    std::array<OLECHAR, N> text{};
    constexpr explicit WideLiteral(const char (&ascii)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = static_cast<OLECHAR>(ascii[i]);
    }
    constexpr const OLECHAR *get() const { return text.data(); }
};

// "<prefix><number>" as wide text in out (count units, terminator included),
// for the names filters get in a graph.
void WideNumbered(OLECHAR *out, std::size_t count, const char *prefix, int number);

}  // namespace nuv
