#include "platform/foundation/RunLoopImpl.h"

#include <poll.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>

namespace platform::detail {

// ---------------------------------------------------------------------------------------------
// Timers

void TimerImpl::invalidate() {
  valid_.store(false);
  if (auto loop = loop_.lock()) {
    loop->unscheduleTimer(*this);
    // The callback may hold what keeps the timer's owner alive; let it go on the loop's thread,
    // and never while it is running (a timer commonly invalidates itself from its callback).
    loop->onLoopThread([self = shared_from_this()] {
      if (!self->firing_) self->fn_ = nullptr;
    });
  }
}

TimePoint TimerImpl::fireDate() const {
  if (auto loop = loop_.lock()) {
    std::lock_guard lock(loop->timerMutex_);
    return deadline_;
  }
  return deadline_;
}

void TimerImpl::setFireDate(TimePoint when) {
  if (!valid_.load()) return;
  if (auto loop = loop_.lock()) loop->scheduleTimer(shared_from_this(), when);
}

// ---------------------------------------------------------------------------------------------
// File-descriptor sources

void FdSourceImpl::setEvents(unsigned fdEventMask) {
  if (auto loop = loop_.lock()) {
    loop->onLoopThread([self = shared_from_this(), fdEventMask] {
      if (self->removed_) return;
      self->mask_ = fdEventMask;
      self->arm();
    });
  }
}

void FdSourceImpl::remove() {
  if (auto loop = loop_.lock()) {
    loop->onLoopThread([self = shared_from_this(), loop] {
      if (self->removed_) return;
      self->shutdown();
      loop->forgetSource(self);
    });
  }
}

void FdSourceImpl::start() {
  if (removed_) return;
  if (auto loop = loop_.lock()) desc_ = loop->acquireDescriptor(fd_);
  arm();
}

void FdSourceImpl::arm() {
  if (removed_) return;
  if ((mask_ & unsigned(FdEvent::Read)) && !armedRead_) armOne(FdEvent::Read);
  if ((mask_ & unsigned(FdEvent::Write)) && !armedWrite_) armOne(FdEvent::Write);
}

void FdSourceImpl::armOne(FdEvent ev) {
  auto loop = loop_.lock();
  if (!loop) return;
  bool &armed = ev == FdEvent::Read ? armedRead_ : armedWrite_;
  // Readiness that Asio's edge-triggered reactor already saw without a waiter would be lost to
  // a plain async_wait; asking poll() first keeps the source level-triggered.
  pollfd p{fd_, short(ev == FdEvent::Read ? POLLIN : POLLOUT), 0};
  int n = ::poll(&p, 1, 0);
  if (n > 0 && (p.revents & POLLNVAL)) return; // closed under us: nothing will ever come
  armed = true;
  auto self = shared_from_this();
  if (n > 0 && p.revents != 0) {
    asio::post(loop->context(), [self, ev] { self->completed(ev, true); });
  } else if (desc_) {
    desc_->async_wait(ev == FdEvent::Read ? asio::posix::descriptor_base::wait_read
                                          : asio::posix::descriptor_base::wait_write,
                      [self, ev](const asio::error_code &ec) {
                        self->completed(ev, ec != asio::error::operation_aborted);
                      });
  } else {
    armed = false; // cannot be watched by the reactor (and not ready now)
  }
}

void FdSourceImpl::completed(FdEvent ev, bool ok) {
  (ev == FdEvent::Read ? armedRead_ : armedWrite_) = false;
  if (removed_ || !ok) return;
  if (!(mask_ & unsigned(ev))) return;
  if (auto loop = loop_.lock()) loop->countWork();
  firing_ = true;
  fn_(unsigned(ev));
  firing_ = false;
  if (removed_) {
    fn_ = nullptr;
    return;
  }
  arm();
}

void FdSourceImpl::shutdown() {
  removed_ = true;
  if (desc_) {
    if (auto loop = loop_.lock()) loop->releaseDescriptor(fd_);
    desc_ = nullptr;
  }
  if (!firing_) fn_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// The loop

RunLoopImpl::RunLoopImpl() = default;

RunLoopImpl::~RunLoopImpl() {
  // Descriptors must go before the io_context they are registered with; the fds stay open
  // (they belong to whoever added the sources).
  for (auto &src : sources_) {
    src->removed_ = true;
    src->desc_ = nullptr;
  }
  sources_.clear();
  for (auto &[fd, entry] : descriptors_)
    entry.desc->release();
  descriptors_.clear();
}

void RunLoopImpl::bindToCurrentThread() {
  thread_.store(std::this_thread::get_id());
}

bool RunLoopImpl::isCurrent() const {
  return thread_.load() == std::this_thread::get_id();
}

std::thread::id RunLoopImpl::threadId() const {
  return thread_.load();
}

void RunLoopImpl::onLoopThread(std::function<void()> fn) {
  if (isCurrent())
    fn();
  else
    asio::post(ctx_, std::move(fn));
}

void RunLoopImpl::perform(std::function<void()> fn) {
  {
    std::lock_guard lock(queueMutex_);
    queue_.push_back(std::move(fn));
  }
  // One wake per item; the item itself is taken from our queue, so posting order is running
  // order whichever thread posted.
  asio::post(ctx_, [this] { runNextItem(); });
}

void RunLoopImpl::runNextItem() {
  std::function<void()> fn;
  {
    std::lock_guard lock(queueMutex_);
    if (queue_.empty()) return;
    fn = std::move(queue_.front());
    queue_.pop_front();
  }
  countWork();
  if (fn) fn();
}

void RunLoopImpl::performAndWait(std::function<void()> fn) {
  if (isCurrent()) {
    fn();
    return;
  }
#ifndef NDEBUG
  if (mainLoopIfSet().get() != this) {
    std::fputs("RunLoop::performAndWait: waiting on a thread other than the main thread from "
               "another thread is not allowed (deadlock)\n",
               stderr);
    std::abort();
  }
#endif
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  perform([&] {
    fn();
    std::lock_guard lock(m);
    done = true;
    cv.notify_all();
  });
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return done; });
}

TimerRef RunLoopImpl::performAfter(Duration delay, std::function<void()> fn) {
  return addTimer(delay, false, [fn = std::move(fn)](Timer &) { fn(); });
}

TimerRef RunLoopImpl::addTimer(Duration interval, bool repeats, std::function<void(Timer &)> fn) {
  if (interval < Duration::zero()) interval = Duration::zero();
  // A repeating timer with no interval would spin; the phone's timers take a tenth of a
  // millisecond as the least interval.
  if (repeats && interval < std::chrono::microseconds(100))
    interval = std::chrono::microseconds(100);
  auto t = std::make_shared<TimerImpl>(selfImpl(), interval, repeats, std::move(fn));
  scheduleTimer(t, Clock::currentShared()->now() + interval);
  return t;
}

void RunLoopImpl::scheduleTimer(const std::shared_ptr<TimerImpl> &t, TimePoint when) {
  {
    std::lock_guard lock(timerMutex_);
    if (!t->valid_.load()) return;
    if (t->scheduled_) timers_.erase(Key{t->deadline_, t->seq_});
    t->deadline_ = when;
    t->seq_ = nextSeq_++;
    t->scheduled_ = true;
    timers_.emplace(Key{when, t->seq_}, t);
  }
  requestTimerCheck();
}

void RunLoopImpl::unscheduleTimer(TimerImpl &t) {
  std::lock_guard lock(timerMutex_);
  if (t.scheduled_) {
    t.scheduled_ = false;
    timers_.erase(Key{t.deadline_, t.seq_}); // may drop the last reference but one: caller holds t
  }
}

void RunLoopImpl::clockMoved() {
  requestTimerCheck();
}

void RunLoopImpl::requestTimerCheck() {
  if (!timerCheckPending_.exchange(true)) asio::post(ctx_, [this] { fireDue(); });
}

void RunLoopImpl::fireDue() {
  timerCheckPending_.store(false);
  std::shared_ptr<TimerImpl> t;
  {
    std::lock_guard lock(timerMutex_);
    const TimePoint now = Clock::currentShared()->now();
    if (timers_.empty() || timers_.begin()->first.when > now) {
      t = nullptr;
    } else {
      auto it = timers_.begin();
      t = it->second;
      timers_.erase(it);
      t->scheduled_ = false;
      if (t->repeats_) {
        // Missed ticks are not made up: the next one is the first scheduled tick in the future.
        TimePoint next = t->deadline_ + t->interval_;
        if (next <= now) next += ((now - next) / t->interval_ + 1) * t->interval_;
        t->deadline_ = next;
        t->seq_ = nextSeq_++;
        t->scheduled_ = true;
        timers_.emplace(Key{next, t->seq_}, t);
      }
    }
  }
  if (!t) {
    rearm();
    return;
  }
  if (t->valid_.load() && t->fn_) {
    countWork();
    t->firing_ = true;
    t->fn_(*t);
    t->firing_ = false;
  }
  if (!t->repeats_) {
    // A one-shot timer is spent once it fired, unless its callback gave it a new fire date.
    std::lock_guard lock(timerMutex_);
    if (!t->scheduled_) t->valid_.store(false);
  }
  if (!t->valid_.load()) t->fn_ = nullptr;
  // Each due timer is a piece of work of its own: runUntil looks at its condition in between.
  requestTimerCheck();
}

void RunLoopImpl::rearm() {
  auto clock = Clock::currentShared();
  TimePoint earliest;
  {
    std::lock_guard lock(timerMutex_);
    if (timers_.empty() || clock->isManual()) {
      if (wakeAt_) wake_.cancel();
      wakeAt_.reset();
      return;
    }
    earliest = timers_.begin()->first.when;
  }
  const TimePoint now = clock->now();
  const TimePoint when = std::max(earliest, now);
  // A wake that comes no later than needed stays: coming early it only checks and sets the next
  // one. Timers pushed back again and again (timeouts restarted by every event) thus cost no
  // system call each.
  if (wakeAt_ && *wakeAt_ <= when) return;
  wakeAt_ = when;
  wake_.expires_after(when - now);
  wake_.async_wait([this](const asio::error_code &ec) {
    if (ec == asio::error::operation_aborted) return;
    wakeAt_.reset();
    requestTimerCheck();
  });
}

FdSourceRef RunLoopImpl::addFdSource(int fd, unsigned fdEventMask,
                                     std::function<void(unsigned readyEvents)> fn) {
  auto src = std::make_shared<FdSourceImpl>(selfImpl(), fd, fdEventMask, std::move(fn));
  onLoopThread([this, src] {
    sources_.insert(src);
    src->start();
  });
  return src;
}

asio::posix::stream_descriptor *RunLoopImpl::acquireDescriptor(int fd) {
  auto it = descriptors_.find(fd);
  if (it != descriptors_.end()) {
    ++it->second.refs;
    return it->second.desc.get();
  }
  // Sources on one fd (a socket's read and write side) share one registration with the reactor.
  auto desc = std::make_unique<asio::posix::stream_descriptor>(ctx_);
  asio::error_code ec;
  desc->assign(fd, ec);
  if (ec) return nullptr;
  auto *raw = desc.get();
  descriptors_.emplace(fd, Descriptor{std::move(desc), 1});
  return raw;
}

void RunLoopImpl::releaseDescriptor(int fd) {
  auto it = descriptors_.find(fd);
  if (it == descriptors_.end()) return;
  if (--it->second.refs > 0) return;
  it->second.desc->release(); // cancels its waits; the fd itself stays open
  descriptors_.erase(it);
}

void RunLoopImpl::forgetSource(const std::shared_ptr<FdSourceImpl> &src) {
  sources_.erase(src);
}

void RunLoopImpl::run() {
  while (!stopRequested_.load())
    ctx_.run_one();
  stopRequested_.store(false);
}

bool RunLoopImpl::runUntil(const std::function<bool()> &cond, Duration realTimeLimit) {
  const auto deadline = std::chrono::steady_clock::now() + realTimeLimit;
  for (;;) {
    if (cond()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return cond();
    // The condition may be made true by another thread without waking this loop, so look at
    // it again every few milliseconds even when no work arrives.
    ctx_.run_one_for(std::min<Duration>(deadline - now, std::chrono::milliseconds(2)));
  }
}

size_t RunLoopImpl::runPending() {
  size_t n = 0;
  while (ctx_.poll_one())
    ++n;
  return n;
}

void RunLoopImpl::stop() {
  stopRequested_.store(true);
  asio::post(ctx_, [] {}); // wake run_one
}

} // namespace platform::detail
