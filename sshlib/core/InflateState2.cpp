#include "sshlib/core/InflateState2.h"

#include <bit>
#include <cstring>
#include <new>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/Output.h"

// ---------------------------------------------------------------------------------------------
// Constant tables of RFC 1951.

namespace {

// Length bases and extra bits for codes 257..285; 286 and 287 are invalid.
const unsigned short cplens[31] = {3,  4,   5,   6,   7,   8,   9,   10, 11, 13, 15,
                                   17, 19,  23,  27,  31,  35,  43,  51, 59, 67, 83,
                                   99, 115, 131, 163, 195, 227, 258, 0,  0};
const unsigned short cplext[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,  2, 2,
                                   3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
// Distance bases and extra bits for codes 0..29. A dynamic header may declare up to 32 distance
// codes: 30 and 31 exist in the code but are invalid when used.
const unsigned short cpdist[32] = {
    1,   2,   3,   4,   5,    7,    9,    13,   17,   25,   33,   49,    65,    97,    129, 193,
    257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 0,   0};
const unsigned short cpdext[32] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                   7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 99, 99};
const unsigned short mask_bits[17] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000f, 0x001f,
                                      0x003f, 0x007f, 0x00ff, 0x01ff, 0x03ff, 0x07ff,
                                      0x0fff, 0x1fff, 0x3fff, 0x7fff, 0xffff};
const unsigned char BitLengthsOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                           11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr unsigned int kMaxBits = 16;
constexpr unsigned int kMaxCodes = 288;

// Pull front end sizes.
constexpr unsigned int kAreaUsable = 4000000;
constexpr unsigned int kAreaSize = 4004000;
constexpr unsigned int kCarrySize = 168000;
// Below this many unread bytes the area is topped up before a step, so that a whole stored block
// (at most 65,535 bytes plus its header) always lies within it.
constexpr unsigned int kRefillBelow = 70000;

const unsigned char kZeros[8] = {0, 0, 0, 0, 0, 0, 0, 0};

// Where a run of whole symbols must stop: keepBytes plus a margin of 16 bytes before the end.
uint64_t fastLimit(uint64_t endBits, unsigned int keepBytes) {
  const uint64_t keep = (uint64_t(keepBytes) + 16) * 8;
  return endBits > keep ? endBits - keep : 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Table builder: the classic multi-level builder of the public-domain inflate, with the table
// stack holding each level's own size.

thread_local uint8_t huft::m_huftCrashed = 0;

void huft::huft_free(huft *t) {
  huft *p = t;
  while (p) {
    --p;
    huft *next = p->v.t;
    delete[] p;
    p = next;
  }
}

int huft::huft_build2(const unsigned int *b, unsigned int n, unsigned int s,
                      const unsigned short *d, const unsigned short *e, huft **t, int *m) {
  m_huftCrashed = 0;
  *t = nullptr;
  if (!b || n > kMaxCodes) return 2;

  unsigned int c[kMaxBits + 1] = {0};
  for (unsigned int i = 0; i < n; i++) {
    if (b[i] > kMaxBits) return 2;
    c[b[i]]++;
  }
  if (c[0] == n) {
    *m = 0;
    return 0;
  }
  // The end-of-block code (when there is one) must end at a table boundary.
  const unsigned int el = n > 256 ? b[256] : kMaxBits;

  unsigned int j, i;
  for (j = 1; j <= kMaxBits; j++)
    if (c[j]) break;
  unsigned int k = j; // shortest code
  int l = *m;
  if (static_cast<unsigned int>(l) < j) l = static_cast<int>(j);
  for (i = kMaxBits; i; i--)
    if (c[i]) break;
  const unsigned int g = i; // longest code
  if (static_cast<unsigned int>(l) > i) l = static_cast<int>(i);
  *m = l;

  // Kraft sum: over-subscription is fatal; the free space is padded with invalid codes.
  int y;
  for (y = 1 << j; j < i; j++, y <<= 1)
    if ((y -= static_cast<int>(c[j])) < 0) return 2;
  if ((y -= static_cast<int>(c[i])) < 0) return 2;
  c[i] += static_cast<unsigned int>(y);

  unsigned int x[kMaxBits + 1];
  x[1] = j = 0;
  {
    unsigned int *p = c + 1;
    unsigned int *xp = x + 2;
    while (--i)
      *xp++ = (j += *p++);
  }
  unsigned int v[kMaxCodes];
  for (i = 0; i < n; i++)
    if ((j = b[i]) != 0) v[x[j]++] = i;
  const unsigned int nv = x[g];

  x[0] = i = 0;
  const unsigned int *p = v;
  int h = -1;
  int lx[kMaxBits + 2];
  int *ls = lx + 1; // ls[-1] is the "table" above the root
  int w = ls[-1] = 0;
  huft *u[kMaxBits];
  huft *q = nullptr;
  unsigned int z = 0;
  huft **tail = t;
  huft r;
  r.v.t = nullptr;

  for (; k <= g; k++) {
    unsigned int a = c[k];
    while (a--) {
      // Open tables until this code of k bits fits.
      while (static_cast<int>(k) > w + ls[h]) {
        w += ls[h++];
        z = g - static_cast<unsigned int>(w);
        if (z > static_cast<unsigned int>(l)) z = static_cast<unsigned int>(l);
        unsigned int f;
        if ((f = 1u << (j = k - static_cast<unsigned int>(w))) > a + 1) {
          f -= a + 1;
          unsigned int *xp = c + k;
          while (++j < z) {
            if ((f <<= 1) <= *++xp) break;
            f -= *xp;
          }
        }
        if (static_cast<unsigned int>(w) + j > el && static_cast<unsigned int>(w) < el)
          j = el - static_cast<unsigned int>(w);
        z = 1u << j;
        ls[h] = static_cast<int>(j);

        q = new (std::nothrow) huft[z + 1];
        if (!q) {
          huft_free(*t);
          *t = nullptr;
          return 3;
        }
        std::memset(q, 0, sizeof(huft) * (z + 1));
        *tail = q + 1;
        tail = &q->v.t;
        *tail = nullptr;
        u[h] = ++q;

        if (h) {
          x[h] = i;
          r.b = static_cast<uint8_t>(ls[h - 1]);
          r.e = static_cast<uint8_t>(16 + j);
          r.v.t = q;
          j = (i & ((1u << w) - 1)) >> (w - ls[h - 1]);
          u[h - 1][j] = r;
        }
      }

      r.b = static_cast<uint8_t>(k - static_cast<unsigned int>(w));
      if (p >= v + nv) {
        r.e = 99;
        r.v.t = nullptr;
        r.v.n = 0;
      } else if (*p < s) {
        r.e = static_cast<uint8_t>(*p < 256 ? 16 : 15);
        r.v.t = nullptr;
        r.v.n = static_cast<uint16_t>(*p);
        p++;
      } else {
        if (!d || !e) {
          m_huftCrashed = 1;
          huft_free(*t);
          *t = nullptr;
          return 0;
        }
        r.e = static_cast<uint8_t>(e[*p - s]);
        r.v.t = nullptr;
        r.v.n = d[*p - s];
        p++;
      }

      const unsigned int f = 1u << (k - static_cast<unsigned int>(w));
      for (j = i >> w; j < z; j += f)
        q[j] = r;

      // Next code of k bits, counted backwards (the codes are stored bit-reversed).
      for (j = 1u << (k - 1); i & j; j >>= 1)
        i ^= j;
      i ^= j;

      while ((i & ((1u << w) - 1)) != x[h])
        w -= ls[--h];
    }
  }

  *m = ls[0];
  return (y != 0 && g != 1) ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Bit input of one step: the bytes [p, p + end/8) followed by at least four readable zero bytes.
// A step reads through its own cursor; the caller consumes the bits only when the step is done,
// so that a step that runs out of input can be tried again from its start.

struct InflateState2::Bits {
  const unsigned char *p;
  uint64_t pos;
  uint64_t end;
  // Whole symbols may be decoded in one run while pos is below this: at least 16 bytes (and the
  // look-ahead the caller keeps) lie beyond it, so a symbol never runs out of input there.
  uint64_t fastEnd = 0;

  unsigned int avail() const {
    uint64_t a = end - pos;
    return a > 0xFFFFFF ? 0xFFFFFFu : static_cast<unsigned int>(a);
  }
  bool need(unsigned int n) const { return end - pos >= n; }
  uint32_t peek() const {
    const unsigned char *q = p + (pos >> 3);
    uint32_t w = uint32_t(q[0]) | uint32_t(q[1]) << 8 | uint32_t(q[2]) << 16 | uint32_t(q[3]) << 24;
    return w >> (pos & 7);
  }
  uint32_t get(unsigned int n) {
    uint32_t v = peek() & mask_bits[n];
    pos += n;
    return v;
  }
  void drop(unsigned int n) { pos += n; }
};

// Where full windows go: an Output (chunked) or a DataSink (pull).
class InflateState2::Sink {
public:
  virtual ~Sink() = default;
  virtual bool write(const unsigned char *p, unsigned int n, LogBase &log) = 0;
  bool aborted = false;
};

class InflateState2::OutputSink : public InflateState2::Sink {
public:
  explicit OutputSink(Output &out) : m_out(out) {}
  bool write(const unsigned char *p, unsigned int n, LogBase &log) override {
    return m_out.fwrite2(p, n, 1, log) == 1;
  }

private:
  Output &m_out;
};

class InflateState2::DataSinkSink : public InflateState2::Sink {
public:
  explicit DataSinkSink(DataSink *sink) : m_sink(sink) {}
  bool write(const unsigned char *p, unsigned int n, LogBase &log) override {
    if (!m_sink) return false;
    unsigned int room = 0;
    if (!m_sink->canAcceptMore(room) || room < n) return false;
    if (!m_sink->putChunk(reinterpret_cast<const char *>(p), n, log)) {
      if (m_sink->getAborted()) aborted = true;
      return false;
    }
    if (m_sink->getAborted()) {
      aborted = true;
      return false;
    }
    return true;
  }

private:
  DataSink *m_sink;
};

// ---------------------------------------------------------------------------------------------
// Static fixed tables.

huft *InflateState2::m_static_fixedTL = nullptr;
huft *InflateState2::m_static_fixedTD = nullptr;
int InflateState2::m_static_fixedBL = 7;
int InflateState2::m_static_fixedBD = 5;

void InflateState2::buildFixedTables() {
  // Built once, thread-safely, and kept for the life of the process.
  static const bool built = [] {
    unsigned int l[288];
    unsigned int i = 0;
    for (; i < 144; i++)
      l[i] = 8;
    for (; i < 256; i++)
      l[i] = 9;
    for (; i < 280; i++)
      l[i] = 7;
    for (; i < 288; i++)
      l[i] = 8;
    huft *tl = nullptr;
    int bl = 7;
    if (huft::huft_build2(l, 288, 257, cplens, cplext, &tl, &bl) != 0) {
      huft::huft_free(tl);
      return false;
    }
    for (i = 0; i < 30; i++)
      l[i] = 5;
    huft *td = nullptr;
    int bd = 5;
    if (huft::huft_build2(l, 30, 0, cpdist, cpdext, &td, &bd) > 1) {
      huft::huft_free(tl);
      return false;
    }
    m_static_fixedTL = tl;
    m_static_fixedBL = bl;
    m_static_fixedTD = td;
    m_static_fixedBD = bd;
    return true;
  }();
  (void)built;
}

// ---------------------------------------------------------------------------------------------

InflateState2::InflateState2() {
  std::memset(m_window, 0, sizeof(m_window));
  std::memset(m_lengths, 0, sizeof(m_lengths));
  buildFixedTables();
}

InflateState2::~InflateState2() {
  freeTables();
}

void InflateState2::freeTables() {
  huft::huft_free(m_tl);
  m_tl = nullptr;
  huft::huft_free(m_td);
  m_td = nullptr;
}

bool InflateState2::BeginInflate(unsigned int windowSize) {
  m_state = -1;
  m_sink = nullptr;
  m_circ.clear();
  m_everHadData = false;
  unsigned int w = 32768;
  if (windowSize != 0 && windowSize <= 32768 && (windowSize & (windowSize - 1)) == 0)
    w = windowSize;
  m_windowSize = w;
  return true;
}

void InflateState2::initialize(DataSink *sink) {
  m_sink = sink;
}

// ---------------------------------------------------------------------------------------------
// Window.

bool InflateState2::flushWindow(Sink &out, LogBase &log, bool) {
  if (m_wp > m_flushPos) {
    if (!out.write(m_window + m_flushPos, m_wp - m_flushPos, log)) return false;
  }
  m_flushPos = m_wp;
  if (m_wp >= m_windowSize) m_wp = m_flushPos = 0;
  return true;
}

bool InflateState2::putByte(unsigned char c, Sink &out, LogBase &log) {
  m_window[m_wp++] = c;
  if (m_history < m_windowSize) m_history++;
  if (m_wp == m_windowSize) return flushWindow(out, log, true);
  return true;
}

bool InflateState2::copyMatch(unsigned int len, unsigned int dist, Sink &out, LogBase &log) {
  const unsigned int mask = m_windowSize - 1;
  unsigned int d = (m_wp - dist) & mask;
  while (len) {
    unsigned int run = m_windowSize - (d > m_wp ? d : m_wp);
    if (run > len) run = len;
    len -= run;
    if (d < m_wp && m_wp - d < run) {
      // The source overlaps what is being written: bytes repeat.
      while (run--)
        m_window[m_wp++] = m_window[d++];
    } else {
      std::memmove(m_window + m_wp, m_window + d, run);
      m_wp += run;
      d += run;
    }
    if (m_wp == m_windowSize) {
      if (!flushWindow(out, log, true)) return false;
    }
    d &= mask;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Steps of the block state machine.

namespace {

enum DecodeResult { kDecoded, kNeedMore, kInvalid };

template <class B> DecodeResult decodeSymbol(B &in, const huft *tab, int bits, const huft *&out) {
  if (!tab) return kInvalid;
  const huft *t = tab + (in.peek() & mask_bits[bits]);
  unsigned int e = t->e;
  while (e > 16) {
    if (t->b > in.avail()) return kNeedMore;
    if (e == 99) return kInvalid;
    in.drop(t->b);
    e -= 16;
    t = t->v.t + (in.peek() & mask_bits[e]);
    e = t->e;
  }
  if (t->b > in.avail()) return kNeedMore;
  in.drop(t->b);
  out = t;
  return kDecoded;
}

// Copies a match that lies wholly inside the window (source and destination without a wrap),
// exactly len bytes: the bytes behind the destination are history still to be referenced.
inline void copyInWindow(unsigned char *dst, unsigned int dist, unsigned int len) {
  const unsigned char *src = dst - dist;
  if (dist >= len) {
    std::memcpy(dst, src, len);
  } else if (dist >= 8) {
    // Overlapping, but each eight bytes read were written before.
    for (; len >= 8; len -= 8, dst += 8, src += 8)
      std::memcpy(dst, src, 8);
    for (; len; --len)
      *dst++ = *src++;
  } else if (dist == 1) {
    std::memset(dst, *src, len);
  } else {
    for (; len; --len)
      *dst++ = *src++;
  }
}

// Descends from a root slot to the code's entry, taking its bits off x and counting them in used;
// null for an invalid code (the careful path reports it).
inline const huft *lookupCode(const huft *t, uint64_t &x, unsigned int &used) {
  unsigned int e = t->e;
  while (e > 16) {
    if (e == 99) return nullptr;
    used += t->b;
    x >>= t->b;
    t = t->v.t + (x & mask_bits[e - 16]);
    e = t->e;
  }
  used += t->b;
  x >>= t->b;
  return t;
}

inline uint64_t load64le(const unsigned char *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

} // namespace

// The hot loop of a Huffman block: decodes symbol after symbol from one 64-bit load each (a
// length and distance pair takes at most 48 bits) while the input lies well ahead, writing into
// the window as the one-symbol steps do. It stops before any symbol that needs the careful path
// (an invalid code, a missing distance code set, a distance beyond the history), which then
// reports it, and after an end of block.
InflateState2::FastResult InflateState2::fastSymbols(Bits &in, Sink &out, LogBase &log, int &status,
                                                     bool fixed) {
  const huft *tl = fixed ? m_static_fixedTL : m_tl;
  const huft *td = fixed ? m_static_fixedTD : m_td;
  const uint64_t lmask = mask_bits[fixed ? m_static_fixedBL : m_bl];
  const uint64_t dmask = mask_bits[fixed ? m_static_fixedBD : m_bd];
  const unsigned char *p = in.p;
  const uint64_t begin = in.pos;
  uint64_t pos = in.pos;
  // The caller advances its queue by a 32-bit count of bits: stay well below that per run.
  const uint64_t lim = in.fastEnd - begin > (1ull << 31) ? begin + (1ull << 31) : in.fastEnd;
  const unsigned int wsize = m_windowSize;
  unsigned char *window = m_window;
  unsigned int wp = m_wp;
  unsigned int history = m_history;
  FastResult result = kFastNone;
  // The window is full: out with it (both positions go back to 0); false with the status given
  // when the output refuses it.
  auto windowFull = [&](int failStatus) {
    m_wp = wp;
    if (!flushWindow(out, log, true)) {
      status = failStatus;
      return false;
    }
    wp = m_wp;
    return true;
  };

  while (pos < lim) {
    uint64_t x = load64le(p + (pos >> 3)) >> (pos & 7);
    unsigned int used = 0;
    const huft *t = lookupCode(tl + (x & lmask), x, used);
    if (!t) break;
    unsigned int e = t->e;
    if (e == 16) {
      window[wp++] = static_cast<unsigned char>(t->v.n);
      history += history < wsize;
      pos += used;
      if (wp == wsize && !windowFull(fixed ? 26 : 35)) return kFastFailed;
      continue;
    }
    if (e == 15) {
      pos += used;
      if (!fixed) freeTables();
      m_state = -1;
      break;
    }
    {
      const unsigned int len = t->v.n + static_cast<unsigned int>(x & mask_bits[e]);
      x >>= e;
      used += e;
      if (!td) break;
      t = lookupCode(td + (x & dmask), x, used);
      if (!t) break;
      e = t->e;
      const unsigned int dist = t->v.n + static_cast<unsigned int>(x & mask_bits[e]);
      used += e;
      if (dist == 0 || dist > history) break;
      pos += used;
      if (wp >= dist && wsize - wp >= len) {
        copyInWindow(window + wp, dist, len);
        wp += len;
        if (wp == wsize && !windowFull(fixed ? 30 : 42)) return kFastFailed;
      } else {
        m_wp = wp;
        if (!copyMatch(len, dist, out, log)) {
          status = fixed ? 30 : 42;
          return kFastFailed;
        }
        wp = m_wp;
      }
      history = wsize - history <= len ? wsize : history + len;
    }
  }
  m_wp = wp;
  m_history = history;
  if (pos > begin) result = kFastProgress;
  in.pos = pos;
  return result;
}

InflateState2::StepResult InflateState2::stepBlockHeader(Bits &in, int &status) {
  if (!in.need(1)) {
    status = 1;
    return kStepNeedInput;
  }
  unsigned int final = in.get(1);
  if (!in.need(2)) {
    status = 2;
    return kStepNeedInput;
  }
  unsigned int type = in.get(2);
  if (type == 3) {
    status = 3;
    return kStepFailed;
  }
  m_state = static_cast<int>(type);
  m_lastBlock = static_cast<int>(final);
  return kStepDone;
}

InflateState2::StepResult InflateState2::stepStoredHeader(Bits &in, int &status) {
  unsigned int skip = 8 - static_cast<unsigned int>(in.pos & 7);
  if (skip < 8) {
    if (!in.need(skip)) {
      status = 4;
      return kStepNeedInput;
    }
    in.drop(skip);
  }
  if (!in.need(16)) {
    status = 4;
    return kStepNeedInput;
  }
  unsigned int len = in.get(16);
  if (!in.need(16)) {
    status = 5;
    return kStepNeedInput;
  }
  unsigned int nlen = in.get(16);
  if (len != (nlen ^ 0xFFFF)) {
    status = 6;
    return kStepFailed;
  }
  m_storedRemaining = len;
  m_state = len ? 10 : -1;
  return kStepDone;
}

InflateState2::StepResult InflateState2::stepStoredCopy(Bits &in, Sink &out, LogBase &log,
                                                        int &status) {
  // The copy starts on a byte boundary (the header step aligned it).
  uint64_t availBytes = (in.end - in.pos) / 8;
  if (availBytes < m_storedRemaining) {
    status = 7;
    return m_storedRemaining > 4095 ? kStepStoredWait : kStepNeedInput;
  }
  const unsigned char *src = in.p + (in.pos >> 3);
  unsigned int left = m_storedRemaining;
  while (left) {
    unsigned int n = m_windowSize - m_wp;
    if (n > left) n = left;
    std::memcpy(m_window + m_wp, src, n);
    src += n;
    left -= n;
    m_wp += n;
    m_history = (m_windowSize - m_history <= n) ? m_windowSize : m_history + n;
    if (m_wp == m_windowSize && !flushWindow(out, log, true)) {
      status = 24;
      return kStepFailed;
    }
  }
  in.drop(m_storedRemaining * 8);
  m_storedRemaining = 0;
  m_state = -1;
  return kStepDone;
}

InflateState2::StepResult InflateState2::stepDynamicHeader(Bits &in, int &status) {
  if (!in.need(5)) {
    status = 8;
    return kStepNeedInput;
  }
  m_nl = in.get(5) + 257;
  if (!in.need(5)) {
    status = 9;
    return kStepNeedInput;
  }
  m_nd = in.get(5) + 1;
  if (!in.need(4)) {
    status = 10;
    return kStepNeedInput;
  }
  m_nb = in.get(4) + 4;
  if (m_nl > 288 || m_nd > 32) {
    status = 11;
    return kStepFailed;
  }
  for (unsigned int j = 0; j < 19; j++)
    m_lengths[j] = 0;
  for (unsigned int j = 0; j < m_nb; j++) {
    if (!in.need(3)) {
      status = 12;
      return kStepNeedInput;
    }
    m_lengths[BitLengthsOrder[j]] = in.get(3);
  }
  huft *tcl = nullptr;
  int bl = 7;
  int rc = huft::huft_build2(m_lengths, 19, 19, nullptr, nullptr, &tcl, &bl);
  if (huft::m_huftCrashed) {
    huft::huft_free(tcl);
    m_failed = true;
    status = 14;
    return kStepFailed;
  }
  if (rc != 0 || !tcl) {
    huft::huft_free(tcl);
    status = 13;
    return kStepFailed;
  }

  const unsigned int total = m_nl + m_nd;
  unsigned int i = 0;
  unsigned int last = 0;
  while (i < total) {
    const huft *t = nullptr;
    DecodeResult dr = decodeSymbol(in, tcl, bl, t);
    if (dr != kDecoded) {
      huft::huft_free(tcl);
      status = dr == kNeedMore ? 15 : 13;
      return dr == kNeedMore ? kStepNeedInput : kStepFailed;
    }
    unsigned int sym = t->v.n;
    unsigned int rep = 0, val = 0;
    int needStatus = 0, overStatus = 0;
    unsigned int extra = 0, add = 0;
    if (sym < 16) {
      m_lengths[i++] = last = sym;
      continue;
    } else if (sym == 16) {
      extra = 2, add = 3, needStatus = 16, overStatus = 17, val = last;
    } else if (sym == 17) {
      extra = 3, add = 3, needStatus = 18, overStatus = 19, val = 0;
    } else {
      extra = 7, add = 11, needStatus = 20, overStatus = 21, val = 0;
    }
    if (!in.need(extra)) {
      huft::huft_free(tcl);
      status = needStatus;
      return kStepNeedInput;
    }
    rep = add + in.get(extra);
    if (i + rep > total) {
      huft::huft_free(tcl);
      status = overStatus;
      return kStepFailed;
    }
    while (rep--)
      m_lengths[i++] = val;
    last = val;
  }
  huft::huft_free(tcl);

  huft *tl = nullptr;
  int lbl = 9;
  rc = huft::huft_build2(m_lengths, m_nl, 257, cplens, cplext, &tl, &lbl);
  if (rc != 0) {
    huft::huft_free(tl);
    status = 22;
    return kStepFailed;
  }
  huft *td = nullptr;
  int lbd = 6;
  rc = huft::huft_build2(m_lengths + m_nl, m_nd, 0, cpdist, cpdext, &td, &lbd);
  if (rc > 1) {
    // An over-subscribed distance code is corrupt data; an incomplete one is accepted.
    huft::huft_free(tl);
    huft::huft_free(td);
    status = kBadDistanceSet;
    return kStepFailed;
  }
  freeTables();
  m_tl = tl;
  m_td = td;
  m_bl = lbl;
  m_bd = lbd;
  m_state = 12;
  return kStepDone;
}

InflateState2::StepResult InflateState2::stepSymbol(Bits &in, Sink &out, LogBase &log, int &status,
                                                    bool fixed) {
  const huft *tl = fixed ? m_static_fixedTL : m_tl;
  const huft *td = fixed ? m_static_fixedTD : m_td;
  const int bl = fixed ? m_static_fixedBL : m_bl;
  const int bd = fixed ? m_static_fixedBD : m_bd;

  if (in.pos < in.fastEnd && tl) {
    FastResult fr = fastSymbols(in, out, log, status, fixed);
    if (fr == kFastFailed) return kStepFailed;
    if (fr == kFastProgress) return kStepDone;
  }

  const huft *t = nullptr;
  DecodeResult dr = decodeSymbol(in, tl, bl, t);
  if (dr != kDecoded) {
    status = dr == kNeedMore ? (fixed ? 23 : 34) : (fixed ? 27 : 40);
    return dr == kNeedMore ? kStepNeedInput : kStepFailed;
  }
  if (t->e == 16) {
    if (!putByte(static_cast<unsigned char>(t->v.n), out, log)) {
      status = fixed ? 26 : 35;
      return kStepFailed;
    }
    return kStepDone;
  }
  if (t->e == 15) {
    if (!fixed) freeTables();
    m_state = -1;
    return kStepDone;
  }
  unsigned int e = t->e;
  if (!in.need(e)) {
    status = fixed ? 25 : 44;
    return kStepNeedInput;
  }
  unsigned int len = t->v.n + in.get(e);

  dr = decodeSymbol(in, td, bd, t);
  if (dr != kDecoded) {
    status = dr == kNeedMore ? (fixed ? 28 : 46) : (fixed ? 32 : 43);
    return dr == kNeedMore ? kStepNeedInput : kStepFailed;
  }
  e = t->e;
  if (!in.need(e)) {
    status = fixed ? 29 : 48;
    return kStepNeedInput;
  }
  unsigned int dist = t->v.n + in.get(e);
  // A distance reaching before the first byte of the stream (or beyond the window) is corrupt.
  if (dist == 0 || dist > m_history) {
    status = kDistanceTooFar;
    return kStepFailed;
  }
  if (!copyMatch(len, dist, out, log)) {
    status = fixed ? 30 : 42;
    return kStepFailed;
  }
  m_history = (m_windowSize - m_history <= len) ? m_windowSize : m_history + len;
  return kStepDone;
}

InflateState2::StepResult InflateState2::step(Bits &in, Sink &out, LogBase &log, int &status) {
  switch (m_state) {
  case -1:
    return stepBlockHeader(in, status);
  case 0:
    return stepStoredHeader(in, status);
  case 10:
    return stepStoredCopy(in, out, log, status);
  case 1:
    m_state = 11;
    return kStepDone;
  case 11:
    m_state = 110;
    return kStepDone;
  case 110:
    return stepSymbol(in, out, log, status, true);
  case 2:
    return stepDynamicHeader(in, status);
  case 12:
    m_state = 120;
    return kStepDone;
  case 120:
    return stepSymbol(in, out, log, status, false);
  default:
    status = 50;
    return kStepFailed;
  }
}

// ---------------------------------------------------------------------------------------------
// Chunked front end.

bool InflateState2::MoreInflate(DataBuffer &in, bool isFinal, Output &out, bool &finished,
                                LogBase &log, int &status) {
  return inflateChunk(in.getData2(), in.getSize(), isFinal, out, finished, log, status, 4096);
}

bool InflateState2::MoreInflate2(const unsigned char *data, unsigned int n, bool isFinal,
                                 Output &out, bool &finished, LogBase &log, int &status,
                                 unsigned int minLookahead) {
  return inflateChunk(data, n, isFinal, out, finished, log, status, minLookahead);
}

bool InflateState2::inflateChunk(const unsigned char *data, unsigned int n, bool isFinal,
                                 Output &out, bool &finished, LogBase &log, int &status,
                                 unsigned int minLookahead) {
  status = 0;
  finished = false;
  if (!isFinal && (!data || n == 0)) {
    status = kNothingToDo;
    return true;
  }
  if (data && n) {
    if (!m_circ.AppendDataToCircBuf(data, n)) {
      status = 50;
      return false;
    }
    m_everHadData = true;
  }
  m_failed = false;
  OutputSink sink(out);

  for (;;) {
    if (m_state == -1 && m_lastBlock) {
      finished = true;
      break;
    }
    if (!isFinal && minLookahead != 0 && !m_circ.HasAtLeast(minLookahead)) {
      status = kNeedLookahead;
      return true;
    }
    if (m_state == -1 && !m_everHadData) {
      status = kNeverHadData;
      return true;
    }
    Bits in;
    in.p = m_circ.m_readPtr ? m_circ.m_readPtr : kZeros;
    in.pos = m_circ.m_readPtr ? m_circ.m_bitCount : 0;
    in.end = m_circ.m_readPtr ? uint64_t(m_circ.bytesHeld()) * 8 : 0;
    if (in.pos > in.end) in.pos = in.end;
    // A run of symbols keeps the look-ahead a non-final chunk asks for, as single steps do.
    in.fastEnd = fastLimit(in.end, !isFinal && minLookahead ? minLookahead : 0);
    const uint64_t start = in.pos;
    int st = 0;
    StepResult r = step(in, sink, log, st);
    if (r == kStepDone) {
      if (in.pos > start) m_circ.MoveForward(static_cast<unsigned int>(in.pos - start));
      continue;
    }
    if (r == kStepFailed) {
      status = st;
      return false;
    }
    if (r == kStepStoredWait) {
      status = kStoredWaiting;
      return true;
    }
    // The step ran out of input; nothing of it was consumed.
    if (m_state == -1 && in.pos == start && st == 1) {
      if (minLookahead == 0) {
        if (!flushWindow(sink, log, false)) {
          status = 45;
          return false;
        }
        status = kBlockBoundary;
        return true;
      }
      status = 1;
      return false;
    }
    if (!isFinal && minLookahead == 0) {
      // A stream fed packet by packet may stop inside a block (a partial flush leaves part of
      // an empty block for the next packet): resume there, delivering what is decoded.
      if (!flushWindow(sink, log, false)) {
        status = 45;
        return false;
      }
      status = kWaitingInsideBlock;
      return true;
    }
    status = st;
    return false;
  }

  if (m_wp > m_flushPos || m_wp >= m_windowSize) {
    if (!flushWindow(sink, log, true)) {
      status = 52;
      return false;
    }
  }
  status = kFinished;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Pull front end.

bool InflateState2::InflateDataDs2(DataSource &src, int, int &overrun, LogBase &log, bool verbose) {
  overrun = 0;
  unsigned char *area = new (std::nothrow) unsigned char[kAreaSize];
  unsigned char *carry = new (std::nothrow) unsigned char[kCarrySize];
  if (!area || !carry) {
    delete[] area;
    delete[] carry;
    log.LogError("Inflate from data source failed.");
    log.LogError("Internal error occurred when inflating from data source.");
    log.LogDataLong("progressMarker", 0);
    return false;
  }
  if (verbose) log.EnterContext("inflator", true);
  int returnedFromLoc = 0;
  int progressMarker = 0;
  bool ok = inflateDataC(src, area, area + kAreaSize - 1, carry, kCarrySize, returnedFromLoc,
                         progressMarker, overrun, log, verbose);
  if (verbose) {
    log.LogDataLong("returnedFromLoc", returnedFromLoc);
    log.LogDataLong("progressMarker", progressMarker);
    log.LeaveContext();
  }
  if (!ok) {
    log.LogError("Inflate from data source failed.");
    log.LogDataLong("InflateErrorCode", returnedFromLoc);
    if (returnedFromLoc == 67812) log.LogError("Inflate aborted by application event callback.");
    // A failure that no input can cause: the table builder's own fault or a state the decoder
    // never enters.
    if (returnedFromLoc == 1000 + 14 || returnedFromLoc == 1000 + 50) {
      log.LogError("Internal error occurred when inflating from data source.");
      log.LogDataLong("progressMarker", progressMarker);
    }
  }
  delete[] area;
  delete[] carry;
  return ok;
}

bool InflateState2::fillSrcBuf(DataSource &src, unsigned char *area, unsigned char *,
                               unsigned int &, unsigned char *readPos, unsigned int &nInArea,
                               bool &srcEnded) {
  unsigned int consumed = static_cast<unsigned int>(readPos - area);
  if (consumed > nInArea) consumed = nInArea;
  unsigned int unconsumed = nInArea - consumed;
  if (consumed) std::memmove(area, area + consumed, unconsumed);
  nInArea = unconsumed;
  while (!srcEnded && nInArea < kAreaUsable) {
    unsigned int want = kAreaUsable - nInArea;
    unsigned int got = src.readBytes(area + nInArea, 1, want, nullptr);
    if (got == 0 || got > want) {
      srcEnded = true;
      break;
    }
    nInArea += got;
    if (src.endOfStream()) srcEnded = true;
    // One successful read per refill is enough; the next step asks again when short.
    break;
  }
  std::memset(area + nInArea, 0, 8);
  return true;
}

bool InflateState2::inflateDataC(DataSource &src, unsigned char *area, unsigned char *,
                                 unsigned char *carry, unsigned int carrySize, int &returnedFromLoc,
                                 int &progressMarker, int &overrun, LogBase &log, bool verbose) {
  if (verbose) log.LogInfo("inflateDataC");
  returnedFromLoc = 0;
  progressMarker = 0;
  overrun = 0;
  unsigned int nInArea = 0;
  bool srcEnded = false;
  uint64_t pos = 0; // bit position in the area
  fillSrcBuf(src, area, carry, carrySize, area, nInArea, srcEnded);
  m_windowSize = 32768;
  DataSinkSink sink(m_sink);

  static const struct {
    int state;
    const char *text;
  } kStateTexts[] = {{-1, "State: -1, Need block type."}, {0, "State: 0, need stored setup"},
                     {1, "State: 1, need fixed setup"},   {2, "State: 2, need dynamic setup"},
                     {10, "State: 10, need stored data"}, {11, "State: 11, need fixed data"},
                     {12, "State: 12, need dynamic data"}};
  int loggedState = -2;

  for (;;) {
    if (m_state == -1 && m_lastBlock) {
      if (verbose) log.LogInfo("Finished because state = -1 and lastBlock bit is set.");
      break;
    }
    if (verbose && m_state != loggedState && (m_state < 100)) {
      const char *text = "State: unknown.";
      for (const auto &st : kStateTexts)
        if (st.state == m_state) text = st.text;
      log.LogInfo(text);
      loggedState = m_state;
    }
    unsigned int rb = static_cast<unsigned int>(pos >> 3);
    // Inside a block's symbols a refill is the emergency kind: a run of symbols stopped short of
    // the area's end. Before a header or a stored copy it is the regular one.
    const char *refillText =
        (m_state == 110 || m_state == 120) ? "Emergency refill..." : "Refilling source buffer...";
    if (!srcEnded && nInArea - rb < kRefillBelow) {
      if (verbose) log.LogInfo(refillText);
      fillSrcBuf(src, area, carry, carrySize, area + rb, nInArea, srcEnded);
      pos &= 7;
    }
    Bits in;
    in.p = area;
    in.pos = pos;
    in.end = uint64_t(nInArea) * 8;
    // A run of symbols stops where the area is due for a refill.
    in.fastEnd = fastLimit(in.end, srcEnded ? 0 : kRefillBelow);
    int st = 0;
    progressMarker = m_state < 0 ? 1 : (m_state < 100 ? 2 + m_state % 20 : 23 + m_state / 100);
    StepResult r = step(in, sink, log, st);
    if (r == kStepDone) {
      pos = in.pos;
      continue;
    }
    if (r == kStepFailed) {
      if (st == 3) log.LogError("unexpectedBlockType");
      returnedFromLoc = sink.aborted ? 67812 : 1000 + st;
      return false;
    }
    // Out of input: top up, or fail when the source has ended.
    if (!srcEnded) {
      if (verbose) log.LogInfo(refillText);
      rb = static_cast<unsigned int>(pos >> 3);
      fillSrcBuf(src, area, carry, carrySize, area + rb, nInArea, srcEnded);
      pos &= 7;
      continue;
    }
    returnedFromLoc = 1000 + st;
    return false;
  }

  if (m_wp > m_flushPos || m_wp >= m_windowSize) {
    if (!flushWindow(sink, log, true)) {
      returnedFromLoc = sink.aborted ? 67812 : 47;
      return false;
    }
  }
  uint64_t usedBytes = (pos + 7) >> 3;
  overrun = static_cast<int>(nInArea - static_cast<unsigned int>(usedBytes));
  if (verbose) {
    log.LogDataLong("nSrcBuf", static_cast<int>(nInArea));
    log.LogDataLong("numConsumed", static_cast<int>(usedBytes));
    log.LogDataLong("dsOverrun", overrun);
  }
  returnedFromLoc = 50;
  return true;
}
