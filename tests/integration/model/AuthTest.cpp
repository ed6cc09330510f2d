// Challenge/cryptogram, the try counter, key change and factory reset.
#include "ModelTestSupport.h"

namespace norvik::sim::test {
namespace {

const Key16 kWrong = DeriveCommandKey("00112233445566778899AABBCCDDEEFF");

TEST_F(ModelTest, FactoryKeyIsAcceptedAndWrongKeysCountDownToLock) {
  EXPECT_EQ(Sw(Verify(key)), 0x9000);
  EXPECT_EQ(Sw(Verify(kWrong)), 0x6304);
  EXPECT_EQ(Sw(Verify(kWrong)), 0x6303);
  // A good answer in between restores the full count.
  EXPECT_EQ(Sw(Verify(key)), 0x9000);
  for (int left = 4; left > 0; --left) EXPECT_EQ(Sw(Verify(kWrong)), 0x6300 | left);
  EXPECT_EQ(Sw(Verify(kWrong)), 0x6983);
  EXPECT_TRUE(model->keyLocked());
  // Locked: even the right key, and every secured command, is refused.
  EXPECT_EQ(Sw(Verify(key)), 0x6983);
  EXPECT_EQ(Sw(Burn(0, H("01020304"))), 0x6983);
  EXPECT_FALSE(model->profile(0).hasSeed());
  // The factory reset (confirmed on the token) unlocks it.
  EXPECT_EQ(Sw(Send("80 56 00 00 00")), 0x9000);
  EXPECT_EQ(Sw(Verify(key)), 0x9000);
}

TEST_F(ModelTest, UnlimitedTokenAnswers6F08AndNeverLocks) {
  ModelOptions o;
  o.maxTries = 0;
  Make(o);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(Sw(Verify(kWrong)), 0x6F08);
  EXPECT_EQ(Sw(Verify(key)), 0x9000);
}

TEST_F(ModelTest, ChallengeIsSingleUseAndDroppedByPowerEvents) {
  Bytes ch = Send("80 4B 08 00 00");
  ASSERT_EQ(ch.size(), 10u);
  Bytes block(ch.begin(), ch.begin() + 8);
  block.resize(16, 0);
  Bytes crypt = Sm4EcbEncrypt(key, block);
  Bytes apdu = H("80 CE 00 00 10");
  apdu.insert(apdu.end(), crypt.begin(), crypt.end());
  model->Reset();
  EXPECT_EQ(Sw(Send(apdu)), 0x6985) << "challenge survived a card reset";
  ch = Send("80 4B 08 00 00");
  block.assign(ch.begin(), ch.begin() + 8);
  block.resize(16, 0);
  crypt = Sm4EcbEncrypt(key, block);
  apdu = H("80 CE 00 00 10");
  apdu.insert(apdu.end(), crypt.begin(), crypt.end());
  EXPECT_EQ(Sw(Send(apdu)), 0x9000);
  EXPECT_EQ(Sw(Send(apdu)), 0x6985) << "replayed cryptogram accepted";
  EXPECT_EQ(model->triesLeft(), 5);
}

TEST_F(ModelTest, ChallengesDiffer) { EXPECT_NE(Send("80 4B 08 00 00"), Send("80 4B 08 00 00")); }

Bytes KeyBlock(const Key16& k) {
  Bytes b = {0x00};
  b.insert(b.end(), k.begin(), k.end());
  return Pad80(b);
}

TEST_F(ModelTest, KeyChangeTakesEffectOnlyWhenConfirmed) {
  const Key16 next = DeriveCommandKey("0F0E0D0C0B0A09080706050403020100");
  Bytes d = Sm4EcbEncrypt(key, KeyBlock(next));
  model->setConfirmPolicy(ConfirmPolicy::Refuse);
  EXPECT_EQ(Sw(SendSecured(0xD7, 0, 0, d)), 0x6FF8);
  model->setConfirmPolicy(ConfirmPolicy::Timeout);
  EXPECT_EQ(Sw(SendSecured(0xD7, 0, 0, d)), 0x6FF9);
  EXPECT_EQ(model->commandKey(), key);
  model->setConfirmPolicy(ConfirmPolicy::Accept);
  EXPECT_EQ(Sw(SendSecured(0xD7, 0, 0, d)), 0x9000);
  EXPECT_EQ(model->commandKey(), next);
  // From now on only the new key opens the token.
  EXPECT_EQ(Sw(Verify(key)), 0x6304);
  EXPECT_EQ(Sw(Verify(next)), 0x9000);
  EXPECT_EQ(Sw(SendSecured(0xC7, 0, 0, {})), 0x6988);
  EXPECT_EQ(Sw(Send(Secured(next, 0xC7, 0, 0, {}))), 0x9000);
}

TEST_F(ModelTest, KeyChangeRefusesABlockWithoutTheRightFraming) {
  Bytes block = KeyBlock(kWrong);
  for (size_t at : {size_t{0}, size_t{17}, size_t{31}}) {
    Bytes b = block;
    b[at] ^= 0x01;
    EXPECT_EQ(Sw(SendSecured(0xD7, 0, 0, Sm4EcbEncrypt(key, b))), 0x6A80) << "byte " << at;
  }
  EXPECT_EQ(Sw(SendSecured(0xD7, 0, 0, Sm4EcbEncrypt(key, Bytes(16)))), 0x6700);
  EXPECT_EQ(model->commandKey(), key);
}

TEST_F(ModelTest, FactoryResetFollowsTheConfirmationSetting) {
  const Key16 next = DeriveCommandKey("0F0E0D0C0B0A09080706050403020100");
  ASSERT_EQ(Sw(SendSecured(0xD7, 0, 0, Sm4EcbEncrypt(key, KeyBlock(next)))), 0x9000);
  model->setConfirmPolicy(ConfirmPolicy::Refuse);
  EXPECT_EQ(Sw(Send("80 56 00 00 00")), 0x6FF8);
  model->setConfirmPolicy(ConfirmPolicy::Timeout);
  EXPECT_EQ(Sw(Send("80 56 00 00 00")), 0x6FF9);
  EXPECT_EQ(model->commandKey(), next);
  model->setConfirmPolicy(ConfirmPolicy::Accept);
  EXPECT_EQ(Sw(Send("80 56 00 00 00")), 0x9000);
  EXPECT_EQ(model->commandKey(), key);
}

}  // namespace
}  // namespace norvik::sim::test
