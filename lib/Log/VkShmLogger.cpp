#include "VkShmLogger.h"

#include "Trace.h"

#include <cerrno>
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

bool TakeSharedLock(int fd) {
    for (unsigned i = 0; i < kSharedLockTries; ++i) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        usleep(1000);
    }
    return false;
}

// Whether the name still refers to the object behind fd.
bool NameStillNames(int fd, const std::string& name) {
    struct stat byFd {};
    struct stat byName {};
    if (fstat(fd, &byFd) != 0) return false;
    if (stat(ShmPath(name).c_str(), &byName) != 0) return false;
    return byFd.st_dev == byName.st_dev && byFd.st_ino == byName.st_ino;
}

}  // namespace

CVkShmLogger::CVkShmLogger() : CVkShmLogger(CurrentTraceObjectNames()) {}

CVkShmLogger::CVkShmLogger(const TraceObjectNames& names)
    : m_names(names), m_attachMutex(names.attachMutex) {}

CVkShmLogger::~CVkShmLogger() { Detach(); }

int CVkShmLogger::Attach() {
    int rc = m_attachMutex.Lock(kNamedMutexTimeoutMs);
    if (rc != 0) {
        QTRACE(TRACE_WARNING, "u4Result = %08X", static_cast<unsigned>(rc));
        return rc;
    }
    if (!m_attached) {
        rc = OpenRing();
        if (rc != 0) {
            QTRACE(TRACE_WARNING, "u4Result = %08X", static_cast<unsigned>(rc));
        } else {
            m_attached = true;
        }
    }
    m_attachMutex.Unlock();
    return rc;
}

int CVkShmLogger::OpenRing() {
    CNamedMutex ringMutex(m_names.ringMutex);
    int rc = ringMutex.Lock(kNamedMutexTimeoutMs);
    if (rc != 0) return rc;

    for (unsigned attempt = 0; attempt < kOpenAttempts; ++attempt) {
        bool created = false;
        int fd = shm_open(m_names.ring.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd < 0) {
            if (errno != ENOENT) return errno;
            // tmpfs hands out pages only when they are first written; a ring
            // that could not be backed would kill the writer with SIGBUS
            // later, so insist on the room now.
            if (ShmFreeRoom() < kTraceShmSize) return ENOSPC;
            fd = shm_open(m_names.ring.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0) {
                if (errno == EEXIST) continue;
                return errno;
            }
            fchmod(fd, 0666);  // readable and writable by every user's viewer
            // A new tmpfs object reads as zeros; touching its pages would
            // only cost memory.
            if (ftruncate(fd, static_cast<off_t>(kTraceShmSize)) != 0) {
                rc = errno;
                shm_unlink(m_names.ring.c_str());
                close(fd);
                return rc;
            }
            created = true;
        }

        // A ring this process created but could not finish must not stay
        // behind with capacity 0, failing every later attach.
        auto abandon = [&](int code) {
            if (created) shm_unlink(m_names.ring.c_str());
            close(fd);
            return code;
        };
        if (!TakeSharedLock(fd)) return abandon(EWOULDBLOCK);
        if (!NameStillNames(fd, m_names.ring)) {
            // The last holder unlinked it between our open and our lock.
            close(fd);
            continue;
        }

        struct stat st {};
        if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kTraceShmSize)) {
            // Mapping past the end of the object would raise SIGBUS on use.
            return abandon(EINVAL);
        }
        void* map = mmap(nullptr, kTraceShmSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) return abandon(errno);
        m_queue.Bind(static_cast<uint8_t*>(map) + 4);
        if (created) {
            const uint32_t total = static_cast<uint32_t>(kTraceShmSize);
            __atomic_store_n(static_cast<uint32_t*>(map), total, __ATOMIC_SEQ_CST);
            m_queue.Initialise();
        } else if (!m_queue.HasExpectedCapacity()) {
            m_queue.Unbind();
            munmap(map, kTraceShmSize);
            close(fd);
            return EPROTO;
        }
        m_fd = fd;
        m_map = map;
        m_created = created;
        m_attachedPid = getpid();
        return 0;
    }
    return EAGAIN;
}

void CVkShmLogger::CloseRing(bool mayUnlink) {
    m_queue.Unbind();
    if (m_map) munmap(m_map, kTraceShmSize);
    m_map = nullptr;
    if (m_fd < 0) return;
    // Everyone attached holds a shared lock; getting the exclusive one means
    // no other process has the ring open, so the name can go. A forked child
    // inherited its parent's open file description and with it the parent's
    // lock: locking it would only convert the parent's lock, so the child
    // just lets go.
    if (getpid() != m_attachedPid) mayUnlink = false;
    if (mayUnlink && flock(m_fd, LOCK_EX | LOCK_NB) == 0 && NameStillNames(m_fd, m_names.ring)) {
        shm_unlink(m_names.ring.c_str());
    }
    close(m_fd);
    m_fd = -1;
}

void CVkShmLogger::Detach() {
    if (!m_attached) return;
    // Without the mutex the mapping is still released, but the name is left
    // alone: unlinking it could race with a process that is attaching.
    bool locked = m_attachMutex.Lock(kNamedMutexTimeoutMs) == 0;
    if (m_reader) {
        m_queue.UnregisterReader();
        m_reader = false;
    }
    CloseRing(locked);
    m_attached = false;
    if (locked) m_attachMutex.Unlock();
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
