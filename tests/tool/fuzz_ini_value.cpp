// Reading the configuration file: whatever the file holds, the lookup ends
// inside it and never yields a line break. Names match in any case, a file
// written with CR LF reads as the same file written with LF, and a later
// entry for the same key never wins over an earlier one: a section and key
// appended at the end are found only when the file held no value before.
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
// The configuration's own names, other spellings of them and others.
const Names kNames[] = {{"CONFIG", "CUSTOMER_KEY"},
                        {"config", "customer_key"},
                        {"Config", "Customer_Key"},
                        {"CONFIG", "OTHER"},
                        {"OTHER", "CUSTOMER_KEY"},
                        {"", "CUSTOMER_KEY"},
                        {"CONFIG", ""},
                        {"A B", "K"}};

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// Every LF gets a CR in front of it.
std::string WithCrLf(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const Names& names = kNames[data[0] % (sizeof kNames / sizeof kNames[0])];
    const std::string_view content(reinterpret_cast<const char*>(data + 1), size - 1);

    const std::optional<std::string> value = provisor::FindIniValue(content, names.section, names.key);
    if (value) Check(value->find('\n') == std::string::npos && value->size() < content.size());

    Check(provisor::FindIniValue(content, Upper(names.section), Upper(names.key)) == value);
    Check(provisor::FindIniValue(WithCrLf(content), names.section, names.key) == value);

    // A section name with ']' or blanks at its ends cannot be written as a
    // header that reads back as that name.
    const std::string_view section = names.section;
    if (section.find(']') == std::string_view::npos && !section.empty() && section.front() != ' ' &&
        std::string_view(names.key).find('=') == std::string_view::npos && *names.key != '\0') {
        const std::string appended = std::string(content) + "\n[" + names.section + "]\n" + names.key + "=appended\n";
        Check(provisor::FindIniValue(appended, names.section, names.key) == value.value_or("appended"));
    }
    return 0;
}
