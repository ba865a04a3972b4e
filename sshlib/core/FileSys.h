// File-system operations on paths: opening in fixed modes with the library's open-failure codes,
// existence and size, whole-file writes, deletion, directory creation and path combination.
// Every path goes to the system as its UTF-8 bytes (file names on Linux are byte strings, and the
// library holds text as UTF-8).
#pragma once

class LogBase;
class RazudodHandle;
class XString;

class FileSys {
public:
  // Open-failure codes, set when an open fails (left untouched on success).
  enum OpenFailure {
    OpenFailPerm = 1,        // EPERM
    OpenFailNoEnt = 2,       // ENOENT
    OpenFailOther = 3,       // any other error, EACCES included
    OpenFailExist = 4,       // EEXIST
    OpenFailIsDir = 5,       // EISDIR
    OpenFailLoop = 6,        // ELOOP
    OpenFailMFile = 7,       // EMFILE
    OpenFailNameTooLong = 8, // ENAMETOOLONG
    OpenFailNFile = 9,       // ENFILE
    OpenFailNoDev = 10,      // ENODEV
    OpenFailNoMem = 11,      // ENOMEM
    OpenFailNoSpc = 12,      // ENOSPC
    OpenFailNotDir = 13,     // ENOTDIR
    OpenFailOverflow = 14,   // EOVERFLOW
    OpenFailRoFs = 15,       // EROFS
    OpenFailTxtBsy = 16      // ETXTBSY
  };

  static RazudodHandle *openFileLinux(XString &path, const char *mode, int &errCode, LogBase *log);

  // Lower level: a new handle owned by the caller, or null.
  static RazudodHandle *openForReadLinux(XString &path, int &errCode, LogBase *log);
  static RazudodHandle *openDirForReadLinux(XString &path, int &errCode, LogBase *log);
  static RazudodHandle *openForWriteLinux(XString &path, int unused, int &errCode, LogBase *log);
  static RazudodHandle *openForAppendLinux(XString &path, int &errCode, LogBase *log);
  static RazudodHandle *openForReadWriteLinux(XString &path, bool exclusive, int &errCode,
                                              LogBase *log);

  // Wrappers moving the new stream into the given handle.
  static bool OpenForRead3(RazudodHandle &handle, XString &path, int &errCode, LogBase *log);
  static bool OpenDirForRead3(RazudodHandle &handle, XString &path, int &errCode, LogBase *log);
  static bool OpenForWrite3(RazudodHandle &handle, XString &path, int unused, int &errCode,
                            LogBase *log);
  static bool OpenForAppend3(RazudodHandle &handle, XString &path, int &errCode, LogBase *log);
  static bool OpenForReadWrite3(RazudodHandle &handle, XString &path, bool exclusive, int &errCode,
                                LogBase *log);

  static bool fileExistsX(XString &path, LogBase *log);
  static bool fileExistsUtf8(const char *path, LogBase *log);
  static long long fileSizeX_64(XString &path, LogBase *log, bool &ok);
  static long long fileSizeUtf8_64(const char *path, LogBase *log, bool &ok);

  static bool createDirLinux(XString &path, LogBase *log);
  static bool deleteFileLinux(XString &path, LogBase *log);
  static bool deleteFileX(XString &path, LogBase *log);
  static bool deleteFileUtf8(const char *path, LogBase *log);

  static bool writeFileX(XString &path, const char *data, unsigned int count, LogBase *log);
  static bool writeFileUtf8(const char *path, const char *data, unsigned int count, LogBase *log);
  // The path is text in the ANSI code page.
  static bool writeFileAnsi(const char *path, const char *data, unsigned int count, LogBase *log);

  static void getCurrentDirLinux(XString &out);
  static void GetFullPathname(XString &in, XString &out);
  static void buildLongPath(XString &in, XString &out);
  static void GetFinalFilenamePart(XString &path, XString &out);
  static void AbsoluteToRelative(XString &path);
  static void CombineDirAndFilepath(XString &dir, XString &path, XString &out);
  static void CombineDirAndFilename(XString &dir, XString &name, XString &out);

  // The open-failure code of a system error number.
  static int openFailureCode(int err);
};
