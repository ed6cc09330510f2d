#include "session/CardLibrary.h"

#include <dlfcn.h>
#include <link.h>

#include <system_error>
#include <vector>

#include "NorvikVersion.h"

namespace provisor {

bool CardLibrary::Load(const std::filesystem::path& exeDir, const std::string& fileName) {
    Unload();
    std::vector<std::string> names{fileName};
    // An installed system has the versioned name only; the plain one comes
    // with the development files.
    if (fileName == kCardLibraryName) names.emplace_back(QUILLON_SONAME);
    for (const std::string& name : names) {
        if (!exeDir.empty()) m_handle = dlopen((exeDir / name).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!m_handle) m_handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_handle) return true;
    }
    return false;
}

void* CardLibrary::Symbol(const char* name) const { return m_handle ? dlsym(m_handle, name) : nullptr; }

std::filesystem::path CardLibrary::Path() const {
    link_map* map = nullptr;
    if (!m_handle || dlinfo(m_handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return {};
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(map->l_name, ec);
    return ec ? std::filesystem::path(map->l_name) : resolved;
}

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
