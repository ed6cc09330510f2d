#include <gtest/gtest.h>

#include <functional>

#include "DeviceActions.h"
#include "FlowFixture.h"

using namespace provisor;
using namespace tooltest;

namespace {

using DeviceActions = FlowTest;

const std::pair<const char*, void (*)(ToolContext&)> kAllActions[] = {
    {"SetTitleOnly", SetTitleOnly}, {"ChangeDisplayOffTime", ChangeDisplayOffTime},
    {"SetKeypadMode", SetKeypadMode}, {"RemoveSeed", RemoveSeed},
    {"CopyOtp", CopyOtp},           {"LockScreen", LockScreen},
    {"UnlockScreen", UnlockScreen}};

TEST_F(DeviceActions, RemoveSeedAndCopyOtpWalkAProfile) {
    state.m_profile = 7;
    const QString question = QStringLiteral("This operation will remove the seed stored \r\nunder profile #7. Are you sure?");
    const QString emptyWarning = QStringLiteral("Warning,empty seed under profile #7.");

    // Cancel: nothing after the authentication.
    view.sink.answerOk = false;
    RemoveSeed(ctx);
    EXPECT_EQ(TakeNames(), (Names{"CardVerify"}));
    auto messages = TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].question);
    EXPECT_EQ(messages[0].text, question);
    EXPECT_EQ(messages[0].icon, MessageIcon::Warning);
    view.sink.answerOk = true;

    // An empty profile is a warning for both, without a row.
    RemoveSeed(ctx);
    auto calls = Take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].fn, "CardDeleteSeed");
    EXPECT_EQ(calls[1].args, (Args{kReader, "7"}));
    CopyOtp(ctx);
    calls = Take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].fn, "CardReadOTP");
    EXPECT_EQ(calls[1].args, (Args{kReader, kKey, "7"}));
    messages = TakeMessages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1].text, emptyWarning);
    EXPECT_EQ(messages[1].icon, MessageIcon::Warning);
    EXPECT_EQ(messages[2].text, emptyWarning);
    EXPECT_TRUE(view.Rows().empty());
    EXPECT_TRUE(view.clipboard.isEmpty());

    // A password: exactly its digits on the clipboard, a green row, no box.
    card.seedPresent[7] = true;
    card.otp = "042917";
    CopyOtp(ctx);
    EXPECT_EQ(view.clipboard, QStringLiteral("042917"));
    ASSERT_EQ(view.Rows().size(), 1u);
    EXPECT_EQ(view.Rows()[0].state, QStringLiteral("7-Successful operation"));
    EXPECT_FALSE(view.Rows()[0].failed);
    // Any other failure only shows as a red row.
    card.Queue("CardReadOTP", 0x1008);
    CopyOtp(ctx);
    EXPECT_EQ(view.clipboard, QStringLiteral("042917"));
    ASSERT_EQ(view.Rows().size(), 2u);
    EXPECT_TRUE(view.Rows()[0].failed);
    EXPECT_TRUE(TakeMessages().empty());

    // Removal: a failure gives a red row and its status; success a green row.
    card.Queue("CardDeleteSeed", 0x1008);
    RemoveSeed(ctx);
    messages = TakeMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].text, QStringLiteral("operation failed![00001008]"));
    EXPECT_EQ(messages[1].icon, MessageIcon::Error);
    EXPECT_TRUE(view.Rows()[0].failed);
    RemoveSeed(ctx);
    EXPECT_EQ(TakeMessages().size(), 1u);  // the question alone
    ASSERT_EQ(view.Rows().size(), 4u);
    EXPECT_FALSE(view.Rows()[0].failed);
    EXPECT_FALSE(card.seedPresent[7]);
    EXPECT_EQ(view.counters, (std::vector<int>{4, 2, 2}));

    // A failed authentication ends the action with its message alone.
    Take();
    card.Queue("CardVerify", 0xC001);
    CopyOtp(ctx);
    EXPECT_EQ(TakeNames(), (Names{"CardVerify"}));
    messages = TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, QStringLiteral("7-Authentication failed, remaining 1 times"));
    EXPECT_EQ(view.Rows().size(), 4u);
}

TEST_F(DeviceActions, SettingsSendWhatTheFormSays) {
    state.m_profile = 2;
    // The title as typed, empty included, by its byte count.
    for (const auto& [title, sent, length] : {std::tuple{QString(), std::string(), "0"},
                                              std::tuple{QStringLiteral("Bank"), std::string("Bank"), "4"},
                                              std::tuple{QStringLiteral("Caf\u00E9"), std::string("Caf\xC3\xA9"), "5"}}) {
        view.texts[Control::Title] = title;
        SetTitleOnly(ctx);
        const auto calls = Take();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[1].fn, "CardChgPrompt");
        EXPECT_EQ(calls[1].args, (Args{kReader, kKey, "2", sent, length}));
    }
    card.Queue("CardChgPrompt", 0x1006);
    SetTitleOnly(ctx);
    Take();
    auto messages = TakeMessages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].text, QStringLiteral("2-Change prompt success!"));
    EXPECT_EQ(messages[0].icon, MessageIcon::Information);
    EXPECT_EQ(messages[3].text, QStringLiteral("2-Change prompt failed![00001006]"));
    EXPECT_EQ(messages[3].icon, MessageIcon::Error);

    // Display-off entries, and no selection at all, to seconds.
    for (const auto& [entry, seconds] : {std::pair{0, "15"}, {1, "30"}, {2, "60"}, {3, "120"}, {-1, "120"}}) {
        view.selections[Control::DisplayOff] = entry;
        ChangeDisplayOffTime(ctx);
        const auto calls = Take();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[1].args, (Args{kReader, kKey, seconds}));
    }
    card.Queue("CardSetStandbyTime", 0x1008);
    ChangeDisplayOffTime(ctx);
    Take();
    messages = TakeMessages();
    ASSERT_EQ(messages.size(), 6u);
    EXPECT_EQ(messages[0].text, QStringLiteral("Config success!"));
    EXPECT_EQ(messages[5].text, QStringLiteral("Config failed![00001008]"));

    // Keypad: the box as it stands.
    SetKeypadMode(ctx);
    view.checked[Control::Keypad] = true;
    card.Queue("CardSetkeypad", 0x1008);
    SetKeypadMode(ctx);
    const auto calls = Take();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[1].args, (Args{kReader, kKey, "0"}));
    EXPECT_EQ(calls[3].args, (Args{kReader, kKey, "1"}));
    messages = TakeMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, QStringLiteral("Config success!"));
    EXPECT_EQ(messages[1].text, QStringLiteral("Config failed![00001008]"));
    EXPECT_TRUE(view.Rows().empty());
}

TEST_F(DeviceActions, ScreenLockResultsAreHints) {
    LockScreen(ctx);
    UnlockScreen(ctx);
    card.Queue("CardScreenLock", 0x80100016);
    LockScreen(ctx);
    card.Queue("CardScreenUnLock", 0x80100016);
    UnlockScreen(ctx);
    EXPECT_EQ(TakeNames(), (Names{"CardVerify", "CardScreenLock", "CardVerify", "CardScreenUnLock", "CardVerify",
                                  "CardScreenLock", "CardVerify", "CardScreenUnLock"}));
    const auto messages = TakeMessages();
    ASSERT_EQ(messages.size(), 4u);
    const std::pair<QString, MessageIcon> expected[] = {
        {QStringLiteral("Device screen locked"), MessageIcon::Information},
        {QStringLiteral("Device screen unlocked"), MessageIcon::Information},
        {QStringLiteral("Action failed! Feature may be not supported on this device. [80100016]"), MessageIcon::Error},
        {QStringLiteral("Action failed![80100016]"), MessageIcon::Error}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(messages[i].text, expected[i].first);
        EXPECT_EQ(messages[i].icon, expected[i].second);
        EXPECT_EQ(messages[i].caption, QStringLiteral("Hints"));
    }
    EXPECT_TRUE(view.Rows().empty());
}

TEST_F(DeviceActions, NoReaderOrAHeldBusyFlagKeepsActionsAway) {
    card.seedPresent[0] = true;
    g_readerName.Set({});
    for (const auto& [name, action] : kAllActions) action(ctx);
    EXPECT_TRUE(card.Calls().empty());
    EXPECT_TRUE(TakeMessages().empty());
    g_readerName.Set(kReader);

    // Another action holds the flag: only the title and the display-off
    // time go ahead, and the flag stays with its holder.
    g_busy = true;
    for (const auto& [name, action] : kAllActions) action(ctx);
    EXPECT_EQ(TakeNames(), (Names{"CardVerify", "CardChgPrompt", "CardVerify", "CardSetStandbyTime"}));
    EXPECT_TRUE(g_busy);
    g_busy = false;

    // The flag is held while the removal question is open.
    view.sink.onQuestion = [&](const QString&) {
        CopyOtp(ctx);
        SetTitleOnly(ctx);
        return false;
    };
    RemoveSeed(ctx);
    EXPECT_EQ(TakeNames(), (Names{"CardVerify", "CardVerify", "CardChgPrompt"}));
    EXPECT_FALSE(g_busy);
    EXPECT_TRUE(view.clipboard.isEmpty());
}

}  // namespace
