// Test support for the integration tests: where the norvik-sim instances of
// the pcscd fixture are, how to send them control lines, and a minimal
// PC/SC session to talk to a token directly.
//
// The fixture (scripts/pcsc-env.sh, started by CTest) runs
//   simulator 0 in "Virtual PCD 00 00": 100 profiles, screen lock, serial NV2A00000001
//   simulator 1 in "Virtual PCD 00 01": 50 profiles, no screen lock, serial NV1B00000002
// both with the factory access key and "confirm accept". Tests that change
// a token should put it back (or restart it with RestartSim).
#pragma once

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace norvik::simtest {

using Bytes = std::vector<uint8_t>;

// $PCSC_ENV_DIR, else the build's default.
std::string EnvDir();
// "Virtual PCD 00 0<index>".
std::string ReaderName(int index);
std::string ControlSocketPath(int index);

// Sends one control line (see docs/sim.md) to simulator `index` and returns
// its reply line, "ok ..." or "err ...". Throws std::runtime_error when the
// simulator cannot be reached.
std::string SimControl(int index, const std::string& line);
// Same, but throws unless the reply starts with "ok".
void SimControlOk(int index, const std::string& line);
// Value of key=value in the simulator's "status" reply ("" when absent).
std::string SimStatus(int index, const std::string& key);

// Brings simulator `index` back to the fixture's starting point: faults
// cleared, confirmation accept, card inserted and seen by pcscd.
void ResetSim(int index);

// Waits with SCardGetStatusChange until the reader reports a card present
// (or absent). Returns false on time-out.
bool WaitForCard(const std::string& reader, bool present, unsigned timeoutMs = 10000);

// pcsc-lite counts card events (insertions, removals) in the high word of
// dwEventState. Removal followed by insertion adds two.
DWORD CardEventCount(const std::string& reader);
// Waits until the count has reached `atLeast` with a card present.
bool WaitForCardEvents(const std::string& reader, DWORD atLeast, unsigned timeoutMs = 15000);

// One PC/SC context + shared connection, released on destruction.
class PcscCard {
 public:
  explicit PcscCard(const std::string& reader);  // throws std::runtime_error on failure
  ~PcscCard();
  PcscCard(const PcscCard&) = delete;
  PcscCard& operator=(const PcscCard&) = delete;

  // Raw SCardTransmit; the response is resized to what arrived.
  LONG Transmit(const Bytes& apdu, Bytes& response);
  // Throws on a PC/SC error.
  Bytes Transmit(const Bytes& apdu);
  DWORD protocol() const { return protocol_; }
  SCARDHANDLE handle() const { return card_; }

 private:
  SCARDCONTEXT context_ = 0;
  SCARDHANDLE card_ = 0;
  DWORD protocol_ = 0;
};

// "80 41 00 00" or "80410000" → bytes (norvik::sim::FromHex); throws on bad text.
Bytes Hex(std::string_view text);
std::string HexOf(const Bytes& b);
// Last two bytes as a number (0 when shorter).
uint16_t StatusWord(const Bytes& response);

}  // namespace norvik::simtest
