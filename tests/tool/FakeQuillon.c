/* Stand-in for libQuillon.so with only some of the exports, so binding can
 * be checked for present and missing names without a reader. */
#include <stdint.h>
#include <string.h>

#define FAKE_API __attribute__((visibility("default")))

FAKE_API uint32_t CardInitKey(const char* reader) { return reader ? 0x11u : 0x12u; }

FAKE_API uint32_t CardVerify(const char* reader, const char* accessKey) {
    (void)reader;
    return accessKey && strcmp(accessKey, "00112233445566778899AABBCCDDEEFF") == 0 ? 0u : 0xC003u;
}

FAKE_API uint32_t CardChangeKey(const char* reader, const char* accessKey, const char* newAccessKey) {
    (void)reader;
    (void)accessKey;
    (void)newAccessKey;
    return 0x3003u;
}

FAKE_API uint32_t CardReadSnAndTime(const char* reader, int32_t profile, char* serial, uint32_t* serialLen,
                                    char* clockText, uint32_t* clockLen) {
    (void)reader;
    (void)profile;
    memcpy(serial, "N2-0001", 7);
    *serialLen = 7;
    memcpy(clockText, "2024-01-02 03:04:05", 19);
    *clockLen = 19;
    return 0;
}
