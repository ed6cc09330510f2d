#include "SimCard.h"

#include <charconv>
#include <sstream>
#include <vector>

namespace norvik::sim {
namespace {

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

template <typename T>
bool ParseNumber(const std::string& s, T& out, int base = 10) {
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
  return ec == std::errc() && ptr == s.data() + s.size();
}

// The single decimal argument of a control line, within [lo, hi].
bool IntArg(const std::vector<std::string>& w, int lo, int hi, int& out) {
  return w.size() == 2 && ParseNumber(w[1], out) && out >= lo && out <= hi;
}

bool ParseSw(const std::string& s, uint16_t& sw) { return s.size() == 4 && ParseNumber(s, sw, 16); }

std::string Hex4(uint16_t v) {
  uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  return ToHex(b, 2);
}

}  // namespace

void SimCard::PowerEvent() {
  model_.Reset();
  pending_.clear();
  pendingCount_ = 0;
}

void SimCard::NewToken(const std::string& serial) {
  model_.ReplaceWithNewToken(serial);
  faults_ = Faults{};
  PowerEvent();
}

SimCard::Answer SimCard::Transmit(const Bytes& apdu) {
  Answer a;
  if (apdu.size() >= 4 && apdu[0] == 0x00 && apdu[1] == 0xC0) {
    if (faults_.getResponseForever) {
      a.response = SwOnly(0x9060);
    } else if (pendingCount_ == 0) {
      a.response = SwOnly(sw::kNoChallenge);
    } else if (--pendingCount_ == 0) {
      a.response = std::move(pending_);
      pending_.clear();
    } else {
      a.response = SwOnly(0x9060);
    }
    return a;
  }
  a.delayMs = faults_.delayMs;
  faults_.delayMs = 0;
  if (faults_.pullCountdown > 0 && --faults_.pullCountdown == 0) {
    a.pull = faults_.pullBeforeAnswer ? Pull::InsteadOfAnswer : Pull::AfterAnswer;
    faults_.pullBeforeAnswer = false;
  }
  if (faults_.nextSw) {
    a.response = SwOnly(*faults_.nextSw);
    faults_.nextSw.reset();
  } else if (auto it = apdu.size() >= 2 ? faults_.swByIns.find(apdu[1]) : faults_.swByIns.end();
             it != faults_.swByIns.end()) {
    a.response = SwOnly(it->second);
  } else {
    a.response = model_.Process(apdu);
    if (faults_.corruptSeedOf && apdu.size() >= 4 && apdu[0] == 0x84 && apdu[1] == 0xC5 &&
        apdu[3] == *faults_.corruptSeedOf && a.response.size() >= 2 && a.response[a.response.size() - 2] == 0x90 &&
        a.response.back() == 0x00) {
      model_.CorruptSeed(*faults_.corruptSeedOf);
      faults_.corruptSeedOf.reset();
    }
  }
  if (faults_.shortLength) {
    Bytes sw(a.response.end() - 2, a.response.end());
    sw.resize(static_cast<size_t>(*faults_.shortLength));
    a.response = std::move(sw);
    faults_.shortLength.reset();
  }
  if (faults_.getResponse > 0) {
    pending_ = std::move(a.response);
    pendingCount_ = faults_.getResponse;
    faults_.getResponse = 0;
    a.response = SwOnly(0x9060);
  }
  if (faults_.getResponseForever) {
    // The command ran; its answer never comes out.
    pending_.clear();
    pendingCount_ = 0;
    a.response = SwOnly(0x9060);
  }
  return a;
}

std::string SimCard::CorruptSeedControl(const std::vector<std::string>& w) {
  int p;
  const bool next = w.size() == 3 && w[2] == "next";
  if ((w.size() != 2 && !next) || !ParseNumber(w[1], p) || p < 0 || p > 99)
    return "err usage: corrupt-seed PROFILE [next]";
  if (next) {
    faults_.corruptSeedOf = static_cast<uint8_t>(p);
    return "ok";
  }
  if (!model_.CorruptSeed(p)) return "err profile " + w[1] + " holds no seed";
  return "ok";
}

std::string SimCard::StatusLine() const {
  const NorvikSimModel& m = model_;
  std::ostringstream s;
  s << "ok serial=" << m.options().serial << " profiles=" << m.options().profileCount
    << " screen-lock=" << (m.options().screenLockSupported ? "yes" : "no")
    << " confirm=" << ToString(m.options().confirm) << " clock=" << m.TokenClock()
    << " tries=" << (m.options().maxTries == 0 ? std::string("unlimited") : std::to_string(m.triesLeft()))
    << " locked=" << (m.keyLocked() ? 1 : 0) << " screen-locked=" << (m.screenLocked() ? 1 : 0)
    << " sealed=" << (m.sealed() ? 1 : 0);
  if (faults_.nextSw) s << " next-sw=" << Hex4(*faults_.nextSw);
  for (auto [ins, sw] : faults_.swByIns) {
    uint8_t b = ins;
    s << " sw-ins-" << ToHex(&b, 1) << "=" << Hex4(sw);
  }
  if (faults_.getResponse) s << " getresponse=" << faults_.getResponse;
  if (faults_.shortLength) s << " short=" << *faults_.shortLength;
  if (faults_.delayMs) s << " delay=" << faults_.delayMs;
  if (faults_.corruptSeedOf) s << " corrupt-seed=" << static_cast<int>(*faults_.corruptSeedOf);
  if (faults_.getResponseForever) s << " getresponse=forever";
  if (faults_.pullCountdown)
    s << (faults_.pullBeforeAnswer ? " remove-during=" : " remove-after=") << faults_.pullCountdown;
  return s.str();
}

std::optional<std::string> SimCard::Control(const std::string& line) {
  std::vector<std::string> w = Words(line);
  if (w.empty()) return std::nullopt;
  const std::string& cmd = w[0];
  auto usage = [](const char* text) { return std::string("err usage: ") + text; };
  if (cmd == "sw") {
    uint16_t sw;
    if (w.size() != 2 || !ParseSw(w[1], sw)) return usage("sw XXXX");
    faults_.nextSw = sw;
    return "ok";
  }
  if (cmd == "sw-ins") {
    uint8_t ins;
    uint16_t sw;
    if (w.size() != 3 || w[1].size() != 2 || !ParseNumber(w[1], ins, 16)) return usage("sw-ins II XXXX|off");
    if (w[2] == "off") {
      faults_.swByIns.erase(ins);
      return "ok";
    }
    if (!ParseSw(w[2], sw)) return usage("sw-ins II XXXX|off");
    faults_.swByIns[ins] = sw;
    return "ok";
  }
  if (cmd == "getresponse") {
    if (w.size() == 2 && (w[1] == "forever" || w[1] == "off")) {
      faults_.getResponseForever = w[1] == "forever";
      return "ok";
    }
    int n;
    if (!IntArg(w, 0, 255, n)) return usage("getresponse 0-255|forever|off");
    faults_.getResponse = n;
    return "ok";
  }
  if (cmd == "remove-after" || cmd == "remove-during") {
    int n;
    if (!IntArg(w, 1, 1000, n)) return usage(cmd == "remove-after" ? "remove-after 1-1000" : "remove-during 1-1000");
    faults_.pullCountdown = n;
    faults_.pullBeforeAnswer = cmd == "remove-during";
    return "ok";
  }
  if (cmd == "short") {
    int n;
    if (!IntArg(w, 0, 2, n)) return usage("short 0|1|2");
    faults_.shortLength = n;
    return "ok";
  }
  if (cmd == "delay") {
    int ms;
    if (!IntArg(w, 0, 60000, ms)) return usage("delay 0-60000");
    faults_.delayMs = ms;
    return "ok";
  }
  if (cmd == "confirm") {
    auto p = w.size() == 2 ? ParseConfirmPolicy(w[1]) : std::nullopt;
    if (!p) return usage("confirm accept|refuse|timeout");
    model_.setConfirmPolicy(*p);
    return "ok";
  }
  if (cmd == "clock") {
    uint32_t t;
    if (w.size() != 2 || !ParseNumber(w[1], t)) return usage("clock SECONDS");
    model_.SetTokenClock(t);
    return "ok";
  }
  if (cmd == "corrupt-seed") return CorruptSeedControl(w);
  if (cmd == "clear") {
    if (w.size() != 1) return usage("clear");
    faults_ = Faults{};
    return "ok";
  }
  if (cmd == "status") return StatusLine();
  return std::nullopt;
}

}  // namespace norvik::sim
