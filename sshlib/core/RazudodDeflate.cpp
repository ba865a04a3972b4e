#include "sshlib/core/RazudodDeflate.h"

#include <cstdint>
#include <new>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/InflateState2.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/Output.h"
#include "sshlib/core/PipelineHelp.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/ZeeStream.h"

namespace {

bool abortAsked(ProgressMonitor *pm) {
  if (!pm) return false;
  return pm->heartbeatCheck2() || pm->get_Aborted();
}

} // namespace

RazudodDeflate::RazudodDeflate() {
  m_work = new (std::nothrow) unsigned char[kWorkSize];
}

RazudodDeflate::~RazudodDeflate() {
  delete m_inflate;
  delete m_deflate;
  delete[] m_work;
}

bool RazudodDeflate::feed(const unsigned char *data, unsigned int n, DataBuffer &out, LogBase &log,
                          ProgressMonitor *pm, bool zlibPacket, const char *abortText) {
  if (!m_work) return false;
  m_deflate->next_in = data;
  m_deflate->avail_in = n;
  bool outputFull = false;
  while (m_deflate->avail_in != 0 || outputFull) {
    m_deflate->next_out = m_work;
    m_deflate->avail_out = kWorkSize;
    bool ok;
    if (zlibPacket) {
      ok = m_deflate->NextZlibIteration(log);
    } else {
      bool done = false;
      ok = m_deflate->NextIteration(false, done);
    }
    unsigned int produced = kWorkSize - m_deflate->avail_out;
    outputFull = m_deflate->avail_out == 0;
    if (produced && !out.append(m_work, produced)) return false;
    if (!ok) return false;
    if (abortAsked(pm)) {
      log.LogInfo(abortText);
      return false;
    }
  }
  m_deflate->next_in = nullptr;
  return true;
}

bool RazudodDeflate::BeginCompress(const unsigned char *data, unsigned int n, DataBuffer &out,
                                   LogBase &log, ProgressMonitor *pm) {
  delete m_deflate;
  m_deflate = new (std::nothrow) ZeeStream(m_level, false);
  if (!m_deflate) return false;
  m_deflate->put_CLevel(m_level);
  if (n == 0) return true;
  return feed(data, n, out, log, pm, false, "Deflate aborted by application (1)");
}

bool RazudodDeflate::MoreCompress(const unsigned char *data, unsigned int n, DataBuffer &out,
                                  LogBase &log, ProgressMonitor *pm) {
  if (n == 0) return true;
  if (!m_deflate) {
    log.LogError("Deflate not initialized.");
    return false;
  }
  return feed(data, n, out, log, pm, false, "Deflate aborted by application (2)");
}

bool RazudodDeflate::EndCompress(DataBuffer &out, LogBase &log, ProgressMonitor *pm) {
  if (!m_deflate) {
    log.LogError("Deflate not initialized.");
    return false;
  }
  if (!m_work) return false;
  m_deflate->next_in = nullptr;
  m_deflate->avail_in = 0;
  bool done = false;
  while (!done) {
    m_deflate->next_out = m_work;
    m_deflate->avail_out = kWorkSize;
    bool ok = m_deflate->NextIteration(true, done);
    unsigned int produced = kWorkSize - m_deflate->avail_out;
    if (produced && !out.append(m_work, produced)) return false;
    if (!ok) return false;
    if (abortAsked(pm)) {
      log.LogInfo("Deflate aborted by application (3)");
      return false;
    }
  }
  return true;
}

bool RazudodDeflate::Decompress(DataBuffer &in, DataBuffer &out, LogBase &log, ProgressMonitor *) {
  InflateState2 *inf = new (std::nothrow) InflateState2();
  if (!inf) return false;
  inf->BeginInflate(32768);
  // Room for a usual expansion up front (pages not written cost nothing): growing a large output
  // window by window would copy it over and over. When that much cannot be had, growth as usual.
  uint64_t guess = static_cast<uint64_t>(out.getSize()) + 4ull * in.getSize() + 65536;
  if (guess > 0xFFFF0000ull) guess = 0xFFFF0000ull;
  if (in.getSize() > 65536) out.ensureBuffer(static_cast<unsigned int>(guess));
  OutputDataBuffer sink(&out);
  bool finished = false;
  int status = 0;
  // The input goes in a piece at a time with the usual look-ahead, so that the decoder's input
  // queue never holds a copy of all of it; the steps, output and statuses are those of one call.
  constexpr unsigned int kPiece = 1u << 20;
  const unsigned char *data = in.getData2();
  const unsigned int n = in.getSize();
  bool ok = true;
  for (unsigned int off = 0;;) {
    const unsigned int take = n - off > kPiece ? kPiece : n - off;
    const bool last = take == n - off;
    ok = inf->MoreInflate2(data ? data + off : nullptr, take, last, sink, finished, log, status,
                           4096);
    off += take;
    if (!ok || last) break;
  }
  delete inf;
  if (!ok) {
    log.LogDataLong("deflateError", status);
    return false;
  }
  if (!finished) {
    log.LogError("Deflated data ended prematurely.");
    return false;
  }
  return true;
}

bool RazudodDeflate::DecompressDS(DataSource &src, Output &out, LogBase &log, ProgressMonitor *pm) {
  PipelineHelp ph(0);
  ph.setProgressMonitor(pm);
  int overrun = 0;
  unsigned int crc = 0;
  bool ok = ph.inflateFromDS(src, out, log, overrun, crc, false);
  // Hand the bytes read past the stream back to the source when it can seek.
  if (ok && overrun > 0) src.fseekRelative64(-static_cast<long long>(overrun), &log);
  return ok;
}

bool RazudodDeflate::BeginZlibCompress(DataBuffer &out, LogBase &) {
  delete m_deflate;
  m_deflate = new (std::nothrow) ZeeStream(m_level, false);
  static const unsigned char header[2] = {0x78, 0x9C};
  out.append(header, 2);
  return true;
}

bool RazudodDeflate::MoreZlibCompress(DataBuffer &in, DataBuffer &out, LogBase &log,
                                      ProgressMonitor *pm) {
  if (in.getSize() == 0) return true;
  if (!m_deflate) {
    log.LogError("Deflate not initialized.");
    return false;
  }
  return feed(in.getData2(), in.getSize(), out, log, pm, true,
              "Deflate aborted by application (2)");
}

bool RazudodDeflate::inflatePacket(const unsigned char *data, unsigned int n, DataBuffer &out,
                                   LogBase &log) {
  OutputDataBuffer sink(&out);
  bool finished = false;
  int status = 0;
  bool ok = m_inflate->MoreInflate2(data, n, false, sink, finished, log, status, 0);
  if (!ok) log.LogDataLong("deflateError", status);
  return ok;
}

bool RazudodDeflate::BeginZlibDecompress(DataBuffer &in, DataBuffer &out, LogBase &log,
                                         ProgressMonitor *) {
  unsigned int n = in.getSize();
  if (n < 2) {
    log.LogError("Not enough data for beginning Zlib decompression.");
    return false;
  }
  delete m_inflate;
  m_inflate = new (std::nothrow) InflateState2();
  if (!m_inflate) return false;
  m_inflate->BeginInflate(32768);
  const unsigned char *p = in.getData2();
  unsigned int skip = 2;
  if (p[1] & 0x20) {
    // A preset dictionary id follows the header; it is not used.
    if (n <= 5) {
      log.LogError("Not enough data for beginning Zlib decompression with dict.");
      return false;
    }
    skip = 6;
  }
  if (n == skip) return true;
  return inflatePacket(p + skip, n - skip, out, log);
}

bool RazudodDeflate::MoreZlibDecompress(DataBuffer &in, DataBuffer &out, LogBase &log,
                                        ProgressMonitor *) {
  if (in.getSize() == 0) return true;
  if (!m_inflate) {
    m_inflate = new (std::nothrow) InflateState2();
    if (!m_inflate) return false;
    m_inflate->BeginInflate(32768);
  }
  return inflatePacket(in.getData2(), in.getSize(), out, log);
}
