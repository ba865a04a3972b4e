#include "sshlib/core/RazudodBzip2.h"

#include <bzlib.h>

#include <cstdint>
#include <cstring>

#include "sshlib/core/DataBuffer.h"

RazudodBzip2::RazudodBzip2() = default;

RazudodBzip2::~RazudodBzip2() = default;

bool RazudodBzip2::unBzipWithHeader(DataBuffer &in, DataBuffer &out) {
  unsigned int n = in.getSize();
  if (n == 0) {
    out.clear();
    return true;
  }
  static const unsigned char kMagic[4] = {0xE1, 0xA7, 0x94, 0xB3};
  const unsigned char *p = in.getData2();
  if (n < 8 || std::memcmp(p, kMagic, 4) != 0) return false;
  // Little-endian whatever the host.
  uint32_t stated =
      uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
  out.clear();
  uint64_t room64 = uint64_t(stated) + 20;
  if (room64 > 0xFFFFFFFFu) return false;
  unsigned int room = (unsigned int)room64;
  if (!out.ensureBuffer(room)) return false;

  bz_stream strm;
  std::memset(&strm, 0, sizeof(strm));
  if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK) return false;
  strm.next_in = (char *)(p + 8);
  strm.avail_in = n - 8;
  strm.next_out = (char *)out.getData2();
  strm.avail_out = room;
  int rc = BZ2_bzDecompress(&strm);
  unsigned int produced = room - strm.avail_out;
  BZ2_bzDecompressEnd(&strm);
  out.setDataSize_CAUTION(produced);
  return rc == BZ_STREAM_END;
}
