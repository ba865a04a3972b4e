#include "sshlib/core/Uu.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"

namespace {

inline char uuChar(unsigned int v) {
  v &= 0x3F;
  return v == 0 ? '`' : static_cast<char>(v + 0x20);
}

inline unsigned int uuValue(unsigned char c) {
  return (c - 0x20u) & 0x3Fu;
}

} // namespace

Uu::Uu() {}

Uu::~Uu() {}

void Uu::uu_encode(const DataBuffer &data, const char *mode, const char *fileName,
                   StringBuffer &out) const {
  const unsigned int n = data.getSize();
  if (n == 0) return;
  StringBuffer m(mode ? mode : "");
  m.trim2();
  if (m.getSize() == 0) m.append("644");
  StringBuffer name(fileName ? fileName : "");
  name.trim2();
  if (name.getSize() == 0) name.append("file.dat");

  std::string s = "begin ";
  s += m.getString();
  s += ' ';
  s += name.getString();
  s += "\r\n";
  const unsigned char *p = data.getData2();
  for (unsigned int i = 0; i < n; i += 45) {
    const unsigned int k = n - i < 45 ? n - i : 45;
    s += static_cast<char>(k + 0x20);
    for (unsigned int j = 0; j < k; j += 3) {
      const unsigned int b0 = p[i + j];
      const unsigned int b1 = j + 1 < k ? p[i + j + 1] : 0;
      const unsigned int b2 = j + 2 < k ? p[i + j + 2] : 0;
      s += uuChar(b0 >> 2);
      s += uuChar((b0 << 4) | (b1 >> 4));
      s += uuChar((b1 << 2) | (b2 >> 6));
      s += uuChar(b2);
    }
    s += "\r\n";
    if (s.size() >= 8192) {
      out.appendN(s.data(), static_cast<int>(s.size()));
      s.clear();
    }
  }
  s += "`\r\nend\r\n";
  out.appendN(s.data(), static_cast<int>(s.size()));
}

const char *Uu::getLine(const char *text, StringBuffer &line) {
  line.clear();
  if (text == nullptr || *text == 0) return nullptr;
  const char *p = text;
  const char *start = p;
  while (*p && *p != '\n')
    ++p;
  for (const char *q = start; q < p; ++q) {
    if (*q != '\r') line.appendChar(*q);
  }
  return *p == '\n' ? p + 1 : p;
}

const char *Uu::getBegin(const char *text, StringBuffer &line) {
  const char *p = text;
  while ((p = getLine(p, line)) != nullptr) {
    if (strncasecmp(line.getString(), "begin ", 6) == 0) return p;
  }
  line.clear();
  return nullptr;
}

bool Uu::uu_decode2aa(const char *text, DataBuffer &data, StringBuffer &mode,
                      StringBuffer &fileName) const {
  mode.clear();
  fileName.clear();
  StringBuffer line;
  const char *p = getBegin(text, line);
  if (p == nullptr) return false;

  // The octal mode (parsed by hand: an overlong number must not overflow).
  const char *d = line.getString() + 6;
  while (*d == ' ' || *d == '\t')
    ++d;
  if (*d < '0' || *d > '7') return false;
  unsigned long m = 0;
  for (; *d >= '0' && *d <= '7'; ++d) {
    if (m <= 0xFFFFFFFFul) m = m * 8 + static_cast<unsigned long>(*d - '0');
  }
  if (m > 0xFFFFFFFFul) m = 0xFFFFFFFFul;
  char modeText[32];
  std::snprintf(modeText, sizeof(modeText), "%lo", m);
  mode.append(modeText);

  // The name follows the first blank or tab after the mode.
  const char *q = line.getString() + 6;
  while (*q == ' ' || *q == '\t')
    ++q;
  while (*q && *q != ' ' && *q != '\t')
    ++q;
  if (*q == ' ' || *q == '\t') {
    while (*q == ' ' || *q == '\t')
      ++q;
    const char *e = q;
    while (*e && *e != '\r' && *e != '\n')
      ++e;
    fileName.appendN(q, static_cast<int>(e - q));
  }

  unsigned char staging[200];
  unsigned int n = 0;
  while ((p = getLine(p, line)) != nullptr) {
    const unsigned char *l = reinterpret_cast<const unsigned char *>(line.getString());
    const unsigned int len = static_cast<unsigned int>(line.getSize());
    if (len == 0 || std::strncmp(line.getString(), "end", 3) == 0) break;
    unsigned int count = uuValue(l[0]);
    if (count == 0) break;
    // A line shorter than its count announces reads as if padded with zero characters.
    auto at = [&](unsigned int k) { return k < len ? uuValue(l[k]) : 0u; };
    for (unsigned int k = 1; count > 0; k += 4) {
      const unsigned int v0 = at(k), v1 = at(k + 1), v2 = at(k + 2), v3 = at(k + 3);
      const unsigned char bytes[3] = {static_cast<unsigned char>(v0 << 2 | v1 >> 4),
                                      static_cast<unsigned char>(v1 << 4 | v2 >> 2),
                                      static_cast<unsigned char>(v2 << 6 | v3)};
      for (int b = 0; b < 3 && count > 0; ++b, --count) {
        staging[n++] = bytes[b];
        if (n == sizeof(staging)) {
          data.append(staging, n);
          n = 0;
        }
      }
    }
  }
  if (n) data.append(staging, n);
  return true;
}
