#include "formats/Encodings.h"

#include <type_traits>

namespace provisor {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Position in "A-Z2-7", or -1.
int Base32Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= '2' && c <= '7') return c - '2' + 26;
    return -1;
}

size_t Base32Fail(size_t* length) {
    if (length) *length = 0;
    return 0;
}

template <typename Text>
std::vector<uint8_t> PairsToBytes(Text text) {
    // Through the unsigned type, so a non-ASCII char is not sign-extended
    // into a code point that happens to look like a digit.
    using Unit = std::make_unsigned_t<typename Text::value_type>;
    std::vector<uint8_t> bytes(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned high = HexDigitValue(static_cast<Unit>(text[2 * i]));
        const unsigned low = HexDigitValue(static_cast<Unit>(text[2 * i + 1]));
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return bytes;
}

template <typename String>
void AppendHexByte(String& text, unsigned byte) {
    text.push_back(static_cast<typename String::value_type>(kHexDigits[(byte >> 4) & 0x0F]));
    text.push_back(static_cast<typename String::value_type>(kHexDigits[byte & 0x0F]));
}

template <typename String>
String BytesToHex(const uint8_t* bytes, size_t count) {
    String text;
    text.reserve(2 * count);
    for (size_t i = 0; i < count; ++i) AppendHexByte(text, bytes[i]);
    return text;
}

}  // namespace

size_t Base32Decode(const char* text, size_t* length, uint8_t* out) {
    if (!text || !length || !out || text[0] == '\0' || *length == 0 || *length > kBase32MaxLength)
        return Base32Fail(length);

    // Validate everything before writing a single byte, so a failed decode
    // leaves the caller's buffer as it was. Spaces are skipped rather than
    // copied out; the text ends at its terminator even if the caller's
    // length claims more, and the terminator then fails the character check.
    const size_t limit = *length;
    size_t dataChars = 0;
    bool padSeen = false;
    for (size_t i = 0; i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ' ') continue;
        if (c == '=') {
            padSeen = true;
            continue;
        }
        if (Base32Value(c) < 0 || padSeen) return Base32Fail(length);
        ++dataChars;
    }
    if (dataChars == 0) return Base32Fail(length);

    uint32_t bits = 0;
    int bitCount = 0;
    size_t written = 0;
    for (size_t i = 0; i < limit; ++i) {
        const int v = Base32Value(static_cast<unsigned char>(text[i]));
        if (v < 0) continue;  // space or padding
        bits = (bits << 5) | static_cast<uint32_t>(v);
        bitCount += 5;
        if (bitCount >= 8) {
            bitCount -= 8;
            out[written++] = static_cast<uint8_t>(bits >> bitCount);
            bits &= (1u << bitCount) - 1;
        }
    }
    *length = written;  // floor(5 * dataChars / 8)
    return written;
}

std::string Base32Encode(const uint8_t* bytes, size_t count, bool padding) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::string text;
    text.reserve((count + 4) / 5 * 8);
    uint32_t bits = 0;
    int bitCount = 0;
    for (size_t i = 0; i < count; ++i) {
        bits = (bits << 8) | bytes[i];
        bitCount += 8;
        while (bitCount >= 5) {
            bitCount -= 5;
            text.push_back(kAlphabet[(bits >> bitCount) & 0x1F]);
        }
        bits &= (1u << bitCount) - 1;
    }
    if (bitCount > 0) text.push_back(kAlphabet[(bits << (5 - bitCount)) & 0x1F]);
    if (padding)
        while (text.size() % 8 != 0) text.push_back('=');
    return text;
}

uint8_t HexDigitValue(char32_t c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    return 255;
}

std::vector<uint8_t> HexTextToBytes(std::u16string_view text) { return PairsToBytes(text); }

std::vector<uint8_t> HexTextToBytes(std::string_view text) { return PairsToBytes(text); }

std::u16string BytesToHexText(const uint8_t* bytes, size_t count) { return BytesToHex<std::u16string>(bytes, count); }

std::string BytesToHexString(const uint8_t* bytes, size_t count) { return BytesToHex<std::string>(bytes, count); }

bool IsHexText(std::u16string_view text) {
    if (text.empty() || text.size() % 2 != 0) return false;
    for (char16_t c : text)
        if (HexDigitValue(c) == 255) return false;
    return true;
}

std::u16string AsciiToHexText(std::u16string_view text) {
    std::u16string hex;
    hex.reserve(2 * text.size());
    for (char16_t c : text) AppendHexByte(hex, c & 0xFFu);
    return hex;
}

}  // namespace provisor
