#include "cli/Prepared.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>
#include <utility>

#include "formats/Secrets.h"
#include "formats/TextFile.h"
#include "cli/PskcSeeds.h"

namespace keyloom {

using namespace provisor;

namespace {

// The bulk file as the run will apply it, with the line each entry came
// from and, for a rejected file, the first line at fault.
void PrepareBulk(const std::string& path, InputReader& inputs, Prepared& p) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw UsageError("bulk file: " + path + " is a directory");
    std::string text = inputs.Read(path, "bulk file", kOperatorFileLimit);
    const WipeOnExit wipe(text);
    int lineNumber = 0;
    ForEachLine(text, [&](std::string_view line) {
        ++lineNumber;
        const size_t before = p.entries.size();
        if (!ParseBulkLine(line, p.entries))
            throw UsageError("File format or data error! (bulk file " + path + ", line " + std::to_string(lineNumber) +
                             ")");
        if (p.entries.size() > before) p.entryLines.push_back(lineNumber);
        return true;
    });
}

void PrepareSeed(const Options& o, InputReader& inputs, Prepared& p) {
    if (o.seedFile) {
        std::string text = inputs.Read(*o.seedFile, "--seed-file");
        const WipeOnExit wipe(text);
        p.seed = ParseSeedText(text, "--seed-file");
        return;
    }
    std::string text = inputs.Read(*o.otpauthFile, "--otpauth-file");
    const WipeOnExit wipe(text);
    const OtpauthInput uri = ParseOtpauthText(text, "--otpauth-file");
    p.seed = uri.seed;
    p.algorithm = uri.algorithm;
    p.digits = uri.digits;
    p.step = uri.step;
    p.title = uri.title;
}

}  // namespace

OwnedFd::OwnedFd(OwnedFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
    if (this != &other) {
        Reset();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

void OwnedFd::Reset() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

Prepared::~Prepared() {
    Wipe(newKey);
    Wipe(keyText);
}

Prepared Prepare(const Options& o, InputReader& inputs) {
    Prepared p;
    if (o.seedPskc)
        p.seedPskc = ReadSeedPskc(o, inputs);
    else if (o.command == Command::Provision)
        PrepareSeed(o, inputs, p);
    if (IsProvisioning(o.command)) {
        if (o.algorithm) p.algorithm = *ParseOtpAlgorithm(*o.algorithm);
        if (o.digits) p.digits = *o.digits;
        if (o.step) p.step = *o.step;
        if (o.title) p.title = *o.title;
    }
    if (o.command == Command::SeedFile || o.command == Command::SeedProvider) {
        p.sourceFile = OwnedFd(open(o.file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (p.sourceFile.Get() < 0 || fstat(p.sourceFile.Get(), &st) != 0 || !S_ISREG(st.st_mode))
            throw UsageError((o.command == Command::SeedFile ? "seed file: " : "seed provider: ") + o.file +
                             " is not a readable file");
    }
    if (o.command == Command::Bulk) PrepareBulk(o.file, inputs, p);
    const auto key = [&](const std::string& path, const char* what) {
        std::string text = inputs.Read(path, what);
        const WipeOnExit wipe(text);
        return ParseKeyText(text, what);
    };
    if (o.newKeyFile) p.newKey = key(*o.newKeyFile, "--new-key-file");
    if (o.keyFile) p.keyText = key(*o.keyFile, "--key-file");
    return p;
}

}  // namespace keyloom
