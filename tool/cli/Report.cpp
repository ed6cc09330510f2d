// The text form of keyloom's reports: one line per reader, profile or bulk
// entry, so a script can grep them and a person can read them.
#include <QJsonArray>

#include <sstream>

#include "cli/Keyloom.h"
#include "formats/SafeText.h"

namespace keyloom {

namespace {

// Serial numbers, reader names and titles come from tokens, readers and
// files: their control characters are escaped before they reach a terminal.
std::string S(const QJsonValue& v) { return provisor::EscapeControlCharacters(v.toString().toStdString()); }

void RenderTokens(std::ostringstream& out, const QJsonArray& tokens) {
    for (const QJsonValue& tv : tokens) {
        const QJsonObject token = tv.toObject();
        const std::string who = token.value("serial").isString() ? S(token.value("serial")) : S(token.value("reader"));
        const QJsonArray profiles = token.value("profiles").toArray();
        if (profiles.isEmpty() && token.value("error").isString()) {
            out << who << ": " << S(token.value("error")) << "\n";
            continue;
        }
        for (const QJsonValue& pv : profiles) {
            const QJsonObject p = pv.toObject();
            out << who;
            if (p.contains("line")) out << " line " << p.value("line").toInt();
            out << " profile " << p.value("profile").toInt() << ": ";
            const std::string result = S(p.value("result"));
            if (p.value("state").isString())
                out << S(p.value("state"));
            else
                out << result;
            if (p.value("verified").isBool())
                out << (p.value("verified").toBool() ? "; verified" : "; NOT verified: " + S(p.value("verification")));
            else if (p.value("verification").isString())
                out << "; " << S(p.value("verification"));
            out << "\n";
        }
    }
}

}  // namespace

std::string RenderText(const QJsonObject& report) {
    std::ostringstream out;
    const std::string command = S(report.value("command"));
    if (command == "readers") {
        for (const QJsonValue& rv : report.value("readers").toArray()) {
            const QJsonObject r = rv.toObject();
            out << S(r.value("reader")) << ": ";
            if (!r.value("token").toBool())
                out << "no token\n";
            else
                out << "token " << (r.value("serial").isString() ? S(r.value("serial")) : "(serial unknown)") << "\n";
        }
    } else if (command == "info") {
        if (!report.contains("serial")) return {};
        out << "reader: " << S(report.value("reader")) << "\n";
        out << "serial: " << S(report.value("serial")) << "\n";
        out << "token time: " << S(report.value("tokenTime")) << " UTC";
        if (report.value("driftSeconds").isDouble()) {
            const qint64 drift = report.value("driftSeconds").toInteger();
            out << " (drift " << (drift >= 0 ? "+" : "") << drift << " s against this computer's UTC clock)";
        }
        out << "\n";
        std::string seeded;
        for (const QJsonValue& pv : report.value("profiles").toArray())
            if (pv.toObject().value("seed").toBool())
                seeded += (seeded.empty() ? "" : " ") + std::to_string(pv.toObject().value("profile").toInt());
        out << "profiles: " << report.value("profileCount").toInt()
            << ", holding a seed: " << (seeded.empty() ? "none" : seeded) << "\n";
        for (const QJsonValue& pv : report.value("profiles").toArray()) {
            const QJsonObject p = pv.toObject();
            if (!p.value("seed").toBool()) continue;
            out << "profile " << p.value("profile").toInt() << ": seed (algorithm, digits and step not reported), auto "
                << "enter " << (p.value("autoEnter").toBool() ? "on" : "off") << ", clear seed "
                << (p.value("clearSeed").toBool() ? "on" : "off") << "\n";
        }
    } else if (command == "otp") {
        if (report.value("otp").isString()) out << S(report.value("otp")) << "\n";
    } else if (command == "delete") {
        const std::string result = S(report.value("result"));
        if (result == "deleted" || result == "empty")
            out << S(report.value("serial")) << " profile " << report.value("profile").toInt() << ": "
                << (result == "deleted" ? "seed removed" : "held no seed") << "\n";
    } else if (command == "enroll") {
        // The token lines went out as each token was done; this is the end.
        if (report.contains("enrolled")) {
            out << "enrolled " << report.value("enrolled").toInt() << ", failed " << report.value("failed").toInt();
            if (report.value("skipped").toInt() > 0) out << ", skipped " << report.value("skipped").toInt();
            if (report.value("stopped").isString()) out << "; " << S(report.value("stopped"));
            out << "\n";
        }
    } else if (command.rfind("key ", 0) == 0) {
        if (report.value("changed").toBool()) out << "the token's access key was changed\n";
        if (report.value("saved").toBool()) out << "the key was saved in the configuration file\n";
    } else {
        RenderTokens(out, report.value("tokens").toArray());
    }
    return out.str();
}

}  // namespace keyloom
