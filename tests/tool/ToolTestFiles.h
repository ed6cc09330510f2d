// Temporary directories and whole-file access for the tool tests.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tooltest {

namespace fs = std::filesystem;

// A fresh directory "provisor-<tag>-XXXXXX" under the temporary directory.
inline fs::path MakeTempDir(const char* tag) {
    std::string pattern = (fs::temp_directory_path() / (std::string("provisor-") + tag + "-XXXXXX")).string();
    return fs::path(mkdtemp(pattern.data()));
}

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const fs::path& p, const std::string& content) { std::ofstream(p, std::ios::binary) << content; }

// A temporary executable directory and a separate working directory; the
// process works in the latter until Leave(), which removes both.
struct ExeAndWorkDirs {
    void Enter(const char* tag) {
        root = MakeTempDir(tag);
        exeDir = root / "bin";
        workDir = root / "work";
        fs::create_directories(exeDir);
        fs::create_directories(workDir);
        oldCwd = fs::current_path();
        fs::current_path(workDir);
    }
    void Leave() {
        fs::current_path(oldCwd);
        fs::remove_all(root);
    }

    fs::path root, exeDir, workDir, oldCwd;
};

#ifdef FAKE_QUILLON_PATH
// Puts the stand-in library where start-up looks first.
inline void InstallFakeLibrary(const fs::path& exeDir) { fs::copy_file(FAKE_QUILLON_PATH, exeDir / "libQuillon.so"); }
#endif

}  // namespace tooltest
