#include "platform/foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace platform;

TEST(NotificationCenter, DeliversByNameAndSenderInRegistrationOrder) {
  NotificationCenter nc;
  int player1 = 0, player2 = 0, me = 0, other = 0;
  std::string log;
  nc.addObserver(&me, "MoviePlayerFinished", &player1, [&](const Notification &n) {
    EXPECT_EQ(n.object, &player1);
    log += "a";
  });
  nc.addObserver(&me, "MoviePlayerFinished", nullptr, [&](const Notification &) { log += "b"; });
  nc.addObserver(&other, "", &player2, [&](const Notification &) { log += "c"; });
  nc.addObserver(&other, "ReachabilityChanged", nullptr,
                 [&](const Notification &n) { log += "d" + n.userInfo.at("status"); });

  nc.post("MoviePlayerFinished", &player1);
  EXPECT_EQ(log, "ab");
  log.clear();
  nc.post("MoviePlayerFinished", &player2); // sender-specific "a" does not match; "c" any name
  EXPECT_EQ(log, "bc");
  log.clear();
  nc.post("ReachabilityChanged", nullptr, {{"status", "2"}});
  EXPECT_EQ(log, "d2");
  log.clear();
  nc.post("Unrelated");
  EXPECT_EQ(log, "");
}

TEST(NotificationCenter, RemovingStopsDeliveryAlsoFromInsideAHandler) {
  NotificationCenter nc;
  int me = 0, player = 0, other = 0;
  int calls = 0, otherCalls = 0;
  nc.addObserver(&me, "Finished", &player, [&](const Notification &) {
    ++calls;
    nc.removeObserver(&me, "Finished", &player); // stop observing that player
    nc.removeObserver(&other);                   // and a later observer of the same post
  });
  nc.addObserver(&other, "Finished", nullptr, [&](const Notification &) { ++otherCalls; });
  nc.post("Finished", &player);
  nc.post("Finished", &player);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(otherCalls, 0);
  EXPECT_EQ(nc.observerCount(), 0u);

  // A handler may also post and observe.
  nc.addObserver(&me, "First", nullptr, [&](const Notification &) { nc.post("Second"); });
  nc.addObserver(&me, "Second", nullptr, [&](const Notification &) { ++calls; });
  nc.post("First");
  EXPECT_EQ(calls, 2);
  nc.removeObserver(&me);
  EXPECT_EQ(nc.observerCount(), 0u);
}

TEST(NotificationCenter, DeliversOnThePostingThread) {
  auto &nc = NotificationCenter::defaultCenter();
  int me = 0;
  std::thread::id seenOn;
  nc.addObserver(&me, "FromWorker", nullptr,
                 [&](const Notification &) { seenOn = std::this_thread::get_id(); });
  std::thread::id workerId;
  std::thread worker([&] {
    workerId = std::this_thread::get_id();
    nc.post("FromWorker");
  });
  worker.join();
  EXPECT_EQ(seenOn, workerId);
  nc.removeObserver(&me);
}

TEST(NotificationCenter, ConcurrentPostsAndRegistrationsAreSafe) {
  NotificationCenter nc;
  std::atomic<int> calls{0};
  int keeper = 0;
  nc.addObserver(&keeper, "Tick", nullptr, [&](const Notification &) { ++calls; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      int self = 0;
      for (int i = 0; i < 200; ++i) {
        nc.addObserver(&self, "Tick", nullptr, [](const Notification &) {});
        nc.post("Tick", nullptr, {{"t", std::to_string(t)}});
        nc.removeObserver(&self);
      }
    });
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(calls.load(), 800);
  EXPECT_EQ(nc.observerCount(), 1u);
}
