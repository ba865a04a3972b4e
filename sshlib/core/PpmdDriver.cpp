#include "sshlib/core/PpmdDriver.h"

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/Output.h"

PpmdDriver::PpmdDriver() = default;

PpmdDriver::~PpmdDriver() {
  m_subAllocActive = false;
}

bool PpmdDriver::EndCompress(DataBuffer &out, LogBase &log, ProgressMonitor *pm) {
  enterCriticalSection();
  m_counter = 0;
  OutputDataBuffer odb(&out);
  BufferedOutput bo;
  bo.put_Output(&odb);
  bool ok = EncodeStreamingEnd(bo, pm, log);
  leaveCriticalSection();
  return ok;
}

bool PpmdDriver::EncodeStreamingEnd(BufferedOutput &, ProgressMonitor *, LogBase &log) {
  if (!m_minContext) {
    log.LogError("PPMD EncodeStreamingEnd - no min context!");
    return false;
  }
  // Unreachable: no stream can be started.
  m_one = 1;
  return false;
}
