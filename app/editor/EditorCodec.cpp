#include "app/editor/EditorCodec.h"

#include "platform/foundation/Text.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace editor {

namespace {

constexpr size_t kDeclarationWindow = 2048;

std::optional<platform::Encoding> platformEncoding(uint32_t identifier) {
  return platform::encodingFromNumber(identifier);
}

int hexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The UTF-16 unit of a "\uXXXX" escape at i, or -1.
long escapeAt(const uint8_t *p, size_t size, size_t i) {
  if (i + 6 > size || p[i] != '\\' || p[i + 1] != 'u') return -1;
  long v = 0;
  for (size_t k = 2; k < 6; ++k) {
    int h = hexValue(p[i + k]);
    if (h < 0) return -1;
    v = (v << 4) | h;
  }
  return v;
}

std::optional<std::string> decodeNonLossy(const uint8_t *p, size_t size) {
  std::string out;
  out.reserve(size);
  for (size_t i = 0; i < size;) {
    if (p[i] >= 0x80) return std::nullopt;
    long unit = escapeAt(p, size, i);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      long low = escapeAt(p, size, i + 6);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        platform::appendUTF8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) +
                                      (char32_t(low) - 0xDC00));
        i += 12;
        continue;
      }
    } else if (unit >= 0x80 && !(unit >= 0xDC00 && unit <= 0xDFFF)) {
      platform::appendUTF8(out, char32_t(unit));
      i += 6;
      continue;
    }
    out += static_cast<char>(p[i]);
    ++i;
  }
  return out;
}

std::optional<Bytes> encodeNonLossy(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  Bytes out;
  out.reserve(text.size());
  auto escape = [&](char32_t unit) {
    out.push_back('\\');
    out.push_back('u');
    for (int shift = 12; shift >= 0; shift -= 4)
      out.push_back(static_cast<uint8_t>(kHex[(unit >> shift) & 0xF]));
  };
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    if (!platform::nextCodePoint(text, i, cp)) return std::nullopt;
    if (cp < 0x80) {
      out.push_back(static_cast<uint8_t>(cp));
    } else if (cp < 0x10000) {
      escape(cp);
    } else {
      escape(0xD800 + ((cp - 0x10000) >> 10));
      escape(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
  }
  return out;
}

bool containsNoCase(const std::string &haystack, std::string_view needle) {
  auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                        [](char a, char b) {
                          return std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b));
                        });
  return it != haystack.end();
}

// The length of the prefix without a multi-byte sequence that the window cut short.
size_t withoutCutSequence(const uint8_t *p, size_t n) {
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    uint8_t b = p[n - back];
    if ((b & 0xC0) == 0x80) continue; // a continuation: look further back
    if (b >= 0xC0) {
      size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
      if (need > back) return n - back;
    }
    break;
  }
  return n;
}

// A byte-order mark at the start: the encoding it stands for and its length.
struct Mark {
  uint32_t encoding = 0;
  size_t length = 0;
  bool bigEndian = false;
};

Mark markOf(const Bytes &b) {
  if (b.size() >= 3 && b[0] == 0xFF && b[1] == 0xFE) return {kEncodingUTF16, 2, false};
  if (b.size() >= 3 && b[0] == 0xFE && b[1] == 0xFF) return {kEncodingUTF16, 2, true};
  if (b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) return {kEncodingUTF8, 3};
  return {};
}

} // namespace

const std::vector<EncodingRow> &encodingRows() {
  static const std::vector<EncodingRow> rows = {
      {"ASCII", 7},
      {"Unicode (UTF-8)", 4},
      {"Unicode (UTF-16)", 10},
      {"Latin 1 (ISO-8859-1)", 5},
      {"Latin 2 (ISO-8859-2)", 9},
      {"Japanese (Shift JIS)", 8},
      {"Cyrillic (Win-1251)", 11},
      {"Cyrillic (KOI8-R)", 2562},
      {"WinLatin 1 (Win-1252)", 12},
      {"Greek (Win-1253)", 13},
      {"Turkish (Win-1254)", 14},
      {"Hebrew (Win-1255)", 1285},
      {"Arabic (Win-1256)", 1286},
      {"Korean (EUC-KR)", 2368},
      {"Traditional Chinese (Big5)", 2563},
  };
  return rows;
}

int rowForEncoding(uint32_t identifier) {
  const auto &rows = encodingRows();
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i].identifier == identifier) return static_cast<int>(i);
  return 0;
}

std::string encodingTitle(uint32_t identifier) {
  for (auto &row : encodingRows())
    if (row.identifier == identifier) return row.title;
  if (auto e = platformEncoding(identifier)) return platform::charsetName(*e);
  return std::to_string(identifier);
}

bool isLowerLevelEncoding(uint32_t identifier) {
  return identifier == 1285 || identifier == 1286 || identifier == 2368 || identifier == 2562 ||
         identifier == 2563;
}

std::optional<std::string> decodeWith(const uint8_t *data, size_t size, uint32_t identifier) {
  if (identifier == kEncodingNonLossyASCII) return decodeNonLossy(data, size);
  auto e = platformEncoding(identifier);
  if (!e) return std::nullopt;
  return platform::decodeText(data, size, *e);
}

std::optional<Bytes> encodeWith(std::string_view text, uint32_t identifier) {
  if (identifier == kEncodingNonLossyASCII) return encodeNonLossy(text);
  auto e = platformEncoding(identifier);
  if (!e) return std::nullopt;
  return platform::encodeText(text, *e);
}

uint32_t declaredEncoding(const uint8_t *data, size_t size) {
  const size_t n = withoutCutSequence(data, std::min(size, kDeclarationWindow));
  std::string_view prefix(reinterpret_cast<const char *>(data), n);
  if (!platform::isValidUTF8(prefix)) return 0;
  std::string text;
  text.reserve(prefix.size());
  for (char c : prefix)
    if (c != '"' && c != ' ' && c != '\'' && c != '\t') text += c;
  static const std::array<std::pair<const char *, uint32_t>, 10> kNames = {{
      {"utf-8", kEncodingUTF8},
      {"Shift_JIS", kEncodingShiftJIS},
      {"windows-1251", kEncodingWin1251},
      {"windows-1252", kEncodingWin1252},
      {"windows-1253", kEncodingWin1253},
      {"windows-1254", kEncodingWin1254},
      {"ISO-2022-JP", kEncodingISO2022JP},
      {"EUC-JP", kEncodingEUCJP},
      {"ISO-8859-1", kEncodingLatin1},
      {"ISO-8859-2", kEncodingLatin2},
  }};
  for (const char *form : {"charset=", "encoding="})
    for (auto &[name, id] : kNames)
      if (containsNoCase(text, std::string(form) + name)) return id;
  return 0;
}

bool utf8PairsWin(const uint8_t *b, size_t size) {
  size_t good = 0, bad = 0; // sizes, not 16-bit counters: large files must not wrap
  for (size_t i = 0; i + 1 < size; ++i) {
    const bool nextIsContinuation = (b[i + 1] & 0xC0) == 0x80;
    if (nextIsContinuation) {
      if ((b[i] & 0xC0) == 0xC0)
        ++good;
      else if (b[i] < 0x80)
        ++bad;
    } else if ((b[i] & 0xC0) == 0xC0) {
      ++bad;
    }
  }
  return good > bad;
}

bool looksLikeShiftJIS(const uint8_t *b, size_t size) {
  size_t good = 0, bad = 0;
  for (size_t i = 0; i + 1 < size;) {
    const uint8_t lead = b[i];
    if ((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC)) {
      const uint8_t trail = b[i + 1];
      const bool ok = (lead & 1) ? (trail >= 0x40 && trail <= 0x9E && trail != 0x7F)
                                 : (trail >= 0x9F && trail <= 0xFC);
      if (ok)
        ++good;
      else if (trail < 0x80)
        ++bad;
      i += 2;
    } else {
      ++i;
    }
  }
  return static_cast<double>(good) * 0.125 > static_cast<double>(bad);
}

namespace {

// The bytes after a mark that was taken off (`markTaken`) are read in the mark's byte order.
std::optional<std::string> decodePayload(const uint8_t *p, size_t n, const DecodedText &d,
                                         bool markTaken) {
  if (markTaken && d.useEncoding == kEncodingUTF16)
    return platform::decodeText(p, n,
                                d.unicodeBigEndian ? platform::Encoding::UTF16BigEndian
                                                   : platform::Encoding::UTF16LittleEndian);
  return decodeWith(p, n, d.useEncoding);
}

} // namespace

DecodedText decodeFile(const Bytes &bytes, uint32_t defaultEncoding) {
  DecodedText d;
  const uint8_t *p = bytes.data();
  size_t n = bytes.size();
  bool markTaken = false;
  if (defaultEncoding != 0) {
    d.useEncoding = defaultEncoding;
    d.unicodeWithFFFE = defaultEncoding == kEncodingUTF16;
  } else if (n > 0) {
    // A byte-order mark decides: nothing after it may overrule it.
    const Mark mark = markOf(bytes);
    if (mark.encoding) {
      d.useEncoding = mark.encoding;
      d.unicodeWithFFFE = mark.encoding == kEncodingUTF16 && !mark.bigEndian;
      d.unicodeBigEndian = mark.bigEndian;
      d.utf8WithMark = mark.encoding == kEncodingUTF8;
      p += mark.length;
      n -= mark.length;
      markTaken = true;
    } else {
      if (uint32_t declared = declaredEncoding(p, n)) d.useEncoding = declared;
      if (n >= 2 && utf8PairsWin(p, n)) d.useEncoding = kEncodingUTF8;
      if (d.useEncoding == kEncodingNonLossyASCII && looksLikeShiftJIS(p, n))
        d.useEncoding = kEncodingShiftJIS;
    }
  }
  auto text = decodePayload(p, n, d, markTaken);
  if ((!text || text->empty()) && n > 0) {
    // Nothing came of the chosen encoding: the usual suspects, in turn. A mark no longer holds.
    d.unicodeWithFFFE = d.unicodeBigEndian = d.utf8WithMark = false;
    p = bytes.data();
    n = bytes.size();
    text.reset();
    for (uint32_t fallback : {kEncodingUTF8, kEncodingLatin1, kEncodingWin1252}) {
      d.useEncoding = fallback;
      text = decodeWith(p, n, fallback);
      if (text && !text->empty()) break;
      text.reset();
    }
    if (!text) {
      d.useEncoding = kEncodingNonLossyASCII;
      d.loaded = false;
    }
  }
  d.text = text ? std::move(*text) : std::string();
  d.wasCRLF = d.text.find("\r\n") != std::string::npos;
  return d;
}

DecodedText decodeFileAs(const Bytes &bytes, uint32_t identifier) {
  DecodedText d;
  d.useEncoding = identifier;
  const uint8_t *p = bytes.data();
  size_t n = bytes.size();
  const Mark mark = markOf(bytes);
  bool markTaken = false;
  if (identifier == kEncodingUTF16) {
    d.unicodeBigEndian = mark.encoding == kEncodingUTF16 && mark.bigEndian;
    d.unicodeWithFFFE = !d.unicodeBigEndian;
    markTaken = mark.encoding == kEncodingUTF16;
  } else if (identifier == kEncodingUTF8 && mark.encoding == kEncodingUTF8) {
    d.utf8WithMark = markTaken = true;
  }
  if (markTaken) p += mark.length, n -= mark.length;
  auto text = decodePayload(p, n, d, markTaken);
  d.loaded = text.has_value();
  d.text = text ? std::move(*text) : std::string();
  d.wasCRLF = d.text.find("\r\n") != std::string::npos;
  return d;
}

std::string lineEndsForSaving(std::string text, int carriageControl, bool wasCRLF) {
  const bool toCRLF = carriageControl == 1 || (carriageControl == 0 && wasCRLF);
  if (carriageControl != 2 && !toCRLF) return text;
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue; // CR LF -> LF
    if (text[i] == '\n' && toCRLF) out += '\r';
    out += text[i];
  }
  return out;
}

std::optional<Bytes> encodeForSaving(std::string_view text, EncodeState &state) {
  if (text.empty() && state.useEncoding == kEncodingNonLossyASCII)
    state.useEncoding = kEncodingUTF8;
  Bytes out;
  std::optional<Bytes> body;
  if (state.useEncoding == kEncodingUTF16 && state.unicodeBigEndian) {
    out = {0xFE, 0xFF};
    body = platform::encodeText(text, platform::Encoding::UTF16BigEndian);
  } else {
    if (state.useEncoding == kEncodingUTF16 && state.unicodeWithFFFE) out = {0xFF, 0xFE};
    if (state.useEncoding == kEncodingUTF8 && state.utf8WithMark) out = {0xEF, 0xBB, 0xBF};
    body = encodeWith(text, state.useEncoding);
  }
  if (!body) return std::nullopt;
  out.insert(out.end(), body->begin(), body->end());
  return out;
}

} // namespace editor
