// Reading a 10,000-line bulk file: wall time of LoadBulkFile (file read plus
// parse) and of the parse alone, and the heap the load needs at its peak.
// The goal is well under 50 ms and a few MB; figures only, no verdict.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "formats/BulkFile.h"

namespace {

// Heap accounting: every allocation carries its size in front of it.
size_t g_liveBytes = 0;
size_t g_peakBytes = 0;
constexpr size_t kHeader = alignof(std::max_align_t);

void* CountedAlloc(size_t n) {
    auto* p = static_cast<unsigned char*>(std::malloc(n + kHeader));
    if (p == nullptr) throw std::bad_alloc();
    *reinterpret_cast<size_t*>(p) = n;
    g_liveBytes += n;
    g_peakBytes = std::max(g_peakBytes, g_liveBytes);
    return p + kHeader;
}

void CountedFree(void* q) {
    if (q == nullptr) return;
    auto* p = static_cast<unsigned char*>(q) - kHeader;
    g_liveBytes -= *reinterpret_cast<size_t*>(p);
    std::free(p);
}

}  // namespace

void* operator new(size_t n) { return CountedAlloc(n); }
void* operator new[](size_t n) { return CountedAlloc(n); }
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, size_t) noexcept { CountedFree(p); }

namespace {

constexpr int kLines = 10000;

std::string Base32(const std::vector<unsigned char>& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::string text;
    unsigned bits = 0;
    int count = 0;
    for (unsigned char b : bytes) {
        bits = (bits << 8) | b;
        count += 8;
        while (count >= 5) text.push_back(alphabet[(bits >> (count -= 5)) & 31]);
    }
    if (count > 0) text.push_back(alphabet[(bits << (5 - count)) & 31]);
    return text;
}

// A header, then mostly full lines with 20- and 32-byte seeds and one delete
// line in ten, as an operator's export would look.
std::string MakeFile() {
    std::string text = "Profile Seed Algorithm OTP-length Time-step Set-time Auto-enter Title\r\n";
    unsigned state = 12345;
    for (int i = 0; i < kLines - 1; ++i) {
        const int profile = i % 100;
        if (i % 10 == 9) {
            text += std::to_string(profile) + "\r\n";
            continue;
        }
        std::vector<unsigned char> seed(i % 2 ? 32 : 20);
        for (auto& b : seed) b = static_cast<unsigned char>((state = state * 1103515245u + 12345u) >> 16);
        text += std::to_string(profile) + " " + Base32(seed) + (i % 2 ? " SHA256 8 60 " : " SHA1 6 30 ") +
                (i % 3 ? "YES NO " : "NO YES ") + "Account " + std::to_string(i % 1000) + "\r\n";
    }
    return text;
}

double Milliseconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("  %-26s min %6.2f ms   median %6.2f ms   max %6.2f ms   (%zu runs)\n", what, ms.front(),
                ms[ms.size() / 2], ms.back(), ms.size());
}

}  // namespace

int main() {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("provisor-bulk-bench-" + std::to_string(getpid()) + ".txt");
    const std::string text = MakeFile();
    std::ofstream(path, std::ios::binary) << text;

    std::vector<provisor::BulkEntry> entries;
    if (!provisor::LoadBulkFile(path, entries) || entries.size() != kLines - 1) {
        std::fprintf(stderr, "bulk_parse_bench: the generated file did not load\n");
        std::filesystem::remove(path);
        return 1;
    }
    entries = {};
    entries.shrink_to_fit();

    // Peak heap of one load on its own, its result included.
    const size_t before = g_liveBytes;
    g_peakBytes = g_liveBytes;
    {
        std::vector<provisor::BulkEntry> once;
        provisor::LoadBulkFile(path, once);
    }
    const size_t loadPeak = g_peakBytes - before;

    constexpr int kRuns = 30;
    std::vector<double> load, parse;
    for (int r = 0; r < kRuns; ++r) {
        std::vector<provisor::BulkEntry> out;
        auto t0 = std::chrono::steady_clock::now();
        provisor::LoadBulkFile(path, out);
        load.push_back(Milliseconds(std::chrono::steady_clock::now() - t0));
        out.clear();
        t0 = std::chrono::steady_clock::now();
        provisor::ParseBulkText(text, out);
        parse.push_back(Milliseconds(std::chrono::steady_clock::now() - t0));
    }
    std::filesystem::remove(path);

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("bulk file: %d lines, %.1f KB, %d entries of %zu bytes\n", kLines, text.size() / 1024.0, kLines - 1,
                sizeof(provisor::BulkEntry));
    Report("LoadBulkFile (read+parse)", load);
    Report("ParseBulkText (in memory)", parse);
    std::printf("  peak heap of one load      %.2f MB (entries alone %.2f MB)\n", loadPeak / 1048576.0,
                (kLines - 1) * sizeof(provisor::BulkEntry) / 1048576.0);
    std::printf("  peak resident set          %.2f MB for the whole program\n", usage.ru_maxrss / 1024.0);
    std::printf("  goal: under 50 ms and a few MB; median load is %.0f%% of 50 ms\n",
                100.0 * load[load.size() / 2] / 50.0);
    return 0;
}
