#include "app/photos/PhotoPickerView.h"

#include <stdlib.h>

#include <atomic>
#include <filesystem>

#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/media/Image.h"
#include "platform/ui/Window.h"

using namespace platform;
using namespace platform::ui;
using platform::media::ImageRegistry;
using platform::media::PhotoAlbum;
using platform::media::PhotoAsset;
using platform::media::PhotoLibrary;

namespace {
std::atomic<unsigned> thumbnailCount{0};
}

PhotoPickerView::PhotoPickerView(std::optional<PhotoAlbum> album, std::shared_ptr<Done> done,
                                 bool videos)
    : ViewController("PhotoPickerView"), album_(std::move(album)), done_(std::move(done)),
      videos_(videos) {}

PhotoPickerView::~PhotoPickerView() {
  for (const auto &name : thumbnailNames_)
    ImageRegistry::shared().removeImage(name);
}

std::optional<PickedMedia> PhotoPickerView::pickedMediaFor(const PhotoAsset &asset) {
  PickedMedia media;
  media.suggestedName = std::filesystem::path(asset.path).filename().string();
  if (asset.isVideo) {
    // The picker hands over a copy of its own, as the phone's picker writes one.
    const std::string tmp = globalTempPath.empty() ? Paths::tmp() : globalTempPath;
    FileManager::createDirectory(tmp, true);
    std::string folder = tmp + "/picked-XXXXXX";
    if (!::mkdtemp(folder.data())) return std::nullopt;
    std::string error;
    const std::string path = folder + "/" + media.suggestedName;
    if (!PhotoLibrary::writeAsset(asset, path, {}, &error)) {
      Log::systemf("Photo picker: %s", error.c_str());
      std::error_code ec;
      std::filesystem::remove_all(folder, ec);
      return std::nullopt;
    }
    media.isMovie = true;
    media.moviePath = path;
    return media;
  }
  media.image = media::Image::imageWithContentsOfFile(asset.path);
  if (!media.image) return std::nullopt;
  return media;
}

void PhotoPickerView::loadView() {
  tableView_ = std::make_shared<TableView>(TableViewStyle::Plain, Rect(0, 0, 320, 416));
  tableView_->setRowHeight(album_ ? 56 : 44);
  setView(tableView_);
}

void PhotoPickerView::viewDidLoad() {
  auto self = sharedAs<PhotoPickerView>();
  setTitle(album_ ? album_->name : "Photo Albums");
  tableView_->setDataSource(std::static_pointer_cast<TableViewDataSource>(self));
  tableView_->setDelegate(std::static_pointer_cast<TableViewDelegate>(self));
  if (album_) {
    for (auto &asset : PhotoLibrary::assets(*album_))
      if (videos_ || !asset.isVideo) assets_.push_back(std::move(asset));
  } else {
    albums_ = PhotoLibrary::albums();
  }
  std::weak_ptr<PhotoPickerView> weak = self;
  auto cancel = BarButtonItem::systemItem(BarButtonSystemItem::Cancel, [weak](BarButtonItem &) {
    if (auto s = weak.lock()) s->finish(std::nullopt);
  });
  cancel->setAccessibilityLabel("Cancel");
  navigationItem().setRightBarButtonItem(cancel);
}

int PhotoPickerView::numberOfRowsInSection(TableView &, int) {
  return static_cast<int>(album_ ? assets_.size() : albums_.size());
}

std::shared_ptr<TableViewCell> PhotoPickerView::cellForRowAtIndexPath(TableView &table,
                                                                      IndexPath ip) {
  auto cell = table.dequeueReusableCellWithIdentifier(kCellIdentifier);
  if (!cell) cell = std::make_shared<TableViewCell>(TableViewCellStyle::Subtitle, kCellIdentifier);
  const size_t row = static_cast<size_t>(ip.row);
  cell->imageView()->setImageName("");
  if (!album_) {
    if (row >= albums_.size()) return cell;
    cell->textLabel()->setText(albums_[row].name);
    cell->detailTextLabel()->setText(std::to_string(albums_[row].assetCount));
    cell->setAccessibilityLabel(albums_[row].name);
    cell->setAccessoryType(TableViewCellAccessoryType::DisclosureIndicator);
    return cell;
  }
  if (row >= assets_.size()) return cell;
  const PhotoAsset &asset = assets_[row];
  const std::string name = std::filesystem::path(asset.path).filename().string();
  cell->textLabel()->setText(name);
  cell->detailTextLabel()->setText(asset.isVideo ? "Video" : "Picture");
  cell->setAccessibilityLabel(name);
  // Thumbnails are made for the rows that are shown, once each.
  if (thumbnailNames_.size() < assets_.size()) thumbnailNames_.resize(assets_.size());
  if (thumbnailNames_[row].empty() && !asset.isVideo)
    if (auto thumb = PhotoLibrary::squareThumbnail(asset, 88)) {
      thumbnailNames_[row] = "picker-thumb-" + std::to_string(++thumbnailCount);
      ImageRegistry::shared().registerImage(thumbnailNames_[row], thumb->withScale(2));
    }
  cell->imageView()->setImageName(asset.isVideo ? "3-doc-video.png" : thumbnailNames_[row]);
  return cell;
}

void PhotoPickerView::didSelectRowAtIndexPath(TableView &table, IndexPath ip) {
  table.deselectRowAtIndexPath(ip, true);
  const size_t row = static_cast<size_t>(ip.row);
  if (!album_) {
    if (row >= albums_.size()) return;
    auto next = std::make_shared<PhotoPickerView>(albums_[row], done_, videos_);
    next->popover_ = popover_;
    if (auto nav = navigationController()) nav->pushViewController(next, true);
    return;
  }
  if (row >= assets_.size()) return;
  auto media = pickedMediaFor(assets_[row]);
  if (!media) return; // unreadable: the picker stays for another choice
  finish(std::move(media));
}

void PhotoPickerView::finish(std::optional<PickedMedia> media) {
  auto done = done_;
  auto self = sharedAs<PhotoPickerView>();
  auto nav = navigationController();
  if (auto popover = popover_.lock()) {
    if (popover->isPopoverVisible()) popover->dismissPopoverAnimated(true);
  } else if (nav) {
    if (auto presenter = nav->presentingViewController())
      presenter->dismissModalViewControllerAnimated(true);
  }
  if (done && *done) {
    auto callback = std::move(*done);
    *done = nullptr; // once
    callback(std::move(media));
  }
}

void PhotoPickerView::popoverControllerDidDismissPopover(PopoverController &) {
  finish(std::nullopt); // a tap outside the popover: nothing was picked
}

// --- The media source ------------------------------------------------------------------------

bool PhotoLibraryMediaSource::hasLibrary() {
  return PhotoLibrary::isAvailable();
}

std::shared_ptr<PopoverController>
PhotoLibraryMediaSource::pick(bool camera, int, const std::shared_ptr<BarButtonItem> &from,
                              std::function<void(std::optional<PickedMedia>)> done) {
  auto window = Window::keyWindow();
  std::shared_ptr<ViewController> presenter = window ? window->rootViewController() : nullptr;
  while (presenter && presenter->modalViewController())
    presenter = presenter->modalViewController();
  if (camera || !presenter || !hasLibrary()) {
    if (done) done(std::nullopt);
    return nullptr;
  }
  auto shared = std::make_shared<PhotoPickerView::Done>(std::move(done));
  auto picker = std::make_shared<PhotoPickerView>(std::nullopt, shared, true);
  auto nav = std::make_shared<NavigationController>(picker);
  if (!Hardware::isiPad() || !from) {
    presenter->presentModalViewController(nav, true);
    return nullptr;
  }
  auto popover = std::make_shared<PopoverController>(nav);
  popover->setPopoverContentSize(Size{320, 480});
  popover->setDelegate(std::static_pointer_cast<PopoverControllerDelegate>(picker));
  picker->setPopover(popover);
  popover->presentPopoverFromBarButtonItem(from, ArrowAny, true);
  return popover;
}

void installPhotoLibraryMediaSource() {
  CloudMediaSource::setShared(std::make_shared<PhotoLibraryMediaSource>());
}
