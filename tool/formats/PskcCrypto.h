// The cryptography of PSKC files (XML Encryption's CBC modes with the IV
// before the cipher text, HMAC, PBKDF2) and their base64, on OpenSSL.
// Internal to the formats library.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/Secrets.h"

namespace provisor::pskc {

inline constexpr std::string_view kAes128Cbc = "http://www.w3.org/2001/04/xmlenc#aes128-cbc";
inline constexpr std::string_view kHmacSha1 = "http://www.w3.org/2000/09/xmldsig#hmac-sha1";
inline constexpr std::string_view kHmacSha256 = "http://www.w3.org/2001/04/xmldsig-more#hmac-sha256";
inline constexpr std::string_view kPbkdf2 = "http://www.rsasecurity.com/rsalabs/pkcs/schemas/pkcs-5v2-0#pbkdf2";

// Throws std::runtime_error when the system's random source fails.
std::vector<uint8_t> RandomBytes(size_t count);

// The CBC cipher an XML Encryption URI names (aes128/192/256-cbc, by the
// part after "#"), or null.
const EVP_CIPHER* CbcCipher(std::string_view uri);
// The digest of an HMAC URI ("...#hmac-sha1", "...#hmac-sha256", ...), or
// null.
const EVP_MD* HmacDigest(std::string_view uri);

// IV (random) followed by the PKCS#7-padded cipher text.
std::vector<uint8_t> CbcEncrypt(const EVP_CIPHER* cipher, const SecretBytes& key, std::span<const uint8_t> plain);
// Nothing when the data is not IV plus whole blocks or the padding is
// wrong (what a wrong key gives, save by chance).
std::optional<SecretBytes> CbcDecrypt(const EVP_CIPHER* cipher, const SecretBytes& key, std::span<const uint8_t> data);

std::vector<uint8_t> Hmac(const EVP_MD* md, const SecretBytes& key, std::span<const uint8_t> data);
SecretBytes Pbkdf2(const SecretBytes& passphrase, std::span<const uint8_t> salt, uint32_t iterations, const EVP_MD* prf,
                   size_t length);

std::string Base64Encode(std::span<const uint8_t> bytes);
// White space anywhere is skipped; "=" padding is optional. Nothing for any
// other character or a length no encoder makes.
std::optional<SecretBytes> Base64Decode(std::string_view text);

}  // namespace provisor::pskc
