// How a thread waits for a library call. Worker threads simply make the
// call. The UI thread must not: a token that waits for its user (a key
// change) or a slow reader would freeze the window, so the dialog installs
// a runner that makes the call on another thread and keeps the event loop
// turning meanwhile.
#pragma once

#include <functional>
#include <mutex>
#include <thread>

namespace provisor {

class ICallRunner {
public:
    virtual ~ICallRunner() = default;
    // Runs work to completion before returning.
    virtual void Run(const std::function<void()>& work) = 0;
};

// The one thread that has a runner (the UI thread), and its runner.
class CallRunnerSlot {
public:
    // Installs runner for calls made on thread owner (null removes it).
    void Set(ICallRunner* runner, std::thread::id owner = std::this_thread::get_id());
    // work through the runner when called on its thread, else inline.
    void Run(const std::function<void()>& work) const;

private:
    mutable std::mutex m_mutex;
    ICallRunner* m_runner = nullptr;
    std::thread::id m_owner;
};

}  // namespace provisor
