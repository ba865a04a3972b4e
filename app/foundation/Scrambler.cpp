#include "app/foundation/Scrambler.h"

#include "app/foundation/StringUtils.h"

#include <cstdint>
#include <vector>

const char szBASE_64Encrypt[] = "QwErTyUiOpAsDfGhJkLzXcVbNmqWeRtYuIoPaSdFgHjKlZxCvBnM0192837465+/";

namespace {

// Marks the form for passwords the classic packing cannot carry. The classic form never holds
// this symbol, so old stored values are never mistaken for it.
constexpr char kWideMark = '=';

// Packs the codes three to a group, 2, 3 or 4 symbols per group, as the classic form does.
template <class Codes> std::string pack(const Codes &c) {
  const size_t n = c.size();
  std::string out;
  out.reserve(n / 3 * 4 + 4);
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = static_cast<uint32_t>(c[i]) * 65536u;
    if (i + 1 < n) v += static_cast<uint32_t>(c[i + 1]) * 256u;
    if (i + 2 < n) v += static_cast<uint32_t>(c[i + 2]);
    out += szBASE_64Encrypt[(v >> 18) & 63];
    out += szBASE_64Encrypt[(v >> 12) & 63];
    if (i + 1 < n) out += szBASE_64Encrypt[(v >> 6) & 63];
    if (i + 2 < n) out += szBASE_64Encrypt[v & 63];
  }
  return out;
}

uint32_t groupValue(std::string_view s, size_t i) {
  const size_t m = s.size();
  uint32_t v = static_cast<uint32_t>(_6BitCharEncrypt(s[i])) << 18;
  if (i + 1 < m) v += static_cast<uint32_t>(_6BitCharEncrypt(s[i + 1])) << 12;
  if (i + 2 < m) v += static_cast<uint32_t>(_6BitCharEncrypt(s[i + 2])) << 6;
  if (i + 3 < m) v += static_cast<uint32_t>(_6BitCharEncrypt(s[i + 3]));
  return v;
}

} // namespace

int _6BitCharEncrypt(int c) {
  const char ch = static_cast<char>(c & 0xFF);
  if (ch == '=') return 0;
  for (int i = 0; i < 64; ++i)
    if (szBASE_64Encrypt[i] == ch) return i;
  return -1;
}

std::string myEncryptString1(std::string_view password) {
  if (password.empty()) return {};
  const std::u16string codes = toUtf16Units(password);
  bool classic = fromUtf16Units(codes) == password; // valid UTF-8
  for (char16_t c : codes)
    if (c == 0 || c > 255) classic = false;
  if (classic) return pack(codes);
  // Every byte is kept, zero bytes included: the group length alone says how many there are.
  const std::vector<uint8_t> bytes(password.begin(), password.end());
  return kWideMark + pack(bytes);
}

std::string myDecryptString1(std::string_view scrambled) {
  if (scrambled.empty()) return {};
  if (scrambled[0] == kWideMark) {
    const std::string_view body = scrambled.substr(1);
    std::string bytes;
    const size_t m = body.size();
    for (size_t i = 0; i < m; i += 4) {
      const uint32_t v = groupValue(body, i);
      const size_t symbols = m - i < 4 ? m - i : 4;
      if (symbols >= 2) bytes += static_cast<char>((v >> 16) & 255);
      if (symbols >= 3) bytes += static_cast<char>((v >> 8) & 255);
      if (symbols >= 4) bytes += static_cast<char>(v & 255);
    }
    return bytes;
  }
  // The classic form reads one symbol per character, of which only the low 8 bits count; each
  // non-zero byte of a group is one character of that code (Latin-1).
  std::string symbols;
  for (char16_t c : toUtf16Units(scrambled))
    symbols += static_cast<char>(c & 0xFF);
  std::u16string codes;
  codes.reserve(symbols.size());
  for (size_t i = 0; i < symbols.size(); i += 4) {
    const uint32_t v = groupValue(symbols, i);
    for (uint32_t b : {(v >> 16) & 255u, (v >> 8) & 255u, v & 255u})
      if (b != 0) codes += static_cast<char16_t>(b);
  }
  return fromUtf16Units(codes);
}
