#include "sshlib/core/UrlEncode.h"

#include <string>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"

void UrlEncode::urlEncode(const DataBuffer &in, StringBuffer &out) {
  urlEncode2(in.getData2(), in.getSize(), out);
}

void UrlEncode::urlEncode2(const unsigned char *p, unsigned int n, StringBuffer &out) {
  if (p == nullptr || n == 0) return;
  static const char hex[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(n < 0x10000000u ? n * 3u : n);
  for (unsigned int i = 0; i < n; ++i) {
    const unsigned char c = p[i];
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      s += static_cast<char>(c);
    } else if (c == ' ') {
      s += '+';
    } else {
      s += '%';
      s += hex[c >> 4];
      s += hex[c & 15];
    }
    if (s.size() >= 4096) {
      out.appendN(s.data(), static_cast<int>(s.size()));
      s.clear();
    }
  }
  if (!s.empty()) out.appendN(s.data(), static_cast<int>(s.size()));
}

void UrlEncode::urlDecode(const StringBuffer &in, DataBuffer &out) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(in.getString());
  const int n = in.getSize();
  // A character below "A" counts as its value minus 0x30, any other as (value AND 0x4F) - 0x37,
  // so that small letters work as digits too.
  auto digit = [](unsigned char c) {
    return c < 'A' ? static_cast<unsigned char>(c - 0x30)
                   : static_cast<unsigned char>((c & 0x4F) - 0x37);
  };
  std::string s;
  s.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const unsigned char c = p[i];
    if (c == '+') {
      s += ' ';
    } else if (c == '%') {
      if (i + 2 >= n) break;
      s += static_cast<char>((digit(p[i + 1]) << 4) + digit(p[i + 2]));
      i += 2;
    } else {
      s += static_cast<char>(c);
    }
  }
  if (!s.empty()) out.append(s.data(), static_cast<unsigned int>(s.size()));
}
