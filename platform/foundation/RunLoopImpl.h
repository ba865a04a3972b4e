// The run loop's engine: an Asio io_context per loop. Internal to platform/foundation.
//
// Work posted with perform() goes into a queue of our own and each post wakes the io_context
// with one "take the next item" handler, so the order of posting is the order of running, no
// matter which thread posted or whether the poster itself runs on the loop. Timers live in a
// deadline-ordered set read against Clock::current(); only with a real clock does the loop arm an
// Asio steady_timer for the earliest deadline. With a manual clock nothing waits on real time:
// advancing the clock wakes the loop, which fires what came due.
#pragma once

#include "platform/foundation/RunLoop.h"

// ThreadSanitizer cannot see through Asio's memory fences (and warns on each); our handlers
// always pass through Asio's mutex-guarded queues, which order them without the fences.
#if defined(__SANITIZE_THREAD__) && !defined(ASIO_DISABLE_FENCED_BLOCK)
#define ASIO_DISABLE_FENCED_BLOCK
#endif
#include <asio.hpp>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

namespace platform::detail {

class RunLoopImpl;

class TimerImpl final : public Timer, public std::enable_shared_from_this<TimerImpl> {
public:
  TimerImpl(std::weak_ptr<RunLoopImpl> loop, Duration interval, bool repeats,
            std::function<void(Timer &)> fn)
      : loop_(std::move(loop)), interval_(interval), repeats_(repeats), fn_(std::move(fn)) {}

  void invalidate() override;
  bool isValid() const override { return valid_.load(); }
  Duration interval() const override { return interval_; }
  TimePoint fireDate() const override;
  void setFireDate(TimePoint when) override;

private:
  friend class RunLoopImpl;
  std::weak_ptr<RunLoopImpl> loop_;
  const Duration interval_;
  const bool repeats_;
  std::function<void(Timer &)> fn_; // touched only on the loop's thread once scheduled
  std::atomic<bool> valid_{true};
  bool firing_ = false; // loop thread only
  // Guarded by the loop's timer mutex.
  TimePoint deadline_{};
  uint64_t seq_ = 0;
  bool scheduled_ = false;
};

class FdSourceImpl final : public FdSource, public std::enable_shared_from_this<FdSourceImpl> {
public:
  FdSourceImpl(std::weak_ptr<RunLoopImpl> loop, int fd, unsigned mask,
               std::function<void(unsigned)> fn)
      : loop_(std::move(loop)), fd_(fd), mask_(mask), fn_(std::move(fn)) {}

  void setEvents(unsigned fdEventMask) override;
  void remove() override;

private:
  friend class RunLoopImpl;
  // Everything below is touched only on the loop's thread.
  void start();
  void arm();
  void armOne(FdEvent ev);
  void completed(FdEvent ev, bool ok);
  void shutdown();

  std::weak_ptr<RunLoopImpl> loop_;
  const int fd_;
  unsigned mask_;
  std::function<void(unsigned)> fn_;
  asio::posix::stream_descriptor *desc_ = nullptr; // shared per fd, owned by the loop
  bool firing_ = false;
  bool armedRead_ = false;
  bool armedWrite_ = false;
  bool removed_ = false;
};

class RunLoopImpl final : public RunLoop {
public:
  RunLoopImpl();
  ~RunLoopImpl() override;

  // Binds the loop to the calling thread (done once, by the thread that owns it).
  void bindToCurrentThread();
  std::shared_ptr<RunLoopImpl> selfImpl() {
    return std::static_pointer_cast<RunLoopImpl>(shared_from_this());
  }

  bool isCurrent() const override;
  std::thread::id threadId() const override;

  void perform(std::function<void()> fn) override;
  void performAndWait(std::function<void()> fn) override;
  TimerRef performAfter(Duration delay, std::function<void()> fn) override;
  TimerRef addTimer(Duration interval, bool repeats, std::function<void(Timer &)> fn) override;
  FdSourceRef addFdSource(int fd, unsigned fdEventMask,
                          std::function<void(unsigned readyEvents)> fn) override;

  void run() override;
  bool runUntil(const std::function<bool()> &cond, Duration realTimeLimit) override;
  size_t runPending() override;
  void stop() override;
  void clockMoved() override;
  uint64_t workDone() const override { return workDone_.load(std::memory_order_relaxed); }
  // A piece of work is about to run (loop thread).
  void countWork() { workDone_.fetch_add(1, std::memory_order_relaxed); }

  // Timer bookkeeping (any thread).
  void scheduleTimer(const std::shared_ptr<TimerImpl> &t, TimePoint when);
  void unscheduleTimer(TimerImpl &t);
  // Runs fn on the loop's thread: inline when already there, else through the io_context.
  void onLoopThread(std::function<void()> fn);

  asio::io_context &context() { return ctx_; }

  // Loop thread only.
  asio::posix::stream_descriptor *acquireDescriptor(int fd);
  void releaseDescriptor(int fd);
  void forgetSource(const std::shared_ptr<FdSourceImpl> &src);

private:
  friend class TimerImpl;
  struct Key {
    TimePoint when;
    uint64_t seq;
    bool operator<(const Key &o) const { return when != o.when ? when < o.when : seq < o.seq; }
  };

  void runNextItem();
  void requestTimerCheck(); // any thread
  void rearm();             // loop thread: arm the real-time wake for the earliest deadline
  void fireDue();           // loop thread: fire one due timer, then look again

  // Not hinted as single-threaded: with that hint Asio keeps what a handler posts in a private
  // queue until the handler returns, so a modal runUntil() inside a handler would never see it.
  asio::io_context ctx_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{ctx_.get_executor()};
  std::atomic<std::thread::id> thread_{};

  std::mutex queueMutex_;
  std::deque<std::function<void()>> queue_;

  std::mutex timerMutex_;
  std::map<Key, std::shared_ptr<TimerImpl>> timers_;
  uint64_t nextSeq_ = 0;
  std::atomic<bool> timerCheckPending_{false};
  asio::steady_timer wake_{ctx_};
  // When wake_ is set to go off (loop thread only); none when it is not waiting.
  std::optional<TimePoint> wakeAt_;

  // Loop thread only.
  struct Descriptor {
    std::unique_ptr<asio::posix::stream_descriptor> desc;
    int refs = 0;
  };
  std::set<std::shared_ptr<FdSourceImpl>> sources_;
  std::map<int, Descriptor> descriptors_;

  std::atomic<bool> stopRequested_{false};
  std::atomic<uint64_t> workDone_{0};
};

// Registry of live loops, so that a moved clock reaches all of them.
void registerLoop(const std::shared_ptr<RunLoopImpl> &loop);
// The main loop, when there is one yet.
std::shared_ptr<RunLoopImpl> mainLoopIfSet();

// The dispatch queues' part of stopWorkerThreads: no new blocks, the queued and running ones
// finish until the deadline, then what is still queued is dropped and the free threads joined.
// Whether every block had ended.
bool endDispatchWork(std::chrono::steady_clock::time_point deadline);
// No block queued or running right now; waits until so (or the deadline) off the main thread.
bool dispatchIdle();
bool waitDispatchIdle(std::chrono::steady_clock::time_point deadline);

} // namespace platform::detail
