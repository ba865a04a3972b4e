// Server bookmarks: rows of the table `bookmark`, shown as a list of folders and bookmarks that is
// opened from the connect screen. Picking a bookmark fills the connect screen through the settings;
// the list also makes folders, edits rows (BookmarkEditViewController), deletes rows and whole
// folders, and exports every bookmark to "bookmarks.txt" in Saved Files.
#pragma once

#include "platform/ui/Presentation.h"
#include "platform/ui/Table.h"
#include "platform/ui/ViewController.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
class BookmarkEditViewController;
class EditDataViewController;
class TextPromptViewer;

// One row of `bookmark`. A folder is a row whose server is empty.
struct MyBookmark {
  int primaryKey = 0;
  std::string name, server, user, password, weburl, protocol = "ftp";
  std::string alwaysTryFTPS = "0", warnNoFTPS = "0";
  int parentKey = 0;
  bool isFolder() const { return server.empty(); }
  // What the list shows: the name, or the server when the name is empty.
  const std::string &title() const { return name.empty() ? server : name; }
};

// The connect screen as the list fills it.
class BookmarkConnectTarget {
public:
  virtual ~BookmarkConnectTarget() = default;
  virtual void selectedBookmark() {}
  virtual void fillServerFromDefaults() {}
  virtual void doConnectFromBookmarks() {}
};

// The folder tree below `parentKey`, depth first, each level sorted by name and each name indented
// by three spaces per level. A folder met twice (parent links that form a loop) is not entered
// again.
void getBookmarkFolders(sqlite3 *db, std::vector<MyBookmark> &list, int depth, int parentKey);
// The folder's name; "Bookmarks" for 0, empty text for an unknown key.
std::string getBookmarkName(int key);
// Deletes the row and, for a folder, everything below it at any depth. Parent links that form a
// loop end the walk.
void deleteBookmarkTree(sqlite3 *db, int pk);
// The export text of every bookmark in the table (folders are not exported); none when the table
// cannot be read.
std::optional<std::string> bookmarkExportText(sqlite3 *db);
// Writes it to Saved Files/"bookmarks.txt", readable by the user alone (the passwords are only
// scrambled). The export there before is replaced in one step, and only by a whole new one.
enum class BookmarkExport { Written, NotRead, NotWritten };
BookmarkExport exportBookmarks(sqlite3 *db);

class BookmarkViewController : public platform::ui::ViewController,
                               public platform::ui::TableViewDataSource,
                               public platform::ui::TableViewDelegate,
                               public platform::ui::AlertViewDelegate {
public:
  static constexpr const char *kCellIdentifier = "Ferrowen_BookmarkCell";
  // The top level (no title) or one folder's level.
  static std::shared_ptr<BookmarkViewController>
  initWithNibName(const std::string &nibName, const std::string &title = {}, int parentKeyID = 0,
                  std::weak_ptr<BookmarkConnectTarget> parentConnect = {});
  BookmarkViewController(const std::string &nibName, std::string title, int parentKeyID,
                         std::weak_ptr<BookmarkConnectTarget> parentConnect);
  ~BookmarkViewController() override;

  void loadDatabaseData();
  void doneEditing(BookmarkEditViewController &editor);
  void clickDone();
  void clickEdit();
  void clickNewFolder();
  void doAddBookmarkFolder(TextPromptViewer &prompt);
  void clickExport();

  const std::vector<MyBookmark> &bookmarks() const { return bookmarks_; }
  int parentKeyID() const { return parentKeyID_; }
  bool fEditMode() const { return fEditMode_; }
  std::shared_ptr<platform::ui::TableView> tableView() const { return tableView_; }
  std::shared_ptr<platform::ui::Toolbar> theToolbar() const { return theToolbar_; }
  // The popover that holds the list on iPad (none on iPhone).
  std::weak_ptr<platform::ui::PopoverController> popoverParent;

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void setEditing(bool editing, bool animated) override;

  int numberOfRowsInSection(platform::ui::TableView &, int) override;
  std::shared_ptr<platform::ui::TableViewCell>
  cellForRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;
  void commitEditingStyle(platform::ui::TableView &, platform::ui::TableViewCellEditingStyle style,
                          platform::ui::IndexPath ip) override;
  std::optional<platform::ui::TableViewCellAccessoryType>
  accessoryTypeForRowWithIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  void didSelectRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;
  void accessoryButtonTappedForRowWithIndexPath(platform::ui::TableView &,
                                                platform::ui::IndexPath ip) override;
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int index) override;

private:
  void closeDatabase();
  void setToolbar();
  void dismiss();
  void removeRow(int row);

  std::string theTitle_;
  int parentKeyID_ = 0;
  std::weak_ptr<BookmarkConnectTarget> parentConnect_;
  sqlite3 *database_ = nullptr;
  std::vector<MyBookmark> bookmarks_;
  bool fEditMode_ = false;
  int deleteItemRow_ = -1;
  // The open question about deleting a bookmark folder (answers are told apart by it).
  std::shared_ptr<platform::ui::AlertView> confirmFolderDelete_;
  std::shared_ptr<platform::ui::TableView> tableView_;
  std::shared_ptr<platform::ui::Toolbar> theToolbar_;
};

// The editor of one bookmark or folder: a form of label and value rows, each opening the
// edit-one-value screen. When it goes away with changes it hands itself to its target.
class BookmarkEditViewController : public platform::ui::ViewController,
                                   public platform::ui::TableViewDataSource,
                                   public platform::ui::TableViewDelegate {
public:
  using Target = std::function<void(BookmarkEditViewController &)>;
  explicit BookmarkEditViewController(const std::string &nibName);
  static std::shared_ptr<BookmarkEditViewController> initWithNibName(const std::string &nibName);
  void setTarget(Target target) { targetDone_ = std::move(target); }

  int primaryKey = 0, selectedIndex = 0, parentKey = 0;
  std::string name, server, username, password, weburl, protocol;
  bool tryFTPS = false, warnNoFTPS = false;
  bool dirty() const { return dirty_; }
  int WEB_INDEX() const { return webIndex_; }
  int FOLDER_INDEX() const { return folderIndex_; }
  std::shared_ptr<platform::ui::TableView> tableView() const { return tableView_; }

  void loadView() override;
  void viewDidLoad() override;
  void viewWillDisappear(bool animated) override;

  int numberOfSectionsInTableView(platform::ui::TableView &) override;
  int numberOfRowsInSection(platform::ui::TableView &, int section) override;
  std::shared_ptr<platform::ui::TableViewCell>
  cellForRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;
  void didSelectRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;

  // What the edit-one-value screen hands back, one per value.
  void changedName(EditDataViewController &edit);
  void changedProtocol(EditDataViewController &edit);
  void changedServer(EditDataViewController &edit);
  void changedUsername(EditDataViewController &edit);
  void changedPassword(EditDataViewController &edit);
  void changedWebURL(EditDataViewController &edit);
  void changedFolder(EditDataViewController &edit);

private:
  void layoutSections();
  void changedText(std::string &field, const std::string &text);
  void changed();

  bool dirty_ = false;
  int webIndex_ = -1, folderIndex_ = 1;
  std::vector<MyBookmark> folders_;
  Target targetDone_;
  std::shared_ptr<platform::ui::TableView> tableView_;
};
