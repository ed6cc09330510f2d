// keyloom enroll, one token at a time: a fresh seed from the system's random
// source (or the seed PSKC file's for the token), written through the same
// profile write as provision, verified through the same check as
// provision --verify, and handed to every export of the run. A token counts
// as enrolled only once its record is on disk in every export; a token that
// failed on the way (write, verification, an export) is in none of them.
//
// Everything a run is given is read and checked before the first token is
// touched (a usage error, exit status 2, with nothing written); the export
// files and the journal are made only then.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/Inputs.h"
#include "cli/Prepared.h"
#include "cli/PskcSeeds.h"
#include "formats/Journal.h"
#include "formats/Secrets.h"
#include "formats/TokenExport.h"
#include "provisioning/ProfileWrite.h"
#include "session/CardApi.h"

namespace keyloom {

// What became of one token.
struct EnrolledToken {
    std::string reader;
    std::string serial;
    int profile = 0;
    std::string user;
    std::string title;
    SeedSettings settings;
    // "enrolled"; "failed" or "refused" (the profile held a seed), both
    // failures; "skipped" (enrolled earlier in this run, not touched again).
    std::string result;
    std::string cause;  // empty when enrolled
    bool verified = false;
    std::string seedFingerprint;  // of the seed written; empty when none was
    // From the moment the token was seen to its records on disk, and the
    // part of it spent in the token command library.
    double elapsedMs = 0;
    double libraryMs = 0;

    bool Failed() const { return result == "failed" || result == "refused"; }
};

class Enrollment {
public:
    // Reads and checks every input and setting of the run. Throws UsageError.
    Enrollment(const Options& options, const Prepared& prepared, InputReader& inputs);
    ~Enrollment();
    Enrollment(const Enrollment&) = delete;
    Enrollment& operator=(const Enrollment&) = delete;

    // Creates the export files (their headers on disk) and opens the
    // journal. Throws UsageError, leaving no export file behind.
    void Open();

    // Enrolls the token in reader, seen (inserted or found) at seen, through
    // api with the access key. Never throws for what a token or a file does:
    // the result says it.
    EnrolledToken Enroll(const provisor::CardApi& api, const std::string& accessKey, const std::string& reader,
                         std::chrono::steady_clock::time_point seen);

    // Why the run cannot go on, empty while it can: the users list is used
    // up (a clean end), an export or the journal cannot be written (a
    // failure).
    const std::string& StopReason() const { return m_stop; }
    bool StopIsFailure() const { return m_stopIsFailure; }

    // Ends every export file. The causes of those that could not be ended.
    std::vector<std::string> Finish();

    std::vector<std::string> ExportPaths() const;
    std::string JournalPath() const;
    int EnrolledCount() const { return m_enrolled; }

private:
    struct ExportSpec;

    void CheckSettings() const;
    std::string CheckExportNames() const;
    void Journal(const EnrolledToken& token);
    provisor::SecretBytes SeedFor(EnrolledToken& token, std::string& cause) const;
    std::string TitleAndChecks(EnrolledToken& token, const provisor::ExportToken& record) const;
    provisor::ProfileWrite WriteFor(const EnrolledToken& token, const std::string& reader,
                                    const provisor::SecretBytes& seed) const;
    std::string ExportAll(const provisor::ExportToken& record);

    const Options& m_options;
    const Prepared& m_prepared;
    SeedSettings m_settings;
    int m_profile = 0;
    std::optional<std::vector<std::string>> m_users;
    std::vector<std::unique_ptr<ExportSpec>> m_specs;
    std::vector<std::unique_ptr<provisor::TokenExport>> m_exports;
    std::string m_journalPath;
    std::optional<provisor::Journal> m_journal;

    int m_enrolled = 0;
    size_t m_nextUser = 0;
    std::set<std::string> m_enrolledSerials;
    // Tokens this run wrote a seed into without enrolling them: a retry may
    // overwrite that seed, which nobody else has.
    std::set<std::string> m_writtenNotEnrolled;
    std::string m_stop;
    bool m_stopIsFailure = false;
};

// The default journal: $XDG_STATE_HOME/norvik2/enroll-journal.jsonl, else
// ~/.local/state/norvik2/enroll-journal.jsonl.
std::string DefaultJournalPath();

}  // namespace keyloom
