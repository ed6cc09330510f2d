// Reading the operator's text files: the whole file at once, then line by
// line. Shared by the bulk file and the seed file, which read the same way.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace provisor {

// The most an operator's file may hold: far beyond any real bulk or seed
// file, small enough that a wrong pick (a disk image, /dev/zero) is refused
// instead of filling the memory.
constexpr size_t kOperatorFileLimit = 64u * 1024 * 1024;

// The bytes of a regular file; nullopt for an empty path, anything but a
// regular file (a directory, a FIFO that would never end or block the
// tool, a device), a file longer than limit, or a read error.
std::optional<std::string> ReadWholeTextFile(const std::filesystem::path& path, size_t limit = kOperatorFileLimit);

// Calls onLine for every line of text, in order, until it returns false. A
// line ends at a line feed, a carriage return just before it is dropped, and
// a last line without a line feed counts. Returns false when onLine did.
template <typename OnLine>
bool ForEachLine(std::string_view text, OnLine&& onLine) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!onLine(line)) return false;
    }
    return true;
}

}  // namespace provisor
