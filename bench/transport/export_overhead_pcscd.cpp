// Overhead of one export through the real pcscd: CardReadSnAndTime against
// the bare sequence it stands for (establish, connect, transmit the same
// APDU, disconnect, release), with tracing on (the default) and with
// QUILLON_TRACE=0, taking turns call by call. The variable is read whenever
// an export starts its trace, so one process measures both. Skips (exit 0)
// when no reader with a card answers.
#include "BareCard.h"
#include "Quillon.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool Bare(const char* reader) {
    bench::BareCard card;
    return card.Connect(reader) && bench::Ok(card.Transmit({0x80, 0x41, 0x00, 0x00, 0x02, 0x02, 0x11}));
}

bool Library(const char* reader) {
    char serial[32], clock[32];
    uint32_t sl = sizeof serial, cl = sizeof clock;
    return CardReadSnAndTime(reader, 0, serial, &sl, clock, &cl) == CARD_OK;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

enum Side { kBare, kTraced, kUntraced, kSides };

}  // namespace

int main(int argc, char** argv) {
    const char* reader = argc > 1 ? argv[1] : "Virtual PCD 00 00";
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 40;
    const int perRound = argc > 3 ? std::atoi(argv[3]) : 50;
    // Traced once before measuring: the ring is made (and kept) by the
    // first export of a process, not by the ones measured.
    if (!Bare(reader) || !Library(reader)) {
        std::printf("skipped: no token answers in \"%s\" (start scripts/pcsc-env.sh)\n", reader);
        return 0;
    }
    // The three take turns call by call, so a burst of load elsewhere on the
    // machine falls on all of them alike; each round's mean goes into the
    // median.
    std::vector<double> us[kSides];
    for (int r = 0; r < rounds; ++r) {
        double total[kSides] = {};
        for (int i = 0; i < perRound; ++i) {
            for (int side = 0; side < kSides; ++side) {
                if (side == kUntraced) {
                    setenv("QUILLON_TRACE", "0", 1);
                } else {
                    unsetenv("QUILLON_TRACE");
                }
                const auto start = Clock::now();
                if (!(side == kBare ? Bare(reader) : Library(reader))) {
                    std::fprintf(stderr, "exchange failed\n");
                    return 1;
                }
                total[side] += std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            }
        }
        for (int side = 0; side < kSides; ++side) us[side].push_back(total[side] / perRound);
    }
    const double b = Median(us[kBare]), traced = Median(us[kTraced]), untraced = Median(us[kUntraced]);
    std::printf("bare PC/SC sequence:   %8.1f us per call (median of %d rounds of %d)\n", b, rounds, perRound);
    std::printf("CardReadSnAndTime:     %8.1f us per call, traced\n", traced);
    std::printf("                       %8.1f us per call, QUILLON_TRACE=0\n", untraced);
    std::printf("library / bare ratio:  %8.3f  traced (goal: at most 1.05)\n", traced / b);
    std::printf("                       %8.3f  QUILLON_TRACE=0\n", untraced / b);
    return 0;
}
