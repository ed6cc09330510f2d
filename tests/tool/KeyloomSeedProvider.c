/* A seed provider for the keyloom tests that hands out a new seed on every
 * call, as a server issuing seeds would: a host that asked it again to
 * check a write would get another seed, and no two processes get the same
 * one. Knows the two virtual tokens. */
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#define PROVIDER_API __attribute__((visibility("default")))

static uint8_t g_calls;

PROVIDER_API int32_t GetSeed(const char* serial, int32_t length, uint8_t* seed, int32_t* capacity) {
    if (!serial || length != (int32_t)strlen(serial)) return 4;
    if (strcmp(serial, "NV2A00000001") != 0 && strcmp(serial, "NV1B00000002") != 0) return 5;
    if (*capacity < 20) return 6;
    ++g_calls;
    const uint32_t salt = (uint32_t)getpid() * 2654435761u + g_calls;
    for (int i = 0; i < 20; ++i) seed[i] = (uint8_t)(serial[i % length] + (salt >> (i % 4 * 8)) + i);
    *capacity = 20;
    return 0;
}
