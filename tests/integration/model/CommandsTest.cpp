// Response layouts and the seed, title, PIN, screen and state commands.
#include "ModelTestSupport.h"

namespace norvik::sim::test {
namespace {

TEST_F(ModelTest, SerialAndClockResponseHasTheHostLayout) {
  now = 4102444799;  // 2099-12-31 23:59:59
  Bytes r = Send("80 41 00 63 02 02 11");
  ASSERT_GE(r.size(), 12u);
  const size_t L = r.size();
  EXPECT_EQ(Sw(r), 0x9000);
  // Serial: from offset 4 up to the first zero byte, before L - 8.
  std::string serial;
  for (size_t i = 4; i < L - 8 && r[i] != 0; ++i) serial.push_back(static_cast<char>(r[i]));
  EXPECT_EQ(serial, "NV2A00000001");
  uint32_t clock = (uint32_t{r[L - 6]} << 24) | (uint32_t{r[L - 5]} << 16) | (uint32_t{r[L - 4]} << 8) | r[L - 3];
  EXPECT_EQ(clock, 4102444799u);
}

TEST_F(ModelTest, ProfileRecordCarriesMarkerFlagsAndSeedPresence) {
  ASSERT_EQ(Sw(Config(42, H("23 01 A7"))), 0x9000);
  Bytes r = Send("80 41 00 2A 01 70");
  ASSERT_EQ(Sw(r), 0x9000);
  ASSERT_GE(r.size(), 8u);
  EXPECT_EQ(r[3], 0x1D);
  EXPECT_EQ(r[4], 0xA7);
  EXPECT_EQ(r[r.size() - 3], 0x00);
  ASSERT_EQ(Sw(Burn(42, H("0102030405"))), 0x9000);
  r = Send("80 41 00 2A 01 70");
  EXPECT_EQ(r[r.size() - 3], 0x01);
  EXPECT_EQ(Send("80 41 00 29 01 70")[r.size() - 3], 0x00) << "neighbour profile changed";
}

TEST_F(ModelTest, SeedLifecycle) {
  EXPECT_EQ(Sw(ReadOtp(5)), 0x6A83);
  EXPECT_EQ(Sw(Send("80 E6 00 05 00")), 0x6A83);
  Bytes seed160(160);
  for (size_t i = 0; i < seed160.size(); ++i) seed160[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(Sw(Burn(5, seed160)), 0x9000);
  EXPECT_EQ(model->profile(5).seed, seed160);
  // A 16-byte seed carries a whole padding block.
  ASSERT_EQ(Sw(Burn(6, Bytes(16, 0x00))), 0x9000);
  EXPECT_EQ(model->profile(6).seed, Bytes(16, 0x00));
  Bytes otp = ReadOtp(5);
  EXPECT_EQ(Sw(otp), 0x9000);
  EXPECT_EQ(otp.size(), 8u);  // six digits by default
  EXPECT_EQ(Sw(Send("80 E6 00 05 00")), 0x9000);
  EXPECT_FALSE(model->profile(5).hasSeed());
  EXPECT_EQ(Sw(ReadOtp(5)), 0x6A83);
}

TEST_F(ModelTest, BurnSeedRefusesBadPaddingAndSizes) {
  // No 80 marker at all.
  EXPECT_EQ(Sw(SendSecured(0xC5, 1, 0, Sm4EcbEncrypt(key, Bytes(16, 0x11)))), 0x6A80);
  // Marker only: an empty seed.
  EXPECT_EQ(Sw(SendSecured(0xC5, 1, 0, Sm4EcbEncrypt(key, Pad80({})))), 0x6A80);
  // More than a block of padding.
  Bytes overPadded = Pad80(H("0102"));
  overPadded.resize(32, 0);
  EXPECT_EQ(Sw(SendSecured(0xC5, 1, 0, Sm4EcbEncrypt(key, overPadded))), 0x6A80);
  // 161 bytes still fit the 176-byte limit of the wire but not a profile;
  // longer data and lengths that are not whole blocks are wrong lengths.
  EXPECT_EQ(Sw(Burn(0, Bytes(161, 1))), 0x6A80);
  EXPECT_EQ(Sw(SendSecured(0xC5, 1, 0, Sm4EcbEncrypt(key, Pad80(Bytes(176, 1))))), 0x6700);
  EXPECT_EQ(Sw(SendSecured(0xC5, 1, 0, Bytes(15))), 0x6700);
  EXPECT_EQ(Sw(SendSecured(0xC5, 2, 0, Sm4EcbEncrypt(key, Pad80(H("01"))))), 0x6A86);
  EXPECT_FALSE(model->profile(0).hasSeed());
}

TEST_F(ModelTest, MacIsCheckedOnEverySecuredCommand) {
  for (uint8_t ins : {0xC5, 0xC7, 0xC9, 0xD4, 0xD5, 0xD7, 0xE0}) {
    Bytes apdu = Secured(key, ins, ins == 0xC5 ? 1 : 0, 0, Bytes(16, 0x22));
    apdu.back() ^= 0x01;
    EXPECT_EQ(Sw(Send(apdu)), 0x6988) << std::hex << int{ins};
    Bytes plain = apdu;
    plain[0] = 0x80;
    EXPECT_EQ(Sw(Send(plain)), 0x6982) << std::hex << int{ins};
  }
  // The MAC covers the header: the same body for another profile fails.
  Bytes apdu = Secured(key, 0xC9, 0, 3, {});
  apdu[3] = 4;
  EXPECT_EQ(Sw(Send(apdu)), 0x6988);
  EXPECT_EQ(Sw(Send("84 C9 00 00 03 01 02 03")), 0x6700);
  EXPECT_EQ(model->generation(), 0u) << "a refused command changed the token";
}

TEST_F(ModelTest, TitleAndPinTravelEncrypted) {
  ASSERT_EQ(
      Sw(SendSecured(0xD5, 0, 9,
                     Sm4EcbEncrypt(key, Pad80(Bytes{'G', 'i', 't', 'H', 'u', 'b', ' ', 'w', 'o', 'r', 'k', '!'})))),
      0x9000);
  EXPECT_EQ(model->profile(9).title, "GitHub work!");
  ASSERT_EQ(Sw(SendSecured(0xD5, 0, 9, Sm4EcbEncrypt(key, Pad80({})))), 0x9000);
  EXPECT_EQ(model->profile(9).title, "");
  EXPECT_EQ(Sw(SendSecured(0xD5, 0, 9, Sm4EcbEncrypt(key, Bytes(16, 'A')))), 0x6A80);

  ASSERT_EQ(Sw(SendSecured(0xE0, 0, 0, Sm4EcbEncrypt(key, Pad80(Bytes{'1', '2', '3', '4', '5', '6'})))), 0x9000);
  EXPECT_EQ(model->pin(), "123456");
  EXPECT_EQ(Sw(SendSecured(0xE0, 0, 0, Sm4EcbEncrypt(key, Pad80(Bytes{'1', '2', '3', '4', '5'})))), 0x6A80);
  EXPECT_EQ(model->pin(), "123456");
}

TEST_F(ModelTest, ScreenLockAndTheModelWithoutIt) {
  EXPECT_EQ(Sw(Send("80 D8 0C 02 00")), 0x9000);
  EXPECT_TRUE(model->screenLocked());
  EXPECT_EQ(Sw(Send("80 D8 0C 02 01")), 0x9000);
  EXPECT_FALSE(model->screenLocked());
  EXPECT_EQ(Sw(Send("80 D8 0C 02 02")), 0x6A80);
  ModelOptions o;
  o.screenLockSupported = false;
  Make(o);
  EXPECT_EQ(Sw(Send("80 D8 0C 02 01")), 0x6D00);
}

TEST_F(ModelTest, OlderModelHasFiftyProfiles) {
  ModelOptions o;
  o.profileCount = 50;
  Make(o);
  EXPECT_EQ(Sw(Send("80 41 00 31 01 70")), 0x9000);
  EXPECT_EQ(Sw(Send("80 41 00 32 01 70")), 0x6A86);
  EXPECT_EQ(Sw(Burn(50, H("01"))), 0x6A86);
  EXPECT_EQ(Sw(Send("80 E6 00 32 00")), 0x6A86);
  EXPECT_EQ(Sw(Send("80 41 00 63 02 02 11")), 0x9000) << "the serial read ignores P2";
}

TEST_F(ModelTest, UnknownCommandsAndMalformedApdus) {
  EXPECT_EQ(Sw(Send("80 99 00 00 00")), 0x6D00);
  EXPECT_EQ(Sw(Send("A0 41 00 00 02 02 11")), 0x6E00);
  EXPECT_EQ(Sw(Send("80 41 00 00 03 02 11")), 0x6700);
  EXPECT_EQ(Sw(Send("80 41 00 00 02 02 12")), 0x6A80);
  EXPECT_EQ(Sw(Send("80 4B")), 0x6700);
  EXPECT_EQ(Sw(Send("80 CE 00 00 08 0102030405060708")), 0x6700);
}

TEST_F(ModelTest, StateSurvivesSaveAndLoad) {
  ASSERT_EQ(Sw(Burn(3, H("DEADBEEF"))), 0x9000);
  ASSERT_EQ(Sw(Config(3, H("0A 01 02 0D 01 3C 0B 01 08 23 01 80 71 04 4D 61 69 6C 1F 01 03 72 01 01"))), 0x9000);
  ASSERT_EQ(Sw(Send("80 D8 0C 02 00")), 0x9000);
  std::string saved = model->SaveState();
  Make();
  std::string err;
  ASSERT_TRUE(model->LoadState(saved, &err)) << err;
  const Profile& p = model->profile(3);
  EXPECT_EQ(p.seed, H("DEADBEEF"));
  EXPECT_EQ(p.algorithm, 2);
  EXPECT_EQ(p.timeStep, 60);
  EXPECT_EQ(p.digits, 8);
  EXPECT_EQ(p.flags, 0x80);
  EXPECT_EQ(p.title, "Mail");
  EXPECT_EQ(model->displayOffCode(), 3);
  EXPECT_TRUE(model->keypadMode());
  EXPECT_TRUE(model->screenLocked());
  EXPECT_EQ(model->SaveState(), saved);
}

TEST_F(ModelTest, BrokenStateFileLeavesTheTokenAlone) {
  ASSERT_EQ(Sw(Burn(3, H("DEADBEEF"))), 0x9000);
  const std::string before = model->SaveState();
  std::string err;
  for (const char* text :
       {"", "garbage\n", "norvik-sim-state 1\nkey 1234\n", "norvik-sim-state 1\nprofile 3 1 30 6 0 ZZ -\n",
        "norvik-sim-state 1\nprofile 3 3 30 6 0 - -\n", "norvik-sim-state 1\nprofile 2 1 30 6 0 - -\nwhatever 1\n",
        "norvik-sim-state 1\nserial\n", "norvik-sim-state 1\nserial NV 1\n",
        "norvik-sim-state 1\nserial 0123456789ABCDEFG\n"}) {
    EXPECT_FALSE(model->LoadState(text, &err)) << text;
    EXPECT_EQ(model->SaveState(), before) << text;
  }
}

}  // namespace
}  // namespace norvik::sim::test
