#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Thread.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

using namespace platform;
using namespace std::chrono_literals;

namespace {

// Generous: only a broken loop ever waits this long.
constexpr Duration kLimit = std::chrono::seconds(20);

class RunLoopTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    clock = std::make_shared<ManualClock>();
    Clock::install(clock);
    loop = RunLoop::main();
    loop->runPending();
  }
  void TearDown() override {
    loop->runPending();
    Clock::install(nullptr);
  }
  bool runUntil(const std::function<bool()> &cond) { return loop->runUntil(cond, kLimit); }

  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<RunLoop> loop;
};

// A worker loop that stops itself when the test is done with it.
struct Worker {
  std::shared_ptr<RunLoop> loop;
  explicit Worker(const std::string &name) { loop = startThread(name, nullptr, true); }
  ~Worker() { loop->stop(); }
};

} // namespace

// --- Posting --------------------------------------------------------------------------------

TEST_F(RunLoopTest, PostsFromSeveralThreadsRunInFifoOrderPerPoster) {
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::vector<int>> seen(kThreads); // touched only on the main thread
  std::atomic<int> total{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        loop->perform([&, t, i] {
          EXPECT_TRUE(RunLoop::isMainThread());
          seen[t].push_back(i);
          ++total;
        });
    });
  }
  EXPECT_TRUE(runUntil([&] { return total.load() == kThreads * kEach; }));
  for (auto &p : posters)
    p.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), size_t(kEach));
    for (int i = 0; i < kEach; ++i)
      ASSERT_EQ(seen[t][i], i) << "poster " << t;
  }
}

TEST_F(RunLoopTest, PostFromTheLoopItselfKeepsItsPlaceAgainstLaterPostsFromOtherThreads) {
  // The loop posts A to itself, then lets a worker post B while the handler is still running:
  // A was posted first, so A runs first.
  std::vector<char> order;
  std::atomic<bool> aPosted{false}, bPosted{false};
  std::thread worker([&] {
    while (!aPosted.load())
      std::this_thread::yield();
    loop->perform([&] { order.push_back('B'); });
    bPosted = true;
  });
  loop->perform([&] {
    loop->perform([&] { order.push_back('A'); });
    aPosted = true;
    while (!bPosted.load())
      std::this_thread::yield();
  });
  EXPECT_TRUE(runUntil([&] { return order.size() == 2; }));
  worker.join();
  EXPECT_EQ(std::string(order.begin(), order.end()), "AB");
}

TEST_F(RunLoopTest, RunPendingRunsWhatIsReadyAndReturnsAtOnce) {
  int ran = 0;
  for (int i = 0; i < 3; ++i)
    loop->perform([&] { ++ran; });
  EXPECT_GE(loop->runPending(), 3u);
  EXPECT_EQ(ran, 3);
  EXPECT_EQ(loop->runPending(), 0u);
  // A condition never met: runUntil gives up after its limit and says so.
  EXPECT_FALSE(loop->runUntil([] { return false; }, 20ms));
}

TEST_F(RunLoopTest, WaitingPostFromWorkerRunsOnMainAndReturnsItsEffect) {
  std::atomic<int> seenByWorker{-1};
  std::atomic<bool> ranOnMain{false};
  int value = 0; // main-thread data
  startThread(
      "waiter",
      [&] {
        RunLoop::main()->performAndWait([&] {
          ranOnMain = RunLoop::isMainThread();
          value = 42;
        });
        seenByWorker = value; // the effect is visible as soon as the wait returns
      },
      false);
  EXPECT_TRUE(runUntil([&] { return seenByWorker.load() != -1; }));
  EXPECT_TRUE(ranOnMain.load());
  EXPECT_EQ(seenByWorker.load(), 42);
}

TEST_F(RunLoopTest, WaitingPostToOwnThreadRunsInline) {
  bool ran = false;
  loop->performAndWait([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(loop->runPending(), 0u);
}

#ifndef NDEBUG
TEST_F(RunLoopTest, WaitingPostFromMainToWorkerAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto w = startThread("victim", nullptr, true);
        w->performAndWait([] {});
      },
      "deadlock");
}
#endif

TEST_F(RunLoopTest, WorkerThreadRunsBodyThenItsLoopUntilStopped) {
  std::atomic<bool> bodyRan{false}, exited{false};
  std::string name;
  std::shared_ptr<RunLoop> w = startThread(
      "conn-worker",
      [&] {
        name = currentThreadName();
        bodyRan = true;
      },
      true);
  EXPECT_FALSE(w->isCurrent());
  EXPECT_NE(w->threadId(), std::this_thread::get_id());
  std::atomic<bool> onWorker{false};
  w->perform([&] {
    onWorker = w->isCurrent() && !RunLoop::isMainThread() && RunLoop::current() == w;
    RunLoop::main()->perform([&] { exited = true; });
  });
  EXPECT_TRUE(runUntil([&] { return exited.load(); }));
  EXPECT_TRUE(bodyRan.load());
  EXPECT_TRUE(onWorker.load());
  EXPECT_EQ(name, "conn-worker");
  w->stop();
}

TEST_F(RunLoopTest, StopBeforeRunMakesRunReturn) {
  std::atomic<bool> after{false};
  startThread(
      "stopper2",
      [&] {
        RunLoop::current()->stop();
        RunLoop::current()->run(); // returns at once
        after = true;
      },
      false);
  EXPECT_TRUE(runUntil([&] { return after.load(); }));
}

TEST_F(RunLoopTest, ModalWaitInsideAHandlerSeesWorkPostedBeforeIt) {
  // A handler that waits on its own loop (a modal wait) must see the work it posted itself, a
  // timer that came due and fd readiness, although the outer handler has not returned yet.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  bool posted = false, timerFired = false, readable = false, outerDone = false;
  loop->perform([&] {
    loop->perform([&] { posted = true; });
    loop->addTimer(seconds(1), false, [&](Timer &) { timerFired = true; });
    auto src =
        loop->addFdSource(fds[0], unsigned(FdEvent::Read), [&](unsigned) { readable = true; });
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    clock->advance(seconds(1));
    EXPECT_TRUE(loop->runUntil([&] { return posted && timerFired && readable; }, kLimit));
    src->remove();
    outerDone = true;
  });
  EXPECT_TRUE(runUntil([&] { return outerDone; }));
  loop->runPending();
  ::close(fds[0]);
  ::close(fds[1]);
}

// --- Timers and delayed performs under the manual clock ------------------------------------

TEST_F(RunLoopTest, OneShotTimerFiresOnceWhenItsTimeComes) {
  int fired = 0;
  auto t = loop->addTimer(seconds(20), false, [&](Timer &) { ++fired; });
  EXPECT_TRUE(t->isValid());
  EXPECT_EQ(t->interval(), seconds(20));
  EXPECT_EQ(t->fireDate(), clock->now() + seconds(20));
  loop->runPending();
  clock->advance(seconds(19.9));
  loop->runPending();
  EXPECT_EQ(fired, 0);
  clock->advance(seconds(0.1));
  EXPECT_TRUE(runUntil([&] { return fired == 1; }));
  EXPECT_FALSE(t->isValid());
  clock->advance(seconds(100));
  loop->runPending();
  EXPECT_EQ(fired, 1);
}

TEST_F(RunLoopTest, RepeatingTimerRepeatsUntilInvalidated) {
  std::vector<TimePoint> fires;
  const auto start = clock->now();
  auto t = loop->addTimer(seconds(10), true, [&](Timer &) { fires.push_back(clock->now()); });
  for (int i = 1; i <= 3; ++i) {
    clock->advance(seconds(10));
    EXPECT_TRUE(runUntil([&] { return fires.size() == size_t(i); }));
  }
  EXPECT_EQ(fires.back() - start, seconds(30));
  EXPECT_TRUE(t->isValid());
  EXPECT_EQ(t->fireDate() - start, seconds(40));
  t->invalidate();
  EXPECT_FALSE(t->isValid());
  clock->advance(seconds(60));
  loop->runPending();
  EXPECT_EQ(fires.size(), 3u);
}

TEST_F(RunLoopTest, RepeatingTimerDoesNotMakeUpMissedTicks) {
  int fired = 0;
  const auto start = clock->now();
  auto t = loop->addTimer(seconds(10), true, [&](Timer &) { ++fired; });
  clock->advance(seconds(35));
  EXPECT_TRUE(runUntil([&] { return fired == 1; }));
  loop->runPending();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(t->fireDate() - start, seconds(40));
  t->invalidate();
}

TEST_F(RunLoopTest, TimerThatInvalidatesItselfStops) {
  int fired = 0;
  auto t = loop->addTimer(seconds(1), true, [&](Timer &self) {
    if (++fired == 2) self.invalidate();
  });
  for (int i = 0; i < 5; ++i) {
    clock->advance(seconds(1));
    loop->runPending();
  }
  EXPECT_EQ(fired, 2);
  EXPECT_FALSE(t->isValid());
}

TEST_F(RunLoopTest, OneAdvanceFiresDueTimersInDeadlineOrder) {
  std::string order;
  auto c = loop->addTimer(seconds(30), false, [&](Timer &) { order += 'c'; });
  auto a = loop->addTimer(seconds(10), false, [&](Timer &) { order += 'a'; });
  auto b = loop->addTimer(seconds(20), false, [&](Timer &) { order += 'b'; });
  auto late = loop->addTimer(seconds(301), false, [&](Timer &) { order += 'x'; });
  clock->advance(seconds(300));
  EXPECT_TRUE(runUntil([&] { return order.size() == 3; }));
  loop->runPending();
  EXPECT_EQ(order, "abc");
  EXPECT_TRUE(late->isValid());
  late->invalidate();
}

TEST_F(RunLoopTest, DelayedPerformsWithOneDeadlineKeepTheirOrder) {
  std::vector<int> order;
  for (int i = 0; i < 50; ++i)
    loop->performAfter(seconds(5), [&, i] { order.push_back(i); });
  // An earlier deadline posted later still runs first.
  loop->performAfter(seconds(1), [&] { order.push_back(-1); });
  clock->advance(seconds(5));
  EXPECT_TRUE(runUntil([&] { return order.size() == 51; }));
  ASSERT_EQ(order.front(), -1);
  for (int i = 0; i < 50; ++i)
    EXPECT_EQ(order[i + 1], i);
}

TEST_F(RunLoopTest, SetFireDateMovesTheTimer) {
  int fired = 0;
  auto t = loop->addTimer(seconds(20), false, [&](Timer &) { ++fired; });
  t->setFireDate(clock->now() + seconds(45)); // e.g. a slower server's longer connect wait
  clock->advance(seconds(20));
  loop->runPending();
  EXPECT_EQ(fired, 0);
  clock->advance(seconds(25));
  EXPECT_TRUE(runUntil([&] { return fired == 1; }));
}

TEST_F(RunLoopTest, OneShotTimerGivenANewDateInItsCallbackFiresAgain) {
  int fired = 0;
  auto t = loop->addTimer(seconds(10), false, [&](Timer &self) {
    if (++fired == 1) self.setFireDate(clock->now() + seconds(5));
  });
  clock->advance(seconds(10));
  EXPECT_TRUE(runUntil([&] { return fired == 1; }));
  EXPECT_TRUE(t->isValid());
  clock->advance(seconds(5));
  EXPECT_TRUE(runUntil([&] { return fired == 2; }));
  EXPECT_FALSE(t->isValid());
}

TEST_F(RunLoopTest, InvalidatedDelayedPerformNeverRunsAndReleasesItsCapture) {
  auto token = std::make_shared<int>(7);
  std::weak_ptr<int> watch = token;
  bool ran = false;
  auto t = loop->performAfter(seconds(1), [&ran, token] { ran = true; });
  token.reset();
  t->invalidate();
  clock->advance(seconds(2));
  loop->runPending();
  EXPECT_FALSE(ran);
  EXPECT_TRUE(watch.expired());
}

TEST_F(RunLoopTest, AdvancingTheClockWakesWorkerLoops) {
  Worker w("timer-worker");
  std::atomic<int> fired{0};
  std::atomic<bool> added{false};
  TimerRef t;
  w.loop->perform([&] {
    t = RunLoop::current()->addTimer(seconds(300), true, [&](Timer &) { ++fired; });
    added = true;
  });
  EXPECT_TRUE(runUntil([&] { return added.load(); }));
  clock->advance(seconds(300));
  EXPECT_TRUE(runUntil([&] { return fired.load() == 1; }));
  clock->advance(seconds(300));
  EXPECT_TRUE(runUntil([&] { return fired.load() == 2; }));
  t->invalidate(); // from another thread than the timer's
  clock->advance(seconds(300));
  std::atomic<bool> drained{false};
  w.loop->perform([&] { drained = true; });
  EXPECT_TRUE(runUntil([&] { return drained.load(); }));
  EXPECT_EQ(fired.load(), 2);
}

TEST_F(RunLoopTest, TimerAddedFromAnotherThreadFiresOnTheLoopsThread) {
  std::atomic<bool> onMain{false}, fired{false};
  std::thread other([&] {
    loop->addTimer(seconds(1), false, [&](Timer &) {
      onMain = RunLoop::isMainThread();
      fired = true;
    });
  });
  other.join();
  clock->advance(seconds(1));
  EXPECT_TRUE(runUntil([&] { return fired.load(); }));
  EXPECT_TRUE(onMain.load());
}

TEST(RunLoopRealClock, DelayedPerformFiresOnRealTime) {
  RunLoop::makeMainThread();
  Clock::install(nullptr);
  auto loop = RunLoop::main();
  bool ran = false;
  loop->performAfter(std::chrono::milliseconds(5), [&] { ran = true; });
  EXPECT_TRUE(loop->runUntil([&] { return ran; }, kLimit));
}

// --- File-descriptor sources ----------------------------------------------------------------

TEST_F(RunLoopTest, ReadSourceIsLevelTriggeredUntilRemoved) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int calls = 0;
  unsigned lastEvents = 0;
  auto src = loop->addFdSource(fds[0], unsigned(FdEvent::Read), [&](unsigned ev) {
    ++calls;
    lastEvents = ev;
  });
  loop->runPending();
  EXPECT_EQ(calls, 0);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  EXPECT_TRUE(runUntil([&] { return calls >= 1; }));
  EXPECT_EQ(lastEvents, unsigned(FdEvent::Read));
  // Not read yet: still ready, so it is reported again.
  EXPECT_TRUE(runUntil([&] { return calls >= 3; }));
  char c;
  ASSERT_EQ(::read(fds[0], &c, 1), 1);
  src->remove();
  loop->runPending();
  const int after = calls;
  ASSERT_EQ(::write(fds[1], "y", 1), 1);
  loop->runPending();
  EXPECT_EQ(calls, after);
  // The source does not own the fd.
  EXPECT_EQ(::read(fds[0], &c, 1), 1);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(RunLoopTest, ReadinessThatArrivesLaterWakesTheLoop) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string got;
  auto src = loop->addFdSource(fds[0], unsigned(FdEvent::Read), [&](unsigned) {
    char buf[16];
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n > 0) got.append(buf, size_t(n));
  });
  loop->runPending();
  std::thread writer([&] {
    std::this_thread::sleep_for(10ms);
    ASSERT_EQ(::write(fds[1], "hello", 5), 5);
  });
  EXPECT_TRUE(runUntil([&] { return got == "hello"; }));
  writer.join();
  src->remove();
  loop->runPending();
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(RunLoopTest, ReadAndWriteSourcesOnOneSocketWorkSideBySide) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  int reads = 0, writes = 0;
  auto writer = loop->addFdSource(sv[0], unsigned(FdEvent::Write), [&](unsigned ev) {
    EXPECT_EQ(ev, unsigned(FdEvent::Write));
    ++writes;
  });
  auto reader = loop->addFdSource(sv[0], unsigned(FdEvent::Read), [&](unsigned ev) {
    EXPECT_EQ(ev, unsigned(FdEvent::Read));
    char c;
    if (::read(sv[0], &c, 1) == 1) ++reads;
  });
  EXPECT_TRUE(runUntil([&] { return writes >= 1; }));
  // Only want writability again later: switch the writer off.
  writer->setEvents(0);
  loop->runPending();
  const int w = writes;
  ASSERT_EQ(::write(sv[1], "a", 1), 1);
  EXPECT_TRUE(runUntil([&] { return reads == 1; }));
  EXPECT_EQ(writes, w);
  writer->remove(); // the reader keeps its registration
  loop->runPending();
  ASSERT_EQ(::write(sv[1], "b", 1), 1);
  EXPECT_TRUE(runUntil([&] { return reads == 2; }));
  reader->remove();
  loop->runPending();
  ::close(sv[0]);
  ::close(sv[1]);
}

TEST_F(RunLoopTest, SourceRemovedFromItsOwnCallbackStops) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  int calls = 0;
  FdSourceRef src;
  src = loop->addFdSource(fds[0], unsigned(FdEvent::Read), [&](unsigned) {
    ++calls;
    src->remove();
  });
  EXPECT_TRUE(runUntil([&] { return calls == 1; }));
  loop->runPending();
  loop->runPending();
  EXPECT_EQ(calls, 1);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(RunLoopTest, LoopOfAFinishedThreadGoesAwayLeavingItsFdsOpen) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  FdSourceRef src;
  std::weak_ptr<RunLoop> watch;
  std::thread worker([&] {
    auto loop = RunLoop::current();
    watch = loop;
    src = loop->addFdSource(fds[0], unsigned(FdEvent::Read), [](unsigned) {});
    loop->runPending();
  });
  worker.join(); // the thread ended and with it the last owner of its loop
  EXPECT_TRUE(watch.expired());
  src->remove(); // harmless now
  src->setEvents(unsigned(FdEvent::Write));
  EXPECT_NE(::fcntl(fds[0], F_GETFD), -1); // the source never owned the fd
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  char c;
  EXPECT_EQ(::read(fds[0], &c, 1), 1);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(RunLoopTest, RegularFileIsAlwaysReadable) {
  char path[] = "/tmp/ferrowen-runloop-XXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::unlink(path);
  int calls = 0;
  auto src = loop->addFdSource(fd, unsigned(FdEvent::Read), [&](unsigned) { ++calls; });
  EXPECT_TRUE(runUntil([&] { return calls >= 2; }));
  src->remove();
  loop->runPending();
  ::close(fd);
}

// What a loop has run shows in its count of work: each posted function, timer fire and readiness
// callback, and nothing while it waits (a renderer that finds the count unchanged skips its look).
TEST_F(RunLoopTest, WorkDoneCountsEveryPieceOfWorkAndNothingWhileIdle) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int ran = 0;
  auto counted = [&](const std::function<void()> &work) {
    loop->runPending();
    const uint64_t before = loop->workDone();
    const int ranBefore = ran;
    work();
    EXPECT_TRUE(runUntil([&] { return ran > ranBefore; }));
    return loop->workDone() - before;
  };
  EXPECT_GE(counted([&] { loop->perform([&] { ++ran; }); }), 1u) << "a posted function";
  EXPECT_GE(counted([&] { std::thread([&] { loop->perform([&] { ++ran; }); }).join(); }), 1u)
      << "a function posted from another thread";
  auto timer = loop->addTimer(seconds(1), false, [&](Timer &) { ++ran; });
  EXPECT_GE(counted([&] { clock->advance(seconds(1)); }), 1u) << "a timer";
  auto src = loop->addFdSource(fds[0], unsigned(FdEvent::Read), [&](unsigned) {
    char c;
    if (::read(fds[0], &c, 1) == 1) ++ran;
  });
  EXPECT_GE(counted([&] { ASSERT_EQ(::write(fds[1], "x", 1), 1); }), 1u) << "a readiness";
  src->remove();
  loop->runPending();
  const uint64_t idle = loop->workDone();
  loop->runUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(loop->workDone(), idle) << "nothing ran";
  ::close(fds[0]);
  ::close(fds[1]);
}
