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

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <set>
#include <thread>

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
        const pid_t pid = Start(std::move(args), in, output, cwd);
        return Wait(pid);
    }

    // The same, running on while the test goes on; Wait collects it.
    pid_t Start(std::vector<std::string> args, const std::string& in = {}, Output output = Output::File,
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
        if (posix_spawn(&pid, KEYLOOM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    Finished Wait(pid_t pid) {
        Finished run;
        if (pid > 0) {
            int status = 0;
            waitpid(pid, &status, 0);
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        run.out = tooltest::ReadFile(dir / "stdout");
        run.err = tooltest::ReadFile(dir / "stderr");
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

    // server_files.py with request on its standard input: the independent
    // readers and writers of the server files, its answer as JSON.
    QJsonDocument Python(const std::string& command, const fs::path& file, const std::string& request = "{}") {
        const std::string input = Write("request.json", request);
        const std::string line =
            "/usr/bin/python3 '" SERVER_FILES_SCRIPT "' " + command + " '" + file.string() + "' < '" + input + "' 2>&1";
        std::string output;
        if (FILE* pipe = popen(line.c_str(), "r")) {
            char buffer[4096];
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
            pclose(pipe);
        }
        fs::remove(input);
        const QJsonDocument json = QJsonDocument::fromJson(QByteArray::fromStdString(output));
        EXPECT_FALSE(json.isNull()) << command << ": " << output;
        return json;
    }

    // Whether oathtool gives, for secret (hexadecimal, or base32), the
    // password the token shows in the profile now (or a step before or
    // after). The secret goes to oathtool on its standard input.
    bool OathtoolGivesTokensCode(const std::string& reader, int profile, const std::string& secret, bool base32,
                                 const std::string& algorithm = "SHA1", int digits = 6, int step = 30) {
        char otp[16] = {};
        if (CardReadOTP(reader.c_str(), kFactoryKey, profile, otp) != 0) return false;
        const std::string key = Write("oath.key", secret + "\n");
        const long now = static_cast<long>(std::time(nullptr));
        bool match = false;
        for (long t = now - step; t <= now + step; t += step) {
            const std::string line = "oathtool --totp=" + algorithm + (base32 ? " -b" : "") + " -d " +
                                     std::to_string(digits) + " -s " + std::to_string(step) + "s -N @" +
                                     std::to_string(t) + " - < '" + key + "' 2>&1";
            char buffer[64] = {};
            if (FILE* pipe = popen(line.c_str(), "r")) {
                const std::string code = fgets(buffer, sizeof buffer, pipe) ? std::string(buffer) : "";
                pclose(pipe);
                match = match || code == std::string(otp) + "\n";
            }
        }
        fs::remove(key);
        return match;
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

// --- enroll ------------------------------------------------------------------

const std::string kExportKey = "000102030405060708090A0B0C0D0E0F";

// Standard output's JSON Lines.
std::vector<QJsonObject> JsonLines(const std::string& out) {
    std::vector<QJsonObject> lines;
    size_t start = 0;
    for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(out.substr(start, end - start))).object());
    return lines;
}

mode_t Mode(const fs::path& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

std::string ReaderOf(const QString& serial) { return serial == "NV2A00000001" ? kR0 : kR1; }

// The whole round trip on both readers: fresh seeds written and verified,
// the users handed out in order and put into the titles, and every export
// read back by an independent reader whose secret gives, through oathtool,
// the very code the token shows.
TEST_F(KeyloomOnPcscd, EnrollWritesVerifiesAndExportsBothTokensForEveryServer) {
    Wrote(kR0, 45);
    Wrote(kR1, 45);
    const std::string users = Write("users.txt", "alice@ex.com\n\n  bob@ex.com  \ncarol@ex.com\n");
    const std::string psk = Write("export.key", kExportKey + "\n");
    const fs::path pskc = dir / "tokens.pskc", entra = dir / "entra.csv", pi = dir / "pi.csv",
                   journal = dir / "enroll.jsonl";
    tooltest::WriteFile(pi, "an older export\n");  // replaced, as asked
    Finished run = Keyloom({"enroll",    "-p",          "45",           "--key-file",
                            keyFile,     "--users",     users,          "--title-template",
                            "{user}",    "--pskc",      pskc.string(),  "--pskc-key-file",
                            psk,         "--entra-csv", entra.string(), "--privacyidea-csv",
                            pi.string(), "--overwrite", "--journal",    journal.string(),
                            "--json"});
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_TRUE(run.err.empty()) << run.err;
    std::vector<QJsonObject> lines = JsonLines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    const std::pair<std::string, std::string> expected[] = {{kR0, "alice@ex.com"}, {kR1, "bob@ex.com"}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(lines[i]["reader"].toString().toStdString(), expected[i].first);
        EXPECT_EQ(lines[i]["user"].toString().toStdString(), expected[i].second);
        EXPECT_EQ(lines[i]["title"].toString().toStdString(), expected[i].second);
        EXPECT_EQ(lines[i]["result"].toString(), "enrolled");
        EXPECT_TRUE(lines[i]["verified"].toBool());
        EXPECT_EQ(lines[i]["seedFingerprint"].toString().size(), 16);
    }
    EXPECT_EQ(lines[2]["command"].toString(), "enroll");
    EXPECT_EQ(lines[2]["enrolled"].toInt(), 2);
    EXPECT_EQ(lines[2]["failed"].toInt(), 0);

    const QJsonArray keys = Python("read-pskc", pskc, "{\"key\": \"" + kExportKey + "\"}").array();
    ASSERT_EQ(keys.size(), 2) << tooltest::ReadFile(pskc);
    for (int i = 0; i < 2; ++i) {
        const QJsonObject k = keys[i].toObject();
        EXPECT_EQ(k["serial"].toString().toStdString(), i == 0 ? "NV2A00000001" : "NV1B00000002");
        EXPECT_EQ(k["user"].toString().toStdString(), expected[i].second);
        EXPECT_EQ(k["algorithm"].toString(), "urn:ietf:params:xml:ns:keyprov:pskc:totp");
        EXPECT_EQ(k["digits"].toInt(), 6);
        EXPECT_EQ(k["step"].toInt(), 30);
        EXPECT_EQ(k["secret"].toString().size(), 40);
        EXPECT_TRUE(
            OathtoolGivesTokensCode(ReaderOf(k["serial"].toString()), 45, k["secret"].toString().toStdString(), false));
        // The seed itself is nowhere but in the exports.
        EXPECT_EQ(run.out.find(k["secret"].toString().toStdString()), std::string::npos);
        EXPECT_EQ(tooltest::ReadFile(journal).find(k["secret"].toString().toStdString()), std::string::npos);
    }
    const QJsonArray entraRows = Python("read-csv", entra).array();
    ASSERT_EQ(entraRows.size(), 3);
    EXPECT_EQ(entraRows[0].toArray(),
              QJsonArray({"upn", "serial number", "secret key", "time interval", "manufacturer", "model"}));
    for (int i = 1; i < 3; ++i) {
        const QJsonArray row = entraRows[i].toArray();
        EXPECT_EQ(row[0].toString().toStdString(), expected[i - 1].second);
        EXPECT_EQ(row[3].toString(), "30");
        EXPECT_TRUE(OathtoolGivesTokensCode(ReaderOf(row[1].toString()), 45, row[2].toString().toStdString(), true));
    }
    const QJsonArray piRows = Python("read-csv", pi).array();
    ASSERT_EQ(piRows.size(), 2);
    for (const QJsonValue& v : piRows) {
        const QJsonArray row = v.toArray();
        EXPECT_EQ(row[2].toString(), "totp");
        EXPECT_TRUE(OathtoolGivesTokensCode(ReaderOf(row[0].toString()), 45, row[1].toString().toStdString(), false));
    }
    for (const fs::path& file : {pskc, entra, pi, journal}) EXPECT_EQ(Mode(file), 0600u) << file;
    // The journal names each token's seed by the fingerprint it reported.
    const std::vector<QJsonObject> journalLines = JsonLines(tooltest::ReadFile(journal));
    ASSERT_EQ(journalLines.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(journalLines[i]["serial"], lines[i]["serial"]);
        EXPECT_EQ(journalLines[i]["user"], lines[i]["user"]);
        EXPECT_EQ(journalLines[i]["result"].toString(), "enrolled");
        EXPECT_EQ(journalLines[i]["seedFingerprint"], lines[i]["seedFingerprint"]);
    }

    // PBKDF2 from a passphrase on standard input, SHA256, 8 digits, 60 s;
    // the profiles hold the seeds just written, so --force. The text report:
    // one line per token, then the summary.
    const fs::path derived = dir / "derived.pskc", pi256 = dir / "pi256.csv";
    run = Keyloom({"enroll",
                   "-p",
                   "45",
                   "--force",
                   "--algorithm",
                   "SHA256",
                   "--digits",
                   "8",
                   "--step",
                   "60",
                   "--key-file",
                   keyFile,
                   "--pskc",
                   derived.string(),
                   "--pskc-passphrase-file",
                   "-",
                   "--pskc-prf",
                   "sha256",
                   "--privacyidea-csv",
                   pi256.string(),
                   "--journal",
                   journal.string()},
                  "correct horse\n");
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_EQ(run.out,
              "Virtual PCD 00 00: NV2A00000001 profile 45 user -: enrolled, verified\n"
              "Virtual PCD 00 01: NV1B00000002 profile 45 user -: enrolled, verified\n"
              "enrolled 2, failed 0\n");
    const QJsonArray derivedKeys = Python("read-pskc", derived, "{\"passphrase\": \"correct horse\"}").array();
    ASSERT_EQ(derivedKeys.size(), 2) << tooltest::ReadFile(derived);
    for (const QJsonValue& v : derivedKeys) {
        const QJsonObject k = v.toObject();
        EXPECT_EQ(k["suite"].toString(), "SHA256");
        EXPECT_EQ(k["secret"].toString().size(), 64);
        EXPECT_TRUE(OathtoolGivesTokensCode(ReaderOf(k["serial"].toString()), 45, k["secret"].toString().toStdString(),
                                            false, "SHA256", 8, 60));
    }
    for (const QJsonValue& v : Python("read-csv", pi256).array())
        EXPECT_TRUE(OathtoolGivesTokensCode(ReaderOf(v.toArray()[0].toString()), 45,
                                            v.toArray()[1].toString().toStdString(), false, "SHA256", 8, 60));
    EXPECT_EQ(JsonLines(tooltest::ReadFile(journal)).size(), 4u);
}

// A vendor's PSKC file, written (encrypted) by python3-pskc, provisions the
// token whose serial number it names with the settings it gives; a token
// it does not name is refused. enroll takes such a file too.
TEST_F(KeyloomOnPcscd, APskcSeedFileFromPythonPskcProvisionsAndEnrollsTheTokensItNames) {
    Wrote(kR0, 46);
    Wrote(kR1, 46);
    const std::string seed32 = "3132333435363738393031323334353637383930313233343536373839303132";
    const std::string seed20 = "0123456789ABCDEF0123456789ABCDEF01234567";
    const fs::path keyed = dir / "vendor.pskc", derived = dir / "vendor-pass.pskc";
    Python("write-pskc", keyed,
           "{\"key\": \"" + kExportKey + "\", \"tokens\": [{\"serial\": \"NV9Z00000009\", \"secret\": \"" + seed20 +
               "\", \"digits\": 6, \"step\": 30}, {\"serial\": \"NV2A00000001\", \"secret\": \"" + seed32 +
               "\", \"digits\": 8, \"step\": 60, \"suite\": \"SHA256\"}]}");
    const std::string key = Write("vendor.key", kExportKey);
    Finished run = Keyloom({"provision", "-r", kR0, "-p", "46", "--seed-pskc", keyed.string(), "--seed-pskc-key-file",
                            key, "--key-file", keyFile, "--verify"});
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_EQ(run.out, "NV2A00000001 profile 46: 46-Successful operation; verified\n");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < seed32.size(); i += 2) bytes.push_back(std::stoi(seed32.substr(i, 2), nullptr, 16));
    EXPECT_TRUE(ShowsCodeOf(kR0, 46, bytes, OtpAlgorithm::Sha256, 8, 60));

    run = Keyloom({"provision", "-r", kR1, "-p", "46", "--seed-pskc", keyed.string(), "--seed-pskc-key-file", key,
                   "--key-file", keyFile});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.cause(), "keyloom: the seed PSKC file has no key for serial NV1B00000002");
    EXPECT_FALSE(HoldsSeed(kR1, 46));

    // enroll: the passphrase's PBKDF2 (HMAC-SHA256), the seed into the export.
    Python("write-pskc", derived,
           "{\"passphrase\": \"vendor pass\", \"prf\": \"hmac-sha256\", \"tokens\": [{\"serial\": \"NV1B00000002\", "
           "\"secret\": \"" +
               seed20 + "\", \"digits\": 6, \"step\": 30}]}");
    const fs::path pi = dir / "pi.csv";
    run = Keyloom({"enroll", "-r", kR1, "-p", "46", "--seed-pskc", derived.string(), "--seed-pskc-passphrase-file", "-",
                   "--key-file", keyFile, "--privacyidea-csv", pi.string(), "--journal", (dir / "j.jsonl").string()},
                  "vendor pass\n");
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_TRUE(OathtoolGivesTokensCode(kR1, 46, seed20, false));
    EXPECT_EQ(tooltest::ReadFile(pi), "NV1B00000002," + seed20 + ",totp,6,30\n");
}

// The hands-free station: tokens found at the start and each one inserted
// are enrolled once, a token put back is not enrolled again, and SIGTERM in
// the middle of a token ends the run after it with the export files
// finished, holding exactly the tokens reported enrolled.
TEST_F(KeyloomOnPcscd, EnrollWatchEnrollsEachInsertedTokenOnceAndStopsCleanlyOnSigterm) {
    // The fixture's own tokens come back, fresh, whatever happens here.
    struct Restore {
        ~Restore() {
            for (int i = 0; i < 2; ++i) {
                try {
                    sim::SimControl(i, std::string("insert-new ") + (i == 0 ? "NV2A00000001" : "NV1B00000002"));
                    sim::WaitForCard(sim::ReaderName(i), false);
                    sim::WaitForCard(sim::ReaderName(i), true);
                } catch (const std::exception& e) {
                    ADD_FAILURE() << "the fixture's token " << i << " is not back: " << e.what();
                }
            }
        }
    } restore;
    Wrote(kR0, 47);
    Wrote(kR1, 47);
    const std::string users = Write("users.txt", "u1\nu2\nu3\nu4\nu5\nu6\nu7\nu8\n");
    const std::string psk = Write("export.key", kExportKey);
    const fs::path pskc = dir / "watch.pskc", pi = dir / "watch.csv", journal = dir / "watch.jsonl";
    const pid_t pid =
        Start({"enroll", "--watch", "-p", "47", "--key-file", keyFile, "--users", users, "--pskc", pskc.string(),
               "--pskc-key-file", psk, "--privacyidea-csv", pi.string(), "--journal", journal.string(), "--json"});
    ASSERT_GT(pid, 0);
    const auto linesOut = [&](size_t count) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        std::vector<QJsonObject> lines;
        while ((lines = JsonLines(tooltest::ReadFile(dir / "stdout"))).size() < count &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return lines;
    };
    ASSERT_EQ(linesOut(2).size(), 2u) << "the tokens in the readers at the start";
    sim::SimControlOk(0, "insert-new NVW0000000A1");
    ASSERT_EQ(linesOut(3).size(), 3u);
    sim::SimControlOk(0, "reinsert");
    ASSERT_EQ(linesOut(4).size(), 4u);
    sim::SimControlOk(1, "insert-new NVW1000000B2");
    ASSERT_EQ(linesOut(5).size(), 5u);
    // In the middle of the next token.
    sim::SimControlOk(0, "insert-new NVW0000000C3");
    ASSERT_TRUE(sim::WaitForCard(kR0, false));
    ASSERT_TRUE(sim::WaitForCard(kR0, true));
    kill(pid, SIGTERM);
    const Finished run = Wait(pid);
    EXPECT_EQ(run.status, 0) << run.err << run.out;

    const std::vector<QJsonObject> lines = JsonLines(run.out);
    ASSERT_GE(lines.size(), 6u) << run.out;
    std::vector<std::string> enrolled, skipped;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::string serial = lines[i]["serial"].toString().toStdString();
        if (lines[i]["result"].toString() == "enrolled") enrolled.push_back(serial);
        if (lines[i]["result"].toString() == "skipped") skipped.push_back(serial);
    }
    EXPECT_EQ(std::set<std::string>(enrolled.begin(), enrolled.end()).size(), enrolled.size()) << run.out;
    const std::set<std::string> first{enrolled.begin(), enrolled.begin() + std::min<size_t>(4, enrolled.size())};
    EXPECT_EQ(first, (std::set<std::string>{"NV2A00000001", "NV1B00000002", "NVW0000000A1", "NVW1000000B2"}));
    EXPECT_EQ(skipped, std::vector<std::string>{"NVW0000000A1"});
    EXPECT_EQ(lines.back()["command"].toString(), "enroll");
    EXPECT_EQ(lines.back()["stopped"].toString(), "stopped by SIGTERM");
    EXPECT_EQ(lines.back()["enrolled"].toInt(), static_cast<int>(enrolled.size()));

    // Exactly the tokens reported, in files that are whole.
    std::set<std::string> exported;
    for (const QJsonValue& k : Python("read-pskc", pskc, "{\"key\": \"" + kExportKey + "\"}").array())
        exported.insert(k.toObject()["serial"].toString().toStdString());
    EXPECT_EQ(exported, std::set<std::string>(enrolled.begin(), enrolled.end()));
    exported.clear();
    for (const QJsonValue& row : Python("read-csv", pi).array())
        exported.insert(row.toArray()[0].toString().toStdString());
    EXPECT_EQ(exported, std::set<std::string>(enrolled.begin(), enrolled.end()));
    EXPECT_EQ(JsonLines(tooltest::ReadFile(journal)).size(), lines.size() - 1 - skipped.size());
}

// A run ends cleanly, with status 0, when its users list is used up (the
// tokens still waiting are not touched) or when --count tokens are enrolled
// (the watching station ends by itself).
TEST_F(KeyloomOnPcscd, EnrollEndsCleanlyWhenTheUsersRunOutOrTheCountIsReached) {
    Wrote(kR0, 48);
    Wrote(kR1, 48);
    Wrote(kR0, 49);
    Wrote(kR1, 49);
    const std::string journal = (dir / "ends.jsonl").string();
    Finished run = Keyloom({"enroll", "-p", "48", "--key-file", keyFile, "--users", Write("one.txt", "solo\n"),
                            "--journal", journal, "--json"});
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    std::vector<QJsonObject> lines = JsonLines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    EXPECT_EQ(lines[0]["result"].toString(), "enrolled");
    EXPECT_EQ(lines[0]["user"].toString(), "solo");
    EXPECT_EQ(lines[1]["stopped"].toString(), "the users list is used up");
    const bool firstWasR0 = lines[0]["serial"].toString() == "NV2A00000001";
    EXPECT_TRUE(HoldsSeed(firstWasR0 ? kR0 : kR1, 48));
    EXPECT_FALSE(HoldsSeed(firstWasR0 ? kR1 : kR0, 48)) << "the token after the last user is not touched";

    run = Keyloom({"enroll", "--watch", "--count", "1", "-p", "49", "--key-file", keyFile, "--journal", journal,
                   "--json"});
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    lines = JsonLines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    EXPECT_EQ(lines[0]["result"].toString(), "enrolled");
    EXPECT_EQ(lines[1]["stopped"].toString(), "--count reached");
    EXPECT_EQ(HoldsSeed(kR0, 49) + HoldsSeed(kR1, 49), 1);
}

// What enroll cannot export, or must not take, ends with status 2 and a
// one-line cause before any file is made or any command reaches a token.
TEST_F(KeyloomOnPcscd, EnrollRefusalsWriteNothingAndSendNothing) {
    const std::string users = Write("users.txt", "alice@ex.com\n");
    const std::string psk = Write("export.key", kExportKey);
    const std::string shortKey = Write("short.key", kExportKey.substr(1));
    const std::string longKey = Write("long.key", kExportKey + kExportKey);
    const std::string wrongKey = Write("wrong.key", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
    const std::string wrongPass = Write("wrong.pass", "not the passphrase\n");
    const std::string emptyPass = Write("empty.pass", "\n");
    const std::string taken = Write("taken.csv", "an earlier export\n");
    const fs::path keyed = dir / "vendor.pskc", derived = dir / "vendor-pass.pskc";
    const std::string token =
        "\"tokens\": [{\"serial\": \"NV2A00000001\", \"secret\": \"3132333435363738393031323334353637383930\", "
        "\"digits\": 6, \"step\": 30}]";
    Python("write-pskc", keyed, "{\"key\": \"" + kExportKey + "\", " + token + "}");
    Python("write-pskc", derived, "{\"passphrase\": \"vendor pass\", " + token + "}");
    const std::string out = (dir / "out").string();
    const auto enroll = [&](std::vector<std::string> more) {
        std::vector<std::string> args{
            "enroll", "-r", kR0, "-p", "48", "--key-file", keyFile, "--journal", (dir / "j.jsonl").string()};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    struct Row {
        std::vector<std::string> args;
        std::string cause;  // a fragment of the one line
    };
    const std::vector<Row> rows = {
        {enroll({"--algorithm", "SHA256", "--entra-csv", out, "--users", users}), "Entra ID takes SHA1"},
        {enroll({"--digits", "8", "--entra-csv", out, "--users", users}), "6-digit codes only"},
        {enroll({"--entra-csv", out}), "assigns every token to a user"},
        {enroll({"--privacyidea-csv", taken}), "exists already; it is not overwritten unless asked"},
        {enroll({"--pskc", out, "--pskc-key-file", psk, "--entra-csv", taken, "--users", users}), "exists already"},
        {enroll({"--pskc", out, "--pskc-key-file", shortKey}), "a key is 32, 48 or 64 hexadecimal digits"},
        {enroll({"--pskc", out, "--pskc-key-file", longKey}), "must be 16 bytes"},
        {enroll({"--pskc", out, "--pskc-passphrase-file", emptyPass}), "the passphrase is empty"},
        {enroll({"--pskc", out}), "needs exactly one of"},
        {enroll({"--seed-pskc", keyed.string(), "--seed-pskc-key-file", wrongKey}), "wrong"},
        {enroll({"--seed-pskc", derived.string(), "--seed-pskc-passphrase-file", wrongPass}), "wrong"},
        {enroll({"--seed-pskc", keyed.string()}), "give its"},
        {enroll({"--title-template", "{user}"}), "give the users with --users FILE"},
        {enroll({"--privacyidea-csv", out, "--journal", out}), "named twice"},
    };
    const auto files = [&] {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
        for (const char* run : {"stdin", "stdout", "stderr"}) names.erase(run);
        return names;
    };
    sim::SimControlOk(0, "sw 6F00");
    for (const Row& row : rows) {
        const std::set<std::string> before = files();
        const Finished run = Keyloom(row.args);
        std::string name;
        for (size_t i = 9; i < row.args.size(); ++i) name += row.args[i] + " ";
        EXPECT_EQ(run.status, 2) << name << ": " << run.err;
        EXPECT_NE(run.cause().find(row.cause), std::string::npos) << name << ": " << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << name << ": one line";
        EXPECT_EQ(files(), before) << name << ": a file was made";
        EXPECT_EQ(tooltest::ReadFile(taken), "an earlier export\n") << name;
        EXPECT_EQ(sim::SimStatus(0, "next-sw"), "6F00") << name << ": the token got a command";
    }
}
