// Independent references for the conversion engine: glibc's iconv through its C interface, and
// the codecs of Debian's Python and Perl (one child process per dump, read through a pipe).
#pragma once

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/EncodingConvert.h"
#include "tests/support/TestSupport.h"

namespace oracle {

// Converts with glibc; nullopt when glibc does not know a name or refuses the input.
inline std::optional<std::string> iconvConvert(const char *from, const char *to,
                                               const std::string &in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == (iconv_t)-1) return std::nullopt;
  std::string out(in.size() * 8 + 64, '\0');
  char *ip = const_cast<char *>(in.data());
  size_t il = in.size();
  char *op = out.data();
  size_t ol = out.size();
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  bool ok = r != (size_t)-1 && il == 0;
  if (ok) {
    // Flush a stateful encoding's final shift.
    ok = iconv(cd, nullptr, nullptr, &op, &ol) != (size_t)-1;
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(out.size() - ol);
  return out;
}

inline bool iconvKnows(const char *name) {
  iconv_t cd = iconv_open("UTF-16LE", name);
  if (cd == (iconv_t)-1) return false;
  iconv_close(cd);
  return true;
}

// The library's conversion as a string.
inline std::string convert(int from, int to, const std::string &in, bool *ok = nullptr) {
  EncodingConvert ec;
  DataBuffer out;
  bool r = ec.EncConvert(from, to, reinterpret_cast<const unsigned char *>(in.data()),
                         (unsigned int)in.size(), out);
  if (ok) *ok = r;
  return std::string(reinterpret_cast<const char *>(out.getData2()), out.getSize());
}

inline std::string utf16le(char32_t c) {
  std::string s;
  auto put = [&](unsigned u) {
    s.push_back(char(u & 0xFF));
    s.push_back(char(u >> 8));
  };
  if (c >= 0x10000) {
    c -= 0x10000;
    put(0xD800 + (c >> 10));
    put(0xDC00 + (c & 0x3FF));
  } else {
    put(c);
  }
  return s;
}

inline std::string hex(const std::string &s) {
  static const char *d = "0123456789ABCDEF";
  std::string h;
  for (unsigned char c : s) {
    h.push_back(d[c >> 4]);
    h.push_back(d[c & 15]);
  }
  return h;
}

inline std::string unhex(const std::string &h) {
  std::string s;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    s.push_back((char)std::stoi(h.substr(i, 2), nullptr, 16));
  return s;
}

// A code page's mapping as a reference tool sees it: code bytes -> character, and character ->
// the code bytes its encoder picks.
struct Mapping {
  std::map<std::string, char32_t> decode;
  std::map<char32_t, std::string> encode;
};

// Parses lines "D <code hex> <char hex>" and "E <char hex> <code hex>", each group of mappings
// introduced by a line "= <name>".
inline std::map<std::string, Mapping> parseDump(const std::string &text) {
  std::map<std::string, Mapping> all;
  Mapping *cur = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.size() < 3) continue;
    if (line[0] == '=') {
      cur = &all[line.substr(2)];
      continue;
    }
    if (!cur) continue;
    size_t sp = line.find(' ', 2);
    std::string a = line.substr(2, sp - 2), b = line.substr(sp + 1);
    if (line[0] == 'D')
      cur->decode[unhex(a)] = (char32_t)std::stoul(b, nullptr, 16);
    else
      cur->encode[(char32_t)std::stoul(a, nullptr, 16)] = unhex(b);
  }
  return all;
}

// Python codecs: single bytes 1-255 and (multi) the two-byte codes; the encoder's choice for every
// character the codec decodes to (single) or for the whole BMP (multi).
inline std::map<std::string, Mapping> pythonDump(const std::vector<std::string> &codecs,
                                                 bool multi) {
  std::string script =
      "import sys\n"
      "multi = sys.argv[1] == '1'\n"
      "w = sys.stdout.write\n"
      "for c in sys.argv[2:]:\n"
      "  w('= %s\\n' % c)\n"
      "  codes = [bytes([b]) for b in range(1, 256)]\n"
      "  if multi: codes += [bytes([l, t]) for l in range(0x81, 0x100) for t in range(0x21, "
      "0x100)]\n"
      "  chars = set()\n"
      "  for k in codes:\n"
      "    try: s = k.decode(c)\n"
      "    except UnicodeDecodeError: continue\n"
      "    if len(s) != 1 or ord(s) > 0xFFFF: continue\n"
      "    if len(k) == 2:\n"
      "      try:\n"
      "        bytes([k[0]]).decode(c); continue\n"
      "      except UnicodeDecodeError: pass\n"
      "    w('D %s %04X\\n' % (k.hex().upper(), ord(s))); chars.add(ord(s))\n"
      "  if multi: chars = [u for u in range(1, 0x10000) if not 0xD800 <= u <= 0xDFFF]\n"
      "  for u in sorted(chars):\n"
      "    try: e = chr(u).encode(c)\n"
      "    except UnicodeEncodeError: continue\n"
      "    w('E %04X %s\\n' % (u, e.hex().upper()))\n";
  std::string cmd = "/usr/bin/python3 -c \"$FERROWEN_ORACLE\" " + std::string(multi ? "1" : "0");
  for (const auto &c : codecs)
    cmd += " " + c;
  setenv("FERROWEN_ORACLE", script.c_str(), 1);
  return parseDump(testsupport::runCommand(cmd));
}

// glibc's mapping of one single-byte code page.
inline Mapping iconvSingleByte(const char *name) {
  Mapping m;
  for (int b = 1; b < 256; ++b) {
    auto u = iconvConvert(name, "UTF-32LE", std::string(1, char(b)));
    if (!u || u->size() != 4) continue;
    char32_t c =
        (unsigned char)(*u)[0] | (unsigned char)(*u)[1] << 8 | (unsigned char)(*u)[2] << 16;
    if (c > 0xFFFF) continue;
    m.decode[std::string(1, char(b))] = c;
  }
  for (auto &[code, c] : m.decode) {
    std::string u32(4, '\0');
    for (int i = 0; i < 4; ++i)
      u32[i] = char((c >> (8 * i)) & 0xFF);
    auto e = iconvConvert("UTF-32LE", name, u32);
    if (e) m.encode[c] = *e;
  }
  return m;
}

} // namespace oracle
