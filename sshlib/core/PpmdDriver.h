// The PPMd member of the compression dispatcher. Nothing in the library starts a PPMd stream
// (the dispatcher refuses its begin and more steps), so only the end step is reachable, and it
// reports that no stream was begun. The model itself is not carried.
#pragma once

#include "sshlib/core/RazudodCritSec.h"

class BufferedOutput;
class DataBuffer;
class LogBase;
class ProgressMonitor;

class PpmdDriver : public RazudodCritSec {
public:
  PpmdDriver();
  ~PpmdDriver() override;
  PpmdDriver(const PpmdDriver &) = delete;
  PpmdDriver &operator=(const PpmdDriver &) = delete;

  // True when the end of a PPMd stream was written to out.
  bool EndCompress(DataBuffer &out, LogBase &log, ProgressMonitor *pm);
  bool EncodeStreamingEnd(BufferedOutput &out, ProgressMonitor *pm, LogBase &log);

private:
  int m_one = 1;
  bool m_subAllocActive = false;
  int m_counter = 0;
  // The context the end marker would be coded in; no start step exists to set it.
  void *m_minContext = nullptr;
};
