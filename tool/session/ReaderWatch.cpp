#include "session/ReaderWatch.h"

#include <algorithm>

namespace provisor {

ReaderListEdit ReconcileReaderList(const std::vector<std::string>& entries, const std::vector<std::string>& listed) {
    ReaderListEdit edit;
    // Exact names: "Reader 1" must go when only "Reader 10" is left.
    for (int i = static_cast<int>(entries.size()) - 1; i >= 0; --i)
        if (std::find(listed.begin(), listed.end(), entries[static_cast<size_t>(i)]) == listed.end())
            edit.removeIndices.push_back(i);
    for (const std::string& name : listed) {
        const bool shown = std::find(entries.begin(), entries.end(), name) != entries.end();
        const bool queued = std::find(edit.append.begin(), edit.append.end(), name) != edit.append.end();
        if (!shown && !queued) edit.append.push_back(name);
    }
    return edit;
}

ReaderWatch::ReaderWatch(IPcscProbe& probe, ToolSession& session, Publish publish)
    : m_probe(probe), m_session(session), m_publish(std::move(publish)) {}

void ReaderWatch::Cycle() {
    std::optional<std::vector<std::string>> listed = m_probe.ListReaders();
    if (listed) {
        if (listed->empty()) {
            m_session.ClearTokenInfo();
            m_session.g_readPending = true;
            m_session.g_writePending = true;
        }
    } else {
        m_session.ClearTokenInfo();
    }
    if (!m_published || listed != m_last) {
        m_publish(listed);
        m_last = std::move(listed);
        m_published = true;
    }
    m_session.SetTip({});
    m_session.PostFieldUpdate();
}

void ReaderWatch::Start() {
    m_thread.Start(std::chrono::milliseconds(kPeriodMs), PeriodicThread::First::Work, [this] { Cycle(); });
}

}  // namespace provisor
