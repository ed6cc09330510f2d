// Stand-in driver for fuzz targets in builds without libFuzzer: feeds every
// file named on the command line (or found in a named directory), then a
// fixed number of pseudo-random inputs from a fixed seed, so a run is
// repeatable and bounded.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static void RunFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

int main(int argc, char** argv) {
    size_t files = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::directory_iterator(p)) {
                if (e.is_regular_file()) {
                    RunFile(e.path());
                    ++files;
                }
            }
        } else if (std::filesystem::exists(p)) {
            RunFile(p);
            ++files;
        }
    }
    std::mt19937 rng(20261207u);
    const int rounds = 20000;
    std::vector<uint8_t> buf;
    for (int r = 0; r < rounds; ++r) {
        size_t len = rng() % (r % 10 == 0 ? 1100 : 64);
        buf.resize(len);
        for (auto& b : buf) b = static_cast<uint8_t>(rng());
        // Bias towards the success status word so the parsers behind it run.
        if (len >= 2 && (r & 1)) {
            buf[len - 2] = 0x90;
            buf[len - 1] = 0x00;
        }
        LLVMFuzzerTestOneInput(buf.data(), buf.size());
    }
    std::printf("replayed %zu corpus files and %d generated inputs\n", files, rounds);
    return 0;
}
