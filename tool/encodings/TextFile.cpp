#include "TextFile.h"

#include <fstream>
#include <system_error>

namespace provisor {

std::optional<std::string> ReadWholeTextFile(const std::filesystem::path& path) {
    if (path.empty()) return std::nullopt;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text;
    const auto size = std::filesystem::file_size(path, ec);
    if (!ec) text.reserve(size);
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) text.append(chunk, static_cast<size_t>(in.gcount()));
    if (in.bad()) return std::nullopt;
    return text;
}

}  // namespace provisor
