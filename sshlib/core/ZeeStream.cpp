#include "sshlib/core/ZeeStream.h"

#include <zlib.h>

#include <cstring>
#include <new>

#include "sshlib/core/LogBase.h"

namespace {

// zlib's level table: good length, lazy match, nice length, chain length.
struct Params {
  int good, lazy, nice, chain;
};
const Params kLevelParams[10] = {{0, 0, 0, 0},        {4, 4, 8, 4},      {4, 5, 16, 8},
                                 {4, 6, 32, 32},      {4, 4, 16, 16},    {8, 16, 32, 32},
                                 {8, 16, 128, 128},   {8, 32, 128, 256}, {32, 128, 258, 1024},
                                 {32, 258, 258, 4096}};

int validLevel(int level) {
  return (level < 0 || level > 9) ? 6 : level;
}

} // namespace

ZeeStream::ZeeStream(int level, bool computeAdler) : m_computeAdler(computeAdler) {
  m_level = validLevel(level);
  m_engineLevel = m_level;
  const Params &p = kLevelParams[m_level];
  m_good = p.good;
  m_lazy = p.lazy;
  m_nice = p.nice;
  m_chain = p.chain;
  m_z = new (std::nothrow) z_stream;
  if (m_z) {
    std::memset(m_z, 0, sizeof(*m_z));
    // Raw Deflate, 32 KiB window, memory level 8.
    m_engineOk = deflateInit2(m_z, m_level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  }
}

ZeeStream::~ZeeStream() {
  if (m_z) {
    if (m_engineOk) deflateEnd(m_z);
    delete m_z;
  }
}

bool ZeeStream::setEngineLevel(int level, bool keepMatchParams) {
  if (!m_engineOk) return false;
  level = validLevel(level);
  if (level != m_engineLevel) {
    // No input is pointed at while the level changes, so nothing is compressed by it.
    unsigned char dummy[16];
    m_z->next_in = nullptr;
    m_z->avail_in = 0;
    m_z->next_out = dummy;
    m_z->avail_out = 0;
    int rc = deflateParams(m_z, level, Z_DEFAULT_STRATEGY);
    if (rc == Z_STREAM_ERROR) return false;
    m_engineLevel = level;
  }
  // The engine keeps the match search of the stream's own level whatever method runs.
  if (keepMatchParams && level != 0) deflateTune(m_z, m_good, m_lazy, m_nice, m_chain);
  return true;
}

void ZeeStream::put_CLevel(int level) {
  m_level = validLevel(level);
  const Params &p = kLevelParams[m_level];
  m_good = p.good;
  m_lazy = p.lazy;
  m_nice = p.nice;
  m_chain = p.chain;
  setEngineLevel(m_level, false);
}

unsigned int ZeeStream::adler32(unsigned int adler, const unsigned char *buf, unsigned int len) {
  if (!buf) return 1;
  const unsigned int base = 65521;
  unsigned int a = adler & 0xFFFF;
  unsigned int b = (adler >> 16) & 0xFFFF;
  while (len) {
    // 5552 is the largest run for which the sums cannot overflow 32 bits.
    unsigned int n = len < 5552 ? len : 5552;
    len -= n;
    while (n--) {
      a += *buf++;
      b += a;
    }
    a %= base;
    b %= base;
  }
  return (b << 16) | a;
}

unsigned int ZeeStream::read_buf(char *buf, unsigned int size) {
  unsigned int n = avail_in < size ? avail_in : size;
  if (n == 0 || !buf || !next_in) return 0;
  std::memcpy(buf, next_in, n);
  if (m_computeAdler) m_adler = adler32(m_adler, next_in, n);
  next_in += n;
  avail_in -= n;
  total_in += n;
  return n;
}

int ZeeStream::runEngine(int flush) {
  m_z->next_in = const_cast<Bytef *>(next_in);
  m_z->avail_in = avail_in;
  m_z->next_out = next_out;
  m_z->avail_out = avail_out;
  const unsigned char *before = next_in;
  int rc = deflate(m_z, flush);
  unsigned int taken = static_cast<unsigned int>(m_z->next_in - before);
  if (taken && m_computeAdler) m_adler = adler32(m_adler, before, taken);
  unsigned int produced = avail_out - m_z->avail_out;
  next_in = m_z->next_in;
  avail_in = m_z->avail_in;
  total_in += taken;
  next_out = m_z->next_out;
  avail_out = m_z->avail_out;
  total_out += produced;
  return rc;
}

void ZeeStream::flush_pending() {
  if (!m_engineOk || !next_out || avail_out == 0) return;
  unsigned int pending = 0;
  int bits = 0;
  if (deflatePending(m_z, &pending, &bits) != Z_OK || pending == 0) return;
  // With no input pointed at, a plain step only delivers what is pending.
  const unsigned char *in = next_in;
  unsigned int avail = avail_in;
  next_in = nullptr;
  avail_in = 0;
  // A finishing stream only accepts finishing steps.
  runEngine(status == kFinishing ? Z_FINISH : Z_NO_FLUSH);
  next_in = in;
  avail_in = avail;
}

bool ZeeStream::NextIteration(bool finish, bool &done) {
  done = false;
  if (!m_engineOk) return false;
  if (!finish && status == kFinishing) return false;
  if (!next_out || (!next_in && avail_in) || avail_out == 0) return false;
  if (!finish && avail_in == 0) {
    // Nothing to take and nothing to finish: only pending output can make progress.
    unsigned int pending = 0;
    int bits = 0;
    if (deflatePending(m_z, &pending, &bits) != Z_OK || pending == 0) return false;
  }
  if (finish) status = kFinishing;
  int rc = runEngine(finish ? Z_FINISH : Z_NO_FLUSH);
  if (rc == Z_STREAM_END) {
    done = true;
    return true;
  }
  // Z_BUF_ERROR: no progress was possible (nothing pending and no input), or input after the
  // finish had begun.
  return rc == Z_OK;
}

bool ZeeStream::NextZlibIteration(LogBase &log) {
  if (!next_out || (!next_in && avail_in) || avail_out == 0) return false;
  if (avail_in == 0 && !m_zlibOutputFull) return true;
  if (!m_engineOk) {
    log.LogError("Zlib compression stream error (2).");
    return false;
  }
  unsigned int pending = 0;
  int bits = 0;
  const bool continuing = m_zlibOutputFull;
  if (!continuing && deflatePending(m_z, &pending, &bits) == Z_OK && pending != 0) {
    log.LogError("Unexpected pending output in Zlib compression stream.");
    return false;
  }
  if (status == kFinishing) {
    log.LogError("Zlib compression stream error (2).");
    return false;
  }
  // Short packets are stored; longer ones are compressed with the fast (greedy) method. A packet
  // whose output filled the caller's area goes on with the method it started with.
  if (!continuing && !setEngineLevel(avail_in > 63 ? 3 : 0, true)) {
    log.LogError("Zlib compression stream error (2).");
    return false;
  }
  // A full flush ends the packet with an empty stored block (00 00 FF FF) and forgets the
  // match history, so no later packet refers back into this one.
  int rc = runEngine(Z_FULL_FLUSH);
  m_zlibOutputFull = avail_out == 0;
  if (rc != Z_OK && rc != Z_BUF_ERROR) {
    log.LogError("Zlib compression stream error (2).");
    return false;
  }
  return true;
}
