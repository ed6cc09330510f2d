// sim_roundtrip_bench [--reader NAME] [--count N]
//
// The ceiling for everything the library does through PC/SC: how many APDU
// round trips per second pcscd + vpcd + norvik-sim sustain on one held
// connection, and what a fresh context + connection per exchange (the
// library's pattern: one session per exported call) costs against that.
#include "BareCard.h"

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

// One round trip; an answer other than 90 00 counts as a failure too.
LONG Exchange(bench::BareCard& card, const bench::Bytes& apdu) {
    const bench::Bytes resp = card.Transmit(apdu);
    if (resp.empty()) return card.LastError();
    return bench::Ok(resp) ? SCARD_S_SUCCESS : static_cast<LONG>(SCARD_F_UNKNOWN_ERROR);
}

Result HeldConnection(const std::string& reader, const bench::Bytes& apdu, int count) {
    Result r;
    bench::BareCard card;
    if (!card.Connect(reader)) {
        r.error = card.LastError();
        return r;
    }
    auto start = Clock::now();
    for (; r.done < count; ++r.done)
        if ((r.error = Exchange(card, apdu)) != SCARD_S_SUCCESS) break;
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return r;
}

Result SessionPerExchange(const std::string& reader, const bench::Bytes& apdu, int count) {
    Result r;
    auto start = Clock::now();
    for (; r.done < count; ++r.done) {
        bench::BareCard card;
        r.error = card.Connect(reader) ? Exchange(card, apdu) : card.LastError();
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
        if (!std::strcmp(argv[i], "--reader") && i + 1 < argc)
            reader = argv[++i];
        else if (!std::strcmp(argv[i], "--count") && i + 1 < argc)
            count = std::max(1, std::atoi(argv[++i]));
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
        bench::Bytes apdu;
    };
    const Case cases[] = {
        {"serial+clock 80 41 (7 B -> ~25 B)", {0x80, 0x41, 0x00, 0x00, 0x02, 0x02, 0x11}},
        {"profile record 80 41 70 (6 B -> 35 B)", {0x80, 0x41, 0x00, 0x00, 0x01, 0x70}},
        {"challenge 80 4B (5 B -> 10 B)", {0x80, 0x4B, 0x08, 0x00, 0x00}},
    };
    HeldConnection(reader, cases[0].apdu, 50);  // warm-up

    std::printf("APDU round trips through pcscd + vpcd + norvik-sim, reader \"%s\", %d each\n", reader.c_str(), count);
    int rc = 0;
    double heldRate = 0;
    for (const Case& c : cases) {
        Result r = HeldConnection(reader, c.apdu, count);
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
