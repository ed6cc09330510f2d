// What the fault campaign and the soak need from the machine beyond pcscd:
// a /dev/shm of their own (so hostile trace rings and shared-memory counts
// concern this process only), small disks that fill up, root's file
// permission overrides switched off, and the resources a process holds.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tooltest {

namespace fs = std::filesystem;

inline bool& SharedMemoryPrivateFlag() {
    static bool isPrivate = false;
    return isPrivate;
}
// The mount namespace the process started in (-1 when it never left it).
inline int& OriginalMountNamespace() {
    static int fd = -1;
    return fd;
}
// Root and working directory as that namespace sees them: entering a mount
// namespace resets both to the namespace's own root, which inside a chroot
// is the host's, not the one the tests run in.
inline int& OriginalRoot() {
    static int fd = -1;
    return fd;
}
inline int& OriginalWorkingDirectory() {
    static int fd = -1;
    return fd;
}

// First thing in main(), while the process has one thread: a mount
// namespace of its own with an empty tmpfs on /dev/shm (room for the trace
// ring). False, and nothing changed, when the process may not do that (not
// root, or a container without CAP_SYS_ADMIN).
inline bool IsolateSharedMemory() {
    const int original = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    const int root = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (original < 0 || root < 0 || unshare(CLONE_NEWNS) != 0) {
        for (const int fd : {original, root, cwd})
            if (fd >= 0) close(fd);
        return false;
    }
    OriginalMountNamespace() = original;
    OriginalRoot() = root;
    OriginalWorkingDirectory() = cwd;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "size=512m,mode=1777") != 0)
        return false;
    SharedMemoryPrivateFlag() = true;
    return true;
}
inline bool SharedMemoryIsPrivate() { return SharedMemoryPrivateFlag(); }

// Runs a shell command in the mount namespace the process started in, so
// that a daemon it starts (pcscd) never lives in this process's private one.
// Returns the command's exit status, or -1.
inline int RunOutsideThePrivateNamespace(const std::string& command) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (OriginalMountNamespace() >= 0) {
            if (setns(OriginalMountNamespace(), CLONE_NEWNS) != 0) _exit(126);
            if (fchdir(OriginalRoot()) != 0 || chroot(".") != 0) _exit(126);
            if (OriginalWorkingDirectory() < 0 || fchdir(OriginalWorkingDirectory()) != 0)
                if (chdir("/") != 0) _exit(126);
        }
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A tmpfs of `kib` KiB on dir (created when missing); only inside the
// private mount namespace, so nothing outside the process ever sees it.
inline bool MountSmallDisk(const fs::path& dir, int kib, const std::string& extra = {}) {
    if (!SharedMemoryIsPrivate()) return false;
    fs::create_directories(dir);
    const std::string options = "size=" + std::to_string(kib) + "k,mode=0755" + (extra.empty() ? "" : "," + extra);
    return mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}
inline void UnmountSmallDisk(const fs::path& dir) { umount2(dir.c_str(), MNT_DETACH); }

// Writes a filler file into dir until the file system refuses more.
inline void FillDisk(const fs::path& dir) {
    const int fd = open((dir / ".filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const std::vector<char> block(4096, 'x');
    while (write(fd, block.data(), block.size()) > 0) {}
    // The last partial page as well.
    while (write(fd, block.data(), 1) > 0) {}
    close(fd);
}

// Root passes every permission check; an operator's station does not. For
// its lifetime the calling thread (and the threads it starts) lose the
// capabilities that override file permissions, so read-only files and
// directories are read-only for it too. Nothing changes for other users.
class WithoutFileOverrides {
public:
    WithoutFileOverrides() {
        m_header.version = _LINUX_CAPABILITY_VERSION_3;
        m_header.pid = 0;
        if (syscall(SYS_capget, &m_header, m_saved) != 0) return;
        __user_cap_data_struct reduced[2];
        std::memcpy(reduced, m_saved, sizeof reduced);
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            reduced[cap / 32].effective &= ~(1u << (cap % 32));
        m_active = syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutFileOverrides() {
        if (m_active) syscall(SYS_capset, &m_header, m_saved);
    }
    WithoutFileOverrides(const WithoutFileOverrides&) = delete;
    WithoutFileOverrides& operator=(const WithoutFileOverrides&) = delete;

private:
    __user_cap_header_struct m_header{};
    __user_cap_data_struct m_saved[2]{};
    bool m_active = false;
};

// What a process holds that a leak would make grow.
struct ProcessResources {
    long fds = 0;          // open descriptors
    long threads = 0;      // tasks of the process
    long rssKib = 0;       // resident memory
    long anonKib = 0;      // of that, the process's own (heap, stacks)
    long shmemKib = 0;     // of that, shared memory pages it touched (the trace ring)
    long shmMappings = 0;  // mappings of /dev/shm objects
    long shmFds = 0;       // descriptors of /dev/shm objects
    long shmObjects = 0;   // entries of /dev/shm (the machine's, or the private one)
    bool quillonMapped = false;
};

inline long CountEntries(const char* dir) {
    long n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
        closedir(d);
    }
    return n;
}

inline ProcessResources MeasureProcess() {
    ProcessResources r;
    r.threads = CountEntries("/proc/self/task");
    r.shmObjects = CountEntries("/dev/shm");
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            ++r.fds;
            char target[512];
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string_view(target, static_cast<size_t>(n)).rfind("/dev/shm/", 0) == 0) ++r.shmFds;
        }
        closedir(d);
        --r.fds;  // the directory stream itself
    }
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find(" /dev/shm/") != std::string::npos) ++r.shmMappings;
        if (line.find("libQuillon.so") != std::string::npos) r.quillonMapped = true;
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            r.rssKib = std::stol(line.substr(6));
        else if (line.rfind("RssAnon:", 0) == 0)
            r.anonKib = std::stol(line.substr(8));
        else if (line.rfind("RssShmem:", 0) == 0)
            r.shmemKib = std::stol(line.substr(9));
    return r;
}

}  // namespace tooltest
