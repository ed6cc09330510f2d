// The token as the reader sees it: the model plus whatever faults a test
// asked for over the control channel.
#pragma once

#include "NorvikSimModel.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace norvik::sim {

struct Faults {
  std::optional<uint16_t> nextSw;        // one-shot: answer only this SW, skip the command
  std::map<uint8_t, uint16_t> swByIns;   // until cleared: same, for every command with this INS
  int getResponse = 0;                   // one-shot: answer 90 60 this many times first
  std::optional<int> shortLength;        // one-shot: keep 0, 1 or 2 bytes of the status word
  int delayMs = 0;                       // one-shot: hold the answer back this long
  std::optional<uint8_t> corruptSeedOf;  // one-shot: the next seed written to this profile is stored changed
  bool getResponseForever = false;       // until cleared: every answer is 90 60, GET RESPONSE too
  int pullCountdown = 0;                 // commands still to come before the card is pulled
  bool pullBeforeAnswer = false;         // the last of them runs, but the card goes before its answer
};

// What happens to the card around one answer.
enum class Pull { None, AfterAnswer, InsteadOfAnswer };

class SimCard {
 public:
  explicit SimCard(NorvikSimModel& model) : model_(model) {}

  struct Answer {
    Bytes response;
    int delayMs = 0;
    Pull pull = Pull::None;  // the daemon takes the card out (and keeps it out)
  };
  Answer Transmit(const Bytes& apdu);

  // Runs one control line that concerns the card (faults, confirmation,
  // clock, status). Returns the reply line ("ok ..." or "err ..."), or
  // nullopt when the line is not a card command, so the caller can try its
  // own (remove/insert...).
  std::optional<std::string> Control(const std::string& line);

  const Faults& faults() const { return faults_; }
  NorvikSimModel& model() { return model_; }

  // A new card session (power on, off, reset, new connection) forgets a
  // pending GET RESPONSE answer along with the model's challenge.
  void PowerEvent();

  // Another token, fresh from the factory, takes the reader (see
  // NorvikSimModel::ReplaceWithNewToken). Faults a test aimed at the old
  // token leave with it.
  void NewToken(const std::string& serial);

 private:
  std::string StatusLine() const;
  std::string CorruptSeedControl(const std::vector<std::string>& w);
  NorvikSimModel& model_;
  Faults faults_;
  Bytes pending_;
  int pendingCount_ = 0;
};

}  // namespace norvik::sim
