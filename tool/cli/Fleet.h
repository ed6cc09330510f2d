// --all-readers: the library's calls must not overlap within one process,
// so every reader gets a keyloom process of its own, started with the same
// command line for that reader, and the parent combines their reports.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/Keyloom.h"

namespace keyloom {

// Runs one worker per reader in parallel and waits for all. stdinText, when
// the command read standard input, is handed to each worker's standard
// input. The combined report has every worker's tokens in reader order;
// its status is the highest of theirs.
Outcome RunFleet(const Options& options, const std::vector<std::string>& args, const std::vector<std::string>& readers,
                 const std::optional<std::string>& stdinText);

// How a worker's end and output become its part of the combined report.
struct WorkerResult {
    std::string reader;
    int exitStatus = kExitFailure;  // -1 when it did not exit normally
    int signal = 0;
    std::string out;  // its standard output: a JSON report
    std::string err;  // its standard error
};
Outcome CombineWorkers(const std::vector<WorkerResult>& workers);

}  // namespace keyloom
