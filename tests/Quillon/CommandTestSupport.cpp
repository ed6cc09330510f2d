#include "CommandTestSupport.h"

namespace quillon::testing {

bool CommandTest::SessionReleased() {
    const CardSession& s = CurrentCardSession();
    return s.context == 0 && s.card == 0 && pcscdouble::LiveContexts() == 0 && pcscdouble::LiveCards() == 0;
}

std::vector<pcscdouble::Bytes> CommandTest::Commands() {
    std::vector<pcscdouble::Bytes> out;
    for (const auto& s : pcscdouble::SentApdus()) out.push_back(s.command);
    return out;
}

Bytes RefSecured(const Bytes& key, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data) {
    Bytes macInput = {0x80, ins, p1, p2, static_cast<uint8_t>(data.size())};
    macInput.insert(macInput.end(), data.begin(), data.end());
    Bytes apdu = {0x84, ins, p1, p2, static_cast<uint8_t>(data.size() + 4)};
    apdu.insert(apdu.end(), data.begin(), data.end());
    Bytes mac = RefMac(key, macInput);
    apdu.insert(apdu.end(), mac.begin(), mac.end());
    return apdu;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace quillon::testing
