#include "sshlib/core/ZipCRC.h"

#include <mutex>

#include <zlib.h>

namespace {
unsigned int g_crcTable[256];
std::once_flag g_crcTableOnce;
} // namespace

ZipCRC::ZipCRC() : m_crc(0xFFFFFFFFu) {
  initCrcTable();
}

ZipCRC::~ZipCRC() = default;

unsigned int ZipCRC::reflect(unsigned int value, int bits) {
  unsigned int r = 0;
  for (int i = 0; i < bits; ++i) {
    if (value & 1u) r |= 1u << (bits - 1 - i);
    value >>= 1;
  }
  return r;
}

void ZipCRC::initCrcTable() {
  std::call_once(g_crcTableOnce, [] {
    for (unsigned int i = 0; i < 256; ++i) {
      unsigned int t = reflect(i, 8) << 24;
      for (int k = 0; k < 8; ++k)
        t = (t & 0x80000000u) ? (t << 1) ^ 0x04C11DB7u : (t << 1);
      g_crcTable[i] = reflect(t, 32);
    }
  });
}

// zlib's crc32 works on the finished value (initial and final exclusive-or applied) and is
// several times faster than a byte-wise table; the running value here is kept before the final
// exclusive-or.
unsigned int ZipCRC::update(unsigned int crc, const unsigned char *p, unsigned int n) {
  return static_cast<unsigned int>(::crc32(crc ^ 0xFFFFFFFFu, p, n)) ^ 0xFFFFFFFFu;
}

void ZipCRC::moreData(const unsigned char *p, unsigned int n) {
  if (!p || n == 0) return;
  m_crc = update(m_crc, p, n);
}

unsigned int ZipCRC::getCRC(const unsigned char *p, unsigned int n, unsigned short *) {
  if (!p || n == 0) return 0;
  initCrcTable();
  return update(0xFFFFFFFFu, p, n) ^ 0xFFFFFFFFu;
}
