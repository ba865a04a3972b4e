#include "app/shell/HelpScreens.h"

#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/ftp/FTPConnection.h"
#include "app/queue/BatchListView.h"
#include "app/sharing/WebRequest.h"
#include "app/shell/FerrowenAppDelegate.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/device/MailService.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"

using namespace platform;
using namespace platform::ui;

namespace {

const char *const kStoreDomains[] = {"store.example.com", "apps.example.com"};

std::string schemeOf(const std::string &url) {
  auto colon = url.find(':');
  return colon == std::string::npos ? "" : lowercase(url.substr(0, colon));
}

std::string hostOf(const std::string &url) {
  auto start = url.find("://");
  if (start == std::string::npos) return {};
  start += 3;
  auto end = url.find_first_of("/:?#", start);
  return lowercase(url.substr(start, end == std::string::npos ? std::string::npos : end - start));
}

std::shared_ptr<WebView> makeWebView(Rect frame) {
  auto web = std::make_shared<WebView>(frame);
  web->setScalesPageToFit(true);
  web->setAutoresizingMask(FlexibleWidth | FlexibleHeight);
  return web;
}

bool allowLandscape() {
  return appDelegateServices().allowLandscapeView();
}

std::string errorPage(const std::string &description, bool withBreak) {
  return "<html><center><font size=+5 color='red'>An error occurred:<br>" +
         webHTMLEscape(description) + (withBreak ? "<br>" : "") + "</font></center></html>";
}

} // namespace

bool shouldLoadInPage(const std::string &url) {
  const std::string host = hostOf(url);
  for (const char *domain : kStoreDomains)
    if (host == domain || hasSuffixCaseInsensitive(host, std::string(".") + domain)) {
      Application::shared().openURL(url);
      return false;
    }
  const std::string scheme = schemeOf(url);
  if (scheme == "safari") {
    Application::shared().openURL("http" + url.substr(scheme.size()));
    return false;
  }
  if (scheme.rfind("mailto", 0) == 0) {
    Application::shared().openURL(url, [](bool opened) {
      if (!opened) showMailNotStarted();
    });
    return false;
  }
  return true;
}

// --- Help ------------------------------------------------------------------------------------

HelpViewController::HelpViewController(const std::string &nibName) : ViewController(nibName) {}

std::shared_ptr<HelpViewController> HelpViewController::withURL(const std::string &title,
                                                                const std::string &url) {
  auto vc = std::make_shared<HelpViewController>();
  vc->titleIn = title;
  vc->urlIn = url;
  return vc;
}

std::shared_ptr<HelpViewController> HelpViewController::withFileURL(const std::string &title,
                                                                    const std::string &path) {
  auto vc = std::make_shared<HelpViewController>();
  vc->titleIn = title;
  vc->fileUrlIn = path;
  return vc;
}

std::shared_ptr<HelpViewController> HelpViewController::withHTMLText(const std::string &title,
                                                                     const std::string &html) {
  auto vc = std::make_shared<HelpViewController>();
  vc->titleIn = title;
  vc->htmlText = html;
  return vc;
}

std::shared_ptr<HelpViewController>
HelpViewController::withBackupFile(const std::string &title, const std::string &url,
                                   const std::string &backupPath) {
  auto vc = withURL(title, url);
  vc->backupErrorFile = backupPath;
  return vc;
}

void HelpViewController::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 416));
  webNews = makeWebView(root->bounds());
  workingSpinner = std::make_shared<ActivityIndicatorView>(ActivityIndicatorStyle::Gray);
  workingSpinner->setFrame(Rect(usePopoverSize.width / 2 - 18, 40 - 18, 37, 37));
  workingSpinner->setHidden(true);
  root->addSubview(webNews);
  root->addSubview(workingSpinner);
  setView(root);
}

void HelpViewController::viewDidLoad() {
  view()->setBackgroundColor(bgColor);
  setTitle(titleIn);
  if (DeviceProfile::current().isiPad()) setContentSizeForViewInPopover(usePopoverSize);
  webNews->setBackgroundColor(bgColor);
  webNews->setDelegate(std::static_pointer_cast<WebViewDelegate>(sharedAs<HelpViewController>()));
  std::weak_ptr<HelpViewController> weak = sharedAs<HelpViewController>();
  auto act = [weak](void (HelpViewController::*fn)()) {
    return [weak, fn](BarButtonItem &) {
      if (auto s = weak.lock()) (s.get()->*fn)();
    };
  };
  if (showLogButton)
    navigationItem().setRightBarButtonItem(BarButtonItem::titled(
        "Log", BarButtonItemStyle::Bordered, act(&HelpViewController::clickLog)));
  if (isModal)
    navigationItem().setRightBarButtonItem(
        BarButtonItem::systemItem(BarButtonSystemItem::Done, act(&HelpViewController::clickDone)));
  if (backPopsToRoot)
    navigationItem().setLeftBarButtonItem(BarButtonItem::systemItem(
        BarButtonSystemItem::Done, act(&HelpViewController::clickBackAllTheWay)));

  if (!htmlText.empty())
    webNews->loadHTMLString(htmlText, "");
  else if (!fileUrlIn.empty())
    webNews->loadRequest({"file://" + fileUrlIn});
  else if (!urlIn.empty() && urlIn[0] == '/')
    webNews->loadRequest({"file://" + urlIn});
  else if (urlIn.find('#') != std::string::npos)
    webNews->loadRequest({urlIn});
  else if (!urlIn.empty())
    webNews->loadRequest({addPercentEscapes(urlIn)});
}

bool HelpViewController::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return allowLandscape() || DeviceProfile::current().isiPad() ||
         o == InterfaceOrientation::Portrait;
}

void HelpViewController::clickDone() {
  dismissModalViewControllerAnimated(true);
}

void HelpViewController::clickBackAllTheWay() {
  if (auto nav = navigationController()) nav->popToRootViewControllerAnimated(true);
}

void HelpViewController::standInPopover(const std::shared_ptr<PopoverController> &popover) {
  popoverParent = popover;
  if (popover)
    popover->setDelegate(
        std::static_pointer_cast<PopoverControllerDelegate>(sharedAs<HelpViewController>()));
}

void HelpViewController::clickLog() {
  if (auto nav = navigationController())
    nav->pushViewController(std::make_shared<LogViewController>(), true);
}

bool HelpViewController::shouldStartLoadWithRequest(WebView &, const WebRequest &request,
                                                    WebViewNavigationType) {
  return shouldLoadInPage(request.url);
}

void HelpViewController::webViewDidStartLoad(WebView &) {
  Application::shared().setNetworkActivityIndicatorVisible(true);
  auto spinner = std::make_shared<ActivityIndicatorView>(ActivityIndicatorStyle::White);
  spinner->startAnimating();
  auto item = BarButtonItem::withCustomView(spinner);
  if (isModal)
    navigationItem().setLeftBarButtonItem(item);
  else
    navigationItem().setRightBarButtonItem(item);
  if (popoverParent.lock()) {
    workingSpinner->setHidden(false);
    workingSpinner->startAnimating();
  }
}

void HelpViewController::endLoading() {
  Application::shared().setNetworkActivityIndicatorVisible(false);
  std::weak_ptr<HelpViewController> weak = sharedAs<HelpViewController>();
  if (showLogButton)
    navigationItem().setRightBarButtonItem(
        BarButtonItem::titled("Log", BarButtonItemStyle::Bordered, [weak](BarButtonItem &) {
          if (auto s = weak.lock()) s->clickLog();
        }));
  else if (isModal)
    navigationItem().setLeftBarButtonItem(nullptr);
  else
    navigationItem().setRightBarButtonItem(nullptr);
  workingSpinner->stopAnimating();
}

void HelpViewController::webViewDidFinishLoad(WebView &) {
  endLoading();
}

void HelpViewController::didFailLoadWithError(WebView &web, const std::string &error) {
  if (!backupErrorFile.empty()) {
    const std::string backup = backupErrorFile;
    backupErrorFile.clear();
    web.loadRequest({"file://" + backup});
    return;
  }
  endLoading();
  web.loadHTMLString(errorPage(error, true), "");
}

// --- About -----------------------------------------------------------------------------------

AboutView::AboutView(const std::string &nibName) : ViewController(nibName) {}

void AboutView::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 416));
  webNews = makeWebView(Rect(0, 0, 320, 372));
  root->addSubview(webNews);
  // OK and Log stand in the toolbar below the page.
  std::weak_ptr<AboutView> weak = sharedAs<AboutView>();
  auto act = [weak](void (AboutView::*fn)()) {
    return [weak, fn](BarButtonItem &) {
      if (auto s = weak.lock()) (s.get()->*fn)();
    };
  };
  okButton = BarButtonItem::titled("OK", BarButtonItemStyle::Bordered, act(&AboutView::clickOK));
  logButton = BarButtonItem::titled("Log", BarButtonItemStyle::Bordered, act(&AboutView::clickLog));
  toolbar = std::make_shared<Toolbar>(Rect(0, 372, 320, 44));
  toolbar->setAutoresizingMask(FlexibleWidth | FlexibleTopMargin);
  toolbar->setItems(
      {okButton, BarButtonItem::systemItem(BarButtonSystemItem::FlexibleSpace), logButton});
  root->addSubview(toolbar);
  setView(root);
}

void AboutView::viewDidLoad() {
  setTitle("All Our Apps");
  webNews->setDelegate(std::static_pointer_cast<WebViewDelegate>(sharedAs<AboutView>()));
  webNews->loadRequest({kAboutPageAddress});
}

void AboutView::clickOK() {
  // Presented, it is dismissed; pushed (from the settings), it goes back the same way.
  if (presentingViewController() ||
      (navigationController() && navigationController()->presentingViewController()))
    dismissModalViewControllerAnimated(true);
  else if (auto nav = navigationController())
    nav->popViewControllerAnimated(true);
}

void AboutView::clickLog() {
  auto log = std::make_shared<LogViewController>();
  // Shown over everything, the log needs its own way out.
  std::weak_ptr<LogViewController> weakLog = log;
  log->navigationItem().setLeftBarButtonItem(
      BarButtonItem::systemItem(BarButtonSystemItem::Done, [weakLog](BarButtonItem &) {
        if (auto l = weakLog.lock()) l->dismissModalViewControllerAnimated(true);
      }));
  presentModalViewController(std::make_shared<NavigationController>(log), true);
}

bool AboutView::shouldStartLoadWithRequest(WebView &, const WebRequest &request,
                                           WebViewNavigationType) {
  return shouldLoadInPage(request.url);
}

void AboutView::didFailLoadWithError(WebView &web, const std::string &error) {
  web.loadHTMLString(errorPage(error, false), "");
}

// --- Transfer log
// ----------------------------------------------------------------------------------

LogViewController::LogViewController(const std::string &nibName) : ViewController(nibName) {}

void LogViewController::loadView() {
  theText = std::make_shared<TextView>(Rect(0, 0, 320, 416));
  theText->setEditable(false);
  theText->setAccessibilityLabel("Transfer Log");
  setView(theText);
}

void LogViewController::viewDidLoad() {
  setTitle("Transfer Log");
  std::weak_ptr<LogViewController> weak = sharedAs<LogViewController>();
  navigationItem().setRightBarButtonItem(
      BarButtonItem::systemItem(BarButtonSystemItem::Compose, [weak](BarButtonItem &) {
        if (auto s = weak.lock()) s->clickEmail();
      }));
}

void LogViewController::viewWillAppear(bool) {
  auto delegate = FerrowenAppDelegate::sharedDelegate();
  std::string browsing, queue;
  if (delegate) {
    if (auto c = delegate->ftpConnection()) browsing = c->transferLog();
    if (auto b = delegate->batchView(); b && b->ftp()) queue = b->ftp()->transferLog();
  }
  theText->setFont(Font::named("Courier", Font::systemFontSize() - 2));
  auto mail = navigationItem().rightBarButtonItem();
  if (!browsing.empty() || !queue.empty()) {
    theText->setText(browsing + "\r\n\r\n------ Transfers ------\r\n\r\n" + queue);
    if (mail) mail->setEnabled(true);
    return;
  }
  // Nothing transferred since the start: the logs of the last run.
  const bool sftp = delegate && delegate->sftpConnection();
  auto read = [](const char *name) {
    return FileManager::stringContentsAtPath(Paths::tmp() + "/" + name).value_or("");
  };
  const std::string first = read(sftp ? "Ferrowen-SFTP.log" : "Ferrowen.log");
  const std::string second = read(sftp ? "Ferrowen-SFTP-2.log" : "Ferrowen-2.log");
  if (first.size() < 11 && second.size() < 11) {
    theText->setText("The transfer logs from Ferrowen will be shown here.\r\n\r\nThe logs can help "
                     "find the problem if you are having trouble connecting to a server.");
    if (mail) mail->setEnabled(false);
  } else {
    theText->setText("Below are the transfer logs from the last time Ferrowen was run.\r\n\r\n" +
                     first + "\r\n\r\n------ Transfers ------\r\n\r\n" + second);
    if (mail) mail->setEnabled(true);
  }
}

void LogViewController::clickEmail() {
  const std::string body = "Please describe any problems you are having.  Leave the details "
                           "below to help us find the problem.\r\n\r\n\r\n" +
                           theText->text();
  if (MailService::canSendMail()) {
    MailMessage message;
    message.toRecipients = {kHelpDeskAddress};
    message.subject = std::string("Log for Ferrowen ") + kAppVersion;
    message.body = body;
    Application::shared().setNetworkActivityIndicatorVisible(true);
    MailService::send(message, [](bool sent) {
      Application::shared().setNetworkActivityIndicatorVisible(false);
      if (!sent) showMailNotStarted();
    });
    return;
  }
  Application::shared().openURL(std::string("mailto:") + kHelpDeskAddress +
                                    "?body=" + addPercentEscapes(body),
                                [](bool opened) {
                                  if (!opened) showMailNotStarted();
                                });
}

bool LogViewController::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return allowLandscape() || o == InterfaceOrientation::Portrait;
}

void LogViewController::didRotateFromInterfaceOrientation(InterfaceOrientation o) {
  if (auto delegate = FerrowenAppDelegate::sharedDelegate())
    delegate->didRotateFromInterfaceOrientation(int(o));
}

// --- Sharing help ------------------------------------------------------------------------------

std::string bonjourLine(const std::string &separator, int port) {
  auto delegate = FerrowenAppDelegate::sharedDelegate();
  const std::string name = delegate ? delegate->bonjourPhoneName() : "";
  if (name.empty() || name.find(' ') != std::string::npos || name.find('\'') != std::string::npos)
    return {};
  return "\nBy Name:       \t" + name + ".local" + separator + std::to_string(port);
}

SharingHelpView::SharingHelpView(const std::string &nibName) : ViewController(nibName) {}

std::string SharingHelpView::plusBonjour(int port) {
  return bonjourLine(" : ", port);
}

void SharingHelpView::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 416));
  itunesLabel = std::make_shared<Label>(Rect(20, 20, 280, 100));
  itunesLabel->setNumberOfLines(0);
  urlText = std::make_shared<Label>(Rect(20, 140, 280, 60));
  urlText->setNumberOfLines(0);
  root->addSubview(itunesLabel);
  root->addSubview(urlText);
  setView(root);
}

void SharingHelpView::viewDidLoad() {
  setTitle("Sharing \"My Files\"");
  itunesLabel->setText("To access files within iTunes:\n\u278A Select your device on the left.\n"
                       "\u278B Pick the Apps tab on the right.\n\u278C File Sharing is at the "
                       "bottom.");
  auto delegate = FerrowenAppDelegate::sharedDelegate();
  if (auto web = delegate ? delegate->webServerListener() : nullptr)
    urlText->setText(web->getListeningAddress() + plusBonjour(web->port()));
}
