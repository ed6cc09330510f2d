// The token's OpenSSL-based primitives against published values and against
// a CBC chain built by hand from single-block encryptions.
#include "ModelTestSupport.h"

namespace norvik::sim::test {
namespace {

Key16 K(std::string_view hex) {
  Bytes b = H(hex);
  Key16 k{};
  std::copy(b.begin(), b.end(), k.begin());
  return k;
}

TEST(SimCrypto, Sm4MatchesTheStandardExample) {
  Key16 k = K("0123456789ABCDEFFEDCBA9876543210");
  Bytes c = Sm4EcbEncrypt(k, H("0123456789ABCDEFFEDCBA9876543210"));
  EXPECT_EQ(ToHex(c), "681EDF34D206965E86B3E94F536E4246");
  EXPECT_EQ(ToHex(Sm4EcbDecrypt(k, c)), "0123456789ABCDEFFEDCBA9876543210");
  EXPECT_TRUE(Sm4EcbEncrypt(k, Bytes(15)).empty());
}

Bytes ManualMac(const Key16& k, Bytes msg) {
  msg = Pad80(std::move(msg));
  Bytes v(16, 0);
  for (size_t off = 0; off < msg.size(); off += 16) {
    for (size_t i = 0; i < 16; ++i) v[i] ^= msg[off + i];
    v = Sm4EcbEncrypt(k, v);
  }
  return Bytes(v.begin(), v.begin() + 4);
}

TEST(SimCrypto, CbcMacPadsWithAWholeBlockWhenAligned) {
  Key16 k = DeriveCommandKey(kFactoryAccessKey);
  for (size_t len : {0u, 5u, 13u, 15u, 16u, 17u, 37u}) {
    Bytes msg(len);
    for (size_t i = 0; i < len; ++i) msg[i] = static_cast<uint8_t>(i * 7 + 1);
    auto mac = Sm4CbcMac4(k, msg);
    EXPECT_EQ(Bytes(mac.begin(), mac.end()), ManualMac(k, msg)) << "length " << len;
  }
}

TEST(SimCrypto, CommandKeyIgnoresCaseAndAnUnpairedDigit) {
  EXPECT_EQ(DeriveCommandKey("6b3f09d2a4c8571e90b2d6f4138a5c7e"), DeriveCommandKey(kFactoryAccessKey));
  EXPECT_EQ(DeriveCommandKey("ABC"), DeriveCommandKey("AB"));
  EXPECT_NE(DeriveCommandKey("AB"), DeriveCommandKey("AC"));
  // SHA-1 of the empty message starts DA39A3EE...
  EXPECT_EQ(ToHex(DeriveCommandKey("A").data(), 4), "DA39A3EE");
}

}  // namespace
}  // namespace norvik::sim::test
