// The server exports and the files around them, checked against
// independent readers: PSKC both ways through Debian's python3-pskc, the
// CSVs through Python's csv module, the journal through its json module.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/Journal.h"
#include "formats/OwnerFile.h"
#include "formats/Pskc.h"
#include "formats/ServerCsv.h"
#include "ToolTestFiles.h"
#include "formats/Users.h"

using namespace provisor;
namespace fs = std::filesystem;

namespace {

const std::string kSeed20 = "12345678901234567890";
const std::string kSeed32 = "12345678901234567890123456789012";
const std::string kKeyHex = "000102030405060708090A0B0C0D0E0F";
const std::string kTotp(kPskcTotpAlgorithm);

std::span<const uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Hex(const std::string& text) {
    std::string hex;
    char digits[3];
    for (unsigned char c : text) {
        std::snprintf(digits, sizeof digits, "%02X", c);
        hex += digits;
    }
    return hex;
}

// Two tokens of the two algorithms the token offers, one assigned.
std::vector<ExportToken> TwoTokens() {
    return {{"NV2A00000001", "alice@example.com", Bytes(kSeed20), OtpHash::Sha1, 6, 30},
            {"NV2A00000002", "", Bytes(kSeed32), OtpHash::Sha256, 8, 60}};
}

class ServerFormats : public ::testing::Test {
protected:
    void SetUp() override { dir_ = tooltest::MakeTempDir("formats"); }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs server_files.py with request as its standard input; its output.
    std::string Python(const std::string& command, const fs::path& file, const std::string& request = "{}") {
        const fs::path input = dir_ / "request.json";
        tooltest::WriteFile(input, request);
        const std::string line = "/usr/bin/python3 '" SERVER_FILES_SCRIPT "' " + command + " '" + file.string() +
                                 "' < '" + input.string() + "' 2>&1";
        FILE* pipe = popen(line.c_str(), "r");
        std::string output;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
        pclose(pipe);
        fs::remove(input);
        return output;
    }

    fs::path dir_;
};

mode_t Mode(const fs::path& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

PskcError::Kind ReadError(const fs::path& path, const PskcUnlock& unlock) {
    try {
        ReadPskcFile(path, unlock);
    } catch (const PskcError& error) {
        return error.kind();
    }
    ADD_FAILURE() << path << " was read";
    return PskcError::Kind::Malformed;
}

PskcUnlock WithKey(const std::string& hex) { return {ParseHexKey(hex, "key"), {}}; }
PskcUnlock WithPassphrase(const std::string& text) { return {{}, SecretBytes(text)}; }

std::string Describe(const PskcKey& key) {
    return key.serial + " " + Hex(std::string(key.secret.view())) + " " + key.algorithm + " " + OtpHashName(key.hash) +
           " " + std::to_string(key.digits) + " " + std::to_string(key.step) + " [" + key.user + "]";
}

}  // namespace

// Written with each protection and read back by python3-pskc (which checks
// each ValueMAC as it decrypts) and by the reader; a wrong key or
// passphrase is refused, and so is the other kind of unlock.
TEST_F(ServerFormats, PskcExportReadBackByPythonPskcAndByTheReader) {
    struct Case {
        const char* name;
        PskcProtection protection;
        std::string request;  // for python3-pskc
        PskcUnlock unlock, wrong, otherKind;
    };
    std::vector<Case> cases;
    cases.push_back({"psk", PskcProtection::PreSharedKey(ParseHexKey(kKeyHex, "key")), "{\"key\": \"" + kKeyHex + "\"}",
                     WithKey(kKeyHex), WithKey("FF" + kKeyHex.substr(2)), WithPassphrase("secret")});
    cases.push_back({"pbkdf2-sha1", PskcProtection::Passphrase(SecretBytes(std::string_view("correct horse"))),
                     "{\"passphrase\": \"correct horse\"}", WithPassphrase("correct horse"),
                     WithPassphrase("correct horse "), WithKey(kKeyHex)});
    cases.push_back({"pbkdf2-sha256",
                     PskcProtection::Passphrase(SecretBytes(std::string_view("p\xC3\xA4ss")), PbkdfPrf::HmacSha256,
                                                2000, "Export passphrase"),
                     "{\"passphrase\": \"p\\u00e4ss\"}", WithPassphrase("p\xC3\xA4ss"), WithPassphrase("pass"),
                     WithKey(kKeyHex)});
    cases.push_back({"clear", PskcProtection::Clear(), "{}", {}, {}, {}});

    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = dir_ / (std::string(c.name) + ".pskc");
        const bool encrypted = c.protection.encrypted();
        PskcWriter writer(path, std::move(c.protection));
        for (const ExportToken& token : TwoTokens()) writer.Add(token);
        writer.Finish();
        EXPECT_EQ(Mode(path), 0600u);

        const std::string mac = encrypted ? "http://www.w3.org/2000/09/xmldsig#hmac-sha1" : "None";
        EXPECT_EQ(Python("read-pskc", path, c.request),
                  "[{\"serial\": \"NV2A00000001\", \"manufacturer\": \"Norvik\", \"model\": \"Norvik-2\", \"id\": "
                  "\"NV2A00000001\", \"secret\": \"" +
                      Hex(kSeed20) + "\", \"algorithm\": \"" + kTotp +
                      "\", \"suite\": null, \"digits\": 6, \"encoding\": \"DECIMAL\", \"step\": 30, \"user\": "
                      "\"alice@example.com\", \"mac\": " +
                      (encrypted ? "\"" + mac + "\"" : "null") +
                      "}, {\"serial\": \"NV2A00000002\", \"manufacturer\": \"Norvik\", \"model\": \"Norvik-2\", "
                      "\"id\": \"NV2A00000002\", \"secret\": \"" +
                      Hex(kSeed32) + "\", \"algorithm\": \"" + kTotp +
                      "\", \"suite\": \"SHA256\", \"digits\": 8, \"encoding\": \"DECIMAL\", \"step\": 60, \"user\": "
                      "null, \"mac\": " +
                      (encrypted ? "\"" + mac + "\"" : "null") + "}]");

        const PskcContents contents = ReadPskcFile(path, c.unlock);
        EXPECT_TRUE(contents.complete);
        EXPECT_EQ(contents.encrypted, encrypted);
        ASSERT_EQ(contents.keys.size(), 2u);
        EXPECT_EQ(Describe(contents.keys[0]),
                  "NV2A00000001 " + Hex(kSeed20) + " " + kTotp + " SHA1 6 30 [alice@example.com]");
        EXPECT_EQ(Describe(contents.keys[1]), "NV2A00000002 " + Hex(kSeed32) + " " + kTotp + " SHA256 8 60 []");
        EXPECT_EQ(contents.keys[1].macChecked, encrypted);
        if (!encrypted) continue;
        EXPECT_EQ(ReadError(path, c.wrong), PskcError::Kind::WrongKey);
        EXPECT_EQ(ReadError(path, c.otherKind), PskcError::Kind::KeyNeeded);
        EXPECT_EQ(ReadError(path, {}), PskcError::Kind::KeyNeeded);
    }
}

// Files python3-pskc wrote (its PRF as element text, a Suite with the
// HMAC- prefix) are read; a wrong key or passphrase is told apart from a
// changed secret, which names its token.
TEST_F(ServerFormats, PskcSeedFilesWrittenByPythonPskcAreRead) {
    const std::string tokens =
        "\"tokens\": [{\"serial\": \"VENDOR-1\", \"secret\": \"" + Hex(kSeed20) +
        "\", \"digits\": 6, \"step\": 30, \"user\": \"bob\"}, {\"serial\": \"VENDOR-2\", \"secret\": \"" +
        Hex(kSeed32) + "\", \"digits\": 8, \"step\": 60, \"suite\": \"HMAC-SHA256\"}]";
    const fs::path keyed = dir_ / "keyed.pskc", derived = dir_ / "derived.pskc";
    ASSERT_EQ(Python("write-pskc", keyed, "{\"key\": \"" + kKeyHex + "\", " + tokens + "}"), "{\"written\": 2}");
    ASSERT_EQ(
        Python("write-pskc", derived, "{\"passphrase\": \"vendor pass\", \"prf\": \"hmac-sha256\", " + tokens + "}"),
        "{\"written\": 2}");

    for (const auto& [path, unlock, wrong] :
         {std::tuple{keyed, WithKey(kKeyHex), WithKey("FF" + kKeyHex.substr(2))},
          std::tuple{derived, WithPassphrase("vendor pass"), WithPassphrase("vendor-pass")}}) {
        SCOPED_TRACE(path);
        const PskcContents contents = ReadPskcFile(path, unlock);
        ASSERT_EQ(contents.keys.size(), 2u);
        EXPECT_EQ(Describe(contents.keys[0]), "VENDOR-1 " + Hex(kSeed20) + " " + kTotp + " SHA1 6 30 [bob]");
        EXPECT_EQ(Describe(contents.keys[1]), "VENDOR-2 " + Hex(kSeed32) + " " + kTotp + " SHA256 8 60 []");
        EXPECT_TRUE(contents.keys[0].macChecked && contents.keys[1].macChecked);
        EXPECT_EQ(ReadError(path, wrong), PskcError::Kind::WrongKey);

        // One character of the second secret's cipher text changed.
        std::string xml = tooltest::ReadFile(path);
        size_t at = 0;
        for (int i = 0; i < 3; ++i) at = xml.find("<xenc:CipherValue>", at) + 18;
        xml[at + 5] = xml[at + 5] == 'A' ? 'B' : 'A';
        const fs::path changed = dir_ / "changed.pskc";
        tooltest::WriteFile(changed, xml);
        try {
            ReadPskcFile(changed, unlock);
            ADD_FAILURE() << "a changed secret was read";
        } catch (const PskcError& error) {
            EXPECT_EQ(error.kind(), PskcError::Kind::Corrupt);
            EXPECT_NE(std::string(error.what()).find("VENDOR-2"), std::string::npos) << error.what();
        }
        fs::remove(changed);
    }
}

// An export cut short keeps its complete packages for the reader: left
// unfinished after two tokens, or cut inside the second.
TEST_F(ServerFormats, InterruptedPskcExportKeepsItsCompletePackages) {
    const fs::path path = dir_ / "interrupted.pskc";
    {
        PskcWriter writer(path, PskcProtection::PreSharedKey(ParseHexKey(kKeyHex, "key")));
        for (const ExportToken& token : TwoTokens()) writer.Add(token);
    }
    const std::string xml = tooltest::ReadFile(path);
    PskcContents contents = ReadPskcFile(path, WithKey(kKeyHex));
    EXPECT_FALSE(contents.complete);
    ASSERT_EQ(contents.keys.size(), 2u);
    EXPECT_EQ(contents.keys[1].serial, "NV2A00000002");

    tooltest::WriteFile(path, xml.substr(0, xml.rfind("<pskc:ValueMAC>")));
    contents = ReadPskcFile(path, WithKey(kKeyHex));
    EXPECT_FALSE(contents.complete);
    ASSERT_EQ(contents.keys.size(), 1u);
    EXPECT_EQ(Describe(contents.keys[0]),
              "NV2A00000001 " + Hex(kSeed20) + " " + kTotp + " SHA1 6 30 [alice@example.com]");

    // The repair the header comment describes.
    tooltest::WriteFile(path, xml + "</pskc:KeyContainer>\n");
    EXPECT_TRUE(ReadPskcFile(path, WithKey(kKeyHex)).complete);
}

// Untrusted XML: no document type (so no entity, internal or external), no
// deep nesting, no oversized input, no unbounded PBKDF2, and only PSKC.
TEST_F(ServerFormats, PskcReaderRefusesHostileDocuments) {
    const auto kind = [](const std::string& xml, PskcLimits limits = {}) {
        try {
            ParsePskc(Bytes(xml), {}, limits);
        } catch (const PskcError& error) {
            return error.kind();
        }
        ADD_FAILURE() << xml.substr(0, 120) << " was read";
        return PskcError::Kind::Corrupt;
    };
    const std::string root = "<KeyContainer Version=\"1.0\" xmlns=\"urn:ietf:params:xml:ns:keyprov:pskc\">";
    const std::string package =
        "<KeyPackage><DeviceInfo><SerialNo>&x;</SerialNo></DeviceInfo></KeyPackage></KeyContainer>";
    EXPECT_EQ(kind("<!DOCTYPE KeyContainer [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>" + root + package),
              PskcError::Kind::Malformed);
    EXPECT_EQ(kind("<!DOCTYPE KeyContainer [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY x \"&a;&a;&a;&a;&a;&a;&a;&a;\">]>" +
                   root + package),
              PskcError::Kind::Malformed);
    std::string deep = root;
    for (int i = 0; i < 40; ++i) deep += "<a>";
    EXPECT_EQ(kind(deep), PskcError::Kind::Malformed);
    EXPECT_EQ(kind(root + "</KeyContainer>", {64, 1000}), PskcError::Kind::Malformed);
    EXPECT_EQ(kind("<SecretContainer/>"), PskcError::Kind::Malformed);
    EXPECT_EQ(kind(root + "</KeyContainer><KeyContainer/>"), PskcError::Kind::Malformed);
    EXPECT_EQ(kind(root + "<KeyPackage></Key></KeyContainer>"), PskcError::Kind::Malformed);

    const std::string greedy =
        root +
        "<EncryptionKey><DerivedKey><KeyDerivationMethod "
        "Algorithm=\"http://www.rsasecurity.com/rsalabs/pkcs/schemas/pkcs-5v2-0#pbkdf2\"><PBKDF2-params><Salt>"
        "<Specified>AAAAAAAAAAA=</Specified></Salt><IterationCount>2000000000</IterationCount><KeyLength>16"
        "</KeyLength></PBKDF2-params></KeyDerivationMethod></DerivedKey></EncryptionKey><KeyPackage><Key><Data>"
        "<Secret><EncryptedValue><EncryptionMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#aes128-cbc\"/>"
        "<CipherData><CipherValue>AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=</CipherValue></CipherData>"
        "</EncryptedValue></Secret></Data></Key></KeyPackage></KeyContainer>";
    try {
        ParsePskc(Bytes(greedy), WithPassphrase("x"));
        ADD_FAILURE() << "two billion iterations were run";
    } catch (const PskcError& error) {
        EXPECT_EQ(error.kind(), PskcError::Kind::Unsupported) << error.what();
    }
}

// Both CSVs as Python's csv module reads them, with the settings and
// fields each server cannot take refused before anything is written.
TEST_F(ServerFormats, ServerCsvFilesReadByPythonCsv) {
    const fs::path entra = dir_ / "entra.csv";
    {
        EntraCsvWriter writer(entra, "Norvik", "Norvik-2, \"rev B\"");
        ExportToken first = TwoTokens()[0];
        ExportToken second{"NV2A00000003", "o'neil@example.com", Bytes(kSeed20), OtpHash::Sha1, 6, 60};
        writer.Add(first);
        writer.Add(second);

        const auto refused = [&](ExportToken token, const char* why) {
            EXPECT_THROW(writer.Check(token), FormatError) << why;
            EXPECT_THROW(writer.Add(token), FormatError) << why;
        };
        refused(TwoTokens()[1], "SHA256");
        refused({"NV2A00000004", "bob@example.com", Bytes(kSeed20), OtpHash::Sha1, 6, 45}, "45 s");
        refused({"NV2A00000004", "bob@example.com", Bytes(kSeed20), OtpHash::Sha1, 8, 30}, "8 digits");
        refused({"NV2A00000004", "", Bytes(kSeed20), OtpHash::Sha1, 6, 30}, "no upn");
        for (const char* upn : {"=cmd|' /C calc'!A0", "+1", "-2+3", "@SUM(A1)", "bob\n@example.com", "\tbob"})
            refused({"NV2A00000004", upn, Bytes(kSeed20), OtpHash::Sha1, 6, 30}, upn);
        writer.Finish();
    }
    EXPECT_THROW(EntraCsvWriter(dir_ / "other.csv", "=Norvik"), FormatError);
    EXPECT_EQ(Mode(entra), 0600u);
    EXPECT_EQ(Python("read-csv", entra),
              "[[\"upn\", \"serial number\", \"secret key\", \"time interval\", \"manufacturer\", \"model\"], "
              "[\"alice@example.com\", \"NV2A00000001\", \"GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ\", \"30\", \"Norvik\", "
              "\"Norvik-2, \\\"rev B\\\"\"], [\"o'neil@example.com\", \"NV2A00000003\", "
              "\"GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ\", \"60\", \"Norvik\", \"Norvik-2, \\\"rev B\\\"\"]]");
    EXPECT_EQ(tooltest::ReadFile(entra).substr(0, kEntraCsvHeader.size() + 2), std::string(kEntraCsvHeader) + "\r\n");

    const fs::path privacyIdea = dir_ / "privacyidea.csv";
    {
        PrivacyIdeaCsvWriter writer(privacyIdea);
        for (const ExportToken& token : TwoTokens()) writer.Add(token);
        ExportToken token = TwoTokens()[1];
        token.secret = Bytes(kSeed20);  // would be read as SHA1
        EXPECT_THROW(writer.Add(token), FormatError);
        token = TwoTokens()[0];
        token.secret = Bytes(kSeed32);  // would be read as SHA256
        EXPECT_THROW(writer.Add(token), FormatError);
        for (const char* serial : {"NV2A,1", "=NV2A", "NV2A 1", ""}) {
            token = TwoTokens()[0];
            token.serial = serial;
            EXPECT_THROW(writer.Add(token), FormatError) << serial;
        }
        writer.Finish();
    }
    EXPECT_EQ(Mode(privacyIdea), 0600u);
    EXPECT_EQ(Python("read-csv", privacyIdea), "[[\"NV2A00000001\", \"" + Hex(kSeed20) +
                                                   "\", \"totp\", \"6\", \"30\"], [\"NV2A00000002\", \"" +
                                                   Hex(kSeed32) + "\", \"totp\", \"8\", \"60\"]]");
}

// The owner-only file: mode 0600 whatever the umask, never written through
// a link or into a FIFO, an existing name refused unless replacing (which
// swaps in a new file and leaves a link's target alone), no folder that
// others may write to without the sticky bit.
TEST_F(ServerFormats, OwnerFileIsItsOwnersAlone) {
    const mode_t oldMask = umask(0);
    const fs::path path = dir_ / "export.txt";
    OwnerFile file = OwnerFile::Create(path, "header\n");
    file.Append("one\n");
    file.Append("two\n");
    // A record withdrawn (its token failed after it was written) is gone,
    // once: the record before it stays.
    file.Append("failed token\n");
    file.WithdrawLast();
    file.WithdrawLast();
    // A record the disk takes only in part (here a file size limit) is cut
    // off, and the next one follows the last whole record.
    {
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 20;
        setrlimit(RLIMIT_FSIZE, &small);
        EXPECT_THROW(file.Append("a record longer than the limit\n"), FileError);
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, oldHandler);
    }
    file.Finish("end\n");
    umask(oldMask);
    EXPECT_EQ(Mode(path), 0600u);
    EXPECT_EQ(tooltest::ReadFile(path), "header\none\ntwo\nend\n");
    EXPECT_THROW(OwnerFile::Create(path, "again\n"), FileError);
    EXPECT_EQ(tooltest::ReadFile(path), "header\none\ntwo\nend\n");

    const fs::path target = dir_ / "elsewhere.txt", link = dir_ / "link.txt", dangling = dir_ / "dangling.txt";
    tooltest::WriteFile(target, "not yours\n");
    fs::create_symlink(target, link);
    fs::create_symlink(dir_ / "missing.txt", dangling);
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    for (const fs::path& taken : {link, dangling, fifo})
        EXPECT_THROW(OwnerFile::Create(taken, "x"), FileError) << taken;
    EXPECT_FALSE(fs::exists(dir_ / "missing.txt"));

    for (const fs::path& taken : {link, fifo, path}) {
        OwnerFile::Create(taken, "fresh\n", OwnerFile::Existing::Replace).Finish();
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(taken))) << taken;
        EXPECT_EQ(Mode(taken), 0600u) << taken;
        EXPECT_EQ(tooltest::ReadFile(taken), "fresh\n");
    }
    EXPECT_EQ(tooltest::ReadFile(target), "not yours\n");
    EXPECT_THROW(OwnerFile::Create(dir_, "x", OwnerFile::Existing::Replace), FileError);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++entries;
    EXPECT_EQ(entries, 5u) << "a temporary file was left behind";

    const fs::path shared = dir_ / "shared";
    fs::create_directory(shared);
    chmod(shared.c_str(), 0777);
    EXPECT_THROW(OwnerFile::Create(shared / "export.txt", "x"), FileError);
    EXPECT_THROW(AppendOnlyFile::Open(shared / "journal"), FileError);
    chmod(shared.c_str(), 01777);
    OwnerFile::Create(shared / "export.txt", "x").Finish();
}

// The journal: one JSON object per attempt, appended; what a reader name
// or cause holds cannot break a line or reach a terminal raw; no seed.
TEST_F(ServerFormats, JournalLinesAreJsonAndAppended) {
    JournalEntry entry;
    entry.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1741083330250));
    entry.reader = "Virtual PCD 00 00";
    entry.serial = "NV2A00000001";
    entry.user = "alice";
    entry.result = "enrolled";
    entry.seedFingerprint = SeedFingerprint(Bytes(kSeed20));
    EXPECT_EQ(entry.seedFingerprint, "6ED645EF0E1ABEA1");
    EXPECT_EQ(FormatJournalLine(entry),
              "{\"time\":\"2025-03-04T10:15:30.250Z\",\"reader\":\"Virtual PCD 00 00\",\"serial\":\"NV2A00000001\","
              "\"profile\":0,\"user\":\"alice\",\"algorithm\":\"SHA1\",\"digits\":6,\"step\":30,\"result\":"
              "\"enrolled\",\"cause\":\"\",\"seedFingerprint\":\"6ED645EF0E1ABEA1\"}\n");

    const fs::path path = dir_ / "enroll.jsonl";
    {
        Journal journal = Journal::Open(path);
        journal.Append(entry);
    }
    JournalEntry failed = entry;
    failed.reader =
        "Evil\x1b[2J\"reader\"\\\n\xC2\x9B"
        "31m\xFF\xC3\xA9";
    failed.result = "failed";
    failed.cause = "the token's code did not match";
    failed.seedFingerprint.clear();
    Journal::Open(path).Append(failed);
    EXPECT_EQ(Mode(path), 0600u);
    const std::string text = tooltest::ReadFile(path);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_EQ(Python("read-jsonl", path),
              "[\"Virtual PCD 00 00\", \"enrolled\"]\n"
              "[\"Evil\\u001b[2J\\\"reader\\\"\\\\\\n\\u009b31m\\ufffd\\u00e9\", \"failed\"]\n");

    const fs::path link = dir_ / "link.jsonl", fifo = dir_ / "fifo.jsonl";
    fs::create_symlink(path, link);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(Journal::Open(link), FileError);
    EXPECT_THROW(Journal::Open(fifo), FileError);
    fs::create_hard_link(path, dir_ / "second-name.jsonl");
    EXPECT_THROW(Journal::Open(path), FileError);
}

TEST_F(ServerFormats, UsersListsTitlesAndKeyTexts) {
    const fs::path users = dir_ / "users.txt";
    tooltest::WriteFile(users, "  alice@example.com \n\n\tbob\r\n   \nJos\xC3\xA9");
    EXPECT_EQ(ReadUsersFile(users), (std::vector<std::string>{"alice@example.com", "bob", "Jos\xC3\xA9"}));
    for (const char* text : {"alice\nb\x07ob\n", "alice\nbo\x7f\n", "alice\n\xC3(\n"}) {
        try {
            ParseUsersText(text);
            ADD_FAILURE() << text;
        } catch (const FormatError& error) {
            EXPECT_NE(std::string(error.what()).find("line 2"), std::string::npos) << error.what();
        }
    }

    EXPECT_EQ(ExpandTitle("{user}", {"alice", "NV2A00000001", 3}), "alice");
    EXPECT_EQ(ExpandTitle("T{n}-{serial}", {"", "NV2A01", 3}), "T3-NV2A01");
    EXPECT_EQ(ExpandTitle("{{x}}", {}), "{x}");
    EXPECT_EQ(ExpandTitle("", {}), "");
    EXPECT_THROW(ExpandTitle("{user}", {"", "NV2A01", 1}), FormatError);
    EXPECT_THROW(ExpandTitle("{user}", {"alice@example.com", "NV2A01", 1}), FormatError);  // 17 bytes
    EXPECT_THROW(ExpandTitle("{user}", {"Jos\xC3\xA9", "NV2A01", 1}), FormatError);
    for (const char* bad : {"{name}", "{user", "user}", "{}"})
        EXPECT_THROW(CheckTitleTemplate(bad), FormatError) << bad;

    EXPECT_EQ(ParseHexKey(" 000102030405060708090a0b0c0d0e0f\n", "key").size(), 16u);
    EXPECT_THROW(ParseHexKey("000102", "key"), FormatError);
    EXPECT_THROW(ParseHexKey("000102030405060708090a0b0c0d0e0g", "key"), FormatError);
    EXPECT_EQ(PassphraseFromText("two words \r\n", "passphrase").view(), "two words ");
    EXPECT_THROW(PassphraseFromText("\n", "passphrase"), FormatError);
}
