#include "ClockTicker.h"

#include <chrono>
#include <cstdio>

namespace provisor {

std::string FormatUtcTimeField(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%d/%02d/%02d/%02d/%02d/%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

ClockTicker::ClockTicker(DialogState& state, std::function<void(const std::string&)> setText)
    : m_state(state), m_setText(std::move(setText)) {}

void ClockTicker::Tick() {
    if (m_state.m_autoTime) m_setText(FormatUtcTimeField(std::time(nullptr)));
}

void ClockTicker::Start() {
    if (m_thread.joinable()) return;
    m_stop = false;
    m_thread = std::thread([this] {
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            m_wake.wait_for(lock, std::chrono::milliseconds(kPeriodMs), [this] { return m_stop; });
            if (m_stop) break;
            lock.unlock();
            Tick();
            lock.lock();
        }
    });
}

void ClockTicker::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

}  // namespace provisor
