// The probe: how tests drive the UI model as a person drives the phone. It finds what is on the
// frontmost layer by accessibility label, title or text (in that order of preference), acts on
// it through the same JSON events a renderer sends (Window::dispatch), and reads back titles,
// rows, toolbars, badges and pending alerts. Every action answers whether it worked; the reason
// of the last failure is in lastError().
#pragma once

#include "platform/ui/Table.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/WebView.h"
#include "platform/ui/Window.h"

namespace platform::ui {

class Probe {
public:
  explicit Probe(std::shared_ptr<Window> window = Window::keyWindow());
  Window &window() { return *window_; }
  const std::string &lastError() const { return error_; }

  // Finding (front layer only).
  std::shared_ptr<Element> find(const std::string &name);
  template <class T> std::shared_ptr<T> find(const std::string &name) {
    return std::dynamic_pointer_cast<T>(find(name));
  }
  // The first element of a kind, in reading order (the one table of a screen, say).
  template <class T> std::shared_ptr<T> first() {
    for (auto &e : window_->frontElements())
      if (auto t = std::dynamic_pointer_cast<T>(e)) return t;
    return nullptr;
  }

  // Acting.
  bool dispatch(const nlohmann::json &event);
  bool tap(const std::string &name);
  bool tap(const std::shared_ptr<Element> &element);
  bool tapBack();
  bool tapTab(const std::string &title);
  bool tapTab(int index);
  // Rows of the first table in view (or of the given one), by index or by the row's text.
  bool tapRow(IndexPath ip, std::shared_ptr<TableView> table = nullptr);
  bool tapRow(const std::string &text);
  bool tapAccessory(IndexPath ip, std::shared_ptr<TableView> table = nullptr);
  bool tapAccessory(const std::string &text);
  bool deleteRow(IndexPath ip, std::shared_ptr<TableView> table = nullptr);
  bool moveRow(IndexPath from, IndexPath to, std::shared_ptr<TableView> table = nullptr);
  // Text: the field (found by label, text or placeholder) takes the focus, then the text is
  // typed character by character.
  bool type(const std::string &field, const std::string &text);
  bool backspace(const std::string &field, size_t count = 1);
  bool clear(const std::string &field);
  bool pressReturn(const std::string &field);
  bool dismissKeyboard();
  bool setSwitch(const std::string &name, bool on);
  bool slide(const std::string &name, double value);
  bool selectSegment(const std::string &name, int index);
  // Raw touches on a view that handles them itself (tapCount 2: a double tap).
  bool touch(const std::string &name, int tapCount = 1);
  // The newest alert or sheet, answered by button title.
  bool answerAlert(const std::string &button);
  bool answerSheet(const std::string &button);
  bool dismissPopover();
  bool rotate(InterfaceOrientation o);
  bool accelerate(double x, double y, double z);
  bool shake();

  // Reading.
  std::string navigationTitle(); // the first navigation bar's title (a title view: its texts)
  std::vector<std::string> navigationTitles();  // every navigation bar in view (split panes)
  std::optional<std::string> backButtonTitle(); // none on a root screen
  struct ItemInfo {
    std::string name;
    bool enabled = true;
    std::shared_ptr<BarButtonItem> item;
  };
  std::optional<ItemInfo> leftItem();
  std::optional<ItemInfo> rightItem();
  std::vector<ItemInfo> toolbarItems(); // the first toolbar in view, spaces left out
  struct RowInfo {
    IndexPath indexPath;
    std::string text, detail, label;
    TableViewCellAccessoryType accessory = TableViewCellAccessoryType::None;
    bool selected = false;
  };
  std::vector<RowInfo> visibleRows(std::shared_ptr<TableView> table = nullptr);
  std::vector<std::optional<std::string>> badges(); // of the first tab bar in view
  struct AlertInfo {
    std::string title, message;
    std::vector<std::string> buttons;
  };
  std::vector<AlertInfo> pendingAlerts();              // oldest first
  std::vector<AlertInfo> pendingSheets();              // oldest first (message empty)
  std::shared_ptr<ViewController> topViewController(); // of the front navigation stack
  nlohmann::json snapshot() { return window_->snapshot(); }

private:
  bool fail(std::string why);
  std::shared_ptr<NavigationController> frontNavigation();
  static std::string titleOf(NavigationController &nav);
  std::shared_ptr<TableView> tableFor(std::shared_ptr<TableView> table);
  std::optional<IndexPath> rowWithText(const std::string &text, std::shared_ptr<TableView> &table);
  // An event at one row of a table (the front layer's table when none is given).
  bool rowEvent(const char *event, IndexPath ip, std::shared_ptr<TableView> table);
  bool act(const std::string &event, const std::string &name, nlohmann::json extra = {});
  std::shared_ptr<Window> window_;
  std::string error_;
};

} // namespace platform::ui
