// The tool's one state object: everything a run keeps that more than one
// thread reads, reached through the context every flow gets. The dialog
// makes one for its lifetime, keyloom one per command, a test one per case.
//
// The names the operator's documentation uses stay: g_ for what it calls
// process-wide, m_ for what it calls the dialog's. Values that belong
// together change together under one lock: the three counters, and the
// token's serial number with its clock.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "session/CallRunner.h"
#include "session/CardApi.h"
#include "session/Clock.h"
#include "session/SeedSources.h"
#include "session/SharedText.h"

namespace provisor {

// Where a seed write takes its seed from.
enum class SeedSource : int {
    Typed = 0,     // the seed field, as base32
    SeedFile = 1,  // the seed table, by the token's serial number
    Provider = 2,  // a seed provider library's GetSeed
    Bulk = 4,      // set by the bulk file chooser; reads the seed field like Typed
};

enum class CardThreadState : int { None = 0, Running = 1, StopRequested = 2 };

// Total, Success and Fail of the result list.
struct ResultCounters {
    int total = 0;
    int success = 0;
    int fail = 0;
    bool operator==(const ResultCounters&) const = default;
};

// The token in the reader as the dialog shows it: its serial number (empty
// when none) and the clock text it reported.
struct TokenInfo {
    std::string serialNumber;
    std::string tokenTime;
    bool operator==(const TokenInfo&) const = default;
};

class ToolSession {
public:
    // clock null: the computer's.
    explicit ToolSession(IClock* clock = nullptr);
    ToolSession(const ToolSession&) = delete;
    ToolSession& operator=(const ToolSession&) = delete;

    IClock& clock;
    // The UI thread's runner, which its library calls and pauses go through.
    CallRunnerSlot runner;
    CardApi cardApi{&runner};
    // The seed file's table and the seed provider (whose GetSeed is an entry
    // of cardApi).
    SeedSources seedSources;

    SharedText g_customerKey;  // the access key as hexadecimal text
    SharedText g_readerName;   // chosen by "connect"; empty until then
    std::atomic<SeedSource> g_seedSource{SeedSource::Typed};
    // Taken by atomic exchange by the button actions that talk to the token
    // (and the bulk run); an action that finds it taken does nothing at all.
    std::atomic<bool> g_busy{false};
    // The token in the reader still has to be read / written.
    std::atomic<bool> g_readPending{true};
    std::atomic<bool> g_writePending{true};
    std::atomic<CardThreadState> g_cardThreadState{CardThreadState::None};

    std::atomic<int> m_profile{0};          // selected profile 0-99
    std::atomic<bool> m_autoTime{true};     // "Auto time" selected
    std::atomic<bool> m_writeArmed{false};  // automatic write armed

    // One more result row; the counters after it.
    ResultCounters CountResult(bool success);
    ResultCounters ResetCounters();
    ResultCounters Counters() const;

    TokenInfo Token() const;
    std::string SerialNumber() const;
    // Both texts at once; the controls follow at the next PostFieldUpdate().
    void SetTokenInfo(TokenInfo token);
    void ClearTokenInfo() { SetTokenInfo({}); }
    std::string Tip() const;
    void SetTip(std::string tip);

    // Asks the UI thread to copy the token texts and the tip into their
    // controls, when one of them has changed since the last request. Any
    // thread.
    void PostFieldUpdate();
    // The dialog's way onto its thread; it must not block.
    void SetFieldUpdateHandler(std::function<void()> handler);

    // work on the calling thread, through its runner when it has one (the UI
    // thread keeps painting meanwhile).
    void RunBlocking(const std::function<void()>& work) const { runner.Run(work); }
    // A pause of the calling thread on the session's clock, through its runner.
    void Pause(std::chrono::milliseconds pause);

private:
    SystemClock m_systemClock;

    mutable std::mutex m_countersMutex;
    ResultCounters m_counters;

    mutable std::mutex m_fieldsMutex;
    TokenInfo m_token;
    std::string m_tip;
    bool m_fieldsChanged = true;
    std::mutex m_handlerMutex;  // taken before m_fieldsMutex
    std::function<void()> m_fieldUpdateHandler;
};

}  // namespace provisor
