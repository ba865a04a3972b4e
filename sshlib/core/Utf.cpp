#include "sshlib/core/Utf.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "sshlib/core/DataBuffer.h"

namespace {

// UTF-7 tables, built once for the whole process.
const char direct[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789'(),-./:?";
const char spaces[] = " \t\r\n";
const char base64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
bool mustshiftsafe[128];
short invbase64[128];
std::once_flag needtables;

void InitializleUcs7() {
  for (int i = 0; i < 128; ++i) {
    mustshiftsafe[i] = true;
    invbase64[i] = -1;
  }
  for (const char *p = direct; *p; ++p)
    mustshiftsafe[static_cast<unsigned char>(*p)] = false;
  for (const char *p = spaces; *p; ++p)
    mustshiftsafe[static_cast<unsigned char>(*p)] = false;
  for (int i = 0; base64[i]; ++i)
    invbase64[static_cast<unsigned char>(base64[i])] = static_cast<short>(i);
}

void ensureTables() {
  std::call_once(needtables, InitializleUcs7);
}

// The tables hold 128 entries: every byte from 0x80 up is outside both alphabets.
inline int base64Value(unsigned char b) {
  return b < 128 ? invbase64[b] : -1;
}

const unsigned char trailingBytesForUTF8[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};

const unsigned int offsetsFromUTF8[6] = {0x00000000u, 0x00003080u, 0x000E2080u,
                                         0x03C82080u, 0xFA082080u, 0x82082080u};

const unsigned char firstByteMark[7] = {0x00, 0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};

void appendBytes(DataBuffer &out, const std::vector<unsigned char> &v) {
  if (!v.empty()) out.append(v.data(), static_cast<unsigned int>(v.size()));
}

void putUnit16(std::vector<unsigned char> &v, unsigned short u) {
  unsigned char b[2];
  std::memcpy(b, &u, 2);
  v.push_back(b[0]);
  v.push_back(b[1]);
}

bool utf8ToUtf32(const DataBuffer &in, DataBuffer &out, bool bigEndian) {
  const unsigned char *p = in.getData2();
  const unsigned int n = in.getSize();
  std::vector<unsigned char> v;
  v.reserve(static_cast<size_t>(n) * 4);
  bool ok = true;
  unsigned int i = 0;
  while (i < n) {
    const int extra = trailingBytesForUTF8[p[i]];
    if (static_cast<unsigned int>(extra) + 1 > n - i || !Utf::isLegalUtf8(p + i, extra + 1)) {
      ok = false;
      break;
    }
    unsigned int ch = 0;
    for (int k = 0; k <= extra; ++k) {
      if (k) ch <<= 6;
      ch += p[i + k];
    }
    ch -= offsetsFromUTF8[extra];
    i += static_cast<unsigned int>(extra) + 1;
    // An encoded surrogate is no character of its own: it stands for U+FFFD.
    if (ch >= 0xD800 && ch <= 0xDFFF) ch = 0xFFFD;
    if (bigEndian) {
      v.push_back(static_cast<unsigned char>(ch >> 24));
      v.push_back(static_cast<unsigned char>(ch >> 16));
      v.push_back(static_cast<unsigned char>(ch >> 8));
      v.push_back(static_cast<unsigned char>(ch));
    } else {
      v.push_back(static_cast<unsigned char>(ch));
      v.push_back(static_cast<unsigned char>(ch >> 8));
      v.push_back(static_cast<unsigned char>(ch >> 16));
      v.push_back(static_cast<unsigned char>(ch >> 24));
    }
  }
  appendBytes(out, v);
  return ok;
}

} // namespace

bool Utf::UnicodeToUtf7(DataBuffer &in, DataBuffer &out) {
  ensureTables();
  const unsigned char *p = in.getData2();
  unsigned int units = in.getSize() / 2;
  unsigned int i = 0;
  if (units > 0) {
    unsigned short first;
    std::memcpy(&first, p, 2);
    if (first == 0xFEFF) i = 1;
  }
  std::vector<unsigned char> v;
  v.reserve(static_cast<size_t>(units) * 3 + 8);
  bool inRun = false;
  unsigned int bits = 0;
  int nbits = 0;
  auto endRun = [&]() {
    if (nbits > 0) {
      v.push_back(static_cast<unsigned char>(base64[(bits << (6 - nbits)) & 0x3F]));
      nbits = 0;
    }
    bits = 0;
    v.push_back('-');
    inRun = false;
  };
  for (; i < units; ++i) {
    unsigned short u;
    std::memcpy(&u, p + 2 * i, 2);
    const bool isDirect = u < 0x80 && !mustshiftsafe[u];
    if (isDirect) {
      if (inRun) endRun();
      v.push_back(static_cast<unsigned char>(u));
      continue;
    }
    if (!inRun) {
      v.push_back('+');
      if (u == '+') {
        v.push_back('-');
        continue;
      }
      inRun = true;
    }
    bits = (bits << 16) | u;
    nbits += 16;
    while (nbits >= 6) {
      v.push_back(static_cast<unsigned char>(base64[(bits >> (nbits - 6)) & 0x3F]));
      nbits -= 6;
    }
    bits &= (1u << nbits) - 1;
  }
  if (inRun) endRun();
  appendBytes(out, v);
  return true;
}

bool Utf::Utf7ToUnicode(DataBuffer &in, DataBuffer &out) {
  ensureTables();
  const unsigned char *p = in.getData2();
  const unsigned int n = in.getSize();
  std::vector<unsigned char> v;
  v.reserve(static_cast<size_t>(n) * 2);
  bool ok = true;
  unsigned int i = 0;
  while (i < n) {
    unsigned char b = p[i++];
    if (b != '+') {
      if (b == 0) continue;
      if (b > 0x7F) ok = false;
      putUnit16(v, b);
      continue;
    }
    // A shifted run: Base64 characters carry the units.
    unsigned int bits = 0;
    int nbits = 0;
    int nBase64 = 0;
    bool wroteUnit = false;
    while (i < n && base64Value(p[i]) >= 0) {
      bits = (bits << 6) | static_cast<unsigned int>(base64Value(p[i]));
      nbits += 6;
      ++nBase64;
      ++i;
      if (nbits >= 16) {
        putUnit16(v, static_cast<unsigned short>(bits >> (nbits - 16)));
        nbits -= 16;
        bits &= (1u << nbits) - 1;
        wroteUnit = true;
      }
    }
    if (nbits > 0 && bits != 0) ok = false;
    if (i < n && (p[i] == '+' || p[i] == '-')) {
      const unsigned char end = p[i++];
      if (end == '-' && nBase64 == 0) {
        putUnit16(v, '+');
      } else if (!wroteUnit) {
        ok = false;
      }
    } else if (!wroteUnit) {
      // The following character (if any) is handled as an ordinary one.
      ok = false;
    }
  }
  appendBytes(out, v);
  return ok;
}

bool Utf::isLegalUtf8(const unsigned char *p, int len) {
  if (p == nullptr || len < 1 || len > 4) return false;
  if (len >= 4 && (p[3] < 0x80 || p[3] > 0xBF)) return false;
  if (len >= 3 && (p[2] < 0x80 || p[2] > 0xBF)) return false;
  if (len >= 2) {
    const unsigned char a = p[1];
    if (a > 0xBF) return false;
    switch (p[0]) {
    case 0xE0:
      if (a < 0xA0) return false;
      break;
    case 0xF0:
      if (a < 0x90) return false;
      break;
    case 0xF4:
      if (a > 0x8F) return false;
      break;
    default:
      if (a < 0x80) return false;
    }
  }
  if (p[0] >= 0x80 && p[0] < 0xC2) return false;
  return p[0] <= 0xF4;
}

int Utf::NumUtf8Bytes(const unsigned char *p, int avail) {
  if (p == nullptr || avail < 1) return 0;
  const int len = trailingBytesForUTF8[p[0]] + 1;
  if (len > avail) return avail;
  return isLegalUtf8(p, len) ? len : 1;
}

bool Utf::Utf32ToUtf8(const DataBuffer &in, DataBuffer &out) {
  const unsigned int n = in.getSize();
  if (n >= 1 && n <= 3) return false;
  const unsigned char *p = in.getData2();
  std::vector<unsigned char> v;
  v.reserve(static_cast<size_t>(n));
  for (unsigned int i = 0; i + 4 <= n; i += 4) {
    unsigned int ch = static_cast<unsigned int>(p[i]) | static_cast<unsigned int>(p[i + 1]) << 8 |
                      static_cast<unsigned int>(p[i + 2]) << 16 |
                      static_cast<unsigned int>(p[i + 3]) << 24;
    // Surrogates and values beyond U+10FFFF are no characters: they would make illegal UTF-8.
    if (ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) ch = 0xFFFD;
    int len = ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4;
    unsigned char seq[4];
    for (int k = len - 1; k > 0; --k) {
      seq[k] = static_cast<unsigned char>(0x80 | (ch & 0x3F));
      ch >>= 6;
    }
    seq[0] = static_cast<unsigned char>(firstByteMark[len] | ch);
    v.insert(v.end(), seq, seq + len);
  }
  appendBytes(out, v);
  return true;
}

bool Utf::Utf8toUtf32(const DataBuffer &in, DataBuffer &out) {
  return utf8ToUtf32(in, out, false);
}

bool Utf::Utf8toUtf32BE(const DataBuffer &in, DataBuffer &out) {
  return utf8ToUtf32(in, out, true);
}
