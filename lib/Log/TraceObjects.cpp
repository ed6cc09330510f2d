#include "TraceObjects.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace quillon {

namespace {

std::mutex g_prefixMutex;
// Built once per prefix: every first TraceBegin asks for them.
TraceObjectNames& CurrentNames() {
    static TraceObjectNames names = MakeTraceObjectNames(kTraceProductionPrefix);
    return names;
}
std::atomic<uint64_t> g_freeRoomOverride{UINT64_MAX};

constexpr const char* kShmDirectory = "/dev/shm";

}  // namespace

TraceObjectNames MakeTraceObjectNames(const std::string& prefix) {
    TraceObjectNames names;
    names.ring = "/" + prefix + "\\SHARE_MEMORY_D1F14A9F-D7A0-4a22-9EE9-19DC2078C280" + kTraceRingName;
    names.ringMutex = "/" + prefix + "\\Mutex" + "ShareMemoryMutext_" + kTraceRingName;
    names.attachMutex = "/" + prefix + "\\Mutex" + "{VkMutexForShmLog-4b1a}";
    return names;
}

TraceObjectNames CurrentTraceObjectNames() {
    std::lock_guard<std::mutex> lock(g_prefixMutex);
    return CurrentNames();
}

void SetTraceObjectPrefixForTesting(const char* prefix) {
    std::lock_guard<std::mutex> lock(g_prefixMutex);
    CurrentNames() = MakeTraceObjectNames((prefix != nullptr && *prefix != '\0') ? prefix : kTraceProductionPrefix);
}

void SetShmFreeRoomForTesting(uint64_t bytes) { g_freeRoomOverride.store(bytes); }

uint64_t ShmFreeRoom() {
    uint64_t forced = g_freeRoomOverride.load();
    if (forced != UINT64_MAX) return forced;
    struct statvfs vfs {};
    if (statvfs(kShmDirectory, &vfs) != 0) return 0;
    return static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
}

std::string ShmPath(const std::string& shmName) { return kShmDirectory + shmName; }

CNamedMutex::CNamedMutex(std::string name) : m_name(std::move(name)) {}

CNamedMutex::~CNamedMutex() {
    Unlock();
    if (m_fd >= 0) close(m_fd);
}

void CNamedMutex::ForgetInherited() {
    if (m_fd < 0 || m_pid == getpid()) return;
    // Closing our copy leaves the parent's lock alone: it goes only when the
    // last descriptor of the open file description is closed.
    close(m_fd);
    m_fd = -1;
    m_locked = false;
}

int CNamedMutex::Lock(unsigned timeoutMs) {
    ForgetInherited();
    if (m_locked) return EDEADLK;
    if (m_fd < 0) {
        // Everyone may take the mutex, whoever created it; the object is
        // never written, so a read-only open is enough to lock it when
        // another user created it without write access for us.
        // O_NONBLOCK: anyone may put a FIFO under the name first, and
        // opening one for reading would wait for a writer for good.
        int fd = shm_open(m_name.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fchmod(fd, 0666);  // creation mode is cut by the umask
        } else if (errno == EACCES) {
            fd = shm_open(m_name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
        }
        if (fd < 0) return errno;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            return EINVAL;  // not a shared-memory object at all
        }
        m_fd = fd;
        m_pid = getpid();
    }
    // Polling rather than a blocking flock() keeps the wait bounded.
    for (unsigned waited = 0;;) {
        if (flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
            m_locked = true;
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return errno;
        if (waited >= timeoutMs) return ETIMEDOUT;
        usleep(1000);
        ++waited;
    }
}

void CNamedMutex::Unlock() {
    ForgetInherited();
    if (!m_locked) return;
    flock(m_fd, LOCK_UN);
    m_locked = false;
}

}  // namespace quillon
