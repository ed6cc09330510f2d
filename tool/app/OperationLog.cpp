#include "OperationLog.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace provisor {

bool OperationLog::Open(const std::filesystem::path& path) {
    std::lock_guard lock(m_mutex);
    if (m_stream.is_open()) m_stream.close();
    m_stream.clear();
    std::error_code ec;
    m_path = std::filesystem::absolute(path, ec);
    if (ec) m_path = path;
    m_lastError = 0;
    m_stream.open(path, std::ios::out | std::ios::app | std::ios::binary);
    return m_stream.good();
}

bool OperationLog::IsGood() const {
    std::lock_guard lock(m_mutex);
    return m_stream.is_open() && m_stream.good();
}

OperationLog::Append OperationLog::AppendAutoWrite(const std::tm& started, std::string_view serial, bool success) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ", started.tm_year + 1900, started.tm_mon + 1,
                  started.tm_mday, started.tm_hour, started.tm_min, started.tm_sec);
    std::lock_guard lock(m_mutex);
    if (!m_stream.is_open() || !m_stream.good()) return Append::Skipped;
    errno = 0;
    m_stream << stamp << serial << (success ? " Success" : " fail") << "\r\n";
    m_stream.flush();
    if (m_stream.good()) return Append::Written;
    m_lastError = errno;
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
    if (m_stream.is_open()) m_stream.close();
}

}  // namespace provisor
