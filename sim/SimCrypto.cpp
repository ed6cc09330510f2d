#include "SimCrypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace norvik::sim {
namespace {

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

Bytes Sm4Run(const EVP_CIPHER* cipher, const Key16& key, const uint8_t* iv, const Bytes& in, bool encrypt) {
  if (in.empty() || in.size() % 16 != 0) return {};
  std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) throw std::runtime_error("EVP_CIPHER_CTX_new failed");
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv, encrypt ? 1 : 0) != 1)
    throw std::runtime_error("SM4 is not available in this OpenSSL");
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  Bytes out(in.size() + 16);
  int len1 = 0;
  int len2 = 0;
  if (EVP_CipherUpdate(ctx.get(), out.data(), &len1, in.data(), static_cast<int>(in.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), out.data() + len1, &len2) != 1)
    throw std::runtime_error("SM4 operation failed");
  out.resize(static_cast<size_t>(len1 + len2));
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Bytes Sm4EcbEncrypt(const Key16& key, const Bytes& in) { return Sm4Run(EVP_sm4_ecb(), key, nullptr, in, true); }

Bytes Sm4EcbDecrypt(const Key16& key, const Bytes& in) { return Sm4Run(EVP_sm4_ecb(), key, nullptr, in, false); }

std::array<uint8_t, 4> Sm4CbcMac4(const Key16& key, const Bytes& msg) {
  Bytes padded = msg;
  padded.push_back(0x80);
  while (padded.size() % 16 != 0) padded.push_back(0x00);
  const uint8_t zeroIv[16] = {};
  Bytes chain = Sm4Run(EVP_sm4_cbc(), key, zeroIv, padded, true);
  std::array<uint8_t, 4> mac{};
  std::copy_n(chain.end() - 16, 4, mac.begin());
  return mac;
}

Bytes Hmac(HmacAlgorithm alg, const Bytes& key, const Bytes& msg) {
  const EVP_MD* md = alg == HmacAlgorithm::Sha256 ? EVP_sha256() : EVP_sha1();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int outLen = 0;
  static const uint8_t kEmpty = 0;
  if (HMAC(md, key.empty() ? &kEmpty : key.data(), static_cast<int>(key.size()), msg.empty() ? &kEmpty : msg.data(),
           msg.size(), out, &outLen) == nullptr)
    throw std::runtime_error("HMAC failed");
  return Bytes(out, out + outLen);
}

Key16 DeriveCommandKey(std::string_view text) {
  Bytes raw;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    int hi = HexValue(text[i]);
    int lo = HexValue(text[i + 1]);
    raw.push_back(static_cast<uint8_t>((16 * (hi < 0 ? 255 : hi) + (lo < 0 ? 255 : lo)) & 0xFF));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(raw.data(), raw.size(), digest, &len, EVP_sha1(), nullptr) != 1)
    throw std::runtime_error("SHA-1 failed");
  Key16 key{};
  std::copy_n(digest, 16, key.begin());
  return key;
}

std::string Hotp(HmacAlgorithm alg, const Bytes& seed, uint64_t counter, unsigned digits) {
  if (digits < 1 || digits > 10) return {};
  Bytes msg(8);
  for (int i = 7; i >= 0; --i) {
    msg[static_cast<size_t>(i)] = static_cast<uint8_t>(counter & 0xFF);
    counter >>= 8;
  }
  Bytes mac = Hmac(alg, seed, msg);
  unsigned offset = mac.back() & 0x0F;
  uint64_t value = (static_cast<uint64_t>(mac[offset] & 0x7F) << 24) | (static_cast<uint64_t>(mac[offset + 1]) << 16) |
                   (static_cast<uint64_t>(mac[offset + 2]) << 8) | mac[offset + 3];
  uint64_t modulus = 1;
  for (unsigned i = 0; i < digits; ++i) modulus *= 10;
  value %= modulus;
  std::string out(digits, '0');
  for (unsigned i = digits; i > 0 && value != 0; --i) {
    out[i - 1] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out;
}

std::string Totp(HmacAlgorithm alg, const Bytes& seed, uint64_t unixTime, unsigned stepSeconds, unsigned digits) {
  if (stepSeconds == 0) return {};
  return Hotp(alg, seed, unixTime / stepSeconds, digits);
}

void RandomBytes(uint8_t* out, size_t len) {
  if (RAND_bytes(out, static_cast<int>(len)) != 1) throw std::runtime_error("RAND_bytes failed");
}

std::string ToHex(const uint8_t* data, size_t len) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(len * 2);
  for (size_t i = 0; i < len; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0x0F]);
  }
  return out;
}

bool FromHex(std::string_view text, Bytes& out) {
  out.clear();
  int hi = -1;
  for (char c : text) {
    if (c == ' ' || c == ':') {
      if (hi >= 0) return false;
      continue;
    }
    int v = HexValue(c);
    if (v < 0) return false;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<uint8_t>(hi * 16 + v));
      hi = -1;
    }
  }
  return hi < 0;
}

}  // namespace norvik::sim
