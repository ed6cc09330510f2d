#include "formats/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

namespace provisor {

namespace {

struct Line {
    size_t start;    // offset of the first character
    size_t textEnd;  // offset just past the text, before the terminator
    size_t end;      // offset just past the terminator
};

std::vector<Line> SplitLines(std::string_view content) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        const size_t nl = content.find('\n', pos);
        const size_t end = nl == std::string_view::npos ? content.size() : nl + 1;
        size_t textEnd = nl == std::string_view::npos ? content.size() : nl;
        if (textEnd > pos && content[textEnd - 1] == '\r') --textEnd;
        lines.push_back({pos, textEnd, end});
        pos = end;
    }
    return lines;
}

std::string_view Trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

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

// The section name of a "[name]" line.
std::optional<std::string_view> SectionName(std::string_view text) {
    text = Trim(text);
    if (text.empty() || text.front() != '[') return std::nullopt;
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(text.substr(1, close - 1));
}

bool IsEntryFor(std::string_view text, std::string_view key, std::string_view* value = nullptr) {
    const std::string_view trimmed = Trim(text);
    if (trimmed.empty() || trimmed.front() == ';') return false;
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos || !SameName(Trim(text.substr(0, eq)), key)) return false;
    if (value) *value = Trim(text.substr(eq + 1));
    return true;
}

}  // namespace

std::optional<std::string> FindIniValue(std::string_view content, std::string_view section, std::string_view key) {
    bool inSection = false;
    for (const Line& line : SplitLines(content)) {
        const std::string_view text = content.substr(line.start, line.textEnd - line.start);
        if (auto name = SectionName(text)) {
            inSection = SameName(*name, section);
            continue;
        }
        std::string_view value;
        if (inSection && IsEntryFor(text, key, &value)) {
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return std::string(value);
        }
    }
    return std::nullopt;
}

std::string UpdateIniContent(std::string_view content, std::string_view section, std::string_view key,
                             std::string_view value) {
    const std::vector<Line> lines = SplitLines(content);
    const std::string entry = std::string(key) + "=" + std::string(value);

    size_t header = lines.size();
    for (size_t i = 0; i < lines.size() && header == lines.size(); ++i) {
        auto name = SectionName(content.substr(lines[i].start, lines[i].textEnd - lines[i].start));
        if (name && SameName(*name, section)) header = i;
    }

    std::string updated;
    if (header == lines.size()) {
        updated = content;
        if (!updated.empty() && updated.back() != '\n') updated += "\r\n";
        updated += "[" + std::string(section) + "]\r\n" + entry + "\r\n";
        return updated;
    }

    size_t lastEntry = header;
    for (size_t i = header + 1; i < lines.size(); ++i) {
        const std::string_view text = content.substr(lines[i].start, lines[i].textEnd - lines[i].start);
        if (SectionName(text)) break;
        if (IsEntryFor(text, key)) {
            updated.append(content.substr(0, lines[i].start));
            updated.append(entry);
            updated.append(content.substr(lines[i].textEnd));
            return updated;
        }
        if (!Trim(text).empty()) lastEntry = i;
    }

    const Line& after = lines[lastEntry];
    updated.append(content.substr(0, after.end));
    // A last line without a line feed (a lone CR at its end does not end it)
    // must be ended, or the new entry would become part of it.
    if (after.end == after.start || content[after.end - 1] != '\n') updated += "\r\n";
    updated += entry + "\r\n";
    updated.append(content.substr(after.end));
    return updated;
}

std::optional<std::string> ReadIniFile(const std::filesystem::path& file) {
    // A directory opens for reading too, and only its reads fail: every
    // failure counts, so an unreadable file never looks like an empty one.
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return std::nullopt;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return content;
}

std::optional<std::string> ReadIniValue(const std::filesystem::path& file, std::string_view section,
                                        std::string_view key) {
    const std::optional<std::string> content = ReadIniFile(file);
    if (!content) return std::nullopt;
    return FindIniValue(*content, section, key);
}

bool WriteIniValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                   std::string_view value) {
    std::string content;
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) {
        // The new file only takes the old one's name, which needs no right
        // to write the old file: a file its owner made read-only would be
        // replaced all the same. It is kept, and the caller told.
        const int probe = open(file.c_str(), O_WRONLY | O_CLOEXEC);
        if (probe < 0) return false;
        close(probe);
        std::optional<std::string> old = ReadIniFile(file);
        if (!old) return false;
        content = std::move(*old);
    } else if (ec) {
        return false;
    }
    const std::string updated = UpdateIniContent(content, section, key, value);

    std::string name = file.string() + ".XXXXXX";
    const int fd = mkstemp(name.data());  // mode 0600
    if (fd < 0) return false;
    bool ok = fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    ok = ok && WriteAllToFd(fd, updated);
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && std::rename(name.c_str(), file.c_str()) == 0;
    if (!ok) unlink(name.c_str());
    return ok;
}

bool WriteAllToFd(int fd, std::string_view data) {
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace provisor
