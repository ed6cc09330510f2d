#include "ByteHelpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "OpenSslReference.h"

namespace quillon {
namespace {

using testing::Bytes;
using testing::FromHex;
using testing::OpenSslSha1;
using testing::ToHex;

std::string KeyHex(const CommandKey& k) { return ToHex(k.data(), k.size()); }

std::string Sha1Prefix(const Bytes& msg) {
    const Bytes d = OpenSslSha1(msg);
    return ToHex(d.data(), 16);
}

TEST(DeriveCommandKeyTest, HashesTheKeyBytesAndKeepsSixteenDigestBytes) {
    const std::string digits = "0123456789ABCDEFFEDCBA9876543210";
    EXPECT_EQ(KeyHex(DeriveCommandKey(digits.c_str())), Sha1Prefix(FromHex(digits)));
    // An odd last digit is ignored: 31 digits hash the bytes of the first 30.
    EXPECT_EQ(KeyHex(DeriveCommandKey(digits.substr(0, 31).c_str())), Sha1Prefix(FromHex(digits.substr(0, 30))));
    EXPECT_NE(KeyHex(DeriveCommandKey(digits.substr(0, 31).c_str())), KeyHex(DeriveCommandKey(digits.c_str())));
}

TEST(DeriveCommandKeyTest, CaseOfDigitsDoesNotMatter) {
    EXPECT_EQ(KeyHex(DeriveCommandKey("ABCDEF0123456789abcdef0123456789")),
              KeyHex(DeriveCommandKey("abcdef0123456789ABCDEF0123456789")));
}

TEST(DeriveCommandKeyTest, ShortAndMissingTextsHashTheEmptyMessage) {
    const std::string empty = Sha1Prefix(Bytes{});
    EXPECT_EQ(KeyHex(DeriveCommandKey("")), empty);
    EXPECT_EQ(KeyHex(DeriveCommandKey("7")), empty);
    EXPECT_EQ(KeyHex(DeriveCommandKey(nullptr)), empty);
}

TEST(DeriveCommandKeyTest, TextBeyondSixteenBytesIsIgnored) {
    const std::string digits = "0123456789ABCDEFFEDCBA9876543210";
    EXPECT_EQ(KeyHex(DeriveCommandKey((digits + "FFFF").c_str())), KeyHex(DeriveCommandKey(digits.c_str())));
}

Bytes Hex(const char* text, size_t capacity = 16) {
    Bytes out(capacity + 1, 0x5C);  // one guard byte past the capacity
    out.resize(HexToBytes(text, out.data(), capacity) + 1);
    EXPECT_EQ(out.back(), 0x5C) << "wrote past the returned count for " << text;
    out.pop_back();
    return out;
}

TEST(HexToBytesTest, DigitsOfBothCases) {
    EXPECT_EQ(ToHex(Hex("00aBcD9fF0")), "00abcd9ff0");
    EXPECT_EQ(ToHex(Hex("123")), "12");
    EXPECT_TRUE(Hex("").empty());
    EXPECT_TRUE(Hex("F").empty());
}

TEST(HexToBytesTest, NonHexCharactersCountAs255) {
    EXPECT_EQ(ToHex(Hex("0G")), "ff");
    EXPECT_EQ(ToHex(Hex("G0")), "f0");
    EXPECT_EQ(ToHex(Hex("GG")), "ef");
    EXPECT_EQ(ToHex(Hex("3 ")), "2f");  // 3*16 + 255 = 0x12F
}

TEST(HexToBytesTest, StopsAtCapacityAndNullPointers) {
    EXPECT_EQ(ToHex(Hex("0102030405", 2)), "0102");
    EXPECT_TRUE(Hex("0102", 0).empty());
    uint8_t out[4];
    EXPECT_EQ(HexToBytes(nullptr, out, sizeof out), 0u);
    EXPECT_EQ(HexToBytes("0102", nullptr, 4), 0u);
}

TEST(PadBlock80Test, AlwaysAddsAtLeastOneByte) {
    const struct {
        size_t len;
        size_t padded;
    } cases[] = {{15, 16}, {16, 32}, {0, 16}, {1, 16}, {31, 32}};
    for (const auto& c : cases) {
        Bytes msg(c.len, 0x11);
        Bytes out(c.len + 16 + 1, 0xEE);
        ASSERT_EQ(PadBlock80(msg.data(), c.len, out.data()), c.padded) << c.len;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + c.len), msg);
        EXPECT_EQ(out[c.len], 0x80);
        for (size_t i = c.len + 1; i < c.padded; ++i) EXPECT_EQ(out[i], 0) << c.len << " at " << i;
        EXPECT_EQ(out[c.padded], 0xEE) << "wrote past the padded length";
    }
}

TEST(PadBlock80Test, InPlace) {
    uint8_t buf[32] = {1, 2, 3};
    std::memset(buf + 3, 0xEE, sizeof buf - 3);
    ASSERT_EQ(PadBlock80(buf, 3, buf), 16u);
    EXPECT_EQ(ToHex(buf, 16), "01020380000000000000000000000000");
    EXPECT_EQ(PadBlock80(buf, 3, nullptr), 0u);
    EXPECT_EQ(PadBlock80(nullptr, 3, buf), 0u);
}

TEST(SwapWordBytesTest, ReversesEachWord) {
    uint32_t words[2] = {0x01020304, 0xA0B0C0D0};
    SwapWordBytes(words, 2);
    EXPECT_EQ(words[0], 0x04030201u);
    EXPECT_EQ(words[1], 0xD0C0B0A0u);
    SwapWordBytes(words, 1);
    EXPECT_EQ(words[0], 0x01020304u);
    EXPECT_EQ(words[1], 0xD0C0B0A0u);
}

int Parse(const std::string& text, uint32_t* seconds) { return ParseUtcTimeText(text.data(), text.size(), seconds); }

bool Accepts(const std::string& text) {
    uint32_t s = 0;
    return Parse(text, &s) == 0;
}

uint32_t Seconds(const std::string& text) {
    uint32_t s = 0xDEADBEEF;
    EXPECT_EQ(Parse(text, &s), 0) << text;
    return s;
}

TEST(ParseUtcTimeTextTest, KnownInstants) {
    EXPECT_EQ(Seconds("1970/1/1/0/0/0"), 0u);
    EXPECT_EQ(Seconds("1970/01/01/00/00/01"), 1u);
    EXPECT_EQ(Seconds("2024/1/1/0/0/0"), 0x65920080u);
    EXPECT_EQ(Seconds("2099/12/31/23/59/59"), 4102444799u);
    EXPECT_EQ(Seconds("2024/02/29/23/59/59"), 1709251199u);
    EXPECT_EQ(Seconds("2000/02/29/00/00/00"), 951782400u);
}

TEST(ParseUtcTimeTextTest, AgreesWithTimegmAcrossTheRange) {
    std::mt19937 rng(2024);
    for (int i = 0; i < 2000; ++i) {
        const uint32_t t = static_cast<uint32_t>(rng() % 4102444800u);
        const time_t tt = t;
        tm parts{};
        ASSERT_NE(gmtime_r(&tt, &parts), nullptr);
        char text[64];
        std::snprintf(text, sizeof text, "%d/%02d/%02d/%02d/%02d/%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                      parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
        ASSERT_EQ(Seconds(text), t) << text;
    }
}

TEST(ParseUtcTimeTextTest, CalendarRanges) {
    EXPECT_FALSE(Accepts("2023/02/29/00/00/00"));
    EXPECT_FALSE(Accepts("1900/02/29/00/00/00"));
    EXPECT_FALSE(Accepts("2100/01/01/00/00/00"));
    EXPECT_FALSE(Accepts("1969/12/31/23/59/59"));
    EXPECT_FALSE(Accepts("2024/04/31/00/00/00"));
    EXPECT_TRUE(Accepts("2024/05/31/00/00/00"));
    EXPECT_FALSE(Accepts("2024/13/01/00/00/00"));
    EXPECT_FALSE(Accepts("2024/00/01/00/00/00"));
    EXPECT_FALSE(Accepts("2024/01/00/00/00/00"));
    EXPECT_FALSE(Accepts("2024/01/32/00/00/00"));
    EXPECT_FALSE(Accepts("2024/01/01/24/00/00"));
    EXPECT_FALSE(Accepts("2024/01/01/00/60/00"));
    EXPECT_FALSE(Accepts("2024/01/01/00/00/60"));
    EXPECT_FALSE(Accepts("2024/01/01/-1/00/00"));
    EXPECT_FALSE(Accepts("2024/01/01/00/-1/00"));
    EXPECT_FALSE(Accepts("2024/01/01/00/00/-5"));
    EXPECT_FALSE(Accepts("99999999999999999999999/01/01/00/00/00"));
}

// Seconds of a UTC calendar time from the C library, as an independent
// reference.
uint32_t Timegm(int year, int month, int day, int hour, int minute, int second) {
    tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    return static_cast<uint32_t>(timegm(&parts));
}

TEST(ParseUtcTimeTextTest, BothSidesOfEveryMonthEnd) {
    // The last day of each month is accepted (and means what the C library
    // says it means); the day after it is rejected. 2000 is a leap year
    // (divisible by 400), 2024 and 2096 ordinary leap years.
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int year : {1970, 2000, 2023, 2024, 2096, 2099}) {
        const bool leap = year % 4 == 0;
        for (int month = 1; month <= 12; ++month) {
            const int last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
            char text[48];
            std::snprintf(text, sizeof text, "%d/%02d/%02d/23/59/59", year, month, last);
            EXPECT_EQ(Seconds(text), Timegm(year, month, last, 23, 59, 59)) << text;
            std::snprintf(text, sizeof text, "%d/%02d/%02d/00/00/00", year, month, last + 1);
            EXPECT_FALSE(Accepts(text)) << text;
        }
    }
    EXPECT_FALSE(Accepts("2024/09/31/00/00/00"));
    EXPECT_TRUE(Accepts("2024/09/30/00/00/00"));
    EXPECT_FALSE(Accepts("2024/02/30/00/00/00"));
    EXPECT_FALSE(Accepts("2000/02/30/00/00/00"));
    EXPECT_FALSE(Accepts("2097/02/29/00/00/00"));
    EXPECT_EQ(Seconds("2096/02/29/00/00/00"), Timegm(2096, 2, 29, 0, 0, 0));
}

TEST(ParseUtcTimeTextTest, BothSidesOfEachFieldRange) {
    const struct {
        const char* text;
        bool accepted;
    } cases[] = {
        {"1969/12/31/23/59/59", false}, {"1970/01/01/00/00/00", true},  {"2099/12/31/23/59/59", true},
        {"2100/01/01/00/00/00", false}, {"2024/00/10/00/00/00", false}, {"2024/01/10/00/00/00", true},
        {"2024/12/10/00/00/00", true},  {"2024/13/10/00/00/00", false}, {"2024/05/00/00/00/00", false},
        {"2024/05/01/00/00/00", true},  {"2024/05/31/00/00/00", true},  {"2024/05/32/00/00/00", false},
        {"2024/05/10/-1/00/00", false}, {"2024/05/10/00/00/00", true},  {"2024/05/10/23/00/00", true},
        {"2024/05/10/24/00/00", false}, {"2024/05/10/00/-1/00", false}, {"2024/05/10/00/59/00", true},
        {"2024/05/10/00/60/00", false}, {"2024/05/10/00/00/-1", false}, {"2024/05/10/00/00/59", true},
        {"2024/05/10/00/00/60", false},
    };
    for (const auto& c : cases) EXPECT_EQ(Accepts(c.text), c.accepted) << c.text;
}

TEST(ParseUtcTimeTextTest, ExactlySixFields) {
    EXPECT_FALSE(Accepts("2024/1/1/0/0"));
    EXPECT_FALSE(Accepts("2024/1/1/0/0/0/0"));
    EXPECT_FALSE(Accepts("2024/1/1/0/0/0/"));
    EXPECT_FALSE(Accepts(""));
    EXPECT_FALSE(Accepts("/////"));  // six empty fields: year 0
}

TEST(ParseUtcTimeTextTest, FieldsReadLikeAtoi) {
    EXPECT_EQ(Seconds("  2024/ 1/\t1/+0/-0/0"), 0x65920080u);
    EXPECT_EQ(Seconds("2024x/1y/1z/0/0/"), 0x65920080u);  // empty second = 0
    EXPECT_EQ(Seconds("2024/1/1/ /0/0"), 0x65920080u);
    EXPECT_EQ(Seconds("2024/1/1/+-1/0/0"), 0x65920080u);  // no digits after the sign
    EXPECT_FALSE(Accepts("x2024/1/1/0/0/0"));             // year 0
}

TEST(ParseUtcTimeTextTest, OnlyTheGivenLengthIsRead) {
    const std::string text = "2024/1/1/0/0/0/0";
    uint32_t s = 0;
    EXPECT_EQ(ParseUtcTimeText(text.data(), 14, &s), 0);
    EXPECT_EQ(s, 0x65920080u);
}

TEST(ParseUtcTimeTextTest, OverlongFieldIsRejectedWithoutOverrun) {
    EXPECT_FALSE(Accepts(std::string(300, '1') + "/1/1/0/0/0"));
    EXPECT_FALSE(Accepts("2024/1/1/0/0/" + std::string(300, ' ')));
    // 254 characters still fit the field buffer with its terminator.
    EXPECT_TRUE(Accepts(std::string(250, '0') + "2024/1/1/0/0/0"));
    EXPECT_FALSE(Accepts(std::string(251, '0') + "2024/1/1/0/0/0"));
}

TEST(ParseUtcTimeTextTest, NullPointersAreRejected) {
    uint32_t s = 7;
    EXPECT_EQ(ParseUtcTimeText(nullptr, 10, &s), -1);
    EXPECT_EQ(s, 7u);
    EXPECT_EQ(ParseUtcTimeText("2024/1/1/0/0/0", 14, nullptr), -1);
}

}  // namespace
}  // namespace quillon
