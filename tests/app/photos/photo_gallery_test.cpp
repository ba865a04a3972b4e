// The photo library browser driven as a person drives it, over a pictures folder the test makes:
// the Saved Files row, albums and assets, refresh, every command on a row, uploads into the
// queue, and the conversion the transfer queue asks for.
#include "app/photos/PhotoGalleryView.h"

#include "tests/app/foundation/ScreenFixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FarTimes.h"
#include "tests/support/FolderChecks.h"
#include "tests/support/PhotoFixtures.h"

#include "app/files/LocalFilesServices.h"
#include "app/files/LocalFolderViewController.h"
#include "app/foundation/DirTableCell.h"
#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/ftp/FTPServices.h"
#include "app/photos/ImageEditorView.h"
#include "platform/device/DeviceProfile.h"
#include "platform/device/DocumentInteraction.h"
#include "platform/device/MailService.h"
#include "platform/foundation/Log.h"
#include "tests/support/TimeScale.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

using namespace platform;
using namespace platform::ui;
using platform::media::PhotoLibrary;
namespace fs = std::filesystem;

namespace {

UserDefaults &store() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

struct QueueDouble : LocalFilesServices {
  bool connected = true;
  std::optional<std::vector<std::string>> remoteNames;
  std::vector<std::string> rows; // "action name path local kickstart"
  int starts = 0;
  bool browsingConnected() override { return connected; }
  std::string browsingFolder() override { return "/remote"; }
  bool remoteBrowserNames(std::vector<std::string> *names) override {
    if (remoteNames) *names = *remoteNames;
    return remoteNames.has_value();
  }
  int addBatchItem(int action, const std::string &name, const std::string &path, int64_t size,
                   const std::string &local, bool kick) override {
    rows.push_back(std::to_string(action) + " " + name + " " + path + " " + std::to_string(size) +
                   " " + local + (kick ? " kick" : ""));
    return static_cast<int>(rows.size());
  }
  void startQueue() override { ++starts; }
  std::vector<std::string> tabs;
  bool showSavedFileTab(const std::shared_ptr<ViewController> &, const std::string &name) override {
    tabs.push_back(name);
    return true;
  }
};

struct HandOverDouble : FTPAppServices {
  std::vector<std::string> calls, contents;
  void playMediaFile(const std::string &path, bool cleanup) override {
    calls.push_back("play " + fs::path(path).filename().string() + (cleanup ? " cleanup" : ""));
    contents.push_back(testsupport::readFile(path));
  }
  void showDocumentViewer(const std::string &name, const std::string &path) override {
    calls.push_back("view " + name);
    contents.push_back(testsupport::readFile(path));
  }
};

class PhotoGalleryTest : public ScreenTest {
protected:
  void SetUp() override {
    ScreenTest::SetUp();
    InitGlobals();
    RegisterDefaultSettings();
    LocalFilesServices::setShared(queue);
    FTPAppServices::setShared(handOver);
    pictures = tmpPath() + "/Pictures";
    files = documents() + "/Files";
    fs::create_directories(files + "/sub");
  }
  void TearDown() override {
    LocalFilesServices::setShared(nullptr);
    FTPAppServices::setShared(nullptr);
    DocumentInteraction::setRecorder(nullptr);
    MailService::setRecorder(nullptr);
    ScreenTest::TearDown();
  }
  // Runs the main loop until the condition holds; workers run on their own threads meanwhile.
  bool pumpUntil(const std::function<bool()> &done) {
    for (int i = 0; i < 2000; ++i) {
      advance(std::chrono::milliseconds(10));
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  std::vector<std::string> rows() {
    std::vector<std::string> names;
    for (auto &r : probe->visibleRows())
      names.push_back(r.label);
    std::sort(names.begin(), names.end());
    return names;
  }
  std::shared_ptr<PhotoGalleryView> top() {
    return std::dynamic_pointer_cast<PhotoGalleryView>(probe->topViewController());
  }
  // Opens the library from Saved Files, then the album.
  void openAlbum(const std::string &album) {
    testsupport::makePicturesFolder(pictures);
    nav->pushViewController(LocalFolderViewController::make(""), false);
    ASSERT_TRUE(probe->tapRow("Photo Library")) << probe->lastError();
    ASSERT_TRUE(pumpUntil([&] { return top() && top()->loaded(); }));
    ASSERT_TRUE(probe->tapRow(album)) << probe->lastError();
    ASSERT_TRUE(pumpUntil([&] { return top() && top()->loaded() && top()->title() == album; }));
  }
  std::string rowFor(const std::string &file) {
    for (auto &a : PhotoLibrary::albums())
      for (auto &asset : PhotoLibrary::assets(a))
        if (fs::path(asset.path).filename() == file)
          return PhotoGalleryView::assetRowName(asset.url);
    return "";
  }
  std::string lastAlert() {
    RunLoop::main()->runPending();
    auto alerts = probe->pendingAlerts();
    if (alerts.empty()) return "";
    probe->answerAlert(alerts.back().buttons.back());
    return alerts.back().title;
  }
  std::shared_ptr<QueueDouble> queue = std::make_shared<QueueDouble>();
  std::shared_ptr<HandOverDouble> handOver = std::make_shared<HandOverDouble>();
  std::string pictures, files;
};

TEST(PhotoGalleryNames, AssetRowNameRule) {
  struct Case {
    const char *url, *name;
  } cases[] = {
      {"assets-library://asset/asset.JPG?id=1000000001&ext=JPG", "img_10001.jpg"},
      {"assets-library://asset/asset.PNG?id=ABCDEF12-3456-7890-ABCD-EF1234567890&ext=PNG",
       "img_abcd-f123.png"},
      {"assets-library://asset/asset.MOV?id=short-id&ext=MOV", "mov_short-id.mov"},
      {"assets-library://asset/asset.CR2?id=7&ext=CR2", "7.cr2"},
      {"assets-library://asset/asset", "unknown.unknown"},
      {"assets-library://asset/asset.JPG?id=a/../../b&ext=JPG", "img_a_.._.._b.jpg"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(PhotoGalleryView::assetRowName(c.url), c.name) << c.url;
}

// A pictures folder this user may not read: the library refuses every program, and the Saved
// Files tab shows the page that says so (not the page of a missing or broken library), over a
// list that stays empty and is no longer busy. The suite
// runs as root, who reads everything: a child that is a plain user opens the library. It is forked
// before this process makes a run loop or a thread, so it makes its own.
TEST(PhotoLibraryRefused, TheSavedFilesTabShowsThePageOfALibraryRefusedToAll) {
  testsupport::TempDir dir("ferrowen-refused");
  const std::string home = dir.path() + "/home", pictures = dir.path() + "/Pictures";
  fs::create_directories(home);
  testsupport::makePicturesFolder(pictures);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(pictures.c_str(), 0), 0); // nobody but root reads it
  if (::geteuid() == 0) {
    const auto user = testsupport::unprivilegedUser();
    ASSERT_TRUE(user) << "no unprivileged account to run the child as";
    ASSERT_EQ(::chown(home.c_str(), user->first, user->second), 0);
  }
  enum Outcome { kRefusedPage, kOtherPage, kNoPage, kStillRoot, kNoRow, kStillBusy, kRowsListed };
  testsupport::ForkedChild child([&](testsupport::ForkedChild &) -> int {
    if (!testsupport::dropToUnprivilegedUser()) return kStillRoot;
    RunLoop::makeMainThread();
    Paths::setHome(home);
    Paths::setResources(std::string(FERROWEN_SOURCE_DIR) + "/resources");
    PhotoLibrary::setPicturesFolder(pictures);
    InitGlobals();
    RegisterDefaultSettings();
    struct Pages : LocalFilesServices {
      std::vector<std::string> shown;
      void showErrorForTopSavedFilesTab(const std::string &page) override { shown.push_back(page); }
    };
    auto pages = std::make_shared<Pages>();
    LocalFilesServices::setShared(pages);
    auto window = std::make_shared<Window>(Size{320, 480});
    window->makeKeyAndVisible();
    auto nav = std::make_shared<NavigationController>(LocalFolderViewController::make(""));
    window->setRootViewController(nav);
    Probe probe(window);
    if (!probe.tapRow("Photo Library")) return kNoRow;
    RunLoop::main()->runUntil([&] { return !pages->shown.empty(); },
                              testsupport::scaled(seconds(20)));
    if (pages->shown.empty()) return kNoPage;
    if (pages->shown != std::vector<std::string>{"error-photo-library-global.html"})
      return kOtherPage;
    // The listing ends as any does: the spinner and the working toolbar go.
    auto gallery = [&] {
      return std::dynamic_pointer_cast<PhotoGalleryView>(nav->topViewController());
    };
    RunLoop::main()->runUntil([&] { return gallery() && gallery()->loaded(); },
                              testsupport::scaled(seconds(20)));
    if (!gallery() || !gallery()->loaded() || !probe.find("Refresh") || probe.rightItem())
      return kStillBusy;
    return probe.visibleRows().empty() ? kRefusedPage : kRowsListed;
  });
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), std::optional<int>(kRefusedPage))
      << "1 other page, 2 no page, 3 still root, 4 no Photo Library row, 5 still busy, 6 rows "
         "listed";
  ::chmod(pictures.c_str(), 0755);
  EXPECT_TRUE(
      fs::exists(std::string(FERROWEN_SOURCE_DIR) + "/resources/error-photo-library-global.html"));
}

TEST_F(PhotoGalleryTest, SavedFilesOffersTheLibraryOnlyWhenThereIsOne) {
  auto saved = LocalFolderViewController::make("");
  nav->pushViewController(saved, false);
  const auto before = rows();
  EXPECT_EQ(std::count(before.begin(), before.end(), "Photo Library"), 0);
  testsupport::makePicturesFolder(pictures);
  saved->loadFolderData();
  ASSERT_TRUE(probe->tapRow("Photo Library")) << probe->lastError();
  EXPECT_EQ(probe->navigationTitle(), "Photo Library");
  ASSERT_TRUE(pumpUntil([&] { return top() && top()->loaded(); }));
  EXPECT_EQ(rows(), (std::vector<std::string>{"About-Photo-Library.rtf", "Empty", "Holidays",
                                              "Saved Photos"}));
  // The trailer row is not a file of the library: no upload, mail or menu.
  ASSERT_TRUE(probe->tapRow("About-Photo-Library.rtf"));
  EXPECT_FALSE(probe->find<BarButtonItem>("Upload")->isEnabled());
  EXPECT_FALSE(probe->tapAccessory("About-Photo-Library.rtf"));
  ASSERT_TRUE(probe->tap("View"));
  EXPECT_EQ(handOver->calls, std::vector<std::string>{"view About-Photo-Library.rtf"});
}

TEST_F(PhotoGalleryTest, AlbumListsEachAssetOnceThoughRefreshedWhileListing) {
  ASSERT_NO_FATAL_FAILURE(openAlbum("Holidays"));
  const std::vector<std::string> expected{rowFor("beach.jpg"), rowFor("clip.mov")};
  EXPECT_EQ(rows(), expected);
  EXPECT_EQ(expected[0].rfind("img_", 0), 0u);
  EXPECT_EQ(expected[1].rfind("mov_", 0), 0u);
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(probe->tap("Refresh"));
    top()->clickRefresh(); // again while the first listing runs
    ASSERT_TRUE(pumpUntil([&] { return bool(probe->find("Refresh")); })); // the normal toolbar
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    advance(std::chrono::milliseconds(10));
    EXPECT_EQ(rows(), expected);
  }
  // Search and sort act on the listing.
  ASSERT_TRUE(probe->type("Search Folder", "mov"));
  EXPECT_EQ(rows(), std::vector<std::string>{expected[1]});
}

// An album opens sorted by name, whatever order Saved Files was last sorted in.
TEST_F(PhotoGalleryTest, AnAlbumOpensSortedByName) {
  store().setObject("1", kDefaultSortKey); // Saved Files sorted by size
  ASSERT_NO_FATAL_FAILURE(openAlbum("Holidays"));
  // The video made the smaller, the album opened again.
  ASSERT_TRUE(probe->tapBack());
  testsupport::writeFile(pictures + "/Holidays/clip.mov", "m");
  ASSERT_TRUE(probe->tapRow("Holidays")) << probe->lastError();
  ASSERT_TRUE(pumpUntil([&] { return top() && top()->loaded() && top()->title() == "Holidays"; }));
  auto shown = [&] {
    std::vector<std::string> names;
    for (auto &r : probe->visibleRows())
      names.push_back(r.label);
    return names;
  };
  EXPECT_EQ(shown(), (std::vector<std::string>{rowFor("beach.jpg"), rowFor("clip.mov")}));
  ASSERT_TRUE(probe->tap("Sort")) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Sort by Size")) << probe->lastError();
  EXPECT_EQ(shown(), (std::vector<std::string>{rowFor("clip.mov"), rowFor("beach.jpg")}));
}

TEST_F(PhotoGalleryTest, AnAssetDatedPastTheClocksReachListsAtItsLastDay) {
  fs::create_directories(pictures + "/Far");
  ASSERT_TRUE(testsupport::writeFile(pictures + "/Far/far.mov", std::string(300, 'm')));
  ASSERT_TRUE(testsupport::setModificationTime(pictures + "/Far/far.mov", testsupport::kYear2300));
  ASSERT_NO_FATAL_FAILURE(openAlbum("Far"));
  const std::string name = rowFor("far.mov");
  std::shared_ptr<DirItemInfo> row;
  for (auto &item : top()->folderItems())
    if (item->name() == name) row = item;
  ASSERT_TRUE(row) << name;
  EXPECT_EQ(testsupport::yearOf(row->date), testsupport::kLastClockYear);
}

TEST_F(PhotoGalleryTest, UploadsOneAllOrTheMissingOnes) {
  ASSERT_NO_FATAL_FAILURE(openAlbum("Holidays"));
  const std::string beach = rowFor("beach.jpg"), clip = rowFor("clip.mov");
  auto urlOf = [](const std::string &file) {
    for (auto &a : PhotoLibrary::albums())
      for (auto &asset : PhotoLibrary::assets(a))
        if (fs::path(asset.path).filename() == file)
          return std::to_string(asset.size) + " " + asset.url;
    return std::string();
  };
  ASSERT_TRUE(probe->tapRow(beach));
  queue->connected = false;
  ASSERT_TRUE(probe->tap("Upload"));
  EXPECT_EQ(lastAlert(), "Not Connected");
  EXPECT_TRUE(queue->rows.empty());
  queue->connected = true;
  ASSERT_TRUE(probe->tap("Upload"));
  EXPECT_EQ(queue->rows,
            std::vector<std::string>{"3 " + beach + " /remote " + urlOf("beach.jpg") + " kick"});

  struct Case {
    const char *button;
    std::optional<std::vector<std::string>> remote;
    std::vector<std::string> queued;
    std::string alert;
  } cases[] = {
      {"Upload All Files", std::nullopt, {beach, clip}, ""},
      {"Upload New Files", std::nullopt, {}, "Folder Needed"},
      {"Upload New Files", std::vector<std::string>{beach, "other"}, {clip}, ""},
      {"Upload New Files", std::vector<std::string>{beach, clip}, {}, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.button);
    queue->rows.clear();
    queue->starts = 0;
    queue->remoteNames = c.remote;
    ASSERT_TRUE(probe->tap("Menu"));
    ASSERT_TRUE(probe->answerSheet(c.button)) << probe->lastError();
    EXPECT_EQ(lastAlert(), c.alert);
    std::vector<std::string> names;
    for (auto &row : queue->rows)
      names.push_back(row.substr(2, row.find(' ', 2) - 2));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, c.queued);
    EXPECT_EQ(queue->starts, c.alert.empty() ? 1 : 0);
  }
}

TEST_F(PhotoGalleryTest, TheCheckedFileStaysCheckedWhenTheAlbumChanges) {
  ASSERT_NO_FATAL_FAILURE(openAlbum("Holidays"));
  const std::string clip = rowFor("clip.mov");
  ASSERT_TRUE(probe->tapRow(clip));
  auto table = probe->first<TableView>();
  ASSERT_TRUE(table);
  auto shown = [&] {
    std::vector<std::string> names;
    for (auto &r : probe->visibleRows())
      names.push_back(r.label);
    return names;
  };
  auto index = [&](const std::string &name) {
    auto r = shown();
    return std::find(r.begin(), r.end(), name) - r.begin();
  };
  auto expectChecked = [&](bool checked) {
    EXPECT_TRUE(testsupport::checkedShown(*probe, *table, clip, checked, "Upload"));
  };
  auto refreshUntil = [&](const std::function<bool()> &listed) {
    if (!probe->tap("Refresh")) return false;
    return pumpUntil([&] { return top()->loaded() && probe->find("Refresh") && listed(); });
  };
  expectChecked(true);
  // A new picture sorts before the checked video: the video keeps its mark on its new row.
  const auto before = index(clip);
  fs::copy_file(pictures + "/Holidays/beach.jpg", pictures + "/Holidays/another.jpg");
  ASSERT_TRUE(refreshUntil([&] { return shown().size() == 3; }));
  EXPECT_NE(index(clip), before);
  expectChecked(true);
  // Hidden by the search it is not what Upload would send; shown again, it is.
  EXPECT_TRUE(testsupport::searchHidesChecked(*probe, *table, clip, "img_", "Upload"));
  // Gone from the album: nothing is checked, and the toolbar says so.
  fs::remove(pictures + "/Holidays/clip.mov");
  ASSERT_TRUE(refreshUntil([&] { return shown().size() == 2; }));
  expectChecked(false);
}

// A row's menu button makes its row the selected one, whatever was selected before; a copy made
// from its sheet leaves no row selected.
TEST_F(PhotoGalleryTest, ARowsMenuButtonSelectsItsRowAndACopyFromItDeselectsIt) {
  ASSERT_NO_FATAL_FAILURE(openAlbum("Holidays"));
  const std::string beach = rowFor("beach.jpg"), clip = rowFor("clip.mov");
  auto table = probe->first<TableView>();
  ASSERT_TRUE(table);
  for (const std::string &before : {std::string(), clip, beach}) {
    SCOPED_TRACE("selected before: " + before);
    ASSERT_TRUE(testsupport::uncheckAll(*probe, *table));
    if (!before.empty()) {
      ASSERT_TRUE(probe->tapRow(before)) << probe->lastError();
    }
    EXPECT_TRUE(testsupport::menuButtonChecksRow(
        *probe, *table, [&] { return probe->tapAccessory(beach); }, beach, true, "Upload", true,
        "View"));
  }
  ASSERT_TRUE(probe->tapRow(clip)) << probe->lastError();
  ASSERT_TRUE(probe->tapAccessory(beach)) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Copy File")) << probe->lastError();
  const auto before = std::distance(fs::recursive_directory_iterator(files), {});
  ASSERT_TRUE(probe->tapRow("Saved Files")) << probe->lastError();
  ASSERT_TRUE(probe->tapBack());
  ASSERT_TRUE(pumpUntil(
      [&] { return std::distance(fs::recursive_directory_iterator(files), {}) > before; }));
  advance(std::chrono::milliseconds(50));
  EXPECT_TRUE(testsupport::checkedShown(*probe, *table, "", false, "Upload"));
  EXPECT_FALSE(probe->rightItem());
}

TEST_F(PhotoGalleryTest, ViewPlayMailAndOpenInGetTheAssetsBytes) {
  ASSERT_NO_FATAL_FAILURE(openAlbum("Holidays"));
  const std::string beach = rowFor("beach.jpg"), clip = rowFor("clip.mov");
  const std::string beachBytes = testsupport::readFile(pictures + "/Holidays/beach.jpg");
  ASSERT_TRUE(probe->tapRow(beach));
  ASSERT_TRUE(probe->tap("View"));
  ASSERT_TRUE(pumpUntil([&] { return handOver->calls.size() == 1; }));
  ASSERT_TRUE(probe->tapRow(clip));
  ASSERT_TRUE(probe->tap("View"));
  ASSERT_TRUE(pumpUntil([&] { return handOver->calls.size() == 2; }));
  EXPECT_EQ(handOver->calls,
            (std::vector<std::string>{"view " + beach, "play " + clip + " cleanup"}));
  EXPECT_EQ(handOver->contents[0], beachBytes);
  EXPECT_EQ(handOver->contents[1], std::string(3000, 'm'));

  std::vector<MailMessage> mails;
  MailService::setRecorder([&](const MailMessage &m) {
    mails.push_back(m);
    return true;
  });
  ASSERT_TRUE(probe->tapRow(beach));
  ASSERT_TRUE(probe->tap("Email"));
  ASSERT_TRUE(pumpUntil([&] { return mails.size() == 1; }));
  ASSERT_EQ(mails[0].attachments.size(), 1u);
  EXPECT_EQ(mails[0].attachments[0].fileName, beach);
  EXPECT_EQ(std::string(mails[0].attachments[0].data.begin(), mails[0].attachments[0].data.end()),
            beachBytes);

  std::vector<std::string> opened;
  DocumentInteraction::setRecorder([&](const std::string &p) {
    opened.push_back(testsupport::readFile(p));
    return true;
  });
  ASSERT_TRUE(probe->tapAccessory(beach));
  ASSERT_TRUE(probe->answerSheet("Open In...")) << probe->lastError();
  ASSERT_TRUE(pumpUntil([&] { return opened.size() == 1; }));
  EXPECT_EQ(opened[0], beachBytes);

  // Neither taken by the desktop: the person is told so each time.
  DocumentInteraction::setRecorder([](const std::string &) { return false; });
  MailService::setRecorder([](const MailMessage &) { return false; });
  ASSERT_TRUE(probe->tapAccessory(beach));
  ASSERT_TRUE(probe->answerSheet("Open In...")) << probe->lastError();
  ASSERT_TRUE(pumpUntil([&] { return !probe->pendingAlerts().empty(); }));
  EXPECT_EQ(probe->pendingAlerts()[0].title, "Can't Open File");
  ASSERT_TRUE(probe->answerAlert("OK"));
  ASSERT_TRUE(probe->tap("Email")) << probe->lastError();
  ASSERT_TRUE(pumpUntil([&] { return !probe->pendingAlerts().empty(); }));
  EXPECT_EQ(probe->pendingAlerts()[0].title, "Mail");
  ASSERT_TRUE(probe->answerAlert("OK"));
}

TEST_F(PhotoGalleryTest, EditImageOpensTheEditorOnAPictureOnly) {
  ASSERT_NO_FATAL_FAILURE(openAlbum("Holidays"));
  ASSERT_TRUE(probe->tapAccessory(rowFor("clip.mov")));
  auto sheets = probe->pendingSheets();
  ASSERT_EQ(sheets.size(), 1u);
  EXPECT_EQ(std::count(sheets[0].buttons.begin(), sheets[0].buttons.end(), "Edit Image"), 0);
  ASSERT_TRUE(probe->answerSheet("Cancel"));
  ASSERT_TRUE(probe->tapAccessory(rowFor("beach.jpg")));
  ASSERT_TRUE(probe->answerSheet("Edit Image")) << probe->lastError();
  ASSERT_TRUE(pumpUntil([&] {
    return bool(std::dynamic_pointer_cast<ImageEditorView>(probe->topViewController()));
  }));
  auto editor = std::dynamic_pointer_cast<ImageEditorView>(probe->topViewController());
  EXPECT_EQ(editor->image()->pixelWidth(), 4); // the EXIF-turned picture, upright
  EXPECT_EQ(store().stringForKey("ImgEdit-EditingNow"), "0");
}

TEST_F(PhotoGalleryTest, CopyIntoSavedFilesKeepsWhatIsThere) {
  ASSERT_NO_FATAL_FAILURE(openAlbum("Holidays"));
  const std::string beach = rowFor("beach.jpg");
  const std::string bytes = testsupport::readFile(pictures + "/Holidays/beach.jpg");
  struct Case {
    const char *target;
    std::string expectFile;
  } cases[] = {
      {"<Do Not Copy>", ""},
      {"Saved Files", files + "/" + beach},
      {"sub", files + "/sub/" + beach},
      {"Saved Files", files + "/" + beach.substr(0, beach.size() - 4) + "-2.jpg"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.target);
    const auto before = std::distance(fs::recursive_directory_iterator(files), {});
    ASSERT_TRUE(probe->tapAccessory(beach));
    ASSERT_TRUE(probe->answerSheet("Copy File")) << probe->lastError();
    ASSERT_TRUE(probe->tapRow(c.target)) << probe->lastError();
    ASSERT_TRUE(probe->tapBack());
    if (c.expectFile.empty()) {
      advance(std::chrono::milliseconds(50));
      EXPECT_EQ(std::distance(fs::recursive_directory_iterator(files), {}), before);
      continue;
    }
    ASSERT_TRUE(pumpUntil([&] { return fs::exists(c.expectFile); }));
    EXPECT_EQ(testsupport::readFile(c.expectFile), bytes);
  }
  EXPECT_EQ(testsupport::readFile(files + "/" + beach), bytes); // the first copy is kept
}

TEST_F(PhotoGalleryTest, PictureRowsShowSquareThumbnailsAndACopyFliesToSavedFiles) {
  ASSERT_NO_FATAL_FAILURE(openAlbum("Holidays"));
  // Thumbnails come after the listing, made on a worker.
  ASSERT_TRUE(pumpUntil([&] {
    for (auto &row : top()->folderItems())
      if (row->name().ends_with(".jpg") && row->thumbnail) return true;
    return false;
  }));
  auto table = std::dynamic_pointer_cast<TableView>(top()->view());
  if (!table)
    for (auto &v : top()->view()->subviews())
      if ((table = std::dynamic_pointer_cast<TableView>(v))) break;
  ASSERT_TRUE(table);
  int pictures = 0, videos = 0;
  for (auto &r : probe->visibleRows(table)) {
    auto cell = table->cellForRowAtIndexPath(r.indexPath);
    auto content = std::dynamic_pointer_cast<DirTableCell>(cell->contentView()->viewWithTag(1));
    ASSERT_TRUE(content);
    content->drawRect(Rect(0, 0, 320, 44));
    const auto &entry = *content->dirItem();
    SCOPED_TRACE(entry.name());
    if (entry.name().ends_with(".jpg")) {
      ++pictures;
      ASSERT_TRUE(entry.thumbnail && entry.thumbnail->image);
      EXPECT_EQ(entry.thumbnail->image->pixelWidth(), 88);
      EXPECT_EQ(entry.thumbnail->image->pixelHeight(), 88);
      EXPECT_TRUE(content->lastDrawing().drewThumbnail);
    } else if (entry.name().ends_with(".mov")) {
      ++videos;
      EXPECT_FALSE(entry.thumbnail);
      EXPECT_FALSE(content->lastDrawing().drewThumbnail);
    }
  }
  EXPECT_EQ(pictures, 1);
  EXPECT_EQ(videos, 1);

  // A copy into Saved Files: the Saved Files tab says "+" for three seconds.
  auto item = nav->tabBarItem();
  ASSERT_TRUE(probe->tapAccessory(rowFor("beach.jpg")));
  ASSERT_TRUE(probe->answerSheet("Copy File")) << probe->lastError();
  ASSERT_TRUE(probe->tapRow("Saved Files")) << probe->lastError();
  ASSERT_TRUE(probe->tapBack());
  ASSERT_TRUE(pumpUntil([&] { return item->badgeValue() == std::optional<std::string>("+"); }));
  advance(std::chrono::seconds(4));
  EXPECT_FALSE(item->badgeValue());
}

TEST_F(PhotoGalleryTest, TabletMenusOpenFromTheirRowAndTheEditorAsAFileTab) {
  DeviceProfile::setCurrent(DeviceProfile::iPad());
  testsupport::makePicturesFolder(pictures);
  auto albums = PhotoLibrary::albums();
  auto holidays =
      std::find_if(albums.begin(), albums.end(), [](auto &a) { return a.name == "Holidays"; });
  ASSERT_NE(holidays, albums.end());
  nav->pushViewController(PhotoGalleryView::make(*holidays), false);
  ASSERT_TRUE(pumpUntil([&] { return top() && top()->loaded(); }));
  auto gallery = top();
  EXPECT_EQ(probe->toolbarItems().empty(), false);
  for (auto &v : gallery->view()->subviews()) {
    if (auto bar = std::dynamic_pointer_cast<Toolbar>(v)) {
      EXPECT_EQ(bar->frame().origin.y, 0);
    }
  }

  // The per-file menu opens from its row; "Copy File" pushes the list of folders, and the choice
  // copies once, when the list is left: choices changed on the way copy nothing.
  const std::string beach = rowFor("beach.jpg");
  ASSERT_TRUE(probe->tapAccessory(beach)) << probe->lastError();
  ASSERT_TRUE(gallery->openSheet());
  EXPECT_EQ(gallery->openSheet()->anchor().kind, Anchor::Kind::Rect);
  ASSERT_TRUE(probe->answerSheet("Copy File")) << probe->lastError();
  EXPECT_NE(probe->topViewController(), gallery);
  EXPECT_EQ(probe->navigationTitle(), "Copy " + beach);
  ASSERT_TRUE(probe->tapRow("Saved Files")) << probe->lastError();
  ASSERT_TRUE(probe->tapRow("sub")) << probe->lastError();
  advance(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(files + "/" + beach)) << "copied before the list was left";
  EXPECT_FALSE(fs::exists(files + "/sub/" + beach)) << "copied before the list was left";
  ASSERT_TRUE(probe->tapBack()) << probe->lastError();
  EXPECT_EQ(probe->topViewController(), gallery);
  ASSERT_TRUE(pumpUntil([&] { return fs::exists(files + "/sub/" + beach); }));
  advance(std::chrono::milliseconds(200));
  EXPECT_EQ(std::distance(fs::directory_iterator(files + "/sub"), {}), 1);
  EXPECT_FALSE(fs::exists(files + "/" + beach));

  // The sort menu opens from its button; the editor becomes a file tab.
  ASSERT_TRUE(probe->tap("Sort")) << probe->lastError();
  EXPECT_EQ(gallery->openSheet()->anchor().kind, Anchor::Kind::BarButtonItem);
  ASSERT_TRUE(probe->answerSheet("Cancel"));
  ASSERT_TRUE(probe->tapAccessory(beach)) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Edit Image")) << probe->lastError();
  ASSERT_TRUE(pumpUntil([&] { return !queue->tabs.empty(); }));
  EXPECT_EQ(queue->tabs, std::vector<std::string>{beach});
  EXPECT_EQ(probe->topViewController(), gallery);
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
}

// Both ways an asset is written, for the screen and for the queue, log the file, how much of the
// asset it holds and its size on disk: one line each, whatever the folder's name holds.
TEST_F(PhotoGalleryTest, WritingAnAssetLogsTheFileAndItsSize) {
  testsupport::makePicturesFolder(pictures);
  std::optional<media::PhotoAsset> beach;
  for (auto &a : PhotoLibrary::albums())
    for (auto &asset : PhotoLibrary::assets(a))
      if (fs::path(asset.path).filename() == "beach.jpg") beach = asset;
  ASSERT_TRUE(beach);
  const std::string size = std::to_string(beach->size);
  const std::string kept = globalTempPath;
  struct Case {
    const char *folder, *shown;
    bool forQueue;
  } cases[] = {{"tmp", "tmp", false},
               {"tmp", "tmp", true},
               {"odd\nname\x01", "odd\\x0aname\\x01", false},
               {"odd\nname\x01", "odd\\x0aname\\x01", true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.shown) + (c.forQueue ? " for the queue" : " for the screen"));
    globalTempPath = tmpPath() + "/" + c.folder;
    fs::create_directories(globalTempPath);
    LogCapture log(Log::Sink::System);
    std::string path;
    if (c.forQueue)
      PhotoGalleryView::getSelectedAsset(beach->url, "copy.jpg",
                                         [&](const AssetConvertReply &r) { path = r.path; });
    else
      path = PhotoGalleryView::getAssetPathByAsset(*beach, "copy.jpg", true, {}, nullptr);
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(path.rfind(globalTempPath + "/", 0), 0u);
    const std::string shownPath = tmpPath() + "/" + c.shown + path.substr(globalTempPath.size());
    std::vector<std::string> lines;
    for (auto &line : log.lines())
      if (line.rfind("Asset ", 0) == 0) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"Asset Wrote File: " + shownPath,
                                               "Asset Wrote Size: " + size + "/" + size,
                                               "Asset File Size: " + size}));
  }
  globalTempPath = kept;
}

TEST_F(PhotoGalleryTest, QueueConversionWritesAFileOfItsOwnOrSaysWhy) {
  testsupport::makePicturesFolder(pictures);
  std::string url;
  for (auto &asset : PhotoLibrary::assets(PhotoLibrary::albums()[0]))
    url = asset.url;
  std::vector<AssetConvertReply> replies;
  auto keep = [&](const AssetConvertReply &r) { replies.push_back(r); };
  PhotoGalleryView::getSelectedAsset(url, "same.png", keep);
  PhotoGalleryView::getSelectedAsset(url, "same.png", keep);
  PhotoGalleryView::getSelectedAsset(url, "../escape.png", keep);
  PhotoGalleryView::getSelectedAsset("assets-library://asset/asset.PNG?id=gone&ext=PNG", "gone.png",
                                     keep);
  ASSERT_EQ(replies.size(), 4u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(replies[i].error);
    EXPECT_EQ(replies[i].url, url);
    EXPECT_EQ(testsupport::readFile(replies[i].path), testsupport::readFile(pictures + "/top.png"));
  }
  EXPECT_NE(replies[0].path, replies[1].path); // two uploads of one name never share a file
  EXPECT_TRUE(replies[2].error && replies[2].path.empty());
  EXPECT_TRUE(replies[3].error && replies[3].path.empty());
  EXPECT_FALSE(fs::exists(tmpPath() + "/escape.png"));
}

} // namespace
