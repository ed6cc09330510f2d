#include "VkShmLogger.h"

#include "Trace.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon {

namespace {

// Shared locks are only refused while a detaching process briefly holds the
// exclusive one to find out whether it is the last.
constexpr unsigned kSharedLockTries = 200;
// Reopen attempts when the name was unlinked between open and lock.
constexpr unsigned kOpenAttempts = 8;

// The ring starts after the object's 4-byte total-size field.
uint8_t* RingStart(void* map) { return static_cast<uint8_t*>(map) + 4; }

bool TakeSharedLock(int fd) {
    for (unsigned i = 0; i < kSharedLockTries; ++i) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        usleep(1000);
    }
    return false;
}

// Whether the name still refers to the object behind fd; the fstat result
// goes to byFd when asked for (it carries the size as well).
bool NameStillNames(int fd, const std::string& name, struct stat* byFd) {
    struct stat own {};
    struct stat byName {};
    if (byFd == nullptr) byFd = &own;
    if (fstat(fd, byFd) != 0) return false;
    if (stat(ShmPath(name).c_str(), &byName) != 0) return false;
    return byFd->st_dev == byName.st_dev && byFd->st_ino == byName.st_ino;
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

RingAttachment::RingAttachment(const TraceObjectNames& objectNames)
    : names(objectNames), attachMutex(objectNames.attachMutex), ringMutex(objectNames.ringMutex) {}

RingAttachment::~RingAttachment() { Release(); }

bool RingAttachment::Inherited() const { return fd >= 0 && pid != getpid(); }

uint8_t* RingAttachment::Ring() const { return map ? RingStart(map) : nullptr; }

bool RingAttachment::HasExpectedCapacity() const {
    CLockfreeArrayQueue queue;
    queue.Bind(Ring());
    return queue.HasExpectedCapacity();
}

int RingAttachment::Open() {
    int rc = ringMutex.Lock(kNamedMutexTimeoutMs);
    if (rc != 0) return rc;
    rc = OpenUnderRingMutex();
    ringMutex.Unlock();
    return rc;
}

int RingAttachment::OpenUnderRingMutex() {
    for (unsigned attempt = 0; attempt < kOpenAttempts; ++attempt) {
        bool made = false;
        int ringFd = shm_open(names.ring.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC, 0);
        if (ringFd < 0) {
            if (errno != ENOENT) return errno;
            // tmpfs hands out pages only when they are first written; a ring
            // that could not be backed would kill the writer with SIGBUS
            // later, so insist on the room now.
            if (ShmFreeRoom() < kTraceShmSize) return ENOSPC;
            ringFd = shm_open(names.ring.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (ringFd < 0) {
                if (errno == EEXIST) continue;
                return errno;
            }
            fchmod(ringFd, 0666);  // readable and writable by every user's viewer
            // A new tmpfs object reads as zeros; touching its pages would
            // only cost memory.
            if (ftruncate(ringFd, static_cast<off_t>(kTraceShmSize)) != 0) {
                int err = errno;
                shm_unlink(names.ring.c_str());
                close(ringFd);
                return err;
            }
            made = true;
        }

        // A ring this process created but could not finish must not stay
        // behind with capacity 0, failing every later attach.
        auto abandon = [&](int code) {
            if (made) shm_unlink(names.ring.c_str());
            close(ringFd);
            return code;
        };
        if (!TakeSharedLock(ringFd)) return abandon(EWOULDBLOCK);
        struct stat st {};
        if (!NameStillNames(ringFd, names.ring, &st)) {
            // The last holder unlinked it between our open and our lock.
            close(ringFd);
            continue;
        }
        if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(kTraceShmSize)) {
            // Mapping past the end of the object would raise SIGBUS on use.
            return abandon(EINVAL);
        }
        void* mapped = mmap(nullptr, kTraceShmSize, PROT_READ | PROT_WRITE, MAP_SHARED, ringFd, 0);
        if (mapped == MAP_FAILED) return abandon(errno);
        CLockfreeArrayQueue queue;
        queue.Bind(RingStart(mapped));
        if (made) {
            const uint32_t total = static_cast<uint32_t>(kTraceShmSize);
            __atomic_store_n(static_cast<uint32_t*>(mapped), total, __ATOMIC_SEQ_CST);
            queue.Initialise();
        } else if (!queue.HasExpectedCapacity()) {
            munmap(mapped, kTraceShmSize);
            close(ringFd);
            return EPROTO;
        }
        fd = ringFd;
        map = mapped;
        created = made;
        pid = getpid();
        return 0;
    }
    return EAGAIN;
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
    if (mayUnlink && flock(fd, LOCK_EX | LOCK_NB) == 0 && NameStillNames(fd, names.ring, nullptr)) {
        shm_unlink(names.ring.c_str());
    }
    close(fd);
    fd = -1;
    created = false;
}

void RingAttachment::Release() {
    if (fd < 0 || Inherited()) {
        Close(false);
        return;
    }
    // Without the mutex the mapping is still released, but the name is left
    // alone: unlinking it could race with a process that is attaching.
    bool locked = attachMutex.Lock(kNamedMutexTimeoutMs) == 0;
    Close(locked);
    if (locked) attachMutex.Unlock();
}

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

int CVkShmLogger::Attach() {
    if (m_attached) return 0;
    if (m_retention == RingRetention::KeepForProcess) {
        // The parked attachment has held its shared lock all along, so no
        // other process can have unlinked the ring meanwhile: it is still the
        // live object and needs no attach/detach mutex. Only its capacity may
        // have been overwritten.
        if (auto parked = Unpark(m_names)) {
            if (parked->HasExpectedCapacity()) {
                m_attachment = std::move(parked);
                UseAttachment(true);
                return 0;
            }
            // Released here with the lifetime rule; a fresh attach follows.
        }
    }
    return AttachFresh();
}

int CVkShmLogger::AttachFresh() {
    if (!m_attachment || m_attachment->Inherited()) {
        m_attachment = std::make_unique<RingAttachment>(m_names);
    }
    RingAttachment& a = *m_attachment;
    int rc = a.attachMutex.Lock(kNamedMutexTimeoutMs);
    if (rc != 0) {
        QTRACE(TRACE_WARNING, "u4Result = %08X", static_cast<unsigned>(rc));
        return rc;
    }
    rc = a.Open();
    if (rc != 0) {
        QTRACE(TRACE_WARNING, "u4Result = %08X", static_cast<unsigned>(rc));
    } else {
        UseAttachment(false);
    }
    a.attachMutex.Unlock();
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
