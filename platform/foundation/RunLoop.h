// A run loop per thread, built on an Asio io_context. The main thread's loop holds the screens,
// the sharing servers and the queue's timers; every FTP connection runs a loop of its own thread.
#pragma once

#include "platform/foundation/Clock.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace platform {

class RunLoop;

// A one-shot or repeating timer on a run loop. Fires on the loop's thread; deadlines are read
// from Clock::current(). A one-shot timer is invalid once it fired (unless its callback set a new
// fire date). A repeating timer that fell behind fires once and then keeps to its schedule: missed
// ticks are not made up. Timers due at one moment fire in deadline order, then posting order.
class Timer {
public:
  virtual ~Timer() = default;
  virtual void invalidate() = 0; // callable from any thread; no fire starts after it returns
  virtual bool isValid() const = 0;
  virtual Duration interval() const = 0;
  virtual TimePoint fireDate() const = 0;
  virtual void setFireDate(TimePoint when) = 0;
};
using TimerRef = std::shared_ptr<Timer>;

// Readiness of a file descriptor, delivered on the loop's thread until removed.
enum class FdEvent : unsigned { Read = 1, Write = 2 };
class FdSource {
public:
  virtual ~FdSource() = default;
  // Which events to watch; the callback fires (level-triggered) while the fd is ready for them.
  virtual void setEvents(unsigned fdEventMask) = 0;
  virtual void remove() = 0; // stop watching; does not close the fd
};
using FdSourceRef = std::shared_ptr<FdSource>;

class RunLoop : public std::enable_shared_from_this<RunLoop> {
public:
  virtual ~RunLoop() = default;

  // The loop of the calling thread, made on first use.
  static std::shared_ptr<RunLoop> current();
  // The main thread's loop. The main thread is the one that called makeMainThread() (the program
  // and the test main do so first), else the first thread that asked.
  static std::shared_ptr<RunLoop> main();
  static void makeMainThread();
  static bool isMainThread();

  virtual bool isCurrent() const = 0; // called on this loop's thread
  virtual std::thread::id threadId() const = 0;

  // Runs fn on this loop's thread, in FIFO order of posting, without waiting.
  virtual void perform(std::function<void()> fn) = 0;
  // Runs fn on this loop's thread and returns after it ran. Inline when called on that thread.
  // Allowed only from a worker towards the main loop (never main towards a worker): it aborts in
  // debug builds otherwise, since that is how deadlocks are made.
  virtual void performAndWait(std::function<void()> fn) = 0;
  // Runs fn after a delay; delayed performs with one deadline keep the order of posting.
  virtual TimerRef performAfter(Duration delay, std::function<void()> fn) = 0;
  // Timer scheduled on this loop: repeats every `interval` when `repeats`, else fires once.
  virtual TimerRef addTimer(Duration interval, bool repeats, std::function<void(Timer &)> fn) = 0;
  // Watches fd for readiness (fdEventMask of FdEvent bits).
  virtual FdSourceRef addFdSource(int fd, unsigned fdEventMask,
                                  std::function<void(unsigned readyEvents)> fn) = 0;

  // Runs until stop() (must be called on this loop's thread).
  virtual void run() = 0;
  // Runs until cond() is true (checked after each piece of work, and every few milliseconds
  // while idle, so another thread may make it true) or the real-time limit passed;
  // returns cond(). For tests and for the main thread's modal waits.
  virtual bool runUntil(const std::function<bool()> &cond, Duration realTimeLimit) = 0;
  // Runs what is ready now, without waiting; returns the number of handlers run.
  virtual size_t runPending() = 0;
  virtual void stop() = 0; // any thread

  // Re-examines timers after the clock moved (ManualClock calls it on every loop).
  virtual void clockMoved() = 0;

  // How many pieces of work (posted functions, timer fires, file-descriptor callbacks) the loop
  // has run: while it stays the same, nothing ran on the loop's thread. Any thread.
  virtual uint64_t workDone() const = 0;
};

// A detached worker thread with a run loop of its own: body runs first on it, then the loop
// runs until stop(). The phone's detached threads (connection threads, SFTP work) are these.
std::shared_ptr<RunLoop> startThread(std::string name, std::function<void()> body,
                                     bool runLoopAfterBody = true);

// Waits, at most `limit`, until every worker thread that startThread made has come back from its
// body (one running its loop counts as idle) and no dispatch block is queued or running; says
// whether that came. Called on the main thread, it runs the main loop meanwhile: workers hand it
// their results, some waiting for it. Tests: a case lets the work it started end before it takes
// away what that work uses (its settings, its folders).
bool waitForBackgroundWork(Duration limit);

// Ends the process's background work before it destroys its static objects (a worker still
// running then would use them after they are gone); a process calls it before it returns from
// main, after its last screen let go. Within `limit` in all: no dispatch queue but the main one
// takes a new block, the blocks queued and running finish, and the run loop of every worker
// thread that startThread made stops, and each such thread ends or parks (a stopped worker stays
// parked, running nothing, until the process ends). What is still queued at the limit is dropped.
// Called on the main thread, the main loop runs while it waits, since workers hand it their
// results. Returns whether everything ended in time; when not, something still runs (a block
// stuck on the network, say), and the process should end without destroying its static objects.
bool stopWorkerThreads(std::chrono::milliseconds limit);

} // namespace platform
