#include "session/ToolState.h"

#include "formats/Secrets.h"

namespace provisor {

std::shared_ptr<const std::string> SharedText::Hold(std::string text) {
    return std::shared_ptr<const std::string>(new std::string(std::move(text)), [](const std::string* held) {
        Wipe(*const_cast<std::string*>(held));
        delete held;
    });
}

CustomerKeyText g_customerKey;
SharedText g_readerName;
std::atomic<SeedSource> g_seedSource{SeedSource::Typed};
std::atomic<bool> g_readPending{true};
std::atomic<bool> g_writePending{true};
std::atomic<CardThreadState> g_cardThreadState{CardThreadState::None};
std::atomic<int> g_totalCount{0};
std::atomic<int> g_successCount{0};
std::atomic<int> g_failCount{0};

}  // namespace provisor
