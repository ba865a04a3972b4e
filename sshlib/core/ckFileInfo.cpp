#include "sshlib/core/ckFileInfo.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/FileSys.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/RazudodHandle.h"

// ---- ckFileInfo ----

ckFileInfo::ckFileInfo()
    : m_accessDenied(false), m_isDirectory(false), m_sizeLow(0), m_size64(0), m_attributes(0) {}

ckFileInfo::~ckFileInfo() = default;

void ckFileInfo::clearFileInfo() {
  m_accessDenied = false;
  m_path.clear();
  m_isDirectory = false;
  m_isSymLink = false;
  m_sizeLow = 0;
  m_size64 = 0;
  m_attributes = 0;
  m_lastModTime.clear();
  m_createTime.clear();
  m_lastAccessTime.clear();
  m_lastModTimeUtc.clear();
  m_createTimeUtc.clear();
  m_lastAccessTimeUtc.clear();
}

bool ckFileInfo::loadFileInfoUtf8(const char *path, LogBase *log) {
  clearFileInfo();
  XString x;
  x.setFromUtf8(path);
  return loadFileInfoX(x, log);
}

bool ckFileInfo::loadFileInfoX(XString &path, LogBase *log) {
  clearFileInfo();
  const char *p = path.getUtf8();
  struct stat st;
  if (stat(p, &st) != 0) {
    if (log) {
      int err = errno;
      log->LogError("Failed to get file information (stat)");
      log->LogData("path", p);
      errno = err;
      log->LogLastErrorOS();
    }
    return false;
  }
  m_isDirectory = S_ISDIR(st.st_mode);
  if (m_isDirectory) m_attributes |= 0x10;
  m_path.setString(p);

  if (!m_isDirectory && !S_ISREG(st.st_mode)) {
    // A FIFO, socket or device: opening it to read could block or act on the device, so its
    // information is taken from stat alone.
    m_lastModTimeUtc.fromUnixTime(static_cast<long>(st.st_mtime), 0);
    m_createTimeUtc.fromUnixTime(static_cast<long>(st.st_mtime), 0);
    m_lastAccessTimeUtc.fromUnixTime(static_cast<long>(st.st_atime), 0);
  } else {
    RazudodHandle handle;
    int errCode = 0;
    bool opened = m_isDirectory ? FileSys::OpenDirForRead3(handle, path, errCode, log)
                                : FileSys::OpenForRead3(handle, path, errCode, log);
    if (!opened) {
      if (errCode == FileSys::OpenFailPerm) m_accessDenied = true;
      return false;
    }
    if (!handle.getFileTime(m_createTimeUtc, m_lastAccessTimeUtc, m_lastModTimeUtc)) return false;
    if (!m_isDirectory) {
      m_size64 = handle.fileSize64(nullptr);
      m_sizeLow = static_cast<unsigned int>(m_size64);
    }
  }
  m_lastModTimeUtc.toLocalFileTime(m_lastModTime);
  m_createTimeUtc.toLocalFileTime(m_createTime);
  m_lastAccessTimeUtc.toLocalFileTime(m_lastAccessTime);
  if (!m_isDirectory && !S_ISREG(st.st_mode)) {
    m_size64 = static_cast<long long>(st.st_size);
    m_sizeLow = static_cast<unsigned int>(m_size64);
  }
  return true;
}

// ---- FindFileLinux ----

FindFileLinux::FindFileLinux() : m_entry(nullptr), m_dir(nullptr), m_entryType(DT_UNKNOWN) {}

FindFileLinux::~FindFileLinux() {
  ffCloseDir2();
}

void FindFileLinux::ffCloseDir2() {
  if (m_dir) {
    closedir(m_dir);
    m_dir = nullptr;
  }
  m_entry = nullptr;
  m_entryType = DT_UNKNOWN;
}

bool FindFileLinux::ffOpenDir2(XString &dir, bool, LogBase &log) {
  ffCloseDir2();
  m_dirPath.copyFromX(dir);
  const char *p = m_dirPath.getUtf8();
  m_dir = opendir(p);
  if (!m_dir) {
    log.LogLastErrorOS();
    log.LogError("Failed to opendir");
    log.LogData("path", p);
    return false;
  }
  return advancePosition(nullptr, log);
}

bool FindFileLinux::ffNextDirEntry2(bool &, bool, LogBase &log) {
  if (!m_dir) {
    log.LogError("No directory stream open for readdir.");
    return false;
  }
  return advancePosition(nullptr, log);
}

unsigned char FindFileLinux::resolveEntryType(DIR *dir, const char *name, unsigned char reported) {
  if (reported != DT_UNKNOWN || !dir || !name) return reported;
  struct stat st;
  if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  if (S_ISDIR(st.st_mode)) return DT_DIR;
  if (S_ISREG(st.st_mode)) return DT_REG;
  if (S_ISLNK(st.st_mode)) return DT_LNK;
  return DT_UNKNOWN;
}

bool FindFileLinux::advancePosition(const char *, LogBase &) {
  if (!m_dir) return false;
  for (;;) {
    m_entry = readdir(m_dir);
    if (!m_entry) {
      m_entryType = DT_UNKNOWN;
      return false;
    }
    const char *name = m_entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    m_entryType = resolveEntryType(m_dir, name, m_entry->d_type);
    if (m_entryType == DT_DIR || m_entryType == DT_REG) return true;
  }
}

bool FindFileLinux::isDirectory() const {
  return m_entry && m_entryType == DT_DIR;
}

void FindFileLinux::getFileName(XString &out, LogBase &) {
  if (!m_entry) {
    out.clear();
    return;
  }
  // Entry names are the file system's bytes, UTF-8 like every path of the library.
  out.setFromUtf8(m_entry->d_name);
}

// ---- DirAutoCreate ----

bool DirAutoCreate::checkCreateFinalUtf8(const char *path, bool &created, LogBase *log) {
  created = false;
  if (!path || !*path || std::strcmp(path, ".") == 0) return true;
  if (FileSys::fileExistsUtf8(path, nullptr)) return true;
  XString x;
  x.setFromUtf8(path);
  if (!FileSys::createDirLinux(x, log)) return false;
  created = true;
  return true;
}

namespace {
void noteCreated(ExtPtrArray *list, const char *path) {
  if (!list) return;
  StringBuffer *sb = new StringBuffer(path);
  sb->appendChar('D');
  if (!list->append(sb)) delete sb;
}

bool cannotEnsure(LogBase *log, const char *path) {
  if (log) {
    log->LogError("Cannot ensure directory existence");
    log->LogData("path", path);
  }
  return false;
}
} // namespace

bool DirAutoCreate::ensureDirUtf8_2(const char *path, ExtPtrArray *createdList, LogBase *log) {
  StringBuffer p(path ? path : "");
  p.trim2();
  if (p.getSize() == 0) return true;
  p.replaceCharAnsi('\\', '/');

  bool created = false;
  if (checkCreateFinalUtf8(p.getString(), created, log)) {
    if (created) noteCreated(createdList, p.getString());
    return true;
  }

  const char *s = p.getString();
  int len = p.getSize();
  int i = 0;
  while (i < len && s[i] == '/')
    ++i;
  const char *slash = std::strchr(s + i, '/');
  if (!slash) return cannotEnsure(log, s);
  while (slash) {
    StringBuffer prefix(s, static_cast<int>(slash - s), 0);
    if (!checkCreateFinalUtf8(prefix.getString(), created, log))
      return cannotEnsure(log, prefix.getString());
    if (created) noteCreated(createdList, prefix.getString());
    slash = std::strchr(slash + 1, '/');
  }
  if (!checkCreateFinalUtf8(s, created, log)) return cannotEnsure(log, s);
  if (created) noteCreated(createdList, s);
  return true;
}

bool DirAutoCreate::ensureDirUtf8(const char *path, LogBase *log) {
  return ensureDirUtf8_2(path, nullptr, log);
}

bool DirAutoCreate::ensureFileUtf8(const char *filePath, StringBuffer &dirOut, LogBase *log) {
  if (!filePath) {
    if (log) log->LogError("No filePath");
    return false;
  }
  dirOut.setString(filePath);
  dirOut.replaceCharAnsi('\\', '/');
  dirOut.trim2();
  const char *s = dirOut.getString();
  const char *last = std::strrchr(s, '/');
  if (!last || last == s) return true;
  dirOut.shorten(static_cast<int>(dirOut.getSize() - (last - s)));
  if (dirOut.getSize() == 0) return true;
  return ensureDirUtf8(dirOut.getString(), log);
}
