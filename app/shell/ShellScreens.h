// What the shell knows of the screens it arranges: the interfaces that the connect screen and the
// right-hand tabs implement (those of the screens that turn, the viewers and the text editor, live
// with their screens: app/web/ShellFileScreen.h, app/editor/EditorScreens.h), the makers of the
// screens other folders bring, the iPad split container and the iPhone landscape container.
#pragma once

#include "app/editor/EditorScreens.h"
#include "app/web/ShellFileScreen.h"
#include "platform/ui/ViewController.h"

#include <functional>
#include <memory>
#include <string>

class FTPConnection;

// The connect screen (root of the FTP tab) as the shell reaches it.
class ShellConnectScreen {
public:
  virtual ~ShellConnectScreen() = default;
  // True while the connect screen's own start-up lock is shown.
  virtual bool startupLockShown() const { return false; }
  virtual void checkForReviewPrompt() {}
  virtual void restoreEditState() {}
};

// The makers of the screens other folders bring. A maker left empty gives an empty root screen
// with the tab's title.
struct ScreenMakers {
  std::function<std::shared_ptr<platform::ui::ViewController>()> connect;
  std::function<std::shared_ptr<platform::ui::ViewController>(const std::string &folder)>
      localFolder;
  std::function<std::shared_ptr<platform::ui::ViewController>()> webPreview;
  // A browser tab (with a Cancel button) that knows the orientation the shell last turned to,
  // opened on the address.
  std::function<std::shared_ptr<platform::ui::ViewController>(
      const std::string &url, platform::ui::InterfaceOrientation last)>
      browser;
  std::function<std::shared_ptr<platform::ui::ViewController>(const std::string &name,
                                                              const std::string &path)>
      documentViewer;
  std::function<std::shared_ptr<platform::ui::ViewController>(const std::string &path)> textEditor;
  // The remote folder screen on an existing connection (the browser's ftp addresses), titled.
  std::function<std::shared_ptr<platform::ui::ViewController>(std::shared_ptr<FTPConnection>,
                                                              const std::string &title)>
      remoteFolder;
};

// The iPad container: the main tab bar on the left, the tab bar of the web view and the file tabs
// on the right, a one-point gap between them. The left pane can be hidden so the right one takes
// the whole width.
class MySplitView : public platform::ui::SplitViewController {
public:
  static constexpr double kLeftWidth = 320, kGap = 1, kTop = 20;
  explicit MySplitView(const std::string &nibName = "MySplitView");
  void viewDidLoad() override;
  void addLeftView(std::shared_ptr<platform::ui::ViewController> left,
                   std::shared_ptr<platform::ui::ViewController> right);
  // Orientation codes as the device numbers them: 0 (none), 5 and 6 (flat) keep the last one.
  void layoutViewsForInterfaceOrientation(int orientation);
  platform::ui::Rect rightViewFrame() const;
  // Places the right pane (and the screens of its tabs) at `frame`, in the container's view.
  void setRightViewFrame(platform::ui::Rect frame);
  platform::ui::Rect leftViewFrame() const;
  std::string getResizeImage() const;
  void clickedResize();
  void delaySetOrientation();
  double leftOffset() const { return leftOffset_; }
  int lastOrientation() const { return lastOrientation_; }
  std::shared_ptr<platform::ui::ImageView> flareTopCorners() const { return flareTopCorners_; }
  void willAnimateRotationToInterfaceOrientation(platform::ui::InterfaceOrientation o,
                                                 double duration) override;

private:
  double leftOffset_ = 0;
  int lastOrientation_ = 1;
  std::shared_ptr<platform::ui::ImageView> flareTopCorners_;
};

// The iPhone landscape container: a screen that turns to landscape is moved into it while the
// device is held sideways. Every orientation.
class LandscapeViewController : public platform::ui::ViewController {
public:
  explicit LandscapeViewController(const std::string &nibName = "LandscapeView")
      : ViewController(nibName) {}
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation) override {
    return true;
  }
  void didRotateFromInterfaceOrientation(platform::ui::InterfaceOrientation) override;
};

// The main tab bar of the phone's first versions: portrait only. (The tab bars in use turn with
// the screen they show, which the landscape container relies on.)
class MainTabViewController : public platform::ui::TabBarController {
public:
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override {
    return o == platform::ui::InterfaceOrientation::Portrait;
  }
};

// A root screen that brings the connect screen: when it first appears it pushes a new one onto
// the FTP tab without animation. Portrait unless `fAllowLandscape`, which that first appearance
// clears. Its appearance calls are logged.
class RootViewController : public platform::ui::ViewController {
public:
  explicit RootViewController(const std::string &nibName = "RootView") : ViewController(nibName) {}
  bool fAllowLandscape = false;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override {
    return fAllowLandscape || o == platform::ui::InterfaceOrientation::Portrait;
  }
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  void viewDidDisappear(bool animated) override;

private:
  bool appeared_ = false;
};

// An empty root screen that stands for a screen still to come: it carries the tab's title.
std::shared_ptr<platform::ui::ViewController> placeholderScreen(const std::string &nibName,
                                                                const std::string &title);
