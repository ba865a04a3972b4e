// Saved Files driven as a person drives it: the listing, filter and sort, the shared folder's
// watch, the sheets' commands on files and folders, moves, archives, bookmark import and uploads.
#include "app/files/LocalFolderViewController.h"

#include "tests/app/foundation/ScreenFixture.h"
#include "tests/support/FolderChecks.h"
#include "tests/support/ImageFixtures.h"
#include "tests/support/TarTrees.h"

#include "app/files/LocalFilesServices.h"
#include "app/files/SavedFilesRooms.h"
#include "app/files/TarUnpacker.h"
#include "app/foundation/Database.h"
#include "app/foundation/Globals.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"
#include "app/ftp/FTPServices.h"
#include "app/remote/Bookmarks.h"
#include "platform/device/DocumentInteraction.h"
#include "platform/device/MailService.h"
#include "tests/support/TimeScale.h"

#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <utility>

using namespace platform;
using namespace platform::ui;
namespace fs = std::filesystem;

namespace {

// The queue as the screens fill it, and a connection that is (or is not) browsing a folder.
struct QueueDouble : LocalFilesServices {
  bool connected = true;
  std::vector<std::string> rows; // "action name path local"
  std::vector<int64_t> sizes;
  bool browsingConnected() override { return connected; }
  std::string browsingFolder() override { return "/remote"; }
  bool remoteBrowserFolder(std::string *folder) override {
    *folder = "/remote";
    return connected;
  }
  int addBatchItem(int action, const std::string &name, const std::string &path, int64_t size,
                   const std::string &local, bool) override {
    sizes.push_back(size);
    rows.push_back(std::to_string(action) + " " + name + " " + path + " " +
                   fs::path(local).filename().string());
    return static_cast<int>(rows.size());
  }
};

// What the screen hands to the player, the viewer and the editor.
struct HandOverDouble : FTPAppServices {
  std::vector<std::string> calls;
  void playMediaFile(const std::string &path, bool) override {
    calls.push_back("play " + fs::path(path).filename().string());
  }
  void showDocumentViewer(const std::string &name, const std::string &) override {
    calls.push_back("view " + name);
  }
  std::shared_ptr<EditFileViewScreen> openTextEditor(const std::string &path) override {
    calls.push_back("edit " + fs::path(path).filename().string());
    return nullptr;
  }
};

class LocalFolderTest : public ScreenTest {
protected:
  void SetUp() override {
    ScreenTest::SetUp();
    DeviceProfile::setCurrent(device);
    InitGlobals();
    RegisterDefaultSettings();
    LocalFilesServices::setShared(queue);
    // These cases are about Saved Files' own rows: the "Cloud Files" row, which the cloud's
    // library adds whenever it is loaded, is the cloud tests' to look at.
    cloudRoom = std::exchange(SavedFilesRooms::shared().cloudAvailable, nullptr);
    files = documents() + "/Files";
    fs::create_directories(files + "/sub");
    testsupport::writeFile(files + "/a.txt", "abc");
    testsupport::writeFile(files + "/big.bin", std::string(5000, 'x'));
    testsupport::writeFile(files + "/sub/inner.txt", "in");
    tartrees::sh("rm -f '" + documents() + "'/About-* '" + files + "'/About-*");
    screen = LocalFolderViewController::make("");
    nav->pushViewController(screen, false);
  }
  void TearDown() override {
    SavedFilesRooms::shared().cloudAvailable = cloudRoom;
    LocalFilesServices::setShared(nullptr);
    DocumentInteraction::setRecorder(nullptr);
    MailService::setRecorder(nullptr);
    FTPAppServices::setShared(nullptr);
    ScreenTest::TearDown();
  }
  decltype(SavedFilesRooms::cloudAvailable) cloudRoom;
  std::vector<std::string> rows() {
    std::vector<std::string> names;
    for (auto &r : probe->visibleRows())
      names.push_back(r.label);
    return names;
  }
  // A command that names something: of a row's sheet, or (no row) of the folder's menu.
  struct Naming {
    const char *row;
    const char *button, *field;
  };
  // Gives the command's prompt `typed` (in place of the name it offers) and presses Done.
  void name(const Naming &c, const std::string &typed) {
    if (*c.row) {
      rowCommand(c.row, c.button);
      ASSERT_TRUE(probe->clear(c.field)); // it offers the row's own name
    } else {
      ASSERT_TRUE(probe->tap("Menu"));
      ASSERT_TRUE(probe->answerSheet(c.button)) << probe->lastError();
    }
    ASSERT_TRUE(probe->type(c.field, typed));
    ASSERT_TRUE(probe->tap("Done"));
  }
  // Opens the row's sheet and answers it.
  void rowCommand(const std::string &row, const std::string &button) {
    ASSERT_TRUE(probe->tapAccessory(IndexPath{0, index(row)})) << probe->lastError();
    ASSERT_TRUE(probe->answerSheet(button)) << probe->lastError();
  }
  int index(const std::string &row) {
    auto names = rows();
    return static_cast<int>(std::find(names.begin(), names.end(), row) - names.begin());
  }
  std::string lastAlert() {
    RunLoop::main()->runPending();
    auto alerts = probe->pendingAlerts();
    if (alerts.empty()) return "";
    probe->answerAlert(alerts.back().buttons.back());
    return alerts.back().title + ": " + alerts.back().message;
  }
  // Answers what is shown and leaves the screens above the folder's with the button.
  std::string backToScreen(const std::string &button) {
    std::string said = lastAlert();
    for (int i = 0; i < 3 && probe->topViewController() != screen; ++i) {
      probe->tap(button);
      advance(std::chrono::milliseconds(10));
    }
    return said;
  }
  // A file arrives (a download, an upload through a server) and the folder reloads.
  void arrive(const std::string &name) {
    testsupport::writeFile(files + "/" + name, "new");
    screen->loadFolderData();
  }
  std::shared_ptr<QueueDouble> queue = std::make_shared<QueueDouble>();
  DeviceProfile device = DeviceProfile::iPhone();
  std::shared_ptr<LocalFolderViewController> screen;
  std::string files;
};

TEST_F(LocalFolderTest, ListsFiltersAndSorts) {
  EXPECT_EQ(probe->navigationTitle(), "Saved Files");
  EXPECT_EQ(rows(), (std::vector<std::string>{"Shared with iTunes", "sub", "a.txt", "big.bin"}));
  struct Case {
    const char *sort;
    std::vector<std::string> order;
  } cases[] = {{"Sort by Size", {"Shared with iTunes", "sub", "a.txt", "big.bin"}},
               {"Sort by Size (3,2,1)", {"sub", "Shared with iTunes", "big.bin", "a.txt"}},
               {"Sort by Name", {"Shared with iTunes", "sub", "a.txt", "big.bin"}}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.sort);
    ASSERT_TRUE(probe->tap("Sort"));
    ASSERT_TRUE(probe->answerSheet(c.sort)) << probe->lastError();
    EXPECT_EQ(rows(), c.order);
  }
  EXPECT_EQ(globalUserDefaults->integerForKey(kDefaultSortKey), 0);
  ASSERT_TRUE(probe->type("Search Folder", ">4500"));
  EXPECT_EQ(rows(), (std::vector<std::string>{"big.bin"}));
  ASSERT_TRUE(probe->backspace(">4500", 5)) << probe->lastError();
  // A file is checked and gets its right-hand button; a folder opens.
  ASSERT_TRUE(probe->tapRow("a.txt"));
  EXPECT_EQ(probe->rightItem()->name, "Edit");
  ASSERT_TRUE(probe->tapRow("sub"));
  EXPECT_EQ(probe->navigationTitle(), "sub");
  EXPECT_EQ(rows(), (std::vector<std::string>{"inner.txt"}));
}

TEST_F(LocalFolderTest, TheCheckedFileStaysCheckedWhenTheFolderChanges) {
  ASSERT_TRUE(probe->tapRow("big.bin"));
  auto table = probe->first<TableView>();
  ASSERT_TRUE(table);
  auto expectChecked = [&](bool checked) {
    EXPECT_TRUE(testsupport::checkedShown(*probe, *table, "big.bin", checked, "Upload"));
  };
  expectChecked(true);
  // Each change moves the checked file's row; the mark stays with the file.
  struct Change {
    const char *what;
    std::function<void()> make;
  } changes[] = {
      {"a new file sorted before it", [&] { arrive("0.txt"); }},
      {"a new folder",
       [&] {
         fs::create_directory(files + "/0folder");
         screen->loadFolderData();
       }},
      {"another file renamed after it",
       [&] {
         fs::rename(files + "/a.txt", files + "/c.txt");
         screen->loadFolderData();
       }},
  };
  for (const Change &c : changes) {
    SCOPED_TRACE(c.what);
    const int before = index("big.bin");
    c.make();
    EXPECT_NE(index("big.bin"), before);
    expectChecked(true);
  }
  // Hidden by the search, it is not what Upload would send; shown again, it is.
  EXPECT_TRUE(testsupport::searchHidesChecked(*probe, *table, "big.bin", "c.t", "Upload"));
  // Gone from the folder: nothing is checked, and the toolbar says so.
  fs::remove(files + "/big.bin");
  screen->loadFolderData();
  testsupport::writeFile(files + "/big.bin", "back");
  screen->loadFolderData();
  expectChecked(false);
}

// A row's menu button makes its row the checked one, whatever was checked before.
TEST_F(LocalFolderTest, ARowsMenuButtonMakesItsRowTheCheckedOne) {
  auto table = probe->first<TableView>();
  ASSERT_TRUE(table);
  const struct {
    const char *before; // checked before (none: nothing)
    const char *row;
    bool file;
    const char *right; // the right-hand button that follows the row
  } cases[] = {{nullptr, "a.txt", true, "Edit"},
               {"big.bin", "a.txt", true, "Edit"},
               {"a.txt", "a.txt", true, "Edit"},
               {"a.txt", "sub", false, ""}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.row) + ", checked before: " + (c.before ? c.before : "none"));
    ASSERT_TRUE(testsupport::uncheckAll(*probe, *table));
    if (c.before) {
      ASSERT_TRUE(probe->tapRow(c.before)) << probe->lastError();
    }
    EXPECT_TRUE(testsupport::menuButtonChecksRow(
        *probe, *table,
        [&] {
          return probe->tapAccessory(IndexPath{0, index(c.row)});
        },
        c.row, c.file, "Upload", c.file, c.right));
  }
}

TEST_F(LocalFolderTest, SharedFolderWatchSeesAnotherProcessAndHidesAppFolders) {
  fs::create_directories(documents() + "/Mine");
  ASSERT_TRUE(probe->tapRow("Shared with iTunes"));
  EXPECT_EQ(rows(), (std::vector<std::string>{"Mine"}));
  ASSERT_TRUE(tartrees::sh("touch '" + documents() + "/dropped.pdf'"));
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return rows().size() == 2; },
                                        testsupport::scaled(seconds(5))));
  // A folder of the shared screen is the folder of that name in Documents itself.
  ASSERT_TRUE(probe->tapRow("Mine"));
  testsupport::writeFile(documents() + "/Mine/x", "1");
  ASSERT_TRUE(probe->tap("Refresh"));
  EXPECT_EQ(rows(), (std::vector<std::string>{"x"}));
  EXPECT_FALSE(fs::exists(documents() + "/iTunes"));
}

// Downloads go into the folder the tab shows, named from Saved Files: a folder of the shared
// folder lies beside Saved Files; the shared folder itself (Documents, with the application's own
// folders) takes none, and Saved Files does.
TEST_F(LocalFolderTest, DownloadsGoToTheFolderShown) {
  fs::create_directories(documents() + "/Mine/deeper");
  struct Step {
    const char *tap, *downloadsInto;
  };
  for (const Step &step : {Step{"", ""},
                           {"sub", "sub"},
                           {"<", ""},
                           {"Shared with iTunes", ""},
                           {"Mine", "../Mine"},
                           {"deeper", "../Mine/deeper"}}) {
    SCOPED_TRACE(step.tap);
    if (std::string(step.tap) == "<") {
      ASSERT_TRUE(probe->tapBack());
    } else if (*step.tap) {
      ASSERT_TRUE(probe->tapRow(step.tap));
    }
    RunLoop::main()->runPending();
    EXPECT_EQ(currentLocalFolder, step.downloadsInto);
  }
}

TEST_F(LocalFolderTest, SheetCommandsOnFilesAndFolders) {
  std::vector<std::string> opened;
  DocumentInteraction::setRecorder([&](const std::string &p) {
    opened.push_back(p);
    return true;
  });
  struct Case {
    const char *row, *button, *field, *text;
    const char *exists, *gone; // below Saved Files after the command
  } cases[] = {
      {"a.txt", "Rename File", "Rename File To:", "b.txt", "b.txt", "a.txt"},
      {"b.txt", "Copy File", "Copy File To:", "c.txt", "c.txt", ""},
      {"c.txt", "Rename File", "Rename File To:", "../out.txt", "c.txt", "../out.txt"},
      {"c.txt", "Copy File", "Copy File To:", "x/y", "c.txt", "x"},
      {"c.txt", "Copy File", "Copy File To:", "b.txt", "c.txt", ""},
      {"sub", "Rename Folder", "Rename Folder To:", "dir", "dir/inner.txt", "sub"},
      {"dir", "Compress to ZIP File", nullptr, nullptr, "dir.zip", ""},
      {"big.bin", "Open In...", nullptr, nullptr, "big.bin", ""},
      {"c.txt", "Delete File", nullptr, "Delete", "", "c.txt"},
      {"dir", "Delete Folder", nullptr, "Delete All", "", "dir"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.row) + " " + c.button);
    rowCommand(c.row, c.button);
    if (c.field) {
      ASSERT_TRUE(probe->clear(c.field));
      ASSERT_TRUE(probe->type(c.field, c.text));
      ASSERT_TRUE(probe->tap("Done"));
      backToScreen("Cancel");
    } else if (c.text) {
      ASSERT_TRUE(probe->answerAlert(c.text));
    }
    EXPECT_TRUE(!*c.exists || fs::exists(files + "/" + c.exists));
    EXPECT_TRUE(!*c.gone || !fs::exists(files + "/" + c.gone));
  }
  EXPECT_EQ(opened, (std::vector<std::string>{files + "/big.bin"}));
  EXPECT_TRUE(tartrees::sh("unzip -tq '" + files + "/dir.zip'"));
  // The folder-wide commands: create a folder and a file, delete every file.
  for (auto [button, field, name] : {std::tuple{"Create Directory", "New Directory Name:", "new"},
                                     std::tuple{"Create File", "New File Name:", "e.zip"}}) {
    ASSERT_TRUE(probe->tap("Menu"));
    ASSERT_TRUE(probe->answerSheet(button));
    ASSERT_TRUE(probe->type(field, name));
    ASSERT_TRUE(probe->tap("Done"));
    EXPECT_TRUE(fs::exists(files + "/" + name));
  }
  EXPECT_EQ(fs::file_size(files + "/e.zip"), 22u);
  // A swipe deletes a file after its confirmation.
  ASSERT_TRUE(probe->deleteRow(IndexPath{0, index("big.bin")})) << probe->lastError();
  ASSERT_TRUE(probe->answerAlert("Delete"));
  EXPECT_FALSE(fs::exists(files + "/big.bin"));
  ASSERT_TRUE(probe->tap("Menu"));
  ASSERT_TRUE(probe->answerSheet("Delete All Files"));
  auto alerts = probe->pendingAlerts();
  ASSERT_FALSE(alerts.empty());
  EXPECT_EQ(alerts.back().message, "All 3 files in this folder will be deleted.  Continue?");
  ASSERT_TRUE(probe->answerAlert("Delete All"));
  EXPECT_EQ(rows(), (std::vector<std::string>{"new", "Shared with iTunes"}));
}

TEST_F(LocalFolderTest, NamesHiddenBySearchOrNotYetListedAreStillInUse) {
  // The search shows big.bin only; a.txt is hidden, and before each command a file arrives that
  // the listing has not seen. No command may take either name: each says so and leaves the files
  // as they were. The late file is tried first, before anything lists the folder again.
  ASSERT_TRUE(probe->type("Search Folder", "big"));
  ASSERT_EQ(rows(), (std::vector<std::string>{"big.bin"}));
  const std::string inUse = "File Name Error: A file with that name already exists in the folder.";
  const Naming cases[] = {{"", "Create File", "New File Name:"},
                          {"", "Create Directory", "New Directory Name:"},
                          {"big.bin", "Rename File", "Rename File To:"},
                          {"big.bin", "Copy File", "Copy File To:"}};
  int arrived = 0;
  for (const Naming &c : cases) {
    const std::string late = "late" + std::to_string(++arrived) + ".txt";
    testsupport::writeFile(files + "/" + late, "late");
    for (const std::string &taken : {late, std::string("a.txt")}) {
      SCOPED_TRACE(std::string(c.button) + " " + taken);
      name(c, taken);
      EXPECT_EQ(backToScreen("Cancel"), inUse);
      EXPECT_EQ(testsupport::readFile(files + "/a.txt"), "abc");
      EXPECT_TRUE(fs::is_regular_file(files + "/" + late));
      EXPECT_EQ(testsupport::readFile(files + "/" + late), "late");
      EXPECT_EQ(fs::file_size(files + "/big.bin"), 5000u);
    }
  }
}

// A name the file system does not take (longer than 255 bytes, or making a path longer than a
// path may be) is refused by every naming command with its reason, and nothing is made or
// changed. A name just within the limit is made as any other.
TEST_F(LocalFolderTest, NamesTheFileSystemDoesNotTakeAreRefusedWithTheirReason) {
  const auto listing = [](const std::string &folder) {
    std::vector<std::string> names;
    for (auto &e : fs::recursive_directory_iterator(folder))
      names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  const Naming cases[] = {{"", "Create File", "New File Name:"},
                          {"", "Create Directory", "New Directory Name:"},
                          {"a.txt", "Rename File", "Rename File To:"},
                          {"a.txt", "Copy File", "Copy File To:"},
                          {"sub", "Rename Folder", "Rename Folder To:"}};
  const auto before = listing(files);
  for (const Naming &c : cases) {
    SCOPED_TRACE(c.button);
    name(c, std::string(296, 'x') + ".txt");
    EXPECT_EQ(backToScreen("Cancel"), "File Name Error: That name cannot be used: it is 300 bytes "
                                      "long, and the file system takes at most 255");
    EXPECT_EQ(listing(files), before);
  }
  // 255 bytes: made (a file is written beside its place first, under a name that fits too).
  char kind = 'a';
  for (const Naming &c : {cases[0], cases[1], cases[3]}) {
    SCOPED_TRACE(c.button);
    const std::string fits = std::string(1, kind++) + std::string(250, 'y') + ".txt";
    name(c, fits);
    EXPECT_EQ(backToScreen("Cancel"), "");
    EXPECT_TRUE(fs::exists(files + "/" + fits));
  }
  // A folder deep enough that a short name would make a path longer than a path may be.
  std::string deep = "Files";
  while ((documents() + "/" + deep).size() + 201 < 4050)
    deep += "/" + std::string(200, 'd');
  fs::create_directories(documents() + "/" + deep);
  auto deepScreen = LocalFolderViewController::make(deep);
  nav->pushViewController(deepScreen, false);
  const size_t rest = 4100 - (documents() + "/" + deep).size();
  ASSERT_LE(rest, 255u);
  name(cases[0], std::string(rest, 'z'));
  EXPECT_EQ(lastAlert(), "File Name Error: That name cannot be used: the whole path would be "
                         "longer than the 4095 bytes a path may have");
  EXPECT_TRUE(fs::is_empty(documents() + "/" + deep));
}

// Files named like the folder's own sheets are files: their row menus rename and delete them,
// never sort the folder or open its commands.
TEST_F(LocalFolderTest, FilesNamedLikeTheFolderSheetsAreRenamedAndDeleted) {
  for (const std::string name : {"Sort Folder", "Folder Commands"}) {
    SCOPED_TRACE(name);
    testsupport::writeFile(files + "/" + name, "x");
    ASSERT_TRUE(probe->tap("Refresh"));
    rowCommand(name, "Rename File");
    ASSERT_TRUE(probe->clear("Rename File To:")) << probe->lastError();
    ASSERT_TRUE(probe->type("Rename File To:", "renamed"));
    ASSERT_TRUE(probe->tap("Done"));
    backToScreen("Cancel");
    EXPECT_TRUE(fs::exists(files + "/renamed"));
    EXPECT_FALSE(fs::exists(files + "/" + name));
    fs::remove(files + "/renamed");

    testsupport::writeFile(files + "/" + name, "x");
    ASSERT_TRUE(probe->tap("Refresh"));
    rowCommand(name, "Delete File");
    ASSERT_TRUE(probe->answerAlert("Delete")) << probe->lastError();
    EXPECT_FALSE(fs::exists(files + "/" + name));
    // Nothing else was opened, and the folder's sort is as it was.
    EXPECT_TRUE(probe->pendingAlerts().empty());
    EXPECT_EQ(probe->topViewController(), screen);
    EXPECT_EQ(rows(), (std::vector<std::string>{"Shared with iTunes", "sub", "a.txt", "big.bin"}));
  }
}

TEST_F(LocalFolderTest, MoveTargetsZipAndUnzip) {
  fs::create_directories(files + "/other");
  ASSERT_TRUE(probe->tap("Refresh"));
  rowCommand("a.txt", "Move File");
  std::vector<std::string> targets;
  for (auto &r : probe->visibleRows())
    targets.push_back(r.text);
  EXPECT_EQ(targets,
            (std::vector<std::string>{"Cancel, Don't Move", "other", "Shared with iTunes", "sub"}));
  ASSERT_TRUE(probe->tapRow("sub"));
  backToScreen("Done");
  EXPECT_TRUE(fs::exists(files + "/sub/a.txt"));
  // Add to a new archive, then unpack it beside itself.
  rowCommand("big.bin", "Add to ZIP File");
  ASSERT_TRUE(probe->tapRow("big.zip (new)"));
  backToScreen("Done");
  ASSERT_TRUE(fs::exists(files + "/big.zip"));
  ASSERT_TRUE(probe->tapRow("big.zip"));
  ASSERT_TRUE(probe->tap("Unzip"));
  advance(std::chrono::milliseconds(10));
  EXPECT_EQ(testsupport::readFile(files + "/big/big.bin"), std::string(5000, 'x'));
}

// UnZip puts a spinner where its button was, and unpacks a moment later, so that a long unpack
// shows it is under way; when it is done the button has gone. A password left empty unpacks
// nothing and gives the button back.
TEST_F(LocalFolderTest, UnzipShowsItsSpinnerWhileItUnpacks) {
  ASSERT_TRUE(tartrees::sh("cd '" + files +
                           "' && zip -q plain.zip a.txt && zip -q -P pw locked.zip a.txt"));
  ASSERT_TRUE(probe->tap("Refresh"));
  auto spinning = [&] {
    // The folder screen's own button: the password prompt may stand over the screen.
    auto right = screen->navigationItem().rightBarButtonItem();
    auto spinner =
        right ? std::dynamic_pointer_cast<ActivityIndicatorView>(right->customView()) : nullptr;
    return spinner && spinner->isAnimating();
  };
  ASSERT_TRUE(probe->tapRow("plain.zip"));
  ASSERT_TRUE(probe->tap("Unzip"));
  EXPECT_TRUE(spinning());
  EXPECT_FALSE(fs::exists(files + "/plain")) << "unpacked before the spinner was shown";
  advance(std::chrono::milliseconds(10));
  EXPECT_EQ(testsupport::readFile(files + "/plain/a.txt"), "abc");
  EXPECT_FALSE(probe->rightItem());

  ASSERT_TRUE(probe->tapRow("locked.zip"));
  ASSERT_TRUE(probe->tap("Unzip"));
  EXPECT_TRUE(spinning());
  backToScreen("Done");
  EXPECT_FALSE(fs::exists(files + "/locked"));
  ASSERT_TRUE(probe->rightItem());
  EXPECT_EQ(probe->rightItem()->name, "Unzip");
}

// An unpack never replaces, unasked, a file that differs from the archive's copy: one question
// names how many differ; the files that are the same or missing come out whatever the answer,
// and what is not in the archive stays.
TEST_F(LocalFolderTest, UnpackingAsksBeforeReplacingChangedFiles) {
  installTarUnpacker();
  const std::string nested = files + "/nested";
  struct Case {
    const char *archive, *button;
    std::vector<const char *> changed;
    const char *title, *message, *answer;
  } cases[] = {
      {"nested.zip",
       "Unzip",
       {"note.txt", "sub/deep.txt"},
       "Replace Changed Files?",
       "2 files in \"nested\" differ from their copies in \"nested.zip\".",
       "Keep Them"},
      {"nested.tgz",
       "Untar",
       {"sub/deep.txt"},
       "Replace Changed File?",
       "1 file in \"nested\" differs from its copy in \"nested.tgz\".",
       "Replace It"},
  };
  const std::map<std::string, std::string> original{
      {"note.txt", "original note"}, {"same.txt", "same"}, {"sub/deep.txt", "deep"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.archive) + " " + c.answer);
    fs::remove_all(nested);
    fs::remove(files + "/" + c.archive);
    fs::create_directories(nested + "/sub");
    for (const auto &[name, text] : original)
      ASSERT_TRUE(testsupport::writeFile(nested + "/" + name, text));
    ASSERT_TRUE(probe->tap("Refresh"));
    if (std::string(c.archive) == "nested.zip") {
      rowCommand("nested", "Compress to ZIP File");
    } else {
      ASSERT_TRUE(tartrees::sh("cd '" + nested + "' && tar -czf ../nested.tgz ."));
      ASSERT_TRUE(probe->tap("Refresh"));
    }
    // The person changes files, removes one and adds one of their own.
    for (const char *name : c.changed)
      ASSERT_TRUE(testsupport::writeFile(nested + "/" + name, "changed"));
    fs::remove(nested + "/same.txt");
    ASSERT_TRUE(testsupport::writeFile(nested + "/mine.txt", "mine"));

    ASSERT_TRUE(probe->tapRow(c.archive));
    ASSERT_TRUE(probe->tap(c.button)) << probe->lastError();
    advance(std::chrono::milliseconds(10));
    auto alerts = probe->pendingAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].title, c.title);
    EXPECT_EQ(alerts[0].message,
              std::string(c.message) + "\n\nThe other files are unpacked either way.");
    ASSERT_TRUE(probe->answerAlert(c.answer));
    const bool replaced = std::string(c.answer).rfind("Replace", 0) == 0;
    for (const auto &[name, text] : original) {
      const bool changed = std::find(c.changed.begin(), c.changed.end(), name) != c.changed.end();
      EXPECT_EQ(testsupport::readFile(nested + "/" + name), changed && !replaced ? "changed" : text)
          << name;
    }
    EXPECT_EQ(testsupport::readFile(nested + "/mine.txt"), "mine");
    std::vector<std::string> names;
    for (auto &e : fs::directory_iterator(nested))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"mine.txt", "note.txt", "same.txt", "sub"}))
        << "nothing of the unpack is left beside what it held";
    EXPECT_TRUE(probe->pendingAlerts().empty());

    // Nothing differs now (or only what the person kept): unpacking again asks only about that.
    if (replaced) {
      ASSERT_TRUE(probe->tapRow(c.archive));
      ASSERT_TRUE(probe->tap(c.button));
      advance(std::chrono::milliseconds(10));
      EXPECT_TRUE(probe->pendingAlerts().empty());
      EXPECT_EQ(testsupport::readFile(nested + "/note.txt"), "original note");
    }
  }
  TARWrapper::install(nullptr);
}

TEST_F(LocalFolderTest, UploadsReachTheQueue) {
  fs::create_directories(files + "/sub/deeper");
  testsupport::writeFile(files + "/sub/deeper/d.txt", "d");
  fs::create_directory_symlink("..", files + "/sub/deeper/loop");
  rowCommand("sub", "Upload Folder");
  std::sort(queue->rows.begin() + 1, queue->rows.end());
  EXPECT_EQ(queue->rows, (std::vector<std::string>{
                             "6 sub /remote/ ", "10 d.txt /remote/sub/deeper/ d.txt",
                             "10 inner.txt /remote/sub/ inner.txt", "6 deeper /remote/sub/ "}));
  queue->rows.clear();
  queue->connected = false;
  ASSERT_TRUE(probe->tapRow("a.txt"));
  ASSERT_TRUE(probe->tap("Upload"));
  EXPECT_EQ(lastAlert().rfind("Not Connected: ", 0), 0u);
  EXPECT_TRUE(queue->rows.empty());
}

TEST_F(LocalFolderTest, ImportsExportedAndPlainBookmarks) {
  sqlite3 *db = OpenDatabase();
  UpdateDatabaseStructure(db);
  SQLExecute(db, "INSERT INTO bookmark (name,server,user,password,parent,protocol,weburl) VALUES "
                 "('one','a.example','joe','" +
                     myEncryptString1("pw1") + "',0,'sftp','')");
  ASSERT_EQ(exportBookmarks(db), BookmarkExport::Written);
  testsupport::writeFile(files + "/bookmarks-p.txt",
                         "// mine\nO'Brien, a.example, joe,  secret  , http://w\n"
                         "two|b.example|ann|pw2\nskipped|c.example\n");
  struct Case {
    const char *file, *message;
  } cases[] = {{"bookmarks.txt", "Imported 0 bookmark(s)\nUpdated 1 bookmark(s)"},
               {"bookmarks-p.txt", "Imported 1 bookmark(s)\nUpdated 1 bookmark(s)"}};
  for (const Case &c : cases) {
    ASSERT_TRUE(probe->tap("Refresh"));
    rowCommand(c.file, "Import Bookmarks");
    EXPECT_EQ(lastAlert(), std::string("Bookmark Import: ") + c.message);
  }
  auto value = [&](const std::string &sql) {
    std::string out;
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
    if (sqlite3_step(st) == SQLITE_ROW)
      out = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    return out;
  };
  EXPECT_EQ(value("SELECT name||'|'||password||'|'||protocol FROM bookmark WHERE user='joe'"),
            "O'Brien|" + myEncryptString1("secret") + "|ftp");
  EXPECT_EQ(value("SELECT protocol FROM bookmark WHERE user='ann'"), "ftp");
  sqlite3_close(db);
}

TEST_F(LocalFolderTest, HandsFilesOnAndUnpacksWithAPassword) {
  auto handOver = std::make_shared<HandOverDouble>();
  FTPAppServices::setShared(handOver);
  std::vector<std::string> mailed;
  MailService::setRecorder([&](const MailMessage &m) {
    mailed.push_back(m.attachments.at(0).fileName + " " + m.attachments.at(0).mimeType);
    return true;
  });
  DocumentInteraction::setRecorder([](const std::string &) { return false; });
  for (const char *name : {"song.mp3", "pic.png", "notes.md"})
    testsupport::writeFile(files + "/" + name, "x");
  testsupport::writeFile(files + "/edge.txt", std::string(1048576, 'e'));
  testsupport::writeFile(files + "/over.txt", std::string(1048577, 'o'));
  ASSERT_TRUE(tartrees::sh("cd '" + files + "' && zip -q -P 'p\xc3\xa4ss' secret.zip a.txt"));
  ASSERT_TRUE(probe->tap("Refresh"));
  struct Case {
    const char *row, *button;
  } cases[] = {{"song.mp3", "Play"},
               {"pic.png", "View"},
               {"notes.md", "Edit"},
               {"edge.txt", "Edit"},
               {"over.txt", "View"}};
  for (const Case &c : cases) {
    ASSERT_TRUE(probe->tapRow(c.row));
    ASSERT_TRUE(probe->tap(c.button)) << c.row;
    ASSERT_TRUE(probe->tap("Email"));
    ASSERT_TRUE(probe->tapRow(c.row)); // unchecked again
  }
  EXPECT_EQ(handOver->calls,
            (std::vector<std::string>{"play song.mp3", "view pic.png", "edit notes.md",
                                      "edit edge.txt", "view over.txt"}));
  EXPECT_EQ(mailed.size(), 5u);
  rowCommand("notes.md", "Open In...");
  EXPECT_EQ(lastAlert(),
            "Can't Open File: There are no Apps installed for viewing this type of file.");
  ASSERT_TRUE(probe->tapRow("secret.zip"));
  ASSERT_TRUE(probe->tap("Unzip"));
  ASSERT_TRUE(probe->type("The ZIP file needs a password:", "p\xc3\xa4ss"));
  backToScreen("Done");
  advance(std::chrono::milliseconds(10));
  EXPECT_EQ(testsupport::readFile(files + "/secret/a.txt"), "abc");
}

} // namespace

namespace {

// Every dialog of a row acts on the item it was opened for: files arrive (and the rows shift)
// while its sheet is open and again while its alert, prompt or list is.
TEST_F(LocalFolderTest, DialogsActOnTheItemTheyNamedThoughRowsShift) {
  std::vector<std::string> opened;
  DocumentInteraction::setRecorder([&](const std::string &p) {
    opened.push_back(p);
    return true;
  });
  enum Answer { kNone, kAlert, kPrompt, kList };
  struct Case {
    const char *row, *button;
    Answer answer;
    const char *with;    // alert button, typed name or list row
    const char *made;    // exists afterwards, below Saved Files
    const char *removed; // gone afterwards
  } cases[] = {
      {"c.txt", "Delete File", kAlert, "Delete", "a.txt", "c.txt"},
      {"sub", "Delete Folder", kAlert, "Delete All", "a.txt", "sub"},
      {"c.txt", "Rename File", kPrompt, "r.txt", "r.txt", "c.txt"},
      {"c.txt", "Copy File", kPrompt, "k.txt", "k.txt", ""},
      {"sub", "Rename Folder", kPrompt, "s2", "s2/inner.txt", "sub"},
      {"c.txt", "Move File", kList, "sub", "sub/c.txt", "c.txt"},
      {"c.txt", "Add to ZIP File", kList, "c.zip (new)", "c.zip", ""},
      {"sub", "Compress to ZIP File", kNone, "", "sub.zip", ""},
      {"c.txt", "Open In...", kNone, "", "c.txt", ""},
      {"bookmarks.txt", "Import Bookmarks", kNone, "", "bookmarks.txt", ""},
  };
  int round = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.row) + " " + c.button);
    fs::remove_all(files);
    fs::create_directories(files + "/sub");
    testsupport::writeFile(files + "/sub/inner.txt", "in");
    testsupport::writeFile(files + "/a.txt", "a");
    testsupport::writeFile(files + "/c.txt", "c");
    testsupport::writeFile(files + "/bookmarks.txt", "n|b.example|u|p|w|ftp\n");
    ASSERT_TRUE(probe->tap("Refresh"));
    ASSERT_TRUE(probe->tapAccessory(IndexPath{0, index(c.row)})) << probe->lastError();
    arrive("0" + std::to_string(round) + ".txt");
    ASSERT_TRUE(probe->answerSheet(c.button)) << probe->lastError();
    arrive("00" + std::to_string(round++) + ".txt");
    if (c.answer == kAlert) {
      ASSERT_TRUE(probe->answerAlert(c.with)) << probe->lastError();
    } else if (c.answer == kPrompt) {
      ASSERT_TRUE(probe->clear(c.button + std::string(" To:")));
      ASSERT_TRUE(probe->type(c.button + std::string(" To:"), c.with));
      ASSERT_TRUE(probe->tap("Done"));
    } else if (c.answer == kList) {
      ASSERT_TRUE(probe->tapRow(c.with)) << probe->lastError();
      ASSERT_TRUE(probe->tap("Done"));
    }
    const std::string said = backToScreen("Cancel");
    EXPECT_TRUE(fs::exists(files + "/" + c.made));
    EXPECT_TRUE(!*c.removed || !fs::exists(files + "/" + c.removed));
    EXPECT_TRUE(fs::exists(files + "/a.txt"));
    if (std::string(c.button) == "Add to ZIP File") {
      EXPECT_TRUE(tartrees::sh("unzip -l '" + files + "/c.zip' c.txt"));
    }
    if (std::string(c.button) == "Import Bookmarks") {
      EXPECT_EQ(said, "Bookmark Import: Imported 1 bookmark(s)\nUpdated 0 bookmark(s)");
    }
  }
  EXPECT_EQ(opened, (std::vector<std::string>{files + "/c.txt"}));

  // A swipe's confirmation and "Delete All Files" too: what arrived meanwhile stays.
  ASSERT_TRUE(probe->tap("Refresh"));
  ASSERT_TRUE(probe->deleteRow(IndexPath{0, index("c.txt")})) << probe->lastError();
  arrive("000.txt");
  ASSERT_TRUE(probe->answerAlert("Delete"));
  EXPECT_FALSE(fs::exists(files + "/c.txt"));
  EXPECT_TRUE(fs::exists(files + "/000.txt"));
  ASSERT_TRUE(probe->tap("Menu"));
  ASSERT_TRUE(probe->answerSheet("Delete All Files"));
  arrive("late.txt");
  ASSERT_TRUE(probe->answerAlert("Delete All"));
  EXPECT_EQ(rows(), (std::vector<std::string>{"Shared with iTunes", "sub", "late.txt"}));
  // The archive whose password is asked for is the one unpacked.
  ASSERT_TRUE(tartrees::sh("cd '" + files + "' && zip -q -P pw s.zip late.txt"));
  ASSERT_TRUE(probe->tap("Refresh"));
  ASSERT_TRUE(probe->tapRow("s.zip"));
  ASSERT_TRUE(probe->tap("Unzip"));
  arrive("0.zip");
  ASSERT_TRUE(probe->type("The ZIP file needs a password:", "pw"));
  backToScreen("Done");
  advance(std::chrono::milliseconds(10));
  EXPECT_EQ(testsupport::readFile(files + "/s/late.txt"), "new");
}

// An item that went while its dialog was open is not replaced by whatever took its row.
TEST_F(LocalFolderTest, ADialogWhoseItemWentSaysSoAndDoesNothing) {
  testsupport::writeFile(files + "/c.txt", "c");
  ASSERT_TRUE(probe->tap("Refresh"));
  rowCommand("c.txt", "Delete File");
  fs::remove(files + "/c.txt");
  screen->loadFolderData();
  ASSERT_TRUE(probe->answerAlert("Delete"));
  EXPECT_EQ(lastAlert(),
            "File Not Found: \"c.txt\" is no longer in this folder; nothing was done.");
  EXPECT_TRUE(fs::exists(files + "/a.txt") && fs::exists(files + "/big.bin"));
  // A folder that took the file's name is not the file.
  testsupport::writeFile(files + "/c.txt", "c");
  ASSERT_TRUE(probe->tap("Refresh"));
  rowCommand("c.txt", "Rename File");
  fs::remove(files + "/c.txt");
  fs::create_directories(files + "/c.txt");
  ASSERT_TRUE(probe->clear("Rename File To:"));
  ASSERT_TRUE(probe->type("Rename File To:", "d.txt"));
  ASSERT_TRUE(probe->tap("Done"));
  EXPECT_EQ(backToScreen("Cancel").rfind("File Not Found: ", 0), 0u);
  EXPECT_TRUE(fs::is_directory(files + "/c.txt"));
  EXPECT_FALSE(fs::exists(files + "/d.txt"));
}

// Move targets are the entries the list was made from, whatever they are called.
TEST_F(LocalFolderTest, MoveTargetsAreTheEntriesTheListWasMadeFrom) {
  for (const char *d : {"sub/Up a Folder", "sub/Shared with iTunes"})
    fs::create_directories(files + "/" + d);
  for (const char *f : {"m1", "m2", "m3"})
    testsupport::writeFile(files + "/sub/" + f, f);
  ASSERT_TRUE(probe->tapRow("sub"));
  auto sub = probe->topViewController();
  struct Case {
    const char *file;
    int row; // of the list
    const char *landed;
  } cases[] = {
      {"m1", 3, "sub/Up a Folder/m1"}, {"m2", 2, "sub/Shared with iTunes/m2"}, {"m3", 1, "m3"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    rowCommand(c.file, "Move File");
    std::vector<std::string> targets;
    for (auto &r : probe->visibleRows())
      targets.push_back(r.text);
    EXPECT_EQ(targets, (std::vector<std::string>{"Cancel, Don't Move", "Up a Folder",
                                                 "Shared with iTunes", "Up a Folder"}));
    ASSERT_TRUE(probe->tapRow(IndexPath{0, c.row}));
    for (int i = 0; i < 3 && probe->topViewController() != sub; ++i) {
      probe->tap("Done");
      advance(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(fs::exists(files + "/" + c.landed));
    EXPECT_FALSE(fs::exists(documents() + "/" + c.file));
  }
}

// A move onto a name the other folder already holds leaves both where they are and says why, as
// a rename onto a taken name does; a free name still moves.
TEST_F(LocalFolderTest, AMoveOntoATakenNameSaysWhyAndKeepsBoth) {
  fs::create_directories(files + "/sub/same");
  fs::create_directories(files + "/same");
  testsupport::writeFile(files + "/sub/a.txt", "theirs");
  testsupport::writeFile(files + "/sub/same/kept.txt", "inside");
  testsupport::writeFile(files + "/inner.txt", "mine");
  testsupport::writeFile(documents() + "/shared.txt", "shared");
  testsupport::writeFile(files + "/shared.txt", "saved");
  ASSERT_TRUE(probe->tap("Refresh"));
  const std::string taken = "File Name Error: A file with that name already exists in the folder.";
  struct Case {
    const char *folder; // the folder opened first ("": Saved Files itself)
    const char *row, *command, *target;
    const char *item, *other; // below Saved Files: the item moved, and what the target holds
    bool refused;
  } cases[] = {
      {"", "a.txt", "Move File", "sub", "a.txt", "sub/a.txt", true},
      {"", "same", "Move Folder", "sub", "same", "sub/same/kept.txt", true},
      {"", "shared.txt", "Move File", "Shared with iTunes", "shared.txt", "../shared.txt", true},
      {"sub", "inner.txt", "Move File", "Up a Folder", "sub/inner.txt", "inner.txt", true},
      {"", "big.bin", "Move File", "sub", "big.bin", "sub/big.bin", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.row) + " to " + c.target);
    const std::string item = testsupport::readFile(files + "/" + c.item),
                      other = testsupport::readFile(files + "/" + c.other);
    if (*c.folder) {
      ASSERT_TRUE(probe->tapRow(c.folder));
    }
    auto shown = probe->topViewController();
    rowCommand(c.row, c.command);
    ASSERT_TRUE(probe->tapRow(c.target)) << probe->lastError();
    for (int i = 0; i < 3 && probe->topViewController() != shown; ++i) {
      probe->tap("Done");
      advance(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(lastAlert(), c.refused ? taken : "");
    EXPECT_EQ(fs::exists(files + "/" + c.item), c.refused);
    EXPECT_TRUE(fs::exists(files + "/" + c.other));
    if (c.refused) {
      EXPECT_EQ(testsupport::readFile(files + "/" + c.item), item);
      EXPECT_EQ(testsupport::readFile(files + "/" + c.other), other);
    }
    if (*c.folder) {
      ASSERT_TRUE(probe->tapBack());
    }
  }
}

TEST_F(LocalFolderTest, SizesPastTwoGiBListSortAndUpload) {
  testsupport::writeFile(files + "/huge.txt", "");
  fs::resize_file(files + "/huge.txt", 3LL << 30); // sparse: no disk used
  ASSERT_TRUE(probe->tap("Refresh"));
  for (const auto &row : screen->folderItems()) {
    if (row->name() == "huge.txt") {
      EXPECT_EQ(row->size, "3221225472");
    }
  }
  ASSERT_TRUE(probe->tap("Sort"));
  ASSERT_TRUE(probe->answerSheet("Sort by Size"));
  EXPECT_EQ(rows().back(), "huge.txt");
  ASSERT_TRUE(probe->tapRow("huge.txt"));
  EXPECT_EQ(probe->rightItem()->name, "View") << "far above what the editor takes";
  ASSERT_TRUE(probe->tap("Upload"));
  ASSERT_EQ(queue->sizes.size(), 1u);
  EXPECT_EQ(queue->sizes[0], 3LL << 30);
}

// What the text editor takes by device class: the size at the limit is edited, one more viewed.
TEST_F(LocalFolderTest, EditSizeLimitFollowsTheDeviceClass) {
  struct Case {
    const char *platform, *version;
    bool pad;
    int64_t limit;
  } cases[] = {{"iPhone4,1", "5.1.1", false, 1048576},
               {"iPad2,1", "5.0", true, 1048576},
               {"iPhone2,1", "4.0", false, 524288},
               {"iPhone2,1", "3.1", false, 262144},
               {"iPhone1,2", "4.0", false, 262144}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.platform + std::string(" ") + c.version);
    DeviceProfile d = c.pad ? DeviceProfile::iPad() : DeviceProfile::iPhone();
    d.platform = c.platform;
    d.systemVersion = c.version;
    DeviceProfile::setCurrent(d);
    testsupport::writeFile(files + "/at.txt", std::string(static_cast<size_t>(c.limit), 'x'));
    testsupport::writeFile(files + "/over.txt", std::string(static_cast<size_t>(c.limit) + 1, 'x'));
    ASSERT_TRUE(probe->tap("Refresh"));
    for (auto [row, button] : {std::pair{"at.txt", "Edit"}, std::pair{"over.txt", "View"}}) {
      ASSERT_TRUE(probe->tapRow(row));
      EXPECT_EQ(probe->rightItem()->name, button) << row;
      ASSERT_TRUE(probe->tapRow(row));
    }
  }
}

class LocalFolderPadTest : public LocalFolderTest {
protected:
  LocalFolderPadTest() { device = DeviceProfile::iPad(); }
  std::shared_ptr<PopoverController> popover() {
    auto &all = probe->window().popovers();
    return all.empty() ? nullptr : all.back();
  }
};

TEST_F(LocalFolderPadTest, ToolbarOnTopSheetsFromTheirButtonsDialogsInPopovers) {
  auto bar = probe->first<Toolbar>();
  ASSERT_TRUE(bar);
  EXPECT_EQ(bar->frame().origin.y, 0);
  const auto menu = probe->find("Menu");
  // Sheets open from the button that opened them, row sheets from the row.
  for (const char *button : {"Sort", "Menu"}) {
    const auto item = probe->find(button);
    ASSERT_TRUE(probe->tap(item));
    auto &sheets = probe->window().actionSheets();
    ASSERT_FALSE(sheets.empty());
    EXPECT_EQ(sheets.back()->anchor().kind, Anchor::Kind::BarButtonItem);
    EXPECT_EQ(sheets.back()->anchor().element.lock(), item);
    ASSERT_TRUE(probe->answerSheet("Cancel"));
  }
  ASSERT_TRUE(probe->tapAccessory(IndexPath{0, index("a.txt")}));
  auto &sheets = probe->window().actionSheets();
  ASSERT_FALSE(sheets.empty());
  EXPECT_EQ(sheets.back()->anchor().kind, Anchor::Kind::Rect);
  // Its prompt opens in a popover from the same row, and closes with it.
  ASSERT_TRUE(probe->answerSheet("Rename File"));
  ASSERT_TRUE(popover());
  EXPECT_EQ(popover()->anchor().kind, Anchor::Kind::Rect);
  EXPECT_EQ(nav->topViewController(), screen) << "nothing is pushed on the tablet";
  ASSERT_TRUE(probe->clear("Rename File To:"));
  ASSERT_TRUE(probe->type("Rename File To:", "b.txt"));
  ASSERT_TRUE(probe->tap("Done"));
  EXPECT_TRUE(probe->window().popovers().empty());
  EXPECT_TRUE(fs::exists(files + "/b.txt"));
  // A folder command's prompt opens from the Menu button.
  ASSERT_TRUE(probe->tap("Menu"));
  ASSERT_TRUE(probe->answerSheet("Create Directory"));
  ASSERT_TRUE(popover());
  EXPECT_EQ(popover()->anchor().element.lock(), menu);
  ASSERT_TRUE(probe->type("New Directory Name:", "made"));
  ASSERT_TRUE(probe->tap("Done"));
  EXPECT_TRUE(fs::is_directory(files + "/made"));
  // A list answers from its popover too.
  rowCommand("b.txt", "Move File");
  ASSERT_TRUE(probe->tapRow("made"));
  ASSERT_TRUE(probe->tap("Done"));
  advance(std::chrono::milliseconds(10));
  EXPECT_TRUE(fs::exists(files + "/made/b.txt"));
}

// A resize redraws only when both sides change; the format picks the extension.
TEST_F(LocalFolderTest, ResizePictureWritesTheCheckedPictureAtTheTypedSize) {
  const auto png = testsupport::coordinatePicture(8, 6)->pngRepresentation();
  testsupport::writeFile(files + "/pic.png", std::string(png.begin(), png.end()));
  screen->loadFolderData();
  struct Case {
    LocalFolderViewController::ResizeAnswer answer;
    const char *written;
    int width, height;
  } cases[] = {
      {{"small", 4, 3, 8, 6, false}, "small.jpg", 4, 3},
      {{"wide.png", 16, 6, 8, 6, true}, "wide.png", 8, 6}, // height unchanged: as it was
      {{"zero", 0, 3, 8, 6, true}, "zero.png", 8, 6},
      {{"photo.JPEG", 2, 2, 8, 6, false}, "photo.JPEG", 2, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.written);
    ASSERT_TRUE(probe->tapRow("pic.png")) << probe->lastError();
    screen->doResizePicture(c.answer);
    auto image = media::Image::imageWithContentsOfFile(files + "/" + c.written);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixelWidth(), c.width);
    EXPECT_EQ(image->pixelHeight(), c.height);
  }
  // Without a checked picture nothing is written.
  screen->doResizePicture({"none", 2, 2, 8, 6, false});
  EXPECT_FALSE(fs::exists(files + "/none.jpg"));
}

// The picker as Saved Files sees it: a camera or not, videos or not, and what a pick hands back.
class PictureImportTest : public LocalFolderTest {
protected:
  void SetUp() override {
    LocalFolderTest::SetUp();
    auto &rooms = SavedFilesRooms::shared();
    rooms.hasCamera = [this] { return camera; };
    rooms.hasPhotoLibrary = [] { return true; };
    rooms.hasVideoMedia = [this] { return videos; };
    rooms.pickMedia = [this](bool fromCamera, int, const std::shared_ptr<BarButtonItem> &,
                             std::function<void(std::optional<PickedPictureOrVideo>)> done) {
      picks.push_back(fromCamera ? "camera" : "library");
      done(next);
      return std::shared_ptr<PopoverController>();
    };
  }
  void TearDown() override {
    auto &rooms = SavedFilesRooms::shared();
    rooms.hasCamera = nullptr;
    rooms.hasPhotoLibrary = nullptr;
    rooms.hasVideoMedia = nullptr;
    rooms.pickMedia = nullptr;
    LocalFolderTest::TearDown();
  }
  // Menu, import, (the source sheet when there is a camera), then the name prompt answered.
  void importAs(const std::string &source, const std::string &field, const std::string &name,
                int format) {
    ASSERT_TRUE(probe->tap("Menu"));
    ASSERT_TRUE(probe->answerSheet(videos ? "Import Picture/Video" : "Import Picture"))
        << probe->lastError();
    if (!source.empty()) {
      ASSERT_TRUE(probe->answerSheet(source)) << probe->lastError();
    }
    advance(std::chrono::milliseconds(20));
    if (format >= 0) {
      ASSERT_TRUE(probe->selectSegment("File Type", format)) << probe->lastError();
    }
    ASSERT_TRUE(probe->clear(field)) << probe->lastError();
    ASSERT_TRUE(probe->type(field, name));
    ASSERT_TRUE(probe->tap("Done"));
    advance(std::chrono::milliseconds(20));
  }
  bool camera = false, videos = true;
  std::optional<PickedPictureOrVideo> next;
  std::vector<std::string> picks;
};

TEST_F(PictureImportTest, PicturesAreNamedByTheirFormatAndVideosGetMov) {
  next = PickedPictureOrVideo{false, "", testsupport::coordinatePicture(6, 4), "IMG_1.png"};
  struct Case {
    const char *typed;
    int format; // 0 JPEG, 1 PNG
    const char *written;
  } cases[] = {
      {"photo.JPEG", 0, "photo.JPEG"}, {"shot.JPEG", 1, "shot.JPEG.png"}, {"plain", 0, "plain.jpg"},
      {"art.PNG", 1, "art.PNG"},       {"dot.", 0, "dot..jpg"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.typed);
    ASSERT_NO_FATAL_FAILURE(importAs("", "File Name:", c.typed, c.format));
    auto image = media::Image::imageWithContentsOfFile(files + "/" + c.written);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixelWidth(), 6);
    const std::string bytes = testsupport::readFile(files + "/" + c.written);
    EXPECT_EQ(bytes.substr(1, 3) == "PNG", c.format == 1);
  }
  EXPECT_EQ(picks, std::vector<std::string>(std::size(cases), "library"));

  // A video: ".mov" added unless there; a name already in the folder is not written over.
  const std::string movie = tmpPath() + "/picked.mov";
  testsupport::writeFile(movie, "movie bytes");
  testsupport::writeFile(files + "/old.mov", "keep");
  screen->loadFolderData();
  next = PickedPictureOrVideo{true, movie, nullptr, "picked.mov"};
  for (auto [typed, written] : {std::pair{"clip", "clip.mov"}, std::pair{"Trip.MOV", "Trip.MOV"}}) {
    ASSERT_NO_FATAL_FAILURE(importAs("", "Video File Name:", typed, -1));
    EXPECT_EQ(testsupport::readFile(files + "/" + written), "movie bytes") << typed;
  }
  ASSERT_NO_FATAL_FAILURE(importAs("", "Video File Name:", "old", -1));
  EXPECT_EQ(testsupport::readFile(files + "/old.mov"), "keep");
}

// A picked picture is stored upright; only one that had to be turned is scaled on the way.
TEST_F(PictureImportTest, APickedPictureIsStoredUprightAndUprightOnesWhole) {
  int n = 0;
  for (const auto &c : testsupport::pickedPictureCases()) {
    SCOPED_TRACE(c.what);
    next = PickedPictureOrVideo{false, "", c.picked, "IMG_1.png"};
    const std::string name = "picked" + std::to_string(++n) + ".png";
    ASSERT_NO_FATAL_FAILURE(importAs("", "File Name:", name, 1));
    auto image = media::Image::imageWithContentsOfFile(files + "/" + name);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixelWidth(), c.storedWidth);
    EXPECT_EQ(image->pixelHeight(), c.storedHeight);
  }
}

TEST_F(PictureImportTest, ACameraAsksForTheSourceAndNothingPickedWritesNothing) {
  camera = true;
  videos = false;
  next = std::nullopt; // cancelled in the picker
  ASSERT_TRUE(probe->tap("Menu"));
  ASSERT_TRUE(probe->answerSheet("Import Picture")) << probe->lastError();
  auto sheets = probe->pendingSheets();
  ASSERT_FALSE(sheets.empty());
  EXPECT_EQ(sheets.back().title, "Import Picture");
  ASSERT_TRUE(probe->answerSheet("Use Camera"));
  ASSERT_TRUE(probe->tap("Menu"));
  ASSERT_TRUE(probe->answerSheet("Import Picture"));
  ASSERT_TRUE(probe->answerSheet("Select from Library"));
  advance(std::chrono::milliseconds(20));
  EXPECT_EQ(picks, (std::vector<std::string>{"camera", "library"}));
  EXPECT_EQ(probe->topViewController(), screen); // no name prompt
  videos = true;
  ASSERT_TRUE(probe->tap("Menu"));
  ASSERT_TRUE(probe->answerSheet("Import Picture/Video"));
  sheets = probe->pendingSheets();
  ASSERT_FALSE(sheets.empty());
  EXPECT_EQ(sheets.back().title, "Picture/Video Importing");
  ASSERT_TRUE(probe->answerSheet("Cancel"));
  EXPECT_EQ(picks.size(), 2u);
}

} // namespace
