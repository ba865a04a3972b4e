// The operation's side of progress reporting: whole percents sent when they rise, timed abort
// checks and heartbeats, and a remembered abort.
#pragma once

#include "sshlib/core/ProgressEvent.h"

class LogBase;

class ProgressMonitor {
public:
  ProgressMonitor(ProgressEvent *event, unsigned int total);
  ProgressMonitor(ProgressEvent *event, long long total);
  virtual ~ProgressMonitor();
  ProgressMonitor(const ProgressMonitor &) = delete;
  ProgressMonitor &operator=(const ProgressMonitor &) = delete;

  void progressReset_32(unsigned int total);
  void progressReset_64(long long total);

  void consume2_64(long long amount, bool &abort);
  void consume2_32(unsigned int amount, bool &abort);
  void consume2_64_noAbort(long long amount);
  void setAmountConsumed2_64(long long amount, bool &abort);
  void setAmountConsumed2_32(unsigned int amount, bool &abort);
  void consumeRemaining(int unused);

  void heartbeat(int value, int unused);
  bool heartbeatCheck(unsigned int intervalMs, int unused);
  void abortCheck(unsigned int intervalMs, int unused);
  bool heartbeatCheck2();

  void progressInfo(const char *name, const char *value);
  bool get_Aborted() const { return m_aborted; }
  ProgressEvent *getProgEvent_CAREFUL() const { return m_progEvent; }

  static int percentConsumed64(long long consumed, long long total);

  AsyncProgressEvent m_asyncEvent;
  long long m_totalAmount;
  long long m_amountConsumed;
  unsigned int m_lastPctSent;
  ProgressEvent *m_progEvent;
  bool m_aborted;
  unsigned int m_lastEventTick;
  unsigned int m_abortCheckMs;
  unsigned int m_lastHeartbeatTick;
  unsigned int m_heartbeatMs;
  bool m_suspendConsume;

private:
  void consumeCommon(long long amount, bool &abort, bool timedAbortCheck);
};

// Owns the monitor of one operation.
class ProgressMonitorPtr {
public:
  ProgressMonitorPtr(ProgressEvent *event, unsigned int total);
  ProgressMonitorPtr(ProgressEvent *event, int unused, long long total);
  ~ProgressMonitorPtr();
  ProgressMonitorPtr(const ProgressMonitorPtr &) = delete;
  ProgressMonitorPtr &operator=(const ProgressMonitorPtr &) = delete;

  ProgressMonitor *getPm() const { return m_pm; }
  void consumeRemaining();

private:
  ProgressMonitor *m_pm;
};

// Measures a transfer rate in bytes per second and reports it through peSendRate (direction 1)
// or peReceiveRate.
class PerformanceMon {
public:
  PerformanceMon();
  virtual ~PerformanceMon();

  void beginPerformanceChunk(LogBase &log);
  void updatePerformance32(unsigned int count, ProgressMonitor *pm);
  void endPerformanceChunk(ProgressMonitor *pm, LogBase &log);
  void resetPerformanceMon();
  void checkFireEvent(bool force, ProgressEvent *event);

  long long m_prevElapsedMs;
  long long m_prevBytes;
  unsigned int m_chunkStartTick;
  long long m_chunkBytes;
  unsigned int m_lastCheckTick;
  long long m_lastReportedBytes;
  long long m_lastReportedRate;
  unsigned int m_minIntervalMs;
  int m_direction;
};
