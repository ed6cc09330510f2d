// ParseUtcTimeText takes the raw bytes as text of the given length (no
// terminator). Besides staying inside its buffers, an accepted text must
// name an instant inside the supported years, and printing that instant back
// in the tool's format must parse to the same seconds.
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "ByteHelpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t seconds = 0;
    const int rc = quillon::ParseUtcTimeText(reinterpret_cast<const char*>(data), size, &seconds);
    if (rc != 0) {
        if (rc != -1) __builtin_trap();
        return 0;
    }
    if (seconds > 4102444799u) __builtin_trap();  // 2099-12-31 23:59:59

    const time_t t = seconds;
    tm parts{};
    if (gmtime_r(&t, &parts) == nullptr) __builtin_trap();
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%d/%02d/%02d/%02d/%02d/%02d", parts.tm_year + 1900,
                                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    uint32_t again = 0;
    if (quillon::ParseUtcTimeText(text, static_cast<size_t>(n), &again) != 0 || again != seconds) __builtin_trap();
    return 0;
}
