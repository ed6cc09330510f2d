#include "Inputs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "CommandLine.h"
#include "Encodings.h"
#include "QrImport.h"

namespace keyloom {

namespace {

std::optional<std::string> g_stdin;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Reads fd to its end; nullopt on a read error or past limit.
std::optional<std::string> ReadAll(int fd, size_t limit, bool& tooLong) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return text;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > limit) {
            tooLong = true;
            return std::nullopt;
        }
    }
}

}  // namespace

std::string ReadInput(const std::string& path, const std::string& what, size_t limit) {
    bool tooLong = false;
    if (path == "-") {
        if (!g_stdin) {
            const auto text = ReadAll(STDIN_FILENO, limit, tooLong);
            if (!text)
                throw UsageError(what + ": " + (tooLong ? "standard input is too long" : "cannot read standard input"));
            g_stdin = *text;
        }
        return *g_stdin;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw UsageError(what + ": cannot open " + path + ": " + std::strerror(errno));
    const auto text = ReadAll(fd, limit, tooLong);
    const int readErrno = errno;
    close(fd);
    if (!text)
        throw UsageError(what + ": " + path +
                         (tooLong ? " is too long" : ": " + std::string(std::strerror(readErrno))));
    return *text;
}

std::optional<std::string> StandardInputRead() { return g_stdin; }

SeedInput ParseSeedText(const std::string& content, const std::string& what) {
    SeedInput seed;
    for (char c : content) {
        if (IsBlank(c)) continue;
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        seed.text += c;
    }
    if (seed.text.empty()) throw UsageError(what + ": no seed input");
    std::vector<uint8_t> bytes(seed.text.size(), 0);
    size_t length = seed.text.size();
    if (provisor::Base32Decode(seed.text.c_str(), &length, bytes.data()) == 0)
        throw UsageError(what + ": the seed has illegal characters (base32: A-Z, 2-7, = padding)");
    if (length > 160)
        throw UsageError(what + ": the seed decodes to " + std::to_string(length) + " bytes; a profile holds 1-160");
    bytes.resize(length);
    seed.bytes = std::move(bytes);
    return seed;
}

OtpauthInput ParseOtpauthText(const std::string& content, const std::string& what) {
    size_t begin = 0;
    while (begin < content.size() && IsBlank(content[begin])) ++begin;
    size_t end = begin;
    while (end < content.size() && !IsBlank(content[end])) ++end;
    const auto fields = provisor::InterpretQrText(std::string_view(content).substr(begin, end - begin));
    if (!fields) throw UsageError(what + ": no otpauth URI with secret= found");
    OtpauthInput out;
    out.seed = ParseSeedText(fields->seed, what);
    out.title = fields->title;
    out.algorithm = fields->algorithm == provisor::kAlgorithmSha256 ? OtpAlgorithm::Sha256 : OtpAlgorithm::Sha1;
    out.step = fields->timeStep == provisor::kTimeStep60s ? 60 : 30;
    switch (fields->otpLength) {
        case provisor::kOtpLength4: out.digits = 4; break;
        case provisor::kOtpLength8: out.digits = 8; break;
        case provisor::kOtpLength10: out.digits = 10; break;
        default: out.digits = 6; break;
    }
    return out;
}

std::string ParseKeyText(const std::string& content, const std::string& what) {
    size_t begin = 0, end = content.size();
    while (begin < end && IsBlank(content[begin])) ++begin;
    while (end > begin && IsBlank(content[end - 1])) --end;
    std::string key = content.substr(begin, end - begin);
    bool hex = !key.empty() && key.size() % 2 == 0 && key.size() <= 32;
    for (char& c : key) {
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
        hex = hex && ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
    }
    if (!hex) throw UsageError(what + ": an access key is 2-32 hexadecimal digits, in pairs");
    return key;
}

}  // namespace keyloom
