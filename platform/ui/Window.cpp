#include "platform/ui/Window.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Log.h"
#include "platform/ui/Json.h"
#include "platform/ui/Table.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/WebView.h"

#include <algorithm>
#include <cmath>

namespace platform::ui {

using nlohmann::json;

namespace {
std::shared_ptr<Window> &keyWindowSlot() {
  static std::shared_ptr<Window> key;
  return key;
}

template <class T> void eraseObject(std::vector<std::shared_ptr<T>> &list, const T &object) {
  list.erase(std::remove_if(list.begin(), list.end(), [&](auto &p) { return p.get() == &object; }),
             list.end());
}
} // namespace

Window::Window(Size size) : size_(size) {}

std::shared_ptr<Window> Window::keyWindow() {
  detail::requireMainThread("Window::keyWindow");
  auto &key = keyWindowSlot();
  if (!key) key = std::make_shared<Window>();
  return key;
}

void Window::makeKeyAndVisible() {
  detail::requireMainThread("Window::makeKeyAndVisible");
  keyWindowSlot() = shared_from_this();
  if (visible_) return;
  visible_ = true;
  if (root_) root_->transitionAppearance(true, false);
}

void Window::setRootViewController(std::shared_ptr<ViewController> vc) {
  detail::requireMainThread("Window::setRootViewController");
  if (vc == root_) return;
  auto old = root_;
  root_ = std::move(vc);
  if (!visible_) return;
  auto keep = root_;
  if (old) old->appearanceWill(false, false);
  if (keep) keep->appearanceWill(true, false);
  if (old) old->appearanceDid(false, false);
  if (keep) keep->appearanceDid(true, false);
}

bool Window::rotate(InterfaceOrientation o, double duration) {
  detail::requireMainThread("Window::rotate");
  if (o == orientation_) return true;
  auto front = modals_.empty() ? root_ : modals_.back().presented;
  if (front && !front->shouldAutorotateToInterfaceOrientation(o)) return false;
  auto from = orientation_;
  orientation_ = o;
  if (root_) root_->sendRotation(from, o, duration);
  for (auto &layer : std::vector<ModalLayer>(modals_))
    layer.presented->sendRotation(from, o, duration);
  return true;
}

// --- Modal layers ---

void Window::presentModal(ViewController &presenter, std::shared_ptr<ViewController> vc,
                          bool animated) {
  if (!vc || presenter.presented_.lock()) return; // one presentation per presenter, as on the phone
  auto covered = modals_.empty() ? root_ : modals_.back().presented;
  vc->presenting_ = std::static_pointer_cast<ViewController>(presenter.weak_from_this().lock());
  presenter.presented_ = vc;
  modals_.push_back({vc->presenting_, vc});
  if (!visible_) return;
  // A screen still on its way in (presenting from its viewDidLoad, say) finishes appearing
  // under the modal screen rather than disappearing half-way.
  bool cover = vc->modalPresentationStyle() == ModalPresentationStyle::FullScreen && covered &&
               covered->visible_ && covered->willVisible_;
  if (cover) covered->appearanceWill(false, animated);
  vc->appearanceWill(true, animated);
  if (cover) covered->appearanceDid(false, animated);
  vc->appearanceDid(true, animated);
}

void Window::dismissModal(ViewController &presenter, bool animated) {
  auto it = std::find_if(modals_.begin(), modals_.end(),
                         [&](auto &l) { return l.presenter.lock().get() == &presenter; });
  if (it == modals_.end()) return;
  std::vector<ModalLayer> closing(it, modals_.end());
  modals_.erase(it, modals_.end());
  for (auto l = closing.rbegin(); l != closing.rend(); ++l) {
    if (visible_) l->presented->transitionAppearance(false, animated);
    if (auto p = l->presenter.lock()) p->presented_.reset();
    l->presented->presenting_.reset();
  }
  auto beneath = modals_.empty() ? root_ : modals_.back().presented;
  if (visible_ && beneath && !beneath->isVisible()) beneath->transitionAppearance(true, animated);
}

// --- Alerts, sheets, popovers ---

void Window::addAlert(std::shared_ptr<AlertView> a) {
  alerts_.push_back(std::move(a));
}
void Window::removeAlert(const AlertView &a) {
  eraseObject(alerts_, a);
}
void Window::addActionSheet(std::shared_ptr<ActionSheet> s) {
  sheets_.push_back(std::move(s));
}
void Window::removeActionSheet(const ActionSheet &s) {
  eraseObject(sheets_, s);
}
void Window::addPopover(std::shared_ptr<PopoverController> p) {
  popovers_.push_back(std::move(p));
}
void Window::removePopover(const PopoverController &p) {
  eraseObject(popovers_, p);
}

// --- Focus and keyboard ---

Rect Window::keyboardFrame() const {
  bool landscape = isLandscape(orientation_);
  double w = landscape ? size_.height : size_.width, h = landscape ? size_.width : size_.height;
  bool pad = size_.width >= 768;
  double kh = pad ? (landscape ? 352 : 264) : (landscape ? 162 : 216);
  return {0, h - kh, w, kh};
}

bool Window::setFirstResponder(View &view) {
  detail::requireMainThread("Window::setFirstResponder");
  auto current = focus_.lock();
  if (current.get() == &view) return true;
  if (current) {
    switching_ = true;
    bool resigned = current->resignFirstResponder();
    switching_ = false;
    if (!resigned) return false;
  }
  focus_ = std::static_pointer_cast<View>(view.weak_from_this().lock());
  Rect frame = keyboardFrame();
  Rect below{frame.origin.x, frame.maxY(), frame.size.width, frame.size.height};
  if (view.showsKeyboard() && !keyboardVisible_) {
    keyboardVisible_ = true;
    postKeyboardNotification(KeyboardEvent::WillShow, {below, frame, 0.25});
    postKeyboardNotification(KeyboardEvent::DidShow, {below, frame, 0.25});
  } else if (!view.showsKeyboard() && keyboardVisible_) {
    keyboardVisible_ = false;
    postKeyboardNotification(KeyboardEvent::WillHide, {frame, below, 0.25});
    postKeyboardNotification(KeyboardEvent::DidHide, {frame, below, 0.25});
  }
  return true;
}

void Window::clearFirstResponder(View &view) {
  if (focus_.lock().get() != &view) return;
  focus_.reset();
  if (switching_ || !keyboardVisible_) return;
  Rect frame = keyboardFrame();
  Rect below{frame.origin.x, frame.maxY(), frame.size.width, frame.size.height};
  postKeyboardNotification(KeyboardEvent::WillHide, {frame, below, 0.25});
  keyboardVisible_ = false;
  postKeyboardNotification(KeyboardEvent::DidHide, {frame, below, 0.25});
}

bool Window::endEditing() {
  auto current = focus_.lock();
  return !current || current->resignFirstResponder();
}

void Window::addKeyboardObserver(std::weak_ptr<KeyboardObserver> observer) {
  keyboardObservers_.push_back(std::move(observer));
}

void Window::removeKeyboardObserver(const KeyboardObserver &observer) {
  std::erase_if(keyboardObservers_, [&](auto &w) {
    auto o = w.lock();
    return !o || o.get() == &observer;
  });
}

void Window::postKeyboardNotification(KeyboardEvent event, const KeyboardInfo &info) {
  detail::requireMainThread("Window::postKeyboardNotification");
  for (auto &weak : std::vector<std::weak_ptr<KeyboardObserver>>(keyboardObservers_)) {
    auto o = weak.lock();
    if (!o) continue;
    switch (event) {
    case KeyboardEvent::WillShow:
      o->keyboardWillShow(info);
      break;
    case KeyboardEvent::DidShow:
      o->keyboardDidShow(info);
      break;
    case KeyboardEvent::WillHide:
      o->keyboardWillHide(info);
      break;
    case KeyboardEvent::DidHide:
      o->keyboardDidHide(info);
      break;
    }
  }
}

void Window::sendMemoryWarning() {
  detail::requireMainThread("Window::sendMemoryWarning");
  if (root_) root_->sendMemoryWarning();
  for (auto &l : std::vector<ModalLayer>(modals_))
    l.presented->sendMemoryWarning();
  for (auto &p : std::vector<std::shared_ptr<PopoverController>>(popovers_))
    if (p->contentViewController()) p->contentViewController()->sendMemoryWarning();
}

// --- Ids ---

uint64_t Window::idOf(const Element &element) {
  if (element.idOwner_ != this || element.elementId_ == 0) {
    element.elementId_ = nextId_++;
    element.idOwner_ = this;
    registry_[element.elementId_] = const_cast<Element &>(element).weak_from_this();
  }
  return element.elementId_;
}

std::shared_ptr<Element> Window::elementForId(uint64_t id) const {
  auto it = registry_.find(id);
  return it == registry_.end() ? nullptr : it->second.lock();
}

// --- Layout ---

namespace {
constexpr double kStatusBarHeight = 20, kNavigationBarHeight = 44, kTabBarHeight = 49;

bool scrolls(const View &v) {
  return dynamic_cast<const ScrollView *>(&v) || dynamic_cast<const WebView *>(&v);
}

// A screen's view made for another size (as its interface was drawn) is fitted to the one its
// container gives it. Subviews with an autoresizing mask follow the mask (in setFrame); the
// others follow the rules the phone's interface files give bars and scrolling views: a toolbar
// below the top stays at the bottom, a view as wide as the screen stays as wide, and a
// scrolling view that reached down to the bottom bar (or past the new bottom) ends at the bar.
// Applied again on every pass, so a screen that puts a bar back where its file had it is fitted
// again.
void fitScreenView(View &root, Rect frame) {
  Size old = root.frame().size;
  root.setFrame(frame);
  const double W = frame.size.width, H = frame.size.height;
  double oldBarTop = old.height, barTop = H;
  std::vector<View *> bars;
  auto full = [&](Rect f) { return f.origin.x <= 0.5 && f.size.width >= old.width - 0.5; };
  for (auto &sub : root.subviews()) {
    if (sub->isHidden() || sub->autoresizingMask() || !dynamic_cast<Toolbar *>(sub.get())) continue;
    Rect f = sub->frame();
    // (A screen may have been given a size already without its bars being fitted to it: the
    // bar's place below the top, not its share of the height, says it is a bottom bar.)
    if (f.origin.y <= 0) continue;
    oldBarTop = std::min(oldBarTop, f.origin.y);
    bool wide = full(f);
    sub->setFrame(
        {wide ? 0 : f.origin.x, H - f.size.height, wide ? W : f.size.width, f.size.height});
    barTop = std::min(barTop, H - f.size.height);
    bars.push_back(sub.get());
  }
  for (auto &sub : root.subviews()) {
    if (sub->isHidden() || sub->autoresizingMask() ||
        std::find(bars.begin(), bars.end(), sub.get()) != bars.end())
      continue;
    Rect f = sub->frame();
    if (full(f)) f.origin.x = 0, f.size.width = W;
    if (scrolls(*sub) && f.origin.y < barTop) {
      double bottom = f.origin.y + f.size.height;
      if (bottom >= oldBarTop - 0.5 || bottom > barTop) f.size.height = barTop - f.origin.y;
    }
    sub->setFrame(f);
  }
}
} // namespace

Size Window::popoverContentSize(const PopoverController &popover) const {
  Size asked = popover.popoverContentSize();
  bool landscape = isLandscape(orientation_);
  double W = landscape ? size_.height : size_.width, H = landscape ? size_.width : size_.height;
  // Within the screen, with room for the popover's frame and the control it points from.
  double w = asked.width > 0 ? asked.width : 320, h = asked.height > 0 ? asked.height : 400;
  return {std::clamp(w, 1.0, std::max(1.0, std::min(600.0, W - 40))),
          std::clamp(h, 1.0, std::max(1.0, std::min(H - 140, 900.0)))};
}

void Window::layoutController(ViewController &vc, Rect frame, bool ownFrame) {
  const Size area = frame.size;
  if (auto nav = dynamic_cast<NavigationController *>(&vc)) {
    if (ownFrame && nav->isViewLoaded()) nav->view()->setFrame(frame);
    double bar = nav->isNavigationBarHidden() ? 0 : kNavigationBarHeight;
    if (auto top = nav->topViewController())
      layoutController(*top, {0, bar, area.width, std::max(0.0, area.height - bar)}, true);
  } else if (auto tabs = dynamic_cast<TabBarController *>(&vc)) {
    if (ownFrame && tabs->isViewLoaded()) tabs->view()->setFrame(frame);
    tabs->tabBar()->setFrame(
        {0, std::max(0.0, area.height - kTabBarHeight), area.width, kTabBarHeight});
    if (auto selected = tabs->selectedViewController())
      layoutController(*selected, {0, 0, area.width, std::max(0.0, area.height - kTabBarHeight)},
                       true);
  } else if (auto split = dynamic_cast<SplitViewController *>(&vc)) {
    if (ownFrame && split->isViewLoaded()) split->view()->setFrame(frame);
    // The panes keep the widths the split gives their views (the master 320 points unless it
    // set another); the height is the split's.
    auto master = split->masterViewController(), detail = split->detailViewController();
    double masterWidth = 0;
    if (master && !split->isMasterHidden()) {
      masterWidth = master->isViewLoaded() && master->view()->frame().size.width > 0
                        ? master->view()->frame().size.width
                        : 320;
      layoutController(*master, {0, 0, masterWidth, area.height}, false);
    }
    if (detail) {
      double width = detail->isViewLoaded() && detail->view()->frame().size.width > 0
                         ? detail->view()->frame().size.width
                         : area.width - masterWidth - (masterWidth > 0 ? 1 : 0);
      layoutController(*detail, {0, 0, width, area.height}, false);
    }
  } else if (vc.isViewLoaded()) {
    if (ownFrame)
      fitScreenView(*vc.view(), frame);
    else if (vc.view()->frame().size.height != area.height)
      // A pane keeps its width and origin; its height is the split's.
      fitScreenView(*vc.view(), {vc.view()->frame().origin.x, vc.view()->frame().origin.y,
                                 vc.view()->frame().size.width, area.height});
  }
}

void Window::layout() {
  detail::requireMainThread("Window::layout");
  bool landscape = isLandscape(orientation_);
  double W = landscape ? size_.height : size_.width, H = landscape ? size_.width : size_.height;
  double top = Application::shared().isStatusBarHidden() ? 0 : kStatusBarHeight;
  Rect content{0, top, W, H - top};
  bool pad = size_.width >= 768;
  if (root_) layoutController(*root_, content, true);
  for (auto &l : std::vector<ModalLayer>(modals_)) {
    Rect frame = content;
    auto style = l.presented->modalPresentationStyle();
    if (pad && style == ModalPresentationStyle::FormSheet)
      frame = {(W - 540) / 2, std::max(top, (H - 620) / 2), 540, std::min(620.0, H - top)};
    else if (pad && style == ModalPresentationStyle::PageSheet)
      frame = {std::max(0.0, (W - 768) / 2), top, std::min(768.0, W), H - top};
    layoutController(*l.presented, frame, true);
  }
  for (auto &p : std::vector<std::shared_ptr<PopoverController>>(popovers_))
    if (auto content = p->contentViewController()) {
      Size s = popoverContentSize(*p);
      layoutController(*content, {0, 0, s.width, s.height}, true);
    }
  dropStaleFocus();
}

void Window::dropStaleFocus() {
  auto focus = focus_.lock();
  if (!focus) return;
  // Shown: inside the view of a screen that is on screen (or the keyboard's accessory).
  auto top = focus;
  while (auto parent = top->superview())
    top = parent;
  auto vc = top->owningController();
  if (vc && vc->isVisible()) return;
  if (!vc) {
    // A bar's custom view, a table's header and the like: shown when in the front elements (or
    // in what the front popover lets through).
    for (auto &e : frontElements())
      if (e == top) return;
    for (auto &e : passthroughElements())
      if (e == top) return;
  }
  if (!focus->resignFirstResponder()) clearFirstResponder(*focus);
}

// --- Layers and what they hold ---

Window::Layer Window::frontLayer() const {
  if (!alerts_.empty()) return Layer::Alert;
  if (!sheets_.empty()) return Layer::Sheet;
  if (!popovers_.empty()) return Layer::Popover;
  if (!modals_.empty()) return Layer::Modal;
  return root_ ? Layer::Root : Layer::None;
}

std::shared_ptr<ViewController> Window::frontController() const {
  if (!popovers_.empty()) return popovers_.back()->contentViewController();
  if (!modals_.empty()) return modals_.back().presented;
  return root_;
}

std::vector<std::shared_ptr<Element>> Window::frontElements() {
  std::vector<std::shared_ptr<Element>> out;
  if (auto vc = frontController()) collect(*vc, out);
  if (auto focus = focus_.lock(); focus && keyboardVisible_) {
    std::shared_ptr<View> accessory;
    if (auto f = std::dynamic_pointer_cast<TextField>(focus)) accessory = f->inputAccessoryView();
    if (auto t = std::dynamic_pointer_cast<TextView>(focus)) accessory = t->inputAccessoryView();
    if (accessory) collect(*accessory, out);
  }
  return out;
}

void Window::collect(ViewController &vc, std::vector<std::shared_ptr<Element>> &out) {
  if (auto nav = dynamic_cast<NavigationController *>(&vc)) {
    out.push_back(nav->shared_from_this());
    auto top = nav->topViewController();
    if (top && !nav->isNavigationBarHidden()) {
      auto &item = top->navigationItem();
      for (auto &bar : {item.leftBarButtonItem(), item.rightBarButtonItem()}) {
        if (!bar) continue;
        out.push_back(bar);
        if (bar->customView()) collect(*bar->customView(), out);
      }
      if (item.titleView()) collect(*item.titleView(), out);
    }
    if (top) collect(*top, out);
  } else if (auto tabs = dynamic_cast<TabBarController *>(&vc)) {
    if (auto selected = tabs->selectedViewController()) collect(*selected, out);
    out.push_back(tabs->shared_from_this());
  } else if (auto split = dynamic_cast<SplitViewController *>(&vc)) {
    if (split->masterViewController() && !split->isMasterHidden())
      collect(*split->masterViewController(), out);
    if (split->detailViewController()) collect(*split->detailViewController(), out);
    if (split->isViewLoaded()) collectView(*split->view(), out, true);
  } else if (vc.isViewLoaded()) {
    collectView(*vc.view(), out, true);
  }
}

void Window::collect(View &view, std::vector<std::shared_ptr<Element>> &out) {
  collectView(view, out, false);
}

namespace {
// A split container shows its panes itself; their views inside its own view are not shown again.
bool isSplitPane(const View &view) {
  auto vc = view.owningController();
  return vc && dynamic_cast<SplitViewController *>(vc->parentViewController().get());
}
} // namespace

void Window::collectView(View &view, std::vector<std::shared_ptr<Element>> &out, bool isRoot) {
  if (view.isHidden() || (!isRoot && isSplitPane(view))) return;
  if (!isRoot)
    if (auto vc = view.owningController()) return collect(*vc, out);
  out.push_back(view.shared_from_this());
  if (auto bar = dynamic_cast<Toolbar *>(&view)) {
    for (auto &item : bar->items()) {
      if (item->isSpace()) continue;
      out.push_back(item);
      if (item->customView()) collect(*item->customView(), out);
    }
  } else if (auto table = dynamic_cast<TableView *>(&view)) {
    if (table->tableHeaderView()) collect(*table->tableHeaderView(), out);
    for (int s = 0; s < table->numberOfSections(); ++s)
      if (auto header = table->headerView(s)) collect(*header, out);
    for (auto &cell : table->visibleCells()) {
      collect(*cell, out);
      if (cell->accessoryView()) collect(*cell->accessoryView(), out);
    }
  } else if (auto field = dynamic_cast<TextField *>(&view)) {
    if (field->leftView() && field->shows(field->leftViewMode())) collect(*field->leftView(), out);
    if (field->rightView() && field->shows(field->rightViewMode()))
      collect(*field->rightView(), out);
  }
  for (auto &sub : std::vector<std::shared_ptr<View>>(view.subviews()))
    collect(*sub, out);
}

std::vector<std::shared_ptr<Element>> Window::passthroughElements() {
  std::vector<std::shared_ptr<Element>> out;
  if (!alerts_.empty() || !sheets_.empty() || popovers_.empty()) return out;
  auto views = popovers_.back()->passthroughViews();
  if (views.empty()) return out;
  // Only what is shown beneath the popover: a pass-through view on a screen out of sight (or
  // hidden) takes nothing.
  std::shared_ptr<ViewController> beneath;
  if (popovers_.size() > 1)
    beneath = popovers_[popovers_.size() - 2]->contentViewController();
  else
    beneath = modals_.empty() ? root_ : modals_.back().presented;
  if (!beneath) return out;
  std::vector<std::shared_ptr<Element>> shown, inside;
  collect(*beneath, shown);
  for (auto &v : views)
    collect(*v, inside);
  for (auto &e : inside)
    if (std::find(shown.begin(), shown.end(), e) != shown.end() &&
        std::find(out.begin(), out.end(), e) == out.end())
      out.push_back(e);
  return out;
}

bool Window::inFrontLayer(const Element &element) {
  for (auto &e : frontElements())
    if (e.get() == &element) return true;
  for (auto &e : passthroughElements())
    if (e.get() == &element) return true;
  return false;
}

// --- Snapshot ---

namespace {
const char *styleName(ModalPresentationStyle s) {
  switch (s) {
  case ModalPresentationStyle::FullScreen:
    return "fullScreen";
  case ModalPresentationStyle::PageSheet:
    return "pageSheet";
  case ModalPresentationStyle::FormSheet:
    return "formSheet";
  }
  return "fullScreen";
}
} // namespace

json Window::describeItem(const std::shared_ptr<BarButtonItem> &item) {
  if (!item) return nullptr;
  json j{{"id", idOf(*item)}, {"type", item->typeName()}};
  item->describe(j);
  j["customView"] = item->customView() ? describeView(*item->customView()) : json(nullptr);
  return j;
}

json Window::describeController(ViewController &vc) {
  json j{{"id", idOf(vc)}, {"type", vc.typeName()}};
  vc.describe(j);
  if (auto nav = dynamic_cast<NavigationController *>(&vc)) {
    auto top = nav->topViewController();
    json bar{{"hidden", nav->isNavigationBarHidden()},
             {"title", ""},
             {"titleView", nullptr},
             {"left", nullptr},
             {"right", nullptr},
             {"back", nullptr}};
    if (top) {
      auto &item = top->navigationItem();
      bar["title"] = item.title();
      if (item.titleView()) bar["titleView"] = describeView(*item.titleView());
      bar["left"] = describeItem(item.leftBarButtonItem());
      bar["right"] = describeItem(item.rightBarButtonItem());
    }
    if (auto back = nav->backButtonTitle()) bar["back"] = {{"title", *back}};
    j["navigationBar"] = bar;
    j["top"] = top ? describeController(*top) : json(nullptr);
  } else if (auto tabs = dynamic_cast<TabBarController *>(&vc)) {
    json items = json::array();
    for (auto &tab : tabs->viewControllers()) {
      auto &item = tab->tabBarItem();
      json i{{"id", idOf(*item)}, {"type", item->typeName()}};
      item->describe(i);
      items.push_back(i);
    }
    j["tabBar"] = {{"id", idOf(*tabs->tabBar())}, {"items", items}};
    auto selected = tabs->selectedViewController();
    j["selected"] = selected ? describeController(*selected) : json(nullptr);
  } else if (auto split = dynamic_cast<SplitViewController *>(&vc)) {
    j["master"] = split->masterViewController() ? describeController(*split->masterViewController())
                                                : json(nullptr);
    j["detail"] = split->detailViewController() ? describeController(*split->detailViewController())
                                                : json(nullptr);
    // Where the split put its panes (their views' frames), when it did.
    for (auto [key, pane] : {std::pair{"masterFrame", split->masterViewController()},
                             std::pair{"detailFrame", split->detailViewController()}})
      j[key] = pane && pane->isViewLoaded() ? detail::toJson(pane->view()->frame()) : json(nullptr);
  }
  if (!j.contains("top") && !j.contains("selected"))
    j["view"] = vc.isViewLoaded() ? describeView(*vc.view(), true) : json(nullptr);
  return j;
}

json Window::describeView(View &view, bool isRoot) {
  if (!isRoot)
    if (auto vc = view.owningController()) return {{"controller", describeController(*vc)}};
  json j{{"id", idOf(view)}, {"type", view.typeName()}};
  if (auto t = dynamic_cast<TableView *>(&view)) t->visibleCells(); // loads the table first
  view.describe(j);
  // A view that draws itself is shown as the picture it draws (fetched by id and version).
  if (view.drawsItself()) {
    j["drawn"] = view.drawingVersion();
    if (j["label"].get<std::string>().empty()) j["label"] = view.probeText();
  }
  if (auto bar = dynamic_cast<Toolbar *>(&view)) {
    json items = json::array();
    for (auto &item : bar->items())
      items.push_back(describeItem(item));
    j["items"] = items;
  } else if (auto table = dynamic_cast<TableView *>(&view)) {
    auto cells = table->visibleCells();
    j["tableHeaderView"] =
        table->tableHeaderView() ? describeView(*table->tableHeaderView()) : json(nullptr);
    for (int s = 0; s < table->numberOfSections(); ++s) {
      auto header = table->headerView(s), footer = table->footerView(s);
      j["sections"][static_cast<size_t>(s)]["headerView"] =
          header ? describeView(*header) : json(nullptr);
      j["sections"][static_cast<size_t>(s)]["footerView"] =
          footer ? describeView(*footer) : json(nullptr);
    }
    json rows = json::array();
    for (auto &cell : cells) {
      auto ip = table->indexPathForCell(*cell);
      rows.push_back({{"section", ip->section}, {"row", ip->row}, {"cell", describeView(*cell)}});
    }
    j["rows"] = rows;
  } else if (auto cell = dynamic_cast<TableViewCell *>(&view)) {
    j["accessoryView"] =
        cell->accessoryView() ? describeView(*cell->accessoryView()) : json(nullptr);
  } else if (auto field = dynamic_cast<TextField *>(&view)) {
    j["leftView"] = field->leftView() && field->shows(field->leftViewMode())
                        ? describeView(*field->leftView())
                        : json(nullptr);
    j["rightView"] = field->rightView() && field->shows(field->rightViewMode())
                         ? describeView(*field->rightView())
                         : json(nullptr);
  }
  json subs = json::array();
  for (auto &sub : view.subviews())
    if (!isSplitPane(*sub)) subs.push_back(describeView(*sub));
  j["subviews"] = subs;
  return j;
}

json Window::snapshot() {
  detail::requireMainThread("Window::snapshot");
  layout();
  std::erase_if(registry_, [](auto &entry) { return entry.second.expired(); });
  json j{{"format", "ferrowen-ui"}, {"version", 1}};
  j["window"] = {{"size", detail::toJson(size_)}, {"orientation", static_cast<int>(orientation_)}};
  j["root"] = root_ ? describeController(*root_) : json(nullptr);
  json modals = json::array();
  for (auto &l : std::vector<ModalLayer>(modals_))
    modals.push_back({{"style", styleName(l.presented->modalPresentationStyle())},
                      {"controller", describeController(*l.presented)}});
  j["modals"] = modals;
  json popovers = json::array();
  for (auto &p : std::vector<std::shared_ptr<PopoverController>>(popovers_)) {
    json pj{{"id", idOf(*p)}, {"type", p->typeName()}};
    p->describe(pj);
    pj["shownSize"] = detail::toJson(popoverContentSize(*p));
    if (auto e = p->anchor().element.lock()) pj["anchor"]["element"] = idOf(*e);
    json through = json::array();
    for (auto &v : p->passthroughViews())
      through.push_back(idOf(*v));
    pj["passthrough"] = through;
    pj["controller"] = p->contentViewController() ? describeController(*p->contentViewController())
                                                  : json(nullptr);
    popovers.push_back(pj);
  }
  j["popovers"] = popovers;
  auto plain = [&](auto &list) {
    json arr = json::array();
    for (auto &e : list) {
      json ej{{"id", idOf(*e)}, {"type", e->typeName()}};
      e->describe(ej);
      arr.push_back(ej);
    }
    return arr;
  };
  j["sheets"] = plain(sheets_);
  for (size_t i = 0; i < sheets_.size(); ++i)
    if (auto e = sheets_[i]->anchor().element.lock())
      j["sheets"][i]["anchor"]["element"] = idOf(*e);
  j["alerts"] = plain(alerts_);
  auto focus = focus_.lock();
  json keyboard{{"visible", keyboardVisible_},
                {"focus", focus ? json(idOf(*focus)) : json(nullptr)},
                {"frame", detail::toJson(keyboardFrame())},
                {"accessory", nullptr}};
  std::shared_ptr<View> accessory;
  if (auto f = std::dynamic_pointer_cast<TextField>(focus)) accessory = f->inputAccessoryView();
  if (auto t = std::dynamic_pointer_cast<TextView>(focus)) accessory = t->inputAccessoryView();
  if (accessory && keyboardVisible_) keyboard["accessory"] = describeView(*accessory);
  j["keyboard"] = keyboard;
  json transitions = json::object();
  for (const auto &[key, t] : transitions_)
    transitions[key] = {
        {"type", t.type}, {"duration", t.duration}, {"timing", t.timing}, {"serial", t.serial}};
  j["transitions"] = transitions;
  return j;
}

void Window::addTransition(const std::string &key, LayerTransition transition) {
  detail::requireMainThread("Window::addTransition");
  transition.serial = ++transitionSerial_;
  transitions_[key] = std::move(transition);
}

// --- Events ---

namespace {
// Events come from outside (a renderer): every field must have its kind before anything acts.
std::string malformed(const json &event) {
  if (!event.is_object()) return "an event is a JSON object";
  static const std::map<std::string, json::value_t> kinds{
      {"event", json::value_t::string},
      {"id", json::value_t::number_unsigned},
      {"section", json::value_t::number_integer},
      {"row", json::value_t::number_integer},
      {"index", json::value_t::number_integer},
      {"count", json::value_t::number_unsigned},
      {"location", json::value_t::number_unsigned},
      {"length", json::value_t::number_unsigned},
      {"taps", json::value_t::number_integer},
      {"orientation", json::value_t::number_integer},
      {"text", json::value_t::string},
      {"phase", json::value_t::string},
      {"url", json::value_t::string},
      {"on", json::value_t::boolean},
      {"value", json::value_t::number_float},
      {"x", json::value_t::number_float},
      {"y", json::value_t::number_float},
      {"z", json::value_t::number_float},
      {"button", json::value_t::number_integer}};
  for (auto &[key, value] : event.items()) {
    if (key == "from" || key == "to") {
      if (!value.is_array() || value.size() != 2 || !value[0].is_number_integer() ||
          !value[1].is_number_integer())
        return "\"" + key + "\" must be [section, row]";
      continue;
    }
    auto it = kinds.find(key);
    if (it == kinds.end()) continue;
    bool ok =
        it->second == json::value_t::number_float     ? value.is_number()
        : it->second == json::value_t::number_integer ? value.is_number_integer()
        : it->second == json::value_t::number_unsigned
            ? value.is_number_unsigned() || (value.is_number_integer() && value.get<int64_t>() >= 0)
            : value.type() == it->second;
    if (!ok) return "\"" + key + "\" has the wrong kind of value";
  }
  if (!event.contains("event")) return "an event needs a name";
  return {};
}
} // namespace

namespace {
json outcome(bool ok, const std::string &why) {
  return json{{"ok", ok}, {"error", ok ? std::string() : why}};
}

// tapRow, tapAccessory, deleteRow and moveRow: a row of a table.
bool tableEvent(const std::string &name, const json &event, const std::shared_ptr<Element> &target,
                std::string &why) {
  auto table = std::dynamic_pointer_cast<TableView>(target);
  if (!table) {
    why = "the element is not a table";
    return false;
  }
  IndexPath ip{event.value("section", 0), event.value("row", 0)};
  auto pathAt = [&](const char *key) {
    auto v = event.value(key, json::array({0, 0}));
    return IndexPath{v.at(0).get<int>(), v.at(1).get<int>()};
  };
  if (name == "tapRow") return table->userTapRow(ip, why);
  if (name == "tapAccessory") return table->userTapAccessory(ip, why);
  if (name == "deleteRow") return table->userDeleteRow(ip, why);
  return table->userMoveRow(pathAt("from"), pathAt("to"), why);
}

bool isTextEvent(const std::string &name) {
  return name == "type" || name == "backspace" || name == "replace" || name == "clear" ||
         name == "return" || name == "searchCancel" || name == "select";
}

// Typing into a text field, text view or search bar, and their buttons.
bool textEvent(const std::string &name, const json &event, const std::shared_ptr<Element> &target,
               std::string &why) {
  auto field = std::dynamic_pointer_cast<TextField>(target);
  auto textView = std::dynamic_pointer_cast<TextView>(target);
  auto search = std::dynamic_pointer_cast<SearchBar>(target);
  std::string text = event.value("text", std::string());
  size_t count = event.value("count", size_t{1});
  if (name == "type") {
    return field      ? field->userType(text, why)
           : textView ? textView->userType(text, why)
           : search   ? search->userType(text, why)
                      : (why = "the element takes no text", false);
  }
  if (name == "backspace") {
    return field      ? field->userBackspace(count, why)
           : textView ? textView->userBackspace(count, why)
           : search   ? search->userBackspace(count, why)
                      : (why = "the element takes no text", false);
  }
  if (name == "replace") {
    Range range{event.value("location", size_t{0}), event.value("length", size_t{0})};
    return field      ? field->userReplace(range, text, why)
           : textView ? textView->userReplace(range, text, why)
           : search   ? search->userReplace(range, text, why)
                      : (why = "the element takes no text", false);
  }
  if (name == "select") {
    Range range{event.value("location", size_t{0}), event.value("length", size_t{0})};
    return textView ? textView->userSelect(range, why)
                    : (why = "the element keeps no selection", false);
  }
  if (name == "clear")
    return field ? field->userClear(why) : (why = "the element has no clear button", false);
  if (name == "return") {
    return field      ? field->userReturn(why)
           : search   ? search->userSearch(why)
           : textView ? textView->userType("\n", why)
                      : (why = "the element takes no text", false);
  }
  // searchCancel
  return search ? search->userCancel(why) : (why = "the element is not a search bar", false);
}

// The controls that take one value or gesture: tabs, the back button, switches, sliders,
// segments, scrolling and links. An event of no known name is refused here.
bool controlEvent(const std::string &name, const json &event,
                  const std::shared_ptr<Element> &target, std::string &why) {
  if (name == "tapTab") {
    auto tabs = std::dynamic_pointer_cast<TabBarController>(target);
    return tabs ? tabs->userSelectTab(event.value("index", -1), why)
                : (why = "the element is not a tab bar", false);
  }
  if (name == "back") {
    auto nav = std::dynamic_pointer_cast<NavigationController>(target);
    return nav ? nav->userBack(why) : (why = "the element is not a navigation bar", false);
  }
  if (name == "setSwitch") {
    auto sw = std::dynamic_pointer_cast<Switch>(target);
    if (!sw) {
      why = "the element is not a switch";
      return false;
    }
    return sw->isOn() == event.value("on", false) || sw->userTap(why);
  }
  if (name == "slide") {
    auto slider = std::dynamic_pointer_cast<Slider>(target);
    return slider ? slider->userSlide(event.value("value", 0.0), why)
                  : (why = "the element is not a slider", false);
  }
  if (name == "selectSegment") {
    auto seg = std::dynamic_pointer_cast<SegmentedControl>(target);
    return seg ? seg->userSelect(event.value("index", -1), why)
               : (why = "the element is not a segmented control", false);
  }
  if (name == "scroll") {
    auto scroll = std::dynamic_pointer_cast<ScrollView>(target);
    if (!scroll) {
      why = "the element does not scroll";
      return false;
    }
    if (!scroll->isScrollEnabled()) {
      why = "scrolling is off";
      return false;
    }
    scroll->setContentOffset({event.value("x", 0.0), event.value("y", 0.0)}, false);
    return true;
  }
  if (name == "zoom") {
    auto scroll = std::dynamic_pointer_cast<ScrollView>(target);
    return scroll ? scroll->userZoom(event.value("value", 1.0),
                                     {event.value("x", 0.0), event.value("y", 0.0)}, why)
                  : (why = "the element does not zoom", false);
  }
  if (name == "followLink") {
    auto web = std::dynamic_pointer_cast<WebView>(target);
    return web ? web->userFollowLink(event.value("url", std::string()), why)
               : (why = "the element is not a web view", false);
  }
  why = "unknown event \"" + name + "\"";
  return false;
}
} // namespace

json Window::dispatch(const json &event) {
  detail::requireMainThread("Window::dispatch");
  auto self = shared_from_this();
  layout();
  if (auto bad = malformed(event); !bad.empty()) return outcome(false, bad);
  std::string why;
  std::string name = event.value("event", std::string());

  if (name == "rotate") {
    // The device turns, whatever the screens allow (what asks the device for its orientation,
    // as the split container does when it lays out, hears the new one); the interface follows
    // when the frontmost screen agrees.
    const int o = event.value("orientation", 1);
    if (o < 1 || o > 4) return outcome(false, "an interface orientation is 1 to 4");
    DeviceProfile::setOrientation(static_cast<Orientation>(o));
    bool turned = rotate(static_cast<InterfaceOrientation>(o));
    return outcome(turned, "the screen does not turn to that orientation");
  }
  if (name == "accelerate") {
    Accelerometer::sharedAccelerometer().inject(event.value("x", 0.0), event.value("y", 0.0),
                                                event.value("z", 0.0));
    return outcome(true, "");
  }
  if (name == "shake") {
    Accelerometer::sharedAccelerometer().shake();
    return outcome(true, "");
  }
  if (name == "memoryWarning") {
    sendMemoryWarning();
    return outcome(true, "");
  }
  if (name == "answer") return answerWaiting(event);
  if (!alerts_.empty()) return outcome(false, "an alert is waiting for an answer");
  if (!sheets_.empty()) return outcome(false, "an action sheet is waiting for an answer");
  if (name == "dismissKeyboard") return outcome(endEditing(), "the focus could not be resigned");

  auto target = elementForId(event.value("id", uint64_t{0}));
  if (!target) return outcome(false, "no element with that id");
  if (name == "dismissPopover") {
    if (popovers_.empty() || target != popovers_.back())
      return outcome(false, "that popover is not the front one");
    return outcome(popovers_.back()->userDismiss(why), why);
  }
  if (!inFrontLayer(*target)) return outcome(false, "the element is not on the front layer");

  bool ok = false;
  if (name == "tap")
    ok = tapElement(target, why);
  else if (name == "tapRow" || name == "tapAccessory" || name == "deleteRow" || name == "moveRow")
    ok = tableEvent(name, event, target, why);
  else if (isTextEvent(name))
    ok = textEvent(name, event, target, why);
  else if (name == "touch")
    ok = touchElement(event, target, why);
  else
    ok = controlEvent(name, event, target, why);
  return outcome(ok, why);
}

json Window::answerWaiting(const json &event) {
  std::string why;
  auto target = elementForId(event.value("id", uint64_t{0}));
  int button = event.value("button", -1);
  if (!alerts_.empty()) {
    if (target != alerts_.back()) return outcome(false, "only the newest alert can be answered");
    return outcome(alerts_.back()->userAnswer(button, why), why);
  }
  if (!sheets_.empty()) {
    if (target != sheets_.back()) return outcome(false, "only the newest sheet can be answered");
    return outcome(sheets_.back()->userAnswer(button, why), why);
  }
  return outcome(false, "no alert or sheet is waiting");
}

bool Window::tapElement(const std::shared_ptr<Element> &target, std::string &why) {
  if (auto item = std::dynamic_pointer_cast<BarButtonItem>(target)) return item->userTap(why);
  if (auto cell = std::dynamic_pointer_cast<TableViewCell>(target)) {
    why = "the cell is in no table in view";
    auto touchable = frontElements();
    for (auto &e : passthroughElements())
      touchable.push_back(e);
    for (auto &e : touchable)
      if (auto t = std::dynamic_pointer_cast<TableView>(e))
        if (auto at = t->indexPathForCell(*cell)) return t->userTapRow(*at, why);
    return false;
  }
  if (auto view = std::dynamic_pointer_cast<View>(target)) return view->userTap(why);
  why = "that element cannot be tapped";
  return false;
}

bool Window::touchElement(const json &event, const std::shared_ptr<Element> &target,
                          std::string &why) {
  auto view = std::dynamic_pointer_cast<View>(target);
  auto number = [&](const char *key) {
    auto it = event.find(key);
    return it != event.end() && it->is_number() ? it->get<double>() : std::nan("");
  };
  if (!view || !view->isUserInteractionEnabled()) {
    why = "the element takes no touches";
    return false;
  }
  if (!event.contains("phase")) {
    view->touchesEnded(event.value("taps", 1));
    return true;
  }
  const std::string phase = event["phase"].get<std::string>();
  if (phase != "began") return view->userTouch(phase, {number("x"), number("y")}, why);
  const double x = number("x"), y = number("y");
  if (!std::isfinite(x) || !std::isfinite(y) || event.value("taps", 1) != 1) {
    why = "a touch starts at one point";
    return false;
  }
  // The page says where; the point is kept inside the view it names.
  const auto b = view->bounds();
  forwardTap(*view, {std::clamp(x, 0.0, b.size.width), std::clamp(y, 0.0, b.size.height)});
  return view->userTouch("began", {x, y}, why);
}

void Window::forwardTap(View &view, Point at) {
  auto observed = viewToObserve();
  auto observer = controllerThatObserves();
  if (!observed || !observer) return;
  // Into the observed view's coordinates, through the frames of the views between.
  auto self = view.shared_from_this();
  std::shared_ptr<View> v = std::static_pointer_cast<View>(self);
  while (v && v != observed) {
    at.x += v->frame().origin.x;
    at.y += v->frame().origin.y;
    v = v->superview();
  }
  if (!v) return; // not inside the observed view
  Log::debugf("TapPoint = %f, %f", at.x, at.y);
  observer->userDidTapWebView(at.x, at.y);
}

} // namespace platform::ui
