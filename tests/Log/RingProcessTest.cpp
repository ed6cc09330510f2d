// Several processes on one ring: lifetime of the shared object, concurrent
// writers, and the quillon-trace viewer.
#include "Trace.h"
#include "TraceTestSupport.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <unistd.h>

namespace quillon::test {
namespace {

// Runs fn in a child process; the child never returns into GoogleTest.
template <typename Fn>
pid_t Spawn(Fn fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    return pid;
}

void SendByte(int fd) {
    char c = 1;
    ASSERT_EQ(write(fd, &c, 1), 1);
}

bool ReceiveByte(int fd) {
    char c;
    return read(fd, &c, 1) == 1;
}

// For a child: attaches and then tells the parent through fd. Returns 0, or
// the step that failed (1 the attach, 2 the message).
int AttachAndTell(CVkShmLogger& ring, int fd) {
    if (ring.Attach() != 0) return 1;
    char c = 1;
    return write(fd, &c, 1) == 1 ? 0 : 2;
}

using RingLifetimeTest = PrivateRingTest;

TEST_F(RingLifetimeTest, LastDetachInTheProcessUnlinksTheRing) {
    CVkShmLogger a(names_);
    CVkShmLogger b(names_);
    ASSERT_EQ(a.Attach(), 0);
    ASSERT_EQ(b.Attach(), 0);
    EXPECT_TRUE(a.CreatedRing());
    EXPECT_FALSE(b.CreatedRing());
    a.Detach();
    EXPECT_TRUE(RingExists());
    b.Detach();
    EXPECT_FALSE(RingExists());

    // A fresh ring is created on the next attach and works.
    ASSERT_EQ(a.Attach(), 0);
    EXPECT_TRUE(a.CreatedRing());
    EXPECT_EQ(a.Queue().Capacity(), 32768u);
    EXPECT_EQ(a.Write(MakeRecord(1)), PushResult::Ok);
}

TEST_F(RingLifetimeTest, RingOutlivesTheWriterWhileAnotherProcessHoldsIt) {
    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);

    CVkShmLogger parent(names_);
    ASSERT_EQ(parent.Attach(), 0);
    pid_t child = Spawn([&] {
        CVkShmLogger ring(names_);
        if (int rc = AttachAndTell(ring, toParent[1])) return rc;
        if (!ReceiveByte(toChild[0])) return 3;
        ring.Detach();
        return 0;
    });
    ASSERT_TRUE(ReceiveByte(toParent[0]));
    parent.Detach();
    EXPECT_TRUE(RingExists());  // the child still has it attached
    SendByte(toChild[1]);
    EXPECT_EQ(WaitExit(child), 0);
    EXPECT_FALSE(RingExists());
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);
}

TEST_F(RingLifetimeTest, ProcessThatDiesAttachedDoesNotKeepTheRing) {
    int toParent[2];
    ASSERT_EQ(pipe(toParent), 0);
    CVkShmLogger parent(names_);
    ASSERT_EQ(parent.Attach(), 0);
    pid_t child = Spawn([&] {
        CVkShmLogger ring(names_);
        if (int rc = AttachAndTell(ring, toParent[1])) return rc;
        pause();
        return 0;
    });
    ASSERT_TRUE(ReceiveByte(toParent[0]));
    kill(child, SIGKILL);
    EXPECT_EQ(WaitExit(child), 128 + SIGKILL);
    parent.Detach();
    EXPECT_FALSE(RingExists());
    close(toParent[0]);
    close(toParent[1]);
}

TEST_F(RingLifetimeTest, ForkedChildLeavingDoesNotUnlinkItsParentsRing) {
    CVkShmLogger parent(names_);
    ASSERT_EQ(parent.Attach(), 0);
    // The child's copy of the attachment shares the parent's lock.
    pid_t child = Spawn([&] {
        parent.Detach();
        return 0;
    });
    EXPECT_EQ(WaitExit(child), 0);
    EXPECT_TRUE(RingExists());
    parent.Detach();
    EXPECT_FALSE(RingExists());
}

// Every line names its writer and sequence number and carries a checksum,
// so a torn or mixed record cannot pass for a good one.
uint32_t Check(uint32_t pid, uint32_t seq) { return (pid * 2654435761u) ^ (seq * 40503u); }

TEST_F(RingLifetimeTest, TwoWriterProcessesLoseNoLineAndTearNone) {
    constexpr uint32_t kLines = 10000;
    CVkShmLogger viewer(names_);  // keeps the ring after the writers detach
    ASSERT_EQ(viewer.Attach(), 0);

    auto writer = [] {
        TraceBegin();
        uint32_t pid = uint32_t(getpid());
        for (uint32_t seq = 0; seq < kLines; ++seq) {
            TraceLine(TRACE_INFO, "writer.cpp", int(seq), "W %u %u %u", pid, seq, Check(pid, seq));
        }
        return TraceEnd() == 0 ? 0 : 1;
    };
    pid_t a = Spawn(writer);
    pid_t b = Spawn(writer);
    ASSERT_EQ(WaitExit(a), 0);
    ASSERT_EQ(WaitExit(b), 0);

    CLockfreeArrayQueue& q = viewer.Queue();
    ASSERT_EQ(q.Commit() - q.Tail(), 2 * kLines);
    EXPECT_EQ(q.Head(), q.Commit());
    std::map<uint32_t, uint32_t> next;  // pid -> expected sequence
    next[uint32_t(a)] = 0;
    next[uint32_t(b)] = 0;
    TraceRecord r;
    while (q.Pop(r)) {
        unsigned pid = 0, seq = 0, check = 0;
        ASSERT_EQ(sscanf(r.text, "W %u %u %u", &pid, &seq, &check), 3) << r.text;
        ASSERT_EQ(pid, Field(r.pid));
        ASSERT_TRUE(next.count(pid)) << pid;
        ASSERT_EQ(seq, next[pid]) << "lost or reordered line of " << pid;
        ASSERT_EQ(check, Check(pid, seq));
        ASSERT_EQ(Field(r.line), seq);
        ASSERT_EQ(Field(r.time), Field(r.timeAgain));
        ASSERT_EQ(Field(r.level), 1u);
        ASSERT_STREQ(r.file, "writer.cpp");
        ++next[pid];
    }
    EXPECT_EQ(next[uint32_t(a)], kLines);
    EXPECT_EQ(next[uint32_t(b)], kLines);
}

TEST_F(RingLifetimeTest, SlowButLiveReaderMakesWritersOnAFullRingWaitAndLoseNothing) {
    constexpr uint32_t kLines = 25000;  // the two writers together overfill the ring
    CVkShmLogger reader(names_);
    ASSERT_EQ(reader.Attach(), 0);
    ASSERT_TRUE(reader.RegisterAsReader());
    CLockfreeArrayQueue& q = reader.Queue();

    auto writer = [] {
        TraceBegin();
        uint32_t pid = uint32_t(getpid());
        for (uint32_t seq = 0; seq < kLines; ++seq) {
            TraceLine(TRACE_INFO, "slow.cpp", int(seq), "W %u %u %u", pid, seq, Check(pid, seq));
        }
        return TraceEnd() == 0 ? 0 : 1;
    };
    const pid_t writers[2] = {Spawn(writer), Spawn(writer)};
    bool running[2] = {true, true};
    auto reap = [&] {
        for (int i = 0; i < 2; ++i) {
            int st = 0;
            if (running[i] && waitpid(writers[i], &st, WNOHANG) == writers[i]) {
                running[i] = false;
                EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "writer " << i;
            }
        }
        return running[0] || running[1];
    };

    // Nothing is read until the ring is full, so from then on both writers
    // find it full.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (q.Commit() - q.Tail() < kRingCapacitySlots - 1 && reap() && std::chrono::steady_clock::now() < deadline)
        usleep(1000);
    ASSERT_EQ(q.Commit() - q.Tail(), kRingCapacitySlots - 1) << "the writers never filled the ring";

    // Then a batch of records every 3 ms: far slower than the writers, so
    // they keep finding the ring full and wait several 1-ms rounds each
    // time, yet progressing well within the ~100 ms after which a writer
    // takes a reader for dead.
    std::map<uint32_t, uint32_t> next = {{uint32_t(writers[0]), 0}, {uint32_t(writers[1]), 0}};
    uint32_t consumed = 0;
    TraceRecord r;
    for (bool more = true; more && std::chrono::steady_clock::now() < deadline;) {
        for (int k = 0; k < 64 && q.Pop(r); ++k) {
            unsigned pid = 0, seq = 0, check = 0;
            ASSERT_EQ(sscanf(r.text, "W %u %u %u", &pid, &seq, &check), 3) << r.text;
            ASSERT_TRUE(next.count(pid)) << pid;
            ASSERT_EQ(seq, next[pid]) << "lost or reordered line of " << pid;
            ASSERT_EQ(check, Check(pid, seq));
            ++next[pid];
            ++consumed;
        }
        usleep(3000);
        more = reap() || q.Tail() != q.Commit();
    }
    EXPECT_EQ(next[uint32_t(writers[0])], kLines);
    EXPECT_EQ(next[uint32_t(writers[1])], kLines);
    EXPECT_EQ(consumed, 2 * kLines);
    EXPECT_EQ(q.ReaderCount(), 1u) << "a writer took the reader for dead";
    EXPECT_EQ(q.Head(), q.Commit());
    if (running[0] || running[1]) {
        for (pid_t w : writers) kill(w, SIGKILL);
        reap();
    }
}

class QuillonTraceTest : public PrivateRingTest {
protected:
    std::string Command(const char* mode) const {
        return std::string(QUILLON_TRACE_EXE) + " " + mode + " --prefix " + prefix_;
    }
    // Runs the viewer; its standard output, and its exit status in *status.
    std::string Run(const char* mode, int* status, bool withErrors = false) const {
        FILE* out = popen((Command(mode) + (withErrors ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
        std::string text;
        if (out == nullptr) return text;
        char buf[8192];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, out)) > 0) text.append(buf, n);
        const int raw = pclose(out);
        *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return text;
    }
    // Starts the viewer in --follow mode, its standard output on *out.
    pid_t Follow(int* out) const {
        int fds[2];
        if (pipe(fds) != 0) return -1;
        pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            execl(QUILLON_TRACE_EXE, QUILLON_TRACE_EXE, "--follow", "--prefix", prefix_.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        *out = fds[0];
        return pid;
    }
};

TEST_F(QuillonTraceTest, DumpPrintsEachRecordAndConsumesIt) {
    CVkShmLogger viewer(names_);
    ASSERT_EQ(viewer.Attach(), 0);
    TraceBegin();
    TraceLine(TRACE_WARNING, "dump.cpp", 12, "first %d", 1);
    uint8_t bytes[] = {0x90, 0x00};
    TraceHex(TRACE_INFO, "dump.cpp", 13, bytes, sizeof bytes);
    ASSERT_EQ(TraceEnd(), 0);

    FILE* out = popen(Command("--dump").c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::vector<std::string> lines;
    char buf[8192];
    while (fgets(buf, sizeof buf, out)) lines.emplace_back(buf);
    ASSERT_EQ(pclose(out), 0);

    ASSERT_EQ(lines.size(), 2u);
    std::string me = std::to_string(getpid()) + " " + std::to_string(gettid());
    std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )");
    EXPECT_TRUE(std::regex_search(lines[0], stamp)) << lines[0];
    EXPECT_EQ(lines[0].substr(24), me + " L2 dump.cpp:12 first 1\n");
    EXPECT_EQ(lines[1].substr(24), me + " L1 dump.cpp:13 9000\n");

    CLockfreeArrayQueue& q = viewer.Queue();
    EXPECT_EQ(q.Tail(), q.Commit());
    EXPECT_EQ(q.ReaderProgress(), 2u);
    EXPECT_EQ(q.ReaderCount(), 0u);  // unregistered on exit
}

TEST_F(QuillonTraceTest, FollowRegistersAndUnregistersOnSigterm) {
    CVkShmLogger viewer(names_);
    ASSERT_EQ(viewer.Attach(), 0);
    int out = -1;
    const pid_t reader = Follow(&out);
    ASSERT_GT(reader, 0);

    CLockfreeArrayQueue& q = viewer.Queue();
    // The viewer counts itself as a reader once it is attached.
    for (int i = 0; i < 20000 && q.ReaderCount() == 0; ++i) usleep(1000);
    ASSERT_EQ(q.ReaderCount(), 1u) << "quillon-trace did not register";
    TraceBegin();
    TraceLine(TRACE_INFO, "follow.cpp", 5, "hello reader");
    std::string got;
    char buf[256];
    while (got.find('\n') == std::string::npos) {
        ssize_t n = read(out, buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.append(buf, size_t(n));
    }
    EXPECT_NE(got.find(" L1 follow.cpp:5 hello reader\n"), std::string::npos) << got;
    ASSERT_EQ(TraceEnd(), 0);

    kill(reader, SIGTERM);
    EXPECT_EQ(WaitExit(reader), 0);
    EXPECT_EQ(q.ReaderCount(), 0u);
    EXPECT_TRUE(RingExists());  // the viewer here still holds it
    close(out);
}

TEST_F(QuillonTraceTest, WhatAWriterPutInARecordCannotSteerTheTerminal) {
    CVkShmLogger viewer(names_);
    ASSERT_EQ(viewer.Attach(), 0);
    TraceBegin();
    TraceLine(TRACE_INFO, "dir\x1b]0;title\x07/evil\n.cpp", 3, "%s",
              "red \x1b[31malert\r\x7f back\\slash caf\xC3\xA9 \xC2\x9B and \xFF");
    ASSERT_EQ(TraceEnd(), 0);

    int status = -1;
    const std::string out = Run("--dump", &status);
    EXPECT_EQ(status, 0);
    const std::string me = std::to_string(getpid()) + " " + std::to_string(gettid());
    // Printable UTF-8 stays; control characters (C1 ones encoded in UTF-8
    // included), backslashes and broken UTF-8 are escaped.
    ASSERT_GT(out.size(), 24u);
    EXPECT_EQ(out.substr(24), me + " L1 dir\\x1B]0;title\\x07/evil\\x0A.cpp:3 red \\x1B[31malert\\x0D\\x7F "
                                   "back\\\\slash caf\xC3\xA9 \\xC2\\x9B and \\xFF\n");
}

TEST_F(QuillonTraceTest, ViewerMakesNoRingAndOnlyLooksAtAnotherUsersOrABrokenOne) {
    // No ring: nothing to print, and none made (a viewer's ring would keep
    // the lines of the tool's user out when the viewer is someone else).
    int status = -1;
    EXPECT_EQ(Run("--dump", &status), "");
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(RingExists());

    if (geteuid() != 0) GTEST_SKIP() << "needs root to hand the ring to another user";
    CVkShmLogger writer(names_);
    ASSERT_EQ(writer.Attach(), 0);
    ASSERT_EQ(writer.Write(MakeRecord(1)), PushResult::Ok);
    ASSERT_EQ(writer.Write(MakeRecord(2)), PushResult::Ok);
    const std::string path = ShmPath(names_.ring);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);

    // Another user's ring is read without taking anything out of it.
    const std::string out = Run("--dump", &status, true);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("reading the trace ring of user 65534 without taking records out of it"), std::string::npos)
        << out;
    EXPECT_NE(out.find(" L1 :1 \n"), std::string::npos) << out;
    EXPECT_NE(out.find(" L1 :2 \n"), std::string::npos) << out;
    EXPECT_EQ(writer.Queue().Tail(), 0u);
    EXPECT_EQ(writer.Queue().ReaderCount(), 0u);

    // Its owner may shrink it at any time: a follower that never mapped it
    // notices, waits for a ring it can read, and ends normally.
    int fd = -1;
    const pid_t follower = Follow(&fd);
    ASSERT_GT(follower, 0);
    std::string seen;
    char buf[4096];
    while (std::count(seen.begin(), seen.end(), '\n') < 2) {
        const ssize_t n = read(fd, buf, sizeof buf);
        ASSERT_GT(n, 0);
        seen.append(buf, size_t(n));
    }
    ASSERT_EQ(truncate(path.c_str(), 100), 0);
    usleep(300000);
    kill(follower, SIGTERM);
    EXPECT_EQ(WaitExit(follower), 0);
    close(fd);

    // A dump of what is no ring at all says so.
    const std::string broken = Run("--dump", &status, true);
    EXPECT_EQ(status, 1);
    EXPECT_NE(broken.find("is not a trace ring this viewer can read"), std::string::npos) << broken;
}

}  // namespace
}  // namespace quillon::test
