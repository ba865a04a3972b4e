// A bound on how long a peer may keep a connection without progress: the owner says when progress
// happens (cheap: it only notes the time) and is called once when the limit passes without any.
// Runs on the loop it was started on; timers follow the process clock, so tests move it by hand.
#pragma once

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"

#include <functional>

class IdleWatch {
public:
  IdleWatch(platform::Duration limit, std::function<void()> expired);
  ~IdleWatch();
  IdleWatch(const IdleWatch &) = delete;
  IdleWatch &operator=(const IdleWatch &) = delete;

  // Counts from now (again).
  void start();
  // Progress: the limit counts from now. No timer is touched.
  void touch() { last_ = platform::Clock::current().now(); }
  void stop();
  platform::TimePoint lastProgress() const { return last_; }

private:
  void arm(platform::TimePoint deadline);
  void check();

  platform::Duration limit_;
  std::function<void()> expired_;
  platform::TimePoint last_{};
  platform::TimerRef timer_;
};

// A bound on how slowly a peer may send (Apache's mod_reqtimeout): `base` from start, lengthened by
// a second for every `perSecond` bytes received, to at most `most` from start (Duration::max():
// no end but the rate). A peer that keeps
// up the rate is never cut; one that trickles is, however often it sends. The owner reports the
// bytes (cheap: a count); one timer runs at a time. Same loop and clock as IdleWatch.
class RateWatch {
public:
  explicit RateWatch(std::function<void()> expired);
  ~RateWatch();
  RateWatch(const RateWatch &) = delete;
  RateWatch &operator=(const RateWatch &) = delete;

  void start(platform::Duration base, platform::Duration most, size_t perSecond);
  void add(size_t bytes) { received_ += bytes; }
  void stop();

private:
  platform::TimePoint deadline() const;
  void check();

  std::function<void()> expired_;
  platform::TimePoint started_{};
  platform::Duration base_{}, most_{};
  size_t perSecond_ = 1;
  uint64_t received_ = 0;
  platform::TimerRef timer_;
};
