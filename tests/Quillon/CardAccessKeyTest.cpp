// Verify, change key and factory reset, byte for byte.
#include "CommandTestSupport.h"
#include "Sm4.h"

#include <PCSC/pcsclite.h>

#include <functional>

using namespace quillon::testing;

namespace {

const char* kKey = "00112233445566778899AABBCCDDEEFF";
const char* kNewKey = "6B3F09D2A4C8571E90B2D6F4138A5C7E";
const Bytes kChallenge = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18};

Bytes ChallengeAnswer() { return Concat({kChallenge, {0x90, 0x00}}); }

Bytes ExpectedCryptogram(const char* keyText, const Bytes& challenge) {
    Bytes block = challenge;
    block.resize(16, 0x00);
    return Concat({{0x80, 0xCE, 0x00, 0x00, 0x10}, RefSm4Ecb(RefCommandKey(keyText), block)});
}

class CardVerifyTest : public CommandTest {};

TEST_F(CardVerifyTest, ChallengeThenCryptogram) {
    pcscdouble::QueueResponse(ChallengeAnswer());
    pcscdouble::QueueResponse(Hex("90 00"));
    EXPECT_EQ(CardVerify(kReader, kKey), CARD_OK);
    auto cmds = Commands();
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0], Hex("80 4B 08 00 00"));
    EXPECT_EQ(cmds[1], ExpectedCryptogram(kKey, kChallenge));
}

TEST_F(CardVerifyTest, StatusWordMapping) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"63 03", 0xC003u},
        {"63 C2", 0xC0C2u},
        {"63 00", 0xC000u},
        {"69 83", CARD_E_KEY_LOCKED},
        {"6F 08", CARD_E_AUTH_FAILED_UNLIMITED},
        {"6A 82", CARD_E_EXCHANGE},
        {"", CARD_E_EXCHANGE},
        {"00", CARD_E_EXCHANGE},
    };
    for (auto [sw, expected] : cases) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(ChallengeAnswer());
        pcscdouble::QueueResponse(Hex(sw));
        EXPECT_EQ(CardVerify(kReader, kKey), expected) << sw;
        EXPECT_TRUE(SessionReleased()) << sw;
    }
}

TEST_F(CardVerifyTest, AnswerThatIsNoWholeChallengeGetsNoCryptogram) {
    // A refusal, a status word alone, fewer than 8 bytes, or 8 bytes with
    // another status word: no cryptogram goes out, so no try is spent.
    for (const char* answer :
         {"6D 00", "90 00", "90", "", "11 22 33 44 55 66 77 90 00", "11 22 33 44 55 66 77 88 6A 82"}) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(Hex(answer));
        pcscdouble::QueueResponse(Hex("90 00"));
        EXPECT_EQ(CardVerify(kReader, kKey), CARD_E_EXCHANGE) << answer;
        EXPECT_EQ(pcscdouble::TransmitCount(), 1u) << answer;
        EXPECT_TRUE(SessionReleased()) << answer;
    }

    // More than 8 bytes: the first 8 are the challenge.
    pcscdouble::Reset();
    pcscdouble::QueueResponse(Hex("A1 B2 C3 D4 E5 F6 07 18 99 90 00"));
    pcscdouble::QueueResponse(Hex("90 00"));
    EXPECT_EQ(CardVerify(kReader, kKey), CARD_OK);
    EXPECT_EQ(Commands()[1], ExpectedCryptogram(kKey, kChallenge));
}

TEST_F(CardVerifyTest, KeyTextChecksComeAfterConnecting) {
    EXPECT_EQ(CardVerify(kReader, ""), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardVerify(kReader, nullptr), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardVerify(kReader, "00112233445566778899AABBCCDDEEFF0"), CARD_E_KEY_LENGTH);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
    EXPECT_EQ(pcscdouble::ConnectCount(), 3);
    EXPECT_EQ(CardVerify("Elsewhere", ""), CARD_E_NOT_CONNECTED);
    EXPECT_EQ(CardVerify(nullptr, kKey), CARD_E_NOT_CONNECTED);
}

TEST_F(CardVerifyTest, ExchangeFailures) {
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_E_COMM_DATA_LOST));
    EXPECT_EQ(CardVerify(kReader, kKey), CARD_E_EXCHANGE);
    EXPECT_EQ(pcscdouble::TransmitCount(), 1u);

    pcscdouble::Reset();
    pcscdouble::QueueResponse(ChallengeAnswer());
    pcscdouble::FailTransmitAt(1, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(CardVerify(kReader, kKey), CARD_E_EXCHANGE);
}

TEST_F(CardVerifyTest, CaseAndOddDigitGiveTheSameKey) {
    for (const char* key :
         {"00112233445566778899aabbccddeeff", "00112233445566778899AABBCCDDEEF", "00112233445566778899AABBCCDDEEFF"}) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(ChallengeAnswer());
        pcscdouble::QueueResponse(Hex("90 00"));
        ASSERT_EQ(CardVerify(kReader, key), CARD_OK);
        // The odd digit is dropped: 31 digits hash the same 15 bytes as 30.
        const char* reference = std::string(key).size() == 31 ? "00112233445566778899AABBCCDDEE" : kKey;
        EXPECT_EQ(Commands()[1], ExpectedCryptogram(reference, kChallenge)) << key;
    }
}

class CardChangeKeyTest : public CommandTest {};

TEST_F(CardChangeKeyTest, SendsNewKeyEncryptedAndMacedUnderTheCurrentKey) {
    pcscdouble::QueueResponse(Hex("90 00"));
    EXPECT_EQ(CardChangeKey(kReader, kKey, kNewKey), CARD_OK);
    const Bytes current = RefCommandKey(kKey);
    const Bytes block = RefPad80(Concat({{0x00}, RefCommandKey(kNewKey)}));
    ASSERT_EQ(block.size(), 32u);
    const Bytes expected = RefSecured(current, 0xD7, 0x00, 0x00, RefSm4Ecb(current, block));
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(Commands()[0].size(), 41u);
    EXPECT_EQ(Commands()[0], expected);
}

TEST_F(CardChangeKeyTest, ConfirmationOutcomes) {
    const std::pair<const char*, uint32_t> cases[] = {{"6F F8", CARD_E_CONFIRM_CANCELLED},
                                                      {"6F F9", CARD_E_CONFIRM_TIMEOUT},
                                                      {"69 82", CARD_E_STATUS_WORD},
                                                      {"90", CARD_E_STATUS_WORD}};
    for (auto [sw, expected] : cases) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(Hex(sw));
        EXPECT_EQ(CardChangeKey(kReader, kKey, kNewKey), expected) << sw;
        pcscdouble::Reset();
        pcscdouble::QueueResponse(Hex(sw));
        EXPECT_EQ(CardInitKey(kReader), expected) << sw;
    }
    pcscdouble::Reset();
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_E_TIMEOUT));
    EXPECT_EQ(CardChangeKey(kReader, kKey, kNewKey), CARD_E_EXCHANGE);
}

TEST_F(CardChangeKeyTest, ArgumentChecksInOrder) {
    EXPECT_EQ(CardChangeKey(kReader, kKey, ""), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardChangeKey(kReader, nullptr, kNewKey), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardChangeKey(kReader, kKey, nullptr), CARD_E_MISSING_ARG);
    // Absent or empty outranks too long, whichever argument it concerns.
    EXPECT_EQ(CardChangeKey(kReader, "000000000000000000000000000000000", ""), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardChangeKey(kReader, kKey, "000000000000000000000000000000000"), CARD_E_KEY_LENGTH);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
    EXPECT_EQ(CardChangeKey(nullptr, kKey, kNewKey), CARD_E_NOT_CONNECTED);
}

class CardInitKeyTest : public CommandTest {};

TEST_F(CardInitKeyTest, PlainResetCommand) {
    pcscdouble::QueueResponse(Hex("90 00"));
    EXPECT_EQ(CardInitKey(kReader), CARD_OK);
    EXPECT_EQ(Commands(), std::vector<Bytes>{Hex("80 56 00 00 00")});

    pcscdouble::Reset();
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(CardInitKey(kReader), CARD_E_EXCHANGE);
    EXPECT_EQ(CardInitKey(nullptr), CARD_E_NOT_CONNECTED);
}

// The SM4 code keeps the last key it was given, and its round keys, for
// operations given none. No command may leave its key there: after each, an
// operation without a key runs under the all-zero key.
TEST(CommandKeyLifetime, NoCommandLeavesItsKeyLoaded) {
    const Bytes block(16, 0x5A);
    const Bytes underZeroKey = RefSm4Ecb(Bytes(16, 0x00), block);
    auto withoutKey = [&] {
        Bytes out(16);
        size_t length = out.size();
        EXPECT_EQ(quillon::Sm4EncryptEcb(nullptr, block.data(), block.size(), out.data(), &length), 0);
        return out;
    };
    const uint8_t seed[20] = {1, 2, 3};
    char otp[16] = {};
    const std::pair<const char*, std::function<uint32_t()>> commands[] = {
        {"CardVerify", [] { return CardVerify(kReader, kKey); }},
        {"CardChangeKey", [] { return CardChangeKey(kReader, kKey, kNewKey); }},
        {"CardSetPIN", [] { return CardSetPIN(kReader, kKey, "123456"); }},
        {"CardBurnSeed", [&] { return CardBurnSeed(kReader, kKey, 1, seed, sizeof seed); }},
        {"CardConfig", [] { return CardConfig(kReader, kKey, 1, "SHA1", 30, 6, 0, nullptr, "T", 0, 0); }},
        {"CardReadOTP", [&] { return CardReadOTP(kReader, kKey, 1, otp); }},
        {"CardChgPrompt", [] { return CardChgPrompt(kReader, kKey, 1, "T", 1); }},
        {"CardSetTime", [] { return CardSetTime(kReader, kKey, "2024/1/1/0/0/0", -1); }},
    };
    for (const auto& [name, call] : commands) {
        pcscdouble::Reset();
        pcscdouble::SetResponder([](const Bytes&) { return ChallengeAnswer(); });
        EXPECT_EQ(call(), CARD_OK) << name;
        EXPECT_EQ(ToHex(withoutKey()), ToHex(underZeroKey)) << name << " left its key loaded";
    }
}

}  // namespace
