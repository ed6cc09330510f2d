// Small pieces every token command shares.
#pragma once

#include "ByteHelpers.h"
#include "CardSession.h"
#include "Quillon.h"
#include "Sm4.h"
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

// Wipes a buffer when the scope ends, whatever the path.
class ScopedWipe {
public:
    ScopedWipe(void* bytes, size_t size) : bytes_(bytes), size_(size) {}
    ~ScopedWipe() { ::explicit_bzero(bytes_, size_); }
    ScopedWipe(const ScopedWipe&) = delete;
    ScopedWipe& operator=(const ScopedWipe&) = delete;

private:
    void* bytes_;
    size_t size_;
};

// Wipes the command key, and the SM4 key state every use of it left
// behind, when a command returns, whatever the path.
struct ScopedCommandKey {
    CommandKey key{};
    explicit ScopedCommandKey(const char* text) : key(DeriveCommandKey(text)) {}
    ~ScopedCommandKey() {
        ::explicit_bzero(key.data(), key.size());
        Sm4ClearKeyState();
    }
    ScopedCommandKey(const ScopedCommandKey&) = delete;
    ScopedCommandKey& operator=(const ScopedCommandKey&) = delete;
};

// Which part of a traced exchange carries a secret: key material, a seed, a
// PIN, an OTP, or anything enciphered under a command key. Every local user
// can read the trace ring, so that part shows only as "[N bytes withheld]";
// the command's header with its length, and the answer's status word, stay.
enum class Withhold { Nothing, CommandData, AnswerData };

constexpr size_t kApduHeader = 5;  // CLA INS P1 P2 Lc
constexpr size_t kStatusWord = 2;

// The label line and the dump of a whole answer, attributed to the caller.
// (The builtins rather than std::source_location: clang 14 with this
// libstdc++ lacks the latter.)
inline void TraceResponse(const char* label, const Response& r, Withhold withhold = Withhold::Nothing,
                          const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    TraceLine(TRACE_INFO, file, line, "%s", label);
    if (withhold == Withhold::AnswerData) {
        TraceHexWithheld(TRACE_INFO, file, line, r.data, r.length, 0, r.length >= kStatusWord ? kStatusWord : 0);
    } else {
        TraceHex(TRACE_INFO, file, line, r.data, r.length);
    }
}

// One exchange as the trace shows it: an optional label and the dump of the
// command before it, the receive label and the answer after it (only when
// the exchange completed).
inline LONG TracedExchange(CommandFrame& frame, const char* sendLabel, const uint8_t* command, size_t length,
                           const char* recvLabel, Response& r, Withhold withhold = Withhold::Nothing,
                           const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    if (sendLabel) TraceLine(TRACE_INFO, file, line, "%s", sendLabel);
    if (withhold == Withhold::CommandData) {
        TraceHexWithheld(TRACE_INFO, file, line, command, length, kApduHeader, 0);
    } else {
        TraceHex(TRACE_INFO, file, line, command, length);
    }
    const LONG rc = frame.Exchange(command, length, r);
    if (rc == SCARD_S_SUCCESS) TraceResponse(recvLabel, r, withhold, file, line);
    return rc;
}

}  // namespace quillon
