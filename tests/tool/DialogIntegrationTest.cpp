// The real dialog, offscreen, against pcscd and the virtual tokens: what an
// operator sees while readers, tokens and threads do their work.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <algorithm>
#include <filesystem>
#include <set>

#include "dialog/CProvisorDlg.h"
#include "formats/IniFile.h"
#include "session/KeyStorage.h"
#include "provisioning/Provisioning.h"
#include "QtTestApp.h"
#include "SimControl.h"
#include "ToolTestFiles.h"
#include "ToolTestViews.h"

using namespace provisor;
using tooltest::RecordingMessageSink;
namespace fs = std::filesystem;
namespace sim = norvik::simtest;

namespace {

constexpr char kFactoryKey[] = "6B3F09D2A4C8571E90B2D6F4138A5C7E";

class DialogOnPcscd : public ::testing::Test, protected tooltest::ExeAndWorkDirs {
protected:
    void SetUp() override {
        EnsureQtApp();
        sim::ResetSim(0);
        Enter("dlgpcsc");
        // The built library, and a configuration that holds the factory key.
        env.exeDir = QUILLON_LIB_DIR;
        env.configDir = exeDir;
        ASSERT_TRUE(
            WriteIniValue(exeDir / "Norvik2Cfg.ini", "CONFIG", "CUSTOMER_KEY", EncipherKeyForStorage(kFactoryKey)));
    }
    void TearDown() override {
        dlg.reset();
        Leave();
    }

    CProvisorDlg& Open(IPcscProbe* probe = nullptr) {
        dlg = std::make_unique<CProvisorDlg>(env, DialogOptions{&sink, nullptr, probe});
        dlg->InitDialog();
        dlg->show();
        return *dlg;
    }
    template <typename W>
    W* Control(int id) {
        return qobject_cast<W*>(dlg->ControlWidget(id));
    }
    QComboBox* Readers() { return Control<QComboBox>(1018); }
    QString Serial() { return Control<QLabel>(1006)->text(); }
    void Click(int id) { QTest::mouseClick(Control<QPushButton>(id), Qt::LeftButton); }
    // Picks reader index and presses "connect".
    void ConnectTo(int index) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return Readers()->count() > index; }, 5000));
        Readers()->setCurrentIndex(index);
        Click(1019);
        ASSERT_EQ(sink.Texts().last(), "Successful operation!");
    }

    // Runs a bulk file through the dialog and waits for its end.
    void RunBulk(const std::string& content, int lines) {
        tooltest::WriteFile(workDir / "bulk-run.txt", content);
        Control<QCheckBox>(1087)->setChecked(true);
        Control<QLineEdit>(1003)->setText(QString::fromStdString((workDir / "bulk-run.txt").string()));
        Click(1021);
        const QString done = QStringLiteral("Progress: %1/%1").arg(lines);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Control<QLabel>(1084)->text() == done; }, 60000))
            << Control<QLabel>(1084)->text().toStdString();
        ASSERT_TRUE(QTest::qWaitFor([&] { return Control<QPushButton>(1021)->isEnabled(); }, 5000));
    }
    // Profiles back as a fresh token has them (SHA1, 6 digits, 30 s, no
    // title, no seed), for the tests that come after.
    void RestoreProfiles(int from, int to) {
        std::string file;
        for (int p = from; p <= to; ++p)
            file += std::to_string(p) + " GEZDGNBV SHA1 6 30 NO NO \n" + std::to_string(p) + "\n";
        RunBulk(file, 2 * (to - from + 1));
    }

    StartupEnvironment env;
    RecordingMessageSink sink;
    std::unique_ptr<CProvisorDlg> dlg;
};

TEST_F(DialogOnPcscd, ConnectShowsTheTokenWhichFollowsRemovalAndInsertion) {
    Open();
    EXPECT_EQ(dlg->windowTitle(), "Norvik-2 Keyloom 0.4");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Readers()->count() == 2; }, 5000));
    EXPECT_EQ(Readers()->itemText(0), "Virtual PCD 00 00");
    EXPECT_EQ(Readers()->itemText(1), "Virtual PCD 00 01");
    // Nothing is picked for the operator.
    EXPECT_EQ(Readers()->currentIndex(), -1);
    Click(1019);
    EXPECT_EQ(sink.Texts(), QStringList{"Please select a card reader!"});
    EXPECT_EQ(sink.entries.back().icon, MessageIcon::Warning);

    ConnectTo(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Serial() == "NV2A00000001"; }, 5000));
    EXPECT_EQ(Control<QLabel>(1007)->text().size(), 19);  // "YYYY-MM-DD hh:mm:ss"

    sim::SimControlOk(0, "remove");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Serial().isEmpty() && Control<QLabel>(1007)->text().isEmpty(); }, 5000));
    sim::SimControlOk(0, "insert");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Serial() == "NV2A00000001"; }, 10000));

    // Another reader: the other token; the reader list kept its selection.
    ConnectTo(1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Serial() == "NV1B00000002"; }, 5000));
    EXPECT_EQ(Readers()->currentText(), "Virtual PCD 00 01");

    // Profile 7 re-reads the token at once and relabels the big button.
    Control<QComboBox>(1071)->setCurrentIndex(7);
    EXPECT_EQ(Control<QPushButton>(1080)->text(), QString::fromUtf8("\u26A1 provision profile 7"));
    EXPECT_EQ(Control<QPushButton>(1080)->font().weight(), QFont::Black);
    EXPECT_EQ(Serial(), "NV1B00000002");
}

TEST_F(DialogOnPcscd, TimeModeFreezesAndResumesTheUtcField) {
    Open();
    QLineEdit* utc = Control<QLineEdit>(1029);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !utc->text().isEmpty(); }, 2000));
    EXPECT_EQ(utc->text().count('/'), 5);
    Control<QComboBox>(1077)->setCurrentIndex(choice::ManualTime);
    utc->setText("2030/01/02/03/04/05");
    QTest::qWait(1300);
    EXPECT_EQ(utc->text(), "2030/01/02/03/04/05");
    Control<QComboBox>(1077)->setCurrentIndex(choice::AutoTime);
    EXPECT_TRUE(QTest::qWaitFor([&] { return utc->text() != "2030/01/02/03/04/05"; }, 2000));
}

TEST_F(DialogOnPcscd, FailedRowsAreRedAndCountedAndClearLogResets) {
    Open();
    ConnectTo(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Serial() == "NV2A00000001"; }, 5000));
    Control<QLineEdit>(1001)->setText(" \t ");
    Click(1080);
    EXPECT_EQ(sink.Texts().last(), "No seed input!");
    auto* list = Control<QTableWidget>(1011);
    ASSERT_EQ(list->rowCount(), 1);
    EXPECT_EQ(list->item(0, 0)->text(), "NV2A00000001");
    EXPECT_EQ(list->item(0, 1)->text(), "0-Operation failed");
    EXPECT_EQ(list->item(0, 1)->background().color(), QColor(255, 0, 0));
    EXPECT_EQ(list->item(0, 1)->data(Qt::UserRole).toInt(), 1);
    EXPECT_EQ(Control<QLabel>(1008)->text(), "1");
    EXPECT_EQ(Control<QLabel>(1009)->text(), "0");
    EXPECT_EQ(Control<QLabel>(1010)->text(), "1");

    // A good one goes on top in the default colours.
    Control<QLineEdit>(1001)->setText("JBSW Y3DP EHPK 3PXP");
    Click(1080);
    ASSERT_EQ(list->rowCount(), 2);
    EXPECT_EQ(list->item(0, 1)->text(), "0-Successful operation");
    EXPECT_NE(list->item(0, 1)->background().color(), QColor(255, 0, 0));
    EXPECT_EQ(Control<QLineEdit>(1001)->text(), "JBSWY3DPEHPK3PXP");

    Click(1017);
    EXPECT_EQ(list->rowCount(), 0);
    for (int id : {1008, 1009, 1010}) EXPECT_EQ(Control<QLabel>(id)->text(), "0");
}

TEST_F(DialogOnPcscd, CardThreadReadsNeverCollideWithButtonActions) {
    Open();
    ConnectTo(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Serial() == "NV2A00000001"; }, 5000));
    // The card thread reads the token again and again meanwhile.
    QTimer reread;
    QObject::connect(&reread, &QTimer::timeout, [this] { dlg->Session().g_readPending = true; });
    reread.start(5);
    const int rounds = 60;
    for (int i = 0; i < rounds; ++i) Click(1031);  // "apply config conly"
    reread.stop();
    int successes = 0;
    for (const QString& text : sink.Texts()) successes += text == "0-config success!";
    EXPECT_EQ(successes, rounds) << sink.Texts().join('\n').toStdString();
    EXPECT_EQ(Serial(), "NV2A00000001");
}

std::string Oathtool(const std::string& args) {
    std::string out;
    if (FILE* p = ::popen(("oathtool " + args + " 2>&1").c_str(), "r")) {
        char buf[128];
        while (fgets(buf, sizeof buf, p)) out += buf;
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

TEST_F(DialogOnPcscd, ProvisionedProfileGivesTheOtpAnyAuthenticatorComputes) {
    Open();
    ConnectTo(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Serial() == "NV2A00000001"; }, 5000));
    Control<QComboBox>(1071)->setCurrentIndex(5);
    // "12345678901234567890" as base32, typed in lower case with blanks.
    Control<QLineEdit>(1001)->setText("gezd gnbv gy3t qojq gezd gnbv gy3t qojq");
    Control<QLineEdit>(1052)->setText("Bank");
    Control<QComboBox>(1073)->setCurrentIndex(choice::Sha256);
    Control<QComboBox>(1074)->setCurrentIndex(choice::Digits8);
    Control<QComboBox>(1072)->setCurrentIndex(choice::Step60);
    Click(1080);
    auto* list = Control<QTableWidget>(1011);
    ASSERT_GE(list->rowCount(), 1);
    ASSERT_EQ(list->item(0, 1)->text(), "5-Successful operation") << sink.Texts().join('\n').toStdString();

    QGuiApplication::clipboard()->clear();
    Click(1079);  // "copy OTP"
    ASSERT_EQ(list->item(0, 1)->text(), "5-Successful operation");
    const std::string otp = QGuiApplication::clipboard()->text().toStdString();
    ASSERT_EQ(otp.size(), 8u) << otp;
    // The token's clock was just set from the computer's; a step boundary
    // may fall between the two readings.
    const long long now = std::time(nullptr);
    const std::string hex = "3132333435363738393031323334353637383930";
    const std::string current = Oathtool("--totp=sha256 -d 8 -s 60 -N @" + std::to_string(now) + " " + hex);
    const std::string previous = Oathtool("--totp=sha256 -d 8 -s 60 -N @" + std::to_string(now - 60) + " " + hex);
    EXPECT_TRUE(otp == current || otp == previous) << otp << " vs " << current << "/" << previous;

    // Remove it again; the empty profile is then a warning without a row.
    Click(1078);
    EXPECT_EQ(sink.Texts().last(), "This operation will remove the seed stored \r\nunder profile #5. Are you sure?");
    const int rows = list->rowCount();
    Click(1079);
    EXPECT_EQ(sink.Texts().last(), "Warning,empty seed under profile #5.");
    EXPECT_EQ(list->rowCount(), rows);
    RestoreProfiles(5, 5);
}

TEST_F(DialogOnPcscd, AHundredLineBulkFileProvisionsEveryProfileOfTheToken) {
    // Seeds of 10-40 bytes, both algorithms, 4/6/7/8 digits, both steps.
    struct Line {
        std::string hex;
        bool sha256;
        int digits;
        int step;
    };
    std::vector<Line> lines;
    std::string file = "Profile Seed Algorithm Digits Step SetTime Enter Title\n";
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    uint32_t x = 12345;
    for (int profile = 0; profile < 100; ++profile) {
        std::vector<uint8_t> seed(10 + profile % 31);
        for (auto& b : seed) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
        std::string b32;
        uint32_t bits = 0;
        int n = 0;
        for (uint8_t b : seed) {
            bits = (bits << 8) | b;
            n += 8;
            while (n >= 5) b32 += alphabet[(bits >> (n -= 5)) & 31];
        }
        if (n > 0) b32 += alphabet[(bits << (5 - n)) & 31];
        constexpr int kDigits[] = {4, 6, 7, 8};
        std::string hex = sim::HexOf(seed);
        hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
        Line l{hex, profile % 2 == 1, kDigits[profile % 4], profile % 3 == 0 ? 60 : 30};
        lines.push_back(l);
        file += std::to_string(profile) + " " + b32 + " " + (l.sha256 ? "sha256" : "SHA1") + " " +
                std::to_string(l.digits) + " " + std::to_string(l.step) + " " + (profile == 0 ? "YES" : "no") +
                " YES Bulk " + std::to_string(profile) + "\n";
    }

    Open();
    ConnectTo(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Serial() == "NV2A00000001"; }, 5000));
    RunBulk(file, 100);
    auto* list = Control<QTableWidget>(1011);
    ASSERT_EQ(list->rowCount(), 100);
    EXPECT_TRUE(Control<QLabel>(1084)->isVisible());
    for (int row = 0; row < 100; ++row)
        EXPECT_EQ(list->item(row, 1)->text(), QStringLiteral("%1-Successful operation").arg(99 - row));

    // Every profile's password is the one an independent authenticator
    // computes at the token's time (set from the computer's by line 0).
    const std::string key = kFactoryKey;
    const std::string reader = "Virtual PCD 00 00";
    for (int profile = 0; profile < 100; ++profile) {
        const Line& l = lines[static_cast<size_t>(profile)];
        char otp[16] = {};
        const long long now = std::time(nullptr);
        ASSERT_EQ(dlg->Session().cardApi.Call<CardFn::CardReadOTP>(reader.c_str(), key.c_str(), profile, otp), 0u)
            << profile;
        std::vector<std::string> expected;
        for (long long t : {now, now - l.step, now + l.step}) {
            std::string code = Oathtool(std::string("--totp=") + (l.sha256 ? "sha256" : "sha1") + " -d " +
                                        std::to_string(l.digits == 4 ? 8 : l.digits) + " -s " + std::to_string(l.step) +
                                        " -N @" + std::to_string(t) + " " + l.hex);
            // Fewer digits are the last ones of the same truncated value.
            if (l.digits == 4) code = code.substr(4);
            expected.push_back(code);
        }
        EXPECT_TRUE(std::find(expected.begin(), expected.end(), std::string(otp)) != expected.end())
            << "profile " << profile << ": " << otp << " vs " << expected[0];
    }

    // A file of delete lines empties them again; an empty profile counts as
    // a success too.
    std::string deletes;
    for (int profile = 0; profile < 100; ++profile) deletes += std::to_string(profile) + (profile % 2 ? "   \n" : "\n");
    deletes += "7\n";
    RunBulk(deletes, 101);
    ASSERT_EQ(list->rowCount(), 201);
    EXPECT_EQ(list->item(0, 1)->text(), "7-Successful operation");
    EXPECT_EQ(Control<QLabel>(1010)->text(), "0");
    RestoreProfiles(0, 99);
}

TEST_F(DialogOnPcscd, AWaitingCallKeepsTheWindowAliveAndDropsClicksMeanwhile) {
    Open();
    ConnectTo(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Serial() == "NV2A00000001"; }, 5000));
    Control<QLineEdit>(1001)->setText(" ");
    Click(1080);  // one red row to be cleared, or not
    auto* list = Control<QTableWidget>(1011);
    ASSERT_EQ(list->rowCount(), 1);

    // The token takes 1.5 s over its next answer (the authentication).
    sim::SimControlOk(0, "delay 1500");
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(50);
    bool clicked = false;
    QTimer::singleShot(400, [&] {
        Click(1017);  // "clear log" while the token is busy: dropped
        clicked = true;
    });
    Click(1031);
    ticker.stop();
    EXPECT_TRUE(clicked);
    EXPECT_GE(ticks, 20);  // the UI thread went on serving its event loop
    EXPECT_EQ(sink.Texts().last(), "0-config success!");
    EXPECT_EQ(list->rowCount(), 2);  // the click made during the wait did nothing
    QTest::qWait(100);
    EXPECT_EQ(list->rowCount(), 2);  // nor afterwards
}

// The reader list against a scripted reader set: readers coming and going.
class ScriptedReaders final : public IPcscProbe {
public:
    std::optional<std::vector<std::string>> ListReaders() override {
        std::lock_guard lock(mutex);
        return readers;
    }
    std::unique_ptr<ICardPresence> ConnectShared(const std::string&) override { return nullptr; }
    void Set(std::optional<std::vector<std::string>> r) {
        std::lock_guard lock(mutex);
        readers = std::move(r);
    }
    std::mutex mutex;
    std::optional<std::vector<std::string>> readers;
};

TEST_F(DialogOnPcscd, ReadersComeAndGoWithoutMovingTheSelection) {
    ScriptedReaders probe;
    Open(&probe);
    QTest::qWait(150);
    EXPECT_EQ(Readers()->count(), 0);
    Click(1019);
    EXPECT_EQ(sink.Texts(), QStringList{"Please select a card reader!"});

    probe.Set(std::vector<std::string>{"Reader 1", "Reader 10"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return Readers()->count() == 2; }, 2000));
    Readers()->setCurrentIndex(1);
    probe.Set(std::vector<std::string>{"Reader 1", "Reader 10", "Reader 2"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return Readers()->count() == 3; }, 2000));
    EXPECT_EQ(Readers()->itemText(2), "Reader 2");
    EXPECT_EQ(Readers()->currentText(), "Reader 10");

    // "Reader 1" goes although "Reader 10" still carries its name.
    probe.Set(std::vector<std::string>{"Reader 10", "Reader 2"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return Readers()->count() == 2; }, 2000));
    EXPECT_EQ(Readers()->itemText(0), "Reader 10");
    EXPECT_EQ(Readers()->currentText(), "Reader 10");

    // The selected reader goes: nothing else gets selected in its place.
    probe.Set(std::vector<std::string>{"Reader 2"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return Readers()->count() == 1; }, 2000));
    EXPECT_EQ(Readers()->currentIndex(), -1);

    probe.Set(std::nullopt);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Readers()->count() == 0; }, 2000));
}

TEST_F(DialogOnPcscd, AdvancedShowsAndHidesExactlyItsTwentyControls) {
    ScriptedReaders probe;
    Open(&probe);
    const std::set<int> advanced(std::begin(kAdvancedControlIds), std::end(kAdvancedControlIds));
    EXPECT_EQ(advanced.size(), 20u);
    auto visibleIds = [&] {
        std::set<int> ids;
        for (int id = 1000; id < 1100; ++id)
            if (QWidget* w = dlg->ControlWidget(id); w && w->isVisible()) ids.insert(id);
        return ids;
    };
    const std::set<int> before = visibleIds();
    Control<QCheckBox>(1087)->setChecked(true);
    const std::set<int> after = visibleIds();
    std::set<int> shown;
    for (int id : after)
        if (!before.count(id)) shown.insert(id);
    EXPECT_EQ(shown, advanced);
    EXPECT_TRUE(std::includes(after.begin(), after.end(), before.begin(), before.end()));
    // The controls the tool never shows stay hidden.
    for (int id : {1016, 1000, 1084, 1075}) EXPECT_FALSE(dlg->ControlWidget(id)->isVisible()) << id;
    Control<QCheckBox>(1087)->setChecked(false);
    EXPECT_EQ(visibleIds(), before);

    // Every control has a stable object name and a name assistive
    // technology announces.
    for (int id = 1000; id < 1100; ++id) {
        QWidget* w = dlg->ControlWidget(id);
        if (!w) continue;
        EXPECT_TRUE(w->objectName().endsWith(QString::number(id))) << id;
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(w);
        ASSERT_NE(accessible, nullptr) << id;
        EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty()) << id;
    }
    EXPECT_EQ(Control<QLineEdit>(1001)->accessibleName(), "Seed (base32) :");
    EXPECT_EQ(Control<QLineEdit>(1001)->maxLength(), 256);
    EXPECT_EQ(Control<QLineEdit>(1052)->maxLength(), 12);
    EXPECT_EQ(Control<QLineEdit>(1039)->maxLength(), 32);
    EXPECT_EQ(Control<QComboBox>(1074)->currentText(), "6");
    EXPECT_EQ(Control<QComboBox>(1075)->currentText(), "NO");
}

}  // namespace
