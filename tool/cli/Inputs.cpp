#include "cli/Inputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "cli/CommandLine.h"
#include "formats/Encodings.h"
#include "formats/Secrets.h"

namespace keyloom {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Reads fd to its end; nullopt on a read error or past limit. The text is
// a secret: room is made for it at once where the size is known, so that
// growing leaves no copies behind, and whatever is given up is cleared.
std::optional<std::string> ReadAll(int fd, size_t limit, bool& tooLong) {
    std::string text;
    struct stat st {};
    const size_t expected = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0;
    text.reserve(std::min(limit, std::max(expected, kSecretInputLimit)) + 1);
    char buffer[4096];
    const provisor::WipeOnExit wipeBuffer(buffer);
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            provisor::Wipe(text);
            errno = error;
            return std::nullopt;
        }
        if (n == 0) return text;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > limit) {
            tooLong = true;
            provisor::Wipe(text);
            return std::nullopt;
        }
    }
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsFolded(std::string_view text, std::string_view lower) {
    return text.size() == lower.size() &&
           std::equal(text.begin(), text.end(), lower.begin(), [](char a, char b) { return AsciiLower(a) == b; });
}

// A whole decimal number, nothing around it.
std::optional<int> WholeNumber(std::string_view text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || text.front() == '-')
        return std::nullopt;
    return value;
}

}  // namespace

InputReader::~InputReader() {
    if (m_stdin) provisor::Wipe(*m_stdin);
}

std::string InputReader::Read(const std::string& path, const std::string& what, size_t limit) {
    bool tooLong = false;
    if (path == "-") {
        if (!m_stdin) {
            auto text = ReadAll(STDIN_FILENO, limit, tooLong);
            if (!text)
                throw UsageError(what + ": " + (tooLong ? "standard input is too long" : "cannot read standard input"));
            m_stdin = std::move(text);
        }
        return *m_stdin;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw UsageError(what + ": cannot open " + path + ": " + std::strerror(errno));
    auto text = ReadAll(fd, limit, tooLong);
    const int readErrno = errno;
    close(fd);
    if (!text)
        throw UsageError(what + ": " + path +
                         (tooLong ? " is too long" : ": " + std::string(std::strerror(readErrno))));
    return *text;
}

SeedInput::~SeedInput() {
    provisor::Wipe(text);
    provisor::Wipe(bytes);
}

SeedInput ParseSeedText(const std::string& content, const std::string& what) {
    SeedInput seed;
    seed.text.reserve(content.size());
    for (char c : content) {
        if (IsBlank(c)) continue;
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        seed.text += c;
    }
    if (seed.text.empty()) throw UsageError(what + ": no seed input");
    seed.bytes.assign(seed.text.size(), 0);
    size_t length = seed.text.size();
    if (provisor::Base32Decode(seed.text.c_str(), &length, seed.bytes.data()) == 0)
        throw UsageError(what + ": the seed has illegal characters (base32: A-Z, 2-7, = padding)");
    if (length > 160)
        throw UsageError(what + ": the seed decodes to " + std::to_string(length) + " bytes; a profile holds 1-160");
    seed.bytes.resize(length);
    return seed;
}

OtpauthInput ParseOtpauthText(const std::string& content, const std::string& what) {
    size_t begin = 0;
    while (begin < content.size() && IsBlank(content[begin])) ++begin;
    size_t end = begin;
    while (end < content.size() && !IsBlank(content[end])) ++end;
    const std::string_view uri = std::string_view(content).substr(begin, end - begin);
    const auto refuse = [&](const std::string& cause) { return UsageError(what + ": " + cause); };

    constexpr std::string_view kScheme = "otpauth://";
    if (uri.size() < kScheme.size() || !EqualsFolded(uri.substr(0, kScheme.size()), kScheme))
        throw refuse("no otpauth URI with secret= found");
    const std::string_view afterScheme = uri.substr(kScheme.size());
    const std::string_view type = afterScheme.substr(0, afterScheme.find('/'));
    if (EqualsFolded(type, "hotp"))
        throw refuse("an otpauth://hotp/ URI counts events; the token makes time-based passwords only (totp)");
    if (!EqualsFolded(type, "totp") || type.size() == afterScheme.size())
        throw refuse("the URI is not an otpauth://totp/ URI");

    // The parameters after "?", each name=value, separated by "&".
    std::optional<std::string_view> secret, algorithm, digits, period, issuer;
    const size_t question = uri.find('?');
    std::string_view query = question == std::string_view::npos ? std::string_view{} : uri.substr(question + 1);
    while (!query.empty()) {
        const std::string_view parameter = query.substr(0, query.find('&'));
        query.remove_prefix(std::min(query.size(), parameter.size() + 1));
        const size_t equals = parameter.find('=');
        const std::string_view name = parameter.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view{} : parameter.substr(equals + 1);
        std::optional<std::string_view>* slot = nullptr;
        if (name == "secret")
            slot = &secret;
        else if (EqualsFolded(name, "algorithm"))
            slot = &algorithm;
        else if (EqualsFolded(name, "digits"))
            slot = &digits;
        else if (EqualsFolded(name, "period"))
            slot = &period;
        else if (EqualsFolded(name, "issuer"))
            slot = &issuer;
        if (!slot) continue;  // image, label parameters of other issuers: nothing the token holds
        if (*slot) throw refuse("the URI names " + std::string(name) + " twice");
        *slot = value;
    }
    if (!secret) throw refuse("no otpauth URI with secret= found");

    OtpauthInput out;
    std::string secretText(*secret);
    const provisor::WipeOnExit wipe(secretText);
    out.seed = ParseSeedText(secretText, what);
    if (algorithm) {
        if (EqualsFolded(*algorithm, "sha1"))
            out.algorithm = OtpAlgorithm::Sha1;
        else if (EqualsFolded(*algorithm, "sha256"))
            out.algorithm = OtpAlgorithm::Sha256;
        else
            throw refuse("the URI's algorithm is not one the token computes (SHA1 or SHA256)");
    }
    if (digits) {
        const auto n = WholeNumber(*digits);
        if (!n || (*n != 4 && *n != 6 && *n != 8 && *n != 10))
            throw refuse("the URI's digit count is not one keyloom writes (4, 6, 8 or 10)");
        out.digits = *n;
    }
    if (period) {
        const auto n = WholeNumber(*period);
        if (!n || (*n != 30 && *n != 60)) throw refuse("the URI's period is not a time step of the token (30 or 60)");
        out.step = *n;
    }
    if (issuer) {
        if (issuer->size() > 12) throw refuse("the URI's issuer is longer than a title (12 bytes)");
        for (char c : *issuer) {
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
                throw refuse("the URI's issuer is not printable ASCII, as a title must be");
            out.title += AsciiLower(c);
        }
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
