// The dialog at work, offscreen, against pcscd and the virtual tokens.
//
//   dialog_bench idle [seconds]       (default 60)
//     Connected to a token, first left alone, then with the token pulled and
//     put back every 2 s: how long the UI thread's event loop is kept from
//     running (a 10 ms timer that records its own lateness; goal under
//     20 ms) and the CPU the tool uses (goal under 2% of one core while
//     idle).
//
//   dialog_bench provision [rounds]   (default 30)
//     "⚡ provision profile" pressed, to the row added (no question), against
//     the same five library calls made directly; goal: the tool adds under
//     10%. Each press's library calls are also timed inside the press, which
//     compares the two on the very same calls (two loops timed one after the
//     other mostly compare the machine's load).
//
// Needs "Virtual PCD 00 00" with a token (scripts/pcsc-env.sh start, which
// scripts/bench.sh does); prints "skipped" and exits 0 without one.
#include <sys/resource.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BareCard.h"
#include "dialog/CProvisorDlg.h"
#include "formats/IniFile.h"
#include "session/KeyStorage.h"
#include "SimControl.h"

namespace {

namespace fs = std::filesystem;
using namespace provisor;
using Clock = std::chrono::steady_clock;

const char* kReader = "Virtual PCD 00 00";
const char* kKey = "6B3F09D2A4C8571E90B2D6F4138A5C7E";
constexpr int kProfile = 96;

class QuietSink final : public IMessageSink {
public:
    void ShowMessage(const QString& text, const QString&, MessageIcon icon) override {
        if (icon == MessageIcon::Error) std::fprintf(stderr, "dialog bench: \"%s\"\n", qPrintable(text));
    }
    bool AskOkCancel(const QString&, const QString&, MessageIcon) override { return true; }
};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Runs the event loop for the given time, waiting for events as the
// application would.
void Spin(double seconds) {
    if (std::getenv("DIALOG_BENCH_BUSY")) {
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) QApplication::processEvents(QEventLoop::AllEvents, 20);
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

template <typename Pred>
bool WaitFor(Pred pred, double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!pred()) {
        if (Clock::now() > end) return false;
        Spin(0.01);
    }
    return true;
}

struct Dialog {
    Dialog() {
        dir = fs::temp_directory_path() / ("dialog-bench-" + std::to_string(getpid()));
        fs::create_directories(dir);
        WriteIniValue(dir / "Norvik2Cfg.ini", "CONFIG", "CUSTOMER_KEY", EncipherKeyForStorage(kKey));
        StartupEnvironment env;
        env.configDir = dir;
        env.logPath = dir / "Norvik2-Log.txt";
        dlg = std::make_unique<CProvisorDlg>(env, DialogOptions{&sink, nullptr, nullptr});
        dlg->InitDialog();
        dlg->show();
    }
    ~Dialog() {
        dlg.reset();
        fs::remove_all(dir);
    }
    template <typename W>
    W* Control(int id) {
        return qobject_cast<W*>(dlg->ControlWidget(id));
    }
    bool Connect() {
        auto* readers = Control<QComboBox>(1018);
        if (!WaitFor([&] { return readers->findText(kReader) >= 0; }, 10)) return false;
        readers->setCurrentIndex(readers->findText(kReader));
        Control<QPushButton>(1019)->click();
        return WaitFor([&] { return !Control<QLabel>(1006)->text().isEmpty(); }, 10);
    }

    fs::path dir;
    QuietSink sink;
    std::unique_ptr<CProvisorDlg> dlg;
};

// A 10 ms timer's lateness: how long the event loop was kept from it.
struct LatenessProbe {
    LatenessProbe() {
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            if (last != Clock::time_point{}) lateMs.push_back(std::max(0.0, Seconds(now - last) * 1000.0 - 10.0));
            last = now;
        });
        timer.start(10);
    }
    void Print(const char* phase) {
        std::vector<double> v = lateMs;
        std::sort(v.begin(), v.end());
        if (v.empty()) return;
        std::printf("  %-28s UI event loop late: median %.2f ms, p99 %.2f ms, max %.2f ms (goal: max under 20 ms)\n",
                    phase, v[v.size() / 2], v[v.size() * 99 / 100], v.back());
        lateMs.clear();
    }
    QTimer timer;
    Clock::time_point last{};
    std::vector<double> lateMs;
};

int Idle(double seconds) {
    Dialog d;
    if (!d.Connect()) {
        std::printf("dialog bench: no token shown for %s; skipped\n", kReader);
        return 0;
    }
    std::printf("idle tool, connected to %s (token %s), %.0f s per phase:\n", kReader,
                qPrintable(d.Control<QLabel>(1006)->text()), seconds / 2);
    LatenessProbe probe;
    double cpu = CpuSeconds();
    auto wall = Clock::now();
    Spin(seconds / 2);
    double used = CpuSeconds() - cpu;
    std::printf("  %-28s CPU %.2f%% of one core (goal: under 2%%)\n",
                "left alone:", 100.0 * used / Seconds(Clock::now() - wall));
    probe.Print("left alone:");

    // The token pulled and put back every 2 s, from another thread.
    std::atomic<bool> stop{false};
    int cycles = 0;
    std::thread swapper([&] {
        while (!stop) {
            try {
                norvik::simtest::SimControlOk(0, "reinsert 300");
                ++cycles;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "dialog bench: %s\n", e.what());
                return;
            }
            for (int i = 0; i < 20 && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    cpu = CpuSeconds();
    wall = Clock::now();
    Spin(seconds / 2);
    used = CpuSeconds() - cpu;
    stop = true;
    swapper.join();
    std::printf("  %-28s CPU %.2f%% of one core, %d removals and insertions\n",
                "token pulled every 2 s:", 100.0 * used / Seconds(Clock::now() - wall), cycles);
    probe.Print("token pulled every 2 s:");
    WaitFor([&] { return !d.Control<QLabel>(1006)->text().isEmpty(); }, 10);
    return 0;
}

// The library's entries with the time spent in them added up.
struct TimedCalls {
    static inline PFN_CardVerify verify;
    static inline PFN_CardReadSeedInfo readSeedInfo;
    static inline PFN_CardConfig config;
    static inline PFN_CardGetSeedFlag getSeedFlag;
    static inline PFN_CardBurnSeed burnSeed;
    static inline double seconds = 0;

    template <typename F>
    static uint32_t Timed(F&& f) {
        const auto start = Clock::now();
        const uint32_t status = f();
        seconds += Seconds(Clock::now() - start);
        return status;
    }
    static void Install(CardApi& api) {
        verify = api.Get<CardFn::CardVerify>();
        readSeedInfo = api.Get<CardFn::CardReadSeedInfo>();
        config = api.Get<CardFn::CardConfig>();
        getSeedFlag = api.Get<CardFn::CardGetSeedFlag>();
        burnSeed = api.Get<CardFn::CardBurnSeed>();
        api.Set<CardFn::CardVerify>([](const char* r, const char* k) { return Timed([&] { return verify(r, k); }); });
        api.Set<CardFn::CardReadSeedInfo>([](const char* r, int32_t p, int32_t* a, int32_t* b, int32_t* c) {
            return Timed([&] { return readSeedInfo(r, p, a, b, c); });
        });
        api.Set<CardFn::CardConfig>([](const char* r, const char* k, int32_t p, const char* alg, int32_t step,
                                       int32_t digits, int32_t clear, const char* t, const char* title, int32_t enter,
                                       int32_t flags) {
            return Timed([&] { return config(r, k, p, alg, step, digits, clear, t, title, enter, flags); });
        });
        api.Set<CardFn::CardGetSeedFlag>(
            [](const char* r, int32_t p, int32_t* f) { return Timed([&] { return getSeedFlag(r, p, f); }); });
        api.Set<CardFn::CardBurnSeed>([](const char* r, const char* k, int32_t p, const uint8_t* s, int32_t n) {
            return Timed([&] { return burnSeed(r, k, p, s, n); });
        });
    }
};

// The five calls of one provisioning, straight through the library.
bool DirectProvision(const std::string& utc) {
    int32_t clear = 0, enter = 0, kept = 0, present = 0;
    const uint8_t seed[] = {'H', 'e', 'l', 'l', 'o'};
    return TimedCalls::verify(kReader, kKey) == 0 &&
           TimedCalls::readSeedInfo(kReader, kProfile, &clear, &enter, &kept) == 0 &&
           TimedCalls::config(kReader, kKey, kProfile, "SHA1", 30, 6, 0, utc.c_str(), "Bench", 1, kept) == 0 &&
           TimedCalls::getSeedFlag(kReader, kProfile, &present) == 0 && present == 0 &&
           TimedCalls::burnSeed(kReader, kKey, kProfile, seed, sizeof seed) == 0;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int Provision(int rounds) {
    Dialog d;
    if (!d.Connect()) {
        std::printf("dialog bench: no token shown for %s; skipped\n", kReader);
        return 0;
    }
    CardApi& api = d.dlg->Session().cardApi;
    TimedCalls::Install(api);
    if (std::getenv("DIALOG_BENCH_INLINE")) d.dlg->Session().runner.Set(nullptr);
    const auto deleteSeed = api.Get<CardFn::CardDeleteSeed>();
    d.Control<QComboBox>(1071)->setCurrentIndex(kProfile);
    d.Control<QComboBox>(1077)->setCurrentIndex(choice::ManualTime);  // the same time text for both
    d.Control<QLineEdit>(1029)->setText("2024/01/01/00/00/00");
    d.Control<QLineEdit>(1052)->setText("Bench");
    auto* list = d.Control<QTableWidget>(1011);

    std::vector<double> press, pressCalls, direct;
    for (int i = 0; i < rounds; ++i) {
        deleteSeed(kReader, kProfile);
        d.Control<QLineEdit>(1001)->setText("JBSWY3DP");
        const int rows = list->rowCount();
        TimedCalls::seconds = 0;
        auto start = Clock::now();
        d.Control<QPushButton>(1080)->click();  // returns once the row is there
        press.push_back(Seconds(Clock::now() - start));
        pressCalls.push_back(TimedCalls::seconds);
        if (list->rowCount() != rows + 1 ||
            list->item(0, 1)->text() != QStringLiteral("%1-Successful operation").arg(kProfile)) {
            std::fprintf(stderr, "dialog bench: provisioning failed\n");
            return 1;
        }

        deleteSeed(kReader, kProfile);
        start = Clock::now();
        if (!DirectProvision("2024/01/01/00/00/00")) {
            std::fprintf(stderr, "dialog bench: direct calls failed\n");
            return 1;
        }
        direct.push_back(Seconds(Clock::now() - start));
    }
    deleteSeed(kReader, kProfile);
    std::vector<double> overhead;
    for (size_t i = 0; i < press.size(); ++i) overhead.push_back(press[i] / pressCalls[i]);
    std::printf("\"\u26A1 provision profile\" pressed to row added, %d rounds (medians):\n", rounds);
    std::printf("  through the dialog          %8.2f ms\n", 1000 * Median(press));
    std::printf("  the same five calls direct  %8.2f ms   ratio %.3f (goal under 1.10; load-sensitive)\n",
                1000 * Median(direct), Median(press) / Median(direct));
    std::printf("  press over its own calls            ratio %.3f (the tool's own share)\n", Median(overhead));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "idle" && mode != "provision") {
        std::fprintf(stderr, "usage: dialog_bench idle [seconds] | provision [rounds]\n");
        return 2;
    }
    if (!bench::CardPresent(kReader)) {
        std::printf("dialog bench: no card in %s; skipped\n", kReader);
        return 0;
    }
    QApplication app(argc, argv);
    if (mode == "idle") return Idle(argc > 2 ? std::atof(argv[2]) : 60.0);
    return Provision(argc > 2 ? std::atoi(argv[2]) : 30);
}
