// An owned stdio stream with 64-bit size, seek, read, write and time operations.
#pragma once

#include <cstdio>

class LogBase;
class RazudodFileTime;

class RazudodHandle {
public:
  RazudodHandle();
  virtual ~RazudodHandle();
  RazudodHandle(const RazudodHandle &) = delete;
  RazudodHandle &operator=(const RazudodHandle &) = delete;

  bool isHandleOpen() const { return m_fp != nullptr; }

  // Size from fstat; -1 when closed or when fstat fails (logged when a log is given).
  long long fileSize64(LogBase *log);
  // The size when it fits in 31 bits; -1 when closed, on failure, or when it is larger (a size
  // that cannot be held is a failure, never a wrapped value).
  int fileSize32(LogBase *log);

  // One fread of up to count bytes. A short read succeeds with eof set unless the stream's error
  // indicator is set. The bytes read are reported in every case.
  bool readBytesToBuf32(void *buf, unsigned int count, unsigned int &bytesRead, bool &eof,
                        LogBase *log);
  bool setFilePointerAbsolute(long long position, LogBase *log);
  bool setFilePointerRelative(long long distance, LogBase *log);
  bool setFilePointerToEnd(LogBase *log);
  long long ftell64(LogBase *log);
  // Writes all count bytes in pieces of at most 10,000,000 bytes.
  bool writeFile64(const void *data, long long count, long long *written, LogBase *log);

  // The last-modification time is given as both the creation and the modification time.
  bool getFileTime(RazudodFileTime &create, RazudodFileTime &access, RazudodFileTime &modify);
  // Applies access and modification times (Unix seconds); the creation time is not used.
  void setFileTime3(RazudodFileTime &create, RazudodFileTime &access, RazudodFileTime &modify);
  void setFileTime(RazudodFileTime &t);

  void closeHandle();
  void takeFp(FILE *fp);
  void takeHandle(RazudodHandle &other);

  FILE *getFp() const { return m_fp; }

private:
  FILE *m_fp;
};
