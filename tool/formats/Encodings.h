// Seed and key text conversions of the tool: base32 seed text to and from
// bytes, hexadecimal text to and from bytes, and a plain-character access
// key to hexadecimal. Pure functions without Qt, so flows, tests and fuzz targets
// can use them without an application object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace provisor {

// Longest text Base32Decode accepts; 5/8 of it still fits a 32-bit count.
constexpr size_t kBase32MaxLength = 0x6666667;

// Decodes RFC 4648 base32 text (upper-case alphabet, optional "=" padding,
// spaces ignored anywhere). *length is the number of characters of text to
// use on entry and the decoded byte count on return. out must hold
// floor(5 * n / 8) bytes, n being the number of data characters.
//
// Returns the decoded byte count. On failure (null or empty text, length 0
// or above kBase32MaxLength, a character outside the alphabet, no data
// character, or a data character after "=") returns 0, sets *length to 0 and
// writes nothing into out. Only complete bytes are reported: a trailing group
// of fewer than 8 bits is dropped, whatever the data length.
size_t Base32Decode(const char* text, size_t* length, uint8_t* out);

// RFC 4648 base32 of count bytes in the upper-case alphabet; "=" padding
// to a multiple of 8 characters only when asked, since authenticator apps
// and servers take the unpadded form. Base32Decode reads either back.
std::string Base32Encode(const uint8_t* bytes, size_t count, bool padding = false);

// Value of one hexadecimal digit, or 255 for any other character. Stored
// keys are decoded pair-wise with this rule (a bad high digit yields the
// nibble F, a bad low digit 16*high - 1, both modulo 256).
uint8_t HexDigitValue(char32_t c);

// Pairs of digits to bytes, high nibble first; an odd last character is
// ignored and any non-hexadecimal character counts 255 as above.
std::vector<uint8_t> HexTextToBytes(std::u16string_view text);
std::vector<uint8_t> HexTextToBytes(std::string_view text);

// Upper-case hexadecimal, two characters per byte.
std::u16string BytesToHexText(const uint8_t* bytes, size_t count);
std::string BytesToHexString(const uint8_t* bytes, size_t count);

// True for non-empty text of an even number of 0-9, a-f, A-F characters.
bool IsHexText(std::u16string_view text);

// Each UTF-16 code unit becomes the two upper-case digits of its low byte,
// so "abc" gives "616263" and U+0141 gives "41".
std::u16string AsciiToHexText(std::u16string_view text);

}  // namespace provisor
