#include "SeedFile.h"

#include <fstream>
#include <system_error>

#include "Encodings.h"

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
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == npos ? std::string_view{} : text.substr(end + 1);
        if (end != npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!AddRecord(line, table)) {
            table.clear();
            return false;
        }
    }
    // Checked once the whole file is in: the token's record may stand
    // anywhere, not only first.
    if (!serial.empty() && table.find(serial) == table.end()) {
        table.clear();
        return false;
    }
    return true;
}

bool LoadSeedFile(const std::filesystem::path& path, std::string_view serial, SeedTable& table) {
    table.clear();
    if (path.empty()) return false;
    // A directory opens as a stream on some systems and then reads as empty.
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string text;
    std::error_code sizeError;
    const auto size = std::filesystem::file_size(path, sizeError);
    if (!sizeError) text.reserve(size);
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) text.append(chunk, static_cast<size_t>(in.gcount()));
    if (in.bad()) return false;
    return ParseSeedText(text, serial, table);
}

std::optional<std::vector<uint8_t>> LookUpSeed(const SeedTable& table, std::string_view serial) {
    const auto it = table.find(serial);
    if (it == table.end()) return std::nullopt;
    return HexTextToBytes(std::string_view(it->second));
}

}  // namespace provisor
