// The rules that turn the text of a QR code (an otpauth URI) into the
// profile form's values, as the QR import applies them: plain substring
// tests, not a URI parser. Standard C++ only.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace provisor {

// Item indices of the profile form's drop-down lists. The import never
// selects "No change".
inline constexpr int kAlgorithmSha1 = 0;
inline constexpr int kAlgorithmSha256 = 1;
inline constexpr int kTimeStep30s = 0;
inline constexpr int kTimeStep60s = 1;
inline constexpr int kOtpLength4 = 0;
inline constexpr int kOtpLength6 = 1;
inline constexpr int kOtpLength8 = 2;
inline constexpr int kOtpLength10 = 3;

inline constexpr size_t kQrTitleMaxLength = 12;

// What a QR code's otpauth URI puts into the profile form.
struct OtpauthFields {
    std::string seed;   // for "Seed (base32) :", upper case, not validated here
    std::string title;  // for "Profile title:", lower case, at most 12 bytes
    int algorithm = kAlgorithmSha1;
    int timeStep = kTimeStep30s;
    int otpLength = kOtpLength6;
};

// Interprets decoded QR text. No value (the "no QR code" case) when the text
// is shorter than 6 characters or has no "secret=" (case-sensitive).
// Otherwise:
// - seed: the text after the first "secret=" up to the next "&" or the end,
//   upper-cased;
// - the rest is read from a lower-cased copy, so keys match in any case,
//   each a plain substring test over the whole text, label included:
//   "sha256" selects SHA256; "issuer=" gives the title, its value up to the
//   next "&" cut to 12 bytes (percent escapes stay as they are);
//   "period=60" selects 60s (so does 600); "digits=4", "digits=8" and
//   "digits=10" select 4, 8 and 10, checked in that order with a later match
//   winning; any other digit count leaves 6.
// Case conversion is ASCII-only; other bytes pass through unchanged.
std::optional<OtpauthFields> InterpretQrText(std::string_view decoded);

}  // namespace provisor
