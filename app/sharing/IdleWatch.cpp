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

RateWatch::RateWatch(std::function<void()> expired) : expired_(std::move(expired)) {}

RateWatch::~RateWatch() {
  stop();
}

void RateWatch::start(Duration base, Duration most, size_t perSecond) {
  stop();
  started_ = Clock::current().now();
  base_ = base;
  most_ = std::max(base, most);
  perSecond_ = std::max<size_t>(perSecond, 1);
  received_ = 0;
  timer_ = RunLoop::current()->performAfter(base_, [this] { check(); });
}

void RateWatch::stop() {
  if (timer_) timer_->invalidate();
  timer_.reset();
}

TimePoint RateWatch::deadline() const {
  using Seconds = std::chrono::duration<double>;
  // In seconds as a real number, so that no count of bytes can overflow the clock's ticks.
  const double most = std::min(Seconds(most_).count(), 1e9);
  const double allowed =
      std::min(most, Seconds(base_).count() + double(received_) / double(perSecond_));
  return started_ + std::chrono::duration_cast<Duration>(Seconds(allowed));
}

void RateWatch::check() {
  timer_.reset();
  const TimePoint at = deadline();
  const TimePoint now = Clock::current().now();
  if (now < at) {
    timer_ = RunLoop::current()->performAfter(at - now, [this] { check(); });
    return;
  }
  if (expired_) expired_();
}
