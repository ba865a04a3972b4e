#include "sshlib/ssh/SFtpFileAttr.h"

#include <cstdio>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/RazudodFileTime.h"
#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/ssh/PeerText.h"
#include "sshlib/ssh/SshTransport.h"

using T = SshTransport;

void SFtpFileAttr::clear() {
  StringBuffer key;
  key.setString(cacheKeyPath);
  *this = SFtpFileAttr();
  cacheKeyPath.setString(key);
}

namespace {
bool str(const DataBuffer &m, unsigned int &i, StringBuffer &out) {
  out.clear();
  return T::parseString(m, i, out);
}
// A 64-bit time (step `first`) and, with subsecond times, its nanoseconds (step `first` + 1).
bool time64(const DataBuffer &m, unsigned int &i, bool sub, long long &s, unsigned int &ns,
            int first, int &step) {
  step = first;
  if (!T::parseInt64(m, i, s)) return false;
  step = first + 1;
  return !sub || T::parseUint32(m, i, ns);
}
} // namespace

// The fields every layout begins with: the flags, then (from version 4) the type byte, then the
// size.
bool SFtpFileAttr::unpackHead(bool typeByte, unsigned int &i, const DataBuffer &m, int &step) {
  size = 0;
  hasSize = false;
  step = 1;
  if (!T::parseUint32(m, i, validFlags)) return false;
  if (typeByte) {
    step = 2;
    if (!T::parseByte(m, i, fileType)) return false;
    step = 3;
  }
  step = 4;
  if (validFlags & kSize) {
    if (!T::parseInt64(m, i, size)) return false;
    hasSize = true;
  }
  return true;
}

bool SFtpFileAttr::unpackOwnerGroup(unsigned int &i, const DataBuffer &m, int &step) {
  if (!(validFlags & kOwnerGroup)) return true;
  step = 6;
  if (!str(m, i, owner)) return false;
  step = 7;
  return str(m, i, group);
}

bool SFtpFileAttr::unpackPermissions(unsigned int &i, const DataBuffer &m, int &step) {
  step = 8;
  return !(validFlags & kPermissions) || T::parseUint32(m, i, permissions);
}

// The access, create and modify times of versions 4 to 6 (and the change time of version 6).
bool SFtpFileAttr::unpackTimes64(bool changeTime, unsigned int &i, const DataBuffer &m, int &step) {
  const unsigned int f = validFlags;
  const bool sub = (f & kSubsecond) != 0;
  return (!(f & kAccessTime) || time64(m, i, sub, lastAccessTime64, lastAccessTimeNs, 9, step)) &&
         (!(f & kCreateTime) || time64(m, i, sub, createTime64, createTimeNs, 11, step)) &&
         (!(f & kModifyTime) ||
          time64(m, i, sub, lastModifiedTime64, lastModifiedTimeNs, 13, step)) &&
         (!changeTime || !(f & kCtime) || time64(m, i, sub, changeTime64, changeTimeNs, 15, step));
}

bool SFtpFileAttr::unpackAcl(unsigned int &i, const DataBuffer &m, int &step) {
  step = 17;
  return !(validFlags & kAcl) || str(m, i, acl);
}

bool SFtpFileAttr::unpackExtended(unsigned int &i, const DataBuffer &m, int &step) {
  step = 24;
  if (validFlags & kExtended) {
    unsigned int n = 0;
    if (!T::parseUint32(m, i, n) || n > kMaxExtensions) return false;
    extendedCount = n;
    for (unsigned int k = 0; k < n; ++k) {
      StringBuffer name, data;
      step = 25;
      if (!str(m, i, name)) return false;
      step = 26;
      if (!str(m, i, data)) return false;
      extensionNames.push_back(name);
      extensionValues.push_back(data);
    }
  }
  step = 1000;
  return true;
}

bool SFtpFileAttr::unpackFileAttr_v3(unsigned int &i, const DataBuffer &m, int &step) {
  if (!unpackHead(false, i, m, step)) return false;
  const unsigned int f = validFlags;
  if (f & kUidGid) {
    step = 6;
    if (!T::parseUint32(m, i, uid)) return false;
    step = 7;
    if (!T::parseUint32(m, i, gid)) return false;
  }
  if (!unpackPermissions(i, m, step)) return false;
  // Version 3 permissions carry the file type.
  if (f & kPermissions) {
    const unsigned int type = permissions & 0xF000;
    fileType = type == 0x4000 ? 2 : type == 0xA000 ? 3 : 1;
  }
  if (f & kAccessTime) {
    step = 9;
    if (!T::parseUint32(m, i, lastAccessTime32)) return false;
    step = 13;
    if (!T::parseUint32(m, i, lastModifiedTime32)) return false;
    createTime32 = lastModifiedTime32;
  }
  return unpackExtended(i, m, step);
}

bool SFtpFileAttr::unpackFileAttr_v4(unsigned int &i, const DataBuffer &m, int &step) {
  return unpackHead(true, i, m, step) && unpackOwnerGroup(i, m, step) &&
         unpackPermissions(i, m, step) && unpackTimes64(false, i, m, step) &&
         unpackAcl(i, m, step) && unpackExtended(i, m, step);
}

bool SFtpFileAttr::unpackFileAttr_v5(unsigned int &i, const DataBuffer &m, int &step) {
  if (!unpackHead(true, i, m, step) || !unpackOwnerGroup(i, m, step) ||
      !unpackPermissions(i, m, step) || !unpackTimes64(false, i, m, step) || !unpackAcl(i, m, step))
    return false;
  if (validFlags & kBits) {
    step = 18;
    if (!T::parseUint32(m, i, attribBits)) return false;
    attribBitsValid = 0xFFFFFFFF;
  }
  // Version 6 added the link count; ProFTPD sends it at version 5 already. Left unread it would
  // be taken for the extensions that follow.
  step = 22;
  if ((validFlags & kLinkCount) && !T::parseUint32(m, i, linkCount)) return false;
  return unpackExtended(i, m, step);
}

bool SFtpFileAttr::unpackFileAttr_v6(unsigned int &i, const DataBuffer &m, int &step) {
  if (!unpackHead(true, i, m, step)) return false;
  const unsigned int f = validFlags;
  step = 5;
  if ((f & kAllocSize) && !T::parseInt64(m, i, allocSize)) return false;
  if (!unpackOwnerGroup(i, m, step) || !unpackPermissions(i, m, step) ||
      !unpackTimes64(true, i, m, step) || !unpackAcl(i, m, step))
    return false;
  if (f & kBits) {
    step = 18;
    if (!T::parseUint32(m, i, attribBits)) return false;
    step = 19;
    if (!T::parseUint32(m, i, attribBitsValid)) return false;
  }
  step = 20;
  if ((f & kTextHint) && !T::parseByte(m, i, textHint)) return false;
  step = 21;
  if ((f & kMimeType) && !str(m, i, mimeType)) return false;
  step = 22;
  if ((f & kLinkCount) && !T::parseUint32(m, i, linkCount)) return false;
  step = 23;
  if ((f & kUntranslated) && !str(m, i, untranslatedName)) return false;
  return unpackExtended(i, m, step);
}

bool SFtpFileAttr::unpackFileAttr(unsigned int version, unsigned int &offset, const DataBuffer &msg,
                                  LogBase &log, int &step, bool verbose) {
  // Verbose only: a listing decodes one record per entry, and the version is already in the
  // context's "SftpVersion" line; tens of thousands of copies of it would crowd the bounded log.
  if (verbose) log.LogDataLong("unpackSftpVersion", (int)version);
  bool ok = version < 4    ? unpackFileAttr_v3(offset, msg, step)
            : version == 4 ? unpackFileAttr_v4(offset, msg, step)
            : version == 5 ? unpackFileAttr_v5(offset, msg, step)
                           : unpackFileAttr_v6(offset, msg, step);
  // Version 3 permissions carry the file type; their octal form says it at a glance.
  if (version < 4 && (validFlags & kPermissions) && step > 8) {
    char octal[16];
    std::snprintf(octal, sizeof octal, "%o", permissions);
    log.LogData("octalPermissions", octal);
  }
  if (verbose && ok) {
    const unsigned int f = validFlags;
    log.LogHex("validFlags", f);
    log.LogDataLong("type", fileType);
    log.LogDataInt64("size", size);
    if (version >= 6 && (f & kAllocSize)) log.LogDataInt64("allocSize", allocSize);
    if (version >= 4 && (f & kOwnerGroup)) {
      logPeerText(log, "owner", owner);
      logPeerText(log, "group", group);
    }
    if (f & kPermissions) log.LogDataLong("permissions", (int)permissions);
    if (version >= 4 && (f & kAccessTime)) log.LogDataInt64("lastAccessTime64", lastAccessTime64);
    if (version >= 4 && (f & kCreateTime)) log.LogDataInt64("createTime64", createTime64);
    if (version >= 4 && (f & kModifyTime))
      log.LogDataInt64("lastModifiedTime64", lastModifiedTime64);
  }
  return ok;
}

void SFtpFileAttr::pack(unsigned int v, DataBuffer &o, LogBase *vlog) {
  unsigned int f = validFlags;
  T::pack_uint32(f, o);
  if (v >= 4) o.appendChar(fileType);
  if (f & kSize) {
    T::pack_int64(size, o);
    hasSize = true;
    if (vlog) vlog->LogDataInt64("size", size);
  }
  if (v >= 6 && (f & kAllocSize)) T::pack_int64(allocSize, o);
  if (v < 4 && (f & kUidGid)) {
    T::pack_uint32(uid, o);
    T::pack_uint32(gid, o);
    if (vlog) {
      vlog->LogDataInt64("uid", uid);
      vlog->LogDataInt64("gid", gid);
    }
  }
  if (v >= 4 && (f & kOwnerGroup)) {
    T::pack_sb(owner, o);
    T::pack_sb(group, o);
  }
  if (f & kPermissions) {
    T::pack_uint32(permissions, o);
    if (vlog) vlog->LogHex("permissionsHex", permissions);
  }
  bool sub = (f & kSubsecond) != 0;
  auto t64 = [&](long long s, unsigned int ns) {
    T::pack_int64(s, o);
    if (sub) T::pack_uint32(ns, o);
  };
  if (v < 4) {
    if (f & kAccessTime) {
      T::pack_uint32(lastAccessTime32, o);
      T::pack_uint32(lastModifiedTime32, o);
      if (vlog) {
        vlog->LogDataInt64("lastAccessTime", lastAccessTime32);
        vlog->LogDataInt64("lastModTime", lastModifiedTime32);
      }
    }
  } else {
    if (f & kAccessTime) t64(lastAccessTime64, lastAccessTimeNs);
    if (vlog && (f & kAccessTime)) vlog->LogDataInt64("lastAccessTime", lastAccessTime64);
    if (f & kCreateTime) t64(createTime64, createTimeNs);
    if (f & kModifyTime) t64(lastModifiedTime64, lastModifiedTimeNs);
    if (vlog && (f & kModifyTime)) vlog->LogDataInt64("lastModTime", lastModifiedTime64);
    if (v >= 6 && (f & kCtime)) t64(changeTime64, changeTimeNs);
    if (f & kAcl) T::pack_sb(acl, o);
    if (v >= 5 && (f & kBits)) {
      T::pack_uint32(attribBits, o);
      if (v >= 6) T::pack_uint32(attribBitsValid, o);
    }
    if (v == 5 && (f & kLinkCount)) T::pack_uint32(linkCount, o); // as it was read
    if (v >= 6) {
      if (f & kTextHint) o.appendChar(textHint);
      if (f & kMimeType) T::pack_sb(mimeType, o);
      if (f & kLinkCount) T::pack_uint32(linkCount, o);
      if (f & kUntranslated) T::pack_sb(untranslatedName, o);
    }
  }
  if (f & kExtended) {
    // The pairs held are what is written: a count that said otherwise would put the record out
    // of step with its own bytes.
    size_t n = extensionNames.size() < extensionValues.size() ? extensionNames.size()
                                                              : extensionValues.size();
    T::pack_uint32((unsigned int)n, o);
    for (size_t k = 0; k < n; ++k) {
      T::pack_sb(extensionNames[k], o);
      T::pack_sb(extensionValues[k], o);
      if (vlog) {
        logPeerText(*vlog, "extensionName", extensionNames[k]);
        logPeerText(*vlog, "extensionValue", extensionValues[k]);
      }
    }
  }
}

void SFtpFileAttr::packFileAttr(unsigned int version, DataBuffer &out, LogBase &log, bool verbose) {
  unsigned int v = version < 4 ? 3 : version > 6 ? 6 : version;
  const char *ctx[] = {"FileAttr_v3", "FileAttr_v4", "FileAttr_v5", "FileAttr_v6"};
  log.EnterContext(ctx[v - 3], true);
  pack(v, out, verbose ? &log : nullptr);
  log.LeaveContext();
}

void SFtpFileAttr::serialize(StringBuffer &out, LogBase &) {
  DataBuffer d;
  pack(6, d);
  if (validFlags & kUidGid) {
    T::pack_uint32(uid, d);
    T::pack_uint32(gid, d);
  }
  T::pack_uint32(lastAccessTime32, d);
  T::pack_uint32(createTime32, d);
  T::pack_uint32(lastModifiedTime32, d);
  out.clear();
  d.encode("base64", out);
  out.removeCharOccurances('\r');
  out.removeCharOccurances('\n');
}

bool SFtpFileAttr::unserialize(const StringBuffer &in, LogBase &log, int &step, bool verbose) {
  DataBuffer d;
  d.appendEncoded(in.getString(), "base64");
  clear();
  unsigned int i = 0;
  if (!unpackFileAttr(6, i, d, log, step, verbose)) return false;
  if ((validFlags & kUidGid) && !(T::parseUint32(d, i, uid) && T::parseUint32(d, i, gid)))
    return false;
  if (!T::parseUint32(d, i, lastAccessTime32) || !T::parseUint32(d, i, createTime32) ||
      !T::parseUint32(d, i, lastModifiedTime32))
    return false;
  // A restored record says which 32-bit times it came back with; a listing never passes here.
  log.LogDataInt64("lastAccessTime32", lastAccessTime32);
  log.LogDataInt64("createTime32", createTime32);
  log.LogDataInt64("lastModifiedTime32", lastModifiedTime32);
  return true;
}

void SFtpFileAttr::fromFileTime(RazudodFileTime &t, long long &seconds, unsigned int &ns) {
  // A file time holds whole seconds.
  seconds = t.toUnixTime();
  ns = 0;
}

void SFtpFileAttr::fromSysTime(RazudodSysTime &t, long long &seconds, unsigned int &ns) {
  RazudodFileTime ft;
  t.toFileTime(ft);
  fromFileTime(ft, seconds, ns);
  ns = (unsigned int)t.m_milliseconds * 1000000u;
}

void SFtpFileAttr::getSysTimeUTC32(unsigned int seconds, RazudodSysTime &out) {
  getSysTimeUTC((long long)seconds, 0, out);
}

void SFtpFileAttr::getSysTimeUTC(long long seconds, unsigned int ns, RazudodSysTime &out) {
  RazudodFileTime ft;
  // All 64 bits: times after 2106 (and before 1970) are kept as they are.
  ft.fromUnixTime((long)seconds);
  ft.toSystemTime(out);
  out.m_milliseconds = (uint16_t)((ns / 1000000u) % 1000u);
  out.m_local = false;
}

namespace {
bool pickTime(long long t64, unsigned int ns, unsigned int t32, RazudodSysTime &out) {
  if (t64) {
    SFtpFileAttr::getSysTimeUTC(t64, ns, out);
    return true;
  }
  if (t32) {
    SFtpFileAttr::getSysTimeUTC32(t32, out);
    return true;
  }
  out.getCurrentGmt();
  return false;
}
} // namespace

bool SFtpFileAttr::get_LastAccessTime(RazudodSysTime &out) const {
  return pickTime(lastAccessTime64, lastAccessTimeNs, lastAccessTime32, out);
}
bool SFtpFileAttr::get_CreateTime(RazudodSysTime &out) const {
  return pickTime(createTime64, createTimeNs, createTime32, out);
}
bool SFtpFileAttr::get_LastModifiedTime(RazudodSysTime &out) const {
  return pickTime(lastModifiedTime64, lastModifiedTimeNs, lastModifiedTime32, out);
}
