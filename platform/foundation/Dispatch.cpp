#include "platform/foundation/Dispatch.h"

#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Thread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform {
namespace {

// The threads behind every non-main queue. Blocks may block (file copies, coordinated reads), so
// a block never waits for a busy thread: the pool grows when none is idle, and threads that stay
// idle for a while leave.
class WorkerPool {
public:
  static WorkerPool &shared() {
    static auto *pool = new WorkerPool; // never destroyed: workers may outlive static teardown
    return *pool;
  }

  void submit(std::function<void()> fn) {
    bool spawn = false;
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(fn));
      if (idle_ < tasks_.size()) {
        ++threads_;
        spawn = true;
      }
    }
    cv_.notify_one();
    if (spawn) std::thread([this] { work(); }).detach();
  }

private:
  void work() {
    setCurrentThreadName("dispatch-worker");
    std::unique_lock lock(mutex_);
    for (;;) {
      if (tasks_.empty()) {
        ++idle_;
        bool woke = cv_.wait_for(lock, std::chrono::seconds(10), [&] { return !tasks_.empty(); });
        --idle_;
        if (!woke) {
          --threads_;
          return;
        }
      }
      auto fn = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      fn();
      fn = nullptr; // release the block's captures outside the lock
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  size_t idle_ = 0;
  size_t threads_ = 0;
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
    bool start = false;
    {
      std::lock_guard lock(mutex_);
      blocks_.push_back(std::move(block));
      if (!draining_) draining_ = start = true;
    }
    if (start) WorkerPool::shared().submit([self = shared_from_this()] { self->drain(); });
  }
  const std::string &label() const override { return label_; }
  Kind kind() const override { return Kind::Serial; }

private:
  void drain() {
    for (;;) {
      std::function<void()> block;
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

} // namespace platform
