// Server bookmarks driven through the probe: nested folders, picking, deleting a folder with
// everything below it, the export's bytes and the editor.
#include "app/remote/Bookmarks.h"

#include "tests/app/foundation/ScreenFixture.h"

#include "app/foundation/Database.h"
#include "app/foundation/EditDataViewController.h"
#include "app/foundation/Globals.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"
#include "app/foundation/TextPromptViewer.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"

#include <functional>
#include <optional>
#include <sqlite3.h>
#include <sys/stat.h>

using namespace platform;
using namespace platform::ui;

namespace {

struct ConnectDouble : BookmarkConnectTarget {
  int selected = 0;
  void selectedBookmark() override { ++selected; }
};

class BookmarksTest : public ScreenTest {
protected:
  void SetUp() override {
    ScreenTest::SetUp();
    InitGlobals();
    RegisterDefaultSettings();
    db = OpenDatabase();
    UpdateDatabaseStructure(db);
    work = add("Work", "", 0);
    deep = add("Deep", "", work);
    deeper = add("Deeper", "", deep);
    inner = add("inner", "i.example", deeper);
    add("alpha", "a.example", 0, "joe", myEncryptString1("pw"));
    add("dup", "z.example", 0);
    add("dup", "y.example", 0);
    SQLExecute(db, "INSERT INTO bookmark (name,server,parent,protocol,weburl) VALUES "
                   "('','b.example',0,'(null)','(null)')");
  }
  void TearDown() override {
    sqlite3_close(db);
    ScreenTest::TearDown();
  }
  int add(const std::string &name, const std::string &server, int parent,
          const std::string &user = "", const std::string &password = "") {
    return SQLExecute(db, "INSERT INTO bookmark (name,server,user,password,parent,protocol,"
                          "weburl,alwaystryssl,warnnossl) VALUES ('" +
                              name + "','" + server + "','" + user + "','" + password + "'," +
                              std::to_string(parent) + ",'sftp','','1','0')");
  }
  int count() { return SQLGetCountNotZero(db, "SELECT pk FROM bookmark"); }
  int rows(const std::string &where) {
    int n = 0;
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, ("SELECT count(*) FROM bookmark WHERE " + where).c_str(), -1, &st, 0);
    if (sqlite3_step(st) == SQLITE_ROW) n = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    return n;
  }
  void openList() {
    list = BookmarkViewController::initWithNibName("BookmarkView", "", 0, connect);
    rootScreen->presentModalViewController(std::make_shared<NavigationController>(list), true);
  }
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (auto &r : probe->visibleRows())
      out.push_back(r.text);
    return out;
  }
  sqlite3 *db = nullptr;
  int work = 0, deep = 0, deeper = 0, inner = 0;
  std::shared_ptr<ConnectDouble> connect = std::make_shared<ConnectDouble>();
  std::shared_ptr<BookmarkViewController> list;
};

const std::string kHeader = "//Ferrowen - Bookmarks\r\n//Format:\r\n//  Name|Server|User|Password|"
                            "WebURL\r\n//Notes:\r\n//* To import plain text passwords,\r\n//  use "
                            "the file name:\r\n//  \"bookmarks-p.txt\"\r\n//* Commas or tabs may "
                            "also be used\r\n//  to separate values instead of | \r\n\r\n";

} // namespace

TEST_F(BookmarksTest, NestedFoldersExportAndDeletingAWholeSubtree) {
  openList();
  EXPECT_EQ(texts(), (std::vector<std::string>{"Work", "b.example", "alpha", "dup", "dup"}));
  EXPECT_EQ(probe->visibleRows()[0].accessory, TableViewCellAccessoryType::DisclosureIndicator);
  EXPECT_EQ(list->bookmarks()[1].protocol, "ftp") << "a stored \"(null)\" reads as ftp";
  EXPECT_EQ(list->bookmarks()[3].server, "y.example");
  ASSERT_TRUE(probe->tapRow("Work"));
  ASSERT_TRUE(probe->tapRow("Deep"));
  ASSERT_TRUE(probe->tapRow("Deeper"));
  EXPECT_EQ(probe->navigationTitle(), "Deeper");
  EXPECT_EQ(texts(), std::vector<std::string>{"inner"});

  ASSERT_TRUE(probe->tap("Export"));
  ASSERT_TRUE(probe->answerAlert("OK"));
  const std::string path = documents() + "/Files/bookmarks.txt";
  EXPECT_EQ(testsupport::readFile(path),
            kHeader + "|b.example|(null)|(null)|(null)|(null)\r\nalpha|a.example|joe|" +
                myEncryptString1("pw") +
                "||sftp\r\ndup|y.example||||sftp\r\ndup|z.example||||sftp\r\n"
                "inner|i.example||||sftp\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "the mode every new file of Saved Files gets";

  // Deleting the top folder takes every level below it.
  ASSERT_TRUE(probe->tapBack() && probe->tapBack() && probe->tapBack());
  ASSERT_TRUE(probe->deleteRow({0, 0}));
  ASSERT_EQ(probe->pendingAlerts().at(0).message,
            "\"Work\" and all bookmarks in this folder will be deleted.  Continue?");
  ASSERT_TRUE(probe->answerAlert("Delete"));
  EXPECT_EQ(rows("pk IN (" + std::to_string(work) + "," + std::to_string(deep) + "," +
                 std::to_string(deeper) + "," + std::to_string(inner) + ")"),
            0);
  EXPECT_EQ(texts().size(), 4u);

  // Parent links that form a loop end both walks.
  const int a = add("loopA", "", 0), b = add("loopB", "", a);
  SQLExecute(db,
             "UPDATE bookmark SET parent=" + std::to_string(b) + " WHERE pk=" + std::to_string(a));
  std::vector<MyBookmark> folders;
  getBookmarkFolders(db, folders, 1, a);
  EXPECT_EQ(folders.size(), 1u);
  deleteBookmarkTree(db, a);
  EXPECT_EQ(rows("name LIKE 'loop%'"), 0);
  SQLExecute(db, "DELETE FROM bookmark");
  EXPECT_EQ(bookmarkExportText(db), std::optional<std::string>(kHeader));
  // A file that cannot be written is reported, not announced as exported.
  FileManager::removeItem(documents() + "/Files");
  testsupport::writeFile(documents() + "/Files", "in the way");
  ASSERT_TRUE(probe->tap("Export"));
  EXPECT_EQ(probe->pendingAlerts().at(0).title, "Export Failed");
}

// The last export stays whole until a new one is: a table that cannot be read, or a new export
// that cannot be written, is an error shown to the person and the old file is as it was.
TEST_F(BookmarksTest, AnExportThatCannotBeMadeKeepsTheLastOne) {
  const std::string path = documents() + "/Files/bookmarks.txt";
  struct Case {
    const char *fault;
    bool fullDisk;
    std::function<void()> breakIt;
    const char *message;
  } cases[] = {
      {"a full disk", true, [] {}, "The bookmarks could not be written to \"bookmarks.txt\"."},
      {"no table", false, [&] { SQLExecute(db, "ALTER TABLE bookmark RENAME TO gone"); },
       "The bookmarks could not be read from the database; \"bookmarks.txt\" was not changed."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fault);
    ASSERT_TRUE(testsupport::writeFile(path, "the last export"));
    openList();
    c.breakIt();
    {
      // Room for the old export's size, not for the new one's header.
      std::optional<testsupport::FileSizeLimit> full;
      if (c.fullDisk) full.emplace(100);
      ASSERT_TRUE(probe->tap("Export"));
    }
    ASSERT_EQ(probe->pendingAlerts().size(), 1u);
    EXPECT_EQ(probe->pendingAlerts()[0].title, "Export Failed");
    EXPECT_EQ(probe->pendingAlerts()[0].message, c.message);
    EXPECT_EQ(testsupport::readFile(path), "the last export");
    ASSERT_TRUE(probe->answerAlert("OK"));
    rootScreen->dismissModalViewControllerAnimated(false);
  }
}

TEST_F(BookmarksTest, PickingFillsTheConnectFieldsAndUnsavedPasswordsAreErased) {
  for (bool save : {true, false}) {
    globalUserDefaults->setObject(save ? "1" : "0", kSavePasswordsKey);
    openList();
    ASSERT_TRUE(probe->tapRow("alpha"));
    EXPECT_EQ(window->modalLayers().size(), 0u);
    EXPECT_EQ(globalUserDefaults->stringForKey(kServerNameKey), "a.example");
    EXPECT_EQ(globalUserDefaults->stringForKey(kUserNameKey), "joe");
    EXPECT_EQ(globalUserDefaults->stringForKey(kUserPassKey), save ? myEncryptString1("pw") : "");
    EXPECT_EQ(globalUserDefaults->stringForKey(kOpenBookmarkNowKey), "1");
    EXPECT_EQ(globalUserDefaults->stringForKey("ProtocolTypeText"), "sftp");
  }
  EXPECT_EQ(connect->selected, 2);
  EXPECT_EQ(rows("password!=''"), 0) << "a list read with passwords off erases them";
}

TEST_F(BookmarksTest, EditorWritesChangesOnlyAndMovesBookmarksBetweenFolders) {
  openList();
  ASSERT_TRUE(probe->tap("Edit"));
  ASSERT_TRUE(probe->tap("New Folder"));
  ASSERT_TRUE(probe->type("New Bookmark Folder:", "Home"));
  ASSERT_TRUE(probe->tap("Done"));
  EXPECT_EQ(rows("name='Home' AND server='' AND parent=0"), 1);

  // The editor of a bookmark three folders down: its folder is selected, indented by level.
  BookmarkViewController::initWithNibName("BookmarkView", "Deeper", deeper, connect).swap(list);
  auto nav =
      std::dynamic_pointer_cast<NavigationController>(window->modalLayers().back().presented);
  nav->pushViewController(list, false);
  ASSERT_TRUE(probe->tap("Edit"));
  ASSERT_TRUE(probe->tapAccessory("inner")) << probe->lastError();
  auto editor = std::dynamic_pointer_cast<BookmarkEditViewController>(probe->topViewController());
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->tableView()->numberOfSections(), 3);
  ASSERT_TRUE(probe->tapRow("Protocol"));
  ASSERT_TRUE(probe->tapRow("SFTP")) << "the same protocol again";
  if (probe->topViewController() != editor) {
    ASSERT_TRUE(probe->tapBack());
  }
  EXPECT_FALSE(editor->dirty());
  ASSERT_TRUE(probe->tapRow("Folder"));
  auto choice = std::dynamic_pointer_cast<EditDataViewController>(probe->topViewController());
  ASSERT_TRUE(choice);
  EXPECT_EQ(choice->tableItems[size_t(choice->rowSelected)].name, "         Deeper");
  ASSERT_TRUE(probe->tapRow("   Work"));
  if (probe->topViewController() != editor) {
    ASSERT_TRUE(probe->tapBack());
  }
  ASSERT_TRUE(probe->tapBack());
  EXPECT_EQ(rows("pk=" + std::to_string(inner) + " AND parent=" + std::to_string(work) +
                 " AND alwaystryssl='1'"),
            1)
      << "moved, the carried flags kept";
  EXPECT_TRUE(texts().empty()) << "a moved bookmark leaves this level";

  // A folder's form has only its name; without saved passwords a bookmark has no password row.
  globalUserDefaults->setObject("0", kSavePasswordsKey);
  auto folderEditor = BookmarkEditViewController::initWithNibName("BookmarkEditView");
  folderEditor->view();
  EXPECT_EQ(folderEditor->title(), "Bookmark");
  EXPECT_EQ(folderEditor->tableView()->numberOfSections(), 1);
  auto bookmarkEditor = BookmarkEditViewController::initWithNibName("BookmarkEditView");
  bookmarkEditor->server = "s.example";
  bookmarkEditor->view();
  EXPECT_EQ(bookmarkEditor->tableView()->numberOfRowsInSection(0), 4);
}

namespace {
// A server with a port out of range is not taken into a bookmark: the editor says why and keeps
// the server it had; a port in range is taken.
TEST_F(BookmarksTest, AServerWithAPortOutOfRangeIsNotTaken) {
  auto editor = BookmarkEditViewController::initWithNibName("BookmarkEditView");
  editor->server = "s.example";
  editor->view();
  auto edit = std::make_shared<EditDataViewController>("EditDataView");
  edit->view();
  struct Case {
    const char *typed;
    bool taken;
  } cases[] = {{"s.example:70000", false},
               {"s.example:0", false},
               {"s.example:x", false},
               {"s.example:65535", true},
               {"t.example:1/pub", true}};
  for (const auto &c : cases) {
    const std::string before = editor->server;
    edit->textData->setText(c.typed);
    editor->changedServer(*edit);
    if (c.taken) {
      EXPECT_EQ(editor->server, c.typed);
      EXPECT_TRUE(probe->pendingAlerts().empty()) << c.typed;
    } else {
      EXPECT_EQ(editor->server, before) << c.typed;
      ASSERT_EQ(probe->pendingAlerts().size(), 1u) << c.typed;
      EXPECT_EQ(probe->pendingAlerts()[0].message, "The port must be a number from 1 to 65535.");
      ASSERT_TRUE(probe->answerAlert("OK"));
    }
  }
}

// A bookmark list whose database cannot be opened stays empty and says why in the log, in the
// words of the failure itself.
TEST_F(BookmarksTest, ADatabaseThatCannotBeOpenedIsLoggedWithTheReason) {
  sqlite3_close(db);
  db = nullptr;
  ASSERT_TRUE(FileManager::removeItem(Paths::documents() + "/bookmarks.sql"));
  Paths::setResources(Paths::home() + "/no-resources"); // and no seed to make it from
  struct Restore {
    ~Restore() { Paths::setResources(""); }
  } restore;
  LogCapture log(Log::Sink::System);
  openList();
  EXPECT_TRUE(texts().empty());
  std::vector<std::string> said;
  for (const auto &line : log.lines())
    if (line.find("Failed to open database with message '") != std::string::npos)
      said.push_back(line);
  ASSERT_FALSE(said.empty()); // at each reading of the list
  for (const auto &line : said) {
    EXPECT_NE(line.find("bookmarks.sql"), std::string::npos) << line;
    EXPECT_EQ(line.find("unable to open database file"), std::string::npos) << line;
  }
}
} // namespace
