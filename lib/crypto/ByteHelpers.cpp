#include "ByteHelpers.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>

#include "Sm4.h"

namespace quillon {
namespace {

// The token's command data never exceeds one short APDU: Lc = n + 4 <= 255.
constexpr size_t kMaxSecuredData = 255 - 4;

uint8_t HexValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    return 255;
}

bool IsAtoiSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// atoi's reading of a field (white space, sign, digits up to the first other
// character, no digits = 0) without its undefined overflow: the magnitude
// saturates far above any valid field, so a huge number is simply out of range.
long long AtoiField(const char* s, size_t n) {
    constexpr long long kSaturate = 1'000'000'000'000LL;
    size_t i = 0;
    while (i < n && IsAtoiSpace(s[i])) ++i;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) {
        if (value < kSaturate) value = value * 10 + (s[i] - '0');
    }
    return negative ? -value : value;
}

bool IsLeapYear(long long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Days since 1970-01-01 of a proleptic Gregorian date (year >= 1970 here).
long long DaysFromCivil(long long y, long long m, long long d) {
    y -= m <= 2 ? 1 : 0;
    const long long era = y / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The inverse: the civil date of a day count since 1970-01-01.
void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
}

}  // namespace

CommandKey DeriveCommandKey(const char* accessKeyText) {
    uint8_t bytes[16];
    const size_t n = HexToBytes(accessKeyText, bytes, sizeof bytes);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    CommandKey key{};
    // SHA-1 over at most 16 bytes cannot fail short of a broken libcrypto;
    // the key then stays all zero and the token simply refuses the MAC.
    if (EVP_Digest(bytes, n, digest, &digestLen, EVP_sha1(), nullptr) == 1 && digestLen >= key.size()) {
        std::memcpy(key.data(), digest, key.size());
    }
    OPENSSL_cleanse(bytes, sizeof bytes);
    OPENSSL_cleanse(digest, sizeof digest);
    return key;
}

size_t SecuredCommand(const CommandKey& key, uint8_t ins, uint8_t p1, uint8_t p2, const uint8_t* data, size_t n,
                      uint8_t* apdu) {
    if (n > kMaxSecuredData || apdu == nullptr || (data == nullptr && n != 0)) return 0;

    // The MAC covers the plain-class header with the length of the data
    // alone, so it is built apart from the APDU (which may alias data).
    uint8_t macInput[5 + kMaxSecuredData];
    macInput[0] = 0x80;
    macInput[1] = ins;
    macInput[2] = p1;
    macInput[3] = p2;
    macInput[4] = static_cast<uint8_t>(n);
    if (n != 0) std::memcpy(macInput + 5, data, n);

    uint8_t chain[kSm4BlockSize] = {};
    uint8_t mac[4];
    size_t macLen = sizeof mac;
    Sm4Mac(key.data(), macInput, 5 + n, chain, mac, &macLen);

    if (n != 0) std::memmove(apdu + 5, data, n);
    apdu[0] = 0x84;
    apdu[1] = ins;
    apdu[2] = p1;
    apdu[3] = p2;
    apdu[4] = static_cast<uint8_t>(n + 4);
    std::memcpy(apdu + 5 + n, mac, sizeof mac);
    OPENSSL_cleanse(macInput, 5 + n);
    OPENSSL_cleanse(chain, sizeof chain);
    return 9 + n;
}

size_t PadBlock80(const uint8_t* msg, size_t len, uint8_t* out) {
    if (out == nullptr || (msg == nullptr && len != 0)) return 0;
    if (len != 0 && msg != out) std::memmove(out, msg, len);
    const size_t padded = (len / kSm4BlockSize + 1) * kSm4BlockSize;
    out[len] = 0x80;
    std::memset(out + len + 1, 0, padded - len - 1);
    return padded;
}

size_t HexToBytes(const char* text, uint8_t* out, size_t outCapacity) {
    if (text == nullptr || out == nullptr) return 0;
    size_t n = 0;
    while (n < outCapacity && text[2 * n] != '\0' && text[2 * n + 1] != '\0') {
        const unsigned value = 16u * HexValue(text[2 * n]) + HexValue(text[2 * n + 1]);
        out[n] = static_cast<uint8_t>(value & 0xff);
        ++n;
    }
    return n;
}

void SwapWordBytes(uint32_t* words, size_t count) {
    if (words == nullptr) return;
    for (size_t i = 0; i < count; ++i) words[i] = __builtin_bswap32(words[i]);
}

int ParseUtcTimeText(const char* text, size_t length, uint32_t* seconds) {
    if (text == nullptr || seconds == nullptr) return -1;

    // A field must fit a 255-character buffer with its terminator; a longer
    // one is refused rather than cut.
    constexpr size_t kFieldBuffer = 255;
    long long fields[6];
    size_t count = 0;
    size_t pos = 0;
    for (;;) {
        const size_t start = pos;
        while (pos < length && text[pos] != '/') ++pos;
        const size_t n = pos - start;
        if (n + 1 > kFieldBuffer) return -1;
        if (count == 6) return -1;
        fields[count++] = AtoiField(text + start, n);
        if (pos >= length) break;
        ++pos;  // the separator
    }
    if (count != 6) return -1;

    const long long year = fields[0], month = fields[1], day = fields[2];
    const long long hour = fields[3], minute = fields[4], second = fields[5];
    if (year < 1970 || year > 2099) return -1;
    if (month < 1 || month > 12) return -1;
    if (day < 1 || day > 31) return -1;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) return -1;
    if ((month == 4 || month == 6 || month == 9 || month == 11) && day > 30) return -1;
    if (month == 2 && day > (IsLeapYear(year) ? 29 : 28)) return -1;

    const long long total = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    *seconds = static_cast<uint32_t>(total);
    return 0;
}

void FormatUtcClockText(uint32_t seconds, char out[kUtcClockTextLength + 1]) {
    long long year;
    unsigned month, day;
    CivilFromDays(seconds / 86400, year, month, day);
    const unsigned sod = seconds % 86400;
    // Room for what the format could produce in general; the 32-bit range
    // always yields exactly 19 characters.
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02u:%02u:%02u", year, month, day, sod / 3600, sod / 60 % 60,
                  sod % 60);
    std::memcpy(out, text, kUtcClockTextLength);
    out[kUtcClockTextLength] = '\0';
}

}  // namespace quillon
