// What every folder screen shares, remote or local: the complete listing and the shown one
// (filtered by the search text, sorted by the chosen column), the table that shows it and the
// search bar over it, and the checked entry. Saved Files, Cloud Files, the photo library and the
// remote folder each fill in the shape with what is their own: the row's cell and look, how the
// search bar's cancel button comes and goes, what a swipe deletes, and what follows when the
// checked entry moves, hides or goes.
//
// The checked entry is kept by its key (its name, unless the screen says otherwise), never by
// its row: a new folder, an upload, a rename or a search moves rows, and the checked entry stays
// with its file. When the file leaves the folder nothing is checked. Main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/foundation/DirItemInfo.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/Table.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

// What a screen's rows look like beyond the entry itself.
struct FolderRowLook {
  bool checked = false;      // drawn as the checked (selected) row
  bool buttonEnabled = true; // the row's menu button
  std::string buttonImage;   // its picture (empty: none)
};

// A name is in use in a folder when any of its entries bears it, shown or not: the search
// filter hides rows, never names.
bool nameIsListed(const DirItemList &entries, const std::string &name);

class FolderTable : public platform::ui::ViewController,
                    public platform::ui::TableViewDataSource,
                    public platform::ui::TableViewDelegate,
                    public platform::ui::SearchBarDelegate,
                    public platform::ui::ActionSheetDelegate {
public:
  // How the search bar's cancel button comes and goes.
  enum class SearchCancel {
    Never,        // never shown
    WhileEditing, // shown while the text is edited
    Animated,     // shown, animated, while the text is edited; the search key puts it away too
  };
  // What stays the same for a screen's whole life.
  struct Shape {
    const char *cellIdentifier;
    platform::ui::Rect rowButton; // the menu button's frame in a row
    SearchCancel searchCancel;
    bool oneSelectedRow; // a new selection first clears the table's old one
  };

  // Filters the complete listing by the search text and sorts it by the chosen column; the
  // checked entry follows its file (checkedMoved).
  virtual void reSort();
  // The sort sheet's choice: a new column ascending, the same column again reversed.
  void sortByDataColumn(int column);
  void scrollToPercent(int percent);

  int numberOfRowsInSection(platform::ui::TableView &, int) override;
  // A row: the entry drawn by the folder cell, named for accessibility, with its menu button.
  std::shared_ptr<platform::ui::TableViewCell>
  cellForRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;
  bool canEditRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  void commitEditingStyle(platform::ui::TableView &, platform::ui::TableViewCellEditingStyle,
                          platform::ui::IndexPath ip) override;
  std::optional<platform::ui::IndexPath>
  willSelectRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  bool searchBarShouldBeginEditing(platform::ui::SearchBar &) override;
  bool searchBarShouldEndEditing(platform::ui::SearchBar &) override;
  void searchBarTextDidBeginEditing(platform::ui::SearchBar &bar) override;
  void searchBarTextDidEndEditing(platform::ui::SearchBar &bar) override;
  void searchBarSearchButtonClicked(platform::ui::SearchBar &bar) override;
  void textDidChange(platform::ui::SearchBar &, const std::string &text) override;
  void searchBarCancelButtonClicked(platform::ui::SearchBar &) override;

protected:
  FolderTable(const std::string &nibName, const Shape &shape);

  // --- What each screen fills in ---
  virtual FolderRowLook rowLook(const DirItemInfo &entry, platform::ui::IndexPath ip) const = 0;
  // A new row cell whose menu button calls menuTapped (by default the folder cell).
  virtual std::shared_ptr<platform::ui::TableViewCell> makeRowCell();
  // A row may be deleted by a swipe (`entry` is none for a row not shown).
  virtual bool rowDeletable(const std::shared_ptr<DirItemInfo> &entry) const {
    (void)entry;
    return true;
  }
  // The swipe's delete on a deletable row.
  virtual void deleteRow(platform::ui::IndexPath ip, const std::shared_ptr<DirItemInfo> &entry) {
    (void)ip, (void)entry;
  }
  // What identifies an entry for the checked mark (its name by default).
  virtual std::string checkKey(const DirItemInfo &entry) const { return entry.name(); }
  // After every re-sort: the checked entry may stand on another row, be hidden by the search, or
  // have gone (then nothing is checked). The screen brings its buttons in line.
  virtual void checkedMoved() {}

  // The menu button of `row` was tapped.
  void menuTapped(int row);
  // The size text of a row as a number.
  static int64_t rowSize(const DirItemInfo &item);
  // The shown row at `ip`, or none.
  std::shared_ptr<DirItemInfo> item(std::optional<platform::ui::IndexPath> ip) const;
  // The shown row of that name, or none.
  std::optional<platform::ui::IndexPath> indexPathOf(const std::string &name) const;

  // --- The checked entry ---
  void check(const DirItemInfo &entry) { checkedKey_ = checkKey(entry); }
  void uncheck() { checkedKey_.reset(); }
  bool hasChecked() const { return checkedKey_.has_value(); }
  bool isChecked(const DirItemInfo &entry) const {
    return checkedKey_ && *checkedKey_ == checkKey(entry);
  }
  // The checked entry's shown row, or none (nothing checked, or hidden by the search).
  std::optional<platform::ui::IndexPath> checkedIndexPath() const;
  // The checked entry as shown, or none.
  std::shared_ptr<DirItemInfo> checkedEntry() const { return item(checkedIndexPath()); }
  // The checked entry in the complete listing, shown or not, or none.
  std::shared_ptr<DirItemInfo> checkedListed() const;

  // The search bar over the table (showing the present search text), and the table's data
  // source and delegate; the list starts scrolled under the search bar.
  std::shared_ptr<platform::ui::SearchBar>
  attachSearchBar(const char *accessibilityLabel = nullptr);

  int sortColumn_ = 0;
  bool descending_ = false;
  std::string searchString_;
  DirItemList folderItemsEverything_; // the complete listing
  DirItemList folderItems_;           // the rows shown
  std::shared_ptr<platform::ui::TableView> tableView_;
  std::shared_ptr<platform::ui::Toolbar> theToolbar_;
  std::shared_ptr<platform::ui::SearchBar> searchBar_;

private:
  Shape shape_;
  std::optional<std::string> checkedKey_;
};
