#include "actions/DeviceActions.h"
#include "FlowFixture.h"

using namespace provisor;
using namespace tooltest;

namespace {

using DeviceActions = FlowTest;

TEST_F(DeviceActions, RemoveSeedAndCopyOtpOnProfile7) {
    session.m_profile = 7;
    view.sink.answerOk = false;
    RemoveSeed(ctx);  // Cancel: nothing after the authentication
    view.sink.answerOk = true;
    RemoveSeed(ctx);  // empty profile: a warning for both, no row
    CopyOtp(ctx);
    EXPECT_EQ(Calls(), (Strings{"CardVerify(R,AB)", "CardVerify(R,AB)", "CardDeleteSeed(R,7)", "CardVerify(R,AB)",
                                "CardReadOTP(R,AB,7)"}));
    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].text,
              QStringLiteral("This operation will remove the seed stored \r\nunder profile #7. Are you sure?"));
    EXPECT_TRUE(messages[0].question);
    EXPECT_EQ(messages[2].text, QStringLiteral("Warning,empty seed under profile #7."));
    EXPECT_EQ(messages[2].icon, MessageIcon::Warning);
    EXPECT_EQ(messages[3].text, messages[2].text);
    EXPECT_TRUE(view.Rows().empty());

    card.seedPresent[7] = true;
    card.otp = "042917";
    CopyOtp(ctx);
    EXPECT_EQ(view.clipboard, QStringLiteral("042917"));
    // A library that fills the whole buffer without a terminator: the
    // clipboard gets the buffer, not what lies beyond it.
    card.overrunBuffers = true;
    CopyOtp(ctx);
    EXPECT_EQ(view.clipboard, QString(16, QLatin1Char('7')));
    card.overrunBuffers = false;
    view.rows.erase(view.rows.begin());
    card.Queue("CardReadOTP", 0x1008);  // a red row, no box
    CopyOtp(ctx);
    card.Queue("CardDeleteSeed", 0x1008);
    RemoveSeed(ctx);
    RemoveSeed(ctx);
    EXPECT_FALSE(card.seedPresent[7]);
    Strings rows;
    for (const auto& r : view.Rows()) rows.push_back(r.state.toStdString() + (r.failed ? " red" : ""));
    EXPECT_EQ(rows, (Strings{"7-Successful operation", "7-Operation failed red", "7-Operation failed red",
                             "7-Successful operation"}));
    EXPECT_EQ(Texts(),
              (Strings{messages[0].text.toStdString(), "operation failed![00001008]", messages[0].text.toStdString()}));
}

TEST_F(DeviceActions, SettingsSendWhatTheFormSays) {
    session.m_profile = 2;
    for (const QString& title : {QString(), QStringLiteral("Caf\u00E9")}) {  // the byte count is sent
        view.texts[Control::Title] = title;
        SetTitleOnly(ctx);
    }
    card.Queue("CardChgPrompt", 0x1006);
    SetTitleOnly(ctx);
    for (int entry : {0, 1, 2, 3, -1}) {
        view.selections[Control::DisplayOff] = entry;
        ChangeDisplayOffTime(ctx);
    }
    SetKeypadMode(ctx);
    view.checked[Control::Keypad] = true;
    card.Queue("CardSetkeypad", 0x1008);
    SetKeypadMode(ctx);
    Strings sent;
    for (const auto& c : Calls())
        if (c != "CardVerify(R,AB)") sent.push_back(c);
    EXPECT_EQ(sent,
              (Strings{"CardChgPrompt(R,AB,2,,0)", "CardChgPrompt(R,AB,2,Caf\xC3\xA9,5)",
                       "CardChgPrompt(R,AB,2,Caf\xC3\xA9,5)", "CardSetStandbyTime(R,AB,15)",
                       "CardSetStandbyTime(R,AB,30)", "CardSetStandbyTime(R,AB,60)", "CardSetStandbyTime(R,AB,120)",
                       "CardSetStandbyTime(R,AB,120)", "CardSetkeypad(R,AB,0)", "CardSetkeypad(R,AB,1)"}));
    const Strings texts = Texts();
    EXPECT_EQ(texts.at(0), "2-Change prompt success!");
    EXPECT_EQ(texts.at(2), "2-Change prompt failed![00001006]");
    EXPECT_EQ(texts.at(3), "Config success!");
    EXPECT_EQ(texts.at(9), "Config failed![00001008]");
    EXPECT_TRUE(view.Rows().empty());
}

TEST_F(DeviceActions, ScreenLockResultsAreHints) {
    LockScreen(ctx);
    UnlockScreen(ctx);
    card.Queue("CardScreenLock", 0x80100016);
    LockScreen(ctx);
    card.Queue("CardScreenUnLock", 0x80100016);
    UnlockScreen(ctx);
    EXPECT_EQ(Calls(), (Strings{"CardVerify(R,AB)", "CardScreenLock(R)", "CardVerify(R,AB)", "CardScreenUnLock(R)",
                                "CardVerify(R,AB)", "CardScreenLock(R)", "CardVerify(R,AB)", "CardScreenUnLock(R)"}));
    Strings shown;
    for (const auto& m : Messages())
        shown.push_back(m.caption.toStdString() + (m.icon == MessageIcon::Error ? " E " : " I ") +
                        m.text.toStdString());
    EXPECT_EQ(shown, (Strings{"Hints I Device screen locked", "Hints I Device screen unlocked",
                              "Hints E Action failed! Feature may be not supported on this device. [80100016]",
                              "Hints E Action failed![80100016]"}));
}

TEST_F(DeviceActions, NoReaderOrAHeldBusyFlag) {
    void (*const all[])(const ToolContext&) = {SetTitleOnly, ChangeDisplayOffTime, SetKeypadMode, RemoveSeed,
                                               CopyOtp,      LockScreen,           UnlockScreen};
    session.g_readerName.Set({});
    for (auto action : all) action(ctx);
    EXPECT_EQ(Calls(), Strings{});
    session.g_readerName.Set("R");

    // Only the title and the display-off time ignore the flag, and the
    // holder keeps it.
    session.g_busy = true;
    for (auto action : all) action(ctx);
    EXPECT_EQ(Calls(), (Strings{"CardVerify(R,AB)", "CardChgPrompt(R,AB,0,,0)", "CardVerify(R,AB)",
                                "CardSetStandbyTime(R,AB,15)"}));
    EXPECT_EQ(Texts(), (Strings{"0-Change prompt success!", "Config success!"}));
    EXPECT_TRUE(session.g_busy);
    session.g_busy = false;

    // Held while the removal question is open; a failed authentication
    // shows its message alone and releases it too.
    view.sink.onQuestion = [&](const QString&) {
        CopyOtp(ctx);
        return false;
    };
    RemoveSeed(ctx);
    card.Queue("CardVerify", 0xC001);
    CopyOtp(ctx);
    CopyOtp(ctx);
    EXPECT_EQ(Calls(), (Strings{"CardVerify(R,AB)", "CardVerify(R,AB)", "CardVerify(R,AB)", "CardReadOTP(R,AB,0)"}));
    EXPECT_EQ(Texts().at(1), "0-Authentication failed, remaining 1 times");
    EXPECT_FALSE(session.g_busy);
}

}  // namespace
