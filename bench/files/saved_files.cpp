// The Saved Files listing (the screen of one folder, shown in a window as in the program) as its
// folder grows, alone and with a long transfer queue whose rows each file is checked against; and
// a queue reporting its downloads done while Saved Files shows their folder.
//
//   bench_saved_files growth [N ...]     (default: 100 1000 10000 100000) prints one line per N:
//       seconds of one listing with an empty queue and with QUEUE_ROWS rows (default 10,000),
//       each the best of three, with the growth against the previous N; then the seconds for N
//       rows (at most DONE_ROWS, default 10,000) reported done while the folder is on screen.
//   bench_saved_files list HOME FOLDER [ROWS]
//       shows Documents/Files/FOLDER below HOME (with ROWS queue rows), taps Refresh and prints
//       "<seconds> <cpu-seconds>" of that listing, for bench/compare.sh.
#include "app/files/LocalFilesServices.h"
#include "app/files/LocalFolderViewController.h"
#include "app/queue/BatchItem.h"
#include "app/queue/BatchListView.h"
#include "app/queue/BatchServices.h"

#include "platform/device/DeviceProfile.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Window.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace platform;
using Seconds = std::chrono::duration<double>;

namespace {

void settle() {
  for (int i = 0; i < 1000 && RunLoop::main()->runPending() > 0; ++i) {
  }
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The queue answers for the files it holds, as the program's services do.
class QueueFiles : public LocalFilesServices {
public:
  std::weak_ptr<BatchListView> queue;
  bool isInProgress(const std::string &path) override {
    auto q = queue.lock();
    return q && q->isInProgress(path);
  }
};

// The Saved Files screen on top of its tab, for the queue's reloads.
class ShownFolder : public BatchAppServices {
public:
  std::shared_ptr<LocalFolderScreen> screen;
  std::shared_ptr<LocalFolderScreen> topLocalFolderScreen() override { return screen; }
};

struct Setup {
  std::shared_ptr<BatchListView> queue;
  std::shared_ptr<LocalFolderViewController> screen;
  std::shared_ptr<ui::Window> window;
};

// A paused queue of `rows` downloads (into another folder: no file of the listing is in it, so
// each file is checked against every row when the check is a scan).
std::shared_ptr<BatchListView> makeQueue(int rows, const std::string &localpath) {
  auto queue = BatchListView::create();
  queue->clickedPause();
  queue->batchUpdates([&] {
    for (int i = 0; i < rows; ++i)
      queue->addBatchItemAction(BatchItem::kDownload, "queued" + std::to_string(i) + ".dat",
                                "/remote", 4096, "127.0.0.1", 21, "user", "secret", "ftp",
                                localpath, false, false);
  });
  settle();
  return queue;
}

Setup show(const std::string &folder, std::shared_ptr<BatchListView> queue) {
  Setup s;
  s.queue = std::move(queue);
  auto files = std::make_shared<QueueFiles>();
  files->queue = s.queue;
  LocalFilesServices::setShared(files);
  s.screen = LocalFolderViewController::make("Files/" + folder);
  auto nav = std::make_shared<ui::NavigationController>(s.screen);
  s.window = std::make_shared<ui::Window>();
  s.window->setRootViewController(nav);
  s.window->makeKeyAndVisible();
  s.screen->view();
  settle();
  return s;
}

void makeFiles(const std::string &folder, int count) {
  FileManager::createDirectory(folder, true);
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/file-%06d.dat", i);
    const int fd = ::open((folder + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
  }
}

void useHome(const std::string &home) {
  Paths::setHome(home);
  UserDefaults::resetStandard();
  FileManager::createDirectory(Paths::documents() + "/Files", true);
  FileManager::createDirectory(Paths::tmp(), true);
}

double bestListing(LocalFolderViewController &screen) {
  double best = 1e9;
  for (int round = 0; round < 3; ++round) {
    const auto t0 = std::chrono::steady_clock::now();
    screen.loadFolderData();
    settle();
    best = std::min(best, Seconds(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

// Counts the reloads of the screen it stands for.
class CountedScreen : public LocalFolderScreen {
public:
  explicit CountedScreen(std::shared_ptr<LocalFolderViewController> screen)
      : screen_(std::move(screen)) {}
  std::string currentFolder() const override { return screen_->currentFolder(); }
  void loadFolderData() override {
    ++reloads;
    screen_->loadFolderData();
  }
  int reloads = 0;

private:
  std::shared_ptr<LocalFolderViewController> screen_;
};

// `rows` downloads into the shown folder (which holds their files), each reported done as its own
// message; until the screen shows the last one.
double doneWhileShown(int rows) {
  makeFiles(Paths::documents() + "/Files/shown", rows);
  auto queue = makeQueue(rows, "shown");
  std::vector<int> keys;
  for (auto &item : queue->batchItemList())
    keys.push_back(item->primaryKey());
  auto s = show("shown", queue);
  auto services = std::make_shared<ShownFolder>();
  auto counted = std::make_shared<CountedScreen>(s.screen);
  services->screen = counted;
  BatchAppServices::setShared(services);
  const auto t0 = std::chrono::steady_clock::now();
  for (int key : keys) {
    queue->doneBatchItemPK(key);
    settle();
  }
  auto t1 = std::chrono::steady_clock::now();
  // A reload may still be owed for the last ones: it is part of the figure.
  const int reloads = counted->reloads;
  if (RunLoop::main()->runUntil([&] { return counted->reloads > reloads; }, seconds(1)))
    t1 = std::chrono::steady_clock::now();
  BatchAppServices::setShared(nullptr);
  std::make_shared<ui::Window>()->makeKeyAndVisible();
  settle();
  return Seconds(t1 - t0).count();
}

std::string growth(double now, double before) {
  return before <= 0 ? std::string("-") : std::to_string(now / before).substr(0, 5);
}

int growthTable(std::vector<int> sizes, const std::string &base) {
  if (sizes.empty()) sizes = {100, 1000, 10000, 100000};
  const char *rowsText = std::getenv("QUEUE_ROWS");
  const int queueRows = rowsText ? std::atoi(rowsText) : 10000;
  const char *doneText = std::getenv("DONE_ROWS");
  const int doneLimit = doneText ? std::atoi(doneText) : 10000;
  std::printf("%-8s %12s %8s %14s %8s %14s %8s\n", "files", "listing s", "growth",
              ("+" + std::to_string(queueRows) + " rows s").c_str(), "growth", "done shown s",
              "growth");
  double before[3] = {0, 0, 0};
  for (size_t i = 0; i < sizes.size(); ++i) {
    const int n = sizes[i];
    useHome(base + "/home" + std::to_string(i));
    makeFiles(Paths::documents() + "/Files/listing", n);
    double alone, withQueue, done;
    {
      auto s = show("listing", makeQueue(0, ""));
      alone = bestListing(*s.screen);
    }
    {
      auto s = show("listing", makeQueue(queueRows, "other"));
      withQueue = bestListing(*s.screen);
    }
    done = doneWhileShown(std::min(n, doneLimit));
    std::printf("%-8d %12.3f %8s %14.3f %8s %14.3f %8s\n", n, alone,
                growth(alone, before[0]).c_str(), withQueue, growth(withQueue, before[1]).c_str(),
                done, growth(done, before[2]).c_str());
    std::fflush(stdout);
    before[0] = alone, before[1] = withQueue, before[2] = done;
    LocalFilesServices::setShared(nullptr);
    std::make_shared<ui::Window>()->makeKeyAndVisible();
    settle();
    FileManager::removeItem(Paths::home());
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  RunLoop::makeMainThread();
  Paths::setResources(std::string(FERROWEN_SOURCE_DIR) + "/resources");
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
  const std::string mode = argc > 1 ? argv[1] : "growth";
  if (mode == "list" && argc >= 4) {
    Paths::setHome(argv[2]);
    UserDefaults::resetStandard();
    const int rows = argc > 4 ? std::atoi(argv[4]) : 0;
    auto s = show(argv[3], makeQueue(rows, "other"));
    // The screen is up; a Refresh lists the folder again, as the user sees it.
    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    s.screen->clickRefresh();
    settle();
    std::printf("%.3f %.2f\n", Seconds(std::chrono::steady_clock::now() - t0).count(),
                cpuSeconds() - cpu0);
    return s.screen->folderItems().empty() ? 1 : 0;
  }
  std::vector<int> sizes;
  for (int i = 2; i < argc; ++i)
    sizes.push_back(std::atoi(argv[i]));
  // FERROWEN_BENCH_DIR puts the homes elsewhere (a tmpfs takes the disk out of the figures).
  const char *dir = std::getenv("FERROWEN_BENCH_DIR");
  std::string templ = std::string(dir ? dir : "/tmp") + "/ferrowen-saved-bench.XXXXXX";
  std::vector<char> pattern(templ.begin(), templ.end());
  pattern.push_back(0);
  const char *base = mkdtemp(pattern.data());
  if (!base) return 1;
  const int rc = growthTable(sizes, base);
  FileManager::removeItem(base);
  return rc;
}
