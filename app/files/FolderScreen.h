// What the local folder screens share beyond the folder table: Saved Files, Cloud Files and the
// photo library make the same folder toolbar (refresh, sort, email, upload, menu) and sort sheet,
// open files the same way and check a new name against the folder; each fills in only what is
// its own (where its rows come from, what its commands do). Main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/files/FolderTable.h"
#include "app/foundation/DirItemInfo.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/Table.h"
#include "platform/ui/TextInput.h"
#include "platform/ui/ViewController.h"

// The buttons of the "Sort Folder" sheet, the present column marked with its order.
std::vector<std::string> sortSheetTitles(int sortColumn, bool descending);

class FolderScreen : public FolderTable {
public:
  int sortColumn() const { return sortColumn_; }
  bool descending() const { return descending_; }
  // The rows shown.
  const DirItemList &folderItems() const { return folderItems_; }
  // The files among the rows shown (no folders): what "Delete All Files" counts and deletes.
  DirItemList shownFiles() const;

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
  // The size above which a text file is viewed rather than edited, by the device's class: what
  // the text editor takes comfortably there.
  static int64_t editSizeLimit();
  // The file row's buttons: the edit/view button of `kind`, upload and email on (or off, for no
  // file checked).
  void showFileButtons(int kind, bool enabled = true);
  // The screen's edit/view button in the navigation bar (a kind of the screen's own).
  virtual void showEditViewButton(int kind, bool force) = 0;

  // A plain alert with an OK button.
  void alert(const std::string &title, const std::string &message);
  // A name a new or renamed item may take in `folder`: one plain file name that the folder's file
  // system takes (else says why, and nothing is made).
  bool acceptableName(const std::string &name, const std::string &folder);
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
  std::shared_ptr<platform::ui::BarButtonItem> uploadBtn_, emailBtn_, menuBtn_;

private:
  template <class Screen>
  static std::function<void(platform::ui::BarButtonItem &)> action(std::shared_ptr<Screen> self,
                                                                   void (Screen::*fn)()) {
    return [weak = std::weak_ptr<Screen>(self), fn](platform::ui::BarButtonItem &) {
      if (auto s = weak.lock()) (s.get()->*fn)();
    };
  }
};
