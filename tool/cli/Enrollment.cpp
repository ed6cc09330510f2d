#include "cli/Enrollment.h"

#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "cli/Keyloom.h"
#include "cli/Verify.h"
#include "formats/OwnerFile.h"
#include "formats/Pskc.h"
#include "formats/ServerCsv.h"
#include "formats/Users.h"
#include "provisioning/Provisioning.h"
#include "session/ClockTicker.h"
#include "session/StatusTexts.h"

namespace keyloom {

using namespace provisor;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

struct Enrollment::ExportSpec {
    enum class Kind { Pskc, Entra, PrivacyIdea } kind;
    std::string path;
    std::optional<PskcProtection> protection;  // Pskc only
};

namespace {

OtpHash HashOf(OtpAlgorithm algorithm) { return algorithm == OtpAlgorithm::Sha256 ? OtpHash::Sha256 : OtpHash::Sha1; }

size_t SeedBytesFor(OtpAlgorithm algorithm) { return algorithm == OtpAlgorithm::Sha256 ? 32 : 20; }

double Ms(SteadyClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A secret input (a key, a passphrase) from its file or standard input.
SecretBytes ReadSecret(InputReader& inputs, const std::string& path, const std::string& what) {
    std::string text = inputs.Read(path, what);
    const WipeOnExit wipe(text);
    return SecretBytes(std::string_view(text));
}

// Where a name leads, for telling two names of one file apart.
std::string Absolute(const std::string& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return (ec ? fs::path(path) : absolute).lexically_normal().string();
}

// The cause of a failed write in the words the dialog would show.
std::string WriteFailureCause(const ProfileWriteResult& result, int profile, const std::string& serial) {
    switch (result.failedStep) {
        case ProfileWriteStep::Refused:
            return "profile " + std::to_string(profile) + " already holds a seed; --force overwrites it";
        case ProfileWriteStep::CheckHeldSeed:
            return std::to_string(profile) + "-cannot read the profile [" + StatusHex(result.status).toStdString() +
                   "]";
        default: break;
    }
    std::string cause;
    for (const Notice& n : ProfileWriteNotices(ProfileAction::Provision, result, profile))
        if (n.icon == MessageIcon::Error || (cause.empty() && n.icon == MessageIcon::Warning)) cause = OneLine(n.text);
    if (cause.empty()) cause = OneLine(ResultRowState(profile, false));
    if (!result.serialNumber.empty() && result.serialNumber != serial)
        cause += " (the reader now holds serial " + result.serialNumber + ")";
    return cause;
}

// What --verify checks for the profile just written.
VerifyTarget TargetFor(const EnrolledToken& t, const SecretBytes& seed) {
    return {0,
            t.profile,
            false,
            {seed.data(), seed.data() + seed.size()},
            t.settings.algorithm,
            t.settings.digits,
            t.settings.step};
}

}  // namespace

std::string DefaultJournalPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    fs::path base;
    if (state && *state == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home)
            throw UsageError("no journal: neither XDG_STATE_HOME nor HOME is set; give --journal FILE");
        base = fs::path(home) / ".local" / "state";
    }
    return (base / "norvik2" / "enroll-journal.jsonl").string();
}

Enrollment::Enrollment(const Options& o, const Prepared& p, InputReader& inputs) : m_options(o), m_prepared(p) {
    if (o.algorithm) m_settings.algorithm = *ParseOtpAlgorithm(*o.algorithm);
    if (o.digits) m_settings.digits = *o.digits;
    if (o.step) m_settings.step = *o.step;
    m_profile = o.profile.value_or(0);

    try {
        if (o.usersFile) {
            const SecretBytes text = ReadSecret(inputs, *o.usersFile, "--users");
            m_users = ParseUsersText(text.view());
            if (m_users->empty()) throw UsageError("--users: " + *o.usersFile + " names nobody");
        }
        if (o.titleTemplate) {
            CheckTitleTemplate(*o.titleTemplate);
            // A template that names the user needs users to name.
            if (!m_users) {
                try {
                    ExpandTitle(*o.titleTemplate, {"", "S", 1});
                } catch (const FormatError&) {
                    ExpandTitle(*o.titleTemplate, {"u", "S", 1});  // throws if the fault is another
                    throw UsageError("--title-template names {user}: give the users with --users FILE");
                }
            }
        }

        const auto add = [&](ExportSpec::Kind kind, const std::string& path) {
            auto spec = std::make_unique<ExportSpec>();
            spec->kind = kind;
            spec->path = path;
            m_specs.push_back(std::move(spec));
            return m_specs.back().get();
        };
        if (o.pskcExport) {
            ExportSpec* spec = add(ExportSpec::Kind::Pskc, *o.pskcExport);
            if (o.pskcKeyFile) {
                const SecretBytes text = ReadSecret(inputs, *o.pskcKeyFile, "--pskc-key-file");
                spec->protection = PskcProtection::PreSharedKey(ParseHexKey(text.view(), "--pskc-key-file"));
            } else if (o.pskcPassphraseFile) {
                const SecretBytes text = ReadSecret(inputs, *o.pskcPassphraseFile, "--pskc-passphrase-file");
                const PbkdfPrf prf = o.pskcPrf == "SHA256" ? PbkdfPrf::HmacSha256 : PbkdfPrf::HmacSha1;
                spec->protection =
                    PskcProtection::Passphrase(PassphraseFromText(text.view(), "--pskc-passphrase-file"), prf);
            } else {
                spec->protection = PskcProtection::Clear();
            }
        }
        if (o.entraCsv) add(ExportSpec::Kind::Entra, *o.entraCsv);
        if (o.privacyIdeaCsv) add(ExportSpec::Kind::PrivacyIdea, *o.privacyIdeaCsv);
        m_journalPath = o.journal ? *o.journal : DefaultJournalPath();
        CheckSettings();
    } catch (const FormatError& e) {
        throw UsageError(e.what());
    } catch (const FileError& e) {
        throw UsageError(e.what());
    }
    if (const std::string cause = CheckExportNames(); !cause.empty()) throw UsageError(cause);
}

Enrollment::~Enrollment() = default;

void Enrollment::CheckSettings() const {
    // Fresh seeds have the settings' length; a seed PSKC file's seeds are
    // checked token by token against each export.
    for (const auto& spec : m_specs) {
        if (spec->kind == ExportSpec::Kind::Entra) {
            CheckEntraSettings(HashOf(m_settings.algorithm), m_settings.digits, m_settings.step);
            if (!m_users)
                throw UsageError(
                    "--entra-csv: Entra ID assigns every token to a user: give the users with --users FILE");
        }
        if (spec->kind == ExportSpec::Kind::PrivacyIdea && !m_prepared.seedPskc)
            CheckPrivacyIdeaSettings(HashOf(m_settings.algorithm), SeedBytesFor(m_settings.algorithm),
                                     m_settings.digits, m_settings.step);
    }
}

std::string Enrollment::CheckExportNames() const {
    std::vector<std::pair<std::string, std::string>> names;  // absolute, as given
    for (const auto& spec : m_specs) names.emplace_back(Absolute(spec->path), spec->path);
    names.emplace_back(Absolute(m_journalPath), m_journalPath);
    for (size_t i = 0; i < names.size(); ++i)
        for (size_t j = i + 1; j < names.size(); ++j)
            if (names[i].first == names[j].first)
                return names[i].second + " is named twice: every export and the journal need a file of their own";
    for (const auto& spec : m_specs) {
        struct stat st {};
        if (lstat(spec->path.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) return spec->path + ": is a folder";
            if (!m_options.overwrite)
                return spec->path + ": exists already; it is not overwritten unless asked (--overwrite)";
        }
    }
    return {};
}

void Enrollment::Open() {
    try {
        if (!m_options.journal) {
            // The default's folder, private like the journal itself.
            const fs::path folder = fs::path(m_journalPath).parent_path();
            std::error_code ec;
            if (!fs::exists(folder, ec)) {
                fs::create_directories(folder, ec);
                if (ec) throw FileError(folder.string() + ": cannot create the journal's folder: " + ec.message());
                chmod(folder.c_str(), 0700);
            }
        }
        m_journal.emplace(Journal::Open(m_journalPath));
    } catch (const FileError& e) {
        throw UsageError(std::string("journal: ") + e.what());
    }
    const OwnerFile::Existing existing =
        m_options.overwrite ? OwnerFile::Existing::Replace : OwnerFile::Existing::Refuse;
    try {
        for (const auto& spec : m_specs) {
            switch (spec->kind) {
                case ExportSpec::Kind::Pskc:
                    m_exports.push_back(std::make_unique<PskcWriter>(spec->path, *spec->protection, existing));
                    break;
                case ExportSpec::Kind::Entra:
                    m_exports.push_back(std::make_unique<EntraCsvWriter>(spec->path, "Norvik", "Norvik-2", existing));
                    break;
                case ExportSpec::Kind::PrivacyIdea:
                    m_exports.push_back(std::make_unique<PrivacyIdeaCsvWriter>(spec->path, existing));
                    break;
            }
        }
    } catch (const std::exception& e) {
        // The files made so far held nothing but their headers.
        for (const auto& made : m_exports) unlink(made->Path().c_str());
        m_exports.clear();
        throw UsageError(e.what());
    }
    if (m_options.pskcClear)
        std::cerr << "keyloom: warning: " << *m_options.pskcExport
                  << " holds the seeds in clear (--pskc-clear); keep it off shared disks and delete it once "
                     "imported\n";
}

void Enrollment::Journal(const EnrolledToken& t) {
    if (!m_journal) return;
    JournalEntry entry;
    entry.time = std::chrono::system_clock::now();
    entry.reader = t.reader;
    entry.serial = t.serial;
    entry.profile = t.profile;
    entry.user = t.user;
    entry.hash = HashOf(t.settings.algorithm);
    entry.digits = t.settings.digits;
    entry.step = t.settings.step;
    entry.result = t.result;
    entry.cause = t.cause;
    entry.seedFingerprint = t.seedFingerprint;
    try {
        m_journal->Append(entry);
    } catch (const FileError& e) {
        m_stop = std::string("the journal cannot be written: ") + e.what();
        m_stopIsFailure = true;
        m_journal.reset();
    }
}

// The token's seed: made by the system's random source, or the one the seed
// file holds for its serial number (with that key's settings).
SecretBytes Enrollment::SeedFor(EnrolledToken& t, std::string& cause) const {
    if (m_prepared.seedPskc) {
        auto found = FindPskcSeed(*m_prepared.seedPskc, t.serial, m_options, m_settings, cause);
        if (!found) return {};
        t.settings = found->settings;
        return std::move(found->seed);
    }
    SecretBytes seed(SeedBytesFor(t.settings.algorithm));
    if (RAND_bytes(seed.data(), static_cast<int>(seed.size())) != 1) cause = "the system's random source gave no seed";
    return seed;
}

// The title, then every export's check of the record: all that could
// refuse the token before it is written. The cause, or empty.
std::string Enrollment::TitleAndChecks(EnrolledToken& t, const ExportToken& record) const {
    try {
        if (m_options.titleTemplate)
            t.title = ExpandTitle(*m_options.titleTemplate, {t.user, t.serial, static_cast<unsigned>(m_enrolled + 1)});
        else if (m_options.title)
            t.title = *m_options.title;
    } catch (const FormatError& e) {
        return std::string("title: ") + e.what();
    }
    for (const auto& out : m_exports) {
        try {
            out->Check(record);
        } catch (const FormatError& e) {
            return out->Path().string() + ": " + e.what();
        }
    }
    return {};
}

ProfileWrite Enrollment::WriteFor(const EnrolledToken& t, const std::string& reader, const SecretBytes& seed) const {
    ProfileWrite write;
    write.action = ProfileAction::Provision;
    write.reader = reader;
    write.profile = m_profile;
    write.serialNumber = t.serial;
    write.seed = seed;
    write.algorithm = OtpAlgorithmName(t.settings.algorithm);
    write.digits = t.settings.digits;
    write.step = t.settings.step;
    write.title = t.title;
    if (m_options.setTime) {
        write.clock = ClockChoice::Required;
        write.clockText = FormatUtcTimeField(std::chrono::system_clock::now());
    }
    write.clearSeed = false;
    write.autoEnter = m_options.enter;
    // Nobody is asked: a seed in the profile is refused before anything is
    // written, unless asked, or unless this run put it there itself.
    write.overwrite = m_options.force || m_writtenNotEnrolled.count(t.serial) ? Overwrite::Always : Overwrite::Refuse;
    return write;
}

// Into every export, or into none: a record some exports took is withdrawn
// from them when a later one fails. The cause, or empty.
std::string Enrollment::ExportAll(const ExportToken& record) {
    for (size_t i = 0; i < m_exports.size(); ++i) {
        try {
            m_exports[i]->Add(record);
        } catch (const std::exception& e) {
            std::string cause = m_exports[i]->Path().string() + ": " + e.what();
            for (size_t j = 0; j < i; ++j) {
                try {
                    m_exports[j]->WithdrawLast();
                } catch (const FileError& withdraw) {
                    cause += "; and its record stays in " + m_exports[j]->Path().string() + ": " + withdraw.what() +
                             " (remove it by hand)";
                }
            }
            return cause;
        }
    }
    return {};
}

EnrolledToken Enrollment::Enroll(const CardApi& api, const std::string& key, const std::string& reader,
                                 SteadyClock::time_point seen) {
    EnrolledToken t;
    t.reader = reader;
    t.profile = m_profile;
    t.settings = m_settings;
    SteadyClock::duration library{};
    const auto timed = [&library](auto&& call) {
        const auto start = SteadyClock::now();
        auto result = call();
        library += SteadyClock::now() - start;
        return result;
    };
    const auto done = [&](std::string result, std::string cause) {
        t.result = std::move(result);
        t.cause = std::move(cause);
        t.elapsedMs = Ms(SteadyClock::now() - seen);
        t.libraryMs = Ms(library);
        if (t.result != "skipped") Journal(t);
        return t;
    };

    const SerialAndClock token = timed([&] { return api.ReadSnAndTime(reader.c_str(), m_profile); });
    if (!token.Ok() || token.serial.empty())
        return done("failed", "no token can be read in the reader [" + StatusHex(token.status).toStdString() + "]");
    t.serial = token.serial;
    if (m_enrolledSerials.count(t.serial) && !m_options.again)
        return done("skipped", "enrolled earlier in this run (--again enrolls it once more)");
    if (m_users) t.user = (*m_users)[m_nextUser];

    // The seed, and everything that could refuse the token, before the
    // token is written: a refusal afterwards would leave it with a seed
    // nobody has.
    std::string cause;
    const SecretBytes seed = SeedFor(t, cause);
    if (!cause.empty()) return done("failed", cause);
    t.seedFingerprint = SeedFingerprint(seed.span());
    const ExportToken record{t.serial,          t.user,         seed.span(), HashOf(t.settings.algorithm),
                             t.settings.digits, t.settings.step};
    if (std::string refused = TitleAndChecks(t, record); !refused.empty()) {
        t.seedFingerprint.clear();
        return done("failed", refused);
    }

    const ProfileWrite write = WriteFor(t, reader, seed);
    const ProfileWriteResult written = timed([&] { return PerformProfileWrite(api, key, write); });
    if (!written.Succeeded()) {
        // Only a failed burn may have left the seed in the token.
        if (written.failedStep == ProfileWriteStep::Burn)
            m_writtenNotEnrolled.insert(t.serial);
        else
            t.seedFingerprint.clear();
        return done(written.failedStep == ProfileWriteStep::Refused ? "refused" : "failed",
                    WriteFailureCause(written, m_profile, t.serial));
    }
    m_writtenNotEnrolled.insert(t.serial);
    if (written.seedFingerprint != t.seedFingerprint)
        return done("failed", "the seed the token took is not the one made for it");

    const VerifyReport verified = timed([&] { return VerifyOnToken(api, reader, key, {TargetFor(t, seed)}); });
    t.verified = verified.results.front().verified;
    if (!t.verified) return done("failed", "not verified: " + verified.results.front().detail);

    if (std::string cause = ExportAll(record); !cause.empty()) {
        m_stop = "an export cannot be written: " + cause;
        m_stopIsFailure = true;
        return done("failed", "verified, but not exported: " + cause +
                                  ". The token holds a seed that no export has: enroll it again with --force "
                                  "once the export is mended, or remove the seed (keyloom delete -p " +
                                  std::to_string(m_profile) + ")");
    }
    m_writtenNotEnrolled.erase(t.serial);
    m_enrolledSerials.insert(t.serial);
    ++m_enrolled;
    if (m_users && ++m_nextUser == m_users->size() && m_stop.empty()) m_stop = "the users list is used up";
    return done("enrolled", {});
}

std::vector<std::string> Enrollment::Finish() {
    std::vector<std::string> causes;
    for (const auto& out : m_exports) {
        try {
            out->Finish();
        } catch (const std::exception& e) {
            causes.push_back(e.what());
        }
    }
    m_exports.clear();
    return causes;
}

std::vector<std::string> Enrollment::ExportPaths() const {
    std::vector<std::string> out;
    for (const auto& spec : m_specs) out.push_back(spec->path);
    return out;
}

std::string Enrollment::JournalPath() const { return m_journalPath; }

}  // namespace keyloom
