// The enrollment journal: one JSON object per line (JSON Lines) for every
// attempt, so "which token got which profile when" can be answered months
// later with grep or jq alike. It names the seed by its fingerprint only.
//
//   {"time":"2025-03-04T10:15:30.250Z","reader":"Virtual PCD 00 00","serial":"NV2A00000001",
//    "profile":0,"user":"alice","algorithm":"SHA1","digits":6,"step":30,"result":"enrolled",
//    "cause":"","seedFingerprint":"3F1C0A9B7E2D4C11"}
//
// Text fields are escaped as JSON requires, and control characters (C0,
// DEL, C1) always as \u00XX, so a reader name cannot move a terminal's
// cursor when the journal is shown; bytes that are not UTF-8 become U+FFFD.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

#include "formats/OwnerFile.h"
#include "formats/TokenExport.h"

namespace provisor {

struct JournalEntry {
    std::chrono::system_clock::time_point time;
    std::string reader;
    std::string serial;
    int profile = 0;
    std::string user;
    OtpHash hash = OtpHash::Sha1;
    int digits = 6;
    int step = 30;
    std::string result;           // "enrolled", or what became of the attempt ("failed", ...)
    std::string cause;            // why it failed; empty when enrolled
    std::string seedFingerprint;  // SeedFingerprint of the seed written; empty when none was made
};

// The entry's line, ending in "\n".
std::string FormatJournalLine(const JournalEntry& entry);

// JSON string contents for text (without the quotes), escaped as above.
std::string JsonEscape(std::string_view text);

class Journal {
public:
    // AppendOnlyFile::Open; throws FileError.
    static Journal Open(const std::filesystem::path& path) { return Journal(AppendOnlyFile::Open(path)); }
    // One line, on disk when this returns. Throws FileError.
    void Append(const JournalEntry& entry) { file_.Append(FormatJournalLine(entry)); }
    const std::filesystem::path& Path() const { return file_.Path(); }

private:
    explicit Journal(AppendOnlyFile file) : file_(std::move(file)) {}
    AppendOnlyFile file_;
};

}  // namespace provisor
