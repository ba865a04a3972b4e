#include "app/files/FolderTable.h"

#include <algorithm>
#include <cstdlib>

#include "app/foundation/DirTableCell.h"

using namespace platform::ui;

FolderTable::FolderTable(const std::string &nibName, const Shape &shape)
    : ViewController(nibName), shape_(shape) {}

// --- Listing -----------------------------------------------------------------------------------

void FolderTable::reSort() {
  folderItems_ = filteredAndSorted(folderItemsEverything_, searchString_, sortColumn_, descending_);
  if (checkedKey_ && !checkedListed()) checkedKey_.reset();
  checkedMoved();
}

void FolderTable::sortByDataColumn(int column) {
  chooseSortColumn(column, sortColumn_, descending_);
  reSort();
  if (tableView_) tableView_->reloadData();
}

void FolderTable::scrollToPercent(int percent) {
  if (tableView_) scrollTableToPercent(*tableView_, static_cast<int>(folderItems_.size()), percent);
}

int64_t FolderTable::rowSize(const DirItemInfo &item) {
  return std::atoll(item.size.c_str());
}

std::shared_ptr<DirItemInfo> FolderTable::item(std::optional<IndexPath> ip) const {
  if (!ip || ip->row < 0 || static_cast<size_t>(ip->row) >= folderItems_.size()) return nullptr;
  return folderItems_[static_cast<size_t>(ip->row)];
}

std::optional<IndexPath> FolderTable::indexPathOf(const std::string &name) const {
  for (size_t i = 0; i < folderItems_.size(); ++i)
    if (folderItems_[i] && folderItems_[i]->name() == name)
      return IndexPath{0, static_cast<int>(i)};
  return std::nullopt;
}

bool nameIsListed(const DirItemList &entries, const std::string &name) {
  return std::any_of(entries.begin(), entries.end(),
                     [&](const auto &row) { return row && row->name() == name; });
}

// --- The checked entry -------------------------------------------------------------------------

std::optional<IndexPath> FolderTable::checkedIndexPath() const {
  if (!checkedKey_) return std::nullopt;
  for (size_t i = 0; i < folderItems_.size(); ++i)
    if (folderItems_[i] && checkKey(*folderItems_[i]) == *checkedKey_)
      return IndexPath{0, static_cast<int>(i)};
  return std::nullopt;
}

std::shared_ptr<DirItemInfo> FolderTable::checkedListed() const {
  if (!checkedKey_) return nullptr;
  for (const auto &row : folderItemsEverything_)
    if (row && checkKey(*row) == *checkedKey_) return row;
  return nullptr;
}

// --- Table -------------------------------------------------------------------------------------

int FolderTable::numberOfRowsInSection(TableView &, int) {
  return static_cast<int>(folderItems_.size());
}

std::shared_ptr<TableViewCell> FolderTable::makeRowCell() {
  std::weak_ptr<FolderTable> weak = sharedAs<FolderTable>();
  return makeFolderRowCell(shape_.cellIdentifier, shape_.rowButton, [weak](int row) {
    if (auto s = weak.lock()) s->menuTapped(row);
  });
}

void FolderTable::menuTapped(int row) {
  if (tableView_) accessoryButtonTappedForRowWithIndexPath(*tableView_, IndexPath{0, row});
}

std::shared_ptr<TableViewCell> FolderTable::cellForRowAtIndexPath(TableView &table, IndexPath ip) {
  auto cell = table.dequeueReusableCellWithIdentifier(shape_.cellIdentifier);
  if (!cell) cell = makeRowCell();
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
  if (auto button = std::dynamic_pointer_cast<TableCellButton>(cell->accessoryView())) {
    button->setRow(ip.row);
    button->setEnabled(look.buttonEnabled);
    button->setAccessibilityLabel(entry->name() + " Menu");
    button->setImage(look.buttonImage);
  }
  return cell;
}

bool FolderTable::canEditRowAtIndexPath(TableView &, IndexPath ip) {
  return rowDeletable(item(ip));
}

void FolderTable::commitEditingStyle(TableView &, TableViewCellEditingStyle, IndexPath ip) {
  auto entry = item(ip);
  if (entry && rowDeletable(entry)) deleteRow(ip, entry);
}

std::optional<IndexPath> FolderTable::willSelectRowAtIndexPath(TableView &, IndexPath ip) {
  if (shape_.oneSelectedRow)
    if (auto old = tableView_->indexPathForSelectedRow())
      tableView_->deselectRowAtIndexPath(*old, false);
  return ip;
}

// --- Search bar --------------------------------------------------------------------------------

bool FolderTable::searchBarShouldBeginEditing(SearchBar &bar) {
  if (shape_.searchCancel == SearchCancel::WhileEditing) bar.setShowsCancelButton(true);
  return true;
}

bool FolderTable::searchBarShouldEndEditing(SearchBar &bar) {
  if (shape_.searchCancel == SearchCancel::WhileEditing) bar.setShowsCancelButton(false);
  return true;
}

void FolderTable::searchBarTextDidBeginEditing(SearchBar &bar) {
  if (shape_.searchCancel == SearchCancel::Animated) bar.setShowsCancelButton(true, true);
}

void FolderTable::searchBarTextDidEndEditing(SearchBar &bar) {
  if (shape_.searchCancel == SearchCancel::Animated) bar.setShowsCancelButton(false, true);
}

void FolderTable::searchBarSearchButtonClicked(SearchBar &bar) {
  if (shape_.searchCancel != SearchCancel::Animated) return;
  bar.setShowsCancelButton(false, true);
  bar.resignFirstResponder();
}

void FolderTable::textDidChange(SearchBar &, const std::string &text) {
  searchString_ = text;
  reSort();
  tableView_->reloadData();
}

void FolderTable::searchBarCancelButtonClicked(SearchBar &bar) {
  searchString_.clear();
  bar.setText("");
  reSort();
  tableView_->reloadData();
  if (shape_.searchCancel == SearchCancel::Animated) bar.setShowsCancelButton(false, true);
  bar.resignFirstResponder();
}

std::shared_ptr<SearchBar> FolderTable::attachSearchBar(const char *accessibilityLabel) {
  auto self = sharedAs<FolderTable>();
  searchBar_ = std::make_shared<SearchBar>(Rect(0, 0, 320, 44));
  searchBar_->setText(searchString_);
  searchBar_->setPlaceholder("Search Folder");
  if (accessibilityLabel) searchBar_->setAccessibilityLabel(accessibilityLabel);
  searchBar_->setDelegate(std::static_pointer_cast<SearchBarDelegate>(self));
  tableView_->setTableHeaderView(searchBar_);
  tableView_->setDataSource(std::static_pointer_cast<TableViewDataSource>(self));
  tableView_->setDelegate(std::static_pointer_cast<TableViewDelegate>(self));
  tableView_->setContentOffset(Point{0, 44}, false);
  return searchBar_;
}
