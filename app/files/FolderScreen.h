// What the local folder screens share: Saved Files, Cloud Files and the photo library list a
// folder the same way and each fills in only what is its own (where its rows come from, what its
// commands do). The shared part keeps the complete listing and the shown one (filtered by the
// search text, sorted by the chosen column), answers the search bar and the table's row count,
// makes the folder toolbar (refresh, sort, email, upload, menu) and the search bar over the
// table, and checks a new name against the folder. Main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// The buttons of the "Sort Folder" sheet, the present column marked with its order.
std::vector<std::string> sortSheetTitles(int sortColumn, bool descending);

class FolderScreen : public platform::ui::ViewController,
                     public platform::ui::TableViewDataSource,
                     public platform::ui::TableViewDelegate,
                     public platform::ui::SearchBarDelegate,
                     public platform::ui::ActionSheetDelegate {
public:
  // Filters the complete listing by the search text and sorts it by the chosen column.
  void reSort();
  // The sort sheet's choice: a new column ascending, the same column again reversed.
  void sortByDataColumn(int column);
  int sortColumn() const { return sortColumn_; }
  bool descending() const { return descending_; }
  // The rows shown.
  const DirItemList &folderItems() const { return folderItems_; }
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
  void textDidChange(platform::ui::SearchBar &, const std::string &text) override;
  void searchBarCancelButtonClicked(platform::ui::SearchBar &) override;

protected:
  // What stays the same for a screen's whole life.
  struct Shape {
    const char *nibName;
    const char *cellIdentifier;
    platform::ui::Rect rowButton;  // the menu button's frame in a row
    bool searchCancelWhileEditing; // the search bar shows cancel while it is edited
    bool oneSelectedRow;           // a new selection first clears the table's old one
  };
  explicit FolderScreen(const Shape &shape);

  // --- What each screen fills in ---
  virtual FolderRowLook rowLook(const DirItemInfo &entry, platform::ui::IndexPath ip) const = 0;
  // A row may be deleted by a swipe (`entry` is none for a row not shown).
  virtual bool rowDeletable(const std::shared_ptr<DirItemInfo> &entry) const {
    (void)entry;
    return true;
  }
  // The swipe's delete on a deletable row.
  virtual void deleteRow(platform::ui::IndexPath ip, const std::shared_ptr<DirItemInfo> &entry) {
    (void)ip, (void)entry;
  }

  // The size text of a row as a number.
  static int64_t rowSize(const DirItemInfo &item);
  // The shown row at `ip`, or none.
  std::shared_ptr<DirItemInfo> item(std::optional<platform::ui::IndexPath> ip) const;
  // The "Sort Folder" sheet, the present column marked with its order, answering this screen.
  std::shared_ptr<platform::ui::ActionSheet> sortSheet();
  // The sort sheet's answer: a column (0 name, 1 size, 2 date) sorts the list and is kept as the
  // default order of the folder listings; `synchronize` writes the settings out at once.
  void sortChosen(int index, bool synchronize);
  // The title of a sheet's button, empty for an index it does not have (cancel, dismissal).
  static std::string sheetButton(platform::ui::ActionSheet &sheet, int index);
  // Opens the text editor on a file of the device, saved in place.
  static void editSavedFile(const std::string &name, const std::string &path);

  // The remote folder shown on the FTP tab when a connection browses one; otherwise the
  // "Not Connected" alert with `message`, and none.
  std::optional<std::string> uploadFolderOrSay(const std::string &message);
  // The edit/view button a file gets unless the screen gives it another: `play` for audio and
  // video, `view` for pictures, documents and files over `editLimit` bytes, else `edit`.
  static int openingButton(const DirItemInfo &entry, int64_t editLimit, int play, int view,
                           int edit);
  // The file row's buttons: the edit/view button of `kind`, upload and email on (or off, for no
  // file checked).
  void showFileButtons(int kind, bool enabled = true);
  // The screen's edit/view button in the navigation bar (a kind of the screen's own).
  virtual void showEditViewButton(int kind, bool force) = 0;

  // A plain alert with an OK button.
  void alert(const std::string &title, const std::string &message);
  // A name a new or renamed item may take: one plain file name (else says why).
  bool acceptableName(const std::string &name);
  // True, with the "File Name Error" alert, when the folder holds an item of that name.
  bool filenameAlreadyInUse(const std::string &name);
  // The folder holds an item of that name: by default one of the complete listing, whatever the
  // search shows.
  virtual bool nameTakenInFolder(const std::string &name) const;

  // A toolbar button with a picture that calls `fn` on this screen while the screen lives.
  template <class Screen>
  std::shared_ptr<platform::ui::BarButtonItem> folderButton(const char *image, const char *label,
                                                            void (Screen::*fn)()) {
    auto item = platform::ui::BarButtonItem::withImage(
        image, platform::ui::BarButtonItemStyle::Plain, action(sharedAs<Screen>(), fn));
    item->setAccessibilityLabel(label);
    return item;
  }
  template <class Screen> std::shared_ptr<platform::ui::BarButtonItem> refreshButton() {
    auto item =
        platform::ui::BarButtonItem::systemItem(platform::ui::BarButtonSystemItem::Refresh,
                                                action(sharedAs<Screen>(), &Screen::clickRefresh));
    item->setAccessibilityLabel("Refresh");
    return item;
  }
  // The navigation bar's Edit button (calls clickEdit), and a button with a title.
  template <class Screen> std::shared_ptr<platform::ui::BarButtonItem> editBarButton() {
    auto item = platform::ui::BarButtonItem::systemItem(
        platform::ui::BarButtonSystemItem::Edit, action(sharedAs<Screen>(), &Screen::clickEdit));
    item->setAccessibilityLabel("Edit");
    return item;
  }
  template <class Screen>
  std::shared_ptr<platform::ui::BarButtonItem>
  titledBarButton(const char *title, platform::ui::BarButtonItemStyle style, void (Screen::*fn)()) {
    return platform::ui::BarButtonItem::titled(title, style, action(sharedAs<Screen>(), fn));
  }
  // Makes the upload, email and menu buttons (upload "Upload", email "Email", menu "Menu").
  template <class Screen> void makeFileButtons() {
    uploadBtn_ = folderButton("uploads.png", "Upload", &Screen::clickUpload);
    emailBtn_ = folderButton("mail_small.png", "Email", &Screen::clickEmail);
    menuBtn_ = folderButton("menu-v3.png", "Menu", &Screen::clickMenuBtn);
  }
  // The folder toolbar: refresh, sort, email (where mail can be sent), upload and menu.
  std::vector<std::shared_ptr<platform::ui::BarButtonItem>>
  folderToolbarItems(std::shared_ptr<platform::ui::BarButtonItem> refresh,
                     std::shared_ptr<platform::ui::BarButtonItem> sort) const;
  // The search bar over the table (showing the present search text), and the table's data
  // source and delegate; the list starts scrolled under the search bar.
  void attachSearchBar(const char *accessibilityLabel = nullptr);

  int sortColumn_ = 0;
  bool descending_ = false;
  std::string searchString_;
  DirItemList folderItemsEverything_; // the complete listing
  DirItemList folderItems_;           // the rows shown
  std::shared_ptr<platform::ui::TableView> tableView_;
  std::shared_ptr<platform::ui::Toolbar> theToolbar_;
  std::shared_ptr<platform::ui::SearchBar> searchBar_;
  std::shared_ptr<platform::ui::BarButtonItem> uploadBtn_, emailBtn_, menuBtn_;

private:
  template <class Screen>
  static std::function<void(platform::ui::BarButtonItem &)> action(std::shared_ptr<Screen> self,
                                                                   void (Screen::*fn)()) {
    return [weak = std::weak_ptr<Screen>(self), fn](platform::ui::BarButtonItem &) {
      if (auto s = weak.lock()) (s.get()->*fn)();
    };
  }

  Shape shape_;
};
