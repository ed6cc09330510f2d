// The provisioning actions against a scripted token: the library calls each
// makes, in order and with their arguments, and what the operator sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "provisioning/Provisioning.h"
#include "ScriptedCard.h"
#include "ToolTestFiles.h"
#include "ToolTestViews.h"

using namespace provisor;
using tooltest::CardCall;
using tooltest::RecordingView;
using tooltest::ScriptedCard;
namespace fs = std::filesystem;

namespace {

constexpr char kReader[] = "Virtual PCD 00 00";
constexpr char kKey[] = "00112233445566778899AABBCCDDEEFF";
constexpr char kUtc[] = "2026/12/07/10/11/12";
// "Hello" in base32, and its bytes.
constexpr char kHelloHex[] = "48656C6C6F";

using Names = std::vector<std::string>;

class ProvisioningFlow : public ::testing::Test {
protected:
    void SetUp() override {
        card.Reset();
        card.Install(session.cardApi, true);
        session.cardApi.Set<CardFn::GetSeed>(nullptr);
        session.g_readerName.Set(kReader);
        session.g_customerKey.Set(kKey);
        session.SetTokenInfo({"NV2A00000001", {}});
        session.m_profile = 5;
        view.texts[Control::UtcTime] = kUtc;
    }

    CardCall Find(const std::string& fn) const {
        for (const CardCall& c : card.Calls())
            if (c.fn == fn) return c;
        return {};
    }

    ScriptedCard& card = ScriptedCard::Instance();
    ManualClock clock;
    ToolSession session{&clock};
    RecordingView view;
    ToolContext ctx{session, view, nullptr};
};

TEST_F(ProvisioningFlow, ProvisionWritesConfigurationThenSeedAndAddsOneRow) {
    view.texts[Control::Seed] = " jbsw y3dp\t";
    view.texts[Control::Title] = "Bank";
    ProvisionProfile(ctx);

    EXPECT_EQ(view.texts[Control::Seed], "JBSWY3DP");  // normalised in the field before use
    EXPECT_EQ(card.Names(), (Names{"CardVerify", "CardReadSeedInfo", "CardConfig", "CardGetSeedFlag", "CardBurnSeed"}));
    EXPECT_EQ(Find("CardVerify").args, (std::vector<std::string>{kReader, kKey}));
    EXPECT_EQ(Find("CardReadSeedInfo").args, (std::vector<std::string>{kReader, "5", "out", "out", "out"}));
    // SHA1, 30 s, 6 digits, clear-seed NO, the UTC text, the title, Auto
    // Enter, and the token's remaining flags unchanged.
    EXPECT_EQ(Find("CardConfig").args,
              (std::vector<std::string>{kReader, kKey, "5", "SHA1", "30", "6", "0", kUtc, "Bank", "1", "32"}));
    EXPECT_EQ(Find("CardBurnSeed").args, (std::vector<std::string>{kReader, kKey, "5", kHelloHex, "5"}));
    ASSERT_EQ(view.Rows().size(), 1u);
    EXPECT_EQ(view.Rows()[0].serialNumber, "NV2A00000001");
    EXPECT_EQ(view.Rows()[0].state, "5-Successful operation");
    EXPECT_FALSE(view.Rows()[0].failed);
    EXPECT_EQ(view.counters, (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(view.enabledHistory,
              (std::vector<std::pair<Control, bool>>{{Control::Provision, false}, {Control::Provision, true}}));
    EXPECT_TRUE(view.Messages().isEmpty());
    EXPECT_FALSE(session.g_busy);

    // Every list's other entries, "No change" where the token keeps its own
    // value, and an empty title written as empty.
    card.ClearCalls();
    card.clearSeed = 1;
    card.autoEnter = 0;
    view.selections[Control::TimeStep] = choice::Step60;
    view.selections[Control::Algorithm] = choice::Sha256;
    view.selections[Control::OtpLength] = choice::Digits10;
    view.selections[Control::EnterKey] = choice::EnterNoChange;
    view.selections[Control::ClearSeed] = choice::ClearNoChange;
    view.selections[Control::TimeMode] = choice::TimeNoChange;
    view.texts[Control::Title] = "";
    view.texts[Control::UtcTime] = "";
    ProvisionProfile(ctx);
    EXPECT_EQ(Find("CardConfig").args,
              (std::vector<std::string>{kReader, kKey, "5", "SHA256", "60", "10", "1", "", "", "0", "32"}));
    card.ClearCalls();
    view.selections[Control::TimeStep] = choice::StepNoChange;
    view.selections[Control::Algorithm] = choice::AlgorithmNoChange;
    view.selections[Control::OtpLength] = choice::DigitsNoChange;
    view.selections[Control::ClearSeed] = choice::ClearYes;
    view.selections[Control::EnterKey] = choice::NoEnter;
    ProvisionProfile(ctx);
    EXPECT_EQ(Find("CardConfig").args,
              (std::vector<std::string>{kReader, kKey, "5", "", "-1", "-1", "1", "", "", "0", "32"}));
}

TEST_F(ProvisioningFlow, ProvisionFailuresEachAddOneFailedRowAndStopTheSequence) {
    // Only blanks and tabs: nothing after the authentication.
    view.texts[Control::Seed] = " \t  ";
    ProvisionProfile(ctx);
    EXPECT_EQ(card.Names(), Names{"CardVerify"});
    EXPECT_EQ(view.Messages(), QStringList{"No seed input!"});

    // "Manual time" with an empty UTC field: the library is not asked.
    card.ClearCalls();
    view.texts[Control::Seed] = "JBSWY3DP";
    view.texts[Control::UtcTime] = "";
    view.selections[Control::TimeMode] = choice::ManualTime;
    ProvisionProfile(ctx);
    EXPECT_EQ(card.Names(), Names{"CardVerify"});
    EXPECT_EQ(view.Messages().last(), "5-config failed![00001006]");

    // The token refuses the configuration.
    card.ClearCalls();
    view.texts[Control::UtcTime] = kUtc;
    card.Queue("CardConfig", 0x2001);
    ProvisionProfile(ctx);
    EXPECT_EQ(card.Names(), (Names{"CardVerify", "CardReadSeedInfo", "CardConfig"}));
    EXPECT_EQ(view.Messages().last(), "5-config failed![00002001]");

    // A seed that is not base32.
    card.ClearCalls();
    view.texts[Control::Seed] = "ABC1";
    ProvisionProfile(ctx);
    EXPECT_EQ(card.Names(), (Names{"CardVerify", "CardReadSeedInfo", "CardConfig"}));
    EXPECT_EQ(view.Messages().last(), "The seed has illegal characters!");

    // A failed seed write shows no message of its own here.
    card.ClearCalls();
    view.texts[Control::Seed] = "JBSWY3DP";
    card.Queue("CardBurnSeed", 0x1004);
    const qsizetype messages = view.Messages().size();
    ProvisionProfile(ctx);
    EXPECT_EQ(card.Names().back(), "CardBurnSeed");
    EXPECT_EQ(view.Messages().size(), messages);

    ASSERT_EQ(view.Rows().size(), 5u);
    for (const ResultRow& row : view.Rows()) {
        EXPECT_EQ(row.state, "5-Operation failed");
        EXPECT_TRUE(row.failed);
    }
    EXPECT_EQ(view.counters, (std::vector<int>{5, 0, 5}));
}

TEST_F(ProvisioningFlow, AuthenticationFailuresAreToldInTheOperatorsWords) {
    view.texts[Control::Seed] = "JBSWY3DP";
    const std::vector<std::pair<uint32_t, QString>> cases = {
        {0xC003, "5-Authentication failed, remaining 3 times"},
        {0xC010, "5-Authentication failed, remaining 16 times"},  // the whole low byte
        {0x1007, "Customer key is locked"},
        {0x1002, "5-Authentication failed, remaining unlimited times"},
        {0x0002, "5-Device not connected"},
        {0x0001, "5-Authentication process failed!"},
    };
    for (const auto& [status, text] : cases) {
        card.ClearCalls();
        card.Queue("CardVerify", status);
        ProvisionProfile(ctx);
        EXPECT_EQ(card.Names(), Names{"CardVerify"});
        EXPECT_EQ(view.Messages().last(), text);
        EXPECT_EQ(view.sink.entries.back().caption, "Keyloom");
        EXPECT_EQ(view.sink.entries.back().icon, MessageIcon::Error);
    }
    EXPECT_EQ(view.Rows().size(), cases.size());
}

TEST_F(ProvisioningFlow, OverwriteQuestionAndTheBusyFlag) {
    card.seedPresent[5] = true;
    view.texts[Control::Seed] = "JBSWY3DP";
    // While the question is open, "apply config conly" pressed in the
    // dialog does nothing: the flag is held.
    size_t callsWhileAsking = 0;
    view.sink.onQuestion = [&](const QString&) {
        callsWhileAsking = card.Calls().size();
        ApplyConfigOnly(ctx);
        EXPECT_EQ(card.Calls().size(), callsWhileAsking);
        return false;  // Cancel
    };
    ProvisionProfile(ctx);
    EXPECT_EQ(callsWhileAsking, 4u);
    EXPECT_EQ(view.Messages(),
              QStringList{"This operation will overwrite the seed stored \r\nunder profile #5. Are you sure?"});
    // The configuration is written, the old seed stays, the row is red.
    EXPECT_EQ(card.Names(), (Names{"CardVerify", "CardReadSeedInfo", "CardConfig", "CardGetSeedFlag"}));
    ASSERT_EQ(view.Rows().size(), 1u);
    EXPECT_TRUE(view.Rows()[0].failed);

    view.sink.onQuestion = nullptr;
    card.ClearCalls();
    ProvisionProfile(ctx);
    EXPECT_EQ(card.Names().back(), "CardBurnSeed");

    // Held by another action: nothing at all happens.
    session.g_busy = true;
    card.ClearCalls();
    ProvisionProfile(ctx);
    ApplyConfigOnly(ctx);
    EXPECT_TRUE(card.Calls().empty());
    EXPECT_EQ(view.Rows().size(), 2u);
    session.g_busy = false;

    // No reader connected: nothing either.
    session.g_readerName.Set("");
    ProvisionProfile(ctx);
    EXPECT_TRUE(card.Calls().empty());
}

TEST_F(ProvisioningFlow, ApplyConfigOnlyLeavesTheTitleAndReportsBothWays) {
    view.texts[Control::Title] = "Ignored";
    ApplyConfigOnly(ctx);
    EXPECT_EQ(card.Names(), (Names{"CardVerify", "CardReadSeedInfo", "CardConfig"}));
    EXPECT_EQ(Find("CardConfig").args[8], "<null>");
    EXPECT_EQ(view.Messages(), QStringList{"5-config success!"});
    EXPECT_EQ(view.sink.entries.back().icon, MessageIcon::Information);

    card.Queue("CardConfig", 0x6A80);
    ApplyConfigOnly(ctx);
    EXPECT_EQ(view.Messages().last(), "5-config failed![00006A80]");

    // An authentication failure adds no row.
    card.Queue("CardVerify", 0xC001);
    ApplyConfigOnly(ctx);
    ASSERT_EQ(view.Rows().size(), 2u);
    EXPECT_TRUE(view.Rows()[0].failed);
    EXPECT_FALSE(view.Rows()[1].failed);
}

TEST_F(ProvisioningFlow, ArmedWriteWritesOneTokenOnceWithOneRowAndOneLogLine) {
    const fs::path dir = tooltest::MakeTempDir("autowrite");
    OperationLog log;
    ASSERT_TRUE(log.Open(dir / "Norvik2-Log.txt"));
    ctx.log = &log;

    view.texts[Control::Seed] = "";
    ToggleWriteSeed(ctx);
    EXPECT_EQ(view.Messages(), QStringList{"Please select a seed file!"});
    EXPECT_FALSE(session.m_writeArmed);

    view.texts[Control::Seed] = "jbsw y3dp";
    ToggleWriteSeed(ctx);
    EXPECT_TRUE(session.m_writeArmed);
    EXPECT_EQ(view.texts[Control::WriteSeed], "Stop");
    EXPECT_EQ(view.texts[Control::Seed], "JBSWY3DP");
    ToggleWriteSeed(ctx);  // pressed again: disarmed without a write
    EXPECT_FALSE(session.m_writeArmed);
    EXPECT_EQ(view.texts[Control::WriteSeed], "write seed");
    ToggleWriteSeed(ctx);
    EXPECT_TRUE(card.Calls().empty());

    RunAutoWrite(ctx);
    EXPECT_EQ(card.Names(), (Names{"CardVerify", "CardGetSeedFlag", "CardBurnSeed"}));
    EXPECT_FALSE(session.m_writeArmed);
    EXPECT_FALSE(session.g_writePending);
    EXPECT_EQ(view.texts[Control::WriteSeed], "write seed");
    ASSERT_EQ(view.Rows().size(), 1u);
    EXPECT_EQ(view.Rows()[0].state, "5-Successful operation");

    // A library failure of the write is told, also when its code is 1.
    ToggleWriteSeed(ctx);
    card.Queue("CardBurnSeed", 0x0001);
    RunAutoWrite(ctx);
    EXPECT_EQ(view.Messages().last(), "5-CardBurnSeed failed![00000001]");
    log.Close();

    const std::string lines = tooltest::ReadFile(dir / "Norvik2-Log.txt");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2);
    EXPECT_NE(lines.find(" NV2A00000001 Success\r\n"), std::string::npos);
    EXPECT_NE(lines.find(" NV2A00000001 fail\r\n"), std::string::npos);
    EXPECT_EQ(lines[4], '-');  // "YYYY-MM-DD hh:mm:ss "
    EXPECT_EQ(lines[19], ' ');

    // No token known: nothing is attempted.
    session.SetTokenInfo({"", {}});
    card.ClearCalls();
    RunAutoWrite(ctx);
    EXPECT_TRUE(card.Calls().empty());
    EXPECT_EQ(view.Messages().last(), "No card detected!");
    fs::remove_all(dir);
}

TEST_F(ProvisioningFlow, SeedFileAndSeedProviderAsSources) {
    // The automatic write's seed, whatever the source: nothing after the
    // authentication when there is none.
    const auto write = [&] {
        card.ClearCalls();
        session.m_writeArmed = true;
        RunAutoWrite(ctx);
        return view.Rows().front();
    };
    const fs::path dir = tooltest::MakeTempDir("seedsrc");
    // The token's record need not be the first.
    tooltest::WriteFile(dir / "seeds.txt", "NV9Z00000009 MZXW6===\nNV2A00000001 JBSWY3DP\n");
    view.chosenFiles = {QString::fromStdString((dir / "seeds.txt").string())};
    LoadFromFile(ctx);
    EXPECT_EQ(view.chooserFilters.last(), "Txt Files (*.txt)|*.txt|Dll Files(*.dll)|*.dll|All Files (*.*)|*.*||");
    EXPECT_EQ(session.g_seedSource, SeedSource::SeedFile);
    EXPECT_TRUE(view.Messages().isEmpty());
    EXPECT_FALSE(write().failed);
    EXPECT_EQ(Find("CardBurnSeed").args[3], kHelloHex);

    // A token the file does not know: abandoned without a write or a word.
    session.SetTokenInfo({"NV2A00000077", {}});
    EXPECT_TRUE(write().failed);
    EXPECT_EQ(card.Names(), Names{"CardVerify"});
    session.SetTokenInfo({"NV2A00000001", {}});

    // A record that does not decode fails the load.
    tooltest::WriteFile(dir / "bad.txt", "NV2A00000001 jbswy3dp\n");
    view.chosenFiles = {QString::fromStdString((dir / "bad.txt").string())};
    LoadFromFile(ctx);
    EXPECT_EQ(view.Messages().last(), "Failed to load seed file!");
    EXPECT_EQ(view.texts[Control::Seed], "");

    // A provider library asked with the serial number.
    view.chosenFiles = {QStringLiteral(FAKE_PROVIDER_PATH)};
    LoadFromFile(ctx);
    EXPECT_EQ(session.g_seedSource, SeedSource::Provider);
    EXPECT_FALSE(write().failed);
    EXPECT_EQ(Find("CardBurnSeed").args[3], "3132333435363738393031323334353637383930");

    // One that claims more bytes than it was given room for is not trusted.
    view.chosenFiles = {QStringLiteral(FAKE_PROVIDER_OVERSIZE_PATH)};
    LoadFromFile(ctx);
    EXPECT_TRUE(write().failed);
    EXPECT_EQ(card.Names(), Names{"CardVerify"});

    // A library without GetSeed: reported, and no write calls anything.
    view.chosenFiles = {QStringLiteral(NO_PROVIDER_PATH)};
    LoadFromFile(ctx);
    EXPECT_EQ(view.Messages().last(), "Failed to load dynamic library!");
    EXPECT_EQ(session.g_seedSource, SeedSource::Provider);
    EXPECT_FALSE(session.cardApi.Has(CardFn::GetSeed));
    EXPECT_TRUE(write().failed);
    EXPECT_EQ(card.Names(), Names{"CardVerify"});

    // A provider that says yes but hands out no bytes is no seed either.
    card.Install(session.cardApi, true);
    card.providedSeedHex = "";
    EXPECT_TRUE(write().failed);
    EXPECT_EQ(card.Names(), (Names{"CardVerify", "GetSeed"}));

    // A cancelled chooser changes nothing.
    const QString field = view.texts[Control::Seed];
    const qsizetype messages = view.Messages().size();
    LoadFromFile(ctx);
    EXPECT_EQ(view.texts[Control::Seed], field);
    EXPECT_EQ(view.Messages().size(), messages) << "a write without a seed says nothing";
    fs::remove_all(dir);
}

// Every way a write can end, in one table: the step that failed, its
// status, the calls made up to it, and what the result says the token held
// and took.
TEST_F(ProvisioningFlow, EveryFailingStepOfAWriteIsItsResult) {
    struct Row {
        const char* what;
        ProfileAction action;
        std::function<void(ProfileWrite&)> arrange;
        ProfileWriteStep step;
        uint32_t status;
        Names calls;
        SeedFailure seedFailure = SeedFailure::None;
    };
    const Names all{"CardVerify", "CardReadSeedInfo", "CardConfig", "CardGetSeedFlag", "CardBurnSeed"};
    const auto upTo = [&](size_t n) { return Names(all.begin(), all.begin() + static_cast<long>(n)); };
    struct Declining : IOverwritePrompt {
        bool ConfirmOverwrite(int) override { return false; }
    } declining;
    const auto queue = [&](const char* fn, uint32_t status) {
        return [this, fn, status](ProfileWrite&) { card.Queue(fn, status); };
    };
    const std::vector<Row> rows = {
        {"written", ProfileAction::Provision, [](ProfileWrite&) {}, ProfileWriteStep::None, 0, all},
        {"key refused", ProfileAction::Provision, queue("CardVerify", 0xC003), ProfileWriteStep::Authenticate, 0xC003,
         upTo(1)},
        {"no seed input", ProfileAction::Provision,
         [](ProfileWrite& w) { w.seedSupplier.hasInput = [] { return false; }; }, ProfileWriteStep::SeedInput, 0,
         upTo(1), SeedFailure::NoInput},
        {"time to set, none given", ProfileAction::Provision,
         [](ProfileWrite& w) {
             w.clock = ClockChoice::Required;
             w.clockText.clear();
         },
         ProfileWriteStep::Configure, CARD_E_BAD_ARG, upTo(1)},
        {"profile unreadable", ProfileAction::Provision, queue("CardReadSeedInfo", 0x80100069),
         ProfileWriteStep::ReadInfo, 0x80100069, upTo(2)},
        {"configuration refused", ProfileAction::Provision, queue("CardConfig", 0x2001), ProfileWriteStep::Configure,
         0x2001, upTo(3)},
        {"seed text not base32", ProfileAction::Provision,
         [](ProfileWrite& w) {
             w.seedSupplier.take = [] {
                 SeedSupply s;
                 s.failure = SeedFailure::IllegalCharacters;
                 return s;
             };
         },
         ProfileWriteStep::SeedSource, 0, upTo(3), SeedFailure::IllegalCharacters},
        {"no bytes at all", ProfileAction::Provision, [](ProfileWrite& w) { w.seed = SecretBytes(); },
         ProfileWriteStep::SeedSource, 0, upTo(3), SeedFailure::Empty},
        {"seed flag unreadable", ProfileAction::Provision, queue("CardGetSeedFlag", 0x80100069),
         ProfileWriteStep::SeedFlag, 0x80100069, upTo(4)},
        {"overwrite declined", ProfileAction::Provision,
         [&](ProfileWrite& w) {
             card.seedPresent[5] = true;
             w.prompt = &declining;
         },
         ProfileWriteStep::Declined, 0, upTo(4)},
        {"seed refused", ProfileAction::Provision, queue("CardBurnSeed", 0x1004), ProfileWriteStep::Burn, 0x1004, all},
        {"held seed refused before anything", ProfileAction::Provision,
         [&](ProfileWrite& w) {
             card.seedPresent[5] = true;
             w.overwrite = Overwrite::Refuse;
         },
         ProfileWriteStep::Refused, 0, Names{"CardGetSeedFlag"}},
        {"held seed unknown", ProfileAction::Provision,
         [&](ProfileWrite& w) {
             card.Queue("CardGetSeedFlag", 0x80100069);
             w.overwrite = Overwrite::Refuse;
         },
         ProfileWriteStep::CheckHeldSeed, 0x80100069, Names{"CardGetSeedFlag"}},
        {"configuration only", ProfileAction::ApplyConfig, [](ProfileWrite&) {}, ProfileWriteStep::None, 0, upTo(3)},
        {"automatic write", ProfileAction::AutoWrite, [](ProfileWrite&) {}, ProfileWriteStep::None, 0,
         Names{"CardVerify", "CardGetSeedFlag", "CardBurnSeed"}},
        {"bulk line", ProfileAction::BulkEntry, [](ProfileWrite&) {}, ProfileWriteStep::None, 0,
         Names{"CardReadSeedInfo", "CardConfig", "CardBurnSeed"}},
    };
    const SecretBytes hello(std::string_view("Hello"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        card.Reset();
        card.Install(session.cardApi);
        ProfileWrite write;
        write.action = row.action;
        write.reader = kReader;
        write.profile = 5;
        write.serialNumber = "NV2A00000001";
        write.seed = hello;
        row.arrange(write);
        const ProfileWriteResult result = PerformProfileWrite(session.cardApi, kKey, write);
        EXPECT_EQ(result.failedStep, row.step);
        EXPECT_EQ(result.status, row.status);
        EXPECT_EQ(result.seedFailure, row.seedFailure);
        EXPECT_EQ(card.Names(), row.calls);
        EXPECT_EQ(result.serialNumber, "NV2A00000001");
        const bool burnt = row.step == ProfileWriteStep::None && row.action != ProfileAction::ApplyConfig;
        EXPECT_EQ(result.seedFingerprint, burnt ? SeedFingerprint(hello.span()) : "");
        EXPECT_EQ(card.seedPresent[5],
                  burnt || row.step == ProfileWriteStep::Declined || row.step == ProfileWriteStep::Refused);
        // What the token held, as far as the write got to ask.
        const Names calls = card.Names();
        const bool readInfo = std::find(calls.begin(), calls.end(), "CardReadSeedInfo") != calls.end() &&
                              row.step != ProfileWriteStep::ReadInfo;
        EXPECT_EQ(result.before.keptFlags, readInfo ? std::optional<int32_t>(0x20) : std::nullopt);
        EXPECT_EQ(result.before.autoEnter,
                  readInfo && row.action != ProfileAction::BulkEntry ? std::optional<int32_t>(1) : std::nullopt);
    }
    // The flags the write keeps come from the token; the bulk line's Enter
    // setting is its own.
    card.Reset();
    card.Install(session.cardApi);
    card.clearSeed = 1;
    ProfileWrite bulk;
    bulk.action = ProfileAction::BulkEntry;
    bulk.reader = kReader;
    bulk.seed = hello;
    bulk.algorithm = "SHA256";
    bulk.title = "";
    bulk.clock = ClockChoice::Omit;
    bulk.autoEnter = false;
    EXPECT_TRUE(PerformProfileWrite(session.cardApi, kKey, bulk).Succeeded());
    EXPECT_EQ(Find("CardReadSeedInfo").args, (std::vector<std::string>{kReader, "0", "out", "<null>", "out"}));
    EXPECT_EQ(Find("CardConfig").args,
              (std::vector<std::string>{kReader, kKey, "0", "SHA256", "-1", "-1", "1", "<null>", "", "0", "32"}));
}

}  // namespace
