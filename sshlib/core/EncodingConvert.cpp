#include "sshlib/core/EncodingConvert.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "sshlib/core/BlockWriter.h"
#include "sshlib/core/CharsetNaming.h"
#include "sshlib/core/CodePageData.h"
#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/Gb18030.h"
#include "sshlib/core/HashConvert.h"
#include "sshlib/core/Japanese.h"
#include "sshlib/core/Psdk.h"
#include "sshlib/core/RazudodBzip2.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/UnicodeLookup.h"
#include "sshlib/core/Utf.h"

// Output gathered in 512-byte blocks before it reaches the buffer.
class EncodingConvert::Writer : public BlockWriter<512> {
public:
  using BlockWriter::BlockWriter;
};

namespace {

// ------------------------------------------------------------------------------------------------
// Code pages with tables.

const int kSingleByte[] = {
    37,    437,   500,   708,   720,   737,   775,   850,   852,   855,   857,   858,
    860,   861,   862,   863,   864,   865,   866,   869,   870,   874,   875,   1026,
    1047,  1140,  1141,  1142,  1143,  1144,  1145,  1146,  1147,  1148,  1149,  1250,
    1251,  1252,  1253,  1254,  1255,  1256,  1257,  1258,  10000, 10004, 10005, 10006,
    10007, 10010, 10017, 10021, 10029, 10079, 10081, 10082, 20105, 20106, 20107, 20108,
    20127, 20261, 20269, 20273, 20277, 20278, 20280, 20284, 20285, 20290, 20297, 20420,
    20423, 20424, 20838, 20866, 20871, 20880, 20905, 20924, 21025, 21866, 28591, 28592,
    28593, 28594, 28595, 28596, 28597, 28598, 28599, 28603, 28605, 38598};
constexpr int kNumSingle = sizeof(kSingleByte) / sizeof(kSingleByte[0]);

struct MultiByteInfo {
  int codePage;
  void (*text)(StringBuffer &);
  int toBuckets;
  int fromBuckets;
};
// 52936 shares 936's tables (it is looked up as 936).
const MultiByteInfo kMultiByte[] = {
    {932, GetEncShiftJis, 4919, 7669}, {936, GetGb2312, 7649, 7649},
    {949, GetKorean, 7669, 7669},      {950, GetBig5, 7649, 7649},
    {1361, GetJohab, 7669, 7669},      {10001, GetEncShiftJis, 4919, 4919},
    {51932, GetEucJP, 4919, 4919},     {51936, GetEucCN, 7649, 7649},
    {51949, GetEucKR, 7669, 7669},
};
constexpr int kNumMulti = sizeof(kMultiByte) / sizeof(kMultiByte[0]);

struct TableSlot {
  std::once_flag toOnce;
  std::once_flag fromOnce;
  UnicodeLookup *lookup = nullptr;  // single-byte, to Unicode
  HashConvert *toUnicode = nullptr; // multi-byte, to Unicode
  HashConvert *fromUnicode = nullptr;
};

TableSlot g_slots[kNumSingle + kNumMulti];

int singleIndex(int cp) {
  for (int i = 0; i < kNumSingle; ++i)
    if (kSingleByte[i] == cp) return i;
  return -1;
}

int multiIndex(int cp) {
  if (cp == 52936) cp = 936;
  for (int i = 0; i < kNumMulti; ++i)
    if (kMultiByte[i].codePage == cp) return i;
  return -1;
}

TableSlot *slotOf(int cp) {
  int i = singleIndex(cp);
  if (i >= 0) return &g_slots[i];
  i = multiIndex(cp);
  if (i >= 0) return &g_slots[kNumSingle + i];
  return nullptr;
}

unsigned int le16(const unsigned char *p) {
  return p[0] | (p[1] << 8);
}

// Fills a single-byte code page's table in one direction. ISO-8859-1 is every byte as the
// character of the same number (U+0000-U+00FF): it has no stored text of its own, and the
// Windows-1252 one would turn 0x80-0x9F into other characters and lose five bytes.
void buildSingleByteTable(int cp, HashConvert &table, bool fromUnicode) {
  if (cp != 28591) {
    EncodingConvert::buildHash(singleByteStoredText(cp), table, fromUnicode);
    return;
  }
  table.put_IsLowerAscii(true);
  for (unsigned int b = 0x80; b <= 0xFF; ++b) {
    const unsigned char code = (unsigned char)b;
    const unsigned char unit[2] = {(unsigned char)b, 0};
    if (fromUnicode)
      table.HashInsert(unit, 2, &code, 1);
    else
      table.HashInsert(&code, 1, unit, 2);
  }
}

// Right-to-left forms of Mac Arabic: one flag per byte 0x20-0xFF.
// clang-format off
const bool MacArabicRL[224] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // 20
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // 30
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // 40
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // 50
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // 60
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // 70
    0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, // 80
    0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, // 90
    1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, // A0
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 0, // B0
    1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // C0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, // D0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // E0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, // F0
};
// clang-format on

bool macArabicRL(unsigned char b) {
  return b >= 0x20 && MacArabicRL[b - 0x20];
}

unsigned char macArabicRewrite(unsigned char b) {
  if (b >= 0xB0 && b <= 0xB9) return (unsigned char)(b - 0x80);
  if (b >= 0xA0 && b <= 0xAF && b != 0xA5 && b != 0xAC) return (unsigned char)(b - 0x80);
  if (b == 0xBA || (b >= 0xBC && b <= 0xBE) || (b >= 0xDB && b <= 0xDF) || (b >= 0xFB && b <= 0xFD))
    return (unsigned char)(b - 0x80);
  if (b == 0x81) return 0xA0;
  return b;
}

bool isTwoByteUnitCodePage(int cp) {
  return cp == 932 || cp == 936 || cp == 949 || cp == 950 || cp == 51932 || cp == 51936 ||
         cp == 51949;
}

} // namespace

// --------------------------------------------------------------------------------------------------
// UTF-8 decoding of one unit.

int EncodingUtf8::fromMB(const unsigned char *p, int avail, unsigned short &unit) {
  if (avail < 1) return -2;
  unsigned char c = p[0];
  if (c < 0x80) {
    unit = c;
    return 1;
  }
  if (c >= 0xC2 && c <= 0xDF) {
    if (avail < 2) return -2;
    if ((p[1] & 0xC0) != 0x80) return -1;
    unit = (unsigned short)(((c & 0x1F) << 6) | (p[1] & 0x3F));
    return 2;
  }
  if (c >= 0xE0 && c <= 0xEF) {
    if (avail < 3) return -2;
    if ((p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return -1;
    if (c == 0xE0 && p[1] < 0xA0) return -1;
    unit = (unsigned short)(((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
    return 3;
  }
  return -1;
}

// --------------------------------------------------------------------------------------------------

EncodingConvert::EncodingConvert() = default;

EncodingConvert::~EncodingConvert() = default;

void EncodingConvert::setSubstitutionBytes(const unsigned char *p, int n) {
  if (!p || n < 0) n = 0;
  if (n > 100) n = 100;
  if (n) std::memcpy(m_subst, p, n);
  m_substLen = n;
}

void EncodingConvert::appendHexData(const unsigned char *p, int n, DataBuffer &out) {
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < n; ++i) {
    out.appendChar((unsigned char)kHex[p[i] >> 4]);
    out.appendChar((unsigned char)kHex[p[i] & 15]);
  }
}

bool EncodingConvert::AnsiToMultiByte(int dst, const char *text, int len, DataBuffer &out) {
  if (len < 0) len = 0;
  return EncConvert(Psdk::getAnsiCodePage(), dst, (const unsigned char *)text, (unsigned int)len,
                    out);
}

bool EncodingConvert::ChConvert2(const char *srcCharset, int dst, const unsigned char *data,
                                 unsigned int len, DataBuffer &out) {
  m_secondLeg = false;
  int src = CharsetNaming::GetCodePage(srcCharset);
  if (src == 0) return false;
  return EncConvert(src, dst, data, len, out);
}

bool EncodingConvert::fromUtf8Whole(int dstCodePage, const unsigned char *utf8, unsigned int len,
                                    DataBuffer &out) {
  DataBuffer conv, back;
  EncodingConvert there, again;
  if (!there.EncConvert(65001, dstCodePage, utf8, len, conv) ||
      !again.EncConvert(dstCodePage, 65001, conv.getData2(), conv.getSize(), back) ||
      back.getSize() != len || (len && std::memcmp(back.getData2(), utf8, len) != 0))
    return false;
  return conv.getSize() == 0 || out.append(conv.getData2(), conv.getSize());
}

bool EncodingConvert::EncConvert(int src, int dst, const unsigned char *data, unsigned int len,
                                 DataBuffer &out) {
  if (dst == 0) dst = src;
  if (src == 0 || src == dst) {
    if (data && len) out.append(data, len);
    return true;
  }
  if (src == 10004 && data && len) {
    // Mac Arabic: right-to-left runs are stored in display order; put them in logical order and
    // fold the right-to-left digits and punctuation onto their ASCII forms.
    DataBuffer copy;
    if (!copy.append(data, len)) return false;
    unsigned char *p = copy.getData2();
    unsigned int runStart = 0;
    bool inRun = false;
    for (unsigned int i = 0; i <= len; ++i) {
      bool flagged = i < len && p[i] >= 0x20 && macArabicRL(p[i]);
      if (flagged && !inRun) {
        inRun = true;
        runStart = i;
      } else if (!flagged && inRun) {
        inRun = false;
        for (unsigned int a = runStart, b = i - 1; a < b; ++a, --b)
          std::swap(p[a], p[b]);
      }
      if (i < len) p[i] = macArabicRewrite(p[i]);
    }
    return convertGeneral(10004, dst, p, len, out);
  }
  if (src == 50220 || src == 50221 || src == 50222) {
    DataBuffer tmp;
    Japanese().Iso2022ToShiftJis(data, (int)len, tmp);
    if (tmp.getSize() == 0) return true;
    return EncConvert(932, dst, tmp.getData2(), tmp.getSize(), out);
  }
  if (src == 50225) {
    DataBuffer tmp;
    Korean().Iso2022ToKsc(data, (int)len, tmp);
    if (tmp.getSize() == 0) return true;
    return EncConvert(949, dst, tmp.getData2(), tmp.getSize(), out);
  }
  return convertGeneral(src, dst, data, len, out);
}

bool EncodingConvert::convertGeneral(int src, int dst, const unsigned char *data, unsigned int len,
                                     DataBuffer &out) {
  m_secondLeg = false;
  m_srcCodePage = src;
  m_dstCodePage = dst;
  switch (dst) {
  case 65000: {
    DataBuffer tmp;
    bool ok = convert_a(src, 1200, data, len, tmp);
    // Whatever was converted is kept, as everywhere else; the result tells of any loss.
    Utf::UnicodeToUtf7(tmp, out);
    return ok;
  }
  case 65005:
  case 65006: {
    DataBuffer tmp;
    bool ok = convert_a(src, 65001, data, len, tmp);
    bool ok2 = dst == 65005 ? Utf::Utf8toUtf32(tmp, out) : Utf::Utf8toUtf32BE(tmp, out);
    return ok && ok2;
  }
  case 1201: {
    m_dstCodePage = 1200;
    DataBuffer tmp;
    bool ok = convert_a(src, 1200, data, len, tmp);
    unsigned int n = tmp.getSize() & ~1u;
    const unsigned char *p = tmp.getData2();
    Writer w(out);
    for (unsigned int i = 0; i < n; i += 2)
      w.put2(p[i + 1], p[i]);
    return ok;
  }
  case 50220:
  case 50221:
  case 50222: {
    DataBuffer tmp;
    bool ok = convert_a(src, 932, data, len, tmp);
    if (tmp.getSize()) Japanese().ShiftJisToIso2022(tmp.getData2(), (int)tmp.getSize(), out);
    return ok;
  }
  case 50225: {
    DataBuffer tmp;
    bool ok = convert_a(src, 949, data, len, tmp);
    if (tmp.getSize()) Korean().KscToIso2022(tmp.getData2(), (int)tmp.getSize(), out);
    return ok;
  }
  default:
    return convert_a(src, dst, data, len, out);
  }
}

bool EncodingConvert::convert_a(int src, int dst, const unsigned char *data, unsigned int len,
                                DataBuffer &out) {
  if (!data || len == 0) return true;
  const unsigned char *p = data;
  unsigned int n = len;
  bool bigEndian = false;
  if (src == 65001 && n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
    p += 3;
    n -= 3;
  } else if (src == 1200 || src == 1201) {
    bigEndian = src == 1201;
    if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
      bigEndian = true;
      p += 2;
      n -= 2;
    } else if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
      bigEndian = false;
      p += 2;
      n -= 2;
    }
  } else if (src == 65006) {
    bigEndian = true;
  }
  if (n == 0) return true;
  if (src == dst) {
    out.append(p, n);
    return true;
  }

  bool ok = true;
  DataBuffer norm;
  if (src == 65005 || src == 65006) {
    DataBuffer u32;
    if (bigEndian) {
      unsigned int whole = n & ~3u;
      if (whole == 0) return true;
      if (whole != n) ok = false;
      for (unsigned int i = 0; i < whole; i += 4) {
        unsigned char q[4] = {p[i + 3], p[i + 2], p[i + 1], p[i]};
        u32.append(q, 4);
      }
    } else {
      u32.append(p, n);
      if (n & 3) ok = false;
    }
    if (!Utf::Utf32ToUtf8(u32, norm)) ok = false;
    src = 65001;
    p = norm.getData2();
    n = norm.getSize();
  } else if (src == 1200 || src == 1201) {
    if (bigEndian) {
      unsigned int whole = n & ~1u;
      if (whole == 0) return true;
      if (whole != n) ok = false;
      if (!norm.ensureBuffer(whole)) return false;
      for (unsigned int i = 0; i < whole; i += 2) {
        unsigned char q[2] = {p[i + 1], p[i]};
        norm.append(q, 2);
      }
      p = norm.getData2();
      n = norm.getSize();
    }
    src = 1200;
  } else if (src == 65000) {
    DataBuffer in;
    in.append(p, n);
    if (!Utf::Utf7ToUnicode(in, norm)) ok = false;
    src = 1200;
    p = norm.getData2();
    n = norm.getSize();
  }
  if (n == 0 || !p) return ok;
  if (src == dst) {
    out.append(p, n);
    return ok;
  }

  if (src == 1200) {
    if (dst == 65001) return convertFromUnicode(p, n, out) && ok;
    return convertFromUnicodeHC(dst, p, n, out) && ok;
  }

  // UTF-8 into a table code page and a single-byte page into UTF-8 in one pass, where that gives
  // the same bytes: the error actions work between the legs, so text that needs one (and the
  // Arabic pages, whose digits are rewritten between the legs) still takes both.
  const unsigned int before = out.getSize();
  if (src == 65001 && dst != 52936 && dst != 28596 && dst != 1256 &&
      (isSingleByteCodePage(dst) || isMultiByteCodePage(dst))) {
    ensureHashFromUnicode(dst);
    const HashConvert *table = hashFromUnicode(dst);
    if (table && utf8ToTableDirect(*table, p, n, out)) return ok;
    out.setDataSize_CAUTION(before);
  } else if (dst == 65001 && isSingleByteCodePage(src)) {
    ensureHashToUnicode(src);
    const UnicodeLookup *lookup = singleByteToUnicode(src);
    if (lookup && singleByteToUtf8Direct(*lookup, p, n, out)) return ok;
    out.setDataSize_CAUTION(before);
  }

  // Two legs: both legs' results count.
  DataBuffer mid;
  bool first;
  m_inserts.clear();
  m_nextInsert = 0;
  if (src == 65001) {
    if (dst == 1200) {
      out.ensureBuffer(out.getSize() + 2 * n);
      return convertToUnicode(p, n, out) && ok;
    }
    mid.ensureBuffer(2 * n + 4);
    m_firstLeg = true;
    first = convertToUnicode(p, n, mid);
    m_firstLeg = false;
  } else {
    if (dst == 1200) {
      out.ensureBuffer(out.getSize() + 2 * n);
      return convertToUnicodeHC(src, p, n, out) && ok;
    }
    mid.ensureBuffer(2 * n + 4);
    m_firstLeg = true;
    first = convertToUnicodeHC(src, p, n, mid);
    m_firstLeg = false;
  }
  out.ensureBuffer(out.getSize() + mid.getSize() / 2 + 4);
  m_secondLeg = true;
  bool second;
  if (dst == 65001)
    second = convertFromUnicode(mid.getData2(), mid.getSize(), out);
  else
    second = convertFromUnicodeHC(dst, mid.getData2(), mid.getSize(), out);
  m_secondLeg = false;
  if (m_nextInsert < m_inserts.size()) {
    // An unmappable unit at the very end of the first leg.
    Writer w(out);
    flushInsertsUpTo(0xFFFFFFFFu, w);
  }
  m_inserts.clear();
  m_nextInsert = 0;
  return first && second && ok;
}

// --------------------------------------------------------------------------------------------------
// UTF-8 and UTF-16.

bool EncodingConvert::convertToUnicode(const unsigned char *data, unsigned int len,
                                       DataBuffer &out) {
  Writer w(out);
  bool ok = true;
  unsigned int i = 0;
  while (i < len) {
    unsigned char c = data[i];
    if (c < 0x80) {
      w.put2(c, 0);
      ++i;
      continue;
    }
    int avail = (int)(len - i);
    // Four-byte sequences carry characters beyond U+FFFF: they become surrogate pairs.
    if (c >= 0xF0 && c <= 0xF4 && avail >= 4 && Utf::isLegalUtf8(data + i, 4)) {
      unsigned int cp = ((c & 0x07) << 18) | ((data[i + 1] & 0x3F) << 12) |
                        ((data[i + 2] & 0x3F) << 6) | (data[i + 3] & 0x3F);
      cp -= 0x10000;
      w.putUnit(0xD800 + (cp >> 10));
      w.putUnit(0xDC00 + (cp & 0x3FF));
      i += 4;
      continue;
    }
    unsigned short unit = 0;
    int r = EncodingUtf8::fromMB(data + i, avail, unit);
    if (r > 0) {
      if (unit >= 0xD800 && unit <= 0xDFFF) {
        // An encoded surrogate: a high one followed by an encoded low one is a pair written unit
        // by unit (kept readable); any other is no character.
        unsigned short low = 0;
        if (unit < 0xDC00 && avail >= 6 &&
            EncodingUtf8::fromMB(data + i + 3, avail - 3, low) == 3 && low >= 0xDC00 &&
            low <= 0xDFFF) {
          w.putUnit(unit);
          w.putUnit(low);
          i += 6;
          continue;
        }
        unit = 0xFFFD;
      }
      w.putUnit(unit);
      i += (unsigned int)r;
      continue;
    }
    if (m_errorAction == 0) {
      ++i; // skipped; a bad UTF-8 byte does not fail the conversion
      continue;
    }
    int bad = Utf::NumUtf8Bytes(data + i, avail);
    if (bad < 1) bad = 1;
    handleErrorFromUtf8(data + i, bad, w);
    ok = false;
    i += (unsigned int)bad;
  }
  return ok;
}

bool EncodingConvert::convertFromUnicode(const unsigned char *data, unsigned int len,
                                         DataBuffer &out) {
  bool ok = true;
  if (len & 1) {
    ok = false;
    --len;
  }
  if (len == 0) return ok;
  Writer w(out);
  for (unsigned int i = 0; i < len; i += 2) {
    if (m_secondLeg && m_nextInsert < m_inserts.size()) flushInsertsUpTo(i, w);
    unsigned int u = le16(data + i);
    if (u == 0) continue;
    if (u < 0x80) {
      w.put((unsigned char)u);
      continue;
    }
    if (u < 0x800) {
      w.put2((unsigned char)(0xC0 | (u >> 6)), (unsigned char)(0x80 | (u & 0x3F)));
      continue;
    }
    if (u >= 0xD800 && u <= 0xDBFF && i + 4 <= len) {
      unsigned int lo = le16(data + i + 2);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        unsigned int cp = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        unsigned char q[4] = {
            (unsigned char)(0xF0 | (cp >> 18)), (unsigned char)(0x80 | ((cp >> 12) & 0x3F)),
            (unsigned char)(0x80 | ((cp >> 6) & 0x3F)), (unsigned char)(0x80 | (cp & 0x3F))};
        w.putN(q, 4);
        i += 2;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD; // a lone surrogate is no character
    w.put((unsigned char)(0xE0 | (u >> 12)));
    w.put2((unsigned char)(0x80 | ((u >> 6) & 0x3F)), (unsigned char)(0x80 | (u & 0x3F)));
  }
  if (m_secondLeg && m_nextInsert < m_inserts.size()) flushInsertsUpTo(len, w);
  return ok;
}

// --------------------------------------------------------------------------------------------------
// One-pass conversions.

namespace {

// One-pass output gathers in large pieces.
using DirectOut = BlockWriter<16384>;

// The bytes of a UTF-16 unit in a table code page, remembered for the length of one conversion:
// a text uses few distinct characters and the hash lookup is the dear part.
class UnitCache {
public:
  UnitCache(const HashConvert &table, bool use) : m_table(table) {
    if (use) m_slots.reset(new (std::nothrow) Slot[kSlots]());
  }
  // False when the table has no bytes for the unit.
  bool lookup(unsigned int u, unsigned char *v, int &vlen) {
    const unsigned char key[2] = {(unsigned char)(u & 0xFF), (unsigned char)(u >> 8)};
    if (!m_slots) {
      m_table.HashLookup(key, 2, v, vlen);
      return vlen > 0;
    }
    Slot &s = m_slots[u & (kSlots - 1)];
    if (s.key != u + 1) {
      m_table.HashLookup(key, 2, v, vlen);
      if (vlen <= 0) return false;
      if (vlen > 4) return true;
      s.key = u + 1;
      s.len = (unsigned char)vlen;
      std::memcpy(s.bytes, v, (size_t)vlen);
      return true;
    }
    vlen = s.len;
    std::memcpy(v, s.bytes, 4);
    return true;
  }

private:
  struct Slot {
    unsigned int key; // unit + 1; 0 when empty
    unsigned char len;
    unsigned char bytes[4];
  };
  static constexpr unsigned int kSlots = 4096;
  const HashConvert &m_table;
  std::unique_ptr<Slot[]> m_slots;
};

bool allAscii8(const unsigned char *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return (v & 0x8080808080808080ull) == 0;
}

} // namespace

bool EncodingConvert::utf8ToTableDirect(const HashConvert &table, const unsigned char *data,
                                        unsigned int len, DataBuffer &out) {
  DirectOut w(out);
  const bool lowerAscii = table.get_IsLowerAscii();
  UnitCache cache(table, len >= 1024);
  unsigned int i = 0;
  while (i < len) {
    const unsigned char c = data[i];
    if (c < 0x80 && lowerAscii) {
      // ASCII stands for itself: copy the whole run.
      unsigned int j = i + 1;
      while (j + 8 <= len && allAscii8(data + j))
        j += 8;
      while (j < len && data[j] < 0x80)
        ++j;
      w.putN(data + i, j - i);
      i = j;
      continue;
    }
    unsigned short unit = c;
    int r = 1;
    if (c >= 0x80) {
      // Four-byte sequences (surrogate pairs), encoded surrogates and bad bytes need the legs.
      if (c >= 0xF0) return false;
      r = EncodingUtf8::fromMB(data + i, (int)(len - i), unit);
      if (r <= 0 || (unit >= 0xD800 && unit <= 0xDFFF)) return false;
    }
    unsigned char v[4];
    int vlen = 0;
    if (cache.lookup(unit, v, vlen)) {
      w.putN(v, (unsigned int)vlen);
    } else if (unit == 0) {
      w.put(0);
    } else {
      return false;
    }
    i += (unsigned int)r;
  }
  return true;
}

bool EncodingConvert::singleByteToUtf8Direct(const UnicodeLookup &lookup, const unsigned char *data,
                                             unsigned int len, DataBuffer &out) {
  // The UTF-8 of every byte, as the second leg writes its unit: NUL is dropped there; a byte
  // without a unit needs the error action.
  constexpr unsigned char kNoUnit = 0xFF;
  unsigned char encLen[256];
  uint32_t enc[256];
  for (unsigned int b = 0; b < 256; ++b) {
    const unsigned int u = b == 0 ? 0 : lookup.m_table[b];
    unsigned char q[4] = {0, 0, 0, 0};
    unsigned char n;
    if (b != 0 && u == 0) {
      n = kNoUnit;
    } else if (u == 0) {
      n = 0;
    } else if (u < 0x80) {
      q[0] = (unsigned char)u;
      n = 1;
    } else if (u < 0x800) {
      q[0] = (unsigned char)(0xC0 | (u >> 6));
      q[1] = (unsigned char)(0x80 | (u & 0x3F));
      n = 2;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      n = kNoUnit;
    } else {
      q[0] = (unsigned char)(0xE0 | (u >> 12));
      q[1] = (unsigned char)(0x80 | ((u >> 6) & 0x3F));
      q[2] = (unsigned char)(0x80 | (u & 0x3F));
      n = 3;
    }
    encLen[b] = n;
    std::memcpy(&enc[b], q, 4);
  }
  unsigned char noUnit[256];
  for (unsigned int b = 0; b < 256; ++b) {
    noUnit[b] = encLen[b] == kNoUnit;
    if (noUnit[b]) encLen[b] = 0;
  }
  DirectOut w(out);
  constexpr unsigned int kPiece = 1024;
  for (unsigned int i = 0; i < len;) {
    // A piece of input at a time: 3 output bytes each at most, plus a 4-byte store's slack.
    unsigned char *const start = w.at(3 * kPiece + 4);
    unsigned char *o = start;
    const unsigned int stop = len - i > kPiece ? i + kPiece : len;
    unsigned char bad = 0;
    for (; i < stop; ++i) {
      const unsigned char b = data[i];
      std::memcpy(o, &enc[b], 4);
      o += encLen[b];
      bad |= noUnit[b];
    }
    if (bad) return false;
    w.advance((unsigned int)(o - start));
  }
  return true;
}

// --------------------------------------------------------------------------------------------------
// Table code pages.

bool EncodingConvert::convertToUnicodeHC(int src, const unsigned char *data, unsigned int len,
                                         DataBuffer &out) {
  if (src == 54936) return Gb18030::toUtf16(data, len, out);
  if (isSingleByteCodePage(src)) {
    ensureHashToUnicode(src);
    const UnicodeLookup *lookup = singleByteToUnicode(src);
    if (!lookup) return false;
    return convertToUnicodeByLookup(src, *lookup, data, len, out);
  }
  if (src == 52936 || !isMultiByteCodePage(src)) return false;
  ensureHashToUnicode(src);
  return convertToUnicodeHCVar(src, hashToUnicode(src), data, len, out);
}

bool EncodingConvert::convertFromUnicodeHC(int dst, const unsigned char *data, unsigned int len,
                                           DataBuffer &out) {
  if (dst == 54936) return Gb18030::fromUtf16(data, len, out);
  if (dst == 52936 || (!isSingleByteCodePage(dst) && !isMultiByteCodePage(dst))) return false;
  ensureHashFromUnicode(dst);
  const HashConvert *table = hashFromUnicode(dst);
  if (!table) return false;
  if (dst == 28596 || dst == 1256) {
    // Arabic-Indic and extended Arabic-Indic digits have no byte here: they are written as the
    // ASCII digits.
    DataBuffer copy;
    if (!copy.append(data, len)) return false;
    unsigned char *p = copy.getData2();
    for (unsigned int i = 0; i + 1 < len; i += 2) {
      unsigned int u = le16(p + i);
      if ((u >= 0x660 && u <= 0x669) || (u >= 0x6F0 && u <= 0x6F9)) {
        p[i] = (unsigned char)('0' + (u & 0xF));
        p[i + 1] = 0;
      }
    }
    return convertFromUnicodeHC2(dst, table, p, len, out);
  }
  return convertFromUnicodeHC2(dst, table, data, len, out);
}

bool EncodingConvert::convertToUnicodeByLookup(int src, const UnicodeLookup &lookup,
                                               const unsigned char *data, unsigned int len,
                                               DataBuffer &out) {
  Writer w(out);
  bool ok = true;
  for (unsigned int i = 0; i < len; ++i) {
    unsigned char b = data[i];
    if (b == 0) {
      w.put2(0, 0);
      continue;
    }
    unsigned short u = lookup.m_table[b];
    if (u == 0) {
      handleErrorFromSingleByte(src, data + i, w);
      ok = false;
      continue;
    }
    w.putUnit(u);
  }
  return ok;
}

bool EncodingConvert::convertToUnicodeHCVar(int src, const HashConvert *table,
                                            const unsigned char *data, unsigned int len,
                                            DataBuffer &out) {
  if (!table) return false;
  if (len == 0) return true;
  Writer w(out);
  bool ok = true;
  bool lowerAscii = table->get_IsLowerAscii();
  unsigned char v[4];
  int vlen = 0;
  unsigned int i = 0;
  while (i < len) {
    unsigned int remain = len - i;
    const unsigned char *p = data + i;
    if (remain >= 2) {
      bool hit = false;
      for (unsigned int k = 2; k <= 4 && k <= remain; ++k) {
        table->HashLookup(p, (int)k, v, vlen);
        if (vlen > 0) {
          w.putN(v, (unsigned int)vlen);
          i += k;
          hit = true;
          break;
        }
      }
      if (hit) continue;
    }
    if (p[0] == 0) {
      w.put2(0, 0);
      ++i;
      continue;
    }
    if (lowerAscii && p[0] < 0x80) {
      w.put2(p[0], 0);
      ++i;
      continue;
    }
    table->HashLookup(p, 1, v, vlen);
    if (vlen > 0) {
      w.putN(v, (unsigned int)vlen);
      ++i;
      continue;
    }
    int unitLen = (isTwoByteUnitCodePage(src) && remain >= 2) ? 2 : 1;
    handleErrorFromUnknown(src, p, unitLen, w);
    ok = false;
    ++i; // one byte at a time
  }
  return ok;
}

bool EncodingConvert::convertFromUnicodeHC2(int dst, const HashConvert *table,
                                            const unsigned char *data, unsigned int len,
                                            DataBuffer &out) {
  (void)dst;
  bool ok = true;
  if (len & 1) {
    ok = false;
    --len;
  }
  if (len == 0 || !table) return table ? ok : false;
  Writer w(out);
  bool lowerAscii = table->get_IsLowerAscii();
  unsigned char v[4];
  int vlen = 0;
  for (unsigned int i = 0; i < len; i += 2) {
    if (m_secondLeg && m_nextInsert < m_inserts.size()) flushInsertsUpTo(i, w);
    unsigned int u = le16(data + i);
    if (lowerAscii && u < 0x80) {
      w.put((unsigned char)u);
      continue;
    }
    table->HashLookup(data + i, 2, v, vlen);
    if (vlen > 0) {
      w.putN(v, (unsigned int)vlen);
      continue;
    }
    if (u == 0) {
      w.put(0);
      continue;
    }
    handleErrorFromUnicode(data + i, w);
    ok = false;
  }
  if (m_secondLeg && m_nextInsert < m_inserts.size()) flushInsertsUpTo(len, w);
  return ok;
}

// --------------------------------------------------------------------------------------------------
// Error actions.

void EncodingConvert::emitRaw(const unsigned char *p, unsigned int n, Writer &w) {
  if (n == 0) return;
  if (m_firstLeg) {
    // Kept aside and written into the final output by the second leg at this point of the text.
    m_inserts.emplace_back(w.total(), std::string((const char *)p, n));
    return;
  }
  w.putN(p, n);
}

void EncodingConvert::flushInsertsUpTo(unsigned int offset, Writer &w) {
  while (m_nextInsert < m_inserts.size() && m_inserts[m_nextInsert].first <= offset) {
    const std::string &s = m_inserts[m_nextInsert].second;
    w.putN((const unsigned char *)s.data(), (unsigned int)s.size());
    ++m_nextInsert;
  }
}

void EncodingConvert::errorToUnicode(int cp, const unsigned char *p, int n, Writer &w) {
  switch (m_errorAction) {
  case 1:
    emitRaw(m_subst, (unsigned int)m_substLen, w);
    break;
  case 2: {
    DataBuffer t;
    t.append("&#x", 3);
    appendHexData(p, n, t);
    t.appendChar(';');
    emitRaw(t.getData2(), t.getSize(), w);
    break;
  }
  case 6: {
    DataBuffer t;
    EncodingConvert nested;
    nested.EncConvert(cp, m_altCodePage ? m_altCodePage : m_dstCodePage, p, (unsigned int)n, t);
    emitRaw(t.getData2(), t.getSize(), w);
    break;
  }
  case 7:
    emitRaw(p, (unsigned int)n, w);
    break;
  case 8:
    if (n == 1) w.putUnit(p[0]);
    break;
  default:
    break;
  }
}

void EncodingConvert::handleErrorFromUtf8(const unsigned char *p, int n, Writer &w) {
  errorToUnicode(65001, p, n, w);
}

void EncodingConvert::handleErrorFromSingleByte(int cp, const unsigned char *p, Writer &w) {
  errorToUnicode(cp, p, 1, w);
}

void EncodingConvert::handleErrorFromUnknown(int cp, const unsigned char *p, int n, Writer &w) {
  errorToUnicode(cp, p, n, w);
}

void EncodingConvert::handleErrorFromUnicode(const unsigned char *unit, Writer &w) {
  switch (m_errorAction) {
  case 1:
    w.putN(m_subst, (unsigned int)m_substLen);
    break;
  case 2: {
    DataBuffer hex;
    if (m_secondLeg) {
      DataBuffer back;
      EncodingConvert nested;
      nested.EncConvert(1200, m_srcCodePage, unit, 2, back);
      if (back.getSize() == 0) break;
      appendHexData(back.getData2(), (int)back.getSize(), hex);
    } else {
      appendHexData(unit, 2, hex);
    }
    w.putN((const unsigned char *)"&#x", 3);
    w.putN(hex.getData2(), hex.getSize());
    w.put(';');
    break;
  }
  case 6: {
    DataBuffer t;
    EncodingConvert nested;
    nested.EncConvert(1200, m_altCodePage ? m_altCodePage : m_dstCodePage, unit, 2, t);
    w.putN(t.getData2(), t.getSize());
    break;
  }
  case 7:
    if (m_secondLeg) {
      DataBuffer back;
      EncodingConvert nested;
      nested.EncConvert(1200, m_srcCodePage, unit, 2, back);
      w.putN(back.getData2(), back.getSize());
    } else {
      w.putN(unit, 2);
    }
    break;
  default:
    break;
  }
}

// --------------------------------------------------------------------------------------------------
// Building the tables.

bool EncodingConvert::isSingleByteCodePage(int cp) {
  return singleIndex(cp) >= 0;
}

bool EncodingConvert::isMultiByteCodePage(int cp) {
  return multiIndex(cp) >= 0;
}

bool EncodingConvert::canConvert(int cp) {
  switch (cp) {
  case 1200:
  case 1201:
  case 65000:
  case 65001:
  case 65005:
  case 65006:
  case 50220:
  case 50221:
  case 50222:
  case 50225:
  case 54936: // GB18030, converted as itself
    return true;
  case 52936: // looked up as 936 for its tables, but HZ's escapes are not converted
    return false;
  default:
    return isSingleByteCodePage(cp) || isMultiByteCodePage(cp);
  }
}

const UnicodeLookup *EncodingConvert::singleByteToUnicode(int cp) {
  int i = singleIndex(cp);
  if (i < 0) return nullptr;
  ensureHashToUnicode(cp);
  return g_slots[i].lookup;
}

const HashConvert *EncodingConvert::hashToUnicode(int cp) {
  int i = multiIndex(cp);
  if (i < 0) return nullptr;
  ensureHashToUnicode(cp);
  return g_slots[kNumSingle + i].toUnicode;
}

const HashConvert *EncodingConvert::hashFromUnicode(int cp) {
  TableSlot *s = slotOf(cp);
  if (!s) return nullptr;
  ensureHashFromUnicode(cp);
  return s->fromUnicode;
}

void EncodingConvert::buildHash(const char *text, HashConvert &table, bool fromUnicode) {
  if (!text || !text[0]) return;
  char kind = text[0];
  int textLen = (int)std::strlen(text + 1);
  int n = 0;
  unsigned char *decoded = ContentCoding::decodeBase64(text + 1, textLen, &n);
  if (!decoded || n <= 0) {
    delete[] decoded;
    return;
  }
  DataBuffer body;
  if (kind == 'x') {
    body.append(decoded, (unsigned int)n);
  } else {
    DataBuffer packed;
    packed.append(decoded, (unsigned int)n);
    RazudodBzip2 bz;
    bz.unBzipWithHeader(packed, body);
  }
  delete[] decoded;
  if (body.getSize() < 2) return;
  const unsigned char *p = body.getData2();
  table.put_IsLowerAscii(p[0] == 'a');
  if (p[1] == 'd') {
    if (fromUnicode) buildFromDiffs(p + 2, body.getSize() - 2, table);
  } else {
    buildFromComplete(p + 2, body.getSize() - 2, table, fromUnicode);
  }
}

void EncodingConvert::buildFromComplete(const unsigned char *p, unsigned int len,
                                        HashConvert &table, bool fromUnicode) {
  unsigned int i = 0;
  unsigned char code = 0;
  unsigned short uni = 0;
  auto insert = [&](const unsigned char *codeBytes, int codeLen, unsigned short u) {
    unsigned char ub[2] = {(unsigned char)(u & 0xFF), (unsigned char)(u >> 8)};
    if (fromUnicode)
      table.HashInsert(ub, 2, codeBytes, codeLen);
    else
      table.HashInsert(codeBytes, codeLen, ub, 2);
  };
  while (i < len) {
    unsigned char inc = p[i];
    if (inc == 0) {
      ++i;
      break;
    }
    if (i + 3 > len) return;
    code = (unsigned char)(code + inc);
    uni = (unsigned short)(uni + le16(p + i + 1));
    insert(&code, 1, uni);
    i += 3;
  }
  unsigned short code2 = 0;
  uni = 0;
  while (i + 2 <= len) {
    unsigned int inc = le16(p + i);
    if (inc == 0) break;
    if (i + 4 > len) return;
    code2 = (unsigned short)(code2 + inc);
    uni = (unsigned short)(uni + le16(p + i + 2));
    unsigned char cb[2] = {(unsigned char)(code2 >> 8), (unsigned char)(code2 & 0xFF)};
    insert(cb, 2, uni);
    i += 4;
  }
}

void EncodingConvert::buildFromDiffs(const unsigned char *p, unsigned int len, HashConvert &table) {
  unsigned int i = 0;
  // Removed characters.
  while (i + 2 <= len) {
    unsigned int u = le16(p + i);
    i += 2;
    if (u == 0) break;
    table.HashRemove(p + i - 2, 2);
  }
  // One-byte codes.
  while (i < len) {
    unsigned char c = p[i];
    if (c == 0) {
      ++i;
      break;
    }
    if (i + 3 > len) return;
    table.HashRemove(p + i + 1, 2);
    table.HashInsert(p + i + 1, 2, &c, 1);
    i += 3;
  }
  // Two-byte codes, lead byte first.
  while (i + 2 <= len) {
    if (p[i] == 0 && p[i + 1] == 0) break;
    if (i + 4 > len) return;
    table.HashRemove(p + i + 2, 2);
    table.HashInsert(p + i + 2, 2, p + i, 2);
    i += 4;
  }
}

void EncodingConvert::buildSingleByteLookup(HashConvert &table, UnicodeLookup &lookup) {
  lookup.m_table[0] = 0;
  unsigned char v[4];
  int vlen = 0;
  for (int b = 1; b < 256; ++b) {
    if (table.get_IsLowerAscii() && b <= 0x7F) {
      lookup.m_table[b] = (unsigned short)b;
      continue;
    }
    unsigned char key = (unsigned char)b;
    table.HashLookup(&key, 1, v, vlen);
    lookup.m_table[b] = vlen == 2 ? (unsigned short)(v[0] | (v[1] << 8)) : 0;
  }
}

void EncodingConvert::ensureHashFromUnicode(int cp) {
  TableSlot *slot = slotOf(cp);
  if (!slot) return;
  if (cp == 52936) cp = 936;
  std::call_once(slot->fromOnce, [slot, cp] {
    int si = singleIndex(cp);
    HashConvert *t = new HashConvert();
    if (si >= 0) {
      t->Initialize(269);
      buildSingleByteTable(cp, *t, true);
    } else {
      const MultiByteInfo &info = kMultiByte[multiIndex(cp)];
      t->Initialize(info.fromBuckets);
      StringBuffer text;
      info.text(text);
      buildHash(text.getString(), *t, true);
      if (cp == 10001) buildHash(_Enc_x_mac_japanese, *t, true);
    }
    slot->fromUnicode = t; // published once complete (call_once orders it for every reader)
  });
}

void EncodingConvert::ensureHashToUnicode(int cp) {
  TableSlot *slot = slotOf(cp);
  if (!slot) return;
  if (cp == 52936) cp = 936;
  std::call_once(slot->toOnce, [slot, cp] {
    int si = singleIndex(cp);
    if (si >= 0) {
      UnicodeLookup *lookup = new UnicodeLookup();
      HashConvert tmp;
      tmp.Initialize(283);
      buildSingleByteTable(cp, tmp, false);
      buildSingleByteLookup(tmp, *lookup);
      slot->lookup = lookup;
      return;
    }
    const MultiByteInfo &info = kMultiByte[multiIndex(cp)];
    HashConvert *t = new HashConvert();
    t->Initialize(info.toBuckets);
    if (cp == 10001) {
      ensureHashFromUnicode(10001);
      const HashConvert *from = hashFromUnicode(10001);
      if (from) from->BuildReverse(*t);
    } else {
      StringBuffer text;
      info.text(text);
      buildHash(text.getString(), *t, false);
    }
    slot->toUnicode = t;
  });
}
