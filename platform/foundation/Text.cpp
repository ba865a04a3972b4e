#include "platform/foundation/Text.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <mutex>
#include <utility>

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

namespace platform {

// ---- UTF-8 and UTF-16 by hand: strict, so that bad input is refused rather than repaired.

bool nextCodePoint(std::string_view s, size_t &i, char32_t &cp) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = b(i);
  if (c < 0x80) {
    cp = c;
    i += 1;
    return true;
  }
  size_t n;
  char32_t min;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    cp = c & 0x1F;
    min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    cp = c & 0x0F;
    min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    cp = c & 0x07;
    min = 0x10000;
  } else {
    return false;
  }
  if (i + n > s.size()) return false;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  i += n;
  return true;
}

void appendUTF8(std::string &out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

namespace {

bool toCodePoints(std::string_view s, std::u32string &out) {
  out.clear();
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    char32_t cp;
    if (!nextCodePoint(s, i, cp)) return false;
    out.push_back(cp);
  }
  return true;
}

// UTF-16 code units to UTF-8; false for unpaired surrogates.
bool unitsToUTF8(const std::u16string &units, std::string &out) {
  out.clear();
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      u = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return false;
    }
    appendUTF8(out, u);
  }
  return true;
}

std::u16string toUnits(const std::u32string &cps) {
  std::u16string out;
  out.reserve(cps.size());
  for (char32_t cp : cps) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

int hexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char kHex[] = "0123456789abcdef";
const char kHexUpper[] = "0123456789ABCDEF";

// ---- The phone's non-lossy ASCII: 7-bit text in which other characters stand as \uXXXX
// (UTF-16 units, so characters beyond U+FFFF take two escapes). Only a backslash that would
// itself read as an escape is escaped (\u005c), so plain ASCII text, backslashes included, keeps
// its bytes both ways.

bool isEscapeAt(const uint8_t *p, size_t size, size_t i) {
  if (i + 6 > size || p[i] != '\\' || p[i + 1] != 'u') return false;
  for (size_t k = 2; k < 6; ++k)
    if (hexValue(p[i + k]) < 0) return false;
  return true;
}

// The UTF-16 units of non-lossy ASCII ("\\uXXXX" escapes and plain ASCII), and where each began
// when `starts` is given; false for a byte outside ASCII.
bool nonLossyUnits(const uint8_t *p, size_t size, std::u16string &units,
                   std::vector<uint32_t> *starts) {
  for (size_t i = 0; i < size;) {
    if (p[i] >= 0x80) return false;
    if (starts) starts->push_back(static_cast<uint32_t>(i));
    if (isEscapeAt(p, size, i)) {
      char16_t u = 0;
      for (size_t k = 2; k < 6; ++k)
        u = static_cast<char16_t>((u << 4) | hexValue(p[i + k]));
      units.push_back(u);
      i += 6;
    } else {
      units.push_back(p[i]);
      i += 1;
    }
  }
  return true;
}

std::optional<std::string> decodeNonLossy(const uint8_t *p, size_t size) {
  std::u16string units;
  units.reserve(size);
  if (!nonLossyUnits(p, size, units, nullptr)) return std::nullopt;
  std::string out;
  if (!unitsToUTF8(units, out)) return std::nullopt;
  return out;
}

Bytes encodeNonLossy(const std::u32string &cps) {
  Bytes out;
  auto escape = [&](char16_t u) {
    out.push_back('\\');
    out.push_back('u');
    for (int shift = 12; shift >= 0; shift -= 4)
      out.push_back(static_cast<uint8_t>(kHex[(u >> shift) & 0xF]));
  };
  for (size_t i = 0; i < cps.size(); ++i) {
    char32_t cp = cps[i];
    if (cp == '\\') {
      bool looksLikeEscape = i + 5 < cps.size() && cps[i + 1] == 'u';
      if (looksLikeEscape) {
        for (size_t k = 2; k < 6; ++k)
          if (cps[i + k] >= 0x80 || hexValue(static_cast<uint8_t>(cps[i + k])) < 0)
            looksLikeEscape = false;
      }
      if (looksLikeEscape)
        escape(u'\\');
      else
        out.push_back('\\');
    } else if (cp < 0x80) {
      out.push_back(static_cast<uint8_t>(cp));
    } else if (cp < 0x10000) {
      escape(static_cast<char16_t>(cp));
    } else {
      char32_t v = cp - 0x10000;
      escape(static_cast<char16_t>(0xD800 + (v >> 10)));
      escape(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    }
  }
  return out;
}

// ---- UTF-16

std::optional<std::string> decodeUTF16(const uint8_t *p, size_t size, bool bigEndian,
                                       bool honourMark) {
  if (size % 2) return std::nullopt;
  size_t start = 0;
  if (honourMark && size >= 2) {
    if (p[0] == 0xFF && p[1] == 0xFE) {
      bigEndian = false;
      start = 2;
    } else if (p[0] == 0xFE && p[1] == 0xFF) {
      bigEndian = true;
      start = 2;
    }
  }
  std::u16string units;
  units.reserve(size / 2);
  for (size_t i = start; i + 1 < size; i += 2)
    units.push_back(bigEndian ? static_cast<char16_t>((p[i] << 8) | p[i + 1])
                              : static_cast<char16_t>((p[i + 1] << 8) | p[i]));
  std::string out;
  if (!unitsToUTF8(units, out)) return std::nullopt;
  return out;
}

// With `markWhenNeeded` (the encoding whose reader honours a mark), text that starts with
// U+FEFF or U+FFFE gets a little-endian mark first: without one the reader would take its first
// character for a mark, drop it and perhaps swap the byte order of the rest.
Bytes encodeUTF16(const std::u32string &cps, bool bigEndian, bool markWhenNeeded = false) {
  std::u16string units = toUnits(cps);
  Bytes out;
  out.reserve(units.size() * 2 + 2);
  if (markWhenNeeded && !units.empty() && (units[0] == 0xFEFF || units[0] == 0xFFFE))
    units.insert(units.begin(), char16_t(0xFEFF));
  for (char16_t u : units) {
    uint8_t hi = static_cast<uint8_t>(u >> 8), lo = static_cast<uint8_t>(u & 0xFF);
    if (bigEndian) {
      out.push_back(hi);
      out.push_back(lo);
    } else {
      out.push_back(lo);
      out.push_back(hi);
    }
  }
  return out;
}

// ---- Everything else goes through ICU's converters, with every substitution turned off.

const char *icuName(Encoding e) {
  switch (e) {
  case Encoding::JapaneseEUC:
    return "EUC-JP";
  case Encoding::ShiftJIS:
    return "Shift_JIS";
  case Encoding::ISOLatin2:
    return "ISO-8859-2";
  case Encoding::WindowsCP1250:
    return "windows-1250";
  case Encoding::WindowsCP1251:
    return "windows-1251";
  case Encoding::WindowsCP1252:
    return "windows-1252";
  case Encoding::WindowsCP1253:
    return "windows-1253";
  case Encoding::WindowsCP1254:
    return "windows-1254";
  case Encoding::WindowsHebrew:
    return "windows-1255";
  case Encoding::WindowsArabic:
    return "windows-1256";
  case Encoding::ISO2022JP:
    return "ISO-2022-JP";
  case Encoding::EUCKR:
    return "EUC-KR";
  case Encoding::KOI8R:
    return "KOI8-R";
  case Encoding::Big5:
    return "Big5";
  case Encoding::GBK:
    return "windows-936";
  case Encoding::GB18030:
    return "GB18030";
  default:
    return nullptr;
  }
}

struct Converter {
  explicit Converter(const char *name) {
    UErrorCode status = U_ZERO_ERROR;
    cnv = ucnv_open(name, &status);
    if (U_FAILURE(status)) {
      cnv = nullptr;
      return;
    }
    status = U_ZERO_ERROR;
    ucnv_setToUCallBack(cnv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setFromUCallBack(cnv, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setFallback(cnv, false);
  }
  ~Converter() {
    if (cnv) ucnv_close(cnv);
  }
  UConverter *cnv = nullptr;
};

std::optional<std::string> decodeICU(const char *name, const uint8_t *p, size_t size) {
  if (size == 0) return std::string();
  if (size > static_cast<size_t>(INT32_MAX / 2)) return std::nullopt;
  Converter c(name);
  if (!c.cnv) return std::nullopt;
  std::u16string units(size * 2 + 16, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = ucnv_toUChars(c.cnv, reinterpret_cast<UChar *>(units.data()),
                            static_cast<int32_t>(units.size()), reinterpret_cast<const char *>(p),
                            static_cast<int32_t>(size), &status);
  if (U_FAILURE(status)) return std::nullopt;
  units.resize(static_cast<size_t>(n));
  std::string out;
  if (!unitsToUTF8(units, out)) return std::nullopt;
  return out;
}

std::optional<Bytes> encodeICU(const char *name, const std::u32string &cps) {
  if (cps.empty()) return Bytes();
  Converter c(name);
  if (!c.cnv) return std::nullopt;
  std::u16string units = toUnits(cps);
  if (units.size() > static_cast<size_t>(INT32_MAX / 8)) return std::nullopt;
  // Stateful encodings add escape sequences; four bytes per unit plus room for them is enough.
  Bytes out(units.size() * 4 + 16);
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = ucnv_fromUChars(
      c.cnv, reinterpret_cast<char *>(out.data()), static_cast<int32_t>(out.size()),
      reinterpret_cast<const UChar *>(units.data()), static_cast<int32_t>(units.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.assign(static_cast<size_t>(n), 0);
    status = U_ZERO_ERROR;
    ucnv_resetFromUnicode(c.cnv);
    n = ucnv_fromUChars(
        c.cnv, reinterpret_cast<char *>(out.data()), static_cast<int32_t>(out.size()),
        reinterpret_cast<const UChar *>(units.data()), static_cast<int32_t>(units.size()), &status);
  }
  if (U_FAILURE(status)) return std::nullopt;
  out.resize(static_cast<size_t>(n));
  // ICU skips default-ignorable characters (U+200B, U+FEFF, U+2060 and the rest of the class)
  // that an encoding has no byte for without calling the stop callback, and reports success: a
  // name would lose them and become another name. Only bytes that read back as the whole text
  // are a success.
  const auto back = decodeICU(name, out.data(), out.size());
  std::string wanted;
  if (!back || !unitsToUTF8(units, wanted) || *back != wanted) return std::nullopt;
  return out;
}

// ---- Case folding with byte positions, for searching.

struct Folded {
  std::u32string cps;       // folded code points (invalid bytes stand as 0x110000 + byte)
  std::vector<size_t> offs; // byte offset of each, plus the end
};

Folded fold(std::string_view s) {
  Folded f;
  f.cps.reserve(s.size());
  f.offs.reserve(s.size() + 1);
  for (size_t i = 0; i < s.size();) {
    size_t start = i;
    char32_t cp;
    if (!nextCodePoint(s, i, cp)) {
      cp = 0x110000 + static_cast<uint8_t>(s[start]);
      i = start + 1;
    } else {
      cp = static_cast<char32_t>(u_foldCase(static_cast<UChar32>(cp), U_FOLD_CASE_DEFAULT));
    }
    f.cps.push_back(cp);
    f.offs.push_back(start);
  }
  f.offs.push_back(s.size());
  return f;
}

std::string convertCase(std::string_view text, bool upper) {
  // ASCII changes case byte by byte, as the full mapping of the root locale does for it: file
  // names and extensions are cased without decoding them.
  if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
    std::string out(text);
    for (char &c : out)
      if (upper ? (c >= 'a' && c <= 'z') : (c >= 'A' && c <= 'Z'))
        c = static_cast<char>(upper ? c - ('a' - 'A') : c + ('a' - 'A'));
    return out;
  }
  std::u32string cps;
  if (!toCodePoints(text, cps)) return std::string(text); // leave text that is not UTF-8 alone
  std::u16string units = toUnits(cps);
  std::u16string out(units.size() * 3 + 8, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  auto fn = upper ? u_strToUpper : u_strToLower;
  int32_t n = fn(reinterpret_cast<UChar *>(out.data()), static_cast<int32_t>(out.size()),
                 reinterpret_cast<const UChar *>(units.data()), static_cast<int32_t>(units.size()),
                 "", &status);
  if (U_FAILURE(status)) return std::string(text);
  out.resize(static_cast<size_t>(n));
  std::string result;
  unitsToUTF8(out, result);
  return result;
}

// ---- Collation: one collator per thread (ICU collators must not be shared between threads).

std::mutex &localeMutex() {
  static std::mutex m;
  return m;
}
std::string &localeOverride() {
  static std::string s;
  return s;
}

struct ThreadCollator {
  ~ThreadCollator() {
    if (coll) ucol_close(coll);
  }
  UCollator *get() {
    std::string wanted;
    {
      std::lock_guard lock(localeMutex());
      wanted = localeOverride();
    }
    if (wanted.empty()) wanted = uloc_getDefault();
    // ICU's POSIX collation (what "C" and "POSIX" become, the usual locale of services and
    // containers) orders by code point: every capital before every small letter, and no letter
    // equal to its other case. Names there sort by the language-neutral rules instead.
    const std::string lower = lowercase(wanted);
    if (lower == "c" || lower.rfind("c.", 0) == 0 || lower.rfind("posix", 0) == 0 ||
        lower.find("_posix") != std::string::npos)
      wanted = "";
    if (coll && wanted == locale) return coll;
    if (coll) ucol_close(coll);
    UErrorCode status = U_ZERO_ERROR;
    coll = ucol_open(wanted.c_str(), &status);
    if (U_FAILURE(status)) {
      status = U_ZERO_ERROR;
      coll = ucol_open("", &status);
      if (U_FAILURE(status)) {
        coll = nullptr;
        return nullptr;
      }
    }
    ucol_setStrength(coll, UCOL_SECONDARY);
    locale = wanted;
    return coll;
  }
  UCollator *coll = nullptr;
  std::string locale;
};

std::string collapseSlashes(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  // A name at a time, not a character at a time: a folder walk joins a path for each of
  // hundreds of thousands of entries.
  for (size_t i = 0; i < path.size();) {
    if (path[i] == '/') {
      if (out.empty() || out.back() != '/') out += '/';
      ++i;
      continue;
    }
    const size_t end = std::min(path.find('/', i), path.size());
    out.append(path, i, end - i);
    i = end;
  }
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// The non-empty names between the separators of a path, in order.
std::vector<std::string_view> pathNames(std::string_view path) {
  std::vector<std::string_view> names;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/')
      ++i;
    const size_t start = i;
    while (i < path.size() && path[i] != '/')
      ++i;
    if (i > start) names.push_back(path.substr(start, i - start));
  }
  return names;
}

} // namespace

// ---- Encodings

std::optional<Encoding> encodingFromNumber(uint32_t number) {
  if ((number & 0x80000000u) && number != static_cast<uint32_t>(Encoding::UTF16BigEndian) &&
      number != static_cast<uint32_t>(Encoding::UTF16LittleEndian))
    number &= 0x7FFFFFFFu;
  switch (static_cast<Encoding>(number)) {
  case Encoding::ASCII:
  case Encoding::JapaneseEUC:
  case Encoding::UTF8:
  case Encoding::ISOLatin1:
  case Encoding::NonLossyASCII:
  case Encoding::ShiftJIS:
  case Encoding::ISOLatin2:
  case Encoding::Unicode:
  case Encoding::WindowsCP1251:
  case Encoding::WindowsCP1252:
  case Encoding::WindowsCP1253:
  case Encoding::WindowsCP1254:
  case Encoding::WindowsCP1250:
  case Encoding::ISO2022JP:
  case Encoding::WindowsHebrew:
  case Encoding::WindowsArabic:
  case Encoding::GBK:
  case Encoding::GB18030:
  case Encoding::EUCKR:
  case Encoding::KOI8R:
  case Encoding::Big5:
  case Encoding::UTF16BigEndian:
  case Encoding::UTF16LittleEndian:
    return static_cast<Encoding>(number);
  }
  return std::nullopt;
}

const char *charsetName(Encoding e) {
  switch (e) {
  case Encoding::ASCII:
  case Encoding::NonLossyASCII:
    return "US-ASCII";
  case Encoding::UTF8:
    return "UTF-8";
  case Encoding::ISOLatin1:
    return "ISO-8859-1";
  case Encoding::Unicode:
    return "UTF-16";
  case Encoding::UTF16BigEndian:
    return "UTF-16BE";
  case Encoding::UTF16LittleEndian:
    return "UTF-16LE";
  case Encoding::GBK:
    return "GBK";
  default: {
    const char *n = icuName(e);
    return n ? n : "";
  }
  }
}

bool isValidUTF8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    if (!nextCodePoint(text, i, cp)) return false;
  }
  return true;
}

std::optional<std::string> decodeText(const uint8_t *p, size_t size, Encoding encoding) {
  switch (encoding) {
  case Encoding::UTF8: {
    std::string_view s(reinterpret_cast<const char *>(p), size);
    if (!isValidUTF8(s)) return std::nullopt;
    return std::string(s);
  }
  case Encoding::ASCII:
    if (std::any_of(p, p + size, [](uint8_t b) { return b >= 0x80; })) return std::nullopt;
    return std::string(reinterpret_cast<const char *>(p), size);
  case Encoding::ISOLatin1: {
    std::string out;
    out.reserve(size);
    for (size_t i = 0; i < size; ++i)
      appendUTF8(out, p[i]);
    return out;
  }
  case Encoding::NonLossyASCII:
    return decodeNonLossy(p, size);
  case Encoding::Unicode:
    return decodeUTF16(p, size, false, true);
  case Encoding::UTF16BigEndian:
    return decodeUTF16(p, size, true, false);
  case Encoding::UTF16LittleEndian:
    return decodeUTF16(p, size, false, false);
  default: {
    const char *name = icuName(encoding);
    if (!name) return std::nullopt;
    return decodeICU(name, p, size);
  }
  }
}

namespace {

// UTF-16 units read from the offsets in `unitStarts` (plus the end) to UTF-8 with the offset of
// each text byte; false for unpaired surrogates.
bool unitsToUTF8WithOffsets(const std::u16string &units, const std::vector<uint32_t> &unitStarts,
                            std::string &out, std::vector<uint32_t> &starts) {
  out.clear();
  starts.clear();
  for (size_t i = 0; i < units.size(); ++i) {
    const uint32_t from = unitStarts[i];
    char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      u = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return false;
    }
    const size_t before = out.size();
    appendUTF8(out, u);
    starts.insert(starts.end(), out.size() - before, from);
  }
  return true;
}

bool unitsWithOffsetsICU(const char *name, const uint8_t *p, size_t size, std::u16string &units,
                         std::vector<uint32_t> &unitStarts) {
  if (size == 0) return true;
  if (size > static_cast<size_t>(INT32_MAX / 2)) return false;
  Converter c(name);
  if (!c.cnv) return false;
  units.assign(size * 2 + 16, u'\0');
  std::vector<int32_t> offsets(units.size(), -1);
  UChar *target = reinterpret_cast<UChar *>(units.data());
  const char *source = reinterpret_cast<const char *>(p);
  UErrorCode status = U_ZERO_ERROR;
  ucnv_toUnicode(c.cnv, &target, reinterpret_cast<UChar *>(units.data()) + units.size(), &source,
                 source + size, offsets.data(), true, &status);
  if (U_FAILURE(status)) return false;
  const size_t n = static_cast<size_t>(target - reinterpret_cast<UChar *>(units.data()));
  units.resize(n);
  unitStarts.resize(n);
  for (size_t i = 0; i < n; ++i)
    unitStarts[i] =
        offsets[i] < 0 ? (i ? unitStarts[i - 1] : 0) : static_cast<uint32_t>(offsets[i]);
  return true;
}

} // namespace

std::optional<std::string> decodeTextWithOffsets(const uint8_t *p, size_t size, Encoding encoding,
                                                 std::vector<uint32_t> &starts) {
  if (size >= UINT32_MAX) return std::nullopt;
  std::u16string units;
  std::vector<uint32_t> unitStarts;
  switch (encoding) {
  case Encoding::UTF8: {
    std::string_view s(reinterpret_cast<const char *>(p), size);
    if (!isValidUTF8(s)) return std::nullopt;
    starts.clear();
    starts.reserve(size + 1);
    uint32_t start = 0;
    for (size_t i = 0; i < size; ++i) {
      if ((p[i] & 0xC0) != 0x80) start = static_cast<uint32_t>(i);
      starts.push_back(start);
    }
    starts.push_back(static_cast<uint32_t>(size));
    return std::string(s);
  }
  case Encoding::ASCII:
  case Encoding::ISOLatin1:
    for (size_t i = 0; i < size; ++i) {
      if (encoding == Encoding::ASCII && p[i] >= 0x80) return std::nullopt;
      units.push_back(p[i]);
      unitStarts.push_back(static_cast<uint32_t>(i));
    }
    break;
  case Encoding::NonLossyASCII:
    if (!nonLossyUnits(p, size, units, &unitStarts)) return std::nullopt;
    break;
  case Encoding::Unicode:
  case Encoding::UTF16BigEndian:
  case Encoding::UTF16LittleEndian: {
    if (size % 2) return std::nullopt;
    bool bigEndian = encoding == Encoding::UTF16BigEndian;
    size_t i = 0;
    if (encoding == Encoding::Unicode && size >= 2) {
      if (p[0] == 0xFF && p[1] == 0xFE) {
        i = 2;
      } else if (p[0] == 0xFE && p[1] == 0xFF) {
        bigEndian = true;
        i = 2;
      }
    }
    for (; i + 1 < size; i += 2) {
      units.push_back(bigEndian ? static_cast<char16_t>((p[i] << 8) | p[i + 1])
                                : static_cast<char16_t>((p[i + 1] << 8) | p[i]));
      unitStarts.push_back(static_cast<uint32_t>(i));
    }
    break;
  }
  default: {
    const char *name = icuName(encoding);
    if (!name || !unitsWithOffsetsICU(name, p, size, units, unitStarts)) return std::nullopt;
    break;
  }
  }
  std::string out;
  if (!unitsToUTF8WithOffsets(units, unitStarts, out, starts)) return std::nullopt;
  starts.push_back(static_cast<uint32_t>(size));
  return out;
}

std::optional<Bytes> encodeText(std::string_view text, Encoding encoding) {
  std::u32string cps;
  if (!toCodePoints(text, cps)) return std::nullopt;
  switch (encoding) {
  case Encoding::UTF8:
    return Bytes(text.begin(), text.end());
  case Encoding::ASCII:
  case Encoding::ISOLatin1: {
    char32_t limit = encoding == Encoding::ASCII ? 0x80 : 0x100;
    Bytes out;
    out.reserve(cps.size());
    for (char32_t cp : cps) {
      if (cp >= limit) return std::nullopt;
      out.push_back(static_cast<uint8_t>(cp));
    }
    return out;
  }
  case Encoding::NonLossyASCII:
    return encodeNonLossy(cps);
  case Encoding::Unicode:
    return encodeUTF16(cps, false, true);
  case Encoding::UTF16LittleEndian:
    return encodeUTF16(cps, false);
  case Encoding::UTF16BigEndian:
    return encodeUTF16(cps, true);
  default: {
    const char *name = icuName(encoding);
    if (!name) return std::nullopt;
    return encodeICU(name, cps);
  }
  }
}

bool canBeConverted(std::string_view text, Encoding encoding) {
  return encodeText(text, encoding).has_value();
}

// ---- Percent escapes

std::string addPercentEscapes(std::string_view text) {
  static const std::string_view kKeep = "!#$&'()*+,-./:;=?@_~";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    uint8_t c = static_cast<uint8_t>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        kKeep.find(ch) != std::string_view::npos) {
      out += ch;
    } else {
      out += '%';
      out += kHexUpper[c >> 4];
      out += kHexUpper[c & 0xF];
    }
  }
  return out;
}

std::optional<std::string> addPercentEscapes(std::string_view text, Encoding encoding) {
  auto bytes = encodeText(text, encoding);
  if (!bytes) return std::nullopt;
  return addPercentEscapes(
      std::string_view(reinterpret_cast<const char *>(bytes->data()), bytes->size()));
}

std::optional<std::string> replacePercentEscapes(std::string_view text, Encoding encoding) {
  Bytes bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    if (c != '%') {
      bytes.push_back(c);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int hi = hexValue(static_cast<uint8_t>(text[i + 1]));
    int lo = hexValue(static_cast<uint8_t>(text[i + 2]));
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    i += 2;
  }
  return decodeText(bytes, encoding);
}

// ---- Numbers

long long longLongValue(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                             text[i] == '\r' || text[i] == '\v' || text[i] == '\f'))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulated as a negative number so that LLONG_MIN is reachable.
  long long value = 0;
  bool overflow = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    if (!overflow) {
      if (value < (LLONG_MIN + digit) / 10)
        overflow = true;
      else
        value = value * 10 - digit;
    }
  }
  if (overflow) return negative ? LLONG_MIN : LLONG_MAX;
  if (negative) return value;
  return value == LLONG_MIN ? LLONG_MAX : -value;
}

int intValue(std::string_view text) {
  long long v = longLongValue(text);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// ---- Searching and case

namespace {
// Text of ASCII alone folds byte by byte (A-Z to a-z), as the full folding does for it: the
// common case (file names, listings, settings) is searched without decoding or allocating.
// Only when both sides are ASCII: a non-ASCII letter may fold to an ASCII one (KELVIN SIGN).
bool isASCII(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}
char foldASCII(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}
bool equalFoldedASCII(std::string_view a, std::string_view b) {
  for (size_t i = 0; i < a.size(); ++i)
    if (foldASCII(a[i]) != foldASCII(b[i])) return false;
  return true;
}
} // namespace

TextRange rangeOfCaseInsensitive(std::string_view text, std::string_view target, bool backwards) {
  TextRange r;
  if (target.empty() || text.empty()) return r;
  if (isASCII(text) && isASCII(target)) {
    if (target.size() > text.size()) return r;
    const size_t last = text.size() - target.size();
    for (size_t k = 0; k <= last; ++k) {
      const size_t i = backwards ? last - k : k;
      if (equalFoldedASCII(text.substr(i, target.size()), target)) {
        r.location = i;
        r.length = target.size();
        return r;
      }
    }
    return r;
  }
  Folded t = fold(text), n = fold(target);
  if (n.cps.size() > t.cps.size()) return r;
  size_t last = t.cps.size() - n.cps.size();
  auto matchAt = [&](size_t i) {
    return std::equal(n.cps.begin(), n.cps.end(), t.cps.begin() + static_cast<ptrdiff_t>(i));
  };
  for (size_t k = 0; k <= last; ++k) {
    size_t i = backwards ? last - k : k;
    if (matchAt(i)) {
      r.location = t.offs[i];
      r.length = t.offs[i + n.cps.size()] - t.offs[i];
      return r;
    }
  }
  return r;
}

bool containsCaseInsensitive(std::string_view text, std::string_view target) {
  return rangeOfCaseInsensitive(text, target).found();
}

bool hasPrefixCaseInsensitive(std::string_view text, std::string_view prefix) {
  if (prefix.empty()) return false;
  if (isASCII(text) && isASCII(prefix))
    return prefix.size() <= text.size() && equalFoldedASCII(text.substr(0, prefix.size()), prefix);
  Folded t = fold(text), p = fold(prefix);
  return p.cps.size() <= t.cps.size() && std::equal(p.cps.begin(), p.cps.end(), t.cps.begin());
}

bool hasSuffixCaseInsensitive(std::string_view text, std::string_view suffix) {
  if (suffix.empty()) return false;
  if (isASCII(text) && isASCII(suffix))
    return suffix.size() <= text.size() &&
           equalFoldedASCII(text.substr(text.size() - suffix.size()), suffix);
  Folded t = fold(text), s = fold(suffix);
  return s.cps.size() <= t.cps.size() && std::equal(s.cps.rbegin(), s.cps.rend(), t.cps.rbegin());
}

std::string lowercase(std::string_view text) {
  return convertCase(text, false);
}
std::string uppercase(std::string_view text) {
  return convertCase(text, true);
}

// ---- Comparison

int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b) {
  thread_local ThreadCollator collator;
  UCollator *coll = collator.get();
  if (!coll) {
    int c = lowercase(a).compare(lowercase(b));
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  }
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult r = ucol_strcollUTF8(coll, a.data(), static_cast<int32_t>(a.size()), b.data(),
                                        static_cast<int32_t>(b.size()), &status);
  if (U_FAILURE(status)) return 0;
  return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
}

void setCollationLocale(const std::string &locale) {
  std::lock_guard lock(localeMutex());
  localeOverride() = locale;
}

int numericCompare(std::string_view a, std::string_view b) {
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      size_t ie = i, je = j;
      while (ie < a.size() && isDigit(a[ie]))
        ++ie;
      while (je < b.size() && isDigit(b[je]))
        ++je;
      size_t is = i, js = j;
      while (is + 1 < ie && a[is] == '0')
        ++is;
      while (js + 1 < je && b[js] == '0')
        ++js;
      size_t la = ie - is, lb = je - js;
      if (la != lb) return la < lb ? -1 : 1;
      int c = a.substr(is, la).compare(b.substr(js, lb));
      if (c != 0) return c < 0 ? -1 : 1;
      i = ie;
      j = je;
      continue;
    }
    // One character each, compared by code point (lenient about bytes that are not UTF-8).
    char32_t ca, cb;
    size_t ni = i, nj = j;
    if (!nextCodePoint(a, ni, ca)) {
      ca = static_cast<uint8_t>(a[i]);
      ni = i + 1;
    }
    if (!nextCodePoint(b, nj, cb)) {
      cb = static_cast<uint8_t>(b[j]);
      nj = j + 1;
    }
    if (ca != cb) return ca < cb ? -1 : 1;
    i = ni;
    j = nj;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

// ---- Paths

std::string appendPathComponent(std::string_view base, std::string_view component) {
  if (base.empty()) return collapseSlashes(component);
  if (component.empty()) return collapseSlashes(base);
  std::string joined(base);
  joined += '/';
  joined.append(component);
  return collapseSlashes(joined);
}

std::string lastPathComponent(std::string_view path) {
  std::string p = collapseSlashes(path);
  if (p == "/" || p.empty()) return p;
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::vector<std::string> pathComponents(std::string_view path) {
  std::vector<std::string> out;
  if (path.empty()) return out;
  if (path[0] == '/') out.emplace_back("/");
  for (std::string_view name : pathNames(path))
    out.emplace_back(name);
  if (path.size() > 1 && path.back() == '/' && out.size() > 1) out.emplace_back("/");
  return out;
}

std::string deleteLastPathComponent(std::string_view path) {
  std::string p = collapseSlashes(path);
  if (p == "/" || p.empty()) return p;
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

std::string standardizePath(std::string_view path) {
  if (path.empty()) return "";
  bool absolute = path[0] == '/';
  std::vector<std::string> parts;
  for (std::string_view part : pathNames(path)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..")
        parts.pop_back();
      else if (!absolute)
        parts.emplace_back("..");
      continue;
    }
    parts.emplace_back(part);
  }
  std::string out = absolute ? "/" : "";
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k > 0) out += '/';
    out += parts[k];
  }
  if (out.empty()) return ".";
  return out;
}

std::string lineEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '%')
      out += "%25";
    else if (c == '\n')
      out += "%0A";
    else if (c == '\r')
      out += "%0D";
    else
      out += c;
  }
  return out;
}

std::string lineUnescaped(std::string_view line) {
  static constexpr std::pair<std::string_view, char> kEscapes[] = {
      {"%25", '%'}, {"%0A", '\n'}, {"%0D", '\r'}};
  std::string out;
  out.reserve(line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    const auto *e = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                 [&](const auto &k) { return line.substr(i, 3) == k.first; });
    if (e == std::end(kEscapes)) {
      out += line[i];
    } else {
      out += e->second;
      i += 2;
    }
  }
  return out;
}

std::string htmlEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const char *ref = c == '&'    ? "&amp;"
                      : c == '<'  ? "&lt;"
                      : c == '>'  ? "&gt;"
                      : c == '"'  ? "&quot;"
                      : c == '\'' ? "&#39;"
                                  : nullptr;
    if (ref)
      out += ref;
    else
      out += c;
  }
  return out;
}

} // namespace platform
