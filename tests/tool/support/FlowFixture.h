// A flow test's surroundings: a fresh session on a manual clock with the
// scripted token behind its library table, a recording view and a connected
// reader "R" with the access key "AB".
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "provisioning/Provisioning.h"
#include "ScriptedCard.h"
#include "ToolTestViews.h"

namespace tooltest {

using Strings = std::vector<std::string>;

class FlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        card.Reset();
        card.Install(session.cardApi);
        session.g_readerName.Set("R");
        session.g_customerKey.Set("AB");
    }

    // The calls since the last look as "Fn(arg,arg)", and forget them.
    Strings Calls() {
        Strings out;
        for (const auto& c : card.Calls()) {
            std::string s = c.fn + "(";
            for (size_t i = 0; i < c.args.size(); ++i) s += (i ? "," : "") + c.args[i];
            out.push_back(s + ")");
        }
        card.ClearCalls();
        return out;
    }
    // The messages since the last look, and forget them.
    std::vector<MessageEntry> Messages() {
        std::lock_guard lock(view.sink.mutex);
        return std::exchange(view.sink.entries, {});
    }
    Strings Texts() {
        Strings out;
        for (const auto& m : Messages()) out.push_back(m.text.toStdString());
        return out;
    }

    ScriptedCard& card = ScriptedCard::Instance();
    provisor::ManualClock clock;
    provisor::ToolSession session{&clock};
    RecordingView view;
    provisor::ToolContext ctx{session, view, nullptr};
};

}  // namespace tooltest
