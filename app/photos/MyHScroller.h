// A control that picks a whole number between two limits by dragging a picture strip sideways,
// like a wheel seen edge-on; a flick keeps it turning with decaying momentum, stepped on the main
// run loop (and so on the injectable clock). Every change of the value sends ValueChanged.
#pragma once

#include <string>

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/Controls.h"

namespace platform::media {
class BitmapContext;
}

class MyHScroller : public platform::ui::Control {
public:
  explicit MyHScroller(platform::ui::Rect frame);
  ~MyHScroller() override;

  int value() const { return value_; }
  // Clamped to the limits; sends no event.
  void setValue(int value);
  int minimumValue() const { return minimumValue_; }
  int maximumValue() const { return maximumValue_; }
  void setMinimumValue(int v) { minimumValue_ = v; }
  void setMaximumValue(int v) { maximumValue_ = v; }
  const std::string &scrollerImage() const { return scrollerImage_; }
  void setScrollerImage(std::string name) { scrollerImage_ = std::move(name); }
  void useSpinner(int which);
  void reloadImages() { setNeedsDisplay(); }
  void stopInertia() { scrollIntertia_ = 0; }
  double momentum() const { return scrollIntertia_; }

  // Touches in the control's coordinates.
  void touchDown(platform::ui::Point p);
  void touchMoved(platform::ui::Point p);
  void touchUp(platform::ui::Point p, platform::ui::Point previous);
  // A finger dragged on the control turns the strip.
  void touchesBegan(platform::ui::Point at) override { touchDown(at); }
  void touchesMoved(platform::ui::Point, platform::ui::Point at) override { touchMoved(at); }
  void touchesEnded(platform::ui::Point at) override { touchUp(at, currentPoint_); }
  void touchesCancelled(platform::ui::Point at) override { touchUp(at, at); }
  using Control::touchesEnded;

  using Control::drawRect;
  // The strip at the value's position, then the fixed foreground, as the control shows them.
  void drawRect(platform::media::BitmapContext &context);
  // Where the strip is drawn: its x offset (repeats every 200 points).
  int stripOffset() const;

private:
  void doScrollerInertia();
  void scheduleInertia();
  // Applies travel p from the last step point; true when a step was taken.
  bool step(double &pixels, bool fromDrag);

  int value_ = 0, minimumValue_ = 0, maximumValue_ = 100;
  int insetWidth_ = 18;
  std::string scrollerImage_ = "coin-spinner-long.png";
  std::string foregroundImage_ = "spinner-overlay.png";
  platform::ui::Point lastPoint_, currentPoint_;
  double scrollPixels_ = 0, scrollIntertia_ = 0, scrollPixelsPerValue_ = 10;
  platform::TimePoint lastTimeMoved_{};
  platform::TimerRef inertiaTimer_;
};
