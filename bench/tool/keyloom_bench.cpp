// keyloom on the two virtual tokens: what --all-readers gains over running
// the readers one after the other, what --verify costs, and what enroll
// (a fresh seed, verified, three exports and the journal) costs beside
// provision --verify of the same profile. Runs the
// keyloom program beside this one, as a script would, and prints wall
// times and ratios. Prints "skipped" and exits 0 without pcscd or without
// both tokens.
//
//   keyloom_bench [--rounds N]
#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Quillon.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

const std::string kR0 = "Virtual PCD 00 00";
const std::string kR1 = "Virtual PCD 00 01";

fs::path g_keyloom;
fs::path g_dir;

// Runs keyloom with args, output to a file; returns the exit status and
// the wall time in seconds.
std::pair<int, double> Keyloom(std::vector<std::string> args, const char* output = "/dev/null") {
    args.insert(args.begin(), g_keyloom.string());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int status = -1;
    if (posix_spawn(&pid, g_keyloom.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        waitpid(pid, &status, 0);
        status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return {status, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

// Two ways of doing the same, side by side: medians, the median of the
// rounds' ratios against its goal, and the ratio of the best times.
void Compare(const char* title, int rounds, const char* baseName, const std::vector<double>& base,
             const char* otherName, const std::vector<double>& other, const std::vector<double>& ratios,
             const char* goal) {
    std::printf("%s (%d rounds):\n", title, rounds);
    std::printf("  %-27s %8.3f s (median)\n", baseName, Median(base));
    std::printf("  %-27s %8.3f s (median)\n", otherName, Median(other));
    std::printf("  ratio                       %8.3f   median of the rounds' ratios (goal: %s)\n", Median(ratios),
                goal);
    std::printf("  ratio of the best times     %8.3f\n", Best(other) / Best(base));
}

std::string Base32Of(uint8_t byte) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::string out;
    uint32_t buffer = 0;
    int bits = 0;
    for (int i = 0; i < 20; ++i) {
        buffer = buffer << 8 | byte;
        bits += 8;
        while (bits >= 5) {
            out += alphabet[(buffer >> (bits - 5)) & 31];
            bits -= 5;
        }
    }
    return out;
}

// What a bulk run of 100 lines sends, straight through the library without
// keyloom: CardReadSeedInfo, CardConfig and CardBurnSeed per line.
void RawBulk(const std::string& reader) {
    const char* key = "6B3F09D2A4C8571E90B2D6F4138A5C7E";
    const uint8_t seed[20] = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
    for (int i = 0; i < 100; ++i) {
        int32_t clearSeed = 0, kept = 0;
        CardReadSeedInfo(reader.c_str(), i % 50, &clearSeed, nullptr, &kept);
        CardConfig(reader.c_str(), key, i % 50, "SHA1", 30, 6, clearSeed, nullptr, "raw", 0, kept);
        CardBurnSeed(reader.c_str(), key, i % 50, seed, 20);
    }
}

// The readers' raw runs in child processes (the library keeps one session
// per process), one after the other or together; wall seconds.
double RawRuns(bool together) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> children;
    for (const std::string& reader : {kR0, kR1}) {
        const pid_t pid = fork();
        if (pid == 0) {
            RawBulk(reader);
            _exit(0);
        }
        if (!together)
            waitpid(pid, nullptr, 0);
        else
            children.push_back(pid);
    }
    for (pid_t pid : children) waitpid(pid, nullptr, 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    g_keyloom = fs::read_symlink("/proc/self/exe").parent_path() / "keyloom";
    char pattern[] = "/tmp/keyloom-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    g_dir = pattern;
    const std::string readers = (g_dir / "readers.json").string();
    Keyloom({"readers", "--json"}, readers.c_str());
    std::ifstream in(readers);
    const std::string list((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (list.find("NV2A00000001") == std::string::npos || list.find("NV1B00000002") == std::string::npos) {
        std::printf("keyloom_bench: skipped (needs pcscd with both virtual tokens)\n");
        fs::remove_all(g_dir);
        return 0;
    }

    const std::string key = (g_dir / "key.txt").string();
    std::ofstream(key) << "6B3F09D2A4C8571E90B2D6F4138A5C7E\n";
    const std::string bulk = (g_dir / "bulk100.txt").string();
    const std::string cleanup = (g_dir / "cleanup.txt").string();
    {
        std::ofstream b(bulk), c(cleanup);
        for (int i = 0; i < 100; ++i)
            b << (i % 50) << " " << Base32Of(static_cast<uint8_t>(i + 1)) << " SHA1 6 30 NO NO b" << i << "\n";
        for (int i = 0; i < 50; ++i) c << i << "\n";
    }
    const std::string seed = (g_dir / "seed.txt").string();
    std::ofstream(seed) << Base32Of(7) << "\n";

    int failures = 0;
    const auto timed = [&](const std::vector<std::string>& args) {
        const auto [status, seconds] = Keyloom(args);
        if (status != 0) ++failures;
        return seconds;
    };

    // 1. Two readers: one after the other, and --all-readers.
    // On a shared machine the median of the ratios and the ratio of the
    // best times both say something; both are printed.
    std::vector<double> first, second, parallel, ratios;
    for (int r = 0; r < rounds; ++r) {
        const double a = timed({"bulk", bulk, "-r", kR0, "--key-file", key});
        const double b = timed({"bulk", bulk, "-r", kR1, "--key-file", key});
        const double both = timed({"bulk", bulk, "--all-readers", "--key-file", key});
        first.push_back(a);
        second.push_back(b);
        parallel.push_back(both);
        ratios.push_back(both / (a + b));
    }
    std::printf("bulk, 100 lines, two tokens (%d rounds):\n", rounds);
    std::printf("  reader 0, then reader 1     %8.3f s + %.3f s (median)\n", Median(first), Median(second));
    std::printf("  --all-readers               %8.3f s (median)\n", Median(parallel));
    std::printf("  ratio                       %8.3f   median of the rounds' ratios (goal: under 0.6)\n",
                Median(ratios));
    std::printf("  ratio of the best times     %8.3f\n", Best(parallel) / (Best(first) + Best(second)));
    // The floor on this machine: the same library calls without keyloom,
    // from two processes, against one after the other. pcscd and the two
    // simulators share the cores with the callers.
    std::vector<double> rawRatios;
    for (int r = 0; r < rounds; ++r) {
        const double apart = RawRuns(false);
        rawRatios.push_back(RawRuns(true) / apart);
    }
    std::printf("  the same calls without keyloom, two processes against one after the other:\n");
    std::printf("  ratio                       %8.3f   median\n", Median(rawRatios));

    // 2. --verify: one profile, and a 100-line bulk file.
    std::vector<double> plain, verified, verifyRatios;
    for (int r = 0; r < rounds * 4; ++r) {
        const std::vector<std::string> args = {"provision",   "-r", kR0,          "-p", "60",
                                               "--seed-file", seed, "--key-file", key,  "--force"};
        std::vector<std::string> withVerify = args;
        withVerify.push_back("--verify");
        const double p = timed(args);
        const double v = timed(withVerify);
        plain.push_back(p);
        verified.push_back(v);
        verifyRatios.push_back(v / p);
    }
    Compare("provision one profile", rounds * 4, "without --verify", plain, "with --verify", verified, verifyRatios,
            "under 1.35");

    plain.clear();
    verified.clear();
    verifyRatios.clear();
    for (int r = 0; r < rounds; ++r) {
        const double p = timed({"bulk", bulk, "-r", kR0, "--key-file", key});
        const double v = timed({"bulk", bulk, "-r", kR0, "--key-file", key, "--verify"});
        plain.push_back(p);
        verified.push_back(v);
        verifyRatios.push_back(v / p);
    }
    Compare("bulk, 100 lines on 50 profiles, one token", rounds, "without --verify", plain, "with --verify", verified,
            verifyRatios, "under 1.35");

    // 3. enroll of one token, with every export and the journal, against
    // provision --verify of the same profile.
    const std::string users = (g_dir / "users.txt").string();
    std::ofstream(users) << "bench@example.com\n";
    // The same with the journal alone: what the exports' files and their
    // syncs (header, name, record, end: about ten) add on this disk.
    std::vector<double> enrolled, journalOnly, provisioned, enrollRatios, journalRatios;
    for (int r = 0; r < rounds * 4; ++r) {
        const double p =
            timed({"provision", "-r", kR0, "-p", "60", "--seed-file", seed, "--key-file", key, "--force", "--verify"});
        const double e = timed({"enroll",
                                "-r",
                                kR0,
                                "-p",
                                "60",
                                "--key-file",
                                key,
                                "--force",
                                "--users",
                                users,
                                "--pskc",
                                (g_dir / "e.pskc").string(),
                                "--pskc-key-file",
                                key,
                                "--entra-csv",
                                (g_dir / "e.csv").string(),
                                "--privacyidea-csv",
                                (g_dir / "p.csv").string(),
                                "--overwrite",
                                "--journal",
                                (g_dir / "journal.jsonl").string()});
        const double j = timed({"enroll", "-r", kR0, "-p", "60", "--key-file", key, "--force", "--journal",
                                (g_dir / "journal.jsonl").string()});
        provisioned.push_back(p);
        enrolled.push_back(e);
        journalOnly.push_back(j);
        enrollRatios.push_back(e / p);
        journalRatios.push_back(j / p);
    }
    Compare("enroll one token, three exports and the journal", rounds * 4, "provision --verify", provisioned, "enroll",
            enrolled, enrollRatios, "at most 1.2");
    Compare("enroll one token, the journal alone", rounds * 4, "provision --verify", provisioned, "enroll", journalOnly,
            journalRatios, "at most 1.2");

    // Leave the tokens without the benchmark's seeds.
    Keyloom({"bulk", cleanup, "--all-readers", "--key-file", key});
    Keyloom({"delete", "-r", kR0, "-p", "60", "--key-file", key});
    fs::remove_all(g_dir);
    if (failures) std::printf("keyloom_bench: %d runs failed; the figures above are not meaningful\n", failures);
    return failures ? 1 : 0;
}
