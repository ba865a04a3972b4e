#include "app/remote/Bookmarks.h"

#include "app/foundation/Database.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/StringUtils.h"
#include "app/foundation/TextPromptViewer.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"

#include <sqlite3.h>

#include <set>

using namespace platform;
using namespace platform::ui;

namespace {

std::string columnText(sqlite3_stmt *stmt, int column, const char *null = "") {
  const unsigned char *text = sqlite3_column_text(stmt, column);
  return text ? reinterpret_cast<const char *>(text) : null;
}

// Runs a query and hands every row to `row`. False when the query could not be read to its end.
template <class Fn> bool forEachRow(sqlite3 *db, const std::string &sql, Fn row) {
  if (!db) return false;
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    Log::systemf("SQL error '%s' in: %s", sqlite3_errmsg(db), sql.c_str());
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
    row(stmt);
  if (rc != SQLITE_DONE) Log::systemf("SQL error '%s' in: %s", sqlite3_errmsg(db), sql.c_str());
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE;
}

UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

const char *const kExportHeader = "//Ferrowen - Bookmarks\r\n"
                                  "//Format:\r\n"
                                  "//  Name|Server|User|Password|WebURL\r\n"
                                  "//Notes:\r\n"
                                  "//* To import plain text passwords,\r\n"
                                  "//  use the file name:\r\n"
                                  "//  \"bookmarks-p.txt\"\r\n"
                                  "//* Commas or tabs may also be used\r\n"
                                  "//  to separate values instead of | \r\n"
                                  "\r\n";

} // namespace

// --- Plain functions ---------------------------------------------------------------------------

namespace {
void collectFolders(sqlite3 *db, std::vector<MyBookmark> &list, int depth, int parentKey,
                    std::set<int> &seen) {
  std::vector<MyBookmark> level;
  forEachRow(db,
             "SELECT pk,name FROM bookmark WHERE server='' AND parent='" +
                 std::to_string(parentKey) + "' ORDER BY name",
             [&](sqlite3_stmt *stmt) {
               MyBookmark b;
               b.primaryKey = sqlite3_column_int(stmt, 0);
               b.name = std::string(size_t(depth) * 3, ' ') + columnText(stmt, 1);
               b.server.clear();
               level.push_back(std::move(b));
             });
  for (auto &folder : level) {
    if (!seen.insert(folder.primaryKey).second) continue;
    list.push_back(folder);
    collectFolders(db, list, depth + 1, folder.primaryKey, seen);
  }
}
} // namespace

void getBookmarkFolders(sqlite3 *db, std::vector<MyBookmark> &list, int depth, int parentKey) {
  std::set<int> seen;
  for (auto &b : list)
    seen.insert(b.primaryKey);
  seen.insert(parentKey);
  collectFolders(db, list, depth, parentKey, seen);
}

std::string getBookmarkName(int key) {
  if (key == 0) return "Bookmarks";
  std::string name;
  sqlite3 *db = OpenDatabase();
  forEachRow(db, "SELECT name FROM bookmark WHERE pk='" + std::to_string(key) + "' ORDER BY name",
             [&](sqlite3_stmt *stmt) { name = columnText(stmt, 0); });
  if (db) sqlite3_close(db);
  return name;
}

void deleteBookmarkTree(sqlite3 *db, int pk) {
  if (!db || pk == 0) return;
  // Gather the subtree first (breadth first, each key once), then delete it.
  std::vector<int> keys{pk};
  std::set<int> seen{pk};
  for (size_t i = 0; i < keys.size(); ++i) {
    forEachRow(db, "SELECT pk FROM bookmark WHERE parent='" + std::to_string(keys[i]) + "'",
               [&](sqlite3_stmt *stmt) {
                 int child = sqlite3_column_int(stmt, 0);
                 if (seen.insert(child).second) keys.push_back(child);
               });
  }
  for (int key : keys)
    SQLExecute(db, "DELETE FROM bookmark WHERE pk='" + std::to_string(key) + "'");
}

std::optional<std::string> bookmarkExportText(sqlite3 *db) {
  std::string text = kExportHeader;
  const bool read = forEachRow(db,
                               "SELECT name,server,user,password,weburl,protocol FROM bookmark "
                               "WHERE server!='' ORDER BY name,server",
                               [&](sqlite3_stmt *stmt) {
                                 for (int c = 0; c < 6; ++c)
                                   text += columnText(stmt, c, "(null)") + (c < 5 ? "|" : "\r\n");
                               });
  if (!read) return std::nullopt;
  return text;
}

BookmarkExport exportBookmarks(sqlite3 *db) {
  // The last export stays until the new one is whole: it is replaced in one step, and not at all
  // when the bookmarks cannot be read.
  const auto text = bookmarkExportText(db);
  if (!text) {
    Log::system("Bookmark export failed: the bookmarks cannot be read");
    return BookmarkExport::NotRead;
  }
  const std::string folder = Paths::documents() + "/Files";
  FileManager::createDirectory(folder);
  // A file of Saved Files like any other (the application's home is the user's alone).
  auto status = FileManager::writeAtomically(folder + "/bookmarks.txt", *text);
  if (!status) {
    Log::systemf("Bookmark export failed: %s", status.error().c_str());
    return BookmarkExport::NotWritten;
  }
  return BookmarkExport::Written;
}

// --- The list ------------------------------------------------------------------------------------

std::shared_ptr<BookmarkViewController>
BookmarkViewController::initWithNibName(const std::string &nibName, const std::string &title,
                                        int parentKeyID,
                                        std::weak_ptr<BookmarkConnectTarget> parentConnect) {
  return std::make_shared<BookmarkViewController>(nibName, title, parentKeyID,
                                                  std::move(parentConnect));
}

BookmarkViewController::BookmarkViewController(const std::string &nibName, std::string title,
                                               int parentKeyID,
                                               std::weak_ptr<BookmarkConnectTarget> parentConnect)
    : ViewController(nibName), theTitle_(std::move(title)), parentKeyID_(parentKeyID),
      parentConnect_(std::move(parentConnect)) {
  setContentSizeForViewInPopover({320, 480});
}

BookmarkViewController::~BookmarkViewController() {
  closeDatabase();
}

void BookmarkViewController::closeDatabase() {
  if (database_) sqlite3_close(database_);
  database_ = nullptr;
}

void BookmarkViewController::loadDatabaseData() {
  bookmarks_.clear();
  closeDatabase();
  std::string why;
  database_ = OpenDatabase(&why);
  if (!database_) {
    Log::systemf("Failed to open database with message '%s'.", why.c_str());
    return;
  }
  UpdateDatabaseStructure(database_);
  if (settings().integerForKey(kSavePasswordsKey) == 0)
    SQLExecute(database_, "UPDATE bookmark SET password=''");
  forEachRow(database_,
             "SELECT pk,name,server,user,password,weburl,alwaystryssl,warnnossl,protocol FROM "
             "bookmark WHERE parent='" +
                 std::to_string(parentKeyID_) + "' ORDER BY (server!=''),name,server",
             [&](sqlite3_stmt *stmt) {
               MyBookmark b;
               b.primaryKey = sqlite3_column_int(stmt, 0);
               b.name = columnText(stmt, 1);
               b.server = columnText(stmt, 2);
               b.user = columnText(stmt, 3);
               b.password = columnText(stmt, 4);
               b.weburl = columnText(stmt, 5);
               b.alwaysTryFTPS = columnText(stmt, 6);
               b.warnNoFTPS = columnText(stmt, 7);
               b.protocol = columnText(stmt, 8);
               if (b.weburl == "(null)") b.weburl.clear();
               if (b.protocol == "(null)" || b.protocol.empty()) b.protocol = "ftp";
               b.parentKey = parentKeyID_;
               bookmarks_.push_back(std::move(b));
             });
}

void BookmarkViewController::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 480));
  tableView_ = std::make_shared<TableView>(TableViewStyle::Plain, Rect(0, 0, 320, 436));
  theToolbar_ = std::make_shared<Toolbar>(Rect(0, 436, 320, 44));
  root->addSubview(tableView_);
  root->addSubview(theToolbar_);
  setView(root);
}

void BookmarkViewController::viewDidLoad() {
  auto self = sharedAs<BookmarkViewController>();
  tableView_->setDataSource(std::static_pointer_cast<TableViewDataSource>(self));
  tableView_->setDelegate(std::static_pointer_cast<TableViewDelegate>(self));
  tableView_->setRowHeight(50);
  setTitle(theTitle_.empty() ? "Bookmarks" : theTitle_);
  setToolbar();
  loadDatabaseData();
}

void BookmarkViewController::viewWillAppear(bool) {
  loadDatabaseData();
  tableView_->reloadData();
}

void BookmarkViewController::setToolbar() {
  std::weak_ptr<BookmarkViewController> weak = sharedAs<BookmarkViewController>();
  auto act = [weak](void (BookmarkViewController::*fn)()) {
    return [weak, fn](BarButtonItem &) {
      if (auto s = weak.lock()) (s.get()->*fn)();
    };
  };
  auto exportItem = BarButtonItem::titled("Export", BarButtonItemStyle::Bordered,
                                          act(&BookmarkViewController::clickExport));
  if (fEditMode_) {
    theToolbar_->setItems({BarButtonItem::systemItem(BarButtonSystemItem::Done,
                                                     act(&BookmarkViewController::clickEdit)),
                           BarButtonItem::flexibleSpace(),
                           BarButtonItem::titled("New Folder", BarButtonItemStyle::Bordered,
                                                 act(&BookmarkViewController::clickNewFolder)),
                           exportItem});
    navigationItem().setRightBarButtonItem(nullptr);
  } else {
    theToolbar_->setItems({BarButtonItem::systemItem(BarButtonSystemItem::Edit,
                                                     act(&BookmarkViewController::clickEdit)),
                           BarButtonItem::flexibleSpace(), exportItem});
    if (!popoverParent.lock())
      navigationItem().setRightBarButtonItem(BarButtonItem::systemItem(
          BarButtonSystemItem::Done, act(&BookmarkViewController::clickDone)));
  }
}

void BookmarkViewController::clickEdit() {
  setEditing(!fEditMode_, true);
}

void BookmarkViewController::setEditing(bool editing, bool animated) {
  ViewController::setEditing(editing, animated);
  fEditMode_ = editing;
  tableView_->setEditing(editing, animated);
  setToolbar();
  if (auto right = navigationItem().rightBarButtonItem()) right->setEnabled(!editing);
  tableView_->reloadData();
}

void BookmarkViewController::dismiss() {
  if (auto popover = popoverParent.lock()) {
    popover->dismissPopoverAnimated(true);
    return;
  }
  auto nav = navigationController();
  if (auto presenter = nav ? nav->presentingViewController() : presentingViewController())
    presenter->dismissModalViewControllerAnimated(true);
  else if (nav)
    nav->dismissModalViewControllerAnimated(true);
}

void BookmarkViewController::clickDone() {
  dismiss();
}

void BookmarkViewController::clickNewFolder() {
  std::weak_ptr<BookmarkViewController> weak = sharedAs<BookmarkViewController>();
  auto prompt = TextPromptViewer::initWithTitle(
      "Add Folder", "", "New Bookmark Folder:", "TextPromptView", [weak](TextPromptViewer &p) {
        if (auto s = weak.lock()) s->doAddBookmarkFolder(p);
      });
  if (auto nav = navigationController()) nav->pushViewController(prompt, true);
}

void BookmarkViewController::doAddBookmarkFolder(TextPromptViewer &prompt) {
  const std::string folder = prompt.filename ? prompt.filename->text() : prompt.originalFilename;
  if (folder.empty() || !database_) return;
  SQLExecute(database_, "INSERT INTO bookmark (name,parent, server,user,password,alwaystryssl,"
                        "warnnossl) VALUES ('" +
                            mySQL(folder) + "', '" + std::to_string(parentKeyID_) +
                            "', '','','','0','0')");
}

void BookmarkViewController::clickExport() {
  const BookmarkExport result = exportBookmarks(database_);
  if (result != BookmarkExport::Written) {
    showOnMainThread(std::make_shared<AlertView>(
        "Export Failed",
        result == BookmarkExport::NotRead
            ? "The bookmarks could not be read from the database; \"bookmarks.txt\" was not "
              "changed."
            : "The bookmarks could not be written to \"bookmarks.txt\".",
        std::weak_ptr<AlertViewDelegate>(), "OK"));
    return;
  }
  showOnMainThread(std::make_shared<AlertView>(
      "Exported Bookmarks", "Exported to \"bookmarks.txt\" in the Saved Files tab.",
      std::weak_ptr<AlertViewDelegate>(), "OK"));
}

void BookmarkViewController::doneEditing(BookmarkEditViewController &editor) {
  if (editor.selectedIndex < 0 || size_t(editor.selectedIndex) >= bookmarks_.size()) return;
  auto &b = bookmarks_[size_t(editor.selectedIndex)];
  b.name = editor.name;
  b.server = editor.server;
  b.user = editor.username;
  b.password = editor.password;
  b.weburl = editor.weburl;
  b.protocol = editor.protocol;
  b.alwaysTryFTPS = editor.tryFTPS ? "1" : "0";
  b.warnNoFTPS = editor.warnNoFTPS ? "1" : "0";
  b.parentKey = editor.parentKey;
  if (database_)
    SQLExecute(database_, "UPDATE bookmark SET name='" + mySQL(b.name) + "', server='" +
                              mySQL(b.server) + "', user='" + mySQL(b.user) + "', password='" +
                              mySQL(b.password) + "', alwaystryssl='" + b.alwaysTryFTPS +
                              "', warnnossl='" + b.warnNoFTPS + "', weburl='" + mySQL(b.weburl) +
                              "', protocol='" + mySQL(b.protocol) + "', parent='" +
                              std::to_string(b.parentKey) + "' WHERE pk='" +
                              std::to_string(b.primaryKey) + "'");
  loadDatabaseData();
  tableView_->reloadData();
}

// --- Table
// ------------------------------------------------------------------------------------------

int BookmarkViewController::numberOfRowsInSection(TableView &, int) {
  return int(bookmarks_.size());
}

std::shared_ptr<TableViewCell> BookmarkViewController::cellForRowAtIndexPath(TableView &table,
                                                                             IndexPath ip) {
  auto cell = table.dequeueReusableCellWithIdentifier(kCellIdentifier);
  if (!cell) {
    cell = std::make_shared<TableViewCell>(TableViewCellStyle::Subtitle, kCellIdentifier);
    auto badge = std::make_shared<Label>(Rect(260, 15, 44, 20));
    badge->setTag(1);
    badge->setFont(Font::boldSystem(13));
    badge->setTextColor(Color::whiteColor());
    badge->setTextAlignment(TextAlignment::Center);
    // Keeps to the row's right end when editing makes the content view narrower.
    badge->setAutoresizingMask(FlexibleLeftMargin);
    cell->contentView()->addSubview(badge);
  }
  const auto &b = bookmarks_[size_t(ip.row)];
  cell->textLabel()->setText(b.title());
  cell->setAccessibilityLabel(b.title());
  cell->textLabel()->setFont(Font::system(18));
  cell->detailTextLabel()->setText(b.user);
  cell->detailTextLabel()->setFont(Font::italicSystem(11));
  cell->detailTextLabel()->setTextColor(Color::darkGrayColor());
  cell->detailTextLabel()->setHidden(b.user.empty());
  auto badge = std::static_pointer_cast<Label>(cell->contentView()->viewWithTag(1));
  badge->setHidden(b.isFolder());
  badge->setText(b.isFolder() ? "" : b.protocol);
  badge->setBackgroundColor(b.protocol == "ftps"   ? Color{0.0, 0.0, 0.5, 1}
                            : b.protocol == "sftp" ? Color{0.0, 0.4, 0.0, 1}
                                                   : Color::lightGrayColor());
  cell->imageView()->setImageName(b.isFolder() ? "3-folder.png" : "");
  // While editing every row opens the editor.
  cell->setEditingAccessoryType(TableViewCellAccessoryType::DetailDisclosureButton);
  return cell;
}

std::optional<TableViewCellAccessoryType>
BookmarkViewController::accessoryTypeForRowWithIndexPath(TableView &, IndexPath ip) {
  if (fEditMode_) return TableViewCellAccessoryType::DetailDisclosureButton;
  return bookmarks_[size_t(ip.row)].isFolder() ? TableViewCellAccessoryType::DisclosureIndicator
                                               : TableViewCellAccessoryType::None;
}

void BookmarkViewController::didSelectRowAtIndexPath(TableView &table, IndexPath ip) {
  table.deselectRowAtIndexPath(ip, true);
  if (fEditMode_) {
    accessoryButtonTappedForRowWithIndexPath(table, ip);
    return;
  }
  const MyBookmark b = bookmarks_[size_t(ip.row)];
  if (b.isFolder()) {
    auto level = initWithNibName("BookmarkView", b.name, b.primaryKey, parentConnect_);
    level->popoverParent = popoverParent;
    if (auto nav = navigationController()) nav->pushViewController(level, true);
    return;
  }
  auto &s = settings();
  s.setObject(std::to_string(b.primaryKey), kLastBookmarkPKKey);
  s.setObject(b.server, kServerNameKey);
  s.setObject(b.user, kUserNameKey);
  s.setObject(s.integerForKey(kSavePasswordsKey) == 1 ? b.password : "", kUserPassKey);
  s.setObject(b.weburl, kOpenInWebViewKey);
  s.setObject(b.protocol, "ProtocolTypeText");
  s.setObject("1", kOpenBookmarkNowKey);
  s.synchronize();
  auto connect = parentConnect_.lock();
  if (connect) connect->selectedBookmark();
  if (auto popover = popoverParent.lock()) {
    popover->dismissPopoverAnimated(true);
    if (connect) {
      connect->fillServerFromDefaults();
      connect->doConnectFromBookmarks();
    }
  } else {
    dismiss();
  }
}

void BookmarkViewController::accessoryButtonTappedForRowWithIndexPath(TableView &, IndexPath ip) {
  const auto &b = bookmarks_[size_t(ip.row)];
  auto editor = BookmarkEditViewController::initWithNibName("BookmarkEditView");
  editor->primaryKey = b.primaryKey;
  editor->name = b.name;
  editor->server = b.server;
  editor->username = b.user;
  editor->password = b.password;
  editor->weburl = b.weburl;
  editor->protocol = b.protocol;
  editor->tryFTPS = intValue(b.alwaysTryFTPS) != 0;
  editor->warnNoFTPS = intValue(b.warnNoFTPS) != 0;
  editor->parentKey = b.parentKey;
  editor->selectedIndex = ip.row;
  std::weak_ptr<BookmarkViewController> weak = sharedAs<BookmarkViewController>();
  editor->setTarget([weak](BookmarkEditViewController &e) {
    if (auto s = weak.lock()) s->doneEditing(e);
  });
  if (auto nav = navigationController()) nav->pushViewController(editor, true);
}

void BookmarkViewController::removeRow(int row) {
  deleteBookmarkTree(database_, bookmarks_[size_t(row)].primaryKey);
  bookmarks_.erase(bookmarks_.begin() + row);
  tableView_->deleteRowsAtIndexPaths({IndexPath{0, row}}, TableViewRowAnimation::None);
}

void BookmarkViewController::commitEditingStyle(TableView &, TableViewCellEditingStyle style,
                                                IndexPath ip) {
  if (style != TableViewCellEditingStyle::Delete) return;
  const auto &b = bookmarks_[size_t(ip.row)];
  if (!b.isFolder()) {
    removeRow(ip.row);
    return;
  }
  deleteItemRow_ = ip.row;
  confirmFolderDelete_ = std::make_shared<AlertView>(
      "Confirm Folder Delete",
      "\"" + b.name + "\" and all bookmarks in this folder will be deleted.  Continue?",
      std::static_pointer_cast<AlertViewDelegate>(sharedAs<BookmarkViewController>()), "Cancel",
      std::vector<std::string>{"Delete"});
  confirmFolderDelete_->show();
}

void BookmarkViewController::clickedButtonAtIndex(AlertView &alert, int index) {
  // Only the question this screen asked, by which one it is: a bookmark's name is in its text.
  if (&alert != confirmFolderDelete_.get()) return;
  auto keep = std::exchange(confirmFolderDelete_, nullptr);
  const int row = deleteItemRow_;
  deleteItemRow_ = -1;
  if (index == 1 && row >= 0 && size_t(row) < bookmarks_.size())
    removeRow(row);
  else
    tableView_->reloadData();
}
