// In-process stand-in for libpcsclite: defines the same SCard* symbols, so
// code linked against it talks to a script instead of a reader. Every
// transmitted APDU is recorded byte for byte.
#pragma once

#include <PCSC/winscard.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pcscdouble {

using Bytes = std::vector<uint8_t>;

struct Sent {
    Bytes command;
    const SCARD_IO_REQUEST* sendPci = nullptr;
    DWORD capacity = 0;  // response capacity offered by the caller
};

// Back to one known reader "Norvik Reader 0", protocol T=1, no script.
void Reset();
void SetReaders(std::vector<std::string> names);
void SetProtocol(DWORD protocol);

// The next SCardEstablishContext / SCardConnect fail with rc (one-shot when
// times is 1, always when times is -1).
void FailEstablish(LONG rc, int times = -1);
void FailConnect(LONG rc, int times = -1);
// Transmit number `index` (0-based, counted since Reset) fails with rc.
void FailTransmitAt(int index, LONG rc);

// Responses handed out in order; when the queue is empty the responder is
// asked, and without a responder the answer is 6F 00.
void QueueResponse(Bytes response);
void SetResponder(std::function<Bytes(const Bytes& command)> responder);

std::vector<Sent> SentApdus();
size_t TransmitCount();
// Handles that were established/connected and not yet released.
int LiveContexts();
int LiveCards();
int EstablishCount();
int ConnectCount();
DWORD LastDisposition();
std::string LastConnectedReader();

Bytes Hex(const std::string& text);  // "80 41 00" -> bytes
std::string ToHex(const Bytes& bytes);

}  // namespace pcscdouble
