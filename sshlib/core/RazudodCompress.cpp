#include "sshlib/core/RazudodCompress.h"

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/PpmdDriver.h"
#include "sshlib/core/RazudodBzip2.h"
#include "sshlib/core/RazudodDeflate.h"
#include "sshlib/core/RazudodLzw.h"

RazudodCompress::RazudodCompress()
    : m_deflate(new RazudodDeflate()), m_ppmd(new PpmdDriver()), m_bzip2(new RazudodBzip2()),
      m_lzw(new RazudodLzw()) {}

RazudodCompress::~RazudodCompress() {
  delete m_deflate;
  delete m_ppmd;
  delete m_bzip2;
  delete m_lzw;
}

namespace {

// The begin and the more step differ only in which step of the chosen compressor they call.
bool compressStep(int algorithm, bool more, RazudodDeflate &deflate, RazudodBzip2 &bzip2,
                  const unsigned char *data, unsigned int n, DataBuffer &out, LogBase &log,
                  ProgressMonitor *pm) {
  switch (algorithm) {
  case 0:
    return n == 0 || out.append(data, n);
  case 1:
    return more ? deflate.MoreCompress(data, n, out, log, pm)
                : deflate.BeginCompress(data, n, out, log, pm);
  case 2:
    return more ? bzip2.MoreCompress(data, n, out, log, pm)
                : bzip2.BeginCompress(data, n, out, log, pm);
  case 3:
    log.LogError("LZW begin/more/end not implemented yet.");
    return false;
  default:
    log.LogError("PPMD not available for TAR.");
    return false;
  }
}

} // namespace

bool RazudodCompress::BeginCompress(const unsigned char *data, unsigned int n, DataBuffer &out,
                                    LogBase &log, ProgressMonitor *pm) {
  return compressStep(m_algorithm, false, *m_deflate, *m_bzip2, data, n, out, log, pm);
}

bool RazudodCompress::MoreCompress(const unsigned char *data, unsigned int n, DataBuffer &out,
                                   LogBase &log, ProgressMonitor *pm) {
  return compressStep(m_algorithm, true, *m_deflate, *m_bzip2, data, n, out, log, pm);
}

bool RazudodCompress::EndCompress(DataBuffer &out, LogBase &log, ProgressMonitor *pm) {
  switch (m_algorithm) {
  case 0:
    return true;
  case 1:
    return m_deflate->EndCompress(out, log, pm);
  case 2:
    return m_bzip2->EndCompress(out, log);
  case 3:
    log.LogError("LZW begin/more/end not implemented yet.");
    return false;
  default:
    return m_ppmd->EndCompress(out, log, pm);
  }
}
