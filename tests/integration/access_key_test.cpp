// Access key commands end to end: libQuillon through the real pcscd to a
// norvik-sim token. The token checks cryptograms and MACs with OpenSSL, so
// a pass here means the library's SM4, MAC and key derivation agree with it.
#include "NorvikSimModel.h"
#include "Quillon.h"
#include "SimControl.h"

#include <gtest/gtest.h>

#include <string>

using namespace norvik::simtest;

namespace {

const char* kFactoryKey = norvik::sim::kFactoryAccessKey;
const char* kNewKey = "00112233445566778899AABBCCDDEEFF";
const char* kWrongKey = "FFEEDDCCBBAA99887766554433221100";

class AccessKeyIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSim(0);
    reader_ = ReaderName(0);
  }
  void TearDown() override {
    // Whatever happened, hand the token back with the factory key and
    // the full try count (a factory reset restores both).
    SimControl(0, "confirm accept");
    CardInitKey(reader_.c_str());
    ASSERT_EQ(CardVerify(reader_.c_str(), kFactoryKey), CARD_OK);
  }
  uint32_t Verify(const char* key) { return CardVerify(reader_.c_str(), key); }

  std::string reader_;
};

TEST_F(AccessKeyIntegrationTest, SerialAndClockThroughPcscd) {
  char serial[32], clock[64];
  uint32_t sl = sizeof serial, cl = sizeof clock;
  SimControlOk(0, "clock 4102444799");
  ASSERT_EQ(CardReadSnAndTime(reader_.c_str(), 0, serial, &sl, clock, &cl), CARD_OK);
  EXPECT_EQ(std::string(serial, sl), SimStatus(0, "serial"));
  // The token clock runs, so allow the seconds to have moved on.
  EXPECT_EQ(std::string(clock, cl).substr(0, 16), "2099-12-31 23:59");
  SimControlOk(0, "clock " + std::to_string(time(nullptr)));
}

TEST_F(AccessKeyIntegrationTest, WrongKeyCountsTriesDownToLocked) {
  EXPECT_EQ(Verify(kFactoryKey), CARD_OK);
  const int tries = std::stoi(SimStatus(0, "tries"));
  ASSERT_GT(tries, 1);
  for (int left = tries - 1; left > 0; --left) EXPECT_EQ(Verify(kWrongKey), CARD_W_TRIES_LEFT + left);
  EXPECT_EQ(Verify(kWrongKey), CARD_E_KEY_LOCKED);
  // Once locked, even the right key is refused.
  EXPECT_EQ(Verify(kFactoryKey), CARD_E_KEY_LOCKED);
}

TEST_F(AccessKeyIntegrationTest, RightKeyRestoresTheTryCount) {
  EXPECT_EQ(Verify(kWrongKey) & 0xFF00u, CARD_W_TRIES_LEFT);
  EXPECT_EQ(Verify(kFactoryKey), CARD_OK);
  EXPECT_EQ(SimStatus(0, "tries"), SimStatus(0, "tries"));  // stable
  const uint32_t afterReset = Verify(kWrongKey);
  EXPECT_EQ(afterReset, CARD_W_TRIES_LEFT + std::stoi(SimStatus(0, "tries")));
  EXPECT_EQ(Verify(kFactoryKey), CARD_OK);
}

TEST_F(AccessKeyIntegrationTest, ChangeKeyThenOnlyTheNewKeyWorks) {
  ASSERT_EQ(CardChangeKey(reader_.c_str(), kFactoryKey, kNewKey), CARD_OK);
  EXPECT_EQ(Verify(kNewKey), CARD_OK);
  // Lower case and the same digits derive the same command key.
  EXPECT_EQ(Verify("00112233445566778899aabbccddeeff"), CARD_OK);
  EXPECT_EQ(Verify(kFactoryKey) & 0xFF00u, CARD_W_TRIES_LEFT);
  EXPECT_EQ(Verify(kNewKey), CARD_OK);

  // A change MACed under the old key is refused by the token.
  EXPECT_NE(CardChangeKey(reader_.c_str(), kFactoryKey, kWrongKey), CARD_OK);
  EXPECT_EQ(Verify(kNewKey), CARD_OK);

  ASSERT_EQ(CardInitKey(reader_.c_str()), CARD_OK);
  EXPECT_EQ(Verify(kFactoryKey), CARD_OK);
  EXPECT_EQ(Verify(kNewKey) & 0xFF00u, CARD_W_TRIES_LEFT);
  EXPECT_EQ(Verify(kFactoryKey), CARD_OK);
}

TEST_F(AccessKeyIntegrationTest, RefusedOrLateConfirmationKeepsTheKey) {
  SimControlOk(0, "confirm refuse");
  EXPECT_EQ(CardChangeKey(reader_.c_str(), kFactoryKey, kNewKey), CARD_E_CONFIRM_CANCELLED);
  EXPECT_EQ(Verify(kFactoryKey), CARD_OK);
  SimControlOk(0, "confirm timeout");
  EXPECT_EQ(CardChangeKey(reader_.c_str(), kFactoryKey, kNewKey), CARD_E_CONFIRM_TIMEOUT);
  EXPECT_EQ(Verify(kFactoryKey), CARD_OK);

  // The same for a factory reset after a successful change.
  SimControlOk(0, "confirm accept");
  ASSERT_EQ(CardChangeKey(reader_.c_str(), kFactoryKey, kNewKey), CARD_OK);
  SimControlOk(0, "confirm refuse");
  EXPECT_EQ(CardInitKey(reader_.c_str()), CARD_E_CONFIRM_CANCELLED);
  SimControlOk(0, "confirm timeout");
  EXPECT_EQ(CardInitKey(reader_.c_str()), CARD_E_CONFIRM_TIMEOUT);
  EXPECT_EQ(Verify(kNewKey), CARD_OK);
}

TEST_F(AccessKeyIntegrationTest, GetResponseAndLostAnswersThroughPcscd) {
  // The token makes the host fetch its answers twice; the library follows.
  SimControlOk(0, "getresponse 2");
  EXPECT_EQ(Verify(kFactoryKey), CARD_OK);
  SimControlOk(0, "clear");
  SimControlOk(0, "sw-ins CE 6A82");
  EXPECT_EQ(Verify(kFactoryKey), CARD_E_EXCHANGE);
  SimControlOk(0, "clear");
  EXPECT_EQ(CardVerify("Virtual PCD 00 07", kFactoryKey), CARD_E_NOT_CONNECTED);
}

}  // namespace
