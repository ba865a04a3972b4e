// Views: a retained tree of rectangles with state. Geometry is kept as data for the screens and
// a later renderer; nothing here lays anything out.
#pragma once

#include "platform/ui/Element.h"
#include "platform/ui/Geometry.h"

#include <optional>
#include <string>
#include <vector>

namespace platform::media {
class BitmapContext;
}

namespace platform::ui {

class ViewController;

// Autoresizing mask bits (kept as data).
enum AutoresizingMask : unsigned {
  FlexibleLeftMargin = 1,
  FlexibleWidth = 2,
  FlexibleRightMargin = 4,
  FlexibleTopMargin = 8,
  FlexibleHeight = 16,
  FlexibleBottomMargin = 32
};

class View : public Element {
public:
  View() = default;
  explicit View(Rect frame) : frame_(frame) {}
  const char *typeName() const override { return "view"; }
  void describe(nlohmann::json &out) const override;

  Rect frame() const { return frame_; }
  // A new size resizes the subviews whose autoresizing mask asks for it, as the phone does.
  virtual void setFrame(Rect frame);
  Rect bounds() const { return {0, 0, frame_.size.width, frame_.size.height}; }
  bool isHidden() const { return hidden_; }
  void setHidden(bool hidden) { hidden_ = hidden; }
  double alpha() const { return alpha_; }
  // A change made inside an animation keeps the animation's duration (see describe).
  void setAlpha(double alpha);
  double alphaAnimationDuration() const { return alphaDuration_; }
  int tag() const { return tag_; }
  void setTag(int tag) { tag_ = tag; }
  const std::string &accessibilityLabel() const { return accessibilityLabel_; }
  void setAccessibilityLabel(std::string label) { accessibilityLabel_ = std::move(label); }
  std::optional<Color> backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(std::optional<Color> color) { backgroundColor_ = color; }
  bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
  void setUserInteractionEnabled(bool on) { userInteractionEnabled_ = on; }
  bool clipsToBounds() const { return clipsToBounds_; }
  void setClipsToBounds(bool on) { clipsToBounds_ = on; }
  bool isOpaque() const { return opaque_; }
  void setOpaque(bool on) { opaque_ = on; }
  unsigned autoresizingMask() const { return autoresizingMask_; }
  void setAutoresizingMask(unsigned mask) { autoresizingMask_ = mask; }
  bool autoresizesSubviews() const { return autoresizesSubviews_; }
  void setAutoresizesSubviews(bool on) { autoresizesSubviews_ = on; }
  Transform transform() const { return transform_; }
  void setTransform(Transform t) { transform_ = t; }

  std::shared_ptr<View> superview() const { return superview_.lock(); }
  const std::vector<std::shared_ptr<View>> &subviews() const { return subviews_; }
  void addSubview(const std::shared_ptr<View> &view);
  void insertSubview(const std::shared_ptr<View> &view, size_t index);
  void bringSubviewToFront(const std::shared_ptr<View> &view);
  void removeFromSuperview();
  // This view or the first descendant (depth first) with the tag.
  std::shared_ptr<View> viewWithTag(int tag);
  bool isDescendantOf(const View &ancestor) const;

  // Drawing is requested, never done here: the count lets tests see that a redraw was asked.
  void setNeedsDisplay() { ++displayRequests_; }
  unsigned displayRequests() const { return displayRequests_; }
  // A view that draws itself overrides this: it paints `rect` (in its own points) of a context
  // as big as its bounds. Whoever shows the model shows what it paints, drawn again after each
  // setNeedsDisplay and each change of size.
  virtual void drawRect(Rect rect, media::BitmapContext &context);
  // Whether drawRect is overridden (found out by drawing once into a scratch context).
  bool drawsItself();
  // Changes whenever what the view draws may have changed.
  unsigned drawingVersion() const { return displayRequests_ + sizeChanges_; }
  void setNeedsLayout() { needsLayout_ = true; }
  void layoutIfNeeded();
  virtual void layoutSubviews() {}

  // Responder: only text inputs (and views that say so) take the keyboard focus.
  virtual bool canBecomeFirstResponder() const { return false; }
  virtual bool canResignFirstResponder() const { return true; }
  virtual bool becomeFirstResponder();
  virtual bool resignFirstResponder();
  bool isFirstResponder() const;
  // True for views that bring up the keyboard when they take the focus.
  virtual bool showsKeyboard() const { return false; }

  // The controller whose root view this is (set by ViewController), else none.
  std::shared_ptr<ViewController> owningController() const { return owner_.lock(); }

  // What the probe matches (after the accessibility label): a title, then a shown text.
  virtual std::string probeTitle() const { return {}; }
  virtual std::string probeText() const { return {}; }
  // A person's tap on the view; false (with the reason) when it does nothing.
  virtual bool userTap(std::string &why);
  // Raw touches for views that handle them (a double tap, say): by default they go on to the
  // superview, as the phone passes them up the responder chain.
  virtual void touchesEnded(int tapCount);
  // A finger that follows a drag (a crop rectangle's corner, a strip turned sideways), in the
  // view's own points: where it went down, each move from where it was, where it came up, or
  // that the touch was taken away. By default each goes on to the superview, in its points.
  virtual void touchesBegan(Point at);
  virtual void touchesMoved(Point previous, Point at);
  virtual void touchesEnded(Point at);
  virtual void touchesCancelled(Point at);
  // A person's finger on the view: `phase` "began", "moved", "ended" or "cancelled" at `at`.
  // The view a touch began on takes the rest of it, wherever the finger goes; a move or an end
  // of a touch that began on another view (or none) is refused with the reason.
  bool userTouch(const std::string &phase, Point at, std::string &why);

private:
  friend class ViewController;
  friend class Window;
  Rect frame_;
  bool hidden_ = false, userInteractionEnabled_ = true, clipsToBounds_ = false, opaque_ = true;
  bool needsLayout_ = false, autoresizesSubviews_ = true;
  enum class Draws { Unknown, Yes, No } draws_ = Draws::Unknown;
  unsigned sizeChanges_ = 0;
  double alpha_ = 1, alphaDuration_ = 0;
  int tag_ = 0;
  unsigned autoresizingMask_ = 0, displayRequests_ = 0;
  std::string accessibilityLabel_;
  std::optional<Color> backgroundColor_;
  Transform transform_;
  std::weak_ptr<View> superview_;
  std::vector<std::shared_ptr<View>> subviews_;
  std::weak_ptr<ViewController> owner_;
};

class ScrollView;

// What a scroll view asks of the screen that owns it: the one view that zooms (none: the scroll
// view does not zoom), and the start and end of a zoom.
class ScrollViewDelegate {
public:
  virtual ~ScrollViewDelegate() = default;
  virtual std::shared_ptr<View> viewForZoomingInScrollView(ScrollView &) { return nullptr; }
  virtual void scrollViewWillBeginZooming(ScrollView &, View *) {}
  virtual void scrollViewDidEndZooming(ScrollView &, View *, double) {}
};

class ScrollView : public View {
public:
  using View::View;
  const char *typeName() const override { return "scroll"; }
  void describe(nlohmann::json &out) const override;

  Size contentSize() const { return contentSize_; }
  void setContentSize(Size size) { contentSize_ = size; }
  Point contentOffset() const { return contentOffset_; }
  void setContentOffset(Point offset) { setContentOffset(offset, false); }
  virtual void setContentOffset(Point offset, bool animated);
  double zoomScale() const { return zoomScale_; }
  // The zooming view (the delegate's) takes the scale: its frame is its size at scale 1 times the
  // scale, and so is the content size; where it is smaller than the scroll view it stands in the
  // middle. The offset stays inside the content.
  void setZoomScale(double scale, bool animated = false);
  std::shared_ptr<ScrollViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<ScrollViewDelegate> d) { delegate_ = std::move(d); }
  // Whether a person can zoom it: a zooming view and room between the two scales.
  bool isZoomable() const;
  // A person zooms (a pinch, Ctrl + wheel) to `scale`; the content point under `anchor` (a point
  // of the visible area, in the scroll view's own points) stays under it.
  bool userZoom(double scale, Point anchor, std::string &why);
  double minimumZoomScale() const { return minimumZoomScale_; }
  double maximumZoomScale() const { return maximumZoomScale_; }
  void setMinimumZoomScale(double s) { minimumZoomScale_ = s; }
  void setMaximumZoomScale(double s) { maximumZoomScale_ = s; }
  bool showsHorizontalScrollIndicator() const { return showsHorizontal_; }
  void setShowsHorizontalScrollIndicator(bool on) { showsHorizontal_ = on; }
  bool showsVerticalScrollIndicator() const { return showsVertical_; }
  void setShowsVerticalScrollIndicator(bool on) { showsVertical_ = on; }
  bool isScrollEnabled() const { return scrollEnabled_; }
  void setScrollEnabled(bool on) { scrollEnabled_ = on; }
  // The last offset change asked with animation (for tests and a renderer).
  bool lastScrollAnimated() const { return lastScrollAnimated_; }

private:
  void keepOffsetInside();
  Size contentSize_;
  Point contentOffset_;
  std::weak_ptr<ScrollViewDelegate> delegate_;
  double zoomScale_ = 1, minimumZoomScale_ = 1, maximumZoomScale_ = 1;
  bool showsHorizontal_ = true, showsVertical_ = true, scrollEnabled_ = true,
       lastScrollAnimated_ = false;
};

} // namespace platform::ui
