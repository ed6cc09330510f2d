// keyloom: Provisor's flows from the command line. See docs/keyloom.md.
#include <QJsonDocument>
#include <QString>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "session/CoreDumps.h"
#include "cli/Keyloom.h"

namespace {

// A standard descriptor the caller closed would be the next file keyloom
// opens (a configuration file, a seed file), and the report would be
// written into it. It gets /dev/null opened the wrong way round instead, so
// reading standard input or writing the report fails, as it should.
void HoldClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int held = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (held >= 0 && held != fd) {
            dup2(held, fd);
            close(held);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace keyloom;
    provisor::DisableCoreDumps();
    HoldClosedStandardDescriptors();
    const std::vector<std::string> args(argv + 1, argv + argc);
    bool json = false;
    for (const std::string& a : args) json = json || a == "--json";

    Outcome outcome;
    std::optional<std::string> help;
    try {
        const Options options = ParseCommandLine(args);
        if (options.help)
            help = UsageText(options.command);
        else
            outcome = RunCommand(options, args);
    } catch (const UsageError& e) {
        outcome = UsageOutcome({}, e.what());
    }
    // enroll's report is the last of its JSON Lines, one line as the others.
    const auto format =
        outcome.report.value("command").toString() == "enroll" ? QJsonDocument::Compact : QJsonDocument::Indented;
    const std::string output = help   ? *help
                               : json ? QJsonDocument(outcome.report).toJson(format).toStdString() +
                                            (format == QJsonDocument::Compact ? "\n" : "")
                                      : RenderText(outcome.report);
    // A report nobody receives is a failure: a script reading it would take
    // the missing text for no result at all.
    errno = 0;
    std::cout << output;
    std::cout.flush();
    const bool written = std::cout.good() && std::fflush(stdout) == 0 && !std::ferror(stdout);
    if (!written && outcome.status == kExitOk) {
        outcome.status = kExitFailure;
        outcome.cause = std::string("the report could not be written to standard output: ") +
                        (errno ? std::strerror(errno) : "write error");
    }
    if (outcome.status != kExitOk) std::cerr << "keyloom: " << OneLine(QString::fromStdString(outcome.cause)) << "\n";
    return outcome.status;
}
