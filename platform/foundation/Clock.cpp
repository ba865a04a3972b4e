#include "platform/foundation/Clock.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace platform {

namespace detail {
// Defined by the run-loop registry: tells every live run loop that the clock moved.
void notifyClockMoved();
} // namespace detail

namespace {
std::mutex clockMutex;
std::shared_ptr<Clock> installedClock;
// Clocks replaced by install(): kept, because current() hands out plain references that another
// thread may still be reading through. Only tests install clocks, a few per case.
std::vector<std::shared_ptr<Clock>> retiredClocks;

std::shared_ptr<Clock> systemClock() {
  static std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  return clock;
}
} // namespace

std::shared_ptr<Clock> Clock::currentShared() {
  std::lock_guard lock(clockMutex);
  return installedClock ? installedClock : systemClock();
}

Clock &Clock::current() {
  // Installed clocks are never destroyed (see retiredClocks), so the reference stays valid.
  std::lock_guard lock(clockMutex);
  return installedClock ? *installedClock : *systemClock();
}

void Clock::install(std::shared_ptr<Clock> clock) {
  {
    std::lock_guard lock(clockMutex);
    if (installedClock) retiredClocks.push_back(std::move(installedClock));
    installedClock = std::move(clock);
  }
  detail::notifyClockMoved();
}

WallTime wallTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  // A day inside the clock's reach, so that a zone's offset or a day added later stays within it.
  constexpr int64_t kLimit =
      std::chrono::duration_cast<std::chrono::seconds>(WallTime::duration::max()).count() - 86400;
  if (seconds >= kLimit) return WallTime(std::chrono::seconds(kLimit));
  if (seconds <= -kLimit) return WallTime(std::chrono::seconds(-kLimit));
  nanoseconds = std::clamp<int64_t>(nanoseconds, 0, 999999999);
  return WallTime(std::chrono::duration_cast<WallTime::duration>(
      std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds)));
}

struct ManualClock::State {
  std::atomic<int64_t> offsetNs{0};
  TimePoint monoStart = std::chrono::steady_clock::now();
  WallTime wallStart;
};

ManualClock::ManualClock(WallTime wallStart) : state_(std::make_shared<State>()) {
  state_->wallStart = wallStart;
}

TimePoint ManualClock::now() const {
  return state_->monoStart + Duration(state_->offsetNs.load());
}

WallTime ManualClock::wallNow() const {
  return state_->wallStart +
         std::chrono::duration_cast<WallTime::duration>(Duration(state_->offsetNs.load()));
}

void ManualClock::advance(Duration d) {
  state_->offsetNs.fetch_add(d.count());
  detail::notifyClockMoved();
}

} // namespace platform
