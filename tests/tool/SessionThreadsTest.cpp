// The dialog's threads without widgets: the reader list they keep, token
// detection with its once-per-insertion read, the automatic write hook, the
// one-card-thread handshake and the clock text.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "session/CardMonitor.h"
#include "session/ClockTicker.h"
#include "session/ReaderWatch.h"
#include "ScriptedCard.h"
#include "ToolTestViews.h"

using namespace provisor;
using tooltest::RecordingView;
using tooltest::ScriptedCard;
using namespace std::chrono_literals;

namespace {

using Names = std::vector<std::string>;

// Readers and tokens as a script says; counts connections that overlap.
class ScriptedProbe final : public IPcscProbe {
public:
    struct Presence final : ICardPresence {
        explicit Presence(ScriptedProbe& p) : probe(p) {
            const int now = ++probe.open;
            int seen = probe.maxOpen;
            while (now > seen && !probe.maxOpen.compare_exchange_weak(seen, now)) {}
        }
        ~Presence() override { --probe.open; }
        ScriptedProbe& probe;
    };

    std::optional<std::vector<std::string>> ListReaders() override {
        std::lock_guard lock(mutex);
        return readers;
    }
    std::unique_ptr<ICardPresence> ConnectShared(const std::string& reader) override {
        {
            std::lock_guard lock(mutex);
            ++connects;
            connected.notify_all();
            if (!tokenIn || reader != tokenReader) return nullptr;
        }
        std::this_thread::sleep_for(2ms);  // long enough for a second thread to overlap
        return std::make_unique<Presence>(*this);
    }

    int Connects() {
        std::lock_guard lock(mutex);
        return connects;
    }
    bool WaitForConnects(int n) {
        std::unique_lock lock(mutex);
        return connected.wait_for(lock, 10s, [&] { return connects >= n; });
    }

    std::mutex mutex;
    std::condition_variable connected;
    std::optional<std::vector<std::string>> readers;
    bool tokenIn = false;
    std::string tokenReader = "Reader 1";
    int connects = 0;
    std::atomic<int> open{0};
    std::atomic<int> maxOpen{0};
};

TEST(ReaderList, KeepsOrderAppendsNewNamesAndDropsOnlyExactVanishedOnes) {
    ReaderListEdit edit = ReconcileReaderList({"Reader 1", "Reader 2"}, {"Reader 2", "Reader 1", "Reader 3"});
    EXPECT_TRUE(edit.removeIndices.empty());
    EXPECT_EQ(edit.append, Names{"Reader 3"});

    // "Reader 1" is gone although "Reader 10" contains its name.
    edit = ReconcileReaderList({"Reader 1", "Reader 10", "Reader 2"}, {"Reader 10"});
    EXPECT_EQ(edit.removeIndices, (std::vector<int>{2, 0}));  // last first
    EXPECT_TRUE(edit.append.empty());

    edit = ReconcileReaderList({}, {"A", "A", "B"});
    EXPECT_EQ(edit.append, (Names{"A", "B"}));
}

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        card.Reset();
        card.Install(session.cardApi);
        session.g_readerName.Set("Reader 1");
        session.SetFieldUpdateHandler([this] { ++fieldUpdates; });
    }

    ScriptedCard& card = ScriptedCard::Instance();
    ManualClock clock;
    ToolSession session{&clock};
    RecordingView view;
    ToolContext ctx{session, view, nullptr};
    ScriptedProbe probe;
    std::atomic<int> fieldUpdates{0};
};

TEST_F(Session, ReaderWatchPublishesChangesAndEmptiesOnFailure) {
    std::vector<std::optional<Names>> published;
    ReaderWatch watch(probe, session, [&](const std::optional<Names>& listed) { published.push_back(listed); });
    probe.readers = Names{"Reader 1"};
    session.SetTokenInfo({"NV2A00000001", "2026-12-07 10:11:12"});
    watch.Cycle();
    watch.Cycle();  // unchanged: not published again
    probe.readers = Names{"Reader 1", "Reader 2"};
    watch.Cycle();
    EXPECT_EQ(session.SerialNumber(), "NV2A00000001");  // a listing leaves the token alone

    // pcscd gone, or no reader at all: the list and the token fields empty.
    probe.readers = std::nullopt;
    session.g_readPending = false;
    watch.Cycle();
    ASSERT_EQ(published.size(), 3u);
    EXPECT_EQ(published[0], Names{"Reader 1"});
    EXPECT_EQ(published[1], (Names{"Reader 1", "Reader 2"}));
    EXPECT_EQ(published[2], std::nullopt);
    EXPECT_EQ(session.SerialNumber(), "");
    EXPECT_EQ(session.Token().tokenTime, "");
    EXPECT_EQ(session.Tip(), "");

    // An empty list (no failure) also re-arms the token read.
    probe.readers = Names{};
    watch.Cycle();
    EXPECT_TRUE(session.g_readPending);
}

TEST_F(Session, CardThreadReadsEachInsertionOnceAndClearsOnRemoval) {
    CardMonitor monitor(probe, ctx);
    session.g_cardThreadState = CardThreadState::Running;

    EXPECT_TRUE(monitor.Cycle());  // no token
    EXPECT_TRUE(card.Calls().empty());
    EXPECT_TRUE(session.g_readPending);

    probe.tokenIn = true;
    session.m_profile = 7;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(monitor.Cycle());
    EXPECT_EQ(card.Names(), Names{"CardReadSnAndTime"});
    EXPECT_EQ(card.Calls()[0].args, (std::vector<std::string>{"Reader 1", "7", "32", "64"}));
    EXPECT_EQ(session.SerialNumber(), "NV2A00000001");
    EXPECT_EQ(session.Token().tokenTime, "2026-12-07 10:11:12");
    EXPECT_FALSE(session.g_readPending);

    probe.tokenIn = false;
    const int updates = fieldUpdates;
    monitor.Cycle();
    EXPECT_EQ(session.SerialNumber(), "");
    EXPECT_GT(fieldUpdates, updates);

    probe.tokenIn = true;
    monitor.Cycle();
    EXPECT_EQ(card.Names().size(), 2u);  // read again after re-insertion

    // A failed read leaves the fields empty and tries again next cycle.
    session.g_readPending = true;
    card.Queue("CardReadSnAndTime", 0x80100069);
    monitor.Cycle();
    EXPECT_EQ(session.SerialNumber(), "");
    EXPECT_TRUE(session.g_readPending);
    monitor.Cycle();
    EXPECT_EQ(session.SerialNumber(), "NV2A00000001");

    session.g_cardThreadState = CardThreadState::StopRequested;
    EXPECT_FALSE(monitor.Cycle());
    EXPECT_EQ(session.g_cardThreadState, CardThreadState::None);
}

TEST_F(Session, AutomaticWriteRunsOncePerArmingAndToken) {
    int writes = 0;
    CardMonitor monitor(probe, ctx, [&] {
        ++writes;
        session.m_writeArmed = false;
        session.g_writePending = false;
    });
    session.g_cardThreadState = CardThreadState::Running;
    probe.tokenIn = true;
    monitor.Cycle();  // present but not armed
    session.m_writeArmed = true;
    monitor.Cycle();
    monitor.Cycle();
    EXPECT_EQ(writes, 1);

    // Armed again with the same token still in: nothing until it is swapped.
    session.m_writeArmed = true;
    monitor.Cycle();
    EXPECT_EQ(writes, 1);
    probe.tokenIn = false;
    monitor.Cycle();
    probe.tokenIn = true;
    monitor.Cycle();
    EXPECT_EQ(writes, 2);
}

TEST_F(Session, ConnectingAgainStopsTheRunningCardThreadFirst) {
    probe.tokenIn = true;
    CardMonitor monitor(probe, ctx);
    for (int i = 0; i < 5; ++i) {
        const int before = probe.Connects();
        monitor.Restart();
        EXPECT_EQ(session.g_cardThreadState, CardThreadState::Running);
        // Each thread's first cycle connects at once; the next restart
        // comes after it.
        ASSERT_TRUE(probe.WaitForConnects(before + 1));
    }
    monitor.Stop();
    EXPECT_EQ(session.g_cardThreadState, CardThreadState::None);
    EXPECT_FALSE(monitor.Running());
    EXPECT_GE(probe.connects, 5);  // every thread got to work
    EXPECT_EQ(probe.maxOpen, 1);   // never two card threads connected at once
}

// A library that reports more than it was given room for: the texts stop at
// their buffers (ASan would see a read past them).
TEST_F(Session, ReadLengthsBeyondTheBuffersStopAtTheBuffers) {
    card.overrunBuffers = true;
    session.g_cardThreadState = CardThreadState::Running;
    CardMonitor monitor(probe, ctx);
    probe.tokenIn = true;
    monitor.Cycle();
    EXPECT_EQ(session.Token(), (TokenInfo{std::string(32, 'S'), std::string(64, 'C')}));
    const SerialAndClock read = session.cardApi.ReadSnAndTime("Reader 1", 0);
    EXPECT_EQ(read.serial.size(), 32u);
    EXPECT_EQ(read.clock.size(), 64u);
}

// Only a change wakes the UI thread: the same token read twice, or a tip
// emptied that was empty, is not worth a repaint.
TEST_F(Session, FieldUpdatesWithoutAChangeInBetweenArePostedOnce) {
    const int start = fieldUpdates;
    session.PostFieldUpdate();  // the handler's first, whatever it finds
    EXPECT_EQ(fieldUpdates, start + 1);
    session.SetTokenInfo({"NV2A00000001", "2026-12-07 10:11:12"});
    session.PostFieldUpdate();
    session.SetTokenInfo({"NV2A00000001", "2026-12-07 10:11:12"});
    session.SetTip({});
    session.PostFieldUpdate();
    session.PostFieldUpdate();
    EXPECT_EQ(fieldUpdates, start + 2);
    session.SetTokenInfo({"NV2A00000001", "2026-12-07 10:11:13"});
    session.PostFieldUpdate();
    EXPECT_EQ(fieldUpdates, start + 3);
}

// What belongs together is read together: no reader sees one token's serial
// with another's clock, or counters that do not add up.
TEST_F(Session, TokenAndCountersChangeTogether) {
    const TokenInfo a{"NV2A00000001", "2026-12-07 10:11:12"}, b{"NV1B00000002", "2027-01-01 00:00:00"};
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            const TokenInfo seen = session.Token();
            if (seen != a && seen != b && seen != TokenInfo{}) ++torn;
            const ResultCounters c = session.Counters();
            if (c.total != c.success + c.fail) ++torn;
        }
    });
    for (int i = 0; i < 20000; ++i) {
        session.SetTokenInfo(i % 2 ? a : b);
        session.CountResult(i % 3 != 0);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(session.Counters(), (ResultCounters{20000, 13333, 6667}));
    EXPECT_EQ(session.ResetCounters(), ResultCounters{});
}

TEST(Clock, FieldTextAndTicksOnlyInAutoTime) {
    EXPECT_EQ(FormatUtcTimeField(0), "1970/01/01/00/00/00");
    EXPECT_EQ(FormatUtcTimeField(1733570702), "2024/12/07/11/25/02");
    ManualClock clock(std::chrono::system_clock::from_time_t(1733570702));
    ToolSession session(&clock);
    std::vector<std::string> texts;
    ClockTicker ticker(session, [&](const std::string& t) { texts.push_back(t); });
    ticker.Tick();
    session.m_autoTime = false;
    ticker.Tick();
    EXPECT_EQ(texts, std::vector<std::string>{"2024/12/07/11/25/02"});
}

}  // namespace
