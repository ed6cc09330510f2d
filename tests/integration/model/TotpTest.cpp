// The OTP the token shows must be the one every authenticator app computes:
// compared with oathtool over the whole command path (seed burnt with C5,
// settings and clock written with D4, password read with C9).
#include "ModelTestSupport.h"

#include <cstdio>

namespace norvik::sim::test {
namespace {

std::string Oathtool(int alg, const Bytes& seed, uint64_t t, int step, int digits) {
  std::string cmd = std::string("oathtool --totp=") + (alg == 2 ? "SHA256" : "SHA1") + " -d " + std::to_string(digits) +
                    " -s " + std::to_string(step) + "s -N @" + std::to_string(t) + " " + ToHex(seed) + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return {};
  char buf[64] = {};
  std::string out = fgets(buf, sizeof buf, p) ? buf : "";
  pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

bool HaveOathtool() { return std::system("oathtool --version >/dev/null 2>&1") == 0; }

class TotpTest : public ModelTest {
 protected:
  std::string TokenOtp(int profile, int alg, int step, int digits, uint32_t t) {
    Bytes items = {0x0A,
                   0x01,
                   static_cast<uint8_t>(alg),
                   0x0D,
                   0x01,
                   static_cast<uint8_t>(step),
                   0x0B,
                   0x01,
                   static_cast<uint8_t>(digits),
                   0x0F,
                   0x04,
                   static_cast<uint8_t>(t >> 24),
                   static_cast<uint8_t>(t >> 16),
                   static_cast<uint8_t>(t >> 8),
                   static_cast<uint8_t>(t),
                   0x23,
                   0x01,
                   0x00};
    EXPECT_EQ(Sw(Config(static_cast<uint8_t>(profile), items)), 0x9000);
    Bytes r = ReadOtp(static_cast<uint8_t>(profile));
    EXPECT_EQ(Sw(r), 0x9000);
    return std::string(r.begin(), r.end() - 2);
  }
};

TEST_F(TotpTest, AgreesWithOathtool) {
  if (!HaveOathtool()) GTEST_SKIP() << "oathtool not installed";
  const Bytes seed20 = H("3132333435363738393031323334353637383930");
  const Bytes seed32 = H("3132333435363738393031323334353637383930313233343536373839303132");
  const Bytes seed10 = H("48656C6C6F21DEADBEEF");
  const uint32_t times[] = {59, 1111111109, 1234567890, 2000000000, 3999999999u};
  int profile = 0;
  for (const Bytes* seed : {&seed20, &seed32, &seed10}) {
    ASSERT_EQ(Sw(Burn(static_cast<uint8_t>(profile), *seed)), 0x9000);
    for (int alg : {1, 2})
      for (int step : {30, 60})
        for (int digits : {6, 8})
          for (uint32_t t : times) {
            // The token clock keeps running; freeze it at t for the read.
            std::string got = TokenOtp(profile, alg, step, digits, t);
            EXPECT_EQ(got, Oathtool(alg, *seed, t, step, digits))
                << "alg " << alg << " step " << step << " digits " << digits << " t " << t << " seed " << ToHex(*seed);
          }
    ++profile;
  }
}

TEST_F(TotpTest, TenDigitsKeepTheWhole31BitValue) {
  // RFC 4226 appendix D: truncated values for counters 0..9.
  const char* expected[] = {"1284755224", "1094287082", "0137359152", "1726969429", "1640338314",
                            "0868254676", "1918287922", "0082162583", "0673399871", "0645520489"};
  const Bytes seed = H("3132333435363738393031323334353637383930");
  ASSERT_EQ(Sw(Burn(7, seed)), 0x9000);
  for (uint32_t c = 0; c < 10; ++c) EXPECT_EQ(TokenOtp(7, 1, 30, 10, c * 30 + 29), expected[c]) << c;
}

TEST_F(TotpTest, TenDigitsEndInTheEightDigitOathtoolValue) {
  if (!HaveOathtool()) GTEST_SKIP() << "oathtool not installed";
  const Bytes seed = H("3132333435363738393031323334353637383930313233343536373839303132");
  ASSERT_EQ(Sw(Burn(9, seed)), 0x9000);
  for (int step : {30, 60})
    for (uint32_t t : {59u, 1111111111u, 2000000000u}) {
      std::string ten = TokenOtp(9, 2, step, 10, t);
      ASSERT_EQ(ten.size(), 10u);
      EXPECT_EQ(ten.substr(2), Oathtool(2, seed, t, step, 8)) << "step " << step << " t " << t;
    }
}

TEST_F(TotpTest, ClockRunsOnFromTheValueLastSet) {
  const Bytes seed = H("3132333435363738393031323334353637383930");
  ASSERT_EQ(Sw(Burn(1, seed)), 0x9000);
  std::string atSet = TokenOtp(1, 1, 30, 8, 59);
  now += 30;  // a step later in real time
  Bytes r = ReadOtp(1);
  EXPECT_NE(std::string(r.begin(), r.end() - 2), atSet);
  EXPECT_EQ(std::string(r.begin(), r.end() - 2), Hotp(HmacAlgorithm::Sha1, seed, 2, 8));
  EXPECT_EQ(model->TokenClock(), 89u);
}

}  // namespace
}  // namespace norvik::sim::test
