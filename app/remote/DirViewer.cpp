#include "app/remote/DirViewer.h"

#include "app/foundation/DirTableCell.h"
#include "app/foundation/EditDataViewController.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/foundation/TextPromptViewer.h"
#include "app/ftp/FTPConnection.h"
#include "app/queue/BatchListView.h"
#include "app/remote/ChmodViewController.h"
#include "app/remote/UploadPictureView.h"

#include "app/foundation/AppDelegateServices.h"

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <algorithm>
#include <fstream>
#include <future>
#include <mutex>

using namespace platform::ui;
using platform::Log;
using platform::UserDefaults;

std::string DirViewer::rawPrefix, DirViewer::rawLast;

namespace {
const char kRawHelpURL[] = "http://www.ferrowen.example/help/raw-ftp-commands.html";
const char kRawExtra[] = "Advanced!  You will need to know some details about the FTP protocol "
                         "to use this feature.  Touch ? for help.";

int64_t sizeOf(const DirItemInfo &e) {
  return std::strtoll(e.size.c_str(), nullptr, 10);
}

std::shared_ptr<BatchListView> queue() {
  auto s = FTPAppServices::shared();
  return s ? std::dynamic_pointer_cast<BatchListView>(s->batchView()) : nullptr;
}

bool isMedia(int type) {
  return type == DirItemInfo::kFileTypeImage || type == DirItemInfo::kFileTypeDocument ||
         type == DirItemInfo::kFileTypeVideo || type == DirItemInfo::kFileTypeAudio;
}
} // namespace

std::shared_ptr<DirViewer> DirViewer::initWithExistingConnection(std::shared_ptr<FTPConnection> c,
                                                                 const std::string &nibName) {
  return std::make_shared<DirViewer>(std::move(c), nullptr, nibName);
}

std::shared_ptr<DirViewer> DirViewer::initWithExistingSFTPConnection(std::shared_ptr<SFTPWrapper> s,
                                                                     const std::string &nibName) {
  // The service's delegate is set for each operation to the screen that asked for it
  // (runOnService), so that a screen made while another screen's operation runs does not take
  // that operation's reports.
  auto screen = std::make_shared<DirViewer>(nullptr, s, nibName);
  screen->currentWorkingDirectory_ = ".";
  return screen;
}

DirViewer::DirViewer(std::shared_ptr<FTPConnection> connection, std::shared_ptr<SFTPWrapper> sftp,
                     const std::string &nibName)
    : ViewController(nibName), theConnection(std::move(connection)),
      sftpConnection(std::move(sftp)) {}

int64_t DirViewer::fullFileLimit() {
  if (Hardware::isRetinaDisplay() || Hardware::isiPad()) return 1048576;
  if (Hardware::osVersionIsAtLeast(3.2) && Hardware::isFasterDevice()) return 524288;
  return 262144;
}

DirViewer::EditButton DirViewer::buttonFor(const DirItemInfo *e, bool anonymous) {
  if (!e || e->isDirectory) return kNoButton;
  const int type = e->fileType();
  if (type == DirItemInfo::kFileTypeAudio || type == DirItemInfo::kFileTypeVideo) return kPlay;
  if (type == DirItemInfo::kFileTypeImage || type == DirItemInfo::kFileTypeDocument) return kView;
  if (sizeOf(*e) >= kEditLimit) return kView;
  if (type == DirItemInfo::kFileTypeZip) return kUnZip;
  if (type == DirItemInfo::kFileTypeTar) return kUnTar;
  if (type == DirItemInfo::kFileTypeBinary || type == DirItemInfo::kFileTypeDiscImage)
    return kNoButton;
  return anonymous ? kView : kEdit;
}

std::string DirViewer::serverName() const {
  if (theConnection) return theConnection->currentServerName();
  return sftpConnection ? sftpConnection->server() : std::string();
}
bool DirViewer::anonymous() const {
  return theConnection && theConnection->loginUser().empty();
}
bool DirViewer::rawOffered() const {
  return theConnection && UserDefaults::standard().integerForKey(kRawMenuOptionKey) != 0;
}

std::string DirViewer::remotePathOf(const std::string &name) const {
  return platform::appendPathComponent(currentWorkingDirectory_, name);
}

// --- Views ---------------------------------------------------------------------------------------

void DirViewer::loadView() {
  ViewController::loadView();
  tableView = std::make_shared<TableView>(TableViewStyle::Plain, Rect{0, 0, 320, 372});
  tableView->setDataSource(std::weak_ptr<TableViewDataSource>(sharedAs<DirViewer>()));
  tableView->setDelegate(std::weak_ptr<TableViewDelegate>(sharedAs<DirViewer>()));
  theToolbar = std::make_shared<Toolbar>(Rect{0, 372, 320, 44});
  view()->addSubview(tableView);
  view()->addSubview(theToolbar);
}

// Two lines in the navigation bar: the server above, the folder below.
void DirViewer::titleView() {
  auto box = std::make_shared<View>(Rect{0, 0, 160, 42});
  box->setBackgroundColor(Color::clearColor());
  auto label = [&](Rect frame, Font font, double minimum) {
    auto l = std::make_shared<Label>(frame);
    l->setFont(font);
    l->setMinimumFontSize(minimum);
    l->setAdjustsFontSizeToFitWidth(true);
    l->setTextAlignment(TextAlignment::Center);
    l->setTextColor(navigationTitleColor());
    l->setShadowColor(navigationTitleHighlightColor());
    l->setShadowOffset(Size{0, -1});
    l->setBackgroundColor(Color::clearColor());
    box->addSubview(l);
    return l;
  };
  auto server = label(Rect{0, 0, 160, 14}, Font::boldSystem(12), 8);
  server->setAlpha(0.975);
  server->setText(serverName());
  auto folder = label(Rect{0, 13, 160, 24}, Font::boldSystem(Font::systemFontSize() + 5),
                      Font::systemFontSize());
  folder->setText(currentTitle == "." || currentTitle.empty() ? "/" : currentTitle);
  navigationItem().setTitleView(box);
}

void DirViewer::viewDidLoad() {
  const std::string title = currentTitle == "." || currentTitle.empty() ? "/" : currentTitle;
  navigationItem().setTitle(title);
  setTitle(title);
  if (sftpConnection) originalRootDir = sftpConnection->userRootDir();
  titleView();
  navigationItem().setBackBarButtonItem(BarButtonItem::titled(
      myEllipseAfter(currentTitle == "." || currentTitle.empty() ? serverName() : currentTitle, 8),
      BarButtonItemStyle::Plain));
  sortColumn = int(UserDefaults::standard().integerForKey(keySort(serverName())));
  // The picker reports its media types (pictures and videos) from system 3.1 on.
  hasVideoMedia = Hardware::osVersionIsAtLeast(3.1);
  showEditSaveButton(kNoButton, false);
  if (downloadBtn) downloadBtn->setEnabled(false);
  showAppropriateToolbar();
  auto bar = std::make_shared<SearchBar>(Rect{0, 0, 320, 44});
  bar->setText(searchString);
  bar->setTintColor(searchBarColor());
  bar->setPlaceholder("Search Folder");
  bar->traits().autocapitalizationType = TextAutocapitalizationType::None;
  bar->traits().autocorrectionType = TextAutocorrectionType::No;
  bar->setDelegate(std::weak_ptr<SearchBarDelegate>(sharedAs<DirViewer>()));
  tableView->setTableHeaderView(bar);
  tableView->setContentOffset(Point{0, 44}, false);
  view()->setBackgroundColor(Color::lightGrayColor());
}

void DirViewer::viewWillAppear(bool) {
  showAppropriateToolbar();
  tableView->reloadData();
  if (auto ip = tableView->indexPathForSelectedRow()) tableView->deselectRowAtIndexPath(*ip, false);
  doButtonStates();
  appDelegateServices().viewUsesMyScroller(true);
}

void DirViewer::viewDidAppear(bool) {
  showAppropriateToolbar();
}

bool DirViewer::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return appDelegateServices().allowLandscapeView() || o == InterfaceOrientation::Portrait;
}

void DirViewer::didReceiveMemoryWarning() {
  if (theConnection) theConnection->didReceiveMemoryWarning();
}

// --- What the connection calls -------------------------------------------------------------------

void DirViewer::updateProgress(float fraction) {
  if (!platform::RunLoop::isMainThread()) {
    std::weak_ptr<DirViewer> weak = weakSelf();
    platform::RunLoop::main()->perform([weak, fraction] {
      if (auto self = weak.lock()) self->updateProgress(fraction);
    });
    return;
  }
  if (progressBar) progressBar->setProgress(fraction);
}

void DirViewer::updateProgressText(const std::string &text) {
  ++statusGeneration_;
  errorShown_ = false;
  if (progressText) progressText->setText(text);
}

void DirViewer::setCurrentWorkingDirectory(const std::string &folder) {
  currentWorkingDirectory_ = folder;
}

void DirViewer::replaceDirectory(const DirItemList &entries) {
  currentDirectoryEverything = entries;
  sortDirectory();
}

void DirViewer::sortDirectory() {
  reSort();
  if (tableView) tableView->reloadData();
}

void DirViewer::reloadTableView() {
  if (tableView) tableView->reloadData();
}

bool DirViewer::sftpBusy() const {
  return sftpRunning_ > 0 || sftpConnection->isActive() || !sftpConnection->isConnected();
}

void DirViewer::showAppropriateToolbar() {
  if (sftpConnection) {
    if (loadedDirectory && !sftpBusy())
      showDirToolbar();
    else
      showWorkingTextToolbar();
    return;
  }
  if (theConnection && theConnection->isFileTransferInProgress())
    showWorkingToolbar();
  else if (loadedDirectory && !(theConnection && theConnection->isAnythingInProgress()))
    showDirToolbar();
  else
    showWorkingTextToolbar();
}

void DirViewer::showWorkingToolbar() {
  if (currentToolbar == 1) return;
  currentToolbar = 1;
  if (!progressBar) progressBar = std::make_shared<ProgressView>(ProgressViewStyle::Bar);
  if (!activity_)
    activity_ = std::make_shared<ActivityIndicatorView>(ActivityIndicatorStyle::White);
  activity_->startAnimating();
  theToolbar->setItems({BarButtonItem::flexibleSpace(), BarButtonItem::withCustomView(progressBar),
                        BarButtonItem::flexibleSpace()},
                       true);
  navigationItem().setRightBarButtonItem(BarButtonItem::withCustomView(activity_), true);
  currentEditButton = 0;
}

void DirViewer::showWorkingTextToolbar() {
  if (currentToolbar == 3) return;
  currentToolbar = 3;
  if (!progressText) {
    progressText = std::make_shared<Label>(Rect{0, 0, 180, 20});
    progressText->setFont(Font::boldSystem(12));
    progressText->setNumberOfLines(1);
    progressText->setTextColor(navigationTitleColor());
    progressText->setShadowColor(navigationTitleHighlightColor());
    progressText->setShadowOffset(Hardware::navigationTitleShadowOffset());
  }
  if (!activity_)
    activity_ = std::make_shared<ActivityIndicatorView>(ActivityIndicatorStyle::White);
  activity_->startAnimating();
  auto spin = BarButtonItem::withCustomView(activity_);
  theToolbar->setItems({BarButtonItem::flexibleSpace(), BarButtonItem::withCustomView(progressText),
                        BarButtonItem::flexibleSpace(), spin},
                       true);
  navigationItem().setRightBarButtonItem(BarButtonItem::withCustomView(activity_), true);
  currentEditButton = 0;
}

void DirViewer::showDirToolbar() {
  if (currentEditButton == 0) {
    navigationItem().setRightBarButtonItem(nullptr, true);
    currentEditButton = kNoButton;
  }
  if (currentToolbar != 2) {
    currentToolbar = 2;
    if (activity_) activity_->stopAnimating();
    auto weak = weakSelf();
    auto item = [weak](const char *image, const char *label, void (DirViewer::*fn)()) {
      auto b = BarButtonItem::withImage(image, BarButtonItemStyle::Plain, [weak, fn](auto &) {
        if (auto self = weak.lock()) ((*self).*fn)();
      });
      b->setAccessibilityLabel(label);
      return b;
    };
    auto refresh = BarButtonItem::systemItem(BarButtonSystemItem::Refresh, [weak](auto &) {
      if (auto self = weak.lock()) self->clickRefresh();
    });
    refresh->setAccessibilityLabel("Refresh");
    if (!downloadBtn) {
      downloadBtn = item("downloads.png", "Download", &DirViewer::clickDownloadBtn);
      downloadBtn->setEnabled(saveIndexPath.has_value());
    }
    if (!sortBtn) sortBtn = item("sort24.png", "Sort", &DirViewer::clickSort);
    if (!moreBtn) moreBtn = item("menu-v3.png", "Menu", &DirViewer::clickMenuBtn);
    auto spacer = BarButtonItem::withImage("mail_spacer.png", BarButtonItemStyle::Plain);
    spacer->setEnabled(false);
    auto flex = [] { return BarButtonItem::flexibleSpace(); };
    theToolbar->setItems(
        {refresh, flex(), sortBtn, flex(), flex(), spacer, flex(), downloadBtn, flex(), moreBtn},
        true);
  }
  reSort();
}

void DirViewer::doButtonStates() {
  showEditSaveButton(buttonFor(entryAt(saveIndexPath).get(), anonymous()), false);
}

void DirViewer::showEditSaveButton(int mode, bool force) {
  static const std::map<int, std::pair<const char *, const char *>> kButtons = {
      {kView, {"View", "View"}},
      {kEdit, {"Edit", "Edit"}},
      {kUnZip, {"UnZip", "Unzip"}},
      {kUnTar, {"UnTar", "Untar"}},
      {kPlay, {"Play", "Play"}}};
  if (mode != currentEditButton || force) {
    auto it = kButtons.find(mode);
    if (mode == kNoButton) {
      navigationItem().setRightBarButtonItem(nullptr, true);
    } else if (it != kButtons.end()) {
      auto weak = weakSelf();
      editBtn_ = mode == kEdit
                     ? BarButtonItem::systemItem(BarButtonSystemItem::Edit)
                     : BarButtonItem::titled(it->second.first, BarButtonItemStyle::Bordered);
      editBtn_->setAccessibilityLabel(it->second.second);
      editBtn_->setAction([weak, mode](auto &) {
        auto self = weak.lock();
        if (!self) return;
        if (mode == kUnZip || mode == kUnTar)
          self->clickUnpack(mode == kUnZip);
        else
          self->clickEditBtn();
      });
      navigationItem().setRightBarButtonItem(editBtn_, true);
    }
  }
  if (downloadBtn) {
    // The download button follows the checked entry: a folder or a file can be fetched.
    downloadBtn->setEnabled(saveIndexPath.has_value());
  }
  currentEditButton = mode;
}

// --- Listing -------------------------------------------------------------------------------------

void DirViewer::reSort() {
  currentDirectory = subarrayWithCompareString(currentDirectoryEverything, searchString);
  using Cmp = int (DirItemInfo::*)(const DirItemInfo &) const;
  Cmp cmp = &DirItemInfo::compareByName;
  if (sortColumn == 1)
    cmp = descending ? &DirItemInfo::compareBySizeDescending : &DirItemInfo::compareBySize;
  else if (sortColumn == 2)
    cmp = descending ? &DirItemInfo::compareByDateDescending : &DirItemInfo::compareByDate;
  else if (sortColumn == 0 && descending)
    cmp = &DirItemInfo::compareByNameDescending;
  std::stable_sort(currentDirectory.begin(), currentDirectory.end(),
                   [cmp](const auto &a, const auto &b) { return ((*a).*cmp)(*b) < 0; });
  auto &defaults = UserDefaults::standard();
  defaults.setObject(std::to_string(sortColumn), keySort(serverName()));
  defaults.synchronize();
}

void DirViewer::clickRefresh() {
  showWorkingTextToolbar();
  if (sftpConnection)
    refreshSftp();
  else if (theConnection)
    theConnection->changeDirectory(currentWorkingDirectory_);
}

void DirViewer::changeDirectory(const std::string &folder) {
  auto next = sftpConnection ? initWithExistingSFTPConnection(sftpConnection, "DirViewer")
                             : initWithExistingConnection(theConnection, "DirViewer");
  next->currentTitle = folder;
  const std::string path = remotePathOf(folder);
  if (sftpConnection) next->currentWorkingDirectory_ = path;
  if (auto nav = navigationController()) nav->pushViewController(next, true);
  if (sftpConnection)
    next->runOnService("list", [path](SFTPWrapper &s) { s.getThisDirectory(path); });
  else if (theConnection)
    theConnection->changeDirectory(path);
}

void DirViewer::scrollToPercent(int percent) {
  if (tableView) scrollTableToPercent(*tableView, int(currentDirectory.size()), percent);
}

bool DirViewer::filenameExists(const std::string &name) const {
  return std::any_of(currentDirectory.begin(), currentDirectory.end(),
                     [&](const auto &e) { return e->name() == name; });
}

bool DirViewer::filenameAlreadyInUse(const std::string &name) {
  if (!filenameExists(name)) return false;
  showOnMainThread(std::make_shared<AlertView>(
      "File Name Error", "A file with that name already exists in the folder.",
      std::weak_ptr<AlertViewDelegate>(), "OK"));
  return true;
}

std::map<std::string, std::string> DirViewer::getFolderContentsDictionary() const {
  std::map<std::string, std::string> out;
  for (auto &e : currentDirectory)
    out[e->name()] = "1";
  return out;
}

void DirViewer::clickSort() {
  if (openSheet_ && openSheet_->isVisible()) return;
  const bool d = descending;
  auto order = [&](int column, const char *down, const char *up) {
    return sortColumn == column ? std::string(d ? down : up) : std::string();
  };
  openSheet(std::make_shared<ActionSheet>(
                "Sort Folder", std::weak_ptr<ActionSheetDelegate>(), "Cancel", "",
                std::vector<std::string>{"Sort by Name" + order(0, " (a,b,c)", " (c,b,a)"),
                                         "Sort by Size" + order(1, " (1,2,3)", " (3,2,1)"),
                                         "Sort by Date" + order(2, " (1,2,3)", " (3,2,1)")}),
            Sheet::Sort, sortBtn);
}

void DirViewer::sortByDataColumn(int column) {
  descending = column == sortColumn ? !descending : false;
  sortColumn = column;
  reSort();
  tableView->reloadData();
}

// --- Table ---------------------------------------------------------------------------------------

int DirViewer::numberOfRowsInSection(TableView &, int) {
  return int(currentDirectory.size());
}

std::shared_ptr<TableViewCell> DirViewer::cellForRowAtIndexPath(TableView &table, IndexPath ip) {
  const bool pad = Hardware::isiPad();
  auto cell = table.dequeueReusableCellWithIdentifier(kCellIdentifier);
  if (!cell) {
    cell = std::make_shared<TableViewCell>(TableViewCellStyle::Default, kCellIdentifier);
    cell->setSelectionStyle(TableViewCellSelectionStyle::Gray);
    auto dirCell = DirTableCell::initWithFrame(Rect{0, 0, 320, 44});
    dirCell->setTag(1);
    dirCell->setAutoresizingMask(FlexibleHeight);
    cell->contentView()->addSubview(dirCell);
    // The row's menu button: it acts as the row's accessory.
    auto button = std::make_shared<TableCellButton>(ButtonType::Custom, Rect{280, 2, 40, 40});
    button->setTag(2);
    button->setAlpha(0.8);
    button->setShowsTouchWhenHighlighted(true);
    button->setAdjustsImageWhenHighlighted(false);
    const char *image = pad ? "ipad-button.png" : "iphone-button.png";
    button->setImage(image, ControlState::Normal);
    button->setImage(image, ControlState::Selected);
    auto weak = weakSelf();
    button->addTarget(ControlEvent::TouchUpInside, [weak](Control &c) {
      auto self = weak.lock();
      auto b = dynamic_cast<TableCellButton *>(&c);
      if (self && b && self->tableView)
        self->accessoryButtonTappedForRowWithIndexPath(*self->tableView, IndexPath{0, b->row()});
    });
    cell->setAccessoryView(button);
  }
  auto entry = currentDirectory[size_t(ip.row)];
  auto dirCell = std::dynamic_pointer_cast<DirTableCell>(cell->contentView()->viewWithTag(1));
  entry->setupSizeDisplay();
  if (dirCell) {
    dirCell->setDirItem(entry);
    dirCell->setSelected(saveIndexPath == ip.row && !entry->isDirectory);
  }
  cell->setAccessibilityLabel(entry->name());
  if (auto button = std::dynamic_pointer_cast<TableCellButton>(cell->accessoryView())) {
    button->setRow(ip.row);
    button->setImage(entry->isDirectory ? (pad ? "ipad-button-dir.png" : "iphone-button-dir.png")
                                        : (pad ? "ipad-button.png" : "iphone-button.png"),
                     ControlState::Normal);
    button->setAccessibilityLabel(entry->name() + " Menu");
  }
  return cell;
}

bool DirViewer::canEditRowAtIndexPath(TableView &, IndexPath ip) {
  auto e = entryAt(ip.row);
  return e && !e->isDirectory;
}

void DirViewer::commitEditingStyle(TableView &, TableViewCellEditingStyle, IndexPath ip) {
  saveIndexPath = ip.row;
  doSelectRow(ip.row);
  menuEntry_ = entryAt(ip.row);
  if (!menuEntry_) return;
  confirm(
      Confirm::FileDelete, "Confirm File Delete",
      Log::format("\"%s\" will be deleted from the server.  Continue?", menuEntry_->name().c_str()),
      "Delete");
}

std::optional<IndexPath> DirViewer::willSelectRowAtIndexPath(TableView &, IndexPath ip) {
  return ip;
}

void DirViewer::didSelectRowAtIndexPath(TableView &table, IndexPath ip) {
  if (saveIndexPath == ip.row) {
    saveIndexPath.reset();
    showEditSaveButton(kNoButton, false);
    doButtonStates();
    table.deselectRowAtIndexPath(ip, false);
    table.reloadData();
    return;
  }
  saveIndexPath = ip.row;
  doSelectRow(ip.row);
}

void DirViewer::doSelectRow(int row) {
  auto entry = entryAt(row);
  doButtonStates();
  if (!entry) return;
  if (auto ip = tableView->indexPathForSelectedRow()) tableView->deselectRowAtIndexPath(*ip, false);
  if (entry->isDirectory) {
    saveIndexPath.reset();
    changeDirectory(entry->name());
    doButtonStates();
    return;
  }
  tableView->reloadData();
}

void DirViewer::deselectSelectedRow() {
  if (auto ip = tableView->indexPathForSelectedRow()) tableView->deselectRowAtIndexPath(*ip, false);
  menuEntry_.reset();
}

void DirViewer::deselectCheckedRow() {
  saveIndexPath.reset();
  showEditSaveButton(kNoButton, false);
  if (tableView) tableView->reloadData();
}

std::shared_ptr<DirItemInfo> DirViewer::entryAt(std::optional<int> row) const {
  if (!row || *row < 0 || size_t(*row) >= currentDirectory.size()) return nullptr;
  return currentDirectory[size_t(*row)];
}

std::shared_ptr<DirItemInfo> DirViewer::actedEntry() const {
  return menuEntry_ ? menuEntry_ : entryAt(saveIndexPath);
}

// --- Search --------------------------------------------------------------------------------------

void DirViewer::textDidChange(SearchBar &, const std::string &text) {
  searchString = text;
  reSort();
  tableView->reloadData();
}
void DirViewer::searchBarTextDidBeginEditing(SearchBar &bar) {
  bar.setShowsCancelButton(true, true);
}
void DirViewer::searchBarTextDidEndEditing(SearchBar &bar) {
  bar.setShowsCancelButton(false, true);
}
void DirViewer::searchBarSearchButtonClicked(SearchBar &bar) {
  bar.setShowsCancelButton(false, true);
  bar.resignFirstResponder();
}
void DirViewer::searchBarCancelButtonClicked(SearchBar &bar) {
  searchString.clear();
  bar.setText("");
  reSort();
  tableView->reloadData();
  bar.setShowsCancelButton(false, true);
  bar.resignFirstResponder();
}

// --- Entry actions -------------------------------------------------------------------------------

void DirViewer::queueDownload(const DirItemInfo &e, const std::string &local, bool clean,
                              bool kick) {
  auto q = queue();
  if (!q) return;
  if (sftpConnection) {
    // A folder goes as a folder download of the SFTP queue: its parent and its name.
    if (e.isDirectory)
      q->addBatchItemAction(33, e.name(), currentWorkingDirectory_, 0, sftpConnection->server(),
                            sftpConnection->port(), sftpConnection->username(),
                            sftpConnection->password(), "sftp", local, clean, kick);
    else
      q->addBatchItemAction(2, e.name(), currentWorkingDirectory_, sizeOf(e), nullptr,
                            sftpConnection, local, clean, kick);
    return;
  }
  if (!theConnection) return;
  if (e.isDirectory)
    q->addBatchItemAction(1, e.name(),
                          platform::appendPathComponent(currentWorkingDirectory_, e.name()), 0,
                          theConnection->currentServerName(), theConnection->currentPort(),
                          theConnection->loginUser(), theConnection->loginPass(),
                          theConnection->fSecureLogin() ? "ftps" : "ftp", local, clean, kick);
  else
    q->addBatchItemAction(2, e.name(), currentWorkingDirectory_, sizeOf(e), theConnection, nullptr,
                          local, clean, kick);
}

void DirViewer::clickDownloadBtn() {
  if (auto e = entryAt(saveIndexPath)) queueDownload(*e, "", false, true);
}

void DirViewer::fetchForViewing(const DirItemInfo &e, bool head, bool tail) {
  if (sftpConnection) {
    const std::string remote = remotePathOf(e.name());
    std::string folder;
    if (head || tail) {
      // The service fetches whole files: the file comes into a folder of its own and the part
      // wanted is cut from it there.
      folder = platform::Paths::tmp() + "/sftp-part";
      platform::FileManager::createDirectory(folder, true);
      pendingPart_ = head ? Part::Head : Part::Tail;
      pendingPartFolder_ = folder;
    } else {
      pendingPart_ = Part::Whole;
    }
    const bool whole = !head && !tail;
    runOnService("download", [remote, folder, whole](SFTPWrapper &s) {
      s.setupToDownloadThisFile(remote, folder, whole);
      s.downloadFile();
    });
    showWorkingTextToolbar();
    return;
  }
  if (!theConnection) return;
  theConnection->downloadFile(e.name(), sizeOf(e), true, false, currentWorkingDirectory_, head,
                              tail, 0);
  showWorkingToolbar();
}

void DirViewer::clickEditBtn() {
  auto e = entryAt(saveIndexPath);
  if (!e || e->isDirectory) return;
  if (!isMedia(e->fileType()) && sizeOf(*e) > fullFileLimit()) {
    menuEntry_ = e;
    openSheet(std::make_shared<ActionSheet>(
                  "The Full File is Too Big to Edit", std::weak_ptr<ActionSheetDelegate>(),
                  "Cancel", "",
                  std::vector<std::string>{"View Beginning (Head)", "View End (Tail)"}),
              Sheet::HeadTail, editBtn_);
    return;
  }
  fetchForViewing(*e, false, false);
}

void DirViewer::clickUnpack(bool zip) {
  auto e = entryAt(saveIndexPath);
  if (!e) return;
  queueDownload(*e, "", true, true);
  auto &defaults = UserDefaults::standard();
  const char *key = zip ? "ShownUnZipMessage" : "ShownUnTarMessage";
  if (defaults.integerForKey(key) == 1) return;
  defaults.setObject("1", key);
  defaults.synchronize();
  showOnMainThread(std::make_shared<AlertView>(
      zip ? "Download and UnZip" : "Download and UnTar",
      zip ? "When UnZipping, the file is downloaded to \"Saved Files\" and UnZipped into a folder "
            "there."
          : "When UnTaring, the file is downloaded to \"Saved Files\" and UnTared into a folder "
            "there.",
      std::weak_ptr<AlertViewDelegate>(), "OK"));
}

void DirViewer::openSheet(std::shared_ptr<ActionSheet> sheet, Sheet kind,
                          const std::shared_ptr<BarButtonItem> &from, std::optional<int> fromRow) {
  sheet->setDelegate(std::weak_ptr<ActionSheetDelegate>(sharedAs<DirViewer>()));
  sheet->setTag(int(kind));
  openSheet_ = sheet;
  openSheetKind_ = kind;
  if (Hardware::isiPad() && fromRow && tableView) {
    sheet->showFromRect(tableView->rectForRowAtIndexPath(IndexPath{0, *fromRow}), tableView, true);
  } else if (Hardware::isiPad() && from) {
    sheet->showFromBarButtonItem(from, true);
  } else if (auto tabs = tabBarController()) {
    sheet->showFromTabBar(tabs->tabBar());
  } else {
    sheet->showInView(view());
  }
}

void DirViewer::confirm(Confirm kind, const std::string &title, const std::string &message,
                        const std::string &button) {
  openConfirm_ = std::make_shared<AlertView>(
      title, message, std::weak_ptr<AlertViewDelegate>(sharedAs<DirViewer>()), "Cancel",
      std::vector<std::string>{button});
  openConfirm_->setTag(int(kind));
  openConfirmKind_ = kind;
  confirmEntry_ = menuEntry_ ? menuEntry_ : entryAt(saveIndexPath);
  showOnMainThread(openConfirm_);
}

void DirViewer::accessoryButtonTappedForRowWithIndexPath(TableView &table, IndexPath ip) {
  auto e = entryAt(ip.row);
  if (!e) return;
  table.selectRowAtIndexPath(ip, false, TableViewScrollPosition::None);
  saveIndexPath = ip.row;
  doButtonStates();
  menuEntry_ = e;
  const bool folder = e->isDirectory;
  // The destructive entry comes first (0); the others follow in this order, when offered.
  std::vector<std::string> items;
  auto offer = [&](bool offered, int &index, const char *text) {
    index = -1;
    if (!offered) return;
    items.push_back(text);
    index = int(items.size()); // after the destructive entry
  };
  deleteBtnIndex = 0;
  offer(folder, downloadBtnIndex, "Download Folder");
  offer(true, renameBtnIndex, folder ? "Rename Folder" : "Rename File");
  offer(theConnection || sftpConnection, moveBtnIndex, folder ? "Move Folder" : "Move File");
  offer((theConnection && theConnection->canDoChmod()) || sftpConnection, chmodBtnIndex,
        "Permissions (CHMOD)");
  offer(rawOffered(), rawBtnIndex, "Raw FTP Command");
  openSheet(std::make_shared<ActionSheet>(e->name(), std::weak_ptr<ActionSheetDelegate>(), "Cancel",
                                          folder ? "Delete Folder" : "Delete File", items),
            Sheet::RowMenu, nullptr, ip.row);
  tableView->reloadData();
}

void DirViewer::clickMenuBtn() {
  if (openSheet_ && openSheet_->isVisible()) return;
  if (theConnection && anonymous()) {
    openSheet(std::make_shared<ActionSheet>("Anonymous Login; No Menu Commands",
                                            std::weak_ptr<ActionSheetDelegate>(), "Close"),
              Sheet::Anonymous, moreBtn);
    return;
  }
  std::vector<std::string> items{hasVideoMedia ? "Upload Picture/Video" : "Upload Picture",
                                 "Create File", "Create Directory", "Download All Files",
                                 "Download All Files & Folders"};
  rawBtnIndex = -1;
  if (rawOffered()) {
    items.push_back("Raw FTP Command");
    rawBtnIndex = int(items.size());
  }
  openSheet(std::make_shared<ActionSheet>("FTP Folder Commands",
                                          std::weak_ptr<ActionSheetDelegate>(), "Cancel",
                                          "Delete All Files", items),
            Sheet::FolderCommands, moreBtn);
}

void DirViewer::pushPrompt(const std::string &title, const std::string &text,
                           const std::string &label,
                           std::function<void(DirViewer &, TextPromptViewer &)> answer, bool raw) {
  auto weak = weakSelf();
  auto prompt = TextPromptViewer::initWithTitle(title, text, label, "TextPromptView",
                                                [weak, answer](TextPromptViewer &p) {
                                                  if (auto self = weak.lock()) answer(*self, p);
                                                });
  prompt->currentDirectory = currentDirectory;
  if (raw) {
    prompt->extraMessage = kRawExtra;
    prompt->helpURL = kRawHelpURL;
  }
  if (auto nav = navigationController()) nav->pushViewController(prompt, true);
}

void DirViewer::menuAnswer(int index) {
  auto e = menuEntry_;
  if (!e) return;
  const bool folder = e->isDirectory;
  if (index == deleteBtnIndex) {
    if (folder)
      confirm(Confirm::FolderDelete, "Confirm Folder Delete",
              Log::format("Folder \"%s\" will be deleted from the server.  (Folder may need to "
                          "be emptied to be deleted.)",
                          e->name().c_str()),
              "Delete");
    else
      confirm(Confirm::FileDelete, "Confirm File Delete",
              Log::format("\"%s\" will be deleted from the server.  Continue?", e->name().c_str()),
              "Delete");
  } else if (index == downloadBtnIndex) {
    queueDownload(*e, "", false, true);
    deselectSelectedRow();
  } else if (index == renameBtnIndex) {
    pushPrompt(folder ? "Rename Folder" : "Rename File", e->name(),
               folder ? "Rename Folder To:" : "Rename File To:",
               [](DirViewer &s, TextPromptViewer &p) { s.doRenameFile(p); });
  } else if (index == moveBtnIndex) {
    openMoveChooser(e);
  } else if (index == chmodBtnIndex) {
    auto editor = std::make_shared<ChmodViewController>("ChmodView");
    editor->name = e->name();
    editor->owner = e->owner;
    editor->group = e->group;
    editor->attribIn = e->attrib;
    auto weak = weakSelf();
    editor->setDoneTarget([weak](ChmodViewController &c) {
      if (auto self = weak.lock()) self->clickDoChmod(c);
    });
    if (auto nav = navigationController()) nav->pushViewController(editor, true);
  } else if (index == rawBtnIndex) {
    pushPrompt(
        "FTP Command", rawPrefix.empty() ? e->name() : rawPrefix + " " + e->name(),
        "Send Raw FTP Command:", [](DirViewer &s, TextPromptViewer &p) { s.doRawCommand(p); },
        true);
  } else {
    deselectSelectedRow();
  }
}

void DirViewer::openMoveChooser(const std::shared_ptr<DirItemInfo> &e) {
  std::vector<EditDataItem> items{EditDataItem("Leave in Current Folder")};
  std::vector<std::string> images{"imageBlank24"};
  moveTargets = {MoveTarget{}};
  if (!rootFolder) {
    items.emplace_back("Up a Folder");
    images.push_back("imageUpFolder");
    moveTargets.push_back(MoveTarget{MoveTarget::Up, nullptr});
  }
  for (auto &d : currentDirectory)
    if (d->isDirectory && d != e) {
      items.emplace_back(d->name());
      images.push_back("imageFolder");
      moveTargets.push_back(MoveTarget{MoveTarget::Folder, d});
    }
  auto weak = weakSelf();
  auto chooser = EditDataViewController::initWithTitle(
      "Move " + e->name(), items, 0, e->isDirectory ? "Move Folder To..." : "Move File To...",
      "EditDataView", [weak](EditDataViewController &c) {
        if (auto self = weak.lock()) self->doMoveFile(c.rowSelected);
      });
  chooser->tableItemsAreStrings = true;
  chooser->doSelectorOnChange = false;
  chooser->tableItemImages = images;
  if (auto nav = navigationController()) nav->pushViewController(chooser, true);
}

void DirViewer::folderCommand(int index) {
  auto q = queue();
  if (index == rawBtnIndex && rawOffered()) {
    menuEntry_.reset();
    pushPrompt(
        "FTP Command", rawLast,
        "Send Raw FTP Command:", [](DirViewer &s, TextPromptViewer &p) { s.doRawCommand(p); },
        true);
    return;
  }
  switch (index) {
  case 0: {
    long n = std::count_if(currentDirectory.begin(), currentDirectory.end(),
                           [](const auto &e) { return !e->isDirectory; });
    menuEntry_.reset();
    confirm(Confirm::DeleteAllFiles, "Confirm Delete All Files",
            Log::format("This will delete %li files in the folder!  Continue?", n), "Delete All");
    return;
  }
  case 1:
    menuEntry_.reset();
    pictureUpload_ = std::make_shared<PictureUpload>(weakSelf());
    pictureUpload_->start();
    return;
  case 2:
    pushPrompt("Create File", "",
               "New File Name:", [](DirViewer &s, TextPromptViewer &p) { s.doCreateFile(p); });
    return;
  case 3:
    pushPrompt("Create Directory", "", "New Directory Name:",
               [](DirViewer &s, TextPromptViewer &p) { s.doCreateDirectory(p); });
    return;
  case 4:
  case 5:
    for (auto &e : currentDirectory)
      if (!e->isDirectory)
        queueDownload(*e, currentLocalFolder, false, false);
      else if (index == 5)
        queueDownload(*e, "", false, true);
    if (q) q->startAlwaysIfNoneInProgress();
    break;
  default:
    break;
  }
  deselectSelectedRow();
}

void DirViewer::clickedButtonAtIndex(ActionSheet &sheet, int index) {
  // Only the sheet this screen has open is answered here, by which one it is.
  if (&sheet != openSheet_.get()) return;
  auto keep = std::exchange(openSheet_, nullptr);
  const Sheet kind = std::exchange(openSheetKind_, Sheet::None);
  if (index < 0 || index == sheet.cancelButtonIndex()) {
    deselectSelectedRow();
    return;
  }
  sheetsAnswer(kind, index);
}

void DirViewer::sheetsAnswer(Sheet kind, int index) {
  switch (kind) {
  case Sheet::Sort:
    if (index >= 0 && index <= 2) sortByDataColumn(index);
    break;
  case Sheet::HeadTail:
    if (auto e = actedEntry(); e && index <= 1) fetchForViewing(*e, index == 0, index == 1);
    deselectSelectedRow();
    break;
  case Sheet::FolderCommands:
    folderCommand(index);
    break;
  case Sheet::RowMenu:
    menuAnswer(index);
    break;
  case Sheet::Anonymous:
  case Sheet::None:
    deselectSelectedRow();
    break;
  }
}

void DirViewer::removeVisible(const std::shared_ptr<DirItemInfo> &entry) {
  auto drop = [&](DirItemList &list) { std::erase(list, entry); };
  drop(currentDirectory);
  drop(currentDirectoryEverything);
  tableView->reloadData();
}

void DirViewer::clickedButtonAtIndex(AlertView &alert, int index) {
  // Only the confirmation this screen has open is answered here, by which one it is.
  if (&alert != openConfirm_.get()) return;
  auto keep = std::exchange(openConfirm_, nullptr);
  const Confirm kind = std::exchange(openConfirmKind_, Confirm::None);
  auto e = std::exchange(confirmEntry_, nullptr);
  if (index == 1) {
    if ((kind == Confirm::FileDelete || kind == Confirm::FolderDelete) && e) {
      const bool folder = kind == Confirm::FolderDelete;
      if (sftpConnection) {
        const std::string path = remotePathOf(e->name());
        runOnService("delete", [path, folder](SFTPWrapper &s) {
          folder ? s.deleteDirectory(path) : s.deleteFile(path);
        });
      } else if (theConnection) {
        theConnection->deleteFile(e->name(), currentWorkingDirectory_, folder);
      }
      showWorkingTextToolbar();
      removeVisible(e);
    } else if (kind == Confirm::DeleteAllFiles) {
      std::vector<std::string> names;
      for (auto &d : currentDirectory)
        if (!d->isDirectory) names.push_back(d->name());
      if (sftpConnection) {
        std::vector<std::string> paths;
        for (auto &n : names)
          paths.push_back(remotePathOf(n));
        // One after another on one thread: the service takes one operation at a time.
        runOnService("delete all", [paths](SFTPWrapper &s) {
          for (auto &p : paths)
            s.deleteFile(p);
        });
      } else if (theConnection && !names.empty()) {
        theConnection->deleteFileBatch(names, currentWorkingDirectory_, false);
      }
      showWorkingTextToolbar();
    }
  }
  deselectSelectedRow();
  deselectCheckedRow();
}

// --- Prompt answers ------------------------------------------------------------------------------

void DirViewer::doRenameFile(TextPromptViewer &prompt) {
  auto e = actedEntry();
  const std::string name = prompt.filename ? prompt.filename->text() : "";
  if (!e || name.empty() || name == e->name() || filenameAlreadyInUse(name)) return;
  deselectSelectedRow();
  deselectCheckedRow();
  if (sftpConnection) {
    const std::string from = remotePathOf(e->name()), to = remotePathOf(name);
    runOnService("rename", [from, to](SFTPWrapper &s) { s.renameFile(from, to); });
  } else if (theConnection) {
    theConnection->renameFile(e->name(), name, currentWorkingDirectory_);
  }
  showWorkingTextToolbar();
  e->setName(name);
  sortDirectory();
}

void DirViewer::doMoveFile(int rowSelected) {
  auto e = actedEntry();
  auto targets = std::exchange(moveTargets, {});
  if (!e || rowSelected <= 0 || size_t(rowSelected) >= targets.size()) return;
  const MoveTarget &target = targets[size_t(rowSelected)];
  deselectSelectedRow();
  deselectCheckedRow();
  if (target.kind == MoveTarget::Up)
    moveEntry(*e, "..");
  else if (target.kind == MoveTarget::Folder && target.folder)
    moveEntry(*e, target.folder->name());
}

void DirViewer::moveEntry(const DirItemInfo &e, const std::string &targetFolder) {
  if (sftpConnection) {
    const std::string from = remotePathOf(e.name());
    const std::string to = platform::standardizePath(
        platform::appendPathComponent(remotePathOf(targetFolder), e.name()));
    runOnService("move", [from, to](SFTPWrapper &s) { s.renameFile(from, to); });
  } else if (theConnection) {
    theConnection->renameFile(e.name(), platform::appendPathComponent(targetFolder, e.name()),
                              currentWorkingDirectory_);
    theConnection->setReloadDirWhenDone(true);
  }
  showWorkingTextToolbar();
}

void DirViewer::doCreateFile(TextPromptViewer &prompt) {
  const std::string name = prompt.filename ? prompt.filename->text() : "";
  if (name.empty() || filenameAlreadyInUse(name)) return;
  if (sftpConnection) {
    // The one-byte file is written in a folder of its own, under the name it gets on the server.
    if (!isSingleFileName(name)) return;
    const std::string folder = platform::Paths::tmp() + "/sftp-new";
    platform::FileManager::createDirectory(folder, true);
    const std::string local = folder + "/" + name;
    if (!platform::FileManager::writeAtomically(local, std::string_view(" "))) return;
    const std::string remote = remotePathOf(name);
    runOnService("new file", [local, remote](SFTPWrapper &s) {
      s.setupToUploadThisFile(local, remote);
      s.uploadFile();
      platform::FileManager::removeItem(local);
    });
  } else if (theConnection) {
    theConnection->uploadFile(name, FTPConnection::Bytes{' '}, currentWorkingDirectory_, true);
  }
  showWorkingTextToolbar();
  deselectSelectedRow();
}

void DirViewer::doCreateDirectory(TextPromptViewer &prompt) {
  const std::string name = prompt.filename ? prompt.filename->text() : "";
  if (name.empty() || filenameAlreadyInUse(name)) return;
  if (sftpConnection) {
    // By absolute path: the user's root folder, this screen's folder, the name. A screen whose
    // folder is already absolute (a start folder given with the server) needs no root before it.
    const std::string inFolder = remotePathOf(name);
    const std::string path =
        platform::standardizePath(!inFolder.empty() && inFolder[0] == '/'
                                      ? inFolder
                                      : platform::appendPathComponent(originalRootDir, inFolder));
    runOnService("new folder", [path](SFTPWrapper &s) { s.createDirectory(path); });
  } else if (theConnection) {
    theConnection->makeDirectory(name, currentWorkingDirectory_);
  }
  showWorkingTextToolbar();
  deselectSelectedRow();
}

void DirViewer::doRawCommand(TextPromptViewer &prompt) {
  const std::string text = prompt.filename ? prompt.filename->text() : "";
  const std::string initial = prompt.originalFilename;
  if (!initial.empty() && myEndsWith(platform::lowercase(text), platform::lowercase(initial))) {
    rawPrefix = myTrimWS(text.substr(0, text.size() - initial.size()));
    rawLast = text;
  }
  if (theConnection && !text.empty())
    theConnection->doRawFTPCommand(text, currentWorkingDirectory_);
  showWorkingTextToolbar();
  deselectSelectedRow();
}

void DirViewer::clickDoChmod(ChmodViewController &editor) {
  auto e = menuEntry_;
  if (!e) return;
  if (sftpConnection) {
    const std::string path = remotePathOf(e->name());
    const int permissions = editor.attribInt;
    runOnService("permissions",
                 [path, permissions](SFTPWrapper &s) { s.changePermissions(path, permissions); });
    showWorkingTextToolbar();
  } else {
    if (theConnection)
      theConnection->chmodFile(e->name(), currentWorkingDirectory_, editor.attributes);
    showWorkingToolbar();
  }
  deselectSelectedRow();
}

// --- SFTP ----------------------------------------------------------------------------------------

namespace {
// The browsing service takes one operation at a time: the screens' operations run one after
// another, each with its reports delivered before the next one starts, so that every report
// reaches the screen that asked and none is refused for a busy service.
std::mutex &screenOperations() {
  static std::mutex m;
  return m;
}

// Waits (bounded) until the main thread has run everything posted to it before now.
void drainMainQueue() {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  platform::dispatchAsyncMain([done] { done->set_value(); });
  future.wait_for(std::chrono::seconds(30));
}

// The first or last 64 KiB of a file, as the FTP connection fetches them.
constexpr size_t kPartBytes = 65536;
} // namespace

void DirViewer::runOnService(const std::string &what, std::function<void(SFTPWrapper &)> op) {
  auto service = sftpConnection;
  if (!service) return;
  ++sftpRunning_;
  std::weak_ptr<DirViewer> weak = weakSelf();
  platform::startThread(
      "sftp " + what,
      [service, weak, op = std::move(op)] {
        {
          std::lock_guard lock(screenOperations());
          // A screen that has gone hears nothing; its operation still runs (a confirmed
          // deletion, say).
          service->setDelegate(std::weak_ptr<SFTPWrapperDelegate>(weak));
          op(*service);
          drainMainQueue();
        }
        platform::dispatchAsyncMain([weak] {
          auto self = weak.lock();
          if (!self) return;
          self->sftpRunning_ = std::max(0, self->sftpRunning_ - 1);
          // The operation has ended and its reports are in: a loaded folder gets its toolbar
          // back, whatever the screen was shown meanwhile.
          if (self->sftpRunning_ == 0 && self->currentToolbar != 2 && self->loadedDirectory &&
              !self->errorShown_)
            self->showAppropriateToolbar();
        });
      },
      false);
}

void DirViewer::refreshSftp() {
  // Refresh requests that come while one is waiting to run are answered by that one (a batch of
  // deletions asks once per file).
  if (refreshQueued_->exchange(true)) return;
  const std::string folder = currentWorkingDirectory_;
  runOnService("list", [folder, queued = refreshQueued_](SFTPWrapper &s) {
    *queued = false;
    s.getThisDirectory(folder);
  });
}

void DirViewer::showSftpError(const std::string &text, bool folderToolbarLater) {
  showWorkingTextToolbar();
  updateProgressText(text);
  if (activity_) activity_->stopAnimating();
  errorShown_ = true;
  if (!folderToolbarLater) return;
  // The error stays a while, then the folder toolbar (with its refresh button) returns, unless
  // something else was shown meanwhile.
  std::weak_ptr<DirViewer> weak = weakSelf();
  const unsigned generation = statusGeneration_;
  platform::RunLoop::main()->performAfter(platform::seconds(kErrorStatusSeconds),
                                          [weak, generation] {
                                            auto self = weak.lock();
                                            if (!self || self->statusGeneration_ != generation)
                                              return;
                                            self->errorShown_ = false;
                                            self->showDirToolbar();
                                            self->doButtonStates();
                                          });
}

// A failed connection or login: the service words it (and shows the host-key question or the
// help page itself); the screen shows it, and its refresh button comes back to try again.
void DirViewer::connectError(SFTPWrapper &, const std::string &text) {
  showSftpError(text, true);
}
void DirViewer::loginError(SFTPWrapper &, const std::string &text) {
  showSftpError(text, true);
}
void DirViewer::sftpError(SFTPWrapper &, const std::string &text) {
  showSftpError(text, true);
}

void DirViewer::connectStatus(SFTPWrapper &, const std::string &text) {
  showWorkingTextToolbar();
  if (activity_) activity_->startAnimating();
  updateProgressText(text);
}

void DirViewer::progress(SFTPWrapper &, float fraction) {
  showWorkingToolbar();
  updateProgress(fraction);
}

void DirViewer::gotDirectory(SFTPWrapper &s,
                             const std::vector<std::shared_ptr<DirItemInfo>> &items) {
  if (originalRootDir.empty()) originalRootDir = s.userRootDir();
  currentDirectoryEverything = items;
  loadedDirectory = true;
  showDirToolbar();
  doButtonStates();
  reSort();
  tableView->reloadData();
}

// Only a head or tail view asks for the file itself: the part wanted goes to the editor.
void DirViewer::downloadedFile(SFTPWrapper &, const std::string &path) {
  const Part part = std::exchange(pendingPart_, Part::Whole);
  if (part == Part::Whole || pendingPartFolder_.empty() ||
      !pathLiesInside(path, pendingPartFolder_))
    return;
  std::string data;
  {
    std::ifstream in(path, std::ios::binary);
    in.seekg(0, std::ios::end);
    const auto size = static_cast<size_t>(std::max<std::streamoff>(0, in.tellg()));
    const size_t take = std::min(size, kPartBytes);
    in.seekg(part == Part::Head ? 0 : std::streamoff(size - take));
    data.resize(take);
    in.read(data.data(), std::streamsize(take));
    data.resize(size_t(in.gcount()));
  }
  platform::FileManager::removeItem(path);
  const std::string shown = platform::Paths::tmp() + "/" + platform::lastPathComponent(path);
  {
    std::ofstream out(shown, std::ios::binary | std::ios::trunc);
    out.write(data.data(), std::streamsize(data.size()));
  }
  if (auto s = FTPAppServices::shared()) s->openTextEditor(shown);
}

void DirViewer::downloadError(SFTPWrapper &, const std::string &text) {
  pendingPart_ = Part::Whole;
  showSftpError(text, true);
}
void DirViewer::uploadError(SFTPWrapper &, const std::string &text) {
  showSftpError(text, true);
}

void DirViewer::dirError(SFTPWrapper &, const std::string &text) {
  showSftpError(text, false);
}

void DirViewer::errorStatus(SFTPWrapper &, const std::string &text) {
  showSftpError(text, true);
}

void DirViewer::sftpConnectionShouldRefreshDirectory(SFTPWrapper &) {
  showWorkingTextToolbar();
  refreshSftp();
}

void DirViewer::sftpConnectionDone(SFTPWrapper &) {
  if (errorShown_) return; // the error stays its while
  showDirToolbar();
  doButtonStates();
  reSort();
  tableView->reloadData();
}
