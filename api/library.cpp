// The export that belongs to no camera subsystem: the version text.
#include <cstdio>
#include <cstring>

#include "common/guarded.h"
#include "nuv.h"

namespace nuv {
namespace {

static_assert(sizeof(__DATE__) == 12 && sizeof(__TIME__) == 9, "the version text is 52 characters");

// "Version 1.1.0.0\r\nDate : Mmm dd yyyy\r\nTime : hh:mm:ss"
int FormatVersion(char (&text)[256]) {
    return std::snprintf(text, sizeof text, "%s%s%s%s%s", "Version 1.1.0.0", "\r\nDate : ", __DATE__,
                         "\r\nTime : ", __TIME__);
}

}  // namespace
}  // namespace nuv

using namespace nuv;

NuvBool NUV_CALL NuvDLLVersion(char *buffer, int size) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        if (buffer == nullptr || size <= 0) return 0;
        char text[256];
        const int length = FormatVersion(text);
        if (length < 0 || length + 1 > size) {
            buffer[0] = '\0';
            return 0;
        }
        std::memcpy(buffer, text, static_cast<std::size_t>(length) + 1);
        return 1;
    });
}
