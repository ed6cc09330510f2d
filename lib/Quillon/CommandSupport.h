// Small pieces every token command shares.
#pragma once

#include "ByteHelpers.h"
#include "CardSession.h"
#include "Quillon.h"
#include "Trace.h"

#include <cstring>

namespace quillon {

// The key buffer holds 16 bytes, i.e. 32 hexadecimal digits.
constexpr size_t kMaxKeyText = 32;

inline bool KeyTextTooLong(const char* text) {
    return text != nullptr && ::strnlen(text, kMaxKeyText + 1) > kMaxKeyText;
}
inline bool IsEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

inline uint8_t LowByte(int32_t value) { return static_cast<uint8_t>(value & 0xFF); }

// Wipes key material when a command returns, whatever the path.
struct ScopedCommandKey {
    CommandKey key{};
    explicit ScopedCommandKey(const char* text) : key(DeriveCommandKey(text)) {}
    ~ScopedCommandKey() { ::explicit_bzero(key.data(), key.size()); }
    ScopedCommandKey(const ScopedCommandKey&) = delete;
    ScopedCommandKey& operator=(const ScopedCommandKey&) = delete;
};

}  // namespace quillon
