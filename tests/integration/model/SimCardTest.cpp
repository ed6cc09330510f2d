// Fault injection layered over the model, and the control-line parser.
#include "ModelTestSupport.h"

namespace norvik::sim::test {
namespace {

class SimCardTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    card = std::make_unique<SimCard>(*model);
  }
  Bytes Tx(std::string_view hex) { return card->Transmit(H(hex)).response; }
  std::unique_ptr<SimCard> card;
};

TEST_F(SimCardTest, ForcedStatusWordIsOneShotAndSkipsTheCommand) {
  EXPECT_EQ(card->Control("sw 6A82"), "ok");
  EXPECT_EQ(Tx("80 D8 0C 02 00"), H("6A 82"));
  EXPECT_FALSE(model->screenLocked());
  EXPECT_EQ(Tx("80 D8 0C 02 00"), H("90 00"));
}

TEST_F(SimCardTest, StatusWordPerInstructionStaysUntilCleared) {
  EXPECT_EQ(card->Control("sw-ins CE 6983"), "ok");
  EXPECT_EQ(Sw(card->Transmit(H("80 CE 00 00 10 " + std::string(32, '0'))).response), 0x6983);
  EXPECT_EQ(Sw(card->Transmit(H("80 CE 00 00 10 " + std::string(32, '0'))).response), 0x6983);
  EXPECT_EQ(Sw(Tx("80 4B 08 00 00")), 0x9000);
  EXPECT_EQ(card->Control("sw-ins CE off"), "ok");
  EXPECT_EQ(Sw(card->Transmit(H("80 CE 00 00 10 " + std::string(32, '0'))).response), 0x6304);
  EXPECT_EQ(card->Control("sw-ins 4B 6F00"), "ok");
  EXPECT_EQ(card->Control("clear"), "ok");
  EXPECT_EQ(Sw(Tx("80 4B 08 00 00")), 0x9000);
}

TEST_F(SimCardTest, GetResponseChainDeliversTheRealAnswerLast) {
  EXPECT_EQ(card->Control("getresponse 2"), "ok");
  Bytes real = model->Process(H("80 41 00 00 02 02 11"));
  EXPECT_EQ(Tx("80 41 00 00 02 02 11"), H("90 60"));
  EXPECT_EQ(Tx("00 C0 00 00 00"), H("90 60"));
  EXPECT_EQ(Tx("00 C0 00 00 00"), real);
  EXPECT_EQ(Sw(Tx("00 C0 00 00 00")), 0x6985) << "nothing left to fetch";
  // A new card session forgets the pending answer.
  EXPECT_EQ(card->Control("getresponse 1"), "ok");
  EXPECT_EQ(Tx("80 41 00 00 02 02 11"), H("90 60"));
  card->PowerEvent();
  EXPECT_EQ(Sw(Tx("00 C0 00 00 00")), 0x6985);
}

TEST_F(SimCardTest, ShortResponsesKeepPartOfTheStatusWordAndStillRunTheCommand) {
  EXPECT_EQ(card->Control("short 2"), "ok");
  EXPECT_EQ(Tx("80 4B 08 00 00"), H("90 00"));
  EXPECT_EQ(card->Control("short 1"), "ok");
  EXPECT_EQ(Tx("80 D8 0C 02 00"), H("90"));
  EXPECT_TRUE(model->screenLocked());
  EXPECT_EQ(card->Control("short 0"), "ok");
  EXPECT_TRUE(Tx("80 4B 08 00 00").empty());
  EXPECT_EQ(Tx("80 D8 0C 02 01"), H("90 00"));
}

TEST_F(SimCardTest, DelayIsReportedOnceAndConfirmAndClockReachTheModel) {
  EXPECT_EQ(card->Control("delay 250"), "ok");
  EXPECT_EQ(card->Transmit(H("80 4B 08 00 00")).delayMs, 250);
  EXPECT_EQ(card->Transmit(H("80 4B 08 00 00")).delayMs, 0);
  EXPECT_EQ(card->Control("confirm timeout"), "ok");
  EXPECT_EQ(Tx("80 56 00 00 00"), H("6F F9"));
  EXPECT_EQ(card->Control("clock 86400"), "ok");
  EXPECT_EQ(model->TokenClock(), 86400u);
}

// A stored seed that no longer matches what the host wrote: the token's
// passwords then differ from the ones computed for that seed, which is what
// a verifying host has to notice.
TEST_F(SimCardTest, CorruptSeedChangesTheStoredSeedNowOrAtTheNextWrite) {
  const Bytes seed = H("31 32 33 34 35 36 37 38 39 30 31 32 33 34 35 36 37 38 39 30");
  const auto otp = [&](const Bytes& s) {
    const std::string t = Totp(HmacAlgorithm::Sha1, s, model->TokenClock(), 30, 6);
    return WithSw(Bytes(t.begin(), t.end()), sw::kOk);
  };
  Bytes changed = seed;
  changed.back() ^= 0xFF;

  EXPECT_EQ(card->Control("corrupt-seed 4")->rfind("err", 0), 0u) << "profile 4 holds no seed yet";
  // Armed for profile 4: a write to another profile, and a refused write to
  // profile 4, leave the fault pending.
  EXPECT_EQ(card->Control("corrupt-seed 4 next"), "ok");
  EXPECT_NE(card->Control("status")->find(" corrupt-seed=4"), std::string::npos);
  card->Transmit(Secured(key, 0xC5, 0x01, 5, Sm4EcbEncrypt(key, Pad80(seed))));
  EXPECT_EQ(model->profile(5).seed, seed);
  EXPECT_EQ(card->Control("sw 6A80"), "ok");
  EXPECT_EQ(Sw(card->Transmit(Secured(key, 0xC5, 0x01, 4, Sm4EcbEncrypt(key, Pad80(seed)))).response), 0x6A80);
  EXPECT_FALSE(model->profile(4).hasSeed());
  // The write that goes through is answered 90 00 but stored changed, once.
  EXPECT_EQ(Sw(card->Transmit(Secured(key, 0xC5, 0x01, 4, Sm4EcbEncrypt(key, Pad80(seed)))).response), 0x9000);
  EXPECT_EQ(model->profile(4).seed, changed);
  EXPECT_NE(ReadOtp(4), otp(seed));
  EXPECT_EQ(ReadOtp(4), otp(changed));
  EXPECT_EQ(card->Control("status")->find("corrupt-seed"), std::string::npos);
  card->Transmit(Secured(key, 0xC5, 0x01, 4, Sm4EcbEncrypt(key, Pad80(seed))));
  EXPECT_EQ(model->profile(4).seed, seed);

  // At once, on a stored seed; the state file keeps the change.
  const uint64_t before = model->generation();
  EXPECT_EQ(card->Control("corrupt-seed 5"), "ok");
  EXPECT_EQ(model->profile(5).seed, changed);
  EXPECT_GT(model->generation(), before);
  // "clear" drops an armed corruption like any other fault.
  EXPECT_EQ(card->Control("corrupt-seed 6 next"), "ok");
  EXPECT_EQ(card->Control("clear"), "ok");
  card->Transmit(Secured(key, 0xC5, 0x01, 6, Sm4EcbEncrypt(key, Pad80(seed))));
  EXPECT_EQ(model->profile(6).seed, seed);
}

// The operator's swap: another token, fresh from the factory, in the same
// reader. Nothing of the old one stays, and the state file names the new one.
TEST_F(SimCardTest, NewTokenIsFactoryFreshWithItsOwnSerialAndNoFaults) {
  ASSERT_EQ(Sw(Burn(3, H("DEADBEEF"))), 0x9000);
  ASSERT_EQ(card->Control("clock 86400"), "ok");
  ASSERT_EQ(Sw(Verify(Key16{})), 0x6304);
  ASSERT_EQ(card->Control("sw 6A82"), "ok");
  const uint64_t before = model->generation();

  card->NewToken("NV9Z00000042");
  EXPECT_GT(model->generation(), before) << "the state file must be rewritten";
  const Bytes read = Tx("80 41 00 00 02 02 11");
  ASSERT_EQ(Sw(read), 0x9000) << "the old token's fault went with it";
  EXPECT_EQ(std::string(read.begin() + 4, read.begin() + 16), "NV9Z00000042");
  EXPECT_FALSE(model->profile(3).hasSeed());
  EXPECT_EQ(model->TokenClock(), now);
  EXPECT_EQ(model->triesLeft(), 5);
  EXPECT_EQ(Sw(Verify(key)), 0x9000) << "factory key";

  const std::string saved = model->SaveState();
  Make();
  std::string err;
  ASSERT_TRUE(model->LoadState(saved, &err)) << err;
  EXPECT_EQ(model->options().serial, "NV9Z00000042");
}

TEST_F(SimCardTest, BadControlLinesAreRefusedWithoutSideEffects) {
  for (const char* line : {"sw",
                           "sw 6A8",
                           "sw 6A82 1",
                           "sw XYZW",
                           "sw-ins C 6983",
                           "sw-ins CE",
                           "getresponse -1",
                           "getresponse 256",
                           "getresponse always",
                           "short 3",
                           "delay 1e3",
                           "confirm maybe",
                           "clock -5",
                           "clear now",
                           "corrupt-seed",
                           "corrupt-seed 100",
                           "corrupt-seed 4 later",
                           "corrupt-seed x next",
                           "remove-after 0",
                           "remove-after",
                           "remove-during 1001",
                           "remove-during x"}) {
    auto reply = card->Control(line);
    ASSERT_TRUE(reply) << line;
    EXPECT_EQ(reply->rfind("err", 0), 0u) << line << " -> " << *reply;
  }
  EXPECT_FALSE(card->Control("remove")) << "left to the daemon";
  EXPECT_FALSE(card->Control(""));
  EXPECT_EQ(Tx("80 4B 08 00 00").size(), 10u);
  EXPECT_EQ(card->Control("status")->find("next-sw"), std::string::npos);
}

TEST_F(SimCardTest, CardIsPulledAroundTheNthCommandCountingNoGetResponse) {
  // After the answer: the commands before it and it itself run and answer.
  EXPECT_EQ(card->Control("remove-after 3"), "ok");
  EXPECT_NE(card->Control("status")->find(" remove-after=3"), std::string::npos);
  EXPECT_EQ(card->Control("getresponse 1"), "ok");
  EXPECT_EQ(card->Transmit(H("80 4B 08 00 00")).pull, Pull::None);
  EXPECT_EQ(card->Transmit(H("00 C0 00 00 00")).pull, Pull::None) << "GET RESPONSE is not counted";
  EXPECT_EQ(card->Transmit(H("80 D8 0C 02 00")).pull, Pull::None);
  SimCard::Answer third = card->Transmit(H("80 D8 0C 02 01"));
  EXPECT_EQ(third.pull, Pull::AfterAnswer);
  EXPECT_EQ(third.response, H("90 00"));
  EXPECT_FALSE(model->screenLocked());
  EXPECT_EQ(card->Transmit(H("80 D8 0C 02 00")).pull, Pull::None) << "one pull only";

  // During: the Nth command still changes the token, only its answer goes.
  EXPECT_EQ(card->Control("remove-during 1"), "ok");
  SimCard::Answer during = card->Transmit(H("80 D8 0C 02 01"));
  EXPECT_EQ(during.pull, Pull::InsteadOfAnswer);
  EXPECT_FALSE(model->screenLocked());
  EXPECT_EQ(card->Control("remove-during 2"), "ok");
  EXPECT_EQ(card->Control("clear"), "ok");
  EXPECT_EQ(card->Transmit(H("80 D8 0C 02 00")).pull, Pull::None);
  EXPECT_EQ(card->Transmit(H("80 D8 0C 02 00")).pull, Pull::None);
}

TEST_F(SimCardTest, GetResponseForeverNeverDeliversTheAnswerButRunsTheCommand) {
  EXPECT_EQ(card->Control("getresponse forever"), "ok");
  EXPECT_NE(card->Control("status")->find(" getresponse=forever"), std::string::npos);
  EXPECT_EQ(Tx("80 D8 0C 02 00"), H("90 60"));
  EXPECT_TRUE(model->screenLocked());
  for (int i = 0; i < 100; ++i) ASSERT_EQ(Tx("00 C0 00 00 00"), H("90 60")) << i;
  EXPECT_EQ(card->Control("getresponse off"), "ok");
  EXPECT_EQ(Sw(Tx("00 C0 00 00 00")), 0x6985) << "the lost answer is not kept";
  EXPECT_EQ(Tx("80 D8 0C 02 01"), H("90 00"));
  EXPECT_EQ(card->Control("getresponse forever"), "ok");
  EXPECT_EQ(card->Control("clear"), "ok");
  EXPECT_EQ(Tx("80 D8 0C 02 00"), H("90 00"));
}

}  // namespace
}  // namespace norvik::sim::test
