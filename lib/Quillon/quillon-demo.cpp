// A short walk through the library against a real reader: reads the
// token's serial number and clock, authenticates with the access key,
// provisions one profile with a known seed and reads its current OTP.
//
//   quillon-demo [READER] [ACCESS_KEY] [PROFILE]   (--help for details)
#include "Quillon.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char* kFactoryKey = "6B3F09D2A4C8571E90B2D6F4138A5C7E";

bool Report(const char* step, uint32_t status) {
    if (status == CARD_OK)
        std::printf("%-24s ok\n", step);
    else
        std::printf("%-24s failed [%08X]\n", step, status);
    return status == CARD_OK;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf(
            "usage: quillon-demo [READER] [ACCESS_KEY] [PROFILE]\n"
            "Reads the serial number and clock of the token in READER (default \"Virtual PCD 00 00\"),\n"
            "authenticates with ACCESS_KEY (default the factory key), configures PROFILE (default 0)\n"
            "for SHA1, 30 s, 6 digits, the title \"Demo\" and the current UTC time (keeping its\n"
            "options), writes the RFC 6238 example seed into it, replacing the seed it held, and\n"
            "prints its current OTP. Exit status 0 when every step succeeded.\n");
        return 0;
    }
    const char* reader = argc > 1 ? argv[1] : "Virtual PCD 00 00";
    const char* key = argc > 2 ? argv[2] : kFactoryKey;
    const int profile = argc > 3 ? std::atoi(argv[3]) : 0;
    std::printf("reader: %s\n", reader);

    char serial[33] = {};
    char clockText[65] = {};
    uint32_t serialLen = 32, clockLen = 64;
    if (!Report("read serial and clock", CardReadSnAndTime(reader, 0, serial, &serialLen, clockText, &clockLen)))
        return 1;
    std::printf("  serial number: %.*s\n  token clock:   %.*s UTC\n", static_cast<int>(serialLen), serial,
                static_cast<int>(clockLen), clockText);

    if (!Report("verify access key", CardVerify(reader, key))) return 1;

    int32_t clearSeed = 0, autoEnter = 0, kept = 0;
    if (!Report("read profile flags", CardReadSeedInfo(reader, profile, &clearSeed, &autoEnter, &kept))) return 1;

    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char timeText[64];
    std::snprintf(timeText, sizeof timeText, "%d/%02d/%02d/%02d/%02d/%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    if (!Report("configure profile",
                CardConfig(reader, key, profile, "SHA1", 30, 6, clearSeed, timeText, "Demo", autoEnter, kept)))
        return 1;

    // The seed of the RFC 4226/6238 examples, so the code can be checked
    // with any authenticator: oathtool --totp 3132333435363738393031323334353637383930
    const char* seed = "12345678901234567890";
    if (!Report("write seed", CardBurnSeed(reader, key, profile, reinterpret_cast<const uint8_t*>(seed),
                                           static_cast<int32_t>(std::strlen(seed)))))
        return 1;

    char otp[16] = {};
    if (!Report("read OTP", CardReadOTP(reader, key, profile, otp))) return 1;
    std::printf("  profile %d OTP: %s\n", profile, otp);
    return 0;
}
