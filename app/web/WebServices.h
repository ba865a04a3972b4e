// What the web screens ask of the application shell: the transfer queue, browser tabs, the
// application's own screens for the browser's popovers, and the remote folder screen for ftp
// addresses. The shell installs its implementation at start; until then (and in tests that
// install none) nothing is queued and nothing opens.
#pragma once

#include "platform/ui/ViewController.h"

#include <memory>
#include <optional>
#include <string>

class BatchListView;
class FTPConnection;

class WebServices {
public:
  virtual ~WebServices() = default;
  virtual std::shared_ptr<BatchListView> batchView() { return nullptr; }
  virtual void newValtryTab(const std::string &url) { (void)url; }
  virtual void cancelFileViewTab(const std::shared_ptr<platform::ui::ViewController> &screen) {
    (void)screen;
  }
  // The navigation controllers of Saved Files (0), Transfers (1) and Settings (2).
  virtual std::shared_ptr<platform::ui::ViewController> shellScreen(int which) {
    (void)which;
    return nullptr;
  }
  // The browsing connection now is this one (the FTP tab's screens report its errors).
  virtual void setFtpConnection(std::shared_ptr<FTPConnection> connection) { (void)connection; }
  // The remote folder screen on the connection, titled `title`; null when none can be made.
  virtual std::shared_ptr<platform::ui::ViewController>
  makeRemoteFolderScreen(std::shared_ptr<FTPConnection> connection, const std::string &title) {
    (void)connection, (void)title;
    return nullptr;
  }
  // The FTP tab's navigation stack (iPad: shown in the browser's popover).
  virtual std::shared_ptr<platform::ui::NavigationController> ftpNavigationController() {
    return nullptr;
  }
  // A web screen turned: the shell re-lays its screens (on the phone it moves the Web View tab
  // into or out of the landscape container).
  virtual void willAnimateRotationToInterfaceOrientation(int to, double duration) {
    (void)to, (void)duration;
  }
  virtual void didRotateFromInterfaceOrientation(int from) { (void)from; }
  // The tablet's right-hand tab bar, for the browser's full screen: given a frame (in the pane
  // area's coordinates, below the status bar) its view moves there; given none it goes back to
  // the place the split container keeps for it beside the left pane.
  virtual void setRightTabBarFrame(std::optional<platform::ui::Rect> frame) { (void)frame; }
  // The iPad split container's full-width button: its picture and its action.
  virtual std::string resizeImage() { return "resize-out.png"; }
  virtual void clickedResize() {}
};

// Never null (a service that does nothing when none was installed). Main thread.
WebServices &webServices();
void setWebServices(std::shared_ptr<WebServices> services);
