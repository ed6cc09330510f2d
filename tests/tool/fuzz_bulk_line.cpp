// Bulk file parsing: any text either rejects the file and leaves the caller's
// list untouched, or yields entries that are each within the ranges the
// worker relies on and that come back unchanged when written out as one
// plain line and parsed again. Parsing line by line gives the same result
// as parsing the whole text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "formats/BulkFile.h"
#include "formats/Encodings.h"

using provisor::BulkEntry;

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

bool AllZero(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != 0) return false;
    return true;
}

void CheckEntry(const BulkEntry& e) {
    Check(e.profile >= 0 && e.profile <= 99);
    if (e.deleteOnly) {
        BulkEntry expected;
        expected.profile = e.profile;
        expected.deleteOnly = 1;
        Check(e == expected);
        return;
    }
    Check(e.deleteOnly == 0);
    Check(std::strcmp(e.algorithm, "SHA1") == 0 || std::strcmp(e.algorithm, "SHA256") == 0);
    Check(AllZero(e.algorithm + std::strlen(e.algorithm), sizeof e.algorithm - std::strlen(e.algorithm)));
    Check(e.otpLength >= 1 && e.otpLength <= 10);
    Check(e.timeStep == 30 || e.timeStep == 60);
    Check(e.setTime == 0 || e.setTime == 1);
    Check(e.autoEnter == 0 || e.autoEnter == 1);
    Check(e.seedLength >= 1 && e.seedLength <= 160);
    Check(AllZero(e.seed + e.seedLength, sizeof e.seed - static_cast<size_t>(e.seedLength)));
    const size_t titleLength = strnlen(e.title, sizeof e.title);
    Check(titleLength <= 12 && AllZero(e.title + titleLength, sizeof e.title - titleLength));
    Check(titleLength == 0 || e.title[0] != ' ');

    // Written out the plain way and parsed again.
    const std::string line =
        std::to_string(e.profile) + " " + provisor::Base32Encode(e.seed, static_cast<size_t>(e.seedLength)) + " " +
        e.algorithm + " " + std::to_string(e.otpLength) + " " + std::to_string(e.timeStep) +
        (e.setTime ? " YES" : " NO") + (e.autoEnter ? " YES " : " NO ") + std::string(e.title, titleLength);
    std::vector<BulkEntry> again;
    Check(provisor::ParseBulkLine(line, again) && again.size() == 1 && again[0] == e);
}

// Pieces of real lines, so that most inputs get past the first fields.
// clang-format off
const char* const kTokens[] = {
    " ", " ", "  ", "\n", "\r\n", "\r", "\t", "0", "5", "99", "100", "12", "007",
    "JBSWY3DPEHPK3PXP", "MFRGG===", "MFRGG", "mfrgg", "A", "====",
    "SHA1", "sha256", "SHA-256", "6", "8", "10", "11", "30", "60", "30s", "x", "+8", "-1",
    "YES", "no", "Yes", "MAYBE", "Bank", "My Bank", "123456789012", "1234567890123", "\xC3\xA9", "#", "Profile"};
// clang-format on

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string text;
    if (data[0] & 1) {
        constexpr size_t count = sizeof kTokens / sizeof kTokens[0];
        for (size_t i = 1; i < size; ++i) text += kTokens[data[i] % count];
    } else {
        text.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    }

    BulkEntry sentinel;
    sentinel.profile = 1234;
    std::vector<BulkEntry> out{sentinel};
    const bool accepted = provisor::ParseBulkText(text, out);
    if (!accepted) {
        Check(out.size() == 1 && out[0] == sentinel);
    } else {
        for (const BulkEntry& e : out) CheckEntry(e);
    }

    // The same lines one at a time: a rejected line appends nothing.
    std::vector<BulkEntry> byLine;
    bool lineByLine = true;
    std::string_view rest = text;
    while (!rest.empty() && lineByLine) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t before = byLine.size();
        lineByLine = provisor::ParseBulkLine(line, byLine);
        Check(byLine.size() == before || (lineByLine && byLine.size() == before + 1));
    }
    Check(lineByLine == accepted);
    if (accepted) Check(byLine == out);
    return 0;
}
