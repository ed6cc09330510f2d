// The card thread: every 50 ms it checks with a shared connection of its
// own whether a token sits in the connected reader, reads the serial number
// and clock once per insertion, and runs the armed automatic write.
//
// Exactly one card thread runs at a time. "connect" hands over through
// g_cardThreadState: it asks the running thread to stop, waits until the
// thread has acknowledged (None), then starts the next one.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "session/PcscProbe.h"
#include "session/ToolContext.h"

namespace provisor {

class CardMonitor {
public:
    // autoWrite runs on the card thread when a token with a serial number is
    // present, the write is armed and not yet done for this token.
    CardMonitor(IPcscProbe& probe, const ToolContext& ctx, std::function<void()> autoWrite = {});
    ~CardMonitor() { Stop(); }
    CardMonitor(const CardMonitor&) = delete;
    CardMonitor& operator=(const CardMonitor&) = delete;

    // Stops a running card thread (waiting through the calling thread's
    // runner), then starts a new one for g_readerName.
    void Restart();
    // Asks the thread to stop and waits until it has.
    void Stop();
    bool Running() const { return m_thread.joinable(); }

    // One detection cycle; false when a stop request was seen (the state is
    // then None and no further cycle may run).
    bool Cycle();

    static constexpr int kPeriodMs = 50;

private:
    void Loop();

    IPcscProbe& m_probe;
    const ToolContext& m_ctx;
    std::function<void()> m_autoWrite;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
};

}  // namespace provisor
