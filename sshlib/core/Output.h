// Byte sinks for streaming operations: the base Output (accepts and discards everything), an
// output into a caller's DataBuffer, an output into a file, and a byte-at-a-time buffer in front
// of an output.
#pragma once

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/RazudodHandle.h"
#include "sshlib/core/StringBuffer.h"

class LogBase;
class ProgressMonitor;
class RazudodFileTime;

class Output {
public:
  Output() = default;

  // Every write reports the items written: the full count on success, 0 on failure.
  virtual unsigned int _fwrite32(const void *data, unsigned int itemSize, unsigned int count,
                                 ProgressMonitor *pm, LogBase &log);
  virtual unsigned int _fwrite64(const void *data, long long itemSize, unsigned int count,
                                 ProgressMonitor *pm, LogBase &log);
  virtual ~Output() = default;
  virtual bool seekToEnd(LogBase *log);
  virtual bool fseekAbsolute64(long long position, LogBase *log);
  virtual long long ftell64();
  virtual bool reset(LogBase *log);
  virtual void getOutputType(StringBuffer &out);
  virtual void getDataAlreadyWritten(DataBuffer &out);
  virtual DataBuffer *getBuffer_BECAREFUL();
  virtual bool outputFailed();
  virtual bool ensureBuffer(unsigned int n);

  unsigned int fwrite_pm(const void *data, unsigned int itemSize, unsigned int count,
                         ProgressMonitor *pm, LogBase &log);
  unsigned int fwrite64_pm(const void *data, long long itemSize, unsigned int count,
                           ProgressMonitor *pm, LogBase &log);
  unsigned int fwrite2(const void *data, unsigned int itemSize, unsigned int count, LogBase &log);
  bool writeDb(const DataBuffer &db, ProgressMonitor *pm, LogBase &log);
};

// Writes into a caller's DataBuffer (not owned), starting after what it already holds.
class OutputDataBuffer : public Output {
public:
  explicit OutputDataBuffer(DataBuffer *db);
  ~OutputDataBuffer() override;

  unsigned int _fwrite32(const void *data, unsigned int itemSize, unsigned int count,
                         ProgressMonitor *pm, LogBase &log) override;
  unsigned int _fwrite64(const void *data, long long itemSize, unsigned int count,
                         ProgressMonitor *pm, LogBase &log) override;
  bool seekToEnd(LogBase *log) override;
  bool fseekAbsolute64(long long position, LogBase *log) override;
  long long ftell64() override;
  bool reset(LogBase *log) override;
  void getOutputType(StringBuffer &out) override;
  void getDataAlreadyWritten(DataBuffer &out) override;
  DataBuffer *getBuffer_BECAREFUL() override { return m_db; }
  bool outputFailed() override { return m_failed; }
  bool ensureBuffer(unsigned int n) override;

private:
  DataBuffer *m_db;
  unsigned int m_idx;
  bool m_failed;
};

// Writes a file. Position and size count what this object wrote (or the last absolute seek);
// they are not read from the file.
class OutputFile : public Output {
public:
  OutputFile();
  ~OutputFile() override;

  unsigned int _fwrite32(const void *data, unsigned int itemSize, unsigned int count,
                         ProgressMonitor *pm, LogBase &log) override;
  unsigned int _fwrite64(const void *data, long long itemSize, unsigned int count,
                         ProgressMonitor *pm, LogBase &log) override;
  bool seekToEnd(LogBase *log) override;
  bool fseekAbsolute64(long long position, LogBase *log) override;
  long long ftell64() override;
  bool reset(LogBase *log) override;
  void getOutputType(StringBuffer &out) override;

  // Replaces any file at the path with a new, empty one.
  bool createFileUtf8(const char *path, LogBase *log);
  bool openForAppendUtf8(const char *path, LogBase *log);
  // A new OutputFile on a freshly created file, owned by the caller; null on failure.
  static OutputFile *CreateOutput(const char *path, LogBase *log);
  bool setFileTimeGmt_3(RazudodFileTime &create, RazudodFileTime &access, RazudodFileTime &modify,
                        LogBase *log);
  bool setFileTimeGmt(RazudodFileTime &t, LogBase *log);
  void updateAfterWrite(long long count);

  long long getSize64() const;

  RazudodHandle m_handle;

private:
  void setPosition(long long pos);

  unsigned int m_sizeLow;
  unsigned int m_posLow;
  unsigned int m_sizeHigh;
  unsigned int m_posHigh;
  StringBuffer m_path;
};

// Collects single bytes and hands them to its output 4,096 at a time.
class BufferedOutput {
public:
  BufferedOutput();
  virtual ~BufferedOutput();
  BufferedOutput(const BufferedOutput &) = delete;
  BufferedOutput &operator=(const BufferedOutput &) = delete;

  void put_Output(Output *out) { m_output = out; }
  int putChar(int c, LogBase &log);
  void flush(LogBase &log);

private:
  unsigned char m_block[1024];
  unsigned int m_blockCount;
  unsigned int m_flushThreshold;
  DataBuffer m_accum;
  Output *m_output;
};
