// The window: the root screen, the modal layers above it, popovers, action sheets and alerts,
// the keyboard focus, and the two faces a person (or a renderer) sees the model through: a JSON
// snapshot of everything on screen and JSON events that act on it.
//
// Snapshot (Window::snapshot()), keys in every node sorted, values plain:
//   {"format":"ferrowen-ui","version":1,
//    "window":{"size":[w,h],"orientation":1..4},
//    "root":<controller>|null,
//    "modals":[{"style":"fullScreen|pageSheet|formSheet","controller":<controller>}],
//    "popovers":[<popover>], "sheets":[<sheet>], "alerts":[<alert>],   (oldest first)
//    "keyboard":{"visible":bool,"focus":id|null,"frame":[x,y,w,h],"accessory":<view>|null},
//    "transitions":{<key>:{"type","duration","timing","serial"}}}
//   <controller>: {"id","type":"screen","nib","title","view":<view>} |
//     {"id","type":"navigation","depth","navigationBar":{"hidden","title","titleView","left",
//      "right","back":null|{"title"}},"top":<controller>} |
//     {"id","type":"tabBarController","selectedIndex","tabBar":{"id","items":[<tabItem>]},
//      "selected":<controller>} |
//     {"id","type":"split","masterHidden","master":<controller>,"detail":<controller>,
//      "view":<view>|null}   (the container's own view; the panes are not repeated in it)
//   <view>: {"id","type","frame":[x,y,w,h],"hidden","alpha","tag","label", kind fields...,
//     "subviews":[<view>]}; a subview that is a screen's root view appears as
//     {"controller":<controller>}. Tables list their sections and the cells in view ("rows").
// Every "id" is stable for the element's life, and is what events name.
//
// Events (Window::dispatch, answered with {"ok":bool,"error":text}):
//   {"event":"tap","id"}                    button, bar item, switch, cell, text input (focus)
//   {"event":"tapRow","id":table,"section","row"}   {"event":"tapAccessory",...same}
//   {"event":"deleteRow","id":table,"section","row"}
//   {"event":"moveRow","id":table,"from":[s,r],"to":[s,r]}
//   {"event":"tapTab","id":tabBarController,"index"}   {"event":"back","id":navigation}
//   {"event":"type","id","text"}  {"event":"backspace","id","count"}  {"event":"clear","id"}
//   {"event":"replace","id","location","length","text"}   a UTF-16 range of the text replaced
//   {"event":"select","id","location","length"}   a text view's caret or selection, put there
//   Ranges count UTF-16 units of the text as the model holds it: every CR and LF of its line
//   ends counts, whatever a page's input shows of them.
//   {"event":"return","id"}  {"event":"searchCancel","id"}  {"event":"dismissKeyboard"}
//   {"event":"setSwitch","id","on"}  {"event":"slide","id","value"}
//   {"event":"selectSegment","id","index"}  {"event":"scroll","id","x","y"}
//   {"event":"zoom","id","value","x","y"}   a pinch or Ctrl + wheel: the scale wanted, and the
//                                           point of the visible area that stays put
//   {"event":"touch","id","taps"}           raw touches ended, for views that handle them
//   {"event":"touch","id","phase":"began|moved|ended|cancelled","x","y"}  a finger at (x, y) in
//                                           the view's points (the tap window hears where it began)
//   {"event":"answer","id":alert|sheet,"button":index}  {"event":"dismissPopover","id"}
//   {"event":"followLink","id":web,"url"}
//   {"event":"rotate","orientation"}        the device turns (1-4); the interface follows if
//   allowed
//   {"event":"accelerate","x","y","z"}  {"event":"shake"}  {"event":"memoryWarning"}
// Only the frontmost layer takes events: an alert, else a sheet, else a popover, else the top
// modal screen, else the root. A popover's pass-through views (listed by id in its "passthrough")
// and what lies inside them take events too, while the popover stays shown.
#pragma once

#include "platform/ui/Presentation.h"
#include "platform/ui/Services.h"
#include "platform/ui/ViewController.h"

#include <nlohmann/json.hpp>

#include <map>

namespace platform::ui {

// Hears where a touch on the window's observed view starts (the tap-detecting window): the
// point in the observed view's own coordinates.
class TapDetectingWindowDelegate {
public:
  virtual ~TapDetectingWindowDelegate() = default;
  virtual void userDidTapWebView(double x, double y) = 0;
};

class Window : public std::enable_shared_from_this<Window> {
public:
  explicit Window(Size size = {320, 480});

  // The window everything is shown in: the one made key last (a plain one is made when none).
  static std::shared_ptr<Window> keyWindow();
  void makeKeyAndVisible();

  Size size() const { return size_; }
  void setSize(Size s) { size_ = s; }
  std::shared_ptr<ViewController> rootViewController() const { return root_; }
  void setRootViewController(std::shared_ptr<ViewController> vc);
  InterfaceOrientation interfaceOrientation() const { return orientation_; }
  // The device turns: the frontmost screen is asked, and when it agrees it is told around the
  // turn. Answers whether the interface turned.
  bool rotate(InterfaceOrientation o, double duration = 0.3);

  // Modal layers (oldest first).
  struct ModalLayer {
    std::weak_ptr<ViewController> presenter;
    std::shared_ptr<ViewController> presented;
  };
  const std::vector<ModalLayer> &modalLayers() const { return modals_; }
  void presentModal(ViewController &presenter, std::shared_ptr<ViewController> vc, bool animated);
  void dismissModal(ViewController &presenter, bool animated);

  const std::vector<std::shared_ptr<AlertView>> &alerts() const { return alerts_; }
  const std::vector<std::shared_ptr<ActionSheet>> &actionSheets() const { return sheets_; }
  const std::vector<std::shared_ptr<PopoverController>> &popovers() const { return popovers_; }
  void addAlert(std::shared_ptr<AlertView> a);
  void removeAlert(const AlertView &a);
  void addActionSheet(std::shared_ptr<ActionSheet> s);
  void removeActionSheet(const ActionSheet &s);
  void addPopover(std::shared_ptr<PopoverController> p);
  void removePopover(const PopoverController &p);

  // Keyboard focus. Giving the focus to a view asks the present holder to resign first.
  std::shared_ptr<View> firstResponder() const { return focus_.lock(); }
  bool setFirstResponder(View &view);
  void clearFirstResponder(View &view);
  // Resigns the focus (the keyboard goes away).
  bool endEditing();
  bool isKeyboardVisible() const { return keyboardVisible_; }
  Rect keyboardFrame() const;
  void addKeyboardObserver(std::weak_ptr<KeyboardObserver> observer);
  void removeKeyboardObserver(const KeyboardObserver &observer);
  // Tells every observer (tests inject notifications with this too).
  void postKeyboardNotification(KeyboardEvent event, const KeyboardInfo &info);

  // The tap window: a single touch that starts inside the observed view is reported to the
  // observer (neither is kept alive by the window).
  std::shared_ptr<View> viewToObserve() const { return viewToObserve_.lock(); }
  void setViewToObserve(std::weak_ptr<View> view) { viewToObserve_ = std::move(view); }
  std::shared_ptr<TapDetectingWindowDelegate> controllerThatObserves() const {
    return controllerThatObserves_.lock();
  }
  void setControllerThatObserves(std::weak_ptr<TapDetectingWindowDelegate> observer) {
    controllerThatObserves_ = std::move(observer);
  }

  // Memory warning to every screen.
  void sendMemoryWarning();

  // A transition of the window's layer under a key (a new one under the same key replaces it):
  // what the window shows next comes in by it, e.g. a fade of 0.2 s. The snapshot carries each
  // with a number that grows with every one added, so a renderer runs each once.
  struct LayerTransition {
    std::string type;    // "fade"
    double duration = 0; // seconds
    std::string timing;  // "easeInEaseOut", "linear"
    uint64_t serial = 0;
  };
  void addTransition(const std::string &key, LayerTransition transition);
  const std::map<std::string, LayerTransition> &transitions() const { return transitions_; }

  // Gives every shown screen the frame its container gives it (below the status bar and the
  // navigation bar, above the tab bar; a split's panes as the split set them; modal sheets and
  // popovers their own size) and fits the bars and scrolling views of each screen's view to it.
  // Done before every snapshot and event, so what is drawn is what the model holds.
  void layout();
  // The size of a popover's content as shown (its asked size within what the window allows).
  Size popoverContentSize(const PopoverController &popover) const;

  nlohmann::json snapshot();
  nlohmann::json dispatch(const nlohmann::json &event);

  // Ids of elements (given on first sight) and the way back from an id.
  uint64_t idOf(const Element &element);
  std::shared_ptr<Element> elementForId(uint64_t id) const;

  // The frontmost layer that takes touches: its kind and its screen or presentation.
  enum class Layer { Alert, Sheet, Popover, Modal, Root, None };
  Layer frontLayer() const;
  // The screen of the frontmost screen layer (popover content, top modal, or root).
  std::shared_ptr<ViewController> frontController() const;
  // What a person can touch in the frontmost screen layer, in reading order: views (hidden ones
  // and their subviews left out), bar items, table cells in view, navigation controllers (their
  // back buttons) and tab bar controllers (their tabs), and the keyboard's accessory view.
  std::vector<std::shared_ptr<Element>> frontElements();
  // What a person can touch through the front popover: what its pass-through views hold that is
  // shown on the layer beneath it (nothing when an alert or a sheet waits).
  std::vector<std::shared_ptr<Element>> passthroughElements();

  nlohmann::json describeController(ViewController &vc);
  nlohmann::json describeView(View &view, bool isRoot = false);
  nlohmann::json describeItem(const std::shared_ptr<BarButtonItem> &item);

private:
  void layoutController(ViewController &vc, Rect frame, bool ownFrame);
  // Resigns the focus when it is held by a view no longer shown.
  void dropStaleFocus();
  void collect(ViewController &vc, std::vector<std::shared_ptr<Element>> &out);
  void collect(View &view, std::vector<std::shared_ptr<Element>> &out);
  void collectView(View &view, std::vector<std::shared_ptr<Element>> &out, bool isRoot);
  bool inFrontLayer(const Element &element);
  // Events of dispatch: an answer to the waiting alert or sheet, a tap and a touch.
  nlohmann::json answerWaiting(const nlohmann::json &event);
  bool tapElement(const std::shared_ptr<Element> &target, std::string &why);
  bool touchElement(const nlohmann::json &event, const std::shared_ptr<Element> &target,
                    std::string &why);
  // A touch starts at `at` in `view`: the observer hears it when the view lies in the observed one.
  void forwardTap(View &view, Point at);
  Size size_;
  InterfaceOrientation orientation_ = InterfaceOrientation::Portrait;
  std::shared_ptr<ViewController> root_;
  std::vector<ModalLayer> modals_;
  std::vector<std::shared_ptr<AlertView>> alerts_;
  std::vector<std::shared_ptr<ActionSheet>> sheets_;
  std::vector<std::shared_ptr<PopoverController>> popovers_;
  std::weak_ptr<View> focus_;
  bool keyboardVisible_ = false, switching_ = false;
  std::vector<std::weak_ptr<KeyboardObserver>> keyboardObservers_;
  uint64_t nextId_ = 1;
  std::map<uint64_t, std::weak_ptr<Element>> registry_;
  bool visible_ = false;
  std::weak_ptr<View> viewToObserve_;
  std::weak_ptr<TapDetectingWindowDelegate> controllerThatObserves_;
  std::map<std::string, LayerTransition> transitions_;
  uint64_t transitionSerial_ = 0;
};

} // namespace platform::ui
