// What the bulk import costs on top of the library: a 100-line bulk file run
// through StartBulkImport (file check, authentication, worker thread, the
// call lock, progress texts and result rows through a view without widgets)
// against the same library calls made directly in a loop, both through the
// real libQuillon.so bound the way Provisor binds it. The goal is a ratio
// under 1.1.
//
// A call through pcscd to the virtual token takes milliseconds and varies
// by tens of percent with the machine's load, so two separately timed loops
// compare mostly noise. The flow's library calls are therefore also timed
// inside each run: wall time over the time spent in its calls is the ratio
// of the flow to the same calls made back to back, measured on the same
// calls. The loop against the loop is printed too, and so is the flow's own
// cost with entries that answer at once.
//
//   bulk_run_bench [reader [access-key [rounds]]]
//
// Defaults: "Virtual PCD 00 00" (NORVIK_BENCH_READER), the virtual token's
// factory key, 8 rounds. Without a card in the reader it prints why and
// exits 0. It writes profiles 0-99 and removes their seeds again at the end.
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BareCard.h"
#include "formats/BulkFile.h"
#include "import/BulkImportFlow.h"
#include "session/CardApi.h"
#include "session/CardLibrary.h"
#include "session/ToolContext.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace provisor;

constexpr int kLines = 100;
const char* kUtcText = "2024/01/01/00/00/00";

// The dialog without widgets: the fields the run reads, nothing shown.
class BenchView final : public IToolView {
public:
    explicit BenchView(QString bulkPath) : m_bulkPath(std::move(bulkPath)) {}

    void ShowMessage(const QString& text, const QString& caption, MessageIcon) override {
        std::fprintf(stderr, "bulk run bench: message \"%s\" (%s)\n", qPrintable(text), qPrintable(caption));
    }
    bool AskOkCancel(const QString&, const QString&, MessageIcon) override { return true; }
    QString Text(Control control) override {
        if (control == Control::BulkPath) return m_bulkPath;
        if (control == Control::UtcTime) return QString::fromLatin1(kUtcText);
        return {};
    }
    void SetText(Control control, const QString& text) override {
        if (control == Control::Progress) m_progress = text;
    }
    int Selection(Control) override { return -1; }
    void SetSelection(Control, int) override {}
    bool IsChecked(Control) override { return false; }
    void SetEnabled(Control, bool) override {}
    void InsertResultRow(const ResultRow& row) override { m_failedRows += row.failed ? 1 : 0; }
    void ShowCounters(int, int, int) override {}
    void SetClipboardText(const QString&) override {}
    std::optional<QString> ChooseOpenFile(const QString&) override { return std::nullopt; }
    void SetMinimized(bool) override {}
    std::optional<QString> AskAccessKey() override { return std::nullopt; }

    QString m_bulkPath;
    QString m_progress;
    int m_failedRows = 0;
};

// Profiles 0-99 with every option varied, 20-byte seeds.
std::string BulkFileText() {
    std::string text = "Profile Seed Algorithm Digits Step SetTime AutoEnter Title\n";
    for (int p = 0; p < kLines; ++p) {
        char line[128];
        std::snprintf(line, sizeof line, "%d GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ %s %d %d %s %s Bench %02d\n", p,
                      p % 2 ? "SHA256" : "SHA1", p % 3 ? 6 : 8, p % 4 ? 30 : 60, p % 2 ? "YES" : "NO",
                      p % 5 ? "NO" : "YES", p);
        text += line;
    }
    return text;
}

// The same calls the run makes, straight through the resolved entries.
bool DirectLoop(const CardApi& api, const std::vector<BulkEntry>& entries, const char* reader, const char* key) {
    if (api.Get<CardFn::CardVerify>()(reader, key) != 0) return false;
    const auto readSeedInfo = api.Get<CardFn::CardReadSeedInfo>();
    const auto config = api.Get<CardFn::CardConfig>();
    const auto burnSeed = api.Get<CardFn::CardBurnSeed>();
    for (const BulkEntry& e : entries) {
        int32_t clear = 0, kept = 0;
        if (readSeedInfo(reader, e.profile, &clear, nullptr, &kept) != 0) return false;
        if (config(reader, key, e.profile, e.algorithm, e.timeStep, e.otpLength, clear, e.setTime ? kUtcText : nullptr,
                   e.title, e.autoEnter, kept) != 0)
            return false;
        if (burnSeed(reader, key, e.profile, e.seed, e.seedLength) != 0) return false;
    }
    return true;
}

// Entries that answer at once: what is left is the flow's own cost.
void InstallInstantEntries(CardApi& api) {
    api.Set<CardFn::CardVerify>([](const char*, const char*) -> uint32_t { return 0; });
    api.Set<CardFn::CardReadSeedInfo>([](const char*, int32_t, int32_t* clear, int32_t*, int32_t* kept) -> uint32_t {
        *clear = 0;
        *kept = 0;
        return 0;
    });
    api.Set<CardFn::CardConfig>([](const char*, const char*, int32_t, const char*, int32_t, int32_t, int32_t,
                                   const char*, const char*, int32_t, int32_t) -> uint32_t { return 0; });
    api.Set<CardFn::CardBurnSeed>(
        [](const char*, const char*, int32_t, const uint8_t*, int32_t) -> uint32_t { return 0; });
}

// The library's entries with the time spent in them added up; the flow
// runs on these, the direct loop on the entries themselves.
struct TimedEntries {
    static inline PFN_CardVerify verify = nullptr;
    static inline PFN_CardReadSeedInfo readSeedInfo = nullptr;
    static inline PFN_CardConfig config = nullptr;
    static inline PFN_CardBurnSeed burnSeed = nullptr;
    static inline std::atomic<int64_t> nanos{0};

    template <typename F>
    static uint32_t Timed(F&& call) {
        const auto start = Clock::now();
        const uint32_t status = call();
        nanos += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
        return status;
    }
    static void Install(const CardApi& library, CardApi& timed) {
        verify = library.Get<CardFn::CardVerify>();
        readSeedInfo = library.Get<CardFn::CardReadSeedInfo>();
        config = library.Get<CardFn::CardConfig>();
        burnSeed = library.Get<CardFn::CardBurnSeed>();
        timed.Set<CardFn::CardVerify>([](const char* r, const char* k) { return Timed([&] { return verify(r, k); }); });
        timed.Set<CardFn::CardReadSeedInfo>([](const char* r, int32_t p, int32_t* c, int32_t* e, int32_t* f) {
            return Timed([&] { return readSeedInfo(r, p, c, e, f); });
        });
        timed.Set<CardFn::CardConfig>([](const char* r, const char* k, int32_t p, const char* a, int32_t s, int32_t l,
                                         int32_t c, const char* t, const char* n, int32_t e, int32_t f) {
            return Timed([&] { return config(r, k, p, a, s, l, c, t, n, e, f); });
        });
        timed.Set<CardFn::CardBurnSeed>([](const char* r, const char* k, int32_t p, const uint8_t* d, int32_t n) {
            return Timed([&] { return burnSeed(r, k, p, d, n); });
        });
    }
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

template <typename F>
double Millis(F&& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const char* envReader = std::getenv("NORVIK_BENCH_READER");
    const std::string reader = argc > 1 ? argv[1] : envReader ? envReader : "Virtual PCD 00 00";
    const std::string key = argc > 2 ? argv[2] : "6B3F09D2A4C8571E90B2D6F4138A5C7E";
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 8;
    if (rounds <= 0) {
        std::fprintf(stderr, "rounds must be positive\n");
        return 2;
    }
    if (!bench::CardPresent(reader)) {
        std::printf("bulk run bench: skipped, no card in reader \"%s\"\n", reader.c_str());
        return 0;
    }

    CardLibrary library;
    if (!library.Load(ExecutableDirectory())) {
        std::fprintf(stderr, "bulk run bench: %s not found\n", kCardLibraryName);
        return 1;
    }
    CardApi api;
    api.Resolve([&](const char* name) { return library.Symbol(name); });
    for (CardFn fn : {CardFn::CardVerify, CardFn::CardReadSeedInfo, CardFn::CardConfig, CardFn::CardBurnSeed,
                      CardFn::CardDeleteSeed})
        if (!api.Has(fn)) {
            std::fprintf(stderr, "bulk run bench: the library lacks an export the run needs\n");
            return 1;
        }

    char dirPattern[] = "/tmp/bulk-run-bench-XXXXXX";
    if (!mkdtemp(dirPattern)) return 1;
    const fs::path dir = dirPattern;
    const fs::path file = dir / "bulk.txt";
    std::ofstream(file, std::ios::binary) << BulkFileText();
    std::vector<BulkEntry> entries;
    if (!LoadBulkFile(file, entries) || entries.size() != kLines) {
        std::fprintf(stderr, "bulk run bench: the generated file was refused\n");
        fs::remove_all(dir);
        return 1;
    }

    BenchView view(QString::fromStdString(file.string()));
    ToolSession timed;
    timed.g_readerName.Set(reader);
    timed.g_customerKey.Set(key);
    TimedEntries::Install(api, timed.cardApi);
    ToolContext ctx{timed, view, nullptr};
    JobThread jobs;
    jobs.Start();
    BulkRun run{jobs};
    auto flowRound = [&] {
        const int before = timed.Counters().success;
        StartBulkImport(ctx, run);
        run.Wait();
        return timed.Counters().success - before == kLines && view.m_failedRows == 0;
    };
    auto directRound = [&] { return DirectLoop(api, entries, reader.c_str(), key.c_str()); };

    // The flow's own cost first, without the token: file check, thread,
    // call lock, progress texts and rows.
    ToolSession instant;
    instant.g_readerName.Set(reader);
    instant.g_customerKey.Set(key);
    InstallInstantEntries(instant.cardApi);
    ToolContext instantCtx{instant, view, nullptr};
    constexpr int kInstantRounds = 200;
    double instantFlow = 0, instantDirect = 0;
    for (int i = 0; i < kInstantRounds; ++i) {
        instantFlow += Millis([&] {
            StartBulkImport(instantCtx, run);
            run.Wait();
        });
        instantDirect += Millis([&] { DirectLoop(instant.cardApi, entries, reader.c_str(), key.c_str()); });
    }

    int status = 0;
    // One warm-up round each, which also proves the key is right.
    if (!flowRound() || !directRound()) {
        std::fprintf(stderr, "bulk run bench: the token refused the run (wrong access key?)\n");
        status = 1;
    }
    std::vector<double> flow, flowInCalls, ownRatio, direct;
    for (int i = 0; i < rounds && status == 0; ++i) {
        bool ok = true;
        // Alternating which goes first keeps a drift of the machine's load
        // from favouring one of them.
        if (i % 2) direct.push_back(Millis([&] { ok = directRound() && ok; }));
        TimedEntries::nanos = 0;
        flow.push_back(Millis([&] { ok = flowRound() && ok; }));
        flowInCalls.push_back(static_cast<double>(TimedEntries::nanos.load()) / 1e6);
        ownRatio.push_back(flow.back() / flowInCalls.back());
        if (i % 2 == 0) direct.push_back(Millis([&] { ok = directRound() && ok; }));
        if (!ok) {
            std::fprintf(stderr, "bulk run bench: a round failed\n");
            status = 1;
        }
    }

    const auto deleteSeed = api.Get<CardFn::CardDeleteSeed>();
    for (const BulkEntry& e : entries) deleteSeed(reader.c_str(), e.profile);
    fs::remove_all(dir);
    if (status != 0) return status;

    const double flowMs = Median(flow), directMs = Median(direct);
    const int calls = 1 + 3 * kLines;
    std::printf("bulk run, %d lines (%d library calls), %d rounds, reader \"%s\"\n", kLines, calls, rounds,
                reader.c_str());
    std::printf("  StartBulkImport + worker, median       %9.1f ms (%.3f ms per call)\n", flowMs, flowMs / calls);
    std::printf("    of which inside the library calls    %9.1f ms\n", Median(flowInCalls));
    std::printf("  direct calls in a loop, median         %9.1f ms (%.3f ms per call)\n", directMs, directMs / calls);
    std::printf("  ratio flow / its own library calls     %9.4f  (median of rounds; goal < 1.1)\n", Median(ownRatio));
    std::printf("  ratio flow / direct loop, medians      %9.3f  (two loops, load noise included)\n",
                flowMs / directMs);
    const double ownUs = 1000 * (instantFlow - instantDirect) / kInstantRounds;
    std::printf("  flow's own cost, entries answering at once: %.1f us per run (%.2f us per line)\n", ownUs,
                ownUs / kLines);
    std::printf("  last progress text                   %s\n", qPrintable(view.m_progress));
    return 0;
}
