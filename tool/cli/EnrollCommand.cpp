// enroll: fresh seeds written, verified and handed to the authentication
// server, token after token: the tokens in the readers, or, with --watch,
// each token as it is inserted until a signal or --count ends the run. One
// line per token as it is done (a JSON object per line with --json), then
// the summary.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <iostream>

#include "cli/CommandSession.h"
#include "cli/Commands.h"
#include "cli/Enrollment.h"
#include "cli/Readers.h"
#include "formats/SafeText.h"
#include "watch/ReaderEvents.h"

namespace keyloom {

using namespace provisor;
using SteadyClock = std::chrono::steady_clock;

namespace {

QJsonObject TokenLineJson(const EnrolledToken& t) {
    return QJsonObject{
        {"reader", Q(t.reader)},
        {"serial", t.serial.empty() ? QJsonValue() : QJsonValue(Q(t.serial))},
        {"profile", t.profile},
        {"user", t.user.empty() ? QJsonValue() : QJsonValue(Q(t.user))},
        {"title", Q(t.title)},
        {"algorithm", OtpAlgorithmName(t.settings.algorithm)},
        {"digits", t.settings.digits},
        {"step", t.settings.step},
        {"result", Q(t.result)},
        {"verified", t.verified},
        {"error", t.cause.empty() ? QJsonValue() : QJsonValue(Q(t.cause))},
        {"seedFingerprint", t.seedFingerprint.empty() ? QJsonValue() : QJsonValue(Q(t.seedFingerprint))},
        {"elapsedMs", t.elapsedMs},
        {"libraryMs", t.libraryMs},
    };
}

// Reader, serial, profile and user come from tokens, readers and files:
// their control characters are escaped before they reach a terminal.
std::string TokenLineText(const EnrolledToken& t) {
    std::string line = EscapeControlCharacters(t.reader) + ": " +
                       (t.serial.empty() ? std::string("(no serial)") : EscapeControlCharacters(t.serial)) +
                       " profile " + std::to_string(t.profile) + " user " +
                       (t.user.empty() ? std::string("-") : EscapeControlCharacters(t.user)) + ": " + t.result;
    if (t.result == "enrolled") return line + ", verified";
    return line + ": " + EscapeControlCharacters(t.cause);
}

// The station's output: each line as soon as its token is done, so an
// operator sees it and a script reading the pipe gets it at once.
class Lines {
public:
    explicit Lines(bool json) : m_json(json) {}
    void Token(const EnrolledToken& t) {
        Put((m_json ? QJsonDocument(TokenLineJson(t)).toJson(QJsonDocument::Compact).toStdString() : TokenLineText(t)) +
            "\n");
    }
    bool Good() const { return m_good; }

private:
    void Put(const std::string& text) {
        std::cout << text;
        std::cout.flush();
        m_good = m_good && std::cout.good();
    }
    bool m_json;
    bool m_good = true;
};

struct Tally {
    int enrolled = 0;
    int failed = 0;
    int skipped = 0;
    std::string firstFailure;

    void Add(const EnrolledToken& t) {
        if (t.result == "enrolled") ++enrolled;
        if (t.result == "skipped") ++skipped;
        if (t.Failed()) {
            ++failed;
            if (firstFailure.empty()) firstFailure = (t.serial.empty() ? t.reader : t.serial) + ": " + t.cause;
        }
    }
};

// Without --watch the tokens are those in the readers now.
std::vector<std::string> ReadersNow(const Options& o) {
    if (o.reader) return {*o.reader};
    const ReaderScan scan = ScanReaders();
    if (scan.withToken.empty()) throw Failure(scan.all.empty() ? "no PC/SC reader found" : "no reader holds a token");
    return scan.withToken;
}

// The run's exit status, its cause and the summary report, once the
// exports are ended (unfinished: the causes of those that could not be).
Outcome Summary(const Options& o, const Enrollment& run, const Tally& tally, bool reportWritten, int received,
                const std::vector<std::string>& unfinished) {
    Outcome out;
    out.status = kExitOk;
    if (tally.failed > 0) {
        out.status = kExitFailure;
        out.cause = std::to_string(tally.failed) + (tally.failed == 1 ? " token" : " tokens") +
                    " not enrolled; the first: " + tally.firstFailure;
    }
    if (run.StopIsFailure()) {
        out.status = kExitFailure;
        out.cause = run.StopReason();
    }
    if (!unfinished.empty()) {
        out.status = kExitFailure;
        out.cause = "an export cannot be finished: " + unfinished.front();
    }
    if (!reportWritten) {
        out.status = kExitFailure;
        out.cause = "the report could not be written to standard output";
    }
    QJsonArray exports;
    for (const std::string& path : run.ExportPaths()) exports.append(Q(path));
    out.report = QJsonObject{{"enrolled", tally.enrolled},
                             {"failed", tally.failed},
                             {"skipped", tally.skipped},
                             {"exports", exports},
                             {"journal", Q(run.JournalPath())}};
    std::string stopped = run.StopReason();
    if (stopped.empty() && received) stopped = received == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM";
    if (stopped.empty() && o.count && tally.enrolled >= *o.count) stopped = "--count reached";
    out.report["stopped"] = stopped.empty() ? QJsonValue() : QJsonValue(Q(stopped));
    return out;
}

}  // namespace

Outcome RunEnroll(const Options& o, const Prepared& p, InputReader& inputs) {
    Enrollment run(o, p, inputs);
    // SIGINT and SIGTERM stop the run between two tokens: the token in
    // progress is finished, its records are on disk, the files are ended.
    // Without --watch the watcher is only the stop flag and asks PC/SC
    // nothing.
    ReaderWatcher watcher;
    StopOnSignals stopOnSignals(watcher);
    CommandSession s(o);
    s.BindLibrary();
    s.LoadKey(p);
    const std::vector<std::string> readers = o.watch ? std::vector<std::string>{} : ReadersNow(o);
    run.Open();

    Lines lines(o.json);
    Tally tally;
    std::string key = s.Key();
    const WipeOnExit wipeKey(key);
    const auto enroll = [&](const std::string& reader, SteadyClock::time_point seen) {
        const EnrolledToken t = run.Enroll(s.Api(), key, reader, seen);
        tally.Add(t);
        lines.Token(t);
        const bool counted = o.count && tally.enrolled >= *o.count;
        return !counted && run.StopReason().empty();
    };

    if (!o.watch) {
        for (const std::string& reader : readers)
            if (watcher.Stopped() || !enroll(reader, SteadyClock::now())) break;
    } else {
        while (const auto event = watcher.Next()) {
            const bool token =
                event->kind == ReaderEvent::Kind::TokenInserted || event->kind == ReaderEvent::Kind::TokenPresent;
            if (token && (o.reader.value_or(event->reader) == event->reader) && !enroll(event->reader, event->seen))
                break;
        }
    }
    return Summary(o, run, tally, lines.Good(), stopOnSignals.Received(), run.Finish());
}

}  // namespace keyloom
