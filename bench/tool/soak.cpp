// The operator's station after a day's work: the real dialog, offscreen,
// provisions the virtual token again and again through its buttons ("⚡
// provision profile", every tenth one an armed automatic write) with bulk
// runs in between, and the process is measured before, during and after:
// open descriptors, threads, resident memory, shared-memory mappings,
// descriptors and objects. Every result row and every log line is counted
// against what the run did.
//
//   provisor_soak [--provisions N] [--bulk-runs M] [--bulk-lines L] [--auto-every K] [--check]
//
// Defaults: 1000 provisionings, 100 bulk runs of 10 lines, an automatic
// write every 10th provisioning. With --check the exit status is 1 unless
// everything is flat and accounted for (CTest runs a short version so); the
// figures are printed either way. Needs a token in "Virtual PCD 00 00"
// (scripts/pcsc-env.sh); without one it says so and exits 0, or 1 with
// --check. Profiles 0-99 are left as a fresh token has them.
//
// When the process may (root), it runs in a mount namespace of its own with
// a private /dev/shm, so the shared-memory objects counted are its own.
#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dialog/CProvisorDlg.h"
#include "DialogDriver.h"
#include "FaultEnvironment.h"
#include "formats/IniFile.h"
#include "session/KeyStorage.h"
#include "session/PcscProbe.h"
#include "SimControl.h"
#include "ToolTestFiles.h"

namespace {

namespace fs = std::filesystem;
using namespace provisor;
using Clock = std::chrono::steady_clock;

constexpr char kFactoryKey[] = "6B3F09D2A4C8571E90B2D6F4138A5C7E";
const QString kSerial = QStringLiteral("NV2A00000001");
const QString kOverwrite = QStringLiteral("This operation will overwrite the seed stored \r\nunder profile #");

// Counts messages by kind; a soak must not keep every one of them.
class CountingSink final : public IMessageSink {
public:
    void ShowMessage(const QString& text, const QString&, MessageIcon) override { Count(text); }
    bool AskOkCancel(const QString& text, const QString&, MessageIcon) override {
        Count(text);
        return true;
    }
    int Questions() const {
        std::lock_guard lock(m_mutex);
        return m_questions;
    }
    // Everything but the overwrite questions and the connect confirmation.
    std::map<QString, int> Others() const {
        std::lock_guard lock(m_mutex);
        return m_others;
    }

private:
    void Count(const QString& text) {
        std::lock_guard lock(m_mutex);
        if (text.startsWith(kOverwrite))
            ++m_questions;
        else if (text != QStringLiteral("Successful operation!"))
            ++m_others[text];
    }
    mutable std::mutex m_mutex;
    int m_questions = 0;
    std::map<QString, int> m_others;
};

struct Options {
    int provisions = 1000;
    int bulkRuns = 100;
    int bulkLines = 10;
    int autoEvery = 10;
    bool check = false;
};

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](int& out, int min) {
            if (i + 1 >= argc) return false;
            out = std::atoi(argv[++i]);
            return out >= min;
        };
        if (a == "--check") {
            o.check = true;
        } else if (a == "--provisions") {
            if (!number(o.provisions, 1)) return false;
        } else if (a == "--bulk-runs") {
            if (!number(o.bulkRuns, 0)) return false;
        } else if (a == "--bulk-lines") {
            if (!number(o.bulkLines, 1) || o.bulkLines > 100) return false;
        } else if (a == "--auto-every") {
            if (!number(o.autoEvery, 0)) return false;
        } else {
            return false;
        }
    }
    return true;
}

QString Base32Seed(unsigned n) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    QString seed;
    uint32_t x = n * 2654435761u + 1;
    for (int i = 0; i < 32; ++i) {
        x = x * 1103515245u + 12345u;
        seed += QLatin1Char(alphabet[(x >> 16) & 31]);
    }
    return seed;
}

// The dialog's PC/SC questions, held off while the process is measured. The
// reader watch and the card thread open a context for each question (every
// 50 ms); a count of descriptors taken while one is open would see one that
// is gone a moment later, so the soak's verdict would depend on when it
// looked. Held, no question is open and none starts until released.
class HeldProbe final : public IPcscProbe {
public:
    void Bind(std::mutex& callLock) { m_real = std::make_unique<PcscLiteProbe>(callLock); }

    std::optional<std::vector<std::string>> ListReaders() override {
        Enter();
        auto listed = m_real->ListReaders();
        Leave();
        return listed;
    }
    std::unique_ptr<ICardPresence> ConnectShared(const std::string& reader) override {
        Enter();
        auto presence = m_real->ConnectShared(reader);
        if (!presence) {
            Leave();
            return nullptr;
        }
        return std::make_unique<Presence>(*this, std::move(presence));
    }

    // Waits, the UI thread turning (a card thread may be asking it
    // something), until no question is open; false after 10 s.
    bool Hold() {
        {
            std::lock_guard lock(m_mutex);
            m_held = true;
        }
        const auto until = Clock::now() + std::chrono::seconds(10);
        for (;;) {
            {
                std::lock_guard lock(m_mutex);
                if (m_open == 0) return true;
            }
            if (Clock::now() > until) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void Release() {
        {
            std::lock_guard lock(m_mutex);
            m_held = false;
        }
        m_resume.notify_all();
    }

private:
    struct Presence final : ICardPresence {
        Presence(HeldProbe& probe, std::unique_ptr<ICardPresence> real) : probe(probe), real(std::move(real)) {}
        ~Presence() override {
            real.reset();
            probe.Leave();
        }
        HeldProbe& probe;
        std::unique_ptr<ICardPresence> real;
    };
    void Enter() {
        std::unique_lock lock(m_mutex);
        m_resume.wait(lock, [this] { return !m_held; });
        ++m_open;
    }
    void Leave() {
        std::lock_guard lock(m_mutex);
        --m_open;
    }

    std::unique_ptr<PcscLiteProbe> m_real;
    std::mutex m_mutex;
    std::condition_variable m_resume;
    bool m_held = false;
    int m_open = 0;
};

class Soak {
public:
    Soak(const Options& options, fs::path root) : m_options(options), m_root(std::move(root)) {
        fs::create_directories(m_root / "bin");
        fs::create_directories(m_root / "work");
        fs::current_path(m_root / "work");
        m_env.exeDir = QUILLON_LIB_DIR;
        m_env.configDir = m_root / "bin";
        WriteIniValue(m_root / "bin" / "Norvik2Cfg.ini", "CONFIG", "CUSTOMER_KEY", EncipherKeyForStorage(kFactoryKey));
    }

    bool Open() {
        m_dlg = std::make_unique<CProvisorDlg>(m_env, DialogOptions{&m_sink, nullptr, &m_probe});
        m_probe.Bind(m_dlg->Session().cardApi.CallLock());
        m_dlg->InitDialog();
        m_dlg->show();
        m_ui = std::make_unique<tooltest::DialogDriver>(*m_dlg);
        m_ui->Control<QCheckBox>(1087)->setChecked(true);
        return m_ui->ConnectTo(0, kSerial);
    }
    // The process with the dialog open, measured while no PC/SC question
    // of its threads is open.
    tooltest::ProcessResources MeasureQuiet(bool& ok) {
        const bool held = m_probe.Hold();
        const tooltest::ProcessResources measured = tooltest::MeasureProcess();
        m_probe.Release();
        if (!held) {
            std::fprintf(stderr, "soak: a PC/SC question of the dialog's threads did not end within 10 s\n");
            ok = false;
        }
        return measured;
    }
    void Close() {
        m_ui.reset();
        m_dlg.reset();
    }

    // One "⚡ provision profile", or an armed automatic write.
    bool Provision(int n, bool automatic) {
        const int profile = n % 100;
        m_ui->Select(1071, profile);
        m_ui->SetText(1001, Base32Seed(static_cast<unsigned>(n)));
        m_ui->SetText(1052, QStringLiteral("Soak%1").arg(n % 10000));
        const int rows = m_ui->Rows();
        if (automatic) {
            m_ui->Click(1015);
            if (!QTest::qWaitFor([&] { return m_ui->Rows() == rows + 1; }, 15000)) return Fail("automatic write", n);
            ++m_logLines;
        } else {
            m_ui->Click(1080);
            if (m_ui->Rows() != rows + 1) return Fail("provisioning", n);
        }
        ++m_rows;
        return Expect(QStringLiteral("%1-Successful operation").arg(profile), n);
    }

    bool BulkRun(int run) {
        std::string file;
        for (int line = 0; line < m_options.bulkLines; ++line) {
            const int profile = (run * m_options.bulkLines + line) % 100;
            file += std::to_string(profile) + " " + Base32Seed(static_cast<unsigned>(run * 1000 + line)).toStdString() +
                    (line % 2 ? " SHA256 8 60 NO YES Bulk" : " SHA1 6 30 YES NO Bulk") + std::to_string(line) + "\n";
        }
        const int rows = m_ui->Rows();
        if (!m_ui->RunBulk(m_root / "work" / "bulk.txt", file)) return Fail("bulk run", run);
        if (m_ui->Rows() != rows + m_options.bulkLines) return Fail("bulk rows", run);
        for (int line = 0; line < m_options.bulkLines; ++line)
            if (!m_ui->RowState(line).endsWith(QStringLiteral("-Successful operation"))) return Fail("bulk row", run);
        m_rows += m_options.bulkLines;
        return true;
    }

    // Rows on the list and the counters against what was done since the
    // last clearing; then "clear log", so the list does not grow all day.
    bool AccountForRows() {
        const int shown = m_ui->Rows();
        const QString counters = m_ui->Counters();
        const QString expected = QStringLiteral("%1/%1/0").arg(m_rows - m_rowsCleared);
        if (shown != m_rows - m_rowsCleared || counters != expected) {
            std::fprintf(stderr, "soak: %d rows and counters %s shown, %d rows done\n", shown, qPrintable(counters),
                         m_rows - m_rowsCleared);
            return false;
        }
        m_rowsCounted += shown;
        m_rowsCleared = m_rows;
        m_ui->Click(1017);
        m_anonSamples.push_back(tooltest::MeasureProcess().anonKib);
        return m_ui->Rows() == 0;
    }

    // Profiles 0-99 as a fresh token has them.
    bool Restore() {
        std::string file;
        for (int p = 0; p < 100; ++p)
            file += std::to_string(p) + " GEZDGNBV SHA1 6 30 NO NO \n" + std::to_string(p) + "\n";
        if (!m_ui->RunBulk(m_root / "work" / "restore.txt", file, 120000)) return false;
        m_rows += 200;
        return AccountForRows();
    }

    const Options& m_options;
    fs::path m_root;
    StartupEnvironment m_env;
    CountingSink m_sink;
    HeldProbe m_probe;  // outlives the dialog's threads
    std::unique_ptr<CProvisorDlg> m_dlg;
    std::unique_ptr<tooltest::DialogDriver> m_ui;
    int m_rows = 0;                   // rows the run has added
    int m_rowsCleared = 0;            // of those, rows already counted and cleared
    int m_rowsCounted = 0;            // rows seen on the list
    int m_logLines = 0;               // automatic writes, one log line each
    std::vector<long> m_anonSamples;  // the process's own memory at every clearing of the list

private:
    bool Fail(const char* what, int n) {
        std::fprintf(stderr, "soak: %s %d failed; last row \"%s\"\n", what, n, qPrintable(m_ui->RowState()));
        return false;
    }
    bool Expect(const QString& state, int n) {
        if (m_ui->RowState() == state) return true;
        std::fprintf(stderr, "soak: %d: row \"%s\", expected \"%s\"\n", n, qPrintable(m_ui->RowState()),
                     qPrintable(state));
        return false;
    }
};

void PrintRow(const char* name, long tooltest::ProcessResources::*field, const tooltest::ProcessResources (&at)[4]) {
    std::printf("  %-24s %9ld %9ld %9ld %9ld\n", name, at[0].*field, at[1].*field, at[2].*field, at[3].*field);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        std::fprintf(
            stderr,
            "usage: provisor_soak [--provisions N] [--bulk-runs M] [--bulk-lines L] [--auto-every K] [--check]\n");
        return 2;
    }
    const bool privateShm = tooltest::IsolateSharedMemory();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The offscreen platform's complaint at every window shown says nothing
    // about the soak.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
        if (!text.contains(QStringLiteral("propagateSizeHints"))) std::fprintf(stderr, "%s\n", qPrintable(text));
    });

    if (!norvik::simtest::WaitForCard(norvik::simtest::ReaderName(0), true, 5000)) {
        std::printf("soak: skipped, no token in \"%s\" (start scripts/pcsc-env.sh)\n",
                    norvik::simtest::ReaderName(0).c_str());
        return options.check ? 1 : 0;
    }

    const fs::path root = tooltest::MakeTempDir("soak");
    const fs::path oldCwd = fs::current_path();
    int status = 0;
    {
        Soak soak(options, root);
        tooltest::ProcessResources at[4];
        const auto started = Clock::now();
        bool ok = true;

        // A first session brings in whatever Qt, pcsc-lite and the library
        // set up once per process (fonts, the trace ring), so what follows
        // measures the steady state.
        ok = soak.Open() && soak.Provision(0, false) && soak.Provision(1, true) && soak.AccountForRows();
        soak.Close();
        at[0] = tooltest::MeasureProcess();

        ok = ok && soak.Open() && soak.Provision(2, false) && soak.AccountForRows();
        at[1] = soak.MeasureQuiet(ok);
        const int provisions = options.provisions;
        const int bulkEvery = options.bulkRuns > 0 ? std::max(1, provisions / options.bulkRuns) : 0;
        int bulkRuns = 0;
        for (int n = 0; ok && n < provisions; ++n) {
            const bool automatic = options.autoEvery > 0 && n % options.autoEvery == options.autoEvery - 1;
            ok = soak.Provision(n + 3, automatic);
            if (ok && bulkEvery && (n + 1) % bulkEvery == 0 && bulkRuns < options.bulkRuns)
                ok = soak.BulkRun(bulkRuns++);
            if (ok && (n + 1) % 100 == 0) ok = soak.AccountForRows();
        }
        while (ok && bulkRuns < options.bulkRuns) ok = soak.BulkRun(bulkRuns++);
        ok = ok && soak.AccountForRows() && soak.Restore();
        at[2] = soak.MeasureQuiet(ok);
        soak.Close();
        at[3] = tooltest::MeasureProcess();
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

        // The log: one line per automatic write, each a success.
        const std::string log = tooltest::ReadFile(root / "work" / "Norvik2-Log.txt");
        int logLines = 0, logSuccesses = 0;
        for (size_t pos = 0; (pos = log.find("\r\n", pos)) != std::string::npos; pos += 2) ++logLines;
        for (size_t pos = 0; (pos = log.find(" NV2A00000001 Success\r\n", pos)) != std::string::npos; ++pos)
            ++logSuccesses;
        const int questions = soak.m_sink.Questions();
        const auto others = soak.m_sink.Others();

        std::printf("soak: %d provisionings (%d of them automatic writes) and %d bulk runs of %d lines in %.0f s\n",
                    provisions, options.autoEvery ? provisions / options.autoEvery : 0, bulkRuns, options.bulkLines,
                    seconds);
        std::printf("  %-24s %9s %9s %9s %9s\n", "", "baseline", "warm", "end", "closed");
        PrintRow("open descriptors", &tooltest::ProcessResources::fds, at);
        PrintRow("threads", &tooltest::ProcessResources::threads, at);
        PrintRow("resident memory (KiB)", &tooltest::ProcessResources::rssKib, at);
        PrintRow("  own (heap, stacks)", &tooltest::ProcessResources::anonKib, at);
        PrintRow("  trace ring pages", &tooltest::ProcessResources::shmemKib, at);
        PrintRow("/dev/shm mappings", &tooltest::ProcessResources::shmMappings, at);
        PrintRow("/dev/shm descriptors", &tooltest::ProcessResources::shmFds, at);
        PrintRow(privateShm ? "/dev/shm objects (own)" : "/dev/shm objects (all)",
                 &tooltest::ProcessResources::shmObjects, at);
        std::printf("  own memory (KiB) at each clearing of the list:");
        for (long kib : soak.m_anonSamples) std::printf(" %ld", kib);
        std::printf("\n");
        std::printf("  rows: %d added, %d counted on the list, all successful\n", soak.m_rows, soak.m_rowsCounted);
        std::printf("  log lines: %d automatic writes (warm-up included), %d lines, %d \" Success\"\n", soak.m_logLines,
                    logLines, logSuccesses);
        std::printf("  messages: %d overwrite questions, %zu other kinds\n", questions, others.size());
        for (const auto& [text, count] : others) std::printf("    %dx \"%s\"\n", count, qPrintable(text));

        // Flat: nothing the run holds at its end that it did not hold warm,
        // nothing the closed dialog leaves that the first one did not, and
        // the process's own memory within what the allocator keeps around.
        // (The trace ring's pages count as resident once written; they are
        // the ring's 167 MB, not the tool's, and go with the mapping.)
        const long memoryGrowth = at[2].anonKib - at[1].anonKib;
        const bool flat = at[2].fds == at[1].fds && at[2].threads == at[1].threads &&
                          at[2].shmMappings == at[1].shmMappings && at[2].shmFds == at[1].shmFds &&
                          (!privateShm || at[2].shmObjects == at[1].shmObjects) && at[3].fds == at[0].fds &&
                          at[3].threads == at[0].threads && at[3].shmMappings == at[0].shmMappings &&
                          at[3].shmFds == at[0].shmFds && (!privateShm || at[3].shmObjects == at[0].shmObjects) &&
                          !at[3].quillonMapped && memoryGrowth < 8 * 1024;
        const bool accounted = ok && soak.m_rowsCounted == soak.m_rows && logLines == soak.m_logLines &&
                               logSuccesses == soak.m_logLines && others.empty();
        std::printf("  own memory from warm to end: %+ld KiB (%.2f KiB per provisioning)\n", memoryGrowth,
                    static_cast<double>(memoryGrowth) / std::max(1, provisions));
        std::printf("verdict: %s, %s\n", flat ? "flat" : "NOT FLAT",
                    accounted ? "everything accounted for" : "NOT ACCOUNTED FOR");
        if (options.check && !(flat && accounted)) status = 1;
    }
    fs::current_path(oldCwd);
    fs::remove_all(root);
    return status;
}
