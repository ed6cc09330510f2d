#include "SeedSources.h"

#include <dlfcn.h>

#include "CallRunner.h"

namespace provisor {

SeedSources g_seedSources;

SeedSources::~SeedSources() {
    if (m_provider) dlclose(m_provider);
}

bool SeedSources::LoadSeedTable(const std::filesystem::path& path, std::string_view serial) {
    SeedTable table;
    const bool ok = LoadSeedFile(path, serial, table);
    std::lock_guard lock(m_mutex);
    m_table = std::move(table);
    return ok;
}

std::optional<std::vector<uint8_t>> SeedSources::LookUp(std::string_view serial) const {
    std::lock_guard lock(m_mutex);
    return LookUpSeed(m_table, serial);
}

bool SeedSources::LoadProvider(CardApi& api, const std::filesystem::path& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* getSeed = handle ? dlsym(handle, "GetSeed") : nullptr;
    if (handle && !getSeed) {
        dlclose(handle);
        handle = nullptr;
    }
    // The old provider may be inside a call on the card thread: swap under
    // the call lock, waiting for that call without freezing the window.
    RunBlocking([&] {
        std::lock_guard callLock(CardApi::CallLock());
        api.Set<CardFn::GetSeed>(reinterpret_cast<PFN_GetSeed>(getSeed));
        std::lock_guard lock(m_mutex);
        if (m_provider) dlclose(m_provider);
        m_provider = handle;
    });
    return handle != nullptr;
}

void SeedSources::UnloadProvider(CardApi& api) {
    RunBlocking([&] {
        std::lock_guard callLock(CardApi::CallLock());
        api.Set<CardFn::GetSeed>(nullptr);
        std::lock_guard lock(m_mutex);
        if (m_provider) dlclose(m_provider);
        m_provider = nullptr;
    });
}

}  // namespace provisor
