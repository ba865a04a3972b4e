#include "app/photos/PhotoGalleryView.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "app/files/LocalFilesServices.h"
#include "app/files/SavedFilesRooms.h"
#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/DirTableCell.h"
#include "app/foundation/EditDataViewController.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/ftp/FTPServices.h"
#include "app/photos/ImageEditorView.h"
#include "app/photos/PhotoPickerView.h"
#include "platform/device/DeviceProfile.h"
#include "platform/device/DocumentInteraction.h"
#include "platform/device/MailService.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/Image.h"
#include "platform/ui/Services.h"

using namespace platform;
using namespace platform::ui;
using platform::media::ImageRegistry;
using platform::media::PhotoAlbum;
using platform::media::PhotoAsset;
using platform::media::PhotoLibrary;

namespace {

constexpr const char *kProductURL = "https://ferrowen.example/";

UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

std::string lower(std::string s) {
  for (char &c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string removeAll(std::string s, const std::string &what) {
  for (size_t at; (at = s.find(what)) != std::string::npos;)
    s.erase(at, what.size());
  return s;
}

std::string tempFolder() {
  return globalTempPath.empty() ? Paths::tmp() : globalTempPath;
}

// What an asset's copy came to: the file, how much of the asset it holds, and its size on disk.
// Paths carry names from the pictures folder and the data folder: escaped, one line each.
void logAssetWritten(const std::string &path, int64_t assetSize) {
  const auto onDisk = static_cast<long long>(sizeOfFileAtPath(path));
  Log::systemf("Asset Wrote File: %s", withControlsEscaped(path).c_str());
  Log::systemf("Asset Wrote Size: %lld/%lld", onDisk, static_cast<long long>(assetSize));
  Log::systemf("Asset File Size: %lld", onDisk);
}

} // namespace

// The "Photo Library" row of the top of Saved Files opens this screen.
[[maybe_unused]] const bool savedFilesPhotoLibrary = [] {
  SavedFilesRooms &rooms = SavedFilesRooms::shared();
  rooms.photoLibraryAvailable = &PhotoGalleryView::canViewPhotoGallery;
  rooms.makePhotoLibrary = []() -> std::shared_ptr<ViewController> {
    return PhotoGalleryView::make();
  };
  // Saved Files imports through the application's media source, else straight from the library.
  static const auto source = []() -> std::shared_ptr<CloudMediaSource> {
    if (auto installed = CloudMediaSource::shared()) return installed;
    static const auto library = std::make_shared<PhotoLibraryMediaSource>();
    return library;
  };
  rooms.hasCamera = [] { return source()->hasCamera(); };
  rooms.hasPhotoLibrary = [] { return source()->hasLibrary(); };
  rooms.hasVideoMedia = [] { return true; }; // the picker lists the library's videos too
  rooms.pickMedia = [](bool camera, int quality, const std::shared_ptr<BarButtonItem> &from,
                       std::function<void(std::optional<PickedPictureOrVideo>)> done) {
    return source()->pick(camera, quality, from, [done](std::optional<PickedMedia> media) {
      if (!done) return;
      if (!media) return done(std::nullopt);
      done(PickedPictureOrVideo{media->isMovie, media->moviePath, media->image,
                                media->suggestedName});
    });
  };
  return true;
}();

// --- Class operations --------------------------------------------------------------------------

bool PhotoGalleryView::canViewPhotoGallery() {
  return PhotoLibrary::isAvailable();
}

std::string PhotoGalleryView::assetRowName(const std::string &url) {
  std::string id = removeAll(PhotoLibrary::urlParameter(url, "id"), "00000");
  const std::string ext = PhotoLibrary::urlParameter(url, "ext");
  if (id.size() >= 32) {
    id = removeAll(id, "-");
    id = id.substr(0, 4) + "-" + id.substr(5, 4);
  }
  const std::string dotted = "." + lower(ext) + ".";
  std::string prefix;
  if (std::string(".gif.png.jpg.jpeg.tif.tiff.svg.").find(dotted) != std::string::npos)
    prefix = "IMG_";
  else if (dotted == ".mov.")
    prefix = "MOV_";
  // An address is only data: nothing of it may lead out of the folder the file is written to.
  std::string name = lower(prefix + id + "." + ext);
  std::replace(name.begin(), name.end(), '/', '_');
  std::replace(name.begin(), name.end(), '\0', '_');
  return name;
}

std::string PhotoGalleryView::getAssetPathByAsset(const PhotoAsset &asset, const std::string &name,
                                                  bool tempFile,
                                                  const std::function<void(double)> &progress,
                                                  std::string *error) {
  if (!isSingleFileName(name)) {
    if (error) *error = "That name cannot be used for a file.";
    return {};
  }
  const std::string path = tempFolder() + "/" + name;
  if (tempFile) tempFilesBeingWritten.push_back(path);
  const bool written = PhotoLibrary::writeAsset(asset, path, progress, error);
  // Listed for its later clean-up before it leaves the list of those being written, so the
  // program's end never finds it in neither.
  if (written && tempFile) tempFilesToCleanup.push_back(path);
  if (tempFile) tempFilesBeingWritten.remove(path);
  if (!written) {
    Log::systemf("Asset Write Failed: %s", withControlsEscaped(name).c_str());
    return {};
  }
  logAssetWritten(path, asset.size);
  return path;
}

void PhotoGalleryView::getSelectedAsset(
    const std::string &url, const std::string &name,
    const std::function<void(const AssetConvertReply &)> &reply) {
  auto asset = PhotoLibrary::assetForURL(url);
  if (!asset) {
    Log::system("AssetError!");
    reply(
        AssetConvertReply{url, {}, std::string("The picture is no longer in the photo library.")});
    return;
  }
  // Two uploads of pictures of one name must not write over each other's file.
  std::string folder = tempFolder() + "/asset-XXXXXX";
  FileManager::createDirectory(tempFolder());
  if (!::mkdtemp(folder.data())) {
    reply(AssetConvertReply{url, {}, std::string("No temporary folder could be made.")});
    return;
  }
  std::string error;
  const std::string path = isSingleFileName(name) ? folder + "/" + name : std::string();
  if (path.empty() || !PhotoLibrary::writeAsset(*asset, path, {}, &error)) {
    ::rmdir(folder.c_str());
    Log::system("AssetError!");
    reply(
        AssetConvertReply{url, {}, path.empty() ? "That name cannot be used for a file." : error});
    return;
  }
  logAssetWritten(path, asset->size);
  reply(AssetConvertReply{url, path, std::nullopt});
}

// --- Screen ------------------------------------------------------------------------------------

std::shared_ptr<PhotoGalleryView> PhotoGalleryView::make(std::optional<PhotoAlbum> album) {
  return std::make_shared<PhotoGalleryView>(std::move(album));
}

PhotoGalleryView::PhotoGalleryView(std::optional<PhotoAlbum> album)
    : FolderScreen({"PhotoGalleryView", kCellIdentifier, Rect(280, 2, 40, 40), false, false}),
      album_(std::move(album)) {
  if (album_) totalCount = album_->assetCount;
}

PhotoGalleryView::~PhotoGalleryView() = default;

void PhotoGalleryView::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 480));
  // The tablet's commands sit above the list, the phone's under it.
  const bool pad = Hardware::isiPad();
  tableView_ = std::make_shared<TableView>(TableViewStyle::Plain, Rect(0, pad ? 44 : 0, 320, 436));
  theToolbar_ = std::make_shared<Toolbar>(Rect(0, pad ? 0 : 436, 320, 44));
  tableView_->setAutoresizingMask(FlexibleWidth | FlexibleHeight);
  theToolbar_->setAutoresizingMask(FlexibleWidth | (pad ? 0u : unsigned(FlexibleTopMargin)));
  root->addSubview(tableView_);
  root->addSubview(theToolbar_);
  setView(root);
}

void PhotoGalleryView::viewDidLoad() {
  setTitle(album_ ? album_->name : "Photo Library");
  std::weak_ptr<PhotoGalleryView> weak = sharedAs<PhotoGalleryView>();
  makeFileButtons<PhotoGalleryView>();
  sortBtn_ = folderButton("sort24.png", "Sort", &PhotoGalleryView::clickSort);
  menuBtn_->setEnabled(album_.has_value());
  progressBar_ = std::make_shared<ProgressView>(ProgressViewStyle::Bar);
  progressBar_->setFrame(Rect(0, 0, 240, 11));
  attachSearchBar();
  showEditViewButton(kNone, true);
  if (folderItems_.empty()) {
    RunLoop::main()->performAfter(std::chrono::milliseconds(10), [weak] {
      if (auto s = weak.lock()) s->clickRefresh();
    });
  } else {
    showNormalToolbar();
  }
  doButtonStates();
}

std::shared_ptr<TableViewCell> PhotoGalleryView::cellForRowAtIndexPath(TableView &table,
                                                                       IndexPath ip) {
  auto cell = FolderScreen::cellForRowAtIndexPath(table, ip);
  // Album and picture rows carry the menu button at their end like every folder row: their
  // count or size is drawn before it, not under it.
  if (cell)
    if (auto content = std::dynamic_pointer_cast<DirTableCell>(cell->contentView()->viewWithTag(1)))
      content->besideButton = true;
  return cell;
}

void PhotoGalleryView::viewDidAppear(bool) {
  if (loaded_) showEditViewButton(currentEditButton_, true);
}

bool PhotoGalleryView::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return appDelegateServices().allowLandscapeView() || o == InterfaceOrientation::Portrait;
}

void PhotoGalleryView::showNormalToolbar() {
  theToolbar_->setItems(folderToolbarItems(refreshButton<PhotoGalleryView>(), sortBtn_));
}

void PhotoGalleryView::showWorkingToolbar() {
  progressBar_->setProgress(0);
  theToolbar_->setItems({BarButtonItem::flexibleSpace(),
                         BarButtonItem::withCustomView(progressBar_),
                         BarButtonItem::flexibleSpace()});
}

void PhotoGalleryView::setProgress(double fraction) {
  if (progressBar_) progressBar_->setProgress(static_cast<float>(fraction));
}

// --- Listing -----------------------------------------------------------------------------------

void PhotoGalleryView::clickRefresh() {
  folderItems_.clear();
  folderItemsEverything_.clear();
  if (tableView_) tableView_->reloadData();
  showWorkingToolbar();
  showEditViewButton(kWorking, false);
  loadListing();
}

void PhotoGalleryView::loadListing() {
  const uint64_t generation = ++generation_;
  std::weak_ptr<PhotoGalleryView> weak = sharedAs<PhotoGalleryView>();
  const auto album = album_;
  const int total = totalCount;
  // The worker fills its own list; only the main thread touches the screen's.
  DispatchQueue::create("photoLibraryListing")->async([weak, generation, album, total] {
    DirItemList rows;
    if (!album) {
      std::string error;
      bool denied = false;
      auto albums = PhotoLibrary::albums(&error, &denied);
      if (!error.empty()) {
        Log::systemf("Photo library: %s", error.c_str());
        // A folder no program may read is set right outside the program: its own page says how.
        const std::string page =
            denied ? "error-photo-library-global.html" : "error-photo-library.html";
        RunLoop::main()->perform([weak, page] {
          if (weak.lock()) LocalFilesServices::shared().showErrorForTopSavedFilesTab(page);
        });
      }
      for (const PhotoAlbum &a : albums) {
        auto row = std::make_shared<DirItemInfo>();
        row->setName(a.name);
        row->fileCount = a.assetCount;
        row->isDirectory = true;
        row->attrib = "dr--r--r--";
        row->extraData = std::make_shared<PhotoAlbum>(a);
        rows.push_back(row);
      }
      // The about row closes a listing that worked; a refused one leaves the list empty under
      // its help page.
      if (error.empty()) {
        auto trailer = std::make_shared<DirItemInfo>();
        trailer->setName(kTrailerRow);
        trailer->attrib = "-r--r--r--";
        rows.push_back(trailer);
      }
    } else {
      for (PhotoAsset &asset : PhotoLibrary::assets(*album)) {
        auto row = std::make_shared<DirItemInfo>();
        row->setName(assetRowName(asset.url));
        row->date = platform::wallTimeFromUnix(asset.date);
        row->attrib = "-r--r--r--";
        row->size = std::to_string(asset.size);
        row->assetRepresentation = asset.typeIdentifier;
        row->extraData = std::make_shared<PhotoAsset>(std::move(asset));
        rows.push_back(row);
        if (rows.size() % 20 == 0 && total >= 1) {
          const double fraction = static_cast<double>(rows.size()) / total;
          RunLoop::main()->perform([weak, fraction] {
            if (auto s = weak.lock()) s->setProgress(fraction);
          });
        }
      }
    }
    RunLoop::main()->perform([weak, generation, rows = std::move(rows)]() mutable {
      if (auto s = weak.lock()) s->doneLoading(generation, std::move(rows));
    });
  });
}

void PhotoGalleryView::doneLoading(uint64_t generation, DirItemList rows) {
  if (generation != generation_) return; // a later refresh supersedes this listing
  folderItemsEverything_ = std::move(rows);
  loaded_ = true;
  reSort();
  tableView_->reloadData();
  showNormalToolbar();
  showEditViewButton(kNone, true);
  doButtonStates();
  loadThumbnails(generation);
}

void PhotoGalleryView::loadThumbnails(uint64_t generation) {
  // Pictures are decoded on a worker, a few at a time; each batch is handed to the main thread,
  // which alone touches the rows. A newer listing makes the batches of this one stale.
  std::vector<std::pair<std::string, PhotoAsset>> pictures;
  for (const auto &row : folderItemsEverything_) {
    if (row->isDirectory || !row->extraData) continue; // albums and the trailer row
    auto asset = std::static_pointer_cast<PhotoAsset>(row->extraData);
    if (!asset->isVideo) pictures.emplace_back(row->name(), *asset);
  }
  if (pictures.empty()) return;
  std::weak_ptr<PhotoGalleryView> weak = sharedAs<PhotoGalleryView>();
  DispatchQueue::create("photoLibraryThumbnails")->async([weak, generation, pictures] {
    using Batch = std::vector<std::pair<std::string, std::shared_ptr<media::Image>>>;
    Batch batch;
    auto deliver = [&] {
      RunLoop::main()->perform([weak, generation, batch] {
        if (auto s = weak.lock()) s->setThumbnails(generation, batch);
      });
      batch.clear();
    };
    for (size_t i = 0; i < pictures.size(); ++i) {
      if (weak.expired()) return; // the screen went (never ended here: only looked at)
      if (auto thumb = PhotoLibrary::squareThumbnail(pictures[i].second))
        batch.emplace_back(pictures[i].first, thumb);
      if (batch.size() >= 8) deliver();
    }
    if (!batch.empty()) deliver();
  });
}

void PhotoGalleryView::setThumbnails(
    uint64_t generation,
    const std::vector<std::pair<std::string, std::shared_ptr<media::Image>>> &thumbnails) {
  if (generation != generation_) return;
  for (const auto &[name, image] : thumbnails)
    for (auto &row : folderItemsEverything_)
      if (row->name() == name && row->extraData)
        row->thumbnail = std::make_shared<const ResourceImage>(ResourceImage{"", image});
  tableView_->reloadData();
}

// --- Table -------------------------------------------------------------------------------------

FolderRowLook PhotoGalleryView::rowLook(const DirItemInfo &entry, IndexPath) const {
  const bool trailer = entry.name() == kTrailerRow && !entry.extraData;
  return {!entry.isDirectory && isChecked(entry), !entry.isDirectory && !trailer,
          entry.isDirectory ? "iall-gallery-dir.png"
                            : (iPAD ? "ipad-button.png" : "iphone-button.png")};
}

void PhotoGalleryView::didSelectRowAtIndexPath(TableView &, IndexPath ip) {
  tableView_->deselectRowAtIndexPath(ip, true);
  if (ip.row < 0 || static_cast<size_t>(ip.row) >= folderItems_.size()) return;
  auto entry = folderItems_[static_cast<size_t>(ip.row)];
  if (isChecked(*entry)) {
    uncheck();
    doButtonStates();
    tableView_->reloadData();
    return;
  }
  if (entry->isDirectory) {
    auto album = std::static_pointer_cast<PhotoAlbum>(entry->extraData);
    if (!album) return;
    auto next = make(*album);
    next->totalCount = static_cast<int>(entry->fileCount);
    if (auto nav = navigationController()) nav->pushViewController(next, true);
    return;
  }
  check(*entry);
  doButtonStates();
  tableView_->reloadData();
}

std::shared_ptr<DirItemInfo> PhotoGalleryView::selectedRow() const {
  return checkedEntry();
}

void PhotoGalleryView::doButtonStates() {
  auto row = selectedRow();
  const bool file = row && !row->isDirectory && row->extraData;
  if (loaded_) showEditViewButton(row && !row->isDirectory ? kView : kNone, false);
  if (uploadBtn_) uploadBtn_->setEnabled(file);
  if (emailBtn_) emailBtn_->setEnabled(file);
}

void PhotoGalleryView::showEditViewButton(int kind, bool force) {
  if (kind == currentEditButton_ && !force) return;
  currentEditButton_ = kind;
  std::shared_ptr<BarButtonItem> button;
  if (kind == kView || kind == kEdit) {
    button = titledBarButton("View", BarButtonItemStyle::Bordered, &PhotoGalleryView::clickView);
  } else if (kind == kWorking) {
    auto spinner = std::make_shared<ActivityIndicatorView>(ActivityIndicatorStyle::White);
    spinner->startAnimating();
    button = BarButtonItem::withCustomView(spinner);
  }
  navigationItem().setRightBarButtonItem(button, true);
}

// --- Search ------------------------------------------------------------------------------------

// --- Sheets ------------------------------------------------------------------------------------

void PhotoGalleryView::showSheet(std::shared_ptr<ActionSheet> sheet, Sheet kind,
                                 std::shared_ptr<BarButtonItem> from) {
  shownSheet_ = kind;
  sheet_ = sheet;
  const auto row = kind == Sheet::FileRow ? indexPathOf(sheetRow_) : std::nullopt;
  if (Hardware::isiPad() && row)
    sheet->showFromRect(tableView_->rectForRowAtIndexPath(*row), tableView_, true);
  else if (Hardware::isiPad() && from)
    sheet->showFromBarButtonItem(from, true);
  else if (auto tabs = tabBarController())
    sheet->showFromTabBar(tabs->tabBar());
  else
    sheet->showInView(view());
}

void PhotoGalleryView::clickSort() {
  if (sheet_ && sheet_->isVisible()) return;
  showSheet(sortSheet(), Sheet::Sort, sortBtn_);
}

void PhotoGalleryView::clickMenuBtn() {
  if (!album_ || (sheet_ && sheet_->isVisible())) return;
  showSheet(std::make_shared<ActionSheet>(
                "Folder Commands",
                std::static_pointer_cast<ActionSheetDelegate>(sharedAs<PhotoGalleryView>()),
                "Cancel", "", std::vector<std::string>{"Upload All Files", "Upload New Files"}),
            Sheet::Folder, menuBtn_);
}

void PhotoGalleryView::accessoryButtonTappedForRowWithIndexPath(TableView &, IndexPath ip) {
  if (ip.row < 0 || static_cast<size_t>(ip.row) >= folderItems_.size()) return;
  auto entry = folderItems_[static_cast<size_t>(ip.row)];
  // The row becomes the selected row as a tap makes it, the buttons following it; the sheet is
  // for a picture or a video only, and acts on the row it was opened for.
  check(*entry);
  doButtonStates();
  tableView_->reloadData();
  if (entry->isDirectory || !entry->extraData) return;
  std::vector<std::string> buttons;
  if (DocumentInteraction::canOpen()) buttons.push_back("Open In...");
  buttons.push_back("Copy File");
  if (entry->fileType() == DirItemInfo::kFileTypeImage) buttons.push_back("Edit Image");
  sheetRow_ = entry->name();
  showSheet(std::make_shared<ActionSheet>(
                entry->name(),
                std::static_pointer_cast<ActionSheetDelegate>(sharedAs<PhotoGalleryView>()),
                "Cancel", "", buttons),
            Sheet::FileRow, nullptr);
}

void PhotoGalleryView::clickedButtonAtIndex(ActionSheet &sheet, int index) {
  if (&sheet != sheet_.get()) return;
  const Sheet kind = shownSheet_;
  shownSheet_ = Sheet::None;
  sheet_.reset();
  const std::string button = sheetButton(sheet, index);
  if (kind == Sheet::Sort) {
    sortChosen(index, true);
  } else if (kind == Sheet::Folder) {
    if (button == "Upload All Files" || button == "Upload New Files")
      uploadFiltered(button == "Upload New Files");
  } else if (kind == Sheet::FileRow) {
    if (button == "Open In...")
      queAssetPathToSelector(sheetRow_, &PhotoGalleryView::clickOpenInGotPath);
    else if (button == "Copy File")
      showCopyList(sheetRow_);
    else if (button == "Edit Image")
      queAssetPathToSelector(sheetRow_, &PhotoGalleryView::clickEditImageGotPath);
  }
}

// --- Conversions and what follows them ---------------------------------------------------------

void PhotoGalleryView::queAssetPathToSelector(const std::string &rowName, GotPath done) {
  std::shared_ptr<DirItemInfo> row;
  for (const auto &r : folderItems_)
    if (r->name() == rowName) row = r;
  auto asset = row ? std::static_pointer_cast<PhotoAsset>(row->extraData) : nullptr;
  if (!asset || row->isDirectory) return;
  showWorkingToolbar();
  std::weak_ptr<PhotoGalleryView> weak = sharedAs<PhotoGalleryView>();
  const PhotoAsset copy = *asset;
  DispatchQueue::create("clickViewQue")->async([weak, copy, rowName, done] {
    std::string error;
    const std::string path = getAssetPathByAsset(
        copy, rowName, true,
        [weak](double fraction) {
          RunLoop::main()->perform([weak, fraction] {
            if (auto s = weak.lock()) s->setProgress(fraction);
          });
        },
        &error);
    RunLoop::main()->perform([weak, rowName, path, error, done] {
      auto s = weak.lock();
      if (!s) return;
      s->showNormalToolbar();
      if (path.empty()) {
        s->alert("Photo Library", "\"" + rowName + "\" could not be read: " + error);
        return;
      }
      (s.get()->*done)(rowName, path);
    });
  });
}

void PhotoGalleryView::clickView() {
  auto row = selectedRow();
  if (!row || row->isDirectory) return;
  if (!row->extraData) { // the trailer row: the resource file itself
    if (auto services = FTPAppServices::shared())
      services->showDocumentViewer(kTrailerRow, Paths::resources() + "/" + kTrailerRow);
    return;
  }
  showEditViewButton(kWorking, false);
  queAssetPathToSelector(row->name(), &PhotoGalleryView::clickViewGotPath);
}

void PhotoGalleryView::clickViewGotPath(const std::string &name, const std::string &path) {
  showEditViewButton(kView, false);
  const std::string ext = lower(name.substr(name.rfind('.') + 1));
  if (std::string(".mpg.mpeg.mp4.m4v.avi.mov.qt.3gp.flc..mp3.wav.aac.").find("." + ext + ".") !=
      std::string::npos) {
    if (auto services = FTPAppServices::shared()) services->playMediaFile(path, true);
    return;
  }
  // The copy is the viewer's to delete, and already in the library: no Save button.
  DocumentViewRequest request;
  request.name = name;
  request.path = path;
  request.cleanupWhenDone = true;
  request.hideSaveButton = true;
  DirItemInfo kind;
  kind.setName(name);
  if (kind.fileType() == DirItemInfo::kFileTypeImage) {
    // Pages through the album's pictures in the order shown; each is copied out when reached.
    for (const auto &row : folderItems_) {
      if (row->isDirectory || !row->extraData || row->fileType() != DirItemInfo::kFileTypeImage)
        continue;
      if (row->name() == name)
        request.localFileArrayIndex = static_cast<int>(request.dataIndexArray.size());
      request.dataIndexArray.push_back(row->name());
    }
    request.localFileArray = request.dataIndexArray;
    std::weak_ptr<PhotoGalleryView> weak = sharedAs<PhotoGalleryView>();
    request.source = [weak](const std::string &row) {
      auto s = weak.lock();
      return s ? s->getAssetPathByRow(row) : std::string();
    };
  }
  LocalFilesServices::shared().showDocumentViewer(request);
}

std::string PhotoGalleryView::getAssetPathByRow(const std::string &rowName) {
  for (const auto &row : folderItems_)
    if (row->name() == rowName && !row->isDirectory && row->extraData) {
      std::string error;
      return getAssetPathByAsset(*std::static_pointer_cast<PhotoAsset>(row->extraData), rowName,
                                 false, {}, &error);
    }
  return {};
}

void PhotoGalleryView::clickEmail() {
  auto row = selectedRow();
  if (!row || !row->extraData || row->isDirectory) return;
  queAssetPathToSelector(row->name(), &PhotoGalleryView::clickEmailWithAssetPath);
}

void PhotoGalleryView::clickEmailWithAssetPath(const std::string &name, const std::string &path) {
  auto bytes = FileManager::contentsAtPath(path);
  if (!bytes) return;
  MailMessage message;
  message.attachments.push_back(
      MailAttachment{std::vector<uint8_t>(bytes->begin(), bytes->end()), myMimeType(name), name});
  if (settings().integerForKey("IncludeEmailLinks") == 1) {
    message.bodyIsHTML = true;
    message.body = "<b>" + htmlEscaped(name) + "</b> sent using <a href='" + kProductURL +
                   "'>Ferrowen</a> from my " + htmlEscaped(DeviceProfile::current().model) + ".";
  }
  MailService::send(message, [](bool sent) {
    if (!sent) showMailNotStarted();
  });
}

void PhotoGalleryView::clickOpenInGotPath(const std::string &, const std::string &path) {
  DocumentInteraction::openInMenu(path, [](bool opened) {
    if (!opened) showCannotOpenFile();
  });
}

void PhotoGalleryView::clickEditImageGotPath(const std::string &name, const std::string &path) {
  std::optional<WallTime> date;
  if (auto row = indexPathOf(name)) date = folderItems_[static_cast<size_t>(row->row)]->date;
  auto editor = ImageEditorView::openFile(path, date);
  if (!editor)
    alert("Edit Image", "\"" + name + "\" could not be read as a picture.");
  else
    ImageEditorView::present(editor, *this, name);
}

void PhotoGalleryView::showCopyList(const std::string &row) {
  std::vector<EditDataItem> items{std::string("<Do Not Copy>"), std::string("Saved Files")};
  std::vector<std::string> images{imageName(imageBlank24), imageName(imageBlank24)};
  std::vector<std::string> folders;
  const std::string files = Paths::documents() + "/Files";
  for (const std::string &name :
       FileManager::contentsOfDirectory(files).value_or(std::vector<std::string>{})) {
    const auto attrs = FileManager::attributesOfItem(files + "/" + name);
    if (!attrs || (attrs->type != FileAttributes::Type::Directory &&
                   attrs->type != FileAttributes::Type::Link))
      continue;
    items.emplace_back(name);
    images.push_back(imageName(imageFolder));
    folders.push_back(name);
  }
  std::weak_ptr<PhotoGalleryView> weak = sharedAs<PhotoGalleryView>();
  // Answered once, when the list is left.
  auto list = EditDataViewController::initWithTitle(
      "Copy " + row, std::move(items), 1, "Copy File To...", "EditDataView",
      [weak, row, folders](EditDataViewController &v) {
        auto s = weak.lock();
        if (!s || v.rowSelected <= 0) return; // "<Do Not Copy>" or nothing
        const size_t at = static_cast<size_t>(v.rowSelected);
        if (at >= 2 && at - 2 >= folders.size()) return;
        s->copyFolder_ = at == 1 ? std::string() : folders[at - 2];
        s->queAssetPathToSelector(row, &PhotoGalleryView::doMoveFileGotPath);
      });
  list->tableItemsAreStrings = true;
  list->doSelectorOnChange = false;
  list->tableItemImages = std::move(images);
  if (auto nav = navigationController()) nav->pushViewController(list, true);
}

void PhotoGalleryView::doMoveFileGotPath(const std::string &name, const std::string &path) {
  std::string folder = Paths::documents() + "/Files";
  if (!copyFolder_.empty() && isSingleFileName(copyFolder_)) folder += "/" + copyFolder_;
  FileManager::createDirectory(folder);
  // A file of that name in Saved Files is kept: the copy takes the next free name.
  std::string target = folder + "/" + name;
  const size_t dot = name.rfind('.');
  for (int n = 2; FileManager::attributesOfItem(target) && n < 10000; ++n)
    target = folder + "/" + name.substr(0, dot) + "-" + std::to_string(n) +
             (dot == std::string::npos ? "" : name.substr(dot));
  std::error_code ec;
  std::filesystem::rename(path, target, ec);
  if (ec) {
    std::filesystem::copy_file(path, target, ec);
    std::filesystem::remove(path, ec);
  }
  // The row's picture flies towards the Saved Files tab, which shows "+" for a while.
  if (auto row = indexPathOf(name)) {
    auto entry = folderItems_[static_cast<size_t>(row->row)];
    const Rect from = tableView_->rectForRowAtIndexPath(*row);
    const Point offset = tableView_->contentOffset();
    auto flying = std::make_shared<ImageView>();
    if (entry->thumbnail && entry->thumbnail->image) {
      const std::string imageName = "gallery-copy-" + std::to_string(++copyAnimations_);
      ImageRegistry::shared().registerImage(imageName, entry->thumbnail->image);
      flying->setImageName(imageName);
    } else if (auto icon = entry->imageForFileType()) {
      flying->setImageName(icon->name);
    }
    flying->setFrame(Rect(from.origin.x, from.origin.y - offset.y, 44, 44));
    view()->addSubview(flying);
    const Rect bounds = view()->bounds();
    animate(0.75, [flying, bounds] {
      flying->setFrame(Rect(bounds.size.width / 2 + 96 - 11, 64 - 11, 22, 22));
      flying->setAlpha(0.5);
    });
    const std::string flyingName = flying->imageName();
    RunLoop::main()->performAfter(seconds(0.75), [flying, flyingName] {
      flying->removeFromSuperview();
      if (flyingName.starts_with("gallery-copy-")) ImageRegistry::shared().removeImage(flyingName);
    });
  }
  if (auto nav = navigationController()) {
    auto item = nav->tabBarItem();
    item->setBadgeValue("+");
    std::weak_ptr<TabBarItem> weakItem = item;
    RunLoop::main()->performAfter(seconds(3), [weakItem] {
      if (auto i = weakItem.lock()) i->setBadgeValue(std::nullopt);
    });
  }
  // The copied row is no longer the selected one.
  uncheck();
  doButtonStates();
  tableView_->reloadData();
}

// --- Uploads -----------------------------------------------------------------------------------

bool PhotoGalleryView::queueUploads(const std::vector<std::shared_ptr<DirItemInfo>> &rows,
                                    bool kickstart) {
  auto &services = LocalFilesServices::shared();
  if (!services.browsingConnected()) {
    alert("Not Connected", "Connect to a Server and browse to the folder where you want the files "
                           "to be uploaded.\n\nThen choose the menu item again.");
    return false;
  }
  // The folder the FTP tab shows, on its own screen's connection: the one "Upload New Files"
  // compares with (a browser's ftp address may have made the browsing connection another
  // server's since).
  const std::string remote = services.uploadFolder();
  for (const auto &row : rows) {
    auto asset = std::static_pointer_cast<PhotoAsset>(row->extraData);
    if (row->isDirectory || !asset) continue;
    services.addBatchItemInShownFolder(3, row->name(), remote, asset->size, asset->url, kickstart);
  }
  return true;
}

void PhotoGalleryView::clickUpload() {
  auto row = selectedRow();
  if (!row || !row->extraData || row->isDirectory) return;
  queueUploads({row}, true);
}

void PhotoGalleryView::uploadFiltered(bool onlyNew) {
  auto &services = LocalFilesServices::shared();
  DirItemList rows = folderItems_;
  if (onlyNew && services.browsingConnected()) {
    std::vector<std::string> present;
    if (!services.remoteBrowserNames(&present)) {
      alert("Folder Needed", "Make sure the folder to upload new files is open on the FTP "
                             "tab.\n\nThen choose the menu item again.");
      return;
    }
    std::erase_if(rows, [&](const auto &row) {
      return std::find(present.begin(), present.end(), row->name()) != present.end();
    });
  }
  if (queueUploads(rows, false)) services.startQueue();
}
