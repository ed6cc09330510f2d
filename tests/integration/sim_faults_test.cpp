// Every fault the control channel can inject, observed through pcscd.
#include "SimControl.h"
#include "NorvikSimModel.h"

#include <gtest/gtest.h>

#include <chrono>

namespace norvik::simtest {
namespace {

class SimFaults : public ::testing::Test {
 protected:
  void SetUp() override { ResetSim(0); }
  void TearDown() override { ResetSim(0); }
};

TEST_F(SimFaults, ForcedStatusWordForTheNextCommand) {
  PcscCard card(ReaderName(0));
  SimControlOk(0, "sw 6A82");
  EXPECT_EQ(card.Transmit(Hex("80 41 00 00 02 02 11")), Hex("6A 82"));
  EXPECT_EQ(StatusWord(card.Transmit(Hex("80 41 00 00 02 02 11"))), 0x9000);
}

TEST_F(SimFaults, ForcedStatusWordForOneInstruction) {
  PcscCard card(ReaderName(0));
  SimControlOk(0, "sw-ins CE 6983");
  Bytes ch = card.Transmit(Hex("80 4B 08 00 00"));
  ASSERT_EQ(ch.size(), 10u);
  ch.resize(8);
  ch.resize(16, 0);
  Bytes cryptogram = Hex("80 CE 00 00 10");
  Bytes c = norvik::sim::Sm4EcbEncrypt(norvik::sim::DeriveCommandKey(norvik::sim::kFactoryAccessKey), ch);
  cryptogram.insert(cryptogram.end(), c.begin(), c.end());
  EXPECT_EQ(card.Transmit(cryptogram), Hex("69 83"));
  EXPECT_EQ(card.Transmit(cryptogram), Hex("69 83"));
  SimControlOk(0, "sw-ins CE off");
  // The forced answers never reached the token: its challenge still waits.
  EXPECT_EQ(card.Transmit(cryptogram), Hex("90 00"));
}

TEST_F(SimFaults, GetResponseChain) {
  PcscCard card(ReaderName(0));
  Bytes real = card.Transmit(Hex("80 41 00 07 01 70"));
  SimControlOk(0, "getresponse 2");
  EXPECT_EQ(card.Transmit(Hex("80 41 00 07 01 70")), Hex("90 60"));
  EXPECT_EQ(card.Transmit(Hex("00 C0 00 00 00")), Hex("90 60"));
  EXPECT_EQ(card.Transmit(Hex("00 C0 00 00 00")), real);
}

TEST_F(SimFaults, ShortResponses) {
  PcscCard card(ReaderName(0));
  SimControlOk(0, "short 2");
  EXPECT_EQ(card.Transmit(Hex("80 4B 08 00 00")), Hex("90 00"));
  SimControlOk(0, "short 1");
  EXPECT_EQ(card.Transmit(Hex("80 4B 08 00 00")), Hex("90"));
}

TEST_F(SimFaults, EmptyResponseEndsInAReinsertion) {
  // vpcd cannot pass on an empty answer without hanging, so the token
  // answers nothing and is pulled and put back: the host sees an exchange
  // with no status word (or a failed one) and then a fresh card.
  const DWORD events = CardEventCount(ReaderName(0));
  {
    PcscCard card(ReaderName(0));
    SimControlOk(0, "short 0");
    Bytes r;
    LONG rv = card.Transmit(Hex("80 4B 08 00 00"), r);
    EXPECT_TRUE(rv != SCARD_S_SUCCESS || r.empty()) << HexOf(r);
  }
  ASSERT_TRUE(WaitForCardEvents(ReaderName(0), events + 2));
  PcscCard again(ReaderName(0));
  EXPECT_EQ(StatusWord(again.Transmit(Hex("80 4B 08 00 00"))), 0x9000);
}

TEST_F(SimFaults, DelayedAnswerStillArrives) {
  PcscCard card(ReaderName(0));
  SimControlOk(0, "delay 300");
  EXPECT_NE(SimStatus(0, "delay"), "");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(StatusWord(card.Transmit(Hex("80 4B 08 00 00"))), 0x9000);
  // A lower bound only: the answer cannot come before the token sends it.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(SimStatus(0, "delay"), "") << "delay is one-shot";
}

TEST_F(SimFaults, ConfirmationSetting) {
  PcscCard card(ReaderName(0));
  SimControlOk(0, "confirm refuse");
  EXPECT_EQ(card.Transmit(Hex("80 56 00 00 00")), Hex("6F F8"));
  SimControlOk(0, "confirm timeout");
  EXPECT_EQ(card.Transmit(Hex("80 56 00 00 00")), Hex("6F F9"));
  SimControlOk(0, "confirm accept");
  EXPECT_EQ(card.Transmit(Hex("80 56 00 00 00")), Hex("90 00"));
}

TEST_F(SimFaults, UnknownControlLineIsRefused) {
  EXPECT_EQ(SimControl(0, "explode").rfind("err", 0), 0u);
  EXPECT_EQ(SimControl(0, "sw 12").rfind("err", 0), 0u);
}

}  // namespace
}  // namespace norvik::simtest
