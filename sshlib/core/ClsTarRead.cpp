#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "sshlib/core/ClsTar.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/DateParser.h"
#include "sshlib/core/FileSys.h"
#include "sshlib/core/ProgressEvent.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/RazudodBzip2.h"
#include "sshlib/core/RazudodDeflate.h"
#include "sshlib/core/RazudodFileTime.h"
#include "sshlib/core/RazudodLzw.h"
#include "sshlib/core/StringSearch.h"
#include "sshlib/core/ckFileInfo.h"

namespace {

constexpr int64_t kMaxSpecialSize = 100000;

// Free bytes on the file system of an open descriptor, as the system reports them.
int64_t systemFreeSpace(int fd) {
  struct statvfs vfs;
  if (fstatvfs(fd, &vfs) != 0) return INT64_MAX; // no answer: the write itself will tell
  return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
}

std::mutex g_freeSpaceMutex;
ClsTar::FreeSpaceQuery &freeSpaceQuery() {
  static ClsTar::FreeSpaceQuery q;
  return q;
}

// A file being extracted, written through its descriptor; its times are set when it is closed.
// Before each write it makes sure the disk keeps ClsTar::kMinFreeSpace free, asking the file
// system again at least every kRecheck bytes (others may be writing too). A file whose write
// failed is removed when it is closed: what it holds is not the entry.
class ExtractedFile : public Output {
public:
  ExtractedFile(int fd, int dirFd, std::string leaf, int64_t mtime, int64_t atime)
      : m_fd(fd), m_dirFd(dirFd), m_leaf(std::move(leaf)), m_mtime(mtime), m_atime(atime) {
    std::lock_guard<std::mutex> lock(g_freeSpaceMutex);
    m_query = freeSpaceQuery();
  }
  ~ExtractedFile() override {
    if (m_failed) {
      unlinkat(m_dirFd, m_leaf.c_str(), 0);
    } else {
      struct timespec ts[2] = {{static_cast<time_t>(m_atime), 0},
                               {static_cast<time_t>(m_mtime), 0}};
      futimens(m_fd, ts);
    }
    close(m_fd);
    close(m_dirFd);
  }
  unsigned int _fwrite32(const void *data, unsigned int itemSize, unsigned int count,
                         ProgressMonitor *, LogBase &log) override {
    const char *p = static_cast<const char *>(data);
    uint64_t left = static_cast<uint64_t>(itemSize) * count;
    if (m_failed) return 0;
    if (!reserve(static_cast<int64_t>(left))) {
      log.LogError("Not enough free disk space to unpack the entry.");
      log.LogDataInt64("minFreeSpace", ClsTar::kMinFreeSpace);
      m_failed = true;
      return 0;
    }
    while (left) {
      ssize_t n = ::write(m_fd, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        log.LogLastErrorOS();
        m_failed = true;
        return 0;
      }
      p += n;
      left -= static_cast<uint64_t>(n);
    }
    return count;
  }
  unsigned int _fwrite64(const void *data, long long itemSize, unsigned int count,
                         ProgressMonitor *pm, LogBase &log) override {
    return _fwrite32(data, static_cast<unsigned int>(itemSize), count, pm, log);
  }

private:
  static constexpr int64_t kRecheck = 1 << 20;
  bool reserve(int64_t n) {
    if (n > m_allowance || m_sinceCheck + n > kRecheck) {
      const int64_t free = m_query ? m_query(m_fd) : systemFreeSpace(m_fd);
      m_allowance = free - ClsTar::kMinFreeSpace;
      m_sinceCheck = 0;
      if (n > m_allowance) return false;
    }
    m_allowance -= n;
    m_sinceCheck += n;
    return true;
  }

  int m_fd;
  int m_dirFd;
  std::string m_leaf;
  int64_t m_mtime;
  int64_t m_atime;
  ClsTar::FreeSpaceQuery m_query;
  int64_t m_allowance = 0;
  int64_t m_sinceCheck = 0;
  bool m_failed = false;
};

// The folders of a relative path below an open folder, created when missing and never reached
// through a symbolic link. Returns an open descriptor of the last one, or -1.
int openFolders(int rootFd, const std::vector<std::string> &parts, size_t count, LogBase &log) {
  int fd = dup(rootFd);
  for (size_t i = 0; i < count && fd >= 0; ++i) {
    if (mkdirat(fd, parts[i].c_str(), 0777) != 0 && errno != EEXIST) {
      log.LogLastErrorOS();
      close(fd);
      return -1;
    }
    int next =
        openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (next < 0) log.LogLastErrorOS();
    close(fd);
    fd = next;
  }
  return fd;
}

std::vector<std::string> splitRel(const char *rel) {
  std::vector<std::string> parts;
  std::string cur;
  for (const char *p = rel;; ++p) {
    if (*p == '/' || *p == 0) {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
      if (!*p) break;
    } else {
      cur.push_back(*p);
    }
  }
  return parts;
}

int openDest(XString &dir, LogBase &log) {
  const char *d = dir.getUtf8();
  if (!*d) d = ".";
  if (!DirAutoCreate::ensureDirUtf8(d, &log)) return -1;
  int fd = open(d, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) log.LogLastErrorOS();
  return fd;
}

// Makes the folder at rel (below the destination) exist.
bool makeFolder(XString &dest, const char *rel, LogBase &log) {
  int root = openDest(dest, log);
  if (root < 0) return false;
  std::vector<std::string> parts = splitRel(rel);
  int fd = openFolders(root, parts, parts.size(), log);
  close(root);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Creates the file at rel below the destination, replacing whatever is not a folder there: a
// symbolic link or a hard link is never written through (the file it shares is left as it was)
// and a FIFO or device is never opened. folderFailed tells which step failed when null is
// returned; beforeFile runs once the folders are there, before the file is made.
Output *createFile(XString &dest, const char *rel, int64_t mtime, int64_t atime, bool &folderFailed,
                   LogBase &log, const std::function<void()> &beforeFile) {
  folderFailed = true;
  int root = openDest(dest, log);
  if (root < 0) return nullptr;
  std::vector<std::string> parts = splitRel(rel);
  if (parts.empty()) {
    close(root);
    return nullptr;
  }
  int dirFd = openFolders(root, parts, parts.size() - 1, log);
  close(root);
  if (dirFd < 0) return nullptr;
  folderFailed = false;
  beforeFile();
  const std::string &leaf = parts.back();
  struct stat st;
  if (fstatat(dirFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode) &&
      unlinkat(dirFd, leaf.c_str(), 0) != 0)
    log.LogLastErrorOS();
  // Only a file made here and now is written: O_EXCL fails on anything that took its place.
  int fd = openat(dirFd, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    log.LogLastErrorOS();
    close(dirFd);
    return nullptr;
  }
  return new ExtractedFile(fd, dirFd, leaf, mtime, atime);
}

unsigned int readExact(DataSource &src, unsigned char *buf, unsigned int n, LogBase &log) {
  unsigned int have = 0;
  while (have < n) {
    unsigned int got = src.readBytes(buf + have, 1, n - have, &log);
    if (got == 0) break;
    have += got;
  }
  return have;
}

int64_t parseDecimal(const char *p, const char *end) {
  bool neg = false;
  if (p < end && (*p == '-' || *p == '+')) neg = *p++ == '-';
  int64_t v = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    if (v > (INT64_MAX - 9) / 10) break;
    v = v * 10 + (*p - '0');
  }
  return neg ? -v : v;
}

void logName(LogBase &log, const char *tag, const char *name) {
  log.LogDataQP(tag, name);
}

bool isSpecialType(char t) {
  return t == 'x' || t == 'L' || t == 'K' || t == 'g';
}

void logFileTime(LogBase &log, const char *tag, int64_t unixSeconds) {
  RazudodFileTime ft;
  DateParser::UnixTimeToFileTime(unixSeconds, 0, ft);
  StringBuffer text;
  DateParser::FileTimeToString(ft, text);
  log.LogData(tag, text.getString());
}

// The verbose "header" context of one entry of the seekable reader, closed on every way out.
class HeaderContext {
public:
  HeaderContext(LogBase &log, bool on) : m_log(log), m_on(on) {
    if (m_on) m_log.EnterContext("header", true);
  }
  ~HeaderContext() {
    if (m_on) m_log.LeaveContext();
  }
  HeaderContext(const HeaderContext &) = delete;
  HeaderContext &operator=(const HeaderContext &) = delete;

private:
  LogBase &m_log;
  bool m_on;
};

} // namespace

void ClsTar::setFreeSpaceQuery(FreeSpaceQuery query) {
  std::lock_guard<std::mutex> lock(g_freeSpaceMutex);
  freeSpaceQuery() = std::move(query);
}

bool ClsTar::headerChecksumMatches(const unsigned char *block, const TarHeader &hdr) {
  int64_t signedSum = 0;
  for (int i = 0; i < 512; ++i)
    signedSum += (i >= 148 && i < 156) ? 0x20 : static_cast<signed char>(block[i]);
  return hdr.m_checksum == computeHeaderChecksum(block) ||
         static_cast<int64_t>(hdr.m_checksum) == signedSum;
}

bool ClsTar::skipSparseExtensions(DataSource &src, const unsigned char *header, int64_t &pos,
                                  LogBase &log) {
  bool more = header[482] != 0;
  while (more) {
    unsigned char block[512];
    if (readExact(src, block, 512, log) != 512) {
      log.LogError("TAR archive is truncated.");
      return false;
    }
    pos += 512;
    more = block[504] != 0;
  }
  return true;
}

bool ClsTar::isSparse(const TarHeader &hdr) {
  return hdr.m_typeflag == 'S' || (hdr.m_paxMask & TarHeader::kPaxGnuSparse);
}

void ClsTar::setMatchPatternExactFlag() {
  const char *p = m_untarMatchPattern.getUtf8();
  m_bareName = *p && !std::strpbrk(p, "*/\\");
}

bool ClsTar::entryName(TarHeader &hdr, bool discardPaths, XString &name, StringBuffer &relPath) {
  StringBuffer p(hdr.m_path);
  p.replaceCharAnsi('\\', '/');
  if (discardPaths) p.stripDirectory();
  if (m_noAbsolutePaths)
    while (p.getSize() && p.charAt(0) == '/')
      p.removeChunk(0, 1);
  const char *cs = m_charset.getUtf8();
  name.clear();
  if (!*cs || strcasecmp(cs, "utf-8") == 0 || strcasecmp(cs, "utf8") == 0)
    name.setFromUtf8(p.getString());
  else
    name.appendFromEncoding(p.getString(), cs);
  // The path below the destination: empty and "." parts dropped, ".." refused.
  relPath.clear();
  for (const std::string &part : splitRel(name.getUtf8())) {
    if (part == ".") continue;
    if (part == "..") return false;
    if (relPath.getSize()) relPath.appendChar('/');
    relPath.append(part.c_str());
  }
  return true;
}

bool ClsTar::nameMatches(XString &name, XString &pattern, bool bareName) {
  const char *pat = pattern.getUtf8();
  if (!*pat) return true;
  if (name.matchesUtf8(pat, m_untarCaseSensitive)) return true;
  if (!bareName) return false;
  const char *slash = std::strrchr(name.getUtf8(), '/');
  return slash && wildcardMatch(slash + 1, pat, m_untarCaseSensitive);
}

bool ClsTar::parsePaxExtendedHeader(const char *rec, unsigned int n, TarHeader &hdr, LogBase &log) {
  if (m_verboseLogging) log.LogInfo("Parsing PAX extended header...");
  const char *p = rec, *end = rec + n;
  while (p < end) {
    // "length key=value\n": the length counts the whole record. A record whose length does not
    // fit ends at its line feed instead.
    const char *recEnd = nullptr;
    int64_t len = parseDecimal(p, end);
    if (len > 0 && len <= end - p && p[len - 1] == '\n') recEnd = p + len;
    if (!recEnd) {
      recEnd = static_cast<const char *>(std::memchr(p, '\n', end - p));
      recEnd = recEnd ? recEnd + 1 : end;
    }
    const char *line = p;
    const char *lineEnd = recEnd[-1] == '\n' ? recEnd - 1 : recEnd;
    p = recEnd;
    const char *blank = static_cast<const char *>(std::memchr(line, ' ', lineEnd - line));
    if (!blank) continue;
    const char *key = blank;
    while (key < lineEnd && *key == ' ')
      ++key;
    const char *eq = static_cast<const char *>(std::memchr(key, '=', lineEnd - key));
    if (!eq || eq - key > 99) continue;
    std::string k(key, eq - key);
    std::string v(eq + 1, lineEnd - eq - 1);
    if (m_verboseLogging) {
      log.LogDataQP("paxName", k.c_str());
      log.LogDataQP("paxValue", v.c_str());
    }
    if (k.rfind("GNU.sparse.", 0) == 0) hdr.m_paxMask |= TarHeader::kPaxGnuSparse;
    const char *vb = v.c_str(), *ve = vb + v.size();
    int64_t num = parseDecimal(vb, ve);
    if (k == "atime") {
      hdr.m_atime = static_cast<uint32_t>(num);
      hdr.m_paxMask |= TarHeader::kPaxAtime;
    } else if (k == "ctime") {
      hdr.m_ctime = static_cast<uint32_t>(num);
      hdr.m_paxMask |= TarHeader::kPaxCtime;
    } else if (k == "mtime") {
      hdr.m_mtime64 = num;
      hdr.m_mtime = static_cast<uint32_t>(num);
      hdr.m_paxMask |= TarHeader::kPaxMtime;
    } else if (k == "path") {
      hdr.m_path.setString(v.c_str());
      hdr.m_name.clear();
      hdr.m_prefix.clear();
      hdr.m_paxMask |= TarHeader::kPaxPath;
    } else if (k == "size") {
      // A negative size would move the reader backwards over the archive; the caller says the
      // header could not be parsed.
      if (num < 0) return false;
      hdr.m_size = num;
      hdr.m_paxMask |= TarHeader::kPaxSize;
    } else if (k == "gid" || k == "uid") {
      (k == "gid" ? hdr.m_gid : hdr.m_uid) = static_cast<uint32_t>(num);
      hdr.m_paxMask |= k == "gid" ? TarHeader::kPaxGid : TarHeader::kPaxUid;
    } else if (k == "gname" || k == "uname" || k == "linkpath") {
      StringBuffer *&slot = k == "gname"   ? hdr.m_gname
                            : k == "uname" ? hdr.m_uname
                                           : hdr.m_linkname;
      delete slot;
      slot = new StringBuffer(v.c_str());
      hdr.m_paxMask |= k == "gname"   ? TarHeader::kPaxGname
                       : k == "uname" ? TarHeader::kPaxUname
                                      : TarHeader::kPaxLinkpath;
    }
  }
  return true;
}

// The fields a pax header set override those of the entry that follows it.
void ClsTar::combineHeaderPaxExtended(TarHeader &next, TarHeader &ext) {
  unsigned int m = ext.m_paxMask;
  if (m & TarHeader::kPaxPath) {
    next.m_path.setString(ext.m_path);
    next.m_name.clear();
    next.m_prefix.clear();
  }
  if (m & TarHeader::kPaxSize) next.m_size = ext.m_size;
  if (m & TarHeader::kPaxMtime) next.m_mtime64 = ext.m_mtime64;
  if (m & TarHeader::kPaxAtime) next.m_atime = ext.m_atime;
  if (m & TarHeader::kPaxCtime) next.m_ctime = ext.m_ctime;
  if (m & TarHeader::kPaxUid) next.m_uid = ext.m_uid;
  if (m & TarHeader::kPaxGid) next.m_gid = ext.m_gid;
  StringBuffer **slots[3][2] = {{&next.m_gname, &ext.m_gname},
                                {&next.m_uname, &ext.m_uname},
                                {&next.m_linkname, &ext.m_linkname}};
  const unsigned int bits[3] = {TarHeader::kPaxGname, TarHeader::kPaxUname,
                                TarHeader::kPaxLinkpath};
  for (int i = 0; i < 3; ++i) {
    if (!(m & bits[i])) continue;
    delete *slots[i][0];
    *slots[i][0] = *slots[i][1];
    *slots[i][1] = nullptr;
  }
  next.m_paxMask |= m;
  if (next.m_typeflag == 0 && next.m_size == 0 && next.m_path.lastChar() == '/')
    next.m_isDirectory = true;
}

void ClsTar::combineHeaderLongFilename(TarHeader &next, TarHeader &longHdr) {
  next.m_path.setString(longHdr.m_path);
  next.m_name.clear();
  next.m_prefix.clear();
  if (next.m_typeflag == 0 && next.m_size == 0 && next.m_path.lastChar() == '/')
    next.m_isDirectory = true;
}

// Applies what the extended headers before an entry said, in the order: long name, then pax.
bool ClsTar::finishSpecial(LogBase &log) {
  if (m_haveLong) {
    TarHeader longHdr;
    longHdr.m_path.setString(m_longName);
    combineHeaderLongFilename(m_hdr, longHdr);
    if (m_verboseLogging) log.LogDataQP("combinedFilename", m_hdr.m_path.getString());
  }
  if (m_haveExt) combineHeaderPaxExtended(m_hdr, m_extHdr);
  m_haveLong = m_haveExt = false;
  m_extHdr.clear();
  return true;
}

ClsTar::EntryAction ClsTar::beginEntry(TarHeader &hdr, bool skip, bool discardPaths, Output *&out,
                                       LogBase &log, bool streaming) {
  out = nullptr;
  XString name;
  StringBuffer rel;
  bool safe = entryName(hdr, discardPaths, name, rel);
  XString outPath;
  FileSys::CombineDirAndFilepath(m_untarFromDir, name, outPath);
  if (!safe || (!hdr.m_isDirectory && rel.getSize() == 0)) {
    if (!skip) {
      log.LogError("Entry name leads outside the destination; entry skipped.");
      logName(log, "entry", name.getUtf8());
      m_unsafeSkipped = true;
    }
    return EntryAction::kSkipped;
  }
  if (skip) {
    if (streaming && m_verboseLogging)
      logName(log, hdr.m_isDirectory ? "skippingDir" : "skippingFile", outPath.getUtf8());
    // The streamed untar names each entry once, as it begins.
    if (!streaming && m_untarDebugLog && name.getSizeUtf8())
      logName(log, "skipping", name.getUtf8());
    return EntryAction::kSkipped;
  }
  // Written as it is stored, a sparse file would be its packed data under a made-up name.
  if (isSparse(hdr)) {
    log.LogError("GNU sparse files are not supported; entry skipped.");
    logName(log, "entry", name.getUtf8());
    m_unsupportedSkipped = true;
    return EntryAction::kSkipped;
  }
  if (hdr.m_isDirectory) {
    // Read from a file, a folder without its path is nothing to make; streamed, it names the
    // destination itself, which is made as any folder is.
    if (discardPaths && !streaming) return EntryAction::kDone;
    if (!streaming && m_untarDebugLog) logName(log, "dir", name.getUtf8());
    if (m_verboseLogging) logName(log, streaming ? "creatingDir" : "createDir", outPath.getUtf8());
    if (!makeFolder(m_untarFromDir, rel.getString(), log)) {
      if (streaming) {
        log.LogError("Failed to ensure untar directory.");
      } else {
        log.LogError("Unable to create directory");
        logName(log, "dirPath", outPath.getUtf8());
      }
      return EntryAction::kFailed;
    }
    return EntryAction::kDone;
  }
  if (!streaming) {
    if (m_untarDebugLog) logName(log, "file", name.getUtf8());
    if (m_verboseLogging) logName(log, "outputFile", outPath.getUtf8());
  }
  bool folderFailed = false;
  int64_t atime = hdr.m_atime ? hdr.m_atime : hdr.m_mtime64;
  // The streamed untar names the file once its folders are there.
  out = createFile(m_untarFromDir, rel.getString(), hdr.m_mtime64, atime, folderFailed, log, [&] {
    if (streaming && m_verboseLogging) logName(log, "creatingFile", outPath.getUtf8());
  });
  if (!out) {
    if (streaming) {
      log.LogError(folderFailed ? "Failed to ensure ability to create output file for untar."
                                : "Failed to create output file for untar.");
    } else if (folderFailed) {
      log.LogError("Failed to ensure directory exists.");
      logName(log, "filePath", outPath.getUtf8());
    } else {
      log.LogError("Failed to create OutputFile");
    }
    return EntryAction::kFailed;
  }
  return EntryAction::kWriteFile;
}

bool ClsTar::extractToOutput(DataSource &src, Output &out, int64_t size, LogBase &log,
                             ProgressMonitor *pm) {
  std::vector<unsigned char> buf(64000);
  while (size > 0) {
    unsigned int want = size > 64000 ? 64000u : static_cast<unsigned int>(size);
    if (readExact(src, buf.data(), want, log) != want) return false;
    if (out.fwrite_pm(buf.data(), 1, want, pm, log) != want) return false;
    size -= want;
    if (pm && m_heartbeatMs && pm->heartbeatCheck(m_heartbeatMs, 0)) {
      log.LogError("Untar aborted by application. (2)");
      return false;
    }
  }
  return true;
}

bool ClsTar::extractToFile(DataSource &src, Output *file, int64_t createTime, int64_t accessTime,
                           int64_t modifyTime, int64_t size, LogBase &log, ProgressMonitor *pm) {
  const bool ok = extractToOutput(src, *file, size, log, pm);
  delete file;
  if (ok && m_verboseLogging) {
    log.LogDataInt64("numBytesWritten", size);
    logFileTime(log, "lastModDateTime", modifyTime);
    if (accessTime) logFileTime(log, "lastAccessDateTime", accessTime);
    if (createTime) logFileTime(log, "createDateTime", createTime);
  }
  return ok;
}

// One header block. Only the zero block ends the archive: input that stops before it, even at
// a block boundary, is an archive cut short (a download stopped between two entries) and fails.
bool ClsTar::readHeaderBlock(DataSource &src, TarHeader &hdr, bool &end, LogBase &log) {
  unsigned char block[512];
  unsigned int got = readExact(src, block, 512, log);
  end = false;
  if (got != 512) {
    log.LogError("Failed to read TAR header.");
    return false;
  }
  std::memcpy(m_block, block, 512);
  if (!hdr.parseFromMemory(block, end, log, false)) return false;
  if (!end && !headerChecksumMatches(block, hdr)) {
    log.LogError("TAR header checksum does not match; the archive is damaged.");
    return false;
  }
  return true;
}

bool ClsTar::seekPast(DataSource &src, int64_t &pos, int64_t size, LogBase &log) {
  // The size is checked against what is left before it is added: a size near the 64-bit limit
  // would wrap the position around.
  const int64_t limit = m_srcSize >= 0 ? m_srcSize : INT64_MAX - 1024;
  if (size < 0 || size > limit - pos - 512) {
    log.LogError("TAR archive is truncated.");
    return false;
  }
  pos += 512 + size + ((512 - size % 512) % 512);
  if (m_srcSize >= 0 && pos > m_srcSize) {
    log.LogError("TAR archive is truncated.");
    return false;
  }
  return src.fseekAbsolute64(pos, &log);
}

// The data of an 'L', 'K' or 'x' entry, bounded.
bool ClsTar::readPaxOrLong(DataSource &src, TarHeader &hdr, char type, LogBase &log) {
  const bool pax = type == 'x' || type == 'g';
  if (hdr.m_size < 1 || hdr.m_size > kMaxSpecialSize) {
    log.LogError(pax ? "Invalid size in PAX extended header."
                     : "Invalid size in long filename header.");
    log.LogDataInt64("size", hdr.m_size);
    return false;
  }
  const unsigned int n = static_cast<unsigned int>(hdr.m_size);
  std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[n]);
  if (!data) {
    log.LogError(pax ? "Out of memory for PAX extended header."
                     : "Out of memory for long filename header.");
    return false;
  }
  if (readExact(src, data.get(), n, log) != n) {
    log.LogError(pax ? "Failed to read PAX extended header."
                     : "Failed to read long filename header.");
    return false;
  }
  m_side.clear();
  m_side.append(data.get(), n);
  return true;
}

int ClsTar::_untar(DataSource &src, bool extract, LogBase &log, ProgressMonitor *pm,
                   ProgressEvent *event) {
  log.LogData("UntarFromDir", m_untarFromDir.getUtf8());
  XString noPattern;
  XString &pattern = extract ? m_untarMatchPattern : noPattern;
  const char *pat = pattern.getUtf8();
  bool bare = *pat && !std::strpbrk(pat, "*/\\");
  if (*pat) log.LogData("matchPattern", pat);
  m_unsafeSkipped = m_unsupportedSkipped = m_haveExt = m_haveLong = false;
  int64_t pos = 0;
  int count = 0;
  char prevType = ' ';
  for (;;) {
    if (pm && m_heartbeatMs && pm->heartbeatCheck(m_heartbeatMs, 0)) {
      log.LogError("Untar aborted by application. (1)");
      return -1;
    }
    HeaderContext context(log, m_verboseLogging);
    if (m_verboseLogging) {
      log.LogDataInt64("filePosition", pos);
      log.LogDataLong("previousTypeFlag", prevType);
    }
    bool end = false;
    if (!readHeaderBlock(src, m_hdr, end, log)) return -1;
    if (end) {
      if (m_verboseLogging) log.LogInfo("End-of-TAR");
      break;
    }
    // After a long name or pax header this one is merged with it (below); else its own fields.
    if (m_verboseLogging && prevType != 'x' && prevType != 'L') {
      if (m_hdr.m_prefix.getSize()) logName(log, "prefix", m_hdr.m_prefix.getString());
      logName(log, "name", m_hdr.m_name.getString());
    }
    if (m_verboseLogging) {
      log.LogDataLong("currentTypeFlag", m_hdr.m_typeflag);
      log.LogDataInt64("size", m_hdr.m_size);
    }
    const char t = m_hdr.m_typeflag;
    prevType = t;
    // A global pax header describes the archive, not a file: nothing is written for it.
    if (t == 'g') {
      if (!seekPast(src, pos, m_hdr.m_size, log)) return -1;
      continue;
    }
    if (t == 'x' || t == 'L' || t == 'K') {
      if (m_verboseLogging && t != 'K')
        log.LogInfo(t == 'x' ? "Processing extended PAX header."
                             : "Processing long filename header.");
      if (!readPaxOrLong(src, m_hdr, t, log)) return -1;
      if (t == 'x') {
        m_extHdr.clear();
        if (!parsePaxExtendedHeader(reinterpret_cast<const char *>(m_side.getData2()),
                                    m_side.getSize(), m_extHdr, log)) {
          log.LogError("Failed to parse PAX extended header.");
          return -1;
        }
        m_haveExt = true;
      } else if (t == 'L') {
        m_longName.clear();
        m_longName.appendN(reinterpret_cast<const char *>(m_side.getData2()), m_side.getSize());
        m_longName.chopAtFirstChar('\0');
        if (m_verboseLogging) log.LogDataQP("longFilename", m_longName.getString());
        m_haveLong = true;
      }
      if (!seekPast(src, pos, m_hdr.m_size, log)) return -1;
      continue;
    }
    finishSpecial(log);
    XString name;
    StringBuffer rel;
    entryName(m_hdr, m_untarDiscardPaths, name, rel);
    XString outPath;
    FileSys::CombineDirAndFilepath(m_untarFromDir, name, outPath);
    bool skip = !extract || !nameMatches(name, pattern, bare);
    if (!extract) ++count;
    if (event) {
      event->NextTarFile(outPath.getUtf8(), m_hdr.m_isDirectory ? 0 : m_hdr.m_size,
                         m_hdr.m_isDirectory, skip);
      if (skip && m_verboseLogging) logName(log, "skipping", outPath.getUtf8());
    }
    Output *out = nullptr;
    EntryAction a = beginEntry(m_hdr, skip, m_untarDiscardPaths, out, log, false);
    if (a == EntryAction::kFailed) return -1;
    if (a == EntryAction::kWriteFile && !extractToFile(src, out, m_hdr.m_ctime, m_hdr.m_atime,
                                                       m_hdr.m_mtime64, m_hdr.m_size, log, pm))
      return -1;
    if (a != EntryAction::kSkipped && extract) {
      ++count;
      if (m_untarMaxCount && count >= m_untarMaxCount) {
        log.LogInfo("Reached untar maximum count");
        log.LogDataLong("UntarMaxCount", m_untarMaxCount);
        break;
      }
    }
    if (t == 'S' && !skipSparseExtensions(src, m_block, pos, log)) return -1;
    if (!seekPast(src, pos, m_hdr.m_size, log)) return -1;
  }
  if (m_unsafeSkipped) {
    log.LogError("Entries whose names lead outside the destination were skipped.");
    return -1;
  }
  if (m_unsupportedSkipped) {
    log.LogError("Entries this reader does not support were skipped.");
    return -1;
  }
  return count;
}

bool ClsTar::_untarFirstMatchingToOutput(DataSource &src, XString &pattern, Output &out,
                                         LogBase &log, bool logEveryPath, ProgressMonitor *pm) {
  const char *pat = pattern.getUtf8();
  bool bare = *pat && !std::strpbrk(pat, "*/\\");
  if (*pat) log.LogData("matchPattern", pat);
  m_haveExt = m_haveLong = false;
  int64_t pos = 0;
  for (;;) {
    bool end = false;
    if (!readHeaderBlock(src, m_hdr, end, log) || end) break;
    XString name;
    StringBuffer rel;
    entryName(m_hdr, false, name, rel);
    if (m_untarDebugLog) logName(log, "entry", name.getUtf8());
    if (logEveryPath) logName(log, "entryFilepath", name.getUtf8());
    if (!isSpecialType(m_hdr.m_typeflag) && !isSparse(m_hdr) && nameMatches(name, pattern, bare)) {
      logName(log, "extractingFilename", name.getUtf8());
      return extractToOutput(src, out, m_hdr.m_size, log, pm);
    }
    if (m_hdr.m_typeflag == 'S' && !skipSparseExtensions(src, m_block, pos, log)) break;
    if (!seekPast(src, pos, m_hdr.m_size, log)) break;
  }
  log.LogError("No match found to extract.");
  return false;
}

// ---- Streaming ----

void ClsTar::BeginStreamingUntar(LogBase &) {
  delete m_curOut;
  m_curOut = nullptr;
  m_pending.clear();
  m_side.clear();
  m_remaining = m_written = 0;
  m_fill = 0;
  m_finished = false;
  m_success = true;
  m_prevType = ' ';
  m_sideKind = 0;
  m_haveExt = m_haveLong = false;
  m_unsafeSkipped = m_unsupportedSkipped = false;
  m_sparseExt = false;
  m_abort = false;
  m_headerCount = 0;
}

void ClsTar::streamFail() {
  m_finished = true;
  m_success = false;
  m_pending.clear();
  delete m_curOut;
  m_curOut = nullptr;
}

void ClsTar::streamEndEntry(LogBase &log, int step) {
  static const char *const sizeTags[] = {nullptr, "finishedFileSize1", "finishedFileSize2",
                                         "finishedFileSize3"};
  static const char *const fillTags[] = {nullptr, "numPaddingBytesLeft1", nullptr,
                                         "numPaddingBytesLeft3"};
  if (m_verboseLogging && sizeTags[step]) log.LogDataInt64(sizeTags[step], m_written);
  delete m_curOut;
  m_curOut = nullptr;
  m_fill = static_cast<uint32_t>((512 - m_written % 512) % 512);
  if (m_verboseLogging && fillTags[step]) log.LogDataLong(fillTags[step], static_cast<int>(m_fill));
  if (m_sideKind == 'L') {
    m_longName.clear();
    m_longName.appendN(reinterpret_cast<const char *>(m_side.getData2()), m_side.getSize());
    m_longName.chopAtFirstChar('\0');
    m_haveLong = true;
  } else if (m_sideKind == 'x') {
    m_extHdr.clear();
    if (!parsePaxExtendedHeader(reinterpret_cast<const char *>(m_side.getData2()), m_side.getSize(),
                                m_extHdr, log)) {
      log.LogError("Failed to parse PAX extended header.");
      streamFail();
      return;
    }
    m_haveExt = true;
  }
  m_sideKind = 0;
  m_side.clear();
}

bool ClsTar::streamHeader(const unsigned char *block, LogBase &log) {
  if (m_verboseLogging) {
    log.LogInfo("---- Next TAR Header ----");
    log.LogDataLong("previousHeaderType", m_prevType);
    if (m_prevType == 'L' && m_haveLong) log.LogDataQP("L_Data", m_longName.getString());
  }
  if (m_sparseExt) {
    // An extension block of the sparse header before: its data follows the last one.
    m_sparseExt = block[504] != 0;
    if (!m_sparseExt) {
      m_remaining = m_hdr.m_size;
      m_written = 0;
      m_curOut = new Output();
      if (m_remaining == 0) streamEndEntry(log, 0);
    }
    return true;
  }
  bool end = false;
  const char prev = m_prevType;
  if (!m_hdr.parseFromMemory(block, end, log, m_verboseLogging)) {
    // After a long name or pax entry the header was to be merged with it.
    log.LogError(prev == 'L' || prev == 'x' ? "Failed to parse TAR header.."
                                            : "Failed to parse tar header");
    m_hdr.debugLogTarHeader(block, log);
    streamFail();
    return false;
  }
  if (!end && !headerChecksumMatches(block, m_hdr)) {
    log.LogError("TAR header checksum does not match; the archive is damaged.");
    streamFail();
    return false;
  }
  ++m_headerCount;
  if (end) {
    if (m_haveExt || m_haveLong) {
      log.LogError("TAR archive ends after an extended header.");
      streamFail();
      return false;
    }
    m_finished = true;
    m_pending.clear();
    return true;
  }
  const char t = m_hdr.m_typeflag;
  m_remaining = m_hdr.m_size;
  m_written = 0;
  m_prevType = t;
  if (t == 'x' || t == 'L' || t == 'K') {
    if (m_hdr.m_size < 1 || m_hdr.m_size > kMaxSpecialSize) {
      log.LogError(t == 'x' ? "Invalid size in PAX extended header."
                            : "Invalid size in long filename header.");
      log.LogDataInt64("size", m_hdr.m_size);
      streamFail();
      return false;
    }
    m_side.clear();
    m_sideKind = t;
    m_curOut = new (std::nothrow) OutputDataBuffer(&m_side);
    if (!m_curOut) {
      log.LogError("Failed to create output buffer for untar.");
      streamFail();
      return false;
    }
    return true;
  }
  if (t == 'g') {
    m_curOut = new Output();
    if (m_remaining == 0) streamEndEntry(log, 0);
    return true;
  }
  if (prev == 'x') log.LogError("PAX header in streaming untar!");
  finishSpecial(log);
  m_remaining = m_hdr.m_size;
  XString name;
  StringBuffer rel;
  entryName(m_hdr, m_untarDiscardPaths, name, rel);
  bool skip = !nameMatches(name, m_untarMatchPattern, m_bareName);
  if (m_untarDebugLog) logName(log, "entry", name.getUtf8());
  if (m_verboseLogging) log.LogDataLong("typeFlag", t);
  Output *out = nullptr;
  EntryAction a = beginEntry(m_hdr, skip, m_untarDiscardPaths, out, log, true);
  if (a == EntryAction::kFailed) {
    streamFail();
    return false;
  }
  if (t == 'S' && block[482] != 0) {
    m_sparseExt = true;
    m_remaining = 0;
    return true;
  }
  m_curOut = out ? out : new Output();
  if (m_remaining == 0) streamEndEntry(log, 0);
  return true;
}

bool ClsTar::StreamingUntarNext(const unsigned char *data, unsigned int n, bool &finished,
                                LogBase &log) {
  if (streamingUntarInner(data, n, finished, log)) return true;
  m_success = false;
  return false;
}

bool ClsTar::streamingUntarInner(const unsigned char *data, unsigned int n, bool &finished,
                                 LogBase &log) {
  finished = false;
  if (m_finished) {
    if (m_verboseLogging) log.LogInfo("Streaming finished.");
    finished = true;
    return m_success;
  }
  const unsigned char *const start = data;
  while (n && !m_finished) {
    if (m_remaining > 0) {
      unsigned int k = m_remaining < n ? static_cast<unsigned int>(m_remaining) : n;
      if (!m_curOut) {
        log.LogError("No output for streaming.");
        streamFail();
        return false;
      }
      // 1: the caller's bytes all belong to this entry; 2: the bytes after a header do; 3: they
      // run past its end.
      const int step = k < n ? 3 : data == start ? 1 : 2;
      static const char *const writeFailed[] = {nullptr, "Failed to write tar data to output. (1)",
                                                "Failed to write tar data to output. (2)",
                                                "Failed to write tar data to output. (3)"};
      if (m_curOut->_fwrite32(data, 1, k, nullptr, log) != k) {
        log.LogError(writeFailed[step]);
        streamFail();
        return false;
      }
      m_remaining -= k;
      m_written += k;
      data += k;
      n -= k;
      if (m_remaining == 0) streamEndEntry(log, step);
    } else if (m_fill) {
      unsigned int k = m_fill < n ? m_fill : n;
      m_fill -= k;
      data += k;
      n -= k;
    } else {
      unsigned int need = 512 - m_pending.getSize();
      unsigned int k = need < n ? need : n;
      m_pending.append(data, k);
      data += k;
      n -= k;
      if (m_pending.getSize() == 512) {
        unsigned char block[512];
        std::memcpy(block, m_pending.getData2(), 512);
        m_pending.clear();
        if (!streamHeader(block, log)) return false;
      }
    }
  }
  finished = m_finished;
  return m_success;
}

bool ClsTar::FinishStreamingUntar(LogBase &log) {
  if (!m_finished && m_success) {
    const char *problem = nullptr;
    if (m_pending.getSize() || m_sparseExt)
      problem = "TAR archive ends inside a header.";
    else if (m_remaining > 0 || m_fill)
      problem = "TAR archive ends inside an entry.";
    else if (m_haveExt || m_haveLong)
      problem = "TAR archive ends after an extended header.";
    else if (m_headerCount == 0)
      problem = "Failed to read TAR header.";
    if (problem) {
      log.LogError(problem);
      m_success = false;
    }
  }
  delete m_curOut;
  m_curOut = nullptr;
  if (m_unsafeSkipped && m_success) {
    log.LogError("Entries whose names lead outside the destination were skipped.");
    m_success = false;
  }
  if (m_unsupportedSkipped && m_success) {
    log.LogError("Entries this reader does not support were skipped.");
    m_success = false;
  }
  return m_success;
}

unsigned int ClsTar::_fwrite32(const void *data, unsigned int itemSize, unsigned int count,
                               ProgressMonitor *pm, LogBase &log) {
  const unsigned int n = itemSize * count;
  const unsigned char *p = static_cast<const unsigned char *>(data);
  if (m_inflateCrcOn) {
    m_inflateCrc.moreData(p, n);
    m_inflateCount += n;
  }
  bool finished = false;
  if (!StreamingUntarNext(p, n, finished, log)) {
    log.LogError("StreamingUntarNext failed.");
    return 0;
  }
  if (pm) {
    bool abort = false;
    pm->consume2_32(n, abort);
    if (abort) {
      m_abort = true;
      streamFail();
      return 0;
    }
  }
  return count;
}

unsigned int ClsTar::_fwrite64(const void *data, long long itemSize, unsigned int count,
                               ProgressMonitor *pm, LogBase &log) {
  return _fwrite32(data, static_cast<unsigned int>(itemSize), count, pm, log);
}

// ---- Public reading operations ----

bool ClsTar::unTarGz(DataSource &src, ProgressMonitor *pm, LogBase &log) {
  BeginStreamingUntar(log);
  bool ok = true, headerRead = false;
  for (int member = 0; ok; ++member) {
    unsigned char h[10];
    unsigned int got = readExact(src, h, 10, log);
    // After a member, the end of the file ends the archive; what is not another member is
    // ignored, as gzip does with trailing data.
    if (member > 0 && (got < 2 || h[0] != 0x1F || h[1] != 0x8B)) break;
    if (got < 10) {
      log.LogError("Failed to get gzip signature");
      ok = false;
      break;
    }
    if (h[0] != 0x1F || h[1] != 0x8B) {
      log.LogError("Invalid GZip ID");
      ok = false;
      break;
    }
    if (h[2] != 8) {
      log.LogError("Invalid GZip compression method");
      ok = false;
      break;
    }
    const unsigned char flg = h[3];
    unsigned char b[2];
    if (flg & 0x04) {
      if (readExact(src, b, 2, log) != 2) {
        log.LogError("Failed to get extra length");
        ok = false;
        break;
      }
      unsigned int xlen = b[0] | (b[1] << 8);
      std::vector<unsigned char> extra(xlen ? xlen : 1);
      if (xlen && readExact(src, extra.data(), xlen, log) != xlen) {
        log.LogError("Failed to get extra data");
        ok = false;
        break;
      }
    }
    const char *textErr[2] = {"Failed to get filename", "Failed to get comment"};
    for (int i = 0; i < 2 && ok; ++i) {
      if (!(flg & (i ? 0x10 : 0x08))) continue;
      do {
        if (readExact(src, b, 1, log) != 1) {
          log.LogError(textErr[i]);
          ok = false;
          break;
        }
      } while (b[0] != 0);
    }
    if (ok && (flg & 0x02) && readExact(src, b, 2, log) != 2) {
      log.LogError("Failed to get CRC");
      ok = false;
    }
    if (!ok) break;
    log.LogInfo("GZip header OK.");
    headerRead = true;
    m_inflateCrc.beginStream();
    m_inflateCount = 0;
    m_inflateCrcOn = true;
    RazudodDeflate inflater;
    bool inflated = inflater.DecompressDS(src, *this, log, pm);
    m_inflateCrcOn = false;
    if (!inflated) {
      log.LogError("Failed to inflate the gzip data.");
      ok = false;
      break;
    }
    unsigned char t[8];
    if (readExact(src, t, 8, log) != 8) {
      log.LogError("Failed to get gzip trailer");
      ok = false;
      break;
    }
    uint32_t crc = t[0] | (t[1] << 8) | (t[2] << 16) | (static_cast<uint32_t>(t[3]) << 24);
    uint32_t isize = t[4] | (t[5] << 8) | (t[6] << 16) | (static_cast<uint32_t>(t[7]) << 24);
    if (crc != m_inflateCrc.endStream() || isize != static_cast<uint32_t>(m_inflateCount)) {
      log.LogError(crc != m_inflateCrc.endStream() ? "GZip CRC-32 mismatch" : "GZip size mismatch");
      ok = false;
    }
  }
  // A file that is no gzip at all never reached the untar: its header's message says why.
  if (!ok && !headerRead) {
    streamFail();
    return false;
  }
  bool finished = FinishStreamingUntar(log);
  if (!finished) log.LogError("Untar failed, possible corrupt .gz file.");
  return ok && finished;
}

bool ClsTar::uncompressZ(DataSource &src, LogBase &log) {
  RazudodLzw lzw;
  return lzw.decompress2(src, *this, true, log) != -1;
}

int ClsTar::openAndRun(XString &path, ProgressEvent *event, const char *kind) {
  const bool seekable = !std::strcmp(kind, "tar") || !std::strcmp(kind, "verify");
  if (!seekable) setMatchPatternExactFlag();
  FileDataSource *src = FileDataSource::OpenSourceFileUtf8(path.getUtf8(), &m_log);
  if (!src) {
    if (seekable) m_log.LogError("Failed.");
    return kSourceNotOpened;
  }
  src->m_computeCrc = false;
  m_srcSize = src->getFileSize64(&m_log);
  ProgressMonitorPtr pmp(event, 0, m_srcSize);
  src->setProgressMonitor(pmp.getPm());
  int result = -1;
  if (seekable) {
    result = _untar(*src, kind[0] == 't', m_log, pmp.getPm(), event);
  } else if (!std::strcmp(kind, "gz")) {
    result = unTarGz(*src, pmp.getPm(), m_log) ? 0 : -1;
  } else if (!std::strcmp(kind, "bz2")) {
    BeginStreamingUntar(m_log);
    RazudodBzip2 bz;
    bool ok = bz.DecompressStream(*src, *this, m_log);
    bool finished = FinishStreamingUntar(m_log);
    result = ok && finished ? 0 : -1;
  } else {
    BeginStreamingUntar(m_log);
    if (!uncompressZ(*src, m_log)) {
      m_log.LogError("Invalid compressed data (D)");
      streamFail(); // what was written of an entry is closed; nothing more is said
    } else if (FinishStreamingUntar(m_log)) {
      result = 0;
    } else {
      m_log.LogError("Untar failed, possible corrupt .Z file.");
    }
  }
  delete src;
  m_srcSize = -1;
  if (result >= 0) pmp.consumeRemaining();
  return result;
}

int ClsTar::runFileOperation(const char *name, XString &path, ProgressEvent *event,
                             const char *kind) {
  enterCriticalSection();
  enterContextBase(name);
  int n = openAndRun(path, event, kind);
  if (n != kSourceNotOpened) logSuccessFailure(n >= 0);
  m_log.LeaveContext();
  leaveCriticalSection();
  return n < 0 ? -1 : n;
}

int ClsTar::Untar(XString &tarPath, ProgressEvent *event) {
  return runFileOperation("Untar", tarPath, event, "tar");
}

bool ClsTar::VerifyTar(XString &tarPath, ProgressEvent *event) {
  return runFileOperation("VerifyTar", tarPath, event, "verify") >= 0;
}

bool ClsTar::UntarGz(XString &path, ProgressEvent *event) {
  return runFileOperation("UntarGz", path, event, "gz") >= 0;
}

bool ClsTar::UntarBz2(XString &path, ProgressEvent *event) {
  return runFileOperation("UntarBz2", path, event, "bz2") >= 0;
}

bool ClsTar::UntarZ(XString &path, ProgressEvent *event) {
  return runFileOperation("UntarZ", path, event, "Z") >= 0;
}

int ClsTar::UntarFromMemory(DataBuffer &tarData, ProgressEvent *event) {
  enterCriticalSection();
  enterContextBase("UntarFromMemory");
  MemoryDataSource src;
  src.initializeMemSource(reinterpret_cast<const char *>(tarData.getData2()), tarData.getSize(),
                          false);
  m_srcSize = tarData.getSize();
  ProgressMonitorPtr pmp(event, 0, 0LL);
  int n = _untar(src, true, m_log, pmp.getPm(), event);
  m_srcSize = -1;
  m_log.LeaveContext();
  leaveCriticalSection();
  return n;
}

bool ClsTar::UntarFirstMatchingToMemory(DataBuffer &tarData, XString &pattern, DataBuffer &out) {
  enterCriticalSection();
  enterContextBase("UntarFirstMatchingToMemory");
  MemoryDataSource src;
  src.initializeMemSource(reinterpret_cast<const char *>(tarData.getData2()), tarData.getSize(),
                          false);
  m_srcSize = tarData.getSize();
  OutputDataBuffer sink(&out);
  bool ok = _untarFirstMatchingToOutput(src, pattern, sink, m_log, m_verboseLogging, nullptr);
  m_srcSize = -1;
  logSuccessFailure(ok);
  m_log.LeaveContext();
  leaveCriticalSection();
  return ok;
}
