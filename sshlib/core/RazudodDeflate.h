// Deflate data in three forms: raw streams (compressed through the zlib engine, inflated by the
// library's own decoder), one-shot raw inflation, and the per-direction "zlib" stream of SSH
// compression.
#pragma once

class DataBuffer;
class DataSource;
class InflateState2;
class LogBase;
class Output;
class ProgressMonitor;
class ZeeStream;

class RazudodDeflate {
public:
  RazudodDeflate();
  virtual ~RazudodDeflate();
  RazudodDeflate(const RazudodDeflate &) = delete;
  RazudodDeflate &operator=(const RazudodDeflate &) = delete;

  // Raw Deflate streams (no framing).
  bool BeginCompress(const unsigned char *data, unsigned int n, DataBuffer &out, LogBase &log,
                     ProgressMonitor *pm);
  bool MoreCompress(const unsigned char *data, unsigned int n, DataBuffer &out, LogBase &log,
                    ProgressMonitor *pm);
  bool EndCompress(DataBuffer &out, LogBase &log, ProgressMonitor *pm);

  // Inflates a whole raw stream, appending to out.
  bool Decompress(DataBuffer &in, DataBuffer &out, LogBase &log, ProgressMonitor *pm);
  // Inflates a raw stream read from a source. A seekable source is left just after the Deflate
  // data, so that a caller can read what follows it (a gzip trailer and the next member).
  bool DecompressDS(DataSource &src, Output &out, LogBase &log, ProgressMonitor *pm);

  // The SSH "zlib" stream of one direction.
  bool BeginZlibCompress(DataBuffer &out, LogBase &log);
  bool MoreZlibCompress(DataBuffer &in, DataBuffer &out, LogBase &log, ProgressMonitor *pm);
  bool BeginZlibDecompress(DataBuffer &in, DataBuffer &out, LogBase &log, ProgressMonitor *pm);
  bool MoreZlibDecompress(DataBuffer &in, DataBuffer &out, LogBase &log, ProgressMonitor *pm);

private:
  // Runs the stream over the input into the work buffer, appending to out.
  bool feed(const unsigned char *data, unsigned int n, DataBuffer &out, LogBase &log,
            ProgressMonitor *pm, bool zlibPacket, const char *abortText);
  bool inflatePacket(const unsigned char *data, unsigned int n, DataBuffer &out, LogBase &log);

  static constexpr unsigned int kWorkSize = 60000;

  int m_level = 6;
  ZeeStream *m_deflate = nullptr;
  InflateState2 *m_inflate = nullptr;
  unsigned char *m_work = nullptr;
};
