// Tokens coming and going in every PC/SC reader, as a stream of events for a
// station that handles each token as it is inserted.
//
// One PC/SC context waits in SCardGetStatusChange on every reader and on the
// PnP pseudo-reader, so an idle watcher costs nothing: no polling on our side
// (pcscd itself polls readers whose driver cannot signal). Readers that are
// plugged or pulled are followed, and a pcscd that goes away is waited for
// and picked up again when it is back.
//
// Threads. The thread that calls Next() is the only one that uses the
// watcher's context, apart from the SCardCancel of Stop(). Handle an event,
// library calls included, on that thread and then call Next() again: pcsc-lite
// shares state between the contexts of a process, and this keeps the
// watcher's PC/SC calls from ever overlapping a library call. Nothing is lost
// meanwhile: the next wait starts from the state the watcher last saw, and a
// token swapped while it was not waiting still shows as removed and inserted.
#pragma once

#include <csignal>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace provisor {

struct ReaderEvent {
    enum class Kind {
        ReaderAdded,    // a reader appeared (all readers when the watcher first meets pcscd)
        ReaderRemoved,  // a reader went, or pcscd went away with it
        TokenPresent,   // a token found in a reader without its insertion being seen:
                        // at start, or when pcscd came back
        TokenInserted,  // a token put into a reader the watcher had seen empty
        TokenRemoved,   // a token taken out; also before ReaderRemoved of a reader that held one
    };
    Kind kind;
    std::string reader;
    // The token's answer to reset (TokenPresent, TokenInserted); empty for a
    // token that does not answer.
    std::vector<uint8_t> atr;
    // When PC/SC told the watcher: the time taken to hand the event out is
    // the time from here to Next()'s return.
    std::chrono::steady_clock::time_point seen;
};

const char* ToString(ReaderEvent::Kind kind);

struct ReaderStatus {
    std::string reader;
    bool token = false;
    std::vector<uint8_t> atr;
};

class ReaderWatcher {
public:
    // Nothing is asked of PC/SC until the first Next().
    ReaderWatcher();
    // No other thread may be inside Next() or Stop() any more.
    ~ReaderWatcher();
    ReaderWatcher(const ReaderWatcher&) = delete;
    ReaderWatcher& operator=(const ReaderWatcher&) = delete;

    // The next event, in the order PC/SC reported the changes (readers in the
    // order pcscd lists them). Blocks until there is one; nullopt once
    // Stop() was called, even with events still queued. The first calls
    // report every reader (ReaderAdded) and every token already in one
    // (TokenPresent); whether such a token is handled is the caller's choice.
    std::optional<ReaderEvent> Next();
    // The same, but also nullopt when `within` passes without an event.
    std::optional<ReaderEvent> Next(std::chrono::milliseconds within);

    // From any thread, any number of times: a Next() in progress returns
    // nullopt promptly, later ones at once. Returns once no wait is in
    // progress any more.
    void Stop();
    bool Stopped() const;

    // Readers and tokens as the events handed out so far describe them.
    // Same thread as Next().
    std::vector<ReaderStatus> Readers() const;

private:
    struct Tracked {
        std::string name;
        unsigned long state = 0;  // last dwEventState, the event count in its high word
        bool known = false;       // its state has been read at least once
        bool token = false;
        std::vector<uint8_t> atr;
        // How a token found at the first reading is reported.
        ReaderEvent::Kind firstToken = ReaderEvent::Kind::TokenInserted;
    };
    using Clock = std::chrono::steady_clock;

    std::optional<ReaderEvent> NextUntil(std::optional<Clock::time_point> deadline);
    bool Connect();
    void LoseService(Clock::time_point seen);
    bool SyncReaderList(Clock::time_point seen, bool afterConnect);
    enum class Wait { Changed, Nothing, Failed, UnknownReader };
    Wait WaitForChange(std::optional<Clock::time_point> deadline);
    void Emit(ReaderEvent::Kind kind, const Tracked& reader, Clock::time_point seen);
    void SleepUntil(Clock::time_point until);

    // Guards the context's life against Stop()'s SCardCancel, and the flags.
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    long m_context = 0;  // SCARDCONTEXT
    bool m_hasContext = false;
    bool m_stopping = false;
    bool m_waiting = false;

    // The Next() thread's own.
    std::vector<Tracked> m_readers;
    std::deque<ReaderEvent> m_pending;
    std::chrono::milliseconds m_backOff;
    Clock::time_point m_retryAt;  // while pcscd is away: when to try again
    int m_unknownReaderRuns = 0;
};

// Turns SIGINT and SIGTERM (or the given signals) into Stop() of a watcher
// for as long as it lives: the handler only writes the signal's number to a
// pipe (async-signal-safe); a thread of its own reads it and stops the
// watcher. One at a time per process. The previous dispositions come back
// on destruction; destroy it before the watcher.
class StopOnSignals {
public:
    explicit StopOnSignals(ReaderWatcher& watcher, std::vector<int> stopSignals = {SIGINT, SIGTERM});
    ~StopOnSignals();
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

    // The first signal that arrived, 0 while none has.
    int Received() const;

private:
    void Run();

    ReaderWatcher& m_watcher;
    std::vector<int> m_signals;
    std::vector<struct sigaction> m_previous;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    int m_received = 0;
};

}  // namespace provisor
