// Secret bytes in memory and the small texts that carry them: a buffer that
// clears itself, the seed fingerprint the tool records instead of a seed,
// and the key and passphrase texts an operator keeps in files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace provisor {

// Input that cannot be used: a malformed text, a setting a format cannot
// express, a field that would break a file. The message says what and why,
// ready for the operator.
class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A fixed-size byte buffer that is overwritten (OPENSSL_cleanse) before its
// memory goes back, including the old buffer of an assignment. Its size
// never grows, so no reallocation leaves a copy behind.
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
