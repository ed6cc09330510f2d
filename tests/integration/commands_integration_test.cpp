// The seed, configuration, PIN, keypad and screen commands end to end:
// libQuillon through the real pcscd to norvik-sim tokens in vpcd readers.
// The one-time password the token computes is checked against oathtool.
#include "NorvikSimModel.h"
#include "Quillon.h"
#include "SimControl.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

using namespace norvik::simtest;

namespace {

const char* kFactoryKey = norvik::sim::kFactoryAccessKey;
const char* kOtherKey = "00112233445566778899AABBCCDDEEFF";
constexpr int32_t kProfile = 42;
// 2024-01-01 00:00:00 UTC, the start of a 60-second step.
constexpr uint32_t kClock = 1704067200;
const char* kClockText = "2024/01/01/00/00/00";

class CommandsIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSim(0);
    ResetSim(1);
    reader_ = ReaderName(0);
  }
  void TearDown() override {
    // Leave the token as the fixture started it.
    CardDeleteSeed(reader_.c_str(), kProfile);
    CardConfig(reader_.c_str(), kFactoryKey, kProfile, "SHA1", 30, 6, 0, nullptr, "", 0, 0);
    CardSetStandbyTime(reader_.c_str(), kFactoryKey, 30);
    CardSetkeypad(reader_.c_str(), kFactoryKey, 0);
    CardDisablePIN(reader_.c_str(), kFactoryKey);
    CardScreenUnLock(reader_.c_str());
    SimControl(0, "clock " + std::to_string(static_cast<long long>(std::time(nullptr))));
  }

  // Profile record straight from the token: flags at 4, title length at
  // 8, title from 9, seed indicator last.
  Bytes ProfileRecord(int32_t profile) {
    PcscCard card(reader_);
    Bytes r = card.Transmit(Bytes{0x80, 0x41, 0x00, static_cast<uint8_t>(profile), 0x01, 0x70});
    EXPECT_EQ(StatusWord(r), 0x9000);
    return r;
  }
  std::string RecordTitle(int32_t profile) {
    Bytes r = ProfileRecord(profile);
    if (r.size() < 9 || r.size() < 9u + r[8]) return "<short record>";
    return std::string(r.begin() + 9, r.begin() + 9 + r[8]);
  }

  std::string reader_;
};

std::string Oathtool(const std::string& args) {
  std::string out;
  FILE* p = ::popen(("oathtool " + args + " 2>&1").c_str(), "r");
  if (p == nullptr) return "<popen failed>";
  std::array<char, 128> buf{};
  while (std::fgets(buf.data(), buf.size(), p)) out += buf.data();
  ::pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

TEST_F(CommandsIntegrationTest, ProvisionedProfileShowsTheSameOtpAsOathtool) {
  const Bytes seed = Hex("3132333435363738393031323334353637383930A1B2C3D4");
  ASSERT_EQ(CardVerify(reader_.c_str(), kFactoryKey), CARD_OK);
  int32_t present = -1;
  ASSERT_EQ(CardGetSeedFlag(reader_.c_str(), kProfile, &present), CARD_OK);
  EXPECT_EQ(present, 0);

  ASSERT_EQ(CardBurnSeed(reader_.c_str(), kFactoryKey, kProfile, seed.data(), static_cast<int32_t>(seed.size())),
            CARD_OK);
  ASSERT_EQ(CardConfig(reader_.c_str(), kFactoryKey, kProfile, "SHA256", 60, 8, 0, kClockText, "Totp", 0, 0), CARD_OK);

  char otp[16] = {};
  ASSERT_EQ(CardReadOTP(reader_.c_str(), kFactoryKey, kProfile, otp), CARD_OK);
  // The token clock was set to the start of a step and keeps running; a
  // step lasts a minute, far longer than these few commands.
  const uint32_t now = static_cast<uint32_t>(std::stoul(SimStatus(0, "clock")));
  ASSERT_GE(now, kClock);
  ASSERT_LT(now, kClock + 60);
  EXPECT_EQ(std::string(otp),
            Oathtool("--totp=sha256 -d 8 -s 60 -N @" + std::to_string(now) + " " + norvik::sim::ToHex(seed)));
  EXPECT_EQ(std::strlen(otp), 8u);

  ASSERT_EQ(CardGetSeedFlag(reader_.c_str(), kProfile, &present), CARD_OK);
  EXPECT_EQ(present, 1);
  EXPECT_EQ(RecordTitle(kProfile), "Totp");
}

TEST_F(CommandsIntegrationTest, Sha1ThirtySecondsSixDigits) {
  const Bytes seed = Hex("3132333435363738393031323334353637383930");
  ASSERT_EQ(CardBurnSeed(reader_.c_str(), kFactoryKey, kProfile, seed.data(), 20), CARD_OK);
  ASSERT_EQ(CardConfig(reader_.c_str(), kFactoryKey, kProfile, "SHA1", 30, 6, -1, "2024/1/1/0/0/0", nullptr, 0, 0),
            CARD_OK);
  char otp[16] = {};
  ASSERT_EQ(CardReadOTP(reader_.c_str(), kFactoryKey, kProfile, otp), CARD_OK);
  const uint32_t now = static_cast<uint32_t>(std::stoul(SimStatus(0, "clock")));
  ASSERT_LT(now, kClock + 30);
  EXPECT_EQ(std::string(otp),
            Oathtool("--totp -d 6 -s 30 -N @" + std::to_string(now) + " " + norvik::sim::ToHex(seed)));
}

TEST_F(CommandsIntegrationTest, DeleteSeed) {
  const Bytes seed = Hex("00112233445566778899");
  ASSERT_EQ(CardBurnSeed(reader_.c_str(), kFactoryKey, kProfile, seed.data(), 10), CARD_OK);
  EXPECT_EQ(CardDeleteSeed(reader_.c_str(), kProfile), CARD_OK);
  int32_t present = -1;
  ASSERT_EQ(CardGetSeedFlag(reader_.c_str(), kProfile, &present), CARD_OK);
  EXPECT_EQ(present, 0);
  char otp[16] = {};
  EXPECT_EQ(CardReadOTP(reader_.c_str(), kFactoryKey, kProfile, otp), CARD_E_NO_SEED);
  EXPECT_STREQ(otp, "");
  EXPECT_EQ(CardDeleteSeed(reader_.c_str(), kProfile), CARD_E_NO_SEED);
}

TEST_F(CommandsIntegrationTest, FlagsWrittenByConfigAreReadBack) {
  ASSERT_EQ(CardConfig(reader_.c_str(), kFactoryKey, kProfile, "", -1, -1, 1, nullptr, nullptr, 1, 0x62), CARD_OK);
  int32_t clear = -1, enter = -1, kept = -1;
  ASSERT_EQ(CardReadSeedInfo(reader_.c_str(), kProfile, &clear, &enter, &kept), CARD_OK);
  EXPECT_EQ(clear, 1);
  EXPECT_EQ(enter, 1);
  EXPECT_EQ(kept, 0x62);

  ASSERT_EQ(CardConfig(reader_.c_str(), kFactoryKey, kProfile, "", -1, -1, 0, nullptr, nullptr, 0, kept), CARD_OK);
  ASSERT_EQ(CardReadSeedInfo(reader_.c_str(), kProfile, &clear, &enter, &kept), CARD_OK);
  EXPECT_EQ(clear, 0);
  EXPECT_EQ(enter, 0);
  EXPECT_EQ(kept, 0x62);
}

TEST_F(CommandsIntegrationTest, TitleChange) {
  ASSERT_EQ(CardChgPrompt(reader_.c_str(), kFactoryKey, kProfile, "Bank", 4), CARD_OK);
  EXPECT_EQ(RecordTitle(kProfile), "Bank");
  ASSERT_EQ(CardChgPrompt(reader_.c_str(), kFactoryKey, kProfile, "ABCDEFGHIJKL", 12), CARD_OK);
  EXPECT_EQ(RecordTitle(kProfile), "ABCDEFGHIJKL");
  ASSERT_EQ(CardConfig(reader_.c_str(), kFactoryKey, kProfile, "", -1, -1, -1, nullptr, "Mail", 0, 0), CARD_OK);
  EXPECT_EQ(RecordTitle(kProfile), "Mail");
  ASSERT_EQ(CardChgPrompt(reader_.c_str(), kFactoryKey, kProfile, "", 0), CARD_OK);
  EXPECT_EQ(RecordTitle(kProfile), "");
  // Under the wrong key the MAC does not verify.
  EXPECT_EQ(CardChgPrompt(reader_.c_str(), kOtherKey, kProfile, "Evil", 4), CARD_E_STATUS_WORD);
  EXPECT_EQ(RecordTitle(kProfile), "");
}

TEST_F(CommandsIntegrationTest, ClockAlone) {
  ASSERT_EQ(CardSetTime(reader_.c_str(), kFactoryKey, "2030/6/15/8/30/0", -1), CARD_OK);
  const uint32_t now = static_cast<uint32_t>(std::stoul(SimStatus(0, "clock")));
  EXPECT_GE(now, 1907742600u);
  EXPECT_LT(now, 1907742600u + 30);
  EXPECT_EQ(CardSetTime(reader_.c_str(), kFactoryKey, "2030/6/15/8/30/0", 3), CARD_OK);
}

TEST_F(CommandsIntegrationTest, StandbyKeypadAndPin) {
  for (int32_t seconds : {15, 30, 60, 120})
    EXPECT_EQ(CardSetStandbyTime(reader_.c_str(), kFactoryKey, seconds), CARD_OK);
  EXPECT_EQ(CardSetStandbyTime(reader_.c_str(), kFactoryKey, 90), CARD_E_BAD_ARG);
  EXPECT_EQ(CardSetkeypad(reader_.c_str(), kFactoryKey, 1), CARD_OK);
  EXPECT_EQ(CardSetkeypad(reader_.c_str(), kFactoryKey, 0), CARD_OK);
  EXPECT_EQ(CardSetkeypad(reader_.c_str(), kOtherKey, 1), CARD_E_STATUS_WORD);
  EXPECT_EQ(CardSetPIN(reader_.c_str(), kFactoryKey, "123456"), CARD_OK);
  EXPECT_EQ(CardDisablePIN(reader_.c_str(), kFactoryKey), CARD_OK);
  EXPECT_EQ(CardSetPIN(reader_.c_str(), kOtherKey, "123456"), CARD_E_STATUS_WORD);
}

TEST_F(CommandsIntegrationTest, ScreenLockWhereTheModelHasIt) {
  EXPECT_EQ(CardScreenLock(reader_.c_str()), CARD_OK);
  EXPECT_EQ(SimStatus(0, "screen-locked"), "1");
  EXPECT_EQ(CardScreenUnLock(reader_.c_str()), CARD_OK);
  EXPECT_EQ(SimStatus(0, "screen-locked"), "0");

  // The older model has no screen lock and refuses the instruction.
  const std::string older = ReaderName(1);
  ASSERT_EQ(SimStatus(1, "screen-lock"), "no");
  EXPECT_EQ(CardScreenLock(older.c_str()), CARD_E_STATUS_WORD);
  EXPECT_EQ(CardScreenUnLock(older.c_str()), CARD_E_STATUS_WORD);
}

TEST_F(CommandsIntegrationTest, ProfileOutsideTheSmallerModel) {
  // Profile 60 exists on the 100-profile token only; the library sends
  // it (only 100 and above are its own concern) and the token refuses.
  const std::string older = ReaderName(1);
  int32_t present = -1;
  EXPECT_EQ(CardGetSeedFlag(older.c_str(), 60, &present), CARD_E_STATUS_WORD);
  EXPECT_EQ(present, -1);
  EXPECT_EQ(CardReadSeedInfo(older.c_str(), 100, nullptr, nullptr, nullptr), CARD_E_PROFILE_RANGE);
}

TEST_F(CommandsIntegrationTest, UnknownReader) {
  EXPECT_EQ(CardBurnSeed("No Such Reader", kFactoryKey, 0, reinterpret_cast<const uint8_t*>("x"), 1),
            CARD_E_NOT_CONNECTED);
  EXPECT_EQ(CardScreenLock("No Such Reader"), CARD_E_NOT_CONNECTED);
}

}  // namespace
