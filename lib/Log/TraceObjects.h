// Name of the machine-wide trace ring and the file-system facts the trace
// facility needs about it.
//
// Linux has no private object namespaces, so the name uses the "Global"
// prefix. It is a POSIX shm name: one leading '/', the rest kept literally
// (the backslash included), so the object shows up in /dev/shm under exactly
// that name.
//
// Older versions also made two named mutexes (flock()ed shm objects) beside
// the ring. Anyone who can open such an object can lock it, so they were a
// lever for any local user to stall every process that traces; the ring is
// now created and attached without them (docs/trace-ring.md), and objects
// left under those names are ignored.
#pragma once

#include <cstdint>
#include <string>
#include <sys/stat.h>

namespace quillon {

inline constexpr const char* kTraceRingName = "{VkShmLogByLockfreeCirculayArray-4b1a}";
inline constexpr const char* kTraceProductionPrefix = "Global";

struct TraceObjectNames {
    std::string ring;  // shared memory of the ring

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

// Directory of POSIX shared memory, and the path of a shm object in it
// ("/dev/shm" + name).
const char* ShmDirectory();
std::string ShmPath(const std::string& shmName);

// This process's id and the calling thread's, as every record carries
// them, without a system call each time (glibc does not cache getpid): kept
// per thread and taken afresh after fork().
uint32_t ThisProcessId();
uint32_t ThisThreadId();

// Whether the name (not following a symbolic link) still refers to the
// object behind fd; the fstat result goes to byFd when asked for.
bool NameStillNames(int fd, const std::string& shmName, struct stat* byFd = nullptr);

}  // namespace quillon
