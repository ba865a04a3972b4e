#include "platform/foundation/Dispatch.h"
#include "platform/foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace platform;

namespace {
constexpr Duration kLimit = std::chrono::seconds(20);

// Blocks until `count` arrivals or the (generous) limit; says whether all arrived.
class Latch {
public:
  explicit Latch(int count) : count_(count) {}
  bool arriveAndWait() {
    std::unique_lock lock(m_);
    if (--count_ <= 0) cv_.notify_all();
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return count_ <= 0; });
  }

private:
  std::mutex m_;
  std::condition_variable cv_;
  int count_;
};
} // namespace

TEST(DispatchQueue, SerialQueueRunsOneBlockAtATimeInSubmissionOrder) {
  RunLoop::makeMainThread();
  auto q = DispatchQueue::create("batchLoadAssetLibQue");
  EXPECT_EQ(q->label(), "batchLoadAssetLibQue");
  EXPECT_EQ(q->kind(), DispatchQueue::Kind::Serial);
  std::atomic<int> running{0}, overlaps{0}, done{0};
  std::vector<int> order; // only touched by the queue's blocks, one at a time
  constexpr int kBlocks = 300;
  for (int i = 0; i < kBlocks; ++i) {
    q->async([&, i] {
      if (running.fetch_add(1) != 0) ++overlaps;
      order.push_back(i);
      std::this_thread::yield();
      running.fetch_sub(1);
      ++done;
    });
  }
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return done.load() == kBlocks; }, kLimit));
  EXPECT_EQ(overlaps.load(), 0);
  ASSERT_EQ(order.size(), size_t(kBlocks));
  for (int i = 0; i < kBlocks; ++i)
    ASSERT_EQ(order[i], i);
}

TEST(DispatchQueue, SerialQueueKeepsOrderOfEachSubmitterAcrossThreads) {
  RunLoop::makeMainThread();
  auto q = DispatchQueue::create("clickViewQue");
  std::mutex m;
  std::vector<std::pair<int, int>> seen;
  std::vector<std::thread> submitters;
  for (int t = 0; t < 3; ++t)
    submitters.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i)
        q->async([&, t, i] {
          std::lock_guard lock(m);
          seen.emplace_back(t, i);
        });
    });
  for (auto &s : submitters)
    s.join();
  EXPECT_TRUE(RunLoop::main()->runUntil(
      [&] {
        std::lock_guard lock(m);
        return seen.size() == 300;
      },
      kLimit));
  int next[3] = {0, 0, 0};
  for (auto [t, i] : seen)
    EXPECT_EQ(i, next[t]++);
}

TEST(DispatchQueue, ConcurrentQueueRunsBlocksSideBySide) {
  RunLoop::makeMainThread();
  auto q = DispatchQueue::create("Ferrowen_cloud_work_queue", DispatchQueue::Kind::Concurrent);
  EXPECT_EQ(q->kind(), DispatchQueue::Kind::Concurrent);
  // Every block waits for all the others to start: only possible when they run at once (a
  // serial or too-small pool would time the latch out).
  constexpr int kBlocks = 6;
  Latch latch(kBlocks);
  std::atomic<int> allMet{0}, done{0};
  for (int i = 0; i < kBlocks; ++i)
    q->async([&] {
      if (latch.arriveAndWait()) ++allMet;
      ++done;
    });
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return done.load() == kBlocks; }, kLimit));
  EXPECT_EQ(allMet.load(), kBlocks);
}

TEST(DispatchQueue, QueueLivesUntilItsBlocksRan) {
  RunLoop::makeMainThread();
  std::atomic<int> done{0};
  {
    auto q = DispatchQueue::create("short-lived");
    for (int i = 0; i < 10; ++i)
      q->async([&] { ++done; });
  } // our reference is gone
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return done.load() == 10; }, kLimit));
}

TEST(DispatchQueue, MainQueueRunsOnTheMainThreadInOrder) {
  RunLoop::makeMainThread();
  std::vector<int> order;
  std::atomic<bool> allOnMain{true};
  auto worker = DispatchQueue::create("to-main");
  worker->async([&] {
    for (int i = 0; i < 20; ++i)
      dispatchAsyncMain([&, i] {
        if (!RunLoop::isMainThread()) allOnMain = false;
        order.push_back(i);
      });
  });
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return order.size() == 20; }, kLimit));
  EXPECT_TRUE(allOnMain.load());
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(order[i], i);
  EXPECT_EQ(DispatchQueue::main(), DispatchQueue::main());
}

TEST(DispatchQueue, BlockOnAQueueMayWaitForTheMainThread) {
  // The conversion blocks hand results to the main thread and wait for it.
  RunLoop::makeMainThread();
  auto q = DispatchQueue::global();
  std::atomic<int> result{0};
  int mainValue = 5;
  q->async([&] {
    int v = 0;
    RunLoop::main()->performAndWait([&] { v = mainValue * 2; });
    result = v;
  });
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return result.load() == 10; }, kLimit));
}

// --- The end of the process -------------------------------------------------------------------
// Ending the background work is for good, so each case ends it in a child process of its own and
// reports there what it saw.

namespace {
// What the child saw, on standard error and as its status (0: as expected).
[[noreturn]] void report(bool asExpected, const std::string &seen) {
  std::fprintf(stderr, "%s\n", seen.c_str());
  std::fflush(stderr);
  // A block left behind still holds what it held: the child does not destroy its statics.
  std::_Exit(asExpected ? 0 : 1);
}

std::string sorted(std::string s) {
  std::sort(s.begin(), s.end());
  return s;
}

// The end while a history save runs with one queued behind it, and while work on a queue and on
// a worker thread waits for the main thread; then blocks submitted after it.
[[noreturn]] void endFinishesQueuedAndRunningWork() {
  RunLoop::makeMainThread();
  std::mutex m;
  std::string ran;
  auto mark = [&](char c) {
    std::lock_guard lock(m);
    ran += c;
  };
  auto history = DispatchQueue::create("history");
  // Running when the end comes, and one queued behind it.
  history->async([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    mark('a');
  });
  history->async([&] { mark('b'); });
  // Work that waits for the main thread, on a queue and on a worker thread.
  DispatchQueue::global()->async([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    RunLoop::main()->performAndWait([&] { mark('c'); });
  });
  startThread(
      "favicon",
      [&] {
        // Still busy when the queues are done.
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        RunLoop::main()->performAndWait([&] { mark('w'); });
      },
      false);
  const bool ended = stopWorkerThreads(std::chrono::seconds(5));
  auto sentinel = std::make_shared<int>(0);
  std::weak_ptr<int> refusedBlock = sentinel;
  history->async([&, sentinel] { mark('x'); });
  DispatchQueue::global()->async([&, sentinel] { mark('y'); });
  sentinel.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::lock_guard lock(m);
  const std::string seen = "ended=" + std::to_string(ended) + " ran=" + sorted(ran) +
                           " refused let go=" + std::to_string(refusedBlock.expired());
  report(seen == "ended=1 ran=abcw refused let go=1", seen);
}

// The end while a block is stuck (on the network, say) with another queued behind it.
[[noreturn]] void endLeavesAStuckBlockBehind() {
  RunLoop::makeMainThread();
  std::atomic<bool> release{false}, droppedRan{false};
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> heldByStuck = held;
  auto history = DispatchQueue::create("history");
  history->async([&, held] {
    while (!release)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  history->async([&] { droppedRan = true; });
  held.reset();
  const auto start = std::chrono::steady_clock::now();
  const bool ended = stopWorkerThreads(std::chrono::milliseconds(300));
  const auto waited = std::chrono::steady_clock::now() - start;
  // The stuck block comes back late: its thread parks with what it holds, and the block
  // queued behind it never runs.
  release = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const bool bounded = waited < std::chrono::seconds(3);
  const std::string seen = "ended=" + std::to_string(ended) +
                           " bounded=" + std::to_string(bounded) +
                           " dropped ran=" + std::to_string(droppedRan.load()) +
                           " held=" + std::to_string(!heldByStuck.expired());
  report(seen == "ended=0 bounded=1 dropped ran=0 held=1", seen);
}

// What a worker's thread clears up as it ends, after its last line (a library's per-thread
// state, here a slow one).
struct ThreadCleanUp {
  static inline std::atomic<bool> begun{false}, done{false};
  void use() {}
  ~ThreadCleanUp() {
    begun = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    done = true;
  }
};

// The end of the process comes while a worker that is through is still clearing up its thread:
// the process does not go on to exit under that clean-up.
[[noreturn]] void endWaitsForAWorkersThreadToEnd() {
  RunLoop::makeMainThread();
  startThread(
      "cleanup",
      [] {
        thread_local ThreadCleanUp state;
        state.use();
      },
      false);
  while (!ThreadCleanUp::begun)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const bool ended = stopWorkerThreads(std::chrono::seconds(5));
  const std::string seen = "ended=" + std::to_string(ended) +
                           " cleared up=" + std::to_string(ThreadCleanUp::done.load());
  report(seen == "ended=1 cleared up=1", seen);
}

} // namespace

TEST(DispatchEnd, AWorkerThatIsThroughHasEndedWhenTheEndReturns) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(endWaitsForAWorkersThreadToEnd(), ::testing::ExitedWithCode(0),
              "ended=1 cleared up=1");
}

TEST(DispatchEnd, QueuedAndRunningWorkFinishesAndNothingNewIsTaken) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(endFinishesQueuedAndRunningWork(), ::testing::ExitedWithCode(0),
              "ended=1 ran=abcw refused let go=1");
}

TEST(DispatchEnd, AStuckBlockIsLeftBehindAtTheBoundAndWhatWaitsBehindItIsDropped) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(endLeavesAStuckBlockBehind(), ::testing::ExitedWithCode(0),
              "ended=0 bounded=1 dropped ran=0 held=1");
}

TEST(DispatchQueue, WaitingForBackgroundWorkLetsItReachTheMainThread) {
  // A test's end waits so for the work it started; the queues go on working afterwards.
  RunLoop::makeMainThread();
  std::atomic<int> done{0};
  DispatchQueue::create("clickViewQue")->async([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    RunLoop::main()->performAndWait([&] { ++done; });
  });
  startThread(
      "favicon",
      [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        RunLoop::main()->performAndWait([&] { ++done; });
      },
      false);
  EXPECT_TRUE(waitForBackgroundWork(kLimit));
  EXPECT_EQ(done.load(), 2);
  DispatchQueue::global()->async([&] { ++done; });
  EXPECT_TRUE(waitForBackgroundWork(kLimit));
  EXPECT_EQ(done.load(), 3);
}
