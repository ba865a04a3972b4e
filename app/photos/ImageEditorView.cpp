#include "app/photos/ImageEditorView.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <tuple>

#include "app/files/LocalFilesServices.h"
#include "app/files/LocalFolderViewController.h"
#include "app/files/SavedFilesRooms.h"
#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/Globals.h"
#include "app/foundation/ImageScaling.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/StringUtils.h"
#include "app/photos/ImageViewThumb.h"
#include "app/photos/SettingsManagerView.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/BitmapContext.h"
#include "platform/ui/Window.h"

using namespace platform;
using namespace platform::ui;
using platform::media::BitmapContext;
using platform::media::Image;
using platform::media::ImageRegistry;
using platform::media::Rect2;

namespace {

UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

std::mutex hookMutex;
std::function<void()> workHook;
std::atomic<int> editorCount{0};

// The picture as it is seen, its orientation applied, at scale 1.
std::shared_ptr<Image> upright(const std::shared_ptr<Image> &image) {
  if (!image) return nullptr;
  const int w = static_cast<int>(std::lround(image->size().width * image->scale()));
  const int h = static_cast<int>(std::lround(image->size().height * image->scale()));
  auto context = BitmapContext::create(w, h);
  if (!context) return nullptr;
  context->drawImage(*image, Rect2{0, 0, double(w), double(h)});
  return context->makeImage();
}

void setMarker(bool on, long long bytes) {
  settings().setObject(on ? "1" : "0", "ImgEdit-EditingNow");
  if (on) settings().setObject(std::to_string(bytes), "ImgEdit-EditingSize");
  settings().synchronize();
}

} // namespace

// --- The canvas ------------------------------------------------------------------------------

namespace {

// The editor's own view: drags on the crop overlay (an image view that passes its touches on)
// arrive here and go to the editor in the overlay's coordinates.
class EditorCanvas : public View, public TouchTarget {
public:
  EditorCanvas(Rect frame, std::weak_ptr<ImageEditorView> editor)
      : View(frame), editor_(std::move(editor)) {}
  void touchesBegan(Point p) override {
    if (auto e = editor_.lock()) e->touchDown(local(*e, p));
  }
  void touchesMoved(Point previous, Point current) override {
    if (auto e = editor_.lock()) e->touchMoved(local(*e, previous), local(*e, current));
  }
  void touchesEnded(Point) override {
    if (auto e = editor_.lock()) e->touchEnded();
  }
  void touchesCancelled(Point) override {
    if (auto e = editor_.lock()) e->touchEnded();
  }
  using View::touchesEnded;
  // Given another size (the screen's area, a rotation, the tablet's pane): the picture is fitted
  // to what the editor now has.
  void setFrame(Rect frame) override {
    const Size old = this->frame().size;
    View::setFrame(frame);
    if (old == frame.size) return;
    if (auto e = editor_.lock()) e->layoutPicture();
  }

private:
  static Point local(ImageEditorView &e, Point p) {
    const Point o = e.overlay() ? e.overlay()->frame().origin : Point{0, 0};
    return Point{p.x - o.x, p.y - o.y};
  }
  std::weak_ptr<ImageEditorView> editor_;
};

} // namespace

// Saved Files' "Edit Image" opens the editor through its rooms' entry.
[[maybe_unused]] const bool savedFilesEditImage = [] {
  SavedFilesRooms::shared().editImage = [](const std::string &path, ViewController &opener,
                                           const std::string &name) {
    auto attrs = FileManager::attributesOfItem(path);
    auto editor = ImageEditorView::openFile(path, attrs ? std::optional(attrs->modificationDate)
                                                        : std::nullopt);
    if (!editor) return false;
    ImageEditorView::present(editor, opener, name);
    return true;
  };
  return true;
}();

// --- Document ----------------------------------------------------------------------------------

std::shared_ptr<ImageEditorView> ImageEditorView::openFile(const std::string &path,
                                                           std::optional<WallTime> date) {
  settings().setObject("1", "ImgEdit-EditingNow");
  settings().setObject("0", "ImgEdit-EditingSize");
  settings().synchronize();
  auto image = Image::imageWithContentsOfFile(path);
  std::shared_ptr<ImageEditorView> editor = image ? make(image, path, date) : nullptr;
  settings().setObject("0", "ImgEdit-EditingNow");
  settings().synchronize();
  return editor;
}

std::shared_ptr<ImageEditorView> ImageEditorView::make(std::shared_ptr<Image> image,
                                                       const std::string &path,
                                                       std::optional<WallTime> date) {
  return std::make_shared<ImageEditorView>(std::move(image), path, date);
}

void ImageEditorView::present(const std::shared_ptr<ImageEditorView> &editor,
                              ViewController &opener, const std::string &name) {
  if (!editor) return;
  if (Hardware::isiPad() && LocalFilesServices::shared().showSavedFileTab(editor, name)) return;
  if (auto nav = opener.navigationController()) nav->pushViewController(editor, true);
}

ImageEditorView::ImageEditorView(std::shared_ptr<Image> image, const std::string &path,
                                 std::optional<WallTime> date)
    : ViewController("ImageEditorView"), originalFilePath_(path), imageDate_(date) {
  imageName_ = "imgedit-" + std::to_string(getpid()) + "-" + std::to_string(++editorCount);
  setImage(upright(image));
  // A folder of its own: two editors on files of one name never share a working copy.
  const std::string tmp = globalTempPath.empty() ? Paths::tmp() : globalTempPath;
  FileManager::createDirectory(tmp, true);
  std::string folder = tmp + "/imgedit-XXXXXX";
  if (::mkdtemp(folder.data())) {
    workingFolder_ = folder;
    workingCopy_ = folder + "/" + std::filesystem::path(path).filename().string();
    workingCopyInUse_.hold(workingCopy_);
    std::error_code ec;
    std::filesystem::copy_file(path, workingCopy_, ec);
  }
}

ImageEditorView::~ImageEditorView() {
  ImageRegistry::shared().removeImage(imageName_);
  if (!workingFolder_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(workingFolder_, ec);
  }
}

void ImageEditorView::setWorkHook(std::function<void()> hook) {
  std::lock_guard lock(hookMutex);
  workHook = std::move(hook);
}

void ImageEditorView::setImage(std::shared_ptr<Image> image) {
  if (!image) return;
  image_ = std::move(image);
  ImageRegistry::shared().registerImage(imageName_, image_);
  if (theImage_) {
    theImage_->setImageName(""); // the same name, a new picture: drawn again
    theImage_->setImageName(imageName_);
  }
}

void ImageEditorView::resaveImage(const Image &image, const std::string &workingCopy) {
  if (workingCopy.empty()) return;
  FileManager::writeAtomically(workingCopy, image.pngRepresentation());
}

double ImageEditorView::zoomScale() const {
  return scrollView_ ? scrollView_->zoomScale() : 1.0;
}

void ImageEditorView::reloadImage() {
  if (workingCopy_.empty()) return;
  if (auto image = Image::imageWithContentsOfFile(workingCopy_)) setImage(upright(image));
}

// --- Screen ------------------------------------------------------------------------------------

void ImageEditorView::loadView() {
  auto window = Window::keyWindow();
  const Size s = window ? window->size() : Size{320, 480};
  setView(
      std::make_shared<EditorCanvas>(Rect(0, 0, s.width, s.height), sharedAs<ImageEditorView>()));
}

void ImageEditorView::viewDidLoad() {
  const Rect bounds = view()->bounds();
  const double w = image_ ? image_->pixelWidth() : 0, h = image_ ? image_->pixelHeight() : 0;
  theImage_ = std::make_shared<ImageView>(imageName_);
  theImage_->setFrame(Rect(0, 0, w, h));
  theImage_->setAccessibilityLabel("Picture");
  // The phone's bar is at the foot; the tablet's at the top, as its other file tabs have it.
  toolbar_ = std::make_shared<Toolbar>(
      Rect(0, Hardware::isiPad() ? 0 : bounds.size.height - 44, bounds.size.width, 44));
  toolbar_->setAutoresizingMask(Hardware::isiPad() ? FlexibleWidth
                                                   : FlexibleWidth | FlexibleTopMargin);
  view()->addSubview(toolbar_);
  // The screens pushed over the editor on the phone (captions, the watermark help, the save
  // dialog) lead back with "Back", not with the picture's name.
  if (!Hardware::isiPad()) backButtonTitledBack();
  navigationItem().setHidesBackButton(true);
  setToolbarNormal();
  makeScrollView();
  activity_ = std::make_shared<ActivityIndicatorView>(ActivityIndicatorStyle::WhiteLarge);
  const double bytes = w * h * 4.0;
  if (bytes > 8388608 && settings().integerForKey("ShownEditBigImageMessage") == 0) {
    char text[400];
    std::snprintf(text, sizeof text,
                  "Uncompressed, this image is %0.1f MB!\n\nEditing large images can cause "
                  "Ferrowen to be closed for using too much memory.\n\nTry resizing the image to "
                  "be smaller before adding Captions or Cropping.",
                  bytes / 1048576.0);
    alert("Really Big Image", text);
    settings().setObject("1", "ShownEditBigImageMessage");
    settings().synchronize();
  }
}

bool ImageEditorView::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return Hardware::isiPad() || appDelegateServices().allowLandscapeView() ||
         o == InterfaceOrientation::Portrait;
}

void ImageEditorView::didRotateFromInterfaceOrientation(InterfaceOrientation from) {
  appDelegateServices().didRotateFromInterfaceOrientation(int(from));
  if (Hardware::isiPad() && popoverVisible()) popover_->dismissPopoverAnimated(true);
}

void ImageEditorView::setupTitlebar() {
  if (!isViewLoaded() || !toolbar_) return;
  switch (showingToolbar_) {
  case kCropping:
    setToolbarCropping();
    break;
  case kResize:
    setToolbarResize();
    break;
  default:
    setToolbarNormal();
    break;
  }
}

double ImageEditorView::barTop() const {
  return Hardware::isiPad() ? 44 : 0;
}

bool ImageEditorView::popoverVisible() const {
  return popover_ && popover_->isPopoverVisible();
}

std::vector<std::shared_ptr<BarButtonItem>> ImageEditorView::padLeadingItems() {
  std::weak_ptr<ImageEditorView> weak = sharedAs<ImageEditorView>();
  std::vector<std::shared_ptr<BarButtonItem>> items{BarButtonItem::fixedSpace(7)};
  const std::string resize = LocalFilesServices::shared().resizeImage();
  if (!resize.empty()) {
    auto item = BarButtonItem::withImage(resize, BarButtonItemStyle::Plain, [](BarButtonItem &) {
      LocalFilesServices::shared().clickedResize();
    });
    item->setAccessibilityLabel("Resize Screen");
    items.push_back(item);
  }
  auto close =
      BarButtonItem::withImage("delete.png", BarButtonItemStyle::Plain, [weak](BarButtonItem &) {
        if (auto s = weak.lock()) s->clickCancel();
      });
  close->setAccessibilityLabel("Close");
  items.push_back(close);
  items.push_back(BarButtonItem::flexibleSpace());
  return items;
}

double ImageEditorView::barGap() {
  // Narrower gaps between the tools in a narrow pane, so Save stays on the bar.
  return Hardware::isiPad() && view()->bounds().size.width < 600 ? 4 : 12;
}

double ImageEditorView::padTitleWidth(int bar) {
  // What the bar's other items leave of the pane (the tablet's pane in portrait is narrow): the
  // leading buttons, then the tools and Save, or Crop To Rect and Cancel.
  const double others = bar == kCropping ? 290 : 320;
  return std::clamp(view()->bounds().size.width - others, 90.0, 220.0);
}

void ImageEditorView::makeiPadTitle(int bar) {
  const double width = padTitleWidth(bar);
  auto title = std::make_shared<Label>(Rect(0, 3, width, 24));
  title->setText(std::filesystem::path(originalFilePath_).filename().string());
  title->setTextAlignment(TextAlignment::Center);
  title->setBackgroundColor(Color::clearColor());
  title->setFont(Font::boldSystem(Font::systemFontSize() + 5));
  title->setMinimumFontSize(Font::systemFontSize());
  title->setAdjustsFontSizeToFitWidth(true);
  title->setTextColor(navigationTitleColor());
  title->setShadowColor(navigationTitleHighlightColor());
  title->setShadowOffset(Size{0, 1});
  title->setAutoresizingMask(FlexibleWidth);
  auto size = std::make_shared<Label>(Rect(0, 25, width, 15));
  char text[40];
  std::snprintf(text, sizeof text, "%i x %i", image_ ? image_->pixelWidth() : 0,
                image_ ? image_->pixelHeight() : 0);
  size->setText(text);
  size->setTextAlignment(TextAlignment::Center);
  size->setBackgroundColor(Color::clearColor());
  size->setFont(Font::boldSystem(12));
  size->setMinimumFontSize(8);
  size->setTextColor(navigationTitleColor());
  size->setShadowColor(navigationTitleHighlightColor());
  size->setShadowOffset(Size{0, 1});
  size->setAutoresizingMask(FlexibleWidth);
  titleVw_ = std::make_shared<View>(Rect(0, 0, width, 44));
  titleVw_->setBackgroundColor(Color::clearColor());
  titleVw_->addSubview(title);
  titleVw_->addSubview(size);
}

void ImageEditorView::showDialog(const std::shared_ptr<BarButtonItem> &from) {
  settings_->isModal = true;
  if (!Hardware::isiPad()) {
    settings_->isPushedOnNavigation = true;
    if (auto nav = navigationController()) nav->pushViewController(settings_, true);
    return;
  }
  theSettings_ = std::make_shared<NavigationController>(settings_);
  popover_ = std::make_shared<PopoverController>(theSettings_);
  settings_->popoverParent = popover_;
  popover_->presentPopoverFromBarButtonItem(from, ArrowAny, true);
}

void ImageEditorView::backButtonTitledBack() {
  navigationItem().setBackBarButtonItem(BarButtonItem::titled("Back", BarButtonItemStyle::Plain));
}

void ImageEditorView::alert(const std::string &title, const std::string &message) {
  std::make_shared<AlertView>(title, message, std::weak_ptr<AlertViewDelegate>(), "OK")->show();
}

void ImageEditorView::setToolbarNormal() {
  if (enterResizeWidth_) enterResizeWidth_->resignFirstResponder();
  if (enterResizeHeight_) enterResizeHeight_->resignFirstResponder();
  std::weak_ptr<ImageEditorView> weak = sharedAs<ImageEditorView>();
  auto act = [weak](void (ImageEditorView::*fn)()) {
    return [weak, fn](BarButtonItem &) {
      if (auto s = weak.lock()) (s.get()->*fn)();
    };
  };
  auto tool = [&](const char *image, const char *label, void (ImageEditorView::*fn)()) {
    auto item = BarButtonItem::withImage(image, BarButtonItemStyle::Plain, act(fn));
    item->setAccessibilityLabel(label);
    return item;
  };
  char size[40];
  std::snprintf(size, sizeof size, "%ix%i", image_ ? image_->pixelWidth() : 0,
                image_ ? image_->pixelHeight() : 0);
  setTitle(std::filesystem::path(originalFilePath_).filename().string());
  fontsItem_ = tool("fonts.png", "Captions", &ImageEditorView::clickText);
  watermarkItem_ = tool("watermark.png", "Watermark", &ImageEditorView::clickWatermark);
  saveItem_ =
      BarButtonItem::systemItem(BarButtonSystemItem::Save, act(&ImageEditorView::clickSave));
  saveItem_->setAccessibilityLabel("Save");
  gaps_ = {BarButtonItem::fixedSpace(barGap()), BarButtonItem::fixedSpace(barGap()),
           BarButtonItem::fixedSpace(barGap()), BarButtonItem::fixedSpace(barGap())};
  const std::vector<std::shared_ptr<BarButtonItem>> tools{
      tool("resize.png", "Resize", &ImageEditorView::clickResize),
      gaps_[0],
      tool("crop.png", "Crop", &ImageEditorView::clickCrop),
      gaps_[1],
      fontsItem_,
      gaps_[2],
      watermarkItem_};
  if (Hardware::isiPad()) {
    makeiPadTitle(kNormal);
    auto items = padLeadingItems();
    items.push_back(BarButtonItem::withCustomView(titleVw_));
    items.push_back(BarButtonItem::flexibleSpace());
    items.insert(items.end(), tools.begin(), tools.end());
    items.push_back(gaps_[3]);
    items.push_back(saveItem_);
    toolbar_->setItems(items);
  } else {
    auto items = std::vector<std::shared_ptr<BarButtonItem>>{
        BarButtonItem::titled(size, BarButtonItemStyle::Plain), BarButtonItem::flexibleSpace()};
    items.insert(items.end(), tools.begin(), tools.end());
    toolbar_->setItems(items);
    auto cancel =
        BarButtonItem::systemItem(BarButtonSystemItem::Cancel, act(&ImageEditorView::clickCancel));
    cancel->setAccessibilityLabel("Cancel");
    navigationItem().setRightBarButtonItem(saveItem_, true);
    navigationItem().setLeftBarButtonItem(cancel, true);
  }
  editClippingRect_ = false;
  showingToolbar_ = kNormal;
}

void ImageEditorView::makeScrollView() {
  if (!scrollView_) {
    scrollView_ = std::make_shared<ScrollView>(pictureArea());
    scrollView_->setAutoresizingMask(FlexibleWidth | FlexibleHeight);
    scrollView_->setShowsHorizontalScrollIndicator(false);
    scrollView_->setShowsVerticalScrollIndicator(false);
    scrollView_->setDelegate(std::weak_ptr<ScrollViewDelegate>(sharedAs<ImageEditorView>()));
    view()->addSubview(scrollView_);
  }
  theImage_->removeFromSuperview();
  scrollView_->addSubview(theImage_);
  fitZoom();
}

Rect ImageEditorView::fittedPicture(Size area, Size picture) {
  if (area.width <= 0 || area.height <= 0 || picture.width <= 0 || picture.height <= 0)
    return Rect(0, 0, 0, 0);
  const double f = std::min({1.0, area.width / picture.width, area.height / picture.height});
  const double w = picture.width * f, h = picture.height * f;
  return Rect((area.width - w) / 2, (area.height - h) / 2, w, h);
}

Rect ImageEditorView::pictureArea() {
  const Rect bounds = view()->bounds();
  return Rect(0, barTop(), bounds.size.width, std::max(0.0, bounds.size.height - 44));
}

void ImageEditorView::fitZoom() {
  // The content is the picture at its own size, from the top left; the zoom it starts at shows it
  // whole and no bigger than its pixels (never below the least zoom, where it scrolls).
  const Size area = scrollView_->bounds().size;
  const double w = image_->pixelWidth(), h = image_->pixelHeight();
  scrollView_->setMinimumZoomScale(0.2);
  scrollView_->setMaximumZoomScale(2.0);
  scrollView_->setZoomScale(1.0);
  theImage_->setFrame(Rect(0, 0, w, h));
  scrollView_->setContentSize(Size{w, h});
  scrollView_->setContentOffset(Point{0, 0});
  double fit = 1.0;
  if (w > area.width || h > area.height)
    fit = std::max(0.2, std::min(area.width / w, area.height / h));
  scrollView_->setZoomScale(fit);
}

std::shared_ptr<View> ImageEditorView::viewForZoomingInScrollView(ScrollView &scroll) {
  return theImage_ && theImage_->superview().get() == &scroll ? theImage_ : nullptr;
}

void ImageEditorView::layoutPicture() {
  if (!theImage_ || !image_) return;
  // The tablet's bar is made for the pane's width: made again for the new one.
  // The tablet's bar follows the pane's width: its title and its gaps narrow.
  if (Hardware::isiPad()) {
    for (auto &gap : gaps_)
      gap->setWidth(barGap());
    if (titleVw_ && showingToolbar_ != kResize)
      titleVw_->setFrame(Rect(0, 0, padTitleWidth(showingToolbar_), 44));
  }
  if (scrollView_) {
    scrollView_->setFrame(pictureArea());
    fitZoom();
  } else if (overlay_ && editClippingRect_) {
    overlay_->setFrame(pictureArea());
    theImage_->setFrame(pictureArea());
    updateClippingArea();
  }
}

// --- Background passes -------------------------------------------------------------------------

void ImageEditorView::runPass(Work work, std::function<void()> after) {
  if (working_ || !image_) return;
  working_ = true;
  didEditImage_ = true;
  // The sizes are read: while the pass runs, Cancel is the editor's own.
  if (showingToolbar_ == kResize) setToolbarNormal();
  const Rect bounds = view()->bounds();
  activity_->setFrame(Rect(bounds.size.width / 2 - 18, bounds.size.height / 2 * 0.33, 37, 37));
  view()->addSubview(activity_);
  activity_->startAnimating();
  std::weak_ptr<ImageEditorView> weak = sharedAs<ImageEditorView>();
  auto source = image_;
  const std::string workingCopy = workingCopy_;
  // A counted worker: a process that ends waits for a pass still running before its static
  // objects (the main run loop the result is posted to among them) are destroyed.
  platform::startThread(
      "image-edit-pass",
      [weak, source, workingCopy, work = std::move(work), after = std::move(after)] {
        setMarker(true, static_cast<long long>(source->pixelWidth()) * source->pixelHeight() * 4);
        {
          std::function<void()> hook;
          {
            std::lock_guard lock(hookMutex);
            hook = workHook;
          }
          if (hook) hook();
        }
        auto result = work(source);
        // The new picture is shown at once; its working copy is written here, off the screen's
        // thread, and only then is the pass over for the start-up check. An editor closed
        // meanwhile takes nothing: the result is dropped.
        if (result)
          RunLoop::main()->perform([weak, result] {
            if (auto self = weak.lock()) self->setImage(result);
          });
        if (result && !weak.expired()) resaveImage(*result, workingCopy);
        setMarker(false, 0);
        RunLoop::main()->perform([weak, after] {
          auto self = weak.lock();
          if (!self) return;
          self->working_ = false;
          self->activity_->stopAnimating();
          self->activity_->removeFromSuperview();
          after();
        });
      },
      false);
}

// --- Crop --------------------------------------------------------------------------------------

void ImageEditorView::setToolbarCropping() {
  std::weak_ptr<ImageEditorView> weak = sharedAs<ImageEditorView>();
  auto cropNow =
      BarButtonItem::titled("Crop To Rect", BarButtonItemStyle::Done, [weak](BarButtonItem &) {
        if (auto s = weak.lock()) s->clickCropNow();
      });
  auto cancelCrop =
      BarButtonItem::titled("Cancel", BarButtonItemStyle::Bordered, [weak](BarButtonItem &) {
        if (auto s = weak.lock()) s->clickCropCancel();
      });
  if (Hardware::isiPad()) {
    makeiPadTitle(kCropping);
    auto items = padLeadingItems();
    items.push_back(BarButtonItem::withCustomView(titleVw_));
    items.push_back(BarButtonItem::flexibleSpace());
    items.push_back(cropNow);
    items.push_back(cancelCrop);
    toolbar_->setItems(items);
  } else {
    toolbar_->setItems({BarButtonItem::flexibleSpace(), cropNow});
    navigationItem().setLeftBarButtonItem(cancelCrop, true);
    navigationItem().setRightBarButtonItem(nullptr, true);
  }
  editClippingRect_ = true;
  showingToolbar_ = kCropping;
}

void ImageEditorView::clickCrop() {
  if (working_ || popoverVisible()) return;
  const Rect bounds = view()->bounds();
  setToolbarCropping();
  const Rect area = pictureArea();
  if (!overlay_) overlay_ = std::make_shared<ImageViewThumb>();
  overlay_->setFrame(area);
  overlay_->setAccessibilityLabel("Crop Area");
  if (!haveClippingRect_) {
    // Cropping again starts from the last rectangle.
    clippingRect_ = Rect(0.2 * bounds.size.width, 0.2 * bounds.size.height, 0.6 * bounds.size.width,
                         0.6 * bounds.size.height);
    haveClippingRect_ = true;
  }
  theImage_->removeFromSuperview();
  if (scrollView_) scrollView_->removeFromSuperview();
  scrollView_.reset();
  theImage_->setFrame(area);
  view()->addSubview(theImage_);
  view()->addSubview(overlay_);
  updateClippingArea();
}

void ImageEditorView::updateClippingArea() {
  if (!overlay_) return;
  const Rect area = overlay_->frame();
  auto context =
      BitmapContext::create(std::max(1, int(area.size.width)), std::max(1, int(area.size.height)));
  if (!context) return;
  const Rect2 r{clippingRect_.origin.x, clippingRect_.origin.y, clippingRect_.size.width,
                clippingRect_.size.height};
  context->setStrokeColor({1, 1, 1, 1});
  context->setLineWidth(3);
  context->strokeRect(r);
  context->setStrokeColor({0, 0, 0, 1});
  context->setLineWidth(1);
  context->strokeRect(r);
  // A handle on each corner and on the centre, where a finger takes the rectangle.
  if (auto handle = ImageRegistry::shared().imageNamed("resize-square.png")) {
    const Point points[] = {{r.x, r.y},
                            {r.x + r.width, r.y},
                            {r.x, r.y + r.height},
                            {r.x + r.width, r.y + r.height},
                            {r.x + r.width / 2, r.y + r.height / 2}};
    for (const Point &p : points)
      context->drawImage(*handle, Rect2{p.x - 12, p.y - 12, 25, 25});
  }
  const std::string name = imageName_ + "-overlay";
  ImageRegistry::shared().registerImage(name, context->makeImage());
  overlay_->setImageName("");
  overlay_->setImageName(name);
}

void ImageEditorView::touchDown(Point p) {
  if (!editClippingRect_) return;
  const Rect &r = clippingRect_;
  const Point points[] = {{r.origin.x, r.origin.y},
                          {r.origin.x + r.size.width, r.origin.y},
                          {r.origin.x, r.origin.y + r.size.height},
                          {r.origin.x + r.size.width, r.origin.y + r.size.height},
                          {r.origin.x + r.size.width / 2, r.origin.y + r.size.height / 2}};
  bool *flags[] = {&dragTopLeft_, &dragTopRight_, &dragBottomLeft_, &dragBottomRight_,
                   &moveClippingRect_};
  for (size_t i = 0; i < 5; ++i) {
    const double dx = p.x - points[i].x, dy = p.y - points[i].y;
    if (dx * dx + dy * dy < 576) {
      *flags[i] = true;
      break;
    }
  }
  updateClippingArea();
}

void ImageEditorView::touchMoved(Point previous, Point current) {
  if (!editClippingRect_) return;
  const double dx = current.x - previous.x, dy = current.y - previous.y;
  Rect &r = clippingRect_;
  if (moveClippingRect_) {
    r.origin = Point{current.x - r.size.width / 2, current.y - r.size.height / 2};
  } else if (dragTopLeft_ || dragTopRight_ || dragBottomLeft_ || dragBottomRight_) {
    const bool left = dragTopLeft_ || dragBottomLeft_, top = dragTopLeft_ || dragTopRight_;
    const double w = r.size.width + (left ? -dx : dx), h = r.size.height + (top ? -dy : dy);
    if (w > 30 && h > 30) {
      if (left) r.origin.x += dx;
      if (top) r.origin.y += dy;
      r.size = Size{w, h};
    } else {
      stopResizing();
    }
  }
  updateClippingArea();
}

void ImageEditorView::touchEnded() {
  stopResizing();
}

void ImageEditorView::stopResizing() {
  dragTopLeft_ = dragTopRight_ = dragBottomLeft_ = dragBottomRight_ = moveClippingRect_ = false;
}

void ImageEditorView::clickCropNow() {
  if (!editClippingRect_ || !overlay_) return;
  // The rectangle in which the picture is shown, aspect-fit in the overlay.
  const Rect area = overlay_->frame();
  const double pw = image_->pixelWidth(), ph = image_->pixelHeight();
  const double f = std::min(area.size.width / pw, area.size.height / ph);
  const double shownW = pw * f, shownH = ph * f;
  const double ox = (area.size.width - shownW) / 2, oy = (area.size.height - shownH) / 2;
  // Only the part of the rectangle over the picture is kept.
  const double x0 = std::clamp((clippingRect_.origin.x - ox) / f, 0.0, pw);
  const double y0 = std::clamp((clippingRect_.origin.y - oy) / f, 0.0, ph);
  const double x1 =
      std::clamp((clippingRect_.origin.x + clippingRect_.size.width - ox) / f, 0.0, pw);
  const double y1 =
      std::clamp((clippingRect_.origin.y + clippingRect_.size.height - oy) / f, 0.0, ph);
  const int x = int(x0), y = int(y0), w = int(x1) - x, h = int(y1) - y;
  if (w < 1 || h < 1) {
    alert("Crop", "The rectangle does not cover the picture.");
    return;
  }
  std::weak_ptr<ImageEditorView> weak = sharedAs<ImageEditorView>();
  runPass(
      [x, y, w, h](std::shared_ptr<Image> source) -> std::shared_ptr<Image> {
        auto context = BitmapContext::create(w, h);
        if (!context) return nullptr;
        context->drawImage(*source, Rect2{double(-x), double(-y), double(source->pixelWidth()),
                                          double(source->pixelHeight())});
        return context->makeImage();
      },
      [weak] {
        if (auto s = weak.lock()) s->clickCropCancel();
      });
}

void ImageEditorView::clickCropCancel() {
  if (overlay_) overlay_->removeFromSuperview();
  theImage_->removeFromSuperview();
  setToolbarNormal();
  makeScrollView();
}

// --- Resize ------------------------------------------------------------------------------------

void ImageEditorView::clickResize() {
  if (working_ || popoverVisible()) return;
  setToolbarResize();
}

void ImageEditorView::setToolbarResize() {
  std::weak_ptr<ImageEditorView> weak = sharedAs<ImageEditorView>();
  resizeSlider_ = std::make_shared<Slider>(Rect(0, 0, 200, 40));
  resizeSlider_->setAccessibilityLabel("Resize Slider");
  resizeSlider_->setValue(1.0);
  resizeSlider_->addTarget(ControlEvent::ValueChanged, [weak](Control &) {
    if (auto s = weak.lock()) s->changedResizeSlider();
  });
  auto field = [&](Rect frame, const char *placeholder, ReturnKeyType key, int value) {
    auto f = std::make_shared<TextField>(frame);
    f->setPlaceholder(placeholder);
    f->setAccessibilityLabel(placeholder);
    f->setBorderStyle(TextBorderStyle::RoundedRect);
    f->setKeyboardType(KeyboardType::NumbersAndPunctuation);
    f->setReturnKeyType(key);
    f->setText(std::to_string(value));
    f->setDelegate(std::static_pointer_cast<TextFieldDelegate>(sharedAs<ImageEditorView>()));
    return f;
  };
  // Each label beside its field, in the bar's title colours.
  enterResizeWidth_ =
      field(Rect(40, 0, 70, 31), "Width", ReturnKeyType::Next, image_->pixelWidth());
  enterResizeHeight_ =
      field(Rect(160, 0, 70, 31), "Height", ReturnKeyType::Done, image_->pixelHeight());
  const Rect heightFrame = enterResizeHeight_->frame();
  auto holder =
      std::make_shared<View>(Rect(0, 0, heightFrame.origin.x + heightFrame.size.width, 31));
  holder->setAccessibilityLabel("New Size");
  holder->setBackgroundColor(Color::clearColor());
  for (auto &[text, x] : {std::pair<const char *, double>{"Width", 0}, {"Height", 120}}) {
    auto label = std::make_shared<Label>(Rect(x, 0, 38, 31));
    label->setText(text);
    label->setTextColor(navigationTitleColor());
    label->setShadowColor(navigationTitleHighlightColor());
    label->setShadowOffset(Size{0, 1});
    label->setTextAlignment(TextAlignment::Center);
    label->setBackgroundColor(Color::clearColor());
    label->setFont(Font::boldSystem(12));
    label->setMinimumFontSize(6);
    label->setAdjustsFontSizeToFitWidth(true);
    holder->addSubview(label);
    holder->addSubview(x == 0 ? enterResizeWidth_ : enterResizeHeight_);
  }
  auto resizeNow =
      BarButtonItem::titled("Resize", BarButtonItemStyle::Done, [weak](BarButtonItem &) {
        if (auto s = weak.lock()) s->clickResizeToNewSize();
      });
  auto cancelResize =
      BarButtonItem::titled("Cancel", BarButtonItemStyle::Bordered, [weak](BarButtonItem &) {
        if (auto s = weak.lock()) s->clickCropCancel();
      });
  if (Hardware::isiPad()) {
    // In a narrow pane the sizes, a shorter slider, Resize and Cancel take the whole bar (Cancel
    // is the way back to the picture's bar and its Close).
    const double width = view()->bounds().size.width;
    const bool narrow = width < 600;
    auto items = narrow ? std::vector<std::shared_ptr<BarButtonItem>>{BarButtonItem::fixedSpace(7)}
                        : padLeadingItems();
    resizeSlider_->setFrame(Rect(0, 0, narrow ? std::clamp(width - 400, 60.0, 200.0) : 200, 40));
    items.push_back(BarButtonItem::withCustomView(holder));
    items.push_back(BarButtonItem::withCustomView(resizeSlider_));
    items.push_back(BarButtonItem::fixedSpace(8));
    items.push_back(resizeNow);
    items.push_back(cancelResize);
    toolbar_->setItems(items);
  } else {
    toolbar_->setItems(
        {BarButtonItem::withCustomView(resizeSlider_), BarButtonItem::flexibleSpace(), resizeNow});
    setTitle("");
    navigationItem().setLeftBarButtonItem(cancelResize, true);
    navigationItem().setRightBarButtonItem(BarButtonItem::withCustomView(holder), true);
  }
  showingToolbar_ = kResize;
}

void ImageEditorView::changedResizeSlider() {
  const double v = resizeSlider_->value();
  const double W = image_->pixelWidth(), H = image_->pixelHeight();
  long long width = 10 * static_cast<long long>(std::floor(W * v / 10));
  long long height = static_cast<long long>(H * (double(width) / W));
  if (width < 100) {
    width = static_cast<long long>(W * v);
    height = static_cast<long long>(H * v);
  }
  enterResizeWidth_->setText(std::to_string(width));
  enterResizeHeight_->setText(std::to_string(height));
}

bool ImageEditorView::shouldChangeCharactersInRange(TextField &, Range, const std::string &text) {
  return text.empty() || std::string("0123456789").find(text) != std::string::npos;
}

bool ImageEditorView::textFieldShouldReturn(TextField &field) {
  if (&field == enterResizeWidth_.get()) {
    field.resignFirstResponder();
    enterResizeHeight_->becomeFirstResponder();
    const long long typed = std::atoll(field.text().c_str());
    enterResizeHeight_->setText(std::to_string(
        wholePixels(image_->pixelHeight() * (double(typed) / image_->pixelWidth()))));
    return false;
  }
  field.resignFirstResponder();
  return true;
}

void ImageEditorView::clickResizeToNewSize() {
  if (!enterResizeWidth_ || !enterResizeHeight_) return;
  enterResizeWidth_->resignFirstResponder();
  enterResizeHeight_->resignFirstResponder();
  // Each field counts on its own: a change of one side alone is a resize too.
  const auto typedW = typedPictureSide(enterResizeWidth_->text());
  const auto typedH = typedPictureSide(enterResizeHeight_->text());
  if (!typedW || !typedH) {
    alert(kPictureSizeAlertTitle, pictureSizeAlertMessage());
    return;
  }
  // The picture's own size too is a pass (the picture is drawn again at it, and counts as edited).
  const int w = *typedW, h = *typedH;
  std::weak_ptr<ImageEditorView> weak = sharedAs<ImageEditorView>();
  runPass(
      [w, h](std::shared_ptr<Image> source) -> std::shared_ptr<Image> {
        auto context = BitmapContext::create(int(w), int(h));
        if (!context) return nullptr;
        context->drawImage(*source, Rect2{0, 0, double(w), double(h)});
        return context->makeImage();
      },
      [weak] {
        if (auto s = weak.lock()) {
          s->setToolbarNormal();
          s->makeScrollView();
        }
      });
}

void ImageEditorView::clickSave() {
  if (working_ || popoverVisible()) return;
  backButtonTitledBack();
  std::string name = std::filesystem::path(originalFilePath_).filename().string();
  if (const size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0)
    name = name.substr(0, dot);
  settings().setObject(name, "ImgSave-FileName");
  settings().synchronize();
  settings_ = std::make_shared<SettingsManagerView>("SettingsManagerModalView");
  settings_->titleMsg = Hardware::isiPad() ? "Save Image" : "Save";
  settings_->doneBtnTitle = "Save to \"Saved Files\"";
  if (Hardware::isiPad()) {
    settingRowWidth = 480;
    settingPopoverHeight = 240;
  }
  settingLabelWidth = 100;
  settings_->addSection("Save To");
  settings_->addSetting(SettingsItem::settingTextNamed("File Name", "ImgSave-FileName"));
  settings_->addSetting(
      SettingsItem::settingListNamed("Format", {"JPG", "PNG"}, true, "ImgSave-Format"));
  std::weak_ptr<ImageEditorView> weak = sharedAs<ImageEditorView>();
  settings_->whenDoneTarget([weak](SettingsManagerView &) {
    if (auto s = weak.lock()) s->doSaveImage();
  });
  // Done comes back here first: a save that fails keeps the editor, and its edits, open.
  settings_->vcParentDone = weak;
  settings_->vcParentCancel = weak;
  showDialog(saveItem_);
}

// --- Captions, labels and the date -------------------------------------------------------------

void ImageEditorView::clickText() {
  if (working_ || popoverVisible()) return;
  backButtonTitledBack();
  settings_ = std::make_shared<SettingsManagerView>("SettingsManagerModalView");
  settings_->titleMsg = "Captions";
  settings_->doneBtnTitle = "Add Caption";
  if (Hardware::isiPad()) settingRowWidth = 480;
  settingLabelWidth = 100;
  settings_->addSection("Main Caption");
  settings_->addSetting(SettingsItem::settingTextNamed("Caption", "ImgEdit-Caption"));
  settings_->addSetting(SettingsItem::settingListNamed("Location", {"Bottom", "Top"}, true,
                                                       "ImgEdit-CaptionLocation"));
  settings_->addSection("Labels (Copyright, Credits, etc.)");
  settings_->addSetting(SettingsItem::settingTextNamed("Line 1", "ImgEdit-Copyright"));
  settings_->addSetting(SettingsItem::settingTextNamed("Line 2", "ImgEdit-Credit"));
  settings_->addSetting(SettingsItem::settingListNamed(
      "Show Date", {"None", "Date & Time", "Date Only"}, true, "ImgEdit-Date"));
  std::weak_ptr<ImageEditorView> weak = sharedAs<ImageEditorView>();
  settings_->whenDoneTarget([weak](SettingsManagerView &) {
    if (auto s = weak.lock()) s->doDrawText();
  });
  showDialog(fontsItem_);
}

void ImageEditorView::doDrawText() {
  if (working_ || !image_) return;
  setMarker(true, static_cast<long long>(image_->pixelWidth()) * image_->pixelHeight() * 4);
  didEditImage_ = true;
  // Captions are never committed: a second pass starts again from the working copy.
  if (alreadyDidCaptions_) reloadImage();
  alreadyDidCaptions_ = true;
  const double W = image_->pixelWidth(), H = image_->pixelHeight();
  auto context = BitmapContext::create(int(W), int(H));
  if (!context) {
    setMarker(false, 0);
    return;
  }
  context->drawImage(*image_, Rect2{0, 0, W, H});
  const std::string caption = settings().stringForKey("ImgEdit-Caption").value_or("");
  const std::string credit = settings().stringForKey("ImgEdit-Credit").value_or("");
  const std::string copyright = settings().stringForKey("ImgEdit-Copyright").value_or("");
  std::string date;
  const long dateKind = settings().integerForKey("ImgEdit-Date");
  if (imageDate_ && dateKind == 1 && dateOutputFormat)
    date = dateOutputFormat->stringFromDate(*imageDate_);
  else if (imageDate_ && dateKind == 2 && dateFormatDateOnly)
    date = dateFormatDateOnly->stringFromDate(*imageDate_);

  using media::FontSpec;
  using media::LineBreak;
  const double base = 0.075 * H;
  double cw = 0, fc = 0;
  if (!caption.empty()) {
    const auto m =
        media::measureText(caption, FontSpec{"", base}, 0.9 * W, 20, LineBreak::TruncateTail);
    cw = m.width, fc = m.actualFontSize;
  }
  const double lh = fc > 0 ? media::measureText("MŌjgqQ", FontSpec{"", fc}).height : 0;
  if (fc == 0) fc = 80;
  const double fl = std::clamp(fc / 5, 9.0, 24.0);
  struct LabelText {
    const std::string &text;
    double width = 0, height = 0, size = 0;
  } labels[] = {{credit}, {copyright}, {date}};
  double labelH = 0, labelW = 0;
  for (auto &l : labels) {
    if (l.text.empty()) continue; // an empty line counts as nothing
    const auto m =
        media::measureText(l.text, FontSpec{"", fl}, 0.9 * W, 6, LineBreak::TruncateTail);
    l.width = m.width, l.height = m.height, l.size = m.actualFontSize;
    labelH = std::max(labelH, l.height);
    labelW = std::max(labelW, l.width);
  }
  const double labelX = 0.99 * W - (labelW + 5);
  double r = 0;
  if (0.5 * W + (cw + 0.05 * W) * 0.5 > labelX) {
    // The caption would run into the label column: it gets the room left of it.
    r = W - labelX;
    if (!caption.empty()) {
      const auto m = media::measureText(caption, FontSpec{"", base}, std::max(1.0, 0.9 * W - r), 16,
                                        LineBreak::TruncateTail);
      cw = m.width, fc = m.actualFontSize;
    }
  }
  const double labelsHeight = (labels[0].height + labels[1].height + labels[2].height) * 1.05;
  const double rowH = std::max(labelsHeight, lh);
  double captionY, bandTop, labelsTop;
  if (settings().integerForKey("ImgEdit-CaptionLocation") == 0) {
    captionY = H - 1.05 * rowH;
    bandTop = H - 1.1 * rowH;
    labelsTop = H - labelsHeight;
  } else {
    captionY = 0.05 * rowH;
    bandTop = 0;
    labelsTop = captionY;
  }
  const double bandH = 1.1 * rowH;
  context->setBlendMode(media::BlendMode::Normal);
  context->setFillColor({0, 0, 0, 0.5});
  if (caption.empty())
    context->fillRect(Rect2{labelX - 25, labelsTop - 5, W, labelH * 3 * 1.25 + 10});
  else
    context->fillRect(Rect2{0, bandTop, W, bandH});
  if (!caption.empty()) {
    context->setFillColor({1, 1, 1, 0.9});
    context->drawTextInRect(caption, Rect2{0.05 * W, captionY, std::max(1.0, 0.9 * W - r), bandH},
                            FontSpec{"", fc}, LineBreak::TruncateTail, media::TextAlign::Center);
  }
  context->setFillColor({1, 1, 1, 1});
  // The lines keep their places when a line above them is empty.
  const LabelText *order[] = {&labels[1], &labels[0], &labels[2]}; // copyright, credit, date
  for (int i = 0; i < 3; ++i) {
    if (order[i]->text.empty()) continue;
    context->drawTextInRect(
        order[i]->text, Rect2{labelX, labelsTop + i * 1.05 * labelH, labelW, labelH},
        FontSpec{"", order[i]->size}, LineBreak::TruncateTail, media::TextAlign::Left);
  }
  setImage(context->makeImage());
  setMarker(false, 0);
}

// --- Watermark ---------------------------------------------------------------------------------

void ImageEditorView::clickWatermark() {
  if (working_ || popoverVisible()) return;
  const std::string folder = Paths::documents() + "/Files";
  const std::string logoPath = folder + "/my-logo.png", markPath = folder + "/my-watermark.png";
  if (!FileManager::fileExists(logoPath) && !FileManager::fileExists(markPath)) {
    auto help = appDelegateServices().makeHelpViewController("HelpView", "Watermark Help",
                                                             kWatermarkHelpURL);
    if (!help) return;
    if (Hardware::isiPad()) {
      popover_ = std::make_shared<PopoverController>(help);
      popover_->setPopoverContentSize(Size{320, 480});
      // It knows its popover before its page starts loading, so that its spinner shows there.
      appDelegateServices().setHelpPopoverParent(help, popover_);
      popover_->presentPopoverFromBarButtonItem(watermarkItem_, ArrowAny, true);
    } else if (auto nav = navigationController()) {
      backButtonTitledBack();
      nav->pushViewController(help, true);
    }
    return;
  }
  runPass(
      [logoPath, markPath](std::shared_ptr<Image> source) -> std::shared_ptr<Image> {
        const double W = source->pixelWidth(), H = source->pixelHeight();
        auto context = BitmapContext::create(int(W), int(H));
        if (!context) return nullptr;
        context->drawImage(*source, Rect2{0, 0, W, H});
        // Either picture may be missing or no picture at all: it is then left out.
        if (auto logo = Image::imageWithContentsOfFile(logoPath)) {
          const double lw = logo->size().width, lh = logo->size().height;
          const double L = std::max(lw, lh), M = std::max(W, H);
          const double dw = lw / L * 0.15 * M, dh = lh / L * 0.15 * M;
          context->drawImage(*logo, Rect2{0, H - dh, dw, dh});
        }
        if (auto mark = Image::imageWithContentsOfFile(markPath))
          context->drawImage(*mark, Rect2{0, 0, W, H});
        return context->makeImage();
      },
      [] {});
}

// --- Save and cancel ---------------------------------------------------------------------------

bool ImageEditorView::doSaveImage() {
  std::string name = settings().stringForKey("ImgSave-FileName").value_or("");
  const int format = static_cast<int>(settings().integerForKey("ImgSave-Format"));
  // The typed name must name a file of Saved Files itself.
  if (name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos || std::any_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
      })) {
    alert("Save Failed", "\"" + name + "\" cannot be used as a file name.");
    return false;
  }
  // The suffix test is exact: "photo.JPG" saved as JPG becomes "photo.JPG.jpg".
  if (format == 1) {
    if (!name.ends_with(".png")) name += ".png";
  } else if (!name.ends_with(".jpg") && !name.ends_with(".jpeg") && !name.ends_with(".jpe")) {
    name += ".jpg";
  }
  std::vector<uint8_t> data;
  data = format == 1 ? image_->pngRepresentation() : image_->jpegRepresentation(0.975);
  const std::string folder = Paths::documents() + "/Files";
  FileStatus written;
  if (!data.empty()) {
    written = FileManager::createDirectory(folder, true);
    if (written) written = FileManager::writeAtomically(folder + "/" + name, data);
  }
  if (data.empty() || !written) {
    // The edits are kept: the editor stays open for another try. A failed write says why (a
    // full disk, say).
    alert("Save Failed", "\"" + name + "\" could not be written to Saved Files" +
                             (written ? std::string() : ": " + written.error()) + ".");
    return false;
  }
  // Saved Files may be on screen beside the editor (the tablet): it lists the new file at once.
  LocalFolderViewController::fileWritten(folder + "/" + name);
  close();
  return true;
}

void ImageEditorView::clickCancel() {
  if (!didEditImage_) {
    close();
    return;
  }
  confirmCancel_ = std::make_shared<AlertView>(
      "Cancel Editing?", "Cancel editing the image and discard all changes?",
      std::static_pointer_cast<AlertViewDelegate>(sharedAs<ImageEditorView>()), "No",
      std::vector<std::string>{"Yes, Discard"});
  confirmCancel_->show();
}

void ImageEditorView::clickedButtonAtIndex(AlertView &alert, int index) {
  if (&alert != confirmCancel_.get()) return;
  confirmCancel_.reset();
  if (index == 1) close();
}

void ImageEditorView::close() {
  if (popoverVisible()) popover_->dismissPopoverAnimated(false);
  auto self = sharedAs<ImageEditorView>();
  if (Hardware::isiPad() && LocalFilesServices::shared().cancelFileViewTab(self)) return;
  if (auto nav = navigationController()) {
    const auto &stack = nav->viewControllers();
    for (size_t i = 1; i < stack.size(); ++i)
      if (stack[i].get() == this) {
        nav->popToViewController(*stack[i - 1], true);
        return;
      }
  }
}
