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

private:
  void arm(platform::TimePoint deadline);
  void check();

  platform::Duration limit_;
  std::function<void()> expired_;
  platform::TimePoint last_{};
  platform::TimerRef timer_;
};
