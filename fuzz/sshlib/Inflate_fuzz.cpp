// Differential fuzzing of the library's inflater against zlib. Whatever zlib decodes, the
// inflater must decode to the same bytes, whole, in arbitrary chunks and through the pull front
// end (some inputs are plain text that zlib first compresses with settings from the input); when
// the inflater accepts what zlib refuses (it is lenient about incomplete distance codes), what zlib
// produced before refusing must be a prefix of its output.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/InflateState2.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/Output.h"
#include "sshlib/core/PipelineHelp.h"
#include "sshlib/core/ZipCRC.h"

namespace {

constexpr size_t kCap = 1u << 20;

// Collects output up to the cap, then refuses.
class CappedOutput : public Output {
public:
  std::string data;
  unsigned int _fwrite32(const void *p, unsigned int itemSize, unsigned int count,
                         ProgressMonitor *, LogBase &) override {
    size_t n = static_cast<size_t>(itemSize) * count;
    if (data.size() + n > kCap) return 0;
    data.append(static_cast<const char *>(p), n);
    return count;
  }
};

struct Run {
  bool ok = false;
  bool finished = false;
  std::string out;
};

Run ours(const uint8_t *z, size_t n, uint8_t mode) {
  Run r;
  CappedOutput out;
  LogNull log;
  auto inf = std::make_unique<InflateState2>();
  inf->BeginInflate(32768);
  int st = 0;
  if (mode % 3 == 0) {
    r.ok = inf->MoreInflate2(z, static_cast<unsigned int>(n), true, out, r.finished, log, st, 4096);
  } else {
    // Chunks of 1 to 64 bytes; look-ahead 0 or 4096.
    const unsigned int look = mode % 3 == 1 ? 0 : 4096;
    size_t pos = 0;
    unsigned int step = 1 + (mode >> 2) % 64;
    r.ok = true;
    while (r.ok) {
      size_t take = n - pos < step ? n - pos : step;
      bool final = pos + take == n;
      r.ok = inf->MoreInflate2(z + pos, static_cast<unsigned int>(take), final, out, r.finished,
                               log, st, look);
      pos += take;
      if (final) break;
    }
  }
  r.out = out.data;
  return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  const uint8_t *z = data + 1;
  const size_t n = size - 1;

  if (size >= 2 && (mode & 0x30) == 0x30) {
    // The rest is plain text: zlib compresses it with settings taken from the second byte and
    // the inflater must give it back exactly.
    static const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE,
                                     Z_FIXED};
    const uint8_t opt = data[1];
    z_stream d{};
    if (deflateInit2(&d, opt % 10, Z_DEFLATED, -(9 + (opt >> 4) % 7), 1 + (opt >> 2) % 9,
                     strategies[(opt >> 3) % 5]) != Z_OK)
      return 0;
    std::string packed(deflateBound(&d, n) + 64, '\0');
    d.next_in = const_cast<Bytef *>(data + 2);
    d.avail_in = static_cast<uInt>(size - 2);
    d.next_out = reinterpret_cast<Bytef *>(packed.data());
    d.avail_out = static_cast<uInt>(packed.size());
    if (deflate(&d, Z_FINISH) != Z_STREAM_END) std::abort();
    packed.resize(d.total_out);
    deflateEnd(&d);
    Run r = ours(reinterpret_cast<const uint8_t *>(packed.data()), packed.size(), mode);
    if (!r.ok || !r.finished ||
        r.out != std::string(reinterpret_cast<const char *>(data + 2), size - 2))
      std::abort();
    return 0;
  }

  z_stream s{};
  if (inflateInit2(&s, -15) != Z_OK) return 0;
  std::unique_ptr<char[]> zbuf(new char[kCap]);
  s.next_in = const_cast<Bytef *>(z);
  s.avail_in = static_cast<uInt>(n);
  s.next_out = reinterpret_cast<Bytef *>(zbuf.get());
  s.avail_out = static_cast<uInt>(kCap);
  int rc = inflate(&s, Z_FINISH);
  const std::string zout(zbuf.get(), s.total_out);
  const bool capped = s.avail_out == 0;
  inflateEnd(&s);
  if (capped) return 0;

  Run r = ours(z, n, mode);
  const bool zok = rc == Z_STREAM_END;
  if (zok) {
    if (!r.ok || !r.finished || r.out != zout) std::abort();
  } else if (r.ok && r.finished) {
    if (r.out.compare(0, zout.size(), zout) != 0) std::abort();
  }

  if ((mode & 0xC0) == 0xC0) {
    MemoryDataSource src;
    src.initializeMemSource(reinterpret_cast<const char *>(z), static_cast<unsigned int>(n), false);
    CappedOutput out;
    LogNull log;
    PipelineHelp ph(0);
    int overrun = 0;
    unsigned int crc = 0;
    bool ok = ph.inflateFromDS(src, out, log, overrun, crc, false);
    if (zok) {
      if (!ok || out.data != zout) std::abort();
      if (static_cast<size_t>(overrun) != s.avail_in) std::abort();
      if (crc != ZipCRC::getCRC(reinterpret_cast<const unsigned char *>(zout.data()),
                                static_cast<unsigned int>(zout.size()), nullptr))
        std::abort();
    }
  }
  return 0;
}
