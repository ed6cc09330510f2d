// Running the helper programs that ship beside Provisor (the QR decoder and
// the screenshot taker). They are looked up beside the running executable
// first, then along PATH, and started directly with an argument vector: no
// shell ever sees an operator's file name, so spaces, quotes or "$(...)" in
// it reach the program as one argument and run nothing. Standard C++ and
// POSIX only, so tests and fuzz builds need no Qt.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace provisor {

enum class ProgramOutcome {
    kExited,        // ran to its end by itself; exitCode holds its status
    kSignalled,     // killed by a signal that the runner did not send
    kTimedOut,      // outlived its time limit and was terminated
    kNotFound,      // nothing of that name beside the executable or on PATH
    kStartFailed,   // found, but could not be started
    kOutputFailed,  // the standard output file could not be opened
};

struct ProgramRun {
    ProgramOutcome outcome = ProgramOutcome::kNotFound;
    // For kExited: the exit status, or -1 when it could not be collected
    // (the process was reaped elsewhere, e.g. with SIGCHLD ignored).
    int exitCode = -1;
    int signal = 0;  // for kSignalled

    bool Succeeded() const { return outcome == ProgramOutcome::kExited && exitCode == 0; }
};

class ExternalProgram {
public:
    // Looks name up beside the running executable, then along PATH.
    explicit ExternalProgram(const std::string& name);
    // The same with the directory searched first given; an empty exeDir
    // searches PATH only.
    ExternalProgram(const std::string& name, const std::filesystem::path& exeDir);

    bool Found() const { return !m_path.empty(); }
    const std::string& Name() const { return m_name; }
    // The program's full path, empty when it was not found.
    const std::filesystem::path& Path() const { return m_path; }

    // Runs the program with args as argv[1..] and waits for it at most
    // timeLimit. Standard input is /dev/null, standard error is inherited.
    // A non-empty stdoutFile receives standard output: it is opened by the
    // runner, not the program, created with mode 0600 or truncated, and a
    // symbolic link in its place is refused (kOutputFailed). An empty
    // stdoutFile leaves standard output inherited.
    //
    // The program runs in a process group of its own. At the time limit the
    // group gets SIGTERM, so a wrapper script can remove its temporary
    // files, and SIGKILL a short grace period later; its helpers die with it.
    ProgramRun Run(const std::vector<std::string>& args, const std::filesystem::path& stdoutFile,
                   std::chrono::milliseconds timeLimit) const;

    // The search behind the constructors: exeDir/name when it is an
    // executable regular file, else the first such file in an absolute PATH
    // directory (empty and relative PATH entries, which mean the current
    // directory, are skipped, so a file planted there is never picked up).
    // A name containing "/" is taken as a path and not searched.
    static std::filesystem::path Locate(const std::string& name, const std::filesystem::path& exeDir);

    // Directory of the running executable, from /proc/self/exe; empty when
    // it cannot be read.
    static std::filesystem::path OwnDirectory();

private:
    std::string m_name;
    std::filesystem::path m_path;
};

}  // namespace provisor
