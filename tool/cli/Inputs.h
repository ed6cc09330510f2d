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

#include "cli/Totp.h"

namespace keyloom {

// More than any seed, key or URI needs; a larger input is refused.
constexpr size_t kSecretInputLimit = 16 * 1024;

// The inputs of one command. Standard input is read once and kept, so that
// every input naming it gets the same text and a parent can hand it to its
// workers; it is cleared with the reader.
class InputReader {
public:
    InputReader() = default;
    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;
    ~InputReader();

    // The whole text of path, or of standard input for "-". Throws
    // UsageError naming what (an option) and the path.
    std::string Read(const std::string& path, const std::string& what, size_t limit = kSecretInputLimit);
    // What was read from standard input so far, if anything.
    const std::optional<std::string>& StandardInput() const { return m_stdin; }

private:
    std::optional<std::string> m_stdin;
};

// A seed for the seed field: every blank, tab and line break removed, ASCII
// letters in upper case, and its decoded bytes (1-160). Throws UsageError.
struct SeedInput {
    ~SeedInput();  // clears both
    std::string text;
    std::vector<uint8_t> bytes;
};
SeedInput ParseSeedText(const std::string& content, const std::string& what);

// An otpauth URI: the first whitespace-delimited word, read exactly, since
// nobody looks at a form before the token is written. It must be an
// otpauth://totp/ URI with a "secret=" parameter (that name in lower case,
// as the QR import wants it) holding base32; the other parameter names
// match in any case. algorithm (SHA1 or SHA256, default SHA1), digits (4,
// 6, 8 or 10, default 6), period (30 or 60, default 30) and issuer (the
// title, in lower case as the QR import gives it: printable ASCII, at most
// 12 bytes) must each be something the token does exactly, and appear at
// most once. Anything else (an hotp URI, SHA512, 7 digits, 45 seconds, an
// issuer that would be cut) throws UsageError naming the cause.
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
