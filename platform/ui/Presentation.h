// What is shown above the screens: alerts, action sheets and popovers. Each stays with the window
// from its showing until it is answered or dismissed; several can be pending at once. The window
// lists them in the order they were shown; a person answers the newest one first.
#pragma once

#include "platform/ui/Controls.h"

namespace platform::ui {

class AlertView;
class ActionSheet;
class TabBar;
class ViewController;

// What alerts and action sheets share: a title, a delegate, numbered buttons with a cancel
// button among them, a tag, and whether they are shown. `Self` is the alert or the sheet.
template <class Self, class Delegate> class ButtonPanel : public Element {
public:
  const std::string &title() const { return title_; }
  void setTitle(std::string t) { title_ = std::move(t); }
  std::shared_ptr<Delegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<Delegate> d) { delegate_ = std::move(d); }
  // Appends a button and answers its index.
  int addButtonWithTitle(std::string title) {
    buttons_.push_back(std::move(title));
    return static_cast<int>(buttons_.size()) - 1;
  }
  int numberOfButtons() const { return static_cast<int>(buttons_.size()); }
  std::string buttonTitleAtIndex(int index) const {
    return index >= 0 && index < numberOfButtons() ? buttons_[static_cast<size_t>(index)] : "";
  }
  const std::vector<std::string> &buttonTitles() const { return buttons_; }
  int cancelButtonIndex() const { return cancelIndex_; }
  void setCancelButtonIndex(int i) { cancelIndex_ = i; }
  int tag() const { return tag_; }
  void setTag(int t) { tag_ = t; }
  bool isVisible() const { return visible_; }

protected:
  ButtonPanel(std::string title, std::weak_ptr<Delegate> delegate)
      : title_(std::move(title)), delegate_(std::move(delegate)) {}

  // A person chooses button `index`: the delegate hears clicked, then did-dismiss. `noun` names
  // the panel in the reasons for a refusal.
  bool answer(int index, std::string &why, const char *noun) {
    if (!visible_) return why = std::string("the ") + noun + " is not shown", false;
    if (index < 0 || index >= numberOfButtons())
      return why = std::string("the ") + noun + " has no such button", false;
    auto &self = static_cast<Self &>(*this);
    auto keep = sharedAs<Self>();
    if (auto d = delegate()) d->clickedButtonAtIndex(self, index);
    self.dismissWithClickedButtonIndex(index, true);
    return true;
  }

  std::string title_;
  std::weak_ptr<Delegate> delegate_;
  std::vector<std::string> buttons_;
  int cancelIndex_ = -1, tag_ = 0;
  bool visible_ = false;
};

class AlertViewDelegate {
public:
  virtual ~AlertViewDelegate() = default;
  virtual void clickedButtonAtIndex(AlertView &, int) {}
  virtual void didDismissWithButtonIndex(AlertView &, int) {}
};

class AlertView : public ButtonPanel<AlertView, AlertViewDelegate> {
public:
  // Buttons are numbered as on the phone: the cancel button (when given) is 0, the others follow.
  AlertView(std::string title, std::string message, std::weak_ptr<AlertViewDelegate> delegate = {},
            std::string cancelButtonTitle = {}, std::vector<std::string> otherButtonTitles = {});
  const char *typeName() const override { return "alert"; }
  void describe(nlohmann::json &out) const override;

  const std::string &message() const { return message_; }
  void setMessage(std::string m) { message_ = std::move(m); }

  // Main thread only: shows the alert at once.
  void show();
  // Any thread: on the main thread shows at once; elsewhere waits until the main thread has
  // shown it (the answer comes later through the delegate, on the main thread).
  void showOnMainThread();
  // Closes the alert from code: the delegate hears only did-dismiss.
  void dismissWithClickedButtonIndex(int index, bool animated);
  // A person chooses button i: the delegate hears clicked, then did-dismiss.
  bool userAnswer(int index, std::string &why);

private:
  std::string message_;
};

class ActionSheetDelegate {
public:
  virtual ~ActionSheetDelegate() = default;
  virtual void clickedButtonAtIndex(ActionSheet &, int) {}
  virtual void didDismissWithButtonIndex(ActionSheet &, int) {}
};

// Where a sheet (or popover) was shown from.
struct Anchor {
  enum class Kind { None, TabBar, BarButtonItem, Rect, View } kind = Kind::None;
  std::weak_ptr<Element> element; // the tab bar, bar item or view
  Rect rect;
};

class ActionSheet : public ButtonPanel<ActionSheet, ActionSheetDelegate> {
public:
  // Buttons as on the phone: the destructive one first, then the others, the cancel one last.
  ActionSheet(std::string title, std::weak_ptr<ActionSheetDelegate> delegate = {},
              std::string cancelButtonTitle = {}, std::string destructiveButtonTitle = {},
              std::vector<std::string> otherButtonTitles = {});
  const char *typeName() const override { return "sheet"; }
  void describe(nlohmann::json &out) const override;

  int destructiveButtonIndex() const { return destructiveIndex_; }
  void setDestructiveButtonIndex(int i) { destructiveIndex_ = i; }
  const Anchor &anchor() const { return anchor_; }

  void showFromTabBar(const std::shared_ptr<TabBar> &tabBar);
  void showFromBarButtonItem(const std::shared_ptr<BarButtonItem> &item, bool animated);
  void showFromRect(Rect rect, const std::shared_ptr<View> &view, bool animated);
  void showInView(const std::shared_ptr<View> &view);
  void dismissWithClickedButtonIndex(int index, bool animated);
  bool userAnswer(int index, std::string &why);

private:
  void show(Anchor anchor);
  int destructiveIndex_ = -1;
  Anchor anchor_;
};

class PopoverController;
class PopoverControllerDelegate {
public:
  virtual ~PopoverControllerDelegate() = default;
  virtual bool popoverControllerShouldDismissPopover(PopoverController &) { return true; }
  // Only when the person dismissed it (a tap outside), never after dismissPopoverAnimated.
  virtual void popoverControllerDidDismissPopover(PopoverController &) {}
};

enum PopoverArrowDirection : unsigned {
  ArrowUp = 1,
  ArrowDown = 2,
  ArrowLeft = 4,
  ArrowRight = 8,
  ArrowAny = 15
};

class PopoverController : public Element {
public:
  explicit PopoverController(std::shared_ptr<ViewController> content);
  const char *typeName() const override { return "popover"; }
  void describe(nlohmann::json &out) const override;

  std::shared_ptr<ViewController> contentViewController() const { return content_; }
  void setContentViewController(std::shared_ptr<ViewController> vc, bool animated = false);
  // The size set here, else the content's own popover size.
  Size popoverContentSize() const;
  void setPopoverContentSize(Size s, bool animated = false) { (void)animated, size_ = s; }
  std::shared_ptr<PopoverControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<PopoverControllerDelegate> d) { delegate_ = std::move(d); }
  bool isPopoverVisible() const { return visible_; }
  unsigned arrowDirections() const { return arrows_; }
  const Anchor &anchor() const { return anchor_; }

  void presentPopoverFromBarButtonItem(const std::shared_ptr<BarButtonItem> &item,
                                       unsigned arrowDirections, bool animated);
  void presentPopoverFromRect(Rect rect, const std::shared_ptr<View> &view,
                              unsigned arrowDirections, bool animated);
  void dismissPopoverAnimated(bool animated);
  // A person taps outside: the delegate may keep it; otherwise it closes and is told.
  bool userDismiss(std::string &why);
  // Views a person keeps using while the popover is shown: a touch on one of them (or on what
  // lies inside it) reaches it and leaves the popover open. Held weakly: a view freed meanwhile
  // simply drops out. None unless set.
  void setPassthroughViews(std::vector<std::weak_ptr<View>> views) {
    passthrough_ = std::move(views);
  }
  // The ones still alive, in the order given.
  std::vector<std::shared_ptr<View>> passthroughViews() const;

private:
  void present(Anchor anchor, unsigned arrows, bool animated);
  std::shared_ptr<ViewController> content_;
  std::optional<Size> size_;
  std::weak_ptr<PopoverControllerDelegate> delegate_;
  bool visible_ = false;
  unsigned arrows_ = ArrowAny;
  Anchor anchor_;
  std::vector<std::weak_ptr<View>> passthrough_;
};

} // namespace platform::ui
