#include "formats/Secrets.h"

#include <openssl/evp.h>

#include <cstring>
#include <utility>

#include "formats/Encodings.h"

namespace provisor {

SecretBytes::SecretBytes(size_t size) : bytes_(size ? new uint8_t[size]() : nullptr), size_(size) {}

SecretBytes::SecretBytes(const uint8_t* bytes, size_t size) : SecretBytes(size) {
    if (size) std::memcpy(bytes_.get(), bytes, size);
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)) {}

SecretBytes& SecretBytes::operator=(SecretBytes other) noexcept {
    // other takes the old buffer along and clears it as it goes.
    std::swap(bytes_, other.bytes_);
    std::swap(size_, other.size_);
    return *this;
}

SecretBytes::~SecretBytes() {
    Wipe(bytes_.get(), size_);
}

void SecretBytes::Shrink(size_t size) {
    if (size >= size_) return;
    Wipe(bytes_.get() + size, size_ - size);
    size_ = size;
}

bool SecretBytes::operator==(const SecretBytes& other) const {
    return size_ == other.size_ && (size_ == 0 || CRYPTO_memcmp(bytes_.get(), other.bytes_.get(), size_) == 0);
}

std::string SeedFingerprint(std::span<const uint8_t> seed) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(seed.data(), seed.size(), digest, &length, EVP_sha256(), nullptr) || length < 8)
        throw std::runtime_error("SHA-256 is not available");
    return BytesToHexString(digest, 8);
}

SecretBytes ParseHexKey(std::string_view text, const std::string& what) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    if (text.size() != 32 && text.size() != 48 && text.size() != 64)
        throw FormatError(what + ": a key is 32, 48 or 64 hexadecimal digits (16, 24 or 32 bytes), not " +
                          std::to_string(text.size()) + " characters");
    SecretBytes key(text.size() / 2);
    for (size_t i = 0; i < key.size(); ++i) {
        const uint8_t high = HexDigitValue(static_cast<unsigned char>(text[2 * i]));
        const uint8_t low = HexDigitValue(static_cast<unsigned char>(text[2 * i + 1]));
        if (high > 15 || low > 15) throw FormatError(what + ": the key has characters other than 0-9, a-f, A-F");
        key.data()[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return key;
}

SecretBytes PassphraseFromText(std::string_view text, const std::string& what) {
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    }
    if (text.empty()) throw FormatError(what + ": the passphrase is empty");
    return SecretBytes(text);
}

}  // namespace provisor
