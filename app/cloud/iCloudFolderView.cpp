// The cloud folder's container services and its listing: availability, the folder, the copy into
// the cloud, the two work queues, the query that fills the table, sorting, searching and the
// right-hand button.
#include "app/cloud/iCloudFolderView.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "app/files/SavedFilesRooms.h"
#include "app/foundation/DirTableCell.h"
#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "platform/device/MailService.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform;
using namespace platform::ui;

namespace {

UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

std::mutex queuesMutex;
std::shared_ptr<DispatchQueue> theWorkQueue, theEditQueue;

std::shared_ptr<DirItemInfo> cloudRow(const CloudItem &item) {
  auto row = std::make_shared<DirItemInfo>();
  row->setName(item.name);
  row->date = item.modified;
  row->size = std::to_string(item.size);
  row->iCloudURL = item.path;
  row->isDownloading = !item.downloaded;
  row->downloadPct = item.percentDownloaded;
  row->setupSizeDisplay();
  return row;
}

// Puts `bytes` in the place of the existing file `to` (the caller holds its lock): written beside
// it and renamed over it, so a write that fails leaves the item as it was.
bool copyOnto(const std::shared_ptr<const Bytes> &bytes, const std::string &to,
              std::string *error) {
  struct stat st {};
  if (::lstat(to.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = to + " is not a file";
    return false;
  }
  auto status = FileManager::writeAtomically(to, *bytes, st.st_mode & 07777);
  if (!status) *error = status.error();
  return bool(status);
}

// Tells `done` on the main thread, after whatever the work queue did for the copy.
void tell(const iCloudFolderView::CopyDone &done, bool copied, const std::string &error) {
  if (!done) return;
  RunLoop::main()->perform([done, copied, error] { done(copied, error); });
}

} // namespace

// The "Cloud Files" row of the top of Saved Files opens this screen, and its move list copies
// files into the cloud.
[[maybe_unused]] const bool savedFilesCloud = [] {
  SavedFilesRooms &rooms = SavedFilesRooms::shared();
  rooms.cloudAvailable = &iCloudFolderView::isiCloudAvailable;
  rooms.makeCloudFiles = []() -> std::shared_ptr<platform::ui::ViewController> {
    return iCloudFolderView::make();
  };
  rooms.copyToCloud = &iCloudFolderView::copyToCloud;
  return true;
}();

// --- Container services -------------------------------------------------------------------------

bool iCloudFolderView::isiCloudAvailable() {
  const std::string chosen = settings().stringForKey(kCloudFolderKey).value_or("");
  CloudContainer::setFolder(chosen);
  // The application's own container (FERROWEN_HOME/Cloud) is there from the first start, as a
  // platform's container is: it is made when missing. A folder that the setting names belongs to
  // a sync program, which makes it; until then there is no cloud.
  if (chosen.empty()) {
    const std::string folder = CloudContainer::folder();
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 && errno == ENOENT)
      FileManager::createDirectory(folder, true);
  }
  if (!CloudContainer::isAvailable()) return false;
  std::lock_guard lock(queuesMutex);
  if (!theWorkQueue)
    theWorkQueue =
        DispatchQueue::create("Ferrowen_cloud_work_queue", DispatchQueue::Kind::Concurrent);
  if (!theEditQueue)
    theEditQueue =
        DispatchQueue::create("Ferrowen_cloud_edit_queue", DispatchQueue::Kind::Concurrent);
  return true;
}

std::shared_ptr<DispatchQueue> iCloudFolderView::work_queue() {
  std::lock_guard lock(queuesMutex);
  return theWorkQueue;
}

std::shared_ptr<DispatchQueue> iCloudFolderView::edit_queue() {
  std::lock_guard lock(queuesMutex);
  return theEditQueue;
}

std::string iCloudFolderView::remoteCloudDir() {
  const std::string folder = CloudContainer::folder();
  if (!FileManager::isDirectory(folder)) FileManager::createDirectory(folder, true);
  return folder;
}

bool iCloudFolderView::copyToCloud(const std::string &localPath, CopyDone done) {
  const std::string name = lastPathComponent(localPath);
  if (!isSingleFileName(name)) {
    Log::system("iCloudCopyError: not a file name: " + withControlsEscaped(name));
    tell(done, false, "not a file name");
    return false;
  }
  const std::string target = remoteCloudDir() + "/" + name;
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      Log::system("iCloudCopyError: " + target + " is not a file");
      FileManager::removeItem(localPath);
      tell(done, false, target + " is not a file");
      return false;
    }
    // The bytes as they are now, written over under the item's writing lock on the work queue: a
    // reader of the item may hold that lock while it waits for the main thread, so the main
    // thread must never wait for the lock. The handed-over file is done with once it is read.
    std::string error;
    auto read = FileManager::contentsAtPath(localPath, &error);
    FileManager::removeItem(localPath);
    if (!read) {
      Log::system("iCloudCopyError: " + error);
      tell(done, false, error);
      return false;
    }
    auto bytes = std::make_shared<const Bytes>(std::move(*read));
    auto over = [bytes, target, done] {
      std::string error;
      bool copied = false;
      const bool ran = CloudContainer::coordinateWriting(
          target, [&](const std::string &path) { copied = copyOnto(bytes, path, &error); });
      if (!ran && error.empty()) error = target + " is not a file";
      if (!copied) Log::system("iCloudCopyError: " + error);
      tell(done, copied, error);
    };
    if (auto queue = work_queue())
      queue->async(over);
    else
      over();
    return true;
  }
  auto queue = work_queue();
  auto move = [localPath, target, done] {
    // Written under a partial name and renamed when whole, so that no other process lists or
    // reads half a file.
    const std::string partial = target + ".ferrowen-part";
    FileManager::removeItem(partial);
    FileStatus status = FileManager::copyItem(localPath, partial);
    if (status && ::rename(partial.c_str(), target.c_str()) != 0)
      status = FileStatus::failure("cannot rename into " + target);
    if (!status) {
      FileManager::removeItem(partial);
      Log::system("setUbiquitousError: " + status.error());
    }
    // Moved in, or not at all: either way the handed-over file is not left behind.
    FileManager::removeItem(localPath);
    tell(done, bool(status), status ? std::string() : status.error());
  };
  if (queue)
    queue->async(move);
  else
    move();
  return true;
}

// --- The screen ---------------------------------------------------------------------------------

std::shared_ptr<iCloudFolderView> iCloudFolderView::make(const std::string &subdir) {
  return std::make_shared<iCloudFolderView>(subdir);
}

iCloudFolderView::iCloudFolderView(const std::string &subdir)
    : FolderScreen({"iCloudFolderView", kCellIdentifier, Rect(280, 2, 40, 40), true, true}),
      iCloudSubdir_(subdir) {
  iCloudRoot_ = remoteCloudDir() + (subdir.empty() ? "" : "/" + subdir);
  Log::debug("iCloudRoot: " + iCloudRoot_);
  sortColumn_ = 0;
}

iCloudFolderView::~iCloudFolderView() = default;

void iCloudFolderView::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 480));
  tableView_ = std::make_shared<TableView>(TableViewStyle::Plain, Rect(0, 0, 320, 436));
  theToolbar_ = std::make_shared<Toolbar>(Rect(0, 436, 320, 44));
  root->addSubview(tableView_);
  root->addSubview(theToolbar_);
  setView(root);
}

void iCloudFolderView::viewDidLoad() {
  setTitle("Cloud Files");
  // The about document is added once per account, not once per device.
  if (CloudContainer::setKeyValueFlagOnce("StoredAbout")) {
    const std::string temp = Paths::tmp() + "/About-Cloud-Files.rtf";
    FileManager::removeItem(temp);
    if (FileManager::copyItem(Paths::resources() + "/About-Cloud-Files.rtf", temp))
      copyToCloud(temp);
  }
  makeFileButtons<iCloudFolderView>();
  uploadBtn_->setEnabled(false);
  emailBtn_->setEnabled(false);
  loadDirectory();
  theToolbar_->setItems(
      folderToolbarItems(refreshButton<iCloudFolderView>(),
                         folderButton("sort24.png", "Sort", &iCloudFolderView::clickSort)));
  attachSearchBar("Search Folder");
  view()->setBackgroundColor(Color::lightGrayColor());
}

// --- Listing ------------------------------------------------------------------------------------

void iCloudFolderView::loadDirectory() {
  std::weak_ptr<iCloudFolderView> weak = sharedAs<iCloudFolderView>();
  // The query lists every document of the container, whatever the sub-folder shown.
  query_ = CloudQuery::start(CloudContainer::folder(),
                             [weak](CloudQuery::Event, const std::vector<CloudItem> &items) {
                               if (auto s = weak.lock()) s->metadataQueryDidFinish(items);
                             });
}

void iCloudFolderView::metadataQueryDidFinish(const std::vector<CloudItem> &items) {
  if (query_) query_->disableUpdates();
  Log::debug("metadataQueryDidFinish: " + std::to_string(items.size()) + " items");
  folderItemsEverything_.clear();
  for (const CloudItem &i : items)
    folderItemsEverything_.push_back(cloudRow(i));
  reSort(); // the checked file stays checked wherever its row now stands
  if (query_) query_->enableUpdates();
  if (tableView_) tableView_->reloadData();
}

void iCloudFolderView::checkedMoved() {
  if (uploadBtn_) doButtonStatesForIndexPath(checkedIndexPath());
}

// --- Table --------------------------------------------------------------------------------------

FolderRowLook iCloudFolderView::rowLook(const DirItemInfo &entry, IndexPath) const {
  return {isChecked(entry), !entry.isDownloading,
          entry.isDownloading ? ""
          : iPAD              ? "ipad-button.png"
                              : "iphone-button.png"};
}

void iCloudFolderView::deleteRow(IndexPath ip, const std::shared_ptr<DirItemInfo> &entry) {
  check(*entry);
  sheetEntry_ = entry;
  tableView_->selectRowAtIndexPath(ip, false, TableViewScrollPosition::None);
  confirm("Confirm File Delete",
          "\"" + entry->name() +
              "\" will be deleted from your Cloud Files and ALL devices.  Continue?",
          "Delete");
}

void iCloudFolderView::didSelectRowAtIndexPath(TableView &, IndexPath ip) {
  auto entry = item(ip);
  tableView_->deselectRowAtIndexPath(ip, true);
  if (!entry) {
    showEditViewButton(kNone, false);
    return;
  }
  if (isChecked(*entry)) {
    uncheck();
    doButtonStatesForIndexPath(std::nullopt);
  } else {
    check(*entry);
    doButtonStatesForIndexPath(ip);
  }
  tableView_->reloadData();
}

std::shared_ptr<DirItemInfo> iCloudFolderView::actionItem() const {
  if (auto i = item(tableView_ ? tableView_->indexPathForSelectedRow() : std::nullopt)) return i;
  return checkedEntry();
}

std::shared_ptr<DirItemInfo> iCloudFolderView::checkedItemOrReset() {
  auto entry = checkedEntry();
  if (!entry) {
    showEditViewButton(kNone, true);
    uploadBtn_->setEnabled(false);
    emailBtn_->setEnabled(false);
  }
  return entry;
}

void iCloudFolderView::doButtonStatesForIndexPath(std::optional<IndexPath> ip) {
  auto entry = item(ip);
  if (!entry || entry->isDirectory) {
    showFileButtons(kNone, false);
    return;
  }
  const int64_t limit = editSizeLimit();
  const int type = entry->fileType();
  if (type == DirItemInfo::kFileTypeZip || type == DirItemInfo::kFileTypeTar ||
      type == DirItemInfo::kFileTypeBinary || type == DirItemInfo::kFileTypeDiscImage)
    showFileButtons(kNone);
  else
    showFileButtons(openingButton(*entry, limit, kPlay, kView, kEdit));
}

void iCloudFolderView::showEditViewButton(int kind, bool force) {
  if (kind != currentEditButton_ || force) {
    std::shared_ptr<BarButtonItem> button;
    if (kind == kEdit) {
      button = editBarButton<iCloudFolderView>();
    } else if (kind == kView || kind == kPlay) {
      const char *title = kind == kView ? "View" : "Play";
      button = titledBarButton(title, BarButtonItemStyle::Bordered, &iCloudFolderView::clickView);
      button->setAccessibilityLabel(title);
    }
    navigationItem().setRightBarButtonItem(button, true);
  }
  currentEditButton_ = kind;
}

// --- Search bar ---------------------------------------------------------------------------------
