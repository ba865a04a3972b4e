// The screens that show text: the help page (an address, a resource file or HTML text, and the
// place where error explanations appear), the about page, the transfer-log screen that can mail
// the logs, and the sharing help.
#pragma once

#include "platform/ui/Presentation.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/WebView.h"

#include <memory>
#include <string>

// Addresses of the maker's site.
inline constexpr const char *kHelpSiteBase = "http://www.ferrowen.example/help/";
inline constexpr const char *kAboutPageAddress = "http://www.ferrowen.example/apps/";
inline constexpr const char *kCreditsPageAddress = "http://www.ferrowen.example/help/credits.php";
inline constexpr const char *kHelpDeskAddress = "help@ferrowen.example";
inline constexpr const char *kAppVersion = "3.0";

// What every page screen does with its links: store hosts and "mailto" go to the system, a
// "safari:" address opens in the system browser as http; the rest loads in the page.
bool shouldLoadInPage(const std::string &url);

class HelpViewController : public platform::ui::ViewController,
                           public platform::ui::WebViewDelegate,
                           public platform::ui::PopoverControllerDelegate {
public:
  static std::shared_ptr<HelpViewController> withURL(const std::string &title,
                                                     const std::string &url);
  static std::shared_ptr<HelpViewController> withFileURL(const std::string &title,
                                                         const std::string &path);
  static std::shared_ptr<HelpViewController> withHTMLText(const std::string &title,
                                                          const std::string &html);
  static std::shared_ptr<HelpViewController>
  withBackupFile(const std::string &title, const std::string &url, const std::string &backupPath);
  explicit HelpViewController(const std::string &nibName = "HelpView");

  std::string titleIn, urlIn, fileUrlIn, htmlText, backupErrorFile;
  bool showLogButton = false, isModal = false, backPopsToRoot = false;
  platform::ui::Color bgColor = platform::ui::Color::whiteColor();
  platform::ui::Size usePopoverSize{320, 480};
  std::weak_ptr<platform::ui::PopoverController> popoverParent;
  std::shared_ptr<platform::ui::WebView> webNews;
  std::shared_ptr<platform::ui::ActivityIndicatorView> workingSpinner;

  void clickDone();
  void clickBackAllTheWay();
  void clickLog();
  // Shown in that popover: kept as `popoverParent`, and this screen is the popover's delegate.
  void standInPopover(const std::shared_ptr<platform::ui::PopoverController> &popover);

  void loadView() override;
  void viewDidLoad() override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;
  bool shouldStartLoadWithRequest(platform::ui::WebView &, const platform::ui::WebRequest &,
                                  platform::ui::WebViewNavigationType) override;
  void webViewDidStartLoad(platform::ui::WebView &) override;
  void webViewDidFinishLoad(platform::ui::WebView &) override;
  void didFailLoadWithError(platform::ui::WebView &, const std::string &error) override;

private:
  void endLoading();
};

class AboutView : public platform::ui::ViewController, public platform::ui::WebViewDelegate {
public:
  explicit AboutView(const std::string &nibName = "AboutView");
  std::shared_ptr<platform::ui::WebView> webNews;
  std::shared_ptr<platform::ui::Toolbar> toolbar;
  std::shared_ptr<platform::ui::BarButtonItem> okButton, logButton;
  void clickOK();
  void clickLog();
  void loadView() override;
  void viewDidLoad() override;
  bool shouldStartLoadWithRequest(platform::ui::WebView &, const platform::ui::WebRequest &,
                                  platform::ui::WebViewNavigationType) override;
  void didFailLoadWithError(platform::ui::WebView &, const std::string &error) override;
};

class LogViewController : public platform::ui::ViewController {
public:
  explicit LogViewController(const std::string &nibName = "LogView");
  std::shared_ptr<platform::ui::TextView> theText;
  void clickEmail();
  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;
  void didRotateFromInterfaceOrientation(platform::ui::InterfaceOrientation o) override;
};

class SharingHelpView : public platform::ui::ViewController {
public:
  explicit SharingHelpView(const std::string &nibName = "SharingHelpView");
  std::shared_ptr<platform::ui::Label> itunesLabel, urlText;
  // The by-name line for a port, empty when the Bonjour name is unusable.
  static std::string plusBonjour(int port);
  void loadView() override;
  void viewDidLoad() override;
};

// "\nBy Name:       \t%@.local<separator>%i" with the published Bonjour name, or "" when that
// name is empty or holds a blank or an apostrophe.
std::string bonjourLine(const std::string &separator, int port);
