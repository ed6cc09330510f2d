// Process-wide state of the tool, shared between the UI thread and the
// worker threads.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace provisor {

// A text one thread replaces while others read it. Readers get a snapshot of
// an immutable string, so a reader never sees half a replacement and the
// lock is held only for the pointer copy (never across a PC/SC call). A
// replaced text is cleared once its last reader is done with it: it may be
// the access key.
class SharedText {
public:
    std::shared_ptr<const std::string> Snapshot() const {
        std::lock_guard lock(m_mutex);
        return m_text;
    }
    std::string Get() const { return *Snapshot(); }
    void Set(std::string text) {
        auto fresh = Hold(std::move(text));
        std::lock_guard lock(m_mutex);
        m_text.swap(fresh);
    }
    bool Empty() const { return Snapshot()->empty(); }

private:
    static std::shared_ptr<const std::string> Hold(std::string text);

    mutable std::mutex m_mutex;
    std::shared_ptr<const std::string> m_text = Hold({});
};

// The access key as hexadecimal text.
using CustomerKeyText = SharedText;
extern CustomerKeyText g_customerKey;

// The reader chosen by "connect" (UTF-8, as PC/SC lists it); empty until
// then. Every device operation does nothing while it is empty.
extern SharedText g_readerName;

// Where a seed write takes its seed from.
enum class SeedSource : int {
    Typed = 0,     // the seed field, as base32
    SeedFile = 1,  // the seed table, by the token's serial number
    Provider = 2,  // a seed provider library's GetSeed
    Bulk = 4,      // set by the bulk file chooser; reads the seed field like Typed
};
extern std::atomic<SeedSource> g_seedSource;

// True while the token in the reader still has to be read / written.
extern std::atomic<bool> g_readPending;
extern std::atomic<bool> g_writePending;

enum class CardThreadState : int { None = 0, Running = 1, StopRequested = 2 };
extern std::atomic<CardThreadState> g_cardThreadState;

// The counters of the result list: Total, Success, Fail.
extern std::atomic<int> g_totalCount;
extern std::atomic<int> g_successCount;
extern std::atomic<int> g_failCount;

}  // namespace provisor
