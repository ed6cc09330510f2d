// A second, unprivileged local user for the tests and the benchmark that
// check what the library's shared objects let another user do: shell
// commands run as "nobody" through setpriv, and a /dev/shm of the process's
// own for that user to fill.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace norvik::simtest {

// First thing in main(), while the process has one thread: a mount
// namespace of its own with an empty tmpfs of `megabytes` on /dev/shm, so
// an attacker may fill it without touching the machine's. pcscd lives
// outside and is reached through its socket as before. False, and nothing
// changed, when the process may not do that (not root, or no
// CAP_SYS_ADMIN).
bool PrivateSharedMemory(unsigned megabytes);
bool SharedMemoryIsPrivate();

// Whether commands can be run as "nobody" here (root, and setpriv works).
bool CanRunAsNobody();

// A shell script run as nobody (setpriv, no supplementary groups) with the
// given environment, in its own process group, at the lowest priority. It
// may say it is ready (its attack set up) by writing a line to descriptor
// 3. The destructor kills the whole group and reaps it.
class Attacker {
 public:
  Attacker(const std::string& script, const std::vector<std::pair<std::string, std::string>>& env);
  ~Attacker();
  Attacker(const Attacker&) = delete;
  Attacker& operator=(const Attacker&) = delete;

  bool Started() const { return pid_ > 0; }
  // Waits for the next line on descriptor 3; false after timeoutMs or when
  // the script closed it.
  bool WaitReady(unsigned timeoutMs);
  // Sends the signal to the whole group and waits for the script: its exit
  // status, or 128 + the signal that ended it.
  int Stop(int signal = 9);

 private:
  pid_t pid_ = -1;
  int ready_ = -1;  // read end of the script's descriptor 3
};

// Runs a script as nobody and waits for it: its exit status.
int RunAsNobody(const std::string& script, const std::vector<std::pair<std::string, std::string>>& env);

}  // namespace norvik::simtest
