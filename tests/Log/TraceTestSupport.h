// Each test runs against its own ring: a prefix unique to the process and
// test replaces "Global" in the object names, and everything created under it
// is removed afterwards.
#pragma once

#include "LockfreeArrayQueue.h"
#include "TraceObjects.h"
#include "VkShmLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <sys/mman.h>
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
    }

    void TearDown() override {
        // What the trace calls kept attached goes now, not with the next test.
        ReleaseParkedTraceRing();
        SetTraceObjectPrefixForTesting(nullptr);
        SetShmFreeRoomForTesting(UINT64_MAX);
        shm_unlink(names_.ring.c_str());
        shm_unlink(names_.ringMutex.c_str());
        shm_unlink(names_.attachMutex.c_str());
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

}  // namespace quillon::test
