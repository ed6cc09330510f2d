// The dialog's threads without widgets: the reader list they keep, token
// detection with its once-per-insertion read, the automatic write hook, the
// one-card-thread handshake and the clock text.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
            if (!tokenIn || reader != tokenReader) return nullptr;
        }
        std::this_thread::sleep_for(2ms);  // long enough for a second thread to overlap
        return std::make_unique<Presence>(*this);
    }

    std::mutex mutex;
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
        card.Install(api);
        g_readerName.Set("Reader 1");
        g_readPending = true;
        g_writePending = true;
        g_cardThreadState = CardThreadState::None;
        state.SetFieldUpdateHandler([this] { ++fieldUpdates; });
    }

    ScriptedCard& card = ScriptedCard::Instance();
    CardApi api;
    DialogState state;
    RecordingView view;
    ToolContext ctx{api, state, view, nullptr};
    ScriptedProbe probe;
    std::atomic<int> fieldUpdates{0};
};

TEST_F(Session, ReaderWatchPublishesChangesAndEmptiesOnFailure) {
    std::vector<std::optional<Names>> published;
    ReaderWatch watch(probe, state, [&](const std::optional<Names>& listed) { published.push_back(listed); });
    probe.readers = Names{"Reader 1"};
    state.SetTokenInfo("NV2A00000001", "2026-12-07 10:11:12");
    watch.Cycle();
    watch.Cycle();  // unchanged: not published again
    probe.readers = Names{"Reader 1", "Reader 2"};
    watch.Cycle();
    EXPECT_EQ(state.m_serialNumber.Get(), "NV2A00000001");  // a listing leaves the token alone

    // pcscd gone, or no reader at all: the list and the token fields empty.
    probe.readers = std::nullopt;
    g_readPending = false;
    watch.Cycle();
    ASSERT_EQ(published.size(), 3u);
    EXPECT_EQ(published[0], Names{"Reader 1"});
    EXPECT_EQ(published[1], (Names{"Reader 1", "Reader 2"}));
    EXPECT_EQ(published[2], std::nullopt);
    EXPECT_EQ(state.m_serialNumber.Get(), "");
    EXPECT_EQ(state.m_tokenTime.Get(), "");
    EXPECT_EQ(state.m_tip.Get(), "");

    // An empty list (no failure) also re-arms the token read.
    probe.readers = Names{};
    watch.Cycle();
    EXPECT_TRUE(g_readPending);
}

TEST_F(Session, CardThreadReadsEachInsertionOnceAndClearsOnRemoval) {
    CardMonitor monitor(probe, ctx);
    g_cardThreadState = CardThreadState::Running;

    EXPECT_TRUE(monitor.Cycle());  // no token
    EXPECT_TRUE(card.Calls().empty());
    EXPECT_TRUE(g_readPending);

    probe.tokenIn = true;
    state.m_profile = 7;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(monitor.Cycle());
    EXPECT_EQ(card.Names(), Names{"CardReadSnAndTime"});
    EXPECT_EQ(card.Calls()[0].args, (std::vector<std::string>{"Reader 1", "7", "32", "64"}));
    EXPECT_EQ(state.m_serialNumber.Get(), "NV2A00000001");
    EXPECT_EQ(state.m_tokenTime.Get(), "2026-12-07 10:11:12");
    EXPECT_FALSE(g_readPending);

    probe.tokenIn = false;
    const int updates = fieldUpdates;
    monitor.Cycle();
    EXPECT_EQ(state.m_serialNumber.Get(), "");
    EXPECT_GT(fieldUpdates, updates);

    probe.tokenIn = true;
    monitor.Cycle();
    EXPECT_EQ(card.Names().size(), 2u);  // read again after re-insertion

    // A failed read leaves the fields empty and tries again next cycle.
    g_readPending = true;
    card.Queue("CardReadSnAndTime", 0x80100069);
    monitor.Cycle();
    EXPECT_EQ(state.m_serialNumber.Get(), "");
    EXPECT_TRUE(g_readPending);
    monitor.Cycle();
    EXPECT_EQ(state.m_serialNumber.Get(), "NV2A00000001");

    g_cardThreadState = CardThreadState::StopRequested;
    EXPECT_FALSE(monitor.Cycle());
    EXPECT_EQ(g_cardThreadState, CardThreadState::None);
}

TEST_F(Session, AutomaticWriteRunsOncePerArmingAndToken) {
    int writes = 0;
    CardMonitor monitor(probe, ctx, [&] {
        ++writes;
        state.m_writeArmed = false;
        g_writePending = false;
    });
    g_cardThreadState = CardThreadState::Running;
    probe.tokenIn = true;
    monitor.Cycle();  // present but not armed
    state.m_writeArmed = true;
    monitor.Cycle();
    monitor.Cycle();
    EXPECT_EQ(writes, 1);

    // Armed again with the same token still in: nothing until it is swapped.
    state.m_writeArmed = true;
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
        monitor.Restart();
        EXPECT_EQ(g_cardThreadState, CardThreadState::Running);
        std::this_thread::sleep_for(20ms);
    }
    monitor.Stop();
    EXPECT_EQ(g_cardThreadState, CardThreadState::None);
    EXPECT_FALSE(monitor.Running());
    EXPECT_GE(probe.connects, 5);  // every thread got to work
    EXPECT_EQ(probe.maxOpen, 1);   // never two card threads connected at once
}

TEST(Clock, FieldTextAndTicksOnlyInAutoTime) {
    EXPECT_EQ(FormatUtcTimeField(0), "1970/01/01/00/00/00");
    EXPECT_EQ(FormatUtcTimeField(1733570702), "2024/12/07/11/25/02");
    DialogState state;
    std::vector<std::string> texts;
    ClockTicker clock(state, [&](const std::string& t) { texts.push_back(t); });
    clock.Tick();
    state.m_autoTime = false;
    clock.Tick();
    EXPECT_EQ(texts.size(), 1u);
}

}  // namespace
