// Names of the machine-wide objects behind the trace ring, and the named
// mutex they are guarded by.
//
// Linux has no private object namespaces, so every name uses the "Global"
// prefix. A shared-memory name is a POSIX shm name: one leading '/', the rest
// kept literally (the backslash included), so the object shows up in /dev/shm
// under exactly that name. Named mutexes are empty shm objects locked with
// flock(): the kernel drops the lock when its holder dies.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace quillon {

inline constexpr const char* kTraceRingName = "{VkShmLogByLockfreeCirculayArray-4b1a}";
inline constexpr const char* kTraceProductionPrefix = "Global";

struct TraceObjectNames {
    std::string ring;         // shared memory of the ring
    std::string ringMutex;    // mutex of that shared-memory object
    std::string attachMutex;  // ring attach/detach mutex

    bool operator==(const TraceObjectNames&) const = default;
};

// Names for a given prefix ("Global" in production).
TraceObjectNames MakeTraceObjectNames(const std::string& prefix);

// Names the trace facility uses now: production names unless a test chose
// another prefix.
TraceObjectNames CurrentTraceObjectNames();

// Test hook: parallel test processes must not share the machine's ring. A
// null or empty prefix restores the production names. Not exported from
// libQuillon.so (the static library is built with hidden visibility).
void SetTraceObjectPrefixForTesting(const char* prefix);

// Test hook: pretend /dev/shm has this many free bytes (UINT64_MAX = ask
// the file system, the default).
void SetShmFreeRoomForTesting(uint64_t bytes);

// Free bytes in the file system behind POSIX shared memory.
uint64_t ShmFreeRoom();

// Path of a shm object in the file system ("/dev/shm" + name).
std::string ShmPath(const std::string& shmName);

// A named mutex: an shm object locked exclusively with flock(). One instance
// must not be locked from two threads at once. The descriptor is opened on
// the first Lock and kept until destruction. A forked child never uses (or
// unlocks) a descriptor it inherited: flock() locks belong to the open file
// description, so locking the parent's descriptor would not exclude the
// parent, and unlocking it would release the parent's lock.
class CNamedMutex {
public:
    explicit CNamedMutex(std::string name);
    ~CNamedMutex();
    CNamedMutex(const CNamedMutex&) = delete;
    CNamedMutex& operator=(const CNamedMutex&) = delete;

    // Waits at most about timeoutMs. Returns 0 or an errno value.
    int Lock(unsigned timeoutMs);
    void Unlock();

private:
    // Drops a descriptor inherited over fork() without touching its lock.
    void ForgetInherited();

    std::string m_name;
    int m_fd = -1;
    bool m_locked = false;
    pid_t m_pid = 0;  // process that opened m_fd
};

// Upper bound on waiting for a named mutex. The holders only map or unmap
// memory while they hold it; a holder that is stopped must not hang every
// other process that traces, so they give up and drop their lines.
inline constexpr unsigned kNamedMutexTimeoutMs = 5000;

}  // namespace quillon
