// reader_events_bench [--insertions N] [--idle SECONDS]
//
// The reader event watcher on the two virtual tokens of scripts/pcsc-env.sh:
//  (a) from the control line that puts a token in to the watcher's event
//      (pcscd's polling of the vpcd reader, the card's power-up, the wake-up
//      of the waiting watcher, the event handed out);
//  (b) the watcher's own share of that: from SCardGetStatusChange's return to
//      Next()'s;
//  (c) the processor time of the whole process over an idle spell, as a
//      share of one core, while the watcher waits on both readers.
// The tokens go in alternately in the two readers, each after a random pause
// so the insertions fall at every moment of pcscd's polling cycle. Without
// the simulators it says so and exits 0. Figures are printed, never judged.
#include "watch/ReaderEvents.h"
#include "SimControl.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace {

namespace sim = norvik::simtest;
using Clock = std::chrono::steady_clock;
using Kind = provisor::ReaderEvent::Kind;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Summary(const char* what, std::vector<double> v) {
    if (v.empty()) {
        std::printf("%-44s no samples\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v) sum += x;
    std::printf("%-44s min %8.3f  median %8.3f  mean %8.3f  max %8.3f ms  (n=%zu)\n", what, v.front(), v[v.size() / 2],
                sum / v.size(), v.back(), v.size());
}

double CpuSeconds(const rusage& r) {
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// What the driver is waiting for, and what the watching thread saw.
struct Rendezvous {
    std::mutex mutex;
    std::condition_variable changed;
    std::string reader;
    Kind awaited = Kind::TokenRemoved;
    bool arrived = false;
    Clock::time_point returned, seen;

    void Expect(const std::string& r, Kind k) {
        std::lock_guard lock(mutex);
        reader = r;
        awaited = k;
        arrived = false;
    }
    bool WaitArrived(std::chrono::seconds within) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, within, [&] { return arrived; });
    }
};

}  // namespace

int main(int argc, char** argv) {
    int insertions = 30;
    int idleSeconds = 10;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--insertions") && i + 1 < argc)
            insertions = std::max(2, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--idle") && i + 1 < argc)
            idleSeconds = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: reader_events_bench [--insertions N] [--idle SECONDS]\n");
            return 2;
        }
    }
    try {
        for (int i = 0; i < 2; ++i) sim::ResetSim(i);
    } catch (const std::exception& e) {
        std::printf("reader_events_bench: skipped, no virtual tokens (scripts/pcsc-env.sh start): %s\n", e.what());
        return 0;
    }

    provisor::ReaderWatcher watcher;
    Rendezvous rv;
    std::vector<double> toEvent, handling;
    std::thread watching([&] {
        while (const auto e = watcher.Next()) {
            const Clock::time_point returned = Clock::now();
            std::lock_guard lock(rv.mutex);
            if (e->reader == rv.reader && e->kind == rv.awaited && !rv.arrived) {
                rv.arrived = true;
                rv.returned = returned;
                rv.seen = e->seen;
                rv.changed.notify_all();
            }
        }
    });

    std::mt19937 random(std::random_device{}());
    bool ok = true;
    for (int n = 0; n < insertions && ok; ++n) {
        const int i = n % 2;
        const std::string reader = sim::ReaderName(i);
        rv.Expect(reader, Kind::TokenRemoved);
        sim::SimControlOk(i, "remove");
        ok = rv.WaitArrived(std::chrono::seconds(10));
        if (!ok) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 400));
        rv.Expect(reader, Kind::TokenInserted);
        const Clock::time_point sent = Clock::now();
        sim::SimControlOk(i, "insert");
        ok = rv.WaitArrived(std::chrono::seconds(10));
        if (!ok) break;
        std::lock_guard lock(rv.mutex);
        toEvent.push_back(Ms(rv.returned - sent));
        handling.push_back(Ms(rv.returned - rv.seen));
    }
    if (!ok) std::printf("an event did not come within 10 s; figures below are partial\n");

    std::printf("two readers, %zu insertions alternating between them\n", toEvent.size());
    Summary("(a) insert command -> event handed out", toEvent);
    Summary("(b) watcher: PC/SC wake-up -> event handed out", handling);
    if (!toEvent.empty()) {
        const double floor = *std::min_element(toEvent.begin(), toEvent.end());
        double mean = 0;
        for (double x : toEvent) mean += x;
        mean /= toEvent.size();
        std::printf(
            "    (a) above its fastest case, i.e. waiting for pcscd's next look at the reader: "
            "%.1f ms of %.1f ms on average (%.0f%%)\n",
            mean - floor, mean, 100 * (mean - floor) / mean);
    }

    // Idle: both tokens in, nothing happens, the watcher waits.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    getrusage(RUSAGE_SELF, &after);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds(after) - CpuSeconds(before);
    std::printf("(c) idle %.1f s: %.3f ms processor time = %.4f%% of one core, %ld voluntary context switches\n", wall,
                cpu * 1000, 100 * cpu / wall, after.ru_nvcsw - before.ru_nvcsw);

    watcher.Stop();
    watching.join();
    for (int i = 0; i < 2; ++i) sim::ResetSim(i);
    return 0;
}
