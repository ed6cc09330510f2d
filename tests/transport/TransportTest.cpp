// The session slot and the exchange, against the in-process PC/SC double.
#include "CardSession.h"
#include "PcscDouble.h"

#include <gtest/gtest.h>

#include <PCSC/pcsclite.h>

#include <atomic>
#include <string>
#include <thread>

using namespace quillon;
using pcscdouble::Bytes;
using pcscdouble::Hex;

namespace {

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override { pcscdouble::Reset(); }
    void TearDown() override {
        if (CurrentCardSession().card || CurrentCardSession().context) CloseCardSession();
    }
    static bool SessionClear() {
        const CardSession& s = CurrentCardSession();
        return s.context == 0 && s.card == 0 && s.activeProtocol == 0;
    }
    static LONG Send(const Bytes& cmd, Response& r) {
        r.length = kResponseCapacity;
        return DrvSendApdu(cmd.data(), static_cast<DWORD>(cmd.size()), r.data, &r.length);
    }
};

TEST_F(TransportTest, OpenFailuresLeaveNothingBehind) {
    // Unknown reader: the context that was established is released again.
    EXPECT_FALSE(OpenCardSession("No Such Reader"));
    EXPECT_TRUE(SessionClear());
    EXPECT_EQ(pcscdouble::LiveContexts(), 0);

    // Resource manager down: no connect is attempted.
    pcscdouble::FailEstablish(static_cast<LONG>(SCARD_E_NO_SERVICE));
    EXPECT_FALSE(OpenCardSession("Norvik Reader 0"));
    EXPECT_TRUE(SessionClear());
    EXPECT_EQ(pcscdouble::ConnectCount(), 1);  // only the unknown-reader attempt above

    pcscdouble::Reset();
    pcscdouble::FailConnect(static_cast<LONG>(SCARD_E_NO_SMARTCARD));
    EXPECT_FALSE(OpenCardSession("Norvik Reader 0"));
    EXPECT_TRUE(SessionClear());
    EXPECT_EQ(pcscdouble::LiveContexts(), 0);

    EXPECT_FALSE(OpenCardSession(nullptr));
    EXPECT_TRUE(SessionClear());
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
}

TEST_F(TransportTest, OpenAndCloseRoundTrip) {
    ASSERT_TRUE(OpenCardSession("Norvik Reader 0"));
    EXPECT_NE(CurrentCardSession().context, 0);
    EXPECT_NE(CurrentCardSession().card, 0);
    EXPECT_EQ(CurrentCardSession().activeProtocol, static_cast<DWORD>(SCARD_PROTOCOL_T1));
    CloseCardSession();
    EXPECT_TRUE(SessionClear());
    EXPECT_EQ(pcscdouble::LiveContexts(), 0);
    EXPECT_EQ(pcscdouble::LiveCards(), 0);
    EXPECT_EQ(pcscdouble::LastDisposition(), static_cast<DWORD>(SCARD_LEAVE_CARD));
}

TEST_F(TransportTest, ProtocolSelectsMatchingPci) {
    for (DWORD protocol : {DWORD{SCARD_PROTOCOL_T0}, DWORD{SCARD_PROTOCOL_T1}}) {
        pcscdouble::Reset();
        pcscdouble::SetProtocol(protocol);
        ASSERT_TRUE(OpenCardSession("Norvik Reader 0"));
        pcscdouble::QueueResponse(Hex("90 00"));
        Response r;
        ASSERT_EQ(Send(Hex("80 41 00 00 02 02 11"), r), SCARD_S_SUCCESS);
        CloseCardSession();
        auto sent = pcscdouble::SentApdus();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].sendPci, protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1);
    }
}

TEST_F(TransportTest, GetResponseFetchesUntilTheRealAnswer) {
    ASSERT_TRUE(OpenCardSession("Norvik Reader 0"));
    pcscdouble::QueueResponse(Hex("90 60"));
    pcscdouble::QueueResponse(Hex("01 02 90 60"));
    pcscdouble::QueueResponse(Hex("AA BB CC 90 00"));
    Response r;
    ASSERT_EQ(Send(Hex("80 4B 08 00 00"), r), SCARD_S_SUCCESS);
    EXPECT_EQ(Bytes(r.data, r.data + r.length), Hex("AA BB CC 90 00"));

    auto sent = pcscdouble::SentApdus();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].command, Hex("80 4B 08 00 00"));
    EXPECT_EQ(sent[1].command, Hex("00 C0 00 00 00"));
    EXPECT_EQ(sent[2].command, Hex("00 C0 00 00 00"));
    // Every fetch is offered the whole buffer, not the short 90 60 answer's length.
    for (const auto& s : sent) EXPECT_EQ(s.capacity, kResponseCapacity);
}

TEST_F(TransportTest, EndlessGetResponseIsBounded) {
    ASSERT_TRUE(OpenCardSession("Norvik Reader 0"));
    pcscdouble::SetResponder([](const Bytes&) { return Hex("90 60"); });
    Response r;
    EXPECT_EQ(Send(Hex("80 4B 08 00 00"), r), kGetResponseExhausted);
    EXPECT_EQ(pcscdouble::TransmitCount(), static_cast<size_t>(1 + kMaxGetResponse));
}

TEST_F(TransportTest, TransmitFailurePassesThrough) {
    ASSERT_TRUE(OpenCardSession("Norvik Reader 0"));
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    Response r;
    EXPECT_EQ(Send(Hex("80 41 00 00 02 02 11"), r), static_cast<LONG>(SCARD_W_REMOVED_CARD));

    // A failure while fetching is a failure of the whole exchange.
    pcscdouble::QueueResponse(Hex("90 60"));
    pcscdouble::FailTransmitAt(2, static_cast<LONG>(SCARD_E_TIMEOUT));
    EXPECT_EQ(Send(Hex("80 41 00 00 02 02 11"), r), static_cast<LONG>(SCARD_E_TIMEOUT));
}

TEST_F(TransportTest, ShortResponsesHaveNoStatusWord) {
    Response r;
    r.length = 0;
    EXPECT_EQ(r.StatusWord(), 0);
    EXPECT_FALSE(r.Ok());
    r.data[0] = 0x90;
    r.length = 1;
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(r.DataLength(), 0u);
    r.data[1] = 0x00;
    r.length = 2;
    EXPECT_TRUE(r.Ok());
}

TEST_F(TransportTest, ConcurrentExchangesNeverInterleave) {
    ASSERT_TRUE(OpenCardSession("Norvik Reader 0"));
    // Each command is answered 90 60 twice before its real answer; if
    // another thread's command slipped in between, it would be logged
    // between a command and its GET RESPONSEs.
    std::atomic<int> pending{0};
    pcscdouble::SetResponder([&](const Bytes& cmd) {
        std::this_thread::yield();
        if (cmd[0] == 0x80) {
            pending = 2;
            return Hex("90 60");
        }
        return --pending > 0 ? Hex("90 60") : Bytes{cmd[0], 0x90, 0x00};
    });
    constexpr int kRounds = 300;
    auto worker = [&](uint8_t p2) {
        for (int i = 0; i < kRounds; ++i) {
            Response r;
            Bytes cmd = {0x80, 0x41, 0x00, p2, 0x00};
            ASSERT_EQ(Send(cmd, r), SCARD_S_SUCCESS);
            ASSERT_TRUE(r.Ok());
        }
    };
    std::thread a(worker, 1), b(worker, 2);
    a.join();
    b.join();

    auto sent = pcscdouble::SentApdus();
    ASSERT_EQ(sent.size(), static_cast<size_t>(2 * kRounds * 3));
    for (size_t i = 0; i < sent.size(); i += 3) {
        EXPECT_EQ(sent[i].command[0], 0x80) << "at " << i;
        EXPECT_EQ(sent[i + 1].command, Hex("00 C0 00 00 00")) << "at " << i;
        EXPECT_EQ(sent[i + 2].command, Hex("00 C0 00 00 00")) << "at " << i;
    }
}

}  // namespace
