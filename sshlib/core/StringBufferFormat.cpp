// StringBuffer: numbers and hex, splitting, code-page conversion and whole-file loading and
// saving.
#include "sshlib/core/StringBuffer.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/EncodingConvert.h"
#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/FileSys.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/RazudodHandle.h"
#include "sshlib/core/XString.h"
#include "sshlib/core/ck64.h"

namespace {

const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
const char kUpperHex[] = "0123456789ABCDEF";

// Decimal text of a magnitude, least significant digit first, then a sign, reversed.
bool appendDecimal(StringBuffer &sb, unsigned long long magnitude, bool negative) {
  char buf[48];
  int n = 0;
  do {
    buf[n++] = kDigits[magnitude % 10];
    magnitude /= 10;
  } while (magnitude != 0 && n < 38);
  if (negative) buf[n++] = '-';
  StringBuffer::reverse_string(buf, n);
  return sb.appendN(buf, n);
}

int hexDigitValue(unsigned char c) {
  if (c < ':') return c - 48;
  if (c >= 'a' && c <= 'f') c = static_cast<unsigned char>(c - 32);
  return c - 55;
}

} // namespace

// ---- Numbers ----

bool StringBuffer::append(int v) {
  check();
  bool negative = v < 0;
  unsigned long long magnitude = negative
                                     ? static_cast<unsigned long long>(-(static_cast<long long>(v)))
                                     : static_cast<unsigned long long>(v);
  return appendDecimal(*this, magnitude, negative);
}

bool StringBuffer::append(unsigned int v) {
  check();
  return appendDecimal(*this, v, false);
}

bool StringBuffer::appendInt64(int64_t v) {
  check();
  return ck64::Int64ToString(v, *this);
}

int StringBuffer::intValue() const {
  check();
  // As "%d" reads it, but a number too large for an int is held at the limit instead of
  // being undefined.
  errno = 0;
  long v = std::strtol(m_str, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

const char *StringBuffer::numString(int v) {
  // One buffer per thread, so that callers on different threads do not overwrite each other.
  static thread_local char buf[32];
  std::snprintf(buf, sizeof buf, "%d", v);
  return buf;
}

void StringBuffer::reverse_string(char *buf, int n) {
  if (!buf || n <= 0) return;
  for (int i = 0, j = n - 1; i < j; ++i, --j) {
    char t = buf[i];
    buf[i] = buf[j];
    buf[j] = t;
  }
}

// ---- Hex ----

void StringBuffer::appendHexData(const unsigned char *p, int n) {
  check();
  if (!p || n < 1) return;
  char buf[128];
  int used = 0;
  for (int i = 0; i < n; ++i) {
    if (used > static_cast<int>(sizeof buf) - 4) {
      appendN(buf, used);
      used = 0;
    }
    buf[used++] = kUpperHex[p[i] >> 4];
    buf[used++] = kUpperHex[p[i] & 15];
    int inLine = i % 16;
    if (inLine == 15)
      buf[used++] = '\n';
    else if (inLine % 2 == 1)
      buf[used++] = ' ';
  }
  if (used) appendN(buf, used);
}

void StringBuffer::appendHexDataNoWS(const unsigned char *p, int n) {
  check();
  if (!p || n < 1) return;
  DataBuffer::toHexString2(p, static_cast<unsigned int>(n), *this);
}

void StringBuffer::appendSmallDataAsSpacedHexString(const unsigned char *p, int n) {
  check();
  if (!p || n < 1) return;
  static const char lower[] = "0123456789abcdef";
  for (int i = 0; i < n; ++i) {
    char item[3] = {lower[p[i] >> 4], lower[p[i] & 15], ' '};
    appendN(item, 3);
  }
}

void StringBuffer::canonicalizeHexString() {
  check();
  if (m_length % 2 == 1) prepend("0");
}

void StringBuffer::hexStringToBinary(DataBuffer &out) const {
  check();
  hexStringToBinary2(m_str, static_cast<unsigned int>(m_length), out);
}

void StringBuffer::hexStringToBinary2(const char *text, unsigned int n, DataBuffer &out) {
  if (!text || n == 0) return;
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
  unsigned char buf[500];
  unsigned int used = 0;
  unsigned int i = 0;
  if (n % 2 == 1) {
    buf[used++] = static_cast<unsigned char>(hexDigitValue(s[0]));
    i = 1;
  }
  for (; i + 1 < n; i += 2) {
    if (used == sizeof buf) {
      out.append(buf, used);
      used = 0;
    }
    int hi = hexDigitValue(s[i]);
    int lo = hexDigitValue(s[i + 1]);
    buf[used++] = static_cast<unsigned char>(hi * 16 + lo);
  }
  if (used) out.append(buf, used);
}

// ---- Splitting ----

namespace {

// Gathers the bytes of one part and hands them over in pieces.
class PartBuilder {
public:
  explicit PartBuilder(ExtPtrArray &out) : m_out(out) { start(); }
  bool ok() const { return m_part != nullptr; }
  void add(char c) {
    if (m_used == sizeof m_buf) flush();
    m_buf[m_used++] = c;
  }
  // Finishes the part (trimmed to its size) and starts another unless last.
  void finish(bool last) {
    flush();
    m_part->minimizeMemoryUsage();
    if (!m_out.append(m_part)) delete m_part;
    m_part = nullptr;
    if (!last) start();
  }

private:
  void start() { m_part = new StringBuffer(); }
  void flush() {
    if (m_used && m_part) m_part->appendN(m_buf, m_used);
    m_used = 0;
  }
  ExtPtrArray &m_out;
  StringBuffer *m_part = nullptr;
  char m_buf[255];
  int m_used = 0;
};

} // namespace

void StringBuffer::split(ExtPtrArray &out, char delim, bool quotes, bool escapes) const {
  check();
  if (m_length == 0 || m_str[0] == '\0') return;
  PartBuilder part(out);
  bool escaped = false;
  bool inQuotes = false;
  for (const char *p = m_str; *p; ++p) {
    char c = *p;
    if (escapes && escaped) {
      part.add(c);
      escaped = false;
    } else if (escapes && c == '\\') {
      part.add(c);
      escaped = true;
    } else if (quotes && c == '"') {
      part.add(c);
      inQuotes = !inQuotes;
    } else if (quotes && inQuotes) {
      part.add(c);
    } else if (c == delim) {
      part.finish(false);
    } else {
      part.add(c);
    }
  }
  part.finish(true);
}

void StringBuffer::splitUsingBoundary(const StringBuffer &boundary, ExtPtrArray &out,
                                      int maxParts) const {
  check();
  StringBuffer copy(m_str);
  const char *text = copy.getString();
  const char *b = boundary.getString();
  size_t blen = std::strlen(b);
  if (blen == 0) {
    // No boundary to cut at: the whole text is the one part.
    if (*text) {
      StringBuffer *part = new StringBuffer(text);
      if (!out.append(part)) delete part;
    }
    return;
  }
  const char *p = text;
  int made = 0;
  for (;;) {
    while (std::strncmp(p, b, blen) == 0)
      p += blen;
    if (!*p) break;
    const char *next = std::strstr(p, b);
    size_t n = next ? static_cast<size_t>(next - p) : std::strlen(p);
    StringBuffer *part = new StringBuffer(p, static_cast<int>(n), 0);
    if (!out.append(part)) delete part;
    ++made;
    p += n;
    if (next) p += blen;
    if (maxParts != 0 && made >= maxParts) break;
  }
}

// ---- Conversion ----

void StringBuffer::convertEncoding(int fromCp, int toCp) {
  check();
  if (m_length == 0 || fromCp == 0 || toCp == 0) return;
  if (fromCp == 437 && (toCp == 65001 || toCp == 1252 || toCp == 28591)) {
    bool sevenBit = true;
    for (int i = 0; i < m_length; ++i)
      if (static_cast<unsigned char>(m_str[i]) & 0x80) {
        sevenBit = false;
        break;
      }
    if (sevenBit) return;
  }
  DataBuffer db;
  EncodingConvert conv;
  conv.EncConvert(fromCp, toCp, reinterpret_cast<const unsigned char *>(m_str),
                  static_cast<unsigned int>(m_length), db);
  clear();
  append(db);
}

void StringBuffer::cvAnsiToUtf8() {
  check();
  DataBuffer db;
  db.ensureBuffer(static_cast<unsigned int>(m_length) + 32);
  EncodingConvert conv;
  conv.AnsiToMultiByte(65001, m_str, m_length, db);
  clear();
  if (db.getSize() == 0) return;
  db.appendChar(0);
  takeFromDb(db);
}

// ---- Files ----

bool StringBuffer::loadFromFile(XString &path, LogBase *log) {
  check();
  RazudodHandle handle;
  int errCode = 0;
  if (!FileSys::OpenForRead3(handle, path, errCode, log)) return false;
  long long size = handle.fileSize64(log);
  if (size == 0) return true;
  if (size < 0) {
    if (log) {
      log->LogData("filename", path.getUtf8());
      log->LogError("Failed to get file size when loading string from file");
    }
    return false;
  }
  // The whole file must fit in the text's 32-bit length, with room for the terminators.
  if (size > static_cast<long long>(INT_MAX) - 4 - m_length ||
      !expectNumBytes(static_cast<int>(size) + 4)) {
    if (log) {
      log->LogError("Out of memory reading file into string buffer");
      log->LogDataInt64("fileSize", size);
    }
    return false;
  }
  unsigned int want = static_cast<unsigned int>(size);
  unsigned int got = 0;
  bool eof = false;
  if (!handle.readBytesToBuf32(m_str + m_length, want, got, eof, log)) {
    m_str[m_length] = '\0';
    if (log) {
      log->LogData("filename", path.getUtf8());
      log->LogError("Failed to read data from file");
    }
    return false;
  }
  if (got < want) {
    m_str[m_length] = '\0';
    if (log) {
      char num[32];
      std::snprintf(num, sizeof num, "%u", want);
      log->LogData("filesize", num);
      std::snprintf(num, sizeof num, "%u", got);
      log->LogData("bytes_received", num);
      log->LogData("filename", path.getUtf8());
      log->LogError("Failed to read the entire file");
    }
    return false;
  }
  m_length += static_cast<int>(want);
  m_str[m_length] = '\0';

  const unsigned char *s = reinterpret_cast<const unsigned char *>(m_str);
  int fromCp = 0;
  if (m_length >= 2 && s[0] == 0xFF && s[1] == 0xFE)
    fromCp = 1200;
  else if (m_length >= 2 && s[0] == 0xFE && s[1] == 0xFF)
    fromCp = 1201;
  if (fromCp) {
    DataBuffer db;
    EncodingConvert conv;
    conv.EncConvert(fromCp, 65001, s, static_cast<unsigned int>(m_length), db);
    clear();
    append(db);
  } else if (m_length > 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) {
    removeChunk(0, 3);
  }
  return true;
}

StringBuffer *StringBuffer::createFromFile(XString &path, LogBase *log) {
  bool ok = false;
  long long size = FileSys::fileSizeUtf8_64(path.getUtf8(), nullptr, ok);
  // A StringBuffer's length is a signed 32-bit number.
  if (size + 200 > INT_MAX) {
    if (log) log->LogError("File too large to hold in memory");
    return nullptr;
  }
  if (!ok) return nullptr;
  StringBuffer *sb = new StringBuffer(static_cast<int>(size) + 200);
  if (sb->getCapacity() < size + 200) {
    delete sb;
    if (log) log->LogError("File too large to hold in memory.");
    return nullptr;
  }
  if (!sb->loadFromFile(path, log)) {
    delete sb;
    return nullptr;
  }
  return sb;
}

bool StringBuffer::saveToFileUtf8(const char *path, LogBase *log) const {
  return FileSys::writeFileUtf8(path, m_str, static_cast<unsigned int>(m_length), log);
}
