#include "sshlib/core/RazudodLzw.h"

#include <cstring>
#include <memory>
#include <new>

#include "sshlib/core/DataSource.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/Output.h"

namespace {

constexpr unsigned int kInChunk = 512;
constexpr unsigned int kInBufSize = kInChunk + 64;
constexpr unsigned int kOutBufSize = 512;
constexpr unsigned int kInitBits = 9;
constexpr unsigned int kMaxBits = 16;
constexpr long kClear = 256;
// No string of the dictionary is longer than its number of entries: an unwind that goes on
// longer is walking a prefix cycle that corrupt data created.
constexpr unsigned int kStackSize = (1u << kMaxBits) + 2;

struct Tables {
  unsigned short prefix[1u << kMaxBits];
  unsigned char suffix[1u << kMaxBits];
  unsigned char stack[kStackSize];
  unsigned char inbuf[kInBufSize + 8];
  unsigned char outbuf[kOutBufSize];
};

} // namespace

RazudodLzw::RazudodLzw() = default;
RazudodLzw::~RazudodLzw() = default;

int RazudodLzw::decompress2(DataSource &src, Output &out, bool withMagic, LogBase &log) {
  std::unique_ptr<Tables> t(new (std::nothrow) Tables);
  if (!t) return -1;
  std::memset(t->prefix, 0, sizeof(t->prefix));
  for (unsigned int i = 0; i < 256; i++)
    t->suffix[i] = static_cast<unsigned char>(i);
  std::memset(t->suffix + 256, 0, sizeof(t->suffix) - 256);
  unsigned char *inbuf = t->inbuf;

  // Header.
  const unsigned int hdr = withMagic ? 3 : 1;
  long insize = 0;
  long rsize = 0;
  while (insize < static_cast<long>(hdr)) {
    unsigned int got = src.readBytes(inbuf + insize, 1, kInChunk - insize, &log);
    if (got == 0) break;
    insize += got;
    rsize = got;
  }
  if (withMagic && (insize < 3 || inbuf[0] != 0x1F || inbuf[1] != 0x9D)) {
    log.LogError("Invalid header.");
    return -1;
  }
  if (insize < static_cast<long>(hdr)) return -1;
  const unsigned int flags = inbuf[hdr - 1];
  const unsigned int maxbits = flags & 0x1F;
  const bool blockMode = (flags & 0x80) != 0;
  if (maxbits > kMaxBits) return -1;
  const long maxmaxcode = 1L << maxbits;

  unsigned int nbits = kInitBits;
  long maxcode = (1L << nbits) - 1;
  unsigned long bitmask = (1UL << nbits) - 1;
  long freeEnt = blockMode ? 257 : 256;
  long oldcode = -1;
  int finchar = 0;
  long posbits = static_cast<long>(hdr) * 8;
  unsigned int outpos = 0;

  auto flushOut = [&]() -> bool {
    if (outpos == 0) return true;
    bool ok = out.fwrite2(t->outbuf, 1, outpos, log) == outpos;
    outpos = 0;
    return ok;
  };

  // The buffer always starts on a boundary of a group of eight codes of the current width:
  // widening and clearing skip to the next such boundary, as the compressor pads them.
  for (;;) {
  resetbuf : {
    long o = posbits >> 3;
    long e = o <= insize ? insize - o : 0;
    if (e) std::memmove(inbuf, inbuf + o, static_cast<size_t>(e));
    insize = e;
    posbits = 0;
  }
    if (insize < static_cast<long>(kInBufSize - kInChunk)) {
      unsigned int got = src.readBytes(inbuf + insize, 1, kInChunk, &log);
      rsize = got;
      insize += got;
    }
    std::memset(inbuf + insize, 0, 8);
    long inbits =
        rsize > 0 ? (insize - insize % nbits) << 3 : (insize << 3) - static_cast<long>(nbits - 1);

    while (inbits > posbits) {
      if (freeEnt > maxcode) {
        const long g = static_cast<long>(nbits) << 3;
        posbits = (posbits - 1) + (g - (posbits - 1 + g) % g);
        ++nbits;
        maxcode = nbits == maxbits ? maxmaxcode : (1L << nbits) - 1;
        bitmask = (1UL << nbits) - 1;
        goto resetbuf;
      }
      const unsigned char *p = inbuf + (posbits >> 3);
      unsigned long w =
          p[0] | static_cast<unsigned long>(p[1]) << 8 | static_cast<unsigned long>(p[2]) << 16;
      long code = static_cast<long>((w >> (posbits & 7)) & bitmask);
      posbits += nbits;

      if (oldcode == -1) {
        finchar = static_cast<int>(code & 0xFF);
        oldcode = code;
        t->outbuf[outpos++] = static_cast<unsigned char>(finchar);
        if (outpos == kOutBufSize && !flushOut()) return -1;
        continue;
      }
      if (code == kClear && blockMode) {
        const long g = static_cast<long>(nbits) << 3;
        posbits = (posbits - 1) + (g - (posbits - 1 + g) % g);
        nbits = kInitBits;
        maxcode = (1L << nbits) - 1;
        bitmask = (1UL << nbits) - 1;
        freeEnt = 256;
        goto resetbuf;
      }

      const long incode = code;
      unsigned int sp = kStackSize;
      if (code >= freeEnt) {
        if (code > freeEnt) return -1; // corrupt data
        t->stack[--sp] = static_cast<unsigned char>(finchar);
        code = oldcode;
      }
      while (code >= 256) {
        if (sp == 0) return -1; // prefix cycle
        t->stack[--sp] = t->suffix[code];
        code = t->prefix[code];
      }
      if (sp == 0) return -1;
      finchar = t->suffix[code];
      t->stack[--sp] = static_cast<unsigned char>(finchar);

      while (sp < kStackSize) {
        unsigned int n = kStackSize - sp;
        unsigned int room = kOutBufSize - outpos;
        if (n > room) n = room;
        std::memcpy(t->outbuf + outpos, t->stack + sp, n);
        outpos += n;
        sp += n;
        if (outpos == kOutBufSize && !flushOut()) return -1;
      }

      if (freeEnt < maxmaxcode) {
        t->prefix[freeEnt] = static_cast<unsigned short>(oldcode);
        t->suffix[freeEnt] = static_cast<unsigned char>(finchar);
        ++freeEnt;
      }
      oldcode = incode;
    }
    if (rsize <= 0) break;
  }
  if (!flushOut()) return -1;
  return 0;
}
