#include "app/remote/UploadPictureView.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>

#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/Globals.h"
#include "app/foundation/ImageScaling.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/foundation/TextPromptViewer.h"
#include "app/ftp/FTPServices.h"
#include "app/queue/BatchListView.h"
#include "app/remote/DirViewer.h"
#include "platform/device/Application.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/BitmapContext.h"
#include "platform/media/Image.h"

using namespace platform;
using namespace platform::ui;
using platform::media::Image;

namespace {

UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

std::string lastExtension(const std::string &name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : lowercase(name.substr(dot + 1));
}

// The name with the extension its file type needs: ".png" for PNG unless it ends so, ".jpg" for
// JPEG unless it ends in one of JPEG's own (either compared without regard to case).
std::string completedName(const std::string &name, bool png) {
  const std::string ext = lastExtension(name);
  if (png) return ext == "png" ? name : name + ".png";
  return ext == "jpg" || ext == "jpeg" || ext == "jpe" ? name : name + ".jpg";
}

// A typed number as it stands (however long), so that a huge one is not wrapped into a small one.
long long numberOf(const std::string &text) {
  return std::atoll(text.c_str());
}

} // namespace

// --- The naming screen -------------------------------------------------------------------------

UploadPictureView::UploadPictureView(const std::string &nibName, Callback targetDone)
    : ViewController(nibName), targetDone_(std::move(targetDone)) {}

void UploadPictureView::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 416));
  label = std::make_shared<Label>(Rect(20, 20, 280, 21));
  label->setText("File Name:");
  filename = std::make_shared<TextField>(Rect(20, 45, 280, 31));
  filename->setAccessibilityLabel("File Name");
  labelSize = std::make_shared<Label>(Rect(20, 90, 280, 21));
  labelSize->setText("Resize (optional):");
  width = std::make_shared<TextField>(Rect(20, 115, 100, 31));
  width->setAccessibilityLabel("Width");
  height = std::make_shared<TextField>(Rect(140, 115, 100, 31));
  height->setAccessibilityLabel("Height");
  aspect = std::make_shared<Switch>(Rect(250, 117, 60, 27));
  aspect->setAccessibilityLabel("Keep Aspect");
  aspect->setOn(true);
  labelFileType = std::make_shared<Label>(Rect(20, 165, 120, 21));
  labelFileType->setText("File Type:");
  segmentFileType = std::make_shared<SegmentedControl>(std::vector<std::string>{"JPEG", "PNG"});
  segmentFileType->setFrame(Rect(150, 160, 150, 30));
  segmentFileType->setAccessibilityLabel("File Type");
  for (auto &f : {filename, width, height})
    f->setBorderStyle(TextBorderStyle::RoundedRect);
  for (auto v : std::vector<std::shared_ptr<View>>{label, filename, labelSize, width, height,
                                                   aspect, labelFileType, segmentFileType})
    root->addSubview(v);
  setView(root);
}

void UploadPictureView::viewDidLoad() {
  auto self = sharedAs<UploadPictureView>();
  std::weak_ptr<UploadPictureView> weak = self;
  view()->setBackgroundColor(myBackgroundColor());
  setTitle("Upload Picture");
  navigationItem().setTitle("Upload Picture");
  filename->setText(originalFilename);
  filename->setFont(myTextInputFont);
  filename->setClearButtonMode(TextFieldViewMode::WhileEditing);
  width->setClearButtonMode(TextFieldViewMode::WhileEditing);
  height->setClearButtonMode(TextFieldViewMode::WhileEditing);
  width->setPlaceholder(std::to_string(wIn) + " w");
  height->setPlaceholder(std::to_string(hIn) + " h");
  for (auto &f : {filename, width, height})
    f->setDelegate(std::static_pointer_cast<TextFieldDelegate>(self));
  width->setKeyboardType(KeyboardType::NumberPad);
  height->setKeyboardType(KeyboardType::NumberPad);
  width->addTarget(EditingChanged, [weak](Control &) {
    if (auto s = weak.lock()) s->changeWidth();
  });
  height->addTarget(EditingChanged, [weak](Control &) {
    if (auto s = weak.lock()) s->changeHeight();
  });
  segmentFileType->setSelectedSegmentIndex(
      settings().integerForKey(kUploadImageFileTypeKey) == 1 ? 1 : 0);
  auto done = BarButtonItem::systemItem(BarButtonSystemItem::Done, [weak](BarButtonItem &) {
    if (auto s = weak.lock()) s->clickSave();
  });
  done->setAccessibilityLabel("Done");
  navigationItem().setRightBarButtonItem(done);
  auto cancel = BarButtonItem::systemItem(BarButtonSystemItem::Cancel, [weak](BarButtonItem &) {
    if (auto s = weak.lock()) s->clickCancel();
  });
  cancel->setAccessibilityLabel("Cancel");
  navigationItem().setLeftBarButtonItem(cancel);
  appDelegateServices().viewUsesMyScroller(false);
  filename->becomeFirstResponder();
}

void UploadPictureView::changeWidth() {
  if (!aspect->isOn()) return;
  const long long w = numberOf(width->text());
  if (w == 0 || wIn == 0) {
    height->setText("");
    return;
  }
  const float h = float(hIn) * (1.0f / (float(wIn) / float(w)));
  height->setText(std::to_string(wholePixels(h)));
}

void UploadPictureView::changeHeight() {
  if (!aspect->isOn()) return;
  const long long h = numberOf(height->text());
  if (h == 0 || hIn == 0) {
    width->setText("");
    return;
  }
  const float w = float(wIn) * (1.0f / (float(hIn) / float(h)));
  width->setText(std::to_string(wholePixels(w)));
}

void UploadPictureView::alert(const std::string &title, const std::string &message) {
  std::make_shared<AlertView>(title, message, std::weak_ptr<AlertViewDelegate>(), "OK")->show();
}

bool UploadPictureView::verifyData() {
  std::string name = filename->text();
  if (name.empty()) {
    alert("No Name Entered", "Please enter a file name.");
    return false;
  }
  const bool haveW = !width->text().empty(), haveH = !height->text().empty();
  if (haveW != haveH) {
    alert("Need Width & Height", "To resize, you must enter both the Width and Height.");
    return false;
  }
  // A new size is bounded as in the image editor, with its alert.
  if (haveW && (!typedPictureSide(width->text()) || !typedPictureSide(height->text()))) {
    alert(kPictureSizeAlertTitle, pictureSizeAlertMessage());
    return false;
  }
  const bool png = segmentFileType->selectedSegmentIndex() == 1;
  name = completedName(name, png);
  // The name becomes a file of the temporary folder and of the server's folder: one name, no
  // path.
  std::string why;
  if (!isSingleFileName(name, &why)) {
    alert("File Name Error", "That name cannot be used: " + why);
    return false;
  }
  settings().setObject(png ? "1" : "0", kUploadImageFileTypeKey);
  settings().synchronize();
  filename->setText(name);
  return !filenameAlreadyInUse(name);
}

bool UploadPictureView::filenameAlreadyInUse(const std::string &name) {
  for (const auto &e : currentDirectory)
    if (e && e->name() == name) {
      nameExistsAlert_ = std::make_shared<AlertView>(
          "File Name Error", "A file with that name already exists in the folder.",
          std::static_pointer_cast<AlertViewDelegate>(sharedAs<UploadPictureView>()), "Cancel",
          std::vector<std::string>{"Overwrite"});
      nameExistsAlert_->show();
      return true;
    }
  return false;
}

void UploadPictureView::clickedButtonAtIndex(AlertView &alertView, int index) {
  if (&alertView != nameExistsAlert_.get()) return;
  nameExistsAlert_.reset();
  if (index == 1) tellTargetAndClose();
}

void UploadPictureView::tellTargetAndClose() {
  auto self = sharedAs<UploadPictureView>(); // the stack lets go of the screen
  auto spinner = std::make_shared<ActivityIndicatorView>(ActivityIndicatorStyle::White);
  spinner->startAnimating();
  navigationItem().setRightBarButtonItem(BarButtonItem::withCustomView(spinner));
  if (targetDone_) {
    auto target = std::move(targetDone_);
    targetDone_ = nullptr; // told once
    target(*this);
  }
  if (auto nav = navigationController()) nav->popViewControllerAnimated(true);
}

void UploadPictureView::clickSave() {
  if (verifyData()) tellTargetAndClose();
}

void UploadPictureView::clickCancel() {
  targetDone_ = nullptr;
  if (auto nav = navigationController()) nav->popViewControllerAnimated(true);
}

bool UploadPictureView::textFieldShouldReturn(TextField &field) {
  if (!verifyData()) return false;
  if (&field == filename.get()) {
    field.resignFirstResponder();
    tellTargetAndClose();
  }
  return true;
}

// --- The errand --------------------------------------------------------------------------------

PictureUpload::PictureUpload(std::weak_ptr<DirViewer> screen) : screen_(std::move(screen)) {}

void PictureUpload::start() {
  auto screen = screen_.lock();
  if (!screen) return;
  auto source = CloudMediaSource::shared();
  if (source && source->hasCamera()) {
    menuPictureFrom_ = std::make_shared<ActionSheet>(
        screen->hasVideoMedia ? "Picture/Video Uploading" : "Import Picture",
        std::weak_ptr<ActionSheetDelegate>(shared_from_this()), "Cancel", "",
        std::vector<std::string>{"Select from Library", "Use Camera"});
    if (Hardware::isiPad() && screen->moreBtn)
      menuPictureFrom_->showFromBarButtonItem(screen->moreBtn, true);
    else if (auto tabs = screen->tabBarController())
      menuPictureFrom_->showFromTabBar(tabs->tabBar());
    else
      menuPictureFrom_->showInView(screen->view());
  } else if (source && source->hasLibrary()) {
    openPicker(false);
  } else {
    std::make_shared<AlertView>("Photo Error", "No camera or photo library was found!",
                                std::weak_ptr<AlertViewDelegate>(), "OK")
        ->show();
  }
}

void PictureUpload::clickedButtonAtIndex(ActionSheet &sheet, int index) {
  if (&sheet != menuPictureFrom_.get()) return;
  menuPictureFrom_.reset();
  if (index == 0 || index == 1) openPicker(index == 1);
}

void PictureUpload::openPicker(bool camera) {
  auto source = CloudMediaSource::shared();
  if (!source) return;
  const int quality =
      settings().objectForKey("VideoQuality") ? settings().integerForKey("VideoQuality") : -1;
  std::weak_ptr<PictureUpload> weak = shared_from_this();
  auto screen = screen_.lock();
  picturePopover_ =
      source->pick(camera, quality >= 0 && quality <= 2 ? quality : -1,
                   screen ? screen->moreBtn : nullptr, [weak](std::optional<PickedMedia> media) {
                     if (auto s = weak.lock()) s->picked(std::move(media));
                   });
}

bool PictureUpload::showing() const {
  return (menuPictureFrom_ && menuPictureFrom_->isVisible()) ||
         (picturePopover_ && picturePopover_->isPopoverVisible());
}

std::string PictureUpload::tempFolder() {
  // Each upload gets a folder of its own: a later one of the same name never replaces a file the
  // queue has not sent yet.
  const std::string tmp = globalTempPath.empty() ? Paths::tmp() : globalTempPath;
  FileManager::createDirectory(tmp, true);
  std::string folder = tmp + "/upload-XXXXXX";
  return ::mkdtemp(folder.data()) ? folder : std::string();
}

void PictureUpload::picked(std::optional<PickedMedia> media) {
  auto screen = screen_.lock();
  if (!media || !screen) return;
  std::weak_ptr<PictureUpload> weak = shared_from_this();
  if (media->isMovie) {
    std::string proposed;
    videoFileToUpload.clear();
    if (!media->moviePath.empty()) {
      proposed = std::filesystem::path(media->moviePath).filename().string();
      const std::string folder = tempFolder();
      if (!folder.empty() && isSingleFileName(proposed)) {
        videoFileToUpload = folder + "/" + proposed;
        FileManager::removeItem(videoFileToUpload);
        if (!FileManager::copyItem(media->moviePath, videoFileToUpload)) videoFileToUpload.clear();
      }
    }
    auto prompt = TextPromptViewer::initWithTitle("Upload Video", proposed,
                                                  "Video File Name:", "TextPromptView",
                                                  [weak](TextPromptViewer &p) {
                                                    if (auto s = weak.lock()) s->doUploadVideo(p);
                                                  });
    prompt->currentDirectory = screen->currentDirectoryEverything;
    prompt->extraMessage = "Videos are .mov type; .mov will be added to the file name if needed.";
    if (auto nav = screen->navigationController()) nav->pushViewController(prompt, true);
    return;
  }
  imageToUpload = media->image;
  if (!imageToUpload) return;
  if (imageToUpload->imageOrientation() != media::ImageOrientation::Up) {
    Application::shared().setNetworkActivityIndicatorVisible(true);
    imageToUpload = scaleAndRotateImage(imageToUpload);
    Application::shared().setNetworkActivityIndicatorVisible(false);
  }
  const std::string proposed = media->suggestedName;
  RunLoop::main()->performAfter(seconds(0.01), [weak, proposed] {
    if (auto s = weak.lock()) s->showPictureNamer(proposed);
  });
}

void PictureUpload::showPictureNamer(const std::string &proposed) {
  auto screen = screen_.lock();
  if (!screen || !imageToUpload) return;
  std::weak_ptr<PictureUpload> weak = shared_from_this();
  auto namer =
      std::make_shared<UploadPictureView>("UploadPictureView", [weak](UploadPictureView &v) {
        if (auto s = weak.lock()) s->doUploadPicture(v);
      });
  namer->currentDirectory = screen->currentDirectoryEverything;
  namer->originalFilename = proposed;
  namer->wIn = imageToUpload->pixelWidth();
  namer->hIn = imageToUpload->pixelHeight();
  if (auto nav = screen->navigationController()) nav->pushViewController(namer, true);
}

bool PictureUpload::queueUpload(const std::string &name, const std::string &localPath) {
  auto screen = screen_.lock();
  auto services = FTPAppServices::shared();
  auto queue = services ? std::dynamic_pointer_cast<BatchListView>(services->batchView()) : nullptr;
  if (!screen || !queue || (!screen->sftpConnection && !screen->theConnection)) return false;
  return queue->addBatchItemAction(3, name, screen->currentRemoteFolder(), 0,
                                   screen->sftpConnection ? nullptr : screen->theConnection,
                                   screen->sftpConnection, localPath, true, true) >= 0;
}

void PictureUpload::doUploadVideo(TextPromptViewer &prompt) {
  std::string name = prompt.filename ? prompt.filename->text() : std::string();
  if (!lowercase(name).ends_with(".mov")) name += ".mov";
  if (videoFileToUpload.empty() || !isSingleFileName(name)) return;
  queueUpload(name, videoFileToUpload);
}

void PictureUpload::doUploadPicture(UploadPictureView &namer) {
  auto picture = std::move(imageToUpload);
  imageToUpload.reset();
  if (!picture) return;
  std::string name = namer.filename->text();
  Application::shared().setNetworkActivityIndicatorVisible(true);
  // A new size only when both sides are given and both differ from the picture's.
  const auto w = typedPictureSide(namer.width->text()), h = typedPictureSide(namer.height->text());
  if (w && h && *w != namer.wIn && *h != namer.hIn)
    if (auto context = media::BitmapContext::create(*w, *h)) {
      context->drawImage(*picture, media::Rect2{0, 0, double(*w), double(*h)});
      picture = context->makeImage();
    }
  const bool png = namer.segmentFileType->selectedSegmentIndex() == 1;
  const auto data = png ? picture->pngRepresentation() : picture->jpegRepresentation(0.95);
  name = completedName(name, png);
  Application::shared().setNetworkActivityIndicatorVisible(false);
  if (data.empty() || !isSingleFileName(name)) return;
  const std::string folder = tempFolder();
  if (folder.empty()) return;
  const std::string path = folder + "/" + name;
  if (!FileManager::writeAtomically(path, data)) return;
  queueUpload(name, path);
}
