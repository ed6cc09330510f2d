#include "session/CallRunner.h"

#include <atomic>
#include <mutex>

namespace provisor {

namespace {

std::mutex g_runnerMutex;
ICallRunner* g_runner = nullptr;
std::thread::id g_runnerOwner;

}  // namespace

void SetThreadCallRunner(ICallRunner* runner, std::thread::id owner) {
    std::lock_guard lock(g_runnerMutex);
    g_runner = runner;
    g_runnerOwner = runner ? owner : std::thread::id();
}

void RunBlocking(const std::function<void()>& work) {
    ICallRunner* runner = nullptr;
    {
        std::lock_guard lock(g_runnerMutex);
        if (g_runner && g_runnerOwner == std::this_thread::get_id()) runner = g_runner;
    }
    if (runner)
        runner->Run(work);
    else
        work();
}

}  // namespace provisor
