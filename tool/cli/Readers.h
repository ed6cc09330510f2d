// Which readers there are and which hold a token, and the reader a command
// works on.
#pragma once

#include <string>
#include <vector>

#include "cli/CommandLine.h"

namespace keyloom {

// Readers in the order PC/SC lists them, and those that hold a token.
struct ReaderScan {
    std::vector<std::string> all;
    std::vector<std::string> withToken;
};

// Throws Failure when pcscd does not answer at all.
ReaderScan ScanReaders();

// -r READER, else the one reader that holds a token. Throws Failure (no
// reader, no token) or UsageError (several tokens).
std::string ChooseReader(const Options& options);

}  // namespace keyloom
