#include "platform/ui/ViewController.h"

#include "platform/ui/Json.h"
#include "platform/ui/Window.h"

#include <algorithm>

namespace platform::ui {

void NavigationItem::setLeftBarButtonItem(std::shared_ptr<BarButtonItem> item, bool animated) {
  left_ = std::move(item);
  lastAnimated_ = animated;
}

void NavigationItem::setRightBarButtonItem(std::shared_ptr<BarButtonItem> item, bool animated) {
  right_ = std::move(item);
  lastAnimated_ = animated;
}

void NavigationItem::setHidesBackButton(bool on, bool animated) {
  hidesBack_ = on;
  lastAnimated_ = animated;
}

void TabBarItem::describe(nlohmann::json &out) const {
  out["title"] = title_;
  out["image"] = imageName_;
  out["tag"] = tag_;
  out["badge"] = badge_ ? nlohmann::json(*badge_) : nlohmann::json(nullptr);
  out["enabled"] = enabled_;
}

// --- ViewController ---

ViewController::ViewController(std::string nibName) : nibName_(std::move(nibName)) {}

ViewController::~ViewController() {
  releaseAll(children_);
}

void ViewController::describe(nlohmann::json &out) const {
  out["nib"] = nibName_;
  out["title"] = title_;
}

void ViewController::setTitle(std::string title) {
  title_ = std::move(title);
  navigationItem_.setTitle(title_);
  if (tabBarItem_) tabBarItem_->setTitle(title_);
}

std::shared_ptr<View> ViewController::view() {
  if (!view_ && !loading_) {
    detail::requireMainThread("ViewController::view");
    loading_ = true;
    loadView();
    if (!view_) setView(std::make_shared<View>());
    viewDidLoad();
    loading_ = false;
  }
  return view_;
}

void ViewController::setView(std::shared_ptr<View> view) {
  if (view_ && view_->owner_.lock().get() == this) view_->owner_.reset();
  view_ = std::move(view);
  if (view_) view_->owner_ = std::static_pointer_cast<ViewController>(weak_from_this().lock());
}

void ViewController::loadView() {
  Size s = Window::keyWindow()->size();
  setView(std::make_shared<View>(Rect(0, 0, s.width, s.height)));
}

InterfaceOrientation ViewController::interfaceOrientation() const {
  return Window::keyWindow()->interfaceOrientation();
}

const std::shared_ptr<TabBarItem> &ViewController::tabBarItem() {
  if (!tabBarItem_) tabBarItem_ = std::make_shared<TabBarItem>(title_, "", 0);
  return tabBarItem_;
}

std::shared_ptr<ViewController> ViewController::parentViewController() const {
  return parent_ ? std::static_pointer_cast<ViewController>(parent_->weak_from_this().lock())
                 : nullptr;
}

namespace {
template <class T> std::shared_ptr<T> nearest(const ViewController &vc) {
  for (auto p = vc.parentViewController(); p; p = p->parentViewController())
    if (auto t = std::dynamic_pointer_cast<T>(p)) return t;
  return nullptr;
}
} // namespace

std::shared_ptr<NavigationController> ViewController::navigationController() const {
  return nearest<NavigationController>(*this);
}
std::shared_ptr<TabBarController> ViewController::tabBarController() const {
  return nearest<TabBarController>(*this);
}
std::shared_ptr<SplitViewController> ViewController::splitViewController() const {
  return nearest<SplitViewController>(*this);
}

void ViewController::presentModalViewController(std::shared_ptr<ViewController> vc, bool animated) {
  detail::requireMainThread("ViewController::presentModalViewController");
  Window::keyWindow()->presentModal(*this, std::move(vc), animated);
}

void ViewController::dismissModalViewControllerAnimated(bool animated) {
  detail::requireMainThread("ViewController::dismissModalViewControllerAnimated");
  auto window = Window::keyWindow();
  // The nearest screen (this one or a container above it) that presents something closes it;
  // else the nearest one that is presented goes back to its presenter.
  for (ViewController *vc = this; vc; vc = vc->parent_)
    if (vc->presented_.lock()) return window->dismissModal(*vc, animated);
  for (ViewController *vc = this; vc; vc = vc->parent_)
    if (auto presenter = vc->presenting_.lock()) return window->dismissModal(*presenter, animated);
}

void ViewController::adopt(ViewController &child) {
  if (child.parent_ == this) return;
  if (child.parent_) child.removeFromParentViewController();
  child.parent_ = this;
}

void ViewController::release(ViewController &child) {
  if (child.parent_ == this) child.parent_ = nullptr;
}

void ViewController::releaseAll(const std::vector<std::shared_ptr<ViewController>> &children) {
  for (auto &c : children)
    if (c) release(*c);
}

void ViewController::addChildViewController(std::shared_ptr<ViewController> child) {
  detail::requireMainThread("ViewController::addChildViewController");
  if (!child || child.get() == this || child->parent_ == this) return;
  adopt(*child);
  children_.push_back(child);
  if (isVisible()) child->transitionAppearance(true, false);
}

void ViewController::removeFromParentViewController() {
  ViewController *parent = parent_;
  if (!parent) return;
  auto self = std::static_pointer_cast<ViewController>(shared_from_this());
  auto &list = parent->children_;
  auto it = std::find(list.begin(), list.end(), self);
  if (it == list.end()) return; // held by a container: it lets go itself
  list.erase(it);
  parent_ = nullptr;
  if (isVisible()) transitionAppearance(false, false);
}

void ViewController::appearanceWill(bool appearing, bool animated) {
  if (willVisible_ == appearing) return;
  if (appearing) view(); // loading may already change what is shown
  if (willVisible_ == appearing) return;
  willVisible_ = appearing;
  if (appearing)
    viewWillAppear(animated);
  else
    viewWillDisappear(animated);
  for (auto &child : shownChildren())
    child->appearanceWill(appearing, animated);
}

void ViewController::appearanceDid(bool appearing, bool animated) {
  if (willVisible_ != appearing) appearanceWill(appearing, animated);
  if (visible_ == appearing) return;
  visible_ = appearing;
  if (appearing)
    viewDidAppear(animated);
  else
    viewDidDisappear(animated);
  // A view that leaves the screen lets go of the keyboard, as the phone's views do when they
  // leave the window (a prompt closed with Done while its field still had the focus).
  if (!appearing && view_)
    if (auto focus = Window::keyWindow()->firstResponder(); focus && focus->isDescendantOf(*view_))
      if (!focus->resignFirstResponder()) Window::keyWindow()->clearFirstResponder(*focus);
  for (auto &child : shownChildren())
    child->appearanceDid(appearing, animated);
}

void ViewController::transitionAppearance(bool appearing, bool animated) {
  auto self = shared_from_this();
  appearanceWill(appearing, animated);
  appearanceDid(appearing, animated);
}

void ViewController::sendMemoryWarning() {
  didReceiveMemoryWarning();
  for (auto &child : allChildren())
    child->sendMemoryWarning();
}

void ViewController::sendRotation(InterfaceOrientation from, InterfaceOrientation to,
                                  double duration) {
  willRotateToInterfaceOrientation(to, duration);
  willAnimateRotationToInterfaceOrientation(to, duration);
  for (auto &child : shownChildren())
    child->sendRotation(from, to, duration);
  didRotateFromInterfaceOrientation(from);
}

// --- NavigationController ---

NavigationController::NavigationController(std::shared_ptr<ViewController> root) {
  if (root) {
    adopt(*root);
    stack_.push_back(std::move(root));
  }
}

void NavigationController::describe(nlohmann::json &out) const {
  ViewController::describe(out);
  out["depth"] = stack_.size();
}

std::shared_ptr<ViewController> NavigationController::topViewController() const {
  return stack_.empty() ? nullptr : stack_.back();
}

std::shared_ptr<ViewController> NavigationController::visibleViewController() const {
  auto top = topViewController();
  if (!top) return nullptr;
  auto modal = top->modalViewController();
  return modal ? modal : top;
}

std::vector<std::shared_ptr<ViewController>> NavigationController::shownChildren() const {
  if (stack_.empty()) return {};
  return {stack_.back()};
}

void NavigationController::replaceStack(std::vector<std::shared_ptr<ViewController>> next,
                                        bool animated) {
  detail::requireMainThread("NavigationController");
  auto self = shared_from_this();
  auto old = stack_; // keeps popped screens alive until the calls below are done
  auto oldTop = topViewController();
  for (auto &vc : old)
    if (std::find(next.begin(), next.end(), vc) == next.end()) release(*vc);
  for (auto &vc : next)
    adopt(*vc);
  stack_ = std::move(next);
  lastAnimated_ = animated;
  auto newTop = topViewController();
  if (newTop == oldTop) return;
  auto d = delegate();
  if (d && newTop) d->willShowViewController(*this, *newTop, animated);
  if (isVisible()) {
    if (oldTop) oldTop->appearanceWill(false, animated);
    if (newTop) newTop->appearanceWill(true, animated);
    if (oldTop) oldTop->appearanceDid(false, animated);
    if (newTop) newTop->appearanceDid(true, animated);
  }
  if (d && newTop) d->didShowViewController(*this, *newTop, animated);
}

void NavigationController::pushViewController(std::shared_ptr<ViewController> vc, bool animated) {
  if (!vc || std::find(stack_.begin(), stack_.end(), vc) != stack_.end()) return;
  auto next = stack_;
  next.push_back(std::move(vc));
  replaceStack(std::move(next), animated);
}

std::shared_ptr<ViewController> NavigationController::popViewControllerAnimated(bool animated) {
  if (stack_.size() < 2) return nullptr;
  auto popped = stack_.back();
  auto next = stack_;
  next.pop_back();
  replaceStack(std::move(next), animated);
  return popped;
}

std::vector<std::shared_ptr<ViewController>>
NavigationController::popToViewController(const ViewController &vc, bool animated) {
  auto it = std::find_if(stack_.begin(), stack_.end(), [&](auto &p) { return p.get() == &vc; });
  if (it == stack_.end()) return {};
  std::vector<std::shared_ptr<ViewController>> popped(it + 1, stack_.end());
  replaceStack({stack_.begin(), it + 1}, animated);
  return popped;
}

std::vector<std::shared_ptr<ViewController>>
NavigationController::popToRootViewControllerAnimated(bool animated) {
  if (stack_.empty()) return {};
  return popToViewController(*stack_.front(), animated);
}

void NavigationController::setViewControllers(std::vector<std::shared_ptr<ViewController>> vcs,
                                              bool animated) {
  replaceStack(std::move(vcs), animated);
}

void NavigationController::setNavigationBarHidden(bool hidden, bool animated) {
  barHidden_ = hidden;
  lastAnimated_ = animated;
}

std::optional<std::string> NavigationController::backButtonTitle() const {
  if (stack_.size() < 2) return std::nullopt;
  auto &top = stack_.back()->navigationItem();
  if (top.hidesBackButton() || top.leftBarButtonItem()) return std::nullopt;
  auto &prev = *stack_[stack_.size() - 2];
  std::string title = prev.navigationItem().backBarButtonItem()
                          ? prev.navigationItem().backBarButtonItem()->title()
                          : prev.navigationItem().title();
  if (title.empty()) title = prev.title();
  return title.empty() ? "Back" : title;
}

bool NavigationController::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  auto top = topViewController();
  return top ? top->shouldAutorotateToInterfaceOrientation(o)
             : ViewController::shouldAutorotateToInterfaceOrientation(o);
}

bool NavigationController::userBack(std::string &why) {
  if (barHidden_) return why = "the navigation bar is hidden", false;
  if (!backButtonTitle()) return why = "there is no back button", false;
  popViewControllerAnimated(true);
  return true;
}

// --- TabBarController ---

void TabBarController::describe(nlohmann::json &out) const {
  ViewController::describe(out);
  out["selectedIndex"] = selected_;
}

std::shared_ptr<TabBar> TabBarController::tabBar() {
  if (!tabBar_) {
    tabBar_ = std::make_shared<TabBar>();
    tabBar_->controller_ = std::static_pointer_cast<TabBarController>(weak_from_this().lock());
    Size s = Window::keyWindow()->size();
    tabBar_->setFrame(Rect(0, s.height - 49, s.width, 49));
  }
  return tabBar_;
}

std::shared_ptr<ViewController> TabBarController::selectedViewController() const {
  return selected_ >= 0 && selected_ < static_cast<int>(tabs_.size())
             ? tabs_[static_cast<size_t>(selected_)]
             : nullptr;
}

std::vector<std::shared_ptr<ViewController>> TabBarController::shownChildren() const {
  auto s = selectedViewController();
  if (!s) return {};
  return {s};
}

void TabBarController::setViewControllers(std::vector<std::shared_ptr<ViewController>> vcs,
                                          bool animated) {
  detail::requireMainThread("TabBarController::setViewControllers");
  auto self = shared_from_this();
  auto old = tabs_;
  auto oldSelected = selectedViewController();
  for (auto &vc : old)
    if (std::find(vcs.begin(), vcs.end(), vc) == vcs.end()) release(*vc);
  for (auto &vc : vcs)
    adopt(*vc);
  tabs_ = std::move(vcs);
  // The selected screen stays selected when it is still there.
  auto it = std::find(tabs_.begin(), tabs_.end(), oldSelected);
  selected_ = it != tabs_.end() ? static_cast<int>(it - tabs_.begin()) : tabs_.empty() ? -1 : 0;
  auto newSelected = selectedViewController();
  if (isVisible() && newSelected != oldSelected) {
    if (oldSelected) oldSelected->appearanceWill(false, animated);
    if (newSelected) newSelected->appearanceWill(true, animated);
    if (oldSelected) oldSelected->appearanceDid(false, animated);
    if (newSelected) newSelected->appearanceDid(true, animated);
  }
}

void TabBarController::setSelectedIndex(int index) {
  detail::requireMainThread("TabBarController::setSelectedIndex");
  if (index < 0 || index >= static_cast<int>(tabs_.size()) || index == selected_) return;
  auto self = shared_from_this();
  auto old = selectedViewController();
  selected_ = index;
  auto now = selectedViewController();
  if (isVisible()) {
    if (old) old->appearanceWill(false, false);
    now->appearanceWill(true, false);
    if (old) old->appearanceDid(false, false);
    now->appearanceDid(true, false);
  }
}

void TabBarController::setSelectedViewController(const std::shared_ptr<ViewController> &vc) {
  auto it = std::find(tabs_.begin(), tabs_.end(), vc);
  if (it != tabs_.end()) setSelectedIndex(static_cast<int>(it - tabs_.begin()));
}

bool TabBarController::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  if (tabs_.empty()) return ViewController::shouldAutorotateToInterfaceOrientation(o);
  return std::all_of(tabs_.begin(), tabs_.end(),
                     [&](auto &vc) { return vc->shouldAutorotateToInterfaceOrientation(o); });
}

bool TabBarController::userSelectTab(int index, std::string &why) {
  detail::requireMainThread("TabBarController::userSelectTab");
  if (index < 0 || index >= static_cast<int>(tabs_.size()))
    return why = "no tab " + std::to_string(index), false;
  auto self = shared_from_this();
  auto vc = tabs_[static_cast<size_t>(index)];
  if (!vc->tabBarItem()->isEnabled()) return why = "the tab is disabled", false;
  auto d = delegate();
  if (d && !d->shouldSelectViewController(*this, *vc))
    return why = "the tab bar's delegate refused the tab", false;
  if (index == selected_) {
    if (auto nav = std::dynamic_pointer_cast<NavigationController>(vc))
      nav->popToRootViewControllerAnimated(true);
  } else {
    setSelectedIndex(index);
  }
  if (d) d->didSelectViewController(*this, *vc);
  return true;
}

// --- SplitViewController ---

void SplitViewController::describe(nlohmann::json &out) const {
  ViewController::describe(out);
  out["masterHidden"] = masterHidden_;
}

std::vector<std::shared_ptr<ViewController>> SplitViewController::allChildren() const {
  std::vector<std::shared_ptr<ViewController>> out;
  if (master_) out.push_back(master_);
  if (detail_) out.push_back(detail_);
  return out;
}

std::vector<std::shared_ptr<ViewController>> SplitViewController::shownChildren() const {
  return allChildren();
}

void SplitViewController::setViewControllers(std::shared_ptr<ViewController> master,
                                             std::shared_ptr<ViewController> detail) {
  detail::requireMainThread("SplitViewController::setViewControllers");
  auto self = shared_from_this();
  auto oldMaster = master_, oldDetail = detail_;
  for (auto &old : {oldMaster, oldDetail})
    if (old && old != master && old != detail) {
      if (isVisible()) old->transitionAppearance(false, false);
      release(*old);
    }
  master_ = std::move(master);
  detail_ = std::move(detail);
  for (auto &now : {master_, detail_})
    if (now) {
      adopt(*now);
      if (isVisible() && now != oldMaster && now != oldDetail)
        now->transitionAppearance(true, false);
    }
}

void SplitViewController::setMasterHidden(bool hidden, bool animated) {
  (void)animated;
  masterHidden_ = hidden;
}

} // namespace platform::ui
