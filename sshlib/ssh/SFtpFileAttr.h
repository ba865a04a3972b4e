// The SFTP ATTRS record of one remote file, its wire layouts for versions 3 to 6, and a Base64
// text form that stores and restores it.
#pragma once

#include <vector>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/RazudodObject.h"
#include "sshlib/core/StringBuffer.h"

class LogBase;
class RazudodSysTime;
class RazudodFileTime;

class SFtpFileAttr : public RazudodObject {
public:
  enum : unsigned int {
    kSize = 0x1,
    kUidGid = 0x2,
    kPermissions = 0x4,
    kAccessTime = 0x8,
    kCreateTime = 0x10,
    kModifyTime = 0x20,
    kAcl = 0x40,
    kOwnerGroup = 0x80,
    kSubsecond = 0x100,
    kBits = 0x200,
    kAllocSize = 0x400,
    kTextHint = 0x800,
    kMimeType = 0x1000,
    kLinkCount = 0x2000,
    kUntranslated = 0x4000,
    kCtime = 0x8000,
    kExtended = 0x80000000u,
  };
  // Extension pairs a record may carry.
  static constexpr unsigned int kMaxExtensions = 1000;

  void clear();
  bool unpackFileAttr(unsigned int version, unsigned int &offset, const DataBuffer &msg,
                      LogBase &log, int &step, bool verbose);
  void packFileAttr(unsigned int version, DataBuffer &out, LogBase &log, bool verbose = false);
  void serialize(StringBuffer &out, LogBase &log);
  bool unserialize(const StringBuffer &in, LogBase &log, int &step, bool verbose);

  // Unix seconds and nanoseconds of a calendar time or a file time.
  static void fromSysTime(RazudodSysTime &t, long long &seconds, unsigned int &ns);
  static void fromFileTime(RazudodFileTime &t, long long &seconds, unsigned int &ns);
  // Unix time to UTC calendar time. All 64 bits of the seconds are kept, so that times after
  // 2106 and before 1970 come out as they are.
  static void getSysTimeUTC(long long seconds, unsigned int ns, RazudodSysTime &out);
  static void getSysTimeUTC32(unsigned int seconds, RazudodSysTime &out);
  bool get_LastAccessTime(RazudodSysTime &out) const;
  bool get_CreateTime(RazudodSysTime &out) const;
  bool get_LastModifiedTime(RazudodSysTime &out) const;

  bool cacheKeyFlag = false;
  StringBuffer cacheKeyPath;
  bool hasSize = false;
  unsigned int validFlags = 0;
  unsigned char fileType = 0;
  long long size = 0;
  long long allocSize = 0;
  StringBuffer owner, group;
  unsigned int uid = 0, gid = 0;
  unsigned int permissions = 0;
  unsigned int lastAccessTime32 = 0, lastModifiedTime32 = 0, createTime32 = 0;
  long long lastAccessTime64 = 0, createTime64 = 0, lastModifiedTime64 = 0, changeTime64 = 0;
  unsigned int lastAccessTimeNs = 0, createTimeNs = 0, lastModifiedTimeNs = 0, changeTimeNs = 0;
  StringBuffer acl;
  unsigned int attribBits = 0, attribBitsValid = 0;
  unsigned char textHint = 0;
  StringBuffer mimeType;
  unsigned int linkCount = 0;
  StringBuffer untranslatedName;
  // Extension pairs: type and data, in the order they came.
  unsigned int extendedCount = 0;
  std::vector<StringBuffer> extensionNames, extensionValues;

  // The decoders of each version's layout, which unpackFileAttr chooses between; `step` is left
  // at the field that could not be read (1000 when all were).
  bool unpackFileAttr_v3(unsigned int &offset, const DataBuffer &msg, int &step);
  bool unpackFileAttr_v4(unsigned int &offset, const DataBuffer &msg, int &step);
  bool unpackFileAttr_v5(unsigned int &offset, const DataBuffer &msg, int &step);
  bool unpackFileAttr_v6(unsigned int &offset, const DataBuffer &msg, int &step);

private:
  bool unpackHead(bool typeByte, unsigned int &i, const DataBuffer &m, int &step);
  bool unpackOwnerGroup(unsigned int &i, const DataBuffer &m, int &step);
  bool unpackPermissions(unsigned int &i, const DataBuffer &m, int &step);
  bool unpackTimes64(bool changeTime, unsigned int &i, const DataBuffer &m, int &step);
  bool unpackAcl(unsigned int &i, const DataBuffer &m, int &step);
  bool unpackExtended(unsigned int &i, const DataBuffer &m, int &step);
  void pack(unsigned int version, DataBuffer &out, LogBase *verboseLog = nullptr);
};
