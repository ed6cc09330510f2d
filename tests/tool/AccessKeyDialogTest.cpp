#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "accesskey/AccessKeyEntry.h"
#include "dialog/CInputCustomerKey.h"
#include "QtTestApp.h"
#include "ToolTestViews.h"

using namespace provisor;
using tooltest::RecordingMessageSink;

namespace {

class AccessKeyDialog : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureQtApp();
        dialog = std::make_unique<CInputCustomerKey>(sink);
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    }

    QLineEdit* Edit(const char* name) { return dialog->findChild<QLineEdit*>(QLatin1String(name)); }
    void Click(const char* name) {
        auto* button = dialog->findChild<QPushButton*>(QLatin1String(name));
        ASSERT_NE(button, nullptr) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    }
    bool Accepted() const { return !dialog->isVisible() && dialog->result() == QDialog::Accepted; }

    RecordingMessageSink sink;
    std::unique_ptr<CInputCustomerKey> dialog;
};

}  // namespace

TEST_F(AccessKeyDialog, ShowsTheExpectedControls) {
    EXPECT_EQ(dialog->windowTitle(), "Access key");
    const std::pair<const char*, const char*> buttons[] = {{"buttonSaveAscii", "Save"},
                                                           {"buttonSaveHex", "Save"},
                                                           {"buttonResetDefault", "reset to default  key"},
                                                           {"buttonCancel", "Cancel"}};
    for (auto [name, text] : buttons) {
        auto* button = dialog->findChild<QPushButton*>(QLatin1String(name));
        ASSERT_NE(button, nullptr) << name;
        EXPECT_EQ(button->text(), QLatin1String(text));
    }
    QStringList labels;
    for (auto* label : dialog->findChildren<QLabel*>()) labels << label->text();
    EXPECT_TRUE(labels.contains("Enter key (ASCII)"));
    EXPECT_TRUE(labels.contains("Enter Key (HEX):"));
    EXPECT_TRUE(labels.contains("the key entered in ASCII format will be converted to HEX and saved"));
    ASSERT_NE(Edit("editKeyAscii"), nullptr);
    ASSERT_NE(Edit("editKeyHex"), nullptr);
    EXPECT_TRUE(Edit("editKeyHex")->text().isEmpty());
}

TEST_F(AccessKeyDialog, DefaultKeyThenSaveReturnsIt) {
    Click("buttonResetDefault");
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(Edit("editKeyHex")->text(), kFactoryDefaultKey);
    Click("buttonSaveHex");
    EXPECT_TRUE(Accepted());
    EXPECT_EQ(dialog->Key(), "6B3F09D2A4C8571E90B2D6F4138A5C7E");
    EXPECT_TRUE(sink.entries.empty());
}

TEST_F(AccessKeyDialog, BlanksAreRemovedAndShown) {
    Edit("editKeyHex")->setText(" 01 23 45 67 ");
    Click("buttonSaveHex");
    EXPECT_TRUE(Accepted());
    EXPECT_EQ(dialog->Key(), "01234567");
    EXPECT_EQ(Edit("editKeyHex")->text(), "01234567");
}

TEST_F(AccessKeyDialog, EmptyKeyIsAccepted) {
    Click("buttonSaveHex");
    EXPECT_TRUE(Accepted());
    EXPECT_EQ(dialog->Key(), "");
}

TEST_F(AccessKeyDialog, AsciiKeyIsConvertedToHex) {
    QTest::keyClicks(Edit("editKeyAscii"), "abc");
    Click("buttonSaveAscii");
    EXPECT_TRUE(Accepted());
    EXPECT_EQ(dialog->Key(), "616263");
    EXPECT_EQ(Edit("editKeyHex")->text(), "616263");
}

TEST_F(AccessKeyDialog, SixteenAsciiCharactersFitSeventeenDoNot) {
    Edit("editKeyHex")->setText("AA");
    Edit("editKeyAscii")->setText("0123456789abcdefg");
    Click("buttonSaveAscii");
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(sink.Texts(), (QStringList{kMaxCharsMessage, "Key must be no more than 16 bytes!"}));
    for (const auto& e : sink.entries) EXPECT_EQ(e.caption, "Keyloom");
    // The 34 digits are not cut to 32 in the field, where a second "Save"
    // would take them as a key nobody entered.
    EXPECT_EQ(Edit("editKeyHex")->text(), "AA");

    sink.entries.clear();
    Edit("editKeyAscii")->setText("0123456789abcdef");
    Click("buttonSaveAscii");
    EXPECT_TRUE(Accepted());
    EXPECT_EQ(dialog->Key(), "30313233343536373839616263646566");
    EXPECT_TRUE(sink.entries.empty());
}

TEST_F(AccessKeyDialog, HexFieldTakesAtMost32Characters) {
    QTest::keyClicks(Edit("editKeyHex"), QString(40, QLatin1Char('1')));
    EXPECT_EQ(Edit("editKeyHex")->text().size(), 32);
    Click("buttonSaveHex");
    EXPECT_TRUE(Accepted());
    EXPECT_EQ(dialog->Key(), QString(32, QLatin1Char('1')));
}

TEST_F(AccessKeyDialog, CancelAndEnterReturnNoKey) {
    QTest::keyClick(Edit("editKeyHex"), Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible());  // Enter presses no button
    Click("buttonCancel");
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
}

TEST(AccessKeyEntry, DecideKeySave) {
    RecordingMessageSink sink;
    EXPECT_EQ(CleanKeyText("  A B\tC  "), "AB\tC");
    // Over-long text that cleans down to 32 gets the field message but passes.
    const QString spaced = QString(32, QLatin1Char('F')) + "  ";
    KeySaveOutcome outcome = DecideKeySave(" " + spaced, sink);
    EXPECT_TRUE(outcome.accepted);
    EXPECT_EQ(sink.Texts(), QStringList{kMaxCharsMessage});
    sink.entries.clear();
    outcome = DecideKeySave(QString(33, QLatin1Char('F')), sink);
    EXPECT_FALSE(outcome.accepted);
    EXPECT_EQ(sink.Texts(), (QStringList{kMaxCharsMessage, kKeyTooLongMessage}));
}
