#include "sshlib/core/FileSys.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/RazudodHandle.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XString.h"

namespace {

// The path's UTF-8 text with backslashes turned into slashes.
void slashedPath(XString &path, StringBuffer &out) {
  out.setString(path.getUtf8());
  out.replaceCharAnsi('\\', '/');
}

// Length of the run of leading slashes.
size_t leadingSlashes(const char *s) {
  size_t n = 0;
  while (s[n] == '/')
    ++n;
  return n;
}

} // namespace

int FileSys::openFailureCode(int err) {
  switch (err) {
  case EPERM:
    return OpenFailPerm;
  case ENOENT:
    return OpenFailNoEnt;
  case EEXIST:
    return OpenFailExist;
  case EISDIR:
    return OpenFailIsDir;
  case ELOOP:
    return OpenFailLoop;
  case EMFILE:
    return OpenFailMFile;
  case ENAMETOOLONG:
    return OpenFailNameTooLong;
  case ENFILE:
    return OpenFailNFile;
  case ENODEV:
    return OpenFailNoDev;
  case ENOMEM:
    return OpenFailNoMem;
  case ENOSPC:
    return OpenFailNoSpc;
  case ENOTDIR:
    return OpenFailNotDir;
  case EOVERFLOW:
    return OpenFailOverflow;
  case EROFS:
    return OpenFailRoFs;
  case ETXTBSY:
    return OpenFailTxtBsy;
  default:
    return OpenFailOther;
  }
}

RazudodHandle *FileSys::openFileLinux(XString &path, const char *mode, int &errCode, LogBase *log) {
  const char *p = path.getUtf8();
  FILE *fp = std::fopen(p, mode);
  if (!fp) {
    int err = errno;
    errCode = openFailureCode(err);
    if (log) {
      errno = err;
      log->LogLastErrorOS();
      log->LogError("Failed to open file.");
      log->LogData("mode", mode);
      log->LogData("path", p);
    }
    return nullptr;
  }
  RazudodHandle *h = new RazudodHandle();
  h->takeFp(fp);
  return h;
}

RazudodHandle *FileSys::openForReadLinux(XString &path, int &errCode, LogBase *log) {
  return openFileLinux(path, "r", errCode, log);
}

RazudodHandle *FileSys::openDirForReadLinux(XString &path, int &errCode, LogBase *log) {
  return openFileLinux(path, "r", errCode, log);
}

RazudodHandle *FileSys::openForWriteLinux(XString &path, int, int &errCode, LogBase *log) {
  return openFileLinux(path, "w", errCode, log);
}

RazudodHandle *FileSys::openForAppendLinux(XString &path, int &errCode, LogBase *log) {
  return openFileLinux(path, "a+", errCode, log);
}

RazudodHandle *FileSys::openForReadWriteLinux(XString &path, bool exclusive, int &errCode,
                                              LogBase *log) {
  return openFileLinux(path, exclusive ? "wx+" : "w+", errCode, log);
}

namespace {
bool adopt(RazudodHandle &handle, RazudodHandle *opened) {
  if (!opened) return false;
  handle.takeHandle(*opened);
  delete opened;
  return true;
}
} // namespace

bool FileSys::OpenForRead3(RazudodHandle &handle, XString &path, int &errCode, LogBase *log) {
  return adopt(handle, openForReadLinux(path, errCode, log));
}

bool FileSys::OpenDirForRead3(RazudodHandle &handle, XString &path, int &errCode, LogBase *log) {
  return adopt(handle, openDirForReadLinux(path, errCode, log));
}

bool FileSys::OpenForWrite3(RazudodHandle &handle, XString &path, int unused, int &errCode,
                            LogBase *log) {
  return adopt(handle, openForWriteLinux(path, unused, errCode, log));
}

bool FileSys::OpenForAppend3(RazudodHandle &handle, XString &path, int &errCode, LogBase *log) {
  return adopt(handle, openForAppendLinux(path, errCode, log));
}

bool FileSys::OpenForReadWrite3(RazudodHandle &handle, XString &path, bool exclusive, int &errCode,
                                LogBase *log) {
  return adopt(handle, openForReadWriteLinux(path, exclusive, errCode, log));
}

bool FileSys::fileExistsX(XString &path, LogBase *) {
  if (path.getSizeUtf8() == 0) return false;
  struct stat st;
  return stat(path.getUtf8(), &st) == 0;
}

bool FileSys::fileExistsUtf8(const char *path, LogBase *log) {
  XString x;
  x.setFromUtf8(path);
  return fileExistsX(x, log);
}

long long FileSys::fileSizeX_64(XString &path, LogBase *, bool &ok) {
  struct stat st;
  if (stat(path.getUtf8(), &st) != 0) {
    ok = false;
    return 0;
  }
  ok = true;
  return static_cast<long long>(st.st_size);
}

long long FileSys::fileSizeUtf8_64(const char *path, LogBase *log, bool &ok) {
  XString x;
  x.setFromUtf8(path);
  return fileSizeX_64(x, log, ok);
}

bool FileSys::createDirLinux(XString &path, LogBase *log) {
  StringBuffer p;
  slashedPath(path, p);
  if (mkdir(p.getString(), 0777) != 0) {
    if (log) {
      log->LogLastErrorOS();
      log->LogError("Failed to create directory.");
      log->LogData("path", p.getString());
    }
    return false;
  }
  return true;
}

bool FileSys::deleteFileLinux(XString &path, LogBase *log) {
  StringBuffer p;
  slashedPath(path, p);
  if (std::remove(p.getString()) != 0) {
    if (log) {
      int err = errno;
      log->LogError("Failed to remove file");
      log->LogData("filepath", p.getString());
      errno = err;
      log->LogLastErrorOS();
    }
    return false;
  }
  return true;
}

bool FileSys::deleteFileX(XString &path, LogBase *log) {
  return deleteFileLinux(path, log);
}

bool FileSys::deleteFileUtf8(const char *path, LogBase *log) {
  XString x;
  x.setFromUtf8(path);
  return deleteFileLinux(x, log);
}

bool FileSys::writeFileX(XString &path, const char *data, unsigned int count, LogBase *log) {
  if (path.getSizeUtf8() == 0) return false;
  int errCode = 0;
  RazudodHandle handle;
  if (!OpenForWrite3(handle, path, 0, errCode, log)) {
    if (log) {
      log->LogData("filename", path.getUtf8());
      log->LogError("Failed to write complete file (7)");
    }
    return false;
  }
  if (!data || count == 0) return true;
  if (!handle.writeFile64(data, count, nullptr, log)) {
    if (log) {
      log->LogData("filename", path.getUtf8());
      log->LogError("Failed to write complete file (1)");
    }
    return false;
  }
  // Closing flushes the stream: a failure there (a full disk) means the file is incomplete.
  FILE *fp = handle.getFp();
  bool flushed = std::fflush(fp) == 0;
  handle.closeHandle();
  if (!flushed) {
    if (log) {
      log->LogData("filename", path.getUtf8());
      log->LogError("Failed to write complete file (1)");
    }
    return false;
  }
  return true;
}

bool FileSys::writeFileUtf8(const char *path, const char *data, unsigned int count, LogBase *log) {
  XString x;
  x.setFromUtf8(path);
  return writeFileX(x, data, count, log);
}

bool FileSys::writeFileAnsi(const char *path, const char *data, unsigned int count, LogBase *log) {
  XString x;
  x.setFromAnsi(path);
  return writeFileX(x, data, count, log);
}

void FileSys::getCurrentDirLinux(XString &out) {
  // getcwd sizes the buffer itself, so deep working directories are not lost.
  char *cwd = getcwd(nullptr, 0);
  if (!cwd) {
    out.clear();
    return;
  }
  out.setFromUtf8(cwd);
  std::free(cwd);
}

void FileSys::GetFullPathname(XString &in, XString &out) {
  // realpath allocates a block of the size the result needs.
  char *full = realpath(in.getUtf8(), nullptr);
  if (!full) {
    out.copyFromX(in);
    return;
  }
  out.setFromUtf8(full);
  std::free(full);
}

void FileSys::buildLongPath(XString &in, XString &out) {
  out.copyFromX(in);
}

void FileSys::GetFinalFilenamePart(XString &path, XString &out) {
  const char *p = path.getUtf8();
  const char *slash = std::strrchr(p, '/');
  if (!slash) {
    out.copyFromX(path);
    return;
  }
  StringBuffer tail(slash + 1);
  out.setFromUtf8(tail.getString());
}

void FileSys::AbsoluteToRelative(XString &path) {
  const char *p = path.getUtf8();
  size_t n = leadingSlashes(p);
  if (n == 0) return;
  StringBuffer rest(p + n);
  path.setFromUtf8(rest.getString());
}

void FileSys::CombineDirAndFilepath(XString &dir, XString &path, XString &out) {
  StringBuffer d(dir.getUtf8());
  d.trim2();
  if (d.getSize() == 0) {
    if (&out != &path) out.copyFromX(path);
    return;
  }
  if (d.lastChar() != '/') d.appendChar('/');
  const char *p = path.getUtf8();
  d.append(p + leadingSlashes(p));
  out.setFromUtf8(d.getString());
}

void FileSys::CombineDirAndFilename(XString &dir, XString &name, XString &out) {
  XString finalPart;
  GetFinalFilenamePart(name, finalPart);
  StringBuffer d(dir.getUtf8());
  d.trim2();
  if (d.getSize() == 0) {
    out.copyFromX(finalPart);
    return;
  }
  if (d.lastChar() != '/') d.appendChar('/');
  d.append(finalPart.getUtf8());
  out.setFromUtf8(d.getString());
}
