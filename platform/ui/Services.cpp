#include "platform/ui/Services.h"

#include "platform/foundation/RunLoop.h"
#include "platform/ui/Element.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <utility>

namespace platform::ui {

namespace {
std::atomic<unsigned> pending{0};
// Main thread only (animate requires it).
double animating = 0;
} // namespace

double currentAnimationDuration() {
  return animating;
}

void animate(double durationSeconds, const std::function<void()> &changes,
             std::function<void(bool)> completion) {
  detail::requireMainThread("animate");
  if (changes) {
    const double outer = std::exchange(animating, std::max(0.0, durationSeconds));
    changes();
    animating = outer;
  }
  if (!completion) return;
  ++pending;
  auto done = [completion = std::move(completion)] {
    --pending;
    completion(true);
  };
  if (durationSeconds > 0)
    RunLoop::main()->performAfter(seconds(durationSeconds), done);
  else
    RunLoop::main()->perform(done);
}

unsigned pendingAnimations() {
  return pending.load();
}

Pasteboard &Pasteboard::generalPasteboard() {
  static Pasteboard board;
  return board;
}

std::string Pasteboard::string() const {
  std::lock_guard lock(mutex_);
  return string_;
}

void Pasteboard::setString(std::string s) {
  std::lock_guard lock(mutex_);
  string_ = std::move(s);
  data_.clear();
  dataType_.clear();
}

std::vector<uint8_t> Pasteboard::data(const std::string &type) const {
  std::lock_guard lock(mutex_);
  return type == dataType_ ? data_ : std::vector<uint8_t>();
}

void Pasteboard::setData(std::vector<uint8_t> bytes, const std::string &type) {
  std::lock_guard lock(mutex_);
  data_ = std::move(bytes);
  dataType_ = type;
  string_.clear();
}

Accelerometer &Accelerometer::sharedAccelerometer() {
  static Accelerometer accelerometer;
  return accelerometer;
}

void Accelerometer::inject(double x, double y, double z) {
  detail::requireMainThread("Accelerometer::inject");
  auto d = delegate();
  if (!d) return;
  auto since = Clock::current().now().time_since_epoch();
  d->didAccelerate(*this, {x, y, z, std::chrono::duration<double>(since).count()});
}

void Accelerometer::shake() {
  // Gravity along -y while upright; the first jolt lies about 3 g off the screens' slow-moving
  // trend (they take 2 to 2.5 g for a shake), whether the device was still or just shaken.
  static constexpr double kSamples[][3] = {{0, -1, 0},   {3.5, -1, 0},  {-3.5, -1, 0},
                                           {3.5, -1, 0}, {-3.5, -1, 0}, {0, -1, 0}};
  for (const auto &s : kSamples)
    inject(s[0], s[1], s[2]);
}

} // namespace platform::ui
