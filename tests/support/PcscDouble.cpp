#include "PcscDouble.h"

#include <PCSC/pcsclite.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

extern "C" {
const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
}

namespace pcscdouble {
namespace {

struct State {
    std::vector<std::string> readers{"Norvik Reader 0"};
    DWORD protocol = SCARD_PROTOCOL_T1;
    LONG establishRc = SCARD_S_SUCCESS;
    int establishTimes = 0;
    LONG connectRc = SCARD_S_SUCCESS;
    int connectTimes = 0;
    std::map<int, LONG> transmitFailures;
    std::deque<Bytes> queue;
    std::function<Bytes(const Bytes&)> responder;
    std::vector<Sent> sent;
    std::set<SCARDCONTEXT> contexts;
    std::set<SCARDHANDLE> cards;
    SCARDCONTEXT nextContext = 0x1000;
    SCARDHANDLE nextCard = 0x2000;
    int establishCount = 0;
    int connectCount = 0;
    DWORD lastDisposition = 0xFFFFFFFF;
    std::string lastReader;
};

std::mutex g_mutex;
State g_state;

bool TakeFailure(LONG rc, int& times) {
    if (rc == SCARD_S_SUCCESS || times == 0) return false;
    if (times > 0) --times;
    return true;
}

}  // namespace

void Reset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state = State{};
}
void SetReaders(std::vector<std::string> names) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.readers = std::move(names);
}
void SetProtocol(DWORD protocol) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.protocol = protocol;
}
void FailEstablish(LONG rc, int times) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.establishRc = rc;
    g_state.establishTimes = times;
}
void FailConnect(LONG rc, int times) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.connectRc = rc;
    g_state.connectTimes = times;
}
void FailTransmitAt(int index, LONG rc) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.transmitFailures[index] = rc;
}
void QueueResponse(Bytes response) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.queue.push_back(std::move(response));
}
void SetResponder(std::function<Bytes(const Bytes&)> responder) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.responder = std::move(responder);
}
std::vector<Sent> SentApdus() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_state.sent;
}
size_t TransmitCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_state.sent.size();
}
int LiveContexts() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<int>(g_state.contexts.size());
}
int LiveCards() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<int>(g_state.cards.size());
}
int EstablishCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_state.establishCount;
}
int ConnectCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_state.connectCount;
}
DWORD LastDisposition() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_state.lastDisposition;
}
std::string LastConnectedReader() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_state.lastReader;
}

Bytes Hex(const std::string& text) {
    Bytes out;
    int nibble = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<uint8_t>(nibble * 16 + v));
            nibble = -1;
        }
    }
    return out;
}

std::string ToHex(const Bytes& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ' ';
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

}  // namespace pcscdouble

using namespace pcscdouble;

extern "C" {

LONG SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2, LPSCARDCONTEXT phContext) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_state.establishCount;
    if (dwScope != SCARD_SCOPE_SYSTEM || pvReserved1 || pvReserved2 || !phContext) return SCARD_E_INVALID_PARAMETER;
    if (TakeFailure(g_state.establishRc, g_state.establishTimes)) return g_state.establishRc;
    *phContext = g_state.nextContext++;
    g_state.contexts.insert(*phContext);
    return SCARD_S_SUCCESS;
}

LONG SCardReleaseContext(SCARDCONTEXT hContext) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_state.contexts.erase(hContext) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardIsValidContext(SCARDCONTEXT hContext) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_state.contexts.count(hContext) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols,
                  LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_state.connectCount;
    if (!g_state.contexts.count(hContext)) return SCARD_E_INVALID_HANDLE;
    if (!szReader || !phCard || !pdwActiveProtocol) return SCARD_E_INVALID_PARAMETER;
    if (dwShareMode != SCARD_SHARE_SHARED || dwPreferredProtocols != (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1))
        return SCARD_E_INVALID_PARAMETER;
    if (TakeFailure(g_state.connectRc, g_state.connectTimes)) return g_state.connectRc;
    if (std::find(g_state.readers.begin(), g_state.readers.end(), szReader) == g_state.readers.end())
        return SCARD_E_UNKNOWN_READER;
    *phCard = g_state.nextCard++;
    *pdwActiveProtocol = g_state.protocol;
    g_state.cards.insert(*phCard);
    g_state.lastReader = szReader;
    return SCARD_S_SUCCESS;
}

LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.lastDisposition = dwDisposition;
    return g_state.cards.erase(hCard) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci, LPCBYTE pbSendBuffer, DWORD cbSendLength,
                   SCARD_IO_REQUEST* /*pioRecvPci*/, LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength) {
    std::function<Bytes(const Bytes&)> responder;
    Bytes command(pbSendBuffer, pbSendBuffer + cbSendLength);
    Bytes answer;
    bool haveAnswer = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_state.cards.count(hCard)) return SCARD_E_INVALID_HANDLE;
        if (!pbRecvBuffer || !pcbRecvLength) return SCARD_E_INVALID_PARAMETER;
        const int index = static_cast<int>(g_state.sent.size());
        g_state.sent.push_back(Sent{command, pioSendPci, *pcbRecvLength});
        auto failure = g_state.transmitFailures.find(index);
        if (failure != g_state.transmitFailures.end()) return failure->second;
        if (!g_state.queue.empty()) {
            answer = std::move(g_state.queue.front());
            g_state.queue.pop_front();
            haveAnswer = true;
        } else {
            responder = g_state.responder;
        }
    }
    if (!haveAnswer) answer = responder ? responder(command) : Bytes{0x6F, 0x00};
    if (answer.size() > *pcbRecvLength) {
        *pcbRecvLength = static_cast<DWORD>(answer.size());
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (!answer.empty()) std::memcpy(pbRecvBuffer, answer.data(), answer.size());
    *pcbRecvLength = static_cast<DWORD>(answer.size());
    return SCARD_S_SUCCESS;
}

}  // extern "C"
