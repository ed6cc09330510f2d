#include "VkLogger.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unistd.h>

namespace quillon {

namespace {
// Seconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t kEpochDelta1601 = 11644473600ULL;

std::atomic<uint64_t> g_droppedLines{0};
std::atomic<uint64_t> g_unreportedDrops{0};

}  // namespace

void CountDroppedTraceLine(uint64_t lines) {
    g_droppedLines.fetch_add(lines, std::memory_order_relaxed);
    g_unreportedDrops.fetch_add(lines, std::memory_order_relaxed);
}

uint64_t TotalDroppedTraceLines() { return g_droppedLines.load(std::memory_order_relaxed); }

uint64_t TraceTimeNow() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<uint64_t>(ts.tv_sec) + kEpochDelta1601) * 10000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 100;
}

void FillTraceRecord(TraceRecord& record, uint32_t level, const char* file, int line, const char* text) {
    std::memset(&record, 0, sizeof record);
    record.level = level;
    if (file != nullptr) {
        size_t len = std::strlen(file);
        const char* from = len > kTraceFileChars ? file + (len - kTraceFileChars) : file;
        std::memcpy(record.file, from, len > kTraceFileChars ? kTraceFileChars : len);
    }
    uint64_t now = TraceTimeNow();
    record.time = now;
    record.pid = ThisProcessId();
    record.tid = ThisThreadId();
    record.line = static_cast<uint32_t>(line);
    if (text != nullptr) std::memcpy(record.text, text, strnlen(text, kTraceMaxText));
    record.timeAgain = now;
}

CVkLogger::CVkLogger() = default;

CVkLogger::CVkLogger(const TraceObjectNames& names, RingRetention retention) : m_ring(names, retention) {}

CVkLogger::~CVkLogger() { m_ring.Detach(); }

int CVkLogger::Configure(const LoggerConfig& config) {
    std::unique_lock<std::shared_mutex> lock(m_mutex);
    if (std::memcmp(&config, &m_config, sizeof config) == 0) return 0;
    if (config.mode == LOGGER_MODE_RING) {
        int rc = m_ring.Attach();
        if (rc != 0) return rc;
    } else if (config.mode == LOGGER_MODE_NONE) {
        m_ring.Detach();
    }
    std::memcpy(&m_config, &config, sizeof config);
    m_mode.store(config.mode);
    return 0;
}

int CVkLogger::Write(uint32_t level, const char* file, int line, const char* text) {
    TraceRecord record;
    FillTraceRecord(record, level, file, line, text);
    // A line written while Configure runs (its own notes included) is
    // dropped rather than waiting on, or deadlocking with, the configuration.
    std::shared_lock<std::shared_mutex> lock(m_mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        if (m_mode.load() == LOGGER_MODE_RING) CountDroppedTraceLine();
        return -1;
    }
    if (m_mode.load() != LOGGER_MODE_RING) return -1;
    if (g_unreportedDrops.load(std::memory_order_relaxed) != 0) ReportDrops();
    if (m_ring.Write(record) == PushResult::Ok) return 0;
    CountDroppedTraceLine();
    return -1;
}

void CVkLogger::ReportDrops() {
    const uint64_t dropped = g_unreportedDrops.exchange(0, std::memory_order_relaxed);
    if (dropped == 0) return;
    char text[64];
    std::snprintf(text, sizeof text, "trace lines dropped: %llu", static_cast<unsigned long long>(dropped));
    TraceRecord note;
    FillTraceRecord(note, 2, __FILE__, __LINE__, text);
    // A note that cannot go in either is counted with the rest next time.
    if (m_ring.Write(note) != PushResult::Ok) g_unreportedDrops.fetch_add(dropped, std::memory_order_relaxed);
}

}  // namespace quillon
