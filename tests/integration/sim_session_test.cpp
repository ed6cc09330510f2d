// Whole PC/SC sessions against the simulated tokens in pcscd: what the
// library will do, byte for byte, without the library.
#include "SimControl.h"
#include "NorvikSimModel.h"

#include <gtest/gtest.h>

#include <ctime>

namespace norvik::simtest {
namespace {

using norvik::sim::DeriveCommandKey;
using norvik::sim::Key16;
using norvik::sim::kFactoryAccessKey;

Bytes Secured(const Key16& k, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& d) {
  Bytes macInput = {0x80, ins, p1, p2, static_cast<uint8_t>(d.size())};
  macInput.insert(macInput.end(), d.begin(), d.end());
  auto mac = norvik::sim::Sm4CbcMac4(k, macInput);
  Bytes apdu = {0x84, ins, p1, p2, static_cast<uint8_t>(d.size() + 4)};
  apdu.insert(apdu.end(), d.begin(), d.end());
  apdu.insert(apdu.end(), mac.begin(), mac.end());
  return apdu;
}

class SimSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSim(0);
    ResetSim(1);
  }
};

std::string SerialOf(const Bytes& r) {
  std::string s;
  for (size_t i = 4; i + 8 < r.size() && r[i] != 0; ++i) s.push_back(static_cast<char>(r[i]));
  return s;
}

TEST_F(SimSession, ReadsSerialAndClockOfBothTokens) {
  // Establish, connect, transmit, disconnect, release: by hand here, so a
  // failure names the PC/SC step.
  SCARDCONTEXT ctx = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx), SCARD_S_SUCCESS);
  for (int idx : {0, 1}) {
    SCARDHANDLE card = 0;
    DWORD proto = 0;
    ASSERT_EQ(SCardConnect(ctx, ReaderName(idx).c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                           &card, &proto),
              SCARD_S_SUCCESS);
    const Bytes cmd = Hex("80 41 00 00 02 02 11");
    uint8_t resp[1024];
    DWORD len = sizeof resp;
    ASSERT_EQ(SCardTransmit(card, proto == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1, cmd.data(),
                            static_cast<DWORD>(cmd.size()), nullptr, resp, &len),
              SCARD_S_SUCCESS);
    Bytes r(resp, resp + len);
    ASSERT_GE(r.size(), 12u) << HexOf(r);
    EXPECT_EQ(StatusWord(r), 0x9000);
    EXPECT_EQ(SerialOf(r), idx == 0 ? "NV2A00000001" : "NV1B00000002");
    const size_t L = r.size();
    int64_t clock = (int64_t{r[L - 6]} << 24) | (r[L - 5] << 16) | (r[L - 4] << 8) | r[L - 3];
    // A fresh token's clock follows the host clock.
    EXPECT_NEAR(static_cast<double>(clock), static_cast<double>(std::time(nullptr)), 120.0);
    EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  }
  EXPECT_EQ(SCardReleaseContext(ctx), SCARD_S_SUCCESS);
}

TEST_F(SimSession, ChallengeAndCryptogramOverPcscd) {
  const Key16 key = DeriveCommandKey(kFactoryAccessKey);
  PcscCard card(ReaderName(0));
  Bytes ch = card.Transmit(Hex("80 4B 08 00 00"));
  ASSERT_EQ(ch.size(), 10u);
  Bytes block(ch.begin(), ch.begin() + 8);
  block.resize(16, 0);
  Bytes cmd = Hex("80 CE 00 00 10");
  Bytes crypt = norvik::sim::Sm4EcbEncrypt(key, block);
  cmd.insert(cmd.end(), crypt.begin(), crypt.end());
  EXPECT_EQ(StatusWord(card.Transmit(cmd)), 0x9000);
  // The challenge is spent; the same cryptogram again is refused.
  EXPECT_EQ(StatusWord(card.Transmit(cmd)), 0x6985);
}

TEST_F(SimSession, SecuredCommandsAcrossSeparateConnections) {
  // The library opens a new connection per call: a seed burnt in one must
  // serve an OTP read in the next, with no CardVerify in between.
  const Key16 key = DeriveCommandKey(kFactoryAccessKey);
  const Bytes seed = Hex("3132333435363738393031323334353637383930");
  Bytes padded = seed;
  padded.push_back(0x80);
  padded.resize(32, 0);
  {
    PcscCard card(ReaderName(0));
    ASSERT_EQ(StatusWord(card.Transmit(Secured(key, 0xC5, 0x01, 12, norvik::sim::Sm4EcbEncrypt(key, padded)))), 0x9000);
  }
  {
    PcscCard card(ReaderName(0));
    Bytes rec = card.Transmit(Hex("80 41 00 0C 01 70"));
    ASSERT_EQ(StatusWord(rec), 0x9000);
    EXPECT_EQ(rec[3], 0x1D);
    EXPECT_EQ(rec[rec.size() - 3], 0x01);
  }
  SimControlOk(0, "clock 59");
  {
    PcscCard card(ReaderName(0));
    Bytes otp = card.Transmit(Secured(key, 0xC9, 0x00, 12, {}));
    ASSERT_EQ(StatusWord(otp), 0x9000);
    // RFC 6238, SHA1, T = 59, 6 digits: 287082.
    EXPECT_EQ(std::string(otp.begin(), otp.end() - 2), "287082");
    Bytes bad = Secured(key, 0xC9, 0x00, 12, {});
    bad.back() ^= 0xFF;
    EXPECT_EQ(StatusWord(card.Transmit(bad)), 0x6988);
    EXPECT_EQ(StatusWord(card.Transmit(Hex("80 E6 00 0C 00"))), 0x9000);
    EXPECT_EQ(StatusWord(card.Transmit(Secured(key, 0xC9, 0x00, 12, {}))), 0x6A83);
  }
  SimControlOk(0, "clock " + std::to_string(std::time(nullptr)));
}

TEST_F(SimSession, ScreenLockExistsOnlyOnTheNewerModel) {
  PcscCard v2(ReaderName(0));
  EXPECT_EQ(StatusWord(v2.Transmit(Hex("80 D8 0C 02 00"))), 0x9000);
  EXPECT_EQ(SimStatus(0, "screen-locked"), "1");
  EXPECT_EQ(StatusWord(v2.Transmit(Hex("80 D8 0C 02 01"))), 0x9000);
  EXPECT_EQ(SimStatus(0, "screen-locked"), "0");
  PcscCard v1(ReaderName(1));
  EXPECT_EQ(StatusWord(v1.Transmit(Hex("80 D8 0C 02 01"))), 0x6D00);
  EXPECT_EQ(StatusWord(v1.Transmit(Hex("80 41 00 32 01 70"))), 0x6A86) << "profile 50 on the 50-profile model";
}

}  // namespace
}  // namespace norvik::simtest
