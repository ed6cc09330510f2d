#include "cli/Keyloom.h"

#include "cli/CommandSession.h"
#include "cli/Commands.h"
#include "cli/Fleet.h"
#include "cli/Readers.h"
#include "formats/SafeText.h"

namespace keyloom {

namespace {

Outcome Dispatch(const Options& o, const std::vector<std::string>& args) {
    if (o.command == Command::Readers) return RunReaders();
    InputReader inputs;
    const Prepared p = Prepare(o, inputs);
    switch (o.command) {
        case Command::Info: return RunInfo(o, ChooseReader(o));
        case Command::Provision:
        case Command::SeedFile:
        case Command::SeedProvider:
        case Command::Bulk: {
            if (o.allReaders) {
                // The key is checked here once; every worker loads it again.
                if (!o.keyFile) CommandSession(o).LoadKey(p);
                const ReaderScan scan = ScanReaders();
                if (scan.withToken.empty())
                    throw Failure(scan.all.empty() ? "no PC/SC reader found" : "no reader holds a token");
                return RunFleet(o, args, scan.withToken, inputs.StandardInput());
            }
            const std::string reader = ChooseReader(o);
            return o.command == Command::Bulk ? RunBulk(o, p, reader) : RunProvision(o, p, reader);
        }
        case Command::Otp: return RunOtp(o, p, ChooseReader(o));
        case Command::Delete: return RunDelete(o, p, ChooseReader(o));
        case Command::KeyChange:
        case Command::KeyReset:
        case Command::KeySave: return RunKey(o, p);
        case Command::Enroll: return RunEnroll(o, p, inputs);
        default: break;
    }
    throw UsageError("no command given");
}

}  // namespace

std::string OneLine(const QString& text) { return provisor::EscapeControlCharacters(text.simplified().toStdString()); }

Outcome UsageOutcome(const std::string& commandName, const std::string& cause) {
    Outcome out;
    out.status = kExitUsage;
    out.cause = cause;
    out.report = QJsonObject{{"command", commandName.empty() ? QJsonValue() : QJsonValue(Q(commandName))},
                             {"status", kExitUsage},
                             {"error", Q(cause)}};
    return out;
}

Outcome RunCommand(const Options& options, const std::vector<std::string>& args) {
    Outcome out;
    try {
        out = Dispatch(options, args);
    } catch (const UsageError& e) {
        return UsageOutcome(options.commandName, e.what());
    } catch (const Failure& e) {
        out = Outcome{};
        out.status = kExitFailure;
        out.cause = e.what();
    }
    out.report["command"] = Q(options.commandName);
    out.report["status"] = out.status;
    out.report["error"] = out.cause.empty() ? QJsonValue() : QJsonValue(Q(out.cause));
    return out;
}

}  // namespace keyloom
