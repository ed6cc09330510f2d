// provision, seed-file and seed-provider: "⚡ provision profile" for one
// profile of the token in one reader, the seed from a file, from the seed
// file's record for the token, or from a seed provider library.
#include <QJsonArray>

#include "cli/CommandSession.h"
#include "cli/PskcSeeds.h"
#include "cli/Commands.h"
#include "cli/Verify.h"
#include "formats/SeedFile.h"
#include "provisioning/Provisioning.h"
#include "session/ClockTicker.h"

namespace keyloom {

using namespace provisor;

namespace {

// The options' profile settings, the dialog's defaults where they say
// nothing. Nobody can be asked before a seed is overwritten, so without
// --force a profile that holds one is refused before anything is written:
// the dialog's own question comes only after the new configuration is in,
// which would leave the old seed under a new algorithm or step.
ProfileWrite ProvisionWrite(const Options& o, const Prepared& p, const SeedSettings& settings, CommandSession& s) {
    ProfileWrite write;
    write.action = ProfileAction::Provision;
    write.reader = s.Reader();
    write.profile = *o.profile;
    write.serialNumber = s.Serial();
    write.algorithm = OtpAlgorithmName(settings.algorithm);
    write.digits = settings.digits;
    write.step = settings.step;
    write.title = p.title;
    if (o.setTime) {
        write.clock = ClockChoice::Required;
        write.clockText = FormatUtcTimeField(s.Session().clock.Now());
    }
    write.clearSeed = false;
    write.autoEnter = o.enter;
    write.overwrite = o.force ? Overwrite::Ask : Overwrite::Refuse;
    s.Record().SetAnswer(o.force);
    write.prompt = &s.Record();
    return write;
}

// The seed of the command's source into write, and into written a copy of
// the seed that will be written, to verify against. The cause when the
// source cannot give one (an input error).
std::string AttachSeed(const Options& o, const Prepared& p, CommandSession& s, ProfileWrite& write,
                       SecretBytes& written) {
    if (p.seedPskc) {
        // The settings came with the seed (PskcSettings); here only the seed.
        std::string cause;
        const auto found = FindPskcSeed(*p.seedPskc, s.Serial(), o, {p.algorithm, p.digits, p.step}, cause);
        if (!found) return cause;
        written = found->seed;
        write.seed = written;
        return {};
    }
    if (o.command == Command::Provision) {
        written = SecretBytes(p.seed.bytes.data(), p.seed.bytes.size());
        write.seed = written;
        return {};
    }
    if (o.command == Command::SeedFile) {
        SeedTable table;
        const bool loaded = LoadSeedFile(p.sourceFile.Path(), s.Serial(), table);
        const auto found = loaded ? LookUpSeed(table, s.Serial()) : std::nullopt;
        WipeSeedTable(table);
        if (!found) {
            s.Record().ShowMessage(QStringLiteral("Failed to load seed file!"), kCaption, MessageIcon::Error);
            return s.Record().Cause() + " (" + o.file + " has no valid record for serial " + s.Serial() + ")";
        }
        written = SecretBytes(found->data(), found->size());
        write.seed = written;
        return {};
    }
    if (!s.Session().seedSources.LoadProvider(s.Session().cardApi, p.sourceFile.Path())) {
        s.Record().ShowMessage(QStringLiteral("Failed to load dynamic library!"), kCaption, MessageIcon::Error);
        return s.Record().Cause() + " (" + o.file + " does not load or exports no GetSeed)";
    }
    // Asked once, where the write asks for its seed; a provider may hand out
    // a fresh seed on every call, so what it handed out is kept to verify.
    write.seedSupplier.take = [&s, &written] {
        SeedSupply supply = AskSeedProvider(s.Api(), s.Serial());
        if (supply.failure == SeedFailure::None) written = supply.seed;
        return supply;
    };
    return {};
}

std::string FailureCause(const ProfileWriteResult& result, CommandSession& s, int profile) {
    std::string cause = s.Record().Cause();
    if (!cause.empty()) return cause;
    if (result.seedFailure == SeedFailure::ProviderFailed)
        return "the seed provider has no seed for serial " + s.Serial() + " (GetSeed returned " +
               std::to_string(result.providerResult) + ")";
    if (result.seedFailure == SeedFailure::ProviderLength)
        return "the seed provider returned an unusable seed length for serial " + s.Serial();
    return OneLine(ResultRowState(profile, false));
}

// The profile settings of the write: the options', or, with a PSKC seed
// source, those the file gives for the token (a token the file does not
// know keeps the options' and is refused by AttachSeed).
SeedSettings WriteSettings(const Options& o, const Prepared& p, const std::string& serial) {
    const SeedSettings options{p.algorithm, p.digits, p.step};
    if (!p.seedPskc) return options;
    std::string cause;
    const auto found = FindPskcSeed(*p.seedPskc, serial, o, options, cause);
    return found ? found->settings : options;
}

}  // namespace

Outcome RunProvision(const Options& o, const Prepared& p, const std::string& reader) {
    CommandSession s(o);
    const int profile = *o.profile;
    s.Open(p, reader, profile);

    Outcome out;
    QJsonObject token = TokenJson(reader, s.Serial());
    QJsonObject item{{"profile", profile}, {"operation", "write"}};
    const auto finish = [&](int status, std::string cause, const char* result) {
        item["result"] = result;
        token["profiles"] = QJsonArray{item};
        token["messages"] = s.Record().Json();
        token["status"] = status;
        token["error"] = cause.empty() ? QJsonValue() : QJsonValue(Q(cause));
        out.status = status;
        out.cause = std::move(cause);
        out.report["tokens"] = QJsonArray{token};
        return out;
    };

    const SeedSettings settings = WriteSettings(o, p, s.Serial());
    ProfileWrite write = ProvisionWrite(o, p, settings, s);
    SecretBytes written;
    if (const std::string cause = AttachSeed(o, p, s, write, written); !cause.empty())
        return finish(kExitUsage, cause, "failed");
    const ProfileWriteResult result = PerformProfileWrite(s.Api(), s.Key(), write);
    switch (result.failedStep) {
        case ProfileWriteStep::Refused:
            return finish(kExitFailure,
                          "profile " + std::to_string(profile) + " already holds a seed; --force overwrites it",
                          "refused");
        case ProfileWriteStep::CheckHeldSeed:
            return finish(
                kExitFailure,
                std::to_string(profile) + "-cannot read the profile [" + StatusHex(result.status).toStdString() + "]",
                "failed");
        default: break;
    }
    s.Record().Add(ProfileWriteNotices(write.action, result, profile));
    if (AddsResultRow(write.action, result)) item["state"] = ResultRowState(profile, result.Succeeded());
    if (!result.Succeeded()) return finish(kExitFailure, FailureCause(result, s, profile), "failed");

    if (!o.verify) return finish(kExitOk, {}, "success");
    VerifyResult verified{false, "the seed the token took is not the one keyloom holds"};
    // Only against the very seed the token took.
    if (SeedFingerprint(written.span()) == result.seedFingerprint) {
        const VerifyTarget target{0,
                                  profile,
                                  false,
                                  {written.data(), written.data() + written.size()},
                                  settings.algorithm,
                                  settings.digits,
                                  settings.step};
        const VerifyReport report = VerifyOnToken(s.Api(), reader, s.Key(), {target});
        if (report.tokenTime) token["tokenTime"] = Q(*report.tokenTime);
        verified = report.results.front();
    }
    item["verified"] = verified.verified;
    item["verification"] = Q(verified.detail);
    if (!verified.verified)
        return finish(kExitFailure, "profile " + std::to_string(profile) + " not verified: " + verified.detail,
                      "success");
    return finish(kExitOk, {}, "success");
}

}  // namespace keyloom
