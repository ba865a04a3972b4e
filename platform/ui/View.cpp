#include "platform/ui/View.h"

#include "platform/ui/Json.h"
#include "platform/ui/Window.h"

#include <algorithm>

namespace platform::ui {

using detail::toJson;

void View::describe(nlohmann::json &out) const {
  out["frame"] = toJson(frame_);
  out["hidden"] = hidden_;
  out["alpha"] = alpha_;
  out["tag"] = tag_;
  out["label"] = accessibilityLabel_;
  out["background"] = toJson(backgroundColor_);
  out["interactive"] = userInteractionEnabled_;
  if (transform_ != Transform{})
    out["transform"] = {transform_.scaleX, transform_.scaleY, transform_.translateX,
                        transform_.translateY};
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

bool View::userTap(std::string &why) {
  why = std::string("a ") + typeName() + " does nothing when tapped";
  return false;
}

void ScrollView::describe(nlohmann::json &out) const {
  View::describe(out);
  out["contentSize"] = toJson(contentSize_);
  out["contentOffset"] = toJson(contentOffset_);
  out["zoomScale"] = zoomScale_;
}

void ScrollView::setContentOffset(Point offset, bool animated) {
  contentOffset_ = offset;
  lastScrollAnimated_ = animated;
}

void ScrollView::setZoomScale(double scale, bool animated) {
  (void)animated;
  zoomScale_ = std::clamp(scale, minimumZoomScale_, std::max(minimumZoomScale_, maximumZoomScale_));
}

} // namespace platform::ui
