#include <gtest/gtest.h>

#include <filesystem>

#include "AccessKeyEntry.h"
#include "AccessKeyFlows.h"
#include "FlowFixture.h"
#include "IniFile.h"
#include "KeyStorage.h"
#include "ProvisorStartup.h"
#include "ToolTestFiles.h"

using namespace provisor;
using namespace tooltest;
namespace fs = std::filesystem;

namespace {

constexpr char kNewKey[] = "A1B2C3D4E5F60718293A4B5C6D7E8F90";

struct NoPrompt : IAccessKeyPrompt {
    std::optional<QString> AskAccessKey() override { return std::nullopt; }
};
struct NoStartupView : IStartupView {
    void CreateResultColumns(const std::vector<ResultColumn>&) override {}
    void ResetSessionState() override {}
    void RequestClose() override {}
};

// The configuration file of a tool "installed" in a temporary directory.
class AccessKeyFlows : public FlowTest {
protected:
    void SetUp() override {
        FlowTest::SetUp();
        ASSERT_TRUE(startup.SaveCustomerKey(kKey));
    }
    void TearDown() override {
        fs::remove_all(dir);
        FlowTest::TearDown();
    }
    StartupEnvironment Env(const fs::path& configDir) {
        StartupEnvironment env;
        env.exeDir = configDir;
        return env;
    }
    // What the next start of the tool would authenticate with.
    std::string KeyAtNextStart() {
        CustomerKeyText key;
        ProvisorStartup next(Env(dir), view.sink, prompt, startupView, api, key);
        next.LoadCustomerKey();
        return key.Get();
    }

    fs::path dir = MakeTempDir("keyflows");
    NoPrompt prompt;
    NoStartupView startupView;
    ProvisorStartup startup{Env(dir), view.sink, prompt, startupView, api};
};

TEST_F(AccessKeyFlows, ChangeKeyChecksTheKeyThenChangesItOnlyInTheTool) {
    g_readerName.Set({});
    view.texts[Control::HexKey] = kNewKey;
    ChangeKey(ctx);
    EXPECT_TRUE(card.Calls().empty());
    EXPECT_TRUE(TakeMessages().empty());
    g_readerName.Set(kReader);

    // Malformed keys never reach the token. More than 16 plain characters
    // give more than 32 digits, which the ascii aid does not cut.
    view.texts[Control::AsciiKey] = QStringLiteral("abc");
    OnAsciiKeyChanged(ctx);
    EXPECT_EQ(view.texts[Control::HexKey], QStringLiteral("616263"));
    view.texts[Control::AsciiKey] = QStringLiteral("0123456789abcdefg");
    OnAsciiKeyChanged(ctx);
    EXPECT_EQ(view.texts[Control::HexKey].size(), 34);
    const QString thirtyOne = QString::fromLatin1(kNewKey).left(31);
    for (const QString& bad : {view.texts[Control::HexKey], thirtyOne, QStringLiteral("0g") + thirtyOne.left(30),
                               QString()}) {
        view.texts[Control::HexKey] = bad;
        ChangeKey(ctx);
        const auto messages = TakeMessages();
        ASSERT_EQ(messages.size(), 1u) << bad.toStdString();
        EXPECT_EQ(messages[0].text, kKeyFormatError);
        EXPECT_EQ(messages[0].caption, QStringLiteral("Keyloom"));
    }
    EXPECT_TRUE(card.Calls().empty());
    EXPECT_TRUE(view.Rows().empty());

    // Accepted: the old key authenticates and authorises the change; the
    // busy flag is not needed for it.
    g_busy = true;
    state.m_profile = 3;
    view.texts[Control::HexKey] = kNewKey;
    ChangeKey(ctx);
    auto calls = Take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].fn, "CardVerify");
    EXPECT_EQ(calls[0].args, (Args{kReader, kKey}));
    EXPECT_EQ(calls[1].fn, "CardChangeKey");
    EXPECT_EQ(calls[1].args, (Args{kReader, kKey, kNewKey}));
    auto messages = TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, kChangeKeySuccess);
    EXPECT_EQ(messages[0].icon, MessageIcon::Information);
    ASSERT_EQ(view.Rows().size(), 1u);
    EXPECT_EQ(view.Rows()[0].state, QStringLiteral("3-Successful operation"));
    EXPECT_FALSE(view.Rows()[0].failed);
    EXPECT_EQ(g_customerKey.Get(), kNewKey);

    // The tool uses the new key at once; refusals leave it in place.
    view.texts[Control::HexKey] = QStringLiteral("00");
    const std::pair<uint32_t, QString> refusals[] = {{0x3002, QStringLiteral("Time out!")},
                                                     {0x3003, QStringLiteral("User cancel!")},
                                                     {0x1008, QStringLiteral("Change customer key failed![00001008]")}};
    for (const auto& [status, text] : refusals) {
        card.Queue("CardChangeKey", status);
        ChangeKey(ctx);
        calls = Take();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].args, (Args{kReader, kNewKey}));
        EXPECT_EQ(calls[1].args, (Args{kReader, kNewKey, "00"}));
        messages = TakeMessages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].text, text);
        EXPECT_EQ(messages[0].icon, MessageIcon::Error);
        EXPECT_TRUE(view.Rows()[0].failed);
        EXPECT_EQ(g_customerKey.Get(), kNewKey);
    }
    EXPECT_EQ(view.Rows().size(), 4u);

    // A failed authentication shows only its own message and adds no row.
    card.Queue("CardVerify", 0xC002);
    ChangeKey(ctx);
    EXPECT_EQ(TakeNames(), (Names{"CardVerify"}));
    EXPECT_EQ(TakeMessages().size(), 1u);
    EXPECT_EQ(view.Rows().size(), 4u);

    // The file was never written: a restart brings the old key back.
    EXPECT_EQ(KeyAtNextStart(), kKey);
}

TEST_F(AccessKeyFlows, FactoryResetAuthenticatesWithTheDefaultKeyAndTurnsTheKeypadOff) {
    g_busy = true;
    const std::pair<uint32_t, QString> refusals[] = {{0x3002, QStringLiteral("Time out!")},
                                                     {0x3003, QStringLiteral("User cancel!")},
                                                     {0x1008, QStringLiteral("Init key failed![00001008]")}};
    for (const auto& [status, text] : refusals) {
        card.Queue("CardInitKey", status);
        FactoryReset(ctx);
        EXPECT_EQ(TakeNames(), (Names{"CardInitKey"}));
        const auto messages = TakeMessages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].text, text);
        EXPECT_EQ(messages[0].icon, MessageIcon::Error);
        EXPECT_EQ(g_customerKey.Get(), kKey);
    }

    const std::string factory = kFactoryDefaultKey.toStdString();
    FactoryReset(ctx);
    auto calls = Take();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].fn, "CardInitKey");
    EXPECT_EQ(calls[0].args, (Args{kReader}));
    EXPECT_EQ(calls[1].fn, "CardVerify");
    EXPECT_EQ(calls[1].args, (Args{kReader, factory}));
    EXPECT_EQ(calls[2].fn, "CardSetkeypad");
    EXPECT_EQ(calls[2].args, (Args{kReader, factory, "0"}));
    auto messages = TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, QStringLiteral("Restore successfully."));
    EXPECT_EQ(messages[0].icon, MessageIcon::Information);
    EXPECT_EQ(g_customerKey.Get(), factory);

    // A token that then refuses the default key still counts as reset.
    card.Queue("CardVerify", 0x1007);
    FactoryReset(ctx);
    EXPECT_EQ(TakeNames(), (Names{"CardInitKey", "CardVerify", "CardSetkeypad"}));
    messages = TakeMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, QStringLiteral("Customer key is locked"));
    EXPECT_EQ(messages[1].text, QStringLiteral("Restore successfully."));

    EXPECT_TRUE(view.Rows().empty());
    EXPECT_EQ(ReadIniValue(startup.ConfigPath(), kConfigSection, kConfigKeyName), EncipherKeyForStorage(kKey));

    g_readerName.Set({});
    FactoryReset(ctx);
    EXPECT_TRUE(card.Calls().empty());
}

TEST_F(AccessKeyFlows, AccessKeyMenuStoresTheKeyWithoutContactingTheToken) {
    const fs::path file = startup.ConfigPath();
    view.accessKeyAnswer = std::nullopt;
    OnAccessKeyMenu(ctx, startup);
    EXPECT_EQ(view.accessKeyPrompts, 1);
    EXPECT_EQ(g_customerKey.Get(), kKey);

    view.accessKeyAnswer = QString::fromLatin1(kNewKey);
    OnAccessKeyMenu(ctx, startup);
    EXPECT_EQ(g_customerKey.Get(), kNewKey);
    EXPECT_EQ(ReadIniValue(file, kConfigSection, kConfigKeyName), EncipherKeyForStorage(kNewKey));

    // An empty key is stored empty and then used as it is.
    view.accessKeyAnswer = QString();
    OnAccessKeyMenu(ctx, startup);
    EXPECT_EQ(ReadIniValue(file, kConfigSection, kConfigKeyName), std::string());
    EXPECT_EQ(g_customerKey.Get(), "");
    EXPECT_TRUE(card.Calls().empty());
    EXPECT_TRUE(TakeMessages().empty());
    AuthenticateToken(ctx);
    EXPECT_EQ(Take()[0].args, (Args{kReader, ""}));

    // A file that cannot be written: the operator learns where and why, and
    // the key still serves this session.
    ProvisorStartup unwritable(Env(dir / "missing"), view.sink, prompt, startupView, api);
    view.accessKeyAnswer = QString::fromLatin1(kNewKey);
    OnAccessKeyMenu(ctx, unwritable);
    const auto messages = TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].text.contains(QString::fromStdString((dir / "missing" / kConfigFileName).string())));
    EXPECT_TRUE(messages[0].text.contains(QStringLiteral("cannot be written")));
    EXPECT_EQ(messages[0].caption, QStringLiteral("Keyloom"));
    EXPECT_EQ(g_customerKey.Get(), kNewKey);
    EXPECT_TRUE(card.Calls().empty());
}

}  // namespace
