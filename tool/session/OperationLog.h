// The operation log: one line per automatic write, appended to a text file
// opened at start-up (by a relative name, so in the working directory).
#pragma once

#include <ctime>
#include <filesystem>
#include <mutex>
#include <string_view>

namespace provisor {

inline constexpr char kLogFileName[] = "Norvik2-Log.txt";

class OperationLog {
public:
    OperationLog() = default;
    ~OperationLog() { Close(); }
    OperationLog(const OperationLog&) = delete;
    OperationLog& operator=(const OperationLog&) = delete;

    // Opens for appending, creating the file when it is missing. The working
    // directory may be shared with other users, so false too for a symbolic
    // link (never followed), anything but a regular file (a FIFO would
    // block or swallow the lines), and a file that belongs to another user
    // or has other names (hard links): such a file was not made for this
    // log.
    bool Open(const std::filesystem::path& path);
    bool IsGood() const;
    enum class Append { Written, Skipped, Failed };
    // "YYYY-MM-DD hh:mm:ss <serial> Success|fail" and CR LF, written at
    // once, control characters of the serial number escaped. Skipped while
    // the log is not open or has failed; Failed for the append that found
    // it could not write (the disk full, the file gone bad), with the
    // reason in LastError(). Later appends are skipped.
    Append AppendAutoWrite(const std::tm& started, std::string_view serial, bool success);
    void Close();
    // The file as opened, made absolute (for messages).
    std::filesystem::path Path() const;
    int LastError() const;

private:
    mutable std::mutex m_mutex;  // the card thread writes, the UI thread closes
    int m_fd = -1;
    bool m_failed = false;
    std::filesystem::path m_path;
    int m_lastError = 0;
};

}  // namespace provisor
