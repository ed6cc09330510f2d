#include "RingAttacks.h"

#include "HostileUser.h"
#include "NorvikSimModel.h"
#include "Quillon.h"
#include "Trace.h"
#include "TraceObjects.h"
#include "VkShmLogger.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <utility>

namespace norvik::simtest {

namespace {

const uint8_t kSeed[20] = {0x5A, 0x11, 0x93, 0xC4, 0x07, 0xE2, 0x6B, 0x38, 0xD0, 0x4F,
                           0x81, 0x2C, 0xB6, 0x75, 0x19, 0xEE, 0x40, 0x9D, 0x63, 0xA8};

using Env = std::vector<std::pair<std::string, std::string>>;

Env AttackEnvironment() {
  const std::string ring = quillon::CurrentTraceObjectNames().ring;
  // "/<prefix>\SHARE_MEMORY_..."; older versions' mutexes used the same prefix.
  const std::string prefix = ring.substr(1, ring.find('\\') - 1);
  return {{"RING", quillon::ShmPath(ring)},
          {"SHM", quillon::ShmDirectory()},
          {"OLD1", quillon::ShmPath("/" + prefix + "\\MutexShareMemoryMutext_" + quillon::kTraceRingName)},
          {"OLD2", quillon::ShmPath("/" + prefix + "\\Mutex{VkMutexForShmLog-4b1a}")}};
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void SleepMs(unsigned ms) { usleep(ms * 1000); }

}  // namespace

const std::vector<RingAttack>& RingAttacks() {
  // Each says it is ready (its attack set up) on descriptor 3; the lock
  // attack twice: once before it waits for the ring, once it holds it.
  static const std::vector<RingAttack> attacks = {
      {"truncate and write into the ring",
       "echo >&3; while :; do truncate -s 0 \"$RING\"; truncate -s 4096 \"$RING\"; printf x >> \"$RING\"; done "
       "2>/dev/null",
       false, false},
      {"fill /dev/shm while the ring is attached",
       "cat /dev/zero > \"$SHM/filler\" 2>/dev/null; echo >&3; exec sleep 600", false, false},
      {"fill /dev/shm, then attach", "cat /dev/zero > \"$SHM/filler\" 2>/dev/null; echo >&3; exec sleep 600", true,
       false},
      {"lock the ring and the old mutex objects",
       "( : > \"$OLD1\"; exec 8<\"$OLD1\"; flock -x 8; exec sleep 600 ) &"
       " ( : > \"$OLD2\"; exec 7<\"$OLD2\"; flock -x 7; exec sleep 600 ) &"
       " sleep 0.2; echo >&3; exec 9<\"$RING\"; flock -x 9; echo >&3; exec sleep 600",
       true, true},
      {"pre-create junk under the ring's name and hold it",
       ": > \"$RING\"; exec 9<\"$RING\"; flock -s 9; echo >&3; exec sleep 600", true, false},
      {"pre-create a full-size ring and keep shrinking it",
       "truncate -s 167772229 \"$RING\"; echo >&3;"
       " while :; do truncate -s 0 \"$RING\"; truncate -s 167772229 \"$RING\"; done 2>/dev/null",
       true, false},
      {"replace the ring with links and pipes",
       "echo >&3; while :; do rm -f \"$RING\"; ln -s /etc/passwd \"$RING\"; rm -f \"$RING\"; mkfifo \"$RING\"; done "
       "2>/dev/null",
       true, false},
  };
  return attacks;
}

RingAttackRun::RingAttackRun(std::string reader, int profile, int rounds, unsigned spacingMs)
    : reader_(std::move(reader)), profile_(profile), rounds_(rounds), spacingMs_(spacingMs) {}

PhaseResult RingAttackRun::Calls(const std::string& name) {
  using Clock = std::chrono::steady_clock;
  PhaseResult result;
  result.name = name;
  const char* reader = reader_.c_str();
  const char* key = norvik::sim::kFactoryAccessKey;
  const std::pair<const char*, std::function<uint32_t()>> calls[] = {
      {"CardVerify", [&] { return CardVerify(reader, key); }},
      {"CardConfig", [&] { return CardConfig(reader, key, profile_, "SHA1", 30, 6, 0, nullptr, "Hostile", 0, 0); }},
      {"CardBurnSeed", [&] { return CardBurnSeed(reader, key, profile_, kSeed, sizeof kSeed); }},
  };
  const uint64_t dropped = quillon::DroppedTraceLines();
  for (int round = 0; round < rounds_; ++round) {
    for (const auto& [call, run] : calls) {
      const auto start = Clock::now();
      const uint32_t status = run();
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      result.samples.push_back({call, round, status, ms});
    }
    SleepMs(spacingMs_);
  }
  result.droppedLines = quillon::DroppedTraceLines() - dropped;
  return result;
}

PhaseResult RingAttackRun::Baseline(bool attachFirst) {
  CleanUpAfterAttack();
  // Attached already, as in a running tool; or not, as in one just started.
  CardVerify(reader_.c_str(), norvik::sim::kFactoryAccessKey);
  if (attachFirst) quillon::ReleaseParkedTraceRing();
  return Calls(attachFirst ? "no attack, attaching first" : "no attack");
}

PhaseResult RingAttackRun::Under(const RingAttack& attack, const std::function<void()>& duringAttack) {
  CleanUpAfterAttack();
  const Env env = AttackEnvironment();
  const std::string ring = env[0].second;
  // Attached before the attack, as a running tool is.
  CardVerify(reader_.c_str(), norvik::sim::kFactoryAccessKey);
  PhaseResult result;
  int holder = -1;
  if (attack.attachUnderAttack) {
    if (attack.ringLeftBehind) {
      // Somebody else holds it for a moment, so it stays when we let go.
      holder = open(ring.c_str(), O_RDONLY | O_CLOEXEC);
      if (holder >= 0) flock(holder, LOCK_SH);
    }
    quillon::ReleaseParkedTraceRing();
  }
  Attacker attacker(attack.script, env);
  result.attackerReady = attacker.WaitReady(30000);
  if (holder >= 0) {
    close(holder);  // now the attacker can lock it
    result.attackerReady = result.attackerReady && attacker.WaitReady(30000);
  }
  PhaseResult calls = Calls(attack.name);
  calls.attackerReady = result.attackerReady;
  result = std::move(calls);
  if (duringAttack) duringAttack();
  result.attackerStatus = attacker.Stop();
  CleanUpAfterAttack();
  return result;
}

void RingAttackRun::ExtraTime(const PhaseResult& baseline, const PhaseResult& phase, double& median, double& max) {
  std::vector<double> extra;
  max = 0;
  for (const CallSample& s : phase.samples) {
    std::vector<double> same;
    for (const CallSample& b : baseline.samples)
      if (std::strcmp(b.call, s.call) == 0 && (b.round == 0) == (s.round == 0)) same.push_back(b.ms);
    extra.push_back(s.ms - Median(same));
    max = std::max(max, extra.back());
  }
  median = Median(extra);
}

void CleanUpAfterAttack() {
  quillon::ReleaseParkedTraceRing();
  quillon::ResetTraceBackoffForTesting();
  // Only ever in the process's own /dev/shm: everything there that is not
  // ours is the attacker's.
  if (!SharedMemoryIsPrivate()) return;
  if (DIR* dir = opendir(quillon::ShmDirectory())) {
    while (dirent* entry = readdir(dir)) {
      struct stat st {};
      if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid != geteuid())
        unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
  }
}

}  // namespace norvik::simtest
