#include "session/CardMonitor.h"

#include <chrono>

namespace provisor {

CardMonitor::CardMonitor(IPcscProbe& probe, const ToolContext& ctx, std::function<void()> autoWrite)
    : m_probe(probe), m_ctx(ctx), m_autoWrite(std::move(autoWrite)) {}

bool CardMonitor::Cycle() {
    ToolSession& s = m_ctx.session;
    CardThreadState expected = CardThreadState::StopRequested;
    if (s.g_cardThreadState.compare_exchange_strong(expected, CardThreadState::None)) return false;

    std::unique_ptr<ICardPresence> presence = m_probe.ConnectShared(s.g_readerName.Get());
    if (!presence) {
        s.g_readPending = true;
        s.g_writePending = true;
        s.ClearTokenInfo();
        s.PostFieldUpdate();
        return true;
    }
    if (s.g_readPending && ReadTokenInfo(m_ctx, s.m_profile)) s.g_readPending = false;
    if (s.g_writePending && s.m_writeArmed && !s.SerialNumber().empty() && m_autoWrite) m_autoWrite();
    return true;
}

void CardMonitor::Loop() {
    while (Cycle()) {
        std::unique_lock lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(kPeriodMs),
                        [this] { return m_ctx.session.g_cardThreadState == CardThreadState::StopRequested; });
    }
}

void CardMonitor::Stop() {
    if (!m_thread.joinable()) return;
    CardThreadState expected = CardThreadState::Running;
    m_ctx.session.g_cardThreadState.compare_exchange_strong(expected, CardThreadState::StopRequested);
    {
        std::lock_guard lock(m_mutex);  // the thread is either waiting or will see the request
    }
    m_wake.notify_all();
    // The thread may be in the middle of an automatic write, or asking the
    // operator something through the UI thread: wait without freezing it.
    m_ctx.session.RunBlocking([this] { m_thread.join(); });
}

void CardMonitor::Restart() {
    Stop();
    m_ctx.session.g_cardThreadState = CardThreadState::Running;
    m_thread = std::thread([this] { Loop(); });
}

}  // namespace provisor
