// The transfer queue's own cost as it grows: N download rows added (as a folder download adds
// them), then each reported done, with the Transfers screen shown in its tab as in the program.
// No network: the queue is paused, so nothing starts. Prints one line per N with the seconds of
// each phase and the growth against the previous N (10x rows: about 10x time when linear).
//
//   bench_queue_growth [N ...]        (default: 100 1000 10000)
#include "app/queue/BatchItem.h"
#include "app/queue/BatchListView.h"

#include "platform/device/Application.h"
#include "platform/device/DeviceProfile.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Window.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace platform;
using Seconds = std::chrono::duration<double>;

namespace {

struct Phase {
  double add = 0, done = 0;
};

void settle() {
  for (int i = 0; i < 1000 && RunLoop::main()->runPending() > 0; ++i) {
  }
}

Phase run(int rows, const std::string &home) {
  FileManager::removeItem(home);
  Paths::setHome(home);
  UserDefaults::resetStandard();
  FileManager::createDirectory(Paths::documents() + "/Files", true);
  FileManager::createDirectory(Paths::tmp(), true);

  auto queue = BatchListView::create();
  auto nav = std::make_shared<ui::NavigationController>(queue);
  auto tabs = std::make_shared<ui::TabBarController>();
  tabs->setViewControllers({nav});
  auto window = std::make_shared<ui::Window>();
  window->setRootViewController(tabs);
  window->makeKeyAndVisible();
  queue->view();
  queue->clickedPause();
  settle();

  Phase phase;
  auto t0 = std::chrono::steady_clock::now();
  std::vector<int> keys;
  keys.reserve(static_cast<size_t>(rows));
  // As a folder download adds a folder's files: in one pass.
  queue->batchUpdates([&] {
    for (int i = 0; i < rows; ++i)
      keys.push_back(queue->addBatchItemAction(
          BatchItem::kDownload, "file" + std::to_string(i) + ".dat", "/data/folder", 4096,
          "127.0.0.1", 21, "user", "secret", "FTP", "Files/folder", false, false));
  });
  settle();
  auto t1 = std::chrono::steady_clock::now();
  // Each report comes as a message of its own from a connection's thread.
  for (int key : keys) {
    queue->doneBatchItemPK(key);
    settle();
  }
  queue->writeHeldChanges(); // the finished rows leave the disk too
  auto t2 = std::chrono::steady_clock::now();
  phase.add = Seconds(t1 - t0).count();
  phase.done = Seconds(t2 - t1).count();

  std::make_shared<ui::Window>()->makeKeyAndVisible();
  settle();
  return phase;
}

} // namespace

int main(int argc, char **argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i)
    sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {100, 1000, 10000};

  RunLoop::makeMainThread();
  // FERROWEN_BENCH_DIR puts the home elsewhere (a tmpfs takes the disk out of the figures).
  const char *base = std::getenv("FERROWEN_BENCH_DIR");
  std::string templ = std::string(base ? base : "/tmp") + "/ferrowen-queue-bench.XXXXXX";
  std::vector<char> pattern(templ.begin(), templ.end());
  pattern.push_back(0);
  const char *tmp = mkdtemp(pattern.data());
  if (!tmp) return 1;
  Paths::setResources(std::string(FERROWEN_SOURCE_DIR) + "/resources");
  DeviceProfile::setCurrent(DeviceProfile::iPhone());

  std::printf("%-8s %12s %8s %12s %8s\n", "rows", "add s", "growth", "done s", "growth");
  Phase previous;
  for (size_t i = 0; i < sizes.size(); ++i) {
    Phase p = run(sizes[i], std::string(tmp) + "/home" + std::to_string(i));
    auto growth = [&](double now, double before) {
      return i == 0 || before <= 0 ? std::string("-") : std::to_string(now / before).substr(0, 5);
    };
    std::printf("%-8d %12.3f %8s %12.3f %8s\n", sizes[i], p.add,
                growth(p.add, previous.add).c_str(), p.done, growth(p.done, previous.done).c_str());
    std::fflush(stdout);
    previous = p;
  }
  FileManager::removeItem(tmp);
  return 0;
}
