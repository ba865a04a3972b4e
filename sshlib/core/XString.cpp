#include "sshlib/core/XString.h"

#include <cstdio>
#include <cstring>

#include "sshlib/core/CaseMapping.h"
#include "sshlib/core/CharsetNaming.h"
#include "sshlib/core/EncodingConvert.h"
#include "sshlib/core/Psdk.h"

namespace {

const int kUtf16 = 1200;
const int kUtf8 = 65001;

// Every conversion between the forms (and to other charsets) goes through the encoding engine.
bool convertText(int from, int to, const unsigned char *p, unsigned int n, DataBuffer &out) {
  EncodingConvert ec;
  return ec.EncConvert(from, to, p, n, out);
}

const char *skipBom(const char *s) {
  if (s && static_cast<unsigned char>(s[0]) == 0xEF && static_cast<unsigned char>(s[1]) == 0xBB &&
      static_cast<unsigned char>(s[2]) == 0xBF)
    return s + 3;
  return s;
}

const unsigned char *bytesOf(const StringBuffer &sb) {
  return reinterpret_cast<const unsigned char *>(sb.getString());
}

void appendTerminator(DataBuffer &db) {
  const unsigned char z[2] = {0, 0};
  db.append(z, 2);
}

unsigned int unitCount(const unsigned short *s) {
  unsigned int n = 0;
  while (s[n])
    ++n;
  return n;
}

// The UTF-16 unit of one ANSI byte.
unsigned short ansiUnit(char c) {
  DataBuffer out;
  const unsigned char b = static_cast<unsigned char>(c);
  convertText(Psdk::getAnsiCodePage(), kUtf16, &b, 1, out);
  return out.getSize() >= 2
             ? static_cast<unsigned short>(out.getData2()[0] | out.getData2()[1] << 8)
             : 0;
}

} // namespace

XString::XString() {
  appendTerminator(m_dbUnicode);
  m_sbAnsi.minimizeMemoryUsage();
  m_sbUtf8.minimizeMemoryUsage();
}

XString::~XString() {}

unsigned int XString::unicodeUnits() const {
  const unsigned int size = m_dbUnicode.getSize();
  return size > 1 ? (size - 2) / 2 : 0;
}

void XString::clear() {
  m_ansiStatus = 0;
  m_sbAnsi.clear();
  m_sbUtf8.clear();
  m_dbUnicode.clear();
  appendTerminator(m_dbUnicode);
  m_unicodeValid = m_ansiValid = m_utf8Valid = true;
  m_sbAnsi.minimizeMemoryUsage();
  m_sbUtf8.minimizeMemoryUsage();
}

void XString::secureClear() {
  // Wipe the whole block of the UTF-16 form, not only the units in use: shortened text leaves
  // its old units behind the terminator.
  m_dbUnicode.setDataSize_CAUTION(m_dbUnicode.getBufSize());
  m_dbUnicode.secureClear();
  m_sbAnsi.secureClear();
  m_sbUtf8.secureClear();
  clear();
}

void XString::copyFromX(const XString &other) {
  if (&other == this) return;
  m_ansiStatus = other.m_ansiStatus;
  m_unicodeValid = other.m_unicodeValid;
  m_ansiValid = other.m_ansiValid;
  m_utf8Valid = other.m_utf8Valid;
  m_dbUnicode.clear();
  m_dbUnicode.append(other.m_dbUnicode);
  m_sbAnsi.clear();
  m_sbAnsi.append(other.m_sbAnsi);
  m_sbUtf8.clear();
  m_sbUtf8.append(other.m_sbUtf8);
}

void XString::minimizeMemory() {
  // A lossy ANSI form is never the one kept: it would lose characters for good.
  const bool ansiUsable = m_ansiValid && (m_ansiStatus != 2 || (!m_utf8Valid && !m_unicodeValid));
  if (m_utf8Valid) {
    m_sbAnsi.clear();
    m_sbAnsi.minimizeMemoryUsage();
    m_ansiValid = false;
    m_dbUnicode.clearWithDeallocate();
    m_unicodeValid = false;
    m_sbUtf8.minimizeMemoryUsage();
  } else if (ansiUsable) {
    m_sbUtf8.clear();
    m_sbUtf8.minimizeMemoryUsage();
    m_utf8Valid = false;
    m_dbUnicode.clearWithDeallocate();
    m_unicodeValid = false;
    m_sbAnsi.minimizeMemoryUsage();
  } else if (m_unicodeValid) {
    m_sbUtf8.clear();
    m_sbUtf8.minimizeMemoryUsage();
    m_sbAnsi.clear();
    m_sbAnsi.minimizeMemoryUsage();
    m_utf8Valid = m_ansiValid = false;
    m_dbUnicode.minimizeMemoryUsage();
  }
}

void XString::onlyUtf8() {
  m_utf8Valid = true;
  m_ansiValid = m_unicodeValid = false;
  m_ansiStatus = 0;
}

void XString::onlyAnsi() {
  m_ansiValid = true;
  m_utf8Valid = m_unicodeValid = false;
}

void XString::onlyUnicode() {
  m_unicodeValid = true;
  m_utf8Valid = m_ansiValid = false;
  m_ansiStatus = 0;
}

void XString::setFromUtf8(const char *s) {
  s = skipBom(s);
  if (s == nullptr || *s == 0) {
    clear();
    return;
  }
  m_sbUtf8.setString(s);
  onlyUtf8();
  m_sbUtf8.minimizeMemoryUsage();
}

void XString::setFromAnsi(const char *s) {
  if (s == nullptr || *s == 0) {
    clear();
    return;
  }
  m_sbAnsi.setString(s);
  onlyAnsi();
  m_ansiStatus = 1;
  m_sbAnsi.minimizeMemoryUsage();
}

void XString::setFromAnsiN(const char *s, int n) {
  if (s == nullptr || *s == 0 || n <= 0) {
    clear();
    return;
  }
  m_sbAnsi.clear();
  m_sbAnsi.appendN(s, n);
  onlyAnsi();
  m_ansiStatus = 1;
  m_sbAnsi.minimizeMemoryUsage();
}

void XString::setFromDual(const char *s, bool utf8) {
  if (utf8)
    setFromUtf8(s);
  else
    setFromAnsi(s);
}

void XString::setFromUnicode(const unsigned short *s) {
  if (s == nullptr || *s == 0) {
    clear();
    return;
  }
  setFromUnicode2(s, static_cast<int>(unitCount(s)));
}

void XString::setFromUnicode2(const unsigned short *s, int n) {
  if (s == nullptr || n <= 0 || *s == 0) {
    clear();
    return;
  }
  m_dbUnicode.clear();
  m_dbUnicode.append(s, static_cast<unsigned int>(n) * 2u);
  appendTerminator(m_dbUnicode);
  onlyUnicode();
}

void XString::ensureUtf8() {
  if (m_utf8Valid) return;
  if (m_ansiValid) {
    const unsigned int n = static_cast<unsigned int>(m_sbAnsi.getSize());
    DataBuffer tmp;
    tmp.ensureBuffer(n + n / 16 + 4);
    convertText(Psdk::getAnsiCodePage(), kUtf8, bytesOf(m_sbAnsi), n, tmp);
    tmp.appendChar(0);
    m_sbUtf8.takeFromDb(tmp);
  } else if (m_unicodeValid) {
    DataBuffer tmp;
    const unsigned int units = unicodeUnits();
    if (units > 0) {
      convertText(kUtf16, kUtf8, m_dbUnicode.getData2(), units * 2, tmp);
      tmp.appendChar(0);
      m_sbUtf8.takeFromDb(tmp);
    } else {
      m_sbUtf8.clear();
    }
    m_sbUtf8.minimizeMemoryUsage();
  } else {
    clear();
    return;
  }
  m_utf8Valid = true;
}

void XString::ensureAnsi() {
  if (m_ansiValid) return;
  const int acp = Psdk::getAnsiCodePage();
  if (m_utf8Valid) {
    DataBuffer tmp;
    const bool ok = convertText(kUtf8, acp, bytesOf(m_sbUtf8),
                                static_cast<unsigned int>(m_sbUtf8.getSize()), tmp);
    tmp.appendChar(0);
    m_sbAnsi.takeFromDb(tmp);
    m_ansiStatus = ok ? 1 : 2;
  } else if (m_unicodeValid) {
    const unsigned int units = unicodeUnits();
    if (units == 0) {
      m_sbAnsi.clear();
      m_ansiStatus = 1;
    } else {
      DataBuffer tmp;
      const bool ok = convertText(kUtf16, acp, m_dbUnicode.getData2(), units * 2, tmp);
      tmp.appendChar(0);
      m_sbAnsi.takeFromDb(tmp);
      m_ansiStatus = ok ? 1 : 2;
    }
    m_sbAnsi.minimizeMemoryUsage();
  } else {
    clear();
    return;
  }
  m_ansiValid = true;
}

void XString::ensureUnicode() {
  if (m_unicodeValid) return;
  if (m_utf8Valid) {
    m_dbUnicode.clear();
    convertText(kUtf8, kUtf16, bytesOf(m_sbUtf8), static_cast<unsigned int>(m_sbUtf8.getSize()),
                m_dbUnicode);
    appendTerminator(m_dbUnicode);
  } else if (m_ansiValid) {
    m_dbUnicode.clear();
    convertText(Psdk::getAnsiCodePage(), kUtf16, bytesOf(m_sbAnsi),
                static_cast<unsigned int>(m_sbAnsi.getSize()), m_dbUnicode);
    appendTerminator(m_dbUnicode);
  } else {
    clear();
    return;
  }
  m_unicodeValid = true;
}

const char *XString::getUtf8() {
  ensureUtf8();
  return m_sbUtf8.getString();
}

const char *XString::getAnsi() {
  ensureAnsi();
  return m_sbAnsi.getString();
}

const unsigned short *XString::getUnicode() {
  ensureUnicode();
  return reinterpret_cast<const unsigned short *>(m_dbUnicode.getData2());
}

StringBuffer &XString::getUtf8Sb() {
  ensureUtf8();
  return m_sbUtf8;
}

unsigned int XString::getSizeUtf8() {
  ensureUtf8();
  return static_cast<unsigned int>(m_sbUtf8.getSize());
}

unsigned int XString::getSizeAnsi() {
  ensureAnsi();
  return static_cast<unsigned int>(m_sbAnsi.getSize());
}

unsigned int XString::getSizeUnicode() {
  ensureUnicode();
  return unicodeUnits() * 2;
}

unsigned int XString::getNumChars() {
  if (m_ansiValid) return static_cast<unsigned int>(m_sbAnsi.getSize());
  ensureUnicode();
  return m_unicodeValid ? unicodeUnits() : 0;
}

bool XString::validAnsi() {
  if (m_ansiStatus == 1) return true;
  if (m_ansiStatus == 2) return false;
  const int acp = Psdk::getAnsiCodePage();
  DataBuffer tmp;
  bool ok;
  if (m_unicodeValid) {
    ok = convertText(kUtf16, acp, m_dbUnicode.getData2(), unicodeUnits() * 2, tmp);
  } else if (m_utf8Valid) {
    ok = convertText(kUtf8, acp, bytesOf(m_sbUtf8), static_cast<unsigned int>(m_sbUtf8.getSize()),
                     tmp);
  } else {
    return true;
  }
  if (ok) {
    tmp.appendChar(0);
    m_sbAnsi.takeFromDb(tmp);
    m_ansiValid = true;
    m_ansiStatus = 1;
  } else {
    m_sbAnsi.clear();
    m_ansiValid = false;
    m_ansiStatus = 2;
  }
  return m_ansiStatus == 1;
}

bool XString::getConverted(_ckCharset &charset, DataBuffer &out) {
  const int cp = charset.getCodePage();
  if (m_unicodeValid) {
    out.clear();
    const unsigned int units = unicodeUnits();
    if (units == 0) return true;
    return convertText(kUtf16, cp, m_dbUnicode.getData2(), units * 2, out);
  }
  ensureUtf8();
  return convertText(kUtf8, cp, bytesOf(m_sbUtf8), static_cast<unsigned int>(m_sbUtf8.getSize()),
                     out);
}

void XString::appendUtf8(const char *s) {
  s = skipBom(s);
  if (s == nullptr || *s == 0) return;
  ensureUtf8();
  m_sbUtf8.append(s);
  onlyUtf8();
}

void XString::appendUtf8N(const char *s, int n) {
  if (s == nullptr || n <= 0) return;
  if (n >= 3 && skipBom(s) != s) {
    s += 3;
    n -= 3;
    if (n == 0) return;
  }
  ensureUtf8();
  m_sbUtf8.appendN(s, n);
  onlyUtf8();
}

void XString::prependUtf8(const char *s) {
  s = skipBom(s);
  if (s == nullptr || *s == 0) return;
  ensureUtf8();
  m_sbUtf8.prepend(s);
  onlyUtf8();
}

void XString::appendInt(int v) {
  char buf[24];
  std::snprintf(buf, sizeof(buf), "%d", v);
  appendUtf8(buf);
}

void XString::appendInt64(long long v) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%lld", v);
  appendUtf8(buf);
}

bool XString::replaceFirstOccuranceUtf8(const char *find, const char *with) {
  ensureUtf8();
  if (!m_sbUtf8.replaceFirstOccurance(find, with)) return false;
  onlyUtf8();
  return true;
}

int XString::replaceAllOccurancesUtf8(const char *find, const char *with) {
  ensureUtf8();
  const int n = m_sbUtf8.replaceAllOccurances(find, with);
  if (n > 0) onlyUtf8();
  return n;
}

void XString::trim2() {
  ensureUtf8();
  m_sbUtf8.trim2();
  onlyUtf8();
}

void XString::appendAnsi(const char *s) {
  if (s == nullptr) return;
  appendAnsiN(s, static_cast<int>(std::strlen(s)));
}

void XString::appendAnsiN(const char *s, int n) {
  if (s == nullptr || n <= 0) return;
  if ((m_ansiValid && m_ansiStatus == 1) || validAnsi()) {
    // The whole text is exactly ANSI: appending ANSI bytes keeps it so.
    ensureAnsi();
    m_sbAnsi.appendN(s, n);
    onlyAnsi();
    m_ansiStatus = 1;
    return;
  }
  // The text holds characters the ANSI code page cannot: keep them and append in UTF-8.
  DataBuffer tmp;
  convertText(Psdk::getAnsiCodePage(), kUtf8, reinterpret_cast<const unsigned char *>(s),
              static_cast<unsigned int>(n), tmp);
  ensureUtf8();
  m_sbUtf8.append(tmp);
  onlyUtf8();
}

void XString::appendUnicode(const unsigned short *s) {
  if (s == nullptr) return;
  appendUnicodeN(s, static_cast<int>(unitCount(s)));
}

void XString::appendUnicodeN(const unsigned short *s, int n) {
  if (s == nullptr || n <= 0) return;
  ensureUnicode();
  if (m_dbUnicode.getSize() >= 2) m_dbUnicode.shorten(2);
  m_dbUnicode.append(s, static_cast<unsigned int>(n) * 2u);
  appendTerminator(m_dbUnicode);
  onlyUnicode();
}

void XString::toUpperCase() {
  ensureUnicode();
  unsigned char *p = m_dbUnicode.getData2();
  const unsigned int units = unicodeUnits();
  for (unsigned int i = 0; i < units; ++i) {
    const unsigned short u =
        CaseMapping::lowerToUpper(static_cast<unsigned short>(p[2 * i] | p[2 * i + 1] << 8));
    p[2 * i] = static_cast<unsigned char>(u);
    p[2 * i + 1] = static_cast<unsigned char>(u >> 8);
  }
  onlyUnicode();
}

void XString::toLowerCase() {
  ensureUnicode();
  unsigned char *p = m_dbUnicode.getData2();
  const unsigned int units = unicodeUnits();
  for (unsigned int i = 0; i < units; ++i) {
    const unsigned short u =
        CaseMapping::upperToLower(static_cast<unsigned short>(p[2 * i] | p[2 * i + 1] << 8));
    p[2 * i] = static_cast<unsigned char>(u);
    p[2 * i + 1] = static_cast<unsigned char>(u >> 8);
  }
  onlyUnicode();
}

void XString::shortenNumChars(int n) {
  if (n <= 0) return;
  ensureUnicode();
  const unsigned int units = unicodeUnits();
  if (static_cast<unsigned int>(n) >= units) {
    clear();
    return;
  }
  m_dbUnicode.shorten(static_cast<unsigned int>(n) * 2u + 2u);
  appendTerminator(m_dbUnicode);
  onlyUnicode();
}

void XString::chopAtFirstChar(char c) {
  if (c == 0) return;
  const unsigned short u = ansiUnit(c);
  if (u == 0) return;
  ensureUnicode();
  const unsigned char *p = m_dbUnicode.getData2();
  const unsigned int units = unicodeUnits();
  for (unsigned int i = 0; i < units; ++i) {
    if ((p[2 * i] | p[2 * i + 1] << 8) == u) {
      m_dbUnicode.shorten((units - i) * 2u + 2u);
      appendTerminator(m_dbUnicode);
      onlyUnicode();
      return;
    }
  }
}

void XString::replaceChar(char from, char to) {
  if (from == 0 || to == 0) return;
  const unsigned short uf = ansiUnit(from), ut = ansiUnit(to);
  if (uf == 0 || ut == 0) return;
  ensureUnicode();
  unsigned char *p = m_dbUnicode.getData2();
  const unsigned int units = unicodeUnits();
  bool changed = false;
  for (unsigned int i = 0; i < units; ++i) {
    if ((p[2 * i] | p[2 * i + 1] << 8) == uf) {
      p[2 * i] = static_cast<unsigned char>(ut);
      p[2 * i + 1] = static_cast<unsigned char>(ut >> 8);
      changed = true;
    }
  }
  if (changed) onlyUnicode();
}

void XString::appendX(const XString &other) {
  if (other.m_utf8Valid) {
    const StringBuffer copy(other.m_sbUtf8);
    appendUtf8N(copy.getString(), copy.getSize());
  } else if (other.m_unicodeValid) {
    const unsigned int units = other.unicodeUnits();
    if (units == 0) return;
    DataBuffer copy;
    copy.append(other.m_dbUnicode.getData2(), units * 2);
    appendUnicodeN(reinterpret_cast<const unsigned short *>(copy.getData2()),
                   static_cast<int>(units));
  } else if (other.m_ansiValid) {
    const StringBuffer copy(other.m_sbAnsi);
    appendAnsiN(copy.getString(), copy.getSize());
  }
}

void XString::appendFromEncoding(const char *text, const char *charset) {
  if (text == nullptr) return;
  StringBuffer name(charset ? charset : "");
  name.trim2();
  if (name.getSize() == 0 || name.equalsIgnoreCase("utf-8")) {
    appendUtf8(text);
    return;
  }
  if (name.equalsIgnoreCase("ansi")) {
    appendAnsi(text);
    return;
  }
  DataBuffer tmp;
  EncodingConvert ec;
  ec.ChConvert2(name.getString(), kUtf8, reinterpret_cast<const unsigned char *>(text),
                static_cast<unsigned int>(std::strlen(text)), tmp);
  if (tmp.getSize() == 0) return;
  tmp.appendChar(0);
  appendUtf8(reinterpret_cast<const char *>(tmp.getData2()));
}

void XString::canonicalizeHexString() {
  if (getNumChars() % 2 == 1) prependUtf8("0");
}

void XString::discardLossyAnsi() {
  if (m_ansiStatus == 2 && (m_utf8Valid || m_unicodeValid)) {
    m_sbAnsi.clear();
    m_ansiValid = false;
  }
}

bool XString::equalsUtf8(const char *s) {
  ensureUtf8();
  if (s == nullptr) return m_sbUtf8.getSize() == 0;
  return m_sbUtf8.equals(skipBom(s));
}

bool XString::equalsAnsi(const char *s) {
  ensureAnsi();
  const bool r = m_sbAnsi.equals(s);
  discardLossyAnsi();
  return r;
}

bool XString::equalsIgnoreCaseUtf8(const char *s) {
  XString a;
  a.copyFromX(*this);
  a.toLowerCase();
  XString b;
  b.setFromUtf8(s ? skipBom(s) : "");
  b.toLowerCase();
  return a.getUtf8Sb().equals(b.getUtf8Sb());
}

bool XString::beginsWithUtf8(const char *s) {
  if (s == nullptr) return false;
  ensureUtf8();
  return m_sbUtf8.beginsWith(skipBom(s));
}

bool XString::endsWithUtf8(const char *s) {
  if (s == nullptr) return false;
  ensureUtf8();
  return m_sbUtf8.endsWith(skipBom(s));
}

bool XString::tailEqualsUtf8(const char *s) {
  if (s == nullptr) return true;
  ensureUtf8();
  return m_sbUtf8.endsWith(s);
}

bool XString::containsSubstringUtf8(const char *s) {
  if (s == nullptr) return false;
  ensureUtf8();
  return m_sbUtf8.containsSubstring(skipBom(s));
}

bool XString::matchesUtf8(const char *pattern, bool caseSensitive) {
  if (pattern == nullptr) return false;
  ensureUtf8();
  return m_sbUtf8.matches(skipBom(pattern), caseSensitive);
}

bool XString::containsSubstringAnsi(const char *s) {
  ensureAnsi();
  const bool r = m_sbAnsi.containsSubstring(s);
  discardLossyAnsi();
  return r;
}

bool XString::containsSubstringNoCaseAnsi(const char *s) {
  ensureAnsi();
  const bool r = m_sbAnsi.containsSubstringNoCase(s);
  discardLossyAnsi();
  return r;
}

bool XString::containsSubstringNoCaseUtf8(const char *s) {
  s = s ? skipBom(s) : "";
  DataBuffer tmp;
  convertText(kUtf8, Psdk::getAnsiCodePage(), reinterpret_cast<const unsigned char *>(s),
              static_cast<unsigned int>(std::strlen(s)), tmp);
  tmp.appendChar(0);
  return containsSubstringNoCaseAnsi(reinterpret_cast<const char *>(tmp.getData2()));
}
