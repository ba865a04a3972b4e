#include "sshlib/core/DataSource.h"

#include <climits>
#include <cstring>
#include <new>

#include "sshlib/core/FileSys.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/Output.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/RazudodHandle.h"
#include "sshlib/core/TickSource.h"
#include "sshlib/core/XString.h"

namespace {
const unsigned int kScanWindow = 20000;
const unsigned int kDiscardPiece = 20000;
} // namespace

// ---- DataSource ----

DataSource::DataSource()
    : m_numBytesDelivered(0), m_pm(nullptr), m_computeCrc(true), m_rateByteCounter(nullptr),
      m_rateStartTick(0), m_rateBytesPerSec(nullptr) {
  m_crc.beginStream();
}

DataSource::~DataSource() {
  m_pm = nullptr;
}

bool DataSource::getNextChunk(char *, unsigned int, unsigned int *bytesRead, LogBase *) {
  if (bytesRead) *bytesRead = 0;
  return false;
}

bool DataSource::getNextChunkNew(char *buf, unsigned int maxBytes, unsigned int *bytesRead,
                                 LogBase *log) {
  return DataSource::getNextChunk(buf, maxBytes, bytesRead, log);
}

bool DataSource::endOfStream() {
  return true;
}
bool DataSource::fseekAbsolute64(long long, LogBase *) {
  return false;
}
bool DataSource::fseekRelative64(long long, LogBase *) {
  return false;
}
long long DataSource::getCurIdx64() {
  return 0;
}
void DataSource::rewindDataSource() {}

bool DataSource::scanForLong(unsigned int, long long &offset, LogBase *) {
  offset = 0;
  return false;
}

bool DataSource::discard64(long long count, ProgressMonitor *, LogBase *log) {
  char *scratch = new (std::nothrow) char[kDiscardPiece + 8];
  if (!scratch) return false;
  long long remaining = count;
  bool ok = true;
  for (;;) {
    if (remaining <= 0 || endOfStream()) break;
    unsigned int piece =
        remaining < kDiscardPiece ? static_cast<unsigned int>(remaining) : kDiscardPiece;
    unsigned int got = 0;
    if (!getNextChunk(scratch, piece, &got, log)) {
      ok = false;
      break;
    }
    if (got != piece) {
      ok = endOfStream();
      break;
    }
    remaining -= got;
  }
  delete[] scratch;
  return ok;
}

unsigned int DataSource::readBytes(void *buf, unsigned int itemSize, unsigned int count,
                                   LogBase *log) {
  unsigned long long n = static_cast<unsigned long long>(itemSize) * count;
  if (n > UINT_MAX) return 0;
  unsigned int got = 0;
  if (!getNextChunk(static_cast<char *>(buf), static_cast<unsigned int>(n), &got, log)) return 0;
  return got;
}

void DataSource::updateAppDataRate(unsigned int count) {
  if (!m_rateByteCounter) return;
  *m_rateByteCounter += count;
  if (m_rateBytesPerSec && m_rateStartTick) {
    unsigned int now = TickSource::now();
    if (now > m_rateStartTick) {
      long long rate = static_cast<long long>(*m_rateByteCounter) * 1000 /
                       static_cast<long long>(now - m_rateStartTick);
      *m_rateBytesPerSec = static_cast<unsigned int>(rate);
    }
  }
}

// ---- FileDataSource ----

FileDataSource::FileDataSource() : m_ownsHandle(false), m_handle(nullptr) {}

FileDataSource::~FileDataSource() {
  dropHandle();
}

void FileDataSource::dropHandle() {
  if (m_handle && m_ownsHandle) delete m_handle;
  m_handle = nullptr;
}

FileDataSource *FileDataSource::OpenSourceFileUtf8(const char *path, LogBase *log) {
  XString x;
  x.setFromUtf8(path);
  int errCode = 0;
  RazudodHandle *h = FileSys::openForReadLinux(x, errCode, log);
  if (!h) return nullptr;
  FileDataSource *src = new FileDataSource();
  src->m_handle = h;
  src->m_ownsHandle = true;
  src->m_path.setString(path);
  return src;
}

void FileDataSource::setOwnedSource(RazudodHandle *handle) {
  if (handle != m_handle) {
    dropHandle();
    m_handle = handle;
  }
  m_ownsHandle = true;
}

long long FileDataSource::getFileSize64(LogBase *log) {
  return m_handle ? m_handle->fileSize64(log) : -1;
}

bool FileDataSource::readChunk(char *buf, unsigned int maxBytes, unsigned int *bytesRead,
                               LogBase *log, bool newStyle) {
  if (bytesRead) *bytesRead = 0;
  if (maxBytes == 0) {
    if (log) log->LogError("zero-size buffer passed to get-next-chunk.");
    return false;
  }
  if (!buf) {
    if (log) log->LogError("NULL buffer passed to get-next-chunk.");
    return false;
  }
  if (!m_handle) return !newStyle;
  unsigned int n = 0;
  bool eof = false;
  bool ok = m_handle->readBytesToBuf32(buf, maxBytes, n, eof, log);
  if (n == 0) {
    m_atEof = true;
    return newStyle ? false : ok;
  }
  if (m_computeCrc) m_crc.moreData(reinterpret_cast<const unsigned char *>(buf), n);
  updateAppDataRate(n);
  bool result = true;
  if (m_pm) {
    bool abort = false;
    m_pm->consume2_32(n, abort);
    if (abort) {
      if (log) log->LogInfo("Aborted by application");
      result = false;
    }
  }
  if (bytesRead) *bytesRead = n;
  m_numBytesDelivered += n;
  return result;
}

bool FileDataSource::getNextChunk(char *buf, unsigned int maxBytes, unsigned int *bytesRead,
                                  LogBase *log) {
  return readChunk(buf, maxBytes, bytesRead, log, false);
}

bool FileDataSource::getNextChunkNew(char *buf, unsigned int maxBytes, unsigned int *bytesRead,
                                     LogBase *log) {
  return readChunk(buf, maxBytes, bytesRead, log, true);
}

bool FileDataSource::fseekAbsolute64(long long position, LogBase *log) {
  if (!m_handle) return false;
  m_atEof = false;
  return m_handle->setFilePointerAbsolute(position, log);
}

bool FileDataSource::fseekRelative64(long long distance, LogBase *log) {
  if (distance < 0 && !m_ownsHandle) {
    if (log) log->LogError("Cannot seek relative on non-owned file handle");
    return false;
  }
  if (!m_handle) {
    if (log) log->LogError("Cannot fseek relative, file already closed.");
    return false;
  }
  m_atEof = false;
  if (!m_handle->setFilePointerRelative(distance, log)) {
    if (log) log->LogError("Failed to seek to relative offset in file");
    return false;
  }
  long long pos = m_handle->ftell64(log);
  if (pos < 0) return false;
  if (m_ownsHandle && distance < 0 && m_path.getSize() != 0) {
    // Reopening drops the stream's buffered state and any end-of-file or error condition.
    dropHandle();
    XString x;
    x.setFromUtf8(m_path.getString());
    int errCode = 0;
    m_handle = FileSys::openForReadLinux(x, errCode, log);
    if (!m_handle) return false;
    return m_handle->setFilePointerAbsolute(pos, log);
  }
  return true;
}

long long FileDataSource::getCurIdx64() {
  return m_handle ? m_handle->ftell64(nullptr) : -1;
}

void FileDataSource::rewindDataSource() {
  fseekAbsolute64(0, nullptr);
}

bool FileDataSource::discard64(long long count, ProgressMonitor *, LogBase *log) {
  return fseekRelative64(count, log);
}

bool FileDataSource::scanForLong(unsigned int value, long long &offset, LogBase *log) {
  offset = 0;
  if (!m_handle) return false;
  unsigned char *window = new (std::nothrow) unsigned char[kScanWindow];
  if (!window) return false;
  unsigned int avail = 0;
  bool eof = false;
  if (!m_handle->readBytesToBuf32(window, kScanWindow, avail, eof, nullptr) || avail < 4) {
    delete[] window;
    return false;
  }
  unsigned int cursor = 0;
  long long scanned = 0;
  for (;;) {
    while (avail - cursor >= 4) {
      unsigned int word;
      std::memcpy(&word, window + cursor, 4);
      if (word == value) {
        long long back = static_cast<long long>(avail - cursor - 4);
        delete[] window;
        if (!m_handle->setFilePointerRelative(-back, log)) return false;
        offset = scanned;
        return true;
      }
      ++cursor;
      ++scanned;
    }
    unsigned int rest = avail - cursor;
    std::memmove(window, window + cursor, rest);
    unsigned int got = 0;
    if (!m_handle->readBytesToBuf32(window + rest, kScanWindow - rest, got, eof, nullptr) ||
        got == 0) {
      delete[] window;
      return false;
    }
    avail = rest + got;
    cursor = 0;
  }
}

// ---- MemoryDataSource ----

MemoryDataSource::MemoryDataSource() : m_data(nullptr), m_size(0), m_pos(0) {}

MemoryDataSource::~MemoryDataSource() {
  m_data = nullptr;
  m_size = 0;
  m_pos = 0;
}

void MemoryDataSource::initializeMemSource(const char *data, unsigned int size, bool computeCrc) {
  m_data = data;
  m_size = data ? size : 0;
  m_pos = 0;
  if (computeCrc) m_crc.moreData(reinterpret_cast<const unsigned char *>(data), size);
}

bool MemoryDataSource::getNextChunk(char *buf, unsigned int maxBytes, unsigned int *bytesRead,
                                    LogBase *log) {
  unsigned int dummy = 0;
  if (!bytesRead) bytesRead = &dummy;
  bool abort = false;
  if (buf && buf == m_data && static_cast<long long>(maxBytes) == m_size) {
    // The caller asks for the block itself: hand it over without copying.
    if (m_pos != 0) {
      *bytesRead = 0;
      return false;
    }
    *bytesRead = maxBytes;
    updateAppDataRate(maxBytes);
    m_pos = m_size;
    m_numBytesDelivered += maxBytes;
    if (m_pm) m_pm->consume2_64(m_size, abort);
  } else {
    long long left = m_size - m_pos;
    unsigned int n =
        static_cast<long long>(maxBytes) < left ? maxBytes : static_cast<unsigned int>(left);
    if (!buf) n = 0;
    *bytesRead = n;
    updateAppDataRate(n);
    if (n == 0) return false;
    std::memcpy(buf, m_data + m_pos, n);
    m_pos += n;
    m_numBytesDelivered += n;
    if (m_pm) m_pm->consume2_32(n, abort);
  }
  if (abort) {
    if (log) log->LogInfo("Aborted by application");
    return false;
  }
  return true;
}

bool MemoryDataSource::getNextChunkNew(char *buf, unsigned int maxBytes, unsigned int *bytesRead,
                                       LogBase *log) {
  return getNextChunk(buf, maxBytes, bytesRead, log);
}

bool MemoryDataSource::fseekAbsolute64(long long position, LogBase *) {
  m_pos = position < 0 ? 0 : (position > m_size ? m_size : position);
  return true;
}

bool MemoryDataSource::fseekRelative64(long long distance, LogBase *) {
  long long target;
  if (distance > 0 && distance > m_size - m_pos)
    target = m_size;
  else if (distance < 0 && -distance > m_pos)
    target = 0;
  else
    target = m_pos + distance;
  m_pos = target;
  return true;
}

bool MemoryDataSource::discard64(long long count, ProgressMonitor *, LogBase *log) {
  return fseekRelative64(count, log);
}

bool MemoryDataSource::scanForLong(unsigned int value, long long &offset, LogBase *) {
  offset = 0;
  long long start = m_pos;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(m_data);
  while (m_size - m_pos >= 4) {
    unsigned int word = static_cast<unsigned int>(p[m_pos]) |
                        (static_cast<unsigned int>(p[m_pos + 1]) << 8) |
                        (static_cast<unsigned int>(p[m_pos + 2]) << 16) |
                        (static_cast<unsigned int>(p[m_pos + 3]) << 24);
    if (word == value) {
      offset = m_pos - start;
      m_pos += 4;
      return true;
    }
    ++m_pos;
  }
  return false;
}

// ---- DataSink ----

DataSink::DataSink() : m_byteCount(0), m_pm(nullptr), m_computeCrc(false) {
  m_crc.beginStream();
}

DataSink::~DataSink() {
  m_pm = nullptr;
}

bool DataSink::putChunk(const char *, unsigned int, LogBase &) {
  return false;
}

bool DataSink::canAcceptMore(unsigned int &) const {
  return false;
}

bool DataSink::getAborted() const {
  return m_pm ? m_pm->get_Aborted() : false;
}

FileDataSink::FileDataSink() : m_sink(nullptr), m_writeFailed(false) {}

FileDataSink::~FileDataSink() {
  m_sink = nullptr;
}

bool FileDataSink::putChunk(const char *data, unsigned int count, LogBase &log) {
  if (!m_sink) return false;
  if (count == 0) return true;
  if (!data) return false;
  if (m_computeCrc) m_crc.moreData(reinterpret_cast<const unsigned char *>(data), count);
  if (m_sink->fwrite2(data, 1, count, log) != count) {
    m_writeFailed = true;
    m_sink = nullptr;
    return false;
  }
  if (m_pm) {
    bool abort = false;
    m_pm->consume2_32(count, abort);
  }
  m_byteCount += count;
  return true;
}

bool FileDataSink::canAcceptMore(unsigned int &maximum) const {
  maximum = 999999999;
  return true;
}
