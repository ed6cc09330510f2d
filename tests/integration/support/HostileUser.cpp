#include "HostileUser.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace norvik::simtest {

namespace {

bool g_private = false;

int WaitStatus(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

pid_t Spawn(const std::string& script, const std::vector<std::pair<std::string, std::string>>& env, int readyFd = -1) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  if (readyFd >= 0 && dup2(readyFd, 3) != 3) _exit(126);
  for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
  // At the lowest priority: what is measured against it is what the shared
  // objects let it do, not the processor time its loops take from pcscd.
  errno = 0;
  if (nice(19) == -1 && errno != 0) _exit(126);
  execlp("setpriv", "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "sh", "-c", script.c_str(),
         static_cast<char*>(nullptr));
  _exit(127);
}

}  // namespace

bool PrivateSharedMemory(unsigned megabytes) {
  if (unshare(CLONE_NEWNS) != 0) return false;
  const std::string options = "size=" + std::to_string(megabytes) + "m,mode=1777";
  g_private = mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
  return g_private;
}

bool SharedMemoryIsPrivate() { return g_private; }

bool CanRunAsNobody() { return geteuid() == 0 && RunAsNobody("test \"$(id -un)\" = nobody", {}) == 0; }

Attacker::Attacker(const std::string& script, const std::vector<std::pair<std::string, std::string>>& env) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  pid_ = Spawn(script, env, fds[1]);
  close(fds[1]);
  ready_ = fds[0];
  if (pid_ > 0) setpgid(pid_, pid_);  // either side may get there first
}

Attacker::~Attacker() {
  Stop();
  if (ready_ >= 0) close(ready_);
}

bool Attacker::WaitReady(unsigned timeoutMs) {
  for (;;) {
    pollfd p{ready_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeoutMs)) != 1) return false;
    char c;
    if (read(ready_, &c, 1) != 1) return false;
    if (c == '\n') return true;
  }
}

int Attacker::Stop(int signal) {
  if (pid_ <= 0) return -1;
  kill(-pid_, signal);
  const int status = WaitStatus(pid_);
  pid_ = -1;
  return status;
}

int RunAsNobody(const std::string& script, const std::vector<std::pair<std::string, std::string>>& env) {
  const pid_t pid = Spawn(script, env);
  return pid > 0 ? WaitStatus(pid) : -1;
}

}  // namespace norvik::simtest
