#include "cli/CommandLine.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <string_view>

namespace keyloom {

namespace {

// Commands as bits, so each option lists where it applies.
constexpr unsigned Bit(Command c) { return 1u << static_cast<unsigned>(c); }
constexpr unsigned kSeeding = Bit(Command::Provision) | Bit(Command::SeedFile) | Bit(Command::SeedProvider);
constexpr unsigned kFleet = kSeeding | Bit(Command::Bulk);
constexpr unsigned kOnToken = kFleet | Bit(Command::Info) | Bit(Command::Otp) | Bit(Command::Delete) |
                              Bit(Command::KeyChange) | Bit(Command::KeyReset);
constexpr unsigned kKeyed = kFleet | Bit(Command::Otp) | Bit(Command::Delete) | Bit(Command::KeyChange);
constexpr unsigned kConfigured = kKeyed | Bit(Command::KeyReset) | Bit(Command::KeySave);
constexpr unsigned kEnroll = Bit(Command::Enroll);
constexpr unsigned kAll = ~0u;

enum class Opt {
    Reader,
    AllReaders,
    Profile,
    SeedFile,
    OtpauthFile,
    KeyFile,
    NewKeyFile,
    ConfigDir,
    Algorithm,
    Digits,
    Step,
    Title,
    SetTime,
    Enter,
    Force,
    Verify,
    Json,
    Save,
    Help,
    SeedPskc,
    SeedPskcKeyFile,
    SeedPskcPassphraseFile,
    TitleTemplate,
    Users,
    PskcExport,
    PskcKeyFile,
    PskcPassphraseFile,
    PskcPrf,
    PskcClear,
    EntraCsv,
    PrivacyIdeaCsv,
    Overwrite,
    Journal,
    Watch,
    Count,
    Again
};

struct OptionRule {
    Opt id;
    const char* name;
    char shortName;
    bool takesValue;
    unsigned commands;
};

constexpr OptionRule kOptions[] = {
    {Opt::Reader, "--reader", 'r', true, kOnToken | kEnroll},
    {Opt::AllReaders, "--all-readers", 0, false, kFleet},
    {Opt::Profile, "--profile", 'p', true, kSeeding | Bit(Command::Otp) | Bit(Command::Delete) | kEnroll},
    {Opt::SeedFile, "--seed-file", 0, true, Bit(Command::Provision)},
    {Opt::OtpauthFile, "--otpauth-file", 0, true, Bit(Command::Provision)},
    {Opt::KeyFile, "--key-file", 0, true, kKeyed | kEnroll},
    {Opt::NewKeyFile, "--new-key-file", 0, true, Bit(Command::KeyChange) | Bit(Command::KeySave)},
    {Opt::ConfigDir, "--config-dir", 0, true, kConfigured | kEnroll},
    {Opt::Algorithm, "--algorithm", 0, true, kSeeding | kEnroll},
    {Opt::Digits, "--digits", 0, true, kSeeding | kEnroll},
    {Opt::Step, "--step", 0, true, kSeeding | kEnroll},
    {Opt::Title, "--title", 0, true, kSeeding | kEnroll},
    {Opt::SetTime, "--set-time", 0, false, kSeeding | kEnroll},
    {Opt::Enter, "--enter", 0, false, kSeeding | kEnroll},
    {Opt::Force, "--force", 0, false, kSeeding | kEnroll},
    {Opt::Verify, "--verify", 0, false, kFleet},
    {Opt::Json, "--json", 0, false, kAll},
    {Opt::Save, "--save", 0, false, Bit(Command::KeyChange) | Bit(Command::KeyReset)},
    {Opt::Help, "--help", 'h', false, kAll},
    {Opt::SeedPskc, "--seed-pskc", 0, true, Bit(Command::Provision) | kEnroll},
    {Opt::SeedPskcKeyFile, "--seed-pskc-key-file", 0, true, Bit(Command::Provision) | kEnroll},
    {Opt::SeedPskcPassphraseFile, "--seed-pskc-passphrase-file", 0, true, Bit(Command::Provision) | kEnroll},
    {Opt::TitleTemplate, "--title-template", 0, true, kEnroll},
    {Opt::Users, "--users", 0, true, kEnroll},
    {Opt::PskcExport, "--pskc", 0, true, kEnroll},
    {Opt::PskcKeyFile, "--pskc-key-file", 0, true, kEnroll},
    {Opt::PskcPassphraseFile, "--pskc-passphrase-file", 0, true, kEnroll},
    {Opt::PskcPrf, "--pskc-prf", 0, true, kEnroll},
    {Opt::PskcClear, "--pskc-clear", 0, false, kEnroll},
    {Opt::EntraCsv, "--entra-csv", 0, true, kEnroll},
    {Opt::PrivacyIdeaCsv, "--privacyidea-csv", 0, true, kEnroll},
    {Opt::Overwrite, "--overwrite", 0, false, kEnroll},
    {Opt::Journal, "--journal", 0, true, kEnroll},
    {Opt::Watch, "--watch", 0, false, kEnroll},
    {Opt::Count, "--count", 0, true, kEnroll},
    {Opt::Again, "--again", 0, false, kEnroll},
};

// Options a script might reach for to hand over a secret, and where the
// secret goes instead.
struct SecretOption {
    const char* name;
    const char* instead;
};
constexpr SecretOption kSecretOptions[] = {
    {"--seed", "--seed-file FILE"},
    {"--secret", "--seed-file FILE"},
    {"--base32", "--seed-file FILE"},
    {"--key", "--key-file FILE or the configuration file"},
    {"--access-key", "--key-file FILE or the configuration file"},
    {"--customer-key", "--key-file FILE or the configuration file"},
    {"--new-key", "--new-key-file FILE"},
    {"--otpauth", "--otpauth-file FILE"},
    {"--uri", "--otpauth-file FILE"},
    {"--otp-uri", "--otpauth-file FILE"},
    {"--pskc-key", "--pskc-key-file FILE"},
    {"--passphrase", "--pskc-passphrase-file FILE"},
    {"--pskc-passphrase", "--pskc-passphrase-file FILE"},
    {"--seed-pskc-key", "--seed-pskc-key-file FILE"},
    {"--seed-pskc-passphrase", "--seed-pskc-passphrase-file FILE"},
};

struct CommandName {
    const char* word;
    Command command;
};
constexpr CommandName kCommands[] = {
    {"readers", Command::Readers},
    {"info", Command::Info},
    {"provision", Command::Provision},
    {"seed-file", Command::SeedFile},
    {"seed-provider", Command::SeedProvider},
    {"bulk", Command::Bulk},
    {"otp", Command::Otp},
    {"delete", Command::Delete},
    {"enroll", Command::Enroll},
};

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The number in text, nothing else around it.
std::optional<int> Number(const std::string& text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// "SHA1" or "SHA256" for value in any case; else a UsageError with refusal.
std::string ShaName(const std::string& value, const std::string& refusal) {
    if (Lower(value) == "sha1") return "SHA1";
    if (Lower(value) == "sha256") return "SHA256";
    throw UsageError(refusal);
}

void RefuseSecrets(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string lower = Lower(args[i]);
        if (lower.find("otpauth:") != std::string::npos || lower.find("secret=") != std::string::npos)
            throw UsageError("argument " + std::to_string(i + 1) +
                             " holds an otpauth URI or secret=: secrets are not taken on the command line, where "
                             "any local user can read them; use --otpauth-file FILE (or - for standard input)");
        const std::string name = lower.substr(0, lower.find('='));
        for (const SecretOption& secret : kSecretOptions)
            if (name == secret.name)
                throw UsageError(std::string(secret.name) +
                                 ": secrets are not taken on the command line, where any local user can read them; "
                                 "use " +
                                 secret.instead + " (- reads standard input)");
    }
}

// An option word: its name ("--title", "-p") and the value it carries
// itself ("--title=x", "-p5"), if any.
struct OptionWord {
    std::string name;
    std::optional<std::string> attached;
};
OptionWord SplitOptionWord(const std::string& arg) {
    if (arg.rfind("--", 0) == 0) {
        const size_t eq = arg.find('=');
        if (eq == std::string::npos) return {arg, std::nullopt};
        return {arg.substr(0, eq), arg.substr(eq + 1)};
    }
    if (arg.size() > 2) return {arg.substr(0, 2), arg.substr(2)};
    return {arg, std::nullopt};
}

const OptionRule* FindOption(const std::string& name) {
    for (const OptionRule& rule : kOptions) {
        if (name == rule.name) return &rule;
        if (rule.shortName && name.size() == 2 && name[0] == '-' && name[1] == rule.shortName) return &rule;
    }
    return nullptr;
}

void Apply(Options& o, Opt id, const std::string& display, const std::string& value) {
    switch (id) {
        case Opt::Reader: o.reader = value; break;
        case Opt::AllReaders: o.allReaders = true; break;
        case Opt::Profile: {
            const auto n = Number(value);
            if (!n || *n < 0 || *n > 99) throw UsageError(display + ": a profile is a number 0-99");
            o.profile = *n;
            break;
        }
        case Opt::SeedFile: o.seedFile = value; break;
        case Opt::OtpauthFile: o.otpauthFile = value; break;
        case Opt::KeyFile: o.keyFile = value; break;
        case Opt::NewKeyFile: o.newKeyFile = value; break;
        case Opt::ConfigDir: o.configDir = value; break;
        case Opt::Algorithm: o.algorithm = ShaName(value, display + ": the algorithm is SHA1 or SHA256"); break;
        case Opt::Digits: {
            const auto n = Number(value);
            if (!n || (*n != 4 && *n != 6 && *n != 8 && *n != 10))
                throw UsageError(display + ": a password has 4, 6, 8 or 10 digits");
            o.digits = *n;
            break;
        }
        case Opt::Step: {
            const auto n = Number(value);
            if (!n || (*n != 30 && *n != 60)) throw UsageError(display + ": the time step is 30 or 60 seconds");
            o.step = *n;
            break;
        }
        case Opt::Title: {
            if (value.size() > 12) throw UsageError(display + ": a title has at most 12 characters");
            for (unsigned char c : value)
                if (c < 0x20 || c > 0x7E) throw UsageError(display + ": a title is printable ASCII");
            o.title = value;
            break;
        }
        case Opt::SetTime: o.setTime = true; break;
        case Opt::Enter: o.enter = true; break;
        case Opt::Force: o.force = true; break;
        case Opt::Verify: o.verify = true; break;
        case Opt::Json: o.json = true; break;
        case Opt::Save: o.save = true; break;
        case Opt::Help: o.help = true; break;
        case Opt::SeedPskc: o.seedPskc = value; break;
        case Opt::SeedPskcKeyFile: o.seedPskcKeyFile = value; break;
        case Opt::SeedPskcPassphraseFile: o.seedPskcPassphraseFile = value; break;
        case Opt::TitleTemplate: o.titleTemplate = value; break;
        case Opt::Users: o.usersFile = value; break;
        case Opt::PskcExport: o.pskcExport = value; break;
        case Opt::PskcKeyFile: o.pskcKeyFile = value; break;
        case Opt::PskcPassphraseFile: o.pskcPassphraseFile = value; break;
        case Opt::PskcPrf: o.pskcPrf = ShaName(value, display + ": the PBKDF2 function is SHA1 or SHA256"); break;
        case Opt::PskcClear: o.pskcClear = true; break;
        case Opt::EntraCsv: o.entraCsv = value; break;
        case Opt::PrivacyIdeaCsv: o.privacyIdeaCsv = value; break;
        case Opt::Overwrite: o.overwrite = true; break;
        case Opt::Journal: o.journal = value; break;
        case Opt::Watch: o.watch = true; break;
        case Opt::Count: {
            const auto n = Number(value);
            if (!n || *n < 1) throw UsageError(display + ": the count is a number from 1");
            o.count = *n;
            break;
        }
        case Opt::Again: o.again = true; break;
    }
}

// What enroll's options must say together; the files themselves are
// checked when they are read.
void CheckEnrollOptions(const Options& o) {
    if (o.title && o.titleTemplate) throw UsageError("--title and --title-template exclude each other");
    const int protections = int{o.pskcKeyFile.has_value()} + int{o.pskcPassphraseFile.has_value()} + int{o.pskcClear};
    if (o.pskcExport && protections != 1)
        throw UsageError(
            "--pskc FILE needs exactly one of --pskc-key-file FILE, --pskc-passphrase-file FILE and --pskc-clear");
    if (!o.pskcExport && protections > 0)
        throw UsageError("--pskc-key-file, --pskc-passphrase-file and --pskc-clear need --pskc FILE");
    if (o.pskcPrf && !o.pskcPassphraseFile) throw UsageError("--pskc-prf needs --pskc-passphrase-file FILE");
    for (const auto* path : {&o.pskcExport, &o.entraCsv, &o.privacyIdeaCsv, &o.journal})
        if (*path && **path == "-")
            throw UsageError("exports and the journal are files of their own, not standard output");
}

void CheckRequirements(const Options& o) {
    const auto need = [&](bool present, const std::string& what) {
        if (!present) throw UsageError(o.commandName + " needs " + what);
    };
    switch (o.command) {
        case Command::Provision:
            need(o.profile.has_value(), "-p PROFILE");
            if (int{o.seedFile.has_value()} + int{o.otpauthFile.has_value()} + int{o.seedPskc.has_value()} != 1)
                throw UsageError(
                    "provision takes its seed from exactly one of --seed-file FILE, --otpauth-file FILE and "
                    "--seed-pskc FILE");
            break;
        case Command::Enroll: CheckEnrollOptions(o); break;
        case Command::SeedFile:
        case Command::SeedProvider:
            need(!o.file.empty(), o.command == Command::SeedFile ? "the seed file" : "the seed provider library");
            need(o.profile.has_value(), "-p PROFILE");
            break;
        case Command::Bulk: need(!o.file.empty(), "the bulk file"); break;
        case Command::Otp:
        case Command::Delete: need(o.profile.has_value(), "-p PROFILE"); break;
        case Command::KeyChange:
        case Command::KeySave: need(o.newKeyFile.has_value(), "--new-key-file FILE"); break;
        default: break;
    }
    if (o.allReaders && o.reader) throw UsageError("-r READER and --all-readers exclude each other");
    if (o.seedPskcKeyFile && o.seedPskcPassphraseFile)
        throw UsageError("--seed-pskc-key-file and --seed-pskc-passphrase-file exclude each other");
    if ((o.seedPskcKeyFile || o.seedPskcPassphraseFile) && !o.seedPskc)
        throw UsageError("a key for the seed PSKC file needs --seed-pskc FILE");
    int fromStdin = 0;
    for (const auto* input : {&o.seedFile, &o.otpauthFile, &o.keyFile, &o.newKeyFile, &o.seedPskc, &o.seedPskcKeyFile,
                              &o.seedPskcPassphraseFile, &o.usersFile, &o.pskcKeyFile, &o.pskcPassphraseFile})
        if (*input && **input == "-") ++fromStdin;
    if (o.file == "-" && o.command == Command::Bulk) ++fromStdin;
    if (fromStdin > 1) throw UsageError("only one input can come from standard input (-)");
    if (o.command == Command::SeedProvider && o.file == "-")
        throw UsageError("a seed provider library cannot come from standard input");
}

}  // namespace

bool IsProvisioning(Command command) { return (Bit(command) & kSeeding) != 0; }
bool TakesAllReaders(Command command) { return (Bit(command) & kFleet) != 0; }

Options ParseCommandLine(const std::vector<std::string>& args) {
    RefuseSecrets(args);
    Options o;
    std::vector<std::pair<const OptionRule*, std::pair<std::string, std::string>>> given;  // rule, (display, value)
    std::vector<size_t> positionals;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positionals.push_back(i);
            continue;
        }
        const OptionWord word = SplitOptionWord(arg);
        const OptionRule* rule = FindOption(word.name);
        // Not repeated: it may be a secret typed in the wrong place.
        if (!rule)
            throw UsageError("unknown option in argument " + std::to_string(i + 1) + " (keyloom --help lists them)");
        std::string value;
        if (rule->takesValue) {
            if (word.attached) {
                value = *word.attached;
            } else {
                if (i + 1 >= args.size()) throw UsageError(word.name + " needs a value");
                value = args[++i];
            }
        } else if (word.attached) {
            throw UsageError(word.name + " takes no value");
        }
        given.push_back({rule, {word.name, value}});
    }

    // The command: one word, or "key" and its action.
    size_t used = 0;
    if (!positionals.empty()) {
        const std::string& word = args[positionals[0]];
        used = 1;
        for (const CommandName& c : kCommands)
            if (word == c.word) o.command = c.command;
        if (word == "key") {
            if (positionals.size() < 2) throw UsageError("key needs an action: change, reset or save");
            const std::string& action = args[positionals[1]];
            used = 2;
            if (action == "change")
                o.command = Command::KeyChange;
            else if (action == "reset")
                o.command = Command::KeyReset;
            else if (action == "save")
                o.command = Command::KeySave;
            else
                throw UsageError("key: the action is change, reset or save");
            o.commandName = "key " + action;
        } else if (o.command == Command::None) {
            throw UsageError("unknown command in argument " + std::to_string(positionals[0] + 1) +
                             " (keyloom --help lists them)");
        } else {
            o.commandName = word;
        }
    }
    for (const auto& [rule, nv] : given)
        if (rule->id == Opt::Help) o.help = true;
    if (o.help) return o;
    if (o.command == Command::None) throw UsageError("no command given (keyloom --help lists them)");

    if (o.command == Command::Bulk || o.command == Command::SeedFile || o.command == Command::SeedProvider) {
        if (positionals.size() > used) o.file = args[positionals[used++]];
    }
    if (positionals.size() > used)
        throw UsageError("unexpected argument " + std::to_string(positionals[used] + 1) +
                         " (not repeated here: it may be a secret)");
    for (const auto& [rule, nv] : given) {
        if (!(rule->commands & Bit(o.command))) throw UsageError(nv.first + " does not apply to " + o.commandName);
        Apply(o, rule->id, nv.first, nv.second);
    }
    CheckRequirements(o);
    return o;
}

std::vector<std::string> WorkerArguments(const std::vector<std::string>& args, const std::string& reader) {
    // Tokenised as ParseCommandLine does: "--json" as the value of an option
    // (a file of that name) or after "--" is an argument and stays.
    const std::vector<std::string> added = {"-r", reader, "--json"};
    std::vector<std::string> out;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded) {
            out.push_back(arg);
            continue;
        }
        if (arg == "--") {
            // After "--" an option would be read as an argument.
            out.insert(out.end(), added.begin(), added.end());
            out.push_back(arg);
            optionsEnded = true;
            continue;
        }
        if (arg == "--all-readers" || arg == "--json") continue;
        out.push_back(arg);
        if (arg.size() < 2 || arg[0] != '-') continue;
        const OptionWord word = SplitOptionWord(arg);
        const OptionRule* rule = FindOption(word.name);
        if (rule && rule->takesValue && !word.attached && i + 1 < args.size()) out.push_back(args[++i]);
    }
    if (!optionsEnded) out.insert(out.end(), added.begin(), added.end());
    return out;
}

namespace {

constexpr const char* kGeneralUsage = R"(usage: keyloom COMMAND [OPTIONS]

Provisions Norvik-2 tokens from scripts, with the flows and the configuration
file of Provisor. Seeds and access keys are never taken on the command line:
they come from files, standard input (-) or the configuration file.

Commands:
  readers                       every reader, whether it holds a token, its serial number
  info [-r READER]              serial number, clock and drift, profiles holding a seed
  provision -r READER -p N (--seed-file FILE | --otpauth-file FILE) [...]
                                write a profile's configuration and seed
  seed-file FILE -r READER -p N [...]
                                provision with the seed the file holds for the token's serial number
  seed-provider LIB.so -r READER -p N [...]
                                provision with the seed the library's GetSeed gives for it
  bulk FILE [-r READER | --all-readers] [--verify]
                                apply a bulk file (checked whole first), one line per entry
  otp -p N [-r READER]          the profile's current password
  delete -p N [-r READER]       remove the profile's seed
  key change --new-key-file FILE [--save]
                                change the access key inside the token
  key reset [--save]            return the token's access key to the factory key
  key save --new-key-file FILE  store the key the tools use in the configuration file
  enroll [-r READER | --watch] [--users FILE] [--pskc FILE ...] [--entra-csv FILE]
         [--privacyidea-csv FILE] [...]
                                fresh seeds written, verified and exported for the
                                authentication server, one line per token

Common options:
  -r, --reader READER   the reader (default: the only one that holds a token)
  --all-readers         provision and bulk: every reader that holds a token,
                        one worker process each, one combined report
  --key-file FILE       the access key as hexadecimal text (- for standard input)
                        instead of Provisor's Norvik2Cfg.ini (beside the program
                        when its directory is writable, else ~/.config/norvik2)
  --config-dir DIR      where Norvik2Cfg.ini is
  --json                machine-readable report on standard output
  -h, --help            this text; keyloom COMMAND --help for one command

Exit status: 0 success, 1 a token or operation failure, 2 a usage or input
error; every failure also gives one line on standard error naming the cause.
)";

constexpr const char* kProvisionOptions =
    R"(  --algorithm SHA1|SHA256   HMAC algorithm (default SHA1, or the otpauth URI's)
  --digits 4|6|8|10         password length (default 6, or the otpauth URI's)
  --step 30|60              time step in seconds (default 30, or the otpauth URI's)
  --title TEXT              profile title, at most 12 ASCII characters (default
                            empty, or the otpauth URI's issuer); always written
  --set-time                set the token's clock to the computer's UTC time
  --enter                   the token sends Enter after the password
  --force                   overwrite a profile that already holds a seed (without
                            it such a profile is refused before anything is written)
  --verify                  after the write, compare the token's password with the
                            RFC 6238 code of the seed at the token's own time
  --all-readers             every reader that holds a token, in parallel
)";

constexpr const char* kEnrollUsage =
    R"(usage: keyloom enroll [-r READER | --watch [--count N] [--again]] [-p N] [options]

For each token: a fresh random seed (20 bytes for SHA1, 32 for SHA256) is
written to profile N (default 0), the token's password is checked against the
seed's RFC 6238 code, and the token's record goes into every export asked for.
A token counts as enrolled only once its records are on disk. Without -r and
--watch, every reader that holds a token, one after the other.

Tokens:
  -r, --reader READER       only this reader
  --watch                   wait for tokens on every reader and enroll each one
                            inserted (and each one there at the start) until
                            SIGINT or SIGTERM, which stop after the token in progress
  --count N                 stop after N tokens enrolled
  --again                   enroll a token again that this run enrolled already
  --users FILE              one user name per line, handed to the tokens in order;
                            the run stops when the list is used up
  --seed-pskc FILE          the seeds from this PSKC file, by serial number, instead
                            of fresh ones; with --seed-pskc-key-file FILE (hex) or
                            --seed-pskc-passphrase-file FILE (- for standard input)

Profile:
  -p, --profile N           the profile (default 0)
  --algorithm SHA1|SHA256   HMAC algorithm (default SHA1)
  --digits 4|6|8|10         password length (default 6)
  --step 30|60              time step in seconds (default 30)
  --title TEXT              the title of every token (at most 12 ASCII characters)
  --title-template TEXT     a title per token: {user}, {serial}, {n} (from 1)
  --set-time                set the token's clock to the computer's UTC time
  --enter                   the token sends Enter after the password
  --force                   overwrite a profile that already holds a seed

Exports (each a new file for its owner only; --overwrite replaces one that exists):
  --pskc FILE               RFC 6030 PSKC, the secrets encrypted with
    --pskc-key-file FILE      a pre-shared key: 32 hexadecimal digits, or
    --pskc-passphrase-file FILE  a PBKDF2 key from a passphrase (- standard input)
    [--pskc-prf SHA1|SHA256]     PBKDF2's function (default SHA1)
    --pskc-clear              or in clear: only when you mean it
  --entra-csv FILE          Microsoft Entra ID's OATH CSV (SHA1, 6 digits, users)
  --privacyidea-csv FILE    privacyIDEA's OATH CSV

  --journal FILE            one line per attempt (default
                            $XDG_STATE_HOME/norvik2/enroll-journal.jsonl, that is
                            ~/.local/state/norvik2/enroll-journal.jsonl)
  --key-file FILE, --config-dir DIR: see keyloom --help
  --json                    one JSON object per token (JSON Lines), then the summary

Exit status: 0 every token enrolled, 1 a token failed, 2 a usage or input error
(nothing written, no token touched).
)";

}  // namespace

std::string UsageText(Command command) {
    switch (command) {
        case Command::Readers:
            return "usage: keyloom readers [--json]\n\nLists every PC/SC reader, whether a token is in it, and the "
                   "token's serial number.\n";
        case Command::Info:
            return "usage: keyloom info [-r READER] [--json]\n\nThe token's serial number, its clock and the clock's "
                   "drift from the computer's UTC\nclock, and every profile with whether it holds a seed. The token "
                   "command\nlibrary does not report a profile's algorithm, digits or step: they show\nas unknown.\n";
        case Command::Provision:
            return std::string(
                       "usage: keyloom provision -r READER -p N (--seed-file FILE | --otpauth-file FILE) "
                       "[options]\n\nWrites the profile's configuration, then its seed, as \"provision "
                       "profile\" does.\n  --seed-file FILE          the seed as base32 text (- for standard "
                       "input)\n  --otpauth-file FILE       an otpauth URI (- for standard input), read as "
                       "the QR\n                            import reads a decoded code\n") +
                   kProvisionOptions + "  --key-file FILE, --config-dir DIR, --json: see keyloom --help\n";
        case Command::SeedFile:
            return std::string(
                       "usage: keyloom seed-file FILE -r READER -p N [options]\n\nProvisions the profile with "
                       "the seed the seed file holds for the token's\nserial number (lines \"SERIAL "
                       "BASE32SEED\").\n") +
                   kProvisionOptions;
        case Command::SeedProvider:
            return std::string(
                       "usage: keyloom seed-provider LIB.so -r READER -p N [options]\n\nProvisions the "
                       "profile with the seed the library's GetSeed returns for\nthe token's serial "
                       "number.\n") +
                   kProvisionOptions;
        case Command::Bulk:
            return "usage: keyloom bulk FILE [-r READER | --all-readers] [--verify] [--json]\n\nChecks the whole bulk "
                   "file first (nothing is written when a line is wrong),\nauthenticates once and applies the lines "
                   "in order: one result line per\nentry. Lines: PROFILE SEED ALGORITHM DIGITS STEP SETTIME ENTER "
                   "TITLE, or\nPROFILE alone to remove the seed. --verify checks every profile written\n(and every "
                   "seed removed) against the token afterwards.\n";
        case Command::Otp:
            return "usage: keyloom otp -p N [-r READER] [--key-file FILE] [--json]\n\nThe profile's current password, "
                   "as \"copy OTP\" reads it.\n";
        case Command::Delete:
            return "usage: keyloom delete -p N [-r READER] [--key-file FILE] [--json]\n\nRemoves the profile's seed. A "
                   "profile without a seed is reported, not a failure.\n";
        case Command::KeyChange:
            return "usage: keyloom key change --new-key-file FILE [--save] [-r READER] [--json]\n\nChanges the access "
                   "key inside the token (its user confirms on the token).\n--save also stores the new key in the "
                   "configuration file once the token\naccepted it; without it the file keeps the old key.\n";
        case Command::KeyReset:
            return "usage: keyloom key reset [--save] [-r READER] [--json]\n\nReturns the token's access key to the "
                   "factory key (its user confirms on the\ntoken) and switches the numeric keypad off. --save also "
                   "stores the factory\nkey in the configuration file.\n";
        case Command::KeySave:
            return "usage: keyloom key save --new-key-file FILE [--config-dir DIR] [--json]\n\nStores the key (up to "
                   "32 "
                   "hexadecimal digits) enciphered in Norvik2Cfg.ini,\nas Provisor's \"Access Key\" menu does. The "
                   "token is not contacted.\n";
        case Command::Enroll: return kEnrollUsage;
        case Command::None: break;
    }
    return kGeneralUsage;
}

}  // namespace keyloom
