#include "session/CardApi.h"

namespace provisor {

CardApi g_cardApi;

std::mutex& CardApi::CallLock() {
    static std::mutex lock;
    return lock;
}

void CardApi::Clear() {
    for (auto& entry : m_entries) entry.store(nullptr, std::memory_order_release);
}

void CardApi::Resolve(const std::function<void*(const char*)>& lookup) {
    Clear();
    for (size_t i = 0; i < kCardExportCount; ++i)
        m_entries[i].store(lookup(kCardExportNames[i]), std::memory_order_release);
}

}  // namespace provisor
