// The cross-process trace ring: fixed 5120-byte records in a shared-memory
// object, appended lock-free by any number of writer processes and consumed
// by viewers (docs/trace-ring.md describes the reader side).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon {

// One trace line as it lies in the ring, little-endian.
#pragma pack(push, 1)
struct TraceRecord {
    uint32_t level;
    char file[128];  // zero-terminated; the last 127 characters of longer names
    uint64_t time;   // 100-ns intervals since 1601-01-01 UTC
    uint32_t pid;
    uint32_t tid;
    uint32_t line;
    char text[4104];  // zero-terminated, at most 4096 characters
    uint64_t timeAgain;
    uint8_t reserved[856];
};
#pragma pack(pop)

static_assert(sizeof(TraceRecord) == 5120);
static_assert(offsetof(TraceRecord, file) == 4);
static_assert(offsetof(TraceRecord, time) == 132);
static_assert(offsetof(TraceRecord, pid) == 140);
static_assert(offsetof(TraceRecord, tid) == 144);
static_assert(offsetof(TraceRecord, line) == 148);
static_assert(offsetof(TraceRecord, text) == 152);
static_assert(offsetof(TraceRecord, timeAgain) == 4256);
static_assert(offsetof(TraceRecord, reserved) == 4264);

inline constexpr size_t kTraceRecordSize = sizeof(TraceRecord);
inline constexpr size_t kTraceMaxText = 4096;
inline constexpr size_t kTraceFileChars = 127;

// Byte offsets of the ring header fields, counted from the ring start (which
// is 4 bytes into the shared-memory object).
enum RingOffset : size_t {
    kRingCapacity = 0,
    kRingHead = 4,
    kRingTail = 8,
    kRingCommit = 12,
    kRingReaderProgress = 16,
    kRingReaderCount = 20,
    kRingSlots = 64,
};

inline constexpr uint32_t kRingCapacitySlots = 32768;
inline constexpr size_t kRingHeaderBytes = 64;
// total-size field + ring header + slots + one spare byte
inline constexpr size_t kTraceShmSize =
    4 + kRingHeaderBytes + static_cast<size_t>(kRingCapacitySlots) * kTraceRecordSize + 1;
static_assert(kTraceShmSize == 167772229);

// Records one writer's policy discards at a time when the ring is full.
inline constexpr uint32_t kRingDiscardBatch = 4096;

enum class PushResult {
    Ok,
    Full,
    NotAttached,
    Busy,  // gave up after a bounded number of rounds; the line is dropped
};

// Operates on a ring that lies in memory it does not own. Every counter is
// treated as untrusted input from other processes: slot indices are always
// masked with the fixed capacity and every loop is bounded.
class CLockfreeArrayQueue {
public:
    CLockfreeArrayQueue() = default;

    // ringBase points at the capacity field (4 bytes into the object).
    void Bind(void* ringBase) { m_base = static_cast<uint8_t*>(ringBase); }
    void Unbind() { m_base = nullptr; }
    bool IsBound() const { return m_base != nullptr; }

    // A fresh object is all zero already; only the capacity needs setting.
    void Initialise();
    bool HasExpectedCapacity() const;

    PushResult Push(const TraceRecord& record);
    // Advances tail over up to n committed records with one compare-and-swap;
    // returns how many were discarded (0 when the swap lost a race).
    uint32_t Discard(uint32_t n);

    // Reader side.
    bool RegisterReader();
    void UnregisterReader();
    // Copies the oldest committed record and consumes it. False when empty or
    // when a writer discarded it meanwhile (call again).
    bool Pop(TraceRecord& out);

    uint32_t Capacity() const;
    uint32_t Head() const;
    uint32_t Tail() const;
    uint32_t Commit() const;
    uint32_t ReaderProgress() const;
    uint32_t ReaderCount() const;
    void SetReaderCount(uint32_t value);
    const uint8_t* Slot(uint32_t counter) const;
    // Start of the ring header (for tests and diagnostics).
    uint8_t* Base() const { return m_base; }

    static constexpr uint32_t kMask = kRingCapacitySlots - 1;
    // Push rounds after which a writer takes commit over from a writer that
    // stopped half-way.
    static constexpr unsigned kCommitTakeoverRounds = 1000;
    // Push gives up after this many rounds; only a corrupted header or an
    // extreme writer storm gets there.
    static constexpr unsigned kMaxPushRounds = 20000;

private:
    uint32_t* Field(size_t offset) const { return reinterpret_cast<uint32_t*>(m_base + offset); }
    uint8_t* SlotPtr(uint32_t counter) const;

    uint8_t* m_base = nullptr;
};

}  // namespace quillon
