// The seed file: one record per line, a token's serial number, a blank and
// the token's seed in base32. The automatic write looks the serial number
// of the token in the reader up in the table loaded from it. Plain C++
// without Qt, shared by the dialog, the tests and the fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace provisor {

// Longest seed CardBurnSeed accepts; a longer record fails the load.
constexpr size_t kSeedFileMaxSeedBytes = 160;

// Serial number text (compared exactly) to the seed as upper-case
// hexadecimal text. Looked up with string_view keys without copying.
using SeedTable = std::map<std::string, std::string, std::less<>>;

// Fills table from the text of a seed file. A line ends at a line feed and a
// carriage return just before it is dropped. A line without a blank (0x20)
// is skipped; otherwise the text before the first blank is the serial
// number and the rest the seed, base32 in upper case (not folded; blanks
// inside it are ignored). A later record for the same serial number
// replaces the earlier one.
//
// Succeeds when every record decodes to 1-160 bytes and, unless serial is
// empty, the table then holds serial (wherever in the file its record
// stands). An empty serial means that no token is in the reader yet: the
// file is loaded without that check, and the later look-up decides.
// On failure the table is left empty, so nothing of a rejected file can be
// written into a token.
bool ParseSeedText(std::string_view text, std::string_view serial, SeedTable& table);

// Reads the file at path and parses it as ParseSeedText does. The table is
// emptied first; an empty path, a file that cannot be read, anything but a
// regular file and a file over kOperatorFileLimit give false.
bool LoadSeedFile(const std::filesystem::path& path, std::string_view serial, SeedTable& table);

// Empties the table, clearing every seed it held.
void WipeSeedTable(SeedTable& table);

// The seed bytes stored for serial, or nothing when it has no record.
std::optional<std::vector<uint8_t>> LookUpSeed(const SeedTable& table, std::string_view serial);

}  // namespace provisor
