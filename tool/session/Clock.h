// The tool's time: the wall clock it shows in the UTC field and stamps into
// the log, and the pauses its flows make. The session holds one; tests give
// it a ManualClock, so no test waits on the wall clock for a flow's pause.
#pragma once

#include <chrono>
#include <mutex>

namespace provisor {

class IClock {
public:
    virtual ~IClock() = default;
    virtual std::chrono::system_clock::time_point Now() const = 0;
    // Holds the calling thread for pause.
    virtual void Wait(std::chrono::milliseconds pause) = 0;
};

class SystemClock final : public IClock {
public:
    std::chrono::system_clock::time_point Now() const override;
    void Wait(std::chrono::milliseconds pause) override;
};

// Moves only when told to, or by the pauses made on it, which return at once.
class ManualClock final : public IClock {
public:
    explicit ManualClock(std::chrono::system_clock::time_point start = {}) : m_now(start) {}

    std::chrono::system_clock::time_point Now() const override;
    void Wait(std::chrono::milliseconds pause) override;
    void Advance(std::chrono::milliseconds by);
    // All the pauses made so far.
    std::chrono::milliseconds Waited() const;

private:
    mutable std::mutex m_mutex;
    std::chrono::system_clock::time_point m_now;
    std::chrono::milliseconds m_waited{0};
};

}  // namespace provisor
