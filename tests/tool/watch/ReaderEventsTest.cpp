// The reader event watcher through the real pcscd, vpcd and the virtual
// tokens of the norvik_pcsc fixture: tokens pulled, put back and swapped for
// others through the control channel, stops from another thread and from a
// signal, pcscd restarted under it, and library calls made while tokens come
// and go. Every test hands the fixture back with its two tokens in place.
#include "watch/ReaderEvents.h"

#include "NorvikSimModel.h"
#include "Quillon.h"
#include "SimControl.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <random>
#include <thread>

namespace provisor {
namespace {

namespace sim = norvik::simtest;
using namespace std::chrono_literals;
using Kind = ReaderEvent::Kind;

const std::string kSerials[2] = {"NV2A00000001", "NV1B00000002"};

bool IsFixtureReader(const std::string& name) { return name == sim::ReaderName(0) || name == sim::ReaderName(1); }

std::string Text(Kind kind, const std::string& reader) { return std::string(ToString(kind)) + ": " + reader; }
std::string Text(const ReaderEvent& e) { return Text(e.kind, e.reader); }

// The next `count` events of the fixture's readers, each within `within`;
// fewer when one does not come.
std::vector<std::string> Events(ReaderWatcher& watcher, size_t count, std::chrono::milliseconds within = 15s) {
    std::vector<std::string> out;
    while (out.size() < count) {
        const auto e = watcher.Next(within);
        if (!e) break;
        if (IsFixtureReader(e->reader)) out.push_back(Text(*e));
    }
    return out;
}

// Events until both readers hold a token again (or `within` passes without
// an event), sorted per reader.
std::map<std::string, std::vector<std::string>> EventsUntilBothHoldATokenAgain(ReaderWatcher& watcher,
                                                                               std::chrono::milliseconds within) {
    std::map<std::string, std::vector<std::string>> perReader;
    std::map<std::string, bool> token;
    while (!token[sim::ReaderName(0)] || !token[sim::ReaderName(1)]) {
        const auto e = watcher.Next(within);
        if (!e) break;
        if (!IsFixtureReader(e->reader)) continue;
        // Present or inserted depends on whether the reader came back before
        // or after its token: both mean "a token is there now".
        const Kind kind = e->kind == Kind::TokenPresent ? Kind::TokenInserted : e->kind;
        perReader[e->reader].push_back(ToString(kind));
        token[e->reader] = kind == Kind::TokenInserted;
    }
    return perReader;
}

std::string LibrarySerial(const std::string& reader) {
    char serial[32], clock[64];
    uint32_t sl = sizeof serial, cl = sizeof clock;
    if (CardReadSnAndTime(reader.c_str(), 0, serial, &sl, clock, &cl) != CARD_OK) return "(no answer)";
    return std::string(serial, sl);
}

class ReaderEventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 2; ++i) sim::ResetSim(i);
        // pcscd looks at the readers only every 400 ms or so: a token an
        // earlier test pulled or put back may not have been seen yet. Wait
        // until the readers have been quiet for longer than that.
        ReaderWatcher settle;
        while (settle.Next(700ms)) {}
    }
    void TearDown() override {
        if (pcscdStopped) {
            EXPECT_TRUE(StartPcscd());
        }
        // The fixture's own tokens, fresh, where they were, and seen there.
        for (int i = 0; i < 2; ++i) {
            if (sim::SimStatus(i, "serial") != kSerials[i]) {
                const DWORD before = sim::CardEventCount(sim::ReaderName(i));
                sim::SimControlOk(i, "insert-new " + kSerials[i]);
                EXPECT_TRUE(sim::WaitForCardEvents(sim::ReaderName(i), before + 2));
            }
            sim::ResetSim(i);
        }
    }
    // pcscd (again) as the fixture starts it; the simulators find it themselves.
    static bool StartPcscd() {
        const std::string command = "PCSC_ENV_DIR='" + sim::EnvDir() +
                                    "' NORVIK_BIN_DIR='" NORVIK_BIN_DIR "' bash '" PCSC_ENV_SCRIPT
                                    "' start --sims 0 >/dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    }
    // The next four events: `first` then `second` on each reader (the two
    // readers' events may interleave).
    static void ExpectOnEachReader(ReaderWatcher& watcher, Kind first, Kind second) {
        std::map<std::string, std::vector<std::string>> perReader;
        for (const std::string& e : Events(watcher, 4)) perReader[e.substr(e.find(": ") + 2)].push_back(e);
        for (int i = 0; i < 2; ++i) {
            const std::string reader = sim::ReaderName(i);
            EXPECT_EQ(perReader[reader], (std::vector<std::string>{Text(first, reader), Text(second, reader)}));
        }
    }
    // Reads the start-up events: both readers, both tokens present.
    void ExpectBothTokensPresent(ReaderWatcher& watcher) {
        const std::string r0 = sim::ReaderName(0), r1 = sim::ReaderName(1);
        EXPECT_EQ(Events(watcher, 4),
                  (std::vector<std::string>{Text(Kind::ReaderAdded, r0), Text(Kind::ReaderAdded, r1),
                                            Text(Kind::TokenPresent, r0), Text(Kind::TokenPresent, r1)}));
    }

    bool pcscdStopped = false;
};

TEST_F(ReaderEventsTest, TokensPresentAtStartThenEveryRemovalInsertionAndSwapInOrder) {
    ReaderWatcher watcher;
    ExpectBothTokensPresent(watcher);
    for (const ReaderStatus& r : watcher.Readers()) {
        if (!IsFixtureReader(r.reader)) continue;
        EXPECT_TRUE(r.token) << r.reader;
        const std::vector<uint8_t> atr = {0x3B, 0x87, 0x80, 0x01, 'N', 'O', 'R', 'V', 'I', 'K', '2'};
        ASSERT_EQ(r.atr.size(), atr.size() + 1) << r.reader;
        EXPECT_TRUE(std::equal(atr.begin(), atr.end(), r.atr.begin())) << r.reader;
    }
    EXPECT_EQ(Events(watcher, 1, 1500ms), std::vector<std::string>{}) << "an idle reader reports nothing";

    for (int i = 0; i < 2; ++i) {
        const std::string reader = sim::ReaderName(i);
        SCOPED_TRACE(reader);
        sim::SimControlOk(i, "remove");
        EXPECT_EQ(Events(watcher, 1), std::vector<std::string>{Text(Kind::TokenRemoved, reader)});
        sim::SimControlOk(i, "insert");
        EXPECT_EQ(Events(watcher, 1), std::vector<std::string>{Text(Kind::TokenInserted, reader)});

        // The operator's swap, and the new token answers with its own serial
        // number to a library call made on the watching thread.
        const std::string serial = "NVW" + std::to_string(i) + "00000042";
        sim::SimControlOk(i, "insert-new " + serial);
        EXPECT_EQ(Events(watcher, 2),
                  (std::vector<std::string>{Text(Kind::TokenRemoved, reader), Text(Kind::TokenInserted, reader)}));
        EXPECT_EQ(LibrarySerial(reader), serial);

        // A swap done while the station was busy elsewhere (not waiting) is
        // still one token out and another in, not nothing.
        const DWORD before = sim::CardEventCount(reader);
        sim::SimControlOk(i, "insert-new " + kSerials[i]);
        ASSERT_TRUE(sim::WaitForCardEvents(reader, before + 2));
        EXPECT_EQ(Events(watcher, 2),
                  (std::vector<std::string>{Text(Kind::TokenRemoved, reader), Text(Kind::TokenInserted, reader)}));
        EXPECT_EQ(LibrarySerial(reader), kSerials[i]);
    }
    // Both at once: each reader's own events, in order.
    sim::SimControlOk(0, "insert-new NVW000000043");
    sim::SimControlOk(1, "insert-new NVW100000043");
    ExpectOnEachReader(watcher, Kind::TokenRemoved, Kind::TokenInserted);
    EXPECT_EQ(Events(watcher, 1, 1500ms), std::vector<std::string>{});
}

TEST_F(ReaderEventsTest, StopEndsAWaitingNextFromAnotherThreadOrOnASignal) {
    {
        ReaderWatcher watcher;
        watcher.Stop();
        EXPECT_FALSE(watcher.Next()) << "stopped before the first wait";
    }
    // pcsc-lite drops a cancel that reaches pcscd before the wait is
    // registered there; stops at every moment around the start of a wait
    // must all end it.
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        ReaderWatcher watcher;
        ASSERT_EQ(Events(watcher, 4).size(), 4u);
        const auto delay = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 800)(random));
        std::thread stopper([&] {
            std::this_thread::sleep_for(delay);
            watcher.Stop();
        });
        const auto start = std::chrono::steady_clock::now();
        // A token event of the fixture may come first; then it is nullopt.
        while (watcher.Next(60s)) {}
        const auto waited = std::chrono::steady_clock::now() - start;
        stopper.join();
        EXPECT_TRUE(watcher.Stopped());
        // Not a speed check: a lost stop would sit out the whole minute.
        EXPECT_LT(waited, 10s) << "round " << round << ", stop after " << delay.count() << " us";
        EXPECT_FALSE(watcher.Next()) << "stays stopped";
    }

    ReaderWatcher watcher;
    ASSERT_EQ(Events(watcher, 4).size(), 4u);
    struct sigaction before {};
    sigaction(SIGTERM, nullptr, &before);
    {
        StopOnSignals stopOnSignals(watcher);
        EXPECT_THROW(StopOnSignals{watcher}, std::logic_error);
        std::thread killer([] {
            std::this_thread::sleep_for(100ms);
            kill(getpid(), SIGTERM);
        });
        const auto start = std::chrono::steady_clock::now();
        while (watcher.Next(60s)) {}
        EXPECT_TRUE(watcher.Stopped());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
        killer.join();
        EXPECT_EQ(stopOnSignals.Received(), SIGTERM);
    }
    struct sigaction after {};
    sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler) << "the disposition comes back";
}

TEST_F(ReaderEventsTest, PcscdGoingAwayAndComingBackIsFollowed) {
    const std::string envDir = sim::EnvDir();
    std::ifstream pidFile(envDir + "/pcscd.pid");
    pid_t pcscd = 0;
    std::string comm;
    if (pidFile >> pcscd) std::getline(std::ifstream("/proc/" + std::to_string(pcscd) + "/comm"), comm);
    if (comm != "pcscd")
        GTEST_SKIP() << "pcscd was not started by this test environment; somebody else's is not stopped";

    ReaderWatcher watcher;
    ExpectBothTokensPresent(watcher);
    ASSERT_EQ(kill(pcscd, SIGTERM), 0);
    pcscdStopped = true;

    ExpectOnEachReader(watcher, Kind::TokenRemoved, Kind::ReaderRemoved);
    // pcscd away: the watcher waits for it without a word.
    EXPECT_EQ(Events(watcher, 1, 1500ms), std::vector<std::string>{});

    // Gone (or a zombie nobody reaps) before another is started.
    for (int i = 0; i < 150; ++i) {
        std::string stat;
        std::getline(std::ifstream("/proc/" + std::to_string(pcscd) + "/stat"), stat);
        if (stat.empty() || stat.find(") Z ") != std::string::npos) break;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(StartPcscd());
    pcscdStopped = false;
    const auto back = EventsUntilBothHoldATokenAgain(watcher, 15s);
    for (int i = 0; i < 2; ++i) {
        const std::string reader = sim::ReaderName(i);
        EXPECT_EQ(back.count(reader) ? back.at(reader) : std::vector<std::string>{},
                  (std::vector<std::string>{"reader added", "token inserted"}))
            << reader;
        EXPECT_EQ(LibrarySerial(reader), kSerials[i]);
    }
    // And it keeps following the readers of the new pcscd.
    sim::SimControlOk(1, "reinsert");
    EXPECT_EQ(Events(watcher, 2), (std::vector<std::string>{Text(Kind::TokenRemoved, sim::ReaderName(1)),
                                                            Text(Kind::TokenInserted, sim::ReaderName(1))}));
}

// Tokens pulled and put back over and over while library calls run: first
// the way a station uses the watcher (calls made on the watching thread
// between events), then with calls on another thread while the watcher
// waits. Each reader's events must alternate out and in, and end with the
// token in.
TEST_F(ReaderEventsTest, TokensComingAndGoingWhileLibraryCallsRun) {
    constexpr int kCycles = 8;
    for (const bool callsOnAnotherThread : {false, true}) {
        SCOPED_TRACE(callsOnAnotherThread ? "library calls on another thread" : "library calls on the watching thread");
        ReaderWatcher watcher;
        ExpectBothTokensPresent(watcher);

        std::atomic<bool> driving{true};
        std::thread driver([&] {
            std::mt19937 random(11);
            for (int n = 0; n < kCycles; ++n) {
                for (int i = 0; i < 2; ++i) sim::SimControlOk(i, "reinsert 450");
                std::this_thread::sleep_for(std::chrono::milliseconds(1100 + random() % 400));
            }
            driving = false;
        });
        std::atomic<int> calls{0};
        std::thread caller;
        if (callsOnAnotherThread) {
            caller = std::thread([&] {
                while (driving) {
                    LibrarySerial(sim::ReaderName(calls % 2));
                    ++calls;
                }
            });
        }

        std::map<std::string, std::vector<Kind>> perReader;
        auto drain = [&](std::chrono::milliseconds within) {
            while (const auto e = watcher.Next(within)) {
                if (!IsFixtureReader(e->reader)) continue;
                perReader[e->reader].push_back(e->kind);
                if (!callsOnAnotherThread && e->kind == Kind::TokenInserted) {
                    for (int k = 0; k < 3; ++k, ++calls) LibrarySerial(e->reader);
                }
            }
        };
        while (driving) drain(200ms);
        driver.join();
        if (caller.joinable()) caller.join();
        for (int i = 0; i < 2; ++i) ASSERT_TRUE(sim::WaitForCard(sim::ReaderName(i), true));
        drain(1500ms);

        EXPECT_GT(calls.load(), kCycles);
        for (int i = 0; i < 2; ++i) {
            const std::vector<Kind>& kinds = perReader[sim::ReaderName(i)];
            SCOPED_TRACE(sim::ReaderName(i));
            EXPECT_GE(kinds.size(), size_t{kCycles}) << "pcscd saw most removals";
            ASSERT_FALSE(kinds.empty());
            for (size_t k = 0; k < kinds.size(); ++k)
                EXPECT_EQ(kinds[k], k % 2 == 0 ? Kind::TokenRemoved : Kind::TokenInserted) << "event " << k;
            EXPECT_EQ(kinds.back(), Kind::TokenInserted);
        }
    }
}

}  // namespace
}  // namespace provisor
