#include "ToolState.h"

namespace provisor {

CustomerKeyText g_customerKey;
std::atomic<int> g_seedSource{0};
std::atomic<int> g_readPending{1};
std::atomic<int> g_writePending{1};
std::atomic<int> g_cardThreadState{0};

}  // namespace provisor
