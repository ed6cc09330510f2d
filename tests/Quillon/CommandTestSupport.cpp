#include "CommandTestSupport.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <stdexcept>

namespace quillon::testing {

bool CommandTest::SessionReleased() {
    const CardSession& s = CurrentCardSession();
    return s.context == 0 && s.card == 0 && pcscdouble::LiveContexts() == 0 &&
           pcscdouble::LiveCards() == 0;
}

std::vector<pcscdouble::Bytes> CommandTest::Commands() {
    std::vector<pcscdouble::Bytes> out;
    for (const auto& s : pcscdouble::SentApdus()) out.push_back(s.command);
    return out;
}

Bytes RefCommandKey(const std::string& text) {
    Bytes raw;
    for (size_t i = 0; i + 1 < text.size() && raw.size() < 16; i += 2) {
        auto v = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return 255;
        };
        raw.push_back(static_cast<uint8_t>(v(text[i]) * 16 + v(text[i + 1])));
    }
    uint8_t digest[SHA_DIGEST_LENGTH];
    SHA1(raw.data(), raw.size(), digest);
    return Bytes(digest, digest + 16);
}

static Bytes Sm4Run(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& data) {
    if (data.size() % 16 != 0 || key.size() != 16) throw std::invalid_argument("sm4 sizes");
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const uint8_t iv[16] = {};
    EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), iv);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Bytes out(data.size() + 16);
    int n = 0, m = 0;
    EVP_EncryptUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

Bytes RefSm4Ecb(const Bytes& key, const Bytes& data) { return Sm4Run(EVP_sm4_ecb(), key, data); }

Bytes RefPad80(const Bytes& data) {
    Bytes out = data;
    out.push_back(0x80);
    while (out.size() % 16) out.push_back(0x00);
    return out;
}

Bytes RefMac(const Bytes& key, const Bytes& message) {
    Bytes cbc = Sm4Run(EVP_sm4_cbc(), key, RefPad80(message));
    return Bytes(cbc.end() - 16, cbc.end() - 12);
}

Bytes RefSecured(const Bytes& key, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data) {
    Bytes macInput = {0x80, ins, p1, p2, static_cast<uint8_t>(data.size())};
    macInput.insert(macInput.end(), data.begin(), data.end());
    Bytes apdu = {0x84, ins, p1, p2, static_cast<uint8_t>(data.size() + 4)};
    apdu.insert(apdu.end(), data.begin(), data.end());
    Bytes mac = RefMac(key, macInput);
    apdu.insert(apdu.end(), mac.begin(), mac.end());
    return apdu;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace quillon::testing
