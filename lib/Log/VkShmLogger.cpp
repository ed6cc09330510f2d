#include "VkShmLogger.h"

#include "Trace.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon {

namespace {

// Exclusive locks on a ring are held only by a process finding out, for a
// few microseconds, whether it is the last one out; anything longer is
// another user holding the ring to keep us out, and is not waited for.
constexpr unsigned kSharedLockWaitMs = 5;
// Reopen attempts when the name was unlinked or replaced under us.
constexpr unsigned kOpenAttempts = 4;

// The ring starts after the object's 4-byte total-size field.
uint8_t* RingStart(void* map) { return static_cast<uint8_t*>(map) + 4; }

bool TakeSharedLock(int fd) {
    for (unsigned waited = 0;; ++waited) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || waited >= kSharedLockWaitMs) return false;
        usleep(1000);
    }
}

// A ring this process may map and write: its own, writable by nobody else
// (so nobody else can shrink it under the mapping, which would fault every
// write), exactly the expected size and with all of its space reserved (so
// a full /dev/shm cannot fault a write either).
bool MayWriteInto(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
           st.st_size == static_cast<off_t>(kTraceShmSize) &&
           static_cast<uint64_t>(st.st_blocks) * 512 >= static_cast<uint64_t>(kTraceShmSize);
}

bool HeaderIsExpected(void* map) {
    CLockfreeArrayQueue queue;
    queue.Bind(RingStart(map));
    return __atomic_load_n(static_cast<uint32_t*>(map), __ATOMIC_ACQUIRE) == static_cast<uint32_t>(kTraceShmSize) &&
           queue.HasExpectedCapacity();
}

// Links a complete, unnamed object under the ring's name; never replaces
// an object that is there already (EEXIST).
int Publish(int fd, const std::string& path) {
    if (linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return 0;
    if (errno == EEXIST) return EEXIST;
    // Without CAP_DAC_READ_SEARCH an unnamed file is linked through /proc.
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    return errno;
}

// The slot for the parked attachment: 0 when empty, kSlotClosed once the
// process is exiting (or the library unloading), else a RingAttachment*.
// A lock-free word rather than a mutex: a fork() never leaves it taken in the
// child, and being trivially destructible it is still usable by a logger that
// detaches after the releaser below has run.
std::atomic<uintptr_t> g_parkSlot{0};
constexpr uintptr_t kSlotClosed = 1;

RingAttachment* TakeParked() {
    uintptr_t value = g_parkSlot.load();
    while (value != 0 && value != kSlotClosed) {
        if (g_parkSlot.compare_exchange_weak(value, 0)) return reinterpret_cast<RingAttachment*>(value);
    }
    return nullptr;
}

// Hands back the parked attachment if it serves these names in this process;
// anything else parked is let go on the way (other names: released with the
// lifetime rule; inherited from a parent: just dropped).
std::unique_ptr<RingAttachment> Unpark(const TraceObjectNames& names) {
    std::unique_ptr<RingAttachment> parked(TakeParked());
    if (parked && !parked->Inherited() && parked->names == names) return parked;
    return nullptr;  // the destructor releases whatever was parked
}

// Parks the attachment, or gives it back when the slot is taken or closed.
std::unique_ptr<RingAttachment> Park(std::unique_ptr<RingAttachment> attachment) {
    if (attachment->Inherited()) return attachment;
    uintptr_t empty = 0;
    if (!g_parkSlot.compare_exchange_strong(empty, reinterpret_cast<uintptr_t>(attachment.get()))) {
        return attachment;
    }
    attachment.release();
    return nullptr;
}

// Static destructor: runs at exit() and when the library is unloaded.
struct ParkedRingReleaser {
    ~ParkedRingReleaser() {
        uintptr_t value = g_parkSlot.exchange(kSlotClosed);
        if (value != 0 && value != kSlotClosed) delete reinterpret_cast<RingAttachment*>(value);
    }
} g_parkedRingReleaser;

}  // namespace

RingAttachment::RingAttachment(const TraceObjectNames& objectNames) : names(objectNames) {}

RingAttachment::~RingAttachment() { Release(); }

bool RingAttachment::Inherited() const { return fd >= 0 && pid != static_cast<pid_t>(ThisProcessId()); }

uint8_t* RingAttachment::Ring() const { return map ? RingStart(map) : nullptr; }

bool RingAttachment::HasExpectedHeader() const { return map != nullptr && HeaderIsExpected(map); }

int RingAttachment::Open(RingCreation creation) {
    const std::string path = ShmPath(names.ring);
    // A ring this process made is kept across the attempts below: making
    // one (reserving its space) is the slow part, done once at most.
    UnnamedRing made;
    for (unsigned attempt = 0; attempt < kOpenAttempts; ++attempt) {
        // O_NONBLOCK: anyone may put a FIFO under the name first, and
        // opening one would wait for its other end.
        const int existing = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (existing < 0) {
            const int err = errno;
            // A symbolic link is never followed (it leads anywhere), and
            // nobody can be using one as the ring: whoever may remove it does.
            if (err == ELOOP && creation == RingCreation::CreateIfAbsent && RemoveLink(path)) continue;
            if (err != ENOENT) return err;  // another user's object, a directory...
            if (creation == RingCreation::OpenOnly) return ENOENT;
            if (!made.Mapped()) {
                if (const int rc = made.Make(); rc != 0) return rc;
            }
            const int rc = Publish(made.fd, path);
            if (rc == EEXIST) continue;  // somebody was quicker: see what it is
            if (rc != 0) return rc;
            Adopt(made.fd, made.map, true);
            made.fd = -1;
            made.map = nullptr;
            return 0;
        }
        struct stat st {};
        if (fstat(existing, &st) != 0) {
            const int err = errno;
            close(existing);
            return err;
        }
        if (MayWriteInto(st)) {
            if (!TakeSharedLock(existing)) {
                close(existing);
                return EBUSY;
            }
            if (!NameStillNames(existing, names.ring)) {
                // The last holder unlinked it between our open and our lock.
                close(existing);
                continue;
            }
            void* mapped = mmap(nullptr, kTraceShmSize, PROT_READ | PROT_WRITE, MAP_SHARED, existing, 0);
            if (mapped == MAP_FAILED) {
                const int err = errno;
                close(existing);
                return err;
            }
            if (HeaderIsExpected(mapped)) {
                Adopt(existing, mapped, false);
                return 0;
            }
            munmap(mapped, kTraceShmSize);
            flock(existing, LOCK_UN);
        }
        // Not a ring this process may use. Left behind by somebody (nobody
        // holds it), it would otherwise switch tracing off until removed by
        // hand: whoever may remove it (its owner, or root) makes a new one.
        const bool replaced = creation == RingCreation::CreateIfAbsent && RemoveIfUnused(existing);
        close(existing);
        if (!replaced) return EPROTO;
    }
    return EAGAIN;
}

void RingAttachment::Adopt(int ringFd, void* mapped, bool made) {
    fd = ringFd;
    map = mapped;
    created = made;
    pid = static_cast<pid_t>(ThisProcessId());
}

bool RingAttachment::RemoveIfUnused(int objectFd) const {
    // Every process using a ring holds a shared lock on it.
    if (flock(objectFd, LOCK_EX | LOCK_NB) != 0) return false;
    return NameStillNames(objectFd, names.ring) && shm_unlink(names.ring.c_str()) == 0;
}

bool RingAttachment::RemoveLink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && unlink(path.c_str()) == 0;
}

RingAttachment::UnnamedRing::~UnnamedRing() {
    if (map != nullptr) munmap(map, kTraceShmSize);
    if (fd >= 0) close(fd);  // an unnamed object goes with its last descriptor
}

int RingAttachment::UnnamedRing::Make() {
    // Reserving the space is what keeps a write from faulting later; refuse
    // early rather than reserve most of it and give it back.
    if (ShmFreeRoom() < kTraceShmSize) return ENOSPC;
    // Unnamed until complete: nobody sees the ring before its space is
    // reserved and its header written, so nobody waits for it either.
    fd = open(ShmDirectory(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    if (ftruncate(fd, static_cast<off_t>(kTraceShmSize)) != 0) return errno;
    if (const int rc = posix_fallocate(fd, 0, static_cast<off_t>(kTraceShmSize)); rc != 0) return rc;
    void* mapped = mmap(nullptr, kTraceShmSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) return errno;
    map = mapped;
    __atomic_store_n(static_cast<uint32_t*>(map), static_cast<uint32_t>(kTraceShmSize), __ATOMIC_RELEASE);
    CLockfreeArrayQueue queue;
    queue.Bind(RingStart(map));
    queue.Initialise();
    // Readable by every user's viewer whatever the umask; writable by its
    // owner only. Locked before it has a name, so no process leaving at
    // that moment can take it for unused.
    if (fchmod(fd, 0644) != 0 || flock(fd, LOCK_SH | LOCK_NB) != 0) {
        const int err = errno;
        munmap(map, kTraceShmSize);
        map = nullptr;
        return err;
    }
    return 0;
}

void RingAttachment::Close(bool mayUnlink) {
    if (map) munmap(map, kTraceShmSize);
    map = nullptr;
    if (fd < 0) return;
    // Everyone attached holds a shared lock; getting the exclusive one means
    // no other process has the ring open, so the name can go. A forked child
    // inherited its parent's open file description and with it the parent's
    // lock: locking it would only convert the parent's lock, so the child
    // just lets go.
    if (Inherited()) mayUnlink = false;
    if (mayUnlink && flock(fd, LOCK_EX | LOCK_NB) == 0 && NameStillNames(fd, names.ring)) {
        shm_unlink(names.ring.c_str());
    }
    close(fd);
    fd = -1;
    created = false;
}

void RingAttachment::Release() { Close(!Inherited()); }

void ReleaseParkedTraceRing() {
    delete TakeParked();  // releases, or just drops what a parent left behind
}

const void* ParkedTraceRingMapping() {
    // Only for tests, which do not attach from other threads meanwhile.
    uintptr_t value = g_parkSlot.load();
    return value != 0 && value != kSlotClosed ? reinterpret_cast<RingAttachment*>(value)->map : nullptr;
}

CVkShmLogger::CVkShmLogger() : CVkShmLogger(CurrentTraceObjectNames()) {}

CVkShmLogger::CVkShmLogger(const TraceObjectNames& names, RingRetention retention)
    : m_names(names), m_retention(retention) {}

CVkShmLogger::~CVkShmLogger() { Detach(); }

int CVkShmLogger::Attach(RingCreation creation) {
    if (m_attached) return 0;
    if (m_retention == RingRetention::KeepForProcess) {
        // The parked attachment has held its shared lock all along, so no
        // other process can have unlinked the ring meanwhile: it is still the
        // live object. Only its header may have been overwritten (by a
        // process of the same user: nobody else can write it).
        if (auto parked = Unpark(m_names)) {
            if (parked->HasExpectedHeader()) {
                m_attachment = std::move(parked);
                UseAttachment(true);
                return 0;
            }
            // Released here with the lifetime rule; a fresh attach follows.
        }
    }
    return AttachFresh(creation);
}

int CVkShmLogger::AttachFresh(RingCreation creation) {
    if (!m_attachment || m_attachment->Inherited()) {
        m_attachment = std::make_unique<RingAttachment>(m_names);
    }
    const int rc = m_attachment->Open(creation);
    if (rc != 0) {
        QTRACE(TRACE_WARNING, "u4Result = %08X", static_cast<unsigned>(rc));
    } else {
        UseAttachment(false);
    }
    return rc;
}

void CVkShmLogger::UseAttachment(bool reused) {
    m_queue.Bind(m_attachment->Ring());
    m_attached = true;
    m_reused = reused;
    m_created = !reused && m_attachment->created;
}

void CVkShmLogger::Detach() {
    if (!m_attached) return;
    m_attached = false;
    if (m_reader) {
        m_queue.UnregisterReader();
        m_reader = false;
    }
    m_queue.Unbind();
    if (m_retention == RingRetention::KeepForProcess) {
        m_attachment = Park(std::move(m_attachment));
        if (!m_attachment) return;
    }
    m_attachment->Release();
}

bool CVkShmLogger::RegisterAsReader() {
    if (!m_attached || m_reader) return m_reader;
    m_reader = m_queue.RegisterReader();
    return m_reader;
}

PushResult CVkShmLogger::Write(const TraceRecord& record) {
    if (!m_attached) return PushResult::NotAttached;
    uint32_t progress = m_queue.ReaderProgress();
    unsigned stalled = 0;
    for (unsigned round = 0; round < kMaxPolicyRounds; ++round) {
        PushResult result = m_queue.Push(record);
        if (result != PushResult::Full) return result;

        if (m_queue.ReaderCount() == 0) {
            m_queue.Discard(kRingDiscardBatch);
            continue;
        }
        uint32_t now = m_queue.ReaderProgress();
        if (now != progress) {
            progress = now;
            stalled = 0;
            sched_yield();
            continue;
        }
        if (++stalled > kStalledReaderRounds) {
            // The reader has stopped consuming: it is taken for dead.
            m_queue.Discard(kRingDiscardBatch);
            stalled = 0;
            m_queue.SetReaderCount(0);
        } else {
            usleep(1000);
        }
    }
    return PushResult::Busy;
}

}  // namespace quillon
