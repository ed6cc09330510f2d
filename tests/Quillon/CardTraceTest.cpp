// What the exports leave in the trace ring, read back the way a viewer
// reads it, and that a broken ring never changes a command's result.
#include "CommandTestSupport.h"

#include "LockfreeArrayQueue.h"
#include "Trace.h"
#include "TraceObjects.h"
#include "VkShmLogger.h"

#include <PCSC/pcsclite.h>

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>

using namespace quillon;
using namespace quillon::testing;

namespace {

const char* kKey = "6B3F09D2A4C8571E90B2D6F4138A5C7E";

struct Line {
    uint32_t level;
    std::string text;
    std::string file;
};

bool IsHexDump(const std::string& s) { return s.find_first_not_of("0123456789ABCDEF") == std::string::npos; }

class CardTraceTest : public CommandTest {
protected:
    void SetUp() override {
        CommandTest::SetUp();
        static std::atomic<unsigned> counter{0};
        prefix_ = "QuillonCmdTrace-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        names_ = MakeTraceObjectNames(prefix_);
        SetTraceObjectPrefixForTesting(prefix_.c_str());
        ResetTraceBackoffForTesting();
        viewer_ = std::make_unique<CVkShmLogger>(names_);
        ASSERT_EQ(viewer_->Attach(), 0);
        ASSERT_TRUE(viewer_->RegisterAsReader());
    }
    void TearDown() override {
        viewer_.reset();
        ReleaseParkedTraceRing();
        SetTraceObjectPrefixForTesting(nullptr);
        ResetTraceBackoffForTesting();
        shm_unlink(names_.ring.c_str());
        CommandTest::TearDown();
    }

    std::vector<Line> Drain() {
        std::vector<Line> lines;
        TraceRecord rec;
        while (viewer_->Queue().Pop(rec)) {
            Line l;
            l.level = rec.level;
            l.text.assign(rec.text, strnlen(rec.text, sizeof rec.text));
            l.file.assign(rec.file, strnlen(rec.file, sizeof rec.file));
            lines.push_back(l);
        }
        return lines;
    }
    // Labels in order, each hexadecimal dump shown as "<hex>" (a dump with
    // data withheld is not one, and shows as it is).
    std::vector<std::string> Labels(const std::vector<Line>& lines) {
        std::vector<std::string> out;
        for (const auto& l : lines) out.push_back(IsHexDump(l.text) ? "<hex>" : l.text);
        return out;
    }

    std::string prefix_;
    TraceObjectNames names_;
    std::unique_ptr<CVkShmLogger> viewer_;
};

TEST_F(CardTraceTest, SerialCommandAndGetResponseNote) {
    pcscdouble::QueueResponse(Hex("90 60"));
    pcscdouble::QueueResponse(Hex("01 02 03 04 41 42 00 EE EE 00 00 00 3C 90 00"));
    char serial[32], clock[32];
    uint32_t sl = 32, cl = 32;
    ASSERT_EQ(CardReadSnAndTime(kReader, 0, serial, &sl, clock, &cl), CARD_OK);

    auto lines = Drain();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].level, 3u);
    EXPECT_EQ(lines[0].text, "PcscCommand()-> SEND_AGAIN 00C0000000");
    EXPECT_EQ(lines[1].level, 1u);
    EXPECT_EQ(lines[1].text, "CardReadSnAndTime->Recv: ");
    EXPECT_EQ(lines[2].level, 1u);
    EXPECT_EQ(lines[2].text, "01020304414200EEEE0000003C9000");
    EXPECT_NE(lines[1].file.find("CardSerial.cpp"), std::string::npos);
}

TEST_F(CardTraceTest, TracePointsOfEachExport) {
    struct Case {
        const char* name;
        std::function<uint32_t()> call;
        std::vector<std::string> labels;
    };
    const char* title = "Mail";
    const uint8_t seed[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    int32_t a = 0, b = 0, c = 0;
    char otp[16] = {};
    const std::vector<Case> cases = {
        {"CardVerify",
         [] { return CardVerify(kReader, kKey); },
         {"CardVerify enter", "80CE000010[16 bytes withheld]", "DrvSendApdu->Recv: ", "<hex>", "CardVerify leave"}},
        {"CardChangeKey",
         [] { return CardChangeKey(kReader, kKey, kKey); },
         {"CardChangeKey enter", "84D7000024[36 bytes withheld]", "DrvSendApdu->Recv: ", "<hex>",
          "CardChangeKey leave"}},
        {"CardInitKey", [] { return CardInitKey(kReader); }, {"CardInitKey->Recv: ", "<hex>"}},
        {"CardConfig",
         [&] { return CardConfig(kReader, kKey, 3, "SHA1", 30, 6, 1, nullptr, title, 0, 0); },
         {"CardConfig->Send: ", "<hex>", "CardConfig->Recv: ", "<hex>"}},
        {"CardSetStandbyTime",
         [] { return CardSetStandbyTime(kReader, kKey, 30); },
         {"CardConfig->send: ", "<hex>", "CardConfig->Recv: ", "<hex>"}},
        {"CardDisablePIN",
         [] { return CardDisablePIN(kReader, kKey); },
         {"CardEnablePIN->send: ", "<hex>", "CardEnablePIN->Recv: ", "<hex>"}},
        {"CardSetPIN",
         [] { return CardSetPIN(kReader, kKey, "123456"); },
         {"CardSetPIN enter", "84E0000014[20 bytes withheld]", "DrvSendApdu->Recv: ", "<hex>", "CardSetPIN leave"}},
        {"CardReadOTP",
         [&] { return CardReadOTP(kReader, kKey, 1, otp); },
         {"DrvSendApdu->Recv: ", "[6 bytes withheld]9000"}},
        {"CardReadSeedInfo",
         [&] { return CardReadSeedInfo(kReader, 1, &a, &b, &c); },
         {"CardReadSeedInfo->Recv: ", "<hex>"}},
        {"CardSetkeypad",
         [] { return CardSetkeypad(kReader, kKey, 1); },
         {"DrvSendApdu->Send: ", "<hex>", "DrvSendApdu->Recv: ", "<hex>"}},
        {"CardGetSeedFlag", [&] { return CardGetSeedFlag(kReader, 1, &a); }, {"CardGetSeedFlag->Recv: ", "<hex>"}},
        {"CardScreenLock", [] { return CardScreenLock(kReader); }, {"CardScreenLock->Recv: ", "<hex>"}},
        {"CardScreenUnLock", [] { return CardScreenUnLock(kReader); }, {"CardScreenUnLock->Recv: ", "<hex>"}},
        {"CardSetTime", [] { return CardSetTime(kReader, kKey, "2024/1/1/0/0/0", -1); }, {}},
        {"CardBurnSeed", [&] { return CardBurnSeed(kReader, kKey, 1, seed, 10); }, {}},
        {"CardSeal", [] { return CardSeal(kReader, kKey); }, {}},
        {"CardChgPrompt", [&] { return CardChgPrompt(kReader, kKey, 1, title, 4); }, {}},
        {"CardDeleteSeed", [] { return CardDeleteSeed(kReader, 1); }, {}},
    };
    for (const auto& tc : cases) {
        pcscdouble::Reset();
        // A profile record good enough for the record readers, success for the rest.
        pcscdouble::SetResponder([](const Bytes& cmd) {
            if (cmd.size() >= 2 && cmd[1] == 0x41) return Hex("00 00 00 1D 80 00 00 00 01 90 00");
            if (cmd.size() >= 2 && cmd[1] == 0xC9) return Hex("31 32 33 34 35 36 90 00");
            return Hex("01 02 03 04 05 06 07 08 90 00");
        });
        EXPECT_EQ(tc.call(), CARD_OK) << tc.name;
        const auto lines = Drain();
        EXPECT_EQ(Labels(lines), tc.labels) << tc.name;
        // On success every trace point is information, dumps included, and
        // is attributed to the command's own source.
        for (const auto& l : lines) {
            EXPECT_EQ(l.level, 1u) << tc.name << ": " << l.text;
            EXPECT_NE(l.file.find("lib/Quillon/Card"), std::string::npos) << tc.name << ": " << l.file;
        }
    }
}

TEST_F(CardTraceTest, RefusedFirstPinCommandIsAnErrorLine) {
    pcscdouble::QueueResponse(Hex("69 85"));
    pcscdouble::QueueResponse(Hex("90 00"));
    EXPECT_EQ(CardSetPIN(kReader, kKey, "123456"), CARD_E_STATUS_WORD);
    auto lines = Drain();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].text, "Enable PIN failed");
    EXPECT_EQ(lines[1].level, 3u);
    // Only that note is an error; the rest of the command traces as usual.
    std::vector<std::pair<uint32_t, std::string>> seen;
    for (const auto& l : lines) seen.emplace_back(l.level, IsHexDump(l.text) ? "<hex>" : l.text);
    const std::vector<std::pair<uint32_t, std::string>> expected = {{1, "CardSetPIN enter"},
                                                                    {3, "Enable PIN failed"},
                                                                    {1, "84E0000014[20 bytes withheld]"},
                                                                    {1, "DrvSendApdu->Recv: "},
                                                                    {1, "<hex>"},
                                                                    {1, "CardSetPIN leave"}};
    EXPECT_EQ(seen, expected);
}

TEST_F(CardTraceTest, FailedResetExchangeIsAnErrorLineWithTheCode) {
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(CardInitKey(kReader), CARD_E_EXCHANGE);
    auto lines = Drain();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 3u);
    EXPECT_EQ(lines[0].text, "CardInitKey failed, nRet=80100069");
}

TEST_F(CardTraceTest, BrokenRingNeverChangesTheResult) {
    // Another party left a ring whose capacity this build cannot use.
    auto* capacity = reinterpret_cast<uint32_t*>(viewer_->Queue().Base());
    *capacity = 1234;
    pcscdouble::QueueResponse(Hex("01 02 03 04 41 42 EE EE 00 00 00 00 90 00"));
    char serial[32], clock[32];
    uint32_t sl = 32, cl = 32;
    EXPECT_EQ(CardReadSnAndTime(kReader, 0, serial, &sl, clock, &cl), CARD_OK);
    EXPECT_EQ(std::string(serial, sl), "AB");
    *capacity = 32768;
    EXPECT_TRUE(Drain().empty());  // the lines were dropped, not written

    // Garbage counters: indexing stays inside the ring, the command succeeds.
    ResetTraceBackoffForTesting();  // the failed attach above is not retried at once
    auto* ring = reinterpret_cast<uint32_t*>(viewer_->Queue().Base());
    ring[1] = 0xFFFFFFF0u;  // head
    ring[2] = 0x12345678u;  // tail
    ring[3] = 0x00000007u;  // commit
    pcscdouble::QueueResponse(Hex("01 02 03 04 41 42 EE EE 00 00 00 00 90 00"));
    EXPECT_EQ(CardReadSnAndTime(kReader, 0, serial, &sl, clock, &cl), CARD_OK);
}

}  // namespace
