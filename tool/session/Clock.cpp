#include "session/Clock.h"

#include <thread>

namespace provisor {

std::chrono::system_clock::time_point SystemClock::Now() const { return std::chrono::system_clock::now(); }

void SystemClock::Wait(std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }

std::chrono::system_clock::time_point ManualClock::Now() const {
    std::lock_guard lock(m_mutex);
    return m_now;
}

void ManualClock::Wait(std::chrono::milliseconds pause) {
    std::lock_guard lock(m_mutex);
    m_now += pause;
    m_waited += pause;
}

void ManualClock::Advance(std::chrono::milliseconds by) {
    std::lock_guard lock(m_mutex);
    m_now += by;
}

std::chrono::milliseconds ManualClock::Waited() const {
    std::lock_guard lock(m_mutex);
    return m_waited;
}

}  // namespace provisor
