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

ClockTicker::ClockTicker(DialogState& state, std::function<void(const std::string&)> setText)
    : m_state(state), m_setText(std::move(setText)) {}

void ClockTicker::Tick() {
    if (m_state.m_autoTime) m_setText(FormatUtcTimeField(std::time(nullptr)));
}

void ClockTicker::Start() {
    m_thread.Start(std::chrono::milliseconds(kPeriodMs), PeriodicThread::First::Pause, [this] { Tick(); });
}

}  // namespace provisor
