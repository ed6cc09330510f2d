// Seed file parsing: any text either fails with an empty table, or yields a
// table that holds the serial number asked for, one entry per distinct
// serial number of the file's records, and seeds of 1-160 bytes stored as
// upper-case hexadecimal that LookUpSeed turns back into the same bytes.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "formats/Encodings.h"
#include "formats/SeedFile.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

bool IsUpperHex(const std::string& text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    return text.size() % 2 == 0;
}

// Pieces of real records, so that most inputs get past the first line.
// clang-format off
const char* const kTokens[] = {
    "SN1", "SN2", "NV2A00000001", " ", " ", "  ", "\n", "\r\n", "\r", "\t",
    "MFRGG", "JBSWY3DPEHPK3PXP", "MF RG", "====", "=", "a", "A", "AAAAAAAA"};
// clang-format on
const char* const kSerials[] = {"", "SN1", "SN2", "NV2A00000001"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the serial number and whether the rest is raw or
    // made of pieces of real records.
    const std::string_view serial = kSerials[(data[0] >> 1) % 4];
    std::string text;
    if (data[0] & 1) {
        constexpr size_t count = sizeof kTokens / sizeof kTokens[0];
        for (size_t i = 1; i < size; ++i) text += kTokens[data[i] % count];
    } else {
        text.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    }

    provisor::SeedTable table{{"stale", "00"}};
    if (!provisor::ParseSeedText(text, serial, table)) {
        Check(table.empty());
        return 0;
    }
    Check(serial.empty() || table.count(serial) == 1);

    std::set<std::string, std::less<>> serials;
    std::string_view rest = text;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        const size_t blank = line.find(' ');
        if (blank != std::string_view::npos) serials.emplace(line.substr(0, blank));
    }
    Check(table.size() == serials.size());

    for (const auto& [key, hex] : table) {
        Check(serials.count(key) == 1);
        Check(IsUpperHex(hex) && hex.size() >= 2 && hex.size() <= 320);
        const auto bytes = provisor::LookUpSeed(table, key);
        Check(bytes.has_value() && provisor::BytesToHexString(bytes->data(), bytes->size()) == hex);
    }
    return 0;
}
