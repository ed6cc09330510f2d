#include "LockfreeArrayQueue.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <sched.h>

namespace quillon {

namespace {

// The header lives in memory shared with other processes; atomic_ref on the
// 4-byte aligned fields gives lock-free 32-bit operations across them.
inline std::atomic_ref<uint32_t> At(uint32_t* p) { return std::atomic_ref<uint32_t>(*p); }

inline bool SameSlot(uint32_t a, uint32_t b) {
    return (a & CLockfreeArrayQueue::kMask) == (b & CLockfreeArrayQueue::kMask);
}

}  // namespace

uint8_t* CLockfreeArrayQueue::SlotPtr(uint32_t counter) const {
    return m_base + kRingSlots + static_cast<size_t>(counter & kMask) * kTraceRecordSize;
}

const uint8_t* CLockfreeArrayQueue::Slot(uint32_t counter) const { return m_base ? SlotPtr(counter) : nullptr; }

void CLockfreeArrayQueue::Initialise() {
    if (!m_base) return;
    At(Field(kRingCapacity)).store(kRingCapacitySlots);
}

bool CLockfreeArrayQueue::HasExpectedCapacity() const {
    return m_base && At(Field(kRingCapacity)).load() == kRingCapacitySlots;
}

uint32_t CLockfreeArrayQueue::Capacity() const { return m_base ? At(Field(kRingCapacity)).load() : 0; }
uint32_t CLockfreeArrayQueue::Head() const { return m_base ? At(Field(kRingHead)).load() : 0; }
uint32_t CLockfreeArrayQueue::Tail() const { return m_base ? At(Field(kRingTail)).load() : 0; }
uint32_t CLockfreeArrayQueue::Commit() const { return m_base ? At(Field(kRingCommit)).load() : 0; }
uint32_t CLockfreeArrayQueue::ReaderProgress() const { return m_base ? At(Field(kRingReaderProgress)).load() : 0; }
uint32_t CLockfreeArrayQueue::ReaderCount() const { return m_base ? At(Field(kRingReaderCount)).load() : 0; }
void CLockfreeArrayQueue::SetReaderCount(uint32_t value) {
    if (m_base) At(Field(kRingReaderCount)).store(value);
}

PushResult CLockfreeArrayQueue::Push(const TraceRecord& record) {
    if (!m_base) return PushResult::NotAttached;
    auto head = At(Field(kRingHead));
    auto tail = At(Field(kRingTail));
    auto commit = At(Field(kRingCommit));

    unsigned waitRounds = 0;
    for (unsigned round = 0; round < kMaxPushRounds; ++round) {
        uint32_t t = tail.load();
        uint32_t c = commit.load();
        uint32_t h = head.load();
        if (SameSlot(h + 1, t)) return PushResult::Full;

        if (c != h) {
            // Another writer reserved a slot and is still copying into it.
            if (++waitRounds < kCommitTakeoverRounds) {
                sched_yield();
                continue;
            }
            // It has had long enough: it may have died half-way. Moving
            // commit up to head lets everyone go on. This also repairs a
            // commit counter that garbage put ahead of head.
            if (!commit.compare_exchange_strong(c, h)) continue;
        }

        if (!head.compare_exchange_strong(h, h + 1)) continue;
        std::memcpy(SlotPtr(h), &record, kTraceRecordSize);
        uint32_t expected = h;
        // Fails only when someone took commit over while this copy ran.
        commit.compare_exchange_strong(expected, h + 1);
        return PushResult::Ok;
    }
    return PushResult::Busy;
}

uint32_t CLockfreeArrayQueue::Discard(uint32_t n) {
    if (!m_base) return 0;
    n = std::min(n, kRingCapacitySlots);
    auto tail = At(Field(kRingTail));
    uint32_t t = tail.load();
    uint32_t c = At(Field(kRingCommit)).load();
    uint32_t i = 0;
    while (i < n && !SameSlot(t + i, c)) ++i;
    if (i == 0) return 0;
    // One attempt only: losing means a reader or another writer moved tail,
    // which frees room as well.
    return tail.compare_exchange_strong(t, t + i) ? i : 0;
}

bool CLockfreeArrayQueue::RegisterReader() {
    if (!m_base) return false;
    auto count = At(Field(kRingReaderCount));
    for (unsigned round = 0; round < kMaxPushRounds; ++round) {
        uint32_t n = count.load();
        if (n == UINT32_MAX) return false;
        if (count.compare_exchange_strong(n, n + 1)) return true;
    }
    return false;
}

void CLockfreeArrayQueue::UnregisterReader() {
    if (!m_base) return;
    auto count = At(Field(kRingReaderCount));
    for (unsigned round = 0; round < kMaxPushRounds; ++round) {
        uint32_t n = count.load();
        // A writer may already have taken this reader for dead and reset
        // the count; never wrap it below zero.
        if (n == 0) return;
        if (count.compare_exchange_strong(n, n - 1)) return;
    }
}

bool CLockfreeArrayQueue::Pop(TraceRecord& out) {
    if (!m_base) return false;
    auto tail = At(Field(kRingTail));
    uint32_t t = tail.load();
    uint32_t c = At(Field(kRingCommit)).load();
    if (t == c) return false;
    if (c - t >= kRingCapacitySlots) {
        // Nonsense counters: start over at the newest committed record.
        tail.compare_exchange_strong(t, c);
        return false;
    }
    std::memcpy(&out, SlotPtr(t), kTraceRecordSize);
    // Success proves tail stayed at t during the copy, so no writer could
    // reuse the slot under it.
    if (!tail.compare_exchange_strong(t, t + 1)) return false;
    At(Field(kRingReaderProgress)).fetch_add(1);
    return true;
}

}  // namespace quillon
