#include "sshlib/core/Gb18030.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/EncodingConvert.h"
#include "sshlib/core/Gb18030Data.h"
#include "sshlib/core/HashConvert.h"

namespace {

constexpr unsigned int kTwoByteCodes = 126 * 190;
// Linear index of the first four-byte code beyond the Basic Multilingual Plane (90 30 81 30).
constexpr unsigned int kSupplementaryStart = (0x90 - 0x81) * 12600;

bool isTrail(unsigned char t) {
  return t >= 0x40 && t <= 0xFE && t != 0x7F;
}
unsigned int twoByteIndex(unsigned int code) {
  unsigned int trail = code & 0xFF;
  return ((code >> 8) - 0x81) * 190 + trail - 0x40 - (trail > 0x7F ? 1 : 0);
}
unsigned int codeOfIndex(unsigned int index) {
  unsigned int trail = index % 190 + 0x40;
  if (trail >= 0x7F) ++trail;
  return (index / 190 + 0x81) << 8 | trail;
}

struct Tables {
  std::vector<unsigned int> toChar;    // by two-byte index; 0: no character
  std::vector<unsigned short> fromBmp; // two-byte code of a BMP character; 0: none
  // Two-byte codes of characters beyond U+FFFF: (character, code) sorted by character.
  std::vector<std::pair<unsigned int, unsigned int>> fromAstral;
  std::vector<Gb18030Range> byChar; // the four-byte ranges sorted by character
};

const Tables &tables() {
  static std::once_flag once;
  static std::unique_ptr<Tables> t;
  std::call_once(once, [] {
    auto tb = std::make_unique<Tables>();
    tb->toChar.assign(kTwoByteCodes, 0);
    EncodingConvert::ensureHashToUnicode(936);
    const HashConvert *gbk = EncodingConvert::hashToUnicode(936);
    for (unsigned int i = 0; i < kTwoByteCodes && gbk; ++i) {
      const unsigned int code = codeOfIndex(i);
      const unsigned char key[2] = {(unsigned char)(code >> 8), (unsigned char)(code & 0xFF)};
      unsigned char v[4];
      int vlen = 0;
      gbk->HashLookup(key, 2, v, vlen);
      if (vlen == 2) tb->toChar[i] = v[0] | (v[1] << 8);
    }
    for (int r = 0; r < kGb18030TwoByteRunCount; ++r) {
      const Gb18030Run &run = kGb18030TwoByteRuns[r];
      const unsigned int first = twoByteIndex(run.firstCode), last = twoByteIndex(run.lastCode);
      for (unsigned int i = first; i <= last; ++i)
        tb->toChar[i] = run.firstChar + (i - first);
    }
    for (int c = 0; c < kGb18030TwoByteCodeCount; ++c)
      tb->toChar[twoByteIndex(kGb18030TwoByteCodes[c].code)] = kGb18030TwoByteCodes[c].ch;
    tb->fromBmp.assign(0x10000, 0);
    for (unsigned int i = 0; i < kTwoByteCodes; ++i) {
      const unsigned int ch = tb->toChar[i];
      if (ch == 0) continue;
      if (ch > 0xFFFF) {
        tb->fromAstral.emplace_back(ch, codeOfIndex(i));
      } else if (tb->fromBmp[ch] == 0) {
        tb->fromBmp[ch] = (unsigned short)codeOfIndex(i);
      }
    }
    std::sort(tb->fromAstral.begin(), tb->fromAstral.end());
    tb->byChar.assign(kGb18030FourByteRanges, kGb18030FourByteRanges + kGb18030FourByteRangeCount);
    std::sort(
        tb->byChar.begin(), tb->byChar.end(),
        [](const Gb18030Range &a, const Gb18030Range &b) { return a.firstChar < b.firstChar; });
    t = std::move(tb);
  });
  return *t;
}

void putUnit(DataBuffer &out, unsigned int u) {
  const unsigned char b[2] = {(unsigned char)(u & 0xFF), (unsigned char)(u >> 8)};
  out.append(b, 2);
}

void putChar(DataBuffer &out, unsigned int ch) {
  if (ch < 0x10000) return putUnit(out, ch);
  ch -= 0x10000;
  putUnit(out, 0xD800 + (ch >> 10));
  putUnit(out, 0xDC00 + (ch & 0x3FF));
}

// The character of a four-byte linear index; 0 for none.
unsigned int fourByteChar(unsigned int index) {
  if (index >= kSupplementaryStart) {
    const unsigned int ch = 0x10000 + (index - kSupplementaryStart);
    return ch <= 0x10FFFF ? ch : 0;
  }
  const Gb18030Range *end = kGb18030FourByteRanges + kGb18030FourByteRangeCount;
  const Gb18030Range *r =
      std::upper_bound(kGb18030FourByteRanges, end, index,
                       [](unsigned int i, const Gb18030Range &range) { return i < range.index; });
  if (r == kGb18030FourByteRanges) return 0;
  --r;
  return index < r->index + r->count ? r->firstChar + (index - r->index) : 0;
}

void putFourByte(DataBuffer &out, unsigned int index) {
  unsigned char b[4];
  b[3] = (unsigned char)(0x30 + index % 10);
  index /= 10;
  b[2] = (unsigned char)(0x81 + index % 126);
  index /= 126;
  b[1] = (unsigned char)(0x30 + index % 10);
  b[0] = (unsigned char)(0x81 + index / 10);
  out.append(b, 4);
}

} // namespace

bool Gb18030::toUtf16(const unsigned char *p, unsigned int len, DataBuffer &out) {
  const Tables &t = tables();
  bool ok = true;
  out.ensureBuffer(out.getSize() + 2 * len);
  for (unsigned int i = 0; i < len;) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      putUnit(out, b);
      ++i;
      continue;
    }
    if (b >= 0x81 && b <= 0xFE && i + 1 < len) {
      const unsigned char b2 = p[i + 1];
      if (b2 >= 0x30 && b2 <= 0x39) {
        if (i + 3 < len && p[i + 2] >= 0x81 && p[i + 2] <= 0xFE && p[i + 3] >= 0x30 &&
            p[i + 3] <= 0x39) {
          const unsigned int index =
              (((b - 0x81) * 10 + (b2 - 0x30)) * 126 + (p[i + 2] - 0x81)) * 10 + (p[i + 3] - 0x30);
          if (unsigned int ch = fourByteChar(index)) {
            putChar(out, ch);
            i += 4;
            continue;
          }
        }
      } else if (isTrail(b2)) {
        if (unsigned int ch = t.toChar[twoByteIndex((unsigned int)b << 8 | b2)]) {
          putChar(out, ch);
          i += 2;
          continue;
        }
      }
    }
    ok = false; // no character: one byte at a time is dropped
    ++i;
  }
  return ok;
}

bool Gb18030::fromUtf16(const unsigned char *p, unsigned int len, DataBuffer &out) {
  const Tables &t = tables();
  bool ok = (len & 1) == 0;
  len &= ~1u;
  out.ensureBuffer(out.getSize() + len + 16);
  for (unsigned int i = 0; i < len; i += 2) {
    unsigned int u = p[i] | (p[i + 1] << 8);
    if (u < 0x80) {
      const unsigned char c = (unsigned char)u;
      out.append(&c, 1);
      continue;
    }
    if (u >= 0xD800 && u <= 0xDBFF && i + 4 <= len) {
      const unsigned int lo = p[i + 2] | (p[i + 3] << 8);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        const unsigned int ch = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        i += 2;
        auto it =
            std::lower_bound(t.fromAstral.begin(), t.fromAstral.end(), std::make_pair(ch, 0u));
        if (it != t.fromAstral.end() && it->first == ch) {
          const unsigned char b[2] = {(unsigned char)(it->second >> 8),
                                      (unsigned char)(it->second & 0xFF)};
          out.append(b, 2);
        } else {
          putFourByte(out, kSupplementaryStart + (ch - 0x10000));
        }
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) {
      ok = false; // a lone surrogate is no character
      continue;
    }
    if (unsigned int code = t.fromBmp[u]) {
      const unsigned char b[2] = {(unsigned char)(code >> 8), (unsigned char)(code & 0xFF)};
      out.append(b, 2);
      continue;
    }
    auto r = std::upper_bound(
        t.byChar.begin(), t.byChar.end(), u,
        [](unsigned int c, const Gb18030Range &range) { return c < range.firstChar; });
    if (r != t.byChar.begin() && u < (--r)->firstChar + r->count) {
      putFourByte(out, r->index + (u - r->firstChar));
      continue;
    }
    ok = false;
  }
  return ok;
}
