#include "platform/foundation/Dispatch.h"

#include "platform/foundation/RunLoopImpl.h"
#include "platform/foundation/Thread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {
namespace {

// The threads behind every non-main queue. Blocks may block (file copies, coordinated reads), so
// a block never waits for a busy thread: the pool grows when none is idle, and threads that stay
// idle for a while leave (and are joined by the next submit or by the end).
//
// The pool keeps every thread it made, so that the process can end its work before it destroys
// its static objects: end() stops taking blocks, lets the queued and running ones finish within
// a bound, drops what is still queued at the bound and joins every thread that is free. A block
// still running then (stuck on the network, say) is left behind: when it returns its thread parks
// for good, holding what the block held, and runs nothing more.
class WorkerPool {
public:
  static WorkerPool &shared() {
    static auto *pool = new WorkerPool; // never destroyed: a stuck worker may outlive teardown
    return *pool;
  }

  bool accepting() {
    std::lock_guard lock(mutex_);
    return !ending_;
  }

  // False (and the block is not run) once the pool is ending.
  bool submit(std::function<void()> fn) {
    joinExited();
    {
      std::lock_guard lock(mutex_);
      if (ending_) return false;
      tasks_.push_back(std::move(fn));
      if (idle_ < tasks_.size()) {
        // Made under the lock, so the thread finds itself in threads_ when it first looks.
        std::thread t([this] { work(); });
        const auto id = t.get_id();
        threads_.emplace(id, std::move(t));
      }
    }
    cv_.notify_one();
    return true;
  }

  bool idle() {
    std::lock_guard lock(mutex_);
    return tasks_.empty() && running_ == 0;
  }

  // Whether the blocks still queued are to be dropped (serial queues look between blocks).
  bool abandoned() {
    std::lock_guard lock(mutex_);
    return abandoned_;
  }

  // Waits until nothing is queued or running, or the deadline passed. On the main thread the
  // main loop keeps running meanwhile: blocks hand their results to it, some waiting for it.
  bool waitIdle(std::chrono::steady_clock::time_point deadline) {
    auto main = detail::mainLoopIfSet();
    if (main && main->isCurrent()) {
      const auto left = deadline - std::chrono::steady_clock::now();
      return main->runUntil([this] { return idle(); }, std::max<Duration>(left, Duration::zero()));
    }
    std::unique_lock lock(mutex_);
    return idleCv_.wait_until(lock, deadline, [&] { return tasks_.empty() && running_ == 0; });
  }

  bool end(std::chrono::steady_clock::time_point deadline) {
    {
      std::lock_guard lock(mutex_);
      ending_ = true;
    }
    cv_.notify_all(); // idle threads leave at once
    waitIdle(deadline);
    std::deque<std::function<void()>> dropped;
    size_t stuck = 0;
    {
      std::unique_lock lock(mutex_);
      abandoned_ = true;
      dropped.swap(tasks_);
      cv_.notify_all();
      // The free threads leave at once (one that is letting a finished block go, soon after);
      // the stuck ones stay.
      idleCv_.wait_until(lock, deadline + std::chrono::seconds(1),
                         [&] { return threads_.size() == running_; });
      stuck = running_;
    }
    dropped.clear(); // their captures go now, while the process is still whole
    joinExited();
    return stuck == 0;
  }

  // A block that comes back after the end left it behind: what it holds stays where it is (its
  // owners may be gone already), and its thread runs nothing more.
  void parkIfAbandoned() {
    std::unique_lock lock(mutex_);
    if (!abandoned_) return;
    for (;;)
      parked_.wait(lock);
  }

private:
  void work() {
    setCurrentThreadName("dispatch-worker");
    std::unique_lock lock(mutex_);
    for (;;) {
      if (tasks_.empty() || abandoned_) {
        if (ending_) break;
        ++idle_;
        bool woke = cv_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return (!tasks_.empty() && !abandoned_) || ending_; });
        --idle_;
        if (!woke) break;
        continue;
      }
      auto fn = std::move(tasks_.front());
      tasks_.pop_front();
      ++running_;
      lock.unlock();
      fn();
      parkIfAbandoned();
      fn = nullptr; // release the block's captures outside the lock
      lock.lock();
      --running_;
      if (tasks_.empty() && running_ == 0) idleCv_.notify_all();
    }
    // Leaving: the thread is joined by whoever looks next.
    auto self = threads_.find(std::this_thread::get_id());
    exited_.push_back(std::move(self->second));
    threads_.erase(self);
    idleCv_.notify_all();
  }

  void joinExited() {
    std::vector<std::thread> done;
    {
      std::lock_guard lock(mutex_);
      done.swap(exited_);
    }
    for (auto &t : done)
      t.join();
  }

  std::mutex mutex_;
  std::condition_variable cv_;     // a task arrived, or the pool is ending
  std::condition_variable idleCv_; // nothing queued or running, or a thread left
  std::condition_variable parked_; // never signalled
  std::deque<std::function<void()>> tasks_;
  std::map<std::thread::id, std::thread> threads_;
  std::vector<std::thread> exited_;
  size_t idle_ = 0;
  size_t running_ = 0;
  bool ending_ = false;
  bool abandoned_ = false;
};

class ConcurrentQueue final : public DispatchQueue,
                              public std::enable_shared_from_this<ConcurrentQueue> {
public:
  explicit ConcurrentQueue(std::string label) : label_(std::move(label)) {}
  void async(std::function<void()> block) override {
    WorkerPool::shared().submit([self = shared_from_this(), block = std::move(block)] { block(); });
  }
  const std::string &label() const override { return label_; }
  Kind kind() const override { return Kind::Concurrent; }

private:
  std::string label_;
};

class SerialQueue final : public DispatchQueue, public std::enable_shared_from_this<SerialQueue> {
public:
  explicit SerialQueue(std::string label) : label_(std::move(label)) {}
  void async(std::function<void()> block) override {
    auto &pool = WorkerPool::shared();
    if (!pool.accepting()) return; // the process is ending
    bool start = false;
    {
      std::lock_guard lock(mutex_);
      blocks_.push_back(std::move(block));
      if (!draining_) draining_ = start = true;
    }
    if (start) pool.submit([self = shared_from_this()] { self->drain(); });
  }
  const std::string &label() const override { return label_; }
  Kind kind() const override { return Kind::Serial; }

private:
  void drain() {
    auto &pool = WorkerPool::shared();
    for (;;) {
      std::function<void()> block;
      if (pool.abandoned()) return; // the rest stays queued, never to run
      {
        std::lock_guard lock(mutex_);
        if (blocks_.empty()) {
          draining_ = false;
          return;
        }
        block = std::move(blocks_.front());
        blocks_.pop_front();
      }
      block();
      pool.parkIfAbandoned();
    }
  }

  std::string label_;
  std::mutex mutex_;
  std::deque<std::function<void()>> blocks_;
  bool draining_ = false;
};

class MainQueue final : public DispatchQueue {
public:
  void async(std::function<void()> block) override { RunLoop::main()->perform(std::move(block)); }
  const std::string &label() const override { return label_; }
  Kind kind() const override { return Kind::Serial; }

private:
  std::string label_ = "main";
};

} // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::create(std::string label, Kind kind) {
  if (kind == Kind::Concurrent) return std::make_shared<ConcurrentQueue>(std::move(label));
  return std::make_shared<SerialQueue>(std::move(label));
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
  static auto *queue = new std::shared_ptr<DispatchQueue>(std::make_shared<MainQueue>());
  return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::global() {
  static auto *queue =
      new std::shared_ptr<DispatchQueue>(std::make_shared<ConcurrentQueue>("global"));
  return *queue;
}

void dispatchAsyncMain(std::function<void()> block) {
  DispatchQueue::main()->async(std::move(block));
}

namespace detail {
bool endDispatchWork(std::chrono::steady_clock::time_point deadline) {
  return WorkerPool::shared().end(deadline);
}
bool dispatchIdle() {
  return WorkerPool::shared().idle();
}
bool waitDispatchIdle(std::chrono::steady_clock::time_point deadline) {
  return WorkerPool::shared().waitIdle(deadline);
}
} // namespace detail

} // namespace platform
