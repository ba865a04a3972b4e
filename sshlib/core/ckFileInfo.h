// File information (size, times, Windows-style attribute bits), a one-directory listing and
// making directory paths exist.
#pragma once

#include <dirent.h>

#include "sshlib/core/RazudodFileTime.h"
#include "sshlib/core/RazudodObject.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XString.h"

class ExtPtrArray;
class LogBase;

class ckFileInfo : public RazudodObject {
public:
  ckFileInfo();
  ~ckFileInfo() override;

  void clearFileInfo();
  bool loadFileInfoX(XString &path, LogBase *log);
  bool loadFileInfoUtf8(const char *path, LogBase *log);

  bool isReadOnly() const { return (m_attributes & 0x1) != 0; }
  bool isHidden() const { return (m_attributes & 0x2) != 0; }
  bool isArchive() const { return (m_attributes & 0x20) != 0; }
  bool isCompressed() const { return (m_attributes & 0x800) != 0; }
  bool isEncrypted() const { return (m_attributes & 0x4000) != 0; }

  // Set when the file exists but opening it was not permitted (open-failure code 1).
  bool m_accessDenied;
  StringBuffer m_path;
  bool m_isDirectory;
  // Loading follows symbolic links, so this stays false: what is described is the link's target.
  bool m_isSymLink = false;
  unsigned int m_sizeLow;
  long long m_size64;
  // Only the directory bit 0x10 is ever set by loading.
  unsigned int m_attributes;
  // Local times (the creation time is the modification time: the system keeps no other).
  RazudodFileTime m_lastModTime;
  RazudodFileTime m_createTime;
  RazudodFileTime m_lastAccessTime;
  // The same instants in UTC, as the system reports them.
  RazudodFileTime m_lastModTimeUtc;
  RazudodFileTime m_createTimeUtc;
  RazudodFileTime m_lastAccessTimeUtc;
};

// Steps through the entries of one directory: regular files and directories only.
class FindFileLinux {
public:
  FindFileLinux();
  virtual ~FindFileLinux();
  FindFileLinux(const FindFileLinux &) = delete;
  FindFileLinux &operator=(const FindFileLinux &) = delete;

  bool ffOpenDir2(XString &dir, bool unused, LogBase &log);
  bool ffNextDirEntry2(bool &unused1, bool unused2, LogBase &log);
  bool advancePosition(const char *unused, LogBase &log);
  bool isDirectory() const;
  // The current entry's name (UTF-8); empty when there is none.
  void getFileName(XString &out, LogBase &log);
  void ffCloseDir2();

  // The type of an entry (DT_DIR, DT_REG, ...). When the directory stream does not report it
  // (DT_UNKNOWN), the entry itself is asked, without following a symbolic link.
  static unsigned char resolveEntryType(DIR *dir, const char *name, unsigned char reported);

private:
  struct dirent *m_entry;
  DIR *m_dir;
  XString m_dirPath;
  unsigned char m_entryType;
};

class DirAutoCreate {
public:
  static bool checkCreateFinalUtf8(const char *path, bool &created, LogBase *log);
  // Creates every missing level; each directory created is added to the list (when given) as
  // its path followed by "D".
  static bool ensureDirUtf8_2(const char *path, ExtPtrArray *createdList, LogBase *log);
  static bool ensureDirUtf8(const char *path, LogBase *log);
  // Makes the directory part of a file path exist; dirOut receives it.
  static bool ensureFileUtf8(const char *filePath, StringBuffer &dirOut, LogBase *log);
};
