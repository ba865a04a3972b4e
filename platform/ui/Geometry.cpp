#include "platform/ui/Geometry.h"

#include <cstdint>
#include <cstring>

namespace platform::ui {

namespace {
// Bytes of the UTF-8 sequence starting with lead (1 for a stray byte).
size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF8) return 4;
  if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

// The bytes from `at` on that are ASCII, in steps of eight (at most `limit`): a text view may hold
// a whole file, and its texts are measured at every key.
size_t asciiRun(const char *p, size_t at, size_t size, size_t limit) {
  size_t n = 0;
  while (n + 8 <= limit && at + n + 8 <= size) {
    uint64_t word;
    std::memcpy(&word, p + at + n, 8);
    if (word & 0x8080808080808080ull) break;
    n += 8;
  }
  return n;
}
} // namespace

size_t utf16Length(std::string_view utf8) {
  size_t units = 0;
  const char *p = utf8.data();
  const size_t size = utf8.size();
  for (size_t i = 0; i < size;) {
    const size_t ascii = asciiRun(p, i, size, size);
    units += ascii;
    i += ascii;
    if (i >= size) break;
    size_t n = sequenceLength(static_cast<unsigned char>(p[i]));
    if (i + n > size) n = 1;
    units += n == 4 ? 2 : 1;
    i += n;
  }
  return units;
}

size_t utf8Offset(std::string_view utf8, size_t utf16Index) {
  size_t units = 0, i = 0;
  const char *p = utf8.data();
  const size_t size = utf8.size();
  while (i < size) {
    const size_t ascii = units < utf16Index ? asciiRun(p, i, size, utf16Index - units) : 0;
    units += ascii;
    i += ascii;
    if (i >= size) break;
    size_t n = sequenceLength(static_cast<unsigned char>(p[i]));
    if (i + n > size) n = 1;
    size_t u = n == 4 ? 2 : 1;
    // An index inside a surrogate pair moves to the end of the character.
    if (units + u > utf16Index) return units >= utf16Index ? i : i + n;
    units += u;
    i += n;
  }
  return utf8.size();
}

std::string replaceUtf16Range(std::string_view utf8, Range range, std::string_view replacement) {
  size_t begin = utf8Offset(utf8, range.location);
  size_t end = utf8Offset(utf8, range.location + range.length);
  if (end < begin) end = begin;
  std::string out(utf8.substr(0, begin));
  out += replacement;
  out += utf8.substr(end);
  return out;
}

} // namespace platform::ui
