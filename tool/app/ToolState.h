// Process-wide state of the tool shared between the UI thread and the
// worker threads.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace provisor {

// The access key as hexadecimal text. Replaced on the UI thread while the
// card thread may be reading it, so readers get a snapshot of an immutable
// string.
class CustomerKeyText {
public:
    std::shared_ptr<const std::string> Snapshot() const {
        std::lock_guard lock(m_mutex);
        return m_text;
    }
    std::string Get() const { return *Snapshot(); }
    void Set(std::string text) {
        auto fresh = std::make_shared<const std::string>(std::move(text));
        std::lock_guard lock(m_mutex);
        m_text = std::move(fresh);
    }

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<const std::string> m_text = std::make_shared<const std::string>();
};

extern CustomerKeyText g_customerKey;

// Seed source of the automatic write: 0 typed, 1 seed file, 2 provider.
extern std::atomic<int> g_seedSource;
// 1 while the token in the reader still has to be read / written.
extern std::atomic<int> g_readPending;
extern std::atomic<int> g_writePending;
// 0 no card thread, 1 running, 2 stop requested.
extern std::atomic<int> g_cardThreadState;

}  // namespace provisor
