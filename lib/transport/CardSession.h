// The PC/SC frame every export runs in: one process-wide session slot, the
// serialised APDU exchange with its GET RESPONSE re-sends, and a small RAII
// frame that guarantees the session is closed on every return.
#pragma once

#include <PCSC/winscard.h>

#include <cstddef>
#include <cstdint>

namespace quillon {

// One slot for the whole process; all zero between calls.
struct CardSession {
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD activeProtocol = 0;
};
CardSession& CurrentCardSession();

constexpr DWORD kResponseCapacity = 1024;
// A token that answers 90 60 without end must not hang the caller.
constexpr int kMaxGetResponse = 32;
// Reported when the bound above is reached; a PC/SC-level failure.
constexpr LONG kGetResponseExhausted = static_cast<LONG>(SCARD_F_COMM_ERROR);

// Establishes a context and connects (shared, T=0 or T=1). On failure the
// slot is cleared and false is returned.
bool OpenCardSession(const char* reader);
// Disconnects (leave card), releases the context and clears the slot.
void CloseCardSession();

// One exchange under the process-wide transfer lock, GET RESPONSE included.
// *respLen: capacity in, received length out. Returns 0 or a PC/SC error.
LONG DrvSendApdu(const uint8_t* command, DWORD commandLength, uint8_t* response, DWORD* respLen);
LONG PcscCommand(const uint8_t* command, DWORD commandLength, uint8_t* response, DWORD* respLen);

// A response buffer as each export keeps it on its stack.
struct Response {
    uint8_t data[kResponseCapacity] = {};
    DWORD length = 0;

    // SW1 SW2 as one number; 0 when the response holds no status word.
    uint16_t StatusWord() const {
        return length >= 2 ? static_cast<uint16_t>((data[length - 2] << 8) | data[length - 1]) : 0;
    }
    bool Ok() const { return StatusWord() == 0x9000; }
    // Bytes before the status word.
    DWORD DataLength() const { return length >= 2 ? length - 2 : 0; }
};

// The life of one export: tracing and session, both undone by the
// destructor in the order the frame prescribes (disconnect, release, then
// the trace end).
class CommandFrame {
public:
    enum class Trace { AtEntry, AfterOpen, None };

    explicit CommandFrame(Trace trace);
    ~CommandFrame();
    CommandFrame(const CommandFrame&) = delete;
    CommandFrame& operator=(const CommandFrame&) = delete;

    // OpenCardSession; with Trace::AfterOpen the trace begins once open.
    bool Open(const char* reader);
    bool IsOpen() const { return open_; }

    // Sends a command into r (capacity reset to 1024 first).
    LONG Exchange(const uint8_t* command, size_t length, Response& r);

private:
    Trace trace_;
    bool traceBegun_ = false;
    bool open_ = false;
};

}  // namespace quillon
