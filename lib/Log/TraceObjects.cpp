#include "TraceObjects.h"

#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <unistd.h>
#include <sys/statvfs.h>

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

// A forked child's threads start with the parent's values: every fork moves
// this on, and the ids are taken again. The handler goes with the library
// when it is unloaded.
std::atomic<unsigned> g_forks{0};
const int g_forkWatch = pthread_atfork(nullptr, nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); });

struct Ids {
    unsigned forks = ~0u;
    uint32_t pid = 0;
    uint32_t tid = 0;
};
thread_local Ids t_ids;

const Ids& CurrentIds() {
    const unsigned forks = g_forks.load(std::memory_order_relaxed);
    if (t_ids.forks != forks || g_forkWatch != 0) {
        t_ids.pid = static_cast<uint32_t>(getpid());
        t_ids.tid = static_cast<uint32_t>(gettid());
        t_ids.forks = forks;
    }
    return t_ids;
}

}  // namespace

uint32_t ThisProcessId() { return CurrentIds().pid; }
uint32_t ThisThreadId() { return CurrentIds().tid; }

TraceObjectNames MakeTraceObjectNames(const std::string& prefix) {
    TraceObjectNames names;
    names.ring = "/" + prefix + "\\SHARE_MEMORY_D1F14A9F-D7A0-4a22-9EE9-19DC2078C280" + kTraceRingName;
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

const char* ShmDirectory() { return kShmDirectory; }

std::string ShmPath(const std::string& shmName) { return kShmDirectory + shmName; }

bool NameStillNames(int fd, const std::string& shmName, struct stat* byFd) {
    struct stat own {};
    struct stat byName {};
    if (byFd == nullptr) byFd = &own;
    if (fstat(fd, byFd) != 0) return false;
    if (fstatat(AT_FDCWD, ShmPath(shmName).c_str(), &byName, AT_SYMLINK_NOFOLLOW) != 0) return false;
    return byFd->st_dev == byName.st_dev && byFd->st_ino == byName.st_ino;
}

}  // namespace quillon
