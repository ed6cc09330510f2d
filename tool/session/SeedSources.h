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

#include "session/CardApi.h"
#include "formats/SeedFile.h"

namespace provisor {

// A seed provider library and the descriptor it was loaded through.
struct LoadedProvider {
    void* handle = nullptr;
    int fd = -1;
};

class SeedSources {
public:
    ~SeedSources();

    // Replaces the seed table from the file (see LoadSeedFile).
    bool LoadSeedTable(const std::filesystem::path& path, std::string_view serial);
    std::optional<std::vector<uint8_t>> LookUp(std::string_view serial) const;

    // Loads the seed provider library at path (relative to the working
    // directory, never searched for on the loader's path; a regular file
    // only) and makes its GetSeed api's entry. On failure the entry is left empty (and any earlier
    // provider unloaded), so no write can call a function that is gone.
    bool LoadProvider(CardApi& api, const std::filesystem::path& path);
    void UnloadProvider(CardApi& api);

private:
    mutable std::mutex m_mutex;
    SeedTable m_table;
    LoadedProvider m_provider;
};

}  // namespace provisor
