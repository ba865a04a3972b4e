// Chooses a compressor by numeric algorithm id and offers one begin/more/end interface over it:
// 0 copy, 1 raw Deflate, 2 bzip2, 3 LZW (decoding only: refused here), anything else PPMd (whose
// begin and more steps are refused).
#pragma once

class DataBuffer;
class LogBase;
class PpmdDriver;
class ProgressMonitor;
class RazudodBzip2;
class RazudodDeflate;
class RazudodLzw;

class RazudodCompress {
public:
  RazudodCompress();
  virtual ~RazudodCompress();
  RazudodCompress(const RazudodCompress &) = delete;
  RazudodCompress &operator=(const RazudodCompress &) = delete;

  void put_Algorithm(int id) { m_algorithm = id; }
  int get_Algorithm() const { return m_algorithm; }

  bool BeginCompress(const unsigned char *data, unsigned int n, DataBuffer &out, LogBase &log,
                     ProgressMonitor *pm);
  bool MoreCompress(const unsigned char *data, unsigned int n, DataBuffer &out, LogBase &log,
                    ProgressMonitor *pm);
  bool EndCompress(DataBuffer &out, LogBase &log, ProgressMonitor *pm);

private:
  int m_algorithm = 4;
  RazudodDeflate *m_deflate;
  PpmdDriver *m_ppmd;
  RazudodBzip2 *m_bzip2;
  RazudodLzw *m_lzw;
};
