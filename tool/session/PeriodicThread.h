// A thread that does one piece of work every so often until it is stopped;
// a stop takes effect at once, not after the pause in progress.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace provisor {

class PeriodicThread {
public:
    enum class First { Work, Pause };

    PeriodicThread() = default;
    ~PeriodicThread() { Stop(); }
    PeriodicThread(const PeriodicThread&) = delete;
    PeriodicThread& operator=(const PeriodicThread&) = delete;

    // Starts work, then a pause of `period`, and so on (or the pause
    // first). Does nothing while running.
    void Start(std::chrono::milliseconds period, First first, std::function<void()> work);
    // Ends the thread: after the work in progress, or at once in a pause.
    void Stop();

private:
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
};

}  // namespace provisor
