#include <filesystem>

#include "accesskey/AccessKeyEntry.h"
#include "accesskey/AccessKeyFlows.h"
#include "FlowFixture.h"
#include "formats/IniFile.h"
#include "session/KeyStorage.h"
#include "session/ProvisorStartup.h"
#include "ToolTestFiles.h"

using namespace provisor;
using namespace tooltest;
namespace fs = std::filesystem;

namespace {

struct NoPrompt : IAccessKeyPrompt {
    std::optional<QString> AskAccessKey() override { return std::nullopt; }
};
struct NoStartupView : IStartupView {
    void CreateResultColumns(const std::vector<ResultColumn>&) override {}
    void ResetSessionState() override {}
    void RequestClose() override {}
};

// A tool whose configuration file, in a temporary directory, holds "AB".
class AccessKeyFlows : public FlowTest {
protected:
    void SetUp() override {
        FlowTest::SetUp();
        ASSERT_TRUE(startup.SaveCustomerKey("AB"));
    }
    void TearDown() override {
        fs::remove_all(dir);
        FlowTest::TearDown();
    }
    static StartupEnvironment Env(const fs::path& d) { return {d, d, {}, {}}; }
    std::string StoredKey() { return ReadIniValue(startup.ConfigPath(), "CONFIG", "CUSTOMER_KEY").value_or("-"); }

    fs::path dir = MakeTempDir("keyflows");
    NoPrompt prompt;
    NoStartupView startupView;
    ProvisorStartup startup{Env(dir), view.sink, prompt, startupView, session};
};

TEST_F(AccessKeyFlows, ChangeKeyChangesOnlyTheToolsKey) {
    const std::string key = "A1B2C3D4E5F60718293A4B5C6D7E8F90";
    view.texts[Control::AsciiKey] = QStringLiteral("abc");
    OnAsciiKeyChanged(ctx);
    EXPECT_EQ(view.texts[Control::HexKey], QStringLiteral("616263"));
    // 17 characters give 34 digits, not cut: refused like 31 digits, a "g"
    // or nothing, without a word to the token.
    view.texts[Control::AsciiKey] = QStringLiteral("0123456789abcdefg");
    OnAsciiKeyChanged(ctx);
    for (const std::string& bad :
         {view.texts[Control::HexKey].toStdString(), key.substr(1), "0g" + key.substr(2), std::string()}) {
        view.texts[Control::HexKey] = QString::fromStdString(bad);
        ChangeKey(ctx);
        EXPECT_EQ(Texts(), Strings{kKeyFormatError.toStdString()}) << bad;
    }
    EXPECT_EQ(Calls(), Strings{});

    session.g_busy = true;  // not needed
    session.m_profile = 3;
    view.texts[Control::HexKey] = QString::fromStdString(key);
    ChangeKey(ctx);
    EXPECT_EQ(Calls(), (Strings{"CardVerify(R,AB)", "CardChangeKey(R,AB," + key + ")"}));
    const auto success = Messages();
    EXPECT_EQ(success.at(0).text, kChangeKeySuccess);
    EXPECT_EQ(success.at(0).icon, MessageIcon::Information);
    EXPECT_EQ(view.Rows().at(0).state, QStringLiteral("3-Successful operation"));
    EXPECT_FALSE(view.Rows().at(0).failed);

    // The new key serves at once; refusals keep it.
    view.texts[Control::HexKey] = QStringLiteral("00");
    for (uint32_t status : {0x3002u, 0x3003u, 0x1008u}) {
        card.Queue("CardChangeKey", status);
        ChangeKey(ctx);
    }
    card.Queue("CardVerify", 0xC002);
    ChangeKey(ctx);
    EXPECT_EQ(Calls()[0], "CardVerify(R," + key + ")");
    EXPECT_EQ(Texts(), (Strings{"Time out!", "User cancel!", "Change customer key failed![00001008]",
                                "3-Authentication failed, remaining 2 times"}));
    EXPECT_EQ(view.Rows().size(), 4u);
    EXPECT_TRUE(view.Rows().at(0).failed);
    EXPECT_EQ(session.g_customerKey.Get(), key);

    // The file keeps the old key, which a restart brings back.
    ToolSession restarted;
    ProvisorStartup next(Env(dir), view.sink, prompt, startupView, restarted);
    next.LoadCustomerKey();
    EXPECT_EQ(restarted.g_customerKey.Get(), "AB");
}

TEST_F(AccessKeyFlows, FactoryReset) {
    const std::string factory = kFactoryDefaultKey.toStdString();
    for (uint32_t status : {0x3002u, 0x3003u, 0x1008u}) {
        card.Queue("CardInitKey", status);
        FactoryReset(ctx);
    }
    EXPECT_EQ(Texts(), (Strings{"Time out!", "User cancel!", "Init key failed![00001008]"}));
    EXPECT_EQ(Calls(), Strings(3, "CardInitKey(R)"));
    EXPECT_EQ(session.g_customerKey.Get(), "AB");

    session.g_busy = true;  // not needed
    FactoryReset(ctx);
    card.Queue("CardVerify", 0x1007);  // a reset token refusing the default key is still reset
    FactoryReset(ctx);
    const Strings once{"CardInitKey(R)", "CardVerify(R," + factory + ")", "CardSetkeypad(R," + factory + ",0)"};
    Strings twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(Calls(), twice);
    EXPECT_EQ(Texts(), (Strings{"Restore successfully.", "Customer key is locked", "Restore successfully."}));
    EXPECT_TRUE(view.Rows().empty());
    EXPECT_EQ(session.g_customerKey.Get(), factory);
    EXPECT_EQ(StoredKey(), EncipherKeyForStorage("AB"));
}

TEST_F(AccessKeyFlows, AccessKeyMenuStoresWithoutContactingTheToken) {
    OnAccessKeyMenu(ctx, startup);  // left without a key
    EXPECT_EQ(session.g_customerKey.Get(), "AB");
    view.accessKeyAnswer = QStringLiteral("00112233");
    OnAccessKeyMenu(ctx, startup);
    EXPECT_EQ(StoredKey(), EncipherKeyForStorage("00112233"));
    view.accessKeyAnswer = QString();
    OnAccessKeyMenu(ctx, startup);
    EXPECT_EQ(StoredKey(), "");
    EXPECT_EQ(Calls(), Strings{});
    AuthenticateToken(ctx);
    EXPECT_EQ(Calls(), Strings{"CardVerify(R,)"});

    // An unwritable file: the operator is told where and why; the key
    // still serves this session.
    ProvisorStartup unwritable(Env(dir / "missing"), view.sink, prompt, startupView, session);
    view.accessKeyAnswer = QStringLiteral("0011");
    OnAccessKeyMenu(ctx, unwritable);
    const auto warning = Messages();
    ASSERT_EQ(warning.size(), 1u);
    EXPECT_TRUE(warning[0].text.contains(QString::fromStdString(unwritable.ConfigPath().string()) +
                                         QStringLiteral(" cannot be written")));
    EXPECT_EQ(warning[0].caption, QStringLiteral("Keyloom"));
    EXPECT_EQ(session.g_customerKey.Get(), "0011");
}

}  // namespace
