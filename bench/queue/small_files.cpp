// Many small files through the whole program's transfer paths, for bench/compare.sh: the queue
// downloading a folder's files one row each over FTP, the queue running an SFTP folder download
// and one SFTP upload row per file, and the SFTP service listing a large folder. Each run starts
// from a fresh home and ends when everything is in place; it checks what arrived (count and
// sizes) and fails loudly otherwise. The caller times the whole process.
//
//   bench_small_files ftp <port> <remote-folder> <folder-with-the-same-files>
//   bench_small_files sftp-down <port> <user> <key-file> <remote-folder>
//   <folder-with-the-same-files> bench_small_files sftp-up <port> <user> <key-file> <local-folder>
//   <remote-folder> bench_small_files sftp-list <port> <user> <key-file> <remote-folder> <entries>
//
// FTP logs in anonymously; SFTP logs in with the key file (as the program does with a key the
// user put under Saved Files/PrivateKeys).
#include "app/foundation/DirItemInfo.h"
#include "app/foundation/SettingsKeys.h"
#include "app/queue/BatchItem.h"
#include "app/queue/BatchListView.h"
#include "app/queue/BatchServices.h"
#include "app/sftp/SFTPService.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Window.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace platform;
namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string &why) {
  std::fprintf(stderr, "bench_small_files: %s\n", why.c_str());
  std::exit(1);
}

// Name and size of each regular file in a folder.
std::map<std::string, uintmax_t> filesIn(const std::string &folder) {
  std::map<std::string, uintmax_t> out;
  std::error_code ec;
  for (auto &entry : fs::directory_iterator(folder, ec))
    if (entry.is_regular_file()) out[entry.path().filename().string()] = entry.file_size();
  if (ec) fail("cannot read " + folder + ": " + ec.message());
  return out;
}

void expectSame(const std::map<std::string, uintmax_t> &want, const std::string &folder) {
  auto got = filesIn(folder);
  if (got != want)
    fail(folder + " holds " + std::to_string(got.size()) + " files, not the " +
         std::to_string(want.size()) + " expected (or sizes differ)");
}

// The application delegate's part the transfers need: the connections report to the queue.
class Services : public BatchAppServices, public FTPAppServices {
public:
  std::shared_ptr<BatchQueueReceiver> batchView() override { return queue.lock(); }
  std::weak_ptr<BatchListView> queue;
};

struct Program {
  std::shared_ptr<Services> services = std::make_shared<Services>();
  Program() {
    BatchAppServices::setShared(services);
    FTPAppServices::setShared(services);
  }
  std::shared_ptr<BatchListView> queue;
  std::shared_ptr<ui::Window> window;

  // The queue as the application shows it: in a tab of the key window.
  void showQueue() {
    queue = BatchListView::create();
    services->queue = queue;
    auto nav = std::make_shared<ui::NavigationController>(queue);
    auto tabs = std::make_shared<ui::TabBarController>();
    tabs->setViewControllers({nav});
    window = std::make_shared<ui::Window>();
    window->setRootViewController(tabs);
    window->makeKeyAndVisible();
    queue->view();
  }
  // Until every row is done; a row that fails ends the run.
  void runUntilEmpty(double limit) {
    // The rows are looked through at most every 0.2 s: a scan after every event would cost
    // the run more than the queue does.
    auto lastScan = std::chrono::steady_clock::now();
    auto failed = [&] {
      const auto now = std::chrono::steady_clock::now();
      if (now - lastScan < std::chrono::milliseconds(200)) return false;
      lastScan = now;
      for (auto &item : queue->batchItemList())
        if (!item->errorMsg().empty()) return true;
      return false;
    };
    RunLoop::main()->runUntil([&] { return queue->batchItemList().empty() || failed(); },
                              platform::seconds(limit));
    for (auto &item : queue->batchItemList())
      if (!item->errorMsg().empty()) fail("a row failed: " + item->errorMsg());
    if (!queue->batchItemList().empty())
      fail("the queue still holds " + std::to_string(queue->batchItemList().size()) + " rows");
  }
};

void installKey(const std::string &user, const std::string &key) {
  const std::string folder = Paths::documents() + "/Files/PrivateKeys";
  FileManager::createDirectory(folder, true);
  std::error_code ec;
  fs::copy_file(key, folder + "/" + user + "@127.0.0.1.pem", ec);
  if (ec) fail("cannot copy the key: " + ec.message());
}

int ftpDownloads(int port, const std::string &remote, const std::string &mirror) {
  const auto want = filesIn(mirror);
  Program p;
  p.showQueue();
  const std::string local = Paths::documents() + "/Files/small";
  FileManager::createDirectory(local, true);
  p.queue->batchUpdates([&] {
    for (auto &[name, size] : want)
      p.queue->addBatchItemAction(BatchItem::kDownload, name, remote, (int64_t)size, "127.0.0.1",
                                  port, "anonymous", "bench@", "ftp", "small", false, false);
  });
  p.queue->startAlwaysIfNoneInProgress();
  p.runUntilEmpty(3600);
  expectSame(want, local);
  return 0;
}

int sftpDownload(int port, const std::string &user, const std::string &key,
                 const std::string &remote, const std::string &mirror) {
  const auto want = filesIn(mirror);
  installKey(user, key);
  Program p;
  p.showQueue();
  const std::string parent = remote.substr(0, remote.rfind('/'));
  const std::string name = remote.substr(remote.rfind('/') + 1);
  p.queue->addBatchItemAction(BatchItem::kSFTPFolderDownload, name, parent, 0, "127.0.0.1", port,
                              user, "", "sftp", "", false, true);
  p.runUntilEmpty(3600);
  expectSame(want, Paths::documents() + "/Files/" + name);
  return 0;
}

int sftpUpload(int port, const std::string &user, const std::string &key, const std::string &folder,
               const std::string &remote) {
  const auto have = filesIn(folder);
  installKey(user, key);
  // Uploads are queued from Saved Files: the files are placed there first (not timed apart).
  // Hard links, not copies: making thousands of new files costs the file system more than the
  // uploads cost us, and OpenSSH's side reads the folder where it is. A copy is the fallback
  // when the folder lies on another file system.
  const std::string saved = Paths::documents() + "/Files/outgoing";
  std::error_code ec;
  fs::copy(folder, saved, fs::copy_options::recursive | fs::copy_options::create_hard_links, ec);
  if (ec) {
    ec.clear();
    fs::remove_all(saved, ec);
    fs::copy(folder, saved, fs::copy_options::recursive, ec);
  }
  if (ec) fail("cannot copy " + folder + ": " + ec.message());
  Program p;
  p.showQueue();
  p.queue->batchUpdates([&] {
    for (auto &[name, size] : have)
      p.queue->addBatchItemAction(BatchItem::kSFTPUpload, name, remote, (int64_t)size, "127.0.0.1",
                                  port, user, "", "sftp", "Files/outgoing/" + name, false, false);
  });
  p.queue->startAlwaysIfNoneInProgress();
  p.runUntilEmpty(3600);
  expectSame(have, remote);
  return 0;
}

class ListingReceiver : public SFTPWrapperDelegate {
public:
  void gotDirectory(SFTPWrapper &,
                    const std::vector<std::shared_ptr<DirItemInfo>> &items) override {
    count = (long)items.size();
    done = true;
  }
  void dirError(SFTPWrapper &, const std::string &text) override { fail("listing: " + text); }
  void connectError(SFTPWrapper &, const std::string &text) override { fail("connect: " + text); }
  void loginError(SFTPWrapper &, const std::string &text) override { fail("login: " + text); }
  std::atomic<bool> done{false};
  long count = -1;
};

int sftpListing(int port, const std::string &user, const std::string &key,
                const std::string &remote, long entries) {
  installKey(user, key);
  auto service = std::make_shared<SFTPService>();
  auto receiver = std::make_shared<ListingReceiver>();
  service->setDelegate(receiver);
  service->setServer("127.0.0.1");
  service->setPort(port);
  service->setUsername(user);
  service->setMainConnection(true);
  std::thread worker([&] { service->getThisDirectory(remote); });
  RunLoop::main()->runUntil([&] { return receiver->done.load(); }, platform::seconds(3600));
  worker.join();
  RunLoop::main()->runPending();
  if (receiver->count != entries)
    fail("listed " + std::to_string(receiver->count) + " entries, not " + std::to_string(entries));
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.empty()) fail("usage: see the head of bench/queue/small_files.cpp");
  RunLoop::makeMainThread();
  const char *base = std::getenv("FERROWEN_BENCH_DIR");
  std::string templ = std::string(base ? base : "/tmp") + "/ferrowen-small-bench.XXXXXX";
  std::vector<char> pattern(templ.begin(), templ.end());
  pattern.push_back(0);
  const char *tmp = mkdtemp(pattern.data());
  if (!tmp) fail("no temporary folder");
  Paths::setHome(std::string(tmp) + "/home");
  Paths::setResources(std::string(FERROWEN_SOURCE_DIR) + "/resources");
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
  RegisterDefaultSettings(); // the settings a new user starts with (passive mode, among others)
  FileManager::createDirectory(Paths::documents() + "/Files", true);
  FileManager::createDirectory(Paths::tmp(), true);
  SFTPService::install();

  int rc = 1;
  const std::string &mode = a[0];
  if (mode == "ftp" && a.size() == 4)
    rc = ftpDownloads(std::atoi(a[1].c_str()), a[2], a[3]);
  else if (mode == "sftp-down" && a.size() == 6)
    rc = sftpDownload(std::atoi(a[1].c_str()), a[2], a[3], a[4], a[5]);
  else if (mode == "sftp-up" && a.size() == 6)
    rc = sftpUpload(std::atoi(a[1].c_str()), a[2], a[3], a[4], a[5]);
  else if (mode == "sftp-list" && a.size() == 6)
    rc = sftpListing(std::atoi(a[1].c_str()), a[2], a[3], a[4], std::atol(a[5].c_str()));
  else
    fail("usage: see the head of bench/queue/small_files.cpp");
  std::error_code ec;
  fs::remove_all(tmp, ec);
  // The queue's connection threads run for the life of the process: leave without waiting.
  std::fflush(nullptr);
  std::_Exit(rc);
}
