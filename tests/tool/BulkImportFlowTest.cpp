// The bulk import buttons against the scripted token: which library calls a
// file turns into, with which arguments and in which order, what the result
// list, the progress label and the form show afterwards, and the cases in
// which nothing at all may reach the token.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "import/BulkImportFlow.h"
#include "provisioning/Provisioning.h"
#include "ScriptedCard.h"
#include "ToolTestFiles.h"
#include "ToolTestViews.h"

using namespace provisor;
using tooltest::ScriptedCard;
namespace fs = std::filesystem;

namespace {

const std::string kReader = "Virtual PCD 00 00";
const std::string kKey = "6B3F09D2A4C8571E90B2D6F4138A5C7E";
const QString kUtc = QStringLiteral("2026/12/07/10/11/12");

// "fn(arg, arg, ...)", so a failing comparison prints readable sequences.
std::vector<std::string> Rendered(const std::vector<tooltest::CardCall>& calls) {
    std::vector<std::string> out;
    for (const auto& c : calls) {
        std::string s = c.fn + "(";
        for (size_t i = 0; i < c.args.size(); ++i) s += (i ? ", " : "") + c.args[i];
        out.push_back(s + ")");
    }
    return out;
}

class BulkImportFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        card.Reset();
        card.Install(session.cardApi);
        jobs.Start();
        session.g_readerName.Set(kReader);
        session.g_customerKey.Set(kKey);
        session.m_profile = 9;
        view.texts[Control::UtcTime] = kUtc;
        dir = tooltest::MakeTempDir("bulkflow");
    }
    void TearDown() override {
        run.Wait();
        fs::remove_all(dir);
    }

    // Writes a bulk file, puts its path into the path field and runs the
    // import to its end.
    void Import(const std::string& content, const std::string& name = "bulk.txt") {
        const fs::path file = dir / name;
        tooltest::WriteFile(file, content);
        view.texts[Control::BulkPath] = QString::fromStdString(file.string());
        StartBulkImport(ctx, run);
        run.Wait();
    }

    std::vector<QString> States() const {
        std::vector<QString> states;
        for (const auto& row : view.Rows()) states.push_back(row.state + (row.failed ? " [red]" : ""));
        return states;
    }
    std::vector<QString> History(Control control) const {
        std::vector<QString> texts;
        for (const auto& [c, text] : view.textHistory)
            if (c == control) texts.push_back(text);
        return texts;
    }

    ScriptedCard& card = ScriptedCard::Instance();
    ManualClock clock;
    ToolSession session{&clock};
    tooltest::RecordingView view;
    ToolContext ctx{session, view, nullptr};
    fs::path dir;
    JobThread jobs;
    BulkRun run{jobs};  // last, so it has ended before the rest goes
};

}  // namespace

// A file with a header, a delete line, set time YES and NO, a title with
// inner spaces and a profile named twice: every line in file order, each
// argument where the token expects it, one green row per line, and the form
// as it was before the run.
TEST_F(BulkImportFlowTest, WholeFileIsAppliedLineByLine) {
    card.clearSeed = 1;
    card.autoEnter = 1;  // output 2 is not asked for: the line's own choice counts
    card.keptFlags = 0x21;
    // The UTC field is read for every line, not once per run.
    card.OnCall([&](const tooltest::CardCall& call) {
        if (call.fn == "CardBurnSeed" && call.args[2] == "7") view.SetText(Control::UtcTime, "2027/01/01/00/00/00");
    });
    // Once the button is usable again, a press starts the next run: nothing
    // of this one may still be holding on.
    bool runningWhenUsable = true, busyWhenUsable = true;
    view.onEnabled = [&](Control c, bool on) {
        if (c != Control::BulkImport || !on) return;
        runningWhenUsable = run.Running();
        busyWhenUsable = session.g_busy;
    };
    Import(
        "Profile Seed Algorithm Digits Step SetTime AutoEnter Title\n"
        "5  \r\n"
        "3 GEZDGNBVGY3TQOJQ sha256 8 60 YES no Bank Card\n"
        "7 MFRGG SHA1 6 30 NO Yes \n"
        "3 MFRGG SHA1 4 30 yes YES  two  spaces");

    const std::string r = kReader, k = kKey;
    EXPECT_EQ(Rendered(card.Calls()),
              (std::vector<std::string>{
                  "CardVerify(" + r + ", " + k + ")",
                  "CardDeleteSeed(" + r + ", 5)",
                  "CardReadSeedInfo(" + r + ", 3, out, <null>, out)",
                  "CardConfig(" + r + ", " + k + ", 3, SHA256, 60, 8, 1, 2026/12/07/10/11/12, Bank Card, 0, 33)",
                  "CardBurnSeed(" + r + ", " + k + ", 3, 31323334353637383930, 10)",
                  "CardReadSeedInfo(" + r + ", 7, out, <null>, out)",
                  "CardConfig(" + r + ", " + k + ", 7, SHA1, 30, 6, 1, <null>, , 1, 33)",
                  "CardBurnSeed(" + r + ", " + k + ", 7, 616263, 3)",
                  "CardReadSeedInfo(" + r + ", 3, out, <null>, out)",
                  "CardConfig(" + r + ", " + k + ", 3, SHA1, 30, 4, 1, 2027/01/01/00/00/00, two  spaces, 1, 33)",
                  "CardBurnSeed(" + r + ", " + k + ", 3, 616263, 3)",
              }));
    // The profile without a seed counts as deleted.
    EXPECT_EQ(States(), (std::vector<QString>{"3-Successful operation", "7-Successful operation",
                                              "3-Successful operation", "5-Successful operation"}));
    EXPECT_EQ(view.counters, (std::vector<int>{4, 4, 0}));
    EXPECT_EQ(History(Control::Progress), (std::vector<QString>{"Progress: 0/4", "Progress: 1/4", "Progress: 2/4",
                                                                "Progress: 3/4", "Progress: 4/4"}));
    EXPECT_EQ(view.enabledHistory,
              (std::vector<std::pair<Control, bool>>{{Control::BulkImport, false}, {Control::BulkImport, true}}));
    EXPECT_TRUE(view.Messages().isEmpty());
    EXPECT_EQ(session.m_profile, 9);
    EXPECT_FALSE(session.g_busy);
    EXPECT_FALSE(run.Running());
    EXPECT_FALSE(runningWhenUsable);
    EXPECT_FALSE(busyWhenUsable);
    EXPECT_EQ(run.Entries().size(), 4u);
}

// A refused configuration, deletion or seed write is a red row and the run
// goes on; a profile whose state cannot be read ends the run there, without
// a row, and the progress label tells how far it came.
TEST_F(BulkImportFlowTest, FailuresShowAsRedRowsAndAFailedReadStopsTheRun) {
    card.Queue("CardConfig", 0x1006);
    card.Queue("CardDeleteSeed", 0x0002);
    card.Queue("CardBurnSeed", 0x1004);
    for (uint32_t status : {0u, 0u, 0u, 0x80100069u}) card.Queue("CardReadSeedInfo", status);
    Import(
        "1 MFRGG SHA1 6 30 NO NO A\n"
        "2\n"
        "4 MFRGG SHA1 6 30 NO NO B\n"
        "5 MFRGG SHA1 6 30 NO NO C\n"
        "6 MFRGG SHA1 6 30 NO NO D\n"
        "8\n");

    EXPECT_EQ(card.Names(),
              (std::vector<std::string>{"CardVerify", "CardReadSeedInfo", "CardConfig", "CardDeleteSeed",
                                        "CardReadSeedInfo", "CardConfig", "CardBurnSeed", "CardReadSeedInfo",
                                        "CardConfig", "CardBurnSeed", "CardReadSeedInfo"}));
    EXPECT_EQ(States(), (std::vector<QString>{"5-Successful operation", "4-Operation failed [red]",
                                              "2-Operation failed [red]", "1-Operation failed [red]"}));
    EXPECT_EQ(view.counters, (std::vector<int>{4, 1, 3}));
    ASSERT_FALSE(History(Control::Progress).empty());
    EXPECT_EQ(History(Control::Progress).back(), "Progress: 5/6");
    EXPECT_TRUE(view.Messages().isEmpty());
    EXPECT_FALSE(view.disabled[Control::BulkImport]);
    EXPECT_EQ(session.m_profile, 9);
    EXPECT_FALSE(session.g_busy);
}

// No path, an unreadable or rejected file: a message, nothing sent to the
// token, and the entries of the last accepted file stay.
TEST_F(BulkImportFlowTest, MissingOrRejectedFileSendsNothing) {
    view.texts[Control::BulkPath] = QString();
    StartBulkImport(ctx, run);
    ASSERT_EQ(view.sink.entries.size(), 1u);
    EXPECT_EQ(view.sink.entries[0].text, "Please open a bulk file,or input file path!");
    EXPECT_EQ(view.sink.entries[0].caption, "Keyloom");
    EXPECT_EQ(view.sink.entries[0].icon, MessageIcon::Warning);
    EXPECT_TRUE(card.Calls().empty());

    Import("1 MFRGG SHA1 6 30 NO NO kept\n", "good.txt");
    const std::vector<BulkEntry> accepted = run.Entries();
    ASSERT_EQ(accepted.size(), 1u);
    card.ClearCalls();
    view.sink.entries.clear();

    const std::vector<std::pair<std::string, std::string>> rejected = {
        {"profile-100.txt", "2 MFRGG SHA1 6 30 NO NO A\n100\n"},
        {"lower-case-seed.txt", "2 mfrgg SHA1 6 30 NO NO A\n"},
    };
    for (const auto& [name, content] : rejected) {
        Import(content, name);
        EXPECT_TRUE(view.Text(Control::BulkPath).isEmpty()) << name;
    }
    view.texts[Control::BulkPath] = QString::fromStdString((dir / "missing.txt").string());
    StartBulkImport(ctx, run);
    ASSERT_EQ(view.sink.entries.size(), 3u);
    for (const auto& message : view.sink.entries) {
        EXPECT_EQ(message.text, "File format or data error!");
        EXPECT_EQ(message.caption, "Error");
        EXPECT_EQ(message.icon, MessageIcon::Error);
    }
    EXPECT_TRUE(card.Calls().empty());
    EXPECT_EQ(run.Entries(), accepted);
    EXPECT_EQ(view.Rows().size(), 1u);  // the accepted run's

    // Not connected: not even the path is looked at.
    session.g_readerName.Set({});
    view.texts[Control::BulkPath] = QString();
    StartBulkImport(ctx, run);
    EXPECT_EQ(view.sink.entries.size(), 3u);
    EXPECT_TRUE(card.Calls().empty());
}

// A refused access key shows its message and starts no worker; a worker
// that finds another device operation running does nothing at all, and
// leaves the other operation's flag alone.
TEST_F(BulkImportFlowTest, RefusedKeyOrBusyTokenRunsNothing) {
    const std::string file = "1 MFRGG SHA1 6 30 NO NO A\n2\n";
    card.Queue("CardVerify", 0xC003);
    Import(file);
    EXPECT_EQ(card.Names(), (std::vector<std::string>{"CardVerify"}));
    EXPECT_EQ(view.Messages(), QStringList{"9-Authentication failed, remaining 3 times"});
    EXPECT_TRUE(view.Rows().empty());
    EXPECT_TRUE(History(Control::Progress).empty());
    EXPECT_FALSE(run.Running());

    card.ClearCalls();
    session.g_busy = true;
    Import(file);
    EXPECT_EQ(card.Names(), (std::vector<std::string>{"CardVerify"}));
    EXPECT_TRUE(view.Rows().empty());
    EXPECT_TRUE(History(Control::Progress).empty());
    EXPECT_TRUE(view.enabledHistory.empty());
    EXPECT_EQ(session.m_profile, 9);
    EXPECT_TRUE(session.g_busy) << "the flag belongs to the other operation";
    EXPECT_FALSE(run.Running());
}

// While a run is active a second press changes nothing (the worker keeps
// reading its entries); a profile the operator picks meanwhile is what the
// form is left with; once the run is over the next one starts normally.
TEST_F(BulkImportFlowTest, SecondStartDuringARunChangesNothing) {
    std::mutex m;
    std::condition_variable cv;
    bool reached = false, release = false, first = true;
    card.OnCall([&](const tooltest::CardCall& call) {
        if (call.fn != "CardReadSeedInfo") return;
        std::unique_lock lock(m);
        if (!first) return;
        first = false;
        reached = true;
        cv.notify_all();
        // Bounded, so a second start that wrongly reaches the token (and
        // waits for this call to end) fails the test instead of hanging it.
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    });
    tooltest::WriteFile(dir / "a.txt", "1 MFRGG SHA1 6 30 NO NO A\n2 MFRGG SHA1 6 30 NO NO B\n");
    tooltest::WriteFile(dir / "b.txt", "7\n");
    view.texts[Control::BulkPath] = QString::fromStdString((dir / "a.txt").string());
    StartBulkImport(ctx, run);
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return reached; }));
    }
    EXPECT_TRUE(run.Running());
    view.SetText(Control::BulkPath, QString::fromStdString((dir / "b.txt").string()));
    StartBulkImport(ctx, run);
    EXPECT_EQ(run.Entries().size(), 2u);
    session.m_profile = 42;  // the operator picks another profile
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    run.Wait();

    EXPECT_EQ(card.Names(), (std::vector<std::string>{"CardVerify", "CardReadSeedInfo", "CardConfig", "CardBurnSeed",
                                                      "CardReadSeedInfo", "CardConfig", "CardBurnSeed"}));
    EXPECT_EQ(States(), (std::vector<QString>{"2-Successful operation", "1-Successful operation"}));
    EXPECT_EQ(session.m_profile, 42);

    card.ClearCalls();
    StartBulkImport(ctx, run);
    run.Wait();
    EXPECT_EQ(card.Names(), (std::vector<std::string>{"CardVerify", "CardDeleteSeed"}));
    EXPECT_EQ(run.Entries().size(), 1u);
    EXPECT_EQ(session.m_profile, 42);
}

// "Import from file": the path into its field, the bulk file as the seed
// source, an empty progress label; cancelling changes nothing.
TEST_F(BulkImportFlowTest, ChoosingAFileSetsThePathAndTheSeedSource) {
    int updates = 0;
    session.SetFieldUpdateHandler([&] { ++updates; });
    view.texts[Control::BulkPath] = "old.txt";
    view.texts[Control::Progress] = "Progress: 3/3";

    ChooseBulkFile(ctx);
    EXPECT_EQ(view.chooserFilters, QStringList{"Txt Files (*.txt)|*.txt|All Files (*.*)|*.*||"});
    EXPECT_EQ(view.Text(Control::BulkPath), "old.txt");
    EXPECT_EQ(view.Text(Control::Progress), "Progress: 3/3");
    EXPECT_EQ(session.g_seedSource, SeedSource::Typed);
    EXPECT_EQ(updates, 0);

    view.chosenFiles.push_back(QStringLiteral("/home/op/bulk files/token 7.txt"));
    ChooseBulkFile(ctx);
    EXPECT_EQ(view.Text(Control::BulkPath), "/home/op/bulk files/token 7.txt");
    EXPECT_TRUE(view.Text(Control::Progress).isEmpty());
    EXPECT_EQ(session.g_seedSource, SeedSource::Bulk);
    EXPECT_EQ(updates, 1);
    EXPECT_TRUE(card.Calls().empty());
}
