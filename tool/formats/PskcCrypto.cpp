#include "formats/PskcCrypto.h"

#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

namespace provisor::pskc {

namespace {

std::string_view Fragment(std::string_view uri) {
    const size_t hash = uri.rfind('#');
    return hash == std::string_view::npos ? uri : uri.substr(hash + 1);
}

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::vector<uint8_t> RandomBytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    if (count && RAND_bytes(bytes.data(), static_cast<int>(count)) != 1)
        throw std::runtime_error("the system's random source failed");
    return bytes;
}

const EVP_CIPHER* CbcCipher(std::string_view uri) {
    const std::string_view name = Fragment(uri);
    if (name == "aes128-cbc") return EVP_aes_128_cbc();
    if (name == "aes192-cbc") return EVP_aes_192_cbc();
    if (name == "aes256-cbc") return EVP_aes_256_cbc();
    return nullptr;
}

const EVP_MD* HmacDigest(std::string_view uri) {
    const std::string_view name = Fragment(uri);
    if (name == "hmac-sha1") return EVP_sha1();
    if (name == "hmac-sha224") return EVP_sha224();
    if (name == "hmac-sha256") return EVP_sha256();
    if (name == "hmac-sha384") return EVP_sha384();
    if (name == "hmac-sha512") return EVP_sha512();
    return nullptr;
}

std::vector<uint8_t> CbcEncrypt(const EVP_CIPHER* cipher, const SecretBytes& key, std::span<const uint8_t> plain) {
    const int block = EVP_CIPHER_block_size(cipher);
    std::vector<uint8_t> out = RandomBytes(static_cast<size_t>(block));
    out.resize(out.size() + plain.size() + static_cast<size_t>(block));
    CipherContext ctx(EVP_CIPHER_CTX_new());
    int written = 0, last = 0;
    if (!ctx || static_cast<size_t>(EVP_CIPHER_key_length(cipher)) != key.size() ||
        EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), out.data()) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data() + block, &written, plain.data(), static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + block + written, &last) != 1)
        throw std::runtime_error("AES encryption failed");
    out.resize(static_cast<size_t>(block + written + last));
    return out;
}

std::optional<SecretBytes> CbcDecrypt(const EVP_CIPHER* cipher, const SecretBytes& key, std::span<const uint8_t> data) {
    const size_t block = static_cast<size_t>(EVP_CIPHER_block_size(cipher));
    if (static_cast<size_t>(EVP_CIPHER_key_length(cipher)) != key.size() || data.size() < 2 * block ||
        data.size() % block != 0)
        return std::nullopt;
    SecretBytes plain(data.size());
    CipherContext ctx(EVP_CIPHER_CTX_new());
    int written = 0, last = 0;
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key.data(), data.data()) != 1 ||
        EVP_DecryptUpdate(ctx.get(), plain.data(), &written, data.data() + block,
                          static_cast<int>(data.size() - block)) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), plain.data() + written, &last) != 1)
        return std::nullopt;
    plain.Shrink(static_cast<size_t>(written + last));
    return plain;
}

std::vector<uint8_t> Hmac(const EVP_MD* md, const SecretBytes& key, std::span<const uint8_t> data) {
    std::vector<uint8_t> mac(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    // HMAC() wants a non-null key pointer even for an empty key.
    static const uint8_t kEmpty = 0;
    if (!HMAC(md, key.empty() ? &kEmpty : key.data(), static_cast<int>(key.size()), data.data(), data.size(),
              mac.data(), &length))
        throw std::runtime_error("HMAC failed");
    mac.resize(length);
    return mac;
}

SecretBytes Pbkdf2(const SecretBytes& passphrase, std::span<const uint8_t> salt, uint32_t iterations, const EVP_MD* prf,
                   size_t length) {
    SecretBytes key(length);
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(passphrase.data()), static_cast<int>(passphrase.size()),
                          salt.data(), static_cast<int>(salt.size()), static_cast<int>(iterations), prf,
                          static_cast<int>(length), key.data()) != 1)
        throw std::runtime_error("PBKDF2 failed");
    return key;
}

std::string Base64Encode(std::span<const uint8_t> bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(), static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(n));
    return text;
}

std::optional<SecretBytes> Base64Decode(std::string_view text) {
    SecretBytes out(text.size() / 4 * 3 + 3);
    size_t used = 0, chars = 0, padding = 0;
    uint32_t bits = 0;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const int v = Base64Value(c);
        if (v < 0 || padding) return std::nullopt;
        bits = bits << 6 | static_cast<uint32_t>(v);
        if (++chars % 4 == 0) {
            out.data()[used++] = static_cast<uint8_t>(bits >> 16);
            out.data()[used++] = static_cast<uint8_t>(bits >> 8);
            out.data()[used++] = static_cast<uint8_t>(bits);
            bits = 0;
        }
    }
    // A last group of 2 or 3 characters holds 1 or 2 bytes; 1 holds none.
    switch (chars % 4) {
        case 1: return std::nullopt;
        case 2: out.data()[used++] = static_cast<uint8_t>(bits >> 4); break;
        case 3:
            out.data()[used++] = static_cast<uint8_t>(bits >> 10);
            out.data()[used++] = static_cast<uint8_t>(bits >> 2);
            break;
    }
    if (padding > 2 || (padding && (chars + padding) % 4 != 0)) return std::nullopt;
    OPENSSL_cleanse(&bits, sizeof bits);
    out.Shrink(used);
    return out;
}

}  // namespace provisor::pskc
