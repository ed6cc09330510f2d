#include "formats/Users.h"

#include "formats/Journal.h"
#include "formats/OwnerFile.h"
#include "formats/TextChecks.h"
#include "formats/TextFile.h"

namespace provisor {

std::vector<std::string> ParseUsersText(std::string_view text) {
    std::vector<std::string> users;
    size_t number = 0;
    ForEachLine(text, [&](std::string_view line) {
        ++number;
        const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; };
        while (!line.empty() && blank(line.front())) line.remove_prefix(1);
        while (!line.empty() && blank(line.back())) line.remove_suffix(1);
        if (line.empty()) return true;
        const std::string where = "users list, line " + std::to_string(number) + ": the name";
        text::CheckPrintable(line, where);
        if (line.size() > kMaxUserNameBytes)
            throw FormatError(where + " is longer than " + std::to_string(kMaxUserNameBytes) + " bytes");
        users.emplace_back(line);
        return true;
    });
    return users;
}

std::vector<std::string> ReadUsersFile(const std::filesystem::path& path) {
    return ParseUsersText(ReadSmallFile(path, kUsersFileLimit, "users list").view());
}

namespace {

// Walks pattern; with fields, returns the expansion, else only checks.
std::string Expand(std::string_view pattern, const TitleFields* fields) {
    std::string title;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if ((c == '{' || c == '}') && i + 1 < pattern.size() && pattern[i + 1] == c) {
            title += c;
            ++i;
            continue;
        }
        if (c == '}') throw FormatError("title template \"" + std::string(pattern) + "\": a lone }");
        if (c != '{') {
            title += c;
            continue;
        }
        const size_t close = pattern.find('}', i);
        if (close == std::string_view::npos)
            throw FormatError("title template \"" + std::string(pattern) + "\": a { without }");
        const std::string_view name = pattern.substr(i + 1, close - i - 1);
        if (name != "user" && name != "serial" && name != "n")
            throw FormatError("title template \"" + std::string(pattern) + "\": unknown placeholder {" +
                              std::string(name) + "} ({user}, {serial} and {n} are known)");
        if (fields) {
            if (name == "user") {
                if (fields->user.empty()) throw FormatError("the title template names {user}, and there is no user");
                title += fields->user;
            } else if (name == "serial") {
                title += fields->serial;
            } else {
                title += std::to_string(fields->n);
            }
        }
        i = close;
    }
    return title;
}

}  // namespace

void CheckTitleTemplate(std::string_view pattern) { Expand(pattern, nullptr); }

std::string ExpandTitle(std::string_view pattern, const TitleFields& fields) {
    std::string title = Expand(pattern, &fields);
    for (const char c : title)
        if (c < 0x20 || c > 0x7E) throw FormatError("the title \"" + JsonEscape(title) + "\" is not printable ASCII");
    if (title.size() > kMaxTitleBytes)
        throw FormatError("the title \"" + title + "\" has " + std::to_string(title.size()) + " bytes; a token shows " +
                          std::to_string(kMaxTitleBytes) + " at most");
    return title;
}

}  // namespace provisor
