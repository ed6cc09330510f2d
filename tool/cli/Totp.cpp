#include "cli/Totp.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cmath>

namespace keyloom {

std::optional<OtpAlgorithm> ParseOtpAlgorithm(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (upper == "SHA1") return OtpAlgorithm::Sha1;
    if (upper == "SHA256") return OtpAlgorithm::Sha256;
    return std::nullopt;
}

const char* OtpAlgorithmName(OtpAlgorithm algorithm) { return algorithm == OtpAlgorithm::Sha256 ? "SHA256" : "SHA1"; }

std::string HotpCode(const std::vector<uint8_t>& seed, OtpAlgorithm algorithm, int digits, uint64_t counter) {
    if (seed.empty() || digits < 1 || digits > 10) return {};
    uint8_t message[8];
    for (int i = 7; i >= 0; --i) {
        message[i] = static_cast<uint8_t>(counter & 0xFF);
        counter >>= 8;
    }
    uint8_t mac[EVP_MAX_MD_SIZE];
    unsigned int macLength = 0;
    const EVP_MD* md = algorithm == OtpAlgorithm::Sha256 ? EVP_sha256() : EVP_sha1();
    if (!HMAC(md, seed.data(), static_cast<int>(seed.size()), message, sizeof message, mac, &macLength) ||
        macLength < 20)
        return {};
    const unsigned offset = mac[macLength - 1] & 0x0F;
    const uint64_t truncated = (static_cast<uint64_t>(mac[offset] & 0x7F) << 24) |
                               (static_cast<uint64_t>(mac[offset + 1]) << 16) |
                               (static_cast<uint64_t>(mac[offset + 2]) << 8) | mac[offset + 3];
    uint64_t modulus = 1;
    for (int i = 0; i < digits; ++i) modulus *= 10;
    std::string code = std::to_string(truncated % modulus);
    if (code.size() < static_cast<size_t>(digits)) code.insert(0, static_cast<size_t>(digits) - code.size(), '0');
    return code;
}

TokenTimeWindow WindowAfterClockRead(uint32_t tokenClock, double clockEnd, double readStart, double readEnd) {
    // The clock was read at some moment of [0, clockEnd] and showed a time
    // in [tokenClock, tokenClock + 1); the password was made at some moment
    // of [readStart, readEnd].
    const double earliest = tokenClock + std::max(0.0, readStart - clockEnd);
    const double latest = tokenClock + 1.0 + std::max(0.0, readEnd);
    return {earliest - 1.0, latest + 1.0};
}

bool MatchesTotp(std::string_view code, const std::vector<uint8_t>& seed, OtpAlgorithm algorithm, int digits,
                 int stepSeconds, TokenTimeWindow window) {
    if (stepSeconds <= 0 || code.empty()) return false;
    const double earliest = std::max(0.0, window.earliest);
    const double latest = std::max(earliest, window.latest);
    const auto first = static_cast<uint64_t>(std::floor(earliest / stepSeconds));
    const auto last = static_cast<uint64_t>(std::floor(latest / stepSeconds));
    // A window longer than a few steps means the reads took unreasonably
    // long; a code from anywhere in it would prove little.
    if (last - first > 2) return false;
    for (uint64_t counter = first; counter <= last; ++counter)
        if (HotpCode(seed, algorithm, digits, counter) == code) return true;
    return false;
}

}  // namespace keyloom
