// Which loop belongs to which thread, which one is the main loop, and waking them all when the
// clock moves.
#include "platform/foundation/RunLoopImpl.h"
#include "platform/foundation/Thread.h"

#include <condition_variable>
#include <future>
#include <map>
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
  int runningBodies = 0; // workers that have not yet come back from their body
  bool ending = false;
  std::condition_variable workerEnded;
  std::vector<std::weak_ptr<RunLoop>> workerLoops;
  // A worker that has counted itself out still runs its thread's own clean-up (the per-thread
  // state of the libraries it used) until it has ended. It is joined by whoever looks next, and
  // by the end of the process: a process that exits meanwhile cuts that clean-up short.
  std::map<std::thread::id, std::thread> threads;
  std::vector<std::thread> exited;
};

// Never destroyed: workers left parked may still use it while the process exits.
Registry &registry() {
  static auto *r = new Registry;
  return *r;
}

thread_local std::shared_ptr<RunLoopImpl> threadLoop;

void joinExitedWorkers() {
  std::vector<std::thread> done;
  {
    auto &r = registry();
    std::lock_guard lock(r.mutex);
    done.swap(r.exited);
  }
  for (auto &t : done)
    t.join();
}

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
  detail::joinExitedWorkers();
  auto &r = detail::registry();
  std::unique_lock started(r.mutex);
  ++r.liveWorkers;
  ++r.runningBodies;
  // Made under the lock, so the thread finds itself in `threads` when it leaves.
  std::thread worker([name = std::move(name), body = std::move(body), runLoopAfterBody,
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
    auto &r = detail::registry();
    {
      std::lock_guard lock(r.mutex);
      --r.runningBodies;
      r.workerEnded.notify_all();
    }
    if (runLoopAfterBody) loop->run();
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
    if (!r.ending) {
      auto self = r.threads.find(std::this_thread::get_id());
      r.exited.push_back(std::move(self->second));
      r.threads.erase(self);
    }
    r.workerEnded.notify_all();
    if (r.ending) {
      for (;;)
        r.workerEnded.wait(lock);
    }
  });
  const auto id = worker.get_id();
  r.threads.emplace(id, std::move(worker));
  started.unlock();
  return loopFuture.get();
}

bool waitForBackgroundWork(Duration limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto &r = detail::registry();
  auto bodiesDone = [&r] {
    std::lock_guard lock(r.mutex);
    return r.runningBodies == 0;
  };
  auto main = detail::mainLoopIfSet();
  if (main && main->isCurrent()) {
    // Each may hand work to the other, and either may wait for the main thread.
    return main->runUntil([&] { return bodiesDone() && detail::dispatchIdle(); }, limit);
  }
  // Off the main thread nobody waits for it: the bodies first, then the blocks.
  {
    std::unique_lock lock(r.mutex);
    if (!r.workerEnded.wait_until(lock, deadline, [&r] { return r.runningBodies == 0; }))
      return false;
  }
  return detail::waitDispatchIdle(deadline) && bodiesDone();
}

bool stopWorkerThreads(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // The dispatch queues first: their blocks may still hand work to a connection thread.
  const bool blocksEnded = detail::endDispatchWork(deadline);
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
  auto allEnded = [&r] {
    std::lock_guard lock(r.mutex);
    return r.liveWorkers == 0;
  };
  // A worker may be waiting for the main thread (performAndWait): on it, the main loop runs on.
  auto main = detail::mainLoopIfSet();
  if (main && main->isCurrent()) {
    const auto left = std::max<Duration>(deadline - std::chrono::steady_clock::now(), {});
    const bool ended = main->runUntil(allEnded, left);
    detail::joinExitedWorkers();
    return ended && blocksEnded;
  }
  bool ended;
  {
    std::unique_lock lock(r.mutex);
    ended = r.workerEnded.wait_until(lock, deadline, [&r] { return r.liveWorkers == 0; });
  }
  detail::joinExitedWorkers();
  return ended && blocksEnded;
}

} // namespace platform
