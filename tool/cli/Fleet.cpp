#include "cli/Fleet.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace keyloom {

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    bool Open() { return pipe2(fd, O_CLOEXEC) == 0; }
    void Close(int i) {
        if (fd[i] >= 0) close(fd[i]);
        fd[i] = -1;
    }
    ~Pipe() {
        Close(0);
        Close(1);
    }
};

struct Worker {
    WorkerResult result;
    pid_t pid = -1;
    Pipe in, out, err;
};

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// 0, or the error that kept the worker from starting.
int Start(Worker& w, const std::vector<std::string>& args) {
    if (!w.in.Open() || !w.out.Open() || !w.err.Open()) return errno;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, w.in.fd[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, w.out.fd[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, w.err.fd[1], STDERR_FILENO);
    std::vector<std::string> argvText{"keyloom"};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&w.pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    w.in.Close(0);
    w.out.Close(1);
    w.err.Close(1);
    if (rc != 0) w.pid = -1;
    return rc;
}

// Reads every worker's output until all have closed it.
void Collect(std::vector<Worker>& workers) {
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<std::string*> sinks;
        std::vector<int*> owners;
        for (Worker& w : workers) {
            for (auto [fd, sink] : {std::pair{&w.out.fd[0], &w.result.out}, std::pair{&w.err.fd[0], &w.result.err}}) {
                if (*fd < 0) continue;
                fds.push_back({*fd, POLLIN, 0});
                sinks.push_back(sink);
                owners.push_back(fd);
            }
        }
        if (fds.empty()) return;
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            char buffer[8192];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(*owners[i]);
                *owners[i] = -1;
            }
        }
    }
}

}  // namespace

Outcome RunFleet(const Options& options, const std::vector<std::string>& args, const std::vector<std::string>& readers,
                 const std::optional<std::string>& stdinText) {
    // A worker that ends before it read its input must not end the parent.
    signal(SIGPIPE, SIG_IGN);
    std::vector<Worker> workers(readers.size());
    for (size_t i = 0; i < readers.size(); ++i) {
        Worker& w = workers[i];
        w.result.reader = readers[i];
        if (const int error = Start(w, WorkerArguments(args, readers[i]))) {
            w.result.err = std::string("keyloom: no worker process could be started: ") + std::strerror(error);
            continue;
        }
        // Inputs are small (a seed, a key): they fit the pipe at once.
        if (stdinText) WriteAll(w.in.fd[1], *stdinText);
        w.in.Close(1);
    }
    Collect(workers);
    std::vector<WorkerResult> results;
    for (Worker& w : workers) {
        if (w.pid > 0) {
            int status = 0;
            while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {}
            if (WIFEXITED(status)) {
                w.result.exitStatus = WEXITSTATUS(status);
            } else {
                w.result.exitStatus = -1;
                w.result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            }
        }
        results.push_back(std::move(w.result));
    }
    Outcome out = CombineWorkers(results);
    out.report["command"] = QString::fromStdString(options.commandName);
    return out;
}

Outcome CombineWorkers(const std::vector<WorkerResult>& workers) {
    Outcome out;
    QJsonArray tokens;
    std::string causes;
    for (const WorkerResult& w : workers) {
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(w.out));
        const QJsonArray theirs = doc.object().value("tokens").toArray();
        int status = w.exitStatus;
        std::string cause = doc.object().value("error").toString().toStdString();
        if (status < 0 || status > kExitUsage) {
            status = kExitFailure;
            cause = w.signal ? "the worker was ended by signal " + std::to_string(w.signal) : "the worker failed";
        }
        if (theirs.isEmpty()) {
            // It ended before it had a token to report on.
            if (cause.empty()) {
                const size_t nl = w.err.find('\n');
                cause = w.err.substr(0, nl);
                if (cause.rfind("keyloom: ", 0) == 0) cause.erase(0, 9);
            }
            if (cause.empty() && status == kExitOk) {
                status = kExitFailure;
                cause = "the worker gave no report";
            }
            tokens.append(
                QJsonObject{{"reader", QString::fromStdString(w.reader)},
                            {"serial", QJsonValue()},
                            {"status", status},
                            {"error", cause.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(cause))},
                            {"profiles", QJsonArray{}}});
        } else {
            for (const QJsonValue& t : theirs) tokens.append(t);
        }
        out.status = std::max(out.status, status);
        if (status != kExitOk && !cause.empty()) causes += (causes.empty() ? "" : "; ") + w.reader + ": " + cause;
    }
    out.cause = causes;
    if (out.status != kExitOk && out.cause.empty()) out.cause = "a worker failed";
    out.report["tokens"] = tokens;
    out.report["status"] = out.status;
    out.report["error"] = out.cause.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(out.cause));
    return out;
}

}  // namespace keyloom
