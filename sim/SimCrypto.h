// Token-side cryptography of the virtual Norvik-2, built on OpenSSL EVP.
//
// Deliberately independent of the library's own SM4 code: when the library
// and this token agree on a MAC, a cryptogram or an encrypted seed, two
// separate implementations have agreed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace norvik::sim {

using Bytes = std::vector<uint8_t>;
using Key16 = std::array<uint8_t, 16>;

enum class HmacAlgorithm : uint8_t { Sha1 = 1, Sha256 = 2 };

// SM4-ECB without padding. The input length must be a multiple of 16;
// anything else yields an empty result.
Bytes Sm4EcbEncrypt(const Key16& key, const Bytes& in);
Bytes Sm4EcbDecrypt(const Key16& key, const Bytes& in);

// First four bytes of the last SM4-CBC block (zero IV) over msg padded with
// 80 00.. to a whole number of blocks (ISO/IEC 9797-1 padding method 2).
std::array<uint8_t, 4> Sm4CbcMac4(const Key16& key, const Bytes& msg);

Bytes Hmac(HmacAlgorithm alg, const Bytes& key, const Bytes& msg);

// The token stores command keys: SHA-1 over the bytes the access key text
// encodes, first 16 bytes. Digits outside 0-9/a-f/A-F count as 255, an
// unpaired final digit is ignored, as on the host side.
Key16 DeriveCommandKey(std::string_view accessKeyText);

// RFC 4226 dynamic truncation over HMAC(seed, counter); the 31-bit value
// modulo 10^digits, zero-padded. digits 1..10 (10 digits keep the whole
// 31-bit value).
std::string Hotp(HmacAlgorithm alg, const Bytes& seed, uint64_t counter, unsigned digits);
// RFC 6238 with T0 = 0.
std::string Totp(HmacAlgorithm alg, const Bytes& seed, uint64_t unixTime, unsigned stepSeconds, unsigned digits);

void RandomBytes(uint8_t* out, size_t len);

std::string ToHex(const uint8_t* data, size_t len);
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }
// Strict parser (even length, hex digits only, optional blanks between
// bytes); returns false on anything else.
bool FromHex(std::string_view text, Bytes& out);

}  // namespace norvik::sim
