// The "Bulk import" group: "Import from file" picks the file, "☰ bulk
// import" checks the whole file, authenticates once and applies its lines to
// the token in the connected reader on a worker thread of its own, one
// result row per applied line.
#pragma once

#include <atomic>
#include <vector>

#include "formats/BulkFile.h"
#include "provisioning/ProfileWrite.h"
#include "session/JobThread.h"
#include "session/ToolContext.h"

namespace provisor {

inline constexpr const char* kBulkFileFilter = "Txt Files (*.txt)|*.txt|All Files (*.*)|*.*||";
inline constexpr const char* kBulkNoPathMessage = "Please open a bulk file,or input file path!";
inline constexpr const char* kBulkFileErrorMessage = "File format or data error!";
inline constexpr const char* kBulkFileErrorCaption = "Error";

// One bulk run at a time: the entries of the last accepted file and the run
// applying them on the session's job thread. The dialog owns one; its end
// waits for the run (Wait() or the destructor).
class BulkRun {
public:
    explicit BulkRun(JobThread& jobs) : m_jobs(jobs) {}
    ~BulkRun() { Wait(); }
    BulkRun(const BulkRun&) = delete;
    BulkRun& operator=(const BulkRun&) = delete;

    // From the start of a run until its worker has applied its last line;
    // the worker may still be handing the button back (Wait() waits for it).
    bool Running() const { return m_running.load(std::memory_order_acquire); }
    // Until the last run has ended. Not from the run itself.
    void Wait() { m_jobs.Wait(); }
    // The tool is closing: the worker applies no line after the one it is
    // on. Nobody would see their rows, and the operator who closed the tool
    // does not expect the token to go on changing.
    void RequestStop() { m_stop.store(true, std::memory_order_release); }
    // The entries of the last accepted file; stable while Running().
    const std::vector<BulkEntry>& Entries() const { return m_bulkEntries; }

private:
    friend void StartBulkRun(const ToolContext& ctx, BulkRun& run, std::vector<BulkEntry> entries);

    JobThread& m_jobs;
    std::vector<BulkEntry> m_bulkEntries;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
};

// "Import from file"
void ChooseBulkFile(const ToolContext& ctx);

// "☰ bulk import", on the UI thread: loads the file of the path field,
// authenticates and starts the worker on the run's job thread. Does nothing
// while a run is active.
void StartBulkImport(const ToolContext& ctx, BulkRun& run);

// The part of "☰ bulk import" after the file was loaded and checked: makes
// entries the run's, authenticates and starts the worker on exactly them.
// For a caller that read and checked the file itself (the command-line
// tool, whose file may be standard input).
void StartBulkRun(const ToolContext& ctx, BulkRun& run, std::vector<BulkEntry> entries);

// One accepted line as the write it makes; utcTime is the "UTC Time:"
// field's text, sent when the line sets the time.
ProfileWrite BulkEntryWrite(const BulkEntry& entry, const std::string& reader, const std::string& utcTime);

// What became of one entry: applied is false when the profile could not be
// read, which ends a run (the token most likely left the reader) without a
// row; otherwise success is the entry's row.
struct BulkEntryOutcome {
    bool applied = true;
    bool success = false;
    uint32_t status = CARD_OK;  // of the call that failed, or CardDeleteSeed's
    ProfileWriteResult write;   // for a write
};

// A delete line's CardDeleteSeed (a profile that holds no seed counts as
// deleted), or the entry's write, with the access key the run
// authenticated with.
BulkEntryOutcome ApplyBulkEntry(const CardApi& api, const std::string& accessKey, const std::string& reader,
                                const BulkEntry& entry, const std::string& utcTime);

// The worker's whole run over entries: busy flag, progress label, library
// calls and result rows. StartBulkImport runs it on the job thread; exposed
// for callers that already are on a worker thread. A set `stop` ends the run
// before the next line; `running` is cleared once the lines are done and the
// busy flag is free, before the button is usable again.
void BulkWorker(ToolContext ctx, const std::vector<BulkEntry>& entries, const std::atomic<bool>* stop = nullptr,
                std::atomic<bool>* running = nullptr);

}  // namespace provisor
