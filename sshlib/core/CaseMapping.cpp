#include "sshlib/core/CaseMapping.h"

namespace {

unsigned short lookup(const unsigned short (&table)[100][50][2], unsigned short c) {
  const unsigned short(*bucket)[2] = table[c % 100];
  for (int i = 0; i < 50 && bucket[i][0] != 0; ++i) {
    if (bucket[i][0] == c) return bucket[i][1];
  }
  return c;
}

} // namespace

unsigned short CaseMapping::lowerToUpper(unsigned short c) {
  if (c == 0) return 0;
  // ASCII as in the C locale, whatever locale the process has chosen.
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? static_cast<unsigned short>(c - 0x20) : c;
  // Latin-1 fast path: U+00FF goes to U+00DF like the rest of the block, as stored files expect.
  if (c >= 0xE0 && c <= 0xFF) return c == 0xF7 ? c : static_cast<unsigned short>(c - 0x20);
  return lookup(_ckFromLowerMap, c);
}

unsigned short CaseMapping::upperToLower(unsigned short c) {
  if (c == 0) return 0;
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? static_cast<unsigned short>(c + 0x20) : c;
  if (c >= 0xC0 && c <= 0xDF) return c == 0xD7 ? c : static_cast<unsigned short>(c + 0x20);
  return lookup(_ckFromUpperMap, c);
}
