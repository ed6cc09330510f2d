// Clearing the seeds and keys the tool no longer needs, so they do not stay
// behind in freed memory where a later allocation, a swap file or a
// debugger would find them. OPENSSL_cleanse is a clearing the compiler
// cannot drop the way it may drop a plain memset just before a free.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace provisor {

inline void Wipe(void* data, size_t size) {
    if (data && size > 0) OPENSSL_cleanse(data, size);
}

// Up to the capacity: a text that shrank keeps its old bytes beyond its end.
inline void Wipe(std::string& text) {
    text.resize(text.capacity());
    Wipe(text.data(), text.size());
    text.clear();
}

template <typename T>
requires std::is_trivially_copyable_v<T>
inline void Wipe(std::vector<T>& items) {
    items.resize(items.capacity());
    Wipe(items.data(), items.size() * sizeof(T));
    items.clear();
}

template <typename T, size_t N>
requires std::is_trivially_copyable_v<T>
inline void Wipe(T (&items)[N]) { Wipe(items, sizeof items); }

// Wipes the buffers it was given when the scope ends, on every way out.
template <typename... Buffers>
class WipeOnExit {
public:
    explicit WipeOnExit(Buffers&... buffers) : m_buffers(buffers...) {}
    ~WipeOnExit() {
        std::apply([](auto&... buffer) { (Wipe(buffer), ...); }, m_buffers);
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    std::tuple<Buffers&...> m_buffers;
};

}  // namespace provisor
