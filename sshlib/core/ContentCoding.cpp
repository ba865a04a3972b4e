#include "sshlib/core/ContentCoding.h"

#include <cstdint>
#include <cstring>
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
const unsigned char base64Decode[80] = {
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
    v['='] = 32;
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

// Encodes groups of three bytes; the final group of one or two bytes is padded with "=".
void base64Groups(const unsigned char *p, int len, const char *alphabet, int lineLength,
                  std::string &s) {
  int col = 0;
  int i = 0;
  for (; i + 3 <= len; i += 3) {
    const unsigned int v =
        static_cast<unsigned int>(p[i]) << 16 | static_cast<unsigned int>(p[i + 1]) << 8 | p[i + 2];
    s += alphabet[(v >> 18) & 63];
    s += alphabet[(v >> 12) & 63];
    s += alphabet[(v >> 6) & 63];
    s += alphabet[v & 63];
    if (lineLength > 0) {
      col += 4;
      if (col >= lineLength) {
        s += "\r\n";
        col = 0;
      }
    }
  }
  const int rest = len - i;
  if (rest == 1) {
    s += alphabet[p[i] >> 2];
    s += alphabet[(p[i] & 3) << 4];
    s += "==";
  } else if (rest == 2) {
    s += alphabet[p[i] >> 2];
    s += alphabet[((p[i] & 3) << 4) | (p[i + 1] >> 4)];
    s += alphabet[(p[i + 1] & 15) << 2];
    s += '=';
  }
}

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
  std::string s;
  s.reserve(static_cast<size_t>(computeBase64Size(len, m_lineLength)));
  base64Groups(static_cast<const unsigned char *>(data), len, _base64_table, m_lineLength, s);
  s += "\r\n";
  return appendString(out, s);
}

bool ContentCoding::encodeBase64_noCrLf_inner(const void *data, int len, const char *alphabet,
                                              StringBuffer &out) {
  if (data == nullptr || len <= 0) return true;
  std::string s;
  s.reserve(static_cast<size_t>(computeBase64Size(len, 0)));
  base64Groups(static_cast<const unsigned char *>(data), len, alphabet, 0, s);
  return appendString(out, s);
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
  for (int i = 0; i < len; ++i) {
    const unsigned char c = p[i];
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
