// Costs of the run-loop primitives every connection and screen leans on: a post to another
// thread's loop, a waiting post towards the main loop, and a settings read and write.
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/UserDefaults.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>

using namespace platform;

namespace {

// Posts N functions to a worker loop and waits until the last has run.
void BM_PostToWorker(benchmark::State &state) {
  auto worker = startThread("bench-worker", [] {});
  std::atomic<long> done{0};
  for (auto _ : state) {
    const long target = done.load() + state.range(0);
    for (long i = 0; i < state.range(0); ++i)
      worker->perform([&done] { done.fetch_add(1); });
    while (done.load() < target) {
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  worker->stop();
}
BENCHMARK(BM_PostToWorker)->Arg(1)->Arg(1000)->UseRealTime();

// A worker's waiting post to the main loop, which runs it between its own pieces of work.
void BM_PerformAndWaitOnMain(benchmark::State &state) {
  RunLoop::makeMainThread();
  auto mainLoop = RunLoop::main();
  std::atomic<bool> finished{false};
  long calls = 0;
  auto worker = startThread(
      "bench-caller",
      [&] {
        for (int i = 0; i < 20000; ++i)
          mainLoop->performAndWait([&calls] { ++calls; });
        finished = true;
      },
      false);
  for (auto _ : state) {
    mainLoop->runUntil([&] { return finished.load(); }, seconds(60));
  }
  state.SetItemsProcessed(calls);
}
BENCHMARK(BM_PerformAndWaitOnMain)->Iterations(1)->UseRealTime();

void BM_SettingsReadWrite(benchmark::State &state) {
  const auto dir = std::filesystem::temp_directory_path() / "ferrowen-bench-settings";
  std::filesystem::create_directories(dir);
  UserDefaults defaults((dir / "Preferences.json").string());
  long i = 0;
  for (auto _ : state) {
    defaults.setObject(UserDefaults::Value(std::to_string(i++)), "ActiveServerMinutes");
    benchmark::DoNotOptimize(defaults.integerForKey("ActiveServerMinutes"));
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SettingsReadWrite);

} // namespace
