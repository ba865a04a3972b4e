#include "app/remote/DirViewer.h"

#include "app/files/FolderScreen.h"
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
#include "platform/media/BitmapContext.h"
#include "platform/ui/Services.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <future>
#include <mutex>

using namespace platform::ui;
using platform::Log;
using platform::UserDefaults;

std::string DirViewer::rawPrefix, DirViewer::rawLast;

namespace {
int64_t sizeOf(const DirItemInfo &e) {
  return std::strtoll(e.size.c_str(), nullptr, 10);
}
} // namespace

std::shared_ptr<DirViewer> DirViewer::initWithExistingConnection(std::shared_ptr<FTPConnection> c,
                                                                 const std::string &nibName) {
  return std::make_shared<DirViewer>(std::move(c), nullptr, nibName);
}

std::shared_ptr<DirViewer> DirViewer::initWithNibName(const std::string &nibName) {
  return std::make_shared<DirViewer>(std::make_shared<FTPConnection>(), nullptr, nibName);
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
    : FolderTable(nibName, {kCellIdentifier, Rect{280, 2, 40, 40}, SearchCancel::Animated, false}),
      theConnection(std::move(connection)), sftpConnection(std::move(sftp)) {
  sortColumn_ = -1;
}

int64_t DirViewer::fullFileLimit() {
  return textEditSizeLimit();
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
RemoteFolderPlace DirViewer::remoteFolderPlace() const {
  if (theConnection)
    return RemoteFolderPlace{theConnection->currentServerName(), theConnection->currentPort(),
                             theConnection->loginUser(), false, currentWorkingDirectory_};
  if (sftpConnection)
    return RemoteFolderPlace{sftpConnection->server(), sftpConnection->port(),
                             sftpConnection->username(), true,
                             SFTPWrapper::wireOf(currentRemoteFolder())};
  return {};
}

bool DirViewer::anonymous() const {
  return theConnection && theConnection->loginUser().empty();
}
bool DirViewer::rawOffered() const {
  return theConnection && UserDefaults::standard().integerForKey(kRawMenuOptionKey) != 0;
}

std::string DirViewer::remotePathOf(const RemoteName &name) const {
  return SFTPWrapper::wireOf(SFTPWrapper::pathIn(currentRemoteFolder(), name));
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
  auto bar = attachSearchBar();
  bar->setTintColor(searchBarColor());
  bar->traits().autocapitalizationType = TextAutocapitalizationType::None;
  bar->traits().autocorrectionType = TextAutocorrectionType::No;
  view()->setBackgroundColor(Color::lightGrayColor());
}

void DirViewer::viewWillAppear(bool) {
  if (std::exchange(listWhenShown, false) && !loadedDirectory) clickRefresh();
  showAppropriateToolbar();
  tableView->reloadData();
  if (auto ip = tableView->indexPathForSelectedRow()) tableView->deselectRowAtIndexPath(*ip, false);
  doButtonStates();
  appDelegateServices().viewUsesMyScroller(true);
}

void DirViewer::viewDidAppear(bool) {
  updateDirectory();
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
      if (auto self = weak.lock()) self->doUpdateProgress(fraction);
    });
    return;
  }
  if (progressBar) progressBar->setProgress(fraction);
}

void DirViewer::updateProgressText(const std::string &text) {
  ++statusGeneration_;
  errorShown_ = false;
  if (!progressText) return;
  progressText->setText(text);
  progressText->setNumberOfLines(1);
  // As wide as its text, and two points taller.
  const auto fit = platform::media::measureText(text, toFontSpec(progressText->font()));
  const Rect at = progressText->frame();
  progressText->setFrame(
      Rect(at.origin.x, at.origin.y, std::ceil(fit.width), std::ceil(fit.height) + 2));
}

void DirViewer::setCurrentWorkingDirectory(const std::string &folder) {
  currentWorkingDirectory_ = folder;
  currentWorkingDirectoryBytes_.reset();
}

void DirViewer::setCurrentRemoteFolder(const RemoteName &folder) {
  currentWorkingDirectory_ = folder.text();
  currentWorkingDirectoryBytes_ = folder.bytes();
}

RemoteName DirViewer::remoteEntryPath(const DirItemInfo &entry) const {
  return currentRemoteFolder().child(entry.remoteName(),
                                     theConnection && theConnection->utf8Safe());
}

void DirViewer::setLoadedDirectory(bool loaded) {
  loadedDirectory = loaded;
  // An FTP connection's listing: its first tells whoever waits for the connection.
  if (loaded && theConnection) connectionCameOut(true);
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
  if (!cancelBtn) {
    cancelBtn = BarButtonItem::systemItem(BarButtonSystemItem::Stop, [weak = weakSelf()](auto &) {
      if (auto self = weak.lock()) self->clickCancelBtn();
    });
  }
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
        if (mode == kUnZip)
          self->clickUnZip();
        else if (mode == kUnTar)
          self->clickUnTar();
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
  FolderTable::reSort();
  auto &defaults = UserDefaults::standard();
  defaults.setObject(std::to_string(sortColumn), keySort(serverName()));
  defaults.synchronize();
}

void DirViewer::clickRefresh() {
  showWorkingTextToolbar();
  if (sftpConnection)
    refreshSftp();
  else if (theConnection)
    theConnection->changeDirectory(currentRemoteFolder());
}

void DirViewer::changeDirectory(const std::string &folder) {
  DirItemInfo typed;
  typed.setName(folder);
  typed.isDirectory = true;
  changeDirectory(typed);
}

void DirViewer::changeDirectory(const DirItemInfo &folder) {
  auto next = sftpConnection ? initWithExistingSFTPConnection(sftpConnection, "DirViewer")
                             : initWithExistingConnection(theConnection, "DirViewer");
  next->currentTitle = folder.name();
  const std::string path = sftpConnection ? remotePathOf(folder.remoteName()) : std::string();
  if (sftpConnection)
    next->setCurrentRemoteFolder(SFTPWrapper::pathIn(currentRemoteFolder(), folder.remoteName()));
  // A listing still on its way for another folder (one left before it came) is not this one's.
  if (theConnection) next->awaitedFolder_ = remoteEntryPath(folder);
  if (auto nav = navigationController()) nav->pushViewController(next, true);
  if (sftpConnection)
    next->runOnService("list", [path](SFTPWrapper &s) { s.getThisDirectory(path); });
  else if (theConnection)
    theConnection->changeDirectory(next->awaitedFolder_);
}

bool DirViewer::filenameExists(const std::string &name) const {
  return nameIsListed(currentDirectoryEverything, name);
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

bool DirViewer::menuShowing() const {
  return (openSheet_ && openSheet_->isVisible()) || (pictureUpload_ && pictureUpload_->showing());
}

void DirViewer::clickSort() {
  if (menuShowing()) return;
  openSheet(std::make_shared<ActionSheet>("Sort Folder", std::weak_ptr<ActionSheetDelegate>(),
                                          "Cancel", "", sortSheetTitles(sortColumn, descending)),
            Sheet::Sort, sortBtn);
}

// --- Table ---------------------------------------------------------------------------------------

std::shared_ptr<TableViewCell> DirViewer::makeRowCell() {
  auto cell = std::make_shared<TableViewCell>(TableViewCellStyle::Default, kCellIdentifier);
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
  const char *image = Hardware::isiPad() ? "ipad-button.png" : "iphone-button.png";
  button->setImage(image, ControlState::Normal);
  button->setImage(image, ControlState::Selected);
  auto weak = weakSelf();
  button->addTarget(ControlEvent::TouchUpInside, [weak](Control &c) {
    auto self = weak.lock();
    auto b = dynamic_cast<TableCellButton *>(&c);
    if (self && b) self->clickedTableButton(*b);
  });
  cell->setAccessoryView(button);
  return cell;
}

FolderRowLook DirViewer::rowLook(const DirItemInfo &entry, IndexPath) const {
  const bool pad = Hardware::isiPad();
  return {isChecked(entry) && !entry.isDirectory, true,
          entry.isDirectory ? (pad ? "ipad-button-dir.png" : "iphone-button-dir.png")
                            : (pad ? "ipad-button.png" : "iphone-button.png")};
}

void DirViewer::deleteRow(IndexPath ip, const std::shared_ptr<DirItemInfo> &) {
  checkRow(ip.row);
  doSelectRowAtIndexPath(ip.row);
  menuEntry_ = entryAt(ip.row);
  if (!menuEntry_) return;
  confirm(
      Confirm::FileDelete, "Confirm File Delete",
      Log::format("\"%s\" will be deleted from the server.  Continue?", menuEntry_->name().c_str()),
      "Delete");
}

void DirViewer::clickedTableButton(TableCellButton &button) {
  menuTapped(button.row());
}

void DirViewer::setIndexPath(IndexPath ip, bool selected) {
  if (!tableView) return;
  auto cell = tableView->cellForRowAtIndexPath(ip);
  auto content =
      cell ? std::dynamic_pointer_cast<DirTableCell>(cell->contentView()->viewWithTag(1)) : nullptr;
  if (!content) return;
  content->setSelected(selected);
  content->setNeedsDisplay();
}

void DirViewer::deselectOldRow() {
  if (saveIndexPath) setIndexPath(IndexPath{0, *saveIndexPath}, false);
}

std::optional<IndexPath> DirViewer::willSelectRowAtIndexPath(TableView &table, IndexPath ip) {
  deselectOldRow();
  return FolderTable::willSelectRowAtIndexPath(table, ip);
}

void DirViewer::clickReSort() {
  reSort();
  reloadTableView();
  reselectRow();
}

void DirViewer::clickDisconnect() {
  if (theConnection) theConnection->disconnectFromServer();
}

void DirViewer::showNewView() {
  platform::ui::animate(0.75, [] {});
}

void DirViewer::didSelectRowAtIndexPath(TableView &table, IndexPath ip) {
  // A folder row checked by its menu (Permissions, Rename, Cancel) is never drawn marked: a tap
  // on it opens it, as on any folder row, rather than taking away a mark nobody sees.
  const auto tapped = entryAt(ip.row);
  if (saveIndexPath == ip.row && !(tapped && tapped->isDirectory)) {
    checkRow(std::nullopt);
    showEditSaveButton(kNoButton, false);
    doButtonStates();
    table.deselectRowAtIndexPath(ip, false);
    table.reloadData();
    return;
  }
  checkRow(ip.row);
  doSelectRowAtIndexPath(ip.row);
}

void DirViewer::doSelectRowAtIndexPath(int row) {
  auto entry = entryAt(row);
  doButtonStates();
  if (!entry) return;
  if (auto ip = tableView->indexPathForSelectedRow()) tableView->deselectRowAtIndexPath(*ip, false);
  if (entry->isDirectory) {
    checkRow(std::nullopt);
    changeDirectory(*entry);
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
  checkRow(std::nullopt);
  showEditSaveButton(kNoButton, false);
  if (tableView) tableView->reloadData();
}

std::shared_ptr<DirItemInfo> DirViewer::entryAt(std::optional<int> row) const {
  if (!row || *row < 0 || size_t(*row) >= currentDirectory.size()) return nullptr;
  return currentDirectory[size_t(*row)];
}

void DirViewer::checkRow(std::optional<int> row) {
  auto entry = entryAt(row);
  if (entry)
    check(*entry);
  else
    uncheck();
  saveIndexPath = entry ? row : std::nullopt;
}

// The checked entry keeps its name, not its row: after a new listing, a rename or a search it is
// checked wherever it now stands; hidden by the search or gone, nothing is checked that Download
// or the right-hand button could act on.
void DirViewer::checkedMoved() {
  const auto ip = checkedIndexPath();
  saveIndexPath = ip ? std::optional<int>(ip->row) : std::nullopt;
  if (downloadBtn) downloadBtn->setEnabled(saveIndexPath.has_value());
  // While a transfer shows its spinner there, the right-hand button waits for the folder toolbar.
  if (currentEditButton != 0) doButtonStates();
}

std::shared_ptr<DirItemInfo> DirViewer::actedEntry() const {
  return menuEntry_ ? menuEntry_ : entryAt(saveIndexPath);
}
