#include "app/sharing/IdleWatch.h"

#include <algorithm>
#include <utility>

using namespace platform;

IdleWatch::IdleWatch(Duration limit, std::function<void()> expired)
    : limit_(limit), expired_(std::move(expired)) {}

IdleWatch::~IdleWatch() {
  stop();
}

void IdleWatch::start() {
  touch();
  arm(last_ + limit_);
}

void IdleWatch::stop() {
  if (timer_) timer_->invalidate();
  timer_.reset();
}

void IdleWatch::arm(TimePoint deadline) {
  stop();
  const Duration wait = std::max(Duration::zero(), deadline - Clock::current().now());
  timer_ = RunLoop::current()->performAfter(wait, [this] { check(); });
}

// One timer per limit at most, however much progress was made: when it fires early (there was
// progress) it is set again for the limit after the last progress.
void IdleWatch::check() {
  timer_.reset();
  const TimePoint deadline = last_ + limit_;
  if (Clock::current().now() < deadline) {
    arm(deadline);
    return;
  }
  if (expired_) expired_();
}
