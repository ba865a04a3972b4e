// Progress reporting on an injected millisecond tick: percent scaling and rises, abort answers,
// timed abort checks and heartbeats, and the transfer-rate meter.
#include "sshlib/core/LogNull.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/TickSource.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

unsigned int g_now = 0;
unsigned int fakeTick() {
  return g_now;
}

class Recorder : public ProgressEvent {
public:
  void UpdatePct(int pct, bool &abort) override {
    pcts.push_back(pct);
    abort = abortAtPct != 0 && pct >= abortAtPct;
  }
  void AbortCheck(bool &abort) override {
    ++abortChecks;
    abort = abortOnCheck;
  }
  void Heartbeat(int value, bool &abort) override {
    heartbeats.push_back(value);
    abort = abortOnHeartbeat;
  }
  void peSendRate(unsigned int bytes, unsigned int rate) override { sent.push_back({bytes, rate}); }
  void peReceiveRate(unsigned int bytes, unsigned int rate) override {
    received.push_back({bytes, rate});
  }
  void peProgressInfo(const char *name, const char *value) override {
    info += std::string(name) + "=" + value + ";";
  }
  std::vector<int> pcts;
  std::vector<int> heartbeats;
  std::vector<std::pair<unsigned int, unsigned int>> sent, received;
  std::string info;
  int abortChecks = 0;
  int abortAtPct = 0;
  bool abortOnCheck = false;
  bool abortOnHeartbeat = false;
};

class Progress : public ::testing::Test {
protected:
  void SetUp() override {
    g_now = 100000;
    TickSource::setSource(&fakeTick);
  }
  void TearDown() override { TickSource::setSource(nullptr); }
};

TEST_F(Progress, PercentScaling) {
  EXPECT_EQ(ProgressMonitor::percentConsumed64(5, 0), 100);
  EXPECT_EQ(ProgressMonitor::percentConsumed64(0, -1), 100);
  EXPECT_EQ(ProgressMonitor::percentConsumed64(1500000000LL, 3000000000LL), 50);
  EXPECT_EQ(ProgressMonitor::percentConsumed64(999999, 1000000), 99) << "not scaled at 1,000,000";
  // Above it both are cut by ten, truncating: 1,000,009 of 1,000,010 becomes 100,000 of 100,001.
  EXPECT_EQ(ProgressMonitor::percentConsumed64(1000009, 1000010), 99);
  EXPECT_EQ(ProgressMonitor::percentConsumed64(0x7000000000000000LL, 0x7FFFFFFFFFFFFFFFLL), 87);
}

TEST_F(Progress, EachWholePercentIsSentOnce) {
  Recorder ev;
  ProgressMonitor pm(&ev, 1000u);
  bool abort = true;
  for (int i = 0; i < 1000; ++i) {
    pm.consume2_32(1, abort);
    EXPECT_FALSE(abort);
  }
  ASSERT_EQ(ev.pcts.size(), 100u);
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(ev.pcts[i], i + 1);
  pm.consume2_64(500, abort);
  EXPECT_EQ(pm.m_amountConsumed, 1000);
  EXPECT_EQ(ev.pcts.size(), 100u);
  pm.consumeRemaining(0);
  EXPECT_EQ(ev.pcts.size(), 100u) << "nothing remains";

  Recorder none;
  ProgressMonitor zero(&none, 0u);
  zero.consume2_64(10, abort);
  zero.consumeRemaining(0);
  EXPECT_TRUE(none.pcts.empty()) << "a total of 0 is 100% from the start";

  Recorder big;
  ProgressMonitor huge(&big, 3000000000LL);
  huge.consume2_64(1500000000LL, abort);
  ASSERT_EQ(big.pcts.size(), 1u);
  EXPECT_EQ(big.pcts[0], 50);
  huge.consumeRemaining(0);
  EXPECT_EQ(big.pcts.back(), 100);
}

TEST_F(Progress, SettingTheAmountAndResetting) {
  Recorder ev;
  ProgressMonitor pm(&ev, 200u);
  bool abort = false;
  pm.setAmountConsumed2_32(100, abort);
  EXPECT_EQ(ev.pcts, std::vector<int>{50});
  pm.setAmountConsumed2_64(20, abort);
  EXPECT_EQ(ev.pcts.size(), 1u) << "lowering sends nothing";
  pm.setAmountConsumed2_64(90, abort);
  EXPECT_EQ(ev.pcts.size(), 1u) << "45 is below the last percent sent";
  pm.setAmountConsumed2_64(5000, abort);
  EXPECT_EQ(ev.pcts.back(), 100);
  pm.progressReset_64(400);
  pm.consume2_64(4, abort);
  EXPECT_EQ(ev.pcts.back(), 1) << "a reset starts the percentages again";
  pm.progressInfo("name", "value");
  EXPECT_EQ(ev.info, "name=value;");
}

TEST_F(Progress, AbortFromUpdatePctSticksAndSilencesHeartbeats) {
  Recorder ev;
  ev.abortAtPct = 30;
  ProgressMonitor pm(&ev, 100u);
  bool abort = false;
  pm.consume2_64(20, abort);
  EXPECT_FALSE(abort);
  pm.consume2_64(20, abort);
  EXPECT_TRUE(abort);
  EXPECT_TRUE(pm.get_Aborted());
  g_now += 10000;
  pm.heartbeat(5, 0);
  EXPECT_TRUE(ev.heartbeats.empty());
  EXPECT_TRUE(pm.heartbeatCheck(10, 0));
  EXPECT_TRUE(ev.heartbeats.empty()) << "after an abort no callback";
  pm.progressReset_32(100);
  EXPECT_FALSE(pm.get_Aborted());

  // Without an abort flag in the call, the answer is dropped.
  Recorder quiet;
  quiet.abortAtPct = 1;
  ProgressMonitor noAbort(&quiet, 100u);
  noAbort.consume2_64_noAbort(50);
  EXPECT_EQ(quiet.pcts, std::vector<int>{50});
  EXPECT_FALSE(noAbort.get_Aborted());
}

TEST_F(Progress, TimedAbortChecksAndSuspension) {
  Recorder ev;
  ev.abortOnCheck = true;
  ProgressMonitor pm(&ev, 1000000u);
  EXPECT_FALSE(pm.heartbeatCheck(0, 0));
  EXPECT_TRUE(ev.heartbeats.empty());
  bool abort = false;
  // The interval is remembered by heartbeatCheck; 1 byte in a million is no percent rise.
  pm.m_lastHeartbeatTick = g_now;
  EXPECT_FALSE(pm.heartbeatCheck(500, 0));
  g_now += 500;
  pm.consume2_64(1, abort);
  EXPECT_FALSE(abort) << "exactly the interval is not past it";
  EXPECT_EQ(ev.abortChecks, 0);
  // Suspended consumption adds nothing but still checks when the interval has passed.
  pm.m_suspendConsume = true;
  g_now += 1;
  pm.consume2_64(500000, abort);
  EXPECT_EQ(pm.m_amountConsumed, 1);
  EXPECT_EQ(ev.abortChecks, 1);
  EXPECT_TRUE(abort);
  EXPECT_TRUE(pm.get_Aborted());
  pm.consume2_64_noAbort(999999);
  EXPECT_EQ(pm.m_amountConsumed, 1) << "suspended: nothing at all";
  pm.m_suspendConsume = false;
  pm.consumeRemaining(0);
  EXPECT_EQ(ev.pcts.back(), 100);
}

TEST_F(Progress, HeartbeatIntervalsAndWrappedTicks) {
  Recorder ev;
  ProgressMonitor pm(&ev, 10u);
  pm.m_lastHeartbeatTick = g_now;
  g_now += 99;
  EXPECT_FALSE(pm.heartbeatCheck(100, 0));
  EXPECT_TRUE(ev.heartbeats.empty());
  g_now += 1;
  EXPECT_FALSE(pm.heartbeatCheck(100, 0));
  EXPECT_EQ(ev.heartbeats, std::vector<int>{0});
  EXPECT_EQ(pm.m_lastHeartbeatTick, g_now);
  // A tick below the last heartbeat (the counter wrapped) only moves the mark.
  g_now = 5;
  EXPECT_FALSE(pm.heartbeatCheck(100, 0));
  EXPECT_EQ(pm.m_lastHeartbeatTick, 5u);
  EXPECT_EQ(ev.heartbeats.size(), 1u);
  EXPECT_FALSE(pm.heartbeatCheck2()) << "no interval set";
  pm.m_heartbeatMs = 50;
  g_now = 60;
  ev.abortOnHeartbeat = true;
  EXPECT_TRUE(pm.heartbeatCheck2());
  EXPECT_TRUE(pm.get_Aborted());
  pm.abortCheck(50, 0);
  EXPECT_EQ(ev.heartbeats.size(), 2u);
}

TEST_F(Progress, MonitorWithoutEventUsesItsOwn) {
  ProgressMonitorPtr ptr(nullptr, 0, 100LL);
  ProgressMonitor *pm = ptr.getPm();
  ASSERT_NE(pm, nullptr);
  EXPECT_EQ(pm->getProgEvent_CAREFUL(), &pm->m_asyncEvent);
  bool abort = false;
  pm->consume2_64(42, abort);
  EXPECT_EQ(pm->m_asyncEvent.m_lastPct, 42);
  EXPECT_FALSE(abort);
  pm->m_asyncEvent.m_abort = true;
  pm->consume2_64(1, abort);
  EXPECT_TRUE(abort);
  ptr.consumeRemaining();
  EXPECT_EQ(pm->m_asyncEvent.m_lastPct, 100);
  ProgressMonitorPtr small(nullptr, 7u);
  EXPECT_EQ(small.getPm()->m_totalAmount, 7);
  ProgressMonitorPtr unsignedTotal(nullptr, 4000000000u);
  EXPECT_EQ(unsignedTotal.getPm()->m_totalAmount, 4000000000LL);
}

TEST_F(Progress, RateMeterAveragesChunksWithoutTheirGaps) {
  Recorder ev;
  ProgressMonitor pm(&ev, 0u);
  LogNull log;
  PerformanceMon perf;
  perf.m_direction = 2;
  perf.beginPerformanceChunk(log);
  g_now += 500;
  perf.updatePerformance32(50000, &pm);
  ASSERT_EQ(ev.received.size(), 1u);
  EXPECT_EQ(ev.received[0], std::make_pair(50000u, 100000u));
  g_now += 50;
  perf.updatePerformance32(1000, &pm);
  EXPECT_EQ(ev.received.size(), 1u) << "within 100 ms: nothing";
  perf.updatePerformance32(0, &pm);
  g_now += 450;
  perf.endPerformanceChunk(&pm, log); // forced: 51,000 bytes in 1,000 ms
  ASSERT_EQ(ev.received.size(), 2u);
  EXPECT_EQ(ev.received[1], std::make_pair(51000u, 51000u));
  g_now += 5000; // a gap between chunks does not count
  perf.beginPerformanceChunk(log);
  g_now += 1000;
  perf.updatePerformance32(49000, &pm);
  ASSERT_EQ(ev.received.size(), 3u);
  EXPECT_EQ(ev.received[2], std::make_pair(100000u, 50000u));
  perf.checkFireEvent(true, &ev);
  EXPECT_EQ(ev.received.size(), 3u) << "same bytes and rate: no event";
  perf.checkFireEvent(false, nullptr);
  perf.endPerformanceChunk(nullptr, log);

  PerformanceMon send;
  send.m_direction = 1;
  send.beginPerformanceChunk(log);
  g_now += 200;
  send.updatePerformance32(1000, &pm);
  EXPECT_EQ(ev.sent.size(), 1u);
  EXPECT_EQ(ev.sent[0], std::make_pair(1000u, 5000u));
  // A tick below the chunk start (wrapped counter) resets the meter.
  g_now = 10;
  send.updatePerformance32(1000, &pm);
  EXPECT_EQ(send.m_chunkBytes, 0);
  EXPECT_EQ(send.m_chunkStartTick, 10u);
  EXPECT_EQ(ev.sent.size(), 1u);
}

} // namespace
