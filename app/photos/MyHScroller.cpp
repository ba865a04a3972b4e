#include "app/photos/MyHScroller.h"

#include <algorithm>
#include <cmath>

#include "app/foundation/PlatformExtensions.h"
#include "platform/media/BitmapContext.h"
#include "platform/media/Image.h"

using namespace platform;
using namespace platform::ui;
using platform::media::ImageRegistry;

namespace {
constexpr double kStepSeconds = 0.075;
}

MyHScroller::MyHScroller(Rect frame) : Control(frame) {}

MyHScroller::~MyHScroller() {
  if (inertiaTimer_) inertiaTimer_->invalidate();
}

void MyHScroller::setValue(int value) {
  value_ = std::max(std::min(value, maximumValue_), minimumValue_);
  setNeedsDisplay();
}

void MyHScroller::useSpinner(int which) {
  static const char *const strips[] = {"spinner-chip-edge2.png", "coin-spinner-long.png",
                                       "luxury-chip-long-strip.png"};
  if (which >= 0 && which < 3) scrollerImage_ = strips[which];
  setNeedsDisplay();
}

void MyHScroller::touchDown(Point p) {
  if (!isEnabled()) return;
  lastPoint_ = currentPoint_ = p;
  scrollIntertia_ = 0;
  scrollPixels_ = 0;
  lastTimeMoved_ = Clock::current().now();
}

bool MyHScroller::step(double &pixels, bool fromDrag) {
  const double P = scrollPixelsPerValue_;
  const int whole = static_cast<int>(P);
  if (pixels > P) {
    const long long next = value_ + static_cast<long long>(pixels / P);
    if (next >= maximumValue_) {
      value_ = maximumValue_;
      // A drag stops at the end; coasting keeps the part of a step it had gone.
      pixels = fromDrag ? 0 : static_cast<double>(static_cast<long long>(pixels) % whole);
      if (!fromDrag) scrollIntertia_ = 0;
    } else {
      value_ = static_cast<int>(next);
      pixels = static_cast<double>(static_cast<long long>(pixels) % whole);
    }
    return true;
  }
  if (pixels < -P) {
    const long long next = value_ + static_cast<long long>(std::ceil(pixels / P));
    if (next <= minimumValue_) {
      value_ = minimumValue_;
      pixels = fromDrag ? 0 : static_cast<double>(static_cast<long long>(pixels) % whole);
      if (!fromDrag) scrollIntertia_ = 0;
    } else {
      value_ = static_cast<int>(next);
      pixels = static_cast<double>(static_cast<long long>(pixels) % whole);
    }
    return true;
  }
  return false;
}

void MyHScroller::touchMoved(Point point) {
  if (!isEnabled()) return;
  const int before = value_;
  double p = scrollPixels_ + (point.x - lastPoint_.x);
  if ((p > 0 && value_ >= maximumValue_) || (p < 0 && value_ <= minimumValue_)) {
    // Further toward a limit already reached is discarded.
    lastPoint_.x = point.x;
  } else if (step(p, true)) {
    scrollPixels_ = p;
    lastPoint_.x = point.x;
  }
  currentPoint_ = point;
  lastTimeMoved_ = Clock::current().now();
  setNeedsDisplay();
  if (value_ != before) sendActionsForControlEvents(ControlEvent::ValueChanged);
}

void MyHScroller::touchUp(Point p, Point previous) {
  if (!isEnabled()) return;
  const bool stale = Clock::current().now() - lastTimeMoved_ >= seconds(0.3);
  scrollIntertia_ = stale ? 0 : p.x - previous.x;
  if (std::abs(static_cast<long long>(scrollIntertia_)) > scrollPixelsPerValue_ / 3 ||
      scrollPixels_ != 0)
    scheduleInertia();
  lastPoint_ = currentPoint_ = p;
  setNeedsDisplay();
}

void MyHScroller::scheduleInertia() {
  if (inertiaTimer_) inertiaTimer_->invalidate();
  std::weak_ptr<MyHScroller> weak = sharedAs<MyHScroller>();
  inertiaTimer_ = RunLoop::main()->performAfter(seconds(kStepSeconds), [weak] {
    if (auto self = weak.lock()) self->doScrollerInertia();
  });
}

void MyHScroller::doScrollerInertia() {
  inertiaTimer_.reset();
  if (scrollIntertia_ == 0) return;
  scrollPixels_ += scrollIntertia_;
  const int before = value_;
  if (static_cast<long long>(scrollIntertia_) == 0) {
    scrollIntertia_ = 0;
    if (scrollPixels_ > 0) scrollPixels_ -= 1;
    if (scrollPixels_ < 0) scrollPixels_ += 1;
  }
  step(scrollPixels_, false);
  setNeedsDisplay();
  if (value_ != before) sendActionsForControlEvents(ControlEvent::ValueChanged);
  scrollIntertia_ *= Hardware::isiPad() ? 0.8 : 0.9;
  if (static_cast<long long>(scrollIntertia_) != 0 || scrollPixels_ != 0) scheduleInertia();
}

int MyHScroller::stripOffset() const {
  const int t = scrollIntertia_ != 0 ? 0 : static_cast<int>(currentPoint_.x - lastPoint_.x);
  const long long n = static_cast<long long>(value_ * scrollPixelsPerValue_ + scrollPixels_ + t);
  return static_cast<int>(n % 200) - 300;
}

void MyHScroller::drawRect(media::BitmapContext &context) {
  const Rect bounds = this->bounds();
  const double y0 = static_cast<int>((bounds.size.height - 50) / 2);
  auto strip = ImageRegistry::shared().imageNamed(scrollerImage_);
  auto front = ImageRegistry::shared().imageNamed(foregroundImage_);
  const double inner = bounds.size.width - insetWidth_;
  if (strip && inner > 0) {
    // The strip is cut to the inner width in a picture of its own.
    if (auto band = media::BitmapContext::create(
            static_cast<int>(inner), std::max(1, static_cast<int>(bounds.size.height)))) {
      band->drawImage(*strip, media::Rect2{double(stripOffset()), 0, strip->size().width,
                                           strip->size().height});
      if (auto cut = band->makeImage())
        context.drawImage(*cut, media::Rect2{insetWidth_ / 2.0, y0, inner, bounds.size.height});
    }
  }
  if (front)
    context.drawImage(*front, media::Rect2{0, y0, front->size().width, front->size().height});
}
