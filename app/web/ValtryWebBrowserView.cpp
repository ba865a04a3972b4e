#include "app/web/ValtryWebBrowserView.h"

#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/ftp/FTPConnection.h"
#include "app/web/WebAddress.h"
#include "app/web/WebPageEngine.h"
#include "app/web/WebServices.h"
#include "app/web/WwwBookmarkView.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/device/MailService.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/Image.h"
#include "platform/ui/Services.h"

#include <algorithm>

using namespace platform;
using namespace platform::ui;

const char *const kLongTapPageScripts[9] = {
    "function valtryFindPos(obj){var l=0,t=0;if(obj.offsetParent){do{l+=obj.offsetLeft;"
    "t+=obj.offsetTop;}while((obj=obj.offsetParent));}return [l,t];}",
    "function valtryBgURLForPt(x,y){var d=document.getElementsByTagName('div');"
    "for(var i=0;i<d.length;i++){var bg=d[i].style.backgroundImage;if(!bg)continue;"
    "var p=valtryFindPos(d[i]);if(x>=p[0]&&x<=p[0]+d[i].offsetWidth&&y>=p[1]&&"
    "y<=p[1]+d[i].offsetHeight)return 'src='+bg;}}",
    "function valtrySrcForPt(x,y){var e=document.getElementsByTagName('img');"
    "for(var i=0;i<e.length;i++){var p=valtryFindPos(e[i]);if(x>=p[0]&&x<=p[0]+e[i].offsetWidth"
    "&&y>=p[1]&&y<=p[1]+e[i].offsetHeight)return 'src='+e[i].src;}return valtryBgURLForPt(x,y);}",
    "function valtryHrefForPt(x,y){var e=document.getElementsByTagName('a');"
    "for(var i=0;i<e.length;i++){var p=valtryFindPos(e[i]);if(x>=p[0]&&x<=p[0]+e[i].offsetWidth"
    "&&y>=p[1]&&y<=p[1]+e[i].offsetHeight)return 'href='+e[i].href;}return valtrySrcForPt(x,y);}",
    "function valtryAppleIcon(){var l=document.getElementsByTagName('link');"
    "for(var i=0;i<l.length;i++){if(l[i].rel=='apple-touch-icon')return l[i].href;}}",
    // The touch's state exists from the start: a touch that began before these listeners were
    // added ends (or moves) after, and must find it.
    "var valtryTouchDown=false,valtryCancelEvent=false,valtryPageX=0,valtryPageY=0;"
    "document.addEventListener('touchstart',function(e){valtryTouchDown=true;"
    "valtryCancelEvent=false;valtryPageX=e.touches[0].pageX;valtryPageY=e.touches[0].pageY;"
    "setTimeout(function(){if(valtryTouchDown){valtryCancelEvent=true;document.location="
    "'longtap://'+valtryHrefForPt(valtryPageX,valtryPageY);}},400);},false);",
    "document.addEventListener('touchmove',function(e){if(valtryCancelEvent)e.preventDefault();"
    "if(Math.abs(e.touches[0].pageX-valtryPageX)>5||Math.abs(e.touches[0].pageY-valtryPageY)>5)"
    "valtryTouchDown=false;},false);",
    "document.addEventListener('touchend',function(e){if(valtryCancelEvent)e.preventDefault();"
    "valtryTouchDown=false;},false);",
    "document.addEventListener('touchcancel',function(e){if(valtryCancelEvent)e.preventDefault();"
    "valtryTouchDown=false;},false);",
};

namespace {

constexpr double kImageWidth = 32;
constexpr size_t kMaxCopiedImage = 16 * 1024 * 1024;

bool isPad() {
  return DeviceProfile::current().isiPad();
}

// The tab's title: at most 13 characters whole, else the first 12 and an ellipsis.
std::string tabTitle(const std::string &title) {
  std::u32string chars;
  size_t i = 0;
  char32_t cp;
  while (i < title.size() && nextCodePoint(title, i, cp))
    chars.push_back(cp);
  if (chars.size() <= 13) return title;
  std::string out;
  for (size_t k = 0; k < 12; ++k)
    appendUTF8(out, chars[k]);
  return out + "\u2026";
}

} // namespace

ValtryWebBrowserView::ValtryWebBrowserView() : WebPreviewViewController("ValtryWebBrowserView") {
  lastURLText = withoutLastHttp(globalUserDefaults->stringForKey(kWebViewURLKey).value_or(""));
  BrowserHistory::shared().loadIfNeeded();
}

std::shared_ptr<ViewController> makeBrowserScreen(const std::string &url,
                                                  InterfaceOrientation last) {
  auto browser = std::make_shared<ValtryWebBrowserView>();
  browser->includeCancel = true;
  browser->lastInterfaceOrientation = int(last);
  browser->openURL(url);
  return browser;
}

std::shared_ptr<TabBarItem> ValtryWebBrowserView::tabItem() {
  // The page's title and icon name the browser's tab. A browser pushed over the Web View tab (the
  // phone's) names that tab while it is shown, and gives the tab its own look back when it closes.
  auto nav = navigationController();
  if (!nav) return tabBarItem();
  auto item = nav->tabBarItem();
  if (item && !sharedTabLook_ && nav->viewControllers().front().get() != this)
    sharedTabLook_ = std::make_pair(item->title(), item->imageName());
  return item;
}

void ValtryWebBrowserView::viewDidLoad() {
  std::weak_ptr<ValtryWebBrowserView> weak = sharedAs<ValtryWebBrowserView>();
  auto item = [&](const std::string &image, const std::string &label,
                  void (ValtryWebBrowserView::*fn)()) {
    auto i =
        BarButtonItem::withImage(image, BarButtonItemStyle::Plain, [weak, fn](BarButtonItem &) {
          if (auto s = weak.lock()) (s.get()->*fn)();
        });
    i->setAccessibilityLabel(label);
    return i;
  };
  closeButtonBar = item("delete.png", "Close", &ValtryWebBrowserView::clickOK);
  filesButtonBar =
      item("valtry-shoebox.png", "Show Saved Files", &ValtryWebBrowserView::clickMyFiles);
  xferButtonBar = item("valtry-list.png", "Show Transfers", &ValtryWebBrowserView::clickTransfers);
  settingsButtonBar =
      item("valtry-gear.png", "Show Settings", &ValtryWebBrowserView::clickSettings);
  fullscreenButtonBar =
      item("resize-out.png", "Full Screen", &ValtryWebBrowserView::clickFullScreen);
  bookmarksButtonBar =
      BarButtonItem::systemItem(BarButtonSystemItem::Bookmarks, [weak](BarButtonItem &) {
        if (auto s = weak.lock()) s->clickBookmarks();
      });
  bookmarksButtonBar->setAccessibilityLabel("Bookmarks");
  WebPreviewViewController::viewDidLoad();
  urlField->setFrame(Rect(0, 0, view()->frame().size.width - 320, 30));
  urlField->setPlaceholder("URL Address or Search");
  urlField->setText(lastURLText);
  urlField->addTarget(unsigned(ControlEvent::EditingChanged), [weak](Control &) {
    if (auto s = weak.lock()) s->didChangeText();
  });
  RunLoop::main()->performAfter(seconds(0.05), [weak] {
    if (auto s = weak.lock()) s->layoutSubviews();
  });
}

void ValtryWebBrowserView::setupTitlebar() {
  if (!toolbar || !bookmarksButtonBar) return;
  auto little = [] { return BarButtonItem::fixedSpace(10); };
  if (includeCancel) {
    toolbar->setFrame(Rect(0, 0, 126, 40));
    toolbar->setItems({spacer, closeButtonBar, little(), backButtonBar, little(),
                       bookmarksButtonBar, BarButtonItem::flexibleSpace()});
  } else {
    toolbar->setFrame(Rect(0, 0, 90, 40));
    toolbar->setItems(
        {spacer, backButtonBar, little(), bookmarksButtonBar, BarButtonItem::flexibleSpace()});
  }
  downloadModeChanged();
  navigationItem().setTitleView(urlField);
  navigationItem().setLeftBarButtonItem(BarButtonItem::withCustomView(toolbar));
  navigationItem().setRightBarButtonItem(BarButtonItem::withCustomView(toolbarRight));
}

void ValtryWebBrowserView::downloadModeChanged() {
  auto download = isDownloadButton ? downloadingButtonBar : downloadButtonBar;
  auto little = [] { return BarButtonItem::fixedSpace(10); };
  if (isPad()) {
    toolbarRight->setFrame(Rect(0, 0, 234, 40));
    toolbarRight->setItems({spacer, download, little(), little(), filesButtonBar, little(),
                            xferButtonBar, little(), settingsButtonBar, little(), little(),
                            fullscreenButtonBar});
  } else {
    toolbarRight->setFrame(Rect(0, 0, 43.2, 40));
    toolbarRight->setItems({spacer, download, BarButtonItem::flexibleSpace()});
  }
}

void ValtryWebBrowserView::layoutSubviews() {
  if (!isPad() || !urlField) return;
  // The field takes the bar's width less four buttons, but never the room of the toolbars beside
  // it (the pane is narrower than both toolbars and that width together): every button of the
  // bar stays where a finger reaches it.
  const double width = view()->frame().size.width;
  const double beside = (toolbar ? toolbar->frame().size.width : 0) +
                        (toolbarRight ? toolbarRight->frame().size.width : 0) + 24;
  urlField->setFrame(
      Rect(0, 0, std::max(60.0, std::min(width - 4 * kImageWidth, width - beside)), 30));
}

void ValtryWebBrowserView::openURL(const std::string &url) {
  if (url.empty()) return;
  WebPreviewViewController::openURL(url);
  lastURLText = withoutLastHttp(url);
  urlField->setText(lastURLText);
}

void ValtryWebBrowserView::badgeBatchButton(const std::string &text) {
  if (!xferButtonBar) return;
  auto &images = media::ImageRegistry::shared();
  if (text.empty()) return xferButtonBar->setImageName("valtry-list.png");
  auto plain = images.imageNamed("valtry-list.png");
  if (!plain) {
    // Without the picture the badge still shows, on a clear button-sized ground.
    std::vector<uint8_t> clear(size_t(4 * kImageWidth * kImageWidth), 0);
    plain = media::Image::fromPixels(int(kImageWidth), int(kImageWidth), clear.data(),
                                     size_t(4 * kImageWidth));
  }
  const auto name = "valtry-list.png#badge:" + text;
  if (!images.imageNamed(name))
    if (auto badged = imageWithBadge(*plain, text)) images.registerImage(name, badged);
  xferButtonBar->setImageName(images.imageNamed(name) ? name : "valtry-list.png");
}

void ValtryWebBrowserView::viewWillAppear(bool) {
  downloadOff();
  // The window tells this screen where the page is touched (the download star and the iPad
  // long-tap sheet start there).
  auto window = Window::keyWindow();
  window->setViewToObserve(webView);
  window->setControllerThatObserves(
      std::static_pointer_cast<TapDetectingWindowDelegate>(sharedAs<ValtryWebBrowserView>()));
}

void ValtryWebBrowserView::viewWillDisappear(bool) {
  dismissPopover();
}

void ValtryWebBrowserView::downloadOff() {
  if (isDownloadButton) clickDownloadToggle();
}

void ValtryWebBrowserView::clickOK() {
  // On the phone the browser was pushed onto the Web View tab's screens: closing it goes back.
  if (auto nav = navigationController();
      nav && nav->viewControllers().size() > 1 && nav->topViewController().get() == this) {
    if (auto item = nav->tabBarItem(); item && sharedTabLook_) {
      item->setTitle(sharedTabLook_->first);
      item->setImageName(sharedTabLook_->second);
    }
    nav->popViewControllerAnimated(true);
    return;
  }
  webServices().cancelFileViewTab(
      navigationController() ? std::static_pointer_cast<ViewController>(navigationController())
                             : sharedAs<ViewController>());
}

void ValtryWebBrowserView::clickBack() {
  downloadOff();
  WebPreviewViewController::clickBack();
}

void ValtryWebBrowserView::clickCancelEdit() {
  urlField->resignFirstResponder();
}

// --- Address field and history list -----------------------------------------------------------

bool ValtryWebBrowserView::textFieldShouldBeginEditing(TextField &field) {
  WebPreviewViewController::textFieldShouldBeginEditing(field);
  if (!isPad()) {
    // The field takes the whole bar while it is edited; Cancel ends the editing.
    std::weak_ptr<ValtryWebBrowserView> weak = sharedAs<ValtryWebBrowserView>();
    navigationItem().setLeftBarButtonItem(nullptr);
    navigationItem().setRightBarButtonItem(
        BarButtonItem::systemItem(BarButtonSystemItem::Cancel, [weak](BarButtonItem &) {
          if (auto s = weak.lock()) s->clickCancelEdit();
        }));
    saveUrlFieldFrame = urlField->frame();
    animate(0.2, [this] { urlField->setFrame(Rect(0, 0, 270, urlField->frame().size.height)); });
  }
  if (globalUserDefaults->integerForKey("History") != 1) return true;
  mySearchView_ = std::make_shared<MySearchView>();
  std::weak_ptr<ValtryWebBrowserView> weak = sharedAs<ValtryWebBrowserView>();
  mySearchView_->setTarget([weak](const HistoryEntry &e) {
    if (auto s = weak.lock()) s->pickEditQuicksearch(e);
  });
  mySearchView_->changedSearchText(urlField->text());
  if (isPad()) {
    popover_ = std::make_shared<PopoverController>(mySearchView_);
    // The page, the field and its buttons stay in use while the list is open.
    popover_->setPassthroughViews({view(), webView, urlField, refreshButton, searchButton});
    popover_->presentPopoverFromRect(urlField->frame(), toolbar, unsigned(-1), true);
  } else {
    mySearchView_->view()->setFrame(Rect(0, 0, 320, 220));
    view()->addSubview(mySearchView_->view());
  }
  return true;
}

bool ValtryWebBrowserView::textFieldShouldEndEditing(TextField &field) {
  WebPreviewViewController::textFieldShouldEndEditing(field);
  if (saveUrlFieldFrame.size.width < 32) saveUrlFieldFrame = Rect(0, 0, 768 - 5 * kImageWidth, 30);
  if (!isPad()) {
    animate(0.2, [this] { urlField->setFrame(saveUrlFieldFrame); });
    navigationItem().setLeftBarButtonItem(BarButtonItem::withCustomView(toolbar), true);
    navigationItem().setRightBarButtonItem(BarButtonItem::withCustomView(toolbarRight), true);
  }
  closeSearchList();
  return true;
}

void ValtryWebBrowserView::closeSearchList() {
  if (!mySearchView_) return;
  if (isPad())
    dismissPopover();
  else
    mySearchView_->view()->removeFromSuperview();
  mySearchView_.reset();
}

void ValtryWebBrowserView::didChangeText() {
  if (mySearchView_) mySearchView_->changedSearchText(urlField->text());
}

void ValtryWebBrowserView::pickEditQuicksearch(const HistoryEntry &entry) {
  auto url = entry.url;
  openURL(url);
  urlField->resignFirstResponder();
  closeSearchList();
}

void ValtryWebBrowserView::goToTyped(const std::string &typed) {
  lastURLText = typed;
  if (typed.empty()) return;
  const auto address = addressOrSearch(typed);
  if (!isAddressText(typed)) BrowserHistory::shared().appendSearch(typed);
  webView->loadRequest({address});
}

void ValtryWebBrowserView::showFollowed(const std::string &url) {
  lastURLText = withoutLastHttp(url);
  urlField->setText(lastURLText);
}

// --- Navigation policy ------------------------------------------------------------------------

bool ValtryWebBrowserView::handledScheme(const std::string &url, const std::string &scheme) {
  if (scheme == "swipe") Log::debug("swipe:  " + url);
  if (scheme != "longtap") return false;
  showLongTapMenu(url);
  return true;
}

bool ValtryWebBrowserView::opensElsewhere(const std::string &url, const std::string &scheme,
                                          const WebAddress &address) {
  if (scheme != "ftp" && address.host.rfind("ftp.", 0) != 0) return false;
  startFTPConnection(url);
  return true;
}

// A star flies from the touched place to the Transfers button (iPad) or the bottom (iPhone).
void ValtryWebBrowserView::didQueueDownload() {
  auto star = std::make_shared<ImageView>("star.png");
  star->setFrame(Rect(lastTapPoint.x, lastTapPoint.y, 24, 24));
  view()->addSubview(star);
  const double w = view()->frame().size.width;
  animate(
      1.0,
      [star, w] { star->setFrame(isPad() ? Rect(w - 96, -44, 24, 24) : Rect(200, 480, 24, 24)); },
      [star](bool) { star->removeFromSuperview(); });
}

// --- Loading, progress, title, icon, history --------------------------------------------------

void ValtryWebBrowserView::webViewDidStartLoad(WebView &web) {
  WebPreviewViewController::webViewDidStartLoad(web);
  if (tabProgress_ == -1) {
    tabProgress_ = 0;
    if (auto item = tabItem()) item->setImageName("tab-progress-0.png");
    doProgress();
  }
  if (fullscreenActivity) fullscreenActivity->startAnimating();
}

void ValtryWebBrowserView::doProgress() {
  if (!webView->isLoading()) {
    tabProgress_ = -1;
    return;
  }
  tabProgress_ = (tabProgress_ + 1) % 12;
  if (auto item = tabItem())
    item->setImageName("tab-progress-" + std::to_string(tabProgress_) + ".png");
  std::weak_ptr<ValtryWebBrowserView> weak = sharedAs<ValtryWebBrowserView>();
  RunLoop::main()->performAfter(seconds(0.125), [weak] {
    if (auto s = weak.lock()) s->doProgress();
  });
}

void ValtryWebBrowserView::webViewDidFinishLoad(WebView &web) {
  WebPreviewViewController::webViewDidFinishLoad(web);
  lastURLText = urlField->text();
  const auto url = webView->request().url;
  const auto address = WebAddress::parse(url);
  const auto host = address.host;
  auto item = tabItem();
  if (item && !BrowserHistory::shared().favIcon(host)) item->setImageName("valtry-tab.png");
  if (fullscreenActivity) fullscreenActivity->stopAnimating();
  // The page answers its scripts when it can (at once headless, later in the browser front end):
  // the title, the icon and the history entry follow its answers. A newer load by then has its
  // own.
  std::weak_ptr<ValtryWebBrowserView> weak = sharedAs<ValtryWebBrowserView>();
  const size_t load = webView->loads().size();
  auto current = [weak, load]() -> std::shared_ptr<ValtryWebBrowserView> {
    auto s = weak.lock();
    return s && s->webView && s->webView->loads().size() == load ? s : nullptr;
  };
  webView->evaluateJavaScript("document.title;", [current, url](const std::string &title) {
    auto s = current();
    if (!s) return;
    auto item = s->tabItem();
    if (item && !title.empty()) item->setTitle(tabTitle(title));
    if (!url.empty() && url != "about:blank") {
      // One queue for every save, so the list keeps the order the pages were visited in (a
      // thread each let a later page be written first).
      static const auto saves = DispatchQueue::create("history");
      HistoryEntry entry{url, title};
      saves->async([entry] { BrowserHistory::shared().saveHistory(entry); });
    }
  });
  if (!isPad() || host.empty()) return;
  webView->evaluateJavaScript(
      "valtryAppleIcon();", [current, weak, host](const std::string &appleIcon) {
        if (!current()) return;
        startThread(
            "favicon",
            [weak, host, appleIcon] {
              auto icon = getFavIconOnThread(host, appleIcon);
              if (icon.empty()) return;
              auto image = media::Image::imageWithData(icon);
              RunLoop::main()->performAndWait([weak, host, image] {
                auto s = weak.lock();
                if (!s || !image) return;
                media::ImageRegistry::shared().registerImage("tab-icon-" + host, image);
                if (auto item = s->tabItem()) item->setImageName("tab-icon-" + host);
              });
            },
            false);
      });
}

void ValtryWebBrowserView::didFailLoadWithError(WebView &web, const std::string &error) {
  // First: the page shown before may be loaded again at once, with its own progress.
  if (auto item = tabItem()) item->setImageName("valtry-tab.png");
  if (fullscreenActivity) fullscreenActivity->stopAnimating();
  WebPreviewViewController::didFailLoadWithError(web, error);
}

// --- Popovers, bookmarks, full screen ---------------------------------------------------------

void ValtryWebBrowserView::presentPopover(std::shared_ptr<ViewController> content,
                                          const std::shared_ptr<BarButtonItem> &from) {
  popover_ = std::make_shared<PopoverController>(std::move(content));
  popover_->setDelegate(
      std::static_pointer_cast<PopoverControllerDelegate>(sharedAs<ValtryWebBrowserView>()));
  popover_->presentPopoverFromBarButtonItem(from, unsigned(-1), true);
}

void ValtryWebBrowserView::dismissPopover() {
  if (popover_ && popover_->isPopoverVisible()) popover_->dismissPopoverAnimated(true);
  popover_.reset();
}

void ValtryWebBrowserView::showShellScreen(int which, const std::shared_ptr<BarButtonItem> &from) {
  downloadOff();
  dismissPopover();
  if (auto screen = webServices().shellScreen(which)) presentPopover(screen, from);
}

void ValtryWebBrowserView::clickBookmarks() {
  downloadOff();
  dismissPopover();
  auto list = std::make_shared<WwwBookmarkView>("", sharedAs<ValtryWebBrowserView>());
  if (!isPad()) {
    if (auto nav = navigationController()) nav->pushViewController(list, true);
    return;
  }
  presentPopover(std::make_shared<NavigationController>(list), bookmarksButtonBar);
  list->setPopover(popover_);
}

void ValtryWebBrowserView::popoverControllerDidDismissPopover(PopoverController &) {
  if (theConnection_) theConnection_->disconnectFromServer();
  popover_.reset();
}

void ValtryWebBrowserView::clickSearch() {
  const bool toSearch = urlField->keyboardType() == KeyboardType::URL;
  urlField->setKeyboardType(toSearch ? KeyboardType::Default : KeyboardType::URL);
  urlField->setReturnKeyType(toSearch ? ReturnKeyType::Search : ReturnKeyType::Go);
  urlField->resignFirstResponder();
  urlField->becomeFirstResponder();
}

void ValtryWebBrowserView::clickFullScreen() {
  fullScreen_ = true;
  std::weak_ptr<ValtryWebBrowserView> weak = sharedAs<ValtryWebBrowserView>();
  if (!resizeInButton) {
    resizeInButton = std::make_shared<Button>(ButtonType::Custom, Rect(0, 0, 40, 40));
    resizeInButton->setImage("resize-in-glow.png");
    resizeInButton->setAccessibilityLabel("Regular Screen");
    resizeInButton->addTarget(unsigned(ControlEvent::TouchUpInside), [weak](Control &) {
      if (auto s = weak.lock()) s->clickRegularScreen();
    });
    fullscreenActivity = std::make_shared<ActivityIndicatorView>(ActivityIndicatorStyle::Gray);
    fullscreenActivity->setFrame(Rect(11, 11, 22, 22));
    // Shown only while a page loads (loads start and stop it from now on).
    if (webView && webView->isLoading())
      fullscreenActivity->startAnimating();
    else
      fullscreenActivity->stopAnimating();
  }
  // The whole right-hand tab bar moves so that the navigation bar lies above the screen and the
  // tab bar below it: 44 and 49 points more than the screen's height (its width when turned). The
  // page then spans the screen's width, and the restore button stands at its right end.
  const bool portrait = lastInterfaceOrientation == 1 || lastInterfaceOrientation == 2;
  const Rect hidden = portrait ? Rect(0, -44, 768, 1117) : Rect(0, -44, 1024, 861);
  const double w = hidden.size.width;
  resizeInButton->setFrame(Rect(w - 42, -42, 40, 40));
  view()->addSubview(resizeInButton);
  view()->addSubview(fullscreenActivity);
  animate(0.5, [this, w, hidden] {
    webServices().setRightTabBarFrame(hidden);
    resizeInButton->setFrame(Rect(w - 42, 2, 40, 40));
  });
}

void ValtryWebBrowserView::clickRegularScreen() {
  fullScreen_ = false;
  if (fullscreenActivity) fullscreenActivity->removeFromSuperview();
  std::weak_ptr<ValtryWebBrowserView> weak = sharedAs<ValtryWebBrowserView>();
  const double w = view()->frame().size.width;
  animate(
      0.5,
      [weak, w] {
        webServices().setRightTabBarFrame(std::nullopt);
        if (auto s = weak.lock(); s && s->resizeInButton)
          s->resizeInButton->setFrame(Rect(w - 42, -42, 40, 40));
      },
      [weak](bool) {
        if (auto s = weak.lock(); s && s->resizeInButton) s->resizeInButton->removeFromSuperview();
      });
}

void ValtryWebBrowserView::willAnimateRotationToInterfaceOrientation(InterfaceOrientation to,
                                                                     double duration) {
  lastInterfaceOrientation = int(to);
  // The full-screen restore button belongs to the old frame. It is the only way back from full
  // screen, so a turn leaves full screen with it rather than strand the page without its bar.
  if (resizeInButton) resizeInButton->removeFromSuperview();
  if (fullscreenActivity) fullscreenActivity->removeFromSuperview();
  if (fullScreen_) {
    fullScreen_ = false;
    webServices().setRightTabBarFrame(std::nullopt);
  }
  webServices().willAnimateRotationToInterfaceOrientation(int(to), duration);
}

void ValtryWebBrowserView::didRotateFromInterfaceOrientation(InterfaceOrientation from) {
  webServices().didRotateFromInterfaceOrientation(int(from));
  layoutSubviews();
}

// --- ftp addresses ----------------------------------------------------------------------------

void ValtryWebBrowserView::startFTPConnection(const std::string &url) {
  auto a = WebAddress::parse(url);
  const std::string server = a.host + (a.port ? ":" + std::to_string(a.port) : "") + a.path;
  auto configure = [server, a](FTPConnection &c) {
    c.setServerAddress(server);
    c.setLoginUser(a.user);
    c.setLoginPass(a.password);
  };
  std::weak_ptr<ValtryWebBrowserView> weak = sharedAs<ValtryWebBrowserView>();
  if (theConnection_) {
    // Posted to the connection's own thread and run there in this order, as everywhere: the
    // streams of the new session are scheduled on that thread's run loop.
    theConnection_->reinit();
    configure(*theConnection_);
    theConnection_->connect();
    RunLoop::main()->perform([weak] {
      if (auto s = weak.lock()) s->showFTPDirectory();
    });
    return;
  }
  startThread("browser-ftp", [weak, configure] {
    Log::debug("Creating connection");
    auto c = std::make_shared<FTPConnection>();
    configure(*c);
    c->setMainConnection(true);
    c->setWarnIfNoSSL(false);
    c->setSkipSSL(true);
    c->connect();
    RunLoop::main()->perform([weak, c] {
      auto s = weak.lock();
      if (!s) return;
      s->theConnection_ = c;
      webServices().setFtpConnection(c);
      s->showFTPDirectory();
    });
  });
}

void ValtryWebBrowserView::showFTPDirectory() {
  if (!theConnection_) return;
  auto server = theConnection_->serverAddress();
  auto colon = server.rfind(':');
  auto title = colon == std::string::npos ? server : server.substr(0, colon);
  auto screen = webServices().makeRemoteFolderScreen(theConnection_, title);
  if (!screen) return;
  screen->setTitle(title);
  // The screen waits for its connection's first listing (its folder's, shown on whichever stack
  // it stands on: the connection reaches its own screens only).
  auto connecting = [screen] {
    if (auto folder = std::dynamic_pointer_cast<DirViewerScreen>(screen)) {
      folder->showWorkingTextToolbar();
      folder->updateProgressText("Connecting to Server...");
    }
  };
  if (!isPad()) {
    if (auto nav = navigationController()) nav->pushViewController(screen, true);
    connecting();
    return;
  }
  auto ftpNav = webServices().ftpNavigationController();
  if (!ftpNav) return;
  ftpNav->setViewControllers({screen}, false);
  dismissPopover();
  popover_ = std::make_shared<PopoverController>(ftpNav);
  popover_->setDelegate(
      std::static_pointer_cast<PopoverControllerDelegate>(sharedAs<ValtryWebBrowserView>()));
  popover_->presentPopoverFromRect(urlField->frame(), toolbar, unsigned(-1), true);
  connecting();
}

// --- Long-tap menu ----------------------------------------------------------------------------

void ValtryWebBrowserView::showLongTapMenu(const std::string &url) {
  Log::debug("longtap:  " + url);
  longPressURL.clear();
  const std::string rest = url.size() > 10 ? url.substr(10) : std::string();
  std::string prefix;
  bool image = false;
  if (rest.rfind("href=", 0) == 0) {
    longPressURL = rest.substr(5);
    prefix = "Address:  ";
  } else if (rest.rfind("src=", 0) == 0) {
    longPressURL = rest.substr(4);
    prefix = "Image:  ";
    image = true;
    // A background picture arrives as its style value: url("...").
    if (longPressURL.rfind("url(", 0) == 0 && longPressURL.back() == ')') {
      longPressURL = longPressURL.substr(4, longPressURL.size() - 5);
      if (longPressURL.size() >= 2 && (longPressURL[0] == '"' || longPressURL[0] == '\''))
        longPressURL = longPressURL.substr(1, longPressURL.size() - 2);
    }
  }
  if (longPressURL.empty()) return;
  longPressActions = std::make_shared<ActionSheet>(
      prefix + myEllipseAfter(longPressURL, 80),
      std::static_pointer_cast<ActionSheetDelegate>(sharedAs<ValtryWebBrowserView>()));
  actionOpenIndex = longPressActions->addButtonWithTitle("Open");
  actionOpenNewIndex = isPad() ? longPressActions->addButtonWithTitle("Open in New Tab") : -1;
  actionDownloadIndex = longPressActions->addButtonWithTitle("Download");
  actionCopyImageIndex = image ? longPressActions->addButtonWithTitle("Copy Image") : -1;
  actionCopyIndex = longPressActions->addButtonWithTitle("Copy This Address");
  actionEmailIndex = longPressActions->addButtonWithTitle("Email This Address");
  if (!isPad()) {
    longPressActions->setCancelButtonIndex(longPressActions->addButtonWithTitle("Cancel"));
    if (auto tabs = tabBarController())
      longPressActions->showFromTabBar(tabs->tabBar());
    else
      longPressActions->showInView(view());
  } else {
    longPressActions->showFromRect(Rect(lastTapPoint.x, lastTapPoint.y, 1, 1), view(), true);
  }
}

void ValtryWebBrowserView::clickedButtonAtIndex(ActionSheet &sheet, int index) {
  if (&sheet != longPressActions.get()) return;
  const std::string url = longPressURL;
  if (index == actionOpenIndex) {
    openURL(url);
  } else if (index == actionOpenNewIndex) {
    webServices().newValtryTab(url);
  } else if (index == actionDownloadIndex) {
    if (queueWebDownload(url, WebAddress::parse(url).port)) didQueueDownload();
  } else if (index == actionCopyIndex) {
    Pasteboard::generalPasteboard().setString(url);
  } else if (index == actionCopyImageIndex) {
    // Fetched away from the main thread, bounded; only a picture that decodes reaches the
    // pasteboard, as PNG whatever it was sent as.
    startThread(
        "copy-image",
        [url] {
          auto data = fetchBounded(url, kMaxCopiedImage, WebPageEngine::kTimeoutSeconds);
          auto image = media::Image::imageWithData(std::vector<uint8_t>(data.begin(), data.end()));
          if (!image) return;
          auto png = image->pngRepresentation();
          if (png.empty()) return;
          RunLoop::main()->perform([png = std::move(png)]() mutable {
            Pasteboard::generalPasteboard().setData(std::move(png), "public.png");
          });
        },
        false);
  } else if (index == actionEmailIndex) {
    // The mail composer takes the address as a link; a mailto address carries plain text only,
    // so without a mail program the address goes there as it is.
    MailMessage message;
    message.bodyIsHTML = true;
    message.body = "<a href='" + htmlEscape(url) + "'>" + htmlEscape(url) + "</a><br />";
    auto byAddress = [url] {
      Application::shared().openURL("mailto:?body=" + queryEscape(url), [](bool opened) {
        if (!opened) showMailNotStarted();
      });
    };
    if (!MailService::canSendMail()) {
      byAddress();
    } else {
      Application::shared().setNetworkActivityIndicatorVisible(true);
      MailService::send(message, [byAddress](bool sent) {
        Application::shared().setNetworkActivityIndicatorVisible(false);
        if (!sent) byAddress();
      });
    }
  }
  longPressActions.reset();
}
