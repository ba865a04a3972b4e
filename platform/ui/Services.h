// Small services of the UI model: animations, the pasteboard, the accelerometer and the keyboard
// notifications. Accelerometer samples and keyboard notifications can be injected by tests.
#pragma once

#include "platform/foundation/Clock.h"
#include "platform/ui/Geometry.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::ui {

// Applies the changes at once; the completion (if any) runs on the main run loop after the
// duration has passed on the run loop's clock (never inside this call).
void animate(double durationSeconds, const std::function<void()> &changes,
             std::function<void(bool finished)> completion = {});
// Animations whose completion has not run yet.
unsigned pendingAnimations();
// The duration of the animation whose changes are being applied now (0 outside one): a view
// keeps it with the change, so whoever draws the model shows the change over that time.
double currentAnimationDuration();

// The general pasteboard, kept in the process. Any thread.
class Pasteboard {
public:
  static Pasteboard &generalPasteboard();
  std::string string() const;
  // Text replaces what the pasteboard held, an image included (and the other way round).
  void setString(std::string s);
  // Encoded image bytes under their type (e.g. "public.png"); empty when it holds none.
  std::vector<uint8_t> data(const std::string &type) const;
  void setData(std::vector<uint8_t> bytes, const std::string &type);

private:
  mutable std::mutex mutex_;
  std::string string_;
  std::string dataType_;
  std::vector<uint8_t> data_;
};

struct Acceleration {
  double x = 0, y = 0, z = 0;
  double timestamp = 0; // seconds on the run loop's clock
};

class Accelerometer;
class AccelerometerDelegate {
public:
  virtual ~AccelerometerDelegate() = default;
  virtual void didAccelerate(Accelerometer &, const Acceleration &) {}
};

// Main thread. There is no sensor here: samples come from inject() (tests, a renderer).
class Accelerometer {
public:
  static Accelerometer &sharedAccelerometer();
  double updateInterval() const { return interval_; }
  void setUpdateInterval(double seconds) { interval_ = seconds; }
  std::shared_ptr<AccelerometerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<AccelerometerDelegate> d) { delegate_ = std::move(d); }
  // Delivers one sample to the delegate, stamped with the clock's present time.
  void inject(double x, double y, double z);
  // A shake of the device, as the accelerometer reports one: held upright, jolted to and fro
  // along its width, upright again (samples well past what the screens take for a shake).
  void shake();

private:
  double interval_ = 0;
  std::weak_ptr<AccelerometerDelegate> delegate_;
};

// The keyboard notifications, with the keyboard's frames and its animation time.
struct KeyboardInfo {
  Rect frameBegin, frameEnd;
  double animationDuration = 0.25;
};
enum class KeyboardEvent { WillShow, DidShow, WillHide, DidHide };

class KeyboardObserver {
public:
  virtual ~KeyboardObserver() = default;
  virtual void keyboardWillShow(const KeyboardInfo &) {}
  virtual void keyboardDidShow(const KeyboardInfo &) {}
  virtual void keyboardWillHide(const KeyboardInfo &) {}
  virtual void keyboardDidHide(const KeyboardInfo &) {}
};

} // namespace platform::ui
