// The "Cloud Files" screen driven through the probe over a real cloud folder: availability, the
// listing kept up to date by the watch (also for a file made by another process), the buttons a
// row offers, and every command: view, play, edit, mail (file and link), upload, copy into Saved
// Files, delete (one, all shown), create and import from the photo library.
#include "app/cloud/iCloudFolderView.h"
#include "app/photos/PhotoGalleryView.h"
#include "app/photos/PhotoPickerView.h"

#include "tests/app/foundation/ScreenFixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FolderChecks.h"
#include "tests/support/PhotoFixtures.h"

#include "app/files/LocalFilesServices.h"
#include "app/files/LocalFolderViewController.h"
#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "app/ftp/FTPServices.h"
#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/device/DocumentInteraction.h"
#include "platform/device/MailService.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Log.h"
#include "platform/media/BitmapContext.h"
#include "platform/media/Image.h"
#include "tests/support/TimeScale.h"

#include <atomic>
#include <filesystem>
#include <optional>
#include <set>
#include <thread>

using namespace platform;
using namespace platform::ui;
namespace fs = std::filesystem;

namespace {

struct QueueDouble : LocalFilesServices {
  bool connected = true, sftp = false; // logged in; over SFTP rather than FTP
  std::vector<std::string> rows;       // "action name path local size"
  bool browsingConnected() override { return connected; }
  bool ftpConnected() override { return connected && !sftp; }
  std::string browsingFolder() override { return "/remote"; }
  bool remoteBrowserFolder(std::string *folder) override {
    *folder = "/remote";
    return connected;
  }
  int addBatchItem(int action, const std::string &name, const std::string &path, int64_t size,
                   const std::string &local, bool) override {
    rows.push_back(std::to_string(action) + " " + name + " " + path + " " + local + " " +
                   std::to_string(size));
    return static_cast<int>(rows.size());
  }
};

struct HandOverDouble : FTPAppServices {
  std::vector<std::string> calls;
  void playMediaFile(const std::string &path, bool cleanup) override {
    calls.push_back("play " + path + (cleanup ? " cleanup" : ""));
  }
  void showDocumentViewer(const std::string &name, const std::string &path) override {
    calls.push_back("view " + name + " " + path);
  }
  std::shared_ptr<EditFileViewScreen> openTextEditor(const std::string &path) override {
    calls.push_back("edit " + path);
    return nullptr;
  }
};

struct PhotoDouble : CloudMediaSource {
  bool camera = false, library = true;
  std::optional<PickedMedia> next;
  std::vector<std::string> picks;
  bool hasCamera() override { return camera; }
  bool hasLibrary() override { return library; }
  std::shared_ptr<PopoverController>
  pick(bool fromCamera, int, const std::shared_ptr<BarButtonItem> &,
       std::function<void(std::optional<PickedMedia>)> done) override {
    picks.push_back(fromCamera ? "camera" : "library");
    done(next);
    return nullptr;
  }
};

class CloudFolderTest : public ScreenTest {
protected:
  void SetUp() override {
    ScreenTest::SetUp();
    InitGlobals();
    RegisterDefaultSettings();
    cloud = home_ + "/Cloud";
    LocalFilesServices::setShared(queue);
    FTPAppServices::setShared(handOver);
    CloudMediaSource::setShared(photos);
    MailService::setRecorder([this](const MailMessage &m) {
      mails.push_back(m);
      return true;
    });
    DocumentInteraction::setRecorder([this](const std::string &p) {
      opened.push_back(p);
      return true;
    });
  }
  void TearDown() override {
    settle();
    screen.reset();
    LocalFilesServices::setShared(nullptr);
    FTPAppServices::setShared(nullptr);
    CloudMediaSource::setShared(nullptr);
    MailService::setRecorder(nullptr);
    DocumentInteraction::setRecorder(nullptr);
    CloudContainer::setFolder("");
    ScreenTest::TearDown();
  }
  // Makes the folder with these files and opens the screen on it.
  void open(const std::map<std::string, std::string> &files) {
    fs::create_directories(cloud);
    for (auto &[name, content] : files) {
      fs::create_directories(fs::path(cloud + "/" + name).parent_path());
      testsupport::writeFile(cloud + "/" + name, content);
    }
    ASSERT_TRUE(iCloudFolderView::isiCloudAvailable());
    if (!withAbout) CloudContainer::setKeyValueFlagOnce("StoredAbout"); // the account has it
    screen = iCloudFolderView::make();
    nav->pushViewController(screen, false);
    ASSERT_TRUE(waitForRows([&] { return rows().size() == files.size(); }));
  }
  std::vector<std::string> rows() {
    std::vector<std::string> names;
    for (auto &r : probe->visibleRows())
      names.push_back(r.label);
    return names;
  }
  bool listed(const std::string &name) {
    auto r = rows();
    return std::find(r.begin(), r.end(), name) != r.end();
  }
  // Saved Files' "Move File" of `name` to "Cloud Files", from its row menu, and back on `saved`.
  bool moveToCloud(const std::string &name, const std::shared_ptr<ViewController> &saved) {
    if (!probe->tapAccessory(name) || !probe->answerSheet("Move File") ||
        !probe->tapRow("Cloud Files"))
      return false;
    for (int i = 0; i < 3 && probe->topViewController() != saved; ++i) {
      probe->tap("Done");
      advance(std::chrono::milliseconds(10));
    }
    return true;
  }
  // Runs the main loop (the watch, the work queue's hand-overs) until the condition holds.
  bool waitForRows(const std::function<bool()> &cond) {
    return RunLoop::main()->runUntil(cond, testsupport::scaled(seconds(20)));
  }
  // Lets the work queue finish what it was given.
  void settle() {
    RunLoop::main()->runUntil([] { return false; }, testsupport::scaled(seconds(0.3)));
  }
  void rowCommand(const std::string &row, const std::string &button) {
    ASSERT_TRUE(probe->tapAccessory(row)) << probe->lastError();
    ASSERT_TRUE(probe->answerSheet(button)) << probe->lastError();
  }
  // The search bar's Cancel button.
  bool cancelSearch() {
    auto bar = probe->find("Search Folder");
    return bar && probe->dispatch({{"event", "searchCancel"}, {"id", window->idOf(*bar)}});
  }
  std::string lastAlert(const std::string &answer = "") {
    RunLoop::main()->runPending();
    auto alerts = probe->pendingAlerts();
    if (alerts.empty()) return "";
    probe->answerAlert(answer.empty() ? alerts.back().buttons.back() : answer);
    return alerts.back().title + ": " + alerts.back().message;
  }
  void create(const std::string &name) {
    ASSERT_TRUE(probe->tap("Menu")) << probe->lastError() << probe->lastError();
    ASSERT_TRUE(probe->answerSheet("Create File"));
    ASSERT_TRUE(probe->type("New File Name:", name));
    ASSERT_TRUE(probe->tap("Done"));
    advance(std::chrono::milliseconds(10));
  }
  // Leaves a prompt that refused its name.
  void backToScreen() {
    for (int i = 0; i < 3 && probe->topViewController() != screen; ++i) {
      probe->tap("Cancel");
      advance(std::chrono::milliseconds(10));
    }
  }
  std::string cloud;
  bool withAbout = false;
  std::shared_ptr<iCloudFolderView> screen;
  std::shared_ptr<QueueDouble> queue = std::make_shared<QueueDouble>();
  std::shared_ptr<HandOverDouble> handOver = std::make_shared<HandOverDouble>();
  std::shared_ptr<PhotoDouble> photos = std::make_shared<PhotoDouble>();
  std::vector<MailMessage> mails;
  std::vector<std::string> opened;
};

TEST_F(CloudFolderTest, AvailableWhileTheFolderIsThereAndQueuesMadeOnlyThen) {
  // The setting names a folder kept by a sync program that has not made it yet: no cloud, no
  // queues, and the folder is left for the sync program to make.
  const std::string synced = tmpPath() + "/Synced";
  globalUserDefaults->setObject(synced, iCloudFolderView::kCloudFolderKey);
  EXPECT_FALSE(iCloudFolderView::isiCloudAvailable());
  EXPECT_FALSE(iCloudFolderView::work_queue());
  EXPECT_FALSE(iCloudFolderView::isiCloudAvailable());
  EXPECT_FALSE(fs::exists(synced));
  fs::create_directories(synced);
  EXPECT_TRUE(iCloudFolderView::isiCloudAvailable());
  auto work = iCloudFolderView::work_queue();
  ASSERT_TRUE(work && iCloudFolderView::edit_queue());
  EXPECT_EQ(work->label(), "Ferrowen_cloud_work_queue");
  EXPECT_EQ(iCloudFolderView::edit_queue()->label(), "Ferrowen_cloud_edit_queue");
  EXPECT_EQ(iCloudFolderView::remoteCloudDir(), synced);
  fs::remove_all(synced);
  EXPECT_FALSE(iCloudFolderView::isiCloudAvailable());
  // The application's own container is there from a fresh start, as the platform's is: made
  // when missing.
  globalUserDefaults->setObject("", iCloudFolderView::kCloudFolderKey);
  ASSERT_FALSE(fs::exists(cloud));
  EXPECT_TRUE(iCloudFolderView::isiCloudAvailable());
  EXPECT_TRUE(fs::is_directory(cloud));
  EXPECT_EQ(iCloudFolderView::remoteCloudDir(), cloud);
  EXPECT_EQ(iCloudFolderView::work_queue(), work) << "made once";
  // Something else in its place (a link to a folder elsewhere) is neither taken nor replaced.
  fs::remove_all(cloud);
  fs::create_directories(synced);
  fs::create_directory_symlink(synced, cloud);
  EXPECT_FALSE(iCloudFolderView::isiCloudAvailable());
  EXPECT_TRUE(fs::is_symlink(cloud));
}

TEST_F(CloudFolderTest, ListsEveryDocumentAndFollowsAnotherProcess) {
  open({{"a.txt", "abc"}, {"sub/b.mp4", "movie"}, {"c.zip", "zip"}});
  EXPECT_EQ(probe->navigationTitle(), "Cloud Files");
  EXPECT_EQ(screen->view()->backgroundColor(), Color::lightGrayColor());
  EXPECT_EQ(rows(), (std::vector<std::string>{"a.txt", "b.mp4", "c.zip"}));
  // Another process adds a document: it is listed without a refresh.
  testsupport::ForkedChild other([&](testsupport::ForkedChild &) {
    return CloudContainer::coordinateWriting(
               cloud + "/d.txt", [](const std::string &p) { testsupport::writeFile(p, "dd"); })
               ? 0
               : 1;
  });
  EXPECT_EQ(other.wait(), 0);
  EXPECT_TRUE(waitForRows([&] { return listed("d.txt"); }));
  // And removes one.
  fs::remove(cloud + "/a.txt");
  EXPECT_TRUE(waitForRows([&] { return !listed("a.txt"); }));

  // Filter and sort.
  ASSERT_TRUE(probe->type("Search Folder", ".txt"));
  EXPECT_EQ(rows(), std::vector<std::string>{"d.txt"});
  ASSERT_TRUE(cancelSearch()) << probe->lastError();
  ASSERT_TRUE(probe->type("Search Folder", "nothing")) << probe->lastError();
  EXPECT_TRUE(rows().empty());
  ASSERT_TRUE(cancelSearch()) << probe->lastError();
  EXPECT_EQ(rows().size(), 3u) << "cancelling the search restores every row";
  ASSERT_TRUE(probe->tap("Sort"));
  ASSERT_TRUE(probe->answerSheet("Sort by Name (c,b,a)"));
  EXPECT_EQ(rows(), (std::vector<std::string>{"d.txt", "c.zip", "b.mp4"}));
  ASSERT_TRUE(probe->tap("Sort"));
  ASSERT_TRUE(probe->answerSheet("Sort by Size"));
  EXPECT_EQ(rows(), (std::vector<std::string>{"d.txt", "c.zip", "b.mp4"}));
  EXPECT_EQ(globalUserDefaults->integerForKey("DefaultSort"), 1);
}

TEST_F(CloudFolderTest, TheCheckedFileStaysCheckedWhenTheListChanges) {
  open({{"b.txt", "b"}, {"c.txt", "c"}});
  ASSERT_TRUE(probe->tapRow("c.txt"));
  auto table = probe->first<TableView>();
  ASSERT_TRUE(table);
  auto index = [&](const std::string &name) {
    auto r = rows();
    return std::find(r.begin(), r.end(), name) - r.begin();
  };
  auto expectChecked = [&](bool checked) {
    EXPECT_TRUE(testsupport::checkedShown(*probe, *table, "c.txt", checked, "Upload"));
  };
  expectChecked(true);
  // The container changes under the checked file: its row moves, its mark goes with it.
  struct Change {
    const char *what;
    std::function<void()> make;
    std::string listedAfter;
  } changes[] = {
      {"a new file sorted before it", [&] { testsupport::writeFile(cloud + "/a.txt", "a"); },
       "a.txt"},
      {"a new folder with a file sorted before it",
       [&] {
         fs::create_directories(cloud + "/0folder");
         testsupport::writeFile(cloud + "/0folder/0.txt", "0");
       },
       "0.txt"},
      {"another file renamed after it", [&] { fs::rename(cloud + "/b.txt", cloud + "/d.txt"); },
       "d.txt"},
  };
  for (const Change &c : changes) {
    SCOPED_TRACE(c.what);
    const auto before = index("c.txt");
    c.make();
    ASSERT_TRUE(waitForRows([&] { return listed(c.listedAfter); }));
    EXPECT_NE(index("c.txt"), before);
    expectChecked(true);
  }
  // Hidden by the search it is not what Upload would send; shown again, it is.
  EXPECT_TRUE(testsupport::searchHidesChecked(*probe, *table, "c.txt", "d.t", "Upload"));
  // Gone from the container: nothing is checked, and the toolbar says so.
  fs::remove(cloud + "/c.txt");
  ASSERT_TRUE(waitForRows([&] { return !listed("c.txt"); }));
  expectChecked(false);
}

TEST_F(CloudFolderTest, TheRowDecidesTheButtonAndViewPlayAndEditHandOverItsPath) {
  open({{"a.txt", "abc"},
        {"big.txt", std::string(1048577, 'x')},
        {"pic.png", "png"},
        {"sub/clip.mp4", "movie"},
        {"arch.zip", "zip"}});
  const struct {
    std::string row, button, handedOver;
  } cases[] = {
      {"a.txt", "Edit", "edit " + cloud + "/a.txt"},
      {"big.txt", "View", "view big.txt " + cloud + "/big.txt"}, // over the phone's limit
      {"pic.png", "View", "view pic.png " + cloud + "/pic.png"},
      {"clip.mp4", "Play", "play " + cloud + "/sub/clip.mp4"},
      {"arch.zip", "", ""},
  };
  for (const auto &c : cases) {
    handOver->calls.clear();
    ASSERT_TRUE(probe->tapRow(c.row));
    auto right = probe->rightItem();
    EXPECT_EQ(right ? right->name : "", c.button) << c.row;
    if (!c.button.empty()) {
      ASSERT_TRUE(probe->tap(c.button));
      EXPECT_TRUE(waitForRows([&] { return !handOver->calls.empty(); })) << c.row;
      EXPECT_EQ(handOver->calls, std::vector<std::string>{c.handedOver});
    }
    ASSERT_TRUE(probe->tapRow(c.row)); // unchecked again
    EXPECT_FALSE(probe->rightItem());
  }
}

// What the text editor takes whole follows the device's class: a 2x screen or an iPad 1 MB, a
// faster device from system 3.2 on 512 KB, any other device 256 KB; above it a text file is
// viewed.
TEST_F(CloudFolderTest, TheEditLimitFollowsTheDeviceClass) {
  open({{"small.txt", std::string(200000, 's')},
        {"mid.txt", std::string(300000, 'm')},
        {"large.txt", std::string(600000, 'l')},
        {"huge.txt", std::string(1048577, 'h')}});
  auto device = [](const char *platform, const char *version, bool pad = false) {
    auto d = pad ? DeviceProfile::iPad() : DeviceProfile::iPhone();
    d.platform = platform;
    d.systemVersion = version;
    return d;
  };
  const struct {
    const char *what;
    DeviceProfile profile;
    std::vector<std::string> buttons; // small, mid, large, huge
  } cases[] = {
      {"2x screen", device("iPhone4,1", "5.1.1"), {"Edit", "Edit", "Edit", "View"}},
      {"iPad", device("iPad2,1", "5.1.1", true), {"Edit", "Edit", "Edit", "View"}},
      {"faster device", device("iPhone2,1", "4.3"), {"Edit", "Edit", "View", "View"}},
      {"faster device before 3.2", device("iPhone2,1", "3.1.3"), {"Edit", "View", "View", "View"}},
      {"slow device on a new system",
       device("iPhone1,2", "4.2.1"),
       {"Edit", "View", "View", "View"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    DeviceProfile::setCurrent(c.profile);
    std::vector<std::string> seen;
    for (const char *row : {"small.txt", "mid.txt", "large.txt", "huge.txt"}) {
      ASSERT_TRUE(probe->tapRow(row)) << probe->lastError();
      auto right = probe->rightItem();
      seen.push_back(right ? right->name : "");
      ASSERT_TRUE(probe->tapRow(row)); // unchecked again
    }
    EXPECT_EQ(seen, c.buttons);
  }
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
}

TEST_F(CloudFolderTest, MailAttachesTheFileAndNeverInventsALink) {
  open({{"small.txt", "hello"},
        {"edge.bin", std::string(2097152, 'e')},
        {"large.bin", std::string(2097153, 'l')}});
  for (const char *row : {"small.txt", "edge.bin"}) {
    ASSERT_TRUE(probe->tapRow(row));
    ASSERT_TRUE(probe->tap("Email"));
    auto alerts = probe->pendingAlerts();
    ASSERT_EQ(alerts.size(), 1u) << row;
    EXPECT_EQ(alerts[0].title, "Send File or Link?");
    ASSERT_TRUE(probe->answerAlert("Send Link"));
    EXPECT_EQ(lastAlert().rfind("File Link Error: Unable to create a link", 0), 0u);
    ASSERT_TRUE(probe->tapRow(row));
  }
  ASSERT_TRUE(probe->tapRow("small.txt"));
  ASSERT_TRUE(probe->tap("Email"));
  ASSERT_TRUE(probe->answerAlert("Send File"));
  ASSERT_TRUE(waitForRows([&] { return !mails.empty(); }));
  ASSERT_EQ(mails[0].attachments.size(), 1u);
  EXPECT_EQ(mails[0].attachments[0].fileName, "small.txt");
  EXPECT_EQ(std::string(mails[0].attachments[0].data.begin(), mails[0].attachments[0].data.end()),
            "hello");
  ASSERT_TRUE(probe->tapRow("small.txt"));
  // Over the attachment limit the link is the only choice, and there is none to make.
  ASSERT_TRUE(probe->tapRow("large.bin"));
  ASSERT_TRUE(probe->tap("Email"));
  const std::string said = lastAlert();
  EXPECT_EQ(said.rfind("File Link Error: ", 0), 0u);
  EXPECT_EQ(said.find("http"), std::string::npos);
  EXPECT_EQ(mails.size(), 1u);
  // A mail program that does not take the message: the person is told so.
  MailService::setRecorder([](const MailMessage &) { return false; });
  ASSERT_TRUE(probe->tapRow("small.txt"));
  ASSERT_TRUE(probe->tap("Email"));
  ASSERT_TRUE(probe->answerAlert("Send File"));
  ASSERT_TRUE(waitForRows([&] { return !probe->pendingAlerts().empty(); }));
  EXPECT_EQ(lastAlert().rfind("Mail: The mail program could not be started", 0), 0u);
}

TEST_F(CloudFolderTest, UploadQueuesTheCoordinatedFileOrSaysNotConnected) {
  open({{"a.txt", "abc"}, {"b.txt", "bb"}, {"c.bin", "c"}});
  // No connection, or only an SFTP one: the file and the whole list wait for FTP.
  ASSERT_TRUE(probe->tapRow("a.txt"));
  for (const bool sftp : {false, true}) {
    queue->connected = sftp;
    queue->sftp = sftp;
    ASSERT_TRUE(probe->tap("Upload"));
    EXPECT_EQ(lastAlert().rfind("Not Connected: ", 0), 0u) << sftp;
    ASSERT_TRUE(probe->tap("Menu")) << probe->lastError();
    ASSERT_TRUE(probe->answerSheet("Upload All Files"));
    EXPECT_EQ(lastAlert().rfind("Not Connected: ", 0), 0u) << sftp;
    EXPECT_TRUE(queue->rows.empty());
  }
  queue->connected = true;
  queue->sftp = false;
  ASSERT_TRUE(probe->tap("Upload"));
  ASSERT_TRUE(waitForRows([&] { return queue->rows.size() == 1; }));
  EXPECT_EQ(queue->rows[0], "3 a.txt /remote " + cloud + "/a.txt 3");
  // Upload All Files: the shown rows only.
  ASSERT_TRUE(probe->type("Search Folder", ".txt"));
  ASSERT_TRUE(probe->tap("Menu")) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Upload All Files"));
  ASSERT_TRUE(waitForRows([&] { return queue->rows.size() == 3; }));
  std::sort(queue->rows.begin() + 1, queue->rows.end());
  EXPECT_EQ(queue->rows[2], "3 b.txt /remote " + cloud + "/b.txt 2");
}

TEST_F(CloudFolderTest, CopyIntoSavedFilesOpenInAndDelete) {
  open({{"a.txt", "cloud a"}, {"b.txt", "b"}, {"sub/c.txt", "c"}, {"d.bin", "d"}});
  const std::string files = documents() + "/Files";
  fs::create_directories(files);
  testsupport::writeFile(files + "/b.txt", "saved b");
  rowCommand("a.txt", "Copy From Cloud Files");
  rowCommand("b.txt", "Copy From Cloud Files");
  ASSERT_TRUE(waitForRows([&] { return !probe->pendingAlerts().empty(); }));
  EXPECT_EQ(lastAlert(), "Cloud Files: \"b.txt\" was not copied: Saved Files already has a file "
                         "of that name, which was kept.");
  EXPECT_EQ(testsupport::readFile(files + "/a.txt"), "cloud a");
  EXPECT_EQ(testsupport::readFile(files + "/b.txt"), "saved b") << "an existing file is kept";
  EXPECT_TRUE(fs::exists(cloud + "/a.txt")) << "the cloud file stays";

  rowCommand("b.txt", "Open In...");
  ASSERT_TRUE(waitForRows([&] { return !opened.empty(); }));
  EXPECT_EQ(opened[0], cloud + "/b.txt");
  // No program opens it: the person is told so.
  DocumentInteraction::setRecorder([](const std::string &) { return false; });
  rowCommand("b.txt", "Open In...");
  ASSERT_TRUE(waitForRows([&] { return !probe->pendingAlerts().empty(); }));
  EXPECT_EQ(lastAlert(),
            "Can't Open File: There are no Apps installed for viewing this type of file.");

  // One file, after its confirmation; the list follows through the watch.
  rowCommand("a.txt", "Delete File");
  EXPECT_EQ(lastAlert("Delete"),
            "Confirm File Delete: \"a.txt\" will be deleted from your Cloud Files and ALL "
            "devices.  Continue?");
  EXPECT_TRUE(waitForRows([&] { return !listed("a.txt"); }));
  EXPECT_FALSE(fs::exists(cloud + "/a.txt"));

  // Delete All Files with a filter deletes the rows shown, and counts only them.
  ASSERT_TRUE(probe->type("Search Folder", ".txt"));
  ASSERT_TRUE(probe->tap("Menu")) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Delete All Files"));
  EXPECT_EQ(lastAlert("Delete All"), "Confirm Deleting All Files: All 2 files in your Cloud "
                                     "Files will be deleted from ALL devices.  Continue?");
  EXPECT_TRUE(waitForRows([&] { return rows().empty(); }));
  EXPECT_FALSE(fs::exists(cloud + "/sub/c.txt"));
  EXPECT_TRUE(fs::exists(cloud + "/sub")) << "folders are never deleted";
  EXPECT_TRUE(fs::exists(cloud + "/d.bin"));
  EXPECT_EQ(testsupport::readFile(files + "/a.txt"), "cloud a");
}

// "Delete All Files" deletes the files its question counted (the files the search shows then): a
// document that arrives while the question is open stays, though the search shows it by then, and
// so does one the search hides.
TEST_F(CloudFolderTest, DeleteAllFilesDeletesTheFilesItsQuestionCounted) {
  open({{"a.txt", "a"}, {"b.txt", "b"}, {"hidden.rtf", "hidden"}});
  ASSERT_TRUE(probe->type("Search Folder", ".txt"));
  ASSERT_TRUE(probe->tap("Menu")) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Delete All Files"));
  RunLoop::main()->runPending();
  ASSERT_EQ(probe->pendingAlerts().size(), 1u);
  EXPECT_EQ(probe->pendingAlerts()[0].message,
            "All 2 files in your Cloud Files will be deleted from ALL devices.  Continue?");
  testsupport::writeFile(cloud + "/late.txt", "late");
  ASSERT_TRUE(waitForRows([&] { return listed("late.txt"); }));
  ASSERT_TRUE(probe->answerAlert("Delete All"));
  EXPECT_TRUE(waitForRows([&] { return !listed("a.txt") && !listed("b.txt"); }));
  settle();
  EXPECT_EQ(rows(), std::vector<std::string>{"late.txt"});
  EXPECT_EQ(testsupport::readFile(cloud + "/late.txt"), "late");
  EXPECT_EQ(testsupport::readFile(cloud + "/hidden.rtf"), "hidden");
}

// A row's menu button makes its row the checked one, whatever was checked before, and its sheet
// acts on that row and on no other, also when the listing changes while the sheet is open.
TEST_F(CloudFolderTest, ARowsMenuButtonChecksItsRowAndItsSheetActsOnIt) {
  open({{"a.txt", "cloud a"}, {"b.txt", "cloud b"}, {"c.txt", "cloud c"}});
  const std::string files = documents() + "/Files";
  auto table = probe->first<TableView>();
  ASSERT_TRUE(table);
  for (const char *before : {static_cast<const char *>(nullptr), "b.txt", "a.txt"}) {
    SCOPED_TRACE(std::string("checked before: ") + (before ? before : "none"));
    ASSERT_TRUE(testsupport::uncheckAll(*probe, *table));
    if (before) {
      ASSERT_TRUE(probe->tapRow(before)) << probe->lastError();
    }
    EXPECT_TRUE(testsupport::menuButtonChecksRow(
        *probe, *table, [&] { return probe->tapAccessory("a.txt"); }, "a.txt", true, "Upload", true,
        "Edit"));
  }
  const struct {
    const char *row, *answer, *confirm;
    bool arrivesMeanwhile; // a new file sorted first comes while the sheet is open
  } cases[] = {
      {"a.txt", "Copy From Cloud Files", "", false},
      {"a.txt", "Delete File", "Cancel", false},
      {"c.txt", "Delete File", "Delete", true},
  };
  std::set<std::string> copied, deleted;
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.row) + " answered " + c.answer + " " + c.confirm);
    ASSERT_TRUE(testsupport::uncheckAll(*probe, *table));
    ASSERT_TRUE(probe->tapRow("b.txt")) << probe->lastError();
    ASSERT_TRUE(probe->tapAccessory(c.row)) << probe->lastError();
    EXPECT_TRUE(testsupport::checkedShown(*probe, *table, c.row, true, "Upload"));
    if (c.arrivesMeanwhile) {
      testsupport::writeFile(cloud + "/0.txt", "new");
      ASSERT_TRUE(waitForRows([&] { return listed("0.txt"); }));
    }
    ASSERT_TRUE(probe->answerSheet(c.answer)) << probe->lastError();
    if (*c.confirm) {
      EXPECT_EQ(lastAlert(c.confirm), "Confirm File Delete: \"" + std::string(c.row) +
                                          "\" will be deleted from your Cloud Files and ALL "
                                          "devices.  Continue?");
    }
    settle();
    // What the answer did, it did to the row whose button was pressed, and to no other.
    if (std::string(c.answer) == "Copy From Cloud Files") {
      copied.insert(c.row);
      ASSERT_TRUE(waitForRows([&] { return fs::exists(files + "/" + c.row); }));
    }
    if (std::string(c.confirm) == "Delete") {
      deleted.insert(c.row);
      ASSERT_TRUE(waitForRows([&] { return !listed(c.row); }));
    } else {
      EXPECT_TRUE(testsupport::checkedShown(*probe, *table, c.row, true, "Upload"));
    }
    for (const std::string name : {"a.txt", "b.txt", "c.txt"}) {
      EXPECT_EQ(fs::exists(cloud + "/" + name), !deleted.count(name)) << name;
      EXPECT_EQ(fs::exists(files + "/" + name), copied.count(name) == 1) << name;
    }
  }
  EXPECT_EQ(testsupport::readFile(files + "/a.txt"), "cloud a");
  EXPECT_TRUE(fs::exists(cloud + "/0.txt"));
}

// A copy into Saved Files that is not made is said, and nothing flies to the Saved Files tab:
// a file (or folder) of that name there is the person's own and stays as it was.
TEST_F(CloudFolderTest, ACopyIntoSavedFilesNotMadeIsSaidAndNothingFlies) {
  open({{"a.txt", "cloud a"}});
  const std::string files = documents() + "/Files";
  const std::string kept = "Cloud Files: \"a.txt\" was not copied: Saved Files already has a "
                           "file of that name, which was kept.";
  enum class There { File, Folder, Nothing };
  struct Case {
    const char *what;
    There there;   // what Saved Files has under the name before the copy (and keeps)
    bool fullDisk; // the copy meets a full disk
    std::string said;
  } cases[] = {
      {"a file of that name", There::File, false, kept},
      {"a folder of that name", There::Folder, false, kept},
      {"a full disk", There::Nothing, true,
       "Cloud Files: \"a.txt\" could not be copied to Saved Files."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(files);
    fs::create_directories(files);
    if (c.there == There::File) testsupport::writeFile(files + "/a.txt", "mine");
    if (c.there == There::Folder) fs::create_directories(files + "/a.txt");
    const size_t subviews = screen->view()->subviews().size();
    {
      std::optional<testsupport::FileSizeLimit> full;
      if (c.fullDisk) full.emplace(2);
      rowCommand("a.txt", "Copy From Cloud Files");
      ASSERT_TRUE(waitForRows([&] { return !probe->pendingAlerts().empty(); }));
    }
    EXPECT_EQ(lastAlert(), c.said);
    switch (c.there) {
    case There::File:
      EXPECT_EQ(testsupport::readFile(files + "/a.txt"), "mine");
      break;
    case There::Folder:
      EXPECT_TRUE(fs::is_directory(files + "/a.txt"));
      break;
    case There::Nothing:
      EXPECT_FALSE(fs::exists(files + "/a.txt")) << "no part of a copy is left";
      break;
    }
    EXPECT_EQ(screen->view()->subviews().size(), subviews) << "an icon flew for no copy";
    EXPECT_FALSE(nav->tabBarItem()->badgeValue()) << "the tab says a file arrived";
    EXPECT_EQ(testsupport::readFile(cloud + "/a.txt"), "cloud a");
  }
  // A copy that is made flies and badges, as ever.
  fs::remove_all(files);
  rowCommand("a.txt", "Copy From Cloud Files");
  ASSERT_TRUE(waitForRows([&] { return nav->tabBarItem()->badgeValue() == "+"; }));
  EXPECT_EQ(testsupport::readFile(files + "/a.txt"), "cloud a");
}

TEST_F(CloudFolderTest, CreateRefusesUnsafeNamesAndMakesEmptyFilesAndZips) {
  open({{"here.txt", "h"}});
  for (const std::string &bad :
       std::vector<std::string>{"a/b", "..", ".", std::string("a\0b", 3)}) {
    create(bad);
    EXPECT_EQ(lastAlert().rfind("File Name Error: ", 0), 0u) << bad;
    backToScreen();
  }
  create("here.txt");
  EXPECT_EQ(lastAlert(), "File Name Error: A file with that name already exists in the folder.");
  backToScreen();
  EXPECT_EQ(testsupport::readFile(cloud + "/here.txt"), "h");
  create("new.txt");
  create("box.ZIP");
  EXPECT_TRUE(waitForRows([&] { return listed("new.txt") && listed("box.ZIP"); }));
  EXPECT_EQ(fs::file_size(cloud + "/new.txt"), 0u);
  const std::string zip = testsupport::readFile(cloud + "/box.ZIP");
  EXPECT_EQ(zip.size(), 22u);
  EXPECT_EQ(zip.substr(0, 4), std::string("PK\x05\x06", 4));
  EXPECT_EQ(rows().size(), 3u) << "nothing else appeared: " << fs::exists(cloud + "/a");
}

// A name the search filter hides is still in use: Create File over it would empty the file, and
// a video named after it would replace it (".mov" is added after the prompt's own check).
TEST_F(CloudFolderTest, ANameHiddenBySearchIsStillInUse) {
  open({{"hidden.txt", "keep me"}, {"clip.mov", "keep me"}, {"shown.rtf", "s"}});
  const std::string video = tmpPath() + "/picked.mov";
  testsupport::writeFile(video, "moov");
  const struct {
    const char *kept;
    std::function<void()> name;
  } cases[] = {
      {"hidden.txt", [&] { create("hidden.txt"); }},
      {"clip.mov",
       [&] {
         photos->next = PickedMedia{true, video, nullptr, ""};
         ASSERT_TRUE(probe->tap("Menu")) << probe->lastError();
         ASSERT_TRUE(probe->answerSheet("Import Picture/Video"));
         advance(std::chrono::milliseconds(20));
         ASSERT_TRUE(probe->type("Video File Name:", "clip"));
         ASSERT_TRUE(probe->tap("Done"));
         advance(std::chrono::milliseconds(10));
       }},
  };
  ASSERT_TRUE(probe->type("Search Folder", ".rtf"));
  ASSERT_EQ(rows(), (std::vector<std::string>{"shown.rtf"}));
  for (const auto &c : cases) {
    SCOPED_TRACE(c.kept);
    c.name();
    EXPECT_EQ(lastAlert(), "File Name Error: A file with that name already exists in the folder.");
    backToScreen();
    settle();
    EXPECT_EQ(testsupport::readFile(cloud + "/" + c.kept), "keep me");
  }
}

TEST_F(CloudFolderTest, ImportsPicturesAndVideosFromThePhotoLibrary) {
  open({{"keep.txt", "k"}});
  // A video: ".mov" is added when missing.
  const std::string video = tmpPath() + "/picked.mov";
  testsupport::writeFile(video, "moov");
  photos->next = PickedMedia{true, video, nullptr, "picked.mov"};
  ASSERT_TRUE(probe->tap("Menu")) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Import Picture/Video"));
  EXPECT_EQ(photos->picks, std::vector<std::string>{"library"});
  advance(std::chrono::milliseconds(20));
  ASSERT_TRUE(probe->clear("Video File Name:"));
  ASSERT_TRUE(probe->type("Video File Name:", "holiday"));
  ASSERT_TRUE(probe->tap("Done"));
  EXPECT_TRUE(waitForRows([&] { return listed("holiday.mov"); }));
  EXPECT_EQ(testsupport::readFile(cloud + "/holiday.mov"), "moov");
  EXPECT_TRUE(fs::exists(video)) << "the picker's file is the library's";

  // A picture named .jpeg and saved as PNG gets ".png" after it.
  auto drawing = media::BitmapContext::create(4, 3);
  photos->next = PickedMedia{false, "", drawing->makeImage(), ""};
  photos->camera = true;
  ASSERT_TRUE(probe->tap("Menu")) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Import Picture/Video"));
  ASSERT_TRUE(probe->answerSheet("Select from Library"));
  advance(std::chrono::milliseconds(20));
  ASSERT_TRUE(probe->type("File Name:", "shot.jpeg"));
  ASSERT_TRUE(probe->selectSegment("File Type", 1));
  ASSERT_TRUE(probe->tap("Done"));
  EXPECT_TRUE(waitForRows([&] { return listed("shot.jpeg.png"); }));
  auto image = media::Image::imageWithContentsOfFile(cloud + "/shot.jpeg.png");
  ASSERT_TRUE(image);

  // Without a camera or a library.
  CloudMediaSource::setShared(nullptr);
  ASSERT_TRUE(probe->tap("Menu")) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Import Picture/Video"));
  EXPECT_EQ(lastAlert(), "Photo Error: No camera or photo library was found!");
}

// A picked picture is stored upright; only one that had to be turned is scaled on the way, so a
// large upright picture keeps every pixel.
TEST_F(CloudFolderTest, APickedPictureIsStoredUprightAndUprightOnesWhole) {
  open({{"keep.txt", "k"}});
  int n = 0;
  for (const auto &c : testsupport::pickedPictureCases()) {
    SCOPED_TRACE(c.what);
    photos->next = PickedMedia{false, "", c.picked, ""};
    const std::string name = "picked" + std::to_string(++n) + ".png";
    ASSERT_TRUE(probe->tap("Menu")) << probe->lastError();
    ASSERT_TRUE(probe->answerSheet("Import Picture/Video"));
    advance(std::chrono::milliseconds(20));
    ASSERT_TRUE(probe->type("File Name:", name));
    ASSERT_TRUE(probe->selectSegment("File Type", 1));
    ASSERT_TRUE(probe->tap("Done"));
    ASSERT_TRUE(waitForRows([&] { return listed(name); }));
    auto image = media::Image::imageWithContentsOfFile(cloud + "/" + name);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixelWidth(), c.storedWidth);
    EXPECT_EQ(image->pixelHeight(), c.storedHeight);
    EXPECT_FALSE(Application::shared().isNetworkActivityIndicatorVisible());
  }
}

TEST_F(CloudFolderTest, ImportsFromThePicturesFolderThroughTheInstalledLibrary) {
  const std::string pictures = tmpPath() + "/Pictures";
  testsupport::makePicturesFolder(pictures);
  media::PhotoLibrary::setPicturesFolder(pictures);
  installPhotoLibraryMediaSource();
  open({{"keep.txt", "k"}});
  ASSERT_TRUE(probe->tap("Menu")) << probe->lastError();
  ASSERT_TRUE(probe->answerSheet("Import Picture/Video"));
  RunLoop::main()->runPending();
  ASSERT_TRUE(probe->tapRow("Holidays")) << probe->lastError();
  ASSERT_TRUE(probe->tapRow("beach.jpg")) << probe->lastError();
  advance(std::chrono::milliseconds(20));
  // The picture comes in upright (it was stored turned, EXIF 6) under the name typed.
  ASSERT_TRUE(probe->clear("File Name:")) << probe->lastError();
  ASSERT_TRUE(probe->type("File Name:", "beach.png"));
  ASSERT_TRUE(probe->selectSegment("File Type", 1));
  ASSERT_TRUE(probe->tap("Done"));
  EXPECT_TRUE(waitForRows([&] { return listed("beach.png"); }));
  auto image = media::Image::imageWithContentsOfFile(cloud + "/beach.png");
  ASSERT_TRUE(image);
  EXPECT_EQ(image->pixelWidth(), 4);
  EXPECT_EQ(image->pixelHeight(), 6);
  media::PhotoLibrary::setPicturesFolder(std::nullopt);
}

TEST_F(CloudFolderTest, CopyToCloudWritesOverAnExistingItemOrMovesTheFileIn) {
  open({{"same.txt", "old"}});
  const std::string local = tmpPath() + "/same.txt";
  testsupport::writeFile(local, "new");
  EXPECT_TRUE(iCloudFolderView::copyToCloud(local));
  EXPECT_TRUE(waitForRows([&] { return testsupport::readFile(cloud + "/same.txt") == "new"; }));
  EXPECT_FALSE(fs::exists(local)) << "an existing item is written over; the copy handed over goes";

  const std::string other = tmpPath() + "/other.txt";
  testsupport::writeFile(other, "moved");
  EXPECT_TRUE(iCloudFolderView::copyToCloud(other));
  EXPECT_TRUE(waitForRows([&] { return listed("other.txt"); }));
  EXPECT_EQ(testsupport::readFile(cloud + "/other.txt"), "moved");
  EXPECT_FALSE(fs::exists(other));

  // A folder of that name cannot be written over.
  fs::create_directories(cloud + "/dir.txt");
  const std::string dir = tmpPath() + "/dir.txt";
  testsupport::writeFile(dir, "x");
  LogCapture log(Log::Sink::System);
  EXPECT_FALSE(iCloudFolderView::copyToCloud(dir));
  EXPECT_TRUE(log.contains("iCloudCopyError: "));
  EXPECT_FALSE(fs::exists(dir)) << "a copy not made leaves no file behind either";
}

// A cloud command reads its item under the lock and waits for the main thread meanwhile; a copy
// over that item asked for on the main thread then must not wait for the lock there.
TEST_F(CloudFolderTest, CopyOverAnItemBeingReadNeverHoldsTheMainThread) {
  open({{"same.txt", "old"}});
  std::atomic<bool> holding{false};
  std::string seen;
  std::thread reader([&] {
    CloudContainer::coordinateReading(cloud + "/same.txt", [&](const std::string &path) {
      holding = true;
      RunLoop::main()->performAndWait([&] { seen = testsupport::readFile(path); });
    });
  });
  while (!holding)
    std::this_thread::yield();
  const std::string local = tmpPath() + "/same.txt";
  testsupport::writeFile(local, "new");
  {
    testsupport::Watchdog dog("copyToCloud held the main thread while a reader waited for it",
                              std::chrono::seconds(20));
    EXPECT_TRUE(iCloudFolderView::copyToCloud(local));
  }
  EXPECT_TRUE(waitForRows([&] { return testsupport::readFile(cloud + "/same.txt") == "new"; }));
  reader.join();
  EXPECT_EQ(seen, "old") << "the write came after the read";
}

// Holds a coordinated read of a cloud item on a thread of its own until let go: a write of the
// item waits for it meanwhile.
class HeldRead {
public:
  explicit HeldRead(const std::string &path)
      : thread_([this, path] {
          CloudContainer::coordinateReading(path, [this](const std::string &) {
            holding_ = true;
            while (!release_)
              std::this_thread::sleep_for(std::chrono::milliseconds(1));
          });
          holding_ = true; // also when the item could not be read
        }) {
    while (!holding_)
      std::this_thread::yield();
  }
  ~HeldRead() { letGo(); }
  void letGo() {
    release_ = true;
    if (thread_.joinable()) thread_.join();
  }

private:
  std::atomic<bool> holding_{false}, release_{false};
  std::thread thread_;
};

// A copy over an item is written when the item's lock is free: it is reported done only then,
// and only when the bytes are there.
TEST_F(CloudFolderTest, ACopyIsReportedOnlyOnceItIsWritten) {
  open({{"same.txt", "old"}});
  const std::string local = tmpPath() + "/same.txt";
  testsupport::writeFile(local, "new");
  std::optional<bool> told;
  HeldRead reader(cloud + "/same.txt");
  EXPECT_TRUE(iCloudFolderView::copyToCloud(
      local, [&](bool copied, const std::string &) { told = copied; }));
  settle();
  EXPECT_FALSE(told.has_value()) << "reported while the write still waited for the item";
  EXPECT_EQ(testsupport::readFile(cloud + "/same.txt"), "old");
  reader.letGo();
  ASSERT_TRUE(waitForRows([&] { return told.has_value(); }));
  EXPECT_TRUE(*told);
  EXPECT_EQ(testsupport::readFile(cloud + "/same.txt"), "new");
}

// Saved Files' "Move File" to "Cloud Files" over an item of that name: a copy that cannot be made
// is said, when the work queue knows it; the item keeps its bytes.
TEST_F(CloudFolderTest, ACopyFromSavedFilesThatFailsIsSaid) {
  const std::string files = documents() + "/Files";
  fs::create_directories(files);
  testsupport::writeFile(files + "/a.txt", "saved a");
  fs::create_directories(cloud);
  auto saved = LocalFolderViewController::make("");
  nav->pushViewController(saved, false);
  struct Case {
    const char *what;
    bool folderThere; // else a file there whose write meets a full disk
  } cases[] = {{"a folder has the name", true}, {"a full disk", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(cloud + "/a.txt");
    if (c.folderThere)
      fs::create_directories(cloud + "/a.txt");
    else
      testsupport::writeFile(cloud + "/a.txt", "cloud a");
    std::optional<HeldRead> reader;
    if (!c.folderThere) reader.emplace(cloud + "/a.txt");
    ASSERT_TRUE(moveToCloud("a.txt", saved)) << probe->lastError();
    if (reader) {
      // The copy waits for the item; the disk fills meanwhile.
      testsupport::FileSizeLimit full(4);
      reader->letGo();
      ASSERT_TRUE(waitForRows([&] { return !probe->pendingAlerts().empty(); }));
    }
    EXPECT_EQ(lastAlert(), "Cloud Files: \"a.txt\" could not be copied to Cloud Files.");
    if (!c.folderThere) {
      EXPECT_EQ(testsupport::readFile(cloud + "/a.txt"), "cloud a");
    }
    EXPECT_EQ(testsupport::readFile(files + "/a.txt"), "saved a");
    EXPECT_EQ(testsupport::listFolder(Paths::tmp()), "") << "the copy made for the cloud stays";
  }
}

// Saved Files' "Move File" to "Cloud Files" that succeeds, over an item of that name or as a new
// one: the cloud has the bytes, the item stays, and the copy made for the cloud is gone.
TEST_F(CloudFolderTest, ACopyFromSavedFilesLeavesNoTemporaryCopy) {
  const std::string files = documents() + "/Files";
  fs::create_directories(files);
  testsupport::writeFile(files + "/a.txt", "saved a");
  fs::create_directories(cloud);
  auto saved = LocalFolderViewController::make("");
  nav->pushViewController(saved, false);
  for (const bool itemThere : {true, false}) {
    SCOPED_TRACE(itemThere ? "over an item" : "a new item");
    fs::remove_all(cloud + "/a.txt");
    if (itemThere) testsupport::writeFile(cloud + "/a.txt", "cloud a");
    ASSERT_TRUE(moveToCloud("a.txt", saved)) << probe->lastError();
    ASSERT_TRUE(waitForRows([&] {
      return fs::is_regular_file(cloud + "/a.txt") &&
             testsupport::readFile(cloud + "/a.txt") == "saved a";
    }));
    settle();
    EXPECT_TRUE(probe->pendingAlerts().empty());
    EXPECT_EQ(testsupport::readFile(files + "/a.txt"), "saved a");
    EXPECT_EQ(testsupport::listFolder(Paths::tmp()), "") << "the copy made for the cloud stays";
  }
}

TEST_F(CloudFolderTest, SavedFilesOffersTheCloudWhileTheFolderIsThere) {
  const std::string files = documents() + "/Files";
  fs::create_directories(files);
  testsupport::writeFile(files + "/a.txt", "saved a");
  auto saved = LocalFolderViewController::make("");
  nav->pushViewController(saved, false);
  // A fresh start: the application's own container is made and offered at once.
  ASSERT_TRUE(listed("Cloud Files"));
  EXPECT_TRUE(fs::is_directory(cloud));
  ASSERT_TRUE(probe->tapRow("Cloud Files"));
  advance(std::chrono::milliseconds(10));
  EXPECT_EQ(probe->navigationTitle(), "Cloud Files");
  ASSERT_TRUE(probe->tapBack());
  advance(std::chrono::milliseconds(10));

  // A file moved to "Cloud Files" is copied there and stays in Saved Files.
  ASSERT_TRUE(moveToCloud("a.txt", saved)) << probe->lastError();
  EXPECT_TRUE(waitForRows([&] { return fs::exists(cloud + "/a.txt"); }));
  EXPECT_EQ(testsupport::readFile(cloud + "/a.txt"), "saved a");
  EXPECT_EQ(testsupport::readFile(files + "/a.txt"), "saved a");

  // A folder kept by a sync program instead (the setting): offered only while it is there.
  const std::string synced = tmpPath() + "/Synced";
  globalUserDefaults->setObject(synced, iCloudFolderView::kCloudFolderKey);
  ASSERT_TRUE(probe->tap("Refresh"));
  EXPECT_FALSE(listed("Cloud Files")) << "no folder, no row";
  fs::create_directories(synced);
  ASSERT_TRUE(probe->tap("Refresh"));
  EXPECT_TRUE(listed("Cloud Files"));
  fs::remove_all(synced);
  ASSERT_TRUE(probe->tap("Refresh"));
  EXPECT_FALSE(listed("Cloud Files"));
}

TEST_F(CloudFolderTest, TheAboutDocumentIsAddedOncePerAccount) {
  withAbout = true;
  open({{"a.txt", "a"}, {"About-Cloud-Files.rtf", "placeholder"}});
  // The first screen of the account adds it (here over the placeholder: same name).
  EXPECT_TRUE(waitForRows([&] {
    return testsupport::readFile(cloud + "/About-Cloud-Files.rtf").rfind("{\\rtf1", 0) == 0;
  }));
  EXPECT_TRUE(CloudContainer::keyValueFlag("StoredAbout"));
  EXPECT_FALSE(listed(".ferrowen-keys")) << "the key store is no document";
  // Another device of the account (another screen over the synced folder) does not add it again.
  fs::remove(cloud + "/About-Cloud-Files.rtf");
  auto second = iCloudFolderView::make();
  nav->pushViewController(second, false);
  settle();
  EXPECT_FALSE(fs::exists(cloud + "/About-Cloud-Files.rtf"));
  EXPECT_EQ(rows(), std::vector<std::string>{"a.txt"});
}

} // namespace

// Temporary files come at once from pictures converted on the photo library's queue and from
// videos imported into the cloud on the main thread: the list keeps every one of them.
TEST_F(CloudFolderTest, TemporaryFilesOfAConversionAndOfImportsAtOnceAreAllListed) {
  const std::string pictures = tmpPath() + "/Pictures";
  testsupport::makePicturesFolder(pictures);
  media::PhotoLibrary::setPicturesFolder(pictures);
  std::optional<media::PhotoAsset> beach;
  for (auto &a : media::PhotoLibrary::albums())
    for (auto &asset : media::PhotoLibrary::assets(a))
      if (fs::path(asset.path).filename() == "beach.jpg") beach = asset;
  ASSERT_TRUE(beach);
  open({{"keep.txt", "k"}});
  const std::string video = tmpPath() + "/picked.mov";
  testsupport::writeFile(video, "moov");
  tempFilesToCleanup.clear();
  constexpr int kConversions = 40, kImports = 4;
  std::atomic<int> converted{0};
  DispatchQueue::create("clickViewQue")->async([asset = *beach, &converted] {
    for (int i = 0; i < kConversions; ++i)
      if (!PhotoGalleryView::getAssetPathByAsset(asset, "IMG_" + std::to_string(i) + ".jpg", true,
                                                 {}, nullptr)
               .empty())
        ++converted;
  });
  for (int i = 0; i < kImports; ++i) {
    photos->next = PickedMedia{true, video, nullptr, "picked.mov"};
    ASSERT_TRUE(probe->tap("Menu")) << probe->lastError();
    ASSERT_TRUE(probe->answerSheet("Import Picture/Video"));
    advance(std::chrono::milliseconds(20));
    ASSERT_TRUE(probe->clear("Video File Name:"));
    ASSERT_TRUE(probe->type("Video File Name:", "clip" + std::to_string(i)));
    ASSERT_TRUE(probe->tap("Done"));
  }
  ASSERT_TRUE(waitForBackgroundWork(seconds(20)));
  EXPECT_EQ(converted.load(), kConversions);
  EXPECT_EQ(tempFilesToCleanup.take().size(), size_t(kConversions + kImports));
}
