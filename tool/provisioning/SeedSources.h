// The two seed sources besides the seed field: the table of a seed file and
// a seed provider library's GetSeed. Loaded on the UI thread, read by the
// card thread's automatic write.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CardApi.h"
#include "SeedFile.h"

namespace provisor {

class SeedSources {
public:
    ~SeedSources();

    // Replaces the seed table from the file (see LoadSeedFile).
    bool LoadSeedTable(const std::filesystem::path& path, std::string_view serial);
    std::optional<std::vector<uint8_t>> LookUp(std::string_view serial) const;

    // Loads a seed provider library by its full path and makes its GetSeed
    // api's entry. On failure the entry is left empty (and any earlier
    // provider unloaded), so no write can call a function that is gone.
    bool LoadProvider(CardApi& api, const std::filesystem::path& path);
    void UnloadProvider(CardApi& api);

private:
    mutable std::mutex m_mutex;
    SeedTable m_table;
    void* m_provider = nullptr;
};

extern SeedSources g_seedSources;

}  // namespace provisor
