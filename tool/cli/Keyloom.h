// keyloom's commands on top of the dialog's flows. Every command builds one
// report (a JSON object that the text output is rendered from) and an exit
// status: 0 success, 1 a token or operation failure, 2 a usage or input
// error, with a one-line cause for every failure.
#pragma once

#include <QJsonObject>

#include <string>
#include <vector>

#include "cli/CommandLine.h"

namespace keyloom {

enum ExitStatus : int { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

struct Outcome {
    int status = kExitOk;
    std::string cause;   // one line; empty on success
    QJsonObject report;  // "command", "status" and "error" included
};

// Runs the parsed command. args is the command line it came from (without
// the program name); --all-readers starts one worker process per reader
// with it.
Outcome RunCommand(const Options& options, const std::vector<std::string>& args);

// The report as text for a person: one line per reader, profile or entry.
std::string RenderText(const QJsonObject& report);

// The report of a command that ended before it began (usage errors).
Outcome UsageOutcome(const std::string& commandName, const std::string& cause);

// Flattens a message into one line (the dialog's texts hold line breaks).
std::string OneLine(const QString& text);

}  // namespace keyloom
