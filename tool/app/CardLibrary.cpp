#include "CardLibrary.h"

#include <dlfcn.h>

#include <system_error>

namespace provisor {

bool CardLibrary::Load(const std::filesystem::path& exeDir, const std::string& fileName) {
    Unload();
    if (!exeDir.empty()) {
        const std::filesystem::path beside = exeDir / fileName;
        m_handle = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (!m_handle) m_handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    return m_handle != nullptr;
}

void* CardLibrary::Symbol(const char* name) const { return m_handle ? dlsym(m_handle, name) : nullptr; }

void CardLibrary::Unload() {
    if (m_handle) dlclose(m_handle);
    m_handle = nullptr;
}

std::filesystem::path ExecutableDirectory() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
}

}  // namespace provisor
