#include "platform/foundation/Dispatch.h"
#include "platform/foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
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
