#include "platform/ui/View.h"

#include "platform/media/BitmapContext.h"
#include "platform/ui/Json.h"
#include "platform/ui/Services.h"
#include "platform/ui/Window.h"

#include <algorithm>
#include <cmath>

namespace platform::ui {

using detail::toJson;

void View::describe(nlohmann::json &out) const {
  out["frame"] = toJson(frame_);
  out["hidden"] = hidden_;
  out["alpha"] = alpha_;
  if (alphaDuration_ > 0) out["alphaDuration"] = alphaDuration_;
  out["tag"] = tag_;
  out["label"] = accessibilityLabel_;
  out["background"] = toJson(backgroundColor_);
  out["interactive"] = userInteractionEnabled_;
  if (transform_ != Transform{})
    out["transform"] = {transform_.scaleX, transform_.scaleY, transform_.translateX,
                        transform_.translateY};
}

void View::setAlpha(double alpha) {
  if (alpha != alpha_) alphaDuration_ = currentAnimationDuration();
  alpha_ = alpha;
}

void View::setFrame(Rect frame) {
  Size old = frame_.size;
  frame_ = frame;
  if (old == frame.size) return;
  ++sizeChanges_;
  if (!autoresizesSubviews_) return;
  const double dw = frame.size.width - old.width, dh = frame.size.height - old.height;
  for (auto &sub : std::vector<std::shared_ptr<View>>(subviews_)) {
    unsigned mask = sub->autoresizingMask_;
    if (!mask) continue;
    // The change of the superview's size is shared among the flexible parts in proportion to
    // their sizes, as the phone shares it.
    auto share = [](double delta, double a, bool fa, double b, bool fb, double c, bool fc,
                    double &da, double &db, double &dc) {
      double total = (fa ? a : 0) + (fb ? b : 0) + (fc ? c : 0);
      int flexible = int(fa) + int(fb) + int(fc);
      da = db = dc = 0;
      if (!flexible) return;
      if (total <= 0) {
        da = fa ? delta / flexible : 0, db = fb ? delta / flexible : 0,
        dc = fc ? delta / flexible : 0;
        return;
      }
      da = fa ? delta * a / total : 0, db = fb ? delta * b / total : 0,
      dc = fc ? delta * c / total : 0;
    };
    Rect f = sub->frame_;
    double dl, dwid, dr, dt, dhei, db;
    share(dw, f.origin.x, mask & FlexibleLeftMargin, f.size.width, mask & FlexibleWidth,
          old.width - f.origin.x - f.size.width, mask & FlexibleRightMargin, dl, dwid, dr);
    share(dh, f.origin.y, mask & FlexibleTopMargin, f.size.height, mask & FlexibleHeight,
          old.height - f.origin.y - f.size.height, mask & FlexibleBottomMargin, dt, dhei, db);
    (void)dr, (void)db;
    sub->setFrame({f.origin.x + dl, f.origin.y + dt, std::max(0.0, f.size.width + dwid),
                   std::max(0.0, f.size.height + dhei)});
  }
}

void View::drawRect(Rect, media::BitmapContext &) {
  draws_ = Draws::No;
}

bool View::drawsItself() {
  if (draws_ == Draws::Unknown) {
    // The base drawRect marks the view as one that draws nothing; an override does not.
    static auto scratch = media::BitmapContext::create(1, 1);
    draws_ = Draws::Yes;
    if (scratch)
      drawRect(bounds(), *scratch);
    else
      draws_ = Draws::No;
  }
  return draws_ == Draws::Yes;
}

void View::addSubview(const std::shared_ptr<View> &view) {
  insertSubview(view, subviews_.size());
}

void View::insertSubview(const std::shared_ptr<View> &view, size_t index) {
  detail::requireMainThread("View::insertSubview");
  if (!view || view.get() == this) return;
  if (view->superview().get() == this) {
    auto it = std::find(subviews_.begin(), subviews_.end(), view);
    size_t at = static_cast<size_t>(it - subviews_.begin());
    subviews_.erase(it);
    if (index > at) --index;
  } else {
    view->removeFromSuperview();
  }
  subviews_.insert(subviews_.begin() + static_cast<long>(std::min(index, subviews_.size())), view);
  // Inside a constructor there is no owner yet: the subview is kept, its superview is unknown.
  view->superview_ = std::static_pointer_cast<View>(weak_from_this().lock());
}

void View::bringSubviewToFront(const std::shared_ptr<View> &view) {
  if (view && view->superview().get() == this) insertSubview(view, subviews_.size());
}

void View::removeFromSuperview() {
  detail::requireMainThread("View::removeFromSuperview");
  auto parent = superview_.lock();
  superview_.reset();
  if (!parent) return;
  auto self = sharedAs<View>();
  auto &list = parent->subviews_;
  list.erase(std::remove(list.begin(), list.end(), self), list.end());
}

std::shared_ptr<View> View::viewWithTag(int tag) {
  if (tag_ == tag) return sharedAs<View>();
  for (auto &v : subviews_)
    if (auto found = v->viewWithTag(tag)) return found;
  return nullptr;
}

bool View::isDescendantOf(const View &ancestor) const {
  for (const View *v = this; v; v = v->superview_.lock().get())
    if (v == &ancestor) return true;
  return false;
}

void View::layoutIfNeeded() {
  if (!needsLayout_) return;
  needsLayout_ = false;
  layoutSubviews();
}

bool View::becomeFirstResponder() {
  if (!canBecomeFirstResponder()) return false;
  if (isFirstResponder()) return true;
  return Window::keyWindow()->setFirstResponder(*this);
}

bool View::resignFirstResponder() {
  if (!isFirstResponder()) return true;
  if (!canResignFirstResponder()) return false;
  Window::keyWindow()->clearFirstResponder(*this);
  return true;
}

bool View::isFirstResponder() const {
  return Window::keyWindow()->firstResponder().get() == this;
}

void View::touchesEnded(int tapCount) {
  if (auto parent = superview()) parent->touchesEnded(tapCount);
}

namespace {
// The touch a person's finger makes now: the view it began on and where it was last.
struct FingerTouch {
  std::weak_ptr<View> view;
  Point last;
};
FingerTouch &finger() {
  static FingerTouch touch;
  return touch;
}
Point inSuperview(const View &view, Point p) {
  return {p.x + view.frame().origin.x, p.y + view.frame().origin.y};
}
} // namespace

void View::touchesBegan(Point at) {
  if (auto parent = superview()) parent->touchesBegan(inSuperview(*this, at));
}

void View::touchesMoved(Point previous, Point at) {
  if (auto parent = superview())
    parent->touchesMoved(inSuperview(*this, previous), inSuperview(*this, at));
}

void View::touchesEnded(Point at) {
  if (auto parent = superview()) parent->touchesEnded(inSuperview(*this, at));
}

void View::touchesCancelled(Point at) {
  if (auto parent = superview()) parent->touchesCancelled(inSuperview(*this, at));
}

bool View::userTouch(const std::string &phase, Point at, std::string &why) {
  if (!std::isfinite(at.x) || !std::isfinite(at.y)) return why = "a touch is at one point", false;
  auto &touch = finger();
  auto self = std::static_pointer_cast<View>(shared_from_this());
  if (phase == "began") {
    // A touch whose end never came (the page went away meanwhile) is taken away first.
    if (auto old = touch.view.lock()) old->touchesCancelled(touch.last);
    touch = {self, at};
    touchesBegan(at);
    return true;
  }
  if (phase != "moved" && phase != "ended" && phase != "cancelled")
    return why = "a touch begins, moves, ends or is cancelled", false;
  if (touch.view.lock() != self) return why = "no touch began on this view", false;
  const Point previous = touch.last;
  touch.last = at;
  if (phase == "moved") {
    touchesMoved(previous, at);
    return true;
  }
  touch = {};
  if (phase == "ended")
    touchesEnded(at);
  else
    touchesCancelled(at);
  return true;
}

bool View::userTap(std::string &why) {
  why = std::string("a ") + typeName() + " does nothing when tapped";
  return false;
}

void ScrollView::describe(nlohmann::json &out) const {
  View::describe(out);
  out["contentSize"] = toJson(contentSize_);
  out["contentOffset"] = toJson(contentOffset_);
  out["zoomScale"] = zoomScale_;
  out["minimumZoomScale"] = minimumZoomScale_;
  out["maximumZoomScale"] = maximumZoomScale_;
  out["zoomable"] = isZoomable();
  out["indicators"] = showsHorizontal_ || showsVertical_;
}

bool ScrollView::isZoomable() const {
  auto d = delegate_.lock();
  return d && maximumZoomScale_ > minimumZoomScale_ &&
         d->viewForZoomingInScrollView(const_cast<ScrollView &>(*this)) != nullptr;
}

void ScrollView::keepOffsetInside() {
  const Size shown = bounds().size;
  contentOffset_.x =
      std::clamp(contentOffset_.x, 0.0, std::max(0.0, contentSize_.width - shown.width));
  contentOffset_.y =
      std::clamp(contentOffset_.y, 0.0, std::max(0.0, contentSize_.height - shown.height));
}

bool ScrollView::userZoom(double scale, Point anchor, std::string &why) {
  if (!isZoomable()) {
    why = "the scroll view does not zoom";
    return false;
  }
  if (!std::isfinite(scale) || scale <= 0 || !std::isfinite(anchor.x) || !std::isfinite(anchor.y)) {
    why = "a zoom needs a scale above 0 and a point";
    return false;
  }
  auto d = delegate_.lock();
  auto zooming = d->viewForZoomingInScrollView(*this);
  d->scrollViewWillBeginZooming(*this, zooming.get());
  const double before = zoomScale_;
  // The content point under the anchor, in the zooming view's points at scale 1.
  const Rect old = zooming->frame();
  const double ux = (contentOffset_.x + anchor.x - old.origin.x) / before;
  const double uy = (contentOffset_.y + anchor.y - old.origin.y) / before;
  setZoomScale(scale);
  const Rect now = zooming->frame();
  contentOffset_ = {now.origin.x + ux * zoomScale_ - anchor.x,
                    now.origin.y + uy * zoomScale_ - anchor.y};
  keepOffsetInside();
  lastScrollAnimated_ = false;
  d->scrollViewDidEndZooming(*this, zooming.get(), zoomScale_);
  return true;
}

void ScrollView::setContentOffset(Point offset, bool animated) {
  contentOffset_ = offset;
  lastScrollAnimated_ = animated;
}

void ScrollView::setZoomScale(double scale, bool animated) {
  (void)animated;
  const double before = zoomScale_;
  zoomScale_ = std::clamp(scale, minimumZoomScale_, std::max(minimumZoomScale_, maximumZoomScale_));
  auto d = delegate_.lock();
  auto zooming = d ? d->viewForZoomingInScrollView(*this) : nullptr;
  if (!zooming || before <= 0) return;
  const Size base{zooming->frame().size.width / before, zooming->frame().size.height / before};
  const Size scaled{base.width * zoomScale_, base.height * zoomScale_};
  const Size shown = bounds().size;
  contentSize_ = scaled;
  zooming->setFrame(Rect(std::max(0.0, (shown.width - scaled.width) / 2),
                         std::max(0.0, (shown.height - scaled.height) / 2), scaled.width,
                         scaled.height));
  keepOffsetInside();
}

} // namespace platform::ui
