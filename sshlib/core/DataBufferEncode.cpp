// DataBuffer: encodings by name, whole-file loading, and the escaped rendering of bytes.
#include "sshlib/core/DataBuffer.h"

#include <strings.h>

#include <climits>
#include <cstring>

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/DataLog.h"
#include "sshlib/core/FileSys.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/RazudodHandle.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/UrlEncode.h"
#include "sshlib/core/XString.h"
#include "sshlib/core/ckMemory.h"

namespace {

enum class Coding { Base64, QuotedPrintable, Hex, Ansi, Url, Unknown };

Coding codingByName(const char *name) {
  StringBuffer n(name ? name : "");
  n.trim2();
  const char *s = n.getString();
  if (strcasecmp(s, "base64") == 0 || strcasecmp(s, "base-64") == 0) return Coding::Base64;
  if (strcasecmp(s, "qp") == 0 || strcasecmp(s, "quoted-printable") == 0)
    return Coding::QuotedPrintable;
  if (strcasecmp(s, "hex") == 0 || strcasecmp(s, "hexidecimal") == 0) return Coding::Hex;
  if (strcasecmp(s, "asc") == 0 || strcasecmp(s, "ansi") == 0) return Coding::Ansi;
  if (strcasecmp(s, "url") == 0) return Coding::Url;
  return Coding::Unknown;
}

// The largest file a buffer can hold: its 32-bit capacity also carries four terminating zeros.
const long long kMaxLoadable = static_cast<long long>(UINT_MAX) - 4;

} // namespace

bool DataBuffer::appendEncoded(const char *text, const char *encoding) {
  check();
  if (!text) text = "";
  DataBuffer decoded;
  StringBuffer trimmed(text);
  trimmed.trim2();
  ContentCoding coder;
  switch (codingByName(encoding)) {
  case Coding::Base64:
    coder.decodeBase64ToDb(trimmed.getString(), trimmed.getSize(), decoded);
    break;
  case Coding::QuotedPrintable:
    coder.decodeQuotedPrintableToDb(trimmed.getString(), trimmed.getSize(), decoded);
    break;
  case Coding::Hex:
    trimmed.hexStringToBinary(decoded);
    break;
  case Coding::Url:
    UrlEncode::urlDecode(StringBuffer(text), decoded);
    break;
  case Coding::Ansi:
  case Coding::Unknown:
    break;
  }
  return append(decoded);
}

void DataBuffer::encode(const char *encoding, StringBuffer &out) const {
  check();
  encode2(encoding, m_data, m_size, out);
}

void DataBuffer::encode2(const char *encoding, const unsigned char *p, unsigned int n,
                         StringBuffer &out) {
  ContentCoding coder;
  int len = n > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(n);
  switch (codingByName(encoding)) {
  case Coding::Base64:
    coder.encodeBase64_noCrLf(p, len, out);
    break;
  case Coding::QuotedPrintable:
    coder.encodeQuotedPrintable(p, len, out);
    break;
  case Coding::Hex:
    toHexString2(p, n, out);
    break;
  case Coding::Ansi:
    if (p) out.appendN(reinterpret_cast<const char *>(p), len);
    break;
  case Coding::Url:
    UrlEncode::urlEncode2(p, n, out);
    break;
  case Coding::Unknown:
    out.clear();
    break;
  }
}

namespace {

// What a loader logs differs by the form its path came in; the work is the same.
enum class LoadStyle { Ansi, Unicode };

} // namespace

// Loads the whole file named by the path (opened by its UTF-8 form) into the emptied buffer.
static bool loadWholeFile(DataBuffer &db, XString &path, LoadStyle style, LogBase *log) {
  RazudodHandle handle;
  int errCode = 0;
  if (!FileSys::OpenForRead3(handle, path, errCode, log)) return false;
  long long size = handle.fileSize64(style == LoadStyle::Ansi ? log : nullptr);
  if (size < 0) return false;
  if (size == 0) return true;
  if (size > kMaxLoadable) {
    if (log) {
      log->LogError(style == LoadStyle::Ansi
                        ? "Out of memory for data buffer"
                        : "Out of memory when loading Unicode file into data buffer.");
      log->LogDataInt64("fileSize", size);
    }
    return false;
  }
  unsigned int n = static_cast<unsigned int>(size);
  unsigned char *block = ckNewBytes(static_cast<size_t>(n) + 4);
  if (!block) {
    if (log) {
      log->LogError(style == LoadStyle::Ansi
                        ? "Out of memory"
                        : "Out of memory when loading Unicode file into data buffer.");
      log->LogDataInt64("fileSize", size);
    }
    return false;
  }
  std::memset(block, 0, static_cast<size_t>(n) + 4);
  // Four zero bytes follow the content, terminating it as 8-, 16- or 32-bit text.
  db.takeData(block, n + 4);
  db.shorten(4);
  unsigned int got = 0;
  bool eof = false;
  bool ok = handle.readBytesToBuf32(block, n, got, eof, log);
  if (!ok) {
    db.setDataSize_CAUTION(got);
    if (log) {
      if (style == LoadStyle::Ansi) {
        log->LogData("filename", path.getUtf8());
        XString cwd;
        FileSys::getCurrentDirLinux(cwd);
        log->LogData("current_dir", cwd.getUtf8());
      } else {
        log->LogLastErrorOS();
      }
    }
    return false;
  }
  if (got < n) {
    db.setDataSize_CAUTION(got);
    if (log && style == LoadStyle::Ansi) log->LogError("Failed to read the entire file");
    return false;
  }
  return true;
}

bool DataBuffer::loadFileAnsi(const char *path, LogBase *log) {
  check();
  clearWithDeallocate();
  m_borrowed = false;
  m_data = nullptr;
  XString x;
  x.setFromAnsi(path);
  return loadWholeFile(*this, x, LoadStyle::Ansi, log);
}

bool DataBuffer::loadFileUnicode(const unsigned short *path, LogBase *log) {
  check();
  clearWithDeallocate();
  m_borrowed = false;
  m_data = nullptr;
  XString x;
  x.setFromUnicode(path);
  return loadWholeFile(*this, x, LoadStyle::Unicode, log);
}

bool DataBuffer::loadFileUtf8(const char *path, LogBase *log) {
  check();
  clearWithDeallocate();
  m_borrowed = false;
  m_data = nullptr;
  XString x;
  x.setFromUtf8(path);
  // Always opened by its UTF-8 bytes; the messages follow the form the path could be held in.
  LoadStyle style = x.validAnsi() ? LoadStyle::Ansi : LoadStyle::Unicode;
  return loadWholeFile(*this, x, style, log);
}

// ---- Escaped rendering ----

void DataLog::toEscapedString(const DataBuffer &data, XString &out, int width) {
  static const char hex[] = "0123456789ABCDEF";
  char area[400];
  int used = 0;
  int column = 0;
  auto flushIfNeeded = [&](bool force) {
    if (used > 390 || (force && used)) {
      out.appendAnsiN(area, used);
      used = 0;
    }
  };
  auto lineBreak = [&]() {
    area[used++] = '\r';
    area[used++] = '\n';
    area[used++] = '\t';
    column = 0;
  };
  const unsigned char *p = data.getData2();
  unsigned int n = p ? data.getSize() : 0;
  for (unsigned int i = 0; i < n; ++i) {
    unsigned char b = p[i];
    int w;
    if (b >= 127 || (b <= 32 && b != '\n' && b != '\r' && b != '\v' && b != '\b' && b != '\f' &&
                     b != '\a' && b != 0)) {
      area[used++] = '\\';
      area[used++] = 'x';
      area[used++] = hex[b >> 4];
      area[used++] = hex[b & 15];
      w = 4;
    } else if (b == '\n') {
      area[used++] = '\\';
      area[used++] = 'n';
      lineBreak();
      flushIfNeeded(false);
      continue;
    } else if (b == '\r' || b == '\v' || b == '\b' || b == '\f' || b == '\a' || b == 0) {
      area[used++] = '\\';
      area[used++] = b == '\r'   ? 'r'
                     : b == '\v' ? 'v'
                     : b == '\b' ? 'b'
                     : b == '\f' ? 'f'
                     : b == '\a' ? 'a'
                                 : '0';
      w = 2;
    } else if (b == '\\' || b == '?' || b == '\'' || b == '"') {
      area[used++] = '\\';
      area[used++] = static_cast<char>(b);
      w = 2;
    } else {
      area[used++] = static_cast<char>(b);
      w = 1;
    }
    column += w;
    if (column >= width) lineBreak();
    flushIfNeeded(false);
  }
  flushIfNeeded(true);
}
