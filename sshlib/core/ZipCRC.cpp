#include "sshlib/core/ZipCRC.h"

#include <mutex>

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

unsigned int ZipCRC::update(unsigned int crc, const unsigned char *p, unsigned int n) {
  const unsigned int *tab = g_crcTable;
  while (n >= 16) {
    for (int i = 0; i < 16; ++i)
      crc = tab[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    p += 16;
    n -= 16;
  }
  while (n--)
    crc = tab[(crc ^ *p++) & 0xFFu] ^ (crc >> 8);
  return crc;
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
