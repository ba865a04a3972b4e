#include "sshlib/core/StringBuffer.h"

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringSearch.h"
#include "sshlib/core/ckMemory.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <strings.h>

namespace {
// Text block of every StringBuffer that could not get memory of its own; never freed, never
// written (it always holds the empty text).
char s_outOfMemBuf[1] = {'\0'};

char *newBlock(int64_t n) {
  if (n <= 0 || n > INT_MAX) return nullptr;
  return reinterpret_cast<char *>(ckNewBytes(static_cast<size_t>(n)));
}

inline bool isWs(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Construction

StringBuffer::StringBuffer() : m_marker(0xAA), m_reserve(202) {
  m_str = newBlock(202);
  m_capacity = 202;
  if (!m_str) {
    m_str = newBlock(4);
    m_capacity = 4;
  }
  if (!m_str) {
    m_str = s_outOfMemBuf;
    m_capacity = 1;
    return;
  }
  m_str[0] = '\0';
}

void StringBuffer::initCopy(const char *p, int n, int reserve) {
  m_marker = 0xAA;
  m_reserve = reserve;
  if (!p || n < 0) n = 0;
  m_str = newBlock(static_cast<int64_t>(n) + 1);
  if (!m_str) {
    m_str = s_outOfMemBuf;
    m_capacity = 1;
    m_length = 0;
    return;
  }
  m_capacity = n + 1;
  if (n) std::memcpy(m_str, p, static_cast<size_t>(n));
  m_length = n;
  m_str[n] = '\0';
}

StringBuffer::StringBuffer(int reserve) {
  m_marker = 0xAA;
  m_reserve = reserve <= 0 ? 200 : reserve;
  m_str = newBlock(m_reserve);
  if (!m_str) {
    m_str = s_outOfMemBuf;
    m_capacity = 1;
    return;
  }
  m_capacity = m_reserve;
  m_str[0] = '\0';
}

StringBuffer::StringBuffer(const char *bytes, int n, int reserve) {
  initCopy(bytes, n, reserve <= 0 ? 200 : reserve);
}

StringBuffer::StringBuffer(const char *s) {
  if (!s) {
    m_marker = 0xAA;
    m_reserve = 200;
    m_str = newBlock(4);
    if (!m_str) {
      m_str = s_outOfMemBuf;
      m_capacity = 1;
      return;
    }
    m_capacity = 4;
    m_str[0] = '\0';
    return;
  }
  size_t n = std::strlen(s);
  initCopy(n < INT_MAX ? s : nullptr, n < INT_MAX ? static_cast<int>(n) : 0, 200);
}

StringBuffer::StringBuffer(const StringBuffer &other) : RazudodObject(other) {
  initCopy(other.m_str, other.m_length, 200);
  m_cp = other.m_cp;
}

StringBuffer &StringBuffer::operator=(const StringBuffer &other) {
  if (this != &other) {
    setString(other);
    m_cp = other.m_cp;
  }
  return *this;
}

StringBuffer::~StringBuffer() {
  m_marker = 0;
  freeBlock();
  // A later use of the destroyed object fails the marker test and finds no usable fields.
  m_str = reinterpret_cast<char *>(static_cast<uintptr_t>(0xDDDDDDDDu));
  m_capacity = m_length = m_reserve = static_cast<int>(0xDDDDDDDDu);
}

void StringBuffer::check() const {
  if (m_marker != 0xAA) ckFatalInternalError("StringBuffer used after destruction or overwritten");
}

void StringBuffer::freeBlock() {
  if (m_str && m_str != s_outOfMemBuf) ckFreeBytes(m_str);
  m_str = nullptr;
}

// Room for `added` more bytes plus the NUL; false (nothing changed) when the block would not fit
// the 32-bit length or cannot be allocated.
bool StringBuffer::grow(int64_t added, bool adjustReserve) {
  if (added < 0) return false;
  int64_t needed = static_cast<int64_t>(m_length) + added;
  if (needed < m_capacity) return true;
  if (needed + 1 > INT_MAX) return false;
  // The reserve is slack only: where it would pass the 32-bit length it is cut there, and when
  // that block cannot be had the exact size is tried.
  int64_t newCap = needed + m_reserve + 1;
  const bool cut = newCap > INT_MAX;
  if (cut) newCap = INT_MAX;
  char *block = newBlock(newCap);
  if (!block && cut && newCap > needed + 1) {
    newCap = needed + 1;
    block = newBlock(newCap);
  }
  if (!block) return false;
  std::memcpy(block, m_str, static_cast<size_t>(m_length) + 1);
  freeBlock();
  m_str = block;
  m_capacity = static_cast<int>(newCap);
  // The reserve follows half the block without a ceiling, so that blocks grow geometrically and
  // appending stays linear however long the text gets.
  if (adjustReserve && m_capacity / 2 > m_reserve) m_reserve = m_capacity / 2;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Plain accessors

char *StringBuffer::pCharAt(int index) {
  if (index < 0 || index > m_length) return nullptr;
  return m_str + index;
}

const char *StringBuffer::pCharAt(int index) const {
  if (index < 0 || index > m_length) return nullptr;
  return m_str + index;
}

char StringBuffer::charAt(int index) const {
  if (index < 0 || index >= m_length) return 0;
  return m_str[index];
}

void StringBuffer::putCP(int cp) {
  m_cp = (cp >= 0 && cp <= 2) ? static_cast<unsigned char>(cp) : 0;
}

int StringBuffer::countCharOccurances(char c) const {
  int n = 0;
  for (int i = 0; i < m_length; ++i)
    if (m_str[i] == c) ++n;
  return n;
}

bool StringBuffer::endsWith(const char *s) const {
  if (!s) return false;
  size_t n = std::strlen(s);
  if (n == 0) return true;
  if (n > static_cast<size_t>(m_length)) return false;
  return std::strcmp(m_str + m_length - n, s) == 0;
}

bool StringBuffer::endsWithIgnoreCase(const char *s) const {
  if (!s) return false;
  size_t n = std::strlen(s);
  if (n == 0) return true;
  if (n > static_cast<size_t>(m_length)) return false;
  return strcasecmp(m_str + m_length - n, s) == 0;
}

bool StringBuffer::getBetween(const char *begin, const char *end, StringBuffer &out) const {
  if (!begin || !end || !*begin || !*end) return false;
  const char *b = std::strstr(m_str, begin);
  if (!b) return false;
  b += std::strlen(begin);
  const char *e = std::strstr(b, end);
  if (!e) return false;
  if (e > b) out.appendN(b, static_cast<int>(e - b));
  return true;
}

void StringBuffer::releaseBuffer() {
  freeBlock();
  // Stay usable: an empty text in the static block.
  m_str = s_outOfMemBuf;
  m_capacity = 1;
  m_length = 0;
}

// ---------------------------------------------------------------------------------------------
// Storage

void StringBuffer::clear() {
  check();
  m_length = 0;
  if (m_str != s_outOfMemBuf) m_str[0] = '\0';
}

void StringBuffer::secureClear() {
  check();
  if (m_length > 0) std::memset(m_str, ' ', static_cast<size_t>(m_length));
  clear();
}

void StringBuffer::shorten(int n) {
  check();
  // Taken as unsigned: a negative count empties the text.
  unsigned int un = static_cast<unsigned int>(n);
  if (un >= static_cast<unsigned int>(m_length))
    m_length = 0;
  else
    m_length -= static_cast<int>(un);
  if (m_str != s_outOfMemBuf) m_str[m_length] = '\0';
}

bool StringBuffer::expectNumBytes(int n, int) {
  check();
  return grow(n, true);
}

void StringBuffer::minimizeMemoryUsage() {
  check();
  if (m_capacity <= m_length + 4) return;
  char *block = newBlock(static_cast<int64_t>(m_length) + 1);
  if (!block) return;
  std::memcpy(block, m_str, static_cast<size_t>(m_length) + 1);
  freeBlock();
  m_str = block;
  m_capacity = m_length + 1;
}

char *StringBuffer::extractString(int *len) {
  check();
  char *out = m_str;
  if (len) *len = m_length;
  if (out == s_outOfMemBuf) {
    // The caller frees what it gets, so it must never get the static block.
    out = newBlock(1);
    if (out) out[0] = '\0';
  }
  m_str = newBlock(m_reserve);
  m_length = 0;
  if (m_str) {
    m_capacity = m_reserve;
    m_str[0] = '\0';
  } else {
    m_str = s_outOfMemBuf;
    m_capacity = 1;
  }
  return out;
}

bool StringBuffer::takeFromDb(DataBuffer &db) {
  check();
  clear();
  if (db.getSize() <= 1) return true;
  // The text must end at a NUL inside the block; add one when the producer forgot it.
  if (db.lastByte() != 0 && !db.appendChar(0)) return false;
  if (db.getBufSize() > static_cast<unsigned int>(INT_MAX) || db.isBorrowed()) {
    // Too big for the 32-bit length, or not the buffer's memory to give away: copy.
    if (db.getSize() - 1 > static_cast<unsigned int>(INT_MAX) - 1) return false;
    return appendN(reinterpret_cast<const char *>(db.getData2()),
                   static_cast<int>(db.getSize() - 1));
  }
  freeBlock();
  m_str = reinterpret_cast<char *>(db.getData2());
  m_capacity = static_cast<int>(db.getBufSize());
  m_length = static_cast<int>(db.getSize() - 1);
  m_reserve = 1024;
  db.dropData();
  return true;
}

// ---------------------------------------------------------------------------------------------
// Appending

bool StringBuffer::appendN(const char *p, int n) {
  check();
  if (!p || n < 1) return true;
  // The bytes may lie in this very block; find them again after a reallocation.
  bool inside = p >= m_str && p < m_str + m_capacity;
  ptrdiff_t off = inside ? p - m_str : 0;
  if (!grow(n, true)) return false;
  if (inside) p = m_str + off;
  std::memmove(m_str + m_length, p, static_cast<size_t>(n));
  m_length += n;
  m_str[m_length] = '\0';
  return true;
}

char *StringBuffer::appendSpace(int n) {
  check();
  if (n < 0 || !grow(n, true)) return nullptr;
  char *start = m_str + m_length;
  m_length += n;
  m_str[m_length] = '\0';
  return start;
}

bool StringBuffer::append(const char *s) {
  check();
  if (!s) return true;
  size_t n = std::strlen(s);
  if (n == 0) {
    if (m_str != s_outOfMemBuf) m_str[m_length] = '\0';
    return true;
  }
  if (n > static_cast<size_t>(INT_MAX)) return false;
  return appendN(s, static_cast<int>(n));
}

bool StringBuffer::append(const StringBuffer &sb) {
  return appendN(sb.m_str, sb.m_length);
}

bool StringBuffer::append(const DataBuffer &db) {
  if (db.getSize() > static_cast<unsigned int>(INT_MAX)) return false;
  return appendN(reinterpret_cast<const char *>(db.getData2()), static_cast<int>(db.getSize()));
}

bool StringBuffer::append3(const char *a, const char *b, const char *c) {
  return append(a) && append(b) && append(c);
}

void StringBuffer::appendChar(char c) {
  check();
  if (!grow(1, true)) return;
  m_str[m_length++] = c;
  m_str[m_length] = '\0';
}

bool StringBuffer::appendCharN(char c, int n) {
  check();
  if (n < 1) return true;
  if (!grow(n, true)) return false;
  std::memset(m_str + m_length, static_cast<unsigned char>(c), static_cast<size_t>(n));
  m_length += n;
  m_str[m_length] = '\0';
  return true;
}

bool StringBuffer::setString(const char *s) {
  check();
  // The argument may point into this text: copy it first.
  StringBuffer copy(s);
  clear();
  return append(copy);
}

bool StringBuffer::setString(const StringBuffer &sb) {
  check();
  if (&sb == this) return true;
  clear();
  return append(sb);
}

bool StringBuffer::prepend(const char *s) {
  check();
  if (!s) return true;
  size_t n = std::strlen(s);
  if (n == 0) {
    if (m_str != s_outOfMemBuf) m_str[m_length] = '\0';
    return true;
  }
  if (n > static_cast<size_t>(INT_MAX)) return false;
  StringBuffer copy(s, static_cast<int>(n), 0);
  if (copy.m_length != static_cast<int>(n) || !grow(static_cast<int64_t>(n), false)) return false;
  std::memmove(m_str + n, m_str, static_cast<size_t>(m_length) + 1);
  std::memcpy(m_str, copy.m_str, n);
  m_length += static_cast<int>(n);
  return true;
}

bool StringBuffer::copyUntil(const char *marker, int start, unsigned int &count,
                             StringBuffer &out) const {
  check();
  count = 0;
  if (!marker || start < 0 || start >= m_length) return false;
  const char *p = std::strstr(m_str + start, marker);
  if (!p) return false;
  count = static_cast<unsigned int>(p - (m_str + start));
  if (count) out.appendN(m_str + start, static_cast<int>(count));
  return true;
}

// ---------------------------------------------------------------------------------------------
// Removing and trimming

void StringBuffer::trim2() {
  check();
  if (m_length == 0) return;
  int end = m_length;
  while (end > 0 && isWs(m_str[end - 1]))
    --end;
  int begin = 0;
  while (begin < end && isWs(m_str[begin]))
    ++begin;
  if (begin > 0) std::memmove(m_str, m_str + begin, static_cast<size_t>(end - begin));
  m_length = end - begin;
  m_str[m_length] = '\0';
}

void StringBuffer::trimTrailingCRLFs() {
  check();
  while (m_length > 0 && (m_str[m_length - 1] == '\r' || m_str[m_length - 1] == '\n'))
    --m_length;
  if (m_str != s_outOfMemBuf) m_str[m_length] = '\0';
}

void StringBuffer::trimInsideSpaces() {
  check();
  int len = static_cast<int>(std::strlen(m_str));
  int w = 0;
  for (int r = 0; r < len; ++r) {
    char c = m_str[r];
    if (c == '\r' || c == '\t' || c == '\n') c = ' ';
    if (c == ' ' && w > 0 && m_str[w - 1] == ' ') continue;
    m_str[w++] = c;
  }
  m_length = w;
  if (m_str != s_outOfMemBuf) m_str[m_length] = '\0';
}

void StringBuffer::removeChunk(int start, int count) {
  check();
  if (start < 0 || count < 0 || start >= m_length) return;
  int64_t after = static_cast<int64_t>(start) + count;
  if (after > m_length) return;
  size_t rest = strnlen(m_str + after, static_cast<size_t>(m_length - after));
  std::memmove(m_str + start, m_str + after, rest);
  m_length = start + static_cast<int>(rest);
  m_str[m_length] = '\0';
}

void StringBuffer::removeCharOccurances(char c) {
  eliminateChar(c, 0);
}

void StringBuffer::eliminateChar(char c, int start) {
  check();
  if (start < 0 || m_length <= start) return;
  int w = start;
  for (int r = start; r < m_length; ++r)
    if (m_str[r] != c) m_str[w++] = m_str[r];
  m_length = w;
  m_str[m_length] = '\0';
}

void StringBuffer::chopAtFirstChar(char c) {
  check();
  char *p = std::strchr(m_str, c);
  if (!p || p - m_str >= m_length) return;
  m_length = static_cast<int>(p - m_str);
  if (m_str != s_outOfMemBuf) m_str[m_length] = '\0';
}

void StringBuffer::chopAtSubstr(const char *s, bool keepSubstr) {
  check();
  if (!s || !*s) return;
  char *p = std::strstr(m_str, s);
  if (!p) return;
  m_length = static_cast<int>(p - m_str) + (keepSubstr ? static_cast<int>(std::strlen(s)) : 0);
  m_str[m_length] = '\0';
}

void StringBuffer::removeInvalidXmlTagChars() {
  check();
  int w = 0;
  for (int r = 0; r < m_length; ++r) {
    unsigned char c = static_cast<unsigned char>(m_str[r]);
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '.' || c == '_' || c == ':' || c == '!' || c >= 0x80;
    if (keep) m_str[w++] = static_cast<char>(c);
  }
  m_length = w;
  if (m_str != s_outOfMemBuf) m_str[m_length] = '\0';
}

void StringBuffer::stripDirectory() {
  check();
  int last = -1;
  for (int i = 0; i < m_length && m_str[i]; ++i)
    if (m_str[i] == '/' || m_str[i] == '\\') last = i;
  if (last < 0) return;
  removeChunk(0, last + 1);
}

// ---------------------------------------------------------------------------------------------
// Replacing

int StringBuffer::replaceAll(const char *find, const char *with, bool noCase) {
  check();
  if (!find || !*find) return 0;
  auto search = [noCase](const char *h, const char *n) -> const char * {
    return noCase ? stristr(h, n) : std::strstr(h, n);
  };
  const char *hit = search(m_str, find);
  if (!hit) return 0;
  size_t findLen = std::strlen(find);
  StringBuffer out(m_reserve);
  if (out.m_str == s_outOfMemBuf) return 0;
  const char *p = m_str;
  const char *end = m_str + m_length;
  int count = 0;
  while (hit) {
    if (!out.appendN(p, static_cast<int>(hit - p)) || !out.append(with)) return 0;
    ++count;
    p = hit + findLen;
    hit = search(p, find);
  }
  if (!out.appendN(p, static_cast<int>(end - p))) return 0;
  // Take the rebuilt block over.
  freeBlock();
  m_str = out.m_str;
  m_capacity = out.m_capacity;
  m_length = out.m_length;
  m_reserve = out.m_reserve;
  out.m_str = s_outOfMemBuf;
  out.m_capacity = 1;
  out.m_length = 0;
  return count;
}

int StringBuffer::replaceAllOccurances(const char *find, const char *with) {
  return replaceAll(find, with, false);
}

int StringBuffer::replaceAllOccurancesNoCase(const char *find, const char *with) {
  return replaceAll(find, with, true);
}

bool StringBuffer::replaceFirstOccurance(const char *find, const char *with) {
  check();
  if (!find || !*find || !m_str) return false;
  char *hit = std::strstr(m_str, find);
  if (!hit) return false;
  if (!with) return true;
  int at = static_cast<int>(hit - m_str);
  int after = at + static_cast<int>(std::strlen(find));
  StringBuffer rest(m_str + after, m_length - after, 0);
  StringBuffer repl(with);
  int64_t newLen = static_cast<int64_t>(at) + repl.m_length + rest.m_length;
  if (newLen > INT_MAX - 1) return false;
  if (!grow(newLen - m_length > 0 ? newLen - m_length : 0, true)) return false;
  m_length = at;
  m_str[m_length] = '\0';
  append(repl);
  append(rest);
  return true;
}

void StringBuffer::replaceCharAnsi(char from, char to) {
  check();
  for (int i = 0; i < m_length; ++i)
    if (m_str[i] == from) m_str[i] = to;
}

void StringBuffer::replaceHTMLSpecial() {
  replaceAllOccurances("&", "&amp;");
  replaceAllOccurances("<", "&lt;");
  replaceAllOccurances(">", "&gt;");
  replaceAllOccurances("\"", "&quot;");
}

void StringBuffer::toLF() {
  replaceAllOccurances("\r\n", "\n");
}

void StringBuffer::toCRLF() {
  removeCharOccurances('\r');
  replaceAllOccurances("\n", "\r\n");
}

// ---------------------------------------------------------------------------------------------
// Case

void StringBuffer::toLowerCase() {
  check();
  for (char *p = m_str; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDF)) *p = static_cast<char>(c + 0x20);
  }
}

void StringBuffer::toUpperCase() {
  check();
  for (char *p = m_str; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if ((c >= 'a' && c <= 'z') || c >= 0xE0) *p = static_cast<char>(c - 0x20);
  }
}

// ---------------------------------------------------------------------------------------------
// Searching and comparing

bool StringBuffer::containsChar(char c) const {
  check();
  return std::strchr(m_str, c) != nullptr;
}

bool StringBuffer::containsSubstring(const char *s) const {
  check();
  return s && std::strstr(m_str, s) != nullptr;
}

bool StringBuffer::containsSubstringNoCase(const char *s) const {
  check();
  return s && stristr(m_str, s) != nullptr;
}

bool StringBuffer::beginsWith(const char *s) const {
  check();
  return s && std::strncmp(m_str, s, std::strlen(s)) == 0;
}

bool StringBuffer::beginsWithIgnoreCase(const char *s) const {
  check();
  return s && strncasecmp(m_str, s, std::strlen(s)) == 0;
}

bool StringBuffer::equals(const char *s) const {
  check();
  if (!s) return m_length == 0;
  return m_str[0] == s[0] && std::strcmp(m_str, s) == 0;
}

bool StringBuffer::equals(const StringBuffer &sb) const {
  check();
  return m_length == sb.m_length && std::strcmp(m_str, sb.m_str) == 0;
}

bool StringBuffer::equalsIgnoreCase(const char *s) const {
  check();
  if (!s) return m_length == 0;
  return strcasecmp(m_str, s) == 0;
}

bool StringBuffer::equalsIgnoreCase(const StringBuffer &sb) const {
  check();
  return m_length == sb.m_length && strcasecmp(m_str, sb.m_str) == 0;
}

bool StringBuffer::matches(const char *pattern, bool caseSensitive) const {
  check();
  return wildcardMatch(m_str, pattern, caseSensitive);
}

char StringBuffer::lastChar() const {
  check();
  return m_length > 0 ? m_str[m_length - 1] : 0;
}

bool StringBuffer::is7bit(int n) const {
  check();
  if (n <= 0 || n > m_length) n = m_length;
  for (int i = 0; i < n; ++i)
    if (static_cast<unsigned char>(m_str[i]) & 0x80) return false;
  return true;
}

bool StringBuffer::isLatin1AlphaNumeric(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c >= 0xC0 && c != 0xD7 && c != 0xF7;
}

bool StringBuffer::isCidChar(unsigned char c) {
  if (isLatin1AlphaNumeric(c)) return true;
  return c != 0 && std::strchr("/.@-%:?!_&;", c) != nullptr;
}

const char *StringBuffer::findWordOnlyLatin1(const char *text, const char *word, bool caseSensitive,
                                             bool cidChars) {
  if (!text || !word || !*text || !*word) return nullptr;
  auto isWordByte = [cidChars](char ch) {
    unsigned char c = static_cast<unsigned char>(ch);
    return cidChars ? isCidChar(c) : isLatin1AlphaNumeric(c);
  };
  size_t wlen = std::strlen(word);
  const char *from = text;
  for (;;) {
    const char *hit = caseSensitive ? std::strstr(from, word) : stristr(from, word);
    if (!hit) return nullptr;
    char after = hit[wlen];
    bool okAfter = after == 0 || !isWordByte(after);
    // The byte before is checked against the whole text, so a search resumed inside a rejected
    // occurrence does not accept a match that starts in the middle of a word.
    bool okBefore = hit == text || !isWordByte(hit[-1]);
    if (okAfter && okBefore) return hit;
    from = hit + 1;
  }
}
