// The in-app browser: one per browser tab. Beyond the Web View tab it keeps a history with a
// search list under the address field, web bookmarks, a long-tap menu on links and pictures
// (reported by a script injected into every page through "longtap://" addresses), progress,
// title and site icon in its tab item, popovers with Saved Files, Transfers and Settings, a
// full-screen mode, and it opens ftp addresses in the remote folder screen on a connection of
// its own.
#pragma once

#include "app/web/BrowserHistory.h"
#include "app/web/WebPreviewViewController.h"

#include "platform/ui/Presentation.h"
#include "platform/ui/Window.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>

class FTPConnection;

class ValtryWebBrowserView : public WebPreviewViewController,
                             public platform::ui::PopoverControllerDelegate,
                             public platform::ui::TapDetectingWindowDelegate {
public:
  static constexpr long kLongTapMilliseconds = 400;
  ValtryWebBrowserView();

  bool includeCancel = false;
  int lastInterfaceOrientation = 1;
  std::string lastURLText;
  std::string longPressURL;
  platform::ui::Point lastTapPoint;
  platform::ui::Rect saveUrlFieldFrame;

  void openURL(const std::string &url) override;
  void setupTitlebar() override;
  void layoutSubviews() override;
  void badgeBatchButton(const std::string &text);
  // Told by the tap window where a touch on the page started, in the page view's coordinates.
  void userDidTapWebView(double x, double y) override { lastTapPoint = {x, y}; }
  int tabProgress() const { return tabProgress_; }
  std::shared_ptr<MySearchView> searchView() const { return mySearchView_; }
  std::shared_ptr<FTPConnection> connection() const { return theConnection_; }

  void clickOK();
  void clickBack() override;
  void clickCancelEdit();
  // The URL keyboard with Go, or the plain keyboard with Search.
  void clickSearch() override;
  void clickBookmarks();
  void clickMyFiles() { showShellScreen(0, filesButtonBar); }
  void clickTransfers() { showShellScreen(1, xferButtonBar); }
  void clickSettings() { showShellScreen(2, settingsButtonBar); }
  void clickFullScreen();
  void clickRegularScreen();
  void didChangeText();
  void pickEditQuicksearch(const HistoryEntry &entry);
  void startFTPConnection(const std::string &url);

  bool textFieldShouldBeginEditing(platform::ui::TextField &) override;
  bool textFieldShouldEndEditing(platform::ui::TextField &) override;
  void webViewDidStartLoad(platform::ui::WebView &) override;
  void webViewDidFinishLoad(platform::ui::WebView &) override;
  void didFailLoadWithError(platform::ui::WebView &, const std::string &) override;
  void clickedButtonAtIndex(platform::ui::ActionSheet &, int index) override;
  void popoverControllerDidDismissPopover(platform::ui::PopoverController &) override;

  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  void willAnimateRotationToInterfaceOrientation(platform::ui::InterfaceOrientation to,
                                                 double duration) override;
  void didRotateFromInterfaceOrientation(platform::ui::InterfaceOrientation from) override;
  void newOrientation(platform::ui::InterfaceOrientation o) override {
    lastInterfaceOrientation = int(o);
  }

protected:
  void goToTyped(const std::string &typed) override;
  void showFollowed(const std::string &url) override;
  void downloadModeChanged() override;
  bool handledScheme(const std::string &url, const std::string &scheme) override;
  int downloadPort(const WebAddress &address) override { return address.port; }
  void didQueueDownload() override;
  bool opensElsewhere(const std::string &url, const std::string &scheme,
                      const WebAddress &address) override;

private:
  void showLongTapMenu(const std::string &url);
  void showShellScreen(int which, const std::shared_ptr<platform::ui::BarButtonItem> &from);
  void presentPopover(std::shared_ptr<platform::ui::ViewController> content,
                      const std::shared_ptr<platform::ui::BarButtonItem> &from);
  void dismissPopover();
  void closeSearchList();
  void downloadOff();
  void doProgress();
  void showFTPDirectory();
  std::shared_ptr<platform::ui::TabBarItem> tabItem();
  // The title and picture of a tab this browser shares with the screens below it (the phone's
  // Web View tab), kept from before the browser first changed them, given back when it closes.
  std::optional<std::pair<std::string, std::string>> sharedTabLook_;

  std::shared_ptr<platform::ui::BarButtonItem> filesButtonBar, xferButtonBar, settingsButtonBar,
      fullscreenButtonBar, bookmarksButtonBar, closeButtonBar;
  std::shared_ptr<platform::ui::Button> resizeInButton;
  std::shared_ptr<platform::ui::ActivityIndicatorView> fullscreenActivity;
  std::shared_ptr<platform::ui::PopoverController> popover_;
  std::shared_ptr<MySearchView> mySearchView_;
  std::shared_ptr<platform::ui::ActionSheet> longPressActions;
  int actionOpenIndex = -1, actionOpenNewIndex = -1, actionDownloadIndex = -1, actionCopyIndex = -1,
      actionCopyImageIndex = -1, actionEmailIndex = -1;
  int tabProgress_ = -1;
  std::shared_ptr<FTPConnection> theConnection_;
  bool fullScreen_ = false;
};

std::shared_ptr<platform::ui::ViewController>
makeBrowserScreen(const std::string &url, platform::ui::InterfaceOrientation last);
// The script put into every page: it reports a touch held still on a link or a picture as a
// "longtap://" address (the browser turns it into its menu).
extern const char *const kLongTapPageScripts[9];
