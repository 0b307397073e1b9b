#include "common/text.h"

#include <cstdio>
#include <cstring>

namespace nuv {

void WideToAnsi(const OLECHAR *wide, char *out, int size) {
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
    // Too long: character by character, so that a multi-byte character is
    // never cut in half.
    int used = 0;
    for (std::size_t i = 0; wide[i] != 0;) {
        int units = 1;
        const auto unit = static_cast<unsigned long>(wide[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
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

bool WideContains(const OLECHAR *wide, const char *ascii) {
    if (wide == nullptr || ascii == nullptr) return false;
    const std::size_t length = std::strlen(ascii);
    for (; *wide != 0; ++wide) {
        std::size_t i = 0;
        while (i < length && wide[i] != 0 &&
               static_cast<unsigned long>(wide[i]) == static_cast<unsigned char>(ascii[i]))
            ++i;
        if (i == length) return true;
    }
    return length == 0;
}

void WideNumbered(OLECHAR *out, std::size_t count, const char *prefix, int number) {
    if (out == nullptr || count == 0) return;
    char narrow[64];
    std::snprintf(narrow, sizeof narrow, "%s%d", prefix, number);
    std::size_t i = 0;
    for (; i + 1 < count && narrow[i] != '\0'; ++i) out[i] = static_cast<OLECHAR>(narrow[i]);
    out[i] = 0;
}

}  // namespace nuv
