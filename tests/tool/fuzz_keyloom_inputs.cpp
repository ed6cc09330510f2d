// keyloom's readers of what a script hands it: the command line and the
// seed, otpauth and key texts. Any input either parses into values inside
// their ranges or is refused with a UsageError (nothing else may escape),
// and a parsed --all-readers command line gives each worker a command line
// that parses to the same request for its one reader.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/Inputs.h"

namespace {

// Bytes mapped onto command-line words, so the option rules are reached far
// more often than by raw bytes.
const char* const kWords[] = {"provision",
                              "bulk",
                              "seed-file",
                              "seed-provider",
                              "otp",
                              "delete",
                              "key",
                              "change",
                              "reset",
                              "save",
                              "info",
                              "readers",
                              "-r",
                              "--reader",
                              "-p",
                              "3",
                              "-p7",
                              "--profile=99",
                              "100",
                              "--all-readers",
                              "--json",
                              "--verify",
                              "--force",
                              "--set-time",
                              "--enter",
                              "--title",
                              "--title=x",
                              "abcdefghijklm",
                              "--digits",
                              "8",
                              "--step",
                              "60",
                              "--algorithm",
                              "sha256",
                              "--seed-file",
                              "-",
                              "--otpauth-file",
                              "f.txt",
                              "--key-file",
                              "--new-key-file",
                              "--config-dir",
                              "--save",
                              "--",
                              "-h",
                              "--help",
                              "--seed",
                              "x=secret=",
                              "",
                              "-x",
                              "Virtual PCD 00 00"};
constexpr size_t kWordCount = sizeof kWords / sizeof kWords[0];

bool SameRequest(const keyloom::Options& a, const keyloom::Options& b) {
    return a.command == b.command && a.file == b.file && a.profile == b.profile && a.seedFile == b.seedFile &&
           a.otpauthFile == b.otpauthFile && a.keyFile == b.keyFile && a.newKeyFile == b.newKeyFile &&
           a.configDir == b.configDir && a.algorithm == b.algorithm && a.digits == b.digits && a.step == b.step &&
           a.title == b.title && a.setTime == b.setTime && a.enter == b.enter && a.force == b.force &&
           a.verify == b.verify && a.save == b.save;
}

void CommandLine(const std::vector<std::string>& args) {
    keyloom::Options o;
    try {
        o = keyloom::ParseCommandLine(args);
    } catch (const keyloom::UsageError&) {
        return;
    }
    if (o.help) return;
    if (o.profile && (*o.profile < 0 || *o.profile > 99)) std::abort();
    if (o.digits && *o.digits != 4 && *o.digits != 6 && *o.digits != 8 && *o.digits != 10) std::abort();
    if (o.step && *o.step != 30 && *o.step != 60) std::abort();
    if (o.algorithm && *o.algorithm != "SHA1" && *o.algorithm != "SHA256") std::abort();
    if (o.title && o.title->size() > 12) std::abort();
    if (o.allReaders && o.reader) std::abort();
    if (!o.allReaders) return;

    const std::string reader = "Worker Reader 01";
    keyloom::Options worker;
    try {
        worker = keyloom::ParseCommandLine(keyloom::WorkerArguments(args, reader));
    } catch (const keyloom::UsageError&) {
        std::abort();
    }
    if (!SameRequest(o, worker) || worker.reader != reader || !worker.json || worker.allReaders) std::abort();
}

template <typename Parse>
void Text(const std::string& text, Parse parse) {
    try {
        parse(text);
    } catch (const keyloom::UsageError&) {}
}

}  // namespace

// The first byte picks the reader; for the command line, odd inputs are
// words from kWords, even ones NUL-separated arguments.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
        case 0: {
            std::vector<std::string> args;
            for (unsigned char c : rest) args.emplace_back(kWords[c % kWordCount]);
            CommandLine(args);
            break;
        }
        case 1: {
            std::vector<std::string> args(1);
            for (char c : rest) {
                if (c == '\0')
                    args.emplace_back();
                else
                    args.back() += c;
            }
            CommandLine(args);
            break;
        }
        case 2:
            Text(rest, [](const std::string& t) {
                const keyloom::SeedInput seed = keyloom::ParseSeedText(t, "--seed-file");
                if (seed.bytes.empty() || seed.bytes.size() > 160 || seed.text.empty()) std::abort();
                for (char c : seed.text)
                    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || (c >= 'a' && c <= 'z')) std::abort();
            });
            break;
        case 3:
            Text(rest, [](const std::string& t) {
                const keyloom::OtpauthInput uri = keyloom::ParseOtpauthText(t, "--otpauth-file");
                if (uri.title.size() > 12 || uri.seed.bytes.empty() || uri.seed.bytes.size() > 160) std::abort();
                if (uri.digits != 4 && uri.digits != 6 && uri.digits != 8 && uri.digits != 10) std::abort();
                if (uri.step != 30 && uri.step != 60) std::abort();
            });
            break;
        default:
            Text(rest, [](const std::string& t) {
                const std::string key = keyloom::ParseKeyText(t, "--key-file");
                if (key.size() < 2 || key.size() > 32 || key.size() % 2 != 0) std::abort();
                for (char c : key)
                    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) std::abort();
            });
            break;
    }
    return 0;
}
