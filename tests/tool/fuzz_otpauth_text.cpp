// InterpretQrText against a reference that reads the text differently
// (case-insensitive search instead of a lower-cased copy): any input gives
// either no value, exactly when it is short or lacks "secret=", or form
// values equal to the reference, with every index inside its list.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "import/QrImport.h"

namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Position of key (lower case) in text, ignoring ASCII case, or npos.
size_t FindFolded(std::string_view text, std::string_view key) {
    for (size_t i = 0; i + key.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < key.size() && Fold(text[i + k]) == key[k]) ++k;
        if (k == key.size()) return i;
    }
    return std::string_view::npos;
}

std::string ValueAfter(std::string_view text, size_t at, size_t keyLength) {
    std::string value;
    for (size_t i = at + keyLength; i < text.size() && text[i] != '&'; ++i) value.push_back(text[i]);
    return value;
}

// Bytes mapped onto URI fragments, so the parameter rules are reached far
// more often than by raw bytes.
const char* const kPieces[] = {
    "secret=", "Secret=", "issuer=", "ISSUER=", "&",  "sha256",   "SHA256",          "period=", "60",
    "600",     "digits=", "4",       "8",       "10", "7",        "otpauth://totp/", "?",       "JBSWY3DP",
    "%20",     "a",       "Z",       ":",       "=",  "\xC3\xA9", "verylongissuer"};

}  // namespace

// The first byte picks the mode: odd maps the rest onto kPieces, even takes
// the rest as the text itself.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text;
    if (size > 0 && (data[0] & 1)) {
        for (size_t i = 1; i < size; ++i) text += kPieces[data[i] % (sizeof kPieces / sizeof kPieces[0])];
    } else if (size > 0) {
        text.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
    }

    const std::optional<provisor::OtpauthFields> got = provisor::InterpretQrText(text);
    const size_t secretAt = std::string_view(text).find("secret=");
    if (text.size() < 6 || secretAt == std::string_view::npos) {
        if (got) std::abort();
        return 0;
    }
    if (!got) std::abort();

    std::string seed = ValueAfter(text, secretAt, 7);
    for (char& c : seed)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (got->seed != seed) std::abort();

    std::string title;
    if (const size_t at = FindFolded(text, "issuer="); at != std::string_view::npos) {
        for (char c : ValueAfter(text, at, 7).substr(0, 12)) title.push_back(Fold(c));
    }
    if (got->title != title) std::abort();

    const int algorithm =
        FindFolded(text, "sha256") != std::string_view::npos ? provisor::kAlgorithmSha256 : provisor::kAlgorithmSha1;
    const int timeStep =
        FindFolded(text, "period=60") != std::string_view::npos ? provisor::kTimeStep60s : provisor::kTimeStep30s;
    int otpLength = provisor::kOtpLength6;
    if (FindFolded(text, "digits=10") != std::string_view::npos)
        otpLength = provisor::kOtpLength10;
    else if (FindFolded(text, "digits=8") != std::string_view::npos)
        otpLength = provisor::kOtpLength8;
    else if (FindFolded(text, "digits=4") != std::string_view::npos)
        otpLength = provisor::kOtpLength4;
    if (got->algorithm != algorithm || got->timeStep != timeStep || got->otpLength != otpLength) std::abort();
    return 0;
}
