// The process-wide logger behind the trace calls. Its sink mode selects where
// records go; this library only ever selects the shared-memory ring.
#pragma once

#include "LockfreeArrayQueue.h"
#include "VkShmLogger.h"

#include <atomic>
#include <cstdint>
#include <shared_mutex>

namespace quillon {

enum LoggerMode : uint32_t {
    LOGGER_MODE_NONE = 0,
    LOGGER_MODE_RING = 1,
    LOGGER_MODE_FILE = 2,
};

struct LoggerConfig {
    uint32_t mode;
    uint8_t rest[2048];
};
static_assert(sizeof(LoggerConfig) == 2052);

class ILogger {
public:
    virtual int Configure(const LoggerConfig& config) = 0;
    virtual int Write(uint32_t level, const char* file, int line, const char* text) = 0;
    virtual ~ILogger() = default;
};

// Fills a record the way the ring carries it: text cut at 4096 characters,
// file name cut to its last 127, current time, process and thread id.
void FillTraceRecord(TraceRecord& record, uint32_t level, const char* file, int line, const char* text);

// 100-ns intervals since 1601-01-01 UTC.
uint64_t TraceTimeNow();

// The process-wide count of lines that did not reach the ring, and the part
// of it not yet reported in the ring (CVkLogger::Write reports it).
void CountDroppedTraceLine(uint64_t lines = 1);
uint64_t TotalDroppedTraceLines();

class CVkLogger final : public ILogger {
public:
    CVkLogger();
    explicit CVkLogger(const TraceObjectNames& names, RingRetention retention = RingRetention::ReleaseOnDetach);
    ~CVkLogger() override;

    // Returns 0, or an error when the ring could not be attached (the old
    // configuration then stays, so lines keep being dropped).
    int Configure(const LoggerConfig& config) override;
    // Returns 0 when the record went into the sink. A record the ring sink
    // could not take is counted as dropped; the first record that goes in
    // after such drops is preceded by a warning that says how many.
    int Write(uint32_t level, const char* file, int line, const char* text) override;

    uint32_t Mode() const { return m_mode.load(); }
    CVkShmLogger& Ring() { return m_ring; }

private:
    // Writes the warning about lines dropped since the last one; under a
    // shared hold of m_mutex.
    void ReportDrops();

    CVkShmLogger m_ring;
    // Exclusive for Configure, shared for Write: a write never sees the ring
    // half attached or detached.
    std::shared_mutex m_mutex;
    LoggerConfig m_config{};
    std::atomic<uint32_t> m_mode{LOGGER_MODE_NONE};
};

}  // namespace quillon
