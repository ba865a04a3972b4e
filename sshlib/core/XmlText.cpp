#include "sshlib/core/XmlText.h"

#include <cstring>
#include <string>
#include <vector>

#include "sshlib/core/StringBuffer.h"

namespace {

// Decodes one UTF-8 character at s (n bytes available). Returns its length, or 0 when the bytes
// there are not a valid, shortest-form sequence of a scalar value.
int decodeUtf8(const unsigned char *s, size_t n, unsigned int &cp) {
  if (n == 0) return 0;
  unsigned char c = s[0];
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  int len;
  unsigned int min;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
    min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
    min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (n < static_cast<size_t>(len)) return 0;
  for (int i = 1; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool isXmlChar(unsigned int cp) {
  if (cp < 0x20) return cp == 0x9 || cp == 0xA || cp == 0xD;
  return cp != 0xFFFE && cp != 0xFFFF;
}

bool isNameStartChar(unsigned int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 0xC0 && c <= 0xD6) ||
         (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
         (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
         (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) ||
         (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
         (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool isNameChar(unsigned int c) {
  return isNameStartChar(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A small recursive-descent checker of element content.
class ContentChecker {
public:
  explicit ContentChecker(const std::string &s) : m_s(s) {}

  bool run() {
    std::vector<std::string> open;
    while (m_pos < m_s.size()) {
      char c = m_s[m_pos];
      if (c == '<') {
        if (startsWith("<![CDATA[")) {
          size_t end = m_s.find("]]>", m_pos + 9);
          if (end == std::string::npos) return false;
          m_pos = end + 3;
        } else if (startsWith("<!--")) {
          size_t end = m_s.find("--", m_pos + 4);
          if (end == std::string::npos || end + 2 >= m_s.size() || m_s[end + 2] != '>')
            return false;
          m_pos = end + 3;
        } else if (startsWith("<?")) {
          if (!processingInstruction()) return false;
        } else if (startsWith("</")) {
          m_pos += 2;
          std::string name;
          if (!readName(name) || open.empty() || open.back() != name) return false;
          skipSpace();
          if (!consume('>')) return false;
          open.pop_back();
        } else {
          ++m_pos;
          std::string name;
          bool empty = false;
          if (!readName(name) || !attributes(empty)) return false;
          if (!empty) open.push_back(name);
        }
      } else if (c == '&') {
        if (!reference()) return false;
      } else if (c == ']' && startsWith("]]>")) {
        return false;
      } else {
        ++m_pos;
      }
    }
    return open.empty();
  }

private:
  bool startsWith(const char *p) const { return m_s.compare(m_pos, std::strlen(p), p) == 0; }

  bool consume(char c) {
    if (m_pos < m_s.size() && m_s[m_pos] == c) {
      ++m_pos;
      return true;
    }
    return false;
  }

  void skipSpace() {
    while (m_pos < m_s.size() && isSpace(m_s[m_pos]))
      ++m_pos;
  }

  bool readName(std::string &name) {
    size_t start = m_pos;
    bool first = true;
    while (m_pos < m_s.size()) {
      unsigned int cp = 0;
      int len = decodeUtf8(reinterpret_cast<const unsigned char *>(m_s.data()) + m_pos,
                           m_s.size() - m_pos, cp);
      if (len == 0 || !(first ? isNameStartChar(cp) : isNameChar(cp))) break;
      m_pos += static_cast<size_t>(len);
      first = false;
    }
    if (first) return false;
    name.assign(m_s, start, m_pos - start);
    return true;
  }

  bool reference() {
    size_t semi = m_s.find(';', m_pos);
    if (semi == std::string::npos) return false;
    std::string body = m_s.substr(m_pos + 1, semi - m_pos - 1);
    m_pos = semi + 1;
    if (body == "amp" || body == "lt" || body == "gt" || body == "quot" || body == "apos")
      return true;
    if (body.size() < 2 || body[0] != '#') return false;
    unsigned long value = 0;
    size_t i = 1;
    int base = 10;
    if (body[1] == 'x') {
      base = 16;
      i = 2;
    }
    if (i >= body.size() || body.size() - i > 8) return false;
    for (; i < body.size(); ++i) {
      char d = body[i];
      int v;
      if (d >= '0' && d <= '9')
        v = d - '0';
      else if (base == 16 && d >= 'a' && d <= 'f')
        v = d - 'a' + 10;
      else if (base == 16 && d >= 'A' && d <= 'F')
        v = d - 'A' + 10;
      else
        return false;
      value = value * static_cast<unsigned long>(base) + static_cast<unsigned long>(v);
    }
    return value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF) &&
           isXmlChar(static_cast<unsigned int>(value));
  }

  bool processingInstruction() {
    m_pos += 2;
    std::string target;
    if (!readName(target)) return false;
    if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' &&
        (target[2] | 0x20) == 'l')
      return false;
    size_t end = m_s.find("?>", m_pos);
    if (end == std::string::npos) return false;
    if (end != m_pos && !isSpace(m_s[m_pos])) return false;
    m_pos = end + 2;
    return true;
  }

  // Reads the attributes and the end of a start tag; sets empty for "/>".
  bool attributes(bool &empty) {
    std::vector<std::string> names;
    for (;;) {
      size_t before = m_pos;
      skipSpace();
      if (consume('>')) return true;
      if (consume('/')) {
        empty = true;
        return consume('>');
      }
      if (m_pos == before) return false; // an attribute must follow white space
      std::string name;
      if (!readName(name) || name == "xmlns") return false;
      for (const std::string &n : names)
        if (n == name) return false;
      names.push_back(name);
      skipSpace();
      if (!consume('=')) return false;
      skipSpace();
      if (m_pos >= m_s.size()) return false;
      char quote = m_s[m_pos];
      if (quote != '"' && quote != '\'') return false;
      ++m_pos;
      for (;;) {
        if (m_pos >= m_s.size()) return false;
        char c = m_s[m_pos];
        if (c == quote) {
          ++m_pos;
          break;
        }
        if (c == '<') return false;
        if (c == '&') {
          if (!reference()) return false;
        } else {
          ++m_pos;
        }
      }
    }
  }

  const std::string &m_s;
  size_t m_pos = 0;
};

} // namespace

namespace XmlText {

void appendSanitized(const char *text, StringBuffer &out) {
  if (!text) return;
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
  size_t n = std::strlen(text);
  size_t runStart = 0;
  size_t i = 0;
  while (i < n) {
    unsigned int cp = 0;
    int len = decodeUtf8(s + i, n - i, cp);
    if (len > 0 && isXmlChar(cp)) {
      i += static_cast<size_t>(len);
      continue;
    }
    if (i > runStart) out.appendN(text + runStart, static_cast<int>(i - runStart));
    out.appendN("\xEF\xBF\xBD", 3);
    i += len > 0 ? static_cast<size_t>(len) : 1;
    runStart = i;
  }
  if (n > runStart) out.appendN(text + runStart, static_cast<int>(n - runStart));
}

bool isValidName(const char *name) {
  if (!name || !*name) return false;
  const unsigned char *s = reinterpret_cast<const unsigned char *>(name);
  size_t n = std::strlen(name);
  size_t i = 0;
  while (i < n) {
    unsigned int cp = 0;
    int len = decodeUtf8(s + i, n - i, cp);
    if (len == 0 || !(i == 0 ? isNameStartChar(cp) : isNameChar(cp))) return false;
    i += static_cast<size_t>(len);
  }
  return true;
}

void appendName(const char *name, StringBuffer &out) {
  if (isValidName(name)) {
    out.append(name);
    return;
  }
  if (!name || !*name) {
    out.appendChar('_');
    return;
  }
  const unsigned char *s = reinterpret_cast<const unsigned char *>(name);
  size_t n = std::strlen(name);
  size_t i = 0;
  while (i < n) {
    unsigned int cp = 0;
    int len = decodeUtf8(s + i, n - i, cp);
    bool ok = len > 0 && (i == 0 ? isNameStartChar(cp) : isNameChar(cp));
    if (ok) {
      out.appendN(name + i, len);
      i += static_cast<size_t>(len);
    } else {
      // A character that may follow but not lead a name keeps its place behind a "_".
      if (i == 0 && len > 0 && isNameChar(cp)) {
        out.appendChar('_');
        out.appendN(name, len);
      } else {
        out.appendChar('_');
      }
      i += len > 0 ? static_cast<size_t>(len) : 1;
    }
  }
}

bool isWellFormedContent(const char *text) {
  if (!text) return true;
  std::string s(text);
  return ContentChecker(s).run();
}

void appendCData(const char *text, StringBuffer &out) {
  out.append("<![CDATA[");
  const char *p = text ? text : "";
  for (;;) {
    const char *end = std::strstr(p, "]]>");
    if (!end) {
      out.append(p);
      break;
    }
    // Close the section between "]]" and ">" so that neither section holds the whole marker.
    out.appendN(p, static_cast<int>(end - p) + 2);
    out.append("]]><![CDATA[");
    p = end + 2;
  }
  out.append("]]>");
}

} // namespace XmlText
