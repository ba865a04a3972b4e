#include "platform/ui/Geometry.h"

namespace platform::ui {

namespace {
// Bytes of the UTF-8 sequence starting with lead (1 for a stray byte).
size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF8) return 4;
  if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}
} // namespace

size_t utf16Length(std::string_view utf8) {
  size_t units = 0;
  for (size_t i = 0; i < utf8.size();) {
    size_t n = sequenceLength(static_cast<unsigned char>(utf8[i]));
    if (i + n > utf8.size()) n = 1;
    units += n == 4 ? 2 : 1;
    i += n;
  }
  return units;
}

size_t utf8Offset(std::string_view utf8, size_t utf16Index) {
  size_t units = 0, i = 0;
  while (i < utf8.size()) {
    size_t n = sequenceLength(static_cast<unsigned char>(utf8[i]));
    if (i + n > utf8.size()) n = 1;
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
