#include "session/PeriodicThread.h"

namespace provisor {

void PeriodicThread::Start(std::chrono::milliseconds period, First first, std::function<void()> work) {
    if (m_thread.joinable()) return;
    m_stop = false;
    m_thread = std::thread([this, period, first, work = std::move(work)] {
        std::unique_lock lock(m_mutex);
        bool pause = first == First::Pause;
        while (!m_stop) {
            if (pause) {
                m_wake.wait_for(lock, period, [this] { return m_stop; });
                if (m_stop) break;
            }
            pause = true;
            lock.unlock();
            work();
            lock.lock();
        }
    });
}

void PeriodicThread::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

}  // namespace provisor
