// quillon-trace: prints the records of the machine-wide trace ring.
//
//   quillon-trace [--follow | --dump] [--prefix NAME] [--help]
//
// --follow (the default) prints records as they arrive until SIGINT/SIGTERM;
// --dump prints what is in the ring and exits. --prefix replaces the "Global"
// object prefix (for tests that run private rings).
//
// A ring of the user running it is read the way the library's writers
// expect a reader to (docs/trace-ring.md): it registers, takes records out
// and so makes writers wait for it (about 100 ms at most) instead of
// discarding when the ring is full. Anything else under the ring's name
// belongs to another user or is broken, and is only looked at: read with
// pread(), never mapped (its owner could shrink it under the mapping) and
// never written. The viewer never makes a ring: one of another user's
// making would keep the tool's own lines out.
//
// Record text and file name come from whoever wrote into the ring: control
// characters, backslashes and bytes that are not UTF-8 are printed escaped
// (\xNN, \\), so a record cannot move the cursor or recolour the terminal.
#include "LockfreeArrayQueue.h"
#include "TraceObjects.h"
#include "VkShmLogger.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

// Length of the UTF-8 sequence at s (at most n bytes), or 0 when it is not
// a well-formed one or encodes a C1 control (U+0080-U+009F), which some
// terminals obey just as they obey the 8-bit ones.
size_t PrintableUtf8Length(const unsigned char* s, size_t n) {
    size_t len;
    uint32_t cp;
    if (s[0] >= 0xC2 && s[0] <= 0xDF) {
        len = 2;
        cp = s[0] & 0x1F;
    } else if (s[0] >= 0xE0 && s[0] <= 0xEF) {
        len = 3;
        cp = s[0] & 0x0F;
    } else if (s[0] >= 0xF0 && s[0] <= 0xF4) {
        len = 4;
        cp = s[0] & 0x07;
    } else {
        return 0;
    }
    if (n < len) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    if (overlong || surrogate || cp > 0x10FFFF || cp <= 0x9F) return 0;
    return len;
}

std::string Escaped(const char* text, size_t size) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    const size_t n = strnlen(text, size);  // the terminator may be missing
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n;) {
        if (s[i] == '\\') {
            out += "\\\\";
            ++i;
        } else if (s[i] >= 0x20 && s[i] < 0x7F) {
            out += static_cast<char>(s[i++]);
        } else if (size_t len = s[i] >= 0x80 ? PrintableUtf8Length(s + i, n - i) : 0; len != 0) {
            out.append(text + i, len);
            i += len;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", s[i++]);
            out += hex;
        }
    }
    return out;
}

void PrintRecord(const quillon::TraceRecord& r) {
    // 100-ns intervals since 1601 to Unix time; printed as UTC.
    constexpr uint64_t kDelta = 11644473600ULL;
    uint64_t ticks = r.time;
    uint64_t secs = ticks / 10000000ULL;
    unsigned ms = static_cast<unsigned>((ticks / 10000ULL) % 1000);
    time_t unixSecs = secs >= kDelta ? static_cast<time_t>(secs - kDelta) : 0;
    struct tm tm {};
    gmtime_r(&unixSecs, &tm);
    std::printf("%04d-%02d-%02d %02d:%02d:%02d.%03u %u %u L%u %s:%u %s\n", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, ms, static_cast<unsigned>(r.pid), static_cast<unsigned>(r.tid),
                static_cast<unsigned>(r.level), Escaped(r.file, sizeof r.file).c_str(), static_cast<unsigned>(r.line),
                Escaped(r.text, sizeof r.text).c_str());
}

// Whether printing failed (a closed pipe, a full disk).
bool OutputFailed() { return std::ferror(stdout) != 0; }

void Pause(unsigned ms) {
    if (!g_stop) usleep(ms * 1000);
}

// Reads a ring without mapping or changing it, from a private cursor. A
// record is printed only when the ring's tail had not passed it after it was
// copied (so no writer can have been reusing its slot meanwhile); records
// the writers discarded before they were read are skipped.
class RingPeek {
public:
    ~RingPeek() {
        if (m_fd >= 0) close(m_fd);
    }

    // 0, ENOENT (nothing under the name), EPROTO (not a trace ring) or
    // what open() said.
    int Open(const std::string& name) {
        m_name = name;
        m_fd = open(quillon::ShmPath(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (m_fd < 0) return errno;
        struct stat st {};
        uint32_t tail = 0, commit = 0;
        if (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || !Counters(tail, commit)) return EPROTO;
        m_owner = st.st_uid;
        m_cursor = tail;
        return 0;
    }
    uid_t Owner() const { return m_owner; }
    bool StillNamed() const { return quillon::NameStillNames(m_fd, m_name); }

    // Prints what was committed since the last call. False when the object
    // stopped reading as a ring (shrunk, overwritten) or output failed.
    bool PrintNew() {
        uint32_t tail = 0, commit = 0;
        if (!Counters(tail, commit)) return false;
        if (commit - tail >= quillon::kRingCapacitySlots) {
            m_cursor = commit;  // nonsense counters: nothing here can be trusted
            return true;
        }
        if (m_cursor - tail > commit - tail) m_cursor = tail;  // outside [tail, commit]: lapped
        quillon::TraceRecord record;
        while (m_cursor != commit && !g_stop) {
            if (!Read(SlotOffset(m_cursor), &record, sizeof record)) return false;
            uint32_t tailNow = 0, commitNow = 0;
            if (!Counters(tailNow, commitNow)) return false;
            if (static_cast<int32_t>(tailNow - m_cursor) > 0) {
                m_cursor = tailNow;  // discarded, maybe rewritten, while copied
                continue;
            }
            PrintRecord(record);
            if (OutputFailed()) return false;
            ++m_cursor;
        }
        return true;
    }

private:
    static off_t SlotOffset(uint32_t counter) {
        return static_cast<off_t>(4 + quillon::kRingSlots +
                                  static_cast<size_t>(counter & quillon::CLockfreeArrayQueue::kMask) *
                                      quillon::kTraceRecordSize);
    }

    bool Read(off_t offset, void* to, size_t size) const {
        return pread(m_fd, to, size, offset) == static_cast<ssize_t>(size);
    }

    bool Counters(uint32_t& tail, uint32_t& commit) const {
        uint32_t header[4 + quillon::kRingReaderProgress / 4] = {};
        if (!Read(0, header, sizeof header)) return false;
        if (header[0] != static_cast<uint32_t>(quillon::kTraceShmSize) ||
            header[1 + quillon::kRingCapacity / 4] != quillon::kRingCapacitySlots)
            return false;
        tail = header[1 + quillon::kRingTail / 4];
        commit = header[1 + quillon::kRingCommit / 4];
        return true;
    }

    std::string m_name;
    int m_fd = -1;
    uid_t m_owner = 0;
    uint32_t m_cursor = 0;
};

// The user's own ring, read as its registered reader. 0 when done (dump) or
// stopped, 1 when printing failed.
int Consume(quillon::CVkShmLogger& ring, bool follow) {
    quillon::CLockfreeArrayQueue& queue = ring.Queue();
    quillon::TraceRecord record;
    while (!g_stop) {
        if (queue.Pop(record)) {
            PrintRecord(record);
            if (OutputFailed()) return 1;
            continue;
        }
        if (queue.Tail() != queue.Commit()) continue;  // lost a race with a discard
        if (!follow) break;
        std::fflush(stdout);
        // A writer that found us stalled reset the count; count us again.
        if (queue.ReaderCount() == 0) queue.RegisterReader();
        usleep(10000);
    }
    return 0;
}

// Somebody else's ring (or one held exclusively), looked at. In follow
// mode it returns when the name no longer refers to it, so the caller can
// look again. -1 when it is not a trace ring, else as Consume.
int Peek(const std::string& name, bool follow, bool& told) {
    RingPeek peek;
    const int rc = peek.Open(name);
    if (rc == ENOENT) return 0;
    if (rc != 0) return -1;
    if (!told) {
        std::fprintf(stderr, "quillon-trace: reading the trace ring of user %u without taking records out of it\n",
                     static_cast<unsigned>(peek.Owner()));
        told = true;
    }
    for (unsigned idle = 0; !g_stop; ++idle) {
        if (!peek.PrintNew()) return OutputFailed() ? 1 : -1;
        if (!follow) return 0;
        std::fflush(stdout);
        // Once a second: its last holder may have let it go.
        if (idle % 100 == 99 && !peek.StillNamed()) return 0;
        usleep(10000);
    }
    return 0;
}

constexpr const char kUsage[] =
    "usage: quillon-trace [--follow | --dump] [--prefix NAME]\n"
    "Prints the records of the Norvik-2 library's shared-memory trace ring, one line each:\n"
    "  YYYY-MM-DD hh:mm:ss.mmm pid tid L<level> file:line text   (time in UTC)\n"
    "  --follow       print records as they arrive until SIGINT or SIGTERM (default)\n"
    "  --dump         print the records in the ring and exit\n"
    "  --prefix NAME  use NAME instead of \"Global\" in the ring's name\n"
    "  -h, --help     show this text and exit\n"
    "Run it as the user who runs the tool: that user's ring is read and emptied as a\n"
    "reader; another user's ring is only looked at. Control characters in records are\n"
    "printed as \\xNN. Programs that set QUILLON_TRACE=0 write nothing.\n";

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

    const quillon::TraceObjectNames names = quillon::MakeTraceObjectNames(prefix);
    bool toldPeek = false;
    bool toldBroken = false;
    int status = 0;
    while (!g_stop) {
        quillon::CVkShmLogger ring(names);
        int rc = ring.Attach(quillon::RingCreation::OpenOnly);
        if (rc == 0) {
            if (!ring.RegisterAsReader()) {
                std::fprintf(stderr, "quillon-trace: cannot register as reader\n");
                return 1;
            }
            status = Consume(ring, follow);
            break;  // detaching unregisters
        }
        if (rc != ENOENT) {
            rc = Peek(names.ring, follow, toldPeek);
            if (rc > 0) {
                status = rc;
                break;
            }
            if (rc < 0) {
                if (!follow) {
                    std::fprintf(stderr, "quillon-trace: %s is not a trace ring this viewer can read\n",
                                 quillon::ShmPath(names.ring).c_str());
                    status = 1;
                    break;
                }
                if (!toldBroken) {
                    std::fprintf(stderr, "quillon-trace: %s is not a trace ring; waiting for one\n",
                                 quillon::ShmPath(names.ring).c_str());
                    toldBroken = true;
                }
                Pause(1000);
                continue;
            }
        }
        if (!follow) break;  // no ring: nothing to print
        std::fflush(stdout);
        Pause(50);  // the first writer makes it
    }
    std::fflush(stdout);
    return OutputFailed() ? 1 : status;
}
