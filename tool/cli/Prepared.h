// What a keyloom command is given, read and checked before any reader or
// token is touched: a bad input is a usage error (exit status 2), not a
// half-done provisioning.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/Inputs.h"
#include "formats/BulkFile.h"
#include "formats/Pskc.h"

namespace keyloom {

// A descriptor closed with its owner.
class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : m_fd(fd) {}
    OwnedFd(OwnedFd&& other) noexcept;
    OwnedFd& operator=(OwnedFd&& other) noexcept;
    ~OwnedFd() { Reset(); }
    int Get() const { return m_fd; }
    // The open file's name for a later open or dlopen of this very file.
    std::string Path() const { return "/proc/self/fd/" + std::to_string(m_fd); }

private:
    void Reset();
    int m_fd = -1;
};

struct Prepared {
    Prepared() = default;
    Prepared(Prepared&&) = default;
    Prepared& operator=(Prepared&&) = default;
    ~Prepared();

    SeedInput seed;
    OtpAlgorithm algorithm = OtpAlgorithm::Sha1;
    int digits = 6;
    int step = 30;
    std::string title;
    std::vector<provisor::BulkEntry> entries;
    std::vector<int> entryLines;  // file line of each entry, from 1
    std::string newKey;
    std::string keyText;  // from --key-file
    // seed-file and seed-provider: the file as it was checked, open, so
    // that the one loaded is this very file, not whatever its name leads
    // to later (the loader would even search its own path for a bare name).
    OwnedFd sourceFile;
    // --seed-pskc: the file's keys, opened.
    std::optional<provisor::PskcContents> seedPskc;
};

// Reads and checks every input the options name. Throws UsageError.
Prepared Prepare(const Options& options, InputReader& inputs);

}  // namespace keyloom
