#include "sshlib/core/PipelineHelp.h"

#include <cstdio>
#include <memory>

#include "sshlib/core/DataSource.h"
#include "sshlib/core/InflateState2.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/ProgressMonitor.h"

PipelineHelp::PipelineHelp(int) {}

PipelineHelp::~PipelineHelp() {
  m_pm = nullptr;
}

bool PipelineHelp::inflateFromDS(DataSource &src, Output &out, LogBase &log, int &overrun,
                                 unsigned int &crc, bool verbose) {
  crc = 0;
  // The decoder holds a 32 KiB window: keep it off the stack.
  std::unique_ptr<InflateState2> inflater(new InflateState2());
  FileDataSink sink;
  sink.put_calculateCrc(true);
  sink.setSink(&out);
  if (m_pm) sink.setProgressMonitor(m_pm);
  inflater->initialize(&sink);

  bool ok = inflater->InflateDataDs2(src, 51, overrun, log, false);
  if (inflater->failed()) {
    log.LogError("Failed to inflate from data source (2)");
    ok = false;
  }
  if (m_pm && m_pm->get_Aborted()) {
    log.LogError("Inflate aborted by application..");
    return false;
  }
  if (sink.get_WriteFailed()) {
    log.LogError("Failed to inflate from data source because sink write failed.");
    return false;
  }
  if (!ok) {
    if (verbose) log.LogError("Inflate failed.");
    return false;
  }
  crc = sink.get_DataSinkCrc();
  if (verbose) {
    char hex[16];
    std::snprintf(hex, sizeof(hex), "%08x", crc);
    log.LogData("inflatorOutputCrc", hex);
  }
  return true;
}
