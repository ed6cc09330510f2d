// quillon-trace: prints the records of the machine-wide trace ring.
//
//   quillon-trace [--follow | --dump] [--prefix NAME] [--help]
//
// --follow (the default) prints records as they arrive until SIGINT/SIGTERM;
// --dump prints what is in the ring and exits. --prefix replaces the "Global"
// object prefix (for tests that run private rings).
//
// It registers as a reader, so writers wait for it (about 100 ms at most)
// instead of discarding when the ring is full. The reader protocol is in
// docs/trace-ring.md.
#include "LockfreeArrayQueue.h"
#include "TraceObjects.h"
#include "VkShmLogger.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

void PrintRecord(const quillon::TraceRecord& r) {
    // 100-ns intervals since 1601 to Unix time; printed as UTC.
    constexpr uint64_t kDelta = 11644473600ULL;
    uint64_t ticks = r.time;
    uint64_t secs = ticks / 10000000ULL;
    unsigned ms = static_cast<unsigned>((ticks / 10000ULL) % 1000);
    time_t unixSecs = secs >= kDelta ? static_cast<time_t>(secs - kDelta) : 0;
    struct tm tm {};
    gmtime_r(&unixSecs, &tm);
    char file[sizeof r.file + 1];
    char text[sizeof r.text + 1];
    // Never trust the terminators of a record another process wrote.
    std::memcpy(file, r.file, sizeof r.file);
    file[sizeof r.file] = '\0';
    std::memcpy(text, r.text, sizeof r.text);
    text[sizeof r.text] = '\0';
    std::printf("%04d-%02d-%02d %02d:%02d:%02d.%03u %u %u L%u %s:%u %s\n", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, ms, static_cast<unsigned>(r.pid), static_cast<unsigned>(r.tid),
                static_cast<unsigned>(r.level), file, static_cast<unsigned>(r.line), text);
}

constexpr const char kUsage[] =
    "usage: quillon-trace [--follow | --dump] [--prefix NAME]\n"
    "Prints the records of the Norvik-2 library's shared-memory trace ring, one line each:\n"
    "  YYYY-MM-DD hh:mm:ss.mmm pid tid L<level> file:line text   (time in UTC)\n"
    "  --follow       print records as they arrive until SIGINT or SIGTERM (default)\n"
    "  --dump         print the records in the ring and exit\n"
    "  --prefix NAME  use NAME instead of \"Global\" in the ring's object names\n"
    "  -h, --help     show this text and exit\n"
    "The ring is created if absent. Programs that set QUILLON_TRACE=0 write nothing.\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool follow = true;
    std::string prefix = quillon::kTraceProductionPrefix;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--follow") == 0) {
            follow = true;
        } else if (std::strcmp(argv[i], "--dump") == 0) {
            follow = false;
        } else if (std::strcmp(argv[i], "--prefix") == 0 && i + 1 < argc) {
            prefix = argv[++i];
        } else {
            return Usage();
        }
    }

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    quillon::CVkShmLogger ring(quillon::MakeTraceObjectNames(prefix));
    int rc = ring.Attach();
    if (rc != 0) {
        std::fprintf(stderr, "quillon-trace: cannot attach the trace ring: %s\n", std::strerror(rc));
        return 1;
    }
    if (!ring.RegisterAsReader()) {
        std::fprintf(stderr, "quillon-trace: cannot register as reader\n");
        return 1;
    }

    quillon::CLockfreeArrayQueue& queue = ring.Queue();
    quillon::TraceRecord record;
    int status = 0;
    while (!g_stop) {
        if (queue.Pop(record)) {
            PrintRecord(record);
            if (std::ferror(stdout)) {
                status = 1;
                break;
            }
            continue;
        }
        if (queue.Tail() != queue.Commit()) continue;  // lost a race with a discard
        if (!follow) break;
        std::fflush(stdout);
        // A writer that found us stalled reset the count; count us again.
        if (queue.ReaderCount() == 0) queue.RegisterReader();
        usleep(10000);
    }
    std::fflush(stdout);
    ring.Detach();  // unregisters
    return status;
}
