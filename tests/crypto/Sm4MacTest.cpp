#include <gtest/gtest.h>

#include <random>

#include "ByteHelpers.h"
#include "OpenSslReference.h"
#include "Sm4.h"

namespace quillon {
namespace {

using testing::Bytes;
using testing::FromHex;
using testing::OpenSslSm4;
using testing::RefPad80;
using testing::ToHex;

const Bytes kKey = FromHex("0123456789abcdeffedcba9876543210");

Bytes Message(size_t n) {
    Bytes m(n);
    for (size_t i = 0; i < n; ++i) m[i] = static_cast<uint8_t>(0x31 + 7 * i);
    return m;
}

struct MacResult {
    int rc;
    Bytes mac;
    Bytes chain;
    size_t macLen;
};

MacResult RunMac(const Bytes& key, const Bytes& msg, Bytes chain = Bytes(16, 0), size_t capacity = 4) {
    MacResult r{0, Bytes(4, 0xEE), std::move(chain), capacity};
    r.rc = Sm4Mac(key.data(), msg.data(), msg.size(), r.chain.data(), r.mac.data(), &r.macLen);
    return r;
}

TEST(Sm4MacAgainstOpenSsl, MacIsLastCbcBlockOfPaddedMessage) {
    for (size_t n : {13u, 16u, 0u, 1u, 15u, 17u, 31u, 32u, 100u}) {
        const Bytes msg = Message(n);
        const Bytes cbc = OpenSslSm4(EVP_sm4_cbc(), kKey, RefPad80(msg));
        // 13 bytes make one block, 16 bytes two, the empty message one.
        if (n == 13 || n == 0) {
            ASSERT_EQ(cbc.size(), 16u);
        } else if (n == 16) {
            ASSERT_EQ(cbc.size(), 32u);
        }
        const MacResult r = RunMac(kKey, msg);
        ASSERT_EQ(r.rc, 0) << n;
        EXPECT_EQ(r.macLen, 4u);
        EXPECT_EQ(ToHex(r.mac), ToHex(Bytes(cbc.end() - 16, cbc.end() - 12))) << "length " << n;
    }
}

TEST(Sm4MacAgainstOpenSsl, RandomKeysAndInitialChainingValues) {
    std::mt19937 rng(1234);
    for (int trial = 0; trial < 100; ++trial) {
        Bytes key(16), iv(16);
        for (auto& b : key) b = static_cast<uint8_t>(rng());
        for (auto& b : iv) b = static_cast<uint8_t>(rng());
        Bytes msg(rng() % 70);
        for (auto& b : msg) b = static_cast<uint8_t>(rng());
        const Bytes padded = RefPad80(msg);
        const Bytes cbc = OpenSslSm4(EVP_sm4_cbc(), key, padded, iv);

        const MacResult r = RunMac(key, msg, iv);
        ASSERT_EQ(r.rc, 0);
        ASSERT_EQ(ToHex(r.mac), ToHex(Bytes(cbc.end() - 16, cbc.end() - 12)));

        // The chaining value comes back as the input of the last cipher call:
        // the previous cipher block (or the initial value) XOR the final block.
        Bytes expectedChain(16);
        const size_t last = padded.size() - 16;
        for (size_t i = 0; i < 16; ++i) {
            const uint8_t previous = last == 0 ? iv[i] : cbc[last - 16 + i];
            expectedChain[i] = previous ^ padded[last + i];
        }
        ASSERT_EQ(ToHex(r.chain), ToHex(expectedChain));
    }
}

TEST(Sm4MacChainingValue, EmptyMessageLeavesOnlyThePaddingBlock) {
    const MacResult r = RunMac(kKey, Bytes{});
    EXPECT_EQ(ToHex(r.chain), "80000000000000000000000000000000");
}

TEST(Sm4MacCapacity, BelowFourReturnsOneButStillUpdatesChain) {
    const Bytes msg = Message(20);
    const MacResult full = RunMac(kKey, msg);
    for (size_t capacity : {0u, 3u}) {
        const MacResult r = RunMac(kKey, msg, Bytes(16, 0), capacity);
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.macLen, 4u);
        EXPECT_EQ(ToHex(r.mac), "eeeeeeee");
        EXPECT_EQ(ToHex(r.chain), ToHex(full.chain));
    }
}

TEST(Sm4MacCapacity, NullPointersAreRefused) {
    uint8_t chain[16] = {};
    uint8_t mac[4];
    size_t macLen = 4;
    EXPECT_EQ(Sm4Mac(kKey.data(), nullptr, 5, chain, mac, &macLen), -1);
    EXPECT_EQ(Sm4Mac(kKey.data(), kKey.data(), 5, nullptr, mac, &macLen), -1);
    EXPECT_EQ(Sm4Mac(kKey.data(), kKey.data(), 5, chain, nullptr, &macLen), -1);
    EXPECT_EQ(Sm4Mac(kKey.data(), kKey.data(), 5, chain, mac, nullptr), -1);
    EXPECT_EQ(ToHex(chain, 16), std::string(32, '0'));
    EXPECT_EQ(Sm4Mac(kKey.data(), nullptr, 0, chain, mac, &macLen), 0);
}

Bytes MacOf(const CommandKey& key, const Bytes& input) { return testing::RefMac(Bytes(key.begin(), key.end()), input); }

TEST(SecuredCommandForm, NoDataMacsHeaderWithZeroLength) {
    const CommandKey key = DeriveCommandKey("00112233445566778899AABBCCDDEEFF");
    uint8_t apdu[kMaxSecuredApdu];
    ASSERT_EQ(SecuredCommand(key, 0xC7, 0x00, 0x00, nullptr, 0, apdu), 9u);
    const Bytes mac = MacOf(key, FromHex("80c7000000"));
    EXPECT_EQ(ToHex(apdu, 9), "84c7000004" + ToHex(mac));
}

TEST(SecuredCommandForm, DataFollowsHeaderAndMacCoversPlainClass) {
    const CommandKey key = DeriveCommandKey("0123456789abcdeffedcba9876543210");
    const Bytes data = Message(37);
    uint8_t apdu[kMaxSecuredApdu];
    ASSERT_EQ(SecuredCommand(key, 0xD4, 0x01, 0x05, data.data(), data.size(), apdu), 9u + 37);
    Bytes macInput = FromHex("80d4010525");
    macInput.insert(macInput.end(), data.begin(), data.end());
    EXPECT_EQ(ToHex(apdu, 46), "84d4010529" + ToHex(data) + ToHex(MacOf(key, macInput)));

    // Same command, same key: same MAC (nothing varies between sends).
    uint8_t again[kMaxSecuredApdu];
    SecuredCommand(key, 0xD4, 0x01, 0x05, data.data(), data.size(), again);
    EXPECT_EQ(ToHex(again, 46), ToHex(apdu, 46));
}

TEST(SecuredCommandForm, LargestDataFitsAndLargerIsRefused) {
    const CommandKey key{};
    const Bytes data = Message(252);
    uint8_t apdu[kMaxSecuredApdu];
    EXPECT_EQ(SecuredCommand(key, 0xC5, 0, 1, data.data(), 251, apdu), 260u);
    EXPECT_EQ(apdu[4], 0xFF);
    EXPECT_EQ(SecuredCommand(key, 0xC5, 0, 1, data.data(), 252, apdu), 0u);
    EXPECT_EQ(SecuredCommand(key, 0xC5, 0, 1, nullptr, 3, apdu), 0u);
}

TEST(SecuredCommandForm, DataMayAliasTheApduBuffer) {
    const CommandKey key = DeriveCommandKey("5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A");
    const Bytes data = Message(20);
    uint8_t expected[kMaxSecuredApdu];
    SecuredCommand(key, 0xC5, 0, 2, data.data(), data.size(), expected);
    uint8_t apdu[kMaxSecuredApdu] = {};
    std::copy(data.begin(), data.end(), apdu);
    ASSERT_EQ(SecuredCommand(key, 0xC5, 0, 2, apdu, data.size(), apdu), 29u);
    EXPECT_EQ(ToHex(apdu, 29), ToHex(expected, 29));
}

}  // namespace
}  // namespace quillon
