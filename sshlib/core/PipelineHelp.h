// The inflate pipeline: a raw Deflate stream read from a data source, inflated into an output
// through a CRC-computing sink.
#pragma once

#include "sshlib/core/ZipCryptParams.h"

class DataSource;
class LogBase;
class Output;
class ProgressMonitor;

class PipelineHelp : public ZipCryptParams {
public:
  explicit PipelineHelp(int unused);
  ~PipelineHelp() override;
  PipelineHelp(const PipelineHelp &) = delete;
  PipelineHelp &operator=(const PipelineHelp &) = delete;

  void setProgressMonitor(ProgressMonitor *pm) { m_pm = pm; }
  // crc receives the CRC-32 of the decoded bytes, overrun the number of source bytes read past
  // the end of the Deflate data (a gzip trailer, for instance).
  bool inflateFromDS(DataSource &src, Output &out, LogBase &log, int &overrun, unsigned int &crc,
                     bool verbose);

private:
  ProgressMonitor *m_pm = nullptr;
};
