// The Web View tab: one page with an address field that takes an address or search words, Back,
// Reload and Stop, and a download mode in which every address the user goes to (a link, a typed
// address) is queued as a web download into Saved Files instead of being opened. The in-app browser
// is its larger twin and builds on it.
#pragma once

#include "app/web/ShellFileScreen.h"

#include "platform/ui/Controls.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/WebView.h"

#include "app/web/WebAddress.h"

#include <memory>
#include <string>

class WebPreviewViewController : public platform::ui::ViewController,
                                 public platform::ui::TextFieldDelegate,
                                 public platform::ui::WebViewDelegate,
                                 public platform::ui::ActionSheetDelegate,
                                 public ShellFileScreen {
public:
  explicit WebPreviewViewController(const std::string &nibName = "WebPreviewView");

  std::string getURL() const { return urlField ? urlField->text() : std::string(); }
  void openURL(const std::string &url) override;
  void scrollToPercent(int percent);
  void resized(platform::ui::Rect frame) override;
  void setupTitlebar() override;
  virtual void layoutSubviews();
  bool isDownloadMode() const { return isDownloadButton; }

  void clickRefresh();
  void clickStop();
  virtual void clickBack();
  void clickDownloadToggle();
  virtual void clickSearch();

  // Text field and web view delegate.
  bool textFieldShouldBeginEditing(platform::ui::TextField &) override;
  bool textFieldShouldEndEditing(platform::ui::TextField &) override;
  bool textFieldShouldReturn(platform::ui::TextField &) override;
  void webViewDidStartLoad(platform::ui::WebView &) override;
  void webViewDidFinishLoad(platform::ui::WebView &) override;
  void didFailLoadWithError(platform::ui::WebView &, const std::string &) override;
  bool shouldStartLoadWithRequest(platform::ui::WebView &, const platform::ui::WebRequest &,
                                  platform::ui::WebViewNavigationType) override;
  // The long-tap menu on a link: "Open in New Tab" opens a browser tab on it.
  void clickedButtonAtIndex(platform::ui::ActionSheet &, int index) override;
  // Puts the long-tap script into the page shown (after every finished load).
  void addPageScripts();

  void loadView() override;
  void viewDidLoad() override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;
  void didRotateFromInterfaceOrientation(platform::ui::InterfaceOrientation from) override;

  std::shared_ptr<platform::ui::WebView> webView;
  std::shared_ptr<platform::ui::TextField> urlField;

protected:
  // Queues the address as a web download (action 20) into Saved Files; false when the address
  // names no file that can be saved there.
  bool queueWebDownload(const std::string &url, int port);
  // A file the page cannot show (an archive, a program): the person may have it downloaded into
  // Saved Files instead.
  void offerDownload(const std::string &url);
  // The address as typed, made into what to load.
  virtual void goToTyped(const std::string &typed);
  // The page went somewhere through a link: the field follows.
  virtual void showFollowed(const std::string &url);
  virtual void downloadModeChanged();
  // Hooks of the navigation policy for the browser: a pseudo-address it handles itself, the port
  // a download is queued with, a queued download, an address shown elsewhere than in the page.
  virtual bool handledScheme(const std::string &url, const std::string &scheme) {
    (void)url, (void)scheme;
    return false;
  }
  virtual int downloadPort(const WebAddress &) { return 80; }
  virtual void didQueueDownload() {}
  virtual bool opensElsewhere(const std::string &url, const std::string &scheme,
                              const WebAddress &address) {
    (void)url, (void)scheme, (void)address;
    return false;
  }
  void buildControls();
  void showLoading(bool loading);
  std::shared_ptr<platform::ui::BarButtonItem> imageItem(const std::string &image,
                                                         const std::string &label,
                                                         void (WebPreviewViewController::*fn)());

  std::shared_ptr<platform::ui::ActivityIndicatorView> workingView;
  std::shared_ptr<platform::ui::Button> refreshButton, stopButton, searchButton;
  std::shared_ptr<platform::ui::BarButtonItem> backButtonBar, downloadButtonBar,
      downloadingButtonBar, spacer;
  std::shared_ptr<platform::ui::Toolbar> toolbar, toolbarRight;
  bool isDownloadButton = false;
  bool loadingOwnPage = false;

private:
  void showNewTabMenu(const std::string &url);
  std::shared_ptr<platform::ui::ActionSheet> newTabSheet_;
  std::shared_ptr<platform::ui::AlertViewDelegate> downloadOffer_;
  std::string newTabURL_;
  int newTabIndex_ = -1;
};

std::shared_ptr<platform::ui::ViewController> makeWebPreviewScreen();
