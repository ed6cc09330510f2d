// Serial number and clock reading.
#include "CommandSupport.h"

#include <cstdio>
#include <cstring>
#include <ctime>

using namespace quillon;

namespace {
constexpr size_t kClockTextLength = 19;  // "YYYY-MM-DD hh:mm:ss"

// Civil date of a day count since 1970-01-01 (proleptic Gregorian), so the
// full unsigned 32-bit range converts without depending on time_t or the
// process's time zone.
void CivilFromDays(int64_t z, int& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(yy + (m <= 2));
}
}  // namespace

extern "C" QUILLON_API uint32_t CardReadSnAndTime(const char* reader, int32_t profile, char* serial,
                                                  uint32_t* serialLen, char* clockText,
                                                  uint32_t* clockLen) {
    CommandFrame frame(CommandFrame::Trace::AfterOpen);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    if (profile > 99) return CARD_E_PROFILE_RANGE;
    if (!serial || !serialLen || !clockText || !clockLen) return CARD_E_MISSING_ARG;

    const uint8_t command[7] = {0x80, 0x41, 0x00, LowByte(profile), 0x02, 0x02, 0x11};
    Response r;
    LONG rc = frame.Exchange(command, sizeof command, r);
    if (rc != SCARD_S_SUCCESS) return static_cast<uint32_t>(rc);

    TraceResponse("CardReadSnAndTime->Recv: ", r);
    if (!r.Ok()) return CARD_E_STATUS_WORD;
    // Four leading bytes, the serial field, two unused bytes, the clock and
    // the status word: anything shorter cannot be read without overrunning.
    if (r.length < 12) return CARD_E_STATUS_WORD;

    const size_t serialEnd = r.length - 8;
    const uint8_t* field = r.data + 4;
    const void* zero = std::memchr(field, 0, serialEnd - 4);
    const size_t serialLength = zero ? static_cast<const uint8_t*>(zero) - field : serialEnd - 4;
    if (*serialLen < serialLength) return CARD_E_BUFFER_TOO_SMALL;
    std::memcpy(serial, field, serialLength);
    *serialLen = static_cast<uint32_t>(serialLength);

    const uint8_t* c = r.data + r.length - 6;
    const uint32_t seconds = (uint32_t{c[0]} << 24) | (uint32_t{c[1]} << 16) | (uint32_t{c[2]} << 8) | c[3];
    int year;
    unsigned month, day;
    CivilFromDays(seconds / 86400, year, month, day);
    const unsigned sod = seconds % 86400;
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u", year, month, day, sod / 3600,
                  sod / 60 % 60, sod % 60);
    if (*clockLen < kClockTextLength) return CARD_E_BUFFER_TOO_SMALL;
    std::memcpy(clockText, text, kClockTextLength);
    *clockLen = kClockTextLength;
    return CARD_OK;
}
