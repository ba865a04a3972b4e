// Directories, listing entries, and the operations on remote names and attributes, with the
// attribute fetch and its small cache.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include <string>

#include "sshlib/core/CharsetNaming.h"
#include "sshlib/core/EncodingConvert.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/RazudodFileTime.h"
#include "sshlib/core/RazudodSysTime.h"
#include "sshlib/ssh/ClsSFtp.h"
#include "sshlib/ssh/ClsSFtpOp.h"
#include "sshlib/ssh/PeerText.h"
#include "sshlib/ssh/SshChannel.h"
#include "sshlib/ssh/SshTransport.h"

// ---- Listing entries.

bool sftpNameToUtf8(const std::string &raw, const StringBuffer &charset, std::string &utf8) {
  if (charset.getSize() == 0 || charset.equalsIgnoreCase("utf-8")) {
    // Taken as they are; a zero byte would cut the name short when it is sent back.
    utf8 = raw;
    return raw.find('\0') == std::string::npos;
  }
  XString x;
  if (charset.equalsIgnoreCase("ansi")) {
    x.setFromAnsiN(raw.data(), (int)raw.size());
  } else {
    DataBuffer conv;
    EncodingConvert ec;
    ec.ChConvert2(charset.getString(), 65001, (const unsigned char *)raw.data(),
                  (unsigned int)raw.size(), conv);
    x.appendUtf8N((const char *)conv.getData2(), (int)conv.getSize());
  }
  utf8.assign(x.getUtf8(), x.getSizeUtf8());
  // The name must go back on the wire as exactly the bytes it came as.
  DataBuffer back, expected;
  StringBuffer cs(charset.getString());
  if (!SshTransport::pack_filename(x, cs, back)) return false;
  SshTransport::pack_binString((const unsigned char *)raw.data(), (unsigned int)raw.size(),
                               expected);
  return back.equals(expected);
}

ClsSFtpFile::ClsSFtpFile(const char *name, const char *charset, SFtpFileAttr *attr)
    : attributes(attr) {
  const size_t n = name ? std::strlen(name) : 0;
  const int codePage = charset ? CharsetNaming::GetCodePage(charset) : 0;
  if (codePage == 0 || codePage == 65001 || n == 0) {
    setName(name, n);
    return;
  }
  DataBuffer utf8;
  EncodingConvert ec;
  ec.EncConvert(codePage, 65001, (const unsigned char *)name, (unsigned int)n, utf8);
  setName((const char *)utf8.getData2(), utf8.getSize());
}

ClsSFtpFile::ClsSFtpFile(const std::string &utf8Name, unsigned int version,
                         const unsigned char *wire, unsigned int wireLen)
    : nameLen((unsigned int)utf8Name.size()), wireVersion((unsigned char)version) {
  nameAndWire.reserve(utf8Name.size() + wireLen);
  nameAndWire.append(utf8Name);
  nameAndWire.append((const char *)wire, wireLen);
}

ClsSFtpFile::~ClsSFtpFile() = default;

void ClsSFtpFile::setName(const char *p, size_t n) {
  nameAndWire.assign(p ? p : "", p ? n : 0);
  nameLen = (unsigned int)nameAndWire.size();
}

void ClsSFtpFile::clear() {
  setName(nullptr, 0);
  wireVersion = 0;
  attributes.reset();
}

std::unique_ptr<SFtpFileAttr> ClsSFtpFile::decodeWire() const {
  DataBuffer d;
  d.append(nameAndWire.data() + nameLen, (unsigned int)(nameAndWire.size() - nameLen));
  auto a = std::make_unique<SFtpFileAttr>();
  unsigned int idx = 0;
  int step = 0;
  LogNull log;
  // The bytes were decoded once already when the listing was read.
  a->unpackFileAttr(wireVersion, idx, d, log, step, false);
  return a;
}

const SFtpFileAttr &ClsSFtpFile::attrs() const {
  static const SFtpFileAttr none;
  if (!attributes && hasWire()) attributes = decodeWire();
  return attributes ? *attributes : none;
}

std::unique_ptr<ClsSFtpFile> ClsSFtpFile::decodedCopy() const {
  auto copy = std::make_unique<ClsSFtpFile>();
  copy->setName(nameAndWire.data(), nameLen);
  if (attributes)
    copy->attributes = std::make_unique<SFtpFileAttr>(*attributes);
  else if (hasWire())
    copy->attributes = decodeWire();
  return copy;
}

void ClsSFtpFile::get_Filename(XString &out) const {
  out.setFromUtf8(filenameUtf8().c_str());
}

void ClsSFtpFile::get_Owner(XString &out) const {
  out.setFromUtf8(attrs().owner.getString());
}

void ClsSFtpFile::get_Group(XString &out) const {
  out.setFromUtf8(attrs().group.getString());
}

ClsSFtpDir::~ClsSFtpDir() = default;

bool ClsSFtpDir::GetFilename(int i, XString &out) const {
  out.clear();
  const ClsSFtpFile *e = entry(i);
  if (!e) return false;
  e->get_Filename(out);
  return true;
}

ClsSFtpFile *ClsSFtpDir::GetFileObject(int i) {
  const ClsSFtpFile *e = entry(i);
  if (!e) return nullptr;
  m_log.EnterContext("GetFileObject", true);
  std::unique_ptr<ClsSFtpFile> copy = e->decodedCopy();
  m_log.LeaveContext();
  return copy.release();
}

ClsSFtpFile *ClsSFtpDir::GetFileObject(int i, LogBase &log) const {
  const ClsSFtpFile *e = entry(i);
  if (!e) return nullptr;
  log.EnterContext("GetFileObject", true);
  XString text;
  e->serialize(text, log);
  auto copy = std::make_unique<ClsSFtpFile>();
  copy->unserialize(text, log);
  log.LeaveContext();
  return copy.release();
}

void ClsSFtpFile::timeGetter(const char *name, int which, RazudodSysTime &out) {
  enterCriticalSection();
  m_log.ClearLog();
  m_log.EnterContext(name, true);
  const SFtpFileAttr &a = attrs();
  const long long t64 = which == 0   ? a.lastModifiedTime64
                        : which == 1 ? a.createTime64
                                     : a.lastAccessTime64;
  const unsigned int ns = which == 0   ? a.lastModifiedTimeNs
                          : which == 1 ? a.createTimeNs
                                       : a.lastAccessTimeNs;
  const unsigned int t32 = which == 0   ? a.lastModifiedTime32
                           : which == 1 ? a.createTime32
                                        : a.lastAccessTime32;
  if (!hasAttrs()) {
    m_log.LogInfo("No attrs, using current date/time");
    out.getCurrentGmt();
  } else if (t64) {
    SFtpFileAttr::getSysTimeUTC(t64, ns, out);
    m_log.LogSystemTime("DateTime", out);
  } else if (t32) {
    SFtpFileAttr::getSysTimeUTC32(t32, out);
    m_log.LogSystemTime("dateTime", out);
  } else {
    m_log.LogInfo("No date/time found, using current date/time");
    out.getCurrentGmt();
  }
  m_log.LeaveContext();
  leaveCriticalSection();
}

void ClsSFtpFile::get_LastModifiedTime(RazudodSysTime &out) {
  timeGetter("LastModifiedTime", 0, out);
}

void ClsSFtpFile::get_CreateTime(RazudodSysTime &out) {
  timeGetter("CreateTime", 1, out);
}

void ClsSFtpFile::get_LastAccessTime(RazudodSysTime &out) {
  timeGetter("LastAccessTime", 2, out);
}

void ClsSFtpFile::get_FileType(XString &out) const {
  static const char *names[] = {"regular", "regular", "directory",  "symLink",     "special",
                                "unknown", "socket",  "charDevice", "blockDevice", "fifo"};
  out.clear();
  if (!hasAttrs()) return;
  unsigned int t = attrs().fileType;
  out.setFromUtf8(t < 10 ? names[t] : "regular");
}

void ClsSFtpFile::serialize(XString &out, LogBase &log, bool verbose) const {
  log.EnterContext("serialize", true);
  if (verbose) logPeerText(log, "filename", nameAndWire.data(), nameLen);
  StringBuffer text, attrText;
  if (nameLen != 0) {
    DataBuffer name;
    name.append(nameAndWire.data(), nameLen);
    name.encode("base64", text);
    text.removeCharOccurances('\r');
    text.removeCharOccurances('\n');
  }
  text.append(",");
  if (hasAttrs()) {
    SFtpFileAttr copy = attrs();
    copy.serialize(attrText, log);
    text.append(attrText);
  }
  out.setFromUtf8(text.getString());
  log.LeaveContext();
}

bool ClsSFtpFile::unserialize(XString &in, LogBase &log, bool verbose) {
  clear();
  std::string text = in.getUtf8();
  size_t comma = text.find(',');
  if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos) return false;
  log.EnterContext("unserialize", true);
  DataBuffer name;
  name.appendEncoded(text.substr(0, comma).c_str(), "base64");
  setName((const char *)name.getData2(), name.getSize());
  if (verbose) logPeerText(log, "filename", nameAndWire.data(), nameLen);
  attributes = std::make_unique<SFtpFileAttr>();
  StringBuffer attrText(text.substr(comma + 1).c_str());
  int step = 0;
  attributes->unserialize(attrText, log, step, verbose);
  log.LeaveContext();
  return true;
}

namespace {
// The packet's bytes as hexadecimal, cut to its start when it is long (a NAME packet may be
// 512 KiB), with a line saying so.
void logPacketDump(LogBase &log, const DataBuffer &packet) {
  const unsigned int kMaxDump = 1024;
  const unsigned int n = packet.getSize();
  log.LogDataHex("msgData", packet.getData2(), n < kMaxDump ? n : kMaxDump);
  if (n <= kMaxDump) return;
  char text[96];
  std::snprintf(text, sizeof text, "msgData holds the first %u of the packet's %u bytes.", kMaxDump,
                n);
  log.LogInfo(text);
}

// One entry's log context, left on every way out.
struct LogContext {
  LogContext(LogBase &l, const char *name) : log(l) { log.EnterContext(name, true); }
  ~LogContext() { log.LeaveContext(); }
  LogContext(const LogContext &) = delete;
  LogContext &operator=(const LogContext &) = delete;
  LogBase &log;
};
} // namespace

bool ClsSFtpDir::loadSshFxpName(int version, const StringBuffer &charset, bool verbose,
                                const DataBuffer &packet, LogBase &log) {
  unsigned int idx = 9, count = 0;
  if (!SshTransport::parseUint32(packet, idx, count)) {
    log.LogError("Failed to parse count in FXP Name message.");
    return false;
  }
  bytesTaken += packet.getSize();
  for (unsigned int i = 0; i < count; ++i) {
    LogContext entryContext(log, "DirEntry");
    DataBuffer name, longname;
    if (!SshTransport::parseBinaryString(packet, idx, name, log) ||
        (version < 4 && !SshTransport::parseBinaryString(packet, idx, longname, log))) {
      log.LogError("Failed to parse Nth filename in FXP Name message.");
      log.LogDataLong("index", (int)i);
      logPacketDump(log, packet);
      return false;
    }
    std::string raw((const char *)name.getData2(), name.getSize());
    if (verbose) logPeerText(log, "filename", raw.c_str());
    SFtpFileAttr attr;
    unsigned int attrStart = idx;
    int step = 0;
    if (!attr.unpackFileAttr((unsigned)version, idx, packet, log, step, verbose)) {
      log.LogError("Failed to unpack Nth ATTRS in FXP Name message.");
      log.LogDataLong("failPoint", step);
      log.LogDataLong("index", (int)i);
      return false;
    }
    if (raw == "." || raw == "..") continue;
    std::string utf8;
    if (!sftpNameToUtf8(raw, charset, utf8)) {
      log.LogError("Skipped a name that does not convert from the filename charset.");
      log.LogDataLong("index", (int)i);
      continue;
    }
    entries.push_back(std::make_unique<ClsSFtpFile>(
        utf8, (unsigned)version, packet.getData2() + attrStart, idx - attrStart));
  }
  return true;
}

// ---- Directories.

bool ClsSFtp::OpenDir(XString &pathIn, XString &handle, ProgressEvent *ev) {
  handle.clear();
  SftpOp op(*this, "OpenDir", ev);
  if (!op.ready()) return op.done(false);
  std::string path = pathIn.getUtf8();
  for (char &c : path)
    if (c == '\\') c = '/';
  bool trimmed = false;
  while (!path.empty() && path.back() == '/') {
    path.pop_back();
    trimmed = true;
  }
  if (trimmed && path.empty()) path.push_back('/');
  if (path != pathIn.getUtf8()) m_log.LogData("autoAdjustedPath", path.c_str());
  XString adjusted;
  adjusted.setFromUtf8(path.c_str());
  DataBuffer payload;
  if (!packFilename(adjusted, payload)) return op.done(false);
  unsigned int id = 0;
  if (!sendPacket(11, payload, id, op.pm())) return op.done(false);
  m_log.LogInfo("Sent FXP_OPENDIR");
  DataBuffer pkt;
  unsigned char type = 0;
  if (!readReply(id, pkt, type, op.pm())) {
    m_log.LogError("Failed to receive response to FXP_OPENDIR");
    return op.done(false);
  }
  if (type == 102) return op.done(takeHandle(pkt, handle, path));
  if (type == 101)
    logStatusResponse("FXP_OPENDIR", pkt);
  else {
    m_log.LogError("Unexpected response to FXP_OPENDIR");
    m_log.LogDataLong("packetType", type);
  }
  return op.done(false);
}

ClsSFtpDir *ClsSFtp::ReadDir(XString &handle, ProgressEvent *ev) {
  SftpOp op(*this, "ReadDir", ev);
  if (!op.ready()) return nullptr;
  m_log.LogData("handle", handle.getUtf8());
  // The charset may be the server's own choice (its VERSION reply can name it).
  if (FilenameCharset.getSize()) logPeerText(m_log, "FilenameCharset", FilenameCharset);
  SftpLastRead *rec = findHandle(handle);
  if (!rec) {
    m_log.LogError("Invalid handle.");
    return nullptr;
  }
  std::string dirPath = rec->dirPath;
  // A long listing refills the channel window as it goes: the adjust and the next READDIR are
  // two small writes in a row, and with Nagle on the second waits for the server's delayed ACK.
  NoDelayScope noDelay(*this);
  auto dir = std::make_unique<ClsSFtpDir>();
  DataBuffer payload;
  packHandleOrFilename(handle, true, payload);
  for (;;) {
    // A server that never says end-of-directory must not fill memory.
    if (dir->get_NumFilesAndDirs() > maxDirEntries || dir->bytesTaken > maxDirBytes) {
      m_log.LogError("Directory listing is too large.");
      return nullptr;
    }
    unsigned int id = 0;
    if (!sendPacket(12, payload, id, op.pm())) {
      m_log.LogError("Failed to send READDIR message.");
      return nullptr;
    }
    DataBuffer pkt;
    unsigned char type = 0;
    if (!readReply(id, pkt, type, op.pm())) {
      m_log.LogError("Failed to read response to READDIR.");
      return nullptr;
    }
    if (type == 104) {
      if (!dir->loadSshFxpName(ProtocolVersion, FilenameCharset, VerboseLogging, pkt, m_log)) {
        m_log.LogError("Failed to parse FXP_NAME response.");
        return nullptr;
      }
      continue;
    }
    if (type == 101) {
      unsigned int idx = 9, code = 0;
      if (SshTransport::parseUint32(pkt, idx, code) && code == 1) {
        m_log.LogInfo("Received end-of-dir status.");
        break;
      }
      logStatusResponse("FXP_READDIR", pkt);
      return nullptr;
    }
    m_log.LogError("Unexpected response.");
    m_log.LogDataLong("packetType", type);
    return nullptr;
  }
  dir->OriginalPath = dirPath;
  op.done(true);
  return dir.release();
}

// ---- Attribute fetch and cache.

SFtpFileAttr *ClsSFtp::findAttrInCache(bool flag, XString &name) {
  if (!EnableCache || flag) return nullptr;
  auto match = [&](SFtpFileAttr *a) {
    return a && !a->cacheKeyFlag && a->cacheKeyPath.equals(name.getUtf8());
  };
  if (match(attrCache[attrCacheNext])) return attrCache[attrCacheNext];
  for (auto *a : attrCache)
    if (match(a)) return a;
  return nullptr;
}

bool ClsSFtp::addToAttrCache2(SFtpFileAttr *rec) {
  if (!EnableCache) return false;
  bool empty = true;
  for (auto *a : attrCache)
    empty = empty && !a;
  attrCacheNext = empty ? 0 : (attrCacheNext + 1) % 20;
  delete attrCache[attrCacheNext];
  attrCache[attrCacheNext] = rec;
  return true;
}

void ClsSFtp::clearCache() {
  for (auto *&a : attrCache) {
    delete a;
    a = nullptr;
  }
  attrCacheNext = 0;
}

void ClsSFtp::dropCached(XString &name) {
  for (auto *&a : attrCache)
    if (a && a->cacheKeyPath.equals(name.getUtf8())) {
      delete a;
      a = nullptr;
    }
}

SFtpFileAttr *ClsSFtp::fetchAttributes2(XString &target, bool followLinks, bool isHandle,
                                        bool sizeOnly, bool &owned, ProgressMonitor *pm) {
  owned = false;
  if (!isHandle) {
    if (SFtpFileAttr *cached = findAttrInCache(false, target)) {
      m_log.LogInfo("Using cached file information.");
      return cached;
    }
  }
  DataBuffer payload;
  if (!packHandleOrFilename(target, isHandle, payload)) return nullptr;
  if (ProtocolVersion >= 4)
    SshTransport::pack_uint32(sizeOnly ? 0x1 : ProtocolVersion == 4 ? 0xFD : 0x8000FFFD, payload);
  unsigned char req = isHandle ? 8 : followLinks ? 17 : 7;
  DataBuffer pkt;
  unsigned char type =
      exchange(req, payload, pkt, "Failed to read response to fetch attributes.", pm);
  if (type == 0) return nullptr;
  if (type == 101) {
    logStatusResponse("FetchAttributes", pkt);
    return nullptr;
  }
  if (type != 105) {
    m_log.LogError("Unexpected response.");
    m_log.LogDataLong("packetType", type);
    return nullptr;
  }
  auto *attr = new SFtpFileAttr();
  unsigned int idx = 9;
  int step = 0;
  if (!attr->unpackFileAttr((unsigned)ProtocolVersion, idx, pkt, m_log, step, VerboseLogging)) {
    m_log.LogError("Failed to parse attributes.");
    m_log.LogDataLong("failPoint", step);
    delete attr;
    return nullptr;
  }
  attr->cacheKeyPath.setString(target.getUtf8());
  attr->cacheKeyFlag = isHandle;
  if (!isHandle && addToAttrCache2(attr)) return attr;
  owned = true;
  return attr;
}

long long ClsSFtp::getFileSize(XString &target, bool followLinks, bool isHandle,
                               ProgressMonitor *pm) {
  bool owned = false;
  SFtpFileAttr *a = fetchAttributes2(target, followLinks, isHandle, true, owned, pm);
  long long size = a && a->hasSize ? a->size : -1;
  if (a && !a->hasSize) m_log.LogError("SFTP server did not provide the file size.");
  if (owned) delete a;
  return size;
}

template <class F>
bool ClsSFtp::getAttr(const char *ctx, XString &target, bool followLinks, bool isHandle,
                      ProgressEvent *ev, F take) {
  SftpOp op(*this, ctx, ev);
  if (!op.ready()) return op.done(false);
  m_log.LogData("filename", target.getUtf8());
  m_log.LogDataLong("isHandle", isHandle ? 1 : 0);
  m_log.LogDataLong("followLinks", followLinks ? 1 : 0);
  bool owned = false;
  SFtpFileAttr *a = fetchAttributes2(target, followLinks, isHandle, false, owned, op.pm());
  if (!a) return op.done(false);
  bool ok = take(*a);
  if (owned) delete a;
  return op.done(ok);
}

long long ClsSFtp::GetFileSize(XString &target, bool followLinks, bool isHandle,
                               ProgressEvent *ev) {
  long long size = -1;
  getAttr("GetFileSize", target, followLinks, isHandle, ev, [&](SFtpFileAttr &a) {
    if (!a.hasSize) {
      m_log.LogError("SFTP server is not providing the file size upon request.");
      return false;
    }
    size = a.size;
    m_log.LogDataInt64("FileSize", size);
    return true;
  });
  return size;
}

bool ClsSFtp::GetFilePermissions(XString &target, bool followLinks, bool isHandle, int &out,
                                 ProgressEvent *ev) {
  out = 0;
  return getAttr("GetFilePermissions", target, followLinks, isHandle, ev, [&](SFtpFileAttr &a) {
    out = (int)a.permissions;
    return true;
  });
}

bool ClsSFtp::GetFileOwner(XString &target, bool followLinks, bool isHandle, XString &out,
                           ProgressEvent *ev) {
  return getAttr("GetFileOwner", target, followLinks, isHandle, ev, [&](SFtpFileAttr &a) {
    out.setFromUtf8(ProtocolVersion < 4 ? std::to_string(a.uid).c_str() : a.owner.getString());
    return true;
  });
}

bool ClsSFtp::GetFileGroup(XString &target, bool followLinks, bool isHandle, XString &out,
                           ProgressEvent *ev) {
  return getAttr("GetFileGroup", target, followLinks, isHandle, ev, [&](SFtpFileAttr &a) {
    out.setFromUtf8(ProtocolVersion < 4 ? std::to_string(a.gid).c_str() : a.group.getString());
    return true;
  });
}

void ClsSFtp::toCalendar(long long t64, unsigned int ns, unsigned int t32, bool logged,
                         RazudodSysTime &out) {
  if (ProtocolVersion < 4)
    SFtpFileAttr::getSysTimeUTC32(t32, out);
  else
    SFtpFileAttr::getSysTimeUTC(t64, ns, out);
  if (!UtcMode && logged) {
    m_log.LogInfo("Converting to local time...");
    RazudodFileTime utc, local;
    out.toFileTime(utc);
    utc.toLocalFileTime(local);
    const uint16_t ms = out.m_milliseconds;
    local.toSystemTime(out);
    out.m_milliseconds = ms;
    out.m_local = true;
  }
  if (logged) m_log.LogSystemTime("dateTime", out);
}

bool ClsSFtp::GetFileLastAccess(XString &target, bool followLinks, bool isHandle,
                                RazudodSysTime &out, ProgressEvent *ev) {
  return getAttr("GetFileLastAccess", target, followLinks, isHandle, ev, [&](SFtpFileAttr &a) {
    toCalendar(a.lastAccessTime64, a.lastAccessTimeNs, a.lastAccessTime32, true, out);
    return true;
  });
}

bool ClsSFtp::GetFileLastModified(XString &target, bool followLinks, bool isHandle,
                                  RazudodSysTime &out, ProgressEvent *ev) {
  return getAttr("GetFileLastModified", target, followLinks, isHandle, ev, [&](SFtpFileAttr &a) {
    toCalendar(a.lastModifiedTime64, a.lastModifiedTimeNs, a.lastModifiedTime32, true, out);
    return true;
  });
}

bool ClsSFtp::GetFileCreateTime(XString &target, bool followLinks, bool isHandle,
                                RazudodSysTime &out, ProgressEvent *ev) {
  return getAttr("GetFileCreateTime", target, followLinks, isHandle, ev, [&](SFtpFileAttr &a) {
    toCalendar(a.createTime64, a.createTimeNs, a.createTime32, false, out);
    return true;
  });
}

// ---- Path operations.

bool ClsSFtp::simpleRequest(const char *ctx, unsigned char type, const char *reqName, XString &path,
                            XString *path2, ProgressEvent *ev) {
  SftpOp op(*this, ctx, ev);
  if (!op.ready()) return op.done(false);
  m_log.LogData(path2 ? "oldFilename" : "path", path.getUtf8());
  if (path2) m_log.LogData("newFilename", path2->getUtf8());
  DataBuffer payload;
  if (!packFilename(path, payload) || (path2 && !packFilename(*path2, payload)))
    return op.done(false);
  if (path2) {
    if (ProtocolVersion >= 5) SshTransport::pack_uint32(0, payload);
  }
  if (type == 14) {
    SFtpFileAttr dirAttr;
    dirAttr.fileType = 2;
    dirAttr.packFileAttr((unsigned)ProtocolVersion, payload, m_log, VerboseLogging);
  }
  unsigned int id = 0;
  bool ok = sendPacket(type, payload, id, op.pm()) && readStatusResponse(reqName, op.pm());
  dropCached(path);
  if (path2) dropCached(*path2);
  return op.done(ok);
}

bool ClsSFtp::RenameFileOrDir(XString &oldPath, XString &newPath, ProgressEvent *ev) {
  return simpleRequest("RenameFile", 18, "FXP_RENAME", oldPath, &newPath, ev);
}
bool ClsSFtp::CreateDir(XString &path, ProgressEvent *ev) {
  return simpleRequest("CreateDir", 14, "FXP_MKDIR", path, nullptr, ev);
}
bool ClsSFtp::RemoveDir(XString &path, ProgressEvent *ev) {
  return simpleRequest("RemoveDir", 15, "FXP_RMDIR", path, nullptr, ev);
}

bool ClsSFtp::removeFile2(XString &path, ProgressMonitor *pm) {
  DataBuffer payload;
  if (!packFilename(path, payload)) return false;
  unsigned int id = 0;
  return sendPacket(13, payload, id, pm) && readStatusResponse("FXP_REMOVE", pm);
}

bool ClsSFtp::removeFile1(XString &path, ProgressMonitor *pm) {
  bool ok = removeFile2(path, pm);
  dropCached(path);
  if (ok || !transport || !transport->serverIdent.containsSubstring("GlobalScape")) return ok;
  std::string p = path.getUtf8();
  for (char &c : p)
    if (c == '\\') c = '/';
  if (p.rfind("/", 0) == 0) return false;
  m_log.EnterContext("retryWithLeadingSlash", true);
  XString again;
  p.insert(p.begin(), '/');
  again.setFromUtf8(p.c_str());
  ok = removeFile2(again, pm);
  m_log.LeaveContext();
  return ok;
}

bool ClsSFtp::RemoveFile(XString &path, ProgressEvent *ev) {
  SftpOp op(*this, "RemoveFile", ev);
  if (!op.ready()) return op.done(false);
  m_log.LogData("filename", path.getUtf8());
  return op.done(removeFile1(path, op.pm()));
}

bool ClsSFtp::RealPath(XString &path, XString &composePath, XString &out, ProgressEvent *ev) {
  out.clear();
  SftpOp op(*this, "RealPath", ev);
  if (!op.ready()) return op.done(false);
  m_log.LogData("originalPath", path.getUtf8());
  if (composePath.getSizeUtf8()) m_log.LogData("composePath", composePath.getUtf8());
  DataBuffer payload;
  if (!packFilename(path, payload)) return op.done(false);
  // Version 6 servers may insist on the control byte even without a compose path.
  if ((composePath.getSizeUtf8() && ProtocolVersion >= 5) || ProtocolVersion >= 6) {
    payload.appendChar(1);
    if (composePath.getSizeUtf8() && !packFilename(composePath, payload)) return op.done(false);
  }
  DataBuffer pkt;
  unsigned char type = exchange(16, payload, pkt, "Failed to read response to RealPath.", op.pm());
  if (type == 0) return op.done(false);
  if (type == 101) {
    logStatusResponse("FXP_REALPATH", pkt);
    return op.done(false);
  }
  if (type != 104) {
    m_log.LogError("Unexpected response.");
    m_log.LogDataLong("packetType", type);
    return op.done(false);
  }
  m_log.LogInfo("Received FXP_NAME response.");
  ClsSFtpDir scratch;
  if (!scratch.loadSshFxpName(ProtocolVersion, FilenameCharset, VerboseLogging, pkt, m_log)) {
    m_log.LogError("Failed to parse FXP_NAME response.");
    return op.done(false);
  }
  if (!scratch.GetFilename(0, out)) {
    m_log.LogError("No filenames in response.");
    return op.done(false);
  }
  return op.done(true);
}

// ---- Set family.

bool ClsSFtp::setStat(const char *ctx, XString &target, bool isHandle, SFtpFileAttr &attr,
                      ProgressMonitor *pm) {
  DataBuffer payload;
  if (!packHandleOrFilename(target, isHandle, payload)) return false;
  attr.packFileAttr((unsigned)ProtocolVersion, payload, m_log, VerboseLogging);
  unsigned int id = 0;
  bool ok = sendPacket(isHandle ? 10 : 9, payload, id, pm) && readStatusResponse(ctx, pm);
  if (isHandle)
    clearCache();
  else
    dropCached(target);
  return ok;
}

// which: 0 access, 1 modification, 2 creation.
bool ClsSFtp::setTime(const char *ctx, XString &target, bool isHandle, RazudodSysTime &t, int which,
                      ProgressEvent *ev) {
  SftpOp op(*this, ctx, ev);
  if (!op.ready()) return op.done(false);
  m_log.LogData("filename", target.getUtf8());
  m_log.LogDataLong("isHandle", isHandle ? 1 : 0);
  m_log.LogSystemTime("DateTime", t);
  long long secs = 0;
  unsigned int ns = 0;
  SFtpFileAttr::fromSysTime(t, secs, ns);
  SFtpFileAttr a;
  a.fileType = 5;
  if (ProtocolVersion < 4) {
    if (which == 2) {
      m_log.LogError("SFTP version 3 cannot set a file's creation time.");
      return op.done(false);
    }
    // Version 3 sets both times at once: the other one keeps its current value.
    bool owned = false;
    if (!isHandle) dropCached(target);
    SFtpFileAttr *cur = fetchAttributes2(target, true, isHandle, false, owned, op.pm());
    if (!cur || !(cur->validFlags & SFtpFileAttr::kAccessTime)) {
      if (owned) delete cur;
      m_log.LogError("Cannot read the file's current times.");
      return op.done(false);
    }
    a.lastAccessTime32 = which == 0 ? (unsigned int)secs : cur->lastAccessTime32;
    a.lastModifiedTime32 = which == 1 ? (unsigned int)secs : cur->lastModifiedTime32;
    if (owned) delete cur;
    a.validFlags = SFtpFileAttr::kAccessTime;
  } else {
    // The one time alone: without the sub-second flag the record carries whole seconds.
    a.validFlags = which == 0   ? SFtpFileAttr::kAccessTime
                   : which == 1 ? SFtpFileAttr::kModifyTime
                                : SFtpFileAttr::kCreateTime;
    (which == 0 ? a.lastAccessTime64 : which == 1 ? a.lastModifiedTime64 : a.createTime64) = secs;
    (which == 0 ? a.lastAccessTimeNs : which == 1 ? a.lastModifiedTimeNs : a.createTimeNs) = ns;
  }
  return op.done(setStat(ctx, target, isHandle, a, op.pm()));
}

bool ClsSFtp::SetLastAccessTime(XString &target, bool isHandle, RazudodSysTime &t,
                                ProgressEvent *ev) {
  return setTime("SetLastAccessTime", target, isHandle, t, 0, ev);
}
bool ClsSFtp::SetLastModifiedTime(XString &target, bool isHandle, RazudodSysTime &t,
                                  ProgressEvent *ev) {
  return setTime("SetLastModifiedTime", target, isHandle, t, 1, ev);
}
bool ClsSFtp::SetCreateTime(XString &target, bool isHandle, RazudodSysTime &t, ProgressEvent *ev) {
  return setTime("SetCreateTime", target, isHandle, t, 2, ev);
}

bool ClsSFtp::SetPermissions(XString &target, bool isHandle, unsigned int perms,
                             ProgressEvent *ev) {
  SftpOp op(*this, "SetPermissions", ev);
  if (!op.ready()) return op.done(false);
  m_log.LogData("filename", target.getUtf8());
  m_log.LogDataLong("isHandle", isHandle ? 1 : 0);
  char octal[16];
  std::snprintf(octal, sizeof octal, "%o", perms);
  m_log.LogData("octalPermissions", octal);
  SFtpFileAttr a;
  a.fileType = 5;
  a.validFlags = SFtpFileAttr::kPermissions;
  a.permissions = perms;
  return op.done(setStat("SetPermissions", target, isHandle, a, op.pm()));
}

bool ClsSFtp::SetOwnerAndGroup(XString &target, bool isHandle, XString &owner, XString &group,
                               ProgressEvent *ev) {
  SftpOp op(*this, "SetOwnerAndGroup", ev);
  if (!op.ready()) return op.done(false);
  m_log.LogData("filename", target.getUtf8());
  m_log.LogDataLong("isHandle", isHandle ? 1 : 0);
  m_log.LogData("owner", owner.getUtf8());
  m_log.LogData("group", group.getUtf8());
  if (ProtocolVersion < 4) {
    m_log.LogError("SFTP version 3 cannot set owner and group by name.");
    return op.done(false);
  }
  SFtpFileAttr a;
  a.fileType = 5;
  a.validFlags = SFtpFileAttr::kOwnerGroup;
  a.owner.setString(owner.getUtf8());
  a.group.setString(group.getUtf8());
  return op.done(setStat("SetOwnerAndGroup", target, isHandle, a, op.pm()));
}

bool ClsSFtp::packAttrs(XString &localPath, DataBuffer &out) {
  SFtpFileAttr a;
  a.fileType = 1;
  if (localPath.getSizeUtf8() == 0) {
    a.packFileAttr((unsigned)ProtocolVersion, out, m_log, VerboseLogging);
    return true;
  }
  struct stat st;
  if (stat(localPath.getUtf8(), &st) != 0) {
    m_log.LogError("Failed to get local file information.");
    return false;
  }
  if (ProtocolVersion < 4) {
    a.validFlags = SFtpFileAttr::kAccessTime;
    a.lastAccessTime32 = (unsigned int)st.st_atim.tv_sec;
    a.lastModifiedTime32 = (unsigned int)st.st_mtim.tv_sec;
  } else {
    a.validFlags =
        SFtpFileAttr::kAccessTime | SFtpFileAttr::kCreateTime | SFtpFileAttr::kModifyTime;
    a.lastAccessTime64 = st.st_atim.tv_sec;
    a.createTime64 = st.st_mtim.tv_sec;
    a.lastModifiedTime64 = st.st_mtim.tv_sec;
    if (ProtocolVersion >= 5) {
      a.validFlags |= SFtpFileAttr::kSubsecond | SFtpFileAttr::kBits;
      a.lastAccessTimeNs = (unsigned int)st.st_atim.tv_nsec;
      a.createTimeNs = a.lastModifiedTimeNs = (unsigned int)st.st_mtim.tv_nsec;
      a.attribBits = (st.st_mode & 0222) ? 0 : 0x1;
      a.attribBitsValid = 0x75;
    }
  }
  a.packFileAttr((unsigned)ProtocolVersion, out, m_log, VerboseLogging);
  return true;
}

bool ClsSFtp::CopyFileAttr(XString &localPath, XString &target, bool isHandle, ProgressEvent *ev) {
  SftpOp op(*this, "CopyFileAttr", ev);
  if (!op.ready()) return op.done(false);
  m_log.LogData("localFilename", localPath.getUtf8());
  m_log.LogData("filename", target.getUtf8());
  m_log.LogDataLong("isHandle", isHandle ? 1 : 0);
  DataBuffer payload;
  if (!packHandleOrFilename(target, isHandle, payload)) return op.done(false);
  if (!packAttrs(localPath, payload)) return op.done(false);
  unsigned int id = 0;
  bool ok = sendPacket(isHandle ? 10 : 9, payload, id, op.pm()) &&
            readStatusResponse("copyFileAttr", op.pm());
  if (!isHandle) dropCached(target);
  return op.done(ok);
}
