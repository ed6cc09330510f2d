// A small INI reader and updater for the configuration file. Updates go
// through a new file renamed over the old one, so a failed write never
// leaves a truncated configuration, and every line the update does not
// concern is kept byte for byte.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace provisor {

// Section and key names match without regard to ASCII case; blanks and tabs
// around names and values are ignored, as are one pair of quotes around a
// value. Lines starting with ';' are comments. The first match wins.
std::optional<std::string> FindIniValue(std::string_view content, std::string_view section, std::string_view key);

// Content with key set to value in section: an existing key line is
// rewritten in place (keeping its line ending), a missing key is added after
// the section's last entry, a missing section is appended. New lines end in
// CR LF.
std::string UpdateIniContent(std::string_view content, std::string_view section, std::string_view key,
                             std::string_view value);

// The whole file; nullopt (errno telling why) when it cannot be read.
std::optional<std::string> ReadIniFile(const std::filesystem::path& file);

// nullopt when the file cannot be read or holds no such key.
std::optional<std::string> ReadIniValue(const std::filesystem::path& file, std::string_view section,
                                        std::string_view key);

// Creates the file (mode 0600) when it does not exist. False when the old
// file cannot be read or written (a read-only file is not replaced) or the
// new one cannot be written; the old file is then unchanged.
bool WriteIniValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                   std::string_view value);

// Writes all of data to the open descriptor fd, going on after interrupted
// or partial writes. False on a write error.
bool WriteAllToFd(int fd, std::string_view data);

}  // namespace provisor
