// The library's own decoder of raw Deflate data (RFC 1951: stored, fixed-Huffman and
// dynamic-Huffman blocks, up to 32 KiB of history), with two front ends over one block state
// machine: a chunked, resumable one fed from memory that writes to an Output, and a pull one that
// reads a whole stream from a DataSource and writes to a DataSink. zlib and gzip framing are the
// callers' business.
#pragma once

#include <cstdint>

#include "sshlib/core/CircBuf.h"

class DataBuffer;
class DataSink;
class DataSource;
class LogBase;
class Output;

// One slot of a multi-level Huffman lookup table.
//   e: 0..13 extra bits of a length or distance; 15 end of block; 16 literal; 99 invalid code;
//      above 16 (and not 99) the slot points to a sub-table indexed by e - 16 further bits.
//   b: bits of this code (or of this sub-table prefix).
//   v: the literal, the base length/distance, or the sub-table.
struct huft {
  uint8_t e;
  uint8_t b;
  union {
    uint16_t n;
    huft *t;
  } v;

  // Builds a code set from n code lengths; values below s are simple (literal or end of block),
  // the others take base and extra bits from base[v - s] and extra[v - s]. *m holds the wanted
  // lookup bits and receives those of the root table. Returns 0 complete, 1 incomplete (built),
  // 2 over-subscribed (nothing built), 3 out of memory (nothing built).
  static int huft_build2(const unsigned int *lengths, unsigned int n, unsigned int s,
                         const unsigned short *base, const unsigned short *extra, huft **t, int *m);
  // Releases every table of a code set.
  static void huft_free(huft *t);

  // Set by a build that needed base and extra tables that were not given (per thread).
  static thread_local uint8_t m_huftCrashed;
};

class InflateState2 {
public:
  InflateState2();
  virtual ~InflateState2();
  InflateState2(const InflateState2 &) = delete;
  InflateState2 &operator=(const InflateState2 &) = delete;

  // ---- Chunked front end ----
  // Window size: a power of two not above 32768 (anything else gives 32768).
  bool BeginInflate(unsigned int windowSize);
  // inflateChunk with a look-ahead of 4096 bytes.
  bool MoreInflate(DataBuffer &in, bool isFinal, Output &out, bool &finished, LogBase &log,
                   int &status);
  bool MoreInflate2(const unsigned char *data, unsigned int n, bool isFinal, Output &out,
                    bool &finished, LogBase &log, int &status, unsigned int minLookahead);
  // Appends the chunk and decodes as far as the buffered input allows. False means corrupt data
  // or an output failure; status tells which (see the status constants below).
  bool inflateChunk(const unsigned char *data, unsigned int n, bool isFinal, Output &out,
                    bool &finished, LogBase &log, int &status, unsigned int minLookahead);

  // ---- Pull front end ----
  void initialize(DataSink *sink);
  // Inflates the whole stream from the source into the sink. overrun receives the number of
  // source bytes read past the end of the Deflate data.
  bool InflateDataDs2(DataSource &src, int unused, int &overrun, LogBase &log, bool verbose);
  bool inflateDataC(DataSource &src, unsigned char *area, unsigned char *areaLast,
                    unsigned char *carry, unsigned int carrySize, int &returnedFromLoc,
                    int &progressMarker, int &overrun, LogBase &log, bool verbose);
  // Moves the unconsumed bytes of the area to its front and tops it up from the source.
  bool fillSrcBuf(DataSource &src, unsigned char *area, unsigned char *carry,
                  unsigned int &carrySize, unsigned char *readPos, unsigned int &nInArea,
                  bool &srcEnded);

  bool failed() const { return m_failed; }

  // Statuses of the chunked front end that are not failures.
  static constexpr int kNothingToDo = 1000;
  static constexpr int kNeedLookahead = 1001;
  static constexpr int kStoredWaiting = 1002;
  // Look-ahead 0, not final: the input ran out inside a block; the interrupted step resumes
  // with the next chunk and everything decoded so far has been written out.
  static constexpr int kWaitingInsideBlock = 1003;
  static constexpr int kBlockBoundary = 2008;
  static constexpr int kFinished = 2000;
  static constexpr int kNeverHadData = 5036;
  // Failures that are ours alone.
  static constexpr int kBadDistanceSet = 36;
  static constexpr int kDistanceTooFar = 53;

  static void buildFixedTables();

private:
  struct Bits;
  class Sink;
  class OutputSink;
  class DataSinkSink;

  enum StepResult { kStepDone, kStepNeedInput, kStepFailed, kStepStoredWait };
  enum FastResult { kFastNone, kFastProgress, kFastFailed };

  StepResult step(Bits &in, Sink &out, LogBase &log, int &status);
  StepResult stepBlockHeader(Bits &in, int &status);
  StepResult stepStoredHeader(Bits &in, int &status);
  StepResult stepStoredCopy(Bits &in, Sink &out, LogBase &log, int &status);
  StepResult stepDynamicHeader(Bits &in, int &status);
  StepResult stepSymbol(Bits &in, Sink &out, LogBase &log, int &status, bool fixed);
  FastResult fastSymbols(Bits &in, Sink &out, LogBase &log, int &status, bool fixed);
  bool putByte(unsigned char c, Sink &out, LogBase &log);
  bool copyMatch(unsigned int len, unsigned int dist, Sink &out, LogBase &log);
  bool flushWindow(Sink &out, LogBase &log, bool force);
  void freeTables();

  int m_state = -1;
  unsigned int m_storedRemaining = 0;
  int m_lastBlock = 0;
  unsigned int m_wp = 0;
  unsigned int m_flushPos = 0;
  unsigned char m_window[32768];
  DataSink *m_sink = nullptr;
  huft *m_tl = nullptr;
  huft *m_td = nullptr;
  int m_bl = 0;
  int m_bd = 0;
  unsigned int m_nb = 0;
  unsigned int m_nl = 0;
  unsigned int m_nd = 0;
  unsigned int m_lengths[320];
  CircBuf m_circ;
  bool m_everHadData = false;
  unsigned int m_windowSize = 32768;
  bool m_failed = false;
  // Bytes decoded so far (capped at the window size): a distance may not reach further back.
  unsigned int m_history = 0;

  static huft *m_static_fixedTL;
  static huft *m_static_fixedTD;
  static int m_static_fixedBL;
  static int m_static_fixedBD;
};
