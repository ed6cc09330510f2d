// What another local user's attacks on the trace ring cost a process that
// provisions: CardVerify, CardConfig and CardBurnSeed through pcscd, without
// an attack and under each attack of tests/integration/support/RingAttacks
// (run as "nobody"), with the extra time per call (median and maximum)
// against the 50 ms bound and the trace lines dropped meanwhile.
//
// Needs root (to run the attacks as nobody, and to give the process a
// /dev/shm of its own for them to fill, never the machine's) and a token in
// the reader (scripts/pcsc-env.sh); says "skipped" and exits 0 otherwise.
//
//   bench_trace_attack [READER [ROUNDS [SPACING_MS]]]
#include "HostileUser.h"
#include "NorvikSimModel.h"
#include "Quillon.h"
#include "RingAttacks.h"
#include "TraceObjects.h"
#include "VkShmLogger.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace norvik::simtest;

int main(int argc, char** argv) {
    // Before any thread exists: room for two rings and little more.
    const bool isolated = PrivateSharedMemory(400);
    const char* reader = argc > 1 ? argv[1] : "Virtual PCD 00 00";
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 30;
    const unsigned spacingMs = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 100;
    if (!isolated || !CanRunAsNobody()) {
        std::printf("skipped: needs root (a /dev/shm of its own, and setpriv to run the attacks as nobody)\n");
        return 0;
    }
    const std::string prefix = "QuillonAttackBench-" + std::to_string(getpid());
    quillon::SetTraceObjectPrefixForTesting(prefix.c_str());
    if (CardVerify(reader, norvik::sim::kFactoryAccessKey) != CARD_OK) {
        std::printf("skipped: no token with the factory key answers in \"%s\" (start scripts/pcsc-env.sh)\n", reader);
        return 0;
    }

    constexpr int kProfile = 9;
    RingAttackRun run(reader, kProfile, rounds, spacingMs);
    const PhaseResult attached = run.Baseline(false);
    const PhaseResult attaching = run.Baseline(true);
    std::printf(
        "%d rounds of CardVerify, CardConfig, CardBurnSeed, %u ms apart; extra time per call against the\n"
        "same call without an attack (an attacker niced to 19: what the ring costs, not the CPU it takes)\n\n",
        rounds, spacingMs);
    std::printf("%-52s %10s %10s %8s %8s\n", "attack (as nobody)", "median", "max", "dropped", "failed");
    int exitStatus = 0;
    for (const RingAttack& attack : RingAttacks()) {
        const PhaseResult phase = run.Under(attack);
        const PhaseResult& baseline = attack.attachUnderAttack ? attaching : attached;
        double median = 0, max = 0;
        RingAttackRun::ExtraTime(baseline, phase, median, max);
        int failed = 0;
        for (const CallSample& s : phase.samples) failed += s.status != CARD_OK;
        std::printf("%-52s %7.2f ms %7.2f ms %8llu %8d%s\n", attack.name, median, max,
                    static_cast<unsigned long long>(phase.droppedLines), failed,
                    max > 50.0 ? "  over the 50 ms bound" : "");
        if (failed != 0) exitStatus = 1;
    }
    std::printf("\nbound: at most 50 ms more per call than without the attack\n");

    CardDeleteSeed(reader, kProfile);
    CardConfig(reader, norvik::sim::kFactoryAccessKey, kProfile, "", -1, -1, -1, nullptr, "", 0, 0);
    CleanUpAfterAttack();
    shm_unlink(quillon::MakeTraceObjectNames(prefix).ring.c_str());
    return exitStatus;
}
