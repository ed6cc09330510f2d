// The fault campaign: the real dialog, offscreen, through pcscd and the
// virtual token, while the station misbehaves the way stations do. Tokens
// are pulled in the middle of a flow, pcscd goes away and comes back, the
// token answers slowly, never, or with words nobody knows, files cannot be
// written, disks fill up, and the shared trace ring is broken by somebody
// else. Each test states what the operator sees (messages, rows, fields) and
// what the token and the files hold afterwards. Every message any of them
// provokes must be one of the tool's own texts for that situation, or a
// sentence that names the cause and what to do (KnownMessage below).
//
// The process runs in a mount namespace of its own when it may (root): its
// /dev/shm is a private tmpfs, so the hostile trace rings and the small full
// disks concern nobody else on the machine.
#include <gtest/gtest.h>

#include <QAction>
#include <QRegularExpression>
#include <QTimer>

#include <signal.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "dialog/CProvisorDlg.h"
#include "DialogDriver.h"
#include "FaultEnvironment.h"
#include "formats/IniFile.h"
#include "session/KeyStorage.h"
#include "provisioning/Provisioning.h"
#include "QtTestApp.h"
#include "SimControl.h"
#include "ToolTestFiles.h"
#include "ToolTestViews.h"

using namespace provisor;
using tooltest::DialogDriver;
using tooltest::RecordingMessageSink;
using tooltest::TokenProfile;
namespace fs = std::filesystem;
namespace sim = norvik::simtest;

namespace {

constexpr char kFactoryKey[] = "6B3F09D2A4C8571E90B2D6F4138A5C7E";
const QString kSerial = QStringLiteral("NV2A00000001");
// "12345678901234567890" as base32.
const QString kSeed = QStringLiteral("GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ");

// What the operator may read while the station misbehaves: the tool's texts
// for these situations, with their numbers, or one of its sentences that
// name the cause and what to do about it.
bool KnownMessage(const QString& text) {
    static const QRegularExpression known[] = {
        QRegularExpression(QStringLiteral("^\\d+-Authentication failed, remaining \\d+ times$")),
        QRegularExpression(QStringLiteral("^\\d+-Authentication failed, remaining unlimited times$")),
        QRegularExpression(QStringLiteral("^Customer key is locked$")),
        QRegularExpression(QStringLiteral("^\\d+-Device not connected$")),
        QRegularExpression(QStringLiteral("^\\d+-Authentication process failed!$")),
        QRegularExpression(QStringLiteral("^\\d+-config failed!\\[[0-9A-F]{8}\\]$")),
        QRegularExpression(QStringLiteral("^\\d+-CardBurnSeed failed!\\[[0-9A-F]{8}\\]$")),
        QRegularExpression(QStringLiteral("^This operation will overwrite the seed stored \r\nunder profile #\\d+\\. "
                                          "Are you sure\\?$")),
        QRegularExpression(QStringLiteral("^Successful operation!$")),
        QRegularExpression(QStringLiteral("^Please select a card reader!$")),
        QRegularExpression(QStringLiteral("^Can't open log file!$")),
        QRegularExpression(QStringLiteral("^Failed to create the configuration file!$")),
        // The tool's own sentences: the cause, then what to do.
        QRegularExpression(QStringLiteral("^The access key could not be saved: the configuration file .+ cannot be "
                                          "written\\. .*make the file writable and set the key again.*$")),
        QRegularExpression(QStringLiteral("^The configuration file .+ cannot be read .*\\. .*make the file readable "
                                          "and start the tool again.*$")),
        QRegularExpression(QStringLiteral("^The operation log .+ could not be written .*\\. .*restart the tool.*$")),
    };
    for (const QRegularExpression& re : known)
        if (re.match(text).hasMatch()) return true;
    return false;
}

// Answers the "Access Key" menu with a fixed key.
class FixedKeyPrompt final : public IAccessKeyPrompt {
public:
    std::optional<QString> AskAccessKey() override { return key; }
    QString key = QStringLiteral("00112233445566778899AABBCCDDEEFF");
};

class FaultCampaign : public ::testing::Test, protected tooltest::ExeAndWorkDirs {
protected:
    void SetUp() override {
        EnsureQtApp();
        sim::ResetSim(0);
        Enter("faults");
        env.exeDir = QUILLON_LIB_DIR;
        env.configDir = exeDir;
        ASSERT_TRUE(WriteIniValue(ConfigFile(), "CONFIG", "CUSTOMER_KEY", EncipherKeyForStorage(kFactoryKey)));
    }
    void TearDown() override {
        Close();
        for (const auto& entry : sink.entries)
            EXPECT_TRUE(KnownMessage(entry.text)) << "a message that names no cause: " << entry.text.toStdString();
        for (const fs::path& disk : disks) tooltest::UnmountSmallDisk(disk);
        try {
            sim::ResetSim(0);
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
        Leave();
    }

    fs::path ConfigFile() const { return (env.configDir.empty() ? env.exeDir : env.configDir) / "Norvik2Cfg.ini"; }

    DialogDriver& Open(IAccessKeyPrompt* prompt = nullptr) {
        dlg = std::make_unique<CProvisorDlg>(env, DialogOptions{&sink, prompt, nullptr});
        dlg->InitDialog();
        dlg->show();
        ui = std::make_unique<DialogDriver>(*dlg);
        return *ui;
    }
    void Close() {
        ui.reset();
        dlg.reset();
    }
    void Connect() { ASSERT_TRUE(ui->ConnectTo(0, kSerial)) << ui->Serial().toStdString(); }
    QStringList NewMessages(qsizetype& seen) {
        const QStringList all = sink.Texts();
        const QStringList fresh = all.mid(seen);
        seen = all.size();
        return fresh;
    }
    // Waits until the card thread has seen the token go, puts it back and
    // waits until it shows again.
    void PutTheTokenBack() {
        EXPECT_TRUE(QTest::qWaitFor([&] { return ui->Serial().isEmpty(); }, 10000)) << "the pulled token still shows";
        sim::SimControlOk(0, "insert");
        ASSERT_TRUE(QTest::qWaitFor([&] { return ui->Serial() == kSerial; }, 15000));
    }
    // Profiles as a fresh token has them.
    void RestoreProfiles(int from, int to) {
        std::string file;
        for (int p = from; p <= to; ++p)
            file += std::to_string(p) + " GEZDGNBV SHA1 6 30 NO NO \n" + std::to_string(p) + "\n";
        ASSERT_TRUE(ui->RunBulk(workDir / "restore.txt", file)) << sink.Texts().join('|').toStdString();
        for (int p = from; p <= to; ++p) ASSERT_EQ(tooltest::ReadTokenProfile(0, p), tooltest::FreshProfile()) << p;
    }
    void SetUpProvisioning(int profile, const QString& title) {
        ui->Select(1071, profile);
        ui->SetText(1001, kSeed);
        ui->SetText(1052, title);
        ui->Select(1073, choice::Sha256);
    }
    void TriggerAccessKeyMenu() {
        auto* action = dlg->findChild<QAction*>(QStringLiteral("accessKeyAction32771"));
        ASSERT_NE(action, nullptr);
        action->trigger();
    }

    StartupEnvironment env;
    RecordingMessageSink sink;
    std::unique_ptr<CProvisorDlg> dlg;
    std::unique_ptr<DialogDriver> ui;
    std::vector<fs::path> disks;
};

// ---- the token pulled in the middle of a flow --------------------------------

// "⚡ provision profile" sends, in this order: the challenge and the
// cryptogram (CardVerify), the profile read, the configuration, the seed
// flag read and the seed. The token is pulled after or during the Nth.
TEST_F(FaultCampaign, TokenPulledAtEachStepOfProvisioning) {
    Open();
    Connect();
    struct Step {
        const char* fault;
        const char* when;
        bool configMessage;  // "3-config failed![...]"
        bool configWritten;
        bool seedWritten;
    };
    const Step steps[] = {
        {"remove-after 2", "before the configuration", true, false, false},
        // Written, but its answer lost: the operator is told it failed.
        {"remove-during 4", "while the configuration is written", true, true, false},
        {"remove-after 4", "between configuration and seed", false, true, false},
        {"remove-after 5", "right before the seed write", false, true, false},
        {"remove-during 6", "during the seed write", false, true, true},
    };
    qsizetype seen = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.when);
        SetUpProvisioning(3, QStringLiteral("Pulled"));
        NewMessages(seen);
        const int rows = ui->Rows();
        sim::SimControlOk(0, step.fault);
        ui->Click(1080);

        // The operator: one red row for profile 3, the configuration message
        // only when the configuration could not be written, and the serial
        // number gone once the card thread has noticed.
        ASSERT_EQ(ui->Rows(), rows + 1);
        EXPECT_EQ(ui->RowState(), "3-Operation failed");
        const QStringList messages = NewMessages(seen);
        if (step.configMessage) {
            ASSERT_EQ(messages.size(), 1) << messages.join('|').toStdString();
            EXPECT_TRUE(messages[0].startsWith("3-config failed![")) << messages[0].toStdString();
        } else {
            EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
        }
        EXPECT_TRUE(ui->Control<QPushButton>(1080)->isEnabled());
        EXPECT_FALSE(dlg->Session().g_busy);
        PutTheTokenBack();

        // The token: configured exactly when the configuration went out
        // whole; seeded exactly when the seed command reached it.
        const TokenProfile p = tooltest::ReadTokenProfile(0, 3);
        ASSERT_TRUE(p.read);
        EXPECT_EQ(p.algorithm == 2 && p.title == "Pulled", step.configWritten) << p;
        EXPECT_EQ(p.seed, step.seedWritten) << p;
        RestoreProfiles(3, 3);
    }

    // A seed that arrived although its row is red: the next attempt asks
    // before overwriting it, and succeeds.
    SetUpProvisioning(3, QStringLiteral("Again"));
    sim::SimControlOk(0, "remove-during 6");
    ui->Click(1080);
    PutTheTokenBack();
    NewMessages(seen);
    ui->Click(1080);
    const QStringList asked = NewMessages(seen);
    ASSERT_EQ(asked.size(), 1) << asked.join('|').toStdString();
    EXPECT_TRUE(asked[0].startsWith("This operation will overwrite the seed stored \r\nunder profile #3."));
    EXPECT_EQ(ui->RowState(), "3-Successful operation");
    RestoreProfiles(3, 3);
}

// A bulk run authenticates once, then sends per line the profile read, the
// configuration and the seed. Line 2 of three loses its token.
TEST_F(FaultCampaign, TokenPulledAtEachStepOfABulkRun) {
    Open();
    Connect();
    std::string file;
    for (int p = 10; p <= 12; ++p)
        file += std::to_string(p) + " " + kSeed.toStdString() + " SHA256 8 60 NO YES Bulk" + std::to_string(p) + "\n";
    struct Step {
        const char* fault;
        const char* when;
        bool configWritten;
        bool seedWritten;
    };
    const Step steps[] = {
        {"remove-after 6", "line 2, before its configuration", false, false},
        {"remove-after 7", "line 2, between configuration and seed", true, false},
        {"remove-during 8", "line 2, during its seed write", true, true},
    };
    qsizetype seen = 0;
    NewMessages(seen);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.when);
        const int rows = ui->Rows();
        sim::SimControlOk(0, step.fault);
        ASSERT_TRUE(ui->RunBulk(workDir / "bulk.txt", file));

        // Line 1 is done, line 2 is red, line 3 was never tried: the run
        // stops at it without a row, the button is usable again.
        ASSERT_EQ(ui->Rows(), rows + 2);
        EXPECT_EQ(ui->RowState(1), "10-Successful operation");
        EXPECT_EQ(ui->RowState(0), "11-Operation failed");
        EXPECT_EQ(ui->Progress(), "Progress: 3/3");
        const QStringList messages = NewMessages(seen);
        EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
        EXPECT_EQ(ui->dlg.Session().m_profile.load(), 0) << "the operator's profile is put back";
        PutTheTokenBack();

        const TokenProfile line1 = tooltest::ReadTokenProfile(0, 10);
        EXPECT_TRUE(line1.seed && line1.title == "Bulk10" && line1.digits == 8) << line1;
        const TokenProfile line2 = tooltest::ReadTokenProfile(0, 11);
        EXPECT_EQ(line2.title == "Bulk11" && line2.digits == 8, step.configWritten) << line2;
        EXPECT_EQ(line2.seed, step.seedWritten) << line2;
        EXPECT_EQ(tooltest::ReadTokenProfile(0, 12), tooltest::FreshProfile());
        RestoreProfiles(10, 12);
    }
}

// The armed automatic write runs on the card thread; pulled during its seed
// write it still adds its row and its " fail" line to the log.
TEST_F(FaultCampaign, TokenPulledDuringTheAutomaticWriteIsLoggedAsAFailure) {
    Open();
    Connect();
    ui->Control<QCheckBox>(1087)->setChecked(true);
    ui->Select(1071, 4);
    ui->SetText(1001, kSeed);
    // CardVerify (2), the seed flag read, the seed.
    sim::SimControlOk(0, "remove-during 4");
    const int rows = ui->Rows();
    ui->Click(1015);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui->Rows() == rows + 1; }, 10000));
    EXPECT_EQ(ui->RowState(), "4-Operation failed");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sink.entries.empty(); }, 5000));
    EXPECT_TRUE(sink.Texts().last().startsWith("4-CardBurnSeed failed![")) << sink.Texts().last().toStdString();
    EXPECT_EQ(ui->Control<QPushButton>(1015)->text(), "write seed");
    const std::string log = tooltest::ReadFile(workDir / "Norvik2-Log.txt");
    EXPECT_TRUE(log.ends_with(" NV2A00000001 fail\r\n")) << log;
    PutTheTokenBack();
    EXPECT_TRUE(tooltest::ReadTokenProfile(0, 4).seed) << "the seed reached the token before it was pulled";
    // Disarmed: putting the token back writes nothing more.
    QTest::qWait(300);
    EXPECT_EQ(ui->Rows(), rows + 1);
    RestoreProfiles(4, 4);
}

// ---- pcscd and the readers --------------------------------------------------

// pcscd stopped under the running tool takes every reader with it; started
// again, the reader watch and the card thread find them without a restart.
TEST_F(FaultCampaign, ReadersGoWithPcscdAndComeBackWithoutRestartingTheTool) {
    const std::string envDir = sim::EnvDir();
    std::ifstream pidFile(envDir + "/pcscd.pid");
    pid_t pcscd = 0;
    if (!(pidFile >> pcscd) || tooltest::ReadFile("/proc/" + std::to_string(pcscd) + "/comm") != "pcscd\n")
        GTEST_SKIP() << "pcscd was not started by this test environment; somebody else's is not stopped";

    Open();
    Connect();
    // Whatever happens below, the environment is left running as found.
    const std::string start = "PCSC_ENV_DIR='" + envDir +
                              "' NORVIK_BIN_DIR='" NORVIK_BIN_DIR "' bash '" PCSC_ENV_SCRIPT
                              "' start --sims 0 >/dev/null 2>&1";
    struct Restart {
        const std::string& command;
        bool done = false;
        bool Run() {
            done = true;
            return tooltest::RunOutsideThePrivateNamespace(command) == 0;
        }
        ~Restart() {
            if (!done) Run();
        }
    } restart{start};
    ASSERT_EQ(::kill(pcscd, SIGTERM), 0);
    // Gone (or a zombie nobody reaps).
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const std::string stat = tooltest::ReadFile("/proc/" + std::to_string(pcscd) + "/stat");
            return stat.empty() || stat.find(") Z ") != std::string::npos;
        },
        15000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return ui->Readers()->count() == 0 && ui->Serial().isEmpty(); }, 10000));

    // A press meanwhile is a failure the operator is told about.
    qsizetype seen = 0;
    NewMessages(seen);
    const int rows = ui->Rows();
    ui->Click(1080);
    ASSERT_EQ(ui->Rows(), rows + 1);
    EXPECT_EQ(ui->RowState(), "0-Operation failed");
    const QStringList messages = NewMessages(seen);
    ASSERT_EQ(messages.size(), 1) << messages.join('|').toStdString();
    EXPECT_TRUE(messages[0] == "0-Device not connected" || messages[0] == "0-Authentication process failed!")
        << messages[0].toStdString();

    ASSERT_TRUE(restart.Run());
    ASSERT_TRUE(sim::WaitForCard(sim::ReaderName(0), true, 15000));
    ASSERT_TRUE(sim::WaitForCard(sim::ReaderName(1), true, 15000));

    // Both readers are listed again; nothing is selected for the operator,
    // but the connected reader is still the one the card thread watches.
    EXPECT_TRUE(QTest::qWaitFor([&] { return ui->Readers()->count() == 2; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return ui->Serial() == kSerial; }, 10000));
    ui->SetText(1001, kSeed);
    ui->Click(1080);
    EXPECT_EQ(ui->RowState(), "0-Successful operation");
    RestoreProfiles(0, 0);
}

// ---- slow, endless and strange answers ---------------------------------------

TEST_F(FaultCampaign, SlowTokenKeepsTheWindowAliveAndTheFlowWhole) {
    Open();
    Connect();
    SetUpProvisioning(6, QStringLiteral("Slow"));
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(100);
    sim::SimControlOk(0, "delay 2500");
    ui->Click(1080);
    ticker.stop();
    EXPECT_EQ(ui->RowState(), "6-Successful operation");
    EXPECT_GT(ticks, 5) << "the window's event loop stood still while the token was slow";
    const TokenProfile p = tooltest::ReadTokenProfile(0, 6);
    EXPECT_TRUE(p.seed && p.title == "Slow") << p;

    // The tool closed in the middle of a slow bulk run: the window goes at
    // once, the run stops at the line it is on, and nothing hangs.
    std::string file;
    for (int profile = 20; profile < 30; ++profile)
        file += std::to_string(profile) + " " + kSeed.toStdString() + " SHA1 6 30 NO NO Late\n";
    tooltest::WriteFile(workDir / "slow.txt", file);
    ui->Control<QCheckBox>(1087)->setChecked(true);
    ui->SetText(1003, QString::fromStdString((workDir / "slow.txt").string()));
    ui->Click(1021);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui->Progress() == "Progress: 1/10"; }, 10000));
    sim::SimControlOk(0, "delay 1500");
    Close();
    int applied = 0;
    for (int profile = 20; profile < 30; ++profile) applied += tooltest::ReadTokenProfile(0, profile).title == "Late";
    EXPECT_LE(applied, 3) << "the run went on applying lines after the tool was closed";
    Open();
    Connect();
    RestoreProfiles(6, 6);
    RestoreProfiles(20, 29);
}

// 90 60 forever: the library gives up after its bounded GET RESPONSE
// re-sends; the action ends with a message and a row, nothing hangs.
TEST_F(FaultCampaign, AnswerThatNeverComesEndsTheActionWithAMessage) {
    Open();
    Connect();
    sim::SimControlOk(0, "getresponse forever");
    ui->SetText(1001, kSeed);
    ui->Click(1080);
    EXPECT_EQ(ui->RowState(), "0-Operation failed");
    EXPECT_EQ(sink.Texts().mid(1), QStringList{"0-Authentication process failed!"});
    EXPECT_TRUE(ui->Control<QPushButton>(1080)->isEnabled());

    // A token put in while it never answers shows no serial number; once it
    // answers again it does, without a new "connect".
    sim::SimControlOk(0, "reinsert 200");
    EXPECT_TRUE(QTest::qWaitFor([&] { return ui->Serial().isEmpty(); }, 5000));
    QTest::qWait(500);
    EXPECT_TRUE(ui->Serial().isEmpty());
    sim::SimControlOk(0, "getresponse off");
    EXPECT_TRUE(QTest::qWaitFor([&] { return ui->Serial() == kSerial; }, 10000));
    EXPECT_EQ(tooltest::ReadTokenProfile(0, 0), tooltest::FreshProfile());
}

TEST_F(FaultCampaign, StatusWordsNobodyKnowsAndShortAnswersAreFailuresWithTheirStatus) {
    Open();
    Connect();
    qsizetype seen = 0;
    struct Case {
        std::vector<std::string> faults;
        const char* what;
        QString message;  // prefix of the one message, or empty for none
        bool seeded;
    };
    const Case cases[] = {
        {{"sw-ins CE 6F42"}, "the cryptogram answered 6F 42", "0-Authentication process failed!", false},
        {{"sw-ins 4B 6581"}, "the challenge answered 65 81", "0-Authentication process failed!", false},
        {{"short 1"}, "the challenge answered with SW1 alone", "0-Authentication process failed!", false},
        {{"short 2"}, "the challenge answered without its data", "0-Authentication process failed!", false},
        {{"sw-ins 41 6F42"}, "the profile read answered 6F 42", "0-config failed![", false},
        {{"sw-ins D4 6581"}, "the configuration answered 65 81", "0-config failed![", false},
        {{"sw-ins C5 6F00"}, "the seed write answered 6F 00", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ui->SetText(1001, kSeed);
        NewMessages(seen);
        for (const std::string& fault : c.faults) sim::SimControlOk(0, fault);
        const int rows = ui->Rows();
        ui->Click(1080);
        sim::SimControlOk(0, "clear");
        ASSERT_EQ(ui->Rows(), rows + 1);
        EXPECT_EQ(ui->RowState(), "0-Operation failed");
        const QStringList messages = NewMessages(seen);
        if (c.message.isEmpty()) {
            EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
        } else {
            ASSERT_EQ(messages.size(), 1) << messages.join('|').toStdString();
            EXPECT_TRUE(messages[0].startsWith(c.message)) << messages[0].toStdString();
        }
        EXPECT_FALSE(tooltest::ReadTokenProfile(0, 0).seed);
        // A garbled challenge gets no cryptogram: no try is spent on it.
        EXPECT_EQ(sim::SimStatus(0, "tries"), "5");
    }
    // An empty answer: the reader's recovery takes the token out and puts
    // it back by itself.
    ui->SetText(1001, kSeed);
    NewMessages(seen);
    sim::SimControlOk(0, "short 0");
    ui->Click(1080);
    EXPECT_EQ(NewMessages(seen), QStringList{"0-Authentication process failed!"});
    EXPECT_EQ(ui->RowState(), "0-Operation failed");
    ASSERT_TRUE(QTest::qWaitFor([&] { return sim::SimStatus(0, "inserted") == "1"; }, 10000));
    ASSERT_TRUE(sim::WaitForCard(sim::ReaderName(0), true));
    EXPECT_TRUE(QTest::qWaitFor([&] { return ui->Serial() == kSerial; }, 15000));
    EXPECT_EQ(sim::SimStatus(0, "tries"), "5") << "no failed authentication was counted";
    RestoreProfiles(0, 0);
}

// ---- the configuration file and the log ---------------------------------------

// Starts from a state in which the access key file can only be read.
class FileFaults : public FaultCampaign {
protected:
    std::vector<std::string> DirectoryEntries(const fs::path& dir) const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    QString Path(const fs::path& p) const { return QString::fromStdString(p.string()); }
    // Mounts a small tmpfs for this test, or says why it cannot.
    bool SmallDisk(const fs::path& dir, int kib, const std::string& extra = {}) {
        if (!tooltest::MountSmallDisk(dir, kib, extra)) return false;
        disks.push_back(dir);
        return true;
    }
};

// A file-size limit with SIGXFSZ ignored makes write() fail with EFBIG: a
// full disk for this process, where no tmpfs can be mounted.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit limited = m_old;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_old{};
    sighandler_t m_oldHandler;
};

TEST_F(FileFaults, SavingTheAccessKeyIntoAFileThatCannotBeWrittenKeepsTheOldFileAndSaysSo) {
    FixedKeyPrompt prompt;
    const std::string stored = tooltest::ReadFile(ConfigFile());
    struct Case {
        const char* what;
        std::function<void()> arrange, undo;
    };
    const Case cases[] = {
        {"the file is read-only", [&] { fs::permissions(ConfigFile(), fs::perms::owner_read); },
         [&] { fs::permissions(ConfigFile(), fs::perms::owner_read | fs::perms::owner_write); }},
        {"its directory is read-only", [&] { fs::permissions(exeDir, fs::perms::owner_read | fs::perms::owner_exec); },
         [&] { fs::permissions(exeDir, fs::perms::owner_all); }},
    };
    tooltest::WithoutFileOverrides asAnOperator;
    Open(&prompt);
    qsizetype seen = sink.entries.size();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange();
        const auto mode = fs::status(ConfigFile()).permissions();
        TriggerAccessKeyMenu();
        const QStringList messages = NewMessages(seen);
        ASSERT_EQ(messages.size(), 1) << messages.join('|').toStdString();
        EXPECT_TRUE(messages[0].startsWith("The access key could not be saved: the configuration file " +
                                           Path(ConfigFile()) + " cannot be written."))
            << messages[0].toStdString();
        // The file as it was, its mode included; nothing left beside it.
        EXPECT_EQ(tooltest::ReadFile(ConfigFile()), stored);
        EXPECT_EQ(fs::status(ConfigFile()).permissions(), mode);
        EXPECT_EQ(DirectoryEntries(exeDir), std::vector<std::string>{"Norvik2Cfg.ini"});
        // The key the operator gave is used until the tool closes.
        EXPECT_EQ(dlg->Session().g_customerKey.Get(), prompt.key.toStdString());
        c.undo();
    }
    EXPECT_EQ(fs::status(ConfigFile()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// The disk fills up while the file is rewritten: the old file survives whole.
TEST_F(FileFaults, DiskFullWhileTheFileIsRewrittenLeavesTheOldFileWhole) {
    const fs::path disk = root / "disk";
    const bool mounted = SmallDisk(disk, 64);
    if (mounted) {
        env.configDir = disk;
        ASSERT_TRUE(WriteIniValue(ConfigFile(), "CONFIG", "CUSTOMER_KEY", EncipherKeyForStorage(kFactoryKey)));
    }
    const std::string stored = tooltest::ReadFile(ConfigFile());
    FixedKeyPrompt prompt;
    Open(&prompt);
    {
        std::optional<FileSizeLimit> limit;
        if (mounted)
            tooltest::FillDisk(disk);
        else
            limit.emplace(16);  // fewer bytes than the file holds
        TriggerAccessKeyMenu();
    }
    ASSERT_EQ(sink.entries.size(), 1u) << sink.Texts().join('|').toStdString();
    EXPECT_TRUE(sink.Texts()[0].startsWith("The access key could not be saved")) << sink.Texts()[0].toStdString();
    EXPECT_EQ(tooltest::ReadFile(ConfigFile()), stored);
    if (mounted) {
        EXPECT_EQ(DirectoryEntries(disk), (std::vector<std::string>{".filler", "Norvik2Cfg.ini"}));
    }

    // The next start loads the key the file still holds.
    Close();
    Open();
    EXPECT_EQ(dlg->Session().g_customerKey.Get(), kFactoryKey);
}

// First start on a disk with room for the new file but not for its update:
// the key the operator typed is used, and the operator learns it was not
// kept.
TEST_F(FileFaults, FirstStartThatCannotKeepTheKeySaysSo) {
    const fs::path disk = root / "disk";
    if (!SmallDisk(disk, 64, "nr_inodes=2")) GTEST_SKIP() << "no private mount namespace for a small disk";
    env.configDir = disk;
    FixedKeyPrompt prompt;
    Open(&prompt);
    EXPECT_EQ(tooltest::ReadFile(ConfigFile()), "[CONFIG]\r\nCUSTOMER_KEY=5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A\r\n");
    ASSERT_EQ(sink.entries.size(), 1u) << sink.Texts().join('|').toStdString();
    EXPECT_TRUE(sink.Texts()[0].startsWith("The access key could not be saved")) << sink.Texts()[0].toStdString();
    EXPECT_EQ(dlg->Session().g_customerKey.Get(), prompt.key.toStdString());
}

// A configuration file that exists but cannot be read is not a file without
// a key: no token is authenticated with a key the operator never chose.
TEST_F(FileFaults, UnreadableConfigurationFileLeavesTheKeyEmptyAndSaysSo) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
    };
    const Case cases[] = {
        {"no read permission", [&] { fs::permissions(ConfigFile(), fs::perms::none); }},
        {"a directory in its place",
         [&] {
             fs::remove(ConfigFile());
             fs::create_directory(ConfigFile());
         }},
    };
    tooltest::WithoutFileOverrides asAnOperator;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange();
        Open();
        ASSERT_EQ(sink.entries.size(), 1u) << sink.Texts().join('|').toStdString();
        EXPECT_TRUE(sink.Texts()[0].startsWith("The configuration file " + Path(ConfigFile()) + " cannot be read"))
            << sink.Texts()[0].toStdString();
        EXPECT_TRUE(dlg->Session().g_customerKey.Empty());
        Connect();
        ui->SetText(1001, kSeed);
        ui->Click(1080);
        EXPECT_EQ(ui->RowState(), "0-Operation failed");
        EXPECT_EQ(sink.Texts().last(), "0-Authentication process failed!");
        EXPECT_EQ(sim::SimStatus(0, "tries"), "5") << "a try was spent on a key nobody chose";
        Close();
        sink.entries.clear();
    }
}

// A broken CUSTOMER_KEY line is no key the tool ever stored: decoded, it
// would be a key nobody chose, and every press would cost the token a try.
// It loads no key, as a file that cannot be read does.
TEST_F(FileFaults, CorruptKeyLineLoadsNoKeyAndCostsTheTokenNoTry) {
    tooltest::WriteFile(ConfigFile(),
                        std::string("[CONFIG]\r\nCUSTOMER_KEY=Z\x01Z-not-hexadecimal-\xff\xfe-at all\r\n"));
    Open();
    ASSERT_EQ(sink.entries.size(), 1u) << sink.Texts().join('|').toStdString();
    EXPECT_TRUE(sink.Texts()[0].startsWith("The configuration file " + Path(ConfigFile()) + " cannot be read"))
        << sink.Texts()[0].toStdString();
    EXPECT_TRUE(dlg->Session().g_customerKey.Empty());
    Connect();
    ui->SetText(1001, kSeed);
    ui->Click(1080);
    EXPECT_EQ(ui->RowState(), "0-Operation failed");
    EXPECT_EQ(sink.Texts().last(), "0-Authentication process failed!");
    EXPECT_EQ(tooltest::ReadTokenProfile(0, 0), tooltest::FreshProfile());
    EXPECT_EQ(sim::SimStatus(0, "tries"), "5") << "a try was spent on a key nobody chose";
    Close();

    // Lines too long, without a value, or of NUL bytes: the tool starts and
    // the press fails; a key that cannot be one is refused before anything
    // reaches the token, any other is refused by it.
    for (const std::string& line : {"CUSTOMER_KEY=" + std::string(100000, '7'), std::string("CUSTOMER_KEY"),
                                    std::string("CUSTOMER_KEY=\0\0\0\0", 17)}) {
        tooltest::WriteFile(ConfigFile(), "[CONFIG]\r\n" + line + "\r\n");
        Open();
        Connect();
        ui->SetText(1001, kSeed);
        ui->Click(1080);
        EXPECT_EQ(ui->RowState(), "0-Operation failed");
        ASSERT_EQ(dlg->Session().cardApi.Call<CardFn::CardVerify>(sim::ReaderName(0).c_str(), kFactoryKey), 0u);
        Close();
    }
    EXPECT_EQ(sim::SimStatus(0, "tries"), "5");
}

TEST_F(FileFaults, LogThatCannotBeOpenedOrWrittenIsReportedAndTheWritesGoOn) {
    // Read-only at start: the tool's own message, then writes without lines.
    tooltest::WriteFile(workDir / "Norvik2-Log.txt", "old line\r\n");
    fs::permissions(workDir / "Norvik2-Log.txt", fs::perms::owner_read);
    {
        tooltest::WithoutFileOverrides asAnOperator;
        Open();
    }
    EXPECT_EQ(sink.Texts(), QStringList{"Can't open log file!"});
    Connect();
    ui->Control<QCheckBox>(1087)->setChecked(true);
    ui->SetText(1001, kSeed);
    ui->Click(1015);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui->Rows() == 1; }, 10000));
    EXPECT_EQ(ui->RowState(), "0-Successful operation");
    EXPECT_EQ(tooltest::ReadFile(workDir / "Norvik2-Log.txt"), "old line\r\n");
    Close();
    sink.entries.clear();

    // The disk fills up while the tool runs: the first line that cannot be
    // written is reported, the write itself stands.
    const fs::path disk = root / "logdisk";
    const bool mounted = SmallDisk(disk, 64);
    env.logPath = (mounted ? disk : workDir) / "Norvik2-Log.txt";
    fs::remove(env.logPath);
    Open();
    EXPECT_TRUE(sink.entries.empty()) << sink.Texts().join('|').toStdString();
    Connect();
    sink.entries.clear();
    ui->Control<QCheckBox>(1087)->setChecked(true);
    ui->SetText(1001, kSeed);
    {
        std::optional<FileSizeLimit> limit;
        if (mounted)
            tooltest::FillDisk(disk);
        else
            limit.emplace(0);  // not one byte: a partial line would be a written one
        ui->Click(1015);
        ASSERT_TRUE(QTest::qWaitFor([&] { return ui->Rows() == 1; }, 10000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return sink.entries.size() == 2; }, 5000))
            << sink.Texts().join('|').toStdString();
    }
    // "This operation will overwrite..." first: profile 0 holds the seed.
    EXPECT_EQ(ui->RowState(), "0-Successful operation");
    EXPECT_TRUE(sink.Texts()[1].startsWith("The operation log " + Path(env.logPath) + " could not be written"))
        << sink.Texts()[1].toStdString();
    // Reported once: the next write is not logged and says nothing more.
    ui->Click(1015);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui->Rows() == 2; }, 10000));
    QTest::qWait(200);
    EXPECT_EQ(sink.entries.size(), 3u) << sink.Texts().join('|').toStdString();
    EXPECT_TRUE(tooltest::ReadFile(env.logPath).empty());
    Close();
    Open();
    Connect();
    RestoreProfiles(0, 0);
}

// ---- a hostile trace ring ---------------------------------------------------

// The objects the library traces into, in this process's private /dev/shm.
constexpr char kRingName[] =
    "/Global\\SHARE_MEMORY_D1F14A9F-D7A0-4a22-9EE9-19DC2078C280{VkShmLogByLockfreeCirculayArray-4b1a}";
constexpr char kRingMutexName[] = "/Global\\MutexShareMemoryMutext_{VkShmLogByLockfreeCirculayArray-4b1a}";
constexpr char kAttachMutexName[] = "/Global\\Mutex{VkMutexForShmLog-4b1a}";
constexpr size_t kRingObjectBytes = 4 + 64 + 32768ull * 5120 + 1;
// Ring header fields, as offsets into the object.
enum RingField : size_t { kCapacity = 4, kHead = 8, kTail = 12, kCommit = 16, kProgress = 20, kReaders = 24 };

class RingFaults : public FaultCampaign {
protected:
    void SetUp() override {
        if (!tooltest::SharedMemoryIsPrivate())
            GTEST_SKIP() << "no private /dev/shm (needs root): the machine's trace ring is not broken on purpose";
        FaultCampaign::SetUp();
        for (const char* name : {kRingName, kRingMutexName, kAttachMutexName}) shm_unlink(name);
        ASSERT_FALSE(tooltest::MeasureProcess().quillonMapped) << "a library from an earlier test still holds the ring";
    }
    void TearDown() override {
        if (!tooltest::SharedMemoryIsPrivate()) return;
        FaultCampaign::TearDown();
        Unmap();
        for (const char* name : {kRingName, kRingMutexName, kAttachMutexName}) shm_unlink(name);
    }

    // A ring object of `bytes`, mapped for the test to prepare and inspect;
    // made the way the library makes one (owner-only writable, its space
    // reserved) or, when not, one the library must not write into.
    void MakeRing(size_t bytes, bool asTheLibraryMakesIt = false) {
        Unmap();
        shm_unlink(kRingName);
        const int fd = shm_open(kRingName, O_RDWR | O_CREAT | O_EXCL, 0666);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(bytes)), 0);
        if (asTheLibraryMakesIt) {
            ASSERT_EQ(fchmod(fd, 0644), 0);
            ASSERT_EQ(posix_fallocate(fd, 0, static_cast<off_t>(bytes)), 0);
        }
        m_bytes = bytes;
        m_map = static_cast<uint8_t*>(mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        close(fd);
        ASSERT_NE(m_map, MAP_FAILED);
    }
    uint32_t& Field(RingField field) { return *reinterpret_cast<uint32_t*>(m_map + field); }
    void MakeFullSizeRing(bool asTheLibraryMakesIt = true) {
        MakeRing(kRingObjectBytes, asTheLibraryMakesIt);
        *reinterpret_cast<uint32_t*>(m_map) = static_cast<uint32_t>(kRingObjectBytes);
        Field(kCapacity) = 32768;
    }
    void Unmap() {
        if (m_map && m_map != MAP_FAILED) munmap(m_map, m_bytes);
        m_map = nullptr;
    }
    // One "⚡ provision profile 0" with the tool started afresh (the library
    // attaches the ring when it is loaded, and lets go when it is unloaded).
    void ProvisionThroughTheRing() {
        Open();
        Connect();
        ui->SetText(1001, kSeed);
        ui->Click(1080);
        EXPECT_EQ(ui->RowState(), "0-Successful operation") << sink.Texts().join('|').toStdString();
        EXPECT_TRUE(tooltest::ReadTokenProfile(0, 0).seed);
        RestoreProfiles(0, 0);
        Close();
        EXPECT_FALSE(tooltest::MeasureProcess().quillonMapped);
    }

    uint8_t* m_map = nullptr;
    size_t m_bytes = 0;
};

// Nobody holds these, so the tool puts a ring of its own under the name
// (and lets go of it when it closes); the objects themselves are never
// written.
TEST_F(RingFaults, RingOfTheWrongSizeOrCapacityIsLeftAloneAndTheToolWorks) {
    MakeRing(4096);
    std::memset(m_map, 0xA5, 4096);
    ProvisionThroughTheRing();
    struct stat st {};
    EXPECT_NE(stat(("/dev/shm" + std::string(kRingName)).c_str(), &st) == 0 ? st.st_size : 0, 4096)
        << "the broken object still has the name";
    EXPECT_EQ(std::count(m_map, m_map + 4096, uint8_t{0xA5}), 4096);

    MakeFullSizeRing(false);  // writable by everyone, as older versions made it
    ProvisionThroughTheRing();
    EXPECT_EQ(Field(kHead), 0u) << "written into a ring anyone may shrink";

    MakeFullSizeRing();
    Field(kCapacity) = 1024;
    ProvisionThroughTheRing();
    EXPECT_EQ(Field(kCapacity), 1024u);
    EXPECT_EQ(Field(kHead), 0u) << "written into a ring of another layout";
}

TEST_F(RingFaults, GarbageCountersAreSurvivedAndTheRingStaysUsable) {
    MakeFullSizeRing();
    Field(kHead) = 0xFFFFFFF0u;
    Field(kTail) = 0x00000005u;
    Field(kCommit) = 0xDEADBEEFu;
    Field(kProgress) = 0x12345678u;
    ProvisionThroughTheRing();
    EXPECT_EQ(Field(kCapacity), 32768u);
    EXPECT_EQ(Field(kCommit), Field(kHead)) << "a writer stuck behind a commit counter that never moves";
    EXPECT_NE(Field(kHead), 0xFFFFFFF0u) << "nothing was traced";
}

TEST_F(RingFaults, FullRingWithADeadReaderIsDrainedAndTheReaderDropped) {
    MakeFullSizeRing();
    Field(kHead) = 100000;
    Field(kCommit) = 100000;
    Field(kTail) = 100000 - 32767;  // head + 1 and tail address the same slot
    Field(kReaders) = 1;
    Field(kProgress) = 7;  // and it never moves
    ProvisionThroughTheRing();
    EXPECT_EQ(Field(kReaders), 0u);
    EXPECT_GE(Field(kTail) - (100000u - 32767u), 4096u);
    EXPECT_EQ(Field(kCommit), Field(kHead));
    EXPECT_EQ(Field(kCapacity), 32768u);
}

// Another user got there first: the ring and both mutex names are theirs,
// the mutexes not even shared memory but pipes nobody writes to. The tool
// neither hangs nor writes into them; it only traces nothing.
TEST_F(RingFaults, ObjectsOfAnotherUserNeitherHangNorReceiveLines) {
    MakeFullSizeRing();
    ASSERT_EQ(fchownat(AT_FDCWD, ("/dev/shm" + std::string(kRingName)).c_str(), 65534, 65534, 0), 0);
    ASSERT_EQ(chmod(("/dev/shm" + std::string(kRingName)).c_str(), 0600), 0);
    for (const char* name : {kAttachMutexName, kRingMutexName}) {
        const std::string path = "/dev/shm" + std::string(name);
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << path;
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    }
    {
        tooltest::WithoutFileOverrides asAnOperator;
        ProvisionThroughTheRing();
    }
    EXPECT_EQ(Field(kHead), 0u);
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists: a /dev/shm of this process's own.
    tooltest::IsolateSharedMemory();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
