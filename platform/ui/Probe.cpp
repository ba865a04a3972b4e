#include "platform/ui/Probe.h"

namespace platform::ui {

using nlohmann::json;

Probe::Probe(std::shared_ptr<Window> window) : window_(std::move(window)) {}

bool Probe::fail(std::string why) {
  error_ = std::move(why);
  return false;
}

std::shared_ptr<Element> Probe::find(const std::string &name) {
  if (name.empty()) return nullptr;
  auto elements = window_->frontElements();
  // Accessibility labels first, then titles, then shown texts.
  for (int pass = 0; pass < 3; ++pass)
    for (auto &e : elements) {
      std::string text;
      if (auto item = std::dynamic_pointer_cast<BarButtonItem>(e))
        text = pass == 0 ? item->accessibilityLabel() : pass == 1 ? item->probeName() : "";
      else if (auto view = std::dynamic_pointer_cast<View>(e))
        text = pass == 0   ? view->accessibilityLabel()
               : pass == 1 ? view->probeTitle()
                           : view->probeText();
      if (text == name) return e;
    }
  return nullptr;
}

bool Probe::dispatch(const json &event) {
  auto result = window_->dispatch(event);
  if (result.value("ok", false)) return true;
  return fail(result.value("error", std::string("failed")));
}

bool Probe::act(const std::string &event, const std::string &name, json extra) {
  auto e = find(name);
  if (!e) return fail("nothing named \"" + name + "\" on the front layer");
  json ev{{"event", event}, {"id", window_->idOf(*e)}};
  if (extra.is_object()) ev.update(extra);
  return dispatch(ev);
}

bool Probe::tap(const std::string &name) {
  return act("tap", name);
}

bool Probe::tap(const std::shared_ptr<Element> &element) {
  if (!element) return fail("no element");
  return dispatch({{"event", "tap"}, {"id", window_->idOf(*element)}});
}

std::shared_ptr<NavigationController> Probe::frontNavigation() {
  for (auto &e : window_->frontElements())
    if (auto nav = std::dynamic_pointer_cast<NavigationController>(e)) return nav;
  return nullptr;
}

bool Probe::tapBack() {
  for (auto &e : window_->frontElements())
    if (auto nav = std::dynamic_pointer_cast<NavigationController>(e))
      if (nav->backButtonTitle()) return dispatch({{"event", "back"}, {"id", window_->idOf(*nav)}});
  return fail("no back button on the front layer");
}

bool Probe::tapTab(const std::string &title) {
  for (auto &e : window_->frontElements())
    if (auto tabs = std::dynamic_pointer_cast<TabBarController>(e)) {
      auto &vcs = tabs->viewControllers();
      for (size_t i = 0; i < vcs.size(); ++i)
        if (vcs[i]->tabBarItem()->title() == title)
          return dispatch({{"event", "tapTab"}, {"id", window_->idOf(*tabs)}, {"index", i}});
    }
  return fail("no tab \"" + title + "\"");
}

bool Probe::tapTab(int index) {
  auto tabs = first<TabBarController>();
  if (!tabs) return fail("no tab bar on the front layer");
  return dispatch({{"event", "tapTab"}, {"id", window_->idOf(*tabs)}, {"index", index}});
}

std::shared_ptr<TableView> Probe::tableFor(std::shared_ptr<TableView> table) {
  return table ? table : first<TableView>();
}

std::optional<IndexPath> Probe::rowWithText(const std::string &text,
                                            std::shared_ptr<TableView> &table) {
  window_->layout();
  auto inView = [&](const std::shared_ptr<TableView> &t) -> std::optional<IndexPath> {
    for (auto &ip : t->indexPathsForVisibleRows()) {
      auto cell = t->cellForRowAtIndexPath(ip);
      if (cell->probeText() == text || cell->accessibilityLabel() == text) return ip;
    }
    return std::nullopt;
  };
  std::vector<std::shared_ptr<TableView>> tables;
  for (auto &e : window_->frontElements())
    if (auto t = std::dynamic_pointer_cast<TableView>(e)) {
      tables.push_back(t);
      if (auto ip = inView(t)) return table = t, ip;
    }
  // Not in view: a person scrolls each table through (a screen at a time) to find the row, and
  // leaves it where the row came into view.
  for (auto &t : tables) {
    if (!t->isScrollEnabled()) continue;
    Point start = t->contentOffset();
    double page = std::max(44.0, t->frame().size.height * 0.8);
    double end = t->contentSize().height - t->frame().size.height;
    for (double y = 0; y <= std::max(0.0, end) + page; y += page) {
      t->setContentOffset({start.x, std::min(y, std::max(0.0, end))});
      if (auto ip = inView(t)) return table = t, ip;
    }
    t->setContentOffset(start);
  }
  return std::nullopt;
}

bool Probe::rowEvent(const char *event, IndexPath ip, std::shared_ptr<TableView> table) {
  table = tableFor(table);
  if (!table) return fail("no table on the front layer");
  return dispatch(
      {{"event", event}, {"id", window_->idOf(*table)}, {"section", ip.section}, {"row", ip.row}});
}

bool Probe::tapRow(IndexPath ip, std::shared_ptr<TableView> table) {
  return rowEvent("tapRow", ip, std::move(table));
}

bool Probe::tapRow(const std::string &text) {
  std::shared_ptr<TableView> table;
  auto ip = rowWithText(text, table);
  if (!ip) return fail("no row \"" + text + "\" in view");
  return tapRow(*ip, table);
}

bool Probe::tapAccessory(IndexPath ip, std::shared_ptr<TableView> table) {
  return rowEvent("tapAccessory", ip, std::move(table));
}

bool Probe::tapAccessory(const std::string &text) {
  std::shared_ptr<TableView> table;
  auto ip = rowWithText(text, table);
  if (!ip) return fail("no row \"" + text + "\" in view");
  return tapAccessory(*ip, table);
}

bool Probe::deleteRow(IndexPath ip, std::shared_ptr<TableView> table) {
  return rowEvent("deleteRow", ip, std::move(table));
}

bool Probe::moveRow(IndexPath from, IndexPath to, std::shared_ptr<TableView> table) {
  table = tableFor(table);
  if (!table) return fail("no table on the front layer");
  return dispatch({{"event", "moveRow"},
                   {"id", window_->idOf(*table)},
                   {"from", {from.section, from.row}},
                   {"to", {to.section, to.row}}});
}

bool Probe::type(const std::string &field, const std::string &text) {
  return act("type", field, {{"text", text}});
}
bool Probe::backspace(const std::string &field, size_t count) {
  return act("backspace", field, {{"count", count}});
}
bool Probe::clear(const std::string &field) {
  return act("clear", field);
}
bool Probe::pressReturn(const std::string &field) {
  return act("return", field);
}
bool Probe::dismissKeyboard() {
  return dispatch({{"event", "dismissKeyboard"}});
}
bool Probe::setSwitch(const std::string &name, bool on) {
  return act("setSwitch", name, {{"on", on}});
}
bool Probe::slide(const std::string &name, double value) {
  return act("slide", name, {{"value", value}});
}
bool Probe::selectSegment(const std::string &name, int index) {
  return act("selectSegment", name, {{"index", index}});
}

bool Probe::touch(const std::string &name, int tapCount) {
  return act("touch", name, {{"taps", tapCount}});
}

bool Probe::answerAlert(const std::string &button) {
  if (window_->alerts().empty()) return fail("no alert is shown");
  auto alert = window_->alerts().back();
  auto &titles = alert->buttonTitles();
  auto it = std::find(titles.begin(), titles.end(), button);
  if (it == titles.end())
    return fail("the alert \"" + alert->title() + "\" has no button \"" + button + "\"");
  return dispatch(
      {{"event", "answer"}, {"id", window_->idOf(*alert)}, {"button", it - titles.begin()}});
}

bool Probe::answerSheet(const std::string &button) {
  if (!window_->alerts().empty()) return fail("an alert covers the sheets");
  if (window_->actionSheets().empty()) return fail("no action sheet is shown");
  auto sheet = window_->actionSheets().back();
  auto &titles = sheet->buttonTitles();
  auto it = std::find(titles.begin(), titles.end(), button);
  if (it == titles.end())
    return fail("the sheet \"" + sheet->title() + "\" has no button \"" + button + "\"");
  return dispatch(
      {{"event", "answer"}, {"id", window_->idOf(*sheet)}, {"button", it - titles.begin()}});
}

bool Probe::dismissPopover() {
  if (window_->popovers().empty()) return fail("no popover is shown");
  return dispatch(
      {{"event", "dismissPopover"}, {"id", window_->idOf(*window_->popovers().back())}});
}

bool Probe::rotate(InterfaceOrientation o) {
  return dispatch({{"event", "rotate"}, {"orientation", static_cast<int>(o)}});
}

bool Probe::accelerate(double x, double y, double z) {
  return dispatch({{"event", "accelerate"}, {"x", x}, {"y", y}, {"z", z}});
}

bool Probe::shake() {
  return dispatch({{"event", "shake"}});
}

std::shared_ptr<ViewController> Probe::topViewController() {
  if (auto nav = frontNavigation()) return nav->topViewController();
  return window_->frontController();
}

std::vector<std::string> Probe::navigationTitles() {
  std::vector<std::string> out;
  for (auto &e : window_->frontElements())
    if (auto nav = std::dynamic_pointer_cast<NavigationController>(e))
      if (!nav->isNavigationBarHidden()) out.push_back(titleOf(*nav));
  return out;
}

std::string Probe::navigationTitle() {
  auto nav = frontNavigation();
  return nav ? titleOf(*nav) : std::string();
}

std::string Probe::titleOf(NavigationController &nav) {
  if (!nav.topViewController()) return {};
  auto &item = nav.topViewController()->navigationItem();
  if (!item.title().empty() || !item.titleView()) return item.title();
  // A custom title view: the texts of its labels, one per line.
  std::string out;
  std::vector<std::shared_ptr<View>> pending{item.titleView()};
  while (!pending.empty()) {
    auto v = pending.front();
    pending.erase(pending.begin());
    if (v->isHidden()) continue;
    if (auto t = v->probeText(); !t.empty()) out += (out.empty() ? "" : "\n") + t;
    pending.insert(pending.end(), v->subviews().begin(), v->subviews().end());
  }
  return out;
}

std::optional<std::string> Probe::backButtonTitle() {
  auto nav = frontNavigation();
  return nav ? nav->backButtonTitle() : std::nullopt;
}

namespace {
std::optional<Probe::ItemInfo> info(const std::shared_ptr<BarButtonItem> &item) {
  if (!item) return std::nullopt;
  return Probe::ItemInfo{item->probeName(), item->isEnabled(), item};
}
} // namespace

std::optional<Probe::ItemInfo> Probe::leftItem() {
  auto top = frontNavigation() ? frontNavigation()->topViewController() : nullptr;
  return top ? info(top->navigationItem().leftBarButtonItem()) : std::nullopt;
}

std::optional<Probe::ItemInfo> Probe::rightItem() {
  auto top = frontNavigation() ? frontNavigation()->topViewController() : nullptr;
  return top ? info(top->navigationItem().rightBarButtonItem()) : std::nullopt;
}

std::vector<Probe::ItemInfo> Probe::toolbarItems() {
  std::vector<ItemInfo> out;
  if (auto bar = first<Toolbar>())
    for (auto &item : bar->items())
      if (!item->isSpace()) out.push_back(*info(item));
  return out;
}

std::vector<Probe::RowInfo> Probe::visibleRows(std::shared_ptr<TableView> table) {
  std::vector<RowInfo> out;
  table = tableFor(table);
  if (!table) return out;
  for (auto &ip : table->indexPathsForVisibleRows()) {
    auto cell = table->cellForRowAtIndexPath(ip);
    bool editing = cell->isEditing() && cell->hidesAccessoryWhenEditing();
    out.push_back({ip, cell->textLabel()->text(),
                   cell->detailTextLabel() ? cell->detailTextLabel()->text() : std::string(),
                   cell->accessibilityLabel(),
                   editing ? cell->editingAccessoryType() : cell->accessoryType(),
                   cell->isSelected()});
  }
  return out;
}

std::vector<std::optional<std::string>> Probe::badges() {
  std::vector<std::optional<std::string>> out;
  if (auto tabs = first<TabBarController>())
    for (auto &vc : tabs->viewControllers())
      out.push_back(vc->tabBarItem()->badgeValue());
  return out;
}

std::vector<Probe::AlertInfo> Probe::pendingAlerts() {
  std::vector<AlertInfo> out;
  for (auto &a : window_->alerts())
    out.push_back({a->title(), a->message(), a->buttonTitles()});
  return out;
}

std::vector<Probe::AlertInfo> Probe::pendingSheets() {
  std::vector<AlertInfo> out;
  for (auto &s : window_->actionSheets())
    out.push_back({s->title(), {}, s->buttonTitles()});
  return out;
}

} // namespace platform::ui
