#include "session/DialogState.h"

namespace provisor {

void DialogState::Replace(SharedText& text, std::string value, bool& changed) {
    if (*text.Snapshot() == value) return;
    text.Set(std::move(value));
    changed = true;
}

void DialogState::SetTokenInfo(std::string serialNumber, std::string tokenTime) {
    bool changed = false;
    Replace(m_serialNumber, std::move(serialNumber), changed);
    Replace(m_tokenTime, std::move(tokenTime), changed);
    if (changed) m_dirty = true;
}

void DialogState::SetTip(std::string tip) {
    bool changed = false;
    Replace(m_tip, std::move(tip), changed);
    if (changed) m_dirty = true;
}

void DialogState::PostFieldUpdate() {
    // Two readers of the reader watch and the card thread post every 50 ms;
    // only a change is worth waking the UI thread for.
    if (!m_dirty.exchange(false)) return;
    std::lock_guard lock(m_handlerMutex);
    if (m_handler) m_handler();
}

void DialogState::SetFieldUpdateHandler(std::function<void()> handler) {
    std::lock_guard lock(m_handlerMutex);
    m_handler = std::move(handler);
    m_dirty = true;
}

}  // namespace provisor
