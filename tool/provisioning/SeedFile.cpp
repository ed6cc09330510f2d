#include "SeedFile.h"

#include "Encodings.h"
#include "TextFile.h"

namespace provisor {

namespace {

constexpr size_t npos = std::string_view::npos;

bool AddRecord(std::string_view line, SeedTable& table) {
    const size_t blank = line.find(' ');
    if (blank == npos) return true;
    // Base32Decode wants terminated text; a NUL inside the seed ends it early
    // and then fails the character check.
    const std::string seedText(line.substr(blank + 1));
    if (seedText.empty()) return false;
    std::vector<uint8_t> seed(seedText.size() * 5 / 8 + 1);
    size_t length = seedText.size();
    if (Base32Decode(seedText.c_str(), &length, seed.data()) == 0 || length > kSeedFileMaxSeedBytes) return false;
    table.insert_or_assign(std::string(line.substr(0, blank)), BytesToHexString(seed.data(), length));
    return true;
}

}  // namespace

bool ParseSeedText(std::string_view text, std::string_view serial, SeedTable& table) {
    table.clear();
    // The serial number is checked once the whole file is in: the token's
    // record may stand anywhere, not only first.
    if (!ForEachLine(text, [&](std::string_view line) { return AddRecord(line, table); }) ||
        (!serial.empty() && table.find(serial) == table.end())) {
        table.clear();
        return false;
    }
    return true;
}

bool LoadSeedFile(const std::filesystem::path& path, std::string_view serial, SeedTable& table) {
    table.clear();
    const std::optional<std::string> text = ReadWholeTextFile(path);
    return text && ParseSeedText(*text, serial, table);
}

std::optional<std::vector<uint8_t>> LookUpSeed(const SeedTable& table, std::string_view serial) {
    const auto it = table.find(serial);
    if (it == table.end()) return std::nullopt;
    return HexTextToBytes(std::string_view(it->second));
}

}  // namespace provisor
