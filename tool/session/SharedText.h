// A text one thread replaces while others read it. Readers get a snapshot of
// an immutable string, so a reader never sees half a replacement and the
// lock is held only for the pointer copy (never across a PC/SC call). A
// replaced text is cleared once its last reader is done with it: it may be
// the access key.
#pragma once

#include <memory>
#include <mutex>
#include <string>

namespace provisor {

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

}  // namespace provisor
