#include "ModelTestSupport.h"

namespace norvik::sim::test {

Bytes H(std::string_view hex) {
  Bytes b;
  EXPECT_TRUE(FromHex(hex, b)) << hex;
  return b;
}

uint16_t Sw(const Bytes& r) { return r.size() < 2 ? 0 : static_cast<uint16_t>((r[r.size() - 2] << 8) | r.back()); }

Bytes Pad80(Bytes b) {
  b.push_back(0x80);
  while (b.size() % 16) b.push_back(0);
  return b;
}

void ModelTest::Make(ModelOptions o) {
  model = std::make_unique<NorvikSimModel>(
      std::move(o), [this] { return now; },
      [this](uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(0xA0 + randomCounter++);
      });
}

Bytes ModelTest::Secured(const Key16& k, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& d) {
  Bytes macInput = {0x80, ins, p1, p2, static_cast<uint8_t>(d.size())};
  macInput.insert(macInput.end(), d.begin(), d.end());
  auto mac = Sm4CbcMac4(k, macInput);
  Bytes apdu = {0x84, ins, p1, p2, static_cast<uint8_t>(d.size() + 4)};
  apdu.insert(apdu.end(), d.begin(), d.end());
  apdu.insert(apdu.end(), mac.begin(), mac.end());
  return apdu;
}

Bytes ModelTest::Verify(const Key16& k) {
  Bytes ch = Send("80 4B 08 00 00");
  EXPECT_EQ(Sw(ch), 0x9000);
  Bytes block(ch.begin(), ch.begin() + 8);
  block.resize(16, 0);
  Bytes crypt = Sm4EcbEncrypt(k, block);
  Bytes apdu(5 + crypt.size());
  const uint8_t header[5] = {0x80, 0xCE, 0x00, 0x00, 0x10};
  std::copy(header, header + 5, apdu.begin());
  std::copy(crypt.begin(), crypt.end(), apdu.begin() + 5);
  return Send(apdu);
}

Bytes ModelTest::Config(uint8_t profile, const Bytes& items) {
  Bytes d = {0x81, static_cast<uint8_t>(items.size())};
  d.insert(d.end(), items.begin(), items.end());
  return SendSecured(0xD4, 0x00, profile, d);
}

}  // namespace norvik::sim::test
