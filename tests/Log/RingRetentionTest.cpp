// The trace calls keep their ring attachment between exports: what is kept,
// when it is reused, and when it is let go (with the last process out
// unlinking the ring).
#include "Trace.h"
#include "TraceTestSupport.h"

#include <cstdio>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::test {
namespace {

void TraceOnce(const char* text) {
    TraceBegin();
    TraceLine(TRACE_INFO, "retention.cpp", 1, "%s", text);
    TraceEnd();
}

class RingRetentionTest : public PrivateRingTest {
protected:
    ino_t RingInode() const {
        struct stat st {};
        return stat(ShmPath(names_.ring).c_str(), &st) == 0 ? st.st_ino : 0;
    }
};

TEST_F(RingRetentionTest, LastTraceEndKeepsTheAttachmentForTheNextExport) {
    TraceOnce("first");
    // Nobody else has the ring, yet it stays: this process still holds it.
    ASSERT_TRUE(RingExists());
    const void* parked = ParkedTraceRingMapping();
    ASSERT_NE(parked, nullptr);
    ino_t inode = RingInode();

    TraceBegin();
    EXPECT_EQ(ParkedTraceRingMapping(), nullptr);  // the logger has it now
    TraceLine(TRACE_INFO, "retention.cpp", 2, "second");
    EXPECT_EQ(TraceEnd(), 0);
    EXPECT_EQ(ParkedTraceRingMapping(), parked);  // the same mapping, not a new one
    EXPECT_EQ(RingInode(), inode);

    CVkShmLogger viewer(names_);
    ASSERT_EQ(viewer.Attach(), 0);
    EXPECT_FALSE(viewer.CreatedRing());
    EXPECT_EQ(viewer.Queue().Commit() - viewer.Queue().Tail(), 2u);  // both lines arrived
    viewer.Detach();
    EXPECT_TRUE(RingExists());  // the viewer was not the last one

    ReleaseParkedTraceRing();
    EXPECT_FALSE(RingExists());
    EXPECT_EQ(ParkedTraceRingMapping(), nullptr);
}

TEST_F(RingRetentionTest, KeepingLoggerTakesOverWhatTheLastOneParked) {
    CVkShmLogger first(names_, RingRetention::KeepForProcess);
    ASSERT_EQ(first.Attach(), 0);
    EXPECT_TRUE(first.CreatedRing());
    EXPECT_FALSE(first.ReusedAttachment());
    uint8_t* base = first.Queue().Base();
    first.Detach();
    EXPECT_FALSE(first.Queue().IsBound());
    EXPECT_TRUE(RingExists());

    CVkShmLogger second(names_, RingRetention::KeepForProcess);
    ASSERT_EQ(second.Attach(), 0);
    EXPECT_TRUE(second.ReusedAttachment());
    EXPECT_FALSE(second.CreatedRing());
    EXPECT_EQ(second.Queue().Base(), base);
    EXPECT_EQ(second.Write(MakeRecord(7)), PushResult::Ok);

    // While the slot is taken a second keeping logger attaches on its own,
    // and when it detaches the slot is already filled: it lets go for real.
    CVkShmLogger third(names_, RingRetention::KeepForProcess);
    ASSERT_EQ(third.Attach(), 0);
    EXPECT_FALSE(third.ReusedAttachment());
    second.Detach();
    third.Detach();
    EXPECT_TRUE(RingExists());
    ReleaseParkedTraceRing();
    EXPECT_FALSE(RingExists());

    // A logger that does not keep never parks anything.
    CVkShmLogger plain(names_);
    ASSERT_EQ(plain.Attach(), 0);
    plain.Detach();
    EXPECT_EQ(ParkedTraceRingMapping(), nullptr);
    EXPECT_FALSE(RingExists());
}

TEST_F(RingRetentionTest, SwitchingObjectNamesReleasesTheOldRing) {
    TraceOnce("under the first names");
    ASSERT_TRUE(RingExists());

    std::string otherPrefix = prefix_ + "-other";
    TraceObjectNames other = MakeTraceObjectNames(otherPrefix);
    SetTraceObjectPrefixForTesting(otherPrefix.c_str());
    TraceOnce("under other names");
    // This process was the last holder of the first ring: it is gone.
    EXPECT_FALSE(RingExists());
    EXPECT_EQ(access(ShmPath(other.ring).c_str(), F_OK), 0);

    ReleaseParkedTraceRing();
    EXPECT_NE(access(ShmPath(other.ring).c_str(), F_OK), 0);
    shm_unlink(other.ring.c_str());
}

TEST_F(RingRetentionTest, RingWhoseCapacityWasOverwrittenBetweenExportsIsNotWritten) {
    CVkShmLogger viewer(names_);
    ASSERT_EQ(viewer.Attach(), 0);
    CLockfreeArrayQueue& q = viewer.Queue();
    TraceOnce("before");
    ASSERT_EQ(q.Head(), 1u);
    ASSERT_NE(ParkedTraceRingMapping(), nullptr);

    auto* capacity = reinterpret_cast<uint32_t*>(q.Base() + kRingCapacity);
    *capacity = 4096;
    TraceOnce("dropped");
    EXPECT_EQ(q.Head(), 1u);
    EXPECT_EQ(ParkedTraceRingMapping(), nullptr);  // the kept attachment was let go
    EXPECT_TRUE(RingExists());                     // the viewer still holds it

    // The failed attach is not tried again at once; after the pause the
    // repaired ring is used, and told about the line it missed.
    *capacity = kRingCapacitySlots;
    TraceOnce("also dropped");
    EXPECT_EQ(q.Head(), 1u);
    ResetTraceBackoffForTesting();
    TraceOnce("after the repair");
    EXPECT_EQ(q.Head(), 3u);
    EXPECT_STREQ(reinterpret_cast<const TraceRecord*>(q.Slot(1))->text, "trace lines dropped: 2");
    EXPECT_STREQ(reinterpret_cast<const TraceRecord*>(q.Slot(2))->text, "after the repair");
    EXPECT_NE(ParkedTraceRingMapping(), nullptr);
}

TEST_F(RingRetentionTest, ForkedChildNeverUsesOrReleasesItsParentsAttachment) {
    TraceOnce("parent");
    const void* parked = ParkedTraceRingMapping();
    ASSERT_NE(parked, nullptr);

    // A child that lets go of what it inherited must not take the parent's
    // ring with it (it shares the parent's lock, so it would look last).
    pid_t child = fork();
    if (child == 0) {
        ReleaseParkedTraceRing();
        _exit(access(ShmPath(names_.ring).c_str(), F_OK) == 0 ? 0 : 1);
    }
    EXPECT_EQ(WaitExit(child), 0);
    EXPECT_TRUE(RingExists());

    // A child that traces attaches on its own; letting go of that does not
    // unlink the ring either, since the parent still holds it.
    child = fork();
    if (child == 0) {
        TraceOnce("child");
        bool fresh = ParkedTraceRingMapping() != nullptr;
        ReleaseParkedTraceRing();
        bool kept = access(ShmPath(names_.ring).c_str(), F_OK) == 0;
        _exit(fresh && kept ? 0 : 1);
    }
    EXPECT_EQ(WaitExit(child), 0);
    EXPECT_TRUE(RingExists());
    EXPECT_EQ(ParkedTraceRingMapping(), parked);

    CVkShmLogger viewer(names_);
    ASSERT_EQ(viewer.Attach(), 0);
    EXPECT_EQ(viewer.Queue().Commit(), 2u);  // both lines went into the one ring
    viewer.Detach();
    ReleaseParkedTraceRing();
    EXPECT_FALSE(RingExists());
}

TEST_F(RingRetentionTest, RingIsUnlinkedWhenTheLastTracingProcessExits) {
    std::string command = std::string(QUILLON_TRACE_EXIT_HELPER) + " " + prefix_;
    FILE* out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    char line[64] = {};
    ASSERT_NE(fgets(line, sizeof line, out), nullptr);
    EXPECT_EQ(pclose(out), 0);
    EXPECT_STREQ(line, "kept\n");  // attached until the process ended
    EXPECT_FALSE(RingExists());    // and then let go as the last one

    // With another holder the exiting process leaves the ring alone.
    CVkShmLogger viewer(names_);
    ASSERT_EQ(viewer.Attach(), 0);
    out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    while (fgets(line, sizeof line, out) != nullptr) {}
    EXPECT_EQ(pclose(out), 0);
    EXPECT_TRUE(RingExists());
    EXPECT_EQ(viewer.Queue().Commit(), 1u);
}

TEST_F(RingRetentionTest, UnloadingTheModuleReleasesItsRing) {
    void* module = dlopen(QUILLON_TRACE_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto run = reinterpret_cast<int (*)(const char*)>(dlsym(module, "QuillonTraceModuleRun"));
    ASSERT_NE(run, nullptr) << dlerror();
    ASSERT_EQ(run(prefix_.c_str()), 0);
    EXPECT_TRUE(RingExists());                     // kept by the module's own trace facility
    EXPECT_EQ(ParkedTraceRingMapping(), nullptr);  // not by this program's

    ASSERT_EQ(dlclose(module), 0);
    ASSERT_EQ(dlopen(QUILLON_TRACE_MODULE, RTLD_NOW | RTLD_NOLOAD), nullptr) << "module stayed loaded";
    EXPECT_FALSE(RingExists());
}

}  // namespace
}  // namespace quillon::test
