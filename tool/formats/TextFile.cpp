#include "formats/TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "formats/Secrets.h"

namespace provisor {

std::optional<std::string> ReadWholeTextFile(const std::filesystem::path& path, size_t limit) {
    if (path.empty()) return std::nullopt;
    // Not blocking in open(): a FIFO planted under the expected name would
    // otherwise hold the tool until someone writes into it.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<unsigned long long>(st.st_size) > limit) {
        close(fd);
        return std::nullopt;
    }
    // Room for the whole file at once: growing would leave copies of a
    // seed file's text in freed memory.
    std::string text;
    text.reserve(static_cast<size_t>(st.st_size) + 1);
    char chunk[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        // A file that grew past the limit while it was read.
        if (text.size() + static_cast<size_t>(n) > limit) {
            ok = false;
            break;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
    Wipe(chunk, sizeof chunk);
    close(fd);
    if (!ok) {
        Wipe(text);
        return std::nullopt;
    }
    return text;
}

}  // namespace provisor
