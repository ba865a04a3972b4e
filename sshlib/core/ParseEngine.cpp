#include "sshlib/core/ParseEngine.h"

#include <cstring>
#include <new>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringSearch.h"

namespace {

bool isWhite(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

} // namespace

ParseEngine::ParseEngine() : m_text(m_sb.getString()) {}

ParseEngine::ParseEngine(const DataBuffer &db) {
  m_sb.appendN(reinterpret_cast<const char *>(db.getData2()), static_cast<int>(db.getSize()));
  m_text = m_sb.getString();
  m_length = m_sb.getSize();
}

ParseEngine::ParseEngine(const StringBuffer &text)
    : m_text(text.getString()), m_length(static_cast<int>(std::strlen(text.getString()))) {}

ParseEngine::~ParseEngine() = default;

void ParseEngine::append(const char *text) {
  if (text == nullptr) return;
  // A borrowed text becomes our own copy first.
  if (m_text != m_sb.getString()) m_sb.appendN(m_text, m_length);
  m_sb.append(text);
  m_text = m_sb.getString();
  m_length = m_sb.getSize();
}

void ParseEngine::advance() {
  if (!atEnd()) ++m_cursor;
}

void ParseEngine::skip(int n) {
  while (n-- > 0 && !atEnd())
    ++m_cursor;
}

void ParseEngine::skipWhiteSpace() {
  while (isWhite(m_text[m_cursor]))
    ++m_cursor;
}

void ParseEngine::skipWhiteSpace(StringBuffer &out) {
  const int start = m_cursor;
  skipWhiteSpace();
  if (m_cursor > start) out.appendN(m_text + start, m_cursor - start);
}

bool ParseEngine::startsWith(const char *s) const {
  // The text's NUL differs from every byte of s, so the loop never reads past it.
  for (const char *p = m_text + m_cursor; *s; ++s, ++p)
    if (*p != *s) return false;
  return true;
}

bool ParseEngine::startsWithNoCase(const char *s) const {
  const char *p = m_text + m_cursor;
  for (; *s; ++s, ++p) {
    if (*p == '\0' || lowerAscii(*p) != lowerAscii(*s)) return false;
  }
  return true;
}

void ParseEngine::skipUntilChar(char c) {
  m_cursor = static_cast<int>(strchrnul(m_text + m_cursor, c) - m_text);
}

bool ParseEngine::skipUntilChar2(char c1, char c2) {
  const char stops[3] = {c1, c2, '\0'};
  m_cursor += static_cast<int>(std::strcspn(m_text + m_cursor, stops));
  return m_text[m_cursor] != c2 || m_text[m_cursor] == '\0';
}

bool ParseEngine::seekAndSkipExact(const char *s) {
  if (s == nullptr || *s == '\0') return false;
  const char *hit = std::strstr(m_text + m_cursor, s);
  if (hit == nullptr) return false;
  m_cursor = static_cast<int>(hit - m_text) + static_cast<int>(std::strlen(s));
  return true;
}

bool ParseEngine::seekAndCopy(const char *s, StringBuffer &out) {
  const char *hit = stristr(m_text + m_cursor, s);
  if (hit == nullptr) return false;
  const int stop = static_cast<int>(hit - m_text) + static_cast<int>(std::strlen(s));
  out.appendN(m_text + m_cursor, stop - m_cursor);
  m_cursor = stop;
  return true;
}

void ParseEngine::captureToNextChar(char c, StringBuffer &out) {
  const int start = m_cursor;
  skipUntilChar(c);
  if (m_cursor > start) out.appendN(m_text + start, m_cursor - start);
}

int ParseEngine::captureSet(const char *set, int setLen, StringBuffer &out) {
  if (set == nullptr || setLen <= 0) return 0;
  const int start = m_cursor;
  char stops[16];
  if (setLen < static_cast<int>(sizeof(stops))) {
    // strcspn stops at the text's NUL as well, so a NUL in the set changes nothing.
    std::memcpy(stops, set, static_cast<size_t>(setLen));
    stops[setLen] = '\0';
    m_cursor += static_cast<int>(std::strcspn(m_text + m_cursor, stops));
  } else {
    while (m_text[m_cursor] &&
           std::memchr(set, m_text[m_cursor], static_cast<size_t>(setLen)) == nullptr)
      ++m_cursor;
  }
  if (m_cursor > start) out.appendN(m_text + start, m_cursor - start);
  return m_cursor - start;
}

void ParseEngine::captureToNext2(const char *set, StringBuffer &out) {
  captureSet(set, 2, out);
}

void ParseEngine::captureToNext5(const char *set, StringBuffer &out) {
  captureSet(set, 5, out);
}

void ParseEngine::captureToNext7(const char *set, StringBuffer &out) {
  captureSet(set, 7, out);
}

int ParseEngine::captureToNext(const char *set, StringBuffer &out) {
  if (set == nullptr) return 0;
  return captureSet(set, static_cast<int>(std::strlen(set)), out);
}

bool ParseEngine::seekAndCopyToClosing(char open, char close, int depth, StringBuffer &out) {
  const int start = m_cursor;
  bool reached = false;
  while (m_text[m_cursor]) {
    const char c = m_text[m_cursor++];
    if (c == close) {
      if (--depth == 0) {
        reached = true;
        break;
      }
    } else if (c == open) {
      ++depth;
    }
  }
  if (m_cursor > start) out.appendN(m_text + start, m_cursor - start);
  return reached;
}

// ---------------------------------------------------------------------------------------------

ParseBuffer::ParseBuffer() : m_buffer(new (std::nothrow) char[32000]), m_capacity(32000) {
  if (m_buffer == nullptr)
    m_capacity = 0;
  else
    m_buffer[0] = '\0';
}

ParseBuffer::~ParseBuffer() {
  delete[] m_buffer;
}

void ParseBuffer::discard(int n) {
  if (m_buffer == nullptr) return;
  if (n >= 0 && n < m_count) {
    std::memmove(m_buffer, m_buffer + n, static_cast<size_t>(m_count - n));
    m_count -= n;
    m_buffer[m_count] = '\0';
  } else {
    m_count = 0;
    m_buffer[0] = '\0';
  }
}

void ParseBuffer::discardAll() {
  if (m_count != 0) discard(m_count);
}
