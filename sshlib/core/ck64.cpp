#include "sshlib/core/ck64.h"

#include "sshlib/core/StringBuffer.h"

#include <cstdlib>

int64_t ck64::DwordsToInt64(uint32_t low, uint32_t high) {
  return static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
}

void ck64::Int64ToDwords(int64_t v, uint32_t &low, uint32_t &high) {
  uint64_t u = static_cast<uint64_t>(v);
  low = static_cast<uint32_t>(u);
  high = static_cast<uint32_t>(u >> 32);
}

uint32_t ck64::LowWord(int64_t v) {
  return static_cast<uint32_t>(static_cast<uint64_t>(v));
}

bool ck64::TooBigForUnsigned32(int64_t v) {
  return (static_cast<uint64_t>(v) >> 32) != 0;
}

uint32_t ck64::toUnsignedLong(int64_t v) {
  return TooBigForUnsigned32(v) ? 0xFFFFFFFFu : LowWord(v);
}

namespace {
// Digits of an unsigned magnitude, so that the most negative value needs no negation of its own.
void writeMagnitude(uint64_t mag, char *buf, unsigned base) {
  char *p = buf;
  do {
    unsigned d = static_cast<unsigned>(mag % base);
    *p++ = static_cast<char>(d < 10 ? '0' + d : 'a' + (d - 10));
    mag /= base;
  } while (mag);
  *p = '\0';
  for (char *a = buf, *b = p - 1; a < b; ++a, --b) {
    char t = *a;
    *a = *b;
    *b = t;
  }
}
} // namespace

bool ck64::xtoa(int64_t v, char *buf, int base, bool negative) {
  if (!buf) return false;
  if (base < 2 || base > 36) {
    buf[0] = '\0';
    return false;
  }
  uint64_t mag = static_cast<uint64_t>(v);
  if (negative) {
    *buf++ = '-';
    mag = 0 - mag;
  }
  writeMagnitude(mag, buf, static_cast<unsigned>(base));
  return true;
}

bool ck64::itoa(int64_t v, char *buf, int base) {
  return xtoa(v, buf, base, base == 10 && v < 0);
}

bool ck64::Int64ToString(int64_t v, StringBuffer &sb) {
  char buf[72];
  itoa(v, buf, 10);
  return sb.append(buf);
}

int64_t ck64::StringToInt64(const char *s) {
  if (!s) return 0;
  return static_cast<int64_t>(std::strtoll(s, nullptr, 10));
}
