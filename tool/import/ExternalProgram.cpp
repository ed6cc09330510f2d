#include "import/ExternalProgram.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>

extern char** environ;

namespace provisor {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Time a program gets between SIGTERM and SIGKILL to clean up after itself.
constexpr std::chrono::milliseconds kTerminateGrace{2000};

bool IsExecutableFile(const fs::path& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), X_OK) == 0;
}

std::string SearchPath() {
    if (const char* path = std::getenv("PATH")) return path;
    // The same default the C library's exec functions fall back on.
    const size_t n = confstr(_CS_PATH, nullptr, 0);
    std::string value(n, '\0');
    if (n > 0) {
        confstr(_CS_PATH, value.data(), n);
        value.resize(n - 1);
    }
    return value;
}

void SleepFor(std::chrono::milliseconds ms) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ms.count() / 1000);
    ts.tv_nsec = static_cast<long>(ms.count() % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

// Outcome of one waitpid attempt: still running, finished, or lost.
enum class WaitState { kRunning, kDone, kLost };

WaitState TryReap(pid_t pid, int& status, bool block) {
    for (;;) {
        const pid_t r = waitpid(pid, &status, block ? 0 : WNOHANG);
        if (r == pid) return WaitState::kDone;
        if (r == 0) return WaitState::kRunning;
        if (errno != EINTR) return WaitState::kLost;
    }
}

// Waits until the child ends or the deadline passes, polling with a growing
// interval so short runs return quickly and long ones cost little.
WaitState WaitUntil(pid_t pid, int& status, Clock::time_point deadline) {
    std::chrono::milliseconds interval{1};
    for (;;) {
        const WaitState state = TryReap(pid, status, false);
        if (state != WaitState::kRunning) return state;
        const auto now = Clock::now();
        if (now >= deadline) return WaitState::kRunning;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        SleepFor(std::max(std::chrono::milliseconds{1}, std::min(interval, left)));
        interval = std::min(interval * 2, std::chrono::milliseconds{25});
    }
}

ProgramRun FromStatus(WaitState state, int status) {
    ProgramRun run;
    run.outcome = ProgramOutcome::kExited;
    if (state == WaitState::kLost) return run;  // exitCode stays -1
    if (WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.outcome = ProgramOutcome::kSignalled;
        run.signal = WTERMSIG(status);
    }
    return run;
}

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    bool actionsReady = false;
    bool attrReady = false;

    ~SpawnSetup() {
        if (actionsReady) posix_spawn_file_actions_destroy(&actions);
        if (attrReady) posix_spawnattr_destroy(&attr);
    }

    bool Prepare(int stdoutFd) {
        if (posix_spawn_file_actions_init(&actions) != 0) return false;
        actionsReady = true;
        if (posix_spawnattr_init(&attr) != 0) return false;
        attrReady = true;

        // A helper must not wait for input from whatever terminal started
        // the tool.
        if (posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) != 0) return false;
        if (stdoutFd >= 0 && posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO) != 0) return false;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        // Descriptors the tool opened without close-on-exec (reader
        // connections, log files) stay out of the helper.
        if (posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) != 0) return false;
#endif

        // Its own process group, so a time-out reaches the helper's helpers
        // too. Signals start at their defaults and unblocked whatever the
        // calling thread had set (GUI toolkits ignore SIGPIPE, for one).
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        if (posix_spawnattr_setpgroup(&attr, 0) != 0) return false;
        if (posix_spawnattr_setsigmask(&attr, &none) != 0) return false;
        if (posix_spawnattr_setsigdefault(&attr, &all) != 0) return false;
        return posix_spawnattr_setflags(&attr,
                                        POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    }
};

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

ExternalProgram::ExternalProgram(const std::string& name) : ExternalProgram(name, OwnDirectory()) {}

ExternalProgram::ExternalProgram(const std::string& name, const fs::path& exeDir)
    : m_name(name), m_path(Locate(name, exeDir)) {}

fs::path ExternalProgram::OwnDirectory() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

fs::path ExternalProgram::Locate(const std::string& name, const fs::path& exeDir) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? fs::path(name) : fs::path();
    if (!exeDir.empty() && IsExecutableFile(exeDir / name)) return exeDir / name;

    const std::string path = SearchPath();
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string dir = path.substr(start, end - start);
        if (!dir.empty() && dir[0] == '/') {
            const fs::path candidate = fs::path(dir) / name;
            if (IsExecutableFile(candidate)) return candidate;
        }
        start = end + 1;
    }
    return {};
}

ProgramRun ExternalProgram::Run(const std::vector<std::string>& args, const fs::path& stdoutFile,
                                std::chrono::milliseconds timeLimit) const {
    ProgramRun run;
    if (!Found()) {
        run.outcome = ProgramOutcome::kNotFound;
        return run;
    }

    FileDescriptor out;
    if (!stdoutFile.empty()) {
        out.fd = open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (out.fd < 0) {
            run.outcome = ProgramOutcome::kOutputFailed;
            return run;
        }
    }

    SpawnSetup setup;
    if (!setup.Prepare(out.fd)) {
        run.outcome = ProgramOutcome::kStartFailed;
        return run;
    }

    const std::string program = m_path.string();
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), environ) != 0) {
        run.outcome = ProgramOutcome::kStartFailed;
        return run;
    }

    int status = 0;
    WaitState state = WaitUntil(pid, status, Clock::now() + timeLimit);
    if (state != WaitState::kRunning) return FromStatus(state, status);

    kill(-pid, SIGTERM);
    const auto graceEnd = Clock::now() + kTerminateGrace;
    WaitUntil(pid, status, graceEnd);
    // The programs the leader started get the same grace to clean up after
    // themselves, also when the leader itself ended at once.
    while (Clock::now() < graceEnd && kill(-pid, 0) == 0) SleepFor(std::chrono::milliseconds{5});
    // Then whatever is left, helpers that ignored SIGTERM included.
    kill(-pid, SIGKILL);
    TryReap(pid, status, true);
    run.outcome = ProgramOutcome::kTimedOut;
    return run;
}

}  // namespace provisor
