#include "sshlib/core/StringSearch.h"

#include <cstring>
#include <strings.h>

namespace {
inline unsigned char foldAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 0x20) : c;
}

// Segment compare of n bytes, with or without ASCII case.
bool segEqual(const char *a, const char *b, size_t n, bool caseSensitive) {
  if (caseSensitive) return std::memcmp(a, b, n) == 0;
  return strncasecmp(a, b, n) == 0;
}

// Leftmost place in text where the n-byte segment matches; null when none.
const char *findSeg(const char *text, const char *seg, size_t n, bool caseSensitive) {
  size_t tlen = std::strlen(text);
  if (n > tlen) return nullptr;
  for (size_t i = 0; i + n <= tlen; ++i)
    if (segEqual(text + i, seg, n, caseSensitive)) return text + i;
  return nullptr;
}
} // namespace

const char *stristr(const char *haystack, const char *needle) {
  if (!haystack || !needle || !*haystack || !*needle) return nullptr;
  const unsigned char first = foldAscii(static_cast<unsigned char>(*needle));
  for (const char *h = haystack; *h; ++h) {
    if (foldAscii(static_cast<unsigned char>(*h)) != first) continue;
    const char *a = h;
    const char *b = needle;
    while (*a && *b &&
           foldAscii(static_cast<unsigned char>(*a)) == foldAscii(static_cast<unsigned char>(*b))) {
      ++a;
      ++b;
    }
    if (!*b) return h;
    if (!*a) return nullptr; // the rest of the haystack is shorter than the needle
  }
  return nullptr;
}

char *stristr(char *haystack, const char *needle) {
  return const_cast<char *>(stristr(static_cast<const char *>(haystack), needle));
}

bool wildcardMatch(const char *text, const char *pattern, bool caseSensitive) {
  if (!text || !pattern) return false;
  if (!*text) {
    for (const char *p = pattern; *p; ++p)
      if (*p != '*') return false;
    return true;
  }
  if (!*pattern) return false;
  const char *star = std::strchr(pattern, '*');
  if (!star)
    return caseSensitive ? std::strcmp(text, pattern) == 0 : strcasecmp(text, pattern) == 0;

  size_t headLen = static_cast<size_t>(star - pattern);
  if (headLen > std::strlen(text) || !segEqual(text, pattern, headLen, caseSensitive)) return false;
  const char *t = text + headLen;
  const char *p = star;
  for (;;) {
    while (*p == '*')
      ++p;
    if (!*p) return true;
    const char *next = std::strchr(p, '*');
    if (!next) {
      size_t segLen = std::strlen(p);
      size_t rest = std::strlen(t);
      if (rest < segLen) return false;
      return segEqual(t + rest - segLen, p, segLen, caseSensitive);
    }
    size_t segLen = static_cast<size_t>(next - p);
    const char *found = findSeg(t, p, segLen, caseSensitive);
    if (!found) return false;
    t = found + segLen;
    p = next;
  }
}
