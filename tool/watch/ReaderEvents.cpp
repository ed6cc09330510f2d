#include "watch/ReaderEvents.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <type_traits>

namespace provisor {

static_assert(std::is_same_v<SCARDCONTEXT, long>, "the context is kept as a long");
static_assert(std::is_same_v<DWORD, unsigned long>, "reader states are kept as unsigned long");

namespace {

constexpr char kPnpReader[] = "\\\\?PnP?\\Notification";

// Even without an event a wait ends after this long and the reader list is
// read again. pcsc-lite 1.9 counts the readers when a wait starts, so a reader
// plugged between our listing and the wait would otherwise go unnoticed until
// the next event. One wake-up per half minute costs nothing.
constexpr std::chrono::milliseconds kRecheck{30000};

// While pcscd is away: the first retry soon (a restart takes a moment), then
// less and less often.
constexpr std::chrono::milliseconds kFirstBackOff{100};
constexpr std::chrono::milliseconds kMaxBackOff{2000};

// pcsc-lite drops a cancel that reaches the daemon before the wait it should
// end is registered there, so Stop() repeats it until the wait is over.
constexpr auto kCancelRepeat = std::chrono::milliseconds(10);

std::vector<std::string> SplitReaderList(const char* list, size_t length) {
    std::vector<std::string> names;
    size_t i = 0;
    while (i < length && list[i] != '\0') {
        const size_t end = std::find(list + i, list + length, '\0') - list;
        names.emplace_back(list + i, end - i);
        i = end + 1;
    }
    return names;
}

}  // namespace

const char* ToString(ReaderEvent::Kind kind) {
    switch (kind) {
        case ReaderEvent::Kind::ReaderAdded: return "reader added";
        case ReaderEvent::Kind::ReaderRemoved: return "reader removed";
        case ReaderEvent::Kind::TokenPresent: return "token present";
        case ReaderEvent::Kind::TokenInserted: return "token inserted";
        case ReaderEvent::Kind::TokenRemoved: return "token removed";
    }
    return "?";
}

ReaderWatcher::ReaderWatcher() : m_backOff(kFirstBackOff) {}

ReaderWatcher::~ReaderWatcher() {
    std::lock_guard lock(m_mutex);
    if (m_hasContext) SCardReleaseContext(m_context);
}

std::optional<ReaderEvent> ReaderWatcher::Next() { return NextUntil(std::nullopt); }

std::optional<ReaderEvent> ReaderWatcher::Next(std::chrono::milliseconds within) {
    return NextUntil(Clock::now() + within);
}

void ReaderWatcher::Stop() {
    std::unique_lock lock(m_mutex);
    m_stopping = true;
    m_wake.notify_all();
    while (m_waiting) {
        SCardCancel(m_context);
        m_wake.wait_for(lock, kCancelRepeat, [this] { return !m_waiting; });
    }
}

bool ReaderWatcher::Stopped() const {
    std::lock_guard lock(m_mutex);
    return m_stopping;
}

std::vector<ReaderStatus> ReaderWatcher::Readers() const {
    std::vector<ReaderStatus> out;
    for (const Tracked& r : m_readers) out.push_back({r.name, r.token, r.atr});
    return out;
}

std::optional<ReaderEvent> ReaderWatcher::NextUntil(std::optional<Clock::time_point> deadline) {
    for (;;) {
        if (Stopped()) return std::nullopt;
        if (!m_pending.empty()) {
            ReaderEvent event = std::move(m_pending.front());
            m_pending.pop_front();
            return event;
        }
        if (deadline && Clock::now() >= *deadline) return std::nullopt;
        // Only this thread changes m_hasContext.
        if (!m_hasContext) {
            if (Clock::now() < m_retryAt) {
                SleepUntil(deadline ? std::min(m_retryAt, *deadline) : m_retryAt);
                continue;
            }
            if (!Connect() || !SyncReaderList(Clock::now(), true)) LoseService(Clock::now());
            continue;
        }
        // Readers plugged or pulled while the caller handled the last event
        // are found here, before waiting on a list that lacks them.
        if (!SyncReaderList(Clock::now(), false)) {
            LoseService(Clock::now());
            continue;
        }
        if (!m_pending.empty()) continue;
        switch (WaitForChange(deadline)) {
            case Wait::Changed:
            case Wait::Nothing:
                m_backOff = kFirstBackOff;
                m_unknownReaderRuns = 0;
                break;
            case Wait::UnknownReader:
                // A reader went between listing and waiting; listing again
                // finds that out. Should pcscd keep refusing a reader it has
                // just listed, start over rather than spin.
                if (++m_unknownReaderRuns >= 3) {
                    m_unknownReaderRuns = 0;
                    LoseService(Clock::now());
                }
                break;
            case Wait::Failed: LoseService(Clock::now()); break;
        }
    }
}

bool ReaderWatcher::Connect() {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return false;
    std::lock_guard lock(m_mutex);
    m_context = context;
    m_hasContext = true;
    return true;
}

void ReaderWatcher::LoseService(Clock::time_point seen) {
    {
        std::lock_guard lock(m_mutex);
        if (m_hasContext) SCardReleaseContext(m_context);
        m_hasContext = false;
    }
    for (const Tracked& r : m_readers) {
        if (r.token) Emit(ReaderEvent::Kind::TokenRemoved, r, seen);
        Emit(ReaderEvent::Kind::ReaderRemoved, r, seen);
    }
    m_readers.clear();
    m_retryAt = seen + m_backOff;
    m_backOff = std::min(m_backOff * 2, kMaxBackOff);
}

bool ReaderWatcher::SyncReaderList(Clock::time_point seen, bool afterConnect) {
    std::vector<std::string> names;
    for (int attempt = 0;; ++attempt) {
        DWORD length = 0;
        LONG rc = SCardListReaders(m_context, nullptr, nullptr, &length);
        if (rc == SCARD_E_NO_READERS_AVAILABLE) break;
        if (rc != SCARD_S_SUCCESS) return false;
        std::string buffer(length, '\0');
        rc = SCardListReaders(m_context, nullptr, buffer.data(), &length);
        if (rc == SCARD_E_NO_READERS_AVAILABLE) break;
        if (rc == SCARD_E_INSUFFICIENT_BUFFER && attempt < 3) continue;  // a reader arrived in between
        if (rc != SCARD_S_SUCCESS) return false;
        names = SplitReaderList(buffer.data(), std::min<size_t>(length, buffer.size()));
        break;
    }

    std::erase_if(m_readers, [&](const Tracked& r) {
        if (std::find(names.begin(), names.end(), r.name) != names.end()) return false;
        if (r.token) Emit(ReaderEvent::Kind::TokenRemoved, r, seen);
        Emit(ReaderEvent::Kind::ReaderRemoved, r, seen);
        return true;
    });
    for (const std::string& name : names) {
        if (std::any_of(m_readers.begin(), m_readers.end(), [&](const Tracked& r) { return r.name == name; })) continue;
        Tracked r;
        r.name = name;
        r.firstToken = afterConnect ? ReaderEvent::Kind::TokenPresent : ReaderEvent::Kind::TokenInserted;
        Emit(ReaderEvent::Kind::ReaderAdded, r, seen);
        m_readers.push_back(std::move(r));
    }
    return true;
}

ReaderWatcher::Wait ReaderWatcher::WaitForChange(std::optional<Clock::time_point> deadline) {
    std::vector<SCARD_READERSTATE> states(m_readers.size() + 1);
    for (size_t i = 0; i < m_readers.size(); ++i) {
        states[i].szReader = m_readers[i].name.c_str();
        // A reader not read yet makes the wait return at once with its state.
        states[i].dwCurrentState = m_readers[i].known ? m_readers[i].state : SCARD_STATE_UNAWARE;
    }
    // pcsc-lite 2 compares the reader count it is given here with its own.
    states.back().szReader = kPnpReader;
    states.back().dwCurrentState = static_cast<DWORD>(m_readers.size()) << 16;

    std::chrono::milliseconds timeout = kRecheck;
    if (deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
        timeout = std::clamp(left, std::chrono::milliseconds(0), timeout);
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) return Wait::Nothing;
        m_waiting = true;
    }
    const LONG rc = SCardGetStatusChange(m_context, static_cast<DWORD>(timeout.count()), states.data(),
                                         static_cast<DWORD>(states.size()));
    const Clock::time_point seen = Clock::now();
    {
        std::lock_guard lock(m_mutex);
        m_waiting = false;
    }
    m_wake.notify_all();

    if (rc == SCARD_E_TIMEOUT || rc == SCARD_E_CANCELLED) return Wait::Nothing;
    if (rc == SCARD_E_UNKNOWN_READER) return Wait::UnknownReader;
    if (rc != SCARD_S_SUCCESS) return Wait::Failed;

    for (size_t i = 0; i < m_readers.size(); ++i) {
        Tracked& r = m_readers[i];
        const SCARD_READERSTATE& st = states[i];
        const DWORD now = st.dwEventState & ~DWORD{SCARD_STATE_CHANGED};
        if (r.known && (st.dwEventState & SCARD_STATE_CHANGED) == 0) continue;
        // A reader that is going: the next listing reports it gone.
        if (now & SCARD_STATE_UNKNOWN) {
            r.known = true;
            r.state = now;
            continue;
        }
        const bool present = (now & SCARD_STATE_PRESENT) != 0;
        const std::vector<uint8_t> atr =
            present && (now & SCARD_STATE_MUTE) == 0
                ? std::vector<uint8_t>(st.rgbAtr, st.rgbAtr + std::min<size_t>(st.cbAtr, sizeof st.rgbAtr))
                : std::vector<uint8_t>{};
        if (!r.known) {
            r.known = true;
            r.state = now;
            r.token = present;
            r.atr = atr;
            if (present) Emit(r.firstToken, r, seen);
            continue;
        }
        // pcscd counts insertions and removals in the high word: a token
        // swapped while nobody waited is still one out and another in.
        const bool swapped = (now >> 16) != (r.state >> 16);
        if (r.token && (!present || swapped)) {
            Emit(ReaderEvent::Kind::TokenRemoved, r, seen);
            r.token = false;
            r.atr.clear();
        }
        if (present && !r.token) {
            r.token = true;
            r.atr = atr;
            Emit(ReaderEvent::Kind::TokenInserted, r, seen);
        }
        r.state = now;
    }
    return Wait::Changed;
}

void ReaderWatcher::Emit(ReaderEvent::Kind kind, const Tracked& reader, Clock::time_point seen) {
    const bool withAtr = kind == ReaderEvent::Kind::TokenPresent || kind == ReaderEvent::Kind::TokenInserted;
    m_pending.push_back({kind, reader.name, withAtr ? reader.atr : std::vector<uint8_t>{}, seen});
}

void ReaderWatcher::SleepUntil(Clock::time_point until) {
    std::unique_lock lock(m_mutex);
    m_wake.wait_until(lock, until, [this] { return m_stopping; });
}

// ---- signals -----------------------------------------------------------------

namespace {

// One pipe for the life of the process: a handler still running on another
// thread when the dispositions are restored writes into it, never into a
// descriptor that was closed and reused meanwhile.
std::atomic<int> g_signalWriteEnd{-1};
int g_signalReadEnd = -1;
std::atomic<bool> g_signalsTaken{false};

extern "C" void WriteSignalToPipe(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    const int fd = g_signalWriteEnd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

// Byte that ends the reading thread; no signal has number 0.
constexpr unsigned char kQuit = 0;

}  // namespace

StopOnSignals::StopOnSignals(ReaderWatcher& watcher, std::vector<int> stopSignals)
    : m_watcher(watcher), m_signals(std::move(stopSignals)) {
    static_assert(std::atomic<int>::is_always_lock_free, "the handler reads the pipe end lock-free");
    if (g_signalsTaken.exchange(true)) throw std::logic_error("StopOnSignals: one at a time");
    for (int s : m_signals)
        if (s <= 0 || s > 255) {
            g_signalsTaken = false;
            throw std::invalid_argument("StopOnSignals: not a signal number");
        }
    if (g_signalWriteEnd.load() < 0) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            g_signalsTaken = false;
            throw std::runtime_error(std::string("StopOnSignals: pipe: ") + std::strerror(errno));
        }
        g_signalReadEnd = fds[0];
        g_signalWriteEnd = fds[1];
    }
    // Whatever a handler of an earlier instance left behind is not for us.
    unsigned char stale[64];
    while (read(g_signalReadEnd, stale, sizeof stale) > 0) {}

    struct sigaction action {};
    action.sa_handler = WriteSignalToPipe;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int s : m_signals) sigaddset(&action.sa_mask, s);
    m_previous.resize(m_signals.size());
    for (size_t i = 0; i < m_signals.size(); ++i) sigaction(m_signals[i], &action, &m_previous[i]);
    m_thread = std::thread([this] { Run(); });
}

StopOnSignals::~StopOnSignals() {
    for (size_t i = 0; i < m_signals.size(); ++i) sigaction(m_signals[i], &m_previous[i], nullptr);
    // The pipe never fills: the thread reads it all along.
    for (;;) {
        const ssize_t n = write(g_signalWriteEnd.load(), &kQuit, 1);
        if (n == 1 || (errno != EAGAIN && errno != EINTR)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_thread.join();
    g_signalsTaken = false;
}

int StopOnSignals::Received() const {
    std::lock_guard lock(m_mutex);
    return m_received;
}

void StopOnSignals::Run() {
    pollfd pfd{g_signalReadEnd, POLLIN, 0};
    for (;;) {
        if (poll(&pfd, 1, -1) < 0 && errno != EINTR) return;
        unsigned char bytes[64];
        const ssize_t n = read(g_signalReadEnd, bytes, sizeof bytes);
        for (ssize_t i = 0; i < n; ++i) {
            if (bytes[i] == kQuit) return;
            {
                std::lock_guard lock(m_mutex);
                if (m_received == 0) m_received = bytes[i];
            }
            m_watcher.Stop();
        }
    }
}

}  // namespace provisor
