// Shared set-up of the transfer-queue tests: a private data root with the seed database, the
// injected clock, the queue screen inside a navigation controller and a tab bar in a key window
// (driven through the probe), and doubles of the application's services, the SFTP service and
// the archive services.
#pragma once

#include "app/files/ArchiveServices.h"
#include "app/queue/BatchListView.h"
#include "app/queue/BatchServices.h"
#include "app/sftp/SFTPWrapper.h"

#include "app/foundation/Database.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Probe.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace queuetest {

using namespace platform;

// The application delegate's side: the browsing connection's transfer, badges, the screens on
// top of the other tabs and the photo library.
class AppServicesDouble : public BatchAppServices, public FTPAppServices {
public:
  std::optional<BrowsingTransfer> browsingTransfer() override { return browsing; }
  void badgeValtry(const std::string &text) override { valtry = text; }
  std::shared_ptr<LocalFolderScreen> topLocalFolderScreen() override { return localFolder; }
  std::shared_ptr<RemoteFolderScreen> topRemoteFolderScreen() override { return remoteFolder; }
  void getSelectedAsset(const std::string &url, const std::string &name,
                        std::function<void(const AssetConvertReply &)> reply) override {
    std::lock_guard lock(mutex);
    assetRequests.push_back(url + "|" + name);
    pendingAsset = std::move(reply);
  }
  std::shared_ptr<BatchQueueReceiver> batchView() override { return queue.lock(); }
  void sentBack(const std::string &localFile) override { sent.push_back(localFile); }
  // An edit's save back: the look's outcome each time the row starts, as `checks` says for its
  // local file (none: not an edit's save back). The look itself is the service's.
  SendBackChecker sendBackCheck(const std::string &localFile) override {
    auto at = checks.find(localFile);
    if (at == checks.end()) return {};
    auto outcome = at->second;
    return [outcome](const LookAtServerFile &look) {
      look([](uint64_t) { return 0; });
      return SendBackCheck{*outcome, "3:0:0"};
    };
  }
  void askServerFileChanged(const std::string &localFile, const std::string &name,
                            const std::string &found, std::function<void(bool)> answered) override {
    asked.push_back(localFile + "|" + name + "|" + found);
    answer = std::move(answered);
  }

  std::optional<BrowsingTransfer> browsing;
  std::string valtry = "unset";
  std::vector<std::string> sent; // the local files of the uploads done
  std::map<std::string, std::shared_ptr<std::atomic<SendBackCheck::Outcome>>> checks;
  std::vector<std::string> asked; // "local file|name|found"
  std::function<void(bool)> answer;
  std::shared_ptr<LocalFolderScreen> localFolder;
  std::shared_ptr<RemoteFolderScreen> remoteFolder;
  std::weak_ptr<BatchListView> queue;
  std::mutex mutex;
  std::vector<std::string> assetRequests;
  std::function<void(const AssetConvertReply &)> pendingAsset;
};

class LocalFolderDouble : public LocalFolderScreen {
public:
  std::string currentFolder() const override { return folder; }
  void loadFolderData() override { ++reloads; }
  std::string folder;
  int reloads = 0;
};

// The SFTP service: records what the queue asks, and is busy while `active` is set.
class SFTPDouble : public SFTPWrapper {
public:
  void reinit() override {
    note("reinit");
    connected = false;
  }
  bool isConnected() override { return connected; }
  bool isActive() override { return active; }
  bool isAnythingPending() override { return false; }
  void paused() override { note("paused"); }
  std::string userRootDir() override { return "/"; }
  std::string lastOperationDir() override { return lastDir; }
  std::string dir() override { return lastDir; }
  void setDir(const std::string &) override {}
  void getThisDirectory(const std::string &) override {}
  void getDirectory() override {}
  void setupToDownloadThisFile(const std::string &remote, const std::string &to, bool) override {
    note("setupDownload:" + remote + "->" + to);
  }
  void downloadFile() override { start("download"); }
  void setupToUploadThisFile(const std::string &local, const std::string &to) override {
    note("setupUpload:" + local + "->" + to);
  }
  void uploadFile() override { start("upload"); }
  LookedFile lookAtFile(const std::string &remote, const BytesToRead &) override {
    note("look:" + remote);
    return {};
  }
  void createDirectory(const std::string &path) override { start("mkdir:" + path); }
  void deleteFile(const std::string &) override {}
  void deleteDirectory(const std::string &) override {}
  void renameFile(const std::string &, const std::string &) override {}
  void changePermissions(const std::string &, int) override {}
  void batchDirectoryDownload(const std::string &path) override { start("folder:" + path); }
  void nextBatchDirectory() override { note("nextBatchDirectory"); }
  void doneBatchItem() override {}
  size_t uploadBatchLimit() override { return batchLimit; }
  void uploadFiles(const std::vector<SFTPUploadJob> &jobs, const UploadResult &result) override {
    std::string names;
    for (auto &job : jobs)
      names += job.remote + ",";
    {
      std::lock_guard lock(mutex);
      batchJobs = jobs;
      batchResult = result;
    }
    start("uploads:" + names);
  }
  // Reports every file of the batch given last with the same outcome, as the service does while
  // the batch still runs (the caller ends it: `active` = false).
  void reportBatch(bool ok) {
    std::vector<SFTPUploadJob> jobs;
    UploadResult result;
    {
      std::lock_guard lock(mutex);
      jobs.swap(batchJobs);
      result = batchResult;
    }
    for (auto &job : jobs)
      result(job, ok, ok ? "" : "Error Uploading File!");
  }

  std::vector<std::string> calls() {
    std::lock_guard lock(mutex);
    return calls_;
  }
  size_t count(const std::string &what) {
    std::lock_guard lock(mutex);
    return static_cast<size_t>(std::count(calls_.begin(), calls_.end(), what));
  }
  size_t started() { return startedCount.load(); }

  std::atomic<bool> active{false}, connected{false};
  std::atomic<size_t> startedCount{0};
  size_t batchLimit = 1; // one upload at a time unless a test says otherwise
  std::string lastDir;

private:
  void start(const std::string &what) {
    note(what + "@" + server() + ":" + std::to_string(port()));
    active = true;
    connected = true;
    ++startedCount; // last: tests wait for it and then read the calls
  }
  void note(const std::string &what) {
    std::lock_guard lock(mutex);
    calls_.push_back(what);
  }
  std::mutex mutex;
  std::vector<std::string> calls_;
  std::vector<SFTPUploadJob> batchJobs;
  UploadResult batchResult;
};

// Each unpacks one file: "<archive name>.txt" holding "unpacked".
class TarDouble : public TARWrapper {
public:
  std::vector<std::string> paths;

protected:
  bool untar(const std::string &path, const std::string &folder) override {
    paths.push_back(path);
    return testsupport::writeFile(folder + "/" + platform::lastPathComponent(path) + ".txt",
                                  "unpacked");
  }
};

class ZipDouble : public ZipArchive {
public:
  explicit ZipDouble(std::vector<std::string> *log) : log_(log) {}
  bool UnzipOpenFile(const std::string &file) override {
    log_->push_back("open:" + file);
    file_ = platform::lastPathComponent(file);
    return true;
  }
  bool UnzipFileTo(const std::string &folder, bool overWrite) override {
    log_->push_back(std::string("to") + (overWrite ? ":overwrite" : "") +
                    (platform::FileManager::isDirectory(folder) ? ":exists" : ":missing"));
    return testsupport::writeFile(folder + "/" + file_ + ".txt", "unpacked");
  }
  bool UnzipCloseFile() override {
    log_->push_back("close");
    return true;
  }

private:
  std::vector<std::string> *log_;
  std::string file_;
};

class QueueTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    tmp_ = std::make_unique<testsupport::TempDir>("ferrowen-q8");
    Paths::setHome(tmp_->path() + "/home");
    Paths::setResources(std::string(FERROWEN_SOURCE_DIR) + "/resources");
    UserDefaults::resetStandard();
    DeviceProfile::setCurrent(DeviceProfile::iPhone());
    Application::shared().reset();
    clock_ = std::make_shared<ManualClock>();
    Clock::install(clock_);
    services_ = std::make_shared<AppServicesDouble>();
    BatchAppServices::setShared(services_);
    FTPAppServices::setShared(services_);
    sftp_ = std::make_shared<SFTPDouble>();
    auto made = sftp_;
    SFTPWrapper::setMaker([made] { return made; });
    tar_ = std::make_shared<TarDouble>();
    TARWrapper::install(tar_);
    zipLog_ = std::make_shared<std::vector<std::string>>();
    auto log = zipLog_;
    ZipArchive::setMaker([log] { return std::make_unique<ZipDouble>(log.get()); });
    FileManager::createDirectory(Paths::documents() + "/Files", true);
    FileManager::createDirectory(Paths::tmp(), true);
  }

  void TearDown() override {
    probe_.reset();
    // The key window keeps its screens: a fresh one lets this test's queue go.
    if (window_) std::make_shared<ui::Window>()->makeKeyAndVisible();
    window_.reset();
    tabs_.reset();
    nav_.reset();
    queue_.reset();
    settle();
    // The queue's connection is let go on its own thread: wait for it before the clock goes.
    RunLoop::main()->runUntil([] { return BatchListView::liveConnectionThreads() == 0; },
                              testsupport::scaled(platform::seconds(10)));
    SFTPWrapper::setMaker(nullptr);
    TARWrapper::install(nullptr);
    ZipArchive::setMaker(nullptr);
    BatchAppServices::setShared(nullptr);
    FTPAppServices::setShared(nullptr);
    Clock::install(nullptr);
    Application::shared().reset();
    Paths::setHome("");
    Paths::setResources("");
    UserDefaults::resetStandard();
    tmp_.reset();
  }

  // Rows straight into the table, as an earlier run left them.
  void seedRow(const std::string &values) {
    sqlite3 *db = OpenDatabase();
    ASSERT_NE(db, nullptr);
    UpdateDatabaseStructure(db);
    ASSERT_GE(SQLExecute(db, "INSERT INTO batchlist (action,filename,path,server,port,user,"
                             "password,localpath,size,cleanfile,protocol,roworder,start) VALUES (" +
                                 values + ")"),
              0);
    sqlite3_close(db);
  }

  // Rows as a version from before names kept their bytes left them: in a table without the
  // bytes columns (`oldTable`), else with those columns empty.
  void seedRowWithoutBytes(const std::string &values, bool oldTable) {
    if (!oldTable) return seedRow(values);
    sqlite3 *db = OpenDatabase();
    ASSERT_NE(db, nullptr);
    ASSERT_GE(SQLExecute(db, "CREATE TABLE IF NOT EXISTS 'batchlist' ('pk' integer primary key, "
                             "'action' VARCHAR(10) DEFAULT '', 'filename' VARCHAR(120) DEFAULT '', "
                             "'path' VARCHAR(250) DEFAULT '', 'server' VARCHAR(120) DEFAULT '', "
                             "'user' VARCHAR(80) DEFAULT '', 'password' VARCHAR(80) DEFAULT '', "
                             "'start' integer DEFAULT '0', 'size' integer DEFAULT '0', 'localpath' "
                             "VARCHAR(500) DEFAULT '', 'cleanfile' integer DEFAULT '0', 'roworder' "
                             "integer DEFAULT '9999', 'port' integer DEFAULT '21', 'protocol' "
                             "VARCHAR(8) DEFAULT 'ftp')"),
              0);
    ASSERT_GE(SQLExecute(db, "INSERT INTO batchlist (action,filename,path,server,port,user,"
                             "password,localpath,size,cleanfile,protocol,roworder,start) VALUES (" +
                                 values + ")"),
              0);
    sqlite3_close(db);
  }

  // What the table holds, one line per row in key order ("pk|action|filename|start|size|roworder").
  // The queue's held-back changes are written first, as another reader would find them later.
  std::vector<std::string> rows() {
    if (queue_) queue_->writeHeldChanges();
    return storedRows();
  }

  // What the disk holds this moment.
  std::vector<std::string> storedRows() {
    std::vector<std::string> out;
    sqlite3 *db = OpenDatabase();
    if (!db) return out;
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT pk,action,filename,start,size,roworder,server,port,path,localpath "
                       "FROM batchlist ORDER BY pk",
                       -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::string line;
      for (int c = 0; c < 10; ++c) {
        const unsigned char *t = sqlite3_column_text(stmt, c);
        line += (c ? "|" : "") + std::string(t ? reinterpret_cast<const char *>(t) : "");
      }
      out.push_back(line);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return out;
  }

  // The queue as the application makes it: a tab of its own, shown in the key window.
  void makeQueue(bool show = true) {
    queue_ = BatchListView::create();
    services_->queue = queue_;
    if (!show) return;
    nav_ = std::make_shared<ui::NavigationController>(queue_);
    tabs_ = std::make_shared<ui::TabBarController>();
    tabs_->setViewControllers({nav_});
    window_ = std::make_shared<ui::Window>();
    window_->setRootViewController(tabs_);
    window_->makeKeyAndVisible();
    probe_ = std::make_unique<ui::Probe>(window_);
    queue_->view();
  }

  // A shown queue running one SFTP download of a 4 MiB file (queued while paused, so that it is
  // the row the fake session runs once Play is pressed).
  void startOneSftpDownload() {
    makeQueue();
    queue_->clickedPause();
    queue_->addBatchItemAction(30, "big.bin", "/pub", 4 << 20, "127.0.0.1", 22, "u", "p", "sftp",
                               "/d", false, false);
    queue_->clickedResume();
    ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  }

  void settle() {
    for (int i = 0; i < 100 && RunLoop::main()->runPending() > 0; ++i) {
    }
  }
  void advance(double seconds) {
    // Step by step, so timers that post further work see it run before the next step.
    const int steps = static_cast<int>(seconds * 10);
    for (int i = 0; i < steps; ++i) {
      clock_->advance(platform::seconds(0.1));
      settle();
    }
  }
  bool waitFor(const std::function<bool()> &cond, double limit = 10) {
    return RunLoop::main()->runUntil(cond, testsupport::scaled(platform::seconds(limit)));
  }

  std::unique_ptr<testsupport::TempDir> tmp_;
  std::shared_ptr<ManualClock> clock_;
  std::shared_ptr<AppServicesDouble> services_;
  std::shared_ptr<SFTPDouble> sftp_;
  std::shared_ptr<TarDouble> tar_;
  std::shared_ptr<std::vector<std::string>> zipLog_;
  std::shared_ptr<BatchListView> queue_;
  std::shared_ptr<ui::NavigationController> nav_;
  std::shared_ptr<ui::TabBarController> tabs_;
  std::shared_ptr<ui::Window> window_;
  std::unique_ptr<ui::Probe> probe_;
};

} // namespace queuetest
