// PIN, keypad and screen-lock commands, byte for byte.
#include "CommandTestSupport.h"

#include <PCSC/pcsclite.h>

using namespace quillon::testing;

namespace {

const char* kKey = "00112233445566778899AABBCCDDEEFF";
const char* kLongKey = "00112233445566778899AABBCCDDEEFF0";  // 33 characters
const Bytes kOk = {0x90, 0x00};

Bytes Setting(const char* keyText, uint8_t tag, uint8_t value) {
    return RefSecured(RefCommandKey(keyText), 0xD4, 0x00, 0x00, Bytes{0x81, 0x03, tag, 0x01, value});
}

Bytes StorePin(const char* keyText, const std::string& pin) {
    // Six PIN characters, 80, nine zero bytes.
    Bytes block(pin.begin(), pin.end());
    block.push_back(0x80);
    block.resize(16, 0x00);
    const Bytes k = RefCommandKey(keyText);
    return RefSecured(k, 0xE0, 0x00, 0x00, RefSm4Ecb(k, block));
}

class CardSetPINTest : public CommandTest {};

TEST_F(CardSetPINTest, EnablesThenStoresTheEncryptedPin) {
    pcscdouble::QueueResponse(kOk);
    pcscdouble::QueueResponse(kOk);
    EXPECT_EQ(CardSetPIN(kReader, kKey, "12345a"), CARD_OK);
    auto cmds = Commands();
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0], Setting(kKey, 0x2C, 0x01));
    EXPECT_EQ(cmds[0].size(), 14u);
    EXPECT_EQ(cmds[1], StorePin(kKey, "12345a"));
    EXPECT_EQ(cmds[1].size(), 25u);
}

TEST_F(CardSetPINTest, SecondCommandDecidesAfterTheFirst) {
    struct Case {
        const char* first;
        const char* second;
        uint32_t expected;
    };
    const Case cases[] = {{"6A 80", "90 00", CARD_E_STATUS_WORD},
                          {"90 00", "6A 80", CARD_E_STATUS_WORD},
                          {"6A 80", "6A 80", CARD_E_STATUS_WORD}};
    for (const Case& c : cases) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(Hex(c.first));
        pcscdouble::QueueResponse(Hex(c.second));
        EXPECT_EQ(CardSetPIN(kReader, kKey, "123456"), c.expected) << c.first << " / " << c.second;
        EXPECT_EQ(pcscdouble::TransmitCount(), 2u);
    }

    // A lost first exchange counts as a refusal; the PIN still goes out.
    pcscdouble::Reset();
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_E_COMM_DATA_LOST));
    pcscdouble::QueueResponse(kOk);
    EXPECT_EQ(CardSetPIN(kReader, kKey, "123456"), CARD_E_STATUS_WORD);
    EXPECT_EQ(Commands().back(), StorePin(kKey, "123456"));

    // A lost second exchange outranks everything.
    for (const char* first : {"90 00", "6A 80"}) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(Hex(first));
        pcscdouble::FailTransmitAt(1, static_cast<LONG>(SCARD_W_REMOVED_CARD));
        EXPECT_EQ(CardSetPIN(kReader, kKey, "123456"), CARD_E_EXCHANGE) << first;
    }
}

TEST_F(CardSetPINTest, ArgumentChecks) {
    EXPECT_EQ(CardSetPIN(kReader, nullptr, "123456"), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardSetPIN(kReader, kKey, nullptr), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardSetPIN(kReader, kKey, "12345"), CARD_E_KEY_LENGTH);
    EXPECT_EQ(CardSetPIN(kReader, kKey, "1234567"), CARD_E_KEY_LENGTH);
    EXPECT_EQ(CardSetPIN(kReader, "", "123456"), CARD_E_KEY_LENGTH);
    EXPECT_EQ(CardSetPIN(kReader, kLongKey, "123456"), CARD_E_KEY_LENGTH);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
    EXPECT_EQ(pcscdouble::ConnectCount(), 6);
    EXPECT_EQ(CardSetPIN(nullptr, kKey, "123456"), CARD_E_NOT_CONNECTED);
}

class CardDisablePINTest : public CommandTest {};

TEST_F(CardDisablePINTest, SwitchesProtectionOff) {
    pcscdouble::QueueResponse(kOk);
    EXPECT_EQ(CardDisablePIN(kReader, kKey), CARD_OK);
    EXPECT_EQ(Commands(), std::vector<Bytes>{Setting(kKey, 0x2C, 0x00)});

    pcscdouble::Reset();
    pcscdouble::QueueResponse(Hex("69 82"));
    EXPECT_EQ(CardDisablePIN(kReader, kKey), CARD_E_STATUS_WORD);
    pcscdouble::Reset();
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(CardDisablePIN(kReader, kKey), CARD_E_STATUS_WORD);
}

TEST_F(CardDisablePINTest, KeyChecks) {
    EXPECT_EQ(CardDisablePIN(kReader, ""), CARD_E_KEY_LENGTH);
    EXPECT_EQ(CardDisablePIN(kReader, kLongKey), CARD_E_KEY_LENGTH);
    EXPECT_EQ(CardDisablePIN(kReader, nullptr), CARD_E_MISSING_ARG);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
    EXPECT_EQ(pcscdouble::ConnectCount(), 3);
    EXPECT_EQ(CardDisablePIN("Elsewhere", kKey), CARD_E_NOT_CONNECTED);
}

class CardSetkeypadTest : public CommandTest {};

TEST_F(CardSetkeypadTest, OnlyModeOneSwitchesTheKeypadOn) {
    const std::pair<int32_t, uint8_t> cases[] = {{1, 0x01}, {0, 0x00}, {2, 0x00}, {-1, 0x00}};
    for (auto [mode, v] : cases) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(kOk);
        EXPECT_EQ(CardSetkeypad(kReader, kKey, mode), CARD_OK);
        EXPECT_EQ(Commands(), std::vector<Bytes>{Setting(kKey, 0x72, v)}) << mode;
    }
    // An empty key is not refused here; it derives from the empty message.
    pcscdouble::Reset();
    pcscdouble::QueueResponse(kOk);
    EXPECT_EQ(CardSetkeypad(kReader, "", 1), CARD_OK);
    EXPECT_EQ(Commands(), std::vector<Bytes>{Setting("", 0x72, 0x01)});
}

TEST_F(CardSetkeypadTest, ChecksAndFailures) {
    EXPECT_EQ(CardSetkeypad(kReader, nullptr, 1), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardSetkeypad(kReader, kLongKey, 1), CARD_E_KEY_LENGTH);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
    EXPECT_EQ(CardSetkeypad(nullptr, kKey, 1), CARD_E_NOT_CONNECTED);

    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(CardSetkeypad(kReader, kKey, 1), CARD_E_EXCHANGE);
    pcscdouble::Reset();
    pcscdouble::QueueResponse(Hex("6D 00"));
    EXPECT_EQ(CardSetkeypad(kReader, kKey, 1), CARD_E_STATUS_WORD);
}

class CardScreenTest : public CommandTest {};

TEST_F(CardScreenTest, PlainLockAndUnlock) {
    pcscdouble::QueueResponse(kOk);
    pcscdouble::QueueResponse(kOk);
    EXPECT_EQ(CardScreenLock(kReader), CARD_OK);
    EXPECT_EQ(CardScreenUnLock(kReader), CARD_OK);
    EXPECT_EQ(Commands(), (std::vector<Bytes>{Hex("80 D8 0C 02 00"), Hex("80 D8 0C 02 01")}));
}

TEST_F(CardScreenTest, StatusWordAndPassedThroughPcscCodes) {
    pcscdouble::QueueResponse(Hex("6D 00"));
    EXPECT_EQ(CardScreenUnLock(kReader), CARD_E_STATUS_WORD);
    pcscdouble::QueueResponse(Hex("6D 00"));
    EXPECT_EQ(CardScreenLock(kReader), CARD_E_STATUS_WORD);

    pcscdouble::Reset();
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    pcscdouble::FailTransmitAt(1, static_cast<LONG>(SCARD_E_TIMEOUT));
    EXPECT_EQ(CardScreenLock(kReader), static_cast<uint32_t>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(CardScreenUnLock(kReader), static_cast<uint32_t>(SCARD_E_TIMEOUT));

    EXPECT_EQ(CardScreenLock(nullptr), CARD_E_NOT_CONNECTED);
    EXPECT_EQ(CardScreenUnLock("Elsewhere"), CARD_E_NOT_CONNECTED);
}

}  // namespace
