// Updating the configuration file: whatever the file held, the updated text
// gives back the value just written for its section and key, leaves every
// other section's and key's value as it was, and writing the same value
// again changes nothing.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "formats/IniFile.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

struct Names {
    const char* section;
    const char* key;
};
const Names kWritten[] = {
    {"CONFIG", "CUSTOMER_KEY"}, {"config", "customer_key"}, {"CONFIG", "OTHER"}, {"OTHER", "CUSTOMER_KEY"}};
// Looked at after the update; compared without regard to case.
const Names kProbed[] = {{"CONFIG", "CUSTOMER_KEY"},
                         {"CONFIG", "OTHER"},
                         {"OTHER", "CUSTOMER_KEY"},
                         {"OTHER", "OTHER"},
                         {"", "CUSTOMER_KEY"}};
// Values as the tool writes them (hexadecimal), and some it never does.
const char* const kValues[] = {"0123456789ABCDEF0123456789ABCDEF", "", "5A5A", "a=b", "x;y", "[CONFIG]", "v w"};

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const Names& names = kWritten[data[0] % (sizeof kWritten / sizeof kWritten[0])];
    const std::string value = kValues[data[1] % (sizeof kValues / sizeof kValues[0])];
    const std::string_view content(reinterpret_cast<const char*>(data + 2), size - 2);

    const std::string updated = provisor::UpdateIniContent(content, names.section, names.key, value);
    Check(provisor::FindIniValue(updated, names.section, names.key) == value);
    for (const Names& other : kProbed) {
        if (SameName(other.section, names.section) && SameName(other.key, names.key)) continue;
        Check(provisor::FindIniValue(updated, other.section, other.key) ==
              provisor::FindIniValue(content, other.section, other.key));
    }
    Check(provisor::UpdateIniContent(updated, names.section, names.key, value) == updated);
    // Lines are only ever rewritten in place or added: at most a section
    // header, the entry and the end of an unterminated last line, and at
    // least the entry when there was no value before.
    const auto lines = [](std::string_view s) { return std::count(s.begin(), s.end(), '\n'); };
    const auto added = lines(updated) - lines(content);
    Check(added >= 0 && added <= 3);
    if (!provisor::FindIniValue(content, names.section, names.key)) Check(added >= 1);
    return 0;
}
