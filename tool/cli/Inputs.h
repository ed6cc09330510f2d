// The secret inputs of keyloom: a seed as base32 text, an otpauth URI, an
// access key as hexadecimal text. Each comes from a file or standard input
// ("-"), never from the command line, and is checked before any token is
// touched: a bad input is a usage error (exit status 2), not a half-done
// provisioning.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Totp.h"

namespace keyloom {

// More than any seed, key or URI needs; a larger input is refused.
constexpr size_t kSecretInputLimit = 16 * 1024;

// The whole text of path, or of standard input for "-" (read once and kept,
// so a parent can hand the same text to its workers). Throws UsageError
// naming what (an option) and the path.
std::string ReadInput(const std::string& path, const std::string& what, size_t limit = kSecretInputLimit);
// What was read from standard input so far, if anything.
std::optional<std::string> StandardInputRead();

// A seed for the seed field: every blank, tab and line break removed, ASCII
// letters in upper case, and its decoded bytes (1-160). Throws UsageError.
struct SeedInput {
    std::string text;
    std::vector<uint8_t> bytes;
};
SeedInput ParseSeedText(const std::string& content, const std::string& what);

// An otpauth URI as the QR import reads decoded text: the first
// whitespace-delimited word, then the import's rules. Throws UsageError
// when there is no URI with "secret=" or its secret is not base32.
struct OtpauthInput {
    SeedInput seed;
    std::string title;  // lower case, at most 12 characters
    OtpAlgorithm algorithm = OtpAlgorithm::Sha1;
    int digits = 6;
    int step = 30;
};
OtpauthInput ParseOtpauthText(const std::string& content, const std::string& what);

// An access key: surrounding white space dropped, then 2-32 hexadecimal
// digits in pairs, as upper case. Throws UsageError.
std::string ParseKeyText(const std::string& content, const std::string& what);

}  // namespace keyloom
