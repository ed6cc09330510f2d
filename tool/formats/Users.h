// Who gets the tokens of a run: the users list (--users FILE) handed out in
// order, and the title template that may put a user's name on the token.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace provisor {

constexpr size_t kUsersFileLimit = 4 * 1024 * 1024;
constexpr size_t kMaxUserNameBytes = 256;

// One user name per line; white space around a name and blank lines are
// dropped. Throws FormatError naming the line for a name with control
// characters, one that is not UTF-8 or longer than kMaxUserNameBytes.
std::vector<std::string> ParseUsersText(std::string_view text);
// ReadSmallFile up to kUsersFileLimit, then ParseUsersText. Throws
// FileError or FormatError.
std::vector<std::string> ReadUsersFile(const std::filesystem::path& path);

// What a title template may name: {user}, {serial} and {n}, the token's
// number in the run (1 for the first). "{{" and "}}" stand for the braces.
struct TitleFields {
    std::string_view user;
    std::string_view serial;
    unsigned n = 0;
};

constexpr size_t kMaxTitleBytes = 12;

// Throws FormatError for an unknown placeholder or a lone brace, so a run
// refuses a bad template before its first token.
void CheckTitleTemplate(std::string_view pattern);
// The title for one token: printable ASCII of at most kMaxTitleBytes bytes
// (possibly empty, which writes an empty title). Throws FormatError when
// the template is bad, names a user the token has not, or the result is
// too long or not printable ASCII.
std::string ExpandTitle(std::string_view pattern, const TitleFields& fields);

}  // namespace provisor
