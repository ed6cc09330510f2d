// Serial number and clock reading.
#include "CommandSupport.h"

#include <cstring>

using namespace quillon;

extern "C" QUILLON_API uint32_t CardReadSnAndTime(const char* reader, int32_t profile, char* serial,
                                                  uint32_t* serialLen, char* clockText, uint32_t* clockLen) {
    CommandFrame frame(CommandFrame::Trace::AfterOpen);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    if (profile > 99) return CARD_E_PROFILE_RANGE;
    if (!serial || !serialLen || !clockText || !clockLen) return CARD_E_MISSING_ARG;

    const uint8_t command[7] = {kClaPlain, kInsRead, 0x00, LowByte(profile), 0x02, 0x02, 0x11};
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
    char text[kUtcClockTextLength + 1];
    FormatUtcClockText(seconds, text);
    if (*clockLen < kUtcClockTextLength) return CARD_E_BUFFER_TOO_SMALL;
    std::memcpy(clockText, text, kUtcClockTextLength);
    *clockLen = kUtcClockTextLength;
    return CARD_OK;
}
