// The reader watch: lists the PC/SC readers every 50 ms and tells the
// dialog which names to show. It never touches the chosen reader: a reader
// that goes away only makes the card thread's connections fail.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "session/ToolSession.h"
#include "session/PcscProbe.h"
#include "session/PeriodicThread.h"

namespace provisor {

// How the reader list changes from `entries` (shown now) to follow `listed`:
// entries no listed reader has exactly (indices, last first), then names to
// append at the end in listing order. The selection is the caller's.
struct ReaderListEdit {
    std::vector<int> removeIndices;
    std::vector<std::string> append;
    bool Empty() const { return removeIndices.empty() && append.empty(); }
};
ReaderListEdit ReconcileReaderList(const std::vector<std::string>& entries, const std::vector<std::string>& listed);

class ReaderWatch {
public:
    // publish gets the listed names, or nullopt when listing failed (the
    // list is then emptied); it is called from the watch thread, only when
    // the outcome differs from the last one published, and must not block.
    using Publish = std::function<void(const std::optional<std::vector<std::string>>&)>;

    ReaderWatch(IPcscProbe& probe, ToolSession& session, Publish publish);
    ~ReaderWatch() { Stop(); }
    ReaderWatch(const ReaderWatch&) = delete;
    ReaderWatch& operator=(const ReaderWatch&) = delete;

    void Start();
    // Ends the thread within one cycle.
    void Stop() { m_thread.Stop(); }
    // One listing and its consequences.
    void Cycle();

    static constexpr int kPeriodMs = 50;

private:
    IPcscProbe& m_probe;
    ToolSession& m_session;
    Publish m_publish;
    bool m_published = false;
    std::optional<std::vector<std::string>> m_last;
    PeriodicThread m_thread;
};

}  // namespace provisor
