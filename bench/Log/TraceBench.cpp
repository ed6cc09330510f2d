// Cost of the trace calls and throughput of the shared ring.
//
// Runs against a private ring (its own object prefix), never the machine's.
// After the benchmarks it prints ratios: a 64-byte hex dump against a plain
// line, a line with a draining reader against one under the no-reader
// discard policy, a whole begin/line/end cycle against the line alone, and
// two writer processes against one.
#include "LockfreeArrayQueue.h"
#include "Trace.h"
#include "TraceObjects.h"
#include "VkShmLogger.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string g_prefix;
std::map<std::string, double> g_result;  // name -> ns per item of the last run

void Remember(const char* name, Clock::time_point start, int64_t items) {
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    if (items > 0) g_result[name] = ns / double(items);
}

void BM_TraceLine(benchmark::State& state) {
    int i = 0;
    auto start = Clock::now();
    for (auto _ : state) quillon::TraceLine(quillon::TRACE_INFO, __FILE__, __LINE__, "bench line %d", ++i);
    Remember("TraceLine", start, state.iterations());
}
BENCHMARK(BM_TraceLine);

void BM_TraceHex64(benchmark::State& state) {
    uint8_t bytes[64];
    for (int i = 0; i < 64; ++i) bytes[i] = uint8_t(i * 37);
    auto start = Clock::now();
    for (auto _ : state) QTRACE_HEX(quillon::TRACE_INFO, bytes, sizeof bytes);
    Remember("TraceHex64", start, state.iterations());
}
BENCHMARK(BM_TraceHex64);

void BM_TraceLineWithReader(benchmark::State& state) {
    std::atomic<bool> stop{false};
    quillon::CVkShmLogger reader;
    if (reader.Attach() != 0 || !reader.RegisterAsReader()) {
        state.SkipWithError("reader could not attach");
        return;
    }
    std::thread drain([&] {
        quillon::TraceRecord r;
        while (!stop.load()) {
            if (!reader.Queue().Pop(r)) std::this_thread::yield();
        }
    });
    int i = 0;
    auto start = Clock::now();
    for (auto _ : state) quillon::TraceLine(quillon::TRACE_INFO, __FILE__, __LINE__, "bench line %d", ++i);
    Remember("TraceLineWithReader", start, state.iterations());
    stop.store(true);
    drain.join();
    reader.Detach();
}
BENCHMARK(BM_TraceLineWithReader);

// What every export pays around its lines: the first TraceBegin and the
// last TraceEnd (the logger is made and destroyed each time; the ring
// attachment is kept for the process), with one line in between.
void BM_ExportTraceCycle(benchmark::State& state) {
    quillon::TraceEnd();  // main holds one begin open; the cycle needs count 0
    int i = 0;
    auto start = Clock::now();
    for (auto _ : state) {
        quillon::TraceBegin();
        quillon::TraceLine(quillon::TRACE_INFO, __FILE__, __LINE__, "bench line %d", ++i);
        quillon::TraceEnd();
    }
    Remember("ExportCycle", start, state.iterations());
    quillon::TraceBegin();
}
BENCHMARK(BM_ExportTraceCycle);

// Each writer process attaches on its own and pushes through the writer
// policy (no reader: the ring discards when full).
void BM_RingPushProcesses(benchmark::State& state) {
    const int writers = int(state.range(0));
    constexpr int kPerWriter = 50000;
    double totalSecs = 0;
    for (auto _ : state) {
        int go[2];
        if (pipe(go) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        std::vector<pid_t> kids;
        for (int w = 0; w < writers; ++w) {
            pid_t pid = fork();
            if (pid == 0) {
                close(go[1]);
                quillon::CVkShmLogger ring;
                if (ring.Attach() != 0) _exit(1);
                quillon::TraceRecord r{};
                r.level = 1;
                char c;
                if (read(go[0], &c, 1) != 0) _exit(2);  // wait for the start (EOF)
                for (int i = 0; i < kPerWriter; ++i) {
                    r.line = uint32_t(i);
                    ring.Write(r);
                }
                _exit(0);
            }
            kids.push_back(pid);
        }
        close(go[0]);
        usleep(20000);  // let every writer attach
        auto start = Clock::now();
        close(go[1]);
        for (pid_t pid : kids) waitpid(pid, nullptr, 0);
        double secs = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(secs);
        totalSecs += secs;
    }
    if (state.iterations() > 0) {
        g_result[writers == 1 ? "Push1" : "Push2"] =
            totalSecs * 1e9 / double(state.iterations() * writers * kPerWriter);
    }
    state.SetItemsProcessed(state.iterations() * writers * kPerWriter);
}
BENCHMARK(BM_RingPushProcesses)->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void PrintRatio(const char* label, const char* num, const char* den) {
    if (g_result.count(num) && g_result.count(den) && g_result[den] > 0) {
        std::printf("%-48s %.2f\n", label, g_result[num] / g_result[den]);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // Checked before the private ring exists, so a bad flag leaves none behind.
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    g_prefix = "QuillonBench-" + std::to_string(getpid());
    quillon::SetTraceObjectPrefixForTesting(g_prefix.c_str());
    quillon::TraceBegin();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    quillon::TraceEnd();
    quillon::ReleaseParkedTraceRing();  // before the names are removed below
    std::printf("\nRatios (time per line/record):\n");
    PrintRatio("TraceHex(64 bytes) / TraceLine", "TraceHex64", "TraceLine");
    PrintRatio("TraceLine with draining reader / no reader", "TraceLineWithReader", "TraceLine");
    PrintRatio("begin + line + end / line alone", "ExportCycle", "TraceLine");
    if (g_result.count("Push1") && g_result.count("Push2") && g_result["Push2"] > 0) {
        std::printf("%-48s %.2f\n", "pushes/s two writer processes / one", g_result["Push1"] / g_result["Push2"]);
    }

    quillon::TraceObjectNames names = quillon::MakeTraceObjectNames(g_prefix);
    shm_unlink(names.ring.c_str());
    return 0;
}
