#include "sshlib/core/ProgressMonitor.h"

#include "sshlib/core/TickSource.h"

ProgressMonitor::ProgressMonitor(ProgressEvent *event, unsigned int total)
    : ProgressMonitor(event, static_cast<long long>(total)) {}

ProgressMonitor::ProgressMonitor(ProgressEvent *event, long long total)
    : m_totalAmount(total), m_amountConsumed(0), m_lastPctSent(0),
      m_progEvent(event ? event : &m_asyncEvent), m_aborted(false),
      m_lastEventTick(TickSource::now()), m_abortCheckMs(0), m_lastHeartbeatTick(0),
      m_heartbeatMs(0), m_suspendConsume(false) {}

ProgressMonitor::~ProgressMonitor() = default;

void ProgressMonitor::progressReset_32(unsigned int total) {
  progressReset_64(static_cast<long long>(total));
}

void ProgressMonitor::progressReset_64(long long total) {
  m_totalAmount = total;
  m_amountConsumed = 0;
  m_aborted = false;
  m_lastPctSent = 0;
}

int ProgressMonitor::percentConsumed64(long long consumed, long long total) {
  if (total <= 0) return 100;
  // Scaling keeps consumed x 100 far from overflow for any 64-bit total.
  while (total > 1000000) {
    total /= 10;
    consumed /= 10;
  }
  return static_cast<int>(consumed * 100 / total);
}

void ProgressMonitor::consumeCommon(long long amount, bool &abort, bool timedAbortCheck) {
  abort = false;
  int oldPct = percentConsumed64(m_amountConsumed, m_totalAmount);
  int newPct = 0;
  if (!m_suspendConsume) {
    // Added without overflow: anything beyond the total is cut to the total.
    if (amount > 0 && amount > m_totalAmount - m_amountConsumed)
      m_amountConsumed = m_totalAmount > m_amountConsumed ? m_totalAmount : m_amountConsumed;
    else if (amount > 0)
      m_amountConsumed += amount;
    if (m_amountConsumed > m_totalAmount) m_amountConsumed = m_totalAmount;
    newPct = percentConsumed64(m_amountConsumed, m_totalAmount);
  }
  unsigned int now = TickSource::now();
  if (!m_suspendConsume && static_cast<unsigned int>(newPct) > static_cast<unsigned int>(oldPct) &&
      static_cast<unsigned int>(newPct) > m_lastPctSent) {
    m_lastEventTick = now;
    m_lastPctSent = static_cast<unsigned int>(newPct);
    m_progEvent->UpdatePct(newPct, abort);
    if (abort && timedAbortCheck) m_aborted = true;
    return;
  }
  if (timedAbortCheck && m_abortCheckMs != 0 && now - m_lastEventTick > m_abortCheckMs) {
    m_lastHeartbeatTick = now;
    m_lastEventTick = now;
    m_progEvent->AbortCheck(abort);
    if (abort) m_aborted = true;
  }
}

void ProgressMonitor::consume2_64(long long amount, bool &abort) {
  consumeCommon(amount, abort, true);
}

void ProgressMonitor::consume2_32(unsigned int amount, bool &abort) {
  consumeCommon(static_cast<long long>(amount), abort, true);
}

void ProgressMonitor::consume2_64_noAbort(long long amount) {
  if (m_suspendConsume) return;
  bool dropped = false;
  consumeCommon(amount, dropped, false);
}

void ProgressMonitor::setAmountConsumed2_64(long long amount, bool &abort) {
  abort = false;
  int oldPct = percentConsumed64(m_amountConsumed, m_totalAmount);
  if (amount < 0) amount = 0;
  m_amountConsumed = amount > m_totalAmount ? m_totalAmount : amount;
  int newPct = percentConsumed64(m_amountConsumed, m_totalAmount);
  if (static_cast<unsigned int>(newPct) > static_cast<unsigned int>(oldPct) &&
      static_cast<unsigned int>(newPct) > m_lastPctSent) {
    m_lastPctSent = static_cast<unsigned int>(newPct);
    m_progEvent->UpdatePct(newPct, abort);
    if (abort) m_aborted = true;
  }
}

void ProgressMonitor::setAmountConsumed2_32(unsigned int amount, bool &abort) {
  setAmountConsumed2_64(static_cast<long long>(amount), abort);
}

void ProgressMonitor::consumeRemaining(int) {
  long long remaining = m_totalAmount - m_amountConsumed;
  if (remaining > 0) consume2_64_noAbort(remaining);
}

void ProgressMonitor::heartbeat(int value, int) {
  unsigned int now = TickSource::now();
  m_lastHeartbeatTick = now;
  m_lastEventTick = now;
  if (!m_aborted) m_progEvent->Heartbeat(value, m_aborted);
}

bool ProgressMonitor::heartbeatCheck(unsigned int intervalMs, int) {
  if (m_aborted) return true;
  m_abortCheckMs = intervalMs;
  if (intervalMs == 0) return false;
  unsigned int now = TickSource::now();
  if (now > m_lastHeartbeatTick) {
    if (now - m_lastHeartbeatTick >= intervalMs) {
      heartbeat(0, 0);
      return m_aborted;
    }
    return false;
  }
  // The tick counter wrapped, or the same millisecond.
  m_lastHeartbeatTick = now;
  return false;
}

void ProgressMonitor::abortCheck(unsigned int intervalMs, int) {
  if (!m_aborted && intervalMs != 0) heartbeatCheck(intervalMs, 0);
}

bool ProgressMonitor::heartbeatCheck2() {
  if (m_heartbeatMs == 0) return false;
  return heartbeatCheck(m_heartbeatMs, 0);
}

void ProgressMonitor::progressInfo(const char *name, const char *value) {
  m_progEvent->peProgressInfo(name, value);
}

// ---------------------------------------------------------------------------------------------

ProgressMonitorPtr::ProgressMonitorPtr(ProgressEvent *event, unsigned int total)
    : m_pm(new ProgressMonitor(event, total)) {}

ProgressMonitorPtr::ProgressMonitorPtr(ProgressEvent *event, int, long long total)
    : m_pm(new ProgressMonitor(event, total)) {}

ProgressMonitorPtr::~ProgressMonitorPtr() {
  delete m_pm;
  m_pm = nullptr;
}

void ProgressMonitorPtr::consumeRemaining() {
  if (m_pm) m_pm->consumeRemaining(0);
}

// ---------------------------------------------------------------------------------------------

PerformanceMon::PerformanceMon()
    : m_prevElapsedMs(0), m_prevBytes(0), m_chunkStartTick(TickSource::now()), m_chunkBytes(0),
      m_lastCheckTick(0), m_lastReportedBytes(0), m_lastReportedRate(0), m_minIntervalMs(100),
      m_direction(0) {}

PerformanceMon::~PerformanceMon() = default;

void PerformanceMon::beginPerformanceChunk(LogBase &) {
  m_lastCheckTick = 0;
  m_chunkBytes = 0;
  m_chunkStartTick = TickSource::now();
}

void PerformanceMon::updatePerformance32(unsigned int count, ProgressMonitor *pm) {
  if (count == 0) return;
  m_chunkBytes += count;
  if (pm) checkFireEvent(false, pm->getProgEvent_CAREFUL());
}

void PerformanceMon::resetPerformanceMon() {
  m_prevElapsedMs = 0;
  m_prevBytes = 0;
  m_chunkBytes = 0;
  m_lastReportedBytes = 0;
  m_lastReportedRate = 0;
  m_lastCheckTick = 0;
  m_chunkStartTick = TickSource::now();
}

void PerformanceMon::checkFireEvent(bool force, ProgressEvent *event) {
  if (!event) return;
  unsigned int now = TickSource::now();
  if (!force) {
    if (now < m_chunkStartTick || now < m_lastCheckTick) {
      resetPerformanceMon();
      return;
    }
    if (now - m_lastCheckTick < m_minIntervalMs) return;
  }
  if (m_chunkBytes >= 0x100000000LL) return;
  m_lastCheckTick = now;
  unsigned int elapsed = now - m_chunkStartTick;
  if (elapsed == 0) return;
  long long bytes = m_prevBytes + m_chunkBytes;
  long long rate = bytes * 1000 / (static_cast<long long>(elapsed) + m_prevElapsedMs);
  if (rate >= 0x100000000LL) return;
  if (bytes != m_lastReportedBytes || rate != m_lastReportedRate) {
    unsigned int b = static_cast<unsigned int>(bytes);
    unsigned int r = static_cast<unsigned int>(rate);
    if (m_direction == 1)
      event->peSendRate(b, r);
    else
      event->peReceiveRate(b, r);
  }
  m_lastReportedBytes = bytes;
  m_lastReportedRate = rate;
}

void PerformanceMon::endPerformanceChunk(ProgressMonitor *pm, LogBase &) {
  if (!pm) return;
  checkFireEvent(true, pm->getProgEvent_CAREFUL());
  unsigned int now = TickSource::now();
  if (now < m_chunkStartTick || now < m_lastCheckTick) {
    resetPerformanceMon();
    return;
  }
  if (m_chunkBytes >= 0x100000000LL) return;
  m_prevElapsedMs += now - m_chunkStartTick;
  m_chunkStartTick = now;
  m_prevBytes += m_chunkBytes;
  m_chunkBytes = 0;
  m_lastCheckTick = 0;
}
