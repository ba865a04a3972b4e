#include "app/web/WebPreviewViewController.h"

#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/queue/BatchListView.h"
#include "app/web/ValtryWebBrowserView.h"
#include "app/web/WebAddress.h"
#include "app/web/WebPageEngine.h"
#include "app/web/WebServices.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Presentation.h"

#include <algorithm>
#include <cstdio>

using namespace platform;
using namespace platform::ui;

namespace {

constexpr double kImageWidth = 32;

bool isPad() {
  return DeviceProfile::current().isiPad();
}

std::string schemeOf(const std::string &url) {
  auto colon = url.find(':');
  return colon == std::string::npos ? std::string() : lowercase(url.substr(0, colon));
}

void store(const std::string &key, const std::string &value) {
  globalUserDefaults->setObject(value, key);
  globalUserDefaults->synchronize();
}

// The answer to an alert, handed to a function.
class AlertAnswer : public AlertViewDelegate {
public:
  explicit AlertAnswer(std::function<void(int)> answered) : answered_(std::move(answered)) {}
  void clickedButtonAtIndex(AlertView &, int index) override {
    if (answered_) answered_(index);
  }

private:
  std::function<void(int)> answered_;
};

} // namespace

WebPreviewViewController::WebPreviewViewController(const std::string &nibName)
    : ViewController(nibName) {}

std::shared_ptr<BarButtonItem>
WebPreviewViewController::imageItem(const std::string &image, const std::string &label,
                                    void (WebPreviewViewController::*fn)()) {
  std::weak_ptr<WebPreviewViewController> weak = sharedAs<WebPreviewViewController>();
  auto item =
      BarButtonItem::withImage(image, BarButtonItemStyle::Plain, [weak, fn](BarButtonItem &) {
        if (auto s = weak.lock()) (s.get()->*fn)();
      });
  item->setAccessibilityLabel(label);
  return item;
}

void WebPreviewViewController::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 367));
  webView = std::make_shared<WebView>(root->bounds());
  root->addSubview(webView);
  setView(root);
}

void WebPreviewViewController::buildControls() {
  std::weak_ptr<WebPreviewViewController> weak = sharedAs<WebPreviewViewController>();
  auto button = [weak](const std::string &image, const std::string &label,
                       void (WebPreviewViewController::*fn)()) {
    auto b = std::make_shared<Button>(ButtonType::Custom, Rect(0, 0, 24, 20));
    b->setImage(image);
    if (!label.empty()) b->setAccessibilityLabel(label);
    b->setShowsTouchWhenHighlighted(true);
    b->addTarget(unsigned(ControlEvent::TouchUpInside), [weak, fn](Control &) {
      if (auto s = weak.lock()) (s.get()->*fn)();
    });
    return b;
  };
  urlField = std::make_shared<TextField>(Rect(0, 0, 500, 30));
  urlField->setAutoresizingMask(FlexibleWidth);
  urlField->setBorderStyle(TextBorderStyle::RoundedRect);
  urlField->setFont(Font::system(14));
  urlField->setPlaceholder("URL or Search");
  urlField->setAccessibilityLabel("Address");
  urlField->setText(globalUserDefaults->stringForKey(kWebViewURLKey).value_or(""));
  urlField->setReturnKeyType(ReturnKeyType::Go);
  urlField->setKeyboardType(KeyboardType::URL);
  urlField->traits().autocorrectionType = TextAutocorrectionType::No;
  urlField->traits().autocapitalizationType = TextAutocapitalizationType::None;
  urlField->setClearButtonMode(TextFieldViewMode::WhileEditing);
  urlField->setContentVerticalAlignment(ControlContentVerticalAlignment::Center);
  urlField->setDelegate(
      std::static_pointer_cast<TextFieldDelegate>(sharedAs<WebPreviewViewController>()));
  workingView = std::make_shared<ActivityIndicatorView>(ActivityIndicatorStyle::Gray);
  refreshButton = button("reload_small.png", "Reload", &WebPreviewViewController::clickRefresh);
  stopButton = button("cancel_small.png", "Stop", &WebPreviewViewController::clickStop);
  stopButton->setTitleShadowOffset({0, -1});
  searchButton = button("keyboard-black.png", "", &WebPreviewViewController::clickSearch);
  urlField->setLeftView(workingView);
  urlField->setLeftViewMode(TextFieldViewMode::Never);
  urlField->setRightView(refreshButton);
  urlField->setRightViewMode(TextFieldViewMode::UnlessEditing);
  backButtonBar = imageItem("back.png", "Back", &WebPreviewViewController::clickBack);
  backButtonBar->setEnabled(false);
  downloadButtonBar =
      imageItem("arrow_down_small.png", "Download", &WebPreviewViewController::clickDownloadToggle);
  downloadingButtonBar =
      imageItem("downloads.png", "Download On", &WebPreviewViewController::clickDownloadToggle);
  // Switched on, it stands out from the bar as a highlighted button, not only by its picture.
  downloadingButtonBar->setStyle(BarButtonItemStyle::Done);
  spacer = BarButtonItem::flexibleSpace();
  toolbar = std::make_shared<Toolbar>();
  toolbarRight = std::make_shared<Toolbar>(Rect(0, 0, 36, 40));
}

void WebPreviewViewController::viewDidLoad() {
  buildControls();
  setupTitlebar();
  std::weak_ptr<WebPreviewViewController> weak = sharedAs<WebPreviewViewController>();
  RunLoop::main()->performAfter(seconds(0.1), [weak] {
    if (auto s = weak.lock()) s->setupTitlebar();
  });
  webView->setBackgroundColor(Color::whiteColor());
  webView->setScalesPageToFit(true);
  webView->setAutoresizingMask(FlexibleWidth | FlexibleHeight);
  webView->setDelegate(
      std::static_pointer_cast<WebViewDelegate>(sharedAs<WebPreviewViewController>()));
  WebPageEngine::attachIfHeadless(*webView);
  if (globalUserDefaults->integerForKey("ShownWebHelp") == 0) {
    store("ShownWebHelp", "1");
    clickRefresh();
  }
}

void WebPreviewViewController::setupTitlebar() {
  if (!toolbar) return;
  std::vector<std::shared_ptr<BarButtonItem>> left;
  if (isPad()) {
    toolbar->setFrame(Rect(0, 0, 80, 40));
    auto resize = BarButtonItem::withImage(webServices().resizeImage(), BarButtonItemStyle::Plain,
                                           [](BarButtonItem &) { webServices().clickedResize(); });
    resize->setAccessibilityLabel("Resize Screen");
    left = {resize, backButtonBar};
  } else {
    toolbar->setFrame(Rect(0, 0, 36, 40));
    left = {backButtonBar, spacer};
  }
  toolbar->setItems(left);
  downloadModeChanged();
  navigationItem().setTitleView(urlField);
  navigationItem().setLeftBarButtonItem(BarButtonItem::withCustomView(toolbar));
  navigationItem().setRightBarButtonItem(BarButtonItem::withCustomView(toolbarRight));
}

void WebPreviewViewController::downloadModeChanged() {
  toolbarRight->setItems({spacer, isDownloadButton ? downloadingButtonBar : downloadButtonBar});
}

void WebPreviewViewController::layoutSubviews() {
  if (isPad() && urlField)
    urlField->setFrame(Rect(0, 0, view()->frame().size.width - 3 * kImageWidth, 30));
}

void WebPreviewViewController::openURL(const std::string &url) {
  if (url.empty()) return;
  view();
  std::string load =
      hasPrefixCaseInsensitive(url, "http://") || hasPrefixCaseInsensitive(url, "https://")
          ? url
          : "http://" + url;
  urlField->setText(url);
  webView->loadRequest({addPercentEscapes(load)});
  store(kWebViewURLKey, url);
}

void WebPreviewViewController::scrollToPercent(int percent) {
  percent = std::clamp(percent, 0, 100);
  char script[96];
  std::snprintf(script, sizeof script, "scrollTo(0, document.body.offsetHeight*%f)",
                percent / 100.0);
  if (webView) webView->stringByEvaluatingJavaScriptFromString(script);
}

void WebPreviewViewController::resized(Rect frame) {
  view()->setFrame(frame);
  webView->setFrame(view()->bounds());
  layoutSubviews();
}

void WebPreviewViewController::showLoading(bool loading) {
  Application::shared().setNetworkActivityIndicatorVisible(loading);
  if (loading)
    workingView->startAnimating();
  else
    workingView->stopAnimating();
  urlField->setLeftView(workingView);
  urlField->setLeftViewMode(loading ? TextFieldViewMode::Always : TextFieldViewMode::Never);
  urlField->setRightView(loading ? stopButton : refreshButton);
  backButtonBar->setEnabled(webView->canGoBack());
}

void WebPreviewViewController::clickRefresh() {
  backButtonBar->setEnabled(webView->canGoBack());
  if (!WebAddress::parse(webView->request().url).host.empty())
    webView->reload();
  else
    textFieldShouldReturn(*urlField);
}

void WebPreviewViewController::clickStop() {
  urlField->setRightView(refreshButton);
  backButtonBar->setEnabled(webView->canGoBack());
  webView->stopLoading();
  Application::shared().setNetworkActivityIndicatorVisible(false);
  workingView->stopAnimating();
  urlField->setLeftViewMode(TextFieldViewMode::Never);
}

void WebPreviewViewController::clickBack() {
  webView->goBack();
  backButtonBar->setEnabled(webView->canGoBack());
}

void WebPreviewViewController::clickSearch() {
  urlField->setKeyboardType(urlField->keyboardType() == KeyboardType::URL ? KeyboardType::Default
                                                                          : KeyboardType::URL);
  urlField->resignFirstResponder();
  urlField->becomeFirstResponder();
}

void WebPreviewViewController::clickDownloadToggle() {
  isDownloadButton = !isDownloadButton;
  downloadModeChanged();
  if (isDownloadButton && globalUserDefaults->integerForKey("ShownDownloadMessage") == 0) {
    auto alert = std::make_shared<AlertView>(
        "Download Mode",
        "When the \"Download\" button is highlighted, any link you touch will be downloaded into "
        "the \"Saved Files\" tab.  Touch the Download button again to turn off and browse "
        "normally.\n\n(This message will only show once.)",
        std::weak_ptr<AlertViewDelegate>(), "OK");
    alert->showOnMainThread();
    store("ShownDownloadMessage", "1");
  }
}

bool WebPreviewViewController::textFieldShouldBeginEditing(TextField &) {
  urlField->setLeftView(searchButton);
  urlField->setLeftViewMode(TextFieldViewMode::Always);
  return true;
}

bool WebPreviewViewController::textFieldShouldEndEditing(TextField &) {
  urlField->setLeftView(workingView);
  urlField->setLeftViewMode(TextFieldViewMode::Never);
  return true;
}

bool WebPreviewViewController::textFieldShouldReturn(TextField &field) {
  if (&field != urlField.get()) return true;
  field.resignFirstResponder();
  const std::string typed = field.text();
  goToTyped(typed);
  store(kWebViewURLKey, field.text());
  return true;
}

void WebPreviewViewController::goToTyped(const std::string &typed) {
  if (typed.empty()) return;
  webView->loadRequest({addressOrSearch(typed)});
}

void WebPreviewViewController::showFollowed(const std::string &url) {
  urlField->setText(withoutLastHttp(url));
}

bool WebPreviewViewController::queueWebDownload(const std::string &url, int port) {
  std::string why;
  auto local = getSavedFilesPath(url, &why);
  if (local.empty()) {
    // No row is made for it: the user hears why here, as a queue row would have said.
    Log::debug("No file to save in the address " + withControlsEscaped(url));
    auto alert = std::make_shared<AlertView>("Can't Download", why,
                                             std::weak_ptr<AlertViewDelegate>(), "OK");
    alert->showOnMainThread();
    return false;
  }
  if (auto queue = webServices().batchView())
    queue->addBatchItemAction(20, lastPathComponent(local), "", 0, url, port, "", "", "www", local,
                              false, true);
  return true;
}

void WebPreviewViewController::offerDownload(const std::string &url) {
  // Named as the address names it (bounded, and never markup: an alert shows text).
  const std::string raw = lastPathComponent(WebAddress::parse(url).path);
  const std::string name = replacePercentEscapes(raw).value_or(raw);
  const std::string shown = myEllipseAfter(withControlsEscaped(name.empty() ? url : name), 80);
  std::weak_ptr<WebPreviewViewController> weak = sharedAs<WebPreviewViewController>();
  // Kept until the next offer: the alert holds its delegate weakly.
  downloadOffer_ = std::make_shared<AlertAnswer>([weak, url](int index) {
    auto s = weak.lock();
    if (s && index == 1 && s->queueWebDownload(url, s->downloadPort(WebAddress::parse(url))))
      s->didQueueDownload();
  });
  std::make_shared<AlertView>("Can't Show File",
                              "\"" + shown + "\" cannot be shown here. Download it to Saved Files?",
                              downloadOffer_, "Cancel", std::vector<std::string>{"Download"})
      ->show();
}

bool WebPreviewViewController::shouldStartLoadWithRequest(WebView &, const WebRequest &request,
                                                          WebViewNavigationType type) {
  const auto &url = request.url;
  Log::debug(std::to_string(int(type)) + " == " + url);
  const auto scheme = schemeOf(url);
  if (loadingOwnPage) return true;
  if (scheme == "about") return false;
  if (handledScheme(url, scheme)) return false;
  if (scheme == "longtap") {
    showNewTabMenu(url);
    return false;
  }
  const auto address = WebAddress::parse(url);
  if (isAdvertisingHost(address.host)) return false;
  // In download mode every address the person goes to is a download: a link, a typed address, a
  // bookmark or history pick, an address handed in. (What a page loads inside itself, its
  // pictures, frames and scripts, never comes this way; the screen's own pages are let through
  // above.)
  if (isDownloadButton) {
    if (queueWebDownload(url, downloadPort(address))) didQueueDownload();
    return false;
  }
  if (scheme == "itms-apps") {
    Application::shared().openURL(url);
    return false;
  }
  if (opensElsewhere(url, scheme, address)) return false;
  if (type == WebViewNavigationType::LinkClicked) showFollowed(url);
  return true;
}

void WebPreviewViewController::webViewDidStartLoad(WebView &) {
  showLoading(true);
}

void WebPreviewViewController::webViewDidFinishLoad(WebView &) {
  showLoading(false);
  // The screen's own error page leaves the failed address in the field.
  if (!webView->request().url.empty()) urlField->setText(withoutLastHttp(webView->request().url));
  addPageScripts();
}

void WebPreviewViewController::addPageScripts() {
  for (const char *script : kLongTapPageScripts)
    webView->stringByEvaluatingJavaScriptFromString(script);
}

// The way to a browser tab from the Web View tab: a link held still offers to open it in one.
// Only links qualify ("longtap://href=..."); a picture or nothing under the finger shows nothing.
void WebPreviewViewController::showNewTabMenu(const std::string &url) {
  Log::debug("longtap:  " + url);
  const std::string rest = url.size() > 10 ? url.substr(10) : std::string();
  if (rest.rfind("href=", 0) != 0 || rest.size() == 5) return;
  newTabURL_ = rest.substr(5);
  newTabSheet_ = std::make_shared<ActionSheet>(
      "Address:  " + myEllipseAfter(newTabURL_, 80),
      std::static_pointer_cast<ActionSheetDelegate>(sharedAs<WebPreviewViewController>()));
  newTabIndex_ = newTabSheet_->addButtonWithTitle("Open in New Tab");
  newTabSheet_->setCancelButtonIndex(newTabSheet_->addButtonWithTitle("Cancel"));
  // On the phone a sheet rises from the main tab bar, as every screen's does.
  if (auto tabs = tabBarController(); tabs && !isPad())
    newTabSheet_->showFromTabBar(tabs->tabBar());
  else
    newTabSheet_->showInView(view());
}

void WebPreviewViewController::clickedButtonAtIndex(ActionSheet &sheet, int index) {
  if (&sheet != newTabSheet_.get()) return;
  if (index == newTabIndex_) webServices().newValtryTab(newTabURL_);
  newTabSheet_.reset();
  newTabURL_.clear();
}

void WebPreviewViewController::didFailLoadWithError(WebView &, const std::string &error) {
  const bool cannotShow = webView->lastLoadError() == WebLoadError::CannotShowType;
  const std::string url = webView->request().url;
  showLoading(false);
  // The screen's own pages are no navigation of the user's: the policy lets them through.
  loadingOwnPage = true;
  // A file no page shows is no page: the person stays on the page they were on, and is offered
  // the file. (With no page before, the error page says why nothing shows.)
  const bool stayed = cannotShow && webView->showPageShownBefore();
  if (!stayed) webView->loadHTMLString(webErrorPage(error), "");
  loadingOwnPage = false;
  if (!stayed)
    urlField->setText(withoutLastHttp(url));
  else if (!webView->request().url.empty())
    urlField->setText(withoutLastHttp(webView->request().url));
  if (cannotShow) offerDownload(url);
}

bool WebPreviewViewController::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return isPad() || appDelegateServices().allowLandscapeView() ||
         o == InterfaceOrientation::Portrait;
}

void WebPreviewViewController::didRotateFromInterfaceOrientation(InterfaceOrientation from) {
  webServices().didRotateFromInterfaceOrientation(int(from));
}

std::shared_ptr<ViewController> makeWebPreviewScreen() {
  return std::make_shared<WebPreviewViewController>();
}
