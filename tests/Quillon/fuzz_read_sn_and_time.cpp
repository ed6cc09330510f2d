// Arbitrary token answers to the serial/clock command. The first byte picks
// how many 90 60 answers come first and the output capacities; the rest is
// the final answer.
#include "PcscDouble.h"
#include "Quillon.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pcscdouble::Reset();
    if (size == 0) return 0;
    const uint8_t control = data[0];
    for (int i = 0; i < (control & 3); ++i) pcscdouble::QueueResponse({0x90, 0x60});
    pcscdouble::QueueResponse(pcscdouble::Bytes(data + 1, data + size));

    char serial[32];
    char clock[64];
    uint32_t serialLen = (control >> 2) & 31;
    uint32_t clockLen = (control & 0x80) ? 19 : 64;
    const uint32_t serialCap = serialLen, clockCap = clockLen;
    uint32_t rc = CardReadSnAndTime("Norvik Reader 0", 0, serial, &serialLen, clock, &clockLen);
    if (rc == CARD_OK && (serialLen > serialCap || clockLen > clockCap)) __builtin_trap();
    return 0;
}
