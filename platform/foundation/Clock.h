// The one clock that every timer, delay and timeout reads. Tests install a ManualClock and move
// it forward, so minutes of protocol time pass in milliseconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace platform {

using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

inline constexpr Duration seconds(double s) {
  return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}

// The wall time `seconds` (and `nanoseconds`) after 1970, as a file, an archive or a server gives
// it. The clock counts nanoseconds, which reach about 292 years either side of 1970; a time
// beyond (a file touched to the year 2300, a server's 64-bit time) is held to the last day it
// reaches, so that it still shows as a date far off and nothing overflows.
WallTime wallTimeFromUnix(int64_t seconds, int64_t nanoseconds = 0);

class Clock {
public:
  virtual ~Clock() = default;
  // Monotonic time: what timers, delays and timeouts are measured in.
  virtual TimePoint now() const = 0;
  // Calendar time ("now" for dates, file times, "today" in listings).
  virtual WallTime wallNow() const = 0;
  // True when time moves only when a test says so (run loops then never sleep on real time).
  virtual bool isManual() const { return false; }

  // The process-wide clock (the real one unless a test installed another).
  static Clock &current();
  static std::shared_ptr<Clock> currentShared();
  // Installs a clock for the whole process (tests); nullptr restores the real clock.
  static void install(std::shared_ptr<Clock> clock);
};

class SystemClock final : public Clock {
public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
  WallTime wallNow() const override { return std::chrono::system_clock::now(); }
};

// A clock that moves only through advance(). Advancing wakes every run loop, which then fires the
// timers that have come due, in deadline order.
class ManualClock final : public Clock {
public:
  explicit ManualClock(WallTime wallStart = std::chrono::system_clock::now());
  TimePoint now() const override;
  WallTime wallNow() const override;
  bool isManual() const override { return true; }
  void advance(Duration d);

private:
  struct State;
  std::shared_ptr<State> state_;
};

} // namespace platform
