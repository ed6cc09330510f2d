#include "NorvikSimModel.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>
#include <sstream>

namespace norvik::sim {
namespace {

constexpr uint8_t kClaPlain = 0x80;
constexpr uint8_t kClaSecured = 0x84;

constexpr uint8_t kInsRead = 0x41;
constexpr uint8_t kInsChallenge = 0x4B;
constexpr uint8_t kInsCryptogram = 0xCE;
constexpr uint8_t kInsFactoryReset = 0x56;
constexpr uint8_t kInsDeleteSeed = 0xE6;
constexpr uint8_t kInsScreen = 0xD8;
constexpr uint8_t kInsChangeKey = 0xD7;
constexpr uint8_t kInsBurnSeed = 0xC5;
constexpr uint8_t kInsReadOtp = 0xC9;
constexpr uint8_t kInsSeal = 0xC7;
constexpr uint8_t kInsConfig = 0xD4;
constexpr uint8_t kInsTitle = 0xD5;
constexpr uint8_t kInsPin = 0xE0;

bool IsSecuredIns(uint8_t ins) {
  switch (ins) {
    case kInsChangeKey:
    case kInsBurnSeed:
    case kInsReadOtp:
    case kInsSeal:
    case kInsConfig:
    case kInsTitle:
    case kInsPin: return true;
    default: return false;
  }
}

bool IsPlainIns(uint8_t ins) {
  switch (ins) {
    case kInsRead:
    case kInsChallenge:
    case kInsCryptogram:
    case kInsFactoryReset:
    case kInsDeleteSeed:
    case kInsScreen: return true;
    default: return false;
  }
}

// Strips ISO/IEC 9797-1 method 2 padding: trailing zeros, then one 80.
std::optional<Bytes> StripPad80(const Bytes& in) {
  size_t end = in.size();
  while (end > 0 && in[end - 1] == 0x00) --end;
  if (end == 0 || in[end - 1] != 0x80) return std::nullopt;
  // Padding never spans a whole block of its own beyond the mandatory one.
  if (in.size() - (end - 1) > 16) return std::nullopt;
  return Bytes(in.begin(), in.begin() + static_cast<long>(end - 1));
}

int64_t SystemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

const char* ToString(ConfirmPolicy p) {
  switch (p) {
    case ConfirmPolicy::Accept: return "accept";
    case ConfirmPolicy::Refuse: return "refuse";
    case ConfirmPolicy::Timeout: return "timeout";
  }
  return "?";
}

std::optional<ConfirmPolicy> ParseConfirmPolicy(std::string_view text) {
  if (text == "accept") return ConfirmPolicy::Accept;
  if (text == "refuse") return ConfirmPolicy::Refuse;
  if (text == "timeout") return ConfirmPolicy::Timeout;
  return std::nullopt;
}

Bytes WithSw(Bytes data, uint16_t sw) {
  data.push_back(static_cast<uint8_t>(sw >> 8));
  data.push_back(static_cast<uint8_t>(sw & 0xFF));
  return data;
}

std::optional<ConfigItems> ParseConfigTemplate(const Bytes& d) {
  if (d.size() < 2 || d[0] != 0x81 || d[1] != d.size() - 2) return std::nullopt;
  ConfigItems items;
  size_t pos = 2;
  while (pos < d.size()) {
    if (d.size() - pos < 2) return std::nullopt;
    uint8_t tag = d[pos];
    size_t len = d[pos + 1];
    pos += 2;
    if (d.size() - pos < len) return std::nullopt;
    const uint8_t* v = d.data() + pos;
    pos += len;
    auto one = [&](std::optional<uint8_t>& slot, auto valid) {
      if (len != 1 || !valid(v[0])) return false;
      slot = v[0];
      return true;
    };
    bool ok = true;
    switch (tag) {
      case 0x0A: ok = one(items.algorithm, [](uint8_t x) { return x == 1 || x == 2; }); break;
      case 0x0D: ok = one(items.timeStep, [](uint8_t x) { return x == 30 || x == 60; }); break;
      case 0x0B: ok = one(items.digits, [](uint8_t x) { return x >= 1 && x <= 10; }); break;
      case 0x23: ok = one(items.flags, [](uint8_t) { return true; }); break;
      case 0x1F: ok = one(items.displayOff, [](uint8_t x) { return x <= 3; }); break;
      case 0x22: ok = one(items.timeOption, [](uint8_t x) { return x == 0 || (x >= 3 && x <= 15); }); break;
      case 0x2C: ok = one(items.pinEnabled, [](uint8_t x) { return x <= 1; }); break;
      case 0x72: ok = one(items.keypad, [](uint8_t x) { return x <= 1; }); break;
      case 0x0F:
        if (len != 4) return std::nullopt;
        items.time = (uint32_t{v[0]} << 24) | (uint32_t{v[1]} << 16) | (uint32_t{v[2]} << 8) | v[3];
        break;
      case 0x71:
        if (len > 12) return std::nullopt;
        items.title = std::string(reinterpret_cast<const char*>(v), len);
        break;
      default: return std::nullopt;
    }
    if (!ok) return std::nullopt;
  }
  return items;
}

NorvikSimModel::NorvikSimModel(ModelOptions options, RealClock clock, RandomSource random)
    : options_(std::move(options)),
      clock_(clock ? std::move(clock) : RealClock(SystemSeconds)),
      random_(random ? std::move(random) : RandomSource(RandomBytes)),
      commandKey_(DeriveCommandKey(kFactoryAccessKey)),
      triesLeft_(options_.maxTries),
      profiles_(static_cast<size_t>(options_.profileCount)) {}

Bytes NorvikSimModel::Atr() const {
  // T=0 and T=1 offered; historical bytes spell the product name.
  Bytes atr = {0x3B, 0x87, 0x80, 0x01, 'N', 'O', 'R', 'V', 'I', 'K', '2'};
  uint8_t tck = 0;
  for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  return atr;
}

bool IsValidSerial(std::string_view serial) {
  if (serial.empty() || serial.size() > 16) return false;
  return std::all_of(serial.begin(), serial.end(), [](char c) { return c >= 0x21 && c <= 0x7E; });
}

void NorvikSimModel::ReplaceWithNewToken(const std::string& serial) {
  ModelOptions o = options_;
  o.serial = serial;
  NorvikSimModel fresh(std::move(o), clock_, random_);
  fresh.generation_ = generation_ + 1;
  *this = std::move(fresh);
}

uint32_t NorvikSimModel::TokenClock() const { return static_cast<uint32_t>(clock_() + clockOffset_); }

void NorvikSimModel::SetTokenClock(uint32_t t) {
  clockOffset_ = static_cast<int64_t>(t) - clock_();
  Touch();
}

Bytes NorvikSimModel::Process(const Bytes& apdu) {
  if (apdu.size() < 4) return SwOnly(sw::kWrongLength);
  const uint8_t cla = apdu[0], ins = apdu[1], p1 = apdu[2], p2 = apdu[3];
  // Short APDU: header, then either nothing, a P3 byte alone (Le, or the
  // screen command's state), or Lc + data with an optional trailing Le.
  Bytes data;
  bool hasData = false;
  if (apdu.size() > 5) {
    size_t lc = apdu[4];
    if (apdu.size() != 5 + lc && apdu.size() != 6 + lc) return SwOnly(sw::kWrongLength);
    data.assign(apdu.begin() + 5, apdu.begin() + 5 + static_cast<long>(lc));
    hasData = true;
  }
  if (IsSecuredIns(ins)) {
    if (cla == kClaPlain) return SwOnly(sw::kSecurityNotSatisfied);
    if (cla != kClaSecured) return SwOnly(sw::kClaNotSupported);
    if (!hasData || data.size() < 4) return SwOnly(sw::kWrongLength);
    if (keyLocked()) return SwOnly(sw::kKeyLocked);
    Bytes body(data.begin(), data.end() - 4);
    Bytes macInput = {kClaPlain, ins, p1, p2, static_cast<uint8_t>(body.size())};
    macInput.insert(macInput.end(), body.begin(), body.end());
    std::array<uint8_t, 4> expected = Sm4CbcMac4(commandKey_, macInput);
    if (CRYPTO_memcmp(expected.data(), data.data() + body.size(), 4) != 0) return SwOnly(sw::kBadMac);
    return HandleSecured(ins, p1, p2, body);
  }
  if (IsPlainIns(ins)) {
    if (cla != kClaPlain) return SwOnly(sw::kClaNotSupported);
    if (!hasData && apdu.size() == 5 && ins == kInsScreen) data.push_back(apdu[4]);
    return HandlePlain(ins, p1, p2, data, hasData);
  }
  if (cla != kClaPlain && cla != kClaSecured) return SwOnly(sw::kClaNotSupported);
  return SwOnly(sw::kInsNotSupported);
}

Bytes NorvikSimModel::HandlePlain(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data, bool hasData) {
  switch (ins) {
    case kInsRead:
      if (p1 != 0x00) return SwOnly(sw::kWrongP1P2);
      if (data == Bytes{0x02, 0x11}) return ReadSerialAndClock();
      if (data == Bytes{0x70}) {
        if (!ProfileInRange(p2)) return SwOnly(sw::kWrongP1P2);
        return ReadProfileRecord(p2);
      }
      return SwOnly(hasData ? sw::kWrongData : sw::kWrongLength);
    case kInsChallenge: {
      if (p1 != 0x08 || p2 != 0x00) return SwOnly(sw::kWrongP1P2);
      if (hasData) return SwOnly(sw::kWrongLength);
      std::array<uint8_t, 8> c{};
      random_(c.data(), c.size());
      challenge_ = c;
      return WithSw(Bytes(c.begin(), c.end()), sw::kOk);
    }
    case kInsCryptogram:
      if (p1 != 0x00 || p2 != 0x00) return SwOnly(sw::kWrongP1P2);
      if (data.size() != 16) return SwOnly(sw::kWrongLength);
      return VerifyCryptogram(data);
    case kInsFactoryReset: {
      if (p1 != 0x00 || p2 != 0x00) return SwOnly(sw::kWrongP1P2);
      if (hasData) return SwOnly(sw::kWrongLength);
      if (auto refused = Confirm()) return SwOnly(*refused);
      commandKey_ = DeriveCommandKey(kFactoryAccessKey);
      triesLeft_ = options_.maxTries;
      Touch();
      return SwOnly(sw::kOk);
    }
    case kInsDeleteSeed: {
      if (p1 != 0x00) return SwOnly(sw::kWrongP1P2);
      if (hasData) return SwOnly(sw::kWrongLength);
      if (!ProfileInRange(p2)) return SwOnly(sw::kWrongP1P2);
      Profile& prof = profiles_[p2];
      if (!prof.hasSeed()) return SwOnly(sw::kNoSeed);
      std::fill(prof.seed.begin(), prof.seed.end(), 0);
      prof.seed.clear();
      Touch();
      return SwOnly(sw::kOk);
    }
    case kInsScreen:
      if (!options_.screenLockSupported) return SwOnly(sw::kInsNotSupported);
      if (p1 != 0x0C || p2 != 0x02) return SwOnly(sw::kWrongP1P2);
      if (hasData || data.size() != 1) return SwOnly(sw::kWrongLength);
      if (data[0] > 1) return SwOnly(sw::kWrongData);
      screenLocked_ = data[0] == 0x00;
      Touch();
      return SwOnly(sw::kOk);
    default: return SwOnly(sw::kInsNotSupported);
  }
}

Bytes NorvikSimModel::HandleSecured(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& d) {
  switch (ins) {
    case kInsChangeKey: {
      if (p1 != 0x00 || p2 != 0x00) return SwOnly(sw::kWrongP1P2);
      if (d.size() != 32) return SwOnly(sw::kWrongLength);
      Bytes block = Sm4EcbDecrypt(commandKey_, d);
      bool layout = block[0] == 0x00 && block[17] == 0x80;
      for (size_t i = 18; i < 32; ++i) layout = layout && block[i] == 0x00;
      if (!layout) return SwOnly(sw::kWrongData);
      if (auto refused = Confirm()) return SwOnly(*refused);
      std::copy(block.begin() + 1, block.begin() + 17, commandKey_.begin());
      triesLeft_ = options_.maxTries;
      Touch();
      return SwOnly(sw::kOk);
    }
    case kInsBurnSeed: {
      if (p1 != 0x01) return SwOnly(sw::kWrongP1P2);
      if (!ProfileInRange(p2)) return SwOnly(sw::kWrongP1P2);
      if (d.empty() || d.size() % 16 != 0 || d.size() > 176) return SwOnly(sw::kWrongLength);
      auto seed = StripPad80(Sm4EcbDecrypt(commandKey_, d));
      if (!seed || seed->empty() || seed->size() > 160) return SwOnly(sw::kWrongData);
      profiles_[p2].seed = std::move(*seed);
      Touch();
      return SwOnly(sw::kOk);
    }
    case kInsReadOtp: {
      if (p1 != 0x00) return SwOnly(sw::kWrongP1P2);
      if (!d.empty()) return SwOnly(sw::kWrongLength);
      if (!ProfileInRange(p2)) return SwOnly(sw::kWrongP1P2);
      const Profile& prof = profiles_[p2];
      if (!prof.hasSeed()) return SwOnly(sw::kNoSeed);
      std::string otp =
          Totp(static_cast<HmacAlgorithm>(prof.algorithm), prof.seed, TokenClock(), prof.timeStep, prof.digits);
      return WithSw(Bytes(otp.begin(), otp.end()), sw::kOk);
    }
    case kInsSeal:
      if (p1 != 0x00 || p2 != 0x00) return SwOnly(sw::kWrongP1P2);
      if (!d.empty()) return SwOnly(sw::kWrongLength);
      sealed_ = true;
      Touch();
      return SwOnly(sw::kOk);
    case kInsConfig:
      if (p1 != 0x00) return SwOnly(sw::kWrongP1P2);
      return ApplyConfig(p2, d);
    case kInsTitle: {
      if (p1 != 0x00) return SwOnly(sw::kWrongP1P2);
      if (!ProfileInRange(p2)) return SwOnly(sw::kWrongP1P2);
      if (d.size() != 16) return SwOnly(sw::kWrongLength);
      auto title = StripPad80(Sm4EcbDecrypt(commandKey_, d));
      if (!title || title->size() > 12) return SwOnly(sw::kWrongData);
      profiles_[p2].title.assign(title->begin(), title->end());
      Touch();
      return SwOnly(sw::kOk);
    }
    case kInsPin: {
      if (p1 != 0x00 || p2 != 0x00) return SwOnly(sw::kWrongP1P2);
      if (d.size() != 16) return SwOnly(sw::kWrongLength);
      Bytes block = Sm4EcbDecrypt(commandKey_, d);
      bool layout = block[6] == 0x80;
      for (size_t i = 7; i < 16; ++i) layout = layout && block[i] == 0x00;
      if (!layout) return SwOnly(sw::kWrongData);
      pin_.assign(block.begin(), block.begin() + 6);
      Touch();
      return SwOnly(sw::kOk);
    }
    default: return SwOnly(sw::kInsNotSupported);
  }
}

Bytes NorvikSimModel::ReadSerialAndClock() const {
  const std::string& s = options_.serial;
  Bytes r = {0x02, 0x11, 0x00, static_cast<uint8_t>(s.size())};
  r.insert(r.end(), s.begin(), s.end());
  r.push_back(0x00);  // serial terminator
  uint32_t t = TokenClock();
  r.insert(r.end(), {0x0F, 0x04, static_cast<uint8_t>(t >> 24), static_cast<uint8_t>(t >> 16),
                     static_cast<uint8_t>(t >> 8), static_cast<uint8_t>(t)});
  return WithSw(std::move(r), sw::kOk);
}

Bytes NorvikSimModel::ReadProfileRecord(uint8_t p2) const {
  // 70 1F | profile | 1D (29 bytes follow) | flags alg step digits titleLen
  // title[12] reserved[11] | seed-present
  const Profile& prof = profiles_[p2];
  Bytes r = {0x70,          0x1F,        p2,
             0x1D,          prof.flags,  prof.algorithm,
             prof.timeStep, prof.digits, static_cast<uint8_t>(prof.title.size())};
  Bytes title(12, 0x00);
  std::copy(prof.title.begin(), prof.title.end(), title.begin());
  r.insert(r.end(), title.begin(), title.end());
  r.insert(r.end(), 11, 0x00);
  r.push_back(prof.hasSeed() ? 0x01 : 0x00);
  return WithSw(std::move(r), sw::kOk);
}

Bytes NorvikSimModel::VerifyCryptogram(const Bytes& data) {
  // The challenge is good for one answer only, right or wrong.
  auto challenge = challenge_;
  challenge_.reset();
  if (!challenge) return SwOnly(sw::kNoChallenge);
  if (keyLocked()) return SwOnly(sw::kKeyLocked);
  Bytes block(16, 0x00);
  std::copy(challenge->begin(), challenge->end(), block.begin());
  Bytes expected = Sm4EcbEncrypt(commandKey_, block);
  if (CRYPTO_memcmp(expected.data(), data.data(), 16) == 0) {
    if (triesLeft_ != options_.maxTries) {
      triesLeft_ = options_.maxTries;
      Touch();
    }
    return SwOnly(sw::kOk);
  }
  if (options_.maxTries == 0) return SwOnly(sw::kAuthFailedUnlimited);
  --triesLeft_;
  Touch();
  if (triesLeft_ == 0) return SwOnly(sw::kKeyLocked);
  return SwOnly(static_cast<uint16_t>(0x6300 | triesLeft_));
}

Bytes NorvikSimModel::ApplyConfig(uint8_t p2, const Bytes& data) {
  if (!ProfileInRange(p2)) return SwOnly(sw::kWrongP1P2);
  auto items = ParseConfigTemplate(data);
  if (!items) return SwOnly(sw::kWrongData);
  // Everything was validated above; apply all or nothing.
  Profile& prof = profiles_[p2];
  uint8_t newFlags = items->flags.value_or(prof.flags);
  bool algChanged = items->algorithm && *items->algorithm != prof.algorithm;
  bool stepChanged = items->timeStep && *items->timeStep != prof.timeStep;
  if ((newFlags & 0x01) && (algChanged || stepChanged) && prof.hasSeed()) {
    std::fill(prof.seed.begin(), prof.seed.end(), 0);
    prof.seed.clear();
  }
  if (items->algorithm) prof.algorithm = *items->algorithm;
  if (items->timeStep) prof.timeStep = *items->timeStep;
  if (items->digits) prof.digits = *items->digits;
  prof.flags = newFlags;
  if (items->title) prof.title = *items->title;
  if (items->time) SetTokenClock(*items->time);
  if (items->displayOff) displayOff_ = *items->displayOff;
  if (items->timeOption) timeOption_ = *items->timeOption;
  if (items->pinEnabled) pinEnabled_ = *items->pinEnabled != 0;
  if (items->keypad) keypad_ = *items->keypad != 0;
  Touch();
  return SwOnly(sw::kOk);
}

std::optional<uint16_t> NorvikSimModel::Confirm() const {
  switch (options_.confirm) {
    case ConfirmPolicy::Accept: return std::nullopt;
    case ConfirmPolicy::Refuse: return sw::kConfirmRefused;
    case ConfirmPolicy::Timeout: return sw::kConfirmTimeout;
  }
  return sw::kConfirmRefused;
}

bool NorvikSimModel::CorruptSeed(int i) {
  if (i < 0 || i >= options_.profileCount || !profiles_[static_cast<size_t>(i)].hasSeed()) return false;
  profiles_[static_cast<size_t>(i)].seed.back() ^= 0xFF;
  Touch();
  return true;
}

std::string NorvikSimModel::SaveState() const {
  std::ostringstream out;
  out << "norvik-sim-state 1\n";
  out << "serial " << options_.serial << "\n";
  out << "key " << ToHex(commandKey_.data(), commandKey_.size()) << "\n";
  out << "tries " << triesLeft_ << "\n";
  out << "clock-offset " << clockOffset_ << "\n";
  out << "display-off " << int{displayOff_} << "\n";
  out << "keypad " << (keypad_ ? 1 : 0) << "\n";
  out << "pin-enabled " << (pinEnabled_ ? 1 : 0) << "\n";
  out << "pin " << (pin_.empty() ? "-" : ToHex(reinterpret_cast<const uint8_t*>(pin_.data()), pin_.size())) << "\n";
  out << "screen-locked " << (screenLocked_ ? 1 : 0) << "\n";
  out << "sealed " << (sealed_ ? 1 : 0) << "\n";
  out << "time-option " << int{timeOption_} << "\n";
  for (size_t i = 0; i < profiles_.size(); ++i) {
    const Profile& p = profiles_[i];
    out << "profile " << i << " " << int{p.algorithm} << " " << int{p.timeStep} << " " << int{p.digits} << " "
        << int{p.flags} << " " << (p.seed.empty() ? "-" : ToHex(p.seed)) << " "
        << (p.title.empty() ? "-" : ToHex(reinterpret_cast<const uint8_t*>(p.title.data()), p.title.size())) << "\n";
  }
  return out.str();
}

bool NorvikSimModel::LoadState(const std::string& text, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  // Parse into a copy so that a broken file leaves the token as it was.
  NorvikSimModel next = *this;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != "norvik-sim-state 1") return fail("not a state file");
  auto hexField = [](const std::string& f, Bytes& out) { return f == "-" ? (out.clear(), true) : FromHex(f, out); };
  int lineNo = 1;
  while (std::getline(in, line)) {
    ++lineNo;
    if (line.empty()) continue;
    std::istringstream ls(line);
    std::string name;
    ls >> name;
    auto bad = [&] { return fail("line " + std::to_string(lineNo) + ": " + line); };
    if (name == "serial") {
      std::string serial, rest;
      if (!(ls >> serial) || !IsValidSerial(serial) || ls >> rest) return bad();
      next.options_.serial = serial;
    } else if (name == "key") {
      std::string h;
      Bytes k;
      if (!(ls >> h) || !FromHex(h, k) || k.size() != 16) return bad();
      std::copy(k.begin(), k.end(), next.commandKey_.begin());
    } else if (name == "tries") {
      int n;
      if (!(ls >> n) || n < 0 || n > options_.maxTries) return bad();
      next.triesLeft_ = n;
    } else if (name == "clock-offset") {
      if (!(ls >> next.clockOffset_)) return bad();
    } else if (name == "display-off" || name == "keypad" || name == "pin-enabled" || name == "screen-locked" ||
               name == "sealed" || name == "time-option") {
      int v;
      if (!(ls >> v) || v < 0 || v > 15) return bad();
      if (name == "display-off") next.displayOff_ = static_cast<uint8_t>(v & 3);
      if (name == "keypad") next.keypad_ = v != 0;
      if (name == "pin-enabled") next.pinEnabled_ = v != 0;
      if (name == "screen-locked") next.screenLocked_ = v != 0;
      if (name == "sealed") next.sealed_ = v != 0;
      if (name == "time-option") next.timeOption_ = static_cast<uint8_t>(v);
    } else if (name == "pin") {
      std::string h;
      Bytes p;
      if (!(ls >> h) || !hexField(h, p)) return bad();
      next.pin_.assign(p.begin(), p.end());
    } else if (name == "profile") {
      int idx, alg, step, digits, flags;
      std::string seedHex, titleHex;
      if (!(ls >> idx >> alg >> step >> digits >> flags >> seedHex >> titleHex)) return bad();
      // A state file of the 100-profile model loaded into the 50-profile
      // one keeps what fits.
      if (idx < 0) return bad();
      if (idx >= options_.profileCount) continue;
      Profile p;
      Bytes title;
      if ((alg != 1 && alg != 2) || (step != 30 && step != 60) || digits < 1 || digits > 10 || flags < 0 ||
          flags > 255 || !hexField(seedHex, p.seed) || p.seed.size() > 160 || !hexField(titleHex, title) ||
          title.size() > 12)
        return bad();
      p.algorithm = static_cast<uint8_t>(alg);
      p.timeStep = static_cast<uint8_t>(step);
      p.digits = static_cast<uint8_t>(digits);
      p.flags = static_cast<uint8_t>(flags);
      p.title.assign(title.begin(), title.end());
      next.profiles_[static_cast<size_t>(idx)] = std::move(p);
    } else {
      return bad();
    }
  }
  next.challenge_.reset();
  next.generation_ = generation_ + 1;
  *this = std::move(next);
  return true;
}

}  // namespace norvik::sim
