#include "sshlib/core/Japanese.h"

#include <mutex>

#include "sshlib/core/BlockWriter.h"
#include "sshlib/core/CodePageData.h"
#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/DataBuffer.h"

namespace {

constexpr unsigned char ESC = 0x1B;

void sjisToJis(int s1, int s2, int &j1, int &j2) {
  j1 = (s1 < 0xA0 ? s1 - 0x70 : s1 - 0xB0) * 2;
  if (s2 < 0x9F) j1 -= 1;
  if (s2 < 0x80)
    j2 = s2 - 0x1F;
  else if (s2 < 0x9F)
    j2 = s2 - 0x20;
  else
    j2 = s2 - 0x7E;
}

void jisToSjis(int j1, int j2, int &s1, int &s2) {
  s1 = ((j1 + 1) >> 1) + (j1 < 0x5F ? 0x70 : 0xB0);
  if (j1 & 1)
    s2 = j2 + (j2 < 0x60 ? 0x1F : 0x20);
  else
    s2 = j2 + 0x7E;
}

// JIS position of an IBM extension character FA40-FC4B; false outside the mapped ranges.
bool ibmExtensionToJis(int lead, int c, int &row, int &col) {
  struct Range {
    int lead, lo, hi, row, delta;
  };
  static const Range kRanges[] = {
      {0xFA, 0x40, 0x49, 0x7C, 0x31},  {0xFA, 0x55, 0x57, 0x7C, 0x27},
      {0xFA, 0x5C, 0x7E, 0x79, -0x3B}, {0xFA, 0x80, 0xBA, 0x79, -0x3C},
      {0xFA, 0xBB, 0xFC, 0x7A, 0x66},  {0xFB, 0x40, 0x5B, 0x7A, 0x23},
      {0xFB, 0x5C, 0x7E, 0x7B, -0x3B}, {0xFB, 0x80, 0xBA, 0x7B, -0x3C},
      {0xFB, 0xBB, 0xFC, 0x7C, 0x66},  {0xFC, 0x40, 0x4B, 0x7C, 0x23},
  };
  for (const Range &r : kRanges) {
    if (r.lead == lead && c >= r.lo && c <= r.hi) {
      row = r.row;
      col = (c + r.delta) & 0xFF;
      return true;
    }
  }
  return false;
}

// The IBM extension codes FA4A-FA54 and FA58-FA5B duplicate characters of the standard rows;
// they are written as those (Roman numerals, not sign, the "kabushiki", numero, telephone and
// because signs). Returns the equivalent Shift-JIS pair, or false.
bool ibmDuplicateToSjis(int lead, int c, int &s1, int &s2) {
  if (lead != 0xFA) return false;
  if (c >= 0x4A && c <= 0x53) {
    s1 = 0x87;
    s2 = 0x54 + (c - 0x4A);
    return true;
  }
  switch (c) {
  case 0x54:
    s1 = 0x81;
    s2 = 0xCA;
    return true;
  case 0x58:
    s1 = 0x87;
    s2 = 0x8A;
    return true;
  case 0x59:
    s1 = 0x87;
    s2 = 0x82;
    return true;
  case 0x5A:
    s1 = 0x87;
    s2 = 0x84;
    return true;
  case 0x5B:
    s1 = 0x81;
    s2 = 0xE6;
    return true;
  default:
    return false;
  }
}

const unsigned char *g_lastBlock = nullptr;
std::once_flag g_lastBlockOnce;

} // namespace

const unsigned char *Japanese::GetSjisFrom2022_LastBlock() {
  std::call_once(g_lastBlockOnce, [] {
    const char *text = _sjis_from_2022_lastblock64;
    int n = 0;
    int textLen = 0;
    while (text[textLen])
      ++textLen;
    unsigned char *decoded = ContentCoding::decodeBase64(text, textLen, &n);
    if (decoded && n >= 376 * 2) {
      g_lastBlock = decoded;
    } else {
      delete[] decoded;
      // Never expected: an all-zero table makes every lookup fall back to the arithmetic rule.
      g_lastBlock = new unsigned char[376 * 2]();
    }
  });
  return g_lastBlock;
}

int Japanese::HanToZen(const unsigned char *next, int nextLen, int *c1, int *c2, int form) {
  int k = *c1;
  int mark = -1;
  int consumed = 1;
  if (form == 4) {
    if (next && nextLen >= 2 && next[0] == 0x8E) mark = next[1];
    consumed = 2;
  } else if (next && nextLen >= 1) {
    mark = next[0];
  }
  if (k < 0xA1 || k > 0xDF) k = 0xA1;
  bool voiced = mark == 0xDE && ((k >= 0xB6 && k <= 0xC4) || (k >= 0xCA && k <= 0xCE) || k == 0xB3);
  bool semiVoiced = mark == 0xDF && k >= 0xCA && k <= 0xCE;
  int a = _mtable[k - 0xA1][0];
  int b = _mtable[k - 0xA1][1];
  if (voiced) {
    if ((b >= 0x4A && b <= 0x67) || (b >= 0x6E && b <= 0x7A))
      ++b;
    else if (a == 0x83 && b == 0x45)
      b = 0x94;
  } else if (semiVoiced) {
    if (b >= 0x6E && b <= 0x7A) b += 2;
  }
  *c1 = a;
  *c2 = b;
  return (voiced || semiVoiced) ? consumed : 0;
}

void Japanese::ShiftJisToIso2022(const unsigned char *in, int len, DataBuffer &out) {
  if (!in || len <= 0) return;
  BlockWriter<200> w(out);
  bool kanji = false;
  auto toKanji = [&] {
    if (!kanji) w.put3(ESC, '$', 'B');
    kanji = true;
  };
  auto toAscii = [&] {
    if (kanji) w.put3(ESC, '(', 'B');
    kanji = false;
  };
  int i = 0;
  while (i < len) {
    int c = in[i];
    if (c >= 0xFA && c <= 0xFC) {
      if (i + 1 >= len) break;
      int t = in[i + 1];
      int row, col, s1, s2;
      if (ibmExtensionToJis(c, t, row, col)) {
        toKanji();
        w.put2((unsigned char)row, (unsigned char)col);
      } else if (ibmDuplicateToSjis(c, t, s1, s2)) {
        int j1, j2;
        sjisToJis(s1, s2, j1, j2);
        toKanji();
        w.put2((unsigned char)j1, (unsigned char)j2);
      }
      // Any other FA-FC pair has no JIS form: it is dropped.
      i += 2;
    } else if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEF)) {
      if (i + 1 >= len) break;
      int t = in[i + 1];
      if (t < 0x40 || t > 0xFC) {
        w.put2((unsigned char)c, (unsigned char)t);
      } else {
        int j1, j2;
        sjisToJis(c, t, j1, j2);
        toKanji();
        w.put2((unsigned char)j1, (unsigned char)j2);
      }
      i += 2;
    } else if (c == 0x0D || c == 0x0A) {
      toAscii();
      w.put((unsigned char)c);
      ++i;
    } else if (c >= 0xA1 && c <= 0xDF) {
      int c1 = c, c2 = 0;
      int used = HanToZen(in + i + 1, len - i - 1, &c1, &c2, 5);
      int j1, j2;
      sjisToJis(c1, c2, j1, j2);
      toKanji();
      w.put2((unsigned char)j1, (unsigned char)j2);
      i += 1 + used;
    } else if (c <= 0x80) {
      toAscii();
      w.put((unsigned char)c);
      ++i;
    } else if (c >= 0xF0 && c <= 0xF9) {
      // User-defined characters have no JIS X 0208 form: the pair is dropped.
      if (i + 1 < len && in[i + 1] >= 0x40 && in[i + 1] <= 0xFC)
        i += 2;
      else
        ++i;
    } else {
      // 0xA0 and 0xFD-0xFF are no characters of Shift-JIS: dropped.
      ++i;
    }
  }
  toAscii();
}

void Japanese::Iso2022ToShiftJis(const unsigned char *in, int len, DataBuffer &out) {
  if (!in || len <= 0) return;
  BlockWriter<200> w(out);
  const unsigned char *lastBlock = nullptr;
  bool kanji = false;
  bool kana = false;
  int i = 0;
  while (i < len) {
    int c = in[i];
    if (c == ESC) {
      if (i + 1 >= len) break;
      int b1 = in[i + 1];
      if (b1 == '$' || b1 == '(') {
        if (i + 2 >= len) break;
        int b2 = in[i + 2];
        if (b1 == '$') {
          if (b2 == 0x40 || b2 == 'B') {
            kanji = true;
            kana = false;
          }
        } else if (b2 == 'B' || b2 == 'J') {
          kanji = kana = false;
        } else if (b2 == 'I') {
          kana = true;
          kanji = false;
        }
        i += 3;
      } else {
        i += 2;
      }
      continue;
    }
    if (c == 0x0D || c == 0x0A) {
      if (kanji) kanji = kana = false;
      w.put((unsigned char)c);
      ++i;
      continue;
    }
    if (kanji) {
      if (i + 1 >= len) break;
      int j1 = c, j2 = in[i + 1];
      int s1 = 0, s2 = 0;
      if (j1 >= 0x79 && j1 <= 0x7C && j2 >= 0x21 && j2 <= 0x7E) {
        if (!lastBlock) lastBlock = GetSjisFrom2022_LastBlock();
        const unsigned char *p = lastBlock + 2 * ((j1 - 0x79) * 94 + (j2 - 0x21));
        s1 = p[0];
        s2 = p[1];
      }
      if (s1 == 0) jisToSjis(j1, j2, s1, s2);
      w.put2((unsigned char)s1, (unsigned char)s2);
      i += 2;
    } else if (kana) {
      w.put((unsigned char)(c + 0x80));
      ++i;
    } else {
      w.put((unsigned char)c);
      ++i;
    }
  }
}

void Korean::KscToIso2022(const unsigned char *in, int len, DataBuffer &out) {
  if (!in || len <= 0) return;
  BlockWriter<200> w(out);
  w.put(ESC);
  w.put3('$', ')', 'C');
  bool shifted = false;
  int i = 0;
  while (i < len) {
    int c = in[i];
    if (c >= 0x80) {
      if (i + 1 >= len) break;
      if (!shifted) w.put(0x0E);
      shifted = true;
      w.put2((unsigned char)(c - 0x80), (unsigned char)(in[i + 1] - 0x80));
      i += 2;
    } else {
      if (shifted) w.put(0x0F);
      shifted = false;
      w.put((unsigned char)c);
      ++i;
    }
  }
  // The text ends in the unshifted state, so whatever is appended next reads as ASCII.
  if (shifted) w.put(0x0F);
}

void Korean::Iso2022ToKsc(const unsigned char *in, int len, DataBuffer &out) {
  if (!in || len <= 0) return;
  BlockWriter<200> w(out);
  bool shifted = false;
  int i = 0;
  while (i < len) {
    int c = in[i];
    if (c == ESC) {
      if (len - i >= 4 && in[i + 1] == '$' && in[i + 2] == ')' && in[i + 3] == 'C') {
        shifted = false;
        i += 4;
      } else {
        ++i;
      }
    } else if (c == 0x0E) {
      shifted = true;
      ++i;
    } else if (c == 0x0F) {
      shifted = false;
      ++i;
    } else if (shifted) {
      if (i + 1 >= len) break;
      w.put2((unsigned char)(c + 0x80), (unsigned char)(in[i + 1] + 0x80));
      i += 2;
    } else {
      w.put((unsigned char)c);
      ++i;
    }
  }
}
