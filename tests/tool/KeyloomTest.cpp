// keyloom without a reader: its command line (secrets above all), its
// inputs, its RFC 6238 check against oathtool and RFC 4226's values, the
// verification walk against the scripted token, and how the workers of
// --all-readers are combined.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>
#include <memory>

#include "cli/CommandLine.h"
#include "cli/Fleet.h"
#include "FlowFixture.h"
#include "cli/Inputs.h"
#include "cli/Keyloom.h"
#include "cli/Totp.h"
#include "cli/Verify.h"

using namespace keyloom;
using tooltest::Strings;

namespace {

std::vector<std::string> Args(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

// The cause of the usage error the arguments give, "" when they parse.
std::string Refusal(std::initializer_list<const char*> list) {
    try {
        ParseCommandLine(Args(list));
    } catch (const UsageError& e) {
        return e.what();
    }
    return {};
}

const std::vector<uint8_t> kRfcSeed = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0',
                                       '1', '2', '3', '4', '5', '6', '7', '8', '9', '0'};

std::string Oathtool(const std::string& options) {
    const std::string command = "oathtool " + options + " 3132333435363738393031323334353637383930 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return {};
    char line[64] = {};
    if (!fgets(line, sizeof line, pipe.get())) return {};
    std::string out(line);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

TEST(KeyloomCommandLine, SecretsAreRefusedWithoutBeingRepeated) {
    const char* seed = "JBSWY3DPEHPK3PXP";
    for (const auto& cause : {Refusal({"provision", "-p", "3", "--seed", seed}),
                              Refusal({"provision", "-p", "3", "--seed=JBSWY3DPEHPK3PXP"}),
                              Refusal({"otp", "-p", "1", "--key", "6B3F09D2A4C8571E90B2D6F4138A5C7E"}),
                              Refusal({"key", "change", "--new-key=00112233"})}) {
        EXPECT_NE(cause.find("secrets are not taken on the command line"), std::string::npos) << cause;
        EXPECT_EQ(cause.find(seed), std::string::npos);
        EXPECT_EQ(cause.find("6B3F"), std::string::npos);
    }
    // An otpauth URI anywhere, even as the value of an innocent option.
    const std::string uri = Refusal({"provision", "-p", "3", "--title", "otpauth://totp/a?secret=JBSWY3DP"});
    EXPECT_NE(uri.find("--otpauth-file"), std::string::npos);
    EXPECT_EQ(uri.find("JBSWY3DP"), std::string::npos);
    EXPECT_NE(Refusal({"provision", "-p", "3", "--otpauth-file", "x", "issuer=a&secret=B"}).find("argument 6"),
              std::string::npos);
    // A stray word may be a seed pasted in the wrong place: named by its
    // position only, as a command or an option as well.
    const std::string stray = Refusal({"otp", "-p", "2", seed});
    EXPECT_NE(stray.find("argument 4"), std::string::npos);
    EXPECT_EQ(stray.find(seed), std::string::npos);
    EXPECT_EQ(Refusal({seed, "-p", "2"}), "unknown command in argument 1 (keyloom --help lists them)");
    EXPECT_EQ(Refusal({"otp", "-p", "2", "--JBSWY3DPEHPK3PXP"}),
              "unknown option in argument 4 (keyloom --help lists them)");
}

TEST(KeyloomCommandLine, OptionsBelongToTheirCommandsAndRequiredOnesAreThere) {
    const Options o = ParseCommandLine(
        Args({"provision", "-r", "Virtual PCD 00 00", "-p5", "--seed-file=-", "--algorithm", "sha256", "--digits", "8",
              "--step", "60", "--title", "Bank", "--set-time", "--enter", "--force", "--verify", "--json"}));
    EXPECT_EQ(o.command, Command::Provision);
    EXPECT_EQ(o.commandName, "provision");
    EXPECT_EQ(*o.reader, "Virtual PCD 00 00");
    EXPECT_EQ(*o.profile, 5);
    EXPECT_EQ(*o.seedFile, "-");
    EXPECT_EQ(*o.algorithm, "SHA256");
    EXPECT_EQ(*o.digits, 8);
    EXPECT_EQ(*o.step, 60);
    EXPECT_TRUE(o.setTime && o.enter && o.force && o.verify && o.json);

    const Options key = ParseCommandLine(Args({"key", "change", "--new-key-file", "k", "--save"}));
    EXPECT_EQ(key.command, Command::KeyChange);
    EXPECT_EQ(key.commandName, "key change");
    EXPECT_EQ(ParseCommandLine(Args({"bulk", "f.txt", "--all-readers"})).file, "f.txt");
    EXPECT_TRUE(ParseCommandLine(Args({"bulk", "--help"})).help);

    EXPECT_EQ(Refusal({"info", "--verify"}), "--verify does not apply to info");
    EXPECT_EQ(Refusal({"otp", "--all-readers", "-p", "1"}), "--all-readers does not apply to otp");
    EXPECT_EQ(
        Refusal({"provision", "-p", "1"}),
        "provision takes its seed from exactly one of --seed-file FILE, --otpauth-file FILE and --seed-pskc FILE");
    EXPECT_EQ(
        Refusal({"provision", "-p", "1", "--seed-file", "a", "--seed-pskc", "b"}),
        "provision takes its seed from exactly one of --seed-file FILE, --otpauth-file FILE and --seed-pskc FILE");
    EXPECT_EQ(Refusal({"provision", "-p", "1", "--seed-pskc", "a", "--seed-pskc-key-file", "k",
                       "--seed-pskc-passphrase-file", "p"}),
              "--seed-pskc-key-file and --seed-pskc-passphrase-file exclude each other");
    // enroll: what its options must say together.
    EXPECT_EQ(Refusal({"enroll", "--title", "a", "--title-template", "{user}"}),
              "--title and --title-template exclude each other");
    EXPECT_EQ(Refusal({"enroll", "--pskc", "t.pskc", "--pskc-clear", "--pskc-key-file", "k"}),
              "--pskc FILE needs exactly one of --pskc-key-file FILE, --pskc-passphrase-file FILE and --pskc-clear");
    EXPECT_EQ(Refusal({"enroll", "--pskc-key-file", "k"}),
              "--pskc-key-file, --pskc-passphrase-file and --pskc-clear need --pskc FILE");
    EXPECT_EQ(Refusal({"enroll", "--entra-csv", "-"}),
              "exports and the journal are files of their own, not standard output");
    EXPECT_EQ(Refusal({"enroll", "--users", "-", "--pskc", "t", "--pskc-passphrase-file", "-"}),
              "only one input can come from standard input (-)");
    EXPECT_EQ(Refusal({"enroll", "--count", "0"}), "--count: the count is a number from 1");
    EXPECT_EQ(Refusal({"enroll", "--pskc-passphrase=hunter2"}).rfind("--pskc-passphrase: secrets are not taken", 0),
              0u);
    EXPECT_EQ(Refusal({"provision", "-p", "1", "--seed-file", "a", "--watch"}), "--watch does not apply to provision");
    EXPECT_EQ(Refusal({"seed-file", "-p", "1"}), "seed-file needs the seed file");
    EXPECT_EQ(Refusal({"delete"}), "delete needs -p PROFILE");
    EXPECT_EQ(Refusal({"otp", "-p", "100"}), "-p: a profile is a number 0-99");
    EXPECT_EQ(Refusal({"provision", "-p", "1", "--seed-file", "a", "--digits", "7"}),
              "--digits: a password has 4, 6, 8 or 10 digits");
    EXPECT_EQ(Refusal({"provision", "-p", "1", "--seed-file", "a", "--title", "thirteen char"}),
              "--title: a title has at most 12 characters");
    EXPECT_EQ(Refusal({"bulk", "f", "-r", "R", "--all-readers"}), "-r READER and --all-readers exclude each other");
    EXPECT_EQ(Refusal({"key", "change", "--new-key-file", "-", "--key-file", "-"}),
              "only one input can come from standard input (-)");
    EXPECT_EQ(Refusal({"key", "rotate"}), "key: the action is change, reset or save");
    EXPECT_EQ(Refusal({}), "no command given (keyloom --help lists them)");

    // A worker gets the same line for its reader, as JSON.
    EXPECT_EQ(WorkerArguments(Args({"bulk", "--all-readers", "f", "--verify"}), "Virtual PCD 00 01"),
              Args({"bulk", "f", "--verify", "-r", "Virtual PCD 00 01", "--json"}));
    // A file named like an option is a value and reaches the worker whole.
    EXPECT_EQ(WorkerArguments(Args({"provision", "-p", "1", "--otpauth-file", "--json", "--all-readers"}), "R"),
              Args({"provision", "-p", "1", "--otpauth-file", "--json", "-r", "R", "--json"}));
}

TEST(KeyloomInputs, SeedsKeysAndOtpauthTextAreCheckedBeforeAnyTokenIsTouched) {
    const SeedInput seed = ParseSeedText(" jbsw y3dp\tEHPK3PXP\r\n", "--seed-file");
    EXPECT_EQ(seed.text, "JBSWY3DPEHPK3PXP");
    EXPECT_EQ(seed.bytes, (std::vector<uint8_t>{'H', 'e', 'l', 'l', 'o', '!', 0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_THROW(ParseSeedText(" \n", "s"), UsageError);
    EXPECT_THROW(ParseSeedText("JBSWY3DP1", "s"), UsageError);  // 1 is not base32
    EXPECT_EQ(ParseSeedText(std::string(256, 'A'), "s").bytes.size(), 160u);
    EXPECT_THROW(ParseSeedText(std::string(258, 'A'), "s"), UsageError);  // 161 bytes

    EXPECT_EQ(ParseKeyText("6b3f09d2a4c8571e90b2d6f4138a5c7e\n", "k"), "6B3F09D2A4C8571E90B2D6F4138A5C7E");
    for (const char* bad : {"", "ABC", "6B3F09D2A4C8571E90B2D6F4138A5C7E00", "GG"})
        EXPECT_THROW(ParseKeyText(bad, "k"), UsageError) << bad;

    // The first word only; the title in lower case as the QR import gives it.
    const OtpauthInput uri = ParseOtpauthText(
        "\notpauth://totp/Example:alice?secret=jbswy3dpehpk3pxp&issuer=Example&algorithm=SHA256&digits=8&period=60 "
        "tail",
        "--otpauth-file");
    EXPECT_EQ(uri.seed.text, "JBSWY3DPEHPK3PXP");
    EXPECT_EQ(uri.title, "example");
    EXPECT_EQ(uri.algorithm, OtpAlgorithm::Sha256);
    EXPECT_EQ(uri.digits, 8);
    EXPECT_EQ(uri.step, 60);
    // Parameter names in capitals mean the same; 10 digits is a length the
    // token has; without parameters, the defaults of the URI format.
    const OtpauthInput capitals =
        ParseOtpauthText("OTPAUTH://TOTP/x?secret=JBSWY3DP&PERIOD=60&Digits=10&ALGORITHM=sha256", "u");
    EXPECT_EQ(capitals.step, 60);
    EXPECT_EQ(capitals.digits, 10);
    EXPECT_EQ(capitals.algorithm, OtpAlgorithm::Sha256);
    const OtpauthInput plain = ParseOtpauthText("otpauth://totp/sha256-period=60?secret=JBSWY3DP", "u");
    EXPECT_EQ(plain.algorithm, OtpAlgorithm::Sha1) << "only the parameters count, not the label";
    EXPECT_EQ(plain.step, 30);
    EXPECT_EQ(plain.digits, 6);
    EXPECT_EQ(plain.title, "");
    EXPECT_THROW(ParseOtpauthText("otpauth://totp/a?Secret=JBSWY3DP", "u"), UsageError);
    EXPECT_THROW(ParseOtpauthText("otpauth://totp/a?secret=JBSW!Y3DP", "u"), UsageError);
}

TEST(KeyloomTotp, CodesAgreeWithRfc4226AndOathtool) {
    // RFC 4226 appendix D: the truncated values for counters 0-9.
    const char* truncated[] = {"1284755224", "1094287082", "0137359152", "1726969429", "1640338314",
                               "0868254676", "1918287922", "0082162583", "0673399871", "0645520489"};
    for (uint64_t counter = 0; counter < 10; ++counter) {
        const std::string ten = truncated[counter];
        EXPECT_EQ(HotpCode(kRfcSeed, OtpAlgorithm::Sha1, 10, counter), ten);
        EXPECT_EQ(HotpCode(kRfcSeed, OtpAlgorithm::Sha1, 6, counter), ten.substr(4));
        EXPECT_EQ(HotpCode(kRfcSeed, OtpAlgorithm::Sha1, 4, counter), ten.substr(6));
    }
    EXPECT_EQ(HotpCode({}, OtpAlgorithm::Sha1, 6, 1), "");
    EXPECT_EQ(HotpCode(kRfcSeed, OtpAlgorithm::Sha1, 11, 1), "");

    for (const uint64_t t : {59ull, 1111111109ull, 1234567890ull, 2000000000ull, 20000000000ull}) {
        for (const int step : {30, 60}) {
            for (const int digits : {6, 8}) {
                for (const auto alg : {OtpAlgorithm::Sha1, OtpAlgorithm::Sha256}) {
                    const std::string options = std::string("--totp=") +
                                                (alg == OtpAlgorithm::Sha1 ? "sha1" : "sha256") +
                                                " --digits=" + std::to_string(digits) + " -s " + std::to_string(step) +
                                                " -N @" + std::to_string(t);
                    const std::string expected = Oathtool(options);
                    ASSERT_FALSE(expected.empty()) << "oathtool " << options;
                    EXPECT_EQ(HotpCode(kRfcSeed, alg, digits, t / static_cast<uint64_t>(step)), expected) << options;
                }
            }
        }
    }
}

TEST(KeyloomTotp, TheNeighbouringStepCountsOnlyWhenTheReadsMayHaveCrossedIt) {
    const auto code = [](uint64_t counter) { return HotpCode(kRfcSeed, OtpAlgorithm::Sha1, 6, counter); };
    // Clock read at 1000 s of token time (counter 33, which ends at 1020).
    const TokenTimeWindow mid = WindowAfterClockRead(1000, 0.01, 0.02, 0.03);
    EXPECT_TRUE(MatchesTotp(code(33), kRfcSeed, OtpAlgorithm::Sha1, 6, 30, mid));
    EXPECT_FALSE(MatchesTotp(code(34), kRfcSeed, OtpAlgorithm::Sha1, 6, 30, mid));
    EXPECT_FALSE(MatchesTotp(code(32), kRfcSeed, OtpAlgorithm::Sha1, 6, 30, mid));
    // Read just before the boundary: the password may be the next step's.
    const TokenTimeWindow edge = WindowAfterClockRead(1019, 0.01, 0.02, 0.03);
    EXPECT_TRUE(MatchesTotp(code(33), kRfcSeed, OtpAlgorithm::Sha1, 6, 30, edge));
    EXPECT_TRUE(MatchesTotp(code(34), kRfcSeed, OtpAlgorithm::Sha1, 6, 30, edge));
    // Seconds between the two reads move the window along.
    const TokenTimeWindow later = WindowAfterClockRead(1000, 0.01, 25.0, 25.1);
    EXPECT_TRUE(MatchesTotp(code(34), kRfcSeed, OtpAlgorithm::Sha1, 6, 30, later));
    EXPECT_FALSE(MatchesTotp(code(32), kRfcSeed, OtpAlgorithm::Sha1, 6, 30, later));
    // A window of many steps proves nothing.
    const TokenTimeWindow hours = WindowAfterClockRead(1000, 0.01, 0.02, 7200);
    EXPECT_FALSE(MatchesTotp(code(33), kRfcSeed, OtpAlgorithm::Sha1, 6, 30, hours));
    EXPECT_FALSE(MatchesTotp("", kRfcSeed, OtpAlgorithm::Sha1, 6, 30, mid));
}

// After the writes: one clock read, then one password read per profile,
// each checked against the seed that was written.
class KeyloomVerify : public tooltest::FlowTest {};

TEST_F(KeyloomVerify, OneClockReadThenEachProfilesPasswordAgainstItsSeed) {
    card.clockText = "2026-12-07 10:11:12";
    const auto clock = ParseClockText(card.clockText);
    ASSERT_TRUE(clock);
    std::vector<uint8_t> other = kRfcSeed;
    other.back() ^= 0xFF;
    // The token shows profile 3's code for kRfcSeed, profile 4's for a
    // changed seed, has nothing in profile 5 (removed) nor in 6 (should
    // hold a seed), and profile 7 uses SHA256, 8 digits, 60 s.
    card.seedPresent = {{3, true}, {4, true}, {5, false}, {6, false}, {7, true}};
    card.OnCall([&](const tooltest::CardCall& call) {
        if (call.fn != "CardReadOTP") return;
        const int profile = std::stoi(call.args[2]);
        if (profile == 3) card.otp = HotpCode(kRfcSeed, OtpAlgorithm::Sha1, 6, *clock / 30);
        if (profile == 4) card.otp = HotpCode(other, OtpAlgorithm::Sha1, 6, *clock / 30);
        if (profile == 7) card.otp = HotpCode(kRfcSeed, OtpAlgorithm::Sha256, 8, *clock / 60);
    });
    const std::vector<VerifyTarget> targets = {{0, 3, false, kRfcSeed, OtpAlgorithm::Sha1, 6, 30},
                                               {1, 4, false, kRfcSeed, OtpAlgorithm::Sha1, 6, 30},
                                               {2, 5, true, {}, OtpAlgorithm::Sha1, 6, 30},
                                               {3, 6, false, kRfcSeed, OtpAlgorithm::Sha1, 6, 30},
                                               {4, 7, false, kRfcSeed, OtpAlgorithm::Sha256, 8, 60}};
    const VerifyReport report = VerifyOnToken(session.cardApi, "R", "AB", targets);
    EXPECT_EQ(Calls(), (Strings{"CardReadSnAndTime(R,3,32,64)", "CardReadOTP(R,AB,3)", "CardReadOTP(R,AB,4)",
                                "CardReadOTP(R,AB,5)", "CardReadOTP(R,AB,6)", "CardReadOTP(R,AB,7)"}));
    ASSERT_EQ(report.results.size(), 5u);
    EXPECT_EQ(*report.tokenTime, "2026-12-07 10:11:12");
    EXPECT_TRUE(report.results[0].verified);
    EXPECT_FALSE(report.results[1].verified);
    EXPECT_EQ(report.results[1].detail,
              "the token's password is not the code of the seed written (SHA1, 6 digits, 30 s)");
    EXPECT_TRUE(report.results[2].verified) << "a removed seed is what the token reports";
    EXPECT_FALSE(report.results[3].verified);
    EXPECT_EQ(report.results[3].detail, "the token holds no seed");
    EXPECT_TRUE(report.results[4].verified);

    // Without the token's clock nothing can be verified.
    card.Queue("CardReadSnAndTime", 0x80100069u);
    const VerifyReport none = VerifyOnToken(session.cardApi, "R", "AB", {targets[0]});
    EXPECT_EQ(Calls(), Strings{"CardReadSnAndTime(R,3,32,64)"});
    EXPECT_FALSE(none.results[0].verified);
    EXPECT_EQ(none.results[0].detail, "the token's clock cannot be read [80100069]");
}

TEST(KeyloomFleet, WorkersAreCombinedInReaderOrderWithTheWorstStatus) {
    const QJsonObject token0{
        {"reader", "R0"}, {"serial", "S0"}, {"status", 0}, {"profiles", QJsonArray{QJsonObject{{"profile", 1}}}}};
    const QJsonObject report0{{"status", 0}, {"error", QJsonValue()}, {"tokens", QJsonArray{token0}}};
    const QJsonObject token1{{"reader", "R1"}, {"serial", "S1"}, {"status", 1}, {"profiles", QJsonArray{}}};
    const QJsonObject report1{{"status", 1}, {"error", "1-Operation failed"}, {"tokens", QJsonArray{token1}}};
    const auto json = [](const QJsonObject& o) { return QJsonDocument(o).toJson().toStdString(); };
    Outcome out = CombineWorkers({{"R0", 0, 0, json(report0), ""}, {"R1", 1, 0, json(report1), "keyloom: x\n"}});
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.cause, "R1: 1-Operation failed");
    const QJsonArray tokens = out.report["tokens"].toArray();
    ASSERT_EQ(tokens.size(), 2);
    EXPECT_EQ(tokens[0].toObject()["serial"].toString(), "S0");
    EXPECT_EQ(tokens[1].toObject()["serial"].toString(), "S1");

    // A worker that died, or ended before it had a token, still has its
    // line, and the cause comes from its standard error.
    out = CombineWorkers({{"R0", -1, 9, "", ""}, {"R1", 2, 0, "", "keyloom: no access key: /x does not exist\n"}});
    EXPECT_EQ(out.status, 2);
    EXPECT_EQ(out.cause, "R0: the worker was ended by signal 9; R1: no access key: /x does not exist");
    ASSERT_EQ(out.report["tokens"].toArray().size(), 2);
    EXPECT_EQ(out.report["tokens"].toArray()[0].toObject()["reader"].toString(), "R0");
    EXPECT_EQ(out.report["tokens"].toArray()[0].toObject()["status"].toInt(), 1);
}

}  // namespace
