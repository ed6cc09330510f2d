// QUILLON_TRACE=0 keeps a process off the trace ring: the exports behave as
// before, create no shared-memory object and write nothing into a ring that
// someone else made. Without the setting the same calls do trace, so the
// checks cannot pass merely by looking at the wrong names.
#include "CommandTestSupport.h"

#include "LockfreeArrayQueue.h"
#include "Trace.h"
#include "TraceObjects.h"
#include "VkShmLogger.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

using namespace quillon;
using namespace quillon::testing;

namespace {

const char* kKey = "6B3F09D2A4C8571E90B2D6F4138A5C7E";

class TraceSwitchTest : public CommandTest {
protected:
    void SetUp() override {
        CommandTest::SetUp();
        static std::atomic<unsigned> counter{0};
        prefix_ = "QuillonTraceSwitch-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        names_ = MakeTraceObjectNames(prefix_);
        SetTraceObjectPrefixForTesting(prefix_.c_str());
        ResetTraceBackoffForTesting();
    }
    void TearDown() override {
        unsetenv("QUILLON_TRACE");
        ReleaseParkedTraceRing();
        SetTraceObjectPrefixForTesting(nullptr);
        shm_unlink(names_.ring.c_str());
        CommandTest::TearDown();
    }

    // The shm objects of the test's names that exist now: the ring, and
    // the two mutex objects older versions made beside it.
    std::vector<std::string> ObjectsPresent() const {
        std::vector<std::string> present;
        for (const std::string& name : {names_.ring, "/" + prefix_ + "\\MutexShareMemoryMutext_" + kTraceRingName,
                                        "/" + prefix_ + "\\Mutex{VkMutexForShmLog-4b1a}"})
            if (access(ShmPath(name).c_str(), F_OK) == 0) present.push_back(name);
        return present;
    }

    // Exports of every kind of trace: started at entry with enter/leave lines
    // (CardVerify, two exchanges), started once the session is open
    // (CardReadSnAndTime), an error line with a code (a failed CardInitKey
    // exchange) and none at all (CardDeleteSeed). Their results must not
    // depend on tracing.
    void RunExports() {
        pcscdouble::Reset();
        pcscdouble::SetResponder([](const pcscdouble::Bytes& cmd) {
            if (cmd.size() >= 2 && cmd[1] == 0x41) return Hex("01 02 03 04 41 42 00 EE EE 00 00 00 3C 90 00");
            return Hex("01 02 03 04 05 06 07 08 90 00");
        });
        EXPECT_EQ(CardVerify(kReader, kKey), CARD_OK);
        char serial[16], clock[32];
        uint32_t serialLen = sizeof serial, clockLen = sizeof clock;
        EXPECT_EQ(CardReadSnAndTime(kReader, 0, serial, &serialLen, clock, &clockLen), CARD_OK);
        EXPECT_EQ(std::string(serial, serialLen), "AB");
        EXPECT_EQ(CardDeleteSeed(kReader, 3), CARD_OK);
        pcscdouble::FailTransmitAt(static_cast<int>(pcscdouble::TransmitCount()),
                                   static_cast<LONG>(SCARD_W_REMOVED_CARD));
        EXPECT_EQ(CardInitKey(kReader), CARD_E_EXCHANGE);
    }

    std::string prefix_;
    TraceObjectNames names_;
};

TEST_F(TraceSwitchTest, ZeroCreatesNoRingObject) {
    ASSERT_TRUE(ObjectsPresent().empty());
    setenv("QUILLON_TRACE", "0", 1);
    RunExports();
    EXPECT_EQ(ObjectsPresent(), std::vector<std::string>{});

    // Only "0" switches it off.
    setenv("QUILLON_TRACE", "1", 1);
    RunExports();
    EXPECT_EQ(ObjectsPresent(), std::vector<std::string>{names_.ring});
}

TEST_F(TraceSwitchTest, ZeroWritesNothingIntoAnExistingRing) {
    CVkShmLogger viewer(names_);
    ASSERT_EQ(viewer.Attach(), 0);
    ASSERT_TRUE(viewer.RegisterAsReader());
    auto drain = [&viewer] {
        size_t records = 0;
        TraceRecord record;
        while (viewer.Queue().Pop(record)) ++records;
        return records;
    };

    setenv("QUILLON_TRACE", "0", 1);
    RunExports();
    EXPECT_EQ(drain(), 0u);

    unsetenv("QUILLON_TRACE");
    RunExports();
    // CardVerify: enter, command, label, answer, leave; CardReadSnAndTime:
    // label, answer; CardInitKey: the error line.
    EXPECT_EQ(drain(), 8u);
}

}  // namespace
