// The operator's bulk file: one line per profile of the token in the reader,
// either everything to write into it or the profile number alone, which
// removes its seed. Plain C++ without Qt, so the dialog, the tests, the fuzz
// target and the benchmark share one parser.
//
// Line: profile seed algorithm otp-length time-step set-time auto-enter title
// Fields are separated by one or more spaces (0x20; a tab is not a
// separator). The title is the rest of the line after the spaces that
// follow field 7, kept as it is, possibly empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

namespace provisor {

// Longest seed CardBurnSeed accepts.
constexpr size_t kBulkMaxSeedBytes = 160;
// Longest title a profile holds.
constexpr size_t kBulkMaxTitleChars = 12;
// A longer first field or seed field rejects the file instead of being
// examined: the profile number is read from at most this many characters,
// and 820 base32 characters already decode to 512 bytes, far beyond any seed.
constexpr size_t kBulkMaxFirstFieldChars = 255;
constexpr size_t kBulkMaxSeedFieldChars = 820;

// One accepted line. Zero-filled when created, so a delete entry has an
// empty algorithm, title and seed and zero numbers apart from profile and
// deleteOnly. Every copy clears its seed when it goes.
struct BulkEntry {
    ~BulkEntry();

    int32_t profile = 0;      // 0-99
    int32_t timeStep = 0;     // 30 or 60
    int32_t setTime = 0;      // 1 for YES
    int32_t autoEnter = 0;    // 1 for YES ("Auto Enter")
    int32_t otpLength = 0;    // 1-10
    int32_t deleteOnly = 0;   // 1: remove the profile's seed, nothing else
    char algorithm[12] = {};  // "SHA1" or "SHA256", zero-terminated
    int32_t seedLength = 0;   // 1-160
    char title[13] = {};      // zero-terminated
    uint8_t seed[160] = {};

    bool operator==(const BulkEntry&) const = default;
};

// Parses one line (without its line end) and appends its entry to entries.
// Returns true when the line was accepted or skipped (empty, spaces only, or
// a first field that is not all digits: headers and notes), false when the
// line rejects the whole file; entries is then left as it was.
bool ParseBulkLine(std::string_view line, std::vector<BulkEntry>& entries);

// Parses a whole file's text: a line ends at a line feed, a carriage return
// just before it is dropped, and a last line without a line feed counts.
// All or nothing: on false, out is left untouched; on true it is replaced by
// the entries in file order (empty when no line was accepted).
bool ParseBulkText(std::string_view text, std::vector<BulkEntry>& out);

// Reads the file at path and parses it as ParseBulkText does. An empty path,
// a file that cannot be read, anything but a regular file and a file over
// kOperatorFileLimit give false with out untouched.
bool LoadBulkFile(const std::filesystem::path& path, std::vector<BulkEntry>& out);

}  // namespace provisor
