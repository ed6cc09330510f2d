// Byte helpers shared by the token commands: key derivation, the secured
// (MAC-protected) command form, padding, hexadecimal text and the UTC time
// text parser.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillon {

using CommandKey = std::array<uint8_t, 16>;

// SHA-1 over HexToBytes(text) (at most 16 bytes), first 16 digest bytes.
// A null text derives from the empty message.
CommandKey DeriveCommandKey(const char* accessKeyText);

// Longest APDU SecuredCommand can build: 5 header bytes, 255 data, 4 MAC.
constexpr size_t kMaxSecuredApdu = 5 + 255 + 4;

// Builds 84 INS P1 P2 (n+4) D MAC into apdu (capacity >= 9 + n, n <= 251);
// the MAC covers 80 INS P1 P2 n D. Returns the APDU length (9 + n), or 0 when
// n is too large.
size_t SecuredCommand(const CommandKey& key, uint8_t ins, uint8_t p1, uint8_t p2, const uint8_t* data, size_t n,
                      uint8_t* apdu);

// Appends 80 and zero bytes up to the next multiple of 16 (always at least
// one byte). out must hold the padded length, (len / 16 + 1) * 16 bytes; in
// and out may alias. Returns the padded length.
size_t PadBlock80(const uint8_t* msg, size_t len, uint8_t* out);

// Pairs of hexadecimal characters to bytes; any non-hex character counts 255
// and the byte is the low 8 bits of 16*high + low. A final odd character is
// ignored. Writes at most outCapacity bytes; returns the number written.
size_t HexToBytes(const char* text, uint8_t* out, size_t outCapacity);

// Reverses the bytes of each of count 32-bit words in place.
void SwapWordBytes(uint32_t* words, size_t count);

// Parses "Y/M/D/h/m/s" (exactly six atoi-style fields, UTC) into seconds
// since 1970. Returns 0, or -1 when the text is rejected (field count, a
// range, or a field of 255 characters or more, which would not fit its
// 255-character buffer with the terminator). Null pointers are rejected.
int ParseUtcTimeText(const char* text, size_t length, uint32_t* seconds);

// The token's clock as the library hands it back: "YYYY-MM-DD hh:mm:ss"
// (UTC, every unsigned 32-bit value, no time zone involved). Writes 19
// characters and a terminator into out.
constexpr size_t kUtcClockTextLength = 19;
void FormatUtcClockText(uint32_t seconds, char out[kUtcClockTextLength + 1]);

}  // namespace quillon
