#include "CardSession.h"

#include "Trace.h"

#include <atomic>
#include <thread>

namespace quillon {

namespace {
CardSession g_session;
std::atomic<uint32_t> g_transferLock{0};
}  // namespace

CardSession& CurrentCardSession() { return g_session; }

bool OpenCardSession(const char* reader) {
    g_session = CardSession{};
    if (reader == nullptr) return false;

    SCARDCONTEXT ctx = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
        g_session = CardSession{};
        return false;
    }
    g_session.context = ctx;

    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (SCardConnect(ctx, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol) !=
        SCARD_S_SUCCESS) {
        SCardReleaseContext(ctx);
        g_session = CardSession{};
        return false;
    }
    g_session.card = card;
    g_session.activeProtocol = protocol;
    return true;
}

void CloseCardSession() {
    SCardDisconnect(g_session.card, SCARD_LEAVE_CARD);
    g_session.card = 0;
    SCardReleaseContext(g_session.context);
    g_session.context = 0;
    g_session.activeProtocol = 0;
}

LONG DrvSendApdu(const uint8_t* command, DWORD commandLength, uint8_t* response, DWORD* respLen) {
    // A spin lock rather than a mutex: the holder is never descheduled for
    // long and no other lock is taken inside, so it cannot join a cycle.
    while (g_transferLock.exchange(1, std::memory_order_acquire) == 1) {
        std::this_thread::yield();
    }
    LONG rc = PcscCommand(command, commandLength, response, respLen);
    g_transferLock.exchange(0, std::memory_order_release);
    return rc;
}

LONG PcscCommand(const uint8_t* command, DWORD commandLength, uint8_t* response, DWORD* respLen) {
    const SCARD_IO_REQUEST* pci = g_session.activeProtocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    const DWORD capacity = *respLen;

    LONG rc = SCardTransmit(g_session.card, pci, command, commandLength, nullptr, response, respLen);
    if (rc != SCARD_S_SUCCESS) return rc;

    static const uint8_t kGetResponse[5] = {0x00, 0xC0, 0x00, 0x00, 0x00};
    int resends = 0;
    while (*respLen >= 2 && *respLen <= capacity && response[*respLen - 2] == 0x90 && response[*respLen - 1] == 0x60) {
        if (resends++ == kMaxGetResponse) return kGetResponseExhausted;
        QTRACE(TRACE_ERROR, "PcscCommand()-> SEND_AGAIN 00C0000000");
        // Offer the whole buffer again: the fetched answer may be longer
        // than the 90 60 answer that announced it.
        *respLen = capacity;
        rc = SCardTransmit(g_session.card, pci, kGetResponse, sizeof kGetResponse, nullptr, response, respLen);
        if (rc != SCARD_S_SUCCESS) return rc;
    }
    // A reader driver that reports more than it was offered would make the
    // status word point outside the buffer.
    if (*respLen > capacity) return static_cast<LONG>(SCARD_E_INSUFFICIENT_BUFFER);
    return SCARD_S_SUCCESS;
}

CommandFrame::CommandFrame(Trace trace) : trace_(trace) {
    if (trace_ == Trace::AtEntry) {
        TraceBegin();
        traceBegun_ = true;
    }
}

CommandFrame::~CommandFrame() {
    if (open_) CloseCardSession();
    if (traceBegun_) TraceEnd();
}

bool CommandFrame::Open(const char* reader) {
    open_ = OpenCardSession(reader);
    if (open_ && trace_ == Trace::AfterOpen) {
        TraceBegin();
        traceBegun_ = true;
    }
    return open_;
}

LONG CommandFrame::Exchange(const uint8_t* command, size_t length, Response& r) {
    r.length = kResponseCapacity;
    LONG rc = DrvSendApdu(command, static_cast<DWORD>(length), r.data, &r.length);
    if (rc != SCARD_S_SUCCESS) r.length = 0;
    return rc;
}

}  // namespace quillon
