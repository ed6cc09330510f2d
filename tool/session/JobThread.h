// A thread that runs the session's jobs one at a time (a bulk run): started
// with the session's other threads and joined with them, so no finished
// job leaves a thread behind it, and a job's last effect is its end.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace provisor {

class JobThread {
public:
    JobThread() = default;
    ~JobThread() { Stop(); }
    JobThread(const JobThread&) = delete;
    JobThread& operator=(const JobThread&) = delete;

    // Starts the thread (once).
    void Start();
    // Hands job to the thread. False while a job runs, or when the thread
    // is not running; job then never runs.
    bool Run(std::function<void()> job);
    // Until the job handed over last has ended. Not from a job.
    void Wait();
    // After the job in progress, ends and joins the thread.
    void Stop();

private:
    void Loop();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::function<void()> m_job;
    bool m_busy = false;
    bool m_stop = false;
    bool m_started = false;
    std::thread m_thread;
};

}  // namespace provisor
