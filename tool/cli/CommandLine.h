// keyloom's command line: the subcommands, their options, the usage texts,
// and the refusal of secrets on the command line (any local user can read
// another process's arguments, so seeds and keys only come from files or
// standard input).
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace keyloom {

enum class Command {
    None,
    Readers,
    Info,
    Provision,
    SeedFile,
    SeedProvider,
    Bulk,
    Otp,
    Delete,
    KeyChange,
    KeyReset,
    KeySave,
    Enroll
};

struct Options {
    Command command = Command::None;
    std::string commandName;  // as the report names it: "provision", "key change", ...
    std::string file;         // FILE of bulk and seed-file, LIB.so of seed-provider
    std::optional<std::string> reader;
    bool allReaders = false;
    std::optional<int> profile;
    std::optional<std::string> seedFile;     // base32 text, "-" for standard input
    std::optional<std::string> otpauthFile;  // an otpauth URI
    std::optional<std::string> keyFile;      // the access key instead of the configuration file
    std::optional<std::string> newKeyFile;   // key change / key save
    std::optional<std::string> configDir;    // where Norvik2Cfg.ini is; default: where Provisor keeps it
    std::optional<std::string> algorithm;    // "SHA1" / "SHA256" (upper case once parsed)
    std::optional<int> digits;
    std::optional<int> step;
    std::optional<std::string> title;
    bool setTime = false;
    bool enter = false;
    bool force = false;
    bool verify = false;
    bool json = false;
    bool save = false;
    bool help = false;

    // A PSKC file as the seed source (provision, enroll), matched by the
    // token's serial number, with what opens it.
    std::optional<std::string> seedPskc;
    std::optional<std::string> seedPskcKeyFile;
    std::optional<std::string> seedPskcPassphraseFile;

    // enroll
    std::optional<std::string> titleTemplate;
    std::optional<std::string> usersFile;
    std::optional<std::string> pskcExport;
    std::optional<std::string> pskcKeyFile;
    std::optional<std::string> pskcPassphraseFile;
    std::optional<std::string> pskcPrf;  // "SHA1" / "SHA256" (upper case once parsed)
    bool pskcClear = false;
    std::optional<std::string> entraCsv;
    std::optional<std::string> privacyIdeaCsv;
    bool overwrite = false;  // replace export files that exist
    std::optional<std::string> journal;
    bool watch = false;
    std::optional<int> count;
    bool again = false;  // enroll a token again that this run enrolled already
};

// A usage or input error: exit status 2, the text as the one-line cause.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses argv[1..]. Throws UsageError naming the offending option or
// argument; a value that might be a secret is never repeated in the text.
Options ParseCommandLine(const std::vector<std::string>& args);

// The whole usage, or one command's ("keyloom COMMAND --help").
std::string UsageText(Command command = Command::None);

// True when the command writes the token from a seed (the commands
// --all-readers and --verify apply to).
bool IsProvisioning(Command command);
bool TakesAllReaders(Command command);

// The arguments a worker process for one reader gets: the same command
// line without --all-readers, with "-r reader" and "--json".
std::vector<std::string> WorkerArguments(const std::vector<std::string>& args, const std::string& reader);

}  // namespace keyloom
