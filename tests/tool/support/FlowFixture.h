// A flow test's surroundings: the scripted token behind a local library
// table, the dialog's state, a recording view and a connected reader.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CardApi.h"
#include "DialogState.h"
#include "Provisioning.h"
#include "ScriptedCard.h"
#include "ToolContext.h"
#include "ToolTestViews.h"

namespace tooltest {

inline constexpr char kReader[] = "Virtual Reader 00";
inline constexpr char kKey[] = "00112233445566778899AABBCCDDEEFF";

class FlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        card.Reset();
        card.Install(api);
        provisor::g_readerName.Set(kReader);
        provisor::g_customerKey.Set(kKey);
        provisor::g_busy = false;
        provisor::g_totalCount = provisor::g_successCount = provisor::g_failCount = 0;
    }
    void TearDown() override {
        provisor::g_readerName.Set({});
        provisor::g_busy = false;
    }

    // The calls since the last look, and forget them.
    std::vector<CardCall> Take() {
        auto calls = card.Calls();
        card.ClearCalls();
        return calls;
    }
    std::vector<std::string> TakeNames() {
        std::vector<std::string> names;
        for (const auto& c : Take()) names.push_back(c.fn);
        return names;
    }
    // The messages since the last look, and forget them.
    std::vector<MessageEntry> TakeMessages() {
        std::lock_guard lock(view.sink.mutex);
        auto entries = std::move(view.sink.entries);
        view.sink.entries.clear();
        return entries;
    }

    ScriptedCard& card = ScriptedCard::Instance();
    provisor::CardApi api;
    provisor::DialogState state;
    RecordingView view;
    provisor::ToolContext ctx{api, state, view, nullptr};
};

using Names = std::vector<std::string>;
using Args = std::vector<std::string>;

}  // namespace tooltest
