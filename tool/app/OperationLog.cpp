#include "OperationLog.h"

#include <cstdio>

namespace provisor {

bool OperationLog::Open(const std::filesystem::path& path) {
    std::lock_guard lock(m_mutex);
    if (m_stream.is_open()) m_stream.close();
    m_stream.clear();
    m_stream.open(path, std::ios::out | std::ios::app | std::ios::binary);
    return m_stream.good();
}

bool OperationLog::IsGood() const {
    std::lock_guard lock(m_mutex);
    return m_stream.is_open() && m_stream.good();
}

void OperationLog::AppendAutoWrite(const std::tm& started, std::string_view serial, bool success) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ", started.tm_year + 1900, started.tm_mon + 1,
                  started.tm_mday, started.tm_hour, started.tm_min, started.tm_sec);
    std::lock_guard lock(m_mutex);
    if (!m_stream.is_open() || !m_stream.good()) return;
    m_stream << stamp << serial << (success ? " Success" : " fail") << "\r\n";
    m_stream.flush();
}

void OperationLog::Close() {
    std::lock_guard lock(m_mutex);
    if (m_stream.is_open()) m_stream.close();
}

}  // namespace provisor
