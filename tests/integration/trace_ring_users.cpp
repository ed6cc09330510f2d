// The trace ring as another local user meets it, through the real pcscd and
// the virtual token: what that user can read in it (no secret, in clear or
// deciphered under the public factory key), and what that user can do to
// the ring while an operator provisions (truncate, fill /dev/shm, lock,
// pre-create, replace): the provisioning goes on, every call returns what it
// returns without the attack, and none is held up.
//
// The commands are the library's own, compiled in, so the test can give the
// ring a private name. The attacks need root (to become "nobody" and to give
// the process a /dev/shm of its own to fill); without it they are skipped.
#include "HostileUser.h"
#include "NorvikSimModel.h"
#include "Quillon.h"
#include "RingAttacks.h"
#include "SimControl.h"
#include "SimCrypto.h"
#include "Trace.h"
#include "TraceObjects.h"
#include "VkShmLogger.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace norvik::simtest;
using norvik::sim::Bytes;

namespace {

const char* kFactoryKey = norvik::sim::kFactoryAccessKey;
constexpr int kProfile = 9;

std::string HexText(const Bytes& b) { return norvik::sim::ToHex(b); }

class TraceRingUsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = "QuillonUsers-" + std::to_string(getpid());
    names_ = quillon::MakeTraceObjectNames(prefix_);
    quillon::SetTraceObjectPrefixForTesting(prefix_.c_str());
    quillon::ResetTraceBackoffForTesting();
    ResetSim(0);
    reader_ = ReaderName(0);
  }
  void TearDown() override {
    // The token back as the fixture had it: factory key, no PIN, no seed.
    SimControl(0, "confirm accept");
    CardInitKey(reader_.c_str());
    CardDisablePIN(reader_.c_str(), kFactoryKey);
    CardDeleteSeed(reader_.c_str(), kProfile);
    CardConfig(reader_.c_str(), kFactoryKey, kProfile, "", -1, -1, -1, nullptr, "", 0, 0);
    CleanUpAfterAttack();
    quillon::SetTraceObjectPrefixForTesting(nullptr);
    shm_unlink(names_.ring.c_str());
  }

  std::string prefix_;
  quillon::TraceObjectNames names_;
  std::string reader_;
};

// ---- what another user can read -----------------------------------------

struct Secret {
  std::string what;
  Bytes bytes;
};

bool Contains(const uint8_t* hay, size_t n, const Bytes& needle) {
  return !needle.empty() && memmem(hay, n, needle.data(), needle.size()) != nullptr;
}

// The bytes of every hexadecimal run of a record's text, read from either
// of its first two characters (a dump may follow any text).
std::vector<Bytes> HexRuns(const std::string& text) {
  std::vector<Bytes> runs;
  auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); };
  for (size_t i = 0; i < text.size();) {
    size_t end = i;
    while (end < text.size() && isHex(text[end])) ++end;
    for (size_t from = i; from + 2 <= end && from < i + 2; ++from) {
      Bytes b;
      if (norvik::sim::FromHex(text.substr(from, (end - from) / 2 * 2), b)) runs.push_back(b);
    }
    i = end == i ? i + 1 : end;
  }
  return runs;
}

// What of the secrets a reader of this text finds: in clear, as
// hexadecimal, or in a dump deciphered at any offset under any of the keys.
std::vector<std::string> Leaks(const std::string& text, const std::vector<Secret>& secrets,
                               const std::vector<norvik::sim::Key16>& keys) {
  std::vector<std::string> found;
  auto note = [&](const Secret& s, const char* how) { found.push_back(s.what + " (" + how + ")"); };
  const auto* raw = reinterpret_cast<const uint8_t*>(text.data());
  for (const Secret& s : secrets) {
    if (Contains(raw, text.size(), s.bytes)) note(s, "in clear");
    const std::string hex = HexText(s.bytes);
    if (text.find(hex) != std::string::npos) note(s, "as hexadecimal");
  }
  for (const Bytes& run : HexRuns(text)) {
    for (size_t offset = 0; offset < 16 && offset + 16 <= run.size(); ++offset) {
      const Bytes blocks(run.begin() + offset, run.begin() + offset + (run.size() - offset) / 16 * 16);
      for (const auto& key : keys) {
        const Bytes plain = norvik::sim::Sm4EcbDecrypt(key, blocks);
        for (const Secret& s : secrets)
          if (Contains(plain.data(), plain.size(), s.bytes)) note(s, "deciphered");
      }
    }
  }
  return found;
}

Bytes RandomBytes(size_t n) {
  Bytes b(n);
  norvik::sim::RandomBytes(b.data(), n);
  return b;
}

TEST_F(TraceRingUsersTest, NoSecretReachesTheRingInClearOrDecipheredUnderTheFactoryKey) {
  quillon::CVkShmLogger viewer(names_);  // holds the ring, as a viewer does
  ASSERT_EQ(viewer.Attach(), 0);

  const Bytes seed = RandomBytes(20);
  const std::string newKey = HexText(RandomBytes(16));
  std::string pin;
  for (uint8_t b : RandomBytes(6)) pin += "GHJKMNPQRSTUVWXYZ"[b % 17];  // no hexadecimal digit
  const norvik::sim::Key16 factoryCommandKey = norvik::sim::DeriveCommandKey(kFactoryKey);
  const norvik::sim::Key16 newCommandKey = norvik::sim::DeriveCommandKey(newKey);

  const char* reader = reader_.c_str();
  ASSERT_EQ(CardVerify(reader, kFactoryKey), CARD_OK);
  int32_t clear = 0, enter = 0, kept = 0, present = 0;
  ASSERT_EQ(CardReadSeedInfo(reader, kProfile, &clear, &enter, &kept), CARD_OK);
  ASSERT_EQ(CardConfig(reader, kFactoryKey, kProfile, "SHA1", 30, 8, 0, nullptr, "Scan", 0, kept), CARD_OK);
  ASSERT_EQ(CardGetSeedFlag(reader, kProfile, &present), CARD_OK);
  ASSERT_EQ(CardBurnSeed(reader, kFactoryKey, kProfile, seed.data(), static_cast<int32_t>(seed.size())), CARD_OK);
  char otp[16] = {};
  ASSERT_EQ(CardReadOTP(reader, kFactoryKey, kProfile, otp), CARD_OK);
  ASSERT_EQ(strlen(otp), 8u);
  ASSERT_EQ(CardSetPIN(reader, kFactoryKey, pin.c_str()), CARD_OK);
  ASSERT_EQ(CardChangeKey(reader, kFactoryKey, newKey.c_str()), CARD_OK);
  ASSERT_EQ(CardVerify(reader, newKey.c_str()), CARD_OK);

  Bytes newKeyBytes;
  ASSERT_TRUE(norvik::sim::FromHex(newKey, newKeyBytes));
  const std::vector<Secret> secrets = {
      {"seed", seed},
      {"new access key", newKeyBytes},
      {"new command key", Bytes(newCommandKey.begin(), newCommandKey.end())},
      {"PIN", Bytes(pin.begin(), pin.end())},
      {"OTP", Bytes(otp, otp + 8)},
  };
  const std::vector<norvik::sim::Key16> keys = {factoryCommandKey, newCommandKey};

  // The scan itself finds them where the trace used to show them: the
  // enciphered PIN block of the PIN command, the OTP in its answer.
  Bytes pinBlock(pin.begin(), pin.end());
  pinBlock.push_back(0x80);
  pinBlock.resize(16, 0x00);
  const std::string oldPinLine =
      "84E0000014" + HexText(norvik::sim::Sm4EcbEncrypt(factoryCommandKey, pinBlock)) + "0A0B0C0D";
  EXPECT_EQ(Leaks(oldPinLine, secrets, keys), std::vector<std::string>{"PIN (deciphered)"});
  const std::vector<std::string> oldOtpLine = Leaks(HexText(Bytes(otp, otp + 8)) + "9000", secrets, keys);
  EXPECT_NE(std::find(oldOtpLine.begin(), oldOtpLine.end(), "OTP (as hexadecimal)"), oldOtpLine.end());

  // Every record ever written into the ring, and the whole object besides.
  quillon::CLockfreeArrayQueue& q = viewer.Queue();
  const uint32_t written = q.Head();
  ASSERT_GT(written, 20u) << "the commands were not traced";
  std::vector<std::string> texts;
  for (uint32_t i = 0; i < written; ++i) {
    const auto* record = reinterpret_cast<const quillon::TraceRecord*>(q.Slot(i));
    texts.emplace_back(record->text, strnlen(record->text, sizeof record->text));
  }
  for (const std::string& text : texts) EXPECT_EQ(Leaks(text, secrets, keys), std::vector<std::string>{}) << text;
  const uint8_t* object = q.Base() - 4;
  for (const Secret& s : secrets) {
    EXPECT_FALSE(Contains(object, quillon::kTraceShmSize, s.bytes)) << s.what;
    const std::string hex = HexText(s.bytes);
    EXPECT_FALSE(Contains(object, quillon::kTraceShmSize, Bytes(hex.begin(), hex.end()))) << s.what;
  }

  // What stands in their place: header, length and status word.
  auto traced = [&](const std::string& line) { return std::find(texts.begin(), texts.end(), line) != texts.end(); };
  EXPECT_TRUE(traced("80CE000010[16 bytes withheld]"));
  EXPECT_TRUE(traced("84D7000024[36 bytes withheld]"));
  EXPECT_TRUE(traced("84E0000014[20 bytes withheld]"));
  EXPECT_TRUE(traced("[8 bytes withheld]9000"));
}

// ---- what another user can do -------------------------------------------

TEST_F(TraceRingUsersTest, ProvisioningGoesOnWhileAnotherUserAttacksTheRing) {
  if (!SharedMemoryIsPrivate())
    GTEST_SKIP() << "needs a /dev/shm of the test's own (root): the machine's is never filled";
  if (!CanRunAsNobody()) GTEST_SKIP() << "cannot run commands as nobody (setpriv, root)";

  // Another user's viewer looks at the ring all along; it must survive
  // whatever is put under the ring's name.
  Attacker viewer("exec \"$TRACE\" --follow --prefix \"$PREFIX\" >/dev/null 2>&1",
                  {{"TRACE", QUILLON_TRACE_EXE}, {"PREFIX", prefix_}});
  ASSERT_TRUE(viewer.Started());

  RingAttackRun run(reader_, kProfile, 12, 100);
  const PhaseResult attached = run.Baseline(false);
  const PhaseResult attaching = run.Baseline(true);
  for (const PhaseResult* baseline : {&attached, &attaching}) {
    for (const CallSample& s : baseline->samples) ASSERT_EQ(s.status, CARD_OK) << s.call << " without an attack";
    EXPECT_EQ(baseline->droppedLines, 0u);
  }

  std::printf("%-52s %12s %12s %8s\n", "attack (as nobody)", "median extra", "max extra", "dropped");
  for (const RingAttack& attack : RingAttacks()) {
    int viewerStatus = -1;
    double viewerMs = 0;
    // The operator's own viewer, started in the middle of the attack.
    const PhaseResult phase = run.Under(attack, [&] {
      const auto start = std::chrono::steady_clock::now();
      const std::string command = std::string(QUILLON_TRACE_EXE) + " --dump --prefix " + prefix_ + " >/dev/null 2>&1";
      const int raw = system(command.c_str());
      viewerStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      viewerMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    });
    const PhaseResult& baseline = attack.attachUnderAttack ? attaching : attached;
    double medianExtra = 0, maxExtra = 0;
    RingAttackRun::ExtraTime(baseline, phase, medianExtra, maxExtra);
    std::printf("%-52s %9.2f ms %9.2f ms %8llu\n", attack.name, medianExtra, maxExtra,
                static_cast<unsigned long long>(phase.droppedLines));

    EXPECT_TRUE(phase.attackerReady) << attack.name << ": the attack was never set up";
    ASSERT_EQ(phase.samples.size(), baseline.samples.size());
    for (size_t i = 0; i < phase.samples.size(); ++i) {
      const CallSample& s = phase.samples[i];
      EXPECT_EQ(s.status, baseline.samples[i].status) << attack.name << ": " << s.call << " round " << s.round;
      // Not a speed check: one second catches a call held up by a lock or
      // an attach retried on every call.
      EXPECT_LT(s.ms, 1000.0) << attack.name << ": " << s.call << " round " << s.round;
    }
    EXPECT_LT(viewerStatus, 2) << attack.name << ": quillon-trace --dump";
    EXPECT_LT(viewerMs, 5000.0) << attack.name << ": quillon-trace --dump";
    if (!attack.attachUnderAttack) {
      EXPECT_EQ(phase.droppedLines, 0u) << attack.name << ": an attached ring stopped taking lines";
    }
  }

  // Afterwards the ring is made and written again.
  const uint64_t dropped = quillon::DroppedTraceLines();
  ASSERT_EQ(CardVerify(reader_.c_str(), kFactoryKey), CARD_OK);
  EXPECT_EQ(quillon::DroppedTraceLines(), dropped);
  EXPECT_EQ(viewer.Stop(SIGTERM), 0) << "the other user's quillon-trace --follow";
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists. Room for two rings (160 MiB each: a viewer
  // may hold on to the last one for a moment while the next is made) and
  // not much more, for an attacker to fill.
  PrivateSharedMemory(400);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
