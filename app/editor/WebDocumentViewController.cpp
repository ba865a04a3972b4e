#include "app/editor/WebDocumentViewController.h"

#include "app/editor/DocumentConverter.h"
#include "app/editor/EditorServices.h"
#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/ImageScaling.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/CloudContainer.h"
#include "platform/media/Image.h"

#include <algorithm>

using namespace platform;
using namespace platform::ui;

namespace {

constexpr uint64_t kBigFile = 4194304;
// Pages larger than this are not read in to be shown as a string.
constexpr uint64_t kMaxInlinePage = 8 * 1024 * 1024;
// Sites whose pages load in the viewer itself; none: every tapped link leaves.
const std::vector<std::string> kInPlaceHosts = {};

UserDefaults &settings() {
  return UserDefaults::standard();
}

bool hasKind(const std::string &name, const char *list) {
  return myContains(list, "." + myFileType(name) + ".");
}

std::string fileURL(const std::string &path) {
  return "file://" + addPercentEscapes(path);
}

std::string lowerScheme(const std::string &url) {
  auto colon = url.find(':');
  std::string scheme = colon == std::string::npos ? "" : url.substr(0, colon);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return scheme;
}

std::string hostOf(const std::string &url) {
  auto start = url.find("://");
  if (start == std::string::npos) return {};
  start += 3;
  auto end = url.find_first_of("/?#", start);
  std::string host = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (auto at = host.rfind('@'); at != std::string::npos) host = host.substr(at + 1);
  if (auto colon = host.rfind(':'); colon != std::string::npos) host = host.substr(0, colon);
  return host;
}

// A page that runs none of its own scripts: the policy comes before anything of the document.
const char kNoScripts[] =
    "<meta http-equiv=\"Content-Security-Policy\" content=\"script-src 'unsafe-eval'; "
    "object-src 'none'\">";

} // namespace

bool WebDocumentViewController::isImageFile(const std::string &name) {
  return hasKind(name, ".gif.png.jpg.jpeg.tif.tiff.svg.");
}
bool WebDocumentViewController::isSaveableImageFile(const std::string &name) {
  return hasKind(name, ".gif.png.jpg.jpeg.tif.tiff.");
}
bool WebDocumentViewController::isPDFFile(const std::string &name) {
  return hasKind(name, ".pdf.");
}

std::shared_ptr<WebDocumentViewController>
WebDocumentViewController::initWithNibName(const std::string &nibName, const std::string &fileName,
                                           const std::string &filePath) {
  auto viewer = std::make_shared<WebDocumentViewController>(nibName);
  viewer->docName = fileName;
  viewer->docLocalFile = filePath;
  viewer->shownInUse_.hold(filePath);
  return viewer;
}

// The viewer as the presenter of the cloud file it shows.
class ViewerPresenter : public platform::FilePresenter {
public:
  ViewerPresenter(std::weak_ptr<WebDocumentViewController> viewer, std::string path)
      : viewer_(std::move(viewer)), path_(std::move(path)) {}
  std::string presentedItemPath() const override { return path_; }
  void presentedItemDidChange() override {
    if (auto v = viewer_.lock()) v->presentedItemDidChange();
  }

private:
  std::weak_ptr<WebDocumentViewController> viewer_;
  std::string path_;
};

WebDocumentViewController::WebDocumentViewController(const std::string &nibName)
    : ViewController(nibName) {}

WebDocumentViewController::~WebDocumentViewController() {
  if (presenter_) CloudContainer::removeFilePresenter(presenter_.get());
}

void WebDocumentViewController::presentFile(bool on) {
  if (presenter_ && (!on || presenter_->presentedItemPath() != docLocalFile)) {
    CloudContainer::removeFilePresenter(presenter_.get());
    presenter_.reset();
  }
  if (on && !presenter_) {
    presenter_ =
        std::make_shared<ViewerPresenter>(sharedAs<WebDocumentViewController>(), docLocalFile);
    CloudContainer::addFilePresenter(presenter_);
  }
}

void WebDocumentViewController::presentedItemDidChange() {
  if (!presenter_) return;
  Log::system("presentedItemDidChange");
  loadDocument();
}

void WebDocumentViewController::setNextDataSource(
    std::function<std::string(const std::string &)> source) {
  source_ = std::move(source);
}

bool WebDocumentViewController::usesMyScroller() const {
  return !isPDFFile(docLocalFile) && !isImageFile(docLocalFile);
}

void WebDocumentViewController::viewDidLoad() {
  auto root = view();
  root->setBackgroundColor(Color{0.2, 0.2, 0.25, 1});
  setTitle(docName);
  if (!editingSavedFile) {
    settings().setObject(docLocalFile, kWasViewingFile);
    settings().synchronize();
  }
  const bool pad = Hardware::isiPad();
  const Rect bounds = root->bounds();
  webView = std::make_shared<WebView>(pad ? Rect(0, 44, bounds.size.width, bounds.size.height - 44)
                                          : bounds);
  webView->setBackgroundColor(Color::whiteColor());
  webView->setScalesPageToFit(true);
  webView->setAutoresizingMask(FlexibleWidth | FlexibleHeight);
  webView->setAccessibilityLabel("Document");
  webView->setDelegate(std::weak_ptr<WebViewDelegate>(sharedAs<WebDocumentViewController>()));
  root->addSubview(webView);

  std::weak_ptr<WebDocumentViewController> weak = sharedAs<WebDocumentViewController>();
  fileNameLabel = std::make_shared<Label>(Rect(0, 0, 185, 15));
  fileNameLabel->setTextColor(Color::whiteColor());
  fileNameLabel->setTextAlignment(TextAlignment::Center);
  fileNameLabel->setBackgroundColor(Color::clearColor());
  fileNameLabel->setShadowColor(Color::grayColor());
  fileNameLabel->setFont(Font::boldSystem(12));
  fileNameLabel->setAdjustsFontSizeToFitWidth(true);
  fileNameLabel->setMinimumFontSize(8);
  captionLabel = std::make_shared<Label>(Rect(32, 14, 121, 24));
  captionLabel->setTextColor(Color::whiteColor());
  captionLabel->setTextAlignment(TextAlignment::Center);
  captionLabel->setFont(Font::boldSystem(Font::systemFontSize() + 5));
  captionLabel->setAdjustsFontSizeToFitWidth(true);
  captionLabel->setMinimumFontSize(Font::systemFontSize());
  auto pageButton = [weak](Rect frame, const char *image, const char *label,
                           void (WebDocumentViewController::*action)()) {
    auto b = std::make_shared<Button>(ButtonType::Custom, frame);
    b->setImage(image);
    b->setAccessibilityLabel(label);
    b->setShowsTouchWhenHighlighted(true);
    b->addTarget(TouchUpInside, [weak, action](Control &) {
      if (auto self = weak.lock()) (self.get()->*action)();
    });
    return b;
  };
  previousButton = pageButton(Rect(20, 8, 32, 24), "back24.png", "Previous Image",
                              &WebDocumentViewController::clickPrevious);
  nextButton = pageButton(Rect(133, 8, 32, 24), "next24.png", "Next Image",
                          &WebDocumentViewController::clickNext);
  slider = std::make_shared<Slider>(Rect(0, 0, pad ? 110 : 80, 40));
  slider->setAccessibilityLabel("Scroll");
  slider->addTarget(ValueChanged, [weak](Control &) {
    if (auto self = weak.lock()) self->movedSlider();
  });
  slider->setHidden(isPDFFile(docLocalFile));
  spinner = std::make_shared<ActivityIndicatorView>(pad ? ActivityIndicatorStyle::Gray
                                                        : ActivityIndicatorStyle::White);
  spinner->setHidesWhenStopped(true);
  spinner->setHidden(true);
  captionItem = BarButtonItem::withCustomView(captionLabel);
  sliderItem = BarButtonItem::withCustomView(slider);
  spinnerItem = BarButtonItem::withCustomView(spinner);
  saveItem = BarButtonItem::systemItem(BarButtonSystemItem::Save, [weak](BarButtonItem &) {
    if (auto self = weak.lock()) self->clickSave();
  });

  if (!pad) {
    navigationItem().setLeftBarButtonItem(
        BarButtonItem::systemItem(BarButtonSystemItem::Cancel, [weak](BarButtonItem &) {
          if (auto self = weak.lock()) self->clickOK();
        }));
    if (localFileArray.size() >= 2) {
      auto titleView = std::make_shared<View>(Rect(0, 0, 185, 42));
      for (auto v : std::initializer_list<std::shared_ptr<View>>{fileNameLabel, captionLabel,
                                                                 previousButton, nextButton})
        titleView->addSubview(v);
      navigationItem().setTitleView(titleView);
      setupMyTitles();
    }
  } else {
    toolbar = std::make_shared<Toolbar>(Rect(0, 0, bounds.size.width, 44));
    toolbar->setAutoresizingMask(FlexibleWidth);
    root->addSubview(toolbar);
    setupTitlebar();
  }
  loadDocument();
  showTips();
}

void WebDocumentViewController::setupTitlebar() {
  if (!toolbar) return;
  std::weak_ptr<WebDocumentViewController> weak = sharedAs<WebDocumentViewController>();
  auto services = EditorServices::shared();
  auto resize = BarButtonItem::withImage(services ? services->resizeImage() : "window-full-4.png",
                                         BarButtonItemStyle::Plain, [](BarButtonItem &) {
                                           if (auto s = EditorServices::shared())
                                             s->clickedResize();
                                         });
  resize->setAccessibilityLabel("Resize Screen");
  auto close =
      BarButtonItem::withImage("delete.png", BarButtonItemStyle::Plain, [weak](BarButtonItem &) {
        if (auto s = weak.lock()) s->clickOK();
      });
  close->setAccessibilityLabel("Close File");
  titleItem = BarButtonItem::titled(docName, BarButtonItemStyle::Plain);
  std::vector<std::shared_ptr<BarButtonItem>> items{BarButtonItem::fixedSpace(7), resize, close,
                                                    BarButtonItem::flexibleSpace(), titleItem};
  if (localFileArray.size() < 2) {
    items.push_back(BarButtonItem::flexibleSpace());
    items.push_back(spinnerItem);
    if (isImageFile(docLocalFile)) items.push_back(saveItem);
  } else {
    previousItem = BarButtonItem::withImage("arrow_left.png", BarButtonItemStyle::Plain,
                                            [weak](BarButtonItem &) {
                                              if (auto s = weak.lock()) s->clickPrevious();
                                            });
    previousItem->setAccessibilityLabel("Previous Image");
    nextItem = BarButtonItem::withImage("arrow_right.png", BarButtonItemStyle::Plain,
                                        [weak](BarButtonItem &) {
                                          if (auto s = weak.lock()) s->clickNext();
                                        });
    nextItem->setAccessibilityLabel("Next Image");
    for (auto &item :
         {spinnerItem, previousItem, captionItem, nextItem, BarButtonItem::fixedSpace(2), saveItem})
      items.push_back(item);
  }
  toolbar->setItems(items);
  setupMyTitles();
  layoutSubviews();
}

void WebDocumentViewController::layoutSubviews() {
  if (!titleItem) return;
  const double arrows = (previousItem ? 32 : 0) + (nextItem ? 32 : 0);
  titleItem->setWidth(view()->bounds().size.width -
                      (captionLabel->frame().size.width + 150 + arrows));
}

void WebDocumentViewController::setupMyTitles() {
  const int count = static_cast<int>(localFileArray.size());
  const bool hasPrevious = localFileArrayIndex > 0;
  const bool hasNext = localFileArrayIndex < count - 1;
  if (previousButton) previousButton->setEnabled(hasPrevious);
  if (nextButton) nextButton->setEnabled(hasNext);
  if (previousItem) previousItem->setEnabled(hasPrevious);
  if (nextItem) nextItem->setEnabled(hasNext);
  if (captionLabel) captionLabel->setText(Log::format("%i / %i", localFileArrayIndex + 1, count));
  const std::string name = lastPathComponent(docLocalFile);
  if (fileNameLabel) fileNameLabel->setText(name);
  if (titleItem) titleItem->setTitle(name);
}

void WebDocumentViewController::loadDocument() {
  loadingStarted();
  auto services = EditorServices::shared();
  const bool cloud = services && services->isCloudFile(docLocalFile);
  presentFile(cloud);
  if (!cloud) return showDocument(docLocalFile);
  // Read under the coordinated read on the edit queue; the page loads on the main thread while
  // the read is granted.
  std::weak_ptr<WebDocumentViewController> weak = sharedAs<WebDocumentViewController>();
  auto presenter = presenter_;
  const std::string file = docLocalFile;
  auto work = [weak, presenter, file] {
    CloudContainer::coordinateReading(
        file,
        [&](const std::string &coordinated) {
          Log::system("iCloud:" + coordinated);
          RunLoop::main()->performAndWait([&] {
            auto self = weak.lock();
            if (self && self->docLocalFile == file) self->showDocument(coordinated);
          });
        },
        presenter.get());
  };
  if (auto queue = services->editQueue())
    queue->async(std::move(work));
  else
    work();
}

void WebDocumentViewController::showDocument(const std::string &path) {
  auto attributes = FileManager::attributesOfItem(path);
  const std::string kind = myFileType(path);
  if (attributes && attributes->size <= kMaxInlinePage && (kind == "html" || kind == "htm")) {
    // The page is shown as its own text behind a policy that lets none of its scripts run.
    auto body = FileManager::stringContentsAtPath(path);
    if (body) {
      webView->loadHTMLString(kNoScripts + *body, fileURL(path));
      return;
    }
  }
  if (attributes && attributes->size <= kMaxInlinePage && kind == "rtf") {
    if (auto html = rtfToHtml(path)) {
      webView->loadHTMLString(kNoScripts + *html, fileURL(path));
      return;
    }
    // No converter: the source text, with a note that says so.
    auto body = FileManager::stringContentsAtPath(path);
    if (body) {
      webView->loadHTMLString(
          std::string(kNoScripts) +
              "<p style=\"color:#666;font:italic 13px sans-serif\">This rich-text document is "
              "shown as its plain source text.</p><pre style=\"white-space:pre-wrap\">" +
              htmlEscaped(*body) + "</pre>",
          fileURL(path));
      return;
    }
  }
  webView->loadRequest(WebRequest{fileURL(path)});
}

void WebDocumentViewController::showTips() {
  auto attributes = FileManager::attributesOfItem(docLocalFile);
  if (!attributes) return;
  const std::string model = DeviceProfile::current().model;
  bool changed = false;
  if (attributes->size <= kBigFile) {
    if (isImageFile(docLocalFile) &&
        settings().stringForKey("ShownSaveMessage").value_or("") != "1" && !hideSaveButton) {
      auto alert = std::make_shared<AlertView>(
          "Saving to Photo Library",
          Log::format("Tip:  The \"Save\" button in the upper right copies the image into your "
                      "%s's Photo Library.\n\n(This message will only show once.)",
                      model.c_str()),
          std::weak_ptr<AlertViewDelegate>(), "OK");
      alert->show();
      settings().setObject("1", "ShownSaveMessage");
      changed = true;
    }
  } else if (settings().stringForKey("ShownBigFileMessage").value_or("") != "1") {
    auto alert = std::make_shared<AlertView>(
        "Really Big File",
        Log::format("Note:  Viewing large images or documents could cause %s to be closed for "
                    "using too much of your %s's memory.  If it \"crashes\" that's possibly the "
                    "real cause.\n\n(This message will only show once.)",
                    "Ferrowen", model.c_str()),
        std::weak_ptr<AlertViewDelegate>(), "OK");
    alert->show();
    settings().setObject("1", "ShownBigFileMessage");
    changed = true;
  }
  if (changed) settings().synchronize();
}

void WebDocumentViewController::loadingStarted() {
  Application::shared().setNetworkActivityIndicatorVisible(true);
  spinner->setHidden(false);
  spinner->startAnimating();
  for (auto &b : {previousButton, nextButton})
    if (b) b->setEnabled(false);
  for (auto &i : {previousItem, nextItem})
    if (i) i->setEnabled(false);
  if (!Hardware::isiPad()) navigationItem().setRightBarButtonItem(spinnerItem);
}

void WebDocumentViewController::loadingEnded(bool failed) {
  Application::shared().setNetworkActivityIndicatorVisible(false);
  spinner->stopAnimating();
  setupMyTitles();
  const bool pad = Hardware::isiPad();
  if (failed) {
    if (!pad) navigationItem().setRightBarButtonItem(nullptr);
    return;
  }
  if (!pad) navigationItem().setRightBarButtonItem(nullptr);
  if (hideSaveButton) return;
  if (!pad && isSaveableImageFile(docLocalFile)) navigationItem().setRightBarButtonItem(saveItem);
  if (isPDFFile(docLocalFile)) slider->setHidden(true);
}

bool WebDocumentViewController::shouldStartLoadWithRequest(WebView &, const WebRequest &r,
                                                           WebViewNavigationType type) {
  Log::system(withControlsEscaped(r.url));
  const std::string host = hostOf(r.url);
  for (auto &site : kInPlaceHosts)
    if (!host.empty() && myEndsWith(host, site)) return true;
  if (type == WebViewNavigationType::LinkClicked) {
    // Only web and mail addresses leave for the system; nothing else is followed at all.
    const std::string scheme = lowerScheme(r.url);
    if (scheme == "mailto")
      // A mail the desktop's program did not take is said, as the other mail is.
      Application::shared().openURL(r.url, [](bool opened) {
        if (!opened) showMailNotStarted();
      });
    else if (scheme == "http" || scheme == "https")
      Application::shared().openURL(r.url);
    else
      Log::system("Not opened: only http, https and mailto addresses leave the viewer");
    return false;
  }
  return true;
}

void WebDocumentViewController::webViewDidStartLoad(WebView &) {}

void WebDocumentViewController::webViewDidFinishLoad(WebView &) {
  loadingEnded(false);
}

void WebDocumentViewController::didFailLoadWithError(WebView &, const std::string &) {
  loadingEnded(true);
  webView->loadHTMLString(
      Log::format("<html><center><font size=+6 color='red'>Sorry, there was an error or your %s "
                  "can not display this type of file.</font></center></html>",
                  htmlEscaped(DeviceProfile::current().model).c_str()),
      "");
}

void WebDocumentViewController::clickPrevious() {
  if (localFileArrayIndex > 0) --localFileArrayIndex;
  changeImage();
}

void WebDocumentViewController::clickNext() {
  if (localFileArrayIndex < static_cast<int>(localFileArray.size()) - 1) ++localFileArrayIndex;
  changeImage();
}

void WebDocumentViewController::changeImage() {
  setupMyTitles();
  const size_t index = static_cast<size_t>(std::max(0, localFileArrayIndex));
  std::string next;
  if (source_) {
    if (index < dataIndexArray.size()) next = source_(dataIndexArray[index]);
  } else if (index < localFileArray.size()) {
    const std::string &name = localFileArray[index];
    // A name is one entry of the folder: never a way out of it.
    if (!name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos)
      next = appendPathComponent(deleteLastPathComponent(docLocalFile), name);
  }
  if (next.empty()) return;
  // A temporary file goes when another takes its place; paging past an end reloads the same one,
  // which must still be there to be shown.
  if (cleanupWhenDone && next != docLocalFile) FileManager::removeItem(docLocalFile);
  docLocalFile = next;
  shownInUse_.hold(next);
  docName = lastPathComponent(next);
  auto item = tabBarItem();
  item->setTitle(myShortenedFileName(docName));
  item->setImageName("saved_files24.png");
  item->setTag(1);
  setupMyTitles();
  loadDocument();
}

void WebDocumentViewController::viewWillAppear(bool animated) {
  ViewController::viewWillAppear(animated);
  statusBar_.appearing();
}

void WebDocumentViewController::viewWillDisappear(bool animated) {
  ViewController::viewWillDisappear(animated);
  statusBar_.disappearing();
}

void WebDocumentViewController::clickOK() {
  presentFile(false);
  shownInUse_.release();
  if (!editingSavedFile || cleanupWhenDone) removeWorkingCopy(docLocalFile);
  settings().setObject("", kWasViewingFile);
  settings().synchronize();
  auto self = sharedAs<WebDocumentViewController>();
  if (Hardware::isiPad()) {
    if (auto services = EditorServices::shared()) services->cancelFileViewTab(self);
  } else if (auto nav = navigationController()) {
    nav->popViewControllerAnimated(true);
  }
}

void WebDocumentViewController::clickSave() {
  Application::shared().setNetworkActivityIndicatorVisible(true);
  spinner->setHidden(false);
  spinner->startAnimating();
  if (!Hardware::isiPad()) navigationItem().setRightBarButtonItem(spinnerItem);
  auto image = media::Image::imageWithContentsOfFile(docLocalFile);
  Application::shared().setNetworkActivityIndicatorVisible(false);
  if (image) {
    const int w = image->pixelWidth(), h = image->pixelHeight();
    if ((w > 800 || h > 800) && !Hardware::isFasterDevice()) {
      const int d = std::max(1, std::min(w / 640, h / 640));
      if (d > 1) image = scaleToSizeAndRotateImage(image, std::max(w, h) / d);
    }
    auto services = EditorServices::shared();
    if (!image || !services || !services->writeImageToSavedPhotosAlbum(image))
      Log::system("The picture could not be put into the photo library");
  }
  spinner->stopAnimating();
  if (!Hardware::isiPad()) navigationItem().setRightBarButtonItem(nullptr);
}

void WebDocumentViewController::movedSlider() {
  webView->stringByEvaluatingJavaScriptFromString(
      Log::format("scrollTo(0, document.body.offsetHeight*%f)", slider->value()));
}

void WebDocumentViewController::scrollToPercent(int percent) {
  const double fraction = std::clamp(percent, 0, 100) / 100.0;
  webView->stringByEvaluatingJavaScriptFromString(
      Log::format("scrollTo(0, document.body.offsetHeight*%f)", fraction));
}

void WebDocumentViewController::resized(Rect frame) {
  view()->setFrame(frame);
  const bool pad = Hardware::isiPad();
  webView->setFrame(Rect(0, pad ? 44 : 0, frame.size.width, frame.size.height - (pad ? 44 : 0)));
  layoutSubviews();
}

void WebDocumentViewController::showNavigationController() {
  if (auto nav = navigationController()) nav->setNavigationBarHidden(false, true);
}

void WebDocumentViewController::didReceiveMemoryWarning() {
  Log::system("WebDocumentViewController.MemoryWarning!!");
}

bool WebDocumentViewController::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return Hardware::isiPad() || o == InterfaceOrientation::Portrait ||
         appDelegateServices().allowLandscapeView();
}

// The application lays out what it holds around the turned viewer (on the phone it moves the
// viewer into its landscape container and back).
void WebDocumentViewController::didRotateFromInterfaceOrientation(InterfaceOrientation from) {
  appDelegateServices().didRotateFromInterfaceOrientation(int(from));
}
