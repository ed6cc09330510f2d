// Seed slot commands, byte for byte.
#include "CommandTestSupport.h"

#include <PCSC/pcsclite.h>

#include <cstring>

using namespace quillon::testing;

namespace {

const char* kKey = "00112233445566778899AABBCCDDEEFF";
const char* kLongKey = "00112233445566778899AABBCCDDEEFF0";  // 33 characters
const Bytes kOk = {0x90, 0x00};

Bytes Seed(size_t n) {
    Bytes s(n);
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<uint8_t>(0x31 + i * 7);
    return s;
}

Bytes ExpectedBurn(const char* keyText, uint8_t p2, const Bytes& seed) {
    const Bytes k = RefCommandKey(keyText);
    return RefSecured(k, 0xC5, 0x01, p2, RefSm4Ecb(k, RefPad80(seed)));
}

// A profile record: marker at offset 3, flags at 4, seed indicator last.
Bytes Record(uint8_t marker, uint8_t flags, uint8_t seedPresent, Bytes sw = {0x90, 0x00}) {
    return Concat({{0x70, 0x1E, 0x00, marker, flags, 0x11, 0x22, 0x33, seedPresent}, sw});
}

class CardBurnSeedTest : public CommandTest {};

TEST_F(CardBurnSeedTest, SeedIsPaddedEncryptedAndMaced) {
    for (size_t n : {1u, 15u, 16u, 160u}) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(kOk);
        ASSERT_EQ(CardBurnSeed(kReader, kKey, 7, Seed(n).data(), static_cast<int32_t>(n)), CARD_OK) << n;
        ASSERT_EQ(Commands().size(), 1u);
        EXPECT_EQ(Commands()[0], ExpectedBurn(kKey, 0x07, Seed(n))) << n;
    }
    // 15 bytes fill one block with the 80; 16 need a second block; 160
    // give 176 encrypted bytes behind Lc B4.
    EXPECT_EQ(RefPad80(Seed(15)).size(), 16u);
    EXPECT_EQ(RefPad80(Seed(16)).size(), 32u);
    EXPECT_EQ(Commands()[0].size(), 185u);
    EXPECT_EQ(Commands()[0][4], 0xB4);
}

TEST_F(CardBurnSeedTest, ProfileLowByteIsP2) {
    pcscdouble::QueueResponse(kOk);
    ASSERT_EQ(CardBurnSeed(kReader, kKey, 256, Seed(20).data(), 20), CARD_OK);
    EXPECT_EQ(Commands()[0], ExpectedBurn(kKey, 0x00, Seed(20)));
}

TEST_F(CardBurnSeedTest, ChecksAfterConnectingInOrder) {
    const Bytes seed = Seed(161);
    EXPECT_EQ(CardBurnSeed(kReader, kKey, 0, seed.data(), 0), CARD_E_SEED_LENGTH);
    EXPECT_EQ(CardBurnSeed(kReader, kKey, 0, seed.data(), 161), CARD_E_SEED_LENGTH);
    EXPECT_EQ(CardBurnSeed(kReader, kKey, 0, seed.data(), -1), CARD_E_SEED_LENGTH);
    EXPECT_EQ(CardBurnSeed(kReader, kLongKey, 0, seed.data(), 0), CARD_E_SEED_LENGTH);
    EXPECT_EQ(CardBurnSeed(kReader, kLongKey, 0, seed.data(), 16), CARD_E_KEY_LENGTH);
    EXPECT_EQ(CardBurnSeed(kReader, nullptr, 0, seed.data(), 16), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardBurnSeed(kReader, kKey, 0, nullptr, 16), CARD_E_MISSING_ARG);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
    EXPECT_EQ(pcscdouble::ConnectCount(), 7);
    EXPECT_EQ(CardBurnSeed("Elsewhere", kKey, 0, seed.data(), 0), CARD_E_NOT_CONNECTED);
    EXPECT_EQ(CardBurnSeed(nullptr, kKey, 0, seed.data(), 16), CARD_E_NOT_CONNECTED);
}

TEST_F(CardBurnSeedTest, ThirtyTwoDigitKeyAndEmptyKeyAreAccepted) {
    pcscdouble::QueueResponse(kOk);
    pcscdouble::QueueResponse(kOk);
    EXPECT_EQ(CardBurnSeed(kReader, "FFEEDDCCBBAA99887766554433221100", 1, Seed(10).data(), 10), CARD_OK);
    EXPECT_EQ(CardBurnSeed(kReader, "", 1, Seed(10).data(), 10), CARD_OK);
    EXPECT_EQ(Commands()[1], ExpectedBurn("", 0x01, Seed(10)));
}

TEST_F(CardBurnSeedTest, FailuresAreStatusWordErrors) {
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_E_COMM_DATA_LOST));
    EXPECT_EQ(CardBurnSeed(kReader, kKey, 0, Seed(16).data(), 16), CARD_E_STATUS_WORD);
    pcscdouble::Reset();
    pcscdouble::QueueResponse(Hex("69 82"));
    EXPECT_EQ(CardBurnSeed(kReader, kKey, 0, Seed(16).data(), 16), CARD_E_STATUS_WORD);
}

class CardDeleteSeedTest : public CommandTest {};

TEST_F(CardDeleteSeedTest, PlainCommandAndStatusMapping) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"90 00", CARD_OK}, {"6A 83", CARD_E_NO_SEED}, {"6A 82", CARD_E_STATUS_WORD}, {"", CARD_E_STATUS_WORD}};
    for (auto [sw, expected] : cases) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(Hex(sw));
        EXPECT_EQ(CardDeleteSeed(kReader, 256 + 5), expected) << sw;
        EXPECT_EQ(Commands(), std::vector<Bytes>{Hex("80 E6 00 05 00")});
        EXPECT_TRUE(SessionReleased());
    }
    pcscdouble::Reset();
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(CardDeleteSeed(kReader, 1), CARD_E_EXCHANGE);
    EXPECT_EQ(CardDeleteSeed(nullptr, 1), CARD_E_NOT_CONNECTED);
}

class CardGetSeedFlagTest : public CommandTest {};

TEST_F(CardGetSeedFlagTest, ReadsTheIndicatorBeforeTheStatusWord) {
    for (uint8_t present : {0, 1}) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(Record(0x1D, 0x00, present));
        int32_t flag = -7;
        EXPECT_EQ(CardGetSeedFlag(kReader, 256, &flag), CARD_OK);
        EXPECT_EQ(flag, present);
        EXPECT_EQ(Commands(), std::vector<Bytes>{Hex("80 41 00 00 01 70")});
    }
    pcscdouble::Reset();
    pcscdouble::QueueResponse(Record(0x1D, 0x00, 1));
    EXPECT_EQ(CardGetSeedFlag(kReader, 3, nullptr), CARD_OK);
}

TEST_F(CardGetSeedFlagTest, RejectsRecordsNotInTheExpectedForm) {
    const Bytes answers[] = {Record(0x1C, 0x00, 1), Record(0x1D, 0x00, 1, Hex("6A 82")),
                             Hex("70 1E 00 90 00"), Hex("70 1E 00 1D 90 00"),
                             Hex("90 00"),          Hex("")};
    for (const Bytes& answer : answers) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(answer);
        int32_t flag = -7;
        EXPECT_EQ(CardGetSeedFlag(kReader, 0, &flag), CARD_E_STATUS_WORD) << pcscdouble::ToHex(answer);
        EXPECT_EQ(flag, -7);
    }
}

TEST_F(CardGetSeedFlagTest, ExchangeFailurePassesThePcscCode) {
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    int32_t flag = -7;
    EXPECT_EQ(CardGetSeedFlag(kReader, 0, &flag), static_cast<uint32_t>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(flag, -7);
    EXPECT_EQ(CardGetSeedFlag("Elsewhere", 0, &flag), CARD_E_NOT_CONNECTED);
}

class CardReadSeedInfoTest : public CommandTest {};

TEST_F(CardReadSeedInfoTest, SplitsTheFlagsByte) {
    pcscdouble::QueueResponse(Record(0x1D, 0xA7, 1));
    int32_t clear = -1, enter = -1, kept = -1;
    EXPECT_EQ(CardReadSeedInfo(kReader, 99, &clear, &enter, &kept), CARD_OK);
    EXPECT_EQ(clear, 1);
    EXPECT_EQ(enter, 1);
    EXPECT_EQ(kept, 0x22);
    EXPECT_EQ(Commands(), std::vector<Bytes>{Hex("80 41 00 63 01 70")});

    // Bit 2 alone is not reported as clear-seed; bits 3 and 4 are dropped.
    pcscdouble::Reset();
    pcscdouble::QueueResponse(Record(0x1D, 0x5C, 1));
    EXPECT_EQ(CardReadSeedInfo(kReader, 0, &clear, &enter, &kept), CARD_OK);
    EXPECT_EQ(clear, 0);
    EXPECT_EQ(enter, 0);
    EXPECT_EQ(kept, 0x40);

    pcscdouble::Reset();
    pcscdouble::QueueResponse(Record(0x1D, 0xA7, 1));
    EXPECT_EQ(CardReadSeedInfo(kReader, 0, nullptr, nullptr, nullptr), CARD_OK);
}

TEST_F(CardReadSeedInfoTest, ProfileRangeIsSignedAndCheckedAfterConnecting) {
    EXPECT_EQ(CardReadSeedInfo(kReader, 100, nullptr, nullptr, nullptr), CARD_E_PROFILE_RANGE);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
    EXPECT_EQ(pcscdouble::ConnectCount(), 1);
    pcscdouble::QueueResponse(Record(0x1D, 0x00, 0));
    EXPECT_EQ(CardReadSeedInfo(kReader, -1, nullptr, nullptr, nullptr), CARD_OK);
    EXPECT_EQ(Commands(), std::vector<Bytes>{Hex("80 41 00 FF 01 70")});
}

TEST_F(CardReadSeedInfoTest, FailuresLeaveOutputsAlone) {
    int32_t clear = -5, enter = -5, kept = -5;
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_E_TIMEOUT));
    EXPECT_EQ(CardReadSeedInfo(kReader, 0, &clear, &enter, &kept), static_cast<uint32_t>(SCARD_E_TIMEOUT));
    for (const Bytes& answer : {Record(0x1D, 0xFF, 1, Hex("6A 82")), Hex("70 1E 00 1D 90 00")}) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(answer);
        EXPECT_EQ(CardReadSeedInfo(kReader, 0, &clear, &enter, &kept), CARD_E_STATUS_WORD);
    }
    EXPECT_EQ(clear, -5);
    EXPECT_EQ(enter, -5);
    EXPECT_EQ(kept, -5);
    EXPECT_EQ(CardReadSeedInfo(nullptr, 0, &clear, &enter, &kept), CARD_E_NOT_CONNECTED);
}

class CardReadOTPTest : public CommandTest {};

struct OtpBuffer {
    char bytes[24];
    OtpBuffer() {
        std::memset(bytes, '#', sizeof bytes);
        std::memset(bytes, 0, 16);
    }
    std::string Text() const { return std::string(bytes); }
    bool CanaryIntact() const {
        for (size_t i = 16; i < sizeof bytes; ++i)
            if (bytes[i] != '#') return false;
        return true;
    }
};

TEST_F(CardReadOTPTest, MacedCommandAndDigitsCopied) {
    pcscdouble::QueueResponse(Hex("38 37 36 35 34 33 32 31 90 00"));
    OtpBuffer otp;
    EXPECT_EQ(CardReadOTP(kReader, kKey, 256 + 12, otp.bytes), CARD_OK);
    EXPECT_EQ(otp.Text(), "87654321");
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(Commands()[0], RefSecured(RefCommandKey(kKey), 0xC9, 0x00, 0x0C, {}));
    EXPECT_EQ(Commands()[0].size(), 9u);
}

TEST_F(CardReadOTPTest, NoSeedCopiesNothing) {
    pcscdouble::QueueResponse(Hex("6A 83"));
    OtpBuffer otp;
    EXPECT_EQ(CardReadOTP(kReader, kKey, 0, otp.bytes), CARD_E_NO_SEED);
    EXPECT_EQ(otp.Text(), "");
    EXPECT_TRUE(otp.CanaryIntact());
}

TEST_F(CardReadOTPTest, CopyIsBoundedToFifteenBytes) {
    pcscdouble::QueueResponse(Concat({Bytes(40, '7'), kOk}));
    OtpBuffer otp;
    EXPECT_EQ(CardReadOTP(kReader, kKey, 0, otp.bytes), CARD_OK);
    EXPECT_EQ(otp.Text(), std::string(15, '7'));
    EXPECT_TRUE(otp.CanaryIntact());

    // Data before an unmapped status word still arrives, bounded too.
    pcscdouble::Reset();
    pcscdouble::QueueResponse(Concat({Bytes(20, '1'), Hex("6F 00")}));
    OtpBuffer other;
    EXPECT_EQ(CardReadOTP(kReader, kKey, 0, other.bytes), CARD_E_STATUS_WORD);
    EXPECT_EQ(other.Text(), std::string(15, '1'));
    EXPECT_TRUE(other.CanaryIntact());
}

TEST_F(CardReadOTPTest, KeyAndBufferChecks) {
    OtpBuffer otp;
    EXPECT_EQ(CardReadOTP(kReader, nullptr, 0, otp.bytes), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardReadOTP(kReader, kLongKey, 0, otp.bytes), CARD_E_KEY_LENGTH);
    EXPECT_EQ(CardReadOTP(kReader, kKey, 0, nullptr), CARD_E_MISSING_ARG);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
    EXPECT_EQ(CardReadOTP(nullptr, kKey, 0, otp.bytes), CARD_E_NOT_CONNECTED);

    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(CardReadOTP(kReader, kKey, 0, otp.bytes), CARD_E_EXCHANGE);
    EXPECT_EQ(otp.Text(), "");
}

class CardSealTest : public CommandTest {};

TEST_F(CardSealTest, MacOnlyCommand) {
    pcscdouble::QueueResponse(kOk);
    EXPECT_EQ(CardSeal(kReader, kKey), CARD_OK);
    EXPECT_EQ(Commands(), std::vector<Bytes>{RefSecured(RefCommandKey(kKey), 0xC7, 0x00, 0x00, {})});

    pcscdouble::Reset();
    pcscdouble::QueueResponse(Hex("69 85"));
    EXPECT_EQ(CardSeal(kReader, kKey), CARD_E_STATUS_WORD);
    pcscdouble::Reset();
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(CardSeal(kReader, kKey), CARD_E_STATUS_WORD);
}

TEST_F(CardSealTest, KeyChecks) {
    EXPECT_EQ(CardSeal(kReader, kLongKey), CARD_E_KEY_LENGTH);
    EXPECT_EQ(CardSeal(kReader, nullptr), CARD_E_MISSING_ARG);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
    EXPECT_EQ(CardSeal("Elsewhere", kKey), CARD_E_NOT_CONNECTED);
}

}  // namespace
