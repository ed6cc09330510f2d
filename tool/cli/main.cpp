// keyloom: Provisor's flows from the command line. See docs/keyloom.md.
#include <QJsonDocument>
#include <QString>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Keyloom.h"

int main(int argc, char** argv) {
    using namespace keyloom;
    const std::vector<std::string> args(argv + 1, argv + argc);
    bool json = false;
    for (const std::string& a : args) json = json || a == "--json";

    Outcome outcome;
    try {
        const Options options = ParseCommandLine(args);
        if (options.help) {
            std::cout << UsageText(options.command);
            return kExitOk;
        }
        outcome = RunCommand(options, args);
    } catch (const UsageError& e) {
        outcome = UsageOutcome({}, e.what());
    }
    if (json)
        std::cout << QJsonDocument(outcome.report).toJson(QJsonDocument::Indented).toStdString();
    else
        std::cout << RenderText(outcome.report);
    std::cout.flush();
    if (outcome.status != kExitOk) std::cerr << "keyloom: " << OneLine(QString::fromStdString(outcome.cause)) << "\n";
    return outcome.status;
}
