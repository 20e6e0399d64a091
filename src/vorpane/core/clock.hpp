#pragma once

#include <chrono>

namespace vorpane::core {

// Time as the tool reads it: wall-clock seconds for cache expiry, a steady clock for durations
// and progress, and waiting. Tests replace it to control time.
class Clock {
  public:
    virtual ~Clock() = default;
    // Seconds since the epoch.
    virtual double now() = 0;
    virtual std::chrono::steady_clock::time_point steady() = 0;
    virtual void sleep_for(std::chrono::milliseconds duration) = 0;
};

// The system's clocks and a real sleep.
class SystemClock final : public Clock {
  public:
    double now() override;
    std::chrono::steady_clock::time_point steady() override;
    void sleep_for(std::chrono::milliseconds duration) override;
};

} // namespace vorpane::core
