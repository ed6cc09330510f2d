#include "CommandTestSupport.h"

namespace quillon::testing {

bool CommandTest::SessionReleased() {
    const CardSession& s = CurrentCardSession();
    return s.context == 0 && s.card == 0 && pcscdouble::LiveContexts() == 0 &&
           pcscdouble::LiveCards() == 0;
}

std::vector<pcscdouble::Bytes> CommandTest::Commands() {
    std::vector<pcscdouble::Bytes> out;
    for (const auto& s : pcscdouble::SentApdus()) out.push_back(s.command);
    return out;
}

}  // namespace quillon::testing
