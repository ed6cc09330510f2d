// Independent reference computations through OpenSSL's EVP interface, so the
// tests compare against a second implementation rather than restating ours.
// Shared by the crypto tests and the export tests (which build the bytes a
// command must send from these).
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillon::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string ToHex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }

// SM4 without padding (in a multiple of 16, key 16 bytes); iv is ignored by
// ECB.
inline Bytes OpenSslSm4(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& in, const Bytes& iv = Bytes(16, 0),
                        bool encrypt = true) {
    if (in.size() % 16 != 0 || key.size() != 16 || iv.size() != 16) throw std::invalid_argument("sm4 sizes");
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 16);
    int n1 = 0, n2 = 0;
    bool ok = ctx != nullptr && EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size())) == 1 &&
              EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) throw std::runtime_error("OpenSSL SM4 failed");
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

inline Bytes OpenSslSha1(const Bytes& msg) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(msg.data(), msg.size(), md, &len, EVP_sha1(), nullptr) != 1)
        throw std::runtime_error("SHA-1 failed");
    return Bytes(md, md + len);
}

inline Bytes RefSm4Ecb(const Bytes& key, const Bytes& data) { return OpenSslSm4(EVP_sm4_ecb(), key, data); }

// ISO/IEC 9797-1 padding method 2: 80, then zeros up to a multiple of 16.
inline Bytes RefPad80(const Bytes& data) {
    Bytes out = data;
    out.push_back(0x80);
    while (out.size() % 16) out.push_back(0x00);
    return out;
}

// 4 bytes: the start of the last SM4-CBC block of the padded message.
inline Bytes RefMac(const Bytes& key, const Bytes& message) {
    const Bytes cbc = OpenSslSm4(EVP_sm4_cbc(), key, RefPad80(message));
    return Bytes(cbc.end() - 16, cbc.end() - 12);
}

// SHA-1 of the bytes the hex text names (non-hex digits count 255, at most
// 16 bytes, an odd last digit ignored), first 16 digest bytes.
inline Bytes RefCommandKey(const std::string& text) {
    auto v = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return 255;
    };
    Bytes raw;
    for (size_t i = 0; i + 1 < text.size() && raw.size() < 16; i += 2)
        raw.push_back(static_cast<uint8_t>(v(text[i]) * 16 + v(text[i + 1])));
    Bytes digest = OpenSslSha1(raw);
    digest.resize(16);
    return digest;
}

}  // namespace quillon::testing
