#include "app/files/FolderScreen.h"

#include <algorithm>

#include "app/files/LocalFilesServices.h"
#include "app/foundation/DirTableCell.h"
#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/ftp/FTPServices.h"
#include "platform/device/MailService.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform::ui;

namespace {
platform::UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : platform::UserDefaults::standard();
}
} // namespace

FolderScreen::FolderScreen(const Shape &shape) : ViewController(shape.nibName), shape_(shape) {}

// --- Listing -----------------------------------------------------------------------------------

void FolderScreen::reSort() {
  folderItems_ = filteredAndSorted(folderItemsEverything_, searchString_, sortColumn_, descending_);
}

void FolderScreen::sortByDataColumn(int column) {
  chooseSortColumn(column, sortColumn_, descending_);
  reSort();
}

void FolderScreen::scrollToPercent(int percent) {
  if (tableView_) scrollTableToPercent(*tableView_, static_cast<int>(folderItems_.size()), percent);
}

int64_t FolderScreen::rowSize(const DirItemInfo &item) {
  return std::atoll(item.size.c_str());
}

std::shared_ptr<DirItemInfo> FolderScreen::item(std::optional<IndexPath> ip) const {
  if (!ip || ip->row < 0 || static_cast<size_t>(ip->row) >= folderItems_.size()) return nullptr;
  return folderItems_[static_cast<size_t>(ip->row)];
}

std::vector<std::string> sortSheetTitles(int sortColumn, bool descending) {
  // A column shows the order a tap on it gives next.
  auto mark = [&](int column, const char *ascending, const char *descendingText) {
    if (column != sortColumn) return std::string();
    return std::string(descending ? ascending : descendingText);
  };
  return {"Sort by Name" + mark(0, " (a,b,c)", " (c,b,a)"),
          "Sort by Size" + mark(1, " (1,2,3)", " (3,2,1)"),
          "Sort by Date" + mark(2, " (1,2,3)", " (3,2,1)")};
}

std::shared_ptr<ActionSheet> FolderScreen::sortSheet() {
  return std::make_shared<ActionSheet>(
      "Sort Folder", std::static_pointer_cast<ActionSheetDelegate>(sharedAs<FolderScreen>()),
      "Cancel", "", sortSheetTitles(sortColumn_, descending_));
}

void FolderScreen::sortChosen(int index, bool synchronize) {
  if (index < 0 || index > 2) return;
  sortByDataColumn(index);
  tableView_->reloadData();
  settings().setObject(std::to_string(sortColumn_), kDefaultSortKey);
  if (synchronize) settings().synchronize();
}

std::string FolderScreen::sheetButton(ActionSheet &sheet, int index) {
  return index >= 0 && index < sheet.numberOfButtons() ? sheet.buttonTitleAtIndex(index) : "";
}

void FolderScreen::editSavedFile(const std::string &name, const std::string &path) {
  if (auto services = FTPAppServices::shared())
    if (auto editor = services->openTextEditor(path)) {
      editor->setTextFileName(name);
      editor->setEditingSavedFile(true);
      editor->setEditingSavedFilePath(path);
    }
}

int FolderScreen::numberOfRowsInSection(TableView &, int) {
  return static_cast<int>(folderItems_.size());
}

std::shared_ptr<TableViewCell> FolderScreen::cellForRowAtIndexPath(TableView &table, IndexPath ip) {
  auto cell = table.dequeueReusableCellWithIdentifier(shape_.cellIdentifier);
  if (!cell) {
    std::weak_ptr<FolderScreen> weak = sharedAs<FolderScreen>();
    cell = makeFolderRowCell(shape_.cellIdentifier, shape_.rowButton, [weak](int row) {
      auto s = weak.lock();
      if (s && s->tableView_)
        s->accessoryButtonTappedForRowWithIndexPath(*s->tableView_, IndexPath{0, row});
    });
  }
  auto entry = item(ip);
  if (!entry) return cell;
  entry->setupSizeDisplay();
  const FolderRowLook look = rowLook(*entry, ip);
  if (auto content = std::dynamic_pointer_cast<DirTableCell>(cell->contentView()->viewWithTag(1))) {
    content->setDirItem(entry);
    content->setSelected(look.checked);
    content->setNeedsDisplay();
  }
  cell->setAccessibilityLabel(entry->name());
  auto button = std::dynamic_pointer_cast<TableCellButton>(cell->accessoryView());
  button->setRow(ip.row);
  button->setEnabled(look.buttonEnabled);
  button->setAccessibilityLabel(entry->name() + " Menu");
  button->setImage(look.buttonImage);
  return cell;
}

bool FolderScreen::canEditRowAtIndexPath(TableView &, IndexPath ip) {
  return rowDeletable(item(ip));
}

void FolderScreen::commitEditingStyle(TableView &, TableViewCellEditingStyle, IndexPath ip) {
  auto entry = item(ip);
  if (entry && rowDeletable(entry)) deleteRow(ip, entry);
}

std::optional<IndexPath> FolderScreen::willSelectRowAtIndexPath(TableView &, IndexPath ip) {
  if (shape_.oneSelectedRow)
    if (auto old = tableView_->indexPathForSelectedRow())
      tableView_->deselectRowAtIndexPath(*old, false);
  return ip;
}

// --- Search bar --------------------------------------------------------------------------------

bool FolderScreen::searchBarShouldBeginEditing(SearchBar &bar) {
  if (shape_.searchCancelWhileEditing) bar.setShowsCancelButton(true);
  return true;
}

bool FolderScreen::searchBarShouldEndEditing(SearchBar &bar) {
  if (shape_.searchCancelWhileEditing) bar.setShowsCancelButton(false);
  return true;
}

void FolderScreen::textDidChange(SearchBar &, const std::string &text) {
  searchString_ = text;
  reSort();
  tableView_->reloadData();
}

void FolderScreen::searchBarCancelButtonClicked(SearchBar &bar) {
  searchString_.clear();
  bar.setText("");
  reSort();
  tableView_->reloadData();
  bar.resignFirstResponder();
}

void FolderScreen::attachSearchBar(const char *accessibilityLabel) {
  auto self = sharedAs<FolderScreen>();
  searchBar_ = std::make_shared<SearchBar>(Rect(0, 0, 320, 44));
  searchBar_->setText(searchString_);
  searchBar_->setPlaceholder("Search Folder");
  if (accessibilityLabel) searchBar_->setAccessibilityLabel(accessibilityLabel);
  searchBar_->setDelegate(std::static_pointer_cast<SearchBarDelegate>(self));
  tableView_->setTableHeaderView(searchBar_);
  tableView_->setDataSource(std::static_pointer_cast<TableViewDataSource>(self));
  tableView_->setDelegate(std::static_pointer_cast<TableViewDelegate>(self));
  tableView_->setContentOffset(Point{0, 44}, false);
}

// --- Toolbar -----------------------------------------------------------------------------------

std::vector<std::shared_ptr<BarButtonItem>>
FolderScreen::folderToolbarItems(std::shared_ptr<BarButtonItem> refresh,
                                 std::shared_ptr<BarButtonItem> sort) const {
  return {std::move(refresh),
          BarButtonItem::flexibleSpace(),
          std::move(sort),
          BarButtonItem::flexibleSpace(),
          BarButtonItem::flexibleSpace(),
          platform::MailService::canSendMail() ? emailBtn_ : BarButtonItem::fixedSpace(20),
          BarButtonItem::flexibleSpace(),
          uploadBtn_,
          BarButtonItem::flexibleSpace(),
          menuBtn_};
}

// --- Commands ---------------------------------------------------------------------------------

std::optional<std::string> FolderScreen::uploadFolderOrSay(const std::string &message) {
  auto &services = LocalFilesServices::shared();
  std::string remote;
  if (!services.browsingConnected() || !services.remoteBrowserFolder(&remote)) {
    alert("Not Connected", message);
    return std::nullopt;
  }
  return remote;
}

int FolderScreen::openingButton(const DirItemInfo &entry, int64_t editLimit, int play, int view,
                                int edit) {
  const int type = entry.fileType();
  if (type == DirItemInfo::kFileTypeAudio || type == DirItemInfo::kFileTypeVideo) return play;
  if (type == DirItemInfo::kFileTypeImage || type == DirItemInfo::kFileTypeDocument ||
      rowSize(entry) > editLimit)
    return view;
  return edit;
}

void FolderScreen::showFileButtons(int kind, bool enabled) {
  showEditViewButton(kind, false);
  uploadBtn_->setEnabled(enabled);
  emailBtn_->setEnabled(enabled);
}

// --- Names -------------------------------------------------------------------------------------

void FolderScreen::alert(const std::string &title, const std::string &message) {
  std::make_shared<AlertView>(title, message, std::weak_ptr<AlertViewDelegate>(), "OK")->show();
}

bool FolderScreen::acceptableName(const std::string &name) {
  std::string why;
  if (isSingleFileName(name, &why)) return true;
  alert("File Name Error", "That name cannot be used: " + why);
  return false;
}

bool nameIsListed(const DirItemList &entries, const std::string &name) {
  return std::any_of(entries.begin(), entries.end(),
                     [&](const auto &row) { return row && row->name() == name; });
}

bool FolderScreen::nameTakenInFolder(const std::string &name) const {
  return nameIsListed(folderItemsEverything_, name);
}

bool FolderScreen::filenameAlreadyInUse(const std::string &name) {
  if (!nameTakenInFolder(name)) return false;
  alert("File Name Error", "A file with that name already exists in the folder.");
  return true;
}
