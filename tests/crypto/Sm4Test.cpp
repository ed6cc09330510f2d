#include "Sm4.h"

#include <gtest/gtest.h>

#include <random>

#include "OpenSslReference.h"

namespace quillon {
namespace {

using testing::Bytes;
using testing::FromHex;
using testing::OpenSslSm4;
using testing::ToHex;

const Bytes kStandardKey = FromHex("0123456789abcdeffedcba9876543210");

Bytes Encrypt(const uint8_t* key, const Bytes& in) {
    Bytes out(in.size());
    size_t outLen = out.size();
    EXPECT_EQ(Sm4EncryptEcb(key, in.data(), in.size(), out.data(), &outLen), 0);
    EXPECT_EQ(outLen, in.size());
    return out;
}

Bytes Decrypt(const uint8_t* key, const Bytes& in) {
    Bytes out(in.size());
    size_t outLen = out.size();
    EXPECT_EQ(Sm4DecryptEcb(key, in.data(), in.size(), out.data(), &outLen), 0);
    EXPECT_EQ(outLen, in.size());
    return out;
}

Bytes RandomBytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

TEST(Sm4StandardExamples, SingleBlockMatchesGbt32907) {
    EXPECT_EQ(ToHex(Encrypt(kStandardKey.data(), kStandardKey)), "681edf34d206965e86b3e94f536e4246");
    EXPECT_EQ(ToHex(Decrypt(kStandardKey.data(), FromHex("681edf34d206965e86b3e94f536e4246"))), ToHex(kStandardKey));
}

TEST(Sm4StandardExamples, MillionFoldEncryptionMatchesGbt32907) {
    Bytes block = kStandardKey;
    size_t outLen = 16;
    ASSERT_EQ(Sm4EncryptEcb(kStandardKey.data(), block.data(), 16, block.data(), &outLen), 0);
    for (int i = 1; i < 1000000; ++i) {
        outLen = 16;
        ASSERT_EQ(Sm4EncryptEcb(nullptr, block.data(), 16, block.data(), &outLen), 0);
    }
    EXPECT_EQ(ToHex(block), "595298c7c6fd271f0402f804c33d3f66");
}

TEST(Sm4AgainstOpenSsl, RandomKeysAndLengthsMatchEcb) {
    std::mt19937 rng(4711);
    for (int trial = 0; trial < 200; ++trial) {
        const Bytes key = RandomBytes(rng, 16);
        // Lengths around the four-block groups, so grouped and single blocks
        // both run and meet at every remainder.
        const size_t blocks = 1 + rng() % 23;
        const Bytes plain = RandomBytes(rng, 16 * blocks);
        const Bytes expected = OpenSslSm4(EVP_sm4_ecb(), key, plain);
        ASSERT_EQ(ToHex(Encrypt(key.data(), plain)), ToHex(expected)) << "blocks=" << blocks;
        ASSERT_EQ(ToHex(Decrypt(key.data(), expected)), ToHex(plain)) << "blocks=" << blocks;
    }
}

TEST(Sm4AgainstOpenSsl, DecryptInvertsEncryptInPlace) {
    std::mt19937 rng(99);
    for (int trial = 0; trial < 50; ++trial) {
        const Bytes key = RandomBytes(rng, 16);
        const Bytes plain = RandomBytes(rng, 16 * (1 + rng() % 9));
        Bytes buf = plain;
        size_t outLen = buf.size();
        ASSERT_EQ(Sm4EncryptEcb(key.data(), buf.data(), buf.size(), buf.data(), &outLen), 0);
        ASSERT_NE(buf, plain);
        outLen = buf.size();
        ASSERT_EQ(Sm4DecryptEcb(key.data(), buf.data(), buf.size(), buf.data(), &outLen), 0);
        ASSERT_EQ(buf, plain);
    }
}

TEST(Sm4EcbArguments, BadArgumentsReturnMinusOneAndWriteNothing) {
    uint8_t in[32] = {};
    uint8_t out[32];
    std::fill(std::begin(out), std::end(out), 0xAA);
    size_t outLen = sizeof out;
    for (auto fn : {Sm4EncryptEcb, Sm4DecryptEcb}) {
        EXPECT_EQ(fn(kStandardKey.data(), in, 15, out, &outLen), -1);
        EXPECT_EQ(fn(kStandardKey.data(), in, 0, out, &outLen), -1);
        EXPECT_EQ(fn(kStandardKey.data(), nullptr, 16, out, &outLen), -1);
        EXPECT_EQ(fn(kStandardKey.data(), in, 16, nullptr, &outLen), -1);
        EXPECT_EQ(fn(kStandardKey.data(), in, 16, out, nullptr), -1);
        EXPECT_EQ(outLen, sizeof out);
        for (uint8_t b : out) ASSERT_EQ(b, 0xAA);
    }
}

TEST(Sm4EcbArguments, ShortOutputReturnsEightWithNeededLength) {
    uint8_t in[32] = {};
    uint8_t out[32];
    std::fill(std::begin(out), std::end(out), 0xAA);
    size_t outLen = 16;
    EXPECT_EQ(Sm4EncryptEcb(kStandardKey.data(), in, 32, out, &outLen), 8);
    EXPECT_EQ(outLen, 32u);
    for (uint8_t b : out) ASSERT_EQ(b, 0xAA);
    outLen = 16;
    EXPECT_EQ(Sm4DecryptEcb(kStandardKey.data(), in, 32, out, &outLen), 8);
    EXPECT_EQ(outLen, 32u);
}

TEST(Sm4KeyState, NullKeyReusesTheLastLoadedKey) {
    const Bytes other = FromHex("00112233445566778899aabbccddeeff");
    const Bytes withKey = Encrypt(kStandardKey.data(), other);
    EXPECT_EQ(ToHex(Encrypt(nullptr, other)), ToHex(withKey));

    // A refused call leaves the key alone; a short-output call has already
    // loaded the key it was given.
    uint8_t out[32];
    size_t outLen = sizeof out;
    ASSERT_EQ(Sm4EncryptEcb(other.data(), other.data(), 15, out, &outLen), -1);
    EXPECT_EQ(ToHex(Encrypt(nullptr, other)), ToHex(withKey));
    outLen = 0;
    ASSERT_EQ(Sm4EncryptEcb(other.data(), other.data(), 16, out, &outLen), 8);
    EXPECT_EQ(ToHex(Encrypt(nullptr, other)), ToHex(Encrypt(other.data(), other)));

    // The MAC shares the same key state.
    uint8_t chain[16] = {};
    uint8_t mac[4];
    size_t macLen = sizeof mac;
    ASSERT_EQ(Sm4Mac(kStandardKey.data(), other.data(), 3, chain, mac, &macLen), 0);
    EXPECT_EQ(ToHex(Encrypt(nullptr, other)), ToHex(withKey));

    Sm4LoadKey(other.data());
    EXPECT_EQ(ToHex(Encrypt(nullptr, kStandardKey)), ToHex(Encrypt(other.data(), kStandardKey)));
}

}  // namespace
}  // namespace quillon
