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

#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

#include <algorithm>

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
  return std::make_shared<DirViewer>(std::move(c), nibName);
}

DirViewer::DirViewer(std::shared_ptr<FTPConnection> connection, const std::string &nibName)
    : ViewController(nibName), theConnection(std::move(connection)) {}

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
  return theConnection ? theConnection->currentServerName() : std::string();
}
bool DirViewer::anonymous() const {
  return theConnection && theConnection->loginUser().empty();
}
bool DirViewer::rawOffered() const {
  return theConnection && UserDefaults::standard().integerForKey(kRawMenuOptionKey) != 0;
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

void DirViewer::viewDidLoad() {
  const std::string title = currentTitle == "." || currentTitle.empty() ? "/" : currentTitle;
  navigationItem().setTitle(title);
  setTitle(title);
  navigationItem().setBackBarButtonItem(BarButtonItem::titled(
      myEllipseAfter(currentTitle == "." || currentTitle.empty() ? serverName() : currentTitle, 8),
      BarButtonItemStyle::Plain));
  sortColumn = int(UserDefaults::standard().integerForKey(keySort(serverName())));
  showEditSaveButton(kNoButton, false);
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
}

void DirViewer::viewWillAppear(bool) {
  showAppropriateToolbar();
  tableView->reloadData();
  if (auto ip = tableView->indexPathForSelectedRow()) tableView->deselectRowAtIndexPath(*ip, false);
  doButtonStates();
}

void DirViewer::viewDidAppear(bool) {
  showAppropriateToolbar();
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
  if (progress) progress->setProgress(fraction);
}

void DirViewer::updateProgressText(const std::string &text) {
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

void DirViewer::showAppropriateToolbar() {
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
  if (!progress) progress = std::make_shared<ProgressView>(ProgressViewStyle::Bar);
  if (!activity_)
    activity_ = std::make_shared<ActivityIndicatorView>(ActivityIndicatorStyle::White);
  activity_->startAnimating();
  theToolbar->setItems({BarButtonItem::flexibleSpace(), BarButtonItem::withCustomView(progress),
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
    auto spacer = BarButtonItem::withImage("mail_spacer.png", BarButtonItemStyle::Plain);
    spacer->setEnabled(false);
    auto flex = [] { return BarButtonItem::flexibleSpace(); };
    theToolbar->setItems({refresh, flex(), item("sort24.png", "Sort", &DirViewer::clickSort),
                          flex(), flex(), spacer, flex(), downloadBtn, flex(),
                          item("menu-v3.png", "Menu", &DirViewer::clickMenuBtn)},
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
  if (theConnection) theConnection->changeDirectory(currentWorkingDirectory_);
}

void DirViewer::changeDirectory(const std::string &folder) {
  auto next = initWithExistingConnection(theConnection, "DirViewer");
  next->currentTitle = folder;
  if (auto nav = navigationController()) nav->pushViewController(next, true);
  if (theConnection)
    theConnection->changeDirectory(platform::appendPathComponent(currentWorkingDirectory_, folder));
}

void DirViewer::scrollToPercent(int percent) {
  if (currentDirectory.empty()) return;
  percent = std::clamp(percent, 0, 100);
  int row =
      std::min(int(percent * int(currentDirectory.size()) / 100), int(currentDirectory.size()) - 1);
  tableView->scrollToRowAtIndexPath(IndexPath{0, row}, TableViewScrollPosition::Middle, true);
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
                               "Sort by Date" + order(2, " (1,2,3)", " (3,2,1)")}));
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
  auto cell = table.dequeueReusableCellWithIdentifier(kCellIdentifier);
  if (!cell) {
    cell = std::make_shared<TableViewCell>(TableViewCellStyle::Default, kCellIdentifier);
    cell->setSelectionStyle(TableViewCellSelectionStyle::Gray);
    auto dirCell = DirTableCell::initWithFrame(Rect{0, 0, 320, 44});
    dirCell->setTag(1);
    cell->contentView()->addSubview(dirCell);
  }
  auto entry = currentDirectory[size_t(ip.row)];
  auto dirCell = std::dynamic_pointer_cast<DirTableCell>(cell->contentView()->viewWithTag(1));
  entry->setupSizeDisplay();
  if (dirCell) {
    dirCell->setDirItem(entry);
    dirCell->setSelected(saveIndexPath == ip.row && !entry->isDirectory);
  }
  cell->setAccessibilityLabel(entry->name());
  cell->setAccessoryType(TableViewCellAccessoryType::DetailDisclosureButton);
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
  auto alert = std::make_shared<AlertView>(
      "Confirm File Delete",
      Log::format("\"%s\" will be deleted from the server.  Continue?", menuEntry_->name().c_str()),
      std::weak_ptr<AlertViewDelegate>(sharedAs<DirViewer>()), "Cancel",
      std::vector<std::string>{"Delete"});
  showOnMainThread(alert);
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
  if (!q || !theConnection) return;
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
  if (!theConnection) return;
  theConnection->downloadFile(e.name(), sizeOf(e), true, false, currentWorkingDirectory_, head,
                              tail, 0);
  showWorkingToolbar();
}

void DirViewer::clickEditBtn() {
  auto e = entryAt(saveIndexPath);
  if (!e || e->isDirectory) return;
  if (!isMedia(e->fileType()) && sizeOf(*e) > fullFileLimit()) {
    openSheet(std::make_shared<ActionSheet>(
        "The Full File is Too Big to Edit", std::weak_ptr<ActionSheetDelegate>(), "Cancel", "",
        std::vector<std::string>{"View Beginning (Head)", "View End (Tail)"}));
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

void DirViewer::openSheet(std::shared_ptr<ActionSheet> sheet) {
  sheet->setDelegate(std::weak_ptr<ActionSheetDelegate>(sharedAs<DirViewer>()));
  openSheet_ = sheet;
  if (auto tabs = tabBarController())
    sheet->showFromTabBar(tabs->tabBar());
  else
    sheet->showInView(view());
}

void DirViewer::accessoryButtonTappedForRowWithIndexPath(TableView &table, IndexPath ip) {
  auto e = entryAt(ip.row);
  if (!e) return;
  table.selectRowAtIndexPath(ip, false, TableViewScrollPosition::None);
  saveIndexPath = ip.row;
  doButtonStates();
  menuEntry_ = e;
  std::vector<std::string> items;
  if (e->isDirectory) items.push_back("Download Folder");
  items.push_back(e->isDirectory ? "Rename Folder" : "Rename File");
  if (theConnection) items.push_back(e->isDirectory ? "Move Folder" : "Move File");
  if (theConnection && theConnection->canDoChmod()) items.push_back("Permissions (CHMOD)");
  if (rawOffered()) items.push_back("Raw FTP Command");
  openSheet(std::make_shared<ActionSheet>(e->name(), std::weak_ptr<ActionSheetDelegate>(), "Cancel",
                                          e->isDirectory ? "Delete Folder" : "Delete File", items));
  tableView->reloadData();
}

void DirViewer::clickMenuBtn() {
  if (openSheet_ && openSheet_->isVisible()) return;
  if (theConnection && anonymous()) {
    openSheet(std::make_shared<ActionSheet>("Anonymous Login; No Menu Commands",
                                            std::weak_ptr<ActionSheetDelegate>(), "Close"));
    return;
  }
  std::vector<std::string> items{"Upload Picture", "Create File", "Create Directory",
                                 "Download All Files", "Download All Files & Folders"};
  if (rawOffered()) items.push_back("Raw FTP Command");
  openSheet(std::make_shared<ActionSheet>("FTP Folder Commands",
                                          std::weak_ptr<ActionSheetDelegate>(), "Cancel",
                                          "Delete All Files", items));
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

void DirViewer::menuAnswer(const std::string &title) {
  auto e = menuEntry_;
  if (!e) return;
  const bool folder = e->isDirectory;
  if (title == "Delete File" || title == "Delete Folder") {
    showOnMainThread(std::make_shared<AlertView>(
        folder ? "Confirm Folder Delete" : "Confirm File Delete",
        folder
            ? Log::format("Folder \"%s\" will be deleted from the server.  (Folder may need to "
                          "be emptied to be deleted.)",
                          e->name().c_str())
            : Log::format("\"%s\" will be deleted from the server.  Continue?", e->name().c_str()),
        std::weak_ptr<AlertViewDelegate>(sharedAs<DirViewer>()), "Cancel",
        std::vector<std::string>{"Delete"}));
  } else if (title == "Download Folder") {
    queueDownload(*e, "", false, true);
    deselectSelectedRow();
  } else if (title == "Rename File" || title == "Rename Folder") {
    pushPrompt(title, e->name(), folder ? "Rename Folder To:" : "Rename File To:",
               [](DirViewer &s, TextPromptViewer &p) { s.doRenameFile(p); });
  } else if (title == "Move File" || title == "Move Folder") {
    std::vector<EditDataItem> items{EditDataItem("Leave in Current Folder")};
    std::vector<std::string> images{"imageBlank24"};
    if (!rootFolder) items.emplace_back("Up a Folder"), images.push_back("imageUpFolder");
    for (auto &d : currentDirectory)
      if (d->isDirectory && d != e) items.emplace_back(d->name()), images.push_back("imageFolder");
    auto weak = weakSelf();
    auto chooser = EditDataViewController::initWithTitle(
        "Move " + e->name(), items, 0, folder ? "Move Folder To..." : "Move File To...",
        "EditDataView", [weak](EditDataViewController &c) {
          std::vector<std::string> names;
          for (auto &i : c.tableItems)
            names.push_back(i.name);
          if (auto self = weak.lock()) self->doMoveFile(c.rowSelected, names);
        });
    chooser->tableItemsAreStrings = true;
    chooser->doSelectorOnChange = false;
    chooser->tableItemImages = images;
    if (auto nav = navigationController()) nav->pushViewController(chooser, true);
  } else if (title == "Permissions (CHMOD)") {
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
  } else if (title == "Raw FTP Command") {
    pushPrompt(
        "FTP Command", rawPrefix.empty() ? e->name() : rawPrefix + " " + e->name(),
        "Send Raw FTP Command:", [](DirViewer &s, TextPromptViewer &p) { s.doRawCommand(p); },
        true);
  } else {
    deselectSelectedRow();
  }
}

void DirViewer::folderCommand(int index) {
  auto q = queue();
  switch (index) {
  case 0: {
    long n = std::count_if(currentDirectory.begin(), currentDirectory.end(),
                           [](const auto &e) { return !e->isDirectory; });
    showOnMainThread(std::make_shared<AlertView>(
        "Confirm Delete All Files",
        Log::format("This will delete %li files in the folder!  Continue?", n),
        std::weak_ptr<AlertViewDelegate>(sharedAs<DirViewer>()), "Cancel",
        std::vector<std::string>{"Delete All"}));
    return;
  }
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
    return;
  case 6:
    if (rawOffered()) {
      menuEntry_.reset();
      pushPrompt(
          "FTP Command", rawLast,
          "Send Raw FTP Command:", [](DirViewer &s, TextPromptViewer &p) { s.doRawCommand(p); },
          true);
      return;
    }
    break;
  default:
    break;
  }
  deselectSelectedRow();
}

void DirViewer::clickedButtonAtIndex(ActionSheet &sheet, int index) {
  auto keep = openSheet_;
  openSheet_.reset();
  const std::string title = sheet.title(), button = sheet.buttonTitleAtIndex(index);
  if (index == sheet.cancelButtonIndex()) {
    deselectSelectedRow();
    return;
  }
  if (title == "Sort Folder") {
    sortByDataColumn(index);
  } else if (title == "The Full File is Too Big to Edit") {
    if (auto e = actedEntry()) fetchForViewing(*e, index == 0, index == 1);
    deselectSelectedRow();
  } else if (title == "FTP Folder Commands") {
    folderCommand(index);
  } else if (title != "Anonymous Login; No Menu Commands") {
    menuAnswer(button);
  }
}

void DirViewer::removeVisible(const std::shared_ptr<DirItemInfo> &entry) {
  auto drop = [&](DirItemList &list) { std::erase(list, entry); };
  drop(currentDirectory);
  drop(currentDirectoryEverything);
  tableView->reloadData();
}

void DirViewer::clickedButtonAtIndex(AlertView &alert, int index) {
  const std::string title = alert.title();
  auto e = actedEntry();
  if (index == 1 && theConnection) {
    if ((title == "Confirm File Delete" || title == "Confirm Folder Delete") && e) {
      theConnection->deleteFile(e->name(), currentWorkingDirectory_,
                                title != "Confirm File Delete");
      showWorkingTextToolbar();
      removeVisible(e);
    } else if (title == "Confirm Delete All Files") {
      std::vector<std::string> names;
      for (auto &d : currentDirectory)
        if (!d->isDirectory) names.push_back(d->name());
      theConnection->deleteFileBatch(names, currentWorkingDirectory_, false);
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
  if (theConnection) theConnection->renameFile(e->name(), name, currentWorkingDirectory_);
  showWorkingTextToolbar();
  e->setName(name);
  sortDirectory();
}

void DirViewer::doMoveFile(int rowSelected, const std::vector<std::string> &items) {
  auto e = actedEntry();
  if (!e || rowSelected <= 0 || size_t(rowSelected) >= items.size()) return;
  std::string target = items[size_t(rowSelected)];
  if (target == "Up a Folder") target = "..";
  deselectSelectedRow();
  deselectCheckedRow();
  if (!theConnection) return;
  theConnection->renameFile(e->name(), platform::appendPathComponent(target, e->name()),
                            currentWorkingDirectory_);
  theConnection->setReloadDirWhenDone(true);
  showWorkingTextToolbar();
}

void DirViewer::doCreateFile(TextPromptViewer &prompt) {
  const std::string name = prompt.filename ? prompt.filename->text() : "";
  if (name.empty() || filenameAlreadyInUse(name)) return;
  if (theConnection)
    theConnection->uploadFile(name, FTPConnection::Bytes{' '}, currentWorkingDirectory_, true);
  showWorkingTextToolbar();
  deselectSelectedRow();
}

void DirViewer::doCreateDirectory(TextPromptViewer &prompt) {
  const std::string name = prompt.filename ? prompt.filename->text() : "";
  if (name.empty() || filenameAlreadyInUse(name)) return;
  if (theConnection) theConnection->makeDirectory(name, currentWorkingDirectory_);
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
  if (theConnection)
    theConnection->chmodFile(e->name(), currentWorkingDirectory_, editor.attributes);
  showWorkingToolbar();
  deselectSelectedRow();
}
