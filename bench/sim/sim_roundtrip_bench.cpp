// sim_roundtrip_bench [--reader NAME] [--count N]
//
// The ceiling for everything the library does through PC/SC: how many APDU
// round trips per second pcscd + vpcd + norvik-sim sustain on one held
// connection, and what a fresh context + connection per exchange (the
// library's pattern: one session per exported call) costs against that.
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
  int done = 0;
  double seconds = 0;
  LONG error = SCARD_S_SUCCESS;
  double perSecond() const { return seconds > 0 ? done / seconds : 0; }
};

const SCARD_IO_REQUEST* Pci(DWORD proto) { return proto == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1; }

LONG Exchange(SCARDHANDLE card, DWORD proto, const std::vector<BYTE>& apdu) {
  BYTE resp[1024];
  DWORD len = sizeof resp;
  LONG rv = SCardTransmit(card, Pci(proto), apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, resp, &len);
  if (rv == SCARD_S_SUCCESS && (len < 2 || resp[len - 2] != 0x90 || resp[len - 1] != 0x00)) return SCARD_F_UNKNOWN_ERROR;
  return rv;
}

Result HeldConnection(SCARDCONTEXT ctx, const std::string& reader, const std::vector<BYTE>& apdu, int count) {
  Result r;
  SCARDHANDLE card = 0;
  DWORD proto = 0;
  r.error = SCardConnect(ctx, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &proto);
  if (r.error != SCARD_S_SUCCESS) return r;
  auto start = Clock::now();
  for (; r.done < count; ++r.done)
    if ((r.error = Exchange(card, proto, apdu)) != SCARD_S_SUCCESS) break;
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  return r;
}

Result SessionPerExchange(const std::string& reader, const std::vector<BYTE>& apdu, int count) {
  Result r;
  auto start = Clock::now();
  for (; r.done < count; ++r.done) {
    SCARDCONTEXT ctx = 0;
    SCARDHANDLE card = 0;
    DWORD proto = 0;
    if ((r.error = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx)) != SCARD_S_SUCCESS) break;
    r.error = SCardConnect(ctx, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &proto);
    if (r.error == SCARD_S_SUCCESS) {
      r.error = Exchange(card, proto, apdu);
      SCardDisconnect(card, SCARD_LEAVE_CARD);
    }
    SCardReleaseContext(ctx);
    if (r.error != SCARD_S_SUCCESS) break;
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  std::string reader = "Virtual PCD 00 00";
  int count = 2000;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--reader") && i + 1 < argc) reader = argv[++i];
    else if (!std::strcmp(argv[i], "--count") && i + 1 < argc) count = std::max(1, std::atoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: sim_roundtrip_bench [--reader NAME] [--count N]\n");
      return 2;
    }
  }
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
    std::printf("sim_roundtrip_bench: skipped, pcscd is not running (scripts/pcsc-env.sh start)\n");
    return 0;
  }
  SCARD_READERSTATE st{};
  st.szReader = reader.c_str();
  st.dwCurrentState = SCARD_STATE_UNAWARE;
  if (SCardGetStatusChange(ctx, 0, &st, 1) != SCARD_S_SUCCESS || !(st.dwEventState & SCARD_STATE_PRESENT)) {
    std::printf("sim_roundtrip_bench: skipped, no card in \"%s\"\n", reader.c_str());
    SCardReleaseContext(ctx);
    return 0;
  }

  struct Case {
    const char* name;
    std::vector<BYTE> apdu;
  };
  const Case cases[] = {
      {"serial+clock 80 41 (7 B -> ~25 B)", {0x80, 0x41, 0x00, 0x00, 0x02, 0x02, 0x11}},
      {"profile record 80 41 70 (6 B -> 35 B)", {0x80, 0x41, 0x00, 0x00, 0x01, 0x70}},
      {"challenge 80 4B (5 B -> 10 B)", {0x80, 0x4B, 0x08, 0x00, 0x00}},
  };
  HeldConnection(ctx, reader, cases[0].apdu, 50);  // warm-up

  std::printf("APDU round trips through pcscd + vpcd + norvik-sim, reader \"%s\", %d each\n", reader.c_str(), count);
  int rc = 0;
  double heldRate = 0;
  for (const Case& c : cases) {
    Result r = HeldConnection(ctx, reader, c.apdu, count);
    if (r.error != SCARD_S_SUCCESS) {
      std::printf("  %-40s failed after %d: %s\n", c.name, r.done, pcsc_stringify_error(r.error));
      rc = 1;
      continue;
    }
    if (heldRate == 0) heldRate = r.perSecond();
    std::printf("  %-40s %9.0f /s  (%.1f us each)\n", c.name, r.perSecond(), 1e6 * r.seconds / r.done);
  }
  const int sessions = std::max(1, count / 4);
  Result s = SessionPerExchange(reader, cases[0].apdu, sessions);
  if (s.error != SCARD_S_SUCCESS) {
    std::printf("  session per exchange failed after %d: %s\n", s.done, pcsc_stringify_error(s.error));
    rc = 1;
  } else {
    std::printf("  %-40s %9.0f /s  (%.1f us each)\n", "context+connect+transmit+disconnect", s.perSecond(),
                1e6 * s.seconds / s.done);
    if (heldRate > 0)
      std::printf("  ratio held connection / session per exchange: %.1fx\n", heldRate / s.perSecond());
  }
  SCardReleaseContext(ctx);
  return rc;
}
