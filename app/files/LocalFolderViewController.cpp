#include "app/files/LocalFolderViewController.h"

#include <sqlite3.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string_view>

#include "app/files/ArchiveServices.h"
#include "app/files/BookmarkImport.h"
#include "app/files/LocalFilesServices.h"
#include "app/files/MinizipArchive.h"
#include "app/files/SavedFilesRooms.h"
#include "app/files/TreeWalk.h"
#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/Database.h"
#include "app/foundation/DirTableCell.h"
#include "app/foundation/EditDataViewController.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/foundation/TextPromptViewer.h"
#include "app/ftp/FTPServices.h"
#include "platform/device/DeviceProfile.h"
#include "platform/device/DocumentInteraction.h"
#include "platform/device/MailService.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform;
using namespace platform::ui;

namespace {

constexpr const char *kShared = "./iTunes";
constexpr const char *kSharedRow = "Shared with iTunes";
const char *const kHiddenShared[] = {"Downloads", "Files",     "Templates",
                                     "iTunes",    "WebServer", "bookmarks.sql"};

UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

std::string documents() {
  return Paths::documents();
}

// Names of key files, kept from other users wherever they are saved.
bool isKeyFileName(std::string_view name) {
  for (const char *suffix : {".ppk", ".dsa", ".rsa", ".pem"})
    if (hasSuffixCaseInsensitive(name, suffix)) return true;
  return false;
}

// One entry of a folder with what the listing shows of it (the entry itself, links not followed).
struct FolderEntry {
  std::string name;
  int64_t size = 0;
  WallTime modified{};
  unsigned permissions = 0;
  bool isDirectory = false, isLink = false;
};

// The folder's entries in name order, each looked at once relative to the open folder (as `ls -l`
// does): no path is resolved again per entry, and no owner or group name is looked up.
std::vector<FolderEntry> listFolder(const std::string &path) {
  std::vector<FolderEntry> entries;
  DIR *dir = ::opendir(path.c_str());
  if (!dir) return entries;
  const int fd = ::dirfd(dir);
  while (const dirent *e = ::readdir(dir)) {
    const std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue; // gone meanwhile
    FolderEntry entry;
    entry.name = std::string(name);
    entry.size = static_cast<int64_t>(st.st_size);
    entry.modified = wallTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    entry.permissions = st.st_mode & 07777;
    entry.isDirectory = S_ISDIR(st.st_mode);
    entry.isLink = S_ISLNK(st.st_mode);
    entries.push_back(std::move(entry));
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry &a, const FolderEntry &b) { return a.name < b.name; });
  return entries;
}

bool hiddenOnShared(const std::string &name) {
  return std::find(std::begin(kHiddenShared), std::end(kHiddenShared), name) !=
         std::end(kHiddenShared);
}

} // namespace

namespace {
// The screens made so far that still live, for fileWritten. Main thread.
std::vector<std::weak_ptr<LocalFolderViewController>> &liveScreens() {
  static std::vector<std::weak_ptr<LocalFolderViewController>> screens;
  std::erase_if(screens, [](const auto &w) { return w.expired(); });
  return screens;
}
} // namespace

std::shared_ptr<LocalFolderViewController>
LocalFolderViewController::make(const std::string &folder, bool shared) {
  auto screen = std::make_shared<LocalFolderViewController>(folder, shared);
  liveScreens().push_back(screen);
  return screen;
}

void LocalFolderViewController::fileWritten(const std::string &path) {
  const std::string folder = path.substr(0, path.rfind('/'));
  for (const auto &weak : std::vector(liveScreens()))
    if (auto screen = weak.lock(); screen && screen->isViewLoaded() && screen->getPath() == folder)
      screen->loadFolderData();
}

LocalFolderViewController::LocalFolderViewController(const std::string &folder, bool shared)
    : FolderScreen({"LocalFolderView", kCellIdentifier, Rect(280, 0, 40, 44), true, true}),
      currentFolder_(folder), sharedWithiTunes_(shared) {
  reallyIsRootFolder_ = folder.empty();
  if (!currentFolder_.empty() && !reallyIsRootFolder_) {
    const size_t slash = currentFolder_.rfind('/');
    setTitle(slash == std::string::npos ? currentFolder_ : currentFolder_.substr(slash + 1));
    rootFolder_ = false;
  } else {
    currentFolder_ = "Files";
    rootFolder_ = true;
    setTitle("Saved Files");
  }
  sortColumn_ = settings().integerForKey(kDefaultSortKey);
  if (folder == kShared) {
    // The watch reloads the screen on the main loop; the screen owns it. Only a change of what
    // the folder holds brings a new listing: a listing protects key files, and a change of
    // their mode would list the folder again.
    watch_ = FolderWatch::watch(
        documents(),
        [this] {
          if (isViewLoaded()) clickRefresh();
        },
        FolderWatch::Attributes::LeftOut);
  }
}

LocalFolderViewController::~LocalFolderViewController() = default;

std::string LocalFolderViewController::getPath() const {
  if (sharedWithiTunes_) return documents();
  return documents() + "/" + (currentFolder_.empty() ? std::string("Files") : currentFolder_);
}

std::string LocalFolderViewController::currentFolder() const {
  if (currentFolder_ == "Files") return "";
  if (currentFolder_.rfind("Files/", 0) == 0) return currentFolder_.substr(6);
  return currentFolder_;
}

// --- Screen ------------------------------------------------------------------------------------

void LocalFolderViewController::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 480));
  // The tablet keeps its commands at the top, above the list.
  const bool pad = Hardware::isiPad();
  tableView_ = std::make_shared<TableView>(TableViewStyle::Plain, Rect(0, pad ? 44 : 0, 320, 436));
  theToolbar_ = std::make_shared<Toolbar>(Rect(0, pad ? 0 : 436, 320, 44));
  root->addSubview(tableView_);
  root->addSubview(theToolbar_);
  setView(root);
}

void LocalFolderViewController::viewDidLoad() {
  makeFileButtons<LocalFolderViewController>();
  sortBtn_ = folderButton("sort24.png", "Sort", &LocalFolderViewController::clickSort);
  theToolbar_->setItems(folderToolbarItems(refreshButton<LocalFolderViewController>(), sortBtn_));
  attachSearchBar();
  loadFolderData();
}

void LocalFolderViewController::viewWillAppear(bool) {
  loadFolderData();
  if (!hasChecked()) {
    showEditViewButton(kNone, true);
    uploadBtn_->setEnabled(false);
    emailBtn_->setEnabled(false);
  }
  // Downloads go into the folder shown, named from Saved Files: a folder of the shared folder is
  // beside it in Documents ("../name"). The shared folder is Documents itself, which holds the
  // application's own files: nothing is downloaded straight into it, and Saved Files takes them.
  currentLocalFolder = sharedWithiTunes_ ? std::string()
                       : currentFolder_ == "Files" || currentFolder_.rfind("Files/", 0) == 0
                           ? currentFolder()
                           : "../" + currentFolder_;
  currentLocalFolderInDocuments = sharedWithiTunes_ ? std::string() : currentFolder_;
  doButtonStatesForIndexPath(checkedIndexPath());
  appDelegateServices().viewUsesMyScroller(true);
}

void LocalFolderViewController::viewDidAppear(bool) {
  loadFolderData();
}

bool LocalFolderViewController::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return appDelegateServices().allowLandscapeView() || o == InterfaceOrientation::Portrait;
}

// --- Listing -----------------------------------------------------------------------------------

void LocalFolderViewController::loadFolderData() {
  const std::string path = getPath();
  FileManager::createDirectory(path);
  folderItemsEverything_.clear();
  // Keys are kept from other users whether they are listed or not.
  const bool keysFolder = containsCaseInsensitive(path, "PrivateKeys");
  auto &queue = LocalFilesServices::shared();
  std::string full = path + "/";
  const size_t folderLength = full.size();
  for (FolderEntry &entry : listFolder(path)) {
    const std::string &name = entry.name;
    full.resize(folderLength);
    full += name;
    if ((keysFolder || isKeyFileName(name)) && FileManager::protectFile(full) && !entry.isLink) {
      // Listed as it is now protected (no watch hears the change).
      struct stat st {};
      if (::lstat(full.c_str(), &st) == 0) entry.permissions = st.st_mode & 07777;
    }
    if (sharedWithiTunes_ && hiddenOnShared(name)) continue;
    auto item = std::make_shared<DirItemInfo>();
    item->setName(name);
    item->size = std::to_string(entry.size);
    item->date = entry.modified;
    item->isDirectory = entry.isDirectory || entry.isLink;
    item->isLink = entry.isLink;
    item->inProgress = queue.isInProgress(full);
    std::string bits(10, '-');
    if (item->isDirectory) bits[0] = 'd';
    for (int b = 8; b >= 0; --b)
      if (entry.permissions & (1u << b)) bits[size_t(9 - b)] = "rwx"[(8 - b) % 3];
    item->attrib = std::move(bits);
    folderItemsEverything_.push_back(std::move(item));
  }
  if (rootFolder_ && !sharedWithiTunes_ &&
      (Hardware::isiPad() || Hardware::osVersionIsAtLeast(4.0))) {
    auto shared = std::make_shared<DirItemInfo>();
    shared->setName(kSharedRow);
    shared->isDirectory = true;
    shared->isToiTunes = true;
    shared->extraText = "in iTunes: Device→ Apps Tab→ File Sharing";
    folderItemsEverything_.push_back(shared);
  }
  const SavedFilesRooms &rooms = SavedFilesRooms::shared();
  if (rootFolder_ && !sharedWithiTunes_ && rooms.photoLibraryAvailable &&
      rooms.photoLibraryAvailable()) {
    auto photos = std::make_shared<DirItemInfo>();
    photos->setName("Photo Library");
    photos->isDirectory = true;
    photos->isToPhotoLibrary = true;
    photos->extraText = "Original Photos & Videos";
    folderItemsEverything_.push_back(photos);
  }
  if (rootFolder_ && !sharedWithiTunes_ && rooms.cloudAvailable && rooms.cloudAvailable()) {
    auto cloud = std::make_shared<DirItemInfo>();
    cloud->setName("Cloud Files");
    cloud->isDirectory = true;
    cloud->isToiCloud = true;
    cloud->extraText = "Files Shared Between All Your Devices";
    folderItemsEverything_.push_back(cloud);
  }
  reSort(); // the checked file stays checked wherever its row now stands
  if (tableView_) tableView_->reloadData();
}

// A checked file that went away, or that the search hides, takes its buttons with it.
void LocalFolderViewController::checkedMoved() {
  if (uploadBtn_) doButtonStatesForIndexPath(checkedIndexPath());
}

void LocalFolderViewController::clickRefresh() {
  loadFolderData();
}

// --- Table -------------------------------------------------------------------------------------

FolderRowLook LocalFolderViewController::rowLook(const DirItemInfo &entry, IndexPath) const {
  const bool extra = entry.isToiTunes || entry.isToPhotoLibrary || entry.isToiCloud;
  return {!entry.isDirectory && isChecked(entry), !extra,
          extra               ? "iall-gallery-dir"
          : entry.isDirectory ? (iPAD ? "ipad-button-dir.png" : "iphone-button-dir.png")
                              : (iPAD ? "ipad-button.png" : "iphone-button.png")};
}

bool LocalFolderViewController::rowDeletable(const std::shared_ptr<DirItemInfo> &entry) const {
  return entry && !entry->isDirectory;
}

bool LocalFolderViewController::nameTakenInFolder(const std::string &name) const {
  return FolderScreen::nameTakenInFolder(name) ||
         FileManager::attributesOfItem(getPath() + "/" + name).has_value();
}

void LocalFolderViewController::deleteRow(IndexPath ip, const std::shared_ptr<DirItemInfo> &entry) {
  check(*entry);
  tableView_->selectRowAtIndexPath(ip, false, TableViewScrollPosition::None);
  confirm("Confirm File Delete",
          "\"" + entry->name() + "\" will be deleted from your saved files.  Continue?", "Delete",
          Confirm::DeleteItems, {Target{entry->name(), false}});
}

void LocalFolderViewController::didSelectRowAtIndexPath(TableView &, IndexPath ip) {
  auto entry = item(ip);
  tableView_->deselectRowAtIndexPath(ip, true);
  if (!entry) return;
  if (isChecked(*entry) && !entry->isDirectory) {
    deselectCheckedRow();
    doButtonStatesForIndexPath(std::nullopt);
    tableView_->reloadData();
    return;
  }
  if (entry->isDirectory) {
    uncheck();
    std::shared_ptr<LocalFolderViewController> next;
    if (entry->isToPhotoLibrary) {
      auto nav = navigationController();
      if (nav && SavedFilesRooms::shared().makePhotoLibrary)
        nav->pushViewController(SavedFilesRooms::shared().makePhotoLibrary(), true);
      return;
    }
    if (entry->isToiCloud) {
      auto nav = navigationController();
      if (nav && SavedFilesRooms::shared().makeCloudFiles)
        nav->pushViewController(SavedFilesRooms::shared().makeCloudFiles(), true);
      return;
    }
    if (entry->isToiTunes)
      next = make(kShared, true);
    else if (sharedWithiTunes_)
      next = make(entry->name()); // a folder of Documents itself
    else
      next = make(currentFolder_ + "/" + entry->name());
    if (auto nav = navigationController()) nav->pushViewController(next, true);
    return;
  }
  check(*entry);
  doButtonStatesForIndexPath(ip);
  tableView_->reloadData();
}

bool LocalFolderViewController::stillThere(const Target &target) {
  const auto attrs = FileManager::attributesOfItem(getPath() + "/" + target.name);
  const bool folder = attrs && (attrs->type == FileAttributes::Type::Directory ||
                                attrs->type == FileAttributes::Type::Link);
  if (attrs && folder == target.isDirectory) return true;
  alert(target.isDirectory ? "Folder Not Found" : "File Not Found",
        "\"" + target.name + "\" is no longer in this folder; nothing was done.");
  loadFolderData();
  return false;
}

LocalFolderViewController::Origin LocalFolderViewController::rowOrigin(IndexPath ip) const {
  return Origin{nullptr, tableView_->rectForRowAtIndexPath(ip)};
}

void LocalFolderViewController::deselectCheckedRow() {
  uncheck();
  showEditViewButton(kNone, false);
}

void LocalFolderViewController::clearSelection() {
  if (auto ip = tableView_->indexPathForSelectedRow())
    tableView_->deselectRowAtIndexPath(*ip, true);
  deselectCheckedRow();
}

void LocalFolderViewController::doButtonStatesForIndexPath(std::optional<IndexPath> ip) {
  auto entry = item(ip);
  if (!entry || entry->isDirectory) {
    showFileButtons(kNone, false);
    return;
  }
  const int64_t limit = editSizeLimit();
  int kind;
  const int type = entry->fileType();
  if ((type == DirItemInfo::kFileTypeZip || type == DirItemInfo::kFileTypeTar) && sharedWithiTunes_)
    kind = kNone;
  else if (type == DirItemInfo::kFileTypeZip)
    kind = kUnZip;
  else if (type == DirItemInfo::kFileTypeTar)
    kind = kUnTar;
  else if (type == DirItemInfo::kFileTypeDiscImage || type == DirItemInfo::kFileTypeBinary)
    kind = kNone;
  else
    kind = openingButton(*entry, limit, kPlay, kView, kEdit);
  showFileButtons(kind);
}

void LocalFolderViewController::showEditViewButton(int kind, bool force) {
  if (kind != currentEditButton_ || force) {
    std::shared_ptr<BarButtonItem> button;
    switch (kind) {
    case kEdit:
      button = editBarButton<LocalFolderViewController>();
      break;
    case kView:
    case kPlay:
      button = titledBarButton(kind == kView ? "View" : "Play", BarButtonItemStyle::Bordered,
                               &LocalFolderViewController::clickView);
      break;
    case kUnZip:
    case kUnTar:
      button = titledBarButton(kind == kUnZip ? "UnZip" : "UnTar", BarButtonItemStyle::Done,
                               &LocalFolderViewController::clickUnZip);
      button->setAccessibilityLabel(kind == kUnZip ? "Unzip" : "Untar");
      break;
    default:
      break;
    }
    navigationItem().setRightBarButtonItem(button, true);
  }
  currentEditButton_ = kind;
}

// --- Search bar --------------------------------------------------------------------------------

void LocalFolderViewController::searchBarSearchButtonClicked(SearchBar &bar) {
  bar.setShowsCancelButton(false);
  bar.resignFirstResponder();
}

// --- Dialogs -----------------------------------------------------------------------------------

void LocalFolderViewController::confirm(const std::string &title, const std::string &message,
                                        const std::string &yes, Confirm kind,
                                        std::vector<Target> targets) {
  auto shown = std::make_shared<AlertView>(
      title, message,
      std::static_pointer_cast<AlertViewDelegate>(sharedAs<LocalFolderViewController>()), "Cancel",
      std::vector<std::string>{yes});
  confirms_.push_back(PendingConfirm{shown, kind, std::move(targets)});
  shown->show();
}

void LocalFolderViewController::showSheet(std::shared_ptr<ActionSheet> sheet, Sheet kind,
                                          const Origin &from) {
  shownSheet_ = kind;
  sheet_ = sheet;
  sheetOrigin_ = from;
  if (Hardware::isiPad() && from.item)
    sheet->showFromBarButtonItem(from.item, true);
  else if (Hardware::isiPad())
    sheet->showFromRect(from.rect, tableView_, true);
  else if (auto tabs = tabBarController())
    sheet->showFromTabBar(tabs->tabBar());
  else
    sheet->showInView(view());
}

void LocalFolderViewController::present(const std::shared_ptr<ViewController> &screen,
                                        const Origin &from) {
  if (!Hardware::isiPad()) {
    if (auto nav = navigationController()) nav->pushViewController(screen, true);
    return;
  }
  if (popover_ && popover_->isPopoverVisible()) popover_->dismissPopoverAnimated(false);
  popover_ = std::make_shared<PopoverController>(std::make_shared<NavigationController>(screen));
  if (auto p = std::dynamic_pointer_cast<TextPromptViewer>(screen)) p->popoverParent = popover_;
  if (auto e = std::dynamic_pointer_cast<EditDataViewController>(screen))
    e->popoverParent = popover_;
  if (from.item)
    popover_->presentPopoverFromBarButtonItem(from.item, ArrowAny, true);
  else
    popover_->presentPopoverFromRect(from.rect, tableView_, ArrowAny, true);
}

void LocalFolderViewController::prompt(const std::string &title, const std::string &text,
                                       const std::string &label, const Origin &from,
                                       PromptDone done, bool imageChoice,
                                       const std::string &extra) {
  std::weak_ptr<LocalFolderViewController> weak = sharedAs<LocalFolderViewController>();
  auto p = TextPromptViewer::initWithTitle(title, text, label, "TextPromptView",
                                           [weak, done](TextPromptViewer &v) {
                                             if (weak.lock()) done(v);
                                           });
  p->currentDirectory = folderItemsEverything_;
  p->promptImageUpload = imageChoice;
  p->extraMessage = extra;
  present(p, from);
}

void LocalFolderViewController::choose(const std::string &title, std::vector<std::string> items,
                                       std::vector<std::string> images, const std::string &label,
                                       const Origin &from, ListDone done) {
  std::weak_ptr<LocalFolderViewController> weak = sharedAs<LocalFolderViewController>();
  std::vector<EditDataItem> data(items.begin(), items.end());
  auto list = EditDataViewController::initWithTitle(
      title, std::move(data), 0, label, "EditDataView", [weak, done](EditDataViewController &v) {
        if (weak.lock()) done(v);
      });
  list->tableItemsAreStrings = true;
  list->tableItemImages = std::move(images);
  list->showWorkingOnExit = true;
  present(list, from);
}
