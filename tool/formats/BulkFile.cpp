#include "formats/BulkFile.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "formats/Encodings.h"
#include "formats/TextFile.h"
#include "formats/Secrets.h"

namespace provisor {

namespace {

constexpr size_t npos = std::string_view::npos;

// Drops the spaces at the front; an all-space text becomes empty.
std::string_view SkipSpaces(std::string_view text) {
    const size_t at = text.find_first_not_of(' ');
    return at == npos ? std::string_view{} : text.substr(at);
}

// Cuts the next field off rest: the text up to the next space, which must
// exist. rest then starts after the spaces that follow the field.
bool TakeField(std::string_view& rest, std::string_view& field) {
    const size_t space = rest.find(' ');
    if (space == npos) return false;
    field = rest.substr(0, space);
    rest = SkipSpaces(rest.substr(space));
    return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char FoldUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Compares field, folded to upper case, with an upper-case word.
bool EqualsFolded(std::string_view field, std::string_view upper) {
    return field.size() == upper.size() &&
           std::equal(field.begin(), field.end(), upper.begin(), [](char a, char b) { return FoldUpper(a) == b; });
}

// The usual leading-integer reading (as strtol in base 10): optional white
// space and sign, then digits; whatever follows is ignored, and no digits
// read as 0. Large values saturate, which keeps them out of every range
// checked here without overflowing.
long LeadingInteger(std::string_view field) {
    constexpr long kSaturated = 1000000;
    size_t i = 0;
    while (i < field.size() && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    long value = 0;
    for (; i < field.size() && IsDigit(field[i]); ++i) value = std::min(value * 10 + (field[i] - '0'), kSaturated);
    return negative ? -value : value;
}

// 1 for YES, 0 for NO, in any case; -1 for anything else.
int YesNo(std::string_view field) {
    if (EqualsFolded(field, "YES")) return 1;
    if (EqualsFolded(field, "NO")) return 0;
    return -1;
}

bool DecodeSeed(std::string_view field, BulkEntry& entry) {
    if (field.size() > kBulkMaxSeedFieldChars) return false;
    // Base32Decode wants terminated text; a NUL inside the field ends it
    // early and then fails the character check, so such a seed is rejected.
    char text[kBulkMaxSeedFieldChars + 1];
    text[field.copy(text, field.size())] = '\0';
    uint8_t bytes[512];  // 5/8 of the longest field; only the decoded bytes are read
    size_t length = field.size();
    const bool ok = Base32Decode(text, &length, bytes) != 0 && length <= kBulkMaxSeedBytes;
    if (ok) {
        std::memcpy(entry.seed, bytes, length);
        entry.seedLength = static_cast<int32_t>(length);
    }
    Wipe(text, field.size());
    Wipe(bytes, std::min(length, sizeof bytes));
    return ok;
}

}  // namespace

BulkEntry::~BulkEntry() { Wipe(seed, sizeof seed); }

bool ParseBulkLine(std::string_view line, std::vector<BulkEntry>& entries) {
    std::string_view rest = SkipSpaces(line);
    if (rest.empty()) return true;

    // The first field is taken from the line itself, so a line that begins
    // with a space has an empty first field: profile 0.
    const size_t firstEnd = std::min(line.find(' '), line.size());
    const std::string_view first = line.substr(0, firstEnd);
    if (first.size() > kBulkMaxFirstFieldChars) return false;
    if (!std::all_of(first.begin(), first.end(), IsDigit)) return true;
    long profile = 0;
    for (char c : first) profile = std::min(profile * 10 + (c - '0'), 1000L);
    if (profile > 99) return false;

    BulkEntry entry;
    entry.profile = static_cast<int32_t>(profile);
    rest = SkipSpaces(line.substr(firstEnd));
    if (rest.empty()) {
        entry.deleteOnly = 1;
        entries.push_back(entry);
        return true;
    }

    std::string_view field;
    if (!TakeField(rest, field) || !DecodeSeed(field, entry)) return false;

    if (!TakeField(rest, field)) return false;
    if (EqualsFolded(field, "SHA1"))
        std::memcpy(entry.algorithm, "SHA1", 4);
    else if (EqualsFolded(field, "SHA256"))
        std::memcpy(entry.algorithm, "SHA256", 6);
    else
        return false;

    if (!TakeField(rest, field)) return false;
    const long otpLength = LeadingInteger(field);
    if (otpLength < 1 || otpLength > 10) return false;
    entry.otpLength = static_cast<int32_t>(otpLength);

    if (!TakeField(rest, field)) return false;
    const long timeStep = LeadingInteger(field);
    if (timeStep != 30 && timeStep != 60) return false;
    entry.timeStep = static_cast<int32_t>(timeStep);

    if (!TakeField(rest, field)) return false;
    const int setTime = YesNo(field);
    if (setTime < 0) return false;
    entry.setTime = setTime;

    if (!TakeField(rest, field)) return false;
    const int autoEnter = YesNo(field);
    if (autoEnter < 0) return false;
    entry.autoEnter = autoEnter;

    // The title is zero-terminated text for the token, so a NUL inside it
    // would silently cut it short; such a title is rejected instead.
    if (rest.size() > kBulkMaxTitleChars || rest.find('\0') != npos) return false;
    rest.copy(entry.title, rest.size());

    entries.push_back(entry);
    return true;
}

bool ParseBulkText(std::string_view text, std::vector<BulkEntry>& out) {
    std::vector<BulkEntry> entries;
    if (!ForEachLine(text, [&](std::string_view line) { return ParseBulkLine(line, entries); })) return false;
    out = std::move(entries);
    return true;
}

bool LoadBulkFile(const std::filesystem::path& path, std::vector<BulkEntry>& out) {
    std::optional<std::string> text = ReadWholeTextFile(path);
    if (!text) return false;
    const WipeOnExit wipe(*text);
    return ParseBulkText(*text, out);
}

}  // namespace provisor
