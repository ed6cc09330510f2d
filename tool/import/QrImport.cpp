#include "import/QrImport.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "formats/Secrets.h"

namespace provisor {

namespace {

namespace fs = std::filesystem;

// A QR code holds at most 7089 characters; anything far beyond that is not a
// payload worth reading into memory.
constexpr size_t kDecoderOutputReadLimit = 64 * 1024;

fs::path MakePrivateDirectory(const fs::path& parent) {
    std::string pattern = (parent / "provisor-qr-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return {};
    return pattern;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The first whitespace-delimited word of a file, as reading it as C text
// would give it: a NUL byte ends the word too.
std::string ReadFirstWord(const fs::path& file) {
    const int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return {};
    char buffer[4096];
    std::string content;
    // The payload holds the secret: room for all of it at once, so that no
    // copy is left behind by growing, and cleared when done.
    content.reserve(kDecoderOutputReadLimit + sizeof buffer);
    const WipeOnExit wipe(content, buffer);
    while (content.size() < kDecoderOutputReadLimit) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    close(fd);

    size_t begin = 0;
    while (begin < content.size() && IsSpace(content[begin])) ++begin;
    size_t end = begin;
    while (end < content.size() && content[end] != '\0' && !IsSpace(content[end])) ++end;
    return content.substr(begin, end - begin);
}

}  // namespace

QrImportTempDir::QrImportTempDir() {
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir && tmpdir[0] == '/') m_path = MakePrivateDirectory(tmpdir);
    if (m_path.empty()) m_path = MakePrivateDirectory("/tmp");
}

QrImportTempDir::~QrImportTempDir() {
    if (m_path.empty()) return;
    // Normally just FRQR.png and FRQR.tmp, but a helper killed at its time
    // limit may have left a partial file of its own in here.
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

std::string RunQrDecoder(const fs::path& image, const QrImportTempDir& dir, std::chrono::milliseconds timeLimit) {
    return RunQrDecoder(ExternalProgram(kQrDecoderProgram), image, dir, timeLimit);
}

std::string RunQrDecoder(const ExternalProgram& decoder, const fs::path& image, const QrImportTempDir& dir,
                         std::chrono::milliseconds timeLimit) {
    if (!dir.Valid() || image.empty()) return {};
    const ProgramRun run = decoder.Run({image.string()}, dir.DecoderOutputPath(), timeLimit);
    // The exit status says nothing the output does not; but a decoder that
    // never started wrote nothing, and one stopped at its time limit may have
    // written only part of a payload.
    if (run.outcome != ProgramOutcome::kExited && run.outcome != ProgramOutcome::kSignalled) return {};
    return ReadFirstWord(dir.DecoderOutputPath());
}

bool TakeScreenshot(const QrImportTempDir& dir, std::chrono::milliseconds timeLimit) {
    return TakeScreenshot(ExternalProgram(kScreenshotProgram), dir, timeLimit);
}

bool TakeScreenshot(const ExternalProgram& screenshotter, const QrImportTempDir& dir,
                    std::chrono::milliseconds timeLimit) {
    if (!dir.Valid()) return false;
    const fs::path shot = dir.ScreenshotPath();
    const ProgramRun run = screenshotter.Run({"savescreenshotfull", shot.string()}, {}, timeLimit);
    if (!run.Succeeded()) return false;
    struct stat st;
    return lstat(shot.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

std::optional<OtpauthFields> ReadQrFromImageFile(const fs::path& image) {
    const QrImportTempDir dir;
    return InterpretQrText(RunQrDecoder(image, dir));
}

std::optional<OtpauthFields> ReadQrFromScreen() {
    const QrImportTempDir dir;
    if (!TakeScreenshot(dir)) return std::nullopt;
    return InterpretQrText(RunQrDecoder(dir.ScreenshotPath(), dir));
}

}  // namespace provisor
