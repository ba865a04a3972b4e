// Stream object and driver over the zlib deflate engine: one step of an ordinary raw Deflate
// stream (no flushing until the finish), or one whole packet of the SSH "zlib" compression,
// closed with a full flush so that the packet ends on a byte boundary with an empty stored block
// and later packets never refer back to it. Neither driver writes a zlib header or trailer.
#pragma once

#include <cstdint>

class LogBase;
struct z_stream_s;

class ZeeStream {
public:
  // Level 0 to 9 (anything else is 6); computeAdler: keep the Adler-32 of the input taken.
  ZeeStream(int level, bool computeAdler);
  virtual ~ZeeStream();
  ZeeStream(const ZeeStream &) = delete;
  ZeeStream &operator=(const ZeeStream &) = delete;

  void put_CLevel(int level);
  unsigned int get_AvailIn() const { return avail_in; }

  // Adler-32 (RFC 1950) continued from adler; a null buffer gives 1.
  static unsigned int adler32(unsigned int adler, const unsigned char *buf, unsigned int len);
  // Takes up to size bytes of input (updating the Adler-32 when asked); the count taken.
  unsigned int read_buf(char *buf, unsigned int size);
  // Moves output the engine holds into the output area, as far as it has room.
  void flush_pending();

  // One step without flushing, or a finishing step. False: usage error or nothing to do.
  bool NextIteration(bool finish, bool &done);
  // Compresses the whole input as one SSH packet ending with a full flush.
  bool NextZlibIteration(LogBase &log);

  static constexpr int kBusy = 113;
  static constexpr int kFinishing = 666;

  int status = kBusy;
  bool m_computeAdler;
  unsigned int m_adler = 1;
  const unsigned char *next_in = nullptr;
  unsigned int avail_in = 0;
  unsigned int total_in = 0;
  unsigned char *next_out = nullptr;
  unsigned int avail_out = 0;
  unsigned int total_out = 0;

private:
  // Runs the engine over the cursors with the given flush value; zlib's result.
  int runEngine(int flush);
  bool setEngineLevel(int level, bool keepMatchParams);

  z_stream_s *m_z = nullptr;
  bool m_engineOk = false;
  // The last packet step stopped because the output area was full: output is still pending.
  bool m_zlibOutputFull = false;
  int m_level = 6;
  int m_engineLevel = 6;
  // The match parameters of the level given at construction.
  int m_good, m_lazy, m_nice, m_chain;
};
