// How a thread waits for a library call. Worker threads simply make the
// call. The UI thread must not: a token that waits for its user (a key
// change) or a slow reader would freeze the window, so the dialog installs
// a runner that makes the call on another thread and keeps the event loop
// turning meanwhile.
#pragma once

#include <functional>
#include <thread>

namespace provisor {

class ICallRunner {
public:
    virtual ~ICallRunner() = default;
    // Runs work to completion before returning.
    virtual void Run(const std::function<void()>& work) = 0;
};

// Installs runner for calls made on thread `owner` (null to remove it).
void SetThreadCallRunner(ICallRunner* runner, std::thread::id owner = std::this_thread::get_id());

// Runs work through the calling thread's runner, or inline when it has none.
void RunBlocking(const std::function<void()>& work);

}  // namespace provisor
