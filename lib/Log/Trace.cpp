#include "Trace.h"

#include "VkLogger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

CVkLogger* CreateLogger() {
    try {
        // The logger lives from the first TraceBegin to the last TraceEnd,
        // which is once per export; its ring attachment stays with the
        // process in between (VkShmLogger.h).
        auto* logger = new CVkLogger(CurrentTraceObjectNames(), RingRetention::KeepForProcess);
        LoggerConfig config{};
        config.mode = LOGGER_MODE_RING;
        // A failed attach leaves the logger in mode 0; its lines are dropped.
        logger->Configure(config);
        return logger;
    } catch (...) {
        return nullptr;  // out of memory: no logger until the next first TraceBegin
    }
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
    if (g_traceCount == 0 && !TracingSwitchedOff()) g_logger.store(CreateLogger());
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
        CVkLogger* logger = g_logger.exchange(nullptr);
        // Each line in flight finishes in bounded time (the ring push and the
        // full-ring policy are bounded).
        while (g_linesInFlight.load() != 0) sched_yield();
        delete logger;
    }
    ReleaseTraceFlag();
    return 0;
}

void TraceLine(uint32_t level, const char* file, int line, const char* format, ...) {
    if (format == nullptr) return;
    LineGuard guard;
    CVkLogger* logger = guard.Logger();
    if (logger == nullptr) return;

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

void TraceHex(uint32_t level, const char* file, int line, const void* bytes, size_t length) {
    if (bytes == nullptr) return;
    LineGuard guard;
    CVkLogger* logger = guard.Logger();
    if (logger == nullptr) return;

    static constexpr char kDigits[] = "0123456789ABCDEF";
    const auto* p = static_cast<const uint8_t*>(bytes);
    char text[kTextBufferSize];
    if (length == 0) {
        text[0] = '\0';
        WriteText(logger, level, file, line, text);
        return;
    }
    for (size_t offset = 0; offset < length; offset += kHexChunkBytes) {
        size_t chunk = length - offset < kHexChunkBytes ? length - offset : kHexChunkBytes;
        for (size_t i = 0; i < chunk; ++i) {
            text[2 * i] = kDigits[p[offset + i] >> 4];
            text[2 * i + 1] = kDigits[p[offset + i] & 0x0F];
        }
        text[2 * chunk] = '\0';
        WriteText(logger, level, file, line, text);
    }
}

}  // namespace quillon
