// The session's threads and their lifetimes: the reader watch and the clock
// run from Start() to Stop(), the card thread from each "connect" to the
// next one or Stop(), the job thread (bulk runs) from Start() to Stop().
// Each is joined when it stops; the callbacks carry their results to
// whoever shows them and must not block.
#pragma once

#include <functional>
#include <string>

#include "session/CardMonitor.h"
#include "session/ClockTicker.h"
#include "session/JobThread.h"
#include "session/ReaderWatch.h"

namespace provisor {

class SessionThreads {
public:
    struct Callbacks {
        ReaderWatch::Publish readers;                     // the reader list changed
        std::function<void(const std::string&)> utcText;  // a clock tick's text
        std::function<void()> autoWrite;                  // on the card thread
    };

    SessionThreads(const ToolContext& ctx, IPcscProbe& probe, Callbacks callbacks);
    ~SessionThreads() { Stop(); }
    SessionThreads(const SessionThreads&) = delete;
    SessionThreads& operator=(const SessionThreads&) = delete;

    // The reader watch, the clock and the job thread.
    void Start();
    // A card thread for the session's reader, after the running one (if any)
    // has stopped.
    void Connect() { m_card.Restart(); }
    // The card thread alone, until the next Connect().
    void StopCard() { m_card.Stop(); }
    // Every thread, each after the work it is on; the calling thread's
    // runner keeps it turning meanwhile.
    void Stop();

    JobThread& Jobs() { return m_jobs; }

private:
    const ToolContext& m_ctx;
    ReaderWatch m_readers;
    ClockTicker m_clock;
    CardMonitor m_card;
    JobThread m_jobs;
};

}  // namespace provisor
