/* A seed provider library for the tests: hands out the RFC 6238 test seed
 * for the one serial number it knows. Built twice; the OVERSIZE build
 * claims more bytes than the buffer it was given. */
#include <stdint.h>
#include <string.h>

#define FAKE_API __attribute__((visibility("default")))

FAKE_API int32_t GetSeed(const char* serial, int32_t length, uint8_t* seed, int32_t* capacity) {
    if (!serial || length != (int32_t)strlen(serial) || strcmp(serial, "NV2A00000001") != 0) return 5;
#ifdef OVERSIZE
    (void)seed;
    *capacity = *capacity + 1;
    return 0;
#else
    if (*capacity < 20) return 6;
    memcpy(seed, "12345678901234567890", 20);
    *capacity = 20;
    return 0;
#endif
}
