#include "session/ClockTicker.h"

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

std::string FormatUtcTimeField(std::chrono::system_clock::time_point when) {
    return FormatUtcTimeField(std::chrono::system_clock::to_time_t(when));
}

ClockTicker::ClockTicker(ToolSession& session, std::function<void(const std::string&)> setText)
    : m_session(session), m_setText(std::move(setText)) {}

void ClockTicker::Tick() {
    if (m_session.m_autoTime) m_setText(FormatUtcTimeField(m_session.clock.Now()));
}

void ClockTicker::Start() {
    m_thread.Start(std::chrono::milliseconds(kPeriodMs), PeriodicThread::First::Pause, [this] { Tick(); });
}

}  // namespace provisor
