// bulk: the dialog's bulk import on the token in one reader, one result per
// entry, and with --verify each written profile's password checked.
#include <QJsonArray>

#include <algorithm>
#include <map>

#include "cli/CommandSession.h"
#include "cli/Commands.h"
#include "cli/Verify.h"
#include "import/BulkImportFlow.h"
#include "provisioning/Provisioning.h"
#include "session/ClockTicker.h"

namespace keyloom {

using namespace provisor;

namespace {

// Exactly the entries read and checked before anything was touched (the
// file is not read again: standard input could not be, and a file could
// have changed since), authenticated once as the dialog's run is; a refused
// key shows its message and applies nothing. One result per applied entry,
// until a profile cannot be read (the token left the reader).
std::vector<bool> ApplyEntries(CommandSession& s, const Prepared& p) {
    const std::string key = s.Key();
    const uint32_t verified = StatusOf(s.Api().Call<CardFn::CardVerify>(s.Reader().c_str(), key.c_str()));
    if (verified != CARD_OK) {
        s.Record().Add({AuthenticationNotice(verified, 0)});
        return {};
    }
    std::vector<bool> results;
    for (const BulkEntry& entry : p.entries) {
        // Each line's time is the clock's when it is applied, as the dialog's
        // UTC field would show it.
        const BulkEntryOutcome outcome =
            ApplyBulkEntry(s.Api(), key, s.Reader(), entry, FormatUtcTimeField(s.Session().clock.Now()));
        if (!outcome.applied) break;
        results.push_back(outcome.success);
    }
    return results;
}

struct Tally {
    size_t failed = 0;
    std::map<int, size_t> lastWritten;  // profile -> the entry whose write stands
};

QJsonArray Items(const Prepared& p, const std::vector<bool>& results, Tally& tally) {
    QJsonArray items;
    for (size_t i = 0; i < p.entries.size(); ++i) {
        const BulkEntry& e = p.entries[i];
        QJsonObject item{
            {"line", p.entryLines[i]}, {"profile", e.profile}, {"operation", e.deleteOnly ? "delete" : "write"}};
        if (i < results.size()) {
            item["state"] = ResultRowState(e.profile, results[i]);
            item["result"] = results[i] ? "success" : "failed";
            if (results[i])
                tally.lastWritten[e.profile] = i;
            else
                ++tally.failed;
        } else {
            item["result"] = "not applied";
            ++tally.failed;
        }
        items.append(item);
    }
    return items;
}

// Each profile's password against the last entry that wrote it, in file
// order; an earlier entry for the same profile is superseded. The number
// of profiles not verified.
size_t VerifyEntries(CommandSession& s, const Prepared& p, const std::vector<bool>& results, const Tally& tally,
                     QJsonArray& items, QJsonObject& token) {
    std::vector<VerifyTarget> targets;
    for (const auto& [profile, i] : tally.lastWritten) {
        const BulkEntry& e = p.entries[i];
        VerifyTarget t{
            i,           profile,   e.deleteOnly != 0, {}, ParseOtpAlgorithm(e.algorithm).value_or(OtpAlgorithm::Sha1),
            e.otpLength, e.timeStep};
        t.seed.assign(e.seed, e.seed + e.seedLength);
        targets.push_back(std::move(t));
    }
    std::sort(targets.begin(), targets.end(),
              [](const VerifyTarget& a, const VerifyTarget& b) { return a.item < b.item; });
    const VerifyReport verified = VerifyOnToken(s.Api(), s.Reader(), s.Key(), targets);
    if (verified.tokenTime) token["tokenTime"] = Q(*verified.tokenTime);
    size_t notVerified = 0;
    for (size_t k = 0; k < targets.size(); ++k) {
        const auto at = static_cast<qsizetype>(targets[k].item);
        QJsonObject item = items[at].toObject();
        item["verified"] = verified.results[k].verified;
        item["verification"] = Q(verified.results[k].detail);
        items[at] = item;
        if (!verified.results[k].verified) ++notVerified;
    }
    for (size_t i = 0; i < results.size(); ++i) {
        const size_t standing =
            tally.lastWritten.count(p.entries[i].profile) ? tally.lastWritten.at(p.entries[i].profile) : i;
        if (!results[i] || standing == i) continue;
        QJsonObject item = items[static_cast<qsizetype>(i)].toObject();
        item["verified"] = QJsonValue();
        item["verification"] = Q("superseded by line " + std::to_string(p.entryLines[standing]));
        items[static_cast<qsizetype>(i)] = item;
    }
    return notVerified;
}

}  // namespace

Outcome RunBulk(const Options& o, const Prepared& p, const std::string& reader) {
    CommandSession s(o);
    s.Open(p, reader, 0);
    Outcome out;
    QJsonObject token = TokenJson(reader, s.Serial());
    const std::vector<bool> results = ApplyEntries(s, p);
    token["messages"] = s.Record().Json();
    if (results.empty() && !p.entries.empty()) {
        // Authentication failed: nothing was applied.
        out.status = kExitFailure;
        out.cause = s.Record().Cause();
        if (out.cause.empty()) out.cause = "nothing was applied";
    }
    Tally tally;
    QJsonArray items = Items(p, results, tally);
    if (out.status == kExitOk && tally.failed > 0) {
        out.status = kExitFailure;
        out.cause = std::to_string(tally.failed) + " of " + std::to_string(p.entries.size()) +
                    " entries failed or were not applied";
        const std::string flow = s.Record().Cause();
        if (results.size() < p.entries.size())
            out.cause += " (the run stopped at line " + std::to_string(p.entryLines[results.size()]) + ")";
        else if (!flow.empty())
            out.cause += " (" + flow + ")";
    }
    if (o.verify && !tally.lastWritten.empty()) {
        const size_t notVerified = VerifyEntries(s, p, results, tally, items, token);
        if (notVerified > 0) {
            const std::string v =
                std::to_string(notVerified) + " profile" + (notVerified == 1 ? "" : "s") + " not verified";
            out.cause = out.status == kExitOk ? v : out.cause + "; " + v;
            out.status = kExitFailure;
        }
    }
    token["profiles"] = items;
    token["status"] = out.status;
    token["error"] = out.cause.empty() ? QJsonValue() : QJsonValue(Q(out.cause));
    out.report["tokens"] = QJsonArray{token};
    return out;
}

}  // namespace keyloom
