// The clock thread: once a second, while "Auto time" is selected, the UTC
// time field gets the computer's UTC time in the form the token takes.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <string>

#include "session/ToolSession.h"
#include "session/PeriodicThread.h"

namespace provisor {

// "%d/%02d/%02d/%02d/%02d/%02d": year/month/day/hour/minute/second, UTC.
std::string FormatUtcTimeField(std::time_t when);
std::string FormatUtcTimeField(std::chrono::system_clock::time_point when);

class ClockTicker {
public:
    // setText is called on the clock thread and must not block.
    ClockTicker(ToolSession& session, std::function<void(const std::string&)> setText);
    ~ClockTicker() { Stop(); }
    ClockTicker(const ClockTicker&) = delete;
    ClockTicker& operator=(const ClockTicker&) = delete;

    void Start();
    void Stop() { m_thread.Stop(); }
    // One tick: the field's text, from the session's clock, when "Auto time"
    // is selected.
    void Tick();

    static constexpr int kPeriodMs = 1000;

private:
    ToolSession& m_session;
    std::function<void(const std::string&)> m_setText;
    PeriodicThread m_thread;
};

}  // namespace provisor
