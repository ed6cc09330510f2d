// Card removal and insertion as pcsc-lite reports them.
#include "SimControl.h"

#include <gtest/gtest.h>

#include <signal.h>

namespace norvik::simtest {
namespace {

class SimRemoval : public ::testing::Test {
 protected:
  void SetUp() override { ResetSim(0); }
  void TearDown() override { ResetSim(0); }
};

TEST_F(SimRemoval, RemoveAndInsertAreSeenByGetStatusChange) {
  SCARDCONTEXT ctx = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx), SCARD_S_SUCCESS);
  const std::string reader = ReaderName(0);
  SCARD_READERSTATE st{};
  st.szReader = reader.c_str();
  st.dwCurrentState = SCARD_STATE_UNAWARE;
  ASSERT_EQ(SCardGetStatusChange(ctx, 0, &st, 1), SCARD_S_SUCCESS);
  ASSERT_TRUE(st.dwEventState & SCARD_STATE_PRESENT);

  SimControlOk(0, "remove");
  st.dwCurrentState = st.dwEventState & ~SCARD_STATE_CHANGED;
  ASSERT_EQ(SCardGetStatusChange(ctx, 10000, &st, 1), SCARD_S_SUCCESS);
  EXPECT_TRUE(st.dwEventState & SCARD_STATE_EMPTY);
  EXPECT_EQ(SimStatus(0, "inserted"), "0");
  {
    SCARDHANDLE card = 0;
    DWORD proto = 0;
    EXPECT_EQ(
        SCardConnect(ctx, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &proto),
        static_cast<LONG>(SCARD_E_NO_SMARTCARD));
  }

  SimControlOk(0, "insert");
  st.dwCurrentState = st.dwEventState & ~SCARD_STATE_CHANGED;
  ASSERT_EQ(SCardGetStatusChange(ctx, 10000, &st, 1), SCARD_S_SUCCESS);
  EXPECT_TRUE(st.dwEventState & SCARD_STATE_PRESENT);
  SCardReleaseContext(ctx);
  PcscCard card(reader);
  EXPECT_EQ(StatusWord(card.Transmit(Hex("80 41 00 00 02 02 11"))), 0x9000);
}

TEST_F(SimRemoval, SigusrOneReinsertsAndOpenHandlesNoticeIt) {
  const std::string reader = ReaderName(0);
  PcscCard held(reader);
  ASSERT_EQ(StatusWord(held.Transmit(Hex("80 4B 08 00 00"))), 0x9000);

  const DWORD before = CardEventCount(reader);
  const int pid = std::stoi(SimStatus(0, "pid"));
  ASSERT_EQ(kill(pid, SIGUSR1), 0);
  // Gone and back: two more card events, whatever the polling caught of
  // the absent phase in between.
  EXPECT_TRUE(WaitForCardEvents(reader, before + 2)) << "no removal + insertion counted";

  Bytes r;
  EXPECT_EQ(held.Transmit(Hex("80 4B 08 00 00"), r), static_cast<LONG>(SCARD_W_REMOVED_CARD));
  PcscCard fresh(reader);
  EXPECT_EQ(StatusWord(fresh.Transmit(Hex("80 4B 08 00 00"))), 0x9000);
}

}  // namespace
}  // namespace norvik::simtest
