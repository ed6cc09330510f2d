// Small pieces every token command shares.
#pragma once

#include "ByteHelpers.h"
#include "CardSession.h"
#include "Quillon.h"
#include "Trace.h"

#include <cstring>

namespace quillon {

// Class byte of the plain commands; the MAC-protected ones (84) are built by
// SecuredCommand.
constexpr uint8_t kClaPlain = 0x80;
// The read instruction: serial number and clock, or, asked with the single
// data byte 70, a profile's record.
constexpr uint8_t kInsRead = 0x41;

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

// The label line and the dump of a whole answer, attributed to the caller.
// (The builtins rather than std::source_location: clang 14 with this
// libstdc++ lacks the latter.)
inline void TraceResponse(const char* label, const Response& r, const char* file = __builtin_FILE(),
                          int line = __builtin_LINE()) {
    TraceLine(TRACE_INFO, file, line, "%s", label);
    TraceHex(TRACE_INFO, file, line, r.data, r.length);
}

// One exchange as the trace shows it: an optional label and the dump of the
// command before it, the receive label and the answer after it (only when
// the exchange completed).
inline LONG TracedExchange(CommandFrame& frame, const char* sendLabel, const uint8_t* command, size_t length,
                           const char* recvLabel, Response& r, const char* file = __builtin_FILE(),
                           int line = __builtin_LINE()) {
    if (sendLabel) TraceLine(TRACE_INFO, file, line, "%s", sendLabel);
    TraceHex(TRACE_INFO, file, line, command, length);
    const LONG rc = frame.Exchange(command, length, r);
    if (rc == SCARD_S_SUCCESS) TraceResponse(recvLabel, r, file, line);
    return rc;
}

}  // namespace quillon
