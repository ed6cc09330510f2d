#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <filesystem>

#include <QCheckBox>

#include "accesskey/AccessKeyFlows.h"
#include "dialog/CInputCustomerKey.h"
#include "dialog/CProvisorDlg.h"
#include "formats/IniFile.h"
#include "session/KeyStorage.h"
#include "QtTestApp.h"
#include "ToolTestViews.h"
#include "ToolTestFiles.h"

using namespace provisor;
using tooltest::RecordingMessageSink;
namespace fs = std::filesystem;

namespace {

class MainDialog : public ::testing::Test, protected tooltest::ExeAndWorkDirs {
protected:
    void SetUp() override {
        EnsureQtApp();
        Enter("dlg");
        env.exeDir = exeDir;
    }
    void TearDown() override { Leave(); }
    QTableWidget* ResultList(CProvisorDlg& dlg) { return dlg.findChild<QTableWidget*>("resultList1011"); }

    StartupEnvironment env;
    RecordingMessageSink sink;
};

struct NoKeyPrompt : IAccessKeyPrompt {
    std::optional<QString> AskAccessKey() override { return std::nullopt; }
};

}  // namespace

TEST_F(MainDialog, MissingLibraryLeavesTheResultListWithoutColumns) {
    CProvisorDlg dlg(env, {&sink});
    dlg.InitDialog();
    EXPECT_EQ(dlg.windowTitle(), "Norvik-2 Keyloom 0.4");
    EXPECT_EQ(sink.Texts(), QStringList{"Load library failed"});
    ASSERT_NE(ResultList(dlg), nullptr);
    EXPECT_EQ(ResultList(dlg)->columnCount(), 0);
    EXPECT_FALSE(dlg.CloseRequested());
}

TEST_F(MainDialog, FirstStartOpensTheAccessKeyDialogAndStoresTheKey) {
    tooltest::InstallFakeLibrary(exeDir);
    bool dialogSeen = false;
    // The access key dialog runs modally inside InitDialog; fill it in once
    // it is up.
    std::function<void()> answer = [&] {
        auto* keyDialog = qobject_cast<CInputCustomerKey*>(QApplication::activeModalWidget());
        if (!keyDialog) {
            QTimer::singleShot(10, answer);
            return;
        }
        dialogSeen = true;
        EXPECT_EQ(keyDialog->windowTitle(), "Access key");
        keyDialog->findChild<QLineEdit*>("editKeyHex")->setText("00112233445566778899aabbccddeeff");
        QTest::mouseClick(keyDialog->findChild<QPushButton*>("buttonSaveHex"), Qt::LeftButton);
    };
    QTimer::singleShot(0, answer);

    {
        CProvisorDlg dlg(env, {&sink});
        dlg.InitDialog();
        EXPECT_TRUE(dialogSeen);
        EXPECT_TRUE(sink.entries.empty());
        EXPECT_FALSE(dlg.CloseRequested());
        EXPECT_EQ(dlg.Session().g_customerKey.Get(), "00112233445566778899aabbccddeeff");
        QTableWidget* list = ResultList(dlg);
        ASSERT_EQ(list->columnCount(), 2);
        EXPECT_EQ(list->horizontalHeaderItem(0)->text(), "Serial Number");
        EXPECT_EQ(list->horizontalHeaderItem(1)->text(), "State");
        EXPECT_EQ(list->horizontalHeaderItem(0)->textAlignment(), int(Qt::AlignCenter));
        EXPECT_EQ(list->columnWidth(0), 280);
        EXPECT_EQ(list->columnWidth(1), 180);
        EXPECT_EQ(dlg.findChild<QLabel*>("totalLabel1008")->text(), "0");
        EXPECT_TRUE(dlg.Session().cardApi.Has(CardFn::CardVerify));
        EXPECT_TRUE(fs::exists(workDir / "Norvik2-Log.txt"));
    }

    const auto stored = ReadIniValue(exeDir / "Norvik2Cfg.ini", "CONFIG", "CUSTOMER_KEY");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->size(), 32u);
    EXPECT_NE(*stored, "00112233445566778899AABBCCDDEEFF");

    CProvisorDlg again(env, {&sink});
    again.InitDialog();
    EXPECT_EQ(again.Session().g_customerKey.Get(), "00112233445566778899AABBCCDDEEFF");
}

TEST_F(MainDialog, FirstStartWithoutAKeyEndsBeforeTheDialogRuns) {
    tooltest::InstallFakeLibrary(exeDir);
    NoKeyPrompt prompt;
    CProvisorDlg dlg(env, {&sink, &prompt});
    EXPECT_EQ(dlg.Run(), QDialog::Rejected);  // returns at once, no modal loop
    EXPECT_TRUE(dlg.CloseRequested());
    EXPECT_FALSE(dlg.isVisible());
}

TEST_F(MainDialog, EnterAndEscapeDoNotCloseIt) {
    CProvisorDlg dlg(env, {&sink});
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QTest::keyClick(&dlg, Qt::Key_Return);
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(MainDialog, SeventeenPlainCharactersAreRefusedNotCutToTheFirstSixteen) {
    // The stand-in library accepts this key and answers any key change
    // with "cancelled on the token", which shows whether one was sent.
    tooltest::InstallFakeLibrary(exeDir);
    ASSERT_TRUE(WriteIniValue(exeDir / "Norvik2Cfg.ini", "CONFIG", "CUSTOMER_KEY",
                              EncipherKeyForStorage("00112233445566778899AABBCCDDEEFF")));
    CProvisorDlg dlg(env, {&sink});
    dlg.InitDialog();
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    ASSERT_TRUE(sink.entries.empty());
    dlg.Session().g_readerName.Set("Reader 0");
    qobject_cast<QCheckBox*>(dlg.ControlWidget(1087))->setChecked(true);
    auto* ascii = qobject_cast<QLineEdit*>(dlg.ControlWidget(1092));
    auto* hex = qobject_cast<QLineEdit*>(dlg.ControlWidget(1039));

    QTest::keyClicks(ascii, "0123456789abcdefg");
    EXPECT_EQ(hex->text(), "3031323334353637383961626364656667");
    QTest::keyClicks(hex, "0");
    EXPECT_EQ(hex->text().size(), 34) << "typing into the field stays limited";
    QTest::mouseClick(qobject_cast<QPushButton*>(dlg.ControlWidget(1040)), Qt::LeftButton);
    EXPECT_EQ(sink.Texts(), QStringList{kKeyFormatError});
    EXPECT_EQ(ResultList(dlg)->rowCount(), 0) << "no key change reached the token";
    EXPECT_EQ(dlg.Session().g_customerKey.Get(), "00112233445566778899AABBCCDDEEFF");

    // Sixteen characters are a whole key, and the field its usual 32.
    QTest::keyClick(ascii, Qt::Key_Backspace);
    EXPECT_EQ(hex->text(), "30313233343536373839616263646566");
    EXPECT_EQ(hex->maxLength(), 32);
    QTest::mouseClick(qobject_cast<QPushButton*>(dlg.ControlWidget(1040)), Qt::LeftButton);
    EXPECT_EQ(sink.Texts(), (QStringList{kKeyFormatError, "User cancel!"}));
    EXPECT_EQ(ResultList(dlg)->rowCount(), 1);
}
