// The ring and its writer policy, including what other processes may have
// left in the shared header.
#include "Trace.h"
#include "TraceTestSupport.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <random>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillon::test {
namespace {

// An shm object made by hand, the way a foreign or broken process might.
class RawObject {
public:
    RawObject(const std::string& name, size_t size) : name_(name), size_(size) {
        fd_ = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
        if (fd_ < 0) return;
        if (ftruncate(fd_, off_t(size)) != 0) return;
        void* m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (m != MAP_FAILED) map_ = static_cast<uint8_t*>(m);
        flock(fd_, LOCK_SH);  // counts as attached, like any user of the ring
    }
    ~RawObject() {
        if (map_) munmap(map_, size_);
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return map_ != nullptr; }
    uint32_t* U32(size_t ringOffset) { return reinterpret_cast<uint32_t*>(map_ + 4 + ringOffset); }

private:
    std::string name_;
    size_t size_;
    int fd_ = -1;
    uint8_t* map_ = nullptr;
};

using RingPolicyTest = PrivateRingTest;

TEST_F(RingPolicyTest, FreshRingHasItsHeader) {
    CVkShmLogger ring(names_);
    ASSERT_EQ(ring.Attach(), 0);
    EXPECT_TRUE(ring.CreatedRing());
    struct stat st {};
    ASSERT_EQ(stat(ShmPath(names_.ring).c_str(), &st), 0);
    EXPECT_EQ(size_t(st.st_size), size_t(167772229));
    // Readable by every user's viewer, writable (and so truncatable) by its
    // owner alone, and all of its space reserved up front.
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_GE(uint64_t(st.st_blocks) * 512, uint64_t(167772229));

    int fd = shm_open(names_.ring.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    uint32_t words[7] = {};
    ASSERT_EQ(pread(fd, words, sizeof words, 0), ssize_t(sizeof words));
    close(fd);
    EXPECT_EQ(words[0], 167772229u);  // total size
    EXPECT_EQ(words[1], 32768u);      // capacity
    for (int i = 2; i < 7; ++i) EXPECT_EQ(words[i], 0u) << "field " << i;
}

TEST_F(RingPolicyTest, RingHoldsOneRecordLessThanItsSlots) {
    CVkShmLogger ring(names_);
    ASSERT_EQ(ring.Attach(), 0);
    EXPECT_EQ(FillRing(ring.Queue()), 32767u);
    EXPECT_EQ(ring.Queue().Push(MakeRecord(0)), PushResult::Full);
}

TEST_F(RingPolicyTest, FullRingWithoutReaderDiscardsTheOldest4096) {
    CVkShmLogger ring(names_);
    ASSERT_EQ(ring.Attach(), 0);
    CLockfreeArrayQueue& q = ring.Queue();
    ASSERT_EQ(FillRing(q), 32767u);

    EXPECT_EQ(ring.Write(MakeRecord(99999)), PushResult::Ok);
    EXPECT_EQ(q.Tail(), 4096u);
    EXPECT_EQ(q.Commit() - q.Tail(), 32767u - 4096u + 1u);
    // The oldest survivor is the first record not discarded.
    TraceRecord r;
    ASSERT_TRUE(q.Pop(r));
    EXPECT_EQ(Field(r.line), 4096u);
}

TEST_F(RingPolicyTest, StalledReaderIsTakenForDead) {
    CVkShmLogger ring(names_);
    ASSERT_EQ(ring.Attach(), 0);
    CLockfreeArrayQueue& q = ring.Queue();
    ASSERT_TRUE(ring.RegisterAsReader());  // registered, never consumes
    ASSERT_EQ(FillRing(q), 32767u);

    EXPECT_EQ(ring.Write(MakeRecord(7)), PushResult::Ok);
    EXPECT_EQ(q.ReaderCount(), 0u);
    EXPECT_EQ(q.Tail(), 4096u);
    EXPECT_EQ(q.Commit(), 32768u);
}

TEST_F(RingPolicyTest, DiscardNeverPassesCommit) {
    CVkShmLogger ring(names_);
    ASSERT_EQ(ring.Attach(), 0);
    CLockfreeArrayQueue& q = ring.Queue();
    for (uint32_t i = 0; i < 10; ++i) ASSERT_EQ(q.Push(MakeRecord(i)), PushResult::Ok);
    EXPECT_EQ(q.Discard(4), 4u);
    EXPECT_EQ(q.Discard(100000), 6u);  // limited to what is committed
    EXPECT_EQ(q.Tail(), 10u);
    EXPECT_EQ(q.Discard(1), 0u);
}

TEST_F(RingPolicyTest, WriterTakesCommitOverFromAStoppedWriter) {
    CVkShmLogger ring(names_);
    ASSERT_EQ(ring.Attach(), 0);
    CLockfreeArrayQueue& q = ring.Queue();
    ASSERT_EQ(q.Push(MakeRecord(0)), PushResult::Ok);
    // Another writer reserved slot 1 and died before committing it.
    reinterpret_cast<uint32_t*>(q.Base() + kRingHead)[0] = 2;
    EXPECT_EQ(q.Push(MakeRecord(2)), PushResult::Ok);
    EXPECT_EQ(q.Head(), 3u);
    EXPECT_EQ(q.Commit(), 3u);
    EXPECT_EQ(reinterpret_cast<const TraceRecord*>(q.Slot(2))->line + 0, 2u);
}

TEST_F(RingPolicyTest, ReaderConsumesAndCountsProgress) {
    CVkShmLogger writer(names_);
    CVkShmLogger reader(names_);
    ASSERT_EQ(writer.Attach(), 0);
    ASSERT_EQ(reader.Attach(), 0);
    EXPECT_FALSE(reader.CreatedRing());
    ASSERT_TRUE(reader.RegisterAsReader());
    EXPECT_EQ(writer.Queue().ReaderCount(), 1u);
    for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(writer.Write(MakeRecord(i)), PushResult::Ok);

    TraceRecord r;
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(reader.Queue().Pop(r));
        EXPECT_EQ(Field(r.line), i);
    }
    EXPECT_FALSE(reader.Queue().Pop(r));
    EXPECT_EQ(writer.Queue().ReaderProgress(), 3u);
    reader.Detach();
    EXPECT_EQ(writer.Queue().ReaderCount(), 0u);
}

using RingAttachTest = PrivateRingTest;

TEST_F(RingAttachTest, WrongCapacityFailsTheAttachAndLinesDrop) {
    RawObject foreign(names_.ring, kTraceShmSize);
    ASSERT_TRUE(foreign.ok());
    *foreign.U32(kRingCapacity) = 1024;

    CVkShmLogger ring(names_);
    EXPECT_NE(ring.Attach(), 0);
    EXPECT_FALSE(ring.IsAttached());
    EXPECT_EQ(ring.Write(MakeRecord(1)), PushResult::NotAttached);

    TraceBegin();
    TraceLine(TRACE_INFO, "f.cpp", 1, "dropped");
    TraceHex(TRACE_INFO, "f.cpp", 2, "ab", 2);
    EXPECT_EQ(TraceEnd(), 0);
    EXPECT_EQ(*foreign.U32(kRingHead), 0u);
    EXPECT_EQ(*foreign.U32(kRingCapacity), 1024u);
    EXPECT_TRUE(RingExists());  // someone else's object is left alone
}

TEST_F(RingAttachTest, TruncatedObjectFailsTheAttach) {
    for (size_t size : {size_t(0), size_t(100), kTraceShmSize - 1}) {
        RawObject small(names_.ring, size);
        CVkShmLogger ring(names_);
        EXPECT_NE(ring.Attach(), 0) << size;
        TraceBegin();
        TraceLine(TRACE_INFO, "f.cpp", 1, "dropped");
        EXPECT_EQ(TraceEnd(), 0);
        shm_unlink(names_.ring.c_str());
    }
}

TEST_F(RingAttachTest, UnopenableObjectFailsTheAttach) {
    // A directory where the object should be cannot be opened read-write by
    // anyone, root included (a foreign user's 0600 object behaves alike).
    std::string path = ShmPath(names_.ring);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    CVkShmLogger ring(names_);
    EXPECT_NE(ring.Attach(), 0);
    TraceBegin();
    TraceLine(TRACE_INFO, "f.cpp", 1, "dropped");
    EXPECT_EQ(TraceEnd(), 0);
    rmdir(path.c_str());
}

TEST_F(RingAttachTest, ObjectsOfAnotherUserFailTheAttachWithoutHarm) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    RawObject foreign(names_.ring, kTraceShmSize);
    ASSERT_TRUE(foreign.ok());
    *foreign.U32(kRingCapacity) = kRingCapacitySlots;
    // The ring private to its owner.
    int ringFd = shm_open(names_.ring.c_str(), O_RDWR, 0);
    ASSERT_GE(ringFd, 0);
    ASSERT_EQ(fchmod(ringFd, 0600), 0);
    close(ringFd);

    pid_t child = fork();
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(10);
        CVkShmLogger ring(names_);
        int rc = ring.Attach();
        TraceBegin();
        TraceLine(TRACE_INFO, "f.cpp", 1, "dropped");
        int end = TraceEnd();
        _exit(rc == EACCES && end == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(*foreign.U32(kRingHead), 0u);
}

// Runs fn as the unprivileged user 1 in a child (or as this user when not
// root); its exit status, or 128 + the signal that ended it.
template <typename Fn>
int AsAnotherUser(Fn fn) {
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(1, 1, 1) != 0 || setresuid(1, 1, 1) != 0))
            _exit(10);
        alarm(20);
        _exit(fn());
    }
    return WaitExit(child);
}

TEST_F(RingAttachTest, ThingsPlantedUnderTheNameFailTheAttachAtOnceAndRootClearsThemAway) {
    const std::string path = ShmPath(names_.ring);
    auto plantPipe = [&] { return mkfifo(path.c_str(), 0644) == 0; };
    auto plantLink = [&] { return symlink("/etc/passwd", path.c_str()) == 0; };
    for (auto plant : {std::function<bool()>(plantPipe), std::function<bool()>(plantLink)}) {
        ASSERT_TRUE(plant()) << path;
        if (geteuid() == 0) {
            ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0);
        }
        // Opening a FIFO for reading waits for a writer, and a link leads
        // anywhere: neither may hang or mislead a process that traces.
        EXPECT_EQ(AsAnotherUser([&] {
                      CVkShmLogger ring(names_);
                      int rc = ring.Attach();
                      TraceBegin();
                      TraceLine(TRACE_INFO, "f.cpp", 1, "dropped");
                      return rc != 0 && TraceEnd() == 0 ? 0 : 1;
                  }),
                  0);
        if (geteuid() == 0) {
            // Nobody can hold such a thing: whoever may remove it (root
            // here) puts a ring in its place.
            CVkShmLogger asRoot(names_);
            EXPECT_EQ(asRoot.Attach(), 0);
            EXPECT_TRUE(asRoot.CreatedRing());
        }
        unlink(path.c_str());
    }
}

TEST_F(RingAttachTest, LeftBehindObjectsThatAreNoRingOfOursAreReplaced) {
    struct Case {
        const char* what;
        size_t size;
        mode_t mode;
        bool reserve;
        uint32_t capacity;
    };
    const Case cases[] = {
        {"truncated to nothing", 0, 0644, false, 0},
        {"shorter than a ring", 4096, 0644, true, kRingCapacitySlots},
        {"writable by everyone (as older versions made it)", kTraceShmSize, 0666, true, kRingCapacitySlots},
        {"space not reserved", kTraceShmSize, 0644, false, kRingCapacitySlots},
        {"another capacity", kTraceShmSize, 0644, true, 1024},
    };
    for (const Case& c : cases) {
        {
            PlantedObject left(names_.ring, c.size, c.mode, c.reserve, c.capacity);
            ASSERT_TRUE(left.ok) << c.what;
        }
        CVkShmLogger ring(names_);
        ASSERT_EQ(ring.Attach(), 0) << c.what;
        EXPECT_TRUE(ring.CreatedRing()) << c.what;
        EXPECT_EQ(ring.Write(MakeRecord(1)), PushResult::Ok) << c.what;
        struct stat st {};
        ASSERT_EQ(stat(ShmPath(names_.ring).c_str(), &st), 0);
        EXPECT_EQ(size_t(st.st_size), kTraceShmSize) << c.what;
        EXPECT_EQ(st.st_mode & 07777, 0644u) << c.what;
        ring.Detach();
        EXPECT_FALSE(RingExists()) << c.what;
    }

    // A well-formed ring left behind is simply used again.
    ASSERT_TRUE(PlantProperRing(names_.ring));
    CVkShmLogger ring(names_);
    ASSERT_EQ(ring.Attach(), 0);
    EXPECT_FALSE(ring.CreatedRing());
    ring.Detach();

    // Another user's ring nobody holds: root may and does replace it; that
    // user's processes are not using it.
    if (geteuid() == 0) {
        ASSERT_TRUE(PlantProperRing(names_.ring));
        ASSERT_EQ(chown(ShmPath(names_.ring).c_str(), 65534, 65534), 0);
        ASSERT_EQ(ring.Attach(), 0);
        EXPECT_TRUE(ring.CreatedRing());
    }
}

TEST_F(RingAttachTest, ExclusiveLockOnTheRingCostsAnAttachMillisecondsAndOldMutexNamesNothing) {
    // Older versions locked two more objects; anyone could open and lock
    // those, so they are not used any more: held locks or pipes under their
    // names change nothing.
    const std::string mutexes[] = {"/" + prefix_ + "\\MutexShareMemoryMutext_" + kTraceRingName,
                                   "/" + prefix_ + "\\Mutex{VkMutexForShmLog-4b1a}"};
    int held = shm_open(mutexes[0].c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    ASSERT_EQ(mkfifo(ShmPath(mutexes[1]).c_str(), 0644), 0);
    {
        CVkShmLogger ring(names_);
        EXPECT_EQ(ring.Attach(), 0);
    }
    close(held);
    for (const std::string& name : mutexes) shm_unlink(name.c_str());

    // The ring itself is readable by everyone, so anyone can lock it; a
    // process that finds it locked gives up at once instead of waiting.
    ASSERT_TRUE(PlantProperRing(names_.ring));
    int locker = open(ShmPath(names_.ring).c_str(), O_RDONLY);
    ASSERT_GE(locker, 0);
    ASSERT_EQ(flock(locker, LOCK_EX), 0);
    CVkShmLogger ring(names_);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ring.Attach(), EBUSY);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::milliseconds(500)) << "an attach waited for another process's lock";
    std::printf("attach against a held lock gave up after %.1f ms\n",
                std::chrono::duration<double, std::milli>(waited).count());
    close(locker);
    EXPECT_EQ(ring.Attach(), 0);
    EXPECT_FALSE(ring.CreatedRing());
}

TEST_F(RingAttachTest, FailedAttachIsNotRetriedForAWhileAndItsLinesAreCounted) {
    // A broken object somebody holds: it cannot be used or replaced.
    PlantedObject broken(names_.ring, 100, 0644, false);
    ASSERT_TRUE(broken.ok);
    ASSERT_EQ(flock(broken.fd, LOCK_SH), 0);
    const uint64_t before = DroppedTraceLines();
    TraceBegin();
    TraceLine(TRACE_INFO, "f.cpp", 1, "dropped");
    const uint8_t bytes[3] = {1, 2, 3};
    TraceHex(TRACE_INFO, "f.cpp", 2, bytes, sizeof bytes);
    EXPECT_EQ(TraceEnd(), 0);
    EXPECT_EQ(DroppedTraceLines() - before, 2u);

    // Gone now, but the next exports do not look before their pause is over:
    // their lines are dropped and counted as well.
    close(broken.fd);
    broken.fd = -1;
    shm_unlink(names_.ring.c_str());
    TraceBegin();
    TraceLine(TRACE_INFO, "f.cpp", 3, "dropped too");
    EXPECT_EQ(TraceEnd(), 0);
    EXPECT_FALSE(RingExists());
    EXPECT_EQ(DroppedTraceLines() - before, 3u);

    // Once it is over, the ring is made, and the first line that goes in is
    // told how many went missing before it.
    ResetTraceBackoffForTesting();
    CVkShmLogger viewer(names_);
    TraceBegin();
    ASSERT_EQ(viewer.Attach(), 0);
    TraceLine(TRACE_INFO, "f.cpp", 4, "arrives");
    EXPECT_EQ(TraceEnd(), 0);
    TraceRecord r;
    ASSERT_TRUE(viewer.Queue().Pop(r));
    EXPECT_EQ(Field(r.level), 2u);
    EXPECT_STREQ(r.text, "trace lines dropped: 3");
    ASSERT_TRUE(viewer.Queue().Pop(r));
    EXPECT_STREQ(r.text, "arrives");
    EXPECT_FALSE(viewer.Queue().Pop(r));
}

TEST_F(RingAttachTest, NoRoomInSharedMemoryCreatesNothing) {
    SetShmFreeRoomForTesting(kTraceShmSize - 1);
    CVkShmLogger ring(names_);
    EXPECT_EQ(ring.Attach(), ENOSPC);
    EXPECT_FALSE(RingExists());
    SetShmFreeRoomForTesting(kTraceShmSize);
    EXPECT_EQ(ring.Attach(), 0);
}

TEST_F(RingAttachTest, GarbageCountersNeverLeadOutOfTheRing) {
    CVkShmLogger ring(names_);
    ASSERT_EQ(ring.Attach(), 0);
    CLockfreeArrayQueue& q = ring.Queue();
    auto* hdr = reinterpret_cast<uint32_t*>(q.Base());
    std::mt19937 rng(12345);
    TraceRecord r;
    TraceBegin();
    for (int i = 0; i < 300; ++i) {
        hdr[kRingHead / 4] = rng();
        hdr[kRingTail / 4] = (i % 3 == 0) ? hdr[kRingHead / 4] + 1 : rng();
        hdr[kRingCommit / 4] = (i % 5 == 0) ? hdr[kRingTail / 4] : rng();
        hdr[kRingReaderCount / 4] = (i % 50 == 0) ? rng() : 0;
        PushResult result = ring.Write(MakeRecord(uint32_t(i)));
        EXPECT_NE(result, PushResult::NotAttached);
        TraceLine(TRACE_INFO, "garbage.cpp", i, "line %d", i);
        for (int k = 0; k < 3; ++k) q.Pop(r);
    }
    EXPECT_EQ(TraceEnd(), 0);
    EXPECT_EQ(q.Capacity(), 32768u);
}

}  // namespace
}  // namespace quillon::test
