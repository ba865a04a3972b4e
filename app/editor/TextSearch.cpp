#include "app/editor/TextSearch.h"

#include "platform/foundation/Text.h"

#include <unicode/ubrk.h>
#include <unicode/uchar.h>

#include <algorithm>

namespace editor {

std::u16string toUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    char32_t cp;
    if (!platform::nextCodePoint(utf8, i, cp)) {
      cp = 0xFFFD;
      ++i;
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string fromUtf16(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    platform::appendUTF8(out, cp);
  }
  return out;
}

namespace {

// One unit as the comparison sees it (a one-to-one map, so positions stay as they are).
char16_t normalised(char16_t u, const SearchOptions &o) {
  if (o.ignoreWidth && u >= 0xFF01 && u <= 0xFF5E) u = static_cast<char16_t>(u - 0xFF01 + 0x21);
  if (o.ignoreCase && (u < 0xD800 || u > 0xDFFF)) u = static_cast<char16_t>(u_foldCase(u, 0));
  return u;
}

bool matchesAt(std::u16string_view text, std::u16string_view what, size_t at,
               const SearchOptions &o) {
  for (size_t k = 0; k < what.size(); ++k)
    if (normalised(text[at + k], o) != normalised(what[k], o)) return false;
  return true;
}

} // namespace

platform::ui::Range findText(std::u16string_view text, std::u16string_view what,
                             platform::ui::Range in, SearchOptions options) {
  const platform::ui::Range none{kNotFoundLocation, 0};
  if (what.empty() || in.location >= text.size()) return none;
  const size_t end = in.location + std::min(in.length, text.size() - in.location);
  if (end - in.location < what.size()) return none;
  const size_t last = end - what.size(); // the last start whose match still fits
  if (options.backwards) {
    for (size_t at = last + 1; at-- > in.location;)
      if (matchesAt(text, what, at, options)) return {at, what.size()};
  } else {
    for (size_t at = in.location; at <= last; ++at)
      if (matchesAt(text, what, at, options)) return {at, what.size()};
  }
  return none;
}

std::string replaceAllOccurrences(std::string_view text, std::string_view what,
                                  std::string_view with, bool ignoreCase) {
  if (what.empty()) return std::string(text);
  const std::u16string t = toUtf16(text), w = toUtf16(what), r = toUtf16(with);
  std::u16string out;
  out.reserve(t.size());
  SearchOptions o;
  o.ignoreCase = ignoreCase;
  size_t i = 0;
  while (i < t.size()) {
    if (i + w.size() <= t.size() && matchesAt(t, w, i, o)) {
      out += r;
      i += w.size();
    } else {
      out += t[i++];
    }
  }
  return fromUtf16(out);
}

platform::ui::Range composedSequenceAt(std::u16string_view text, size_t index) {
  if (text.empty()) return {0, 0};
  index = std::min(index, text.size() - 1);
  UErrorCode status = U_ZERO_ERROR;
  // The break iterator sees only a window around the index: a sequence is never that long.
  const size_t from = index > 64 ? index - 64 : 0;
  const size_t to = std::min(text.size(), index + 64);
  UBreakIterator *it = ubrk_open(UBRK_CHARACTER, "", reinterpret_cast<const UChar *>(&text[from]),
                                 static_cast<int32_t>(to - from), &status);
  if (U_FAILURE(status)) {
    size_t start = index;
    if (start > 0 && text[start] >= 0xDC00 && text[start] <= 0xDFFF) --start;
    size_t len =
        (text[start] >= 0xD800 && text[start] <= 0xDBFF && start + 1 < text.size()) ? 2 : 1;
    return {start, len};
  }
  const int32_t local = static_cast<int32_t>(index - from);
  int32_t next = ubrk_following(it, local);
  if (next == UBRK_DONE) next = static_cast<int32_t>(to - from);
  int32_t start = ubrk_preceding(it, next);
  ubrk_close(it);
  if (start == UBRK_DONE) start = 0;
  return {from + static_cast<size_t>(start), static_cast<size_t>(next - start)};
}

platform::ui::Range lineSelection(std::u16string_view text, long n) {
  if (text.empty()) return {kNotFoundLocation, 0};
  auto lastSequence = [&] { return composedSequenceAt(text, text.size() - 1); };
  if (n < 1) return lastSequence();
  size_t lineStart = 0;
  long line = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'\n') continue;
    if (line == n) return composedSequenceAt(text, lineStart);
    ++line;
    lineStart = i + 1;
  }
  // The last line has no line feed of its own: it can be reached too.
  if (line == n)
    return lineStart < text.size() ? composedSequenceAt(text, lineStart)
                                   : platform::ui::Range{text.size(), 0};
  return lastSequence();
}

} // namespace editor
