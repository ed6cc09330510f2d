// norvik-pcsc-wait: waits until pcscd answers, and optionally until a reader
// is listed and holds a card. Used by scripts/pcsc-env.sh instead of fixed
// sleeps.
//   norvik-pcsc-wait [--timeout SECONDS] [--reader NAME] [--card | --absent]
// Exit status 0 when the condition holds, 1 on time-out, 2 on a usage error.
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

namespace {

bool ReaderListed(SCARDCONTEXT ctx, const std::string& name) {
  DWORD len = 0;
  if (SCardListReaders(ctx, nullptr, nullptr, &len) != SCARD_S_SUCCESS || len == 0) return false;
  std::string buf(len, '\0');
  if (SCardListReaders(ctx, nullptr, buf.data(), &len) != SCARD_S_SUCCESS) return false;
  for (const char* p = buf.c_str(); *p; p += std::strlen(p) + 1)
    if (name == p) return true;
  return false;
}

constexpr const char kUsage[] =
    "usage: norvik-pcsc-wait [--timeout SECONDS] [--reader NAME] [--card | --absent]\n"
    "Waits until pcscd answers and, with --reader, until NAME is listed.\n"
    "  --timeout SECONDS  give up after this long (default 10, fractions allowed)\n"
    "  --reader NAME      wait for the reader NAME\n"
    "  --card             then wait until a card is in it\n"
    "  --absent           then wait until no card is in it\n"
    "  -h, --help         show this text and exit\n"
    "Exit status: 0 when the condition holds, 1 on time-out, 2 on a usage error.\n";

// A number of seconds, whole text, not negative and not absurdly large.
bool ParseSeconds(const char* text, double& out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !(v >= 0) || v > 86400) return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double timeout = 10;
  std::string reader;
  bool wantCard = false, wantAbsent = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (a == "--timeout" && i + 1 < argc && ParseSeconds(argv[i + 1], timeout))
      ++i;
    else if (a == "--reader" && i + 1 < argc)
      reader = argv[++i];
    else if (a == "--card")
      wantCard = true;
    else if (a == "--absent")
      wantAbsent = true;
    else {
      std::cerr << kUsage;
      return 2;
    }
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(timeout * 1000));
  auto msLeft = [&] {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms > 0 ? static_cast<DWORD>(ms) : DWORD{0};
  };

  SCARDCONTEXT ctx = 0;
  while (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
    if (msLeft() == 0) {
      std::cerr << "norvik-pcsc-wait: pcscd does not answer\n";
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  int rc = 0;
  if (!reader.empty()) {
    // The reader list itself has no event to wait on without the special
    // "\\?PnP?\Notification" reader; polling it briefly is fine here.
    while (!ReaderListed(ctx, reader)) {
      if (msLeft() == 0) {
        std::cerr << "norvik-pcsc-wait: reader not listed: " << reader << "\n";
        SCardReleaseContext(ctx);
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (wantCard || wantAbsent) {
      SCARD_READERSTATE st{};
      st.szReader = reader.c_str();
      st.dwCurrentState = SCARD_STATE_UNAWARE;
      for (;;) {
        LONG r = SCardGetStatusChange(ctx, msLeft(), &st, 1);
        if (r == SCARD_S_SUCCESS) {
          bool present = st.dwEventState & SCARD_STATE_PRESENT;
          if ((wantCard && present) || (wantAbsent && !present)) break;
          st.dwCurrentState = st.dwEventState;
          continue;
        }
        std::cerr << "norvik-pcsc-wait: " << (wantCard ? "no card in " : "card still in ") << reader << " ("
                  << pcsc_stringify_error(r) << ")\n";
        rc = 1;
        break;
      }
    }
  }
  SCardReleaseContext(ctx);
  return rc;
}
