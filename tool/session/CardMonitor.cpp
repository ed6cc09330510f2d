#include "session/CardMonitor.h"

#include <chrono>

namespace provisor {

CardMonitor::CardMonitor(IPcscProbe& probe, ToolContext& ctx, std::function<void()> autoWrite)
    : m_probe(probe), m_ctx(ctx), m_autoWrite(std::move(autoWrite)) {}

bool CardMonitor::Cycle() {
    CardThreadState expected = CardThreadState::StopRequested;
    if (g_cardThreadState.compare_exchange_strong(expected, CardThreadState::None)) return false;

    std::unique_ptr<ICardPresence> presence = m_probe.ConnectShared(g_readerName.Get());
    if (!presence) {
        g_readPending = true;
        g_writePending = true;
        m_ctx.state.ClearTokenInfo();
        m_ctx.state.PostFieldUpdate();
        return true;
    }
    if (g_readPending && ReadTokenInfo(m_ctx, m_ctx.state.m_profile)) g_readPending = false;
    if (g_writePending && m_ctx.state.m_writeArmed && !m_ctx.state.m_serialNumber.Empty() && m_autoWrite) m_autoWrite();
    return true;
}

void CardMonitor::Loop() {
    while (Cycle()) {
        std::unique_lock lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(kPeriodMs),
                        [] { return g_cardThreadState == CardThreadState::StopRequested; });
    }
}

void CardMonitor::Stop() {
    if (!m_thread.joinable()) return;
    CardThreadState expected = CardThreadState::Running;
    g_cardThreadState.compare_exchange_strong(expected, CardThreadState::StopRequested);
    {
        std::lock_guard lock(m_mutex);  // the thread is either waiting or will see the request
    }
    m_wake.notify_all();
    // The thread may be in the middle of an automatic write, or asking the
    // operator something through the UI thread: wait without freezing it.
    RunBlocking([this] { m_thread.join(); });
}

void CardMonitor::Restart() {
    Stop();
    g_cardThreadState = CardThreadState::Running;
    m_thread = std::thread([this] { Loop(); });
}

}  // namespace provisor
