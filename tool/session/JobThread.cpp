#include "session/JobThread.h"

namespace provisor {

void JobThread::Start() {
    std::lock_guard lock(m_mutex);
    if (m_started) return;
    m_stop = false;
    m_thread = std::thread([this] { Loop(); });
    m_started = true;
}

bool JobThread::Run(std::function<void()> job) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_started || m_stop || m_busy) return false;
        m_job = std::move(job);
        m_busy = true;
    }
    m_changed.notify_all();
    return true;
}

void JobThread::Wait() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_busy; });
}

void JobThread::Stop() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_started) return;
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
    std::lock_guard lock(m_mutex);
    m_started = false;
}

void JobThread::Loop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || m_busy; });
        if (!m_busy) return;
        std::function<void()> job = std::move(m_job);
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
        m_busy = false;
        m_changed.notify_all();
    }
}

}  // namespace provisor
