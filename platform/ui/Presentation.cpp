#include "platform/ui/Presentation.h"

#include "platform/foundation/RunLoop.h"
#include "platform/ui/Json.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"

namespace platform::ui {

using detail::toJson;

namespace {
// The anchor's element id is filled in by the window that writes the snapshot.
nlohmann::json describeAnchor(const Anchor &a) {
  static const char *kinds[] = {"none", "tabBar", "barItem", "rect", "view"};
  return {
      {"kind", kinds[static_cast<int>(a.kind)]}, {"rect", toJson(a.rect)}, {"element", nullptr}};
}
} // namespace

// --- AlertView ---

AlertView::AlertView(std::string title, std::string message,
                     std::weak_ptr<AlertViewDelegate> delegate, std::string cancelButtonTitle,
                     std::vector<std::string> otherButtonTitles)
    : ButtonPanel(std::move(title), std::move(delegate)), message_(std::move(message)) {
  if (!cancelButtonTitle.empty()) cancelIndex_ = addButtonWithTitle(std::move(cancelButtonTitle));
  for (auto &t : otherButtonTitles)
    addButtonWithTitle(std::move(t));
}

void AlertView::describe(nlohmann::json &out) const {
  out["title"] = title_;
  out["message"] = message_;
  out["buttons"] = buttons_;
  out["cancelIndex"] = cancelIndex_;
}

void AlertView::show() {
  detail::requireMainThread("AlertView::show");
  if (visible_) return;
  visible_ = true;
  Window::keyWindow()->addAlert(sharedAs<AlertView>());
}

void AlertView::showOnMainThread() {
  if (RunLoop::isMainThread()) return show();
  auto self = sharedAs<AlertView>();
  RunLoop::main()->performAndWait([self] { self->show(); });
}

void AlertView::dismissWithClickedButtonIndex(int index, bool animated) {
  detail::requireMainThread("AlertView::dismissWithClickedButtonIndex");
  (void)animated;
  if (!visible_) return;
  auto self = sharedAs<AlertView>();
  visible_ = false;
  Window::keyWindow()->removeAlert(*this);
  if (auto d = delegate()) d->didDismissWithButtonIndex(*this, index);
}

bool AlertView::userAnswer(int index, std::string &why) {
  return answer(index, why, "alert");
}

// --- ActionSheet ---

ActionSheet::ActionSheet(std::string title, std::weak_ptr<ActionSheetDelegate> delegate,
                         std::string cancelButtonTitle, std::string destructiveButtonTitle,
                         std::vector<std::string> otherButtonTitles)
    : ButtonPanel(std::move(title), std::move(delegate)) {
  if (!destructiveButtonTitle.empty())
    destructiveIndex_ = addButtonWithTitle(std::move(destructiveButtonTitle));
  for (auto &t : otherButtonTitles)
    addButtonWithTitle(std::move(t));
  if (!cancelButtonTitle.empty()) cancelIndex_ = addButtonWithTitle(std::move(cancelButtonTitle));
}

void ActionSheet::describe(nlohmann::json &out) const {
  out["title"] = title_;
  out["buttons"] = buttons_;
  out["cancelIndex"] = cancelIndex_;
  out["destructiveIndex"] = destructiveIndex_;
  out["anchor"] = describeAnchor(anchor_);
}

void ActionSheet::show(Anchor anchor) {
  detail::requireMainThread("ActionSheet::show");
  anchor_ = std::move(anchor);
  if (visible_) return;
  visible_ = true;
  Window::keyWindow()->addActionSheet(sharedAs<ActionSheet>());
}

void ActionSheet::showFromTabBar(const std::shared_ptr<TabBar> &tabBar) {
  show({Anchor::Kind::TabBar, tabBar, tabBar ? tabBar->frame() : Rect()});
}

void ActionSheet::showFromBarButtonItem(const std::shared_ptr<BarButtonItem> &item, bool) {
  show({Anchor::Kind::BarButtonItem, item, {}});
}

void ActionSheet::showFromRect(Rect rect, const std::shared_ptr<View> &view, bool) {
  show({Anchor::Kind::Rect, view, rect});
}

void ActionSheet::showInView(const std::shared_ptr<View> &view) {
  show({Anchor::Kind::View, view, view ? view->bounds() : Rect()});
}

void ActionSheet::dismissWithClickedButtonIndex(int index, bool animated) {
  detail::requireMainThread("ActionSheet::dismissWithClickedButtonIndex");
  (void)animated;
  if (!visible_) return;
  auto self = sharedAs<ActionSheet>();
  visible_ = false;
  Window::keyWindow()->removeActionSheet(*this);
  if (auto d = delegate()) d->didDismissWithButtonIndex(*this, index);
}

bool ActionSheet::userAnswer(int index, std::string &why) {
  return answer(index, why, "sheet");
}

// --- PopoverController ---

PopoverController::PopoverController(std::shared_ptr<ViewController> content)
    : content_(std::move(content)) {}

void PopoverController::describe(nlohmann::json &out) const {
  out["contentSize"] = toJson(popoverContentSize());
  out["arrows"] = arrows_;
  out["anchor"] = describeAnchor(anchor_);
}

Size PopoverController::popoverContentSize() const {
  if (size_) return *size_;
  if (!content_) return {};
  if (auto nav = std::dynamic_pointer_cast<NavigationController>(content_))
    if (auto top = nav->topViewController()) return top->contentSizeForViewInPopover();
  return content_->contentSizeForViewInPopover();
}

void PopoverController::setContentViewController(std::shared_ptr<ViewController> vc, bool) {
  auto old = content_;
  content_ = std::move(vc);
  if (!visible_ || old == content_) return;
  if (old) old->transitionAppearance(false, false);
  if (content_) content_->transitionAppearance(true, false);
}

void PopoverController::present(Anchor anchor, unsigned arrows, bool animated) {
  detail::requireMainThread("PopoverController::present");
  anchor_ = std::move(anchor);
  arrows_ = arrows;
  if (visible_) return;
  visible_ = true;
  Window::keyWindow()->addPopover(sharedAs<PopoverController>());
  if (content_) content_->transitionAppearance(true, animated);
}

void PopoverController::presentPopoverFromBarButtonItem(const std::shared_ptr<BarButtonItem> &item,
                                                        unsigned arrows, bool animated) {
  present({Anchor::Kind::BarButtonItem, item, {}}, arrows, animated);
}

void PopoverController::presentPopoverFromRect(Rect rect, const std::shared_ptr<View> &view,
                                               unsigned arrows, bool animated) {
  present({Anchor::Kind::Rect, view, rect}, arrows, animated);
}

void PopoverController::dismissPopoverAnimated(bool animated) {
  detail::requireMainThread("PopoverController::dismissPopoverAnimated");
  if (!visible_) return;
  auto self = sharedAs<PopoverController>();
  visible_ = false;
  Window::keyWindow()->removePopover(*this);
  if (content_) content_->transitionAppearance(false, animated);
}

std::vector<std::shared_ptr<View>> PopoverController::passthroughViews() const {
  std::vector<std::shared_ptr<View>> out;
  for (auto &weak : passthrough_)
    if (auto v = weak.lock()) out.push_back(std::move(v));
  return out;
}

bool PopoverController::userDismiss(std::string &why) {
  if (!visible_) return why = "the popover is not shown", false;
  auto self = sharedAs<PopoverController>();
  auto d = delegate();
  if (d && !d->popoverControllerShouldDismissPopover(*this))
    return why = "the popover's delegate kept it open", false;
  dismissPopoverAnimated(true);
  if (d) d->popoverControllerDidDismissPopover(*this);
  return true;
}

} // namespace platform::ui
