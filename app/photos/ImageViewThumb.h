// Raw drags for views that follow a finger (the crop rectangle's corners), and an image view that
// handles none of its own: every touch it gets goes on to the view behind it, as if it were not
// there. Points are in the receiving view's own coordinates.
#pragma once

#include "platform/ui/Controls.h"

class TouchTarget {
public:
  virtual ~TouchTarget() = default;
  virtual void touchesBegan(platform::ui::Point p) { (void)p; }
  virtual void touchesMoved(platform::ui::Point previous, platform::ui::Point current) {
    (void)previous, (void)current;
  }
  virtual void touchesEnded(platform::ui::Point p) { (void)p; }
  virtual void touchesCancelled(platform::ui::Point p) { (void)p; }
};

class ImageViewThumb : public platform::ui::ImageView, public TouchTarget {
public:
  using ImageView::ImageView;
  using View::touchesEnded; // taps go up the chain as for any view

  // Each passes the touch on to the superview (when it takes drags), in its coordinates.
  void touchesBegan(platform::ui::Point p) override;
  void touchesMoved(platform::ui::Point previous, platform::ui::Point current) override;
  void touchesEnded(platform::ui::Point p) override;
  void touchesCancelled(platform::ui::Point p) override;

private:
  TouchTarget *target(platform::ui::Point &offset) const;
};
