// The flows on the real dialog, offscreen, against the scripted token: what
// the widgets themselves do to the operator's input (an edit cuts what is
// longer than it takes), what assistive technology is told as captions
// change, and the automatic write through the real card thread.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <memory>
#include <mutex>

#include "dialog/CProvisorDlg.h"
#include "formats/IniFile.h"
#include "QtTestApp.h"
#include "ScriptedCard.h"
#include "session/KeyStorage.h"
#include "ToolTestFiles.h"
#include "ToolTestViews.h"

using namespace provisor;
using tooltest::ScriptedCard;
namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;

// One reader, "R"; a token in it while present is set.
class OneReader final : public IPcscProbe {
public:
    std::optional<std::vector<std::string>> ListReaders() override { return std::vector<std::string>{"R"}; }
    std::unique_ptr<ICardPresence> ConnectShared(const std::string& reader) override {
        if (reader != "R" || !present) return nullptr;
        return std::make_unique<ICardPresence>();
    }
    std::atomic<bool> present{true};
};

class DialogFlows : public ::testing::Test, protected tooltest::ExeAndWorkDirs {
protected:
    void SetUp() override {
        EnsureQtApp();
        Enter("dlgflows");
        tooltest::InstallFakeLibrary(exeDir);
        StartupEnvironment env;
        env.exeDir = exeDir;
        ASSERT_TRUE(WriteIniValue(exeDir / "Norvik2Cfg.ini", "CONFIG", "CUSTOMER_KEY",
                                  EncipherKeyForStorage("00112233445566778899AABBCCDDEEFF")));
        card.Reset();
        dlg = std::make_unique<CProvisorDlg>(env, DialogOptions{&sink, nullptr, &probe, &clock});
        dlg->InitDialog();
        card.Install(dlg->Session().cardApi);
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
        ASSERT_TRUE(sink.entries.empty()) << sink.Texts().join('|').toStdString();
    }
    void TearDown() override {
        dlg.reset();
        Leave();
    }

    template <typename W>
    W* Control(int id) {
        return qobject_cast<W*>(dlg->ControlWidget(id));
    }
    void Click(int id) { QTest::mouseClick(Control<QPushButton>(id), Qt::LeftButton); }
    // What assistive technology announces for a control.
    QString Announced(int id, QAccessible::Text what = QAccessible::Name) {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(dlg->ControlWidget(id));
        return accessible ? accessible->text(what) : QStringLiteral("<none>");
    }
    // "connect" to R, with the token in it read.
    void Connect() {
        ASSERT_TRUE(QTest::qWaitFor([&] { return Control<QComboBox>(1018)->count() == 1; }, 5000));
        Control<QComboBox>(1018)->setCurrentIndex(0);
        Click(1019);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Control<QLabel>(1006)->text() == "NV2A00000001"; }, 5000));
    }
    QString RowState(int row = 0) {
        QTableWidgetItem* item = Control<QTableWidget>(1011)->item(row, 1);
        return item ? item->text() : QString();
    }

    ScriptedCard& card = ScriptedCard::Instance();
    tooltest::RecordingMessageSink sink;
    OneReader probe;
    ManualClock clock{std::chrono::system_clock::from_time_t(1733570702)};
    std::unique_ptr<CProvisorDlg> dlg;
};

TEST_F(DialogFlows, CaptionsAndValuesReachAssistiveTechnologyAsTheyChange) {
    EXPECT_EQ(Announced(1080), QString::fromUtf8("\u26A1 provision profile 0"));
    Connect();
    EXPECT_EQ(Announced(1006), "Current Serial Number:");
    EXPECT_EQ(Announced(1006, QAccessible::Description), "NV2A00000001");

    Control<QComboBox>(1071)->setCurrentIndex(7);
    EXPECT_EQ(Announced(1080), QString::fromUtf8("\u26A1 provision profile 7"));

    // Arming and disarming the automatic write (the token in the reader
    // is not written: it was there before the arming... until it is taken
    // out and put back).
    probe.present = false;
    ASSERT_TRUE(QTest::qWaitFor([&] { return Control<QLabel>(1006)->text().isEmpty(); }, 5000));
    Control<QLineEdit>(1001)->setText("JBSWY3DP");
    Click(1015);
    EXPECT_EQ(Announced(1015), "Stop");
    Click(1015);
    EXPECT_EQ(Announced(1015), "write seed");

    // The counters' values follow the rows.
    Control<QLineEdit>(1001)->setText(" ");
    Click(1080);
    EXPECT_EQ(Announced(1010), "Fail:");
    EXPECT_EQ(Announced(1010, QAccessible::Description), "1");
    EXPECT_EQ(Announced(1008, QAccessible::Description), "1");
}

// The operator's input as the real edits keep it: the seed field takes 256
// characters and the title 12, whatever is pasted or set.
TEST_F(DialogFlows, TheRealFieldsCutWhatTheyCannotHold) {
    Connect();
    Control<QLineEdit>(1001)->setText(QString(300, QLatin1Char('A')));
    Control<QLineEdit>(1052)->setText(QStringLiteral("A title too long"));
    card.ClearCalls();
    Click(1080);
    ASSERT_EQ(RowState(), "0-Successful operation") << sink.Texts().join('|').toStdString();
    std::vector<std::string> config, burn;
    for (const auto& call : card.Calls()) {
        if (call.fn == "CardConfig") config = call.args;
        if (call.fn == "CardBurnSeed") burn = call.args;
    }
    ASSERT_FALSE(config.empty());
    EXPECT_EQ(config[8], "A title too ");
    ASSERT_FALSE(burn.empty());
    EXPECT_EQ(burn[4], "160") << "256 base32 characters are 160 bytes";

    // The "Hex:" field limits typing only: what "Ascii:" puts there stays
    // whole, and "change key" refuses it.
    Control<QLineEdit>(1092)->setText(QStringLiteral("0123456789abcdefg"));
    EXPECT_EQ(Control<QLineEdit>(1039)->text().size(), 34);
}

// "⚡ provision profile" with its question, "apply config conly", and the
// automatic write that the real card thread runs when the armed token is
// put into the reader: calls, rows, messages and the log line.
TEST_F(DialogFlows, ThePressesAndTheAutomaticWriteOnTheRealDialog) {
    Connect();
    Control<QComboBox>(1071)->setCurrentIndex(5);
    card.seedPresent[5] = true;
    Control<QLineEdit>(1001)->setText("jbsw y3dp");
    card.ClearCalls();
    Click(1080);
    EXPECT_EQ(card.Names(), (Names{"CardVerify", "CardReadSeedInfo", "CardConfig", "CardGetSeedFlag", "CardBurnSeed"}));
    EXPECT_EQ(Control<QLineEdit>(1001)->text(), "JBSWY3DP");
    EXPECT_EQ(sink.Texts().last(), "This operation will overwrite the seed stored \r\nunder profile #5. Are you sure?");
    EXPECT_EQ(RowState(), "5-Successful operation");

    Click(1031);
    EXPECT_EQ(sink.Texts().last(), "5-config success!");

    probe.present = false;
    ASSERT_TRUE(QTest::qWaitFor([&] { return Control<QLabel>(1006)->text().isEmpty(); }, 5000));
    Click(1015);
    ASSERT_EQ(Control<QPushButton>(1015)->text(), "Stop");
    card.ClearCalls();
    const int rows = Control<QTableWidget>(1011)->rowCount();
    probe.present = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return Control<QTableWidget>(1011)->rowCount() == rows + 1; }, 5000));
    EXPECT_EQ(RowState(), "5-Successful operation");
    EXPECT_EQ(Control<QPushButton>(1015)->text(), "write seed");
    EXPECT_EQ(Announced(1015), "write seed");
    const Names calls = card.Names();
    EXPECT_EQ(Names(calls.begin() + 1, calls.end()), (Names{"CardVerify", "CardGetSeedFlag", "CardBurnSeed"}))
        << "after the read of the token put back";
    // The line follows the row.
    std::string log;
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !(log = tooltest::ReadFile(workDir / "Norvik2-Log.txt")).empty(); }, 5000));
    EXPECT_EQ(log.substr(0, 11), "2024-12-07 ") << "stamped with the session's clock";
    EXPECT_EQ(log.substr(19), " NV2A00000001 Success\r\n");
}

// The other buttons, each once, as the operator presses them.
TEST_F(DialogFlows, TheOtherButtonsOnTheRealDialog) {
    Connect();
    Control<QCheckBox>(1087)->setChecked(true);
    Control<QComboBox>(1071)->setCurrentIndex(2);
    Control<QLineEdit>(1052)->setText(QStringLiteral("Bank"));
    Control<QComboBox>(1081)->setCurrentIndex(3);
    Control<QCheckBox>(1082)->setChecked(true);
    card.ClearCalls();
    for (int id : {1053, 1068, 1083, 1085, 1093}) Click(id);
    std::vector<std::string> sent;
    for (const auto& call : card.Calls())
        if (call.fn != "CardVerify") {
            std::string s = call.fn;
            for (size_t i = 2; i < call.args.size(); ++i) s += " " + call.args[i];
            sent.push_back(s);
        }
    EXPECT_EQ(sent, (Names{"CardChgPrompt 2 Bank 4", "CardSetStandbyTime 120", "CardSetkeypad 1", "CardScreenLock",
                           "CardScreenUnLock"}));
    EXPECT_EQ(sink.Texts().mid(sink.Texts().size() - 5),
              (QStringList{"2-Change prompt success!", "Config success!", "Config success!", "Device screen locked",
                           "Device screen unlocked"}));

    // A picture without a code: the seed field is emptied and the operator
    // told, through the decoder shipped beside the program.
    tooltest::WriteFile(workDir / "not a code.png", "not an image\n");
    dlg->SetFileChooser([&](const QString&) { return QString::fromStdString((workDir / "not a code.png").string()); });
    Control<QLineEdit>(1001)->setText(QStringLiteral("JBSWY3DP"));
    Click(1002);
    EXPECT_EQ(Control<QLineEdit>(1001)->text(), QString());
    EXPECT_EQ(sink.Texts().last(), "No QR code detected. Please check the image/screen  and try again.");
}

}  // namespace
