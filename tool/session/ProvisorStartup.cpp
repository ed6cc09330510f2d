#include "session/ProvisorStartup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pwd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "formats/Encodings.h"
#include "formats/IniFile.h"
#include "session/KeyStorage.h"
#include "formats/Secrets.h"

namespace provisor {

bool DirectoryIsWritable(const std::filesystem::path& dir) {
    std::string probe = (dir / ".norvik2-write-test-XXXXXX").string();
    const int fd = mkstemp(probe.data());
    if (fd < 0) return false;
    close(fd);
    unlink(probe.c_str());
    return true;
}

bool IsSystemProgramDirectory(const std::filesystem::path& dir) {
    // Root can write there, but a configuration file has no business among
    // the system's programs.
    const std::filesystem::path normal = dir.lexically_normal();
    for (const char* system :
         {"/bin", "/sbin", "/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin", NORVIK_INSTALL_BINDIR})
        if (normal == std::filesystem::path(system).lexically_normal()) return true;
    return false;
}

std::filesystem::path ConfigDirectoryFor(const std::filesystem::path& exeDir) {
    if (!exeDir.empty() && !IsSystemProgramDirectory(exeDir) && DirectoryIsWritable(exeDir)) return exeDir;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base;
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') {
            const passwd* pw = getpwuid(getuid());
            home = pw ? pw->pw_dir : "/tmp";
        }
        base = std::filesystem::path(home) / ".config";
    }
    return base / "norvik2";
}

QString KeyNotSavedMessage(const std::filesystem::path& path) {
    return QStringLiteral(
               "The access key could not be saved: the configuration file %1 cannot be written. The key is "
               "used until the tool is closed; make the file writable and set the key again through "
               "\"Access Key\" so that the next start loads it.")
        .arg(QString::fromStdString(path.string()));
}

QString ConfigUnreadableMessage(const std::filesystem::path& path, int error) {
    return ConfigUnreadableMessage(path, QString::fromLocal8Bit(std::strerror(error)));
}

QString ConfigUnreadableMessage(const std::filesystem::path& path, const QString& reason) {
    return QStringLiteral(
               "The configuration file %1 cannot be read (%2). No access key is loaded, so no token is "
               "authenticated with a key you did not choose; make the file readable and start the tool "
               "again.")
        .arg(QString::fromStdString(path.string()), reason);
}

bool IsStoredKeyText(std::string_view stored) {
    if (stored.size() > 32 || stored.size() % 2 != 0) return false;
    for (char c : stored)
        if (HexDigitValue(static_cast<unsigned char>(c)) > 15) return false;
    return true;
}

QString LogNotWrittenMessage(const std::filesystem::path& path, int error) {
    return QStringLiteral(
               "The operation log %1 could not be written (%2). Automatic writes go on, but are not logged "
               "any more; free space on its disk or make it writable, then restart the tool.")
        .arg(QString::fromStdString(path.string()),
             error ? QString::fromLocal8Bit(std::strerror(error)) : QStringLiteral("the disk refused the line"));
}

ConfigCreation CreateDefaultConfigFile(const std::filesystem::path& path) {
    // The file holds the access key, only lightly enciphered: owner only,
    // and so is a directory made for it.
    std::error_code ec;
    if (!path.parent_path().empty() && !std::filesystem::exists(path.parent_path(), ec)) {
        std::filesystem::create_directories(path.parent_path(), ec);
        if (!ec) chmod(path.parent_path().c_str(), S_IRWXU);
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) return errno == EEXIST ? ConfigCreation::AlreadyThere : ConfigCreation::Failed;
    bool ok = WriteAllToFd(fd, kDefaultConfigContent);
    ok = (close(fd) == 0) && ok;
    if (!ok) {
        unlink(path.c_str());
        return ConfigCreation::Failed;
    }
    return ConfigCreation::Created;
}

ProvisorStartup::ProvisorStartup(StartupEnvironment env, IMessageSink& sink, IAccessKeyPrompt& prompt,
                                 IStartupView& view, ToolSession& session)
    : m_env(std::move(env)), m_sink(sink), m_prompt(prompt), m_view(view), m_session(session) {}

std::filesystem::path ProvisorStartup::ConfigPath() const {
    if (m_configDir.empty()) m_configDir = m_env.configDir.empty() ? ConfigDirectoryFor(m_env.exeDir) : m_env.configDir;
    return m_configDir / kConfigFileName;
}

void ProvisorStartup::BindCardLibrary() {
    if (!m_library.Load(m_env.exeDir, m_env.libraryName)) {
        m_sink.ShowMessage(kLoadLibraryFailed, kCaption, MessageIcon::Error);
        return;
    }
    m_session.cardApi.Resolve([this](const char* name) { return m_library.Symbol(name); });
    m_view.CreateResultColumns({{QStringLiteral("Serial Number"), 280}, {QStringLiteral("State"), 180}});
    m_view.ResetSessionState();
    m_session.g_seedSource = SeedSource::Typed;
    m_session.g_readPending = true;
    m_session.g_writePending = true;
    m_session.g_cardThreadState = CardThreadState::None;
    EnsureConfigFile();
    OpenLogFile();
}

void ProvisorStartup::EnsureConfigFile() {
    const std::filesystem::path path = ConfigPath();
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        LoadCustomerKey();
        return;
    }
    switch (CreateDefaultConfigFile(path)) {
        case ConfigCreation::AlreadyThere:  // appeared since the check
            LoadCustomerKey();
            return;
        case ConfigCreation::Failed: m_sink.ShowMessage(kConfigCreateFailed, kCaption, MessageIcon::Error); return;
        case ConfigCreation::Created: break;
    }
    const std::optional<QString> key = m_prompt.AskAccessKey();
    if (!key) {
        m_view.RequestClose();
        return;
    }
    std::string text = key->toStdString();
    // Used all the same; without the message the next start would quietly
    // fall back to the default key.
    if (!SaveCustomerKey(text)) m_sink.ShowMessage(KeyNotSavedMessage(ConfigPath()), kCaption, MessageIcon::Warning);
    m_session.g_customerKey.Set(std::move(text));
}

bool ProvisorStartup::LoadCustomerKey() {
    std::optional<std::string> content = ReadIniFile(ConfigPath());
    if (!content) {
        const int error = errno;
        m_session.g_customerKey.Set({});
        m_sink.ShowMessage(ConfigUnreadableMessage(ConfigPath(), error), kCaption, MessageIcon::Error);
        return false;
    }
    std::string stored = FindIniValue(*content, kConfigSection, kConfigKeyName).value_or(kDefaultStoredKey);
    const WipeOnExit wipe(*content, stored);
    if (!IsStoredKeyText(stored)) {
        m_session.g_customerKey.Set({});
        m_sink.ShowMessage(
            ConfigUnreadableMessage(
                ConfigPath(),
                QStringLiteral("its %1 value is not a key this tool stored").arg(QLatin1String(kConfigKeyName))),
            kCaption, MessageIcon::Error);
        return false;
    }
    m_session.g_customerKey.Set(DecipherStoredKey(stored));
    return true;
}

bool ProvisorStartup::SaveCustomerKey(std::string_view key) {
    std::string stored = EncipherKeyForStorage(key);
    const WipeOnExit wipe(stored);
    return WriteIniValue(ConfigPath(), kConfigSection, kConfigKeyName, stored);
}

void ProvisorStartup::OpenLogFile() {
    if (!m_log.Open(m_env.logPath)) m_sink.ShowMessage(kLogOpenFailed, kCaption, MessageIcon::Error);
}

void ProvisorStartup::Release() {
    m_log.Close();
    // Emptied before the code goes away, so a late caller is refused
    // instead of jumping into an unmapped library.
    if (m_library.IsLoaded()) m_session.cardApi.Clear();
    m_library.Unload();
}

}  // namespace provisor
