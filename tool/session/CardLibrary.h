// Owns the dlopen handle of the token command library.
#pragma once

#include <filesystem>
#include <string>

namespace provisor {

inline constexpr char kCardLibraryName[] = "libQuillon.so";

class CardLibrary {
public:
    CardLibrary() = default;
    ~CardLibrary() { Unload(); }
    CardLibrary(const CardLibrary&) = delete;
    CardLibrary& operator=(const CardLibrary&) = delete;

    // The copy beside the executable first, then the loader's normal search
    // for the plain name; for the command library also its versioned name,
    // the same two ways. Replaces any library loaded before.
    bool Load(const std::filesystem::path& exeDir, const std::string& fileName = kCardLibraryName);
    bool IsLoaded() const { return m_handle != nullptr; }
    // Address of an exported name, or null.
    void* Symbol(const char* name) const;
    // The file actually loaded (after the loader's search), or empty.
    std::filesystem::path Path() const;
    void Unload();

private:
    void* m_handle = nullptr;
};

// Directory of the running executable.
std::filesystem::path ExecutableDirectory();

}  // namespace provisor
