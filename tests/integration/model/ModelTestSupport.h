// Shared fixture for the token model tests: a model with a fixed clock and
// a predictable challenge, and helpers that build commands the way a host
// would.
#pragma once

#include "NorvikSimModel.h"
#include "SimCard.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace norvik::sim::test {

Bytes H(std::string_view hex);  // "80 41" → bytes; aborts the test on bad text
uint16_t Sw(const Bytes& r);
Bytes Pad80(Bytes b);

class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override { Make(); }
  void Make(ModelOptions o = {});

  Bytes Send(const Bytes& apdu) { return model->Process(apdu); }
  Bytes Send(std::string_view hex) { return model->Process(H(hex)); }
  // 84 INS P1 P2 (n+4) D MAC, MAC over 80 INS P1 P2 n D.
  static Bytes Secured(const Key16& k, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& d);
  Bytes SendSecured(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& d) { return Send(Secured(key, ins, p1, p2, d)); }
  // 4B then CE with the cryptogram under k; the CE response.
  Bytes Verify(const Key16& k);
  Bytes Burn(uint8_t profile, const Bytes& seed) {
    return SendSecured(0xC5, 0x01, profile, Sm4EcbEncrypt(key, Pad80(seed)));
  }
  Bytes Config(uint8_t profile, const Bytes& items);  // wraps in 81 L
  Bytes ReadOtp(uint8_t profile) { return SendSecured(0xC9, 0x00, profile, {}); }

  int64_t now = 1700000000;
  uint8_t randomCounter = 0;
  Key16 key = DeriveCommandKey(kFactoryAccessKey);
  std::unique_ptr<NorvikSimModel> model;
};

}  // namespace norvik::sim::test
