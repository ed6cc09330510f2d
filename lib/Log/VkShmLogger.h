// The ring-writer sink: attaches this process to the machine-wide trace ring
// (creating it when absent) and applies the full-ring policy on each write.
//
// Lifetime on Linux, where objects are not handle-counted: every attached
// process holds a shared flock() on the ring's shm descriptor; a process that
// lets go and can then lock it exclusively is the last one and unlinks the
// object. docs/trace-ring.md has the whole protocol.
//
// The ring is shared with every local user, so nothing found under its name
// is trusted: a process writes only into a ring that it owns, that nobody
// else can write (let alone truncate), whose space was reserved when it was
// made (a full /dev/shm cannot fault a write) and whose size and header are
// the expected ones. A ring is made complete and unnamed, and only then
// linked under its name, so there is never a half-made object to wait for:
// an attach waits a few milliseconds at most for anything, and a failed one
// is not retried for a while (Trace.cpp), so whatever another user does to
// the ring costs a traced command almost nothing and never its result.
//
// Every export of the library attaches and detaches once, and a full attach
// costs a dozen system calls and a 167 MB mapping. A logger made with
// RingRetention::KeepForProcess therefore parks its attachment (mapping and
// shared lock) in a process-wide slot when it detaches, and the next such
// logger for the same object names takes it over. The parked attachment is
// really let go (with the last-one-unlinks rule) when the process exits or
// the library is unloaded, when a logger for other names comes along, and
// when the ring's header no longer checks out.
#pragma once

#include "LockfreeArrayQueue.h"
#include "TraceObjects.h"

#include <cstdint>
#include <memory>
#include <sys/types.h>

namespace quillon {

enum class RingRetention {
    ReleaseOnDetach,  // viewers and tests: detaching lets go of everything
    KeepForProcess,   // the trace calls: detaching parks the attachment
};

enum class RingCreation {
    CreateIfAbsent,  // writers
    OpenOnly,        // viewers: never make a ring, never remove one
};

// What an attachment holds at the OS level. Owned by one logger at a time,
// or parked in the process-wide slot.
struct RingAttachment {
    explicit RingAttachment(const TraceObjectNames& objectNames);
    ~RingAttachment();  // releases the ring as a detach does
    RingAttachment(const RingAttachment&) = delete;
    RingAttachment& operator=(const RingAttachment&) = delete;

    bool Mapped() const { return map != nullptr; }
    // Opens and maps the ring, creating it when absent (and when allowed).
    // An object under the name that this process may not write into is
    // never mapped; with CreateIfAbsent it is replaced when nobody holds it
    // and this process may remove it. Returns 0 or an errno value: ENOENT
    // (OpenOnly, no ring), EBUSY (another process holds it exclusively),
    // EPROTO (not a ring this process may use), or what the system said.
    int Open(RingCreation creation = RingCreation::CreateIfAbsent);
    // Unmaps and closes. When mayUnlink and this process holds the only lock
    // on the object, the name goes too. A process that did not open the
    // descriptor (a forked child) never unlinks.
    void Close(bool mayUnlink);
    // Close, unlinking if this was the last holder.
    void Release();
    // Whether the descriptor was opened by another process (inherited over
    // fork()): then it is only ever dropped, never used.
    bool Inherited() const;
    // Start of the ring in the mapping (null when not mapped), and whether
    // its size and capacity fields still hold what every process expects.
    uint8_t* Ring() const;
    bool HasExpectedHeader() const;

    TraceObjectNames names;
    int fd = -1;
    void* map = nullptr;
    bool created = false;
    pid_t pid = 0;  // process that opened fd and holds the shared lock through it

private:
    // A complete ring, its space reserved, mapped and locked, but not yet
    // linked under its name; dropped by the destructor unless taken over.
    struct UnnamedRing {
        int fd = -1;
        void* map = nullptr;
        UnnamedRing() = default;
        ~UnnamedRing();
        UnnamedRing(const UnnamedRing&) = delete;
        UnnamedRing& operator=(const UnnamedRing&) = delete;
        bool Mapped() const { return map != nullptr; }
        int Make();  // 0 or an errno value
    };

    void Adopt(int ringFd, void* mapped, bool made);
    // Unlinks the object behind objectFd when no process holds it.
    bool RemoveIfUnused(int objectFd) const;
    static bool RemoveLink(const std::string& path);
};

class CVkShmLogger {
public:
    CVkShmLogger();  // production names, or the prefix a test chose
    explicit CVkShmLogger(const TraceObjectNames& names, RingRetention retention = RingRetention::ReleaseOnDetach);
    ~CVkShmLogger();
    CVkShmLogger(const CVkShmLogger&) = delete;
    CVkShmLogger& operator=(const CVkShmLogger&) = delete;

    // 0 on success, else an errno-style code (RingAttachment::Open).
    // Attaching twice is a no-op.
    int Attach(RingCreation creation = RingCreation::CreateIfAbsent);
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
    // Whether the last successful Attach took over the parked attachment.
    bool ReusedAttachment() const { return m_reused; }

    // Rounds of the full-ring policy before a line is given up.
    static constexpr unsigned kMaxPolicyRounds = 2000;
    // 1-ms waits without reader progress before the reader is taken for dead.
    static constexpr unsigned kStalledReaderRounds = 100;

private:
    int AttachFresh(RingCreation creation);
    // Binds the queue to m_attachment, which is mapped, and records how it
    // was come by.
    void UseAttachment(bool reused);

    TraceObjectNames m_names;
    RingRetention m_retention;
    std::unique_ptr<RingAttachment> m_attachment;  // null only while the slot has it
    CLockfreeArrayQueue m_queue;
    bool m_attached = false;
    bool m_reader = false;
    bool m_created = false;
    bool m_reused = false;
};

// Lets go of the parked attachment now (unlinking the ring if no other
// process holds it). Runs by itself when the process exits or the library is
// unloaded; tests call it to see the ring go.
void ReleaseParkedTraceRing();

// Start of the parked mapping, or null when nothing is parked (tests).
const void* ParkedTraceRingMapping();

}  // namespace quillon
