#include "session/ToolSession.h"

namespace provisor {

ToolSession::ToolSession(IClock* clock) : clock(clock ? *clock : m_systemClock) {}

ResultCounters ToolSession::CountResult(bool success) {
    std::lock_guard lock(m_countersMutex);
    ++m_counters.total;
    ++(success ? m_counters.success : m_counters.fail);
    return m_counters;
}

ResultCounters ToolSession::ResetCounters() {
    std::lock_guard lock(m_countersMutex);
    m_counters = {};
    return m_counters;
}

ResultCounters ToolSession::Counters() const {
    std::lock_guard lock(m_countersMutex);
    return m_counters;
}

TokenInfo ToolSession::Token() const {
    std::lock_guard lock(m_fieldsMutex);
    return m_token;
}

std::string ToolSession::SerialNumber() const {
    std::lock_guard lock(m_fieldsMutex);
    return m_token.serialNumber;
}

void ToolSession::SetTokenInfo(TokenInfo token) {
    std::lock_guard lock(m_fieldsMutex);
    if (m_token == token) return;
    m_token = std::move(token);
    m_fieldsChanged = true;
}

std::string ToolSession::Tip() const {
    std::lock_guard lock(m_fieldsMutex);
    return m_tip;
}

void ToolSession::SetTip(std::string tip) {
    std::lock_guard lock(m_fieldsMutex);
    if (m_tip == tip) return;
    m_tip = std::move(tip);
    m_fieldsChanged = true;
}

void ToolSession::PostFieldUpdate() {
    // Held while the handler runs, so that once a new handler is set the old
    // one is never called again.
    std::lock_guard handlerLock(m_handlerMutex);
    {
        // The reader watch and the card thread post every 50 ms; only a
        // change is worth waking the UI thread for.
        std::lock_guard lock(m_fieldsMutex);
        if (!m_fieldsChanged || !m_fieldUpdateHandler) return;
        m_fieldsChanged = false;
    }
    m_fieldUpdateHandler();
}

void ToolSession::SetFieldUpdateHandler(std::function<void()> handler) {
    std::lock_guard handlerLock(m_handlerMutex);
    std::lock_guard lock(m_fieldsMutex);
    m_fieldUpdateHandler = std::move(handler);
    m_fieldsChanged = true;
}

void ToolSession::Pause(std::chrono::milliseconds pause) {
    RunBlocking([&] { clock.Wait(pause); });
}

}  // namespace provisor
