#include "import/BulkImportFlow.h"

#include <QFile>

#include <algorithm>
#include <string>

#include "provisioning/Provisioning.h"

namespace provisor {

namespace {

QString Progress(size_t done, size_t total) {
    return QStringLiteral("Progress: %1/%2").arg(static_cast<qulonglong>(done)).arg(static_cast<qulonglong>(total));
}

// The run labels its rows by moving m_profile from entry to entry, and puts
// the operator's profile back at the end. The operator may pick another
// profile in the form meanwhile; that choice is what the form shows, so it
// is what must be left behind, not the value from before the run.
class ProfileLabel {
public:
    explicit ProfileLabel(std::atomic<int>& profile) : m_profile(profile), m_written(profile.load()) {
        m_operators = m_written;
    }
    ~ProfileLabel() {
        int expected = m_written;
        m_profile.compare_exchange_strong(expected, m_operators);
    }
    ProfileLabel(const ProfileLabel&) = delete;
    ProfileLabel& operator=(const ProfileLabel&) = delete;

    void Set(int profile) {
        int expected = m_written;
        if (!m_profile.compare_exchange_strong(expected, profile)) {
            m_operators = expected;
            m_profile = profile;
        }
        m_written = profile;
    }

private:
    std::atomic<int>& m_profile;
    int m_written;
    int m_operators;
};

}  // namespace

void ChooseBulkFile(const ToolContext& ctx) {
    IToolView& view = ctx.view;
    const std::optional<QString> chosen = view.ChooseOpenFile(QString::fromLatin1(kBulkFileFilter));
    if (!chosen) return;
    view.SetText(Control::BulkPath, *chosen);
    ctx.session.PostFieldUpdate();
    ctx.session.g_seedSource = SeedSource::Bulk;
    view.SetText(Control::Progress, QString());
}

void StartBulkImport(const ToolContext& ctx, BulkRun& run) {
    // The button is disabled during a run; a click that slips through must
    // neither replace the entries the worker is reading nor start a second
    // worker.
    if (run.Running()) return;
    if (ctx.session.g_readerName.Empty()) return;
    IToolView& view = ctx.view;
    const QString path = view.Text(Control::BulkPath);
    if (path.isEmpty()) {
        view.ShowMessage(QString::fromLatin1(kBulkNoPathMessage), kCaption, MessageIcon::Warning);
        return;
    }
    std::vector<BulkEntry> entries;
    if (!LoadBulkFile(QFile::encodeName(path).toStdString(), entries)) {
        view.ShowMessage(QString::fromLatin1(kBulkFileErrorMessage), QString::fromLatin1(kBulkFileErrorCaption),
                         MessageIcon::Error);
        view.SetText(Control::BulkPath, QString());
        return;
    }
    StartBulkRun(ctx, run, std::move(entries));
}

void StartBulkRun(const ToolContext& ctx, BulkRun& run, std::vector<BulkEntry> entries) {
    if (run.Running()) return;
    if (ctx.session.g_readerName.Empty()) return;
    run.m_bulkEntries = std::move(entries);
    if (AuthenticateToken(ctx) != 0) return;

    // The previous worker is done with its lines (Running() is false) but
    // may still be handing the button back to the UI thread; wait for it
    // with the event loop turning before the job thread takes the next.
    ctx.session.RunBlocking([&run] { run.Wait(); });
    run.m_running.store(true, std::memory_order_release);
    const bool started = run.m_jobs.Run([ctx, &run] {
        BulkWorker(ctx, run.m_bulkEntries, &run.m_stop, &run.m_running);
        // Also for a worker that found the busy flag taken and ran no line.
        run.m_running.store(false, std::memory_order_release);
    });
    // No job thread (the tool is closing): the press does nothing, and no
    // run is left that never ends.
    if (!started) run.m_running.store(false, std::memory_order_release);
}

ProfileWrite BulkEntryWrite(const BulkEntry& entry, const std::string& reader, const std::string& utcTime) {
    ProfileWrite write;
    write.action = ProfileAction::BulkEntry;
    write.reader = reader;
    write.profile = entry.profile;
    write.seed = SecretBytes(entry.seed, static_cast<size_t>(std::max<int32_t>(entry.seedLength, 0)));
    write.algorithm = entry.algorithm;
    write.digits = entry.otpLength;
    write.step = entry.timeStep;
    write.title = entry.title;
    // YES sends the "UTC Time:" field as it is, empty or not; NO no time.
    write.clock = entry.setTime ? ClockChoice::Text : ClockChoice::Omit;
    if (entry.setTime) write.clockText = utcTime;
    write.autoEnter = entry.autoEnter != 0;
    write.overwrite = Overwrite::Always;
    return write;
}

BulkEntryOutcome ApplyBulkEntry(const CardApi& api, const std::string& accessKey, const std::string& reader,
                                const BulkEntry& entry, const std::string& utcTime) {
    BulkEntryOutcome outcome;
    if (entry.deleteOnly) {
        outcome.status = StatusOf(api.Call<CardFn::CardDeleteSeed>(reader.c_str(), entry.profile));
        // A profile that holds no seed is what a delete line wants.
        outcome.success = outcome.status == CARD_OK || outcome.status == CARD_E_NO_SEED;
        return outcome;
    }
    outcome.write = PerformProfileWrite(api, accessKey, BulkEntryWrite(entry, reader, utcTime));
    outcome.status = outcome.write.status;
    outcome.success = outcome.write.Succeeded();
    // Most likely the token left the reader: the rest would fail too.
    outcome.applied = outcome.write.failedStep != ProfileWriteStep::ReadInfo;
    return outcome;
}

void BulkWorker(ToolContext ctx, const std::vector<BulkEntry>& entries, const std::atomic<bool>* stop,
                std::atomic<bool>* running) {
    IToolView& view = ctx.view;
    {
        BusyFlag busy(ctx.session);
        if (!busy.Taken()) return;
        view.SetEnabled(Control::BulkImport, false);
        ProfileLabel label(ctx.session.m_profile);
        // Every line goes to the token that was authenticated.
        const std::string reader = ctx.session.g_readerName.Get();
        const auto key = ctx.session.g_customerKey.Snapshot();
        const size_t total = entries.size();
        size_t done = 0;
        for (const BulkEntry& entry : entries) {
            if (stop && stop->load(std::memory_order_acquire)) break;
            label.Set(entry.profile);
            const std::string utcTime = view.Text(Control::UtcTime).toStdString();
            view.SetText(Control::Progress, Progress(done, total));
            ++done;
            const BulkEntryOutcome outcome = ApplyBulkEntry(ctx.api(), *key, reader, entry, utcTime);
            if (!outcome.applied) break;
            // Again just before the row: it is labelled by m_profile.
            label.Set(entry.profile);
            AddResultRow(ctx, outcome.success);
        }
        view.SetText(Control::Progress, Progress(done, total));
    }
    // The run is over (busy flag free, entries no longer read) before the
    // button says so: a press the moment it is usable starts the next run
    // instead of being dropped by this one.
    if (running) running->store(false, std::memory_order_release);
    view.SetEnabled(Control::BulkImport, true);
}

}  // namespace provisor
