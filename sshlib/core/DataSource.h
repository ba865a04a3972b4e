// Bulk data sources handing out bytes in caller-sized chunks (a file, a block of memory) and the
// sink that writes chunks into an Output. Both count the bytes, can feed them into a CRC-32 and
// report progress to an optional monitor, through which the application can abort.
#pragma once

#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ZipCRC.h"

class LogBase;
class Output;
class ProgressMonitor;
class RazudodHandle;

class DataSource {
public:
  DataSource();
  virtual ~DataSource();
  DataSource(const DataSource &) = delete;
  DataSource &operator=(const DataSource &) = delete;

  virtual bool getNextChunk(char *buf, unsigned int maxBytes, unsigned int *bytesRead,
                            LogBase *log);
  virtual bool getNextChunkNew(char *buf, unsigned int maxBytes, unsigned int *bytesRead,
                               LogBase *log);
  virtual bool endOfStream();
  virtual bool fseekAbsolute64(long long position, LogBase *log);
  virtual bool fseekRelative64(long long distance, LogBase *log);
  virtual long long getCurIdx64();
  virtual void rewindDataSource();
  virtual bool scanForLong(unsigned int value, long long &offset, LogBase *log);
  // Reads and drops count bytes; running into the end is not an error.
  virtual bool discard64(long long count, ProgressMonitor *pm, LogBase *log);

  void setProgressMonitor(ProgressMonitor *pm) { m_pm = pm; }
  // One chunk of itemSize x count bytes; the number of bytes delivered, 0 when the read failed.
  unsigned int readBytes(void *buf, unsigned int itemSize, unsigned int count, LogBase *log);
  void updateAppDataRate(unsigned int count);

  ZipCRC m_crc;
  unsigned long long m_numBytesDelivered;
  ProgressMonitor *m_pm;
  bool m_computeCrc;
  // Rate measurement, set up by the owner: the byte counter (null: off), the start tick and the
  // bytes-per-second slot.
  unsigned long long *m_rateByteCounter;
  unsigned int m_rateStartTick;
  unsigned int *m_rateBytesPerSec;
};

class FileDataSource : public DataSource {
public:
  FileDataSource();
  ~FileDataSource() override;

  // A new source owning the opened file, owned by the caller; null when the open failed.
  static FileDataSource *OpenSourceFileUtf8(const char *path, LogBase *log);
  void setOwnedSource(RazudodHandle *handle);
  long long getFileSize64(LogBase *log);

  bool getNextChunk(char *buf, unsigned int maxBytes, unsigned int *bytesRead,
                    LogBase *log) override;
  bool getNextChunkNew(char *buf, unsigned int maxBytes, unsigned int *bytesRead,
                       LogBase *log) override;
  bool endOfStream() override { return m_handle == nullptr || m_atEof; }
  bool fseekAbsolute64(long long position, LogBase *log) override;
  bool fseekRelative64(long long distance, LogBase *log) override;
  long long getCurIdx64() override;
  void rewindDataSource() override;
  bool scanForLong(unsigned int value, long long &offset, LogBase *log) override;
  bool discard64(long long count, ProgressMonitor *pm, LogBase *log) override;

private:
  bool readChunk(char *buf, unsigned int maxBytes, unsigned int *bytesRead, LogBase *log,
                 bool newStyle);
  void dropHandle();

  bool m_ownsHandle;
  RazudodHandle *m_handle;
  // Set at the end of the file; the file stays open so that a reader can still seek back.
  bool m_atEof = false;
  StringBuffer m_path;
};

class MemoryDataSource : public DataSource {
public:
  MemoryDataSource();
  ~MemoryDataSource() override;

  void initializeMemSource(const char *data, unsigned int size, bool computeCrc);

  bool getNextChunk(char *buf, unsigned int maxBytes, unsigned int *bytesRead,
                    LogBase *log) override;
  bool getNextChunkNew(char *buf, unsigned int maxBytes, unsigned int *bytesRead,
                       LogBase *log) override;
  bool endOfStream() override { return m_pos >= m_size; }
  bool fseekAbsolute64(long long position, LogBase *log) override;
  bool fseekRelative64(long long distance, LogBase *log) override;
  long long getCurIdx64() override { return m_pos; }
  void rewindDataSource() override { m_pos = 0; }
  bool scanForLong(unsigned int value, long long &offset, LogBase *log) override;
  bool discard64(long long count, ProgressMonitor *pm, LogBase *log) override;

private:
  const char *m_data;
  long long m_size;
  long long m_pos;
};

class DataSink {
public:
  DataSink();
  virtual ~DataSink();
  DataSink(const DataSink &) = delete;
  DataSink &operator=(const DataSink &) = delete;

  virtual bool putChunk(const char *data, unsigned int count, LogBase &log);
  virtual long long getByteCount64() const { return static_cast<long long>(m_byteCount); }
  virtual long long numUnprocessedBytes64() const { return 0; }
  virtual bool canAcceptMore(unsigned int &maximum) const;

  void put_calculateCrc(bool b) { m_computeCrc = b; }
  void setProgressMonitor(ProgressMonitor *pm) { m_pm = pm; }
  unsigned int get_DataSinkCrc() const { return m_crc.endStream(); }
  bool getAborted() const;

  unsigned long long m_byteCount;
  ProgressMonitor *m_pm;
  bool m_computeCrc;
  ZipCRC m_crc;
};

class FileDataSink : public DataSink {
public:
  FileDataSink();
  ~FileDataSink() override;

  bool putChunk(const char *data, unsigned int count, LogBase &log) override;
  bool canAcceptMore(unsigned int &maximum) const override;

  void setSink(Output *out) { m_sink = out; }
  bool get_WriteFailed() const { return m_writeFailed; }

private:
  Output *m_sink;
  bool m_writeFailed;
};
