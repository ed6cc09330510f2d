// enroll_watch_bench [--insertions N] [--idle SECONDS]
//
// keyloom enroll --watch on the two virtual tokens of scripts/pcsc-env.sh,
// as an operator runs it: fresh tokens go in alternately in the two readers
// (insert-new through the control channel), and the station's own report
// of each token says how long it took from the moment PC/SC told the
// station of the token to its records on disk (PSKC, privacyIDEA CSV),
// and how much of that the token command library took. Printed:
//  (a) the station's own share: that time without the library's calls;
//  (b) the whole time, for scale;
//  (c) the station's processor time over an idle spell with both readers
//      watched, as a share of one core.
// The fixture's tokens come back (fresh) at the end. Without the
// simulators it says so and exits 0. Figures are printed, never judged.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SimControl.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace sim = norvik::simtest;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// A number field of one JSON line ("elapsedMs":12.5).
double Field(const std::string& line, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(line, m, std::regex("\"" + name + "\":([0-9.eE+-]+)"))) return -1;
    return std::stod(m[1]);
}

void Summary(const char* what, std::vector<double> v) {
    if (v.empty()) {
        std::printf("  %-44s no samples\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    std::printf("  %-44s median %7.2f ms, p90 %7.2f ms, max %7.2f ms (%zu tokens)\n", what, v[v.size() / 2],
                v[v.size() * 9 / 10], v.back(), v.size());
}

// The process's user and system time in seconds (/proc/PID/stat).
double CpuSeconds(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; in >> field; ++i) {
        if (i == 14) utime = std::stod(field);
        if (i == 15) {
            stime = std::stod(field);
            break;
        }
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
    int insertions = 20;
    double idleSeconds = 20;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--insertions") insertions = std::max(2, std::atoi(argv[i + 1]));
        if (std::string(argv[i]) == "--idle") idleSeconds = std::max(1.0, std::atof(argv[i + 1]));
    }
    try {
        sim::SimStatus(0, "serial");
        sim::SimStatus(1, "serial");
    } catch (const std::exception&) {
        std::printf("enroll_watch_bench: skipped (needs pcscd with both virtual tokens)\n");
        return 0;
    }
    const fs::path keyloom = fs::read_symlink("/proc/self/exe").parent_path() / "keyloom";
    char pattern[] = "/tmp/enroll-watch-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const fs::path dir = pattern;
    const std::string key = (dir / "key.txt").string();
    std::ofstream(key) << "6B3F09D2A4C8571E90B2D6F4138A5C7E\n";
    const fs::path out = dir / "out.jsonl";

    std::vector<std::string> args = {keyloom.string(),
                                     "enroll",
                                     "--watch",
                                     "-p",
                                     "7",
                                     "--force",
                                     "--key-file",
                                     key,
                                     "--pskc",
                                     (dir / "t.pskc").string(),
                                     "--pskc-key-file",
                                     key,
                                     "--privacyidea-csv",
                                     (dir / "t.csv").string(),
                                     "--journal",
                                     (dir / "journal.jsonl").string(),
                                     "--json"};
    std::vector<char*> argv2;
    for (std::string& a : args) argv2.push_back(a.data());
    argv2.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, keyloom.c_str(), &actions, nullptr, argv2.data(), environ) != 0) return 1;
    posix_spawn_file_actions_destroy(&actions);

    const auto waitLines = [&](size_t count) {
        const auto until = Clock::now() + std::chrono::seconds(30);
        std::vector<std::string> lines;
        while ((lines = Lines(ReadFile(out))).size() < count && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return lines.size() >= count;
    };
    int failures = 0;
    if (!waitLines(2)) ++failures;  // the two tokens in the readers at the start
    for (int i = 0; i < insertions && !failures; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "NVB%09d", i + 1);
        sim::SimControlOk(i % 2, std::string("insert-new ") + serial);
        if (!waitLines(3 + i)) ++failures;
    }

    // Idle: both readers watched, nobody inserting.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpuBefore = CpuSeconds(pid);
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const double cpu = CpuSeconds(pid) - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - idleStart).count();

    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;

    std::vector<double> own, whole;
    const std::vector<std::string> lines = Lines(ReadFile(out));
    for (size_t i = 2; i < lines.size(); ++i) {
        if (lines[i].find("\"result\":\"enrolled\"") == std::string::npos) {
            if (lines[i].find("\"command\"") == std::string::npos) ++failures;
            continue;
        }
        const double elapsed = Field(lines[i], "elapsedMs"), library = Field(lines[i], "libraryMs");
        whole.push_back(elapsed);
        own.push_back(elapsed - library);
    }
    std::printf("enroll --watch, two readers, %d tokens inserted alternately:\n", insertions);
    Summary("(a) seen to records on disk, without library", own);
    Summary("(b) seen to records on disk, all of it", whole);
    std::printf("  (c) idle %.1f s: %.1f ms of processor time, %.3f %% of one core (goal: under 1 %%)\n", wall,
                cpu * 1000, 100 * cpu / wall);

    for (int i = 0; i < 2; ++i) {
        sim::SimControl(i, std::string("insert-new ") + (i == 0 ? "NV2A00000001" : "NV1B00000002"));
        sim::WaitForCard(sim::ReaderName(i), false);
        sim::WaitForCard(sim::ReaderName(i), true);
    }
    fs::remove_all(dir);
    if (failures) std::printf("enroll_watch_bench: %d failures; the figures above are not meaningful\n", failures);
    return failures ? 1 : 0;
}
