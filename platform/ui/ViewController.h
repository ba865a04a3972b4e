// Screens and their containers: view controllers, navigation and tab bar controllers and the
// iPad split container. Transitions are applied at once (the animated flag is passed on and
// recorded); appearance calls reach a screen only while its container is on screen.
#pragma once

#include "platform/ui/Controls.h"

namespace platform::ui {

class NavigationController;
class TabBarController;
class SplitViewController;

// What a screen shows in the navigation bar while it is on top.
class NavigationItem {
public:
  const std::string &title() const { return title_; }
  void setTitle(std::string t) { title_ = std::move(t); }
  std::shared_ptr<View> titleView() const { return titleView_; }
  void setTitleView(std::shared_ptr<View> v) { titleView_ = std::move(v); }
  std::shared_ptr<BarButtonItem> leftBarButtonItem() const { return left_; }
  void setLeftBarButtonItem(std::shared_ptr<BarButtonItem> item, bool animated = false);
  std::shared_ptr<BarButtonItem> rightBarButtonItem() const { return right_; }
  void setRightBarButtonItem(std::shared_ptr<BarButtonItem> item, bool animated = false);
  // The back button the next screen shows for this one (its title), else this title.
  std::shared_ptr<BarButtonItem> backBarButtonItem() const { return back_; }
  void setBackBarButtonItem(std::shared_ptr<BarButtonItem> item) { back_ = std::move(item); }
  bool hidesBackButton() const { return hidesBack_; }
  void setHidesBackButton(bool on, bool animated = false);
  // Whether the last change of a bar item or the back button was animated.
  bool lastChangeAnimated() const { return lastAnimated_; }

private:
  std::string title_;
  std::shared_ptr<View> titleView_;
  std::shared_ptr<BarButtonItem> left_, right_, back_;
  bool hidesBack_ = false, lastAnimated_ = false;
};

class TabBarItem : public Element {
public:
  TabBarItem() = default;
  TabBarItem(std::string title, std::string imageName, int tag)
      : title_(std::move(title)), imageName_(std::move(imageName)), tag_(tag) {}
  const char *typeName() const override { return "tabItem"; }
  void describe(nlohmann::json &out) const override;
  const std::string &title() const { return title_; }
  void setTitle(std::string t) { title_ = std::move(t); }
  const std::string &imageName() const { return imageName_; }
  void setImageName(std::string n) { imageName_ = std::move(n); }
  int tag() const { return tag_; }
  void setTag(int t) { tag_ = t; }
  std::optional<std::string> badgeValue() const { return badge_; }
  void setBadgeValue(std::optional<std::string> b) { badge_ = std::move(b); }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool on) { enabled_ = on; }

private:
  std::string title_, imageName_;
  int tag_ = 0;
  std::optional<std::string> badge_;
  bool enabled_ = true;
};

enum class ModalPresentationStyle { FullScreen, PageSheet, FormSheet };

class ViewController : public Element {
public:
  // nibName names the interface the screen is made from (an identifier; subclasses build the
  // views it stands for in loadView or viewDidLoad).
  explicit ViewController(std::string nibName = {});
  ~ViewController() override;
  const char *typeName() const override { return "screen"; }
  void describe(nlohmann::json &out) const override;

  const std::string &nibName() const { return nibName_; }
  // Setting the title also titles the navigation item (and the tab item when it has none).
  const std::string &title() const { return title_; }
  void setTitle(std::string title);

  // Loads the view on first use: loadView, then viewDidLoad (once).
  std::shared_ptr<View> view();
  bool isViewLoaded() const { return view_ != nullptr; }
  void setView(std::shared_ptr<View> view);
  virtual void loadView(); // default: an empty view of the window's size

  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool) {}
  virtual void viewDidAppear(bool) {}
  virtual void viewWillDisappear(bool) {}
  virtual void viewDidDisappear(bool) {}
  virtual void didReceiveMemoryWarning() {}
  // Between will-appear and will-disappear.
  bool isVisible() const { return willVisible_; }

  // Rotation: the question asked before turning, and the events around the turn.
  virtual bool shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
    return o == InterfaceOrientation::Portrait;
  }
  virtual void willRotateToInterfaceOrientation(InterfaceOrientation, double) {}
  virtual void willAnimateRotationToInterfaceOrientation(InterfaceOrientation, double) {}
  virtual void didRotateFromInterfaceOrientation(InterfaceOrientation) {}
  InterfaceOrientation interfaceOrientation() const;

  NavigationItem &navigationItem() { return navigationItem_; }
  const NavigationItem &navigationItem() const { return navigationItem_; }
  const std::shared_ptr<TabBarItem> &tabBarItem();
  void setTabBarItem(std::shared_ptr<TabBarItem> item) { tabBarItem_ = std::move(item); }

  // Containers: the nearest navigation / tab bar / split controller above this screen.
  // (Screens are owned through shared_ptr; containers hold their screens.)
  std::shared_ptr<ViewController> parentViewController() const;
  std::shared_ptr<NavigationController> navigationController() const;
  std::shared_ptr<TabBarController> tabBarController() const;
  std::shared_ptr<SplitViewController> splitViewController() const;

  // Modal presentation over the window's content; dismissing also closes what this screen
  // presented (called on the presented screen, it goes to its presenter).
  void presentModalViewController(std::shared_ptr<ViewController> vc, bool animated);
  void dismissModalViewControllerAnimated(bool animated);
  std::shared_ptr<ViewController> modalViewController() const { return presented_.lock(); }
  std::shared_ptr<ViewController> presentingViewController() const { return presenting_.lock(); }
  ModalPresentationStyle modalPresentationStyle() const { return modalStyle_; }
  void setModalPresentationStyle(ModalPresentationStyle s) { modalStyle_ = s; }

  // Child screens: their appearance and rotation calls follow this screen's.
  void addChildViewController(std::shared_ptr<ViewController> child);
  void removeFromParentViewController();
  const std::vector<std::shared_ptr<ViewController>> &childViewControllers() const {
    return children_;
  }

  // The screen's editing mode (screens with tables switch them along in their override).
  bool isEditing() const { return editing_; }
  virtual void setEditing(bool editing, bool animated) { (void)animated, editing_ = editing; }

  Size contentSizeForViewInPopover() const { return popoverSize_; }
  void setContentSizeForViewInPopover(Size s) { popoverSize_ = s; }

  // The screens a container shows now (appearance, rotation and the snapshot follow them).
  virtual std::vector<std::shared_ptr<ViewController>> shownChildren() const { return children_; }
  // The screens a container holds at all (memory warnings reach them all).
  virtual std::vector<std::shared_ptr<ViewController>> allChildren() const { return children_; }

  // Appearance driven by containers and the window: will and did for this screen and the
  // children it shows.
  void appearanceWill(bool appearing, bool animated);
  void appearanceDid(bool appearing, bool animated);
  void transitionAppearance(bool appearing, bool animated);
  // Memory warning to this screen and everything it holds.
  void sendMemoryWarning();
  // Rotation events through this screen and what it shows.
  void sendRotation(InterfaceOrientation from, InterfaceOrientation to, double duration);

protected:
  // Containers adopt screens with this.
  void adopt(ViewController &child);
  void release(ViewController &child);
  void releaseAll(const std::vector<std::shared_ptr<ViewController>> &children);

private:
  friend class Window;
  std::string nibName_, title_;
  std::shared_ptr<View> view_;
  bool loading_ = false, visible_ = false, willVisible_ = false, editing_ = false;
  NavigationItem navigationItem_;
  std::shared_ptr<TabBarItem> tabBarItem_;
  ViewController *parent_ = nullptr; // cleared by the parent when it lets go or goes away
  std::weak_ptr<ViewController> presented_, presenting_;
  std::vector<std::shared_ptr<ViewController>> children_;
  ModalPresentationStyle modalStyle_ = ModalPresentationStyle::FullScreen;
  Size popoverSize_{320, 1100};
};

class NavigationControllerDelegate {
public:
  virtual ~NavigationControllerDelegate() = default;
  virtual void willShowViewController(NavigationController &, ViewController &, bool) {}
  virtual void didShowViewController(NavigationController &, ViewController &, bool) {}
};

class NavigationController : public ViewController {
public:
  explicit NavigationController(std::shared_ptr<ViewController> root = nullptr);
  ~NavigationController() override { releaseAll(stack_); }
  const char *typeName() const override { return "navigation"; }
  void describe(nlohmann::json &out) const override;

  void pushViewController(std::shared_ptr<ViewController> vc, bool animated);
  std::shared_ptr<ViewController> popViewControllerAnimated(bool animated);
  std::vector<std::shared_ptr<ViewController>> popToViewController(const ViewController &vc,
                                                                   bool animated);
  std::vector<std::shared_ptr<ViewController>> popToRootViewControllerAnimated(bool animated);
  void setViewControllers(std::vector<std::shared_ptr<ViewController>> vcs, bool animated = false);
  const std::vector<std::shared_ptr<ViewController>> &viewControllers() const { return stack_; }
  std::shared_ptr<ViewController> topViewController() const;
  // The top screen, or what it presents modally.
  std::shared_ptr<ViewController> visibleViewController() const;
  std::shared_ptr<NavigationControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<NavigationControllerDelegate> d) { delegate_ = std::move(d); }
  bool isNavigationBarHidden() const { return barHidden_; }
  void setNavigationBarHidden(bool hidden, bool animated = false);
  BarStyle barStyle() const { return barStyle_; }
  void setBarStyle(BarStyle s) { barStyle_ = s; }
  std::optional<Color> tintColor() const { return tint_; }
  void setTintColor(std::optional<Color> c) { tint_ = c; }
  // The back button's title for the top screen; none on the root or when it is hidden.
  std::optional<std::string> backButtonTitle() const;
  bool lastTransitionAnimated() const { return lastAnimated_; }

  // Every screen follows the rotation question of the top one.
  bool shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) override;
  std::vector<std::shared_ptr<ViewController>> shownChildren() const override;
  std::vector<std::shared_ptr<ViewController>> allChildren() const override { return stack_; }
  // A person taps the back button.
  bool userBack(std::string &why);

private:
  void replaceStack(std::vector<std::shared_ptr<ViewController>> next, bool animated);
  std::vector<std::shared_ptr<ViewController>> stack_;
  std::weak_ptr<NavigationControllerDelegate> delegate_;
  bool barHidden_ = false, lastAnimated_ = false;
  BarStyle barStyle_ = BarStyle::Default;
  std::optional<Color> tint_;
};

class TabBarControllerDelegate {
public:
  virtual ~TabBarControllerDelegate() = default;
  virtual bool shouldSelectViewController(TabBarController &, ViewController &) { return true; }
  virtual void didSelectViewController(TabBarController &, ViewController &) {}
};

// The bar of a tab bar controller, as a view (action sheets are shown from it).
class TabBar : public View {
public:
  const char *typeName() const override { return "tabBar"; }
  std::shared_ptr<TabBarController> controller() const { return controller_.lock(); }

private:
  friend class TabBarController;
  std::weak_ptr<TabBarController> controller_;
};

class TabBarController : public ViewController {
public:
  TabBarController() = default;
  ~TabBarController() override { releaseAll(tabs_); }
  const char *typeName() const override { return "tabBarController"; }
  void describe(nlohmann::json &out) const override;

  void setViewControllers(std::vector<std::shared_ptr<ViewController>> vcs, bool animated = false);
  const std::vector<std::shared_ptr<ViewController>> &viewControllers() const { return tabs_; }
  // Selecting in code asks no delegate.
  int selectedIndex() const { return selected_; }
  void setSelectedIndex(int index);
  std::shared_ptr<ViewController> selectedViewController() const;
  void setSelectedViewController(const std::shared_ptr<ViewController> &vc);
  std::shared_ptr<TabBarControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<TabBarControllerDelegate> d) { delegate_ = std::move(d); }
  std::shared_ptr<TabBar> tabBar();

  bool shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) override;
  std::vector<std::shared_ptr<ViewController>> shownChildren() const override;
  std::vector<std::shared_ptr<ViewController>> allChildren() const override { return tabs_; }
  // A person taps tab i: the delegate may refuse; tapping the selected navigation tab again
  // returns it to its root.
  bool userSelectTab(int index, std::string &why);

private:
  std::vector<std::shared_ptr<ViewController>> tabs_;
  int selected_ = -1;
  std::weak_ptr<TabBarControllerDelegate> delegate_;
  std::shared_ptr<TabBar> tabBar_;
};

// The iPad container with a master pane (left) and a detail pane (right). The master pane can be
// hidden so the detail takes the whole width; both panes keep their screens either way. The
// container shows its panes itself: a subclass may put their views into its own view (to give
// them frames) without their being shown twice.
class SplitViewController : public ViewController {
public:
  using ViewController::ViewController;
  ~SplitViewController() override { releaseAll(allChildren()); }
  const char *typeName() const override { return "split"; }
  void describe(nlohmann::json &out) const override;
  void setViewControllers(std::shared_ptr<ViewController> master,
                          std::shared_ptr<ViewController> detail);
  std::shared_ptr<ViewController> masterViewController() const { return master_; }
  std::shared_ptr<ViewController> detailViewController() const { return detail_; }
  bool isMasterHidden() const { return masterHidden_; }
  void setMasterHidden(bool hidden, bool animated = false);
  bool shouldAutorotateToInterfaceOrientation(InterfaceOrientation) override { return true; }
  std::vector<std::shared_ptr<ViewController>> shownChildren() const override;
  std::vector<std::shared_ptr<ViewController>> allChildren() const override;

private:
  std::shared_ptr<ViewController> master_, detail_;
  bool masterHidden_ = false;
};

} // namespace platform::ui
