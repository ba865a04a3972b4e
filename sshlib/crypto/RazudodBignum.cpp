#include "sshlib/crypto/RazudodBignum.h"

#include <cstring>
#include <new>
#include <vector>

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"

unsigned int *RazudodBignum::fromBytes(const unsigned char *p, unsigned int n) {
  if (!p && n) return nullptr;
  while (n > 0 && *p == 0) {
    ++p;
    --n;
  }
  const unsigned int words = n == 0 ? 1 : (n + 3) / 4;
  unsigned int *bn = new (std::nothrow) unsigned int[words + 1]();
  if (!bn) return nullptr;
  bn[0] = words;
  for (unsigned int i = 0; i < n; ++i) {
    const unsigned int fromEnd = n - 1 - i;
    bn[1 + fromEnd / 4] |= static_cast<unsigned int>(p[i]) << (8 * (fromEnd % 4));
  }
  return bn;
}

unsigned int *RazudodBignum::copybn(const unsigned int *bn) {
  if (!bn) return nullptr;
  unsigned int *c = new (std::nothrow) unsigned int[bn[0] + 1];
  if (c) std::memcpy(c, bn, (bn[0] + 1) * sizeof(unsigned int));
  return c;
}

void RazudodBignum::freebn(unsigned int *bn) {
  if (!bn) return;
  std::memset(bn, 0, (bn[0] + 1) * sizeof(unsigned int));
  delete[] bn;
}

void RazudodBignum::toBytes(const unsigned int *bn, DataBuffer &out) {
  if (!bn) return;
  bool started = false;
  for (unsigned int w = bn[0]; w >= 1; --w)
    for (int b = 3; b >= 0; --b) {
      const unsigned char c = static_cast<unsigned char>(bn[w] >> (8 * b));
      if (c || started) {
        out.appendChar(c);
        started = true;
      }
    }
}

void RazudodBignum::ssh2_mpint_fmt(const unsigned int *bn, DataBuffer &out) {
  DataBuffer mag;
  toBytes(bn, mag);
  if (mag.getSize() && (mag.getData2()[0] & 0x80)) out.appendChar(0);
  out.append(mag);
}

bool RazudodBignum::bignumToMpInt(const unsigned int *bn, mp_int *mp) {
  if (!bn || !mp) return false;
  DataBuffer mag;
  toBytes(bn, mag);
  return RazudodMp::read_unsigned_bin(*mp, mag.getData2(), mag.getSize());
}

unsigned int *RazudodBignum::mpIntToBignum(const mp_int *mp) {
  if (!mp) return nullptr;
  DataBuffer mag;
  if (!RazudodMp::append_to_db(*mp, mag)) return nullptr;
  return fromBytes(mag.getData2(), mag.getSize());
}

int RazudodBignum::bitcount(const unsigned int *bn) {
  if (!bn) return 0;
  for (unsigned int w = bn[0]; w >= 1; --w)
    if (bn[w]) return static_cast<int>((w - 1) * 32 + 32 - __builtin_clz(bn[w]));
  return 0;
}

int RazudodBignum::compare(const unsigned int *a, const unsigned int *b) {
  const unsigned int na = a ? a[0] : 0, nb = b ? b[0] : 0;
  for (unsigned int w = na > nb ? na : nb; w >= 1; --w) {
    const unsigned int x = w <= na ? a[w] : 0, y = w <= nb ? b[w] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

bool RazudodMp::read_unsigned_bin(mp_int &a, const unsigned char *p, unsigned int n) {
  if (n == 0) {
    mp_zero(&a);
    return true;
  }
  return p && mp_from_ubin(&a, p, n) == MP_OKAY;
}

bool RazudodMp::append_to_db(const mp_int &a, DataBuffer &out) {
  const size_t n = mp_ubin_size(&a);
  if (mp_iszero(&a)) return true;
  std::vector<unsigned char> buf(n);
  size_t written = 0;
  if (mp_to_ubin(&a, buf.data(), n, &written) != MP_OKAY) return false;
  const bool ok = out.append(buf.data(), static_cast<unsigned int>(written));
  std::memset(buf.data(), 0, buf.size());
  return ok;
}

bool RazudodMp::append_fixed(const mp_int &a, unsigned int n, DataBuffer &out) {
  DataBuffer mag;
  if (!append_to_db(a, mag) || mag.getSize() > n) return false;
  out.appendCharN(0, n - mag.getSize());
  const bool ok = out.append(mag);
  mag.secureClear();
  return ok;
}

bool RazudodMp::to_base64(const mp_int &a, LogBase &, StringBuffer &out) {
  DataBuffer mag;
  if (!append_to_db(a, mag)) return false;
  if (mag.getSize() == 0) mag.appendChar(0);
  ContentCoding cc;
  const bool ok = cc.encodeBase64_noCrLf(mag.getData2(), static_cast<int>(mag.getSize()), out);
  mag.secureClear();
  return ok;
}

bool RazudodMp::from_base64(const char *text, mp_int &a) {
  if (!text) return false;
  DataBuffer mag;
  ContentCoding cc;
  if (!cc.decodeBase64ToDb(text, static_cast<int>(std::strlen(text)), mag)) return false;
  const bool ok = read_unsigned_bin(a, mag.getData2(), mag.getSize());
  mag.secureClear();
  return ok;
}

unsigned int RazudodMp::mp_get_int(const mp_int &a) {
  return mp_get_mag_u32(&a);
}

bool RazudodMp::ssh2_mpint_fmt(const mp_int &a, DataBuffer &out) {
  DataBuffer mag;
  if (mp_isneg(&a) || !append_to_db(a, mag)) return false;
  if (mag.getSize() && (mag.getData2()[0] & 0x80)) out.appendChar(0);
  const bool ok = out.append(mag);
  mag.secureClear();
  return ok;
}
