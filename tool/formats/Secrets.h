// Secret bytes in memory and the small texts that carry them: clearing what
// the tools no longer need, a buffer that clears itself, the seed
// fingerprint the tool records instead of a seed, and the key and passphrase
// texts an operator keeps in files.
//
// Seeds and keys are cleared so they do not stay behind in freed memory where
// a later allocation, a swap file or a debugger would find them.
// OPENSSL_cleanse is a clearing the compiler cannot drop the way it may drop
// a plain memset just before a free.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
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

// Input that cannot be used: a malformed text, a setting a format cannot
// express, a field that would break a file. The message says what and why,
// ready for the operator.
class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A fixed-size byte buffer that is wiped before its memory goes back,
// including the old buffer of an assignment. Its size never grows, so no
// reallocation leaves a copy behind.
class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(size_t size);
    SecretBytes(const uint8_t* bytes, size_t size);
    explicit SecretBytes(std::span<const uint8_t> bytes) : SecretBytes(bytes.data(), bytes.size()) {}
    explicit SecretBytes(std::string_view text)
        : SecretBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size()) {}
    SecretBytes(const SecretBytes& other) : SecretBytes(other.data(), other.size()) {}
    SecretBytes(SecretBytes&& other) noexcept;
    SecretBytes& operator=(SecretBytes other) noexcept;
    ~SecretBytes();

    uint8_t* data() { return bytes_.get(); }
    const uint8_t* data() const { return bytes_.get(); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::span<const uint8_t> span() const { return {bytes_.get(), size_}; }
    std::string_view view() const { return {reinterpret_cast<const char*>(bytes_.get()), size_}; }

    // Keeps the first size bytes and clears the rest (after removing padding
    // or reading less than was reserved).
    void Shrink(size_t size);

    // Constant-time comparison of equal-length buffers.
    bool operator==(const SecretBytes& other) const;

private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_ = 0;
};

// Which seed was written, without the seed: the first 8 bytes of SHA-256 of
// the seed bytes as 16 upper-case hexadecimal digits. The one fingerprint
// the journal and the results use.
std::string SeedFingerprint(std::span<const uint8_t> seed);

// A key as hexadecimal text: surrounding white space dropped, then 32, 48 or
// 64 digits in either case (16, 24 or 32 bytes). Throws FormatError naming
// what (the option or file).
SecretBytes ParseHexKey(std::string_view text, const std::string& what);

// A passphrase as a file or standard input holds it: the bytes without one
// final line end ("\n" or "\r\n"). Throws FormatError for an empty one.
SecretBytes PassphraseFromText(std::string_view text, const std::string& what);

}  // namespace provisor
