// The keyloom program itself, run as a script would run it, through pcscd
// against the two virtual tokens of the norvik_pcsc fixture. The token is
// then read back through Quillon directly, and every seed written is
// removed again.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <optional>
#include <set>

#include "Quillon.h"
#include "SimControl.h"
#include "ToolTestFiles.h"
#include "cli/Totp.h"

extern char** environ;

namespace fs = std::filesystem;
namespace sim = norvik::simtest;
using keyloom::HotpCode;
using keyloom::OtpAlgorithm;

namespace {

constexpr char kFactoryKey[] = "6B3F09D2A4C8571E90B2D6F4138A5C7E";
const std::string kR0 = "Virtual PCD 00 00";
const std::string kR1 = "Virtual PCD 00 01";

struct Finished {
    int status = -1;
    std::string out, err;
    QJsonObject json() const { return QJsonDocument::fromJson(QByteArray::fromStdString(out)).object(); }
    // Standard error is one line naming the cause.
    std::string cause() const { return err.substr(0, err.find('\n')); }
};

// The seed bytes of base32 text (the few test seeds only).
std::vector<uint8_t> Base32(const std::string& text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::vector<uint8_t> out;
    uint32_t buffer = 0;
    int bits = 0;
    for (char c : text) {
        buffer = buffer << 5 | static_cast<uint32_t>(alphabet.find(c));
        bits += 5;
        if (bits >= 8) {
            out.push_back(static_cast<uint8_t>(buffer >> (bits - 8)));
            bits -= 8;
        }
    }
    return out;
}

class KeyloomOnPcscd : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetSim(0);
        sim::ResetSim(1);
        dir = tooltest::MakeTempDir("keyloom");
        keyFile = Write("key.txt", std::string(kFactoryKey) + "\n");
    }
    void TearDown() override {
        // A test that failed half-way through a key change must not leave
        // the token with a key the next test does not know.
        if (resetKey) CardInitKey(resetKey->c_str());
        for (const auto& [reader, profile] : written) CardDeleteSeed(reader.c_str(), profile);
        sim::SimControlOk(0, "clear");
        fs::remove_all(dir);
    }

    std::string Write(const std::string& name, const std::string& content) {
        tooltest::WriteFile(dir / name, content);
        return (dir / name).string();
    }

    // Where keyloom's standard output goes: a file the test reads, a full
    // disk, or nowhere (closed).
    enum class Output { File, Full, Closed };

    // keyloom with args, standard input from in, run in cwd (default: the
    // test's own working directory).
    Finished Keyloom(std::vector<std::string> args, const std::string& in = {}, Output output = Output::File,
                     const fs::path& cwd = {}) {
        const std::string inPath = Write("stdin", in);
        const std::string outPath = (dir / "stdout").string(), errPath = (dir / "stderr").string();
        tooltest::WriteFile(outPath, "");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
        if (output == Output::File)
            posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        else if (output == Output::Full)
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
        else
            posix_spawn_file_actions_addclose(&actions, 1);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        args.insert(args.begin(), KEYLOOM_PATH);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        Finished run;
        if (posix_spawn(&pid, KEYLOOM_PATH, &actions, nullptr, argv.data(), environ) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        run.out = tooltest::ReadFile(outPath);
        run.err = tooltest::ReadFile(errPath);
        return run;
    }

    // Notes a profile written, for TearDown.
    void Wrote(const std::string& reader, int profile) { written.insert({reader, profile}); }

    bool HoldsSeed(const std::string& reader, int profile) {
        int32_t present = -1;
        EXPECT_EQ(CardGetSeedFlag(reader.c_str(), profile, &present), 0u);
        return present == 1;
    }

    // The profile's password through Quillon, and whether it is the code of
    // seed for now or the step before or after (the token runs on the
    // computer's clock).
    bool ShowsCodeOf(const std::string& reader, int profile, const std::vector<uint8_t>& seed,
                     OtpAlgorithm algorithm = OtpAlgorithm::Sha1, int digits = 6, int step = 30) {
        char otp[16] = {};
        if (CardReadOTP(reader.c_str(), kFactoryKey, profile, otp) != 0) return false;
        const uint64_t counter = static_cast<uint64_t>(std::time(nullptr)) / static_cast<uint64_t>(step);
        for (uint64_t c = counter - 1; c <= counter + 1; ++c)
            if (HotpCode(seed, algorithm, digits, c) == otp) return true;
        return false;
    }

    fs::path dir;
    std::string keyFile;
    std::set<std::pair<std::string, int>> written;
    std::optional<std::string> resetKey;
};

const std::string kSeedA = "JBSWY3DPEHPK3PXP";
const std::string kSeedB = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";

TEST_F(KeyloomOnPcscd, ProvisionVerifiesFromASeedFileAndAnOtpauthFileAndRefusesAnOverwriteWithoutForce) {
    Wrote(kR0, 21);
    Wrote(kR0, 22);
    ASSERT_FALSE(HoldsSeed(kR0, 21));
    const std::string seedFile = Write("seed.txt", "jbsw y3dp ehpk 3pxp\n");
    Finished run = Keyloom(
        {"provision", "-r", kR0, "-p", "21", "--seed-file", seedFile, "--key-file", keyFile, "--verify", "--json"});
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_TRUE(run.err.empty());
    QJsonObject token = run.json()["tokens"].toArray()[0].toObject();
    EXPECT_EQ(token["serial"].toString(), "NV2A00000001");
    QJsonObject item = token["profiles"].toArray()[0].toObject();
    EXPECT_EQ(item["profile"].toInt(), 21);
    EXPECT_EQ(item["state"].toString(), "21-Successful operation");
    EXPECT_TRUE(item["verified"].toBool());
    EXPECT_TRUE(ShowsCodeOf(kR0, 21, Base32(kSeedA)));
    // "otp" prints what the token shows.
    run = Keyloom({"otp", "-r", kR0, "-p", "21", "--key-file", keyFile});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.size(), 7u) << run.out;

    // The otpauth URI brings its algorithm, digits, step and issuer.
    const std::string uri = Write(
        "uri.txt", "otpauth://totp/Bank:alice?secret=" + kSeedB + "&issuer=Bank&algorithm=SHA256&digits=8&period=60\n");
    run = Keyloom({"provision", "-r", kR0, "-p", "22", "--otpauth-file", uri, "--key-file", keyFile, "--verify"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "NV2A00000001 profile 22: 22-Successful operation; verified\n");
    EXPECT_TRUE(ShowsCodeOf(kR0, 22, Base32(kSeedB), OtpAlgorithm::Sha256, 8, 60));

    // Profile 21 holds a seed: without --force nothing at all is written,
    // not even the new configuration.
    const std::string other = Write("other.txt", kSeedB);
    run = Keyloom({"provision", "-r", kR0, "-p", "21", "--seed-file", other, "--algorithm", "SHA256", "--key-file",
                   keyFile, "--verify", "--json"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.cause(), "keyloom: profile 21 already holds a seed; --force overwrites it");
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line";
    item = run.json()["tokens"].toArray()[0].toObject()["profiles"].toArray()[0].toObject();
    EXPECT_EQ(item["result"].toString(), "refused");
    EXPECT_TRUE(ShowsCodeOf(kR0, 21, Base32(kSeedA)));
    run = Keyloom({"provision", "-r", kR0, "-p", "21", "--seed-file", other, "--algorithm", "SHA256", "--key-file",
                   keyFile, "--verify", "--force"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ShowsCodeOf(kR0, 21, Base32(kSeedB), OtpAlgorithm::Sha256));
}

TEST_F(KeyloomOnPcscd, BulkVerifiesATwentyLineFileAndNamesEveryEntry) {
    std::string file = "Profile Seed Algorithm Digits Step SetTime Enter Title\n";
    std::vector<std::vector<uint8_t>> seeds;
    for (int i = 0; i < 20; ++i) {
        Wrote(kR0, 40 + i);
        if (i == 9) {
            file += "49\n";  // removes profile 49's seed, if any
            continue;
        }
        // Twenty bytes of i + 1, in base32 (without padding).
        std::string seed;
        {
            const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
            std::vector<uint8_t> bytes(20, static_cast<uint8_t>(i + 1));
            uint32_t buffer = 0;
            int bits = 0;
            for (uint8_t b : bytes) {
                buffer = buffer << 8 | b;
                bits += 8;
                while (bits >= 5) {
                    seed += alphabet[(buffer >> (bits - 5)) & 31];
                    bits -= 5;
                }
            }
        }
        const char* algorithm = i % 3 == 0 ? "sha256" : "SHA1";
        const int digits[] = {6, 8, 4, 10};
        file += std::to_string(40 + i) + " " + seed + " " + algorithm + " " + std::to_string(digits[i % 4]) + " " +
                (i % 2 ? "60" : "30") + " " + (i % 5 == 0 ? "YES" : "NO") + " " + (i % 2 ? "YES" : "no") + " t" +
                std::to_string(i) + "\r\n";
    }
    const std::string bulk = Write("bulk.txt", file);
    Finished run = Keyloom({"bulk", bulk, "-r", kR0, "--key-file", keyFile, "--verify", "--json"});
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    const QJsonArray items = run.json()["tokens"].toArray()[0].toObject()["profiles"].toArray();
    ASSERT_EQ(items.size(), 20);
    for (int i = 0; i < 20; ++i) {
        const QJsonObject item = items[i].toObject();
        EXPECT_EQ(item["line"].toInt(), i + 2);
        EXPECT_EQ(item["profile"].toInt(), 40 + i);
        EXPECT_EQ(item["operation"].toString(), i == 9 ? "delete" : "write");
        EXPECT_EQ(item["result"].toString(), "success");
        EXPECT_TRUE(item["verified"].toBool()) << i << " " << item["verification"].toString().toStdString();
    }
    EXPECT_FALSE(HoldsSeed(kR0, 49));
    EXPECT_TRUE(ShowsCodeOf(kR0, 40, std::vector<uint8_t>(20, 1), OtpAlgorithm::Sha256, 6, 30));

    // The same file as text: one line per entry.
    run = Keyloom({"bulk", bulk, "-r", kR0, "--key-file", keyFile});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 20);
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')), "NV2A00000001 line 2 profile 40: 40-Successful operation");

    // A rejected line rejects the file before anything is sent.
    const std::string bad = Write("bad.txt", "41 " + std::string("JBSWY3DPEHPK3PXP") + " SHA1 6 30 NO NO ok\n100\n");
    run = Keyloom({"bulk", bad, "-r", kR0, "--key-file", keyFile});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.cause(), "keyloom: File format or data error! (bulk file " + bad + ", line 2)");
    EXPECT_TRUE(ShowsCodeOf(kR0, 41, std::vector<uint8_t>(20, 2), OtpAlgorithm::Sha1, 8, 60));
}

TEST_F(KeyloomOnPcscd, ATokenThatStoresAnotherSeedIsReportedNotVerified) {
    Wrote(kR0, 31);
    Wrote(kR0, 32);
    Wrote(kR0, 33);
    sim::SimControlOk(0, "corrupt-seed 31 next");
    const std::string seedFile = Write("seed.txt", kSeedA);
    Finished run = Keyloom(
        {"provision", "-r", kR0, "-p", "31", "--seed-file", seedFile, "--key-file", keyFile, "--verify", "--json"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.cause().find("profile 31 not verified"), std::string::npos) << run.err;
    QJsonObject item = run.json()["tokens"].toArray()[0].toObject()["profiles"].toArray()[0].toObject();
    EXPECT_EQ(item["result"].toString(), "success") << "the write itself was accepted";
    EXPECT_FALSE(item["verified"].toBool());
    EXPECT_FALSE(ShowsCodeOf(kR0, 31, Base32(kSeedA)));

    // In a bulk run only the damaged profile fails.
    sim::SimControlOk(0, "corrupt-seed 33 next");
    const std::string bulk =
        Write("bulk.txt", "32 " + kSeedA + " SHA1 6 30 NO NO \n33 " + kSeedA + " SHA1 6 30 NO NO \n");
    run = Keyloom({"bulk", bulk, "-r", kR0, "--key-file", keyFile, "--verify"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.cause(), "keyloom: 1 profile not verified");
    EXPECT_NE(run.out.find("profile 32: 32-Successful operation; verified\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("profile 33: 33-Successful operation; NOT verified"), std::string::npos) << run.out;
}

TEST_F(KeyloomOnPcscd, AllReadersWritesBothTokensFromOneStandardInput) {
    Wrote(kR0, 23);
    Wrote(kR1, 23);
    Finished run = Keyloom(
        {"provision", "--all-readers", "-p", "23", "--seed-file", "-", "--key-file", keyFile, "--verify", "--json"},
        kSeedA + "\n");
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    const QJsonArray tokens = run.json()["tokens"].toArray();
    ASSERT_EQ(tokens.size(), 2);
    EXPECT_EQ(tokens[0].toObject()["serial"].toString(), "NV2A00000001");
    EXPECT_EQ(tokens[1].toObject()["serial"].toString(), "NV1B00000002");
    for (const QJsonValue& t : tokens)
        EXPECT_TRUE(t.toObject()["profiles"].toArray()[0].toObject()["verified"].toBool());
    EXPECT_TRUE(ShowsCodeOf(kR0, 23, Base32(kSeedA)));
    EXPECT_TRUE(ShowsCodeOf(kR1, 23, Base32(kSeedA)));

    // A seed file gives each token the seed of its own serial number.
    Wrote(kR0, 24);
    Wrote(kR1, 24);
    const std::string seeds = Write("seeds.txt", "NV1B00000002 " + kSeedB + "\nNV2A00000001 " + kSeedA + "\n");
    run = Keyloom({"seed-file", seeds, "--all-readers", "-p", "24", "--key-file", keyFile, "--verify"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "NV2A00000001 profile 24: 24-Successful operation; verified\n"
              "NV1B00000002 profile 24: 24-Successful operation; verified\n");
    EXPECT_TRUE(ShowsCodeOf(kR0, 24, Base32(kSeedA)));
    EXPECT_TRUE(ShowsCodeOf(kR1, 24, Base32(kSeedB)));

    // A token the file has no record for fails alone, as an input error.
    const std::string one = Write("one.txt", "NV2A00000001 " + kSeedA + "\n");
    run = Keyloom({"seed-file", one, "--all-readers", "-p", "24", "--key-file", keyFile, "--force"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.cause(), "keyloom: Virtual PCD 00 01: Failed to load seed file! (" + one +
                               " has no valid record for serial NV1B00000002)");
    EXPECT_NE(run.out.find("NV2A00000001 profile 24: 24-Successful operation"), std::string::npos) << run.out;
}

TEST_F(KeyloomOnPcscd, ASeedProviderBuiltHereIsAskedOnceAndItsSeedVerified) {
    Wrote(kR0, 25);
    Wrote(kR1, 25);
    // The provider hands out a new seed on every call: only the seed of the
    // write itself can verify.
    const Finished run = Keyloom({"seed-provider", SEED_PROVIDER_PATH, "--all-readers", "-p", "25", "--key-file",
                                  keyFile, "--verify", "--json"});
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    const QJsonArray tokens = run.json()["tokens"].toArray();
    ASSERT_EQ(tokens.size(), 2);
    for (const QJsonValue& t : tokens) {
        const QJsonObject item = t.toObject()["profiles"].toArray()[0].toObject();
        EXPECT_EQ(item["profile"].toInt(), 25);
        EXPECT_TRUE(item["verified"].toBool());
    }
    EXPECT_TRUE(HoldsSeed(kR0, 25));
    EXPECT_TRUE(HoldsSeed(kR1, 25));
}

TEST_F(KeyloomOnPcscd, SecretsOnTheCommandLineAreRefusedBeforeAnythingIsTouched) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"provision", "-r", kR0, "-p", "26", "--seed", kSeedA, "--key-file", keyFile,
                                   "--json"},
          {"provision", "-r", kR0, "-p", "26", "--seed-file=-", "--key", kFactoryKey, "--json"},
          {"provision", "-r", kR0, "-p", "26", "--otpauth-file", "otpauth://totp/x?secret=" + kSeedA, "--key-file",
           keyFile, "--json"},
          {"key", "change", "-r", kR0, "--new-key", kFactoryKey, "--json"}}) {
        const Finished run = Keyloom(args, kSeedA);
        EXPECT_EQ(run.status, 2) << args[5];
        EXPECT_EQ(run.json()["status"].toInt(), 2);
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1);
        EXPECT_EQ(run.err.find(kSeedA), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find(kFactoryKey), std::string::npos) << run.err;
    }
    EXPECT_FALSE(HoldsSeed(kR0, 26));
}

// What keyloom cannot do exactly, or must not take, ends with status 2 (1
// for a report that cannot be written) and a one-line cause, before the
// token sees a single command: a status word armed on the token stays
// pending through every row.
TEST_F(KeyloomOnPcscd, RefusalsNameTheirCauseAndSendNothing) {
    const std::string uri = "otpauth://totp/Bank:alice?secret=" + kSeedA;
    const fs::path badConfig = dir / "bad-config";
    fs::create_directories(badConfig);
    tooltest::WriteFile(badConfig / "Norvik2Cfg.ini", "[CONFIG]\r\nCUSTOMER_KEY=hello\r\n");
    const auto otpauth = [&](const std::string& name, const std::string& content) {
        return std::vector<std::string>{"provision",          "-r",         kR0,    "-p", "26", "--otpauth-file",
                                        Write(name, content), "--key-file", keyFile};
    };
    struct Row {
        std::vector<std::string> args;
        Output output;
        int status;
        std::string cause;  // a fragment of the one line
    };
    const std::vector<Row> rows = {
        {otpauth("sha512.txt", uri + "&algorithm=SHA512&digits=7&period=45"), Output::File, 2,
         "algorithm is not one the token computes"},
        {otpauth("digits7.txt", uri + "&digits=7"), Output::File, 2, "digit count is not one keyloom writes"},
        {otpauth("period45.txt", uri + "&period=45"), Output::File, 2, "period is not a time step of the token"},
        {otpauth("period600.txt", uri + "&period=600"), Output::File, 2, "period is not a time step"},
        {otpauth("twice.txt", uri + "&period=30&PERIOD=60"), Output::File, 2, "names PERIOD twice"},
        {otpauth("hotp.txt", "otpauth://hotp/Bank:alice?secret=" + kSeedA + "&counter=1"), Output::File, 2,
         "otpauth://hotp/ URI counts events"},
        {otpauth("issuer13.txt", uri + "&issuer=ThirteenChars"), Output::File, 2, "issuer is longer than a title"},
        {otpauth("issuerctl.txt", uri + "&issuer=Ba\x1b[2Jnk"), Output::File, 2, "issuer is not printable ASCII"},
        {{"otp", "-r", kR0, "-p", "1", "--config-dir", badConfig.string()},
         Output::File,
         2,
         "CUSTOMER_KEY value is not a key this tool stored"},
        {{kSeedA, "-r", kR0}, Output::File, 2, "unknown command in argument 1"},
        {{"otp", "-r", kR0, "-p", "1", "--" + kSeedA}, Output::File, 2, "unknown option in argument 6"},
        {{"--help"}, Output::Full, 1, "could not be written to standard output"},
        {{"bulk", "--help"}, Output::Closed, 1, "could not be written to standard output"},
    };
    sim::SimControlOk(0, "sw 6F00");
    for (const Row& row : rows) {
        const std::string name = row.args[0] + " " + row.args.back();
        const Finished run = Keyloom(row.args, {}, row.output);
        EXPECT_EQ(run.status, row.status) << name << ": " << run.err;
        EXPECT_NE(run.cause().find(row.cause), std::string::npos) << name << ": " << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << name << ": one line";
        EXPECT_EQ(run.err.find(kSeedA), std::string::npos) << name;
        EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << name;
        EXPECT_EQ(sim::SimStatus(0, "next-sw"), "6F00") << name << ": the token got a command";
    }
}

// Standard input is read once, checked and imported as read; a library
// named without a directory is the file of that name in the working
// directory, not one the loader would find on its own path.
TEST_F(KeyloomOnPcscd, StandardInputAndABareLibraryNameAreExactlyWhatWasChecked) {
    Wrote(kR0, 28);
    Wrote(kR0, 29);
    const fs::path work = dir / "work";
    fs::create_directories(work);
    tooltest::WriteFile(work / "-", "28 " + kSeedB + " SHA1 6 30 NO NO planted\n");
    Finished run = Keyloom({"bulk", "-", "-r", kR0, "--key-file", keyFile, "--verify"},
                           "28 " + kSeedA + " SHA1 6 30 NO NO piped\n", Output::File, work);
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_TRUE(ShowsCodeOf(kR0, 28, Base32(kSeedA)));

    fs::copy_file(SEED_PROVIDER_PATH, work / "libnorvik-test-provider.so");
    run = Keyloom(
        {"seed-provider", "libnorvik-test-provider.so", "-r", kR0, "-p", "29", "--key-file", keyFile, "--verify"}, {},
        Output::File, work);
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_TRUE(HoldsSeed(kR0, 29));
}

TEST_F(KeyloomOnPcscd, TheKeyComesFromTheConfigurationFileWhichKeySaveChangeAndResetKeepInStep) {
    Wrote(kR1, 27);
    resetKey = kR1;
    const fs::path config = dir / "config";
    fs::create_directories(config);
    const std::string seedFile = Write("seed.txt", kSeedA);
    // Without a configuration file and without --key-file there is no key,
    // and keyloom does not make one up.
    Finished run =
        Keyloom({"provision", "-r", kR1, "-p", "27", "--seed-file", seedFile, "--config-dir", config.string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.cause().find("no access key"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(config / "Norvik2Cfg.ini"));

    run = Keyloom({"key", "save", "--new-key-file", "-", "--config-dir", config.string()}, kFactoryKey);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(tooltest::ReadFile(config / "Norvik2Cfg.ini").find(kFactoryKey), std::string::npos) << "enciphered";
    run = Keyloom(
        {"provision", "-r", kR1, "-p", "27", "--seed-file", seedFile, "--config-dir", config.string(), "--verify"});
    EXPECT_EQ(run.status, 0) << run.err;

    // A new key inside the token, saved: the file's key works, the old one
    // no longer does.
    const std::string newKey = Write("new.txt", "00112233445566778899AABBCCDDEEFF");
    run = Keyloom(
        {"key", "change", "-r", kR1, "--new-key-file", newKey, "--save", "--config-dir", config.string(), "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.json()["saved"].toBool());
    run = Keyloom({"otp", "-r", kR1, "-p", "27", "--config-dir", config.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    run = Keyloom({"otp", "-r", kR1, "-p", "27", "--key-file", keyFile});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.cause().find("27-Authentication failed, remaining"), std::string::npos) << run.err;

    // Back to the factory key, in the token and in the file.
    run = Keyloom({"key", "reset", "-r", kR1, "--save", "--config-dir", config.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    run = Keyloom({"delete", "-r", kR1, "-p", "27", "--config-dir", config.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "NV1B00000002 profile 27: seed removed\n");
    EXPECT_EQ(sim::SimStatus(1, "tries"), "5");
}

TEST_F(KeyloomOnPcscd, ReadersAndInfoNameEveryTokenAndProfile) {
    Wrote(kR1, 3);
    Finished run = Keyloom({"readers", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const QJsonArray readers = run.json()["readers"].toArray();
    ASSERT_GE(readers.size(), 2);
    EXPECT_EQ(readers[0].toObject()["reader"].toString().toStdString(), kR0);
    EXPECT_EQ(readers[0].toObject()["serial"].toString(), "NV2A00000001");
    EXPECT_EQ(readers[1].toObject()["serial"].toString(), "NV1B00000002");

    const std::string seedFile = Write("seed.txt", kSeedA);
    ASSERT_EQ(
        Keyloom({"provision", "-r", kR1, "-p", "3", "--seed-file", seedFile, "--key-file", keyFile, "--enter"}).status,
        0);
    run = Keyloom({"info", "-r", kR1, "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const QJsonObject info = run.json();
    EXPECT_EQ(info["serial"].toString(), "NV1B00000002");
    EXPECT_LE(std::abs(info["driftSeconds"].toInt()), 2);
    EXPECT_EQ(info["profileCount"].toInt(), 50);
    const QJsonArray profiles = info["profiles"].toArray();
    ASSERT_EQ(profiles.size(), 50);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(profiles[i].toObject()["profile"].toInt(), i);
    const QJsonObject three = profiles[3].toObject();
    EXPECT_TRUE(three["seed"].toBool());
    EXPECT_TRUE(three["autoEnter"].toBool());
    EXPECT_TRUE(three["algorithm"].isNull()) << "the library does not read it back";

    run = Keyloom({"info", "-r", "No Such Reader", "--json"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.json()["error"].toString().toStdString(), run.cause().substr(9));
}

}  // namespace
