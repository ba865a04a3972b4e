#include "sshlib/core/ContentCoding.h"

#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ckMemory.h"

namespace {

const char _base64_table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char _modBase64_table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
const char HexDigits[] = "0123456789ABCDEF";
const char BASE32_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567=";

// Values of the characters "+" to "z"; 127 marks a character outside the standard alphabet.
constexpr unsigned char base64Decode[80] = {
    62,  127, 127, 127, 63, 52, 53, 54, 55,  56,  57,  58,  59,  60,  61, 127, 127, 127, 127, 127,
    127, 127, 0,   1,   2,  3,  4,  5,  6,   7,   8,   9,   10,  11,  12, 13,  14,  15,  16,  17,
    18,  19,  20,  21,  22, 23, 24, 25, 127, 127, 127, 127, 127, 127, 26, 27,  28,  29,  30,  31,
    32,  33,  34,  35,  36, 37, 38, 39, 40,  41,  42,  43,  44,  45,  46, 47,  48,  49,  50,  51};

// Letters of either case and the digits 2 to 7 map to 0..31, "=" to 32, everything else to 255.
struct Base32Table {
  unsigned char v[128];
  constexpr Base32Table() : v() {
    for (int i = 0; i < 128; ++i)
      v[i] = 255;
    for (int i = 0; i < 26; ++i) {
      v['A' + i] = static_cast<unsigned char>(i);
      v['a' + i] = static_cast<unsigned char>(i);
    }
    for (int i = 0; i < 6; ++i)
      v['2' + i] = static_cast<unsigned char>(26 + i);
    v[static_cast<int>('=')] = 32;
  }
};
constexpr Base32Table BASE32_TABLE;

// Bytes from 0x80 up are outside the 128-entry table.
inline unsigned char base32Value(unsigned char c) {
  return c < 128 ? BASE32_TABLE.v[c] : 255;
}

bool appendString(StringBuffer &out, const std::string &s) {
  if (s.empty()) return true;
  return out.appendN(s.data(), static_cast<int>(s.size()));
}

inline int hexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Pairs of alphabet characters for every 12-bit value: three bytes become two lookups.
struct Base64Pairs {
  uint16_t v[4096];
  explicit Base64Pairs(const char *alphabet) {
    for (int i = 0; i < 4096; ++i) {
      const char pair[2] = {alphabet[i >> 6], alphabet[i & 63]};
      std::memcpy(&v[i], pair, 2);
    }
  }
};

const Base64Pairs &pairsFor(const char *alphabet, std::unique_ptr<Base64Pairs> &own) {
  static const Base64Pairs standard(_base64_table);
  static const Base64Pairs urlSafe(_modBase64_table);
  if (alphabet == _base64_table) return standard;
  if (alphabet == _modBase64_table) return urlSafe;
  own = std::make_unique<Base64Pairs>(alphabet);
  return *own;
}

// Writes 4 * groups characters for as many whole three-byte groups.
char *encodeGroups(const unsigned char *p, size_t groups, const uint16_t *t, char *o) {
  if constexpr (std::endian::native == std::endian::little) {
    // Two groups per step from one eight-byte load (two bytes of it unused).
    while (groups >= 3) {
      uint64_t x;
      std::memcpy(&x, p, 8);
      x = __builtin_bswap64(x);
      const uint64_t w = static_cast<uint64_t>(t[x >> 52]) |
                         static_cast<uint64_t>(t[(x >> 40) & 0xFFF]) << 16 |
                         static_cast<uint64_t>(t[(x >> 28) & 0xFFF]) << 32 |
                         static_cast<uint64_t>(t[(x >> 16) & 0xFFF]) << 48;
      std::memcpy(o, &w, 8);
      p += 6;
      o += 8;
      groups -= 2;
    }
  }
  for (; groups > 0; --groups, p += 3, o += 4) {
    const unsigned int v =
        static_cast<unsigned int>(p[0]) << 16 | static_cast<unsigned int>(p[1]) << 8 | p[2];
    std::memcpy(o, &t[v >> 12], 2);
    std::memcpy(o + 2, &t[v & 0xFFF], 2);
  }
  return o;
}

// Appends the Base64 of the bytes: groups of three, lines of lineLength (rounded up to whole
// groups) ended by CR LF when lineLength is positive, the final group of one or two bytes padded
// with "=", and the trailer (null for none) at the very end.
bool appendBase64(const unsigned char *p, int len, const char *alphabet, int lineLength,
                  const char *trailer, StringBuffer &out) {
  const size_t groups = static_cast<size_t>(len) / 3;
  const int rest = len % 3;
  const size_t perLine = lineLength > 0 ? (static_cast<size_t>(lineLength) + 3) / 4 : 0;
  const size_t breaks = perLine ? groups / perLine : 0;
  const size_t trailerLen = trailer ? std::strlen(trailer) : 0;
  const size_t total = 4 * groups + 2 * breaks + (rest ? 4 : 0) + trailerLen;
  if (total > static_cast<size_t>(INT32_MAX)) return false;
  char *o = out.appendSpace(static_cast<int>(total));
  if (!o) return false;
  std::unique_ptr<Base64Pairs> own;
  const uint16_t *t = pairsFor(alphabet, own).v;
  if (!perLine) {
    o = encodeGroups(p, groups, t, o);
  } else {
    for (size_t done = 0; done < groups;) {
      const size_t n = groups - done < perLine ? groups - done : perLine;
      o = encodeGroups(p + 3 * done, n, t, o);
      done += n;
      if (n == perLine) {
        *o++ = '\r';
        *o++ = '\n';
      }
    }
  }
  p += 3 * groups;
  if (rest == 1) {
    *o++ = alphabet[p[0] >> 2];
    *o++ = alphabet[(p[0] & 3) << 4];
    *o++ = '=';
    *o++ = '=';
  } else if (rest == 2) {
    *o++ = alphabet[p[0] >> 2];
    *o++ = alphabet[((p[0] & 3) << 4) | (p[1] >> 4)];
    *o++ = alphabet[(p[1] & 15) << 2];
    *o++ = '=';
  }
  if (trailerLen) std::memcpy(o, trailer, trailerLen);
  return true;
}

// Decoding tables: the value of a character already shifted to its place in a group of four,
// or kBad for every character that needs the careful path (padding, NUL, anything outside the
// alphabet).
constexpr uint32_t kBad = 0x01000000u;
struct Base64Quads {
  uint32_t v[4][256];
  constexpr Base64Quads() : v() {
    for (int c = 0; c < 256; ++c) {
      const bool inRange = c >= '+' && c <= 'z';
      const unsigned char d = inRange ? base64Decode[c - '+'] : 127;
      for (int k = 0; k < 4; ++k)
        v[k][c] = d == 127 ? kBad : static_cast<uint32_t>(d) << (18 - 6 * k);
    }
  }
};
constexpr Base64Quads kQuads;

} // namespace

ContentCoding::ContentCoding() : m_lineLength(76) {}

ContentCoding::~ContentCoding() {}

void ContentCoding::setLineLength(int n) {
  m_lineLength = n < 10 ? 10 : n;
}

int ContentCoding::computeBase64Size(int count, int lineLength) {
  const int64_t q = (5 * static_cast<int64_t>(count) + 10) / 3;
  int64_t n = q + 3;
  if (lineLength != 0) n += 2 * q / lineLength;
  return n > INT32_MAX ? INT32_MAX : static_cast<int>(n);
}

bool ContentCoding::encodeBase64(const void *data, int len, StringBuffer &out) const {
  if (data == nullptr || len <= 0) return true;
  return appendBase64(static_cast<const unsigned char *>(data), len, _base64_table, m_lineLength,
                      "\r\n", out);
}

bool ContentCoding::encodeBase64_noCrLf_inner(const void *data, int len, const char *alphabet,
                                              StringBuffer &out) {
  if (data == nullptr || len <= 0) return true;
  return appendBase64(static_cast<const unsigned char *>(data), len, alphabet, 0, nullptr, out);
}

bool ContentCoding::encodeBase64_noCrLf(const void *data, int len, StringBuffer &out) const {
  return encodeBase64_noCrLf_inner(data, len, _base64_table, out);
}

bool ContentCoding::encodeModBase64_noCrLf(const void *data, int len, StringBuffer &out) const {
  return encodeBase64_noCrLf_inner(data, len, _modBase64_table, out);
}

unsigned char *ContentCoding::decodeBase64_2(const char *text, int len, int *outLen,
                                             bool &success) const {
  success = true;
  if (outLen) *outLen = 0;
  if (text == nullptr || len <= 0 || outLen == nullptr) return nullptr;
  unsigned char *out = ckNewBytes(static_cast<size_t>(len) / 4 * 3 + 12);
  if (out == nullptr) {
    success = false;
    return nullptr;
  }
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  int pos = 0;  // position modulo 4 of the next character
  int done = 0; // bytes completed
  for (int i = 0; i < len;) {
    if (pos == 0) {
      // Whole groups of four alphabet characters; anything else goes the careful way below.
      while (i + 4 <= len) {
        const uint32_t x = kQuads.v[0][p[i]] | kQuads.v[1][p[i + 1]] | kQuads.v[2][p[i + 2]] |
                           kQuads.v[3][p[i + 3]];
        if (x & kBad) break;
        out[done] = static_cast<unsigned char>(x >> 16);
        out[done + 1] = static_cast<unsigned char>(x >> 8);
        out[done + 2] = static_cast<unsigned char>(x);
        done += 3;
        i += 4;
      }
      if (i >= len) break;
    }
    const unsigned char c = p[i++];
    if (c == '=' || c == 0) break;
    if (c < '+' || c > 'z') continue;
    const unsigned char v = base64Decode[c - '+'];
    // Characters outside the alphabet carry no bits: they are skipped like white space.
    if (v == 127) continue;
    switch (pos) {
    case 0:
      out[done] = static_cast<unsigned char>(v << 2);
      break;
    case 1:
      out[done++] |= static_cast<unsigned char>(v >> 4);
      out[done] = static_cast<unsigned char>(v << 4);
      break;
    case 2:
      out[done++] |= static_cast<unsigned char>(v >> 2);
      out[done] = static_cast<unsigned char>(v << 6);
      break;
    default:
      out[done++] |= v;
      break;
    }
    pos = (pos + 1) & 3;
  }
  *outLen = done;
  return out;
}

unsigned char *ContentCoding::decodeBase64(const char *text, int len, int *outLen) {
  ContentCoding cc;
  bool ok;
  return cc.decodeBase64_2(text, len, outLen, ok);
}

bool ContentCoding::decodeBase64ToDb(const char *text, int len, DataBuffer &db) const {
  int n = 0;
  bool ok = true;
  unsigned char *p = decodeBase64_2(text, len, &n, ok);
  if (p == nullptr) {
    // Nothing to decode empties the buffer; a failed allocation leaves it as it was.
    if (ok) db.clear();
    return ok;
  }
  db.takeData(p, static_cast<unsigned int>(n));
  db.setDataSize_CAUTION(static_cast<unsigned int>(n));
  return true;
}

bool ContentCoding::encodeQuotedPrintable(const void *data, int len, StringBuffer &out) const {
  if (data == nullptr || len <= 0) return true;
  const unsigned char *p = static_cast<const unsigned char *>(data);
  const int L = m_lineLength;
  std::string s;
  s.reserve(2000);
  auto crlfAt = [&](int k) { return k + 1 < len && p[k] == '\r' && p[k + 1] == '\n'; };
  auto escape = [&](unsigned char b) {
    s += '=';
    s += HexDigits[b >> 4];
    s += HexDigits[b & 15];
  };
  int c = 0;
  for (int i = 0; i < len; ++i) {
    const unsigned char b = p[i];
    if (c == 0 && b == '.') {
      s += "=2E";
      c = 3;
    } else if (c == 0 && b == 'F' && i + 4 < len && std::memcmp(p + i + 1, "rom ", 4) == 0) {
      s += "=46";
      c = 3;
    } else if ((b >= 0x21 && b <= 0x3C) || (b >= 0x3E && b <= 0x7E)) {
      s += static_cast<char>(b);
      ++c;
    } else if ((b == ' ' || b == '\t') && i + 1 < len && !crlfAt(i + 1)) {
      s += static_cast<char>(b);
      ++c;
    } else if (b == '\r' && i + 1 < len && p[i + 1] == '\n') {
      s += "\r\n";
      ++i;
      c = 0;
    } else {
      if (c >= L - 3) {
        s += "=\r\n";
        c = 0;
      }
      escape(b);
      c += 3;
    }
    if (c >= L - 1 && !crlfAt(i + 1)) {
      s += "=\r\n";
      c = 0;
    }
    if (s.size() >= 2000) {
      if (!appendString(out, s)) return false;
      s.clear();
    }
  }
  return appendString(out, s);
}

unsigned char *ContentCoding::decodeQuotedPrintable(const char *text, int len, int *outLen) const {
  if (outLen) *outLen = 0;
  if (text == nullptr || len <= 0) return nullptr;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  int n = 0;
  while (n < len && p[n] != 0)
    ++n;
  if (n == 0) return nullptr;

  // Each line end (one byte) may grow into CR LF: never more than twice the input.
  unsigned char *out = ckNewBytes(static_cast<size_t>(n) * 2 + 4);
  if (out == nullptr) return nullptr;
  int o = 0;
  int start = 0;
  while (start < n) {
    int end = start;
    while (end < n && p[end] != '\n')
      ++end;
    const bool hadLf = end < n;
    const int next = hadLf ? end + 1 : end;
    // Trailing LF, CR, space and tab are not part of the line.
    int e = end;
    while (e > start) {
      const unsigned char t = p[e - 1] & 0x7F;
      if (t == '\r' || t == '\n' || t == ' ' || t == '\t')
        --e;
      else
        break;
    }
    bool soft = false;
    int j = start;
    while (j < e) {
      const unsigned char ch = p[j];
      if ((ch & 0x7F) != '=') {
        out[o++] = ch;
        ++j;
        continue;
      }
      if (j + 1 == e) {
        soft = true;
        break;
      }
      const int h1 = j + 2 < e ? hexValue(p[j + 1] & 0x7F) : -1;
      const int h2 = j + 2 < e ? hexValue(p[j + 2] & 0x7F) : -1;
      if (h1 < 0 || h2 < 0) {
        out[o++] = ch;
        ++j;
        continue;
      }
      // "=FFFFFF" followed by two digits stands for the byte those two digits give.
      if (h1 == 15 && h2 == 15 && j + 8 < e && (p[j + 1] & 0x7F) == 'F' &&
          (p[j + 2] & 0x7F) == 'F' && p[j + 3] == 'F' && p[j + 4] == 'F' && p[j + 5] == 'F' &&
          p[j + 6] == 'F') {
        const int a = hexValue(p[j + 7] & 0x7F);
        const int b = hexValue(p[j + 8] & 0x7F);
        out[o++] = static_cast<unsigned char>((a < 0 ? 0 : a) * 16 + (b < 0 ? 0 : b));
        j += 9;
        continue;
      }
      out[o++] = static_cast<unsigned char>(h1 * 16 + h2);
      j += 3;
    }
    if (hadLf && !soft) {
      out[o++] = '\r';
      out[o++] = '\n';
    }
    start = next;
  }
  *outLen = o;
  return out;
}

bool ContentCoding::decodeQuotedPrintableToDb(const char *text, int len, DataBuffer &db) const {
  int n = 0;
  unsigned char *p = decodeQuotedPrintable(text, len, &n);
  if (p == nullptr) return false;
  db.takeData(p, static_cast<unsigned int>(n));
  db.setDataSize_CAUTION(static_cast<unsigned int>(n));
  return true;
}

bool ContentCoding::encodeBase32_noCrLf(const unsigned char *data, unsigned int len,
                                        StringBuffer &out) const {
  if (data == nullptr || len == 0) return true;
  std::string s;
  s.reserve((static_cast<size_t>(len) + 4) / 5 * 8);
  for (unsigned int i = 0; i < len; i += 5) {
    const unsigned int k = len - i < 5 ? len - i : 5;
    unsigned char g[5] = {0, 0, 0, 0, 0};
    std::memcpy(g, data + i, k);
    const uint64_t v = static_cast<uint64_t>(g[0]) << 32 | static_cast<uint64_t>(g[1]) << 24 |
                       static_cast<uint64_t>(g[2]) << 16 | static_cast<uint64_t>(g[3]) << 8 | g[4];
    static const int chars[6] = {0, 2, 4, 5, 7, 8};
    for (int c = 0; c < 8; ++c) {
      s += c < chars[k] ? BASE32_ALPHABET[(v >> (35 - 5 * c)) & 31] : '=';
    }
  }
  return appendString(out, s);
}

bool ContentCoding::decodeBase32(const unsigned char *text, unsigned int len,
                                 DataBuffer &db) const {
  if (text == nullptr || len == 0) return true;
  unsigned char staging[400];
  unsigned int n = 0;
  for (unsigned int i = 0; i < len; i += 8) {
    // A last group shorter than 8 characters reads as if it were padded with "=".
    unsigned char g[8];
    for (unsigned int k = 0; k < 8; ++k)
      g[k] = i + k < len ? text[i + k] : '=';
    uint64_t v = 0;
    for (int k = 0; k < 8; ++k) {
      const unsigned char x = base32Value(g[k]);
      v = (v << 5) | (x < 32 ? x : 0);
    }
    int count = 5;
    if (g[7] == '=') {
      count = 4;
      if (g[5] == '=') {
        count = 3;
        if (g[4] == '=') {
          count = 2;
          if (g[2] == '=') count = 1;
        }
      }
    }
    for (int k = 0; k < count; ++k)
      staging[n++] = static_cast<unsigned char>(v >> (32 - 8 * k));
    if (n + 5 > sizeof(staging)) {
      if (!db.append(staging, n)) return false;
      n = 0;
    }
  }
  return n == 0 || db.append(staging, n);
}
