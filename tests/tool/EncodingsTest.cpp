#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "formats/Encodings.h"

using namespace provisor;

namespace {

// Decodes text into a buffer pre-filled with 0xEE and returns the reported
// bytes; also checks that the result and the length argument agree and that
// nothing past the reported bytes was touched.
struct Decoded {
    size_t result;
    std::vector<uint8_t> bytes;
};

Decoded Decode(const std::string& text) {
    std::vector<uint8_t> buffer(text.size() + 16, 0xEE);
    size_t length = text.size();
    const size_t result = Base32Decode(text.c_str(), &length, buffer.data());
    EXPECT_EQ(result, length) << text;
    for (size_t i = result; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << text << " at " << i;
    return {result, std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(result))};
}

std::string Repeat(char c, size_t n) { return std::string(n, c); }

}  // namespace

TEST(Base32Decode, AcceptsPaddedUnpaddedAndSpacedText) {
    const std::vector<uint8_t> abc{'a', 'b', 'c'};
    for (const char* text : {"MFRGG===", "MFRGG", "MF RGG", " M F R G G = = = "}) {
        const Decoded d = Decode(text);
        EXPECT_EQ(d.result, 3u) << text;
        EXPECT_EQ(d.bytes, abc) << text;
    }
}

TEST(Base32Decode, RfcVectors) {
    EXPECT_EQ(Decode("MY======").bytes, (std::vector<uint8_t>{'f'}));
    EXPECT_EQ(Decode("MZXQ====").bytes, (std::vector<uint8_t>{'f', 'o'}));
    EXPECT_EQ(Decode("MZXW6YQ=").bytes, (std::vector<uint8_t>{'f', 'o', 'o', 'b'}));
    EXPECT_EQ(Decode("MZXW6YTBOI======").bytes, (std::vector<uint8_t>{'f', 'o', 'o', 'b', 'a', 'r'}));
}

TEST(Base32Decode, RejectedTextWritesNothingAndZeroesLength) {
    for (const std::string text : {"mfrgg", "MFRGG\t", "    ", "========", "MFRGG1", "MFRG8", "MF-RGG", "\xC3\x84MFRGG",
                                   "MF=RGG", "MFRGG=A", "= MFRGG"}) {
        std::vector<uint8_t> buffer(32, 0xEE);
        size_t length = text.size();
        EXPECT_EQ(Base32Decode(text.c_str(), &length, buffer.data()), 0u) << text;
        EXPECT_EQ(length, 0u) << text;
        EXPECT_EQ(buffer, std::vector<uint8_t>(32, 0xEE)) << text;
    }
}

TEST(Base32Decode, RejectsAbsentEmptyAndOverlongArguments) {
    uint8_t out[8] = {};
    size_t length = 5;
    EXPECT_EQ(Base32Decode(nullptr, &length, out), 0u);
    EXPECT_EQ(length, 0u);
    length = 0;
    EXPECT_EQ(Base32Decode("", &length, out), 0u);
    length = 0;
    EXPECT_EQ(Base32Decode("MFRGG", &length, out), 0u);
    length = kBase32MaxLength + 1;
    EXPECT_EQ(Base32Decode("MFRGG", &length, out), 0u);
    EXPECT_EQ(length, 0u);
    // A length beyond the terminator stops at it instead of reading past it.
    length = 40;
    EXPECT_EQ(Base32Decode("MFRGG", &length, out), 0u);
    EXPECT_EQ(length, 0u);
}

TEST(Base32Decode, LengthArgumentLimitsTheCharactersUsed) {
    uint8_t out[8] = {};
    size_t length = 5;
    // The lower-case tail lies beyond the length and is never looked at.
    EXPECT_EQ(Base32Decode("MFRGGxyz", &length, out), 3u);
    EXPECT_EQ(length, 3u);
}

TEST(Base32Decode, SeedLengths) {
    const std::pair<size_t, size_t> cases[] = {{16, 10}, {26, 16}, {32, 20}, {52, 32}, {256, 160}};
    for (auto [chars, bytes] : cases) {
        const Decoded d = Decode(Repeat('A', chars - 1) + "7");
        EXPECT_EQ(d.result, bytes) << chars;
    }
    // 32 characters of '7' are 160 one-bits.
    EXPECT_EQ(Decode(Repeat('7', 32)).bytes, std::vector<uint8_t>(20, 0xFF));
}

TEST(Base32Decode, LengthsEncodersNeverProduceReportOnlyCompleteBytes) {
    // n mod 8 of 1, 3 and 6 leave 5, 7 and 6 bits over; no partial byte is
    // reported, so the 0xEE canary after the complete bytes stays intact.
    EXPECT_EQ(Decode("M").result, 0u);
    EXPECT_EQ(Decode("MFR").result, 1u);
    EXPECT_EQ(Decode("MFRGGZ").result, 3u);
    EXPECT_EQ(Decode(Repeat('B', 9)).result, 5u);
    EXPECT_EQ(Decode(Repeat('B', 11)).result, 6u);
    EXPECT_EQ(Decode(Repeat('B', 14)).result, 8u);
    for (size_t n = 1; n <= 80; ++n) EXPECT_EQ(Decode(Repeat('Q', n)).result, 5 * n / 8) << n;
}

TEST(Base32Decode, BothSidesOfTheLengthLimit) {
    EXPECT_EQ(kBase32MaxLength, size_t{107374183});
    // The limit counts characters handed in, spaces included: five data
    // characters padded with spaces to exactly the limit decode; one
    // character more is refused before anything is read or written.
    std::string text = "MFRGG" + std::string(kBase32MaxLength + 1 - 5, ' ');
    uint8_t out[8];
    std::memset(out, 0xEE, sizeof out);
    size_t length = kBase32MaxLength;
    EXPECT_EQ(Base32Decode(text.c_str(), &length, out), 3u);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{'a', 'b', 'c', 0xEE}));

    std::memset(out, 0xEE, sizeof out);
    length = kBase32MaxLength + 1;
    EXPECT_EQ(Base32Decode(text.c_str(), &length, out), 0u);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + sizeof out), std::vector<uint8_t>(sizeof out, 0xEE));
}

namespace {

// RFC 4648 encoding, written out independently of the decoder: k bytes give
// ceil(8k/5) characters, i.e. n mod 8 in {0, 2, 4, 5, 7}.
std::string Rfc4648Encode(const std::vector<uint8_t>& bytes, bool pad) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::string out;
    for (size_t group = 0; group < bytes.size(); group += 5) {
        uint8_t block[5] = {};
        const size_t k = std::min<size_t>(5, bytes.size() - group);
        std::memcpy(block, bytes.data() + group, k);
        const uint64_t bits = (uint64_t{block[0]} << 32) | (uint64_t{block[1]} << 24) | (uint64_t{block[2]} << 16) |
                              (uint64_t{block[3]} << 8) | block[4];
        static const size_t charsFor[6] = {0, 2, 4, 5, 7, 8};
        for (size_t c = 0; c < 8; ++c) {
            if (c < charsFor[k])
                out += alphabet[(bits >> (35 - 5 * c)) & 31];
            else if (pad)
                out += '=';
        }
    }
    return out;
}

}  // namespace

// The RFC's vectors, and every length up to five groups against the
// independent encoder above, padded or not.
TEST(Base32Encode, RfcVectorsAndReferenceEncoder) {
    const std::string foobar = "foobar";
    const auto* raw = reinterpret_cast<const uint8_t*>(foobar.data());
    const char* const padded[] = {"", "MY======", "MZXQ====", "MZXW6===", "MZXW6YQ=", "MZXW6YTB", "MZXW6YTBOI======"};
    for (size_t n = 0; n <= foobar.size(); ++n) {
        EXPECT_EQ(Base32Encode(raw, n, true), padded[n]);
        std::string unpadded = padded[n];
        unpadded.erase(unpadded.find_last_not_of('=') + 1);
        EXPECT_EQ(Base32Encode(raw, n), unpadded);
    }
    std::mt19937 random(7);
    for (size_t n = 1; n <= 25; ++n) {
        std::vector<uint8_t> bytes(n);
        for (auto& b : bytes) b = static_cast<uint8_t>(random());
        for (bool padding : {false, true})
            EXPECT_EQ(Base32Encode(bytes.data(), n, padding), Rfc4648Encode(bytes, padding)) << n;
    }
}

TEST(Base32Decode, BothSidesOfTheDataLengthRule) {
    std::mt19937 rng(4648);
    for (size_t k = 1; k <= 41; ++k) {
        std::vector<uint8_t> bytes(k);
        for (auto& b : bytes) b = static_cast<uint8_t>(rng());
        const std::string text = Rfc4648Encode(bytes, false);
        const size_t n = text.size();
        ASSERT_TRUE(n % 8 == 0 || n % 8 == 2 || n % 8 == 4 || n % 8 == 5 || n % 8 == 7) << n;
        // Lengths an encoder produces give back exactly its bytes, with or
        // without padding.
        EXPECT_EQ(Decode(text).bytes, bytes) << text;
        EXPECT_EQ(Decode(Rfc4648Encode(bytes, true)).bytes, bytes) << text;
        // One data character more makes n mod 8 one of 1, 3, 6 (from 0, 2,
        // 5): its bits never complete a byte, so the same bytes come back and
        // nothing is written after them.
        if (n % 8 == 0 || n % 8 == 2 || n % 8 == 5) {
            for (char extra : {'A', '7', 'Q'}) {
                const Decoded d = Decode(text + extra);
                EXPECT_EQ(d.result, k) << text << extra;
                EXPECT_EQ(d.bytes, bytes) << text << extra;
            }
        }
    }
}

TEST(HexText, ConversionsBothWays) {
    const uint8_t bytes[] = {0x0A, 0xFF};
    EXPECT_EQ(BytesToHexText(bytes, 2), u"0AFF");
    EXPECT_EQ(BytesToHexString(bytes, 2), "0AFF");
    EXPECT_EQ(BytesToHexText(bytes, 0), u"");
    EXPECT_EQ(HexTextToBytes(std::u16string_view(u"0aff")), (std::vector<uint8_t>{0x0A, 0xFF}));
    EXPECT_EQ(HexTextToBytes(std::u16string_view(u"0AF")), (std::vector<uint8_t>{0x0A}));
    EXPECT_EQ(HexTextToBytes(std::string_view("0aFf")), (std::vector<uint8_t>{0x0A, 0xFF}));
}

TEST(HexText, BadDigitsCountAs255) {
    // Bad high digit: F in the high nibble; bad low digit: 16*high - 1.
    EXPECT_EQ(HexTextToBytes(std::string_view("Z0")), (std::vector<uint8_t>{0xF0}));
    EXPECT_EQ(HexTextToBytes(std::string_view("1Z")), (std::vector<uint8_t>{0x0F}));
    EXPECT_EQ(HexTextToBytes(std::string_view("\xC3\xA9")), (std::vector<uint8_t>{0xEF}));
    EXPECT_EQ(HexTextToBytes(std::u16string_view(u"\u0130"
                                                 u"0")),
              (std::vector<uint8_t>{0xF0}));
}

TEST(HexText, IsHexText) {
    EXPECT_TRUE(IsHexText(u"0a1B"));
    EXPECT_TRUE(IsHexText(u"6B3F09D2A4C8571E90B2D6F4138A5C7E"));
    EXPECT_FALSE(IsHexText(u"0a1"));
    EXPECT_FALSE(IsHexText(u""));
    EXPECT_FALSE(IsHexText(u"0g"));
    EXPECT_FALSE(IsHexText(u"0 "));
    // A code unit whose low byte is a digit is still not a digit.
    EXPECT_FALSE(
        IsHexText(u"\u0130"
                  u"0"));
}

TEST(AsciiToHexText, LowByteOfEachCodeUnit) {
    EXPECT_EQ(AsciiToHexText(u"abc"), u"616263");
    EXPECT_EQ(AsciiToHexText(u""), u"");
    EXPECT_EQ(AsciiToHexText(u"\u00FF\u0141 "), u"FF4120");
    EXPECT_EQ(AsciiToHexText(std::u16string(17, u'x')).size(), 34u);
}
