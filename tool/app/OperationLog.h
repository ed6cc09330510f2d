// The operation log: one line per automatic write, appended to a text file
// opened at start-up (by a relative name, so in the working directory).
#pragma once

#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string_view>

namespace provisor {

inline constexpr char kLogFileName[] = "Norvik2-Log.txt";

class OperationLog {
public:
    // Opens for appending; false when the stream is not good afterwards.
    bool Open(const std::filesystem::path& path);
    bool IsGood() const;
    enum class Append { Written, Skipped, Failed };
    // "YYYY-MM-DD hh:mm:ss <serial> Success|fail" and CR LF, flushed at
    // once. Skipped while the stream is not good; Failed for the append
    // that found it could not write (the disk full, the file gone bad),
    // with the reason in LastError(). Later appends are skipped.
    Append AppendAutoWrite(const std::tm& started, std::string_view serial, bool success);
    void Close();
    // The file as opened, made absolute (for messages).
    std::filesystem::path Path() const;
    int LastError() const;

private:
    mutable std::mutex m_mutex;  // the card thread writes, the UI thread closes
    std::ofstream m_stream;
    std::filesystem::path m_path;
    int m_lastError = 0;
};

}  // namespace provisor
