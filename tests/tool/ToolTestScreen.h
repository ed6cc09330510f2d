// An X server of its own and programs shown on it, for the tests that
// capture the screen. Everything started here is stopped when its
// Background object goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace tooltest {

// A program started in the background for a screen test, stopped when the
// test ends.
class Background {
public:
    Background() = default;
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    ~Background() { Stop(); }

    bool Start(const std::vector<std::string>& args, posix_spawn_file_actions_t* actions = nullptr) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        return posix_spawnp(&pid_, argv[0], actions, nullptr, argv.data(), environ) == 0;
    }

    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

// Starts Xvfb on a display it picks itself (-displayfd) and returns ":N",
// or "" when it does not come up.
inline std::string StartXvfb(Background& server, const std::string& screen) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const bool started = server.Start(
        {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen, "-nolisten", "tcp"}, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string number;
    if (started) {
        pollfd p{fds[0], POLLIN, 0};
        char c;
        while (poll(&p, 1, 20000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    }
    close(fds[0]);
    return number.empty() ? std::string() : ":" + number;
}

}  // namespace tooltest
