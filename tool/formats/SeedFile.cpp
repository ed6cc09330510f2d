#include "formats/SeedFile.h"

#include "formats/Encodings.h"
#include "formats/TextFile.h"
#include "formats/Secrets.h"

namespace provisor {

namespace {

constexpr size_t npos = std::string_view::npos;

bool AddRecord(std::string_view line, SeedTable& table) {
    const size_t blank = line.find(' ');
    if (blank == npos) return true;
    // Base32Decode wants terminated text; a NUL inside the seed ends it early
    // and then fails the character check.
    std::string seedText(line.substr(blank + 1));
    std::vector<uint8_t> seed(seedText.size() * 5 / 8 + 1);
    const WipeOnExit wipe(seedText, seed);
    if (seedText.empty()) return false;
    size_t length = seedText.size();
    if (Base32Decode(seedText.c_str(), &length, seed.data()) == 0 || length > kSeedFileMaxSeedBytes) return false;
    std::string hex = BytesToHexString(seed.data(), length);
    auto [entry, added] = table.try_emplace(std::string(line.substr(0, blank)));
    if (!added) Wipe(entry->second);
    entry->second = std::move(hex);
    return true;
}

}  // namespace

void WipeSeedTable(SeedTable& table) {
    for (auto& [serial, seed] : table) Wipe(seed);
    table.clear();
}

bool ParseSeedText(std::string_view text, std::string_view serial, SeedTable& table) {
    WipeSeedTable(table);
    // The serial number is checked once the whole file is in: the token's
    // record may stand anywhere, not only first.
    if (!ForEachLine(text, [&](std::string_view line) { return AddRecord(line, table); }) ||
        (!serial.empty() && table.find(serial) == table.end())) {
        WipeSeedTable(table);
        return false;
    }
    return true;
}

bool LoadSeedFile(const std::filesystem::path& path, std::string_view serial, SeedTable& table) {
    WipeSeedTable(table);
    std::optional<std::string> text = ReadWholeTextFile(path);
    if (!text) return false;
    const WipeOnExit wipe(*text);
    return ParseSeedText(*text, serial, table);
}

std::optional<std::vector<uint8_t>> LookUpSeed(const SeedTable& table, std::string_view serial) {
    const auto it = table.find(serial);
    if (it == table.end()) return std::nullopt;
    return HexTextToBytes(std::string_view(it->second));
}

}  // namespace provisor
