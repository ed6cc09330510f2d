// Each test runs against its own ring: a prefix unique to the process and
// test replaces "Global" in the object names, and everything created under it
// is removed afterwards.
#pragma once

#include "LockfreeArrayQueue.h"
#include "Trace.h"
#include "TraceObjects.h"
#include "VkShmLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillon::test {

// Members of the packed record may be misaligned; GoogleTest's assertions
// bind references, so they get a copy.
template <typename T>
T Field(T value) {
    return value;
}

// Exit status of a child process, or 128 + the signal that ended it.
inline int WaitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class PrivateRingTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<unsigned> counter{0};
        prefix_ = "QuillonTest-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        names_ = MakeTraceObjectNames(prefix_);
        SetTraceObjectPrefixForTesting(prefix_.c_str());
        ResetTraceBackoffForTesting();
    }

    void TearDown() override {
        // What the trace calls kept attached goes now, not with the next test.
        ReleaseParkedTraceRing();
        SetTraceObjectPrefixForTesting(nullptr);
        SetShmFreeRoomForTesting(UINT64_MAX);
        ResetTraceBackoffForTesting();
        shm_unlink(names_.ring.c_str());
    }

    bool RingExists() const { return access(ShmPath(names_.ring).c_str(), F_OK) == 0; }

    static TraceRecord MakeRecord(uint32_t tag) {
        TraceRecord r{};
        r.level = 1;
        r.line = tag;
        return r;
    }

    // Pushes until the ring reports full; returns how many went in.
    static uint32_t FillRing(CLockfreeArrayQueue& q) {
        uint32_t n = 0;
        while (q.Push(MakeRecord(n)) == PushResult::Ok) ++n;
        return n;
    }

    std::string prefix_;
    TraceObjectNames names_;
};

// An object under a ring name made by hand, the way a broken or foreign
// process (or an older version) might leave it: its size, mode, whether its
// space is reserved, and the header fields written into it. Nobody holds it
// unless the test takes a lock on fd.
struct PlantedObject {
    PlantedObject(const std::string& name, size_t size, mode_t mode, bool reserve,
                  uint32_t capacity = kRingCapacitySlots) {
        fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || fchmod(fd, mode) != 0 || ftruncate(fd, off_t(size)) != 0) return;
        if (reserve && size != 0 && posix_fallocate(fd, 0, off_t(size)) != 0) return;
        const uint32_t header[2] = {uint32_t(kTraceShmSize), capacity};
        ok = size < sizeof header || pwrite(fd, header, sizeof header, 0) == ssize_t(sizeof header);
    }
    ~PlantedObject() {
        if (fd >= 0) close(fd);
    }
    PlantedObject(const PlantedObject&) = delete;
    PlantedObject& operator=(const PlantedObject&) = delete;

    int fd = -1;
    bool ok = false;
};

// A well-formed ring of this process's user, as a writer makes it.
inline bool PlantProperRing(const std::string& name) {
    PlantedObject ring(name, kTraceShmSize, 0644, true);
    return ring.ok;
}

}  // namespace quillon::test
