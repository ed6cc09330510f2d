#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "formats/IniFile.h"
#include "session/KeyStorage.h"
#include "session/ProvisorStartup.h"
#include "ToolTestViews.h"
#include "ToolTestFiles.h"

using namespace provisor;
using tooltest::RecordingMessageSink;
namespace fs = std::filesystem;

namespace {

using tooltest::ReadFile;
using tooltest::WriteFile;

unsigned Mode(const fs::path& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

int32_t FakeGetSeed(const char*, int32_t, uint8_t*, int32_t*) { return 0; }

struct FakeView : IStartupView {
    void CreateResultColumns(const std::vector<ResultColumn>& c) override { columns = c; }
    void ResetSessionState() override { ++resets; }
    void RequestClose() override { closeRequested = true; }
    std::vector<ResultColumn> columns;
    int resets = 0;
    bool closeRequested = false;
};

struct FakePrompt : IAccessKeyPrompt {
    std::optional<QString> AskAccessKey() override {
        ++calls;
        return answer ? answer() : std::nullopt;
    }
    std::function<std::optional<QString>()> answer;
    int calls = 0;
};

// A temporary executable directory (with or without the library) and a
// separate working directory; the process works in the latter meanwhile.
class Startup : public ::testing::Test, protected tooltest::ExeAndWorkDirs {
protected:
    void SetUp() override { Enter("startup"); }
    void TearDown() override { Leave(); }

    void InstallLibrary() { tooltest::InstallFakeLibrary(exeDir); }

    // One start of the tool: binds, reads or creates the configuration,
    // opens the log, and releases everything at the end as the dialog does.
    std::string Start(std::function<void(ProvisorStartup&)> during = {}) {
        ProvisorStartup startup(env(), sink, prompt, view, session);
        startup.BindCardLibrary();
        if (during) during(startup);
        startup.Release();
        return session.g_customerKey.Get();
    }
    StartupEnvironment env() const {
        StartupEnvironment e;
        e.exeDir = exeDir;
        e.libraryName = libraryName;
        return e;
    }
    fs::path ConfigFile() const { return exeDir / "Norvik2Cfg.ini"; }
    std::string StoredKey() const { return ReadIniValue(ConfigFile(), "CONFIG", "CUSTOMER_KEY").value_or("<none>"); }

    RecordingMessageSink sink;
    FakePrompt prompt;
    FakeView view;
    ToolSession session;
    CardApi& api = session.cardApi;
    std::string libraryName = kCardLibraryName;
};

// Checks, export by export, that the table entry is the library's symbol of
// that very name (not merely some non-null address).
template <size_t... I>
void ExpectEachEntryIsItsOwnExport(const CardApi& api, const CardLibrary& library, std::index_sequence<I...>) {
    const void* entries[] = {reinterpret_cast<const void*>(api.Get<static_cast<CardFn>(I)>())...};
    for (size_t i = 0; i < sizeof...(I); ++i)
        EXPECT_EQ(entries[i], library.Symbol(kCardExportNames[i])) << kCardExportNames[i];
}

}  // namespace

TEST_F(Startup, FirstStartCreatesDefaultFileAsksForKeyAndStoresItEnciphered) {
    InstallLibrary();
    prompt.answer = [&]() -> std::optional<QString> {
        EXPECT_EQ(ReadFile(ConfigFile()), "[CONFIG]\r\nCUSTOMER_KEY=5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A\r\n");
        EXPECT_EQ(Mode(ConfigFile()), 0600u);
        return QStringLiteral("00112233445566778899aabbccddeeff");
    };
    EXPECT_EQ(Start(), "00112233445566778899aabbccddeeff");  // exactly as entered
    EXPECT_EQ(prompt.calls, 1);
    EXPECT_TRUE(sink.entries.empty());

    const std::string stored = StoredKey();
    EXPECT_EQ(stored.size(), 32u);
    EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos) << stored;
    EXPECT_NE(stored, "00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(ReadFile(ConfigFile()), "[CONFIG]\r\nCUSTOMER_KEY=" + stored + "\r\n");
    EXPECT_EQ(Mode(ConfigFile()), 0600u);
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(exeDir)) names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"Norvik2Cfg.ini", "libQuillon.so"}));  // no temporary left

    EXPECT_EQ(Start(), "00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(prompt.calls, 1);  // not asked again
}

TEST_F(Startup, ShortAndOddKeysAreStoredPlain) {
    InstallLibrary();
    prompt.answer = [] { return std::optional<QString>(QStringLiteral("deadbeef")); };
    EXPECT_EQ(Start(), "deadbeef");
    EXPECT_EQ(StoredKey(), "DEADBEEF");
    EXPECT_EQ(Start(), "DEADBEEF");

    fs::remove(ConfigFile());
    prompt.answer = [] { return std::optional<QString>(QStringLiteral("12345")); };
    EXPECT_EQ(Start(), "12345");
    EXPECT_EQ(StoredKey(), "1234");  // the odd digit is lost
    EXPECT_EQ(Start(), "1234");
}

TEST_F(Startup, StoredTextDecodingAndRefusal) {
    InstallLibrary();
    // No key in the file: the default is deciphered as if it were stored.
    WriteFile(ConfigFile(), "[CONFIG]\r\n");
    const std::string fromDefault = Start();
    EXPECT_EQ(fromDefault, DecipherStoredKey("5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A"));
    EXPECT_EQ(fromDefault, "0BB746E21DCAD951F03E130A1864619B");  // OpenSSL: SM4-ECB decryption of 5A..5A

    // A file written by an earlier start loads the key it was written with;
    // a shorter key was kept as it is, in either case.
    WriteFile(ConfigFile(), "[CONFIG]\r\nCUSTOMER_KEY=3484D8C1602CC7ABC3DC22C456AD3CB1\r\n");
    EXPECT_EQ(Start(), "00112233445566778899AABBCCDDEEFF");
    WriteFile(ConfigFile(), "[CONFIG]\r\nCUSTOMER_KEY=0a0b\r\n");
    EXPECT_EQ(Start(), "0A0B");
    EXPECT_TRUE(sink.entries.empty());

    // Anything the tool could not have written would be decoded into a key
    // nobody chose: no key at all is loaded, with the message for a file
    // that cannot be read.
    for (const std::string& bad :
         std::vector<std::string>{"Z01Z", "hello", std::string(32, 'Z'), "ABC", std::string(34, 'A'),
                                  "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"}) {
        sink.entries.clear();
        WriteFile(ConfigFile(), "[CONFIG]\r\nCUSTOMER_KEY=" + bad + "\r\n");
        EXPECT_EQ(Start(), "") << bad;
        ASSERT_EQ(sink.entries.size(), 1u) << bad;
        EXPECT_EQ(sink.entries[0].text,
                  ConfigUnreadableMessage(ConfigFile(), QStringLiteral("its CUSTOMER_KEY value is not a key this tool "
                                                                       "stored")));
        EXPECT_TRUE(sink.entries[0].text.contains("No access key is loaded"));
        EXPECT_EQ(sink.entries[0].icon, MessageIcon::Error);
    }
    EXPECT_EQ(prompt.calls, 0);
}

TEST_F(Startup, LeavingTheKeyDialogWithoutAKeyEndsTheTool) {
    InstallLibrary();
    EXPECT_EQ(Start(), "");
    EXPECT_EQ(prompt.calls, 1);
    EXPECT_TRUE(view.closeRequested);
    EXPECT_EQ(ReadFile(ConfigFile()), std::string(kDefaultConfigContent));
    // The next start reads the default that stayed on disk.
    view.closeRequested = false;
    EXPECT_EQ(Start(), DecipherStoredKey(kDefaultStoredKey));
    EXPECT_FALSE(view.closeRequested);
}

TEST_F(Startup, MissingLibrarySkipsTheRestOfBinding) {
    api.Set<CardFn::GetSeed>(&FakeGetSeed);
    EXPECT_EQ(Start(), "");
    EXPECT_EQ(sink.Texts(), QStringList{"Load library failed"});
    EXPECT_EQ(sink.entries[0].caption, "Keyloom");
    EXPECT_EQ(sink.entries[0].icon, MessageIcon::Error);
    EXPECT_TRUE(view.columns.empty());
    EXPECT_EQ(view.resets, 0);
    EXPECT_EQ(prompt.calls, 0);
    EXPECT_FALSE(fs::exists(ConfigFile()));
    EXPECT_FALSE(fs::exists(workDir / "Norvik2-Log.txt"));
    for (size_t i = 0; i < kCardExportCount; ++i) EXPECT_FALSE(api.Has(static_cast<CardFn>(i))) << i;
    EXPECT_FALSE(api.Call<CardFn::CardVerify>("reader", "key").has_value());
}

TEST_F(Startup, BindingResolvesPresentNamesAndLeavesMissingOnesEmpty) {
    InstallLibrary();
    WriteFile(ConfigFile(), "[CONFIG]\r\nCUSTOMER_KEY=00\r\n");
    api.Set<CardFn::GetSeed>(&FakeGetSeed);  // cleared by binding
    Start([&](ProvisorStartup& startup) {
        EXPECT_TRUE(startup.LibraryLoaded());
        const std::set<CardFn> present{CardFn::CardInitKey, CardFn::CardVerify, CardFn::CardChangeKey,
                                       CardFn::CardReadSnAndTime};
        for (size_t i = 0; i <= kCardExportCount; ++i)
            EXPECT_EQ(api.Has(static_cast<CardFn>(i)), present.count(static_cast<CardFn>(i)) == 1)
                << (i < kCardExportCount ? kCardExportNames[i] : "GetSeed");
        EXPECT_EQ(api.Call<CardFn::CardVerify>("r", "00112233445566778899AABBCCDDEEFF"), std::optional<uint32_t>(0));
        EXPECT_EQ(api.Call<CardFn::CardInitKey>("r"), std::optional<uint32_t>(0x11));
        EXPECT_FALSE(api.Call<CardFn::CardSeal>("r", "k").has_value());
        int32_t present32 = 7;
        EXPECT_FALSE(api.Call<CardFn::CardGetSeedFlag>("r", 0, &present32).has_value());
        EXPECT_EQ(present32, 7);
    });
    ASSERT_EQ(view.columns.size(), 2u);
    EXPECT_EQ(view.columns[0].title, "Serial Number");
    EXPECT_EQ(view.columns[0].width, 280);
    EXPECT_EQ(view.columns[1].title, "State");
    EXPECT_EQ(view.columns[1].width, 180);
    EXPECT_EQ(view.resets, 1);
    // Released: nothing left to call into.
    for (size_t i = 0; i <= kCardExportCount; ++i) EXPECT_FALSE(api.Has(static_cast<CardFn>(i))) << i;
    EXPECT_EQ(kCardExportNames.front(), std::string("CardInitKey"));
    EXPECT_EQ(kCardExportNames.back(), std::string("CardScreenUnLock"));
    EXPECT_EQ(kCardExportNames.size(), 19u);
}

TEST_F(Startup, BindingTheBuiltLibraryResolvesAllNineteenNames) {
    // libQuillon.so as this build made it, named by its full path.
    libraryName = QUILLON_LIBRARY_PATH;
    WriteFile(ConfigFile(), std::string(kDefaultConfigContent));
    api.Set<CardFn::GetSeed>(&FakeGetSeed);
    CardLibrary reference;
    ASSERT_TRUE(reference.Load({}, QUILLON_LIBRARY_PATH));
    Start([&](ProvisorStartup& startup) {
        ASSERT_TRUE(startup.LibraryLoaded());
        for (size_t i = 0; i < kCardExportCount; ++i)
            EXPECT_TRUE(api.Has(static_cast<CardFn>(i))) << kCardExportNames[i];
        EXPECT_FALSE(api.Has(CardFn::GetSeed));  // not an export of Quillon
        ExpectEachEntryIsItsOwnExport(api, reference, std::make_index_sequence<kCardExportCount>{});
    });
    EXPECT_TRUE(sink.entries.empty());
}

TEST_F(Startup, LibraryBesideTheExecutableComesFirstThenTheLoaderSearchPath) {
    // A name the loader finds on its own (the PC/SC library is always
    // installed), first with a stand-in of that name beside the executable.
    const char* onSearchPath = "libpcsclite.so.1";
    fs::copy_file(FAKE_QUILLON_PATH, exeDir / onSearchPath);
    CardLibrary library;
    ASSERT_TRUE(library.Load(exeDir, onSearchPath));
    EXPECT_NE(library.Symbol("CardVerify"), nullptr);  // the stand-in
    EXPECT_EQ(library.Symbol("SCardEstablishContext"), nullptr);

    // Nothing beside the executable: the plain name goes to the loader.
    fs::remove(exeDir / onSearchPath);
    ASSERT_TRUE(library.Load(exeDir, onSearchPath));
    EXPECT_NE(library.Symbol("SCardEstablishContext"), nullptr);
    EXPECT_EQ(library.Symbol("CardVerify"), nullptr);

    EXPECT_FALSE(library.Load(exeDir, "libQuillonNowhere.so"));
    EXPECT_FALSE(library.IsLoaded());
    EXPECT_EQ(library.Symbol("SCardEstablishContext"), nullptr);
}

TEST_F(Startup, UnwritableConfigurationIsReportedAndStartGoesOn) {
    // Library found through its own path; the configuration's directory
    // cannot be made (a file stands in its way).
    WriteFile(exeDir / "blocked", "");
    StartupEnvironment e;
    e.exeDir = exeDir;
    e.configDir = exeDir / "blocked" / "norvik2";
    e.libraryName = FAKE_QUILLON_PATH;
    {
        ProvisorStartup startup(e, sink, prompt, view, session);
        startup.BindCardLibrary();
        EXPECT_TRUE(startup.Log().IsGood());
    }
    EXPECT_EQ(sink.Texts(), QStringList{"Failed to create the configuration file!"});
    EXPECT_EQ(prompt.calls, 0);
    EXPECT_EQ(session.g_customerKey.Get(), "");
    EXPECT_TRUE(fs::exists(workDir / "Norvik2-Log.txt"));
}

TEST_F(Startup, InstalledCopiesKeepTheirConfigurationInTheUsersConfigDirectory) {
    // A portable copy keeps it beside itself; a system program directory, or
    // one nobody can write (procfs refuses even root), sends it to
    // $XDG_CONFIG_HOME/norvik2, else ~/.config/norvik2.
    const fs::path xdg = workDir / "xdg";
    setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    EXPECT_EQ(ConfigDirectoryFor(exeDir), exeDir);
    EXPECT_EQ(ConfigDirectoryFor("/usr/bin"), xdg / "norvik2");
    EXPECT_EQ(ConfigDirectoryFor("/proc"), xdg / "norvik2");
    const char* home = getenv("HOME");
    const std::string savedHome = home ? home : "";
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", "/home/operator", 1);
    EXPECT_EQ(ConfigDirectoryFor("/usr/local/bin"), fs::path("/home/operator/.config/norvik2"));
    setenv("HOME", savedHome.c_str(), 1);

    // First start there: directory and file for the owner only.
    setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    StartupEnvironment e;
    e.exeDir = "/proc";
    e.libraryName = FAKE_QUILLON_PATH;
    prompt.answer = [] { return std::optional<QString>(QStringLiteral("0011")); };
    {
        ProvisorStartup startup(e, sink, prompt, view, session);
        startup.BindCardLibrary();
        EXPECT_EQ(startup.ConfigPath(), xdg / "norvik2" / "Norvik2Cfg.ini");
    }
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_TRUE(sink.entries.empty());
    EXPECT_EQ(Mode(xdg / "norvik2"), 0700u);
    EXPECT_EQ(Mode(xdg / "norvik2" / "Norvik2Cfg.ini"), 0600u);
    EXPECT_EQ(ReadIniValue(xdg / "norvik2" / "Norvik2Cfg.ini", "CONFIG", "CUSTOMER_KEY"), "0011");
}

TEST_F(Startup, LogGoesToTheWorkingDirectoryConfigurationStaysBesideTheExecutable) {
    InstallLibrary();
    WriteFile(workDir / "Norvik2-Log.txt", "earlier line\r\n");
    prompt.answer = [] { return std::optional<QString>(QStringLiteral("AB")); };
    Start([](ProvisorStartup& startup) {
        std::tm when{};
        when.tm_year = 2024 - 1900;
        when.tm_mon = 0;
        when.tm_mday = 2;
        when.tm_hour = 3;
        when.tm_min = 4;
        when.tm_sec = 5;
        startup.Log().AppendAutoWrite(when, "N2-0001", true);
        startup.Log().AppendAutoWrite(when, "N2-0002", false);
        // A token's serial number cannot start a line of its own.
        startup.Log().AppendAutoWrite(when, "N2\r\n2099-01-01 00:00:00 N2-0003\x1b[2J", true);
    });
    EXPECT_TRUE(fs::exists(ConfigFile()));
    EXPECT_FALSE(fs::exists(workDir / "Norvik2Cfg.ini"));
    EXPECT_FALSE(fs::exists(exeDir / "Norvik2-Log.txt"));
    EXPECT_EQ(ReadFile(workDir / "Norvik2-Log.txt"),
              "earlier line\r\n2024-01-02 03:04:05 N2-0001 Success\r\n2024-01-02 03:04:05 N2-0002 fail\r\n"
              "2024-01-02 03:04:05 N2\\x0D\\x0A2099-01-01 00:00:00 N2-0003\\x1B[2J Success\r\n");
}

TEST_F(Startup, ALogThatIsNoPlainFileOfItsOwnIsReportedAndSkipped) {
    // The working directory may be shared: what another user left under the
    // log's name is never written through, and nothing blocks.
    InstallLibrary();
    WriteFile(ConfigFile(), std::string(kDefaultConfigContent));
    const fs::path log = workDir / "Norvik2-Log.txt";
    const fs::path elsewhere = root / "elsewhere.txt";
    const std::vector<std::pair<std::string, std::function<void()>>> planted = {
        {"directory", [&] { fs::create_directory(log); }},
        {"symbolic link", [&] { fs::create_symlink(elsewhere, log); }},
        {"dangling symbolic link", [&] { fs::create_symlink(root / "made-by-the-tool.txt", log); }},
        {"FIFO", [&] { ASSERT_EQ(mkfifo(log.c_str(), 0666), 0); }},
        {"hard link", [&] { fs::create_hard_link(elsewhere, log); }},
    };
    for (const auto& [what, plant] : planted) {
        WriteFile(elsewhere, "someone else's file\n");
        fs::remove(log);
        plant();
        sink.entries.clear();
        Start([](ProvisorStartup& startup) {
            EXPECT_FALSE(startup.Log().IsGood());
            EXPECT_EQ(startup.Log().AppendAutoWrite(std::tm{}, "N2", true), OperationLog::Append::Skipped);
        });
        EXPECT_EQ(sink.Texts(), QStringList{"Can't open log file!"}) << what;
        EXPECT_EQ(ReadFile(elsewhere), "someone else's file\n") << what;
        EXPECT_FALSE(fs::exists(root / "made-by-the-tool.txt")) << what;
    }
}

TEST_F(Startup, SavingTheKeyKeepsEveryOtherLine) {
    InstallLibrary();
    const std::string before =
        "; written by hand\n[OTHER]\r\nCUSTOMER_KEY=keep me\r\n\r\n[config]\r\n  customer_key = 00 \r\nNOTE=x\n";
    WriteFile(ConfigFile(), before);
    Start([](ProvisorStartup& startup) { EXPECT_TRUE(startup.SaveCustomerKey("0a0b")); });
    EXPECT_EQ(ReadFile(ConfigFile()),
              "; written by hand\n[OTHER]\r\nCUSTOMER_KEY=keep me\r\n\r\n[config]\r\nCUSTOMER_KEY=0A0B\r\nNOTE=x\n");
}

TEST(CustomerKeyText, ReadersSeeWholeValuesWhileItIsReplaced) {
    SharedText key;
    const std::string a(32, 'A'), b(32, 'B');
    key.Set(a);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            const std::string seen = key.Get();
            if (seen != a && seen != b) ++torn;
        }
    });
    for (int i = 0; i < 20000; ++i) key.Set(i % 2 ? a : b);
    stop = true;
    reader.join();
    EXPECT_EQ(torn, 0);
}
