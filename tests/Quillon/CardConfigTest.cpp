// Profile and display configuration commands, byte for byte.
#include "CommandTestSupport.h"

#include <PCSC/pcsclite.h>

#include <cstring>

using namespace quillon::testing;

namespace {

const char* kKey = "00112233445566778899AABBCCDDEEFF";
const char* kLongKey = "00112233445566778899AABBCCDDEEFF0";  // 33 characters
const Bytes kOk = {0x90, 0x00};

Bytes ConfigWrite(uint8_t p2, const Bytes& d) { return RefSecured(RefCommandKey(kKey), 0xD4, 0x00, p2, d); }

// CardConfig with every item left unchanged unless a test says otherwise.
struct Config {
    const char* key = kKey;
    int32_t profile = 0;
    const char* algorithm = "";
    int32_t timeStep = -1;
    int32_t otpLength = -1;
    int32_t clearSeed = -1;
    const char* timeText = nullptr;
    const char* title = nullptr;
    int32_t autoEnter = 0;
    int32_t baseFlags = 0;
    const char* reader = kReader;

    uint32_t Run() const {
        return CardConfig(reader, key, profile, algorithm, timeStep, otpLength, clearSeed, timeText, title, autoEnter,
                          baseFlags);
    }
};

// Argument errors are found after connecting and send nothing.
void ExpectRejected(const Config& c, uint32_t expected) {
    pcscdouble::Reset();
    EXPECT_EQ(c.Run(), expected);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
    EXPECT_EQ(pcscdouble::ConnectCount(), 1);
}

class CardConfigTest : public CommandTest {
protected:
    // Runs c against a token that accepts; returns the D of the one command.
    static Bytes SentTemplate(const Config& c) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(kOk);
        EXPECT_EQ(c.Run(), CARD_OK);
        auto cmds = Commands();
        if (cmds.size() != 1 || cmds[0].size() < 9) return {};
        EXPECT_EQ(cmds[0], ConfigWrite(cmds[0][3], Bytes(cmds[0].begin() + 5, cmds[0].end() - 4)));
        return Bytes(cmds[0].begin() + 5, cmds[0].end() - 4);
    }
};

TEST_F(CardConfigTest, WorkedExampleByteForByte) {
    Config c;
    c.profile = 3;
    c.algorithm = "SHA1";
    c.timeStep = 30;
    c.otpLength = 6;
    c.clearSeed = 1;
    c.title = "Mail";
    pcscdouble::QueueResponse(kOk);
    ASSERT_EQ(c.Run(), CARD_OK);
    const Bytes d = Hex("81 12 0A 01 01 0D 01 1E 0B 01 06 23 01 05 71 04 4D 61 69 6C");
    const Bytes mac = RefMac(RefCommandKey(kKey), Concat({Hex("80 D4 00 03 14"), d}));
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(Commands()[0], Concat({Hex("84 D4 00 03 18"), d, mac}));
}

TEST_F(CardConfigTest, UnchangedItemsAreOmittedButFlagsAlwaysSent) {
    Config c;
    c.baseFlags = 0x62;
    EXPECT_EQ(SentTemplate(c), Hex("81 03 23 01 62"));
    c.baseFlags = 0x162;  // only the low byte counts
    c.clearSeed = 1;
    EXPECT_EQ(SentTemplate(c), Hex("81 03 23 01 67"));
    c.autoEnter = 1;
    EXPECT_EQ(SentTemplate(c), Hex("81 03 23 01 E7"));
    c.clearSeed = 0;  // "no" leaves the base bits as given
    c.autoEnter = 2;
    c.baseFlags = 0x05;
    EXPECT_EQ(SentTemplate(c), Hex("81 03 23 01 05"));
}

TEST_F(CardConfigTest, AlgorithmTextsArePrefixesOfTheNames) {
    const std::pair<const char*, const char*> accepted[] = {{"SHA", "0A 01 01"},   {"S", "0A 01 01"},
                                                            {"SHA1", "0A 01 01"},  {"SHA2", "0A 01 02"},
                                                            {"SHA25", "0A 01 02"}, {"SHA256", "0A 01 02"}};
    for (auto [text, item] : accepted) {
        Config c;
        c.algorithm = text;
        EXPECT_EQ(SentTemplate(c), Concat({Hex("81 06"), Hex(item), Hex("23 01 00")})) << text;
    }
    for (const char* text : {"sha1", "SHA1X", "SHA256X", "SHA3", "MD5"}) {
        Config c;
        c.algorithm = text;
        ExpectRejected(c, CARD_E_BAD_ARG);
    }
}

TEST_F(CardConfigTest, TimeStepAndOtpLength) {
    Config c;
    c.timeStep = 60;
    c.otpLength = 10;
    EXPECT_EQ(SentTemplate(c), Hex("81 09 0D 01 3C 0B 01 0A 23 01 00"));
    c.otpLength = 1;
    EXPECT_EQ(SentTemplate(c), Hex("81 09 0D 01 3C 0B 01 01 23 01 00"));
    for (int32_t step : {45, 0, 31}) {
        Config bad;
        bad.timeStep = step;
        ExpectRejected(bad, CARD_E_BAD_ARG);
    }
    for (int32_t length : {0, 11, -2}) {
        Config bad;
        bad.otpLength = length;
        ExpectRejected(bad, CARD_E_BAD_ARG);
    }
    for (int32_t choice : {2, -2}) {
        Config bad;
        bad.clearSeed = choice;
        ExpectRejected(bad, CARD_E_BAD_ARG);
    }
}

TEST_F(CardConfigTest, TimeText) {
    Config c;
    c.timeText = "2024/2/29/12/0/0";
    EXPECT_EQ(SentTemplate(c), Hex("81 09 0F 04 65 E0 71 C0 23 01 00"));
    c.timeText = "";  // empty is the same as absent
    EXPECT_EQ(SentTemplate(c), Hex("81 03 23 01 00"));

    // Rejected after the argument checks and the key derivation, still
    // before anything is sent.
    for (const char* text : {"2024/2/30/0/0/0", "2024/1/1/0/0", "garbage"}) {
        Config bad;
        bad.timeText = text;
        ExpectRejected(bad, CARD_E_TIME_FORMAT);
    }
    Config both;
    both.timeText = "2024/2/30/0/0/0";
    both.timeStep = 45;
    ExpectRejected(both, CARD_E_BAD_ARG);
}

TEST_F(CardConfigTest, Title) {
    Config c;
    c.title = "";
    EXPECT_EQ(SentTemplate(c), Hex("81 05 23 01 00 71 00"));
    c.title = "ABCDEFGHIJKL";
    EXPECT_EQ(SentTemplate(c), Concat({Hex("81 11 23 01 00 71 0C"), Bytes(c.title, c.title + 12)}));
    c.title = "ABCDEFGHIJKLM";
    ExpectRejected(c, CARD_E_BAD_ARG);
}

TEST_F(CardConfigTest, EveryItemAtOnceFitsTheTemplate) {
    Config c;
    c.profile = 99;
    c.algorithm = "SHA256";
    c.timeStep = 60;
    c.otpLength = 8;
    c.clearSeed = 1;
    c.timeText = "2024/1/1/0/0/0";
    c.title = "ABCDEFGHIJKL";
    c.autoEnter = 1;
    c.baseFlags = 0x62;
    const Bytes d = SentTemplate(c);
    EXPECT_EQ(d, Concat({Hex("81 20 0A 01 02 0D 01 3C 0B 01 08 0F 04 65 92 00 80 23 01 E7 71 0C"),
                         Bytes(c.title, c.title + 12)}));
    EXPECT_EQ(Commands()[0][3], 0x63);
}

TEST_F(CardConfigTest, ChecksInOrder) {
    Config c;
    c.profile = 100;
    c.key = kLongKey;
    c.title = "ABCDEFGHIJKLM";
    c.algorithm = "MD5";
    ExpectRejected(c, CARD_E_PROFILE_RANGE);
    c.profile = -1;
    ExpectRejected(c, CARD_E_KEY_LENGTH);
    c.key = kKey;
    ExpectRejected(c, CARD_E_BAD_ARG);
    c.title = nullptr;
    c.algorithm = nullptr;
    ExpectRejected(c, CARD_E_MISSING_ARG);
    c.algorithm = "SHA1";
    c.key = nullptr;
    ExpectRejected(c, CARD_E_MISSING_ARG);

    c.key = kKey;
    c.reader = "Elsewhere";
    EXPECT_EQ(c.Run(), CARD_E_NOT_CONNECTED);
    c.reader = nullptr;
    EXPECT_EQ(c.Run(), CARD_E_NOT_CONNECTED);

    c.reader = kReader;
    c.profile = -1;
    EXPECT_EQ(SentTemplate(c)[2], 0x0A);
    EXPECT_EQ(Commands()[0][3], 0xFF);
}

TEST_F(CardConfigTest, FailuresAreStatusWordErrors) {
    Config c;
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(c.Run(), CARD_E_STATUS_WORD);
    pcscdouble::Reset();
    pcscdouble::QueueResponse(Hex("6A 80"));
    EXPECT_EQ(c.Run(), CARD_E_STATUS_WORD);
}

class CardSetTimeTest : public CommandTest {};

TEST_F(CardSetTimeTest, ClockAloneOrWithOption) {
    pcscdouble::QueueResponse(kOk);
    EXPECT_EQ(CardSetTime(kReader, kKey, "2024/1/1/0/0/0", -1), CARD_OK);
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(Commands()[0], ConfigWrite(0x00, Hex("81 06 0F 04 65 92 00 80")));
    EXPECT_EQ(Commands()[0].size(), 17u);

    for (int32_t option : {0, 3, 15}) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(kOk);
        EXPECT_EQ(CardSetTime(kReader, kKey, "2024/1/1/0/0/0", option), CARD_OK);
        const Bytes d = Concat({Hex("81 09 0F 04 65 92 00 80 22 01"), {static_cast<uint8_t>(option)}});
        EXPECT_EQ(Commands()[0], ConfigWrite(0x00, d)) << option;
        EXPECT_EQ(Commands()[0].size(), 20u);
    }
}

TEST_F(CardSetTimeTest, KeyCheckedBeforeConnectingOthersAfter) {
    EXPECT_EQ(CardSetTime(kReader, kLongKey, "2024/1/1/0/0/0", -1), CARD_E_KEY_LENGTH);
    EXPECT_EQ(CardSetTime(kReader, nullptr, "2024/1/1/0/0/0", -1), CARD_E_MISSING_ARG);
    EXPECT_EQ(pcscdouble::ConnectCount(), 0);

    // The option is judged only once the clock text was accepted.
    EXPECT_EQ(CardSetTime(kReader, kKey, "2024/2/30/0/0/0", 2), CARD_E_TIME_FORMAT);
    for (int32_t option : {1, 2, 16, -2})
        EXPECT_EQ(CardSetTime(kReader, kKey, "2024/1/1/0/0/0", option), CARD_E_BAD_ARG);
    EXPECT_EQ(CardSetTime(kReader, kKey, nullptr, -1), CARD_E_MISSING_ARG);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
    EXPECT_EQ(pcscdouble::ConnectCount(), 6);
    EXPECT_EQ(CardSetTime("Elsewhere", kKey, "2024/1/1/0/0/0", -1), CARD_E_NOT_CONNECTED);

    // An empty key is accepted and hashes the empty message.
    pcscdouble::QueueResponse(kOk);
    EXPECT_EQ(CardSetTime(kReader, "", "1970/1/1/0/0/0", -1), CARD_OK);
    EXPECT_EQ(Commands()[0], RefSecured(RefCommandKey(""), 0xD4, 0x00, 0x00, Hex("81 06 0F 04 00 00 00 00")));
}

TEST_F(CardSetTimeTest, FailuresAreStatusWordErrors) {
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(CardSetTime(kReader, kKey, "2024/1/1/0/0/0", -1), CARD_E_STATUS_WORD);
    pcscdouble::Reset();
    pcscdouble::QueueResponse(Hex("6A 80"));
    EXPECT_EQ(CardSetTime(kReader, kKey, "2024/1/1/0/0/0", -1), CARD_E_STATUS_WORD);
}

class CardChgPromptTest : public CommandTest {};

Bytes ExpectedPrompt(uint8_t p2, const Bytes& title) {
    const Bytes k = RefCommandKey(kKey);
    return RefSecured(k, 0xD5, 0x00, p2, RefSm4Ecb(k, RefPad80(title)));
}

TEST_F(CardChgPromptTest, TitleTravelsAsOneEncryptedBlock) {
    for (const char* title : {"Mail", "", "ABCDEFGHIJKL"}) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(kOk);
        const uint32_t n = static_cast<uint32_t>(std::strlen(title));
        EXPECT_EQ(CardChgPrompt(kReader, kKey, 42, title, n), CARD_OK) << title;
        ASSERT_EQ(Commands().size(), 1u);
        EXPECT_EQ(Commands()[0], ExpectedPrompt(42, Bytes(title, title + n))) << title;
        EXPECT_EQ(Commands()[0].size(), 25u);
    }
    // No title at all is the empty block 80 00 ... 00.
    pcscdouble::Reset();
    pcscdouble::QueueResponse(kOk);
    EXPECT_EQ(CardChgPrompt(kReader, kKey, -1, nullptr, 0), CARD_OK);
    EXPECT_EQ(Commands()[0], ExpectedPrompt(0xFF, {}));
}

TEST_F(CardChgPromptTest, ChecksComeBeforeConnectingInOrder) {
    EXPECT_EQ(CardChgPrompt(kReader, kLongKey, 100, "ABCDEFGHIJKLM", 13), CARD_E_BAD_ARG);
    EXPECT_EQ(CardChgPrompt(kReader, kLongKey, 100, "Mail", 4), CARD_E_PROFILE_RANGE);
    EXPECT_EQ(CardChgPrompt(kReader, kLongKey, 99, "Mail", 4), CARD_E_KEY_LENGTH);
    EXPECT_EQ(CardChgPrompt(kReader, nullptr, 99, "Mail", 4), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardChgPrompt(kReader, kKey, 99, nullptr, 4), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardChgPrompt(nullptr, kLongKey, 99, "Mail", 4), CARD_E_KEY_LENGTH);
    EXPECT_EQ(pcscdouble::ConnectCount(), 0);
    EXPECT_EQ(CardChgPrompt(nullptr, kKey, 99, "Mail", 4), CARD_E_NOT_CONNECTED);
}

TEST_F(CardChgPromptTest, ExchangeFailureDiffersFromStatusWord) {
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(CardChgPrompt(kReader, kKey, 1, "Mail", 4), CARD_E_EXCHANGE);
    pcscdouble::Reset();
    pcscdouble::QueueResponse(Hex("6A 82"));
    EXPECT_EQ(CardChgPrompt(kReader, kKey, 1, "Mail", 4), CARD_E_STATUS_WORD);
}

class CardSetStandbyTimeTest : public CommandTest {};

TEST_F(CardSetStandbyTimeTest, DisplayOffCodes) {
    const std::pair<int32_t, uint8_t> cases[] = {{15, 0x00}, {30, 0x01}, {60, 0x02}, {120, 0x03}};
    for (auto [seconds, code] : cases) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(kOk);
        EXPECT_EQ(CardSetStandbyTime(kReader, kKey, seconds), CARD_OK);
        ASSERT_EQ(Commands().size(), 1u);
        EXPECT_EQ(Commands()[0], ConfigWrite(0x00, Concat({Hex("81 03 1F 01"), {code}}))) << seconds;
        EXPECT_EQ(Commands()[0].size(), 14u);
    }
}

TEST_F(CardSetStandbyTimeTest, ChecksAndFailures) {
    EXPECT_EQ(CardSetStandbyTime(kReader, kLongKey, 90), CARD_E_KEY_LENGTH);
    EXPECT_EQ(CardSetStandbyTime(kReader, kKey, 90), CARD_E_BAD_ARG);
    EXPECT_EQ(CardSetStandbyTime(kReader, kKey, 0), CARD_E_BAD_ARG);
    EXPECT_EQ(CardSetStandbyTime(kReader, nullptr, 60), CARD_E_MISSING_ARG);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
    EXPECT_EQ(pcscdouble::ConnectCount(), 4);
    EXPECT_EQ(CardSetStandbyTime(nullptr, kKey, 60), CARD_E_NOT_CONNECTED);

    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(CardSetStandbyTime(kReader, kKey, 60), CARD_E_STATUS_WORD);
    pcscdouble::Reset();
    pcscdouble::QueueResponse(Hex("6A 80"));
    EXPECT_EQ(CardSetStandbyTime(kReader, kKey, 60), CARD_E_STATUS_WORD);
}

}  // namespace
