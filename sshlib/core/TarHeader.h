// One 512-byte tar header block parsed into the fields the tar archive object works with: the
// all-zero end block, octal and base-256 numbers, the ustar prefix joined to the name, link,
// user and group names, and whether the entry is a directory. Also renders a block for
// diagnostics. Long-name and pax records are applied by the archive object through the public
// fields (their texts are moved between headers, not copied).
#pragma once

#include <cstdint>

#include "sshlib/core/StringBuffer.h"

class DataSource;
class LogBase;

// The base-256 number of a field (first byte with bit 7 set; bit 6 the sign), 64-bit signed.
// Stops early, without error, before a byte whose shift would lose bits.
long long getBase256(const char *field, int width);

class TarHeader {
public:
  TarHeader();
  virtual ~TarHeader();
  TarHeader(const TarHeader &) = delete;
  TarHeader &operator=(const TarHeader &) = delete;

  void clear();
  // True when the block was understood (the end block included, which sets endOfArchive).
  bool parseFromMemory(const unsigned char *block, bool &endOfArchive, LogBase &log, bool verbose);
  // Reads exactly 512 bytes; copyOut (optional) receives them.
  bool parseFromDataSource(DataSource &src, unsigned char *copyOut, bool &endOfArchive,
                           LogBase &log);
  void debugLogTarHeader(const unsigned char *block, LogBase &log);
  void getFieldsQP(const unsigned char *block, StringBuffer &out);

  // Masks of the pax keys present (set by the archive object).
  static constexpr unsigned int kPaxAtime = 0x1;
  static constexpr unsigned int kPaxCtime = 0x8;
  static constexpr unsigned int kPaxGid = 0x10;
  static constexpr unsigned int kPaxGname = 0x20;
  static constexpr unsigned int kPaxLinkpath = 0x40;
  static constexpr unsigned int kPaxMtime = 0x80;
  static constexpr unsigned int kPaxPath = 0x100;
  static constexpr unsigned int kPaxSize = 0x200;
  static constexpr unsigned int kPaxUid = 0x400;
  static constexpr unsigned int kPaxUname = 0x800;
  // Any "GNU.sparse." key: the entry is a GNU sparse file.
  static constexpr unsigned int kPaxGnuSparse = 0x1000;

  StringBuffer m_name;
  StringBuffer m_prefix;
  StringBuffer m_path;
  uint32_t m_mode = 0;
  uint32_t m_uid = 0;
  uint32_t m_gid = 0;
  int64_t m_size = 0;
  uint32_t m_mtime = 0;
  // The modification time in full (before 1970 and past 2106 too); m_mtime holds it clamped.
  int64_t m_mtime64 = 0;
  uint32_t m_checksum = 0;
  uint32_t m_atime = 0;
  uint32_t m_ctime = 0;
  char m_typeflag = '0';
  unsigned char m_magic[6] = {0, 0, 0, 0, 0, 0};
  unsigned char m_version[2] = {0, 0};
  // Owned; null when the field is empty.
  StringBuffer *m_linkname = nullptr;
  StringBuffer *m_uname = nullptr;
  StringBuffer *m_gname = nullptr;
  bool m_isDirectory = false;
  unsigned int m_paxMask = 0;
};
