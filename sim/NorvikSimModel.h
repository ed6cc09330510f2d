// The virtual Norvik-2 token: everything the token holds and how it answers
// each command APDU. No I/O here; the daemon feeds APDUs in and ships the
// answers to the reader driver.
#pragma once

#include "SimCrypto.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace norvik::sim {

// What the token's user does when it asks for confirmation of a key change
// or a factory reset.
enum class ConfirmPolicy { Accept, Refuse, Timeout };

const char* ToString(ConfirmPolicy p);
std::optional<ConfirmPolicy> ParseConfirmPolicy(std::string_view text);

inline constexpr const char* kFactoryAccessKey = "6B3F09D2A4C8571E90B2D6F4138A5C7E";

// A serial number the token can carry: 1-16 printable ASCII characters, no
// blank (the control lines and the state file are split at blanks).
bool IsValidSerial(std::string_view serial);

// Status words this token answers with (beyond the ones the host maps).
namespace sw {
inline constexpr uint16_t kOk = 0x9000;
inline constexpr uint16_t kWrongLength = 0x6700;
inline constexpr uint16_t kSecurityNotSatisfied = 0x6982;  // plain CLA on a secured INS
inline constexpr uint16_t kKeyLocked = 0x6983;
inline constexpr uint16_t kNoChallenge = 0x6985;
inline constexpr uint16_t kBadMac = 0x6988;
inline constexpr uint16_t kWrongData = 0x6A80;
inline constexpr uint16_t kNoSeed = 0x6A83;
inline constexpr uint16_t kWrongP1P2 = 0x6A86;
inline constexpr uint16_t kInsNotSupported = 0x6D00;
inline constexpr uint16_t kClaNotSupported = 0x6E00;
inline constexpr uint16_t kAuthFailedUnlimited = 0x6F08;
inline constexpr uint16_t kConfirmRefused = 0x6FF8;
inline constexpr uint16_t kConfirmTimeout = 0x6FF9;
}  // namespace sw

struct ModelOptions {
  std::string serial = "NV2A00000001";
  int profileCount = 100;  // 100 (Norvik-2 v2) or 50 (Norvik-2)
  bool screenLockSupported = true;
  int maxTries = 5;  // 0: the key is never locked (answers 6F 08)
  ConfirmPolicy confirm = ConfirmPolicy::Accept;
};

struct Profile {
  Bytes seed;             // empty: no seed
  uint8_t algorithm = 1;  // 1 SHA1, 2 SHA256
  uint8_t timeStep = 30;  // seconds
  uint8_t digits = 6;
  uint8_t flags = 0;
  std::string title;
  bool hasSeed() const { return !seed.empty(); }
};

// Items of the configuration write template (81 L items...).
struct ConfigItems {
  std::optional<uint8_t> algorithm, timeStep, digits, flags, displayOff, timeOption, pinEnabled, keypad;
  std::optional<uint32_t> time;
  std::optional<std::string> title;
};
// Parses and range-checks the whole template; nullopt when anything is off
// (outer tag, outer length, item running past the end, unknown tag, wrong
// item length or an out-of-range value).
std::optional<ConfigItems> ParseConfigTemplate(const Bytes& data);

class NorvikSimModel {
 public:
  using RealClock = std::function<int64_t()>;  // seconds since 1970 (UTC)
  using RandomSource = std::function<void(uint8_t*, size_t)>;

  explicit NorvikSimModel(ModelOptions options, RealClock clock = {}, RandomSource random = {});

  // One command APDU in, the complete response (data + SW1 SW2) out.
  Bytes Process(const Bytes& apdu);

  // Card power events from the reader: any of them ends the card session,
  // which drops a pending challenge.
  void PowerOn() { challenge_.reset(); }
  void PowerOff() { challenge_.reset(); }
  void Reset() { challenge_.reset(); }
  Bytes Atr() const;

  const ModelOptions& options() const { return options_; }
  void setConfirmPolicy(ConfirmPolicy p) { options_.confirm = p; }

  uint32_t TokenClock() const;
  void SetTokenClock(uint32_t t);

  // Changes the seed stored in profile i (its last byte inverted), as a
  // failing flash cell would: the token then shows passwords that no longer
  // match the seed the host wrote. False when the profile holds no seed or
  // does not exist.
  bool CorruptSeed(int i);

  // Another token of the same model takes this one's place, as when the
  // operator swaps tokens in the reader: serial number `serial`, factory
  // key, full tries, every profile and setting as shipped, the clock at
  // real time.
  void ReplaceWithNewToken(const std::string& serial);

  const Key16& commandKey() const { return commandKey_; }
  int triesLeft() const { return triesLeft_; }
  bool keyLocked() const { return options_.maxTries > 0 && triesLeft_ == 0; }
  const Profile& profile(int i) const { return profiles_.at(static_cast<size_t>(i)); }
  uint8_t displayOffCode() const { return displayOff_; }
  bool keypadMode() const { return keypad_; }
  bool pinEnabled() const { return pinEnabled_; }
  const std::string& pin() const { return pin_; }
  bool screenLocked() const { return screenLocked_; }
  bool sealed() const { return sealed_; }
  uint8_t timeOption() const { return timeOption_; }

  // Changes whenever something worth persisting changes.
  uint64_t generation() const { return generation_; }

  // Text form of the persistent state (serial number, key, tries, profiles,
  // settings, clock offset). The model options come from the command line;
  // a loaded serial number replaces the one the model was made with, since
  // after a swap the token in the file is no longer the one first named.
  std::string SaveState() const;
  bool LoadState(const std::string& text, std::string* error);

 private:
  Bytes HandlePlain(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data, bool hasData);
  Bytes HandleSecured(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data);
  Bytes ReadSerialAndClock() const;
  Bytes ReadProfileRecord(uint8_t p2) const;
  Bytes VerifyCryptogram(const Bytes& data);
  Bytes ApplyConfig(uint8_t p2, const Bytes& data);
  std::optional<uint16_t> Confirm() const;
  bool ProfileInRange(uint8_t p2) const { return p2 < options_.profileCount; }
  void Touch() { ++generation_; }

  ModelOptions options_;
  RealClock clock_;
  RandomSource random_;
  Key16 commandKey_;
  int triesLeft_;
  int64_t clockOffset_ = 0;  // token clock minus real clock
  std::vector<Profile> profiles_;
  uint8_t displayOff_ = 1;
  bool keypad_ = false;
  bool pinEnabled_ = false;
  std::string pin_;
  bool screenLocked_ = false;
  bool sealed_ = false;
  uint8_t timeOption_ = 0;
  std::optional<std::array<uint8_t, 8>> challenge_;
  uint64_t generation_ = 0;
};

Bytes WithSw(Bytes data, uint16_t sw);
inline Bytes SwOnly(uint16_t sw) { return WithSw({}, sw); }

}  // namespace norvik::sim
