// The ring-writer sink: attaches this process to the machine-wide trace ring
// (creating it when absent) and applies the full-ring policy on each write.
//
// Lifetime on Linux, where objects are not handle-counted: every attached
// process holds a shared flock() on the ring's shm descriptor; a detaching
// process that can then lock it exclusively is the last one and unlinks the
// object. docs/trace-ring.md has the whole protocol.
#pragma once

#include "LockfreeArrayQueue.h"
#include "TraceObjects.h"

#include <cstdint>
#include <sys/types.h>

namespace quillon {

class CVkShmLogger {
public:
    CVkShmLogger();  // production names, or the prefix a test chose
    explicit CVkShmLogger(const TraceObjectNames& names);
    ~CVkShmLogger();
    CVkShmLogger(const CVkShmLogger&) = delete;
    CVkShmLogger& operator=(const CVkShmLogger&) = delete;

    // 0 on success, else an errno-style code. Attaching twice is a no-op.
    int Attach();
    void Detach();
    bool IsAttached() const { return m_attached; }

    // Writer policy around one push (waits only while a registered reader
    // makes progress; bounded in any case).
    PushResult Write(const TraceRecord& record);

    // For viewers: counts this process as a reader until Detach.
    bool RegisterAsReader();

    CLockfreeArrayQueue& Queue() { return m_queue; }
    const TraceObjectNames& Names() const { return m_names; }
    // Whether the last successful Attach created the object.
    bool CreatedRing() const { return m_created; }

    // Rounds of the full-ring policy before a line is given up.
    static constexpr unsigned kMaxPolicyRounds = 2000;
    // 1-ms waits without reader progress before the reader is taken for dead.
    static constexpr unsigned kStalledReaderRounds = 100;

private:
    int OpenRing();
    void CloseRing(bool mayUnlink);

    TraceObjectNames m_names;
    CNamedMutex m_attachMutex;
    CLockfreeArrayQueue m_queue;
    int m_fd = -1;
    void* m_map = nullptr;
    bool m_attached = false;
    bool m_reader = false;
    bool m_created = false;
    pid_t m_attachedPid = 0;  // a forked child shares the parent's lock, not its own
};

}  // namespace quillon
