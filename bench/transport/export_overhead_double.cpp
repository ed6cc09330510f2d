// The library's own time per CardReadSnAndTime call, tracing included, with
// the PC/SC double answering instantly: what remains is session bookkeeping,
// the ring attach/detach and the trace records.
#include "PcscDouble.h"
#include "Quillon.h"

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
    const pcscdouble::Bytes answer = pcscdouble::Hex("01 02 03 04 4E 56 32 41 00 EE EE 65 92 00 80 90 00");
    pcscdouble::SetResponder([&](const pcscdouble::Bytes&) { return answer; });

    char serial[32], clock[32];
    auto once = [&] {
        uint32_t sl = sizeof serial, cl = sizeof clock;
        return CardReadSnAndTime("Norvik Reader 0", 0, serial, &sl, clock, &cl);
    };
    for (int i = 0; i < 200; ++i) once();  // warm caches and the ring

    // The double keeps every APDU; drop them now and then so memory stays flat.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        if (once() != CARD_OK) {
            std::fprintf(stderr, "unexpected failure\n");
            return 1;
        }
        if (i % 1000 == 999) {
            pcscdouble::Reset();
            pcscdouble::SetResponder([&](const pcscdouble::Bytes&) { return answer; });
        }
    }
    const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    std::printf("CardReadSnAndTime against the PC/SC double: %.2f us per call (%d calls)\n", us / rounds, rounds);
    return 0;
}
