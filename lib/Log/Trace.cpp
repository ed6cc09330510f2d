#include "Trace.h"

#include "VkLogger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <sched.h>
#include <unistd.h>

namespace quillon {

namespace {

std::atomic<uint32_t> g_traceFlag{0};
unsigned g_traceCount = 0;  // guarded by g_traceFlag
std::atomic<CVkLogger*> g_logger{nullptr};
// Lines between looking the logger up and returning from its Write; the last
// TraceEnd waits for them before it destroys the logger, so a line written
// by another thread never uses a freed logger.
std::atomic<unsigned> g_linesInFlight{0};

// Set while an export runs whose lines cannot reach a ring (its attach
// failed, or an earlier failure is still being waited out): those lines are
// counted as dropped. Lines of a process with tracing switched off are not.
std::atomic<bool> g_dropping{false};

// When the next attach may be tried after failures (monotonic nanoseconds,
// 0 = at once), and how many failed in a row; guarded by g_traceFlag.
int64_t g_retryAfterNs = 0;
unsigned g_failedAttaches = 0;
constexpr int64_t kFirstRetryPauseNs = 1'000'000'000;
constexpr unsigned kMaxPauseDoublings = 6;  // 64 s

constexpr size_t kTextBufferSize = kTraceMaxText + 1;
constexpr size_t kHexChunkBytes = kTraceMaxText / 2;

void TakeTraceFlag() {
    uint32_t expected = 0;
    while (!g_traceFlag.compare_exchange_strong(expected, 1)) {
        expected = 0;
        usleep(10000);
    }
}

void ReleaseTraceFlag() {
    uint32_t expected = 1;
    g_traceFlag.compare_exchange_strong(expected, 0);
}

int64_t MonotonicNs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);  // no system call (vDSO)
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// A logger attached to the ring, or null. The logger lives from the first
// TraceBegin to the last TraceEnd, which is once per export; its ring
// attachment stays with the process in between (VkShmLogger.h).
CVkLogger* CreateLogger() {
    CVkLogger* logger = nullptr;
    try {
        logger = new CVkLogger(CurrentTraceObjectNames(), RingRetention::KeepForProcess);
        LoggerConfig config{};
        config.mode = LOGGER_MODE_RING;
        if (logger->Configure(config) == 0) return logger;
    } catch (...) {
        // Out of memory: as good as no ring.
    }
    delete logger;
    return nullptr;
}

// Under g_traceFlag. A failed attach costs an export a few system calls at
// most (and a ring's reservation when /dev/shm is nearly full); retrying on
// every export would make a broken or hostile object cost that every time.
CVkLogger* CreateLoggerUnlessWaiting() {
    const int64_t now = MonotonicNs();
    if (g_failedAttaches != 0 && now < g_retryAfterNs) return nullptr;
    CVkLogger* logger = CreateLogger();
    if (logger != nullptr) {
        g_failedAttaches = 0;
        return logger;
    }
    const unsigned doublings = g_failedAttaches < kMaxPauseDoublings ? g_failedAttaches : kMaxPauseDoublings;
    g_retryAfterNs = MonotonicNs() + (kFirstRetryPauseNs << doublings);
    ++g_failedAttaches;
    return nullptr;
}

// QUILLON_TRACE=0 switches tracing off: no logger, so no ring object is
// created or attached and every line is dropped. Read when a trace starts
// (the first TraceBegin of an export), so whatever the environment says at
// that moment counts; any other value, or none, leaves tracing on.
bool TracingSwitchedOff() {
    const char* setting = std::getenv("QUILLON_TRACE");
    return setting != nullptr && std::strcmp(setting, "0") == 0;
}

class LineGuard {
public:
    LineGuard() { g_linesInFlight.fetch_add(1); }
    ~LineGuard() { g_linesInFlight.fetch_sub(1); }
    LineGuard(const LineGuard&) = delete;
    LineGuard& operator=(const LineGuard&) = delete;
    CVkLogger* Logger() const { return g_logger.load(); }
};

void WriteText(CVkLogger* logger, uint32_t level, const char* file, int line, const char* text) {
    try {
        logger->Write(level, file, line, text);
    } catch (...) {
        // Tracing never reaches the caller.
    }
}

}  // namespace

void TraceBegin() {
    TakeTraceFlag();
    if (g_traceCount == 0 && !TracingSwitchedOff()) {
        CVkLogger* logger = CreateLoggerUnlessWaiting();
        g_logger.store(logger);
        g_dropping.store(logger == nullptr);
    }
    ++g_traceCount;
    ReleaseTraceFlag();
}

int TraceEnd() {
    TakeTraceFlag();
    if (g_traceCount == 0) {
        ReleaseTraceFlag();
        return -1;
    }
    if (--g_traceCount == 0) {
        g_dropping.store(false);
        CVkLogger* logger = g_logger.exchange(nullptr);
        // Each line in flight finishes in bounded time (the ring push and the
        // full-ring policy are bounded).
        while (g_linesInFlight.load() != 0) sched_yield();
        delete logger;
    }
    ReleaseTraceFlag();
    return 0;
}

uint64_t DroppedTraceLines() { return TotalDroppedTraceLines(); }

void ResetTraceBackoffForTesting() {
    TakeTraceFlag();
    g_failedAttaches = 0;
    g_retryAfterNs = 0;
    ReleaseTraceFlag();
}

void TraceLine(uint32_t level, const char* file, int line, const char* format, ...) {
    if (format == nullptr) return;
    LineGuard guard;
    CVkLogger* logger = guard.Logger();
    if (logger == nullptr) {
        if (g_dropping.load()) CountDroppedTraceLine();
        return;
    }

    char text[kTextBufferSize];
    va_list args;
    va_start(args, format);
    int needed = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (needed < 0) return;
    if (static_cast<size_t>(needed) > kTraceMaxText) {
        char note[64];
        snprintf(note, sizeof note, "%s failed due to %s", "VkStrVPrintf", "buffer may be too small");
        WriteText(logger, TRACE_ERROR, file, line, note);
    }
    WriteText(logger, level, file, line, text);
}

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

char* AppendHex(char* to, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        *to++ = kHexDigits[bytes[i] >> 4];
        *to++ = kHexDigits[bytes[i] & 0x0F];
    }
    return to;
}

}  // namespace

void TraceHexWithheld(uint32_t level, const char* file, int line, const void* bytes, size_t length, size_t keepHead,
                      size_t keepTail) {
    if (bytes == nullptr) return;
    if (length <= keepHead + keepTail) {
        TraceHex(level, file, line, bytes, length);
        return;
    }
    // The line must fit one record; when in doubt, more is withheld.
    constexpr size_t kMaxKept = (kHexChunkBytes - 32) / 2;
    if (keepHead > kMaxKept) keepHead = kMaxKept;
    if (keepTail > kMaxKept) keepTail = kMaxKept;
    LineGuard guard;
    CVkLogger* logger = guard.Logger();
    if (logger == nullptr) {
        if (g_dropping.load()) CountDroppedTraceLine();
        return;
    }
    const auto* p = static_cast<const uint8_t*>(bytes);
    char text[kTextBufferSize];
    char* end = AppendHex(text, p, keepHead);
    end += snprintf(end, 48, "[%zu bytes withheld]", length - keepHead - keepTail);
    end = AppendHex(end, p + length - keepTail, keepTail);
    *end = '\0';
    WriteText(logger, level, file, line, text);
}

void TraceHex(uint32_t level, const char* file, int line, const void* bytes, size_t length) {
    if (bytes == nullptr) return;
    LineGuard guard;
    CVkLogger* logger = guard.Logger();
    if (logger == nullptr) {
        if (g_dropping.load()) CountDroppedTraceLine(length == 0 ? 1 : (length + kHexChunkBytes - 1) / kHexChunkBytes);
        return;
    }

    const auto* p = static_cast<const uint8_t*>(bytes);
    char text[kTextBufferSize];
    if (length == 0) {
        text[0] = '\0';
        WriteText(logger, level, file, line, text);
        return;
    }
    for (size_t offset = 0; offset < length; offset += kHexChunkBytes) {
        size_t chunk = length - offset < kHexChunkBytes ? length - offset : kHexChunkBytes;
        *AppendHex(text, p + offset, chunk) = '\0';
        WriteText(logger, level, file, line, text);
    }
}

}  // namespace quillon
