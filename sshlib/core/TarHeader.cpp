#include "sshlib/core/TarHeader.h"

#include <cstring>

#include "sshlib/core/ContentCoding.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/LogBase.h"

namespace {

enum class OctalResult { kValue, kEmpty, kInvalid };

// Reads a field like the "%o" conversion: leading white space, an optional sign, then octal
// digits up to the first other character (the field ends at its first NUL). The value is held
// in 64 bits and refused when it would not fit.
OctalResult parseOctal(const unsigned char *field, int width, uint64_t &value, bool &negative) {
  value = 0;
  negative = false;
  int i = 0;
  while (i < width && field[i] &&
         (field[i] == ' ' || field[i] == '\t' || field[i] == '\n' || field[i] == '\v' ||
          field[i] == '\f' || field[i] == '\r'))
    ++i;
  if (i == width || field[i] == 0) return OctalResult::kEmpty;
  if (field[i] == '+' || field[i] == '-') {
    negative = field[i] == '-';
    ++i;
  }
  if (i == width || field[i] < '0' || field[i] > '7') return OctalResult::kInvalid;
  uint64_t v = 0;
  for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i) {
    if (v > (UINT64_MAX >> 3)) return OctalResult::kInvalid;
    v = (v << 3) | static_cast<uint64_t>(field[i] - '0');
  }
  value = v;
  return OctalResult::kValue;
}

// An octal field into 32 bits: values that do not fit are refused (clamped for times).
bool octal32(const unsigned char *field, int width, uint32_t &out, bool clampHigh) {
  uint64_t v = 0;
  bool neg = false;
  OctalResult r = parseOctal(field, width, v, neg);
  if (r == OctalResult::kInvalid) return false;
  if (r == OctalResult::kEmpty) {
    out = 0;
    return true;
  }
  if (neg) {
    // "%o" stores the negated value modulo 2^32.
    if (v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(0u - static_cast<uint32_t>(v));
    return true;
  }
  if (v > 0xFFFFFFFFull) {
    if (!clampHigh) return false;
    v = 0xFFFFFFFFull;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

// Text of a field up to its first NUL.
void fieldText(const unsigned char *field, int width, StringBuffer &out) {
  int n = 0;
  while (n < width && field[n])
    ++n;
  out.appendN(reinterpret_cast<const char *>(field), n);
}

StringBuffer *optionalText(const unsigned char *field, int width) {
  if (width <= 0 || field[0] == 0) return nullptr;
  StringBuffer *sb = new StringBuffer();
  fieldText(field, width, *sb);
  return sb;
}

void logBlockHex(const unsigned char *block, LogBase &log) {
  log.LogDataHex("tarHeader", block, 512);
}

struct FieldDesc {
  const char *label;
  int offset;
  int width;
};

const FieldDesc kAllFields[] = {
    {"name: ", 0, 100},        {"\r\nmode: ", 100, 8},     {"\r\nuid: ", 108, 8},
    {"\r\ngid: ", 116, 8},     {"\r\nsize: ", 124, 12},    {"\r\nmtime: ", 136, 12},
    {"\r\nchksum: ", 148, 8},  {"\r\ntypeflag: ", 156, 1}, {"\r\nlinkname: ", 157, 100},
    {"\r\nmagic: ", 257, 6},   {"\r\nversion: ", 263, 2},  {"\r\nuname: ", 265, 32},
    {"\r\ngname: ", 297, 32},  {"\r\ndevmajor: ", 329, 8}, {"\r\ndevminor: ", 337, 8},
    {"\r\nprefix: ", 345, 155}};

} // namespace

long long getBase256(const char *field, int width) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(field);
  if (!p || width <= 0) return 0;
  int64_t value = static_cast<int64_t>(p[0] & 0x3F) - static_cast<int64_t>(p[0] & 0x40);
  for (int i = 1; i < width; ++i) {
    if (value >= 0) {
      if (value >= (int64_t(1) << 55)) break;
    } else if ((static_cast<uint64_t>(value) >> 56) != 0xFF) {
      break;
    }
    value = static_cast<int64_t>((static_cast<uint64_t>(value) << 8) | p[i]);
  }
  return value;
}

TarHeader::TarHeader() = default;

TarHeader::~TarHeader() {
  clear();
}

void TarHeader::clear() {
  delete m_linkname;
  delete m_uname;
  delete m_gname;
  m_linkname = m_uname = m_gname = nullptr;
  m_mode = m_uid = m_gid = 0;
  m_size = 0;
  m_mtime = m_checksum = m_atime = m_ctime = 0;
  m_mtime64 = 0;
  m_typeflag = 0;
  std::memset(m_magic, 0, sizeof(m_magic));
  std::memset(m_version, 0, sizeof(m_version));
  m_isDirectory = false;
  m_paxMask = 0;
  m_name.clear();
  m_prefix.clear();
  m_path.clear();
}

bool TarHeader::parseFromMemory(const unsigned char *b, bool &endOfArchive, LogBase &log,
                                bool verbose) {
  clear();
  endOfArchive = false;
  if (!b) {
    log.LogError("Internal error parsing TAR header.");
    return false;
  }
  if (b[0] == 0 && b[156] == 0 && b[124] == 0) {
    bool allZero = true;
    for (int i = 0; i < 512 && allZero; ++i)
      allZero = b[i] == 0;
    if (allZero) {
      endOfArchive = true;
      if (verbose) log.LogInfo("end-of-tar indicated by two all-zero blocks.");
      return true;
    }
  }

  fieldText(b, 100, m_name);
  m_path.setString(m_name);
  if (verbose) log.LogDataQP("filename", m_name.getString()); // a name from the archive

  m_typeflag = static_cast<char>(b[156]);
  m_isDirectory = m_typeflag == '5';

  // Size: base 256 or octal, in 64 bits either way. A negative size is never valid.
  bool sizeOk = true;
  if (b[124] & 0x80) {
    m_size = getBase256(reinterpret_cast<const char *>(b + 124), 12);
    if (m_size < 0) sizeOk = false;
  } else {
    uint64_t v = 0;
    bool neg = false;
    OctalResult r = parseOctal(b + 124, 12, v, neg);
    if (r == OctalResult::kInvalid || (r == OctalResult::kValue && neg && v != 0) ||
        v > static_cast<uint64_t>(INT64_MAX))
      sizeOk = false;
    else
      m_size = static_cast<int64_t>(v);
  }
  if (!sizeOk) {
    m_size = 0;
    debugLogTarHeader(b, log);
    log.LogError("Failed to parse file size in TAR header");
    logBlockHex(b, log);
    return false;
  }
  if (verbose) log.LogDataInt64("fileSize", m_size);

  if (!octal32(b + 100, 8, m_mode, false)) {
    log.LogError("Failed to parse mode/permissions in TAR header");
    StringBuffer text;
    fieldText(b + 100, 8, text);
    log.LogData("octalNum", text.getString());
    logBlockHex(b, log);
    return false;
  }

  struct IdField {
    int offset;
    uint32_t *target;
    const char *message;
  } ids[2] = {{108, &m_uid, "Failed to parse uid in TAR header"},
              {116, &m_gid, "Failed to parse gid in TAR header"}};
  for (const IdField &f : ids) {
    if (b[f.offset] & 0x80) {
      *f.target = static_cast<uint32_t>(
          static_cast<uint64_t>(getBase256(reinterpret_cast<const char *>(b + f.offset), 8)));
    } else if (!octal32(b + f.offset, 8, *f.target, false)) {
      log.LogError(f.message);
      logBlockHex(b, log);
      return false;
    }
  }

  // GNU tar writes times before 1970 (and past the eleven octal digits) in base 256. Reading
  // them keeps such entries instead of failing the archive; the time is held to the 32-bit
  // range of the field (before 1970 reads as 0, like an octal time past it reads as the top).
  if (b[136] & 0x80) {
    const long long t = getBase256(reinterpret_cast<const char *>(b + 136), 12);
    m_mtime = t < 0 ? 0u : t > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(t);
    m_mtime64 = t;
  } else if (!octal32(b + 136, 12, m_mtime, true)) {
    log.LogError("Failed to parse mtime in TAR header");
    logBlockHex(b, log);
    return false;
  } else {
    uint64_t v = 0;
    bool neg = false;
    parseOctal(b + 136, 12, v, neg);
    m_mtime64 = neg || v > static_cast<uint64_t>(INT64_MAX) ? m_mtime : static_cast<int64_t>(v);
  }
  if (!octal32(b + 148, 8, m_checksum, false)) {
    log.LogError("Failed to parse checksum in TAR header");
    logBlockHex(b, log);
    return false;
  }

  m_linkname = optionalText(b + 157, 100);
  std::memcpy(m_magic, b + 257, 6);
  std::memcpy(m_version, b + 263, 2);
  m_uname = optionalText(b + 265, 32);
  m_gname = optionalText(b + 297, 32);

  // The GNU header ("ustar", blank, blank, NUL) has no prefix field: GNU tar keeps the access
  // and change times there (incremental archives fill them), and joining them to the name would
  // put every entry under a folder named after a time. GNU tar carries long names in 'L' entries.
  static const unsigned char kGnuMagic[8] = {'u', 's', 't', 'a', 'r', ' ', ' ', 0};
  if (std::memcmp(b + 257, kGnuMagic, 8) != 0) fieldText(b + 345, 155, m_prefix);
  if (m_prefix.getSize() != 0) {
    m_path.setString(m_prefix);
    m_path.appendChar('/');
    m_path.append(m_name);
  }
  if (m_typeflag == 0 && m_size == 0 && m_path.lastChar() == '/') m_isDirectory = true;
  return true;
}

bool TarHeader::parseFromDataSource(DataSource &src, unsigned char *copyOut, bool &endOfArchive,
                                    LogBase &log) {
  unsigned char block[512];
  unsigned int have = 0;
  // A source may hand out fewer bytes than asked for; keep reading until the block is whole.
  while (have < 512) {
    unsigned int got = src.readBytes(block + have, 1, 512 - have, &log);
    if (got == 0) break;
    have += got;
  }
  if (have != 512) {
    endOfArchive = false;
    log.LogError("Failed to read TAR header.");
    return false;
  }
  if (copyOut) std::memcpy(copyOut, block, 512);
  return parseFromMemory(block, endOfArchive, log, false);
}

void TarHeader::debugLogTarHeader(const unsigned char *block, LogBase &log) {
  if (!block) return;
  ContentCoding cc;
  log.EnterContext("tarHeader", true);
  // The first eleven fields, each as the quoted-printable form of its raw bytes.
  for (int i = 0; i < 11; ++i) {
    const FieldDesc &f = kAllFields[i];
    StringBuffer qp;
    cc.encodeQuotedPrintable(block + f.offset, f.width, qp);
    const char *tag = f.label;
    while (*tag == '\r' || *tag == '\n')
      ++tag;
    StringBuffer name(tag);
    name.chopAtFirstChar(':');
    log.LogData(name.getString(), qp.getString());
  }
  log.LeaveContext();
}

void TarHeader::getFieldsQP(const unsigned char *block, StringBuffer &out) {
  out.clear();
  if (!block) return;
  ContentCoding cc;
  for (const FieldDesc &f : kAllFields) {
    out.append(f.label);
    cc.encodeQuotedPrintable(block + f.offset, f.width, out);
  }
}
