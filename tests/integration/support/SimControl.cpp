#include "SimControl.h"

#include "SimCrypto.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#ifndef NORVIK_PCSC_ENV_DIR
#define NORVIK_PCSC_ENV_DIR "/tmp/pcsc-env"
#endif

namespace norvik::simtest {

std::string EnvDir() {
  const char* env = std::getenv("PCSC_ENV_DIR");
  return env && *env ? env : NORVIK_PCSC_ENV_DIR;
}

std::string ReaderName(int index) { return "Virtual PCD 00 0" + std::to_string(index); }

std::string ControlSocketPath(int index) { return EnvDir() + "/sim" + std::to_string(index) + ".sock"; }

std::string SimControl(int index, const std::string& line) {
  const std::string path = ControlSocketPath(index);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("control socket path too long: " + path);
  std::strcpy(addr.sun_path, path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket() failed");
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    throw std::runtime_error("norvik-sim not reachable at " + path + " (is the pcscd fixture running?)");
  }
  std::string out = line + "\n";
  std::string reply;
  bool ok = send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
  while (ok && reply.find('\n') == std::string::npos) {
    char buf[512];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0)
      ok = false;
    else
      reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  if (!ok) throw std::runtime_error("norvik-sim closed the control connection");
  return reply.substr(0, reply.find('\n'));
}

void SimControlOk(int index, const std::string& line) {
  std::string reply = SimControl(index, line);
  if (reply.rfind("ok", 0) != 0)
    throw std::runtime_error("sim " + std::to_string(index) + ": \"" + line + "\" -> " + reply);
}

std::string SimStatus(int index, const std::string& key) {
  std::istringstream in(SimControl(index, "status"));
  for (std::string w; in >> w;)
    if (w.rfind(key + "=", 0) == 0) return w.substr(key.size() + 1);
  return {};
}

void ResetSim(int index) {
  SimControlOk(index, "clear");
  SimControlOk(index, "confirm accept");
  SimControlOk(index, "insert");
  if (!WaitForCard(ReaderName(index), true)) throw std::runtime_error("no card in " + ReaderName(index));
}

namespace {

// Waits with SCardGetStatusChange until `reached(dwEventState)` holds for the
// reader, checked at once and after every change. False on time-out.
template <typename Pred>
bool WaitForReaderState(const std::string& reader, unsigned timeoutMs, Pred reached) {
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return false;
  SCARD_READERSTATE st{};
  st.szReader = reader.c_str();
  st.dwCurrentState = SCARD_STATE_UNAWARE;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool ok = false;
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (SCardGetStatusChange(ctx, static_cast<DWORD>(left > 0 ? left : 0), &st, 1) != SCARD_S_SUCCESS) break;
    if (reached(st.dwEventState)) {
      ok = true;
      break;
    }
    st.dwCurrentState = st.dwEventState & ~SCARD_STATE_CHANGED;
  }
  SCardReleaseContext(ctx);
  return ok;
}

}  // namespace

bool WaitForCard(const std::string& reader, bool present, unsigned timeoutMs) {
  return WaitForReaderState(reader, timeoutMs,
                            [present](DWORD state) { return ((state & SCARD_STATE_PRESENT) != 0) == present; });
}

DWORD CardEventCount(const std::string& reader) {
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return 0;
  SCARD_READERSTATE st{};
  st.szReader = reader.c_str();
  st.dwCurrentState = SCARD_STATE_UNAWARE;
  DWORD count = SCardGetStatusChange(ctx, 0, &st, 1) == SCARD_S_SUCCESS ? st.dwEventState >> 16 : 0;
  SCardReleaseContext(ctx);
  return count;
}

bool WaitForCardEvents(const std::string& reader, DWORD atLeast, unsigned timeoutMs) {
  return WaitForReaderState(reader, timeoutMs, [atLeast](DWORD state) {
    return (state >> 16) >= atLeast && (state & SCARD_STATE_PRESENT) != 0;
  });
}

PcscCard::PcscCard(const std::string& reader) {
  LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_);
  if (rv != SCARD_S_SUCCESS)
    throw std::runtime_error(std::string("SCardEstablishContext: ") + pcsc_stringify_error(rv));
  rv = SCardConnect(context_, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_,
                    &protocol_);
  if (rv != SCARD_S_SUCCESS) {
    SCardReleaseContext(context_);
    throw std::runtime_error("SCardConnect(" + reader + "): " + pcsc_stringify_error(rv));
  }
}

PcscCard::~PcscCard() {
  SCardDisconnect(card_, SCARD_LEAVE_CARD);
  SCardReleaseContext(context_);
}

LONG PcscCard::Transmit(const Bytes& apdu, Bytes& response) {
  response.assign(1024, 0);
  DWORD len = static_cast<DWORD>(response.size());
  const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
  LONG rv = SCardTransmit(card_, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, response.data(), &len);
  response.resize(rv == SCARD_S_SUCCESS ? len : 0);
  return rv;
}

Bytes PcscCard::Transmit(const Bytes& apdu) {
  Bytes r;
  LONG rv = Transmit(apdu, r);
  if (rv != SCARD_S_SUCCESS) throw std::runtime_error(std::string("SCardTransmit: ") + pcsc_stringify_error(rv));
  return r;
}

Bytes Hex(std::string_view text) {
  Bytes out;
  if (!norvik::sim::FromHex(text, out)) throw std::invalid_argument("bad hex: " + std::string(text));
  return out;
}

std::string HexOf(const Bytes& b) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < b.size(); ++i) {
    if (i) s.push_back(' ');
    s.push_back(d[b[i] >> 4]);
    s.push_back(d[b[i] & 15]);
  }
  return s;
}

uint16_t StatusWord(const Bytes& r) {
  return r.size() < 2 ? 0 : static_cast<uint16_t>((r[r.size() - 2] << 8) | r.back());
}

}  // namespace norvik::simtest
