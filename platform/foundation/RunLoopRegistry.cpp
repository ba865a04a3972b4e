// Which loop belongs to which thread, which one is the main loop, and waking them all when the
// clock moves.
#include "platform/foundation/RunLoopImpl.h"
#include "platform/foundation/Thread.h"

#include <condition_variable>
#include <future>
#include <vector>

namespace platform {
namespace detail {

namespace {
struct Registry {
  std::mutex mutex;
  std::vector<std::weak_ptr<RunLoopImpl>> loops;
  std::shared_ptr<RunLoopImpl> mainLoop;
  std::atomic<std::thread::id> mainThread{};
  // Worker threads started and not yet ended or parked, and their run loops. Once the process
  // is ending (`ending`), a worker whose loop stops parks for good instead of ending: what it
  // holds stays where it was, and it runs nothing more.
  int liveWorkers = 0;
  bool ending = false;
  std::condition_variable workerEnded;
  std::vector<std::weak_ptr<RunLoop>> workerLoops;
};

// Never destroyed: detached workers may still use it while the process exits.
Registry &registry() {
  static auto *r = new Registry;
  return *r;
}

thread_local std::shared_ptr<RunLoopImpl> threadLoop;

std::shared_ptr<RunLoopImpl> currentImpl() {
  if (!threadLoop) {
    auto loop = std::make_shared<RunLoopImpl>();
    loop->bindToCurrentThread();
    registerLoop(loop);
    threadLoop = loop;
  }
  return threadLoop;
}
} // namespace

void registerLoop(const std::shared_ptr<RunLoopImpl> &loop) {
  auto &r = registry();
  std::lock_guard lock(r.mutex);
  std::erase_if(r.loops, [](const auto &w) { return w.expired(); });
  r.loops.push_back(loop);
}

std::shared_ptr<RunLoopImpl> mainLoopIfSet() {
  auto &r = registry();
  std::lock_guard lock(r.mutex);
  return r.mainLoop;
}

void notifyClockMoved() {
  std::vector<std::shared_ptr<RunLoopImpl>> live;
  {
    auto &r = registry();
    std::lock_guard lock(r.mutex);
    for (auto &w : r.loops)
      if (auto l = w.lock()) live.push_back(std::move(l));
  }
  for (auto &l : live)
    l->clockMoved();
}

} // namespace detail

std::shared_ptr<RunLoop> RunLoop::current() {
  return detail::currentImpl();
}

void RunLoop::makeMainThread() {
  auto loop = detail::currentImpl();
  auto &r = detail::registry();
  std::lock_guard lock(r.mutex);
  r.mainLoop = loop;
  r.mainThread.store(std::this_thread::get_id());
}

std::shared_ptr<RunLoop> RunLoop::main() {
  auto &r = detail::registry();
  {
    std::lock_guard lock(r.mutex);
    if (r.mainLoop) return r.mainLoop;
  }
  auto loop = detail::currentImpl();
  std::lock_guard lock(r.mutex);
  if (!r.mainLoop) {
    r.mainLoop = loop;
    r.mainThread.store(std::this_thread::get_id());
  }
  return r.mainLoop;
}

bool RunLoop::isMainThread() {
  auto &r = detail::registry();
  if (r.mainThread.load() == std::thread::id{}) main();
  return r.mainThread.load() == std::this_thread::get_id();
}

std::shared_ptr<RunLoop> startThread(std::string name, std::function<void()> body,
                                     bool runLoopAfterBody) {
  std::promise<std::shared_ptr<RunLoop>> ready;
  auto loopFuture = ready.get_future();
  auto &r = detail::registry();
  {
    std::lock_guard lock(r.mutex);
    ++r.liveWorkers;
  }
  std::thread([name = std::move(name), body = std::move(body), runLoopAfterBody,
               ready = std::move(ready)]() mutable {
    setCurrentThreadName(name);
    auto loop = RunLoop::current();
    {
      auto &r = detail::registry();
      std::lock_guard lock(r.mutex);
      std::erase_if(r.workerLoops, [](const auto &w) { return w.expired(); });
      r.workerLoops.push_back(loop);
    }
    ready.set_value(loop);
    if (body) body();
    if (runLoopAfterBody) loop->run();
    auto &r = detail::registry();
    std::unique_lock lock(r.mutex);
    if (!r.ending) {
      // The loop and what its handlers hold go now, while the process is still whole: this
      // worker still counts as live, so a process that is ending waits for it before it destroys
      // its static objects (counted out first, it raced them).
      lock.unlock();
      body = nullptr;
      loop.reset();
      detail::threadLoop.reset();
      lock.lock();
    }
    --r.liveWorkers;
    r.workerEnded.notify_all();
    if (r.ending) {
      for (;;)
        r.workerEnded.wait(lock);
    }
  }).detach();
  return loopFuture.get();
}

bool stopWorkerThreads(std::chrono::milliseconds limit) {
  auto &r = detail::registry();
  std::vector<std::shared_ptr<RunLoop>> loops;
  {
    std::lock_guard lock(r.mutex);
    r.ending = true;
    for (auto &w : r.workerLoops)
      if (auto l = w.lock()) loops.push_back(std::move(l));
  }
  for (auto &l : loops)
    l->stop();
  loops.clear();
  std::unique_lock lock(r.mutex);
  return r.workerEnded.wait_for(lock, limit, [&r] { return r.liveWorkers == 0; });
}

} // namespace platform
