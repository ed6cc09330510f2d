// Everything between the main dialog's initialisation and the first button
// press, and the release at its destruction: binding Quillon, the
// configuration file with the enciphered access key, and the operation log.
// The dialog only supplies the few view operations of IStartupView.
#pragma once

#include <QString>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "session/CardApi.h"
#include "session/CardLibrary.h"
#include "session/OperationLog.h"
#include "session/ToolSession.h"
#include "session/UserPrompts.h"

namespace provisor {

inline constexpr char kConfigFileName[] = "Norvik2Cfg.ini";
inline constexpr char kConfigSection[] = "CONFIG";
inline constexpr char kConfigKeyName[] = "CUSTOMER_KEY";
inline constexpr char kDefaultStoredKey[] = "5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A";
inline constexpr std::string_view kDefaultConfigContent =
    "[CONFIG]\r\nCUSTOMER_KEY=5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A\r\n";

inline const QString kLoadLibraryFailed = QStringLiteral("Load library failed");
inline const QString kConfigCreateFailed = QStringLiteral("Failed to create the configuration file!");
inline const QString kLogOpenFailed = QStringLiteral("Can't open log file!");

// The tool's own sentences for what the original never foresaw: the cause,
// then what the operator does about it.
// The key just given could not be stored in the configuration file at path.
QString KeyNotSavedMessage(const std::filesystem::path& path);
// The configuration file exists but cannot be read (error: an errno value),
// or holds a key that cannot be used (reason: what is wrong with it).
QString ConfigUnreadableMessage(const std::filesystem::path& path, int error);
QString ConfigUnreadableMessage(const std::filesystem::path& path, const QString& reason);

// Whether a stored CUSTOMER_KEY value is one SaveCustomerKey could have
// written: up to 32 hexadecimal digits in pairs (an enciphered full key, or
// a shorter key kept as it is). Anything else would be decoded into a key
// nobody chose, and every token refusing it would lose one of its tries.
bool IsStoredKeyText(std::string_view stored);
// The operation log took no more lines (error: an errno value, 0 unknown).
QString LogNotWrittenMessage(const std::filesystem::path& path, int error);

struct ResultColumn {
    QString title;
    int width;
};

// What start-up needs from the main dialog.
class IStartupView {
public:
    virtual ~IStartupView() = default;
    // Centred columns of the result list.
    virtual void CreateResultColumns(const std::vector<ResultColumn>& columns) = 0;
    // Counters to 0, tip text emptied, automatic write disarmed.
    virtual void ResetSessionState() = 0;
    // Ends the tool before it is used (first start left without a key).
    virtual void RequestClose() = 0;
};

struct StartupEnvironment {
    std::filesystem::path exeDir = ExecutableDirectory();  // where the library is looked for first
    // Holds the configuration file; empty: ConfigDirectoryFor(exeDir).
    std::filesystem::path configDir;
    std::string libraryName = kCardLibraryName;
    std::filesystem::path logPath = kLogFileName;  // relative: the working directory
};

enum class ConfigCreation { Created, AlreadyThere, Failed };

// Where the configuration file lives for a program in exeDir: beside it
// when that directory is writable (a portable copy, a build tree), else in
// $XDG_CONFIG_HOME/norvik2 (default ~/.config/norvik2), as for a system-wide
// installation (a system program directory counts as one even for root).
std::filesystem::path ConfigDirectoryFor(const std::filesystem::path& exeDir);
bool IsSystemProgramDirectory(const std::filesystem::path& dir);
// Whether a file can be created in dir (tried, not guessed from the mode
// bits: root may write where the bits say no, a read-only mount refuses
// everyone).
bool DirectoryIsWritable(const std::filesystem::path& dir);

// Creates path with exactly kDefaultConfigContent, readable and writable by
// the owner only; never replaces an existing file. A missing directory is
// created, for the owner only.
ConfigCreation CreateDefaultConfigFile(const std::filesystem::path& path);

class ProvisorStartup {
public:
    ProvisorStartup(StartupEnvironment env, IMessageSink& sink, IAccessKeyPrompt& prompt, IStartupView& view,
                    ToolSession& session);
    ~ProvisorStartup() { Release(); }
    ProvisorStartup(const ProvisorStartup&) = delete;
    ProvisorStartup& operator=(const ProvisorStartup&) = delete;

    // Loads the library and, only when that works, resolves the table,
    // creates the result columns, resets the session state, reads or creates
    // the configuration file and opens the log.
    void BindCardLibrary();
    void EnsureConfigFile();
    // A file that exists but cannot be read, or whose stored key is not one
    // the tool could have written, leaves the key empty, with a message: the
    // default key, or the garbage decoded from the value, would be a key
    // nobody chose, and every token refusing it would lose one of its tries.
    // False in those cases.
    bool LoadCustomerKey();
    // Stores key (at most 32 digits) enciphered; leaves the current key
    // alone. False when the file could not be written.
    bool SaveCustomerKey(std::string_view key);
    void OpenLogFile();
    // Closes the log, empties the table and unloads the library.
    void Release();

    std::filesystem::path ConfigPath() const;
    bool LibraryLoaded() const { return m_library.IsLoaded(); }
    OperationLog& Log() { return m_log; }

private:
    StartupEnvironment m_env;
    IMessageSink& m_sink;
    IAccessKeyPrompt& m_prompt;
    IStartupView& m_view;
    ToolSession& m_session;
    CardLibrary m_library;
    OperationLog m_log;
    mutable std::filesystem::path m_configDir;  // resolved on first use
};

}  // namespace provisor
