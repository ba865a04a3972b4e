#pragma once

#include <bzlib.h>

#include "sshlib/core/RazudodObject.h"

class DataBuffer;
class DataSource;
class LogBase;
class Output;
class ProgressMonitor;

// The library's bzip2 worker over libbz2: streaming compression from a source (or memory) to an
// output, streaming decompression, and the decoding of the built-in compressed tables (4 magic
// bytes E1 A7 94 B3, the decompressed size as 32-bit little-endian, one bzip2 stream).
class RazudodBzip2 : public RazudodObject {
public:
  RazudodBzip2();
  ~RazudodBzip2() override;

  RazudodBzip2(const RazudodBzip2 &) = delete;
  RazudodBzip2 &operator=(const RazudodBzip2 &) = delete;

  bool BeginCompressStream(DataSource &src, Output &out, LogBase &log);
  bool MoreCompressStream(DataSource &src, Output &out, LogBase &log);
  bool EndCompressStream(Output &out, LogBase &log);

  // The same over memory; compressed bytes are appended to out.
  bool BeginCompress(const unsigned char *data, unsigned int n, DataBuffer &out, LogBase &log,
                     ProgressMonitor *pm);
  bool MoreCompress(const unsigned char *data, unsigned int n, DataBuffer &out, LogBase &log,
                    ProgressMonitor *pm);
  bool EndCompress(DataBuffer &out, LogBase &log);

  // Decodes the bzip2 data of the source into the output: every stream of a concatenation, as
  // the bzip2 program does; data that ends before a stream's end fails.
  bool DecompressStream(DataSource &src, Output &out, LogBase &log);

  // An empty input empties out and succeeds. A wrong start fails and leaves out as it was.
  // Otherwise out receives what the stream gives (at most the stated size plus 20 bytes); true
  // when the stream reached its end.
  bool unBzipWithHeader(DataBuffer &in, DataBuffer &out);

private:
  bool allocBuffers();
  void closeCompressStream();
  bool compressFromSource(DataSource &src, Output &out, LogBase &log);

  bz_stream *m_strm = nullptr;
  char *m_inBuf = nullptr;
  char *m_outBuf = nullptr;
};
