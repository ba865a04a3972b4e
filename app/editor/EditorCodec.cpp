#include "app/editor/EditorCodec.h"

#include "platform/foundation/Text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <functional>

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

// `starts`, when given, receives the offset of the bytes behind each byte of the text (and the
// size after the last).
std::optional<std::string> decodeNonLossy(const uint8_t *p, size_t size,
                                          std::vector<uint32_t> *starts = nullptr) {
  std::string out;
  out.reserve(size);
  if (starts) starts->clear();
  auto put = [&](char32_t cp, size_t from) {
    const size_t before = out.size();
    platform::appendUTF8(out, cp);
    if (starts) starts->insert(starts->end(), out.size() - before, static_cast<uint32_t>(from));
  };
  for (size_t i = 0; i < size;) {
    if (p[i] >= 0x80) return std::nullopt;
    long unit = escapeAt(p, size, i);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      long low = escapeAt(p, size, i + 6);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        put(0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(low) - 0xDC00), i);
        i += 12;
        continue;
      }
    } else if (unit >= 0x80 && !(unit >= 0xDC00 && unit <= 0xDFFF)) {
      put(char32_t(unit), i);
      i += 6;
      continue;
    }
    put(p[i], i);
    ++i;
  }
  if (starts) starts->push_back(static_cast<uint32_t>(size));
  return out;
}

// Whether the bytes hold an escape that reads as a character outside ASCII, and whether the first
// such escape spells its hex digits in capitals.
struct EscapeUse {
  bool any = false;
  bool upperCase = false;
};
EscapeUse escapeUse(const uint8_t *p, size_t size) {
  for (size_t i = 0; i + 6 <= size; ++i) {
    const long unit = escapeAt(p, size, i);
    if (unit < 0x80) continue;
    EscapeUse use{true, false};
    for (size_t k = 2; k < 6; ++k)
      if (p[i + k] >= 'A' && p[i + k] <= 'F') use.upperCase = true;
    return use;
  }
  return {};
}

std::optional<Bytes> encodeNonLossy(std::string_view text, bool upperCase = false) {
  const char *const kHex = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
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
std::optional<std::string> decodePayload(const uint8_t *p, size_t n, uint32_t useEncoding,
                                         bool bigEndian, bool markTaken,
                                         std::vector<uint32_t> *starts = nullptr) {
  if (markTaken && useEncoding == kEncodingUTF16) {
    const auto e =
        bigEndian ? platform::Encoding::UTF16BigEndian : platform::Encoding::UTF16LittleEndian;
    if (starts) return platform::decodeTextWithOffsets(p, n, e, *starts);
    return platform::decodeText(p, n, e);
  }
  if (!starts) return decodeWith(p, n, useEncoding);
  if (useEncoding == kEncodingNonLossyASCII) return decodeNonLossy(p, n, starts);
  auto e = platformEncoding(useEncoding);
  if (!e) return std::nullopt;
  return platform::decodeTextWithOffsets(p, n, *e, *starts);
}

std::optional<std::string> decodePayload(const uint8_t *p, size_t n, const DecodedText &d,
                                         bool markTaken) {
  return decodePayload(p, n, d.useEncoding, d.unicodeBigEndian, markTaken);
}

// The text of the bytes in the encoding when that is a valid reading of them: one that encodes
// back to the very same bytes, so that saving changes nothing the user did not edit. (Non-lossy
// ASCII may spell an escape in more than one way; the editor keeps each escape as it was written.)
std::optional<std::string> validDecoding(const uint8_t *p, size_t n, uint32_t identifier) {
  auto text = decodeWith(p, n, identifier);
  if (!text || identifier == kEncodingNonLossyASCII) return text;
  auto back = encodeWith(*text, identifier);
  if (!back || back->size() != n || !std::equal(back->begin(), back->end(), p)) return std::nullopt;
  return text;
}

} // namespace

DecodedText decodeFile(const Bytes &bytes, uint32_t defaultEncoding) {
  DecodedText d;
  const uint8_t *p = bytes.data();
  size_t n = bytes.size();
  bool markTaken = false;
  std::optional<std::string> text;
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
      d.markLength = mark.length;
    } else {
      // Each step's encoding counts only when it reads the bytes validly; otherwise the next
      // step decides.
      if (uint32_t declared = declaredEncoding(p, n)) {
        text = validDecoding(p, n, declared);
        if (text) d.useEncoding = declared;
      }
      if (n >= 2 && utf8PairsWin(p, n)) {
        d.useEncoding = kEncodingUTF8;
        text.reset();
      }
      if (d.useEncoding == kEncodingNonLossyASCII && looksLikeShiftJIS(p, n)) {
        text = validDecoding(p, n, kEncodingShiftJIS);
        if (text) d.useEncoding = kEncodingShiftJIS;
      }
    }
  }
  if (!text) text = decodePayload(p, n, d, markTaken);
  if ((!text || text->empty()) && n > 0) {
    // Nothing came of the chosen encoding: the usual suspects, in turn. A mark no longer holds.
    d.unicodeWithFFFE = d.unicodeBigEndian = d.utf8WithMark = false;
    d.markLength = 0;
    p = bytes.data();
    n = bytes.size();
    text.reset();
    for (uint32_t fallback : {kEncodingUTF8, kEncodingLatin1, kEncodingWin1252}) {
      d.useEncoding = fallback;
      text = validDecoding(p, n, fallback);
      if (text && !text->empty()) break;
      text.reset();
    }
    if (!text) {
      d.useEncoding = kEncodingNonLossyASCII;
      d.loaded = false;
    }
  }
  if (d.useEncoding == kEncodingNonLossyASCII) {
    const EscapeUse use = escapeUse(p, n);
    d.fileHasEscapes = use.any;
    d.upperCaseEscapes = use.upperCase;
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
  if (markTaken) d.markLength = mark.length;
  auto text = decodePayload(p, n, d, markTaken);
  d.loaded = text.has_value();
  if (identifier == kEncodingNonLossyASCII) {
    const EscapeUse use = escapeUse(p, n);
    d.fileHasEscapes = use.any;
    d.upperCaseEscapes = use.upperCase;
  }
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

namespace {

// The bytes of a text in the encoding in force, without the file's mark. UTF-16 after a mark is
// written in that mark's order, with no mark of its own; UTF-16 without one gets a mark only
// when its first character would read as one.
std::optional<Bytes> encodeBody(std::string_view text, const EncodeState &state) {
  if (state.useEncoding == kEncodingUTF16 && state.unicodeBigEndian)
    return platform::encodeText(text, platform::Encoding::UTF16BigEndian);
  if (state.useEncoding == kEncodingUTF16 && state.unicodeWithFFFE)
    return platform::encodeText(text, platform::Encoding::UTF16LittleEndian);
  if (state.useEncoding == kEncodingNonLossyASCII)
    return encodeNonLossy(text, state.upperCaseEscapes);
  return encodeWith(text, state.useEncoding);
}

Bytes markFor(const EncodeState &state) {
  if (state.useEncoding == kEncodingUTF16 && state.unicodeBigEndian) return {0xFE, 0xFF};
  if (state.useEncoding == kEncodingUTF16 && state.unicodeWithFFFE) return {0xFF, 0xFE};
  if (state.useEncoding == kEncodingUTF8 && state.utf8WithMark) return {0xEF, 0xBB, 0xBF};
  return {};
}

bool sameEncoding(const EncodeState &a, const EncodeState &b) {
  return a.useEncoding == b.useEncoding && a.unicodeWithFFFE == b.unicodeWithFFFE &&
         a.unicodeBigEndian == b.unicodeBigEndian && a.utf8WithMark == b.utf8WithMark;
}

bool isContinuation(char c) {
  return (static_cast<uint8_t>(c) & 0xC0) == 0x80;
}

// What an edited text is made of: runs of the loaded text that are as they were (kept: their
// bytes can stay the file's own) and runs of text to be written. Together they spell the text to
// save, line ends already decided.
struct Run {
  bool kept;
  size_t from, to;  // kept: the run's bytes in the loaded text
  std::string text; // written: the run itself
};

void keepRun(std::vector<Run> &runs, size_t from, size_t to) {
  if (!runs.empty() && runs.back().kept && runs.back().to == from)
    runs.back().to = to;
  else
    runs.push_back({true, from, to, {}});
}

void writeRun(std::vector<Run> &runs, std::string_view s) {
  if (runs.empty() || runs.back().kept) runs.push_back({false, 0, 0, {}});
  runs.back().text += s;
}

// A piece of the edited text that is the loaded text's own: `length` bytes at `edited` in the
// edited text and at `loaded` in the loaded text.
struct Same {
  size_t edited, loaded, length;
};

// How far two texts agree from the start and from the end (the end not reaching into what the
// start took), on character boundaries and never between a CR and its LF.
std::pair<size_t, size_t> agreeingEnds(std::string_view L, std::string_view T) {
  size_t P = 0;
  while (P < L.size() && P < T.size() && L[P] == T[P])
    ++P;
  while (P > 0 && P < L.size() && isContinuation(L[P]))
    --P;
  if (P > 0 && P < L.size() && L[P - 1] == '\r' && L[P] == '\n') --P;
  size_t S = 0;
  while (S < L.size() - P && S < T.size() - P && L[L.size() - 1 - S] == T[T.size() - 1 - S])
    ++S;
  while (S > 0 && isContinuation(L[L.size() - S]))
    --S;
  if (S > 0 && L.size() - S > 0 && L[L.size() - S] == '\n' && L[L.size() - S - 1] == '\r') --S;
  return {P, S};
}

// The lines of a text (each with its line end), as [start, end) offsets.
std::vector<std::pair<size_t, size_t>> linesOf(std::string_view s) {
  std::vector<std::pair<size_t, size_t>> out;
  for (size_t at = 0; at < s.size();) {
    const size_t lf = s.find('\n', at);
    const size_t end = lf == std::string_view::npos ? s.size() : lf + 1;
    out.push_back({at, end});
    at = end;
  }
  return out;
}

// The lines two texts have in common, in order (index pairs), by the shortest edit script over
// lines; nothing when they differ in more than `budget` lines (a text rewritten throughout).
using LinePairs = std::vector<std::pair<size_t, size_t>>;
std::optional<LinePairs> commonLines(const std::vector<std::string_view> &a,
                                     const std::vector<std::string_view> &b, long budget) {
  const long n = static_cast<long>(a.size()), m = static_cast<long>(b.size());
  const long most = std::min(n + m, budget);
  std::vector<size_t> ha(a.size()), hb(b.size());
  for (size_t i = 0; i < a.size(); ++i)
    ha[i] = std::hash<std::string_view>{}(a[i]);
  for (size_t j = 0; j < b.size(); ++j)
    hb[j] = std::hash<std::string_view>{}(b[j]);
  auto same = [&](long x, long y) { return ha[x] == hb[y] && a[x] == b[y]; };
  const long offset = most + 1;
  std::vector<long> v(static_cast<size_t>(2 * most + 3), 0);
  // The furthest reach on each diagonal before each round, for the way back.
  std::vector<std::vector<long>> trace;
  for (long d = 0; d <= most; ++d) {
    trace.emplace_back(v.begin() + (offset - d - 1), v.begin() + (offset + d + 2));
    for (long k = -d; k <= d; k += 2) {
      long x = (k == -d || (k != d && v[offset + k - 1] < v[offset + k + 1]))
                   ? v[offset + k + 1]
                   : v[offset + k - 1] + 1;
      long y = x - k;
      while (x < n && y < m && same(x, y))
        ++x, ++y;
      v[offset + k] = x;
      if (x < n || y < m) continue;
      LinePairs matched;
      for (long e = d; e > 0; --e) {
        const auto &w = trace[static_cast<size_t>(e)];
        auto at = [&](long kk) { return w[static_cast<size_t>(kk + e + 1)]; };
        const long kk = x - y;
        const long prev = (kk == -e || (kk != e && at(kk - 1) < at(kk + 1))) ? kk + 1 : kk - 1;
        const long px = at(prev), py = px - prev;
        while (x > px && y > py && x > 0 && y > 0) {
          --x, --y;
          matched.push_back({size_t(x), size_t(y)});
        }
        x = px, y = py;
      }
      while (x > 0 && y > 0) {
        --x, --y;
        matched.push_back({size_t(x), size_t(y)});
      }
      std::reverse(matched.begin(), matched.end());
      return matched;
    }
  }
  return std::nullopt;
}

// The pieces of an edited text `T` that are the loaded text `L` as it was: the lines that were
// not edited, and within the edited ones what agrees at their start and end. (A person edits here
// and there: an edit at the top and one at the bottom leave every line between as it was, and an
// edit at the end of a line leaves its line end as it was.)
std::vector<Same> samePieces(std::string_view L, std::string_view T) {
  const auto ll = linesOf(L), tl = linesOf(T);
  auto lineOf = [](std::string_view s, const std::pair<size_t, size_t> &at) {
    return s.substr(at.first, at.second - at.first);
  };
  // Lines alike at the start and at the end are taken at once; those between are matched.
  size_t head = 0, tail = 0;
  while (head < ll.size() && head < tl.size() && lineOf(L, ll[head]) == lineOf(T, tl[head]))
    ++head;
  while (tail < ll.size() - head && tail < tl.size() - head &&
         lineOf(L, ll[ll.size() - 1 - tail]) == lineOf(T, tl[tl.size() - 1 - tail]))
    ++tail;
  std::vector<std::string_view> la, ta;
  for (size_t i = head; i < ll.size() - tail; ++i)
    la.push_back(lineOf(L, ll[i]));
  for (size_t j = head; j < tl.size() - tail; ++j)
    ta.push_back(lineOf(T, tl[j]));
  constexpr long kBudget = 1000;
  LinePairs matched;
  for (size_t i = 0; i < head; ++i)
    matched.push_back({i, i});
  for (auto [i, j] : commonLines(la, ta, kBudget).value_or(LinePairs{}))
    matched.push_back({head + i, head + j});
  for (size_t k = tail; k > 0; --k)
    matched.push_back({ll.size() - k, tl.size() - k});

  std::vector<Same> out;
  auto keep = [&](size_t edited, size_t loaded, size_t length) {
    if (!length) return;
    if (!out.empty() && out.back().edited + out.back().length == edited &&
        out.back().loaded + out.back().length == loaded)
      out.back().length += length;
    else
      out.push_back({edited, loaded, length});
  };
  // What agrees at the ends of an edited stretch is kept too.
  auto agreeing = [&](size_t l0, size_t l1, size_t t0, size_t t1) {
    const auto [p, s] = agreeingEnds(L.substr(l0, l1 - l0), T.substr(t0, t1 - t0));
    keep(t0, l0, p);
    keep(t1 - s, l1 - s, s);
  };
  auto startOf = [](const auto &lines, size_t i, size_t size) {
    return i < lines.size() ? lines[i].first : size;
  };
  // Edited lines, as many on both sides, are edits of one line each.
  auto stretch = [&](size_t li, size_t lEnd, size_t ti, size_t tEnd) {
    if (lEnd - li == tEnd - ti) {
      for (; li < lEnd; ++li, ++ti)
        agreeing(ll[li].first, ll[li].second, tl[ti].first, tl[ti].second);
    } else {
      agreeing(startOf(ll, li, L.size()), startOf(ll, lEnd, L.size()), startOf(tl, ti, T.size()),
               startOf(tl, tEnd, T.size()));
    }
  };
  size_t li = 0, ti = 0;
  for (size_t at = 0; at <= matched.size(); ++at) {
    const size_t lNext = at < matched.size() ? matched[at].first : ll.size();
    const size_t tNext = at < matched.size() ? matched[at].second : tl.size();
    if (lNext > li || tNext > ti) stretch(li, lNext, ti, tNext);
    if (at == matched.size()) break;
    keep(tl[tNext].first, ll[lNext].first, ll[lNext].second - ll[lNext].first);
    li = lNext + 1, ti = tNext + 1;
  }
  return out;
}

// The runs of an edited text `T` against the loaded text `L`: what is as it was is kept; line
// ends are those of lineEndsForSaving, every one of them (a line end that already is what the
// setting writes keeps its bytes).
std::vector<Run> runsOf(std::string_view T, std::string_view L, int carriageControl, bool wasCRLF) {
  const std::vector<Same> same = samePieces(L, T);
  const bool toCRLF = carriageControl == 1 || (carriageControl == 0 && wasCRLF);
  const bool rewrite = carriageControl == 2 || toCRLF;
  // The loaded byte behind a byte of the text, or npos where it was edited.
  auto origin = [&](size_t i) -> size_t {
    auto it = std::upper_bound(same.begin(), same.end(), i,
                               [](size_t at, const Same &s) { return at < s.edited; });
    if (it == same.begin()) return std::string_view::npos;
    --it;
    return i < it->edited + it->length ? it->loaded + (i - it->edited) : std::string_view::npos;
  };
  auto untouched = [&](size_t i, size_t k) {
    const size_t o = origin(i);
    return o != std::string_view::npos && origin(i + k - 1) == o + k - 1;
  };
  std::vector<Run> runs;
  auto keepOrWrite = [&](size_t i, size_t k, std::string_view as) {
    const size_t o = origin(i);
    if (untouched(i, k) && L.substr(o, k) == as)
      keepRun(runs, o, o + k);
    else
      writeRun(runs, as);
  };
  for (size_t i = 0; i < T.size();) {
    const bool crlf = T[i] == '\r' && i + 1 < T.size() && T[i + 1] == '\n';
    if (rewrite && (crlf || T[i] == '\n')) {
      keepOrWrite(i, crlf ? 2 : 1, toCRLF ? "\r\n" : "\n");
      i += crlf ? 2 : 1;
      continue;
    }
    // An untouched stretch up to the next line end is kept in one step.
    if (untouched(i, 1)) {
      size_t k = 1;
      while (i + k < T.size() && T[i + k] != '\r' && T[i + k] != '\n' && untouched(i, k + 1))
        ++k;
      keepRun(runs, origin(i), origin(i) + k);
      i += k;
      continue;
    }
    size_t k = 1;
    while (i + k < T.size() && isContinuation(T[i + k]))
      ++k;
    keepOrWrite(i, k, T.substr(i, k));
    i += k;
  }
  return runs;
}

std::string textOf(const std::vector<Run> &runs, std::string_view L) {
  std::string out;
  for (const auto &r : runs)
    out += r.kept ? L.substr(r.from, r.to - r.from) : std::string_view(r.text);
  return out;
}

// The bytes of the runs: the loaded file's own bytes for the kept ones (`starts`: the offset in
// the payload of each byte of the loaded text), the encoding in force for the others.
std::optional<Bytes> spliced(const std::vector<Run> &runs, const uint8_t *payload,
                             const std::vector<uint32_t> &starts, const EncodeState &state) {
  Bytes out;
  for (const auto &r : runs) {
    if (r.kept) {
      out.insert(out.end(), payload + starts[r.from], payload + starts[r.to]);
      continue;
    }
    auto bytes = encodeBody(r.text, state);
    if (!bytes) return std::nullopt;
    out.insert(out.end(), bytes->begin(), bytes->end());
  }
  return out;
}

} // namespace

std::optional<Bytes> encodeForSaving(std::string_view text, EncodeState &state) {
  if (text.empty() && state.useEncoding == kEncodingNonLossyASCII)
    state.useEncoding = kEncodingUTF8;
  // A file of plain ASCII that gains other characters becomes UTF-8 (whose ASCII is the same
  // bytes), not a file of escapes nobody else reads; a file that holds escapes keeps using them.
  if (state.useEncoding == kEncodingNonLossyASCII && !state.fileHasEscapes &&
      std::any_of(text.begin(), text.end(), [](char c) { return c & 0x80; }))
    state.useEncoding = kEncodingUTF8, state.utf8WithMark = false;
  auto body = encodeBody(text, state);
  if (!body) return std::nullopt;
  Bytes out = markFor(state);
  out.insert(out.end(), body->begin(), body->end());
  return out;
}

std::optional<Bytes> encodeEdited(std::string_view text, int carriageControl, bool wasCRLF,
                                  const LoadedFile &loaded, EncodeState &state) {
  if (text.empty()) return encodeForSaving(text, state);
  // A plain ASCII file that gains other characters moves to UTF-8, whose ASCII is the very same
  // bytes: the file's own bytes still stand for the text that was not edited.
  const bool asciiToUtf8 = state.useEncoding == kEncodingNonLossyASCII && !state.fileHasEscapes &&
                           sameEncoding(state, loaded.state) &&
                           std::any_of(text.begin(), text.end(), [](char c) { return c & 0x80; });
  if (asciiToUtf8) state.useEncoding = kEncodingUTF8, state.utf8WithMark = false;
  const std::string_view L = loaded.text;
  const auto runs = runsOf(text, L, carriageControl, wasCRLF);
  const std::string written = textOf(runs, L);
  // Encoded whole: what the file's bytes cannot stand for (another encoding, or one with a shift
  // state carried from character to character).
  auto whole = [&] { return encodeForSaving(written, state); };
  if (loaded.bytes.size() <= loaded.markLength ||
      !(asciiToUtf8 || sameEncoding(state, loaded.state)) ||
      state.useEncoding == kEncodingISO2022JP)
    return whole();

  const uint8_t *payload = loaded.bytes.data() + loaded.markLength;
  const size_t payloadSize = loaded.bytes.size() - loaded.markLength;
  std::vector<uint32_t> starts;
  auto reread = decodePayload(payload, payloadSize, loaded.state.useEncoding,
                              loaded.state.unicodeBigEndian, loaded.markLength > 0, &starts);
  if (!reread || *reread != L || starts.size() != L.size() + 1) return whole();
  auto body = spliced(runs, payload, starts, state);
  if (!body) return std::nullopt;
  // The spliced bytes must read as the text they stand for; anything else is saved whole.
  auto check = decodePayload(body->data(), body->size(), state.useEncoding, state.unicodeBigEndian,
                             loaded.markLength > 0);
  if (!check || *check != written) return whole();
  Bytes saved = markFor(state);
  saved.insert(saved.end(), body->begin(), body->end());
  return saved;
}

} // namespace editor
