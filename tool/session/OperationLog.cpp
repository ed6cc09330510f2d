#include "session/OperationLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "formats/IniFile.h"
#include "formats/SafeText.h"

namespace provisor {

bool OperationLog::Open(const std::filesystem::path& path) {
    std::lock_guard lock(m_mutex);
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    m_failed = false;
    std::error_code ec;
    m_path = std::filesystem::absolute(path, ec);
    if (ec) m_path = path;
    m_lastError = 0;
    // Only ever appended to, so no earlier line can be overwritten; never
    // blocking in open(), where a planted FIFO would hold the tool.
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        m_lastError = errno;
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
        m_lastError = errno;
        close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool OperationLog::IsGood() const {
    std::lock_guard lock(m_mutex);
    return m_fd >= 0 && !m_failed;
}

OperationLog::Append OperationLog::AppendAutoWrite(const std::tm& started, std::string_view serial, bool success) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ", started.tm_year + 1900, started.tm_mon + 1,
                  started.tm_mday, started.tm_hour, started.tm_min, started.tm_sec);
    const std::string line =
        stamp + EscapeControlCharacters(serial) + (success ? " Success" : " fail") + std::string("\r\n");
    std::lock_guard lock(m_mutex);
    if (m_fd < 0 || m_failed) return Append::Skipped;
    // One write: with O_APPEND the whole line lands at the end at once.
    errno = 0;
    if (WriteAllToFd(m_fd, line)) return Append::Written;
    m_lastError = errno;
    m_failed = true;
    return Append::Failed;
}

std::filesystem::path OperationLog::Path() const {
    std::lock_guard lock(m_mutex);
    return m_path;
}

int OperationLog::LastError() const {
    std::lock_guard lock(m_mutex);
    return m_lastError;
}

void OperationLog::Close() {
    std::lock_guard lock(m_mutex);
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

}  // namespace provisor
