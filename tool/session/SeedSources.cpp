#include "session/SeedSources.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace provisor {

namespace {

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// dlopen searches the loader's path for a name without a slash, so a file
// checked in the working directory could be another one of that name
// elsewhere; and a path may be replaced between a check and the load. The
// file is opened once, checked, and loaded through that very descriptor,
// which stays open while the library is loaded: the loader knows the
// library by the descriptor's name and would hand it out again for a later
// file that got the same descriptor number.
LoadedProvider OpenProviderFile(const std::filesystem::path& path) {
    if (path.empty()) return {};
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {};
    struct stat st {};
    void* handle = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) handle = dlopen(DescriptorPath(fd).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        close(fd);
        return {};
    }
    return {handle, fd};
}

void ReleaseProvider(LoadedProvider& provider) {
    if (provider.handle) dlclose(provider.handle);
    if (provider.fd >= 0) {
        // A library the loader keeps mapped after all (one that asked never
        // to be unloaded) keeps its descriptor's name taken for good.
        void* still = provider.handle ? dlopen(DescriptorPath(provider.fd).c_str(), RTLD_NOW | RTLD_NOLOAD) : nullptr;
        if (still)
            dlclose(still);
        else
            close(provider.fd);
    }
    provider = {};
}

}  // namespace

SeedSources::~SeedSources() {
    WipeSeedTable(m_table);
    ReleaseProvider(m_provider);
}

bool SeedSources::LoadSeedTable(const std::filesystem::path& path, std::string_view serial) {
    SeedTable table;
    const bool ok = LoadSeedFile(path, serial, table);
    {
        std::lock_guard lock(m_mutex);
        m_table.swap(table);
    }
    WipeSeedTable(table);  // the previous file's seeds
    return ok;
}

std::optional<std::vector<uint8_t>> SeedSources::LookUp(std::string_view serial) const {
    std::lock_guard lock(m_mutex);
    return LookUpSeed(m_table, serial);
}

bool SeedSources::LoadProvider(CardApi& api, const std::filesystem::path& path) {
    LoadedProvider loaded = OpenProviderFile(path);
    void* getSeed = loaded.handle ? dlsym(loaded.handle, "GetSeed") : nullptr;
    if (loaded.handle && !getSeed) ReleaseProvider(loaded);
    // The old provider may be inside a call on the card thread: swap under
    // the call lock, waiting for that call without freezing the window.
    api.RunLocked([&] {
        api.Set<CardFn::GetSeed>(reinterpret_cast<PFN_GetSeed>(getSeed));
        std::lock_guard lock(m_mutex);
        ReleaseProvider(m_provider);
        m_provider = loaded;
    });
    return loaded.handle != nullptr;
}

void SeedSources::UnloadProvider(CardApi& api) {
    api.RunLocked([&] {
        api.Set<CardFn::GetSeed>(nullptr);
        std::lock_guard lock(m_mutex);
        ReleaseProvider(m_provider);
    });
}

}  // namespace provisor
