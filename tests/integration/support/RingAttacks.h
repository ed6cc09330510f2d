// What another local user can do to the library's trace ring, played
// against a process that provisions the virtual token through pcscd: the
// test asserts on it, the benchmark prints its figures. Both compile this
// file together with the library's commands (for the test hooks: a private
// ring name, letting go of the kept ring, the attach pause).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace norvik::simtest {

struct RingAttack {
  const char* name;
  // Run as nobody (sh) while the calls run; $RING is the ring's path, $SHM
  // the shared-memory directory, $OLD1 and $OLD2 the paths of the mutex
  // objects older versions made beside the ring. The calls begin once it
  // wrote a line to descriptor 3 (two with ringLeftBehind).
  const char* script;
  // The provisioning process lets go of its ring before the attack starts,
  // so its next call attaches under the attack (as a tool started then
  // would).
  bool attachUnderAttack;
  // ... and the ring stays behind when it does (another process held it
  // at that moment), for the attacker to get hold of.
  bool ringLeftBehind;
};

const std::vector<RingAttack>& RingAttacks();

// One call of the provisioning loop, as measured.
struct CallSample {
  const char* call;
  int round;
  uint32_t status;
  double ms;
};

struct PhaseResult {
  std::string name;
  std::vector<CallSample> samples;
  uint64_t droppedLines = 0;   // trace lines the process could not write meanwhile
  bool attackerReady = false;  // the attack was set up before the calls began
  int attackerStatus = 0;      // how the attacker ended when stopped (killed: 128 + 9)
};

// The provisioning loop: CardVerify, CardConfig and CardBurnSeed on
// `profile` of the token in `reader`, `rounds` times, `spacingMs` apart
// (long enough together for a failed attach to be tried again). Then the
// same under each attack. The ring is the one the trace calls use now (the
// caller sets a private prefix).
class RingAttackRun {
 public:
  RingAttackRun(std::string reader, int profile, int rounds, unsigned spacingMs);

  // Without an attack; with attachFirst the first call attaches (makes the
  // ring), as under the attacks that have the process attach.
  PhaseResult Baseline(bool attachFirst);
  // duringAttack, when given, runs after the calls while the attack still
  // goes on.
  PhaseResult Under(const RingAttack& attack, const std::function<void()>& duringAttack = {});

  // Median and maximum time a call of the phase took beyond what the same
  // call took in the baseline (ms): in the first round beyond the first
  // round's (which includes the attach where the baseline's does), later
  // beyond the median of the later rounds.
  static void ExtraTime(const PhaseResult& baseline, const PhaseResult& phase, double& median, double& max);

 private:
  PhaseResult Calls(const std::string& name);

  std::string reader_;
  int profile_;
  int rounds_;
  unsigned spacingMs_;
};

// Removes what an attack left in the shared-memory directory (anything
// not owned by this process's user), and lets go of the process's ring.
void CleanUpAfterAttack();

}  // namespace norvik::simtest
