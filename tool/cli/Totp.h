// RFC 6238 time-based passwords over RFC 4226, computed with OpenSSL's
// HMAC, to check what a token shows against the seed that was written into
// it. Independent of the token command library on purpose: a fault anywhere
// between the seed text and the token's storage shows as a mismatch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyloom {

enum class OtpAlgorithm { Sha1, Sha256 };

// "SHA1" or "SHA256" in any case; nothing for anything else.
std::optional<OtpAlgorithm> ParseOtpAlgorithm(std::string_view text);
const char* OtpAlgorithmName(OtpAlgorithm algorithm);

// The HOTP value for counter: dynamic truncation to 31 bits, modulo
// 10^digits (1-10), zero-padded to digits characters. Empty for an empty
// seed or digits outside 1-10.
std::string HotpCode(const std::vector<uint8_t>& seed, OtpAlgorithm algorithm, int digits, uint64_t counter);

// What the token's time may have been when it computed its password: the
// clock it reported (whole seconds, cut down) and how much host time passed
// around the two reads.
struct TokenTimeWindow {
    double earliest = 0;  // seconds since 1970, UTC
    double latest = 0;
};

// The window for a password read that began readStart and ended readEnd
// seconds after the clock read began (clockStart = 0) and ended (clockEnd),
// with one more second each way for the token's own rounding.
TokenTimeWindow WindowAfterClockRead(uint32_t tokenClock, double clockEnd, double readStart, double readEnd);

// True when code is the TOTP of seed for a time step that some moment of
// window falls in (the step of the time read, or its neighbour when the
// window crosses a step boundary).
bool MatchesTotp(std::string_view code, const std::vector<uint8_t>& seed, OtpAlgorithm algorithm, int digits,
                 int stepSeconds, TokenTimeWindow window);

}  // namespace keyloom
