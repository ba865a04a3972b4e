#include "sshlib/core/RazudodHandle.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>

#include "sshlib/core/LogBase.h"
#include "sshlib/core/RazudodFileTime.h"

RazudodHandle::RazudodHandle() : m_fp(nullptr) {}

RazudodHandle::~RazudodHandle() {
  closeHandle();
}

long long RazudodHandle::fileSize64(LogBase *log) {
  if (!m_fp) return -1;
  struct stat st;
  if (fstat(fileno(m_fp), &st) != 0) {
    if (log) log->LogLastErrorOS();
    return -1;
  }
  return static_cast<long long>(st.st_size);
}

int RazudodHandle::fileSize32(LogBase *log) {
  long long size = fileSize64(log);
  if (size < 0 || size > 0x7FFFFFFFLL) return -1;
  return static_cast<int>(size);
}

bool RazudodHandle::readBytesToBuf32(void *buf, unsigned int count, unsigned int &bytesRead,
                                     bool &eof, LogBase *log) {
  bytesRead = 0;
  eof = false;
  if (count == 0 || !buf) {
    if (log) log->LogError("NULL buf or bufSize");
    return false;
  }
  if (!m_fp) return false;
  size_t n = std::fread(buf, 1, count, m_fp);
  bytesRead = static_cast<unsigned int>(n);
  if (n == count) return true;
  if (std::ferror(m_fp)) return false;
  eof = true;
  return true;
}

bool RazudodHandle::setFilePointerAbsolute(long long position, LogBase *log) {
  if (!m_fp) return false;
  if (fseeko(m_fp, static_cast<off_t>(position), SEEK_SET) != 0) {
    if (log) {
      log->LogError("Failed to fseek to absolute file position");
      log->LogDataInt64("position", position);
    }
    return false;
  }
  return true;
}

bool RazudodHandle::setFilePointerRelative(long long distance, LogBase *log) {
  if (!m_fp) return false;
  if (fseeko(m_fp, static_cast<off_t>(distance), SEEK_CUR) != 0) {
    if (log) {
      log->LogError("Failed to fseek to relative file position");
      log->LogDataInt64("position", distance);
    }
    return false;
  }
  return true;
}

bool RazudodHandle::setFilePointerToEnd(LogBase *log) {
  if (!m_fp) return false;
  if (fseeko(m_fp, 0, SEEK_END) != 0) {
    if (log) log->LogError("Failed to fseek to end of file");
    return false;
  }
  return true;
}

long long RazudodHandle::ftell64(LogBase *) {
  if (!m_fp) return -1;
  return static_cast<long long>(ftello(m_fp));
}

bool RazudodHandle::writeFile64(const void *data, long long count, long long *written,
                                LogBase *log) {
  if (!m_fp) {
    if (log) log->LogError("Failed to write because file is not open.");
    return false;
  }
  if (written) *written = 0;
  const unsigned char *p = static_cast<const unsigned char *>(data);
  const long long maxPiece = 10000000;
  while (count > 0) {
    long long piece = count < maxPiece ? count : maxPiece;
    if (std::fwrite(p, static_cast<size_t>(piece), 1, m_fp) != 1) {
      if (log) log->LogError("fwrite failed.");
      return false;
    }
    if (written) *written += piece;
    p += piece;
    count -= piece;
  }
  return true;
}

bool RazudodHandle::getFileTime(RazudodFileTime &create, RazudodFileTime &access,
                                RazudodFileTime &modify) {
  if (!m_fp) return false;
  struct stat st;
  if (fstat(fileno(m_fp), &st) != 0) return false;
  create.fromUnixTime(static_cast<long>(st.st_mtime), 0);
  modify.fromUnixTime(static_cast<long>(st.st_mtime), 0);
  access.fromUnixTime(static_cast<long>(st.st_atime), 0);
  return true;
}

void RazudodHandle::setFileTime3(RazudodFileTime &, RazudodFileTime &access,
                                 RazudodFileTime &modify) {
  if (!m_fp) return;
  int fd = fileno(m_fp);
  if (fd < 0) return;
  // Buffered bytes written later would move the modification time again.
  std::fflush(m_fp);
  struct timeval tv[2];
  tv[0].tv_sec = static_cast<time_t>(access.toUnixTime());
  tv[0].tv_usec = 0;
  tv[1].tv_sec = static_cast<time_t>(modify.toUnixTime());
  tv[1].tv_usec = 0;
  futimes(fd, tv);
}

void RazudodHandle::setFileTime(RazudodFileTime &t) {
  setFileTime3(t, t, t);
}

void RazudodHandle::closeHandle() {
  if (m_fp) {
    std::fclose(m_fp);
    m_fp = nullptr;
  }
}

void RazudodHandle::takeFp(FILE *fp) {
  closeHandle();
  m_fp = fp;
}

void RazudodHandle::takeHandle(RazudodHandle &other) {
  if (&other == this) return;
  closeHandle();
  m_fp = other.m_fp;
  other.m_fp = nullptr;
}
