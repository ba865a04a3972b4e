#include "sshlib/core/Output.h"

#include <climits>
#include <cstring>

#include "sshlib/core/FileSys.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/XString.h"
#include "sshlib/core/ck64.h"

// ---- Output: accepts every write and discards it ----

unsigned int Output::_fwrite32(const void *, unsigned int, unsigned int count, ProgressMonitor *,
                               LogBase &) {
  return count;
}

unsigned int Output::_fwrite64(const void *, long long, unsigned int count, ProgressMonitor *,
                               LogBase &) {
  return count;
}

bool Output::seekToEnd(LogBase *) {
  return true;
}
bool Output::fseekAbsolute64(long long, LogBase *) {
  return true;
}
long long Output::ftell64() {
  return 0;
}
bool Output::reset(LogBase *) {
  return true;
}
void Output::getOutputType(StringBuffer &out) {
  out.setString("unknown");
}
void Output::getDataAlreadyWritten(DataBuffer &) {}
DataBuffer *Output::getBuffer_BECAREFUL() {
  return nullptr;
}
bool Output::outputFailed() {
  return false;
}
bool Output::ensureBuffer(unsigned int) {
  return true;
}

unsigned int Output::fwrite_pm(const void *data, unsigned int itemSize, unsigned int count,
                               ProgressMonitor *pm, LogBase &log) {
  return _fwrite32(data, itemSize, count, pm, log);
}

unsigned int Output::fwrite64_pm(const void *data, long long itemSize, unsigned int count,
                                 ProgressMonitor *pm, LogBase &log) {
  return _fwrite64(data, itemSize, count, pm, log);
}

unsigned int Output::fwrite2(const void *data, unsigned int itemSize, unsigned int count,
                             LogBase &log) {
  return _fwrite32(data, itemSize, count, nullptr, log);
}

bool Output::writeDb(const DataBuffer &db, ProgressMonitor *pm, LogBase &log) {
  if (db.getSize() == 0) return true;
  return _fwrite32(db.getData2(), db.getSize(), 1, pm, log) != 0;
}

// ---- OutputDataBuffer ----

OutputDataBuffer::OutputDataBuffer(DataBuffer *db)
    : m_db(db), m_idx(db ? db->getSize() : 0), m_failed(false) {}

OutputDataBuffer::~OutputDataBuffer() {
  m_db = nullptr;
}

unsigned int OutputDataBuffer::_fwrite32(const void *data, unsigned int itemSize,
                                         unsigned int count, ProgressMonitor *, LogBase &log) {
  if (!data || itemSize == 0 || count == 0) return 0;
  if (m_failed || !m_db) return 0;
  // Sizes are worked out in 64 bits: a write that would pass 4 GiB fails instead of wrapping.
  unsigned long long total = static_cast<unsigned long long>(itemSize) * count;
  unsigned long long needed = static_cast<unsigned long long>(m_idx) + 8 + total;
  if (needed > m_db->getBufSize()) {
    unsigned long long ask = needed + needed / 2;
    if (ask > UINT_MAX) ask = needed;
    // A buffer that could not grow may keep its old, smaller block: check the capacity too.
    if (needed > UINT_MAX || !m_db->ensureBuffer(static_cast<unsigned int>(ask)) ||
        m_db->getBufSize() < needed) {
      log.LogError("Failed to allocate memory for output data buffer.");
      log.LogDataInt64("ensureSz0", static_cast<long long>(needed));
      log.LogDataInt64("ensureSz", static_cast<long long>(ask));
      log.LogDataInt64("m_idx", m_idx);
      log.LogDataInt64("size", itemSize);
      log.LogDataInt64("count", count);
      m_failed = true;
      return 0;
    }
  }
  unsigned int n = static_cast<unsigned int>(total);
  if (unsigned char *place = m_db->getDataAt2(static_cast<int>(m_idx))) {
    // Inside the current data: overwrite (the capacity ensured above covers running past the end).
    std::memcpy(place, data, n);
  } else {
    unsigned int size = m_db->getSize();
    if (m_idx > size && !m_db->appendCharN(0, m_idx - size)) {
      m_failed = true;
      return 0;
    }
    if (!m_db->append(data, n)) {
      m_failed = true;
      return 0;
    }
  }
  m_idx += n;
  if (m_idx > m_db->getSize()) m_db->setDataSize_CAUTION(m_idx);
  return count;
}

unsigned int OutputDataBuffer::_fwrite64(const void *data, long long itemSize, unsigned int count,
                                         ProgressMonitor *pm, LogBase &log) {
  // A memory output cannot hold items of 4 GiB; cutting the size would write less than asked.
  if (itemSize < 0 || ck64::TooBigForUnsigned32(itemSize)) return 0;
  return _fwrite32(data, static_cast<unsigned int>(itemSize), count, pm, log);
}

bool OutputDataBuffer::seekToEnd(LogBase *) {
  if (!m_db) return false;
  m_idx = m_db->getSize();
  return true;
}

bool OutputDataBuffer::fseekAbsolute64(long long position, LogBase *) {
  if (m_failed || ck64::TooBigForUnsigned32(position) || !m_db) return false;
  m_idx = static_cast<unsigned int>(position);
  if (m_idx >= m_db->getSize() && m_idx != UINT_MAX) m_db->ensureBuffer(m_idx + 1);
  return true;
}

long long OutputDataBuffer::ftell64() {
  return m_db ? static_cast<long long>(m_idx) : 0;
}

bool OutputDataBuffer::reset(LogBase *) {
  m_idx = 0;
  if (m_db) m_db->clear();
  return true;
}

void OutputDataBuffer::getOutputType(StringBuffer &out) {
  out.setString("memory");
}

void OutputDataBuffer::getDataAlreadyWritten(DataBuffer &out) {
  if (m_db) out.append(*m_db);
}

bool OutputDataBuffer::ensureBuffer(unsigned int n) {
  return m_db ? m_db->ensureBuffer(n) : true;
}

// ---- OutputFile ----

OutputFile::OutputFile() : m_sizeLow(0), m_posLow(0), m_sizeHigh(0), m_posHigh(0) {}

OutputFile::~OutputFile() {
  m_handle.closeHandle();
}

long long OutputFile::ftell64() {
  return ck64::DwordsToInt64(m_posLow, m_posHigh);
}

long long OutputFile::getSize64() const {
  return ck64::DwordsToInt64(m_sizeLow, m_sizeHigh);
}

void OutputFile::setPosition(long long pos) {
  ck64::Int64ToDwords(pos, m_posLow, m_posHigh);
}

void OutputFile::updateAfterWrite(long long count) {
  long long pos = ftell64() + count;
  setPosition(pos);
  if (pos > getSize64()) ck64::Int64ToDwords(pos, m_sizeLow, m_sizeHigh);
}

unsigned int OutputFile::_fwrite32(const void *data, unsigned int itemSize, unsigned int count,
                                   ProgressMonitor *pm, LogBase &log) {
  return _fwrite64(data, static_cast<long long>(itemSize), count, pm, log);
}

unsigned int OutputFile::_fwrite64(const void *data, long long itemSize, unsigned int count,
                                   ProgressMonitor *pm, LogBase &log) {
  if (!data || itemSize <= 0 || count == 0) return 0;
  if (itemSize > LLONG_MAX / count) return 0;
  long long total = itemSize * count;
  if (pm) {
    bool abort = false;
    pm->consume2_64(total, abort);
    if (abort) {
      log.LogInfo("Aborted by application.");
      return 0;
    }
  }
  if (!m_handle.writeFile64(data, total, nullptr, &log)) return 0;
  updateAfterWrite(total);
  return count;
}

bool OutputFile::seekToEnd(LogBase *log) {
  setPosition(getSize64());
  return m_handle.setFilePointerToEnd(log);
}

bool OutputFile::fseekAbsolute64(long long position, LogBase *log) {
  if (!m_handle.setFilePointerAbsolute(position, log)) return false;
  setPosition(position);
  return true;
}

bool OutputFile::reset(LogBase *log) {
  if (ftell64() == 0) return true;
  StringBuffer path(m_path);
  bool ok = createFileUtf8(path.getString(), log);
  m_posLow = m_posHigh = 0;
  m_sizeLow = m_sizeHigh = 0;
  return ok;
}

void OutputFile::getOutputType(StringBuffer &out) {
  out.setString("file");
  if (m_path.getSize() != 0) {
    out.append(": ");
    out.append(m_path);
  }
}

bool OutputFile::createFileUtf8(const char *path, LogBase *log) {
  m_handle.closeHandle();
  FileSys::deleteFileUtf8(path, nullptr);
  m_path.setString(path ? path : "");
  XString x;
  x.setFromUtf8(m_path.getString());
  int errCode = 0;
  return FileSys::OpenForReadWrite3(m_handle, x, true, errCode, log);
}

bool OutputFile::openForAppendUtf8(const char *path, LogBase *log) {
  m_handle.closeHandle();
  m_path.setString(path ? path : "");
  XString x;
  x.setFromUtf8(m_path.getString());
  int errCode = 0;
  return FileSys::OpenForAppend3(m_handle, x, errCode, log);
}

OutputFile *OutputFile::CreateOutput(const char *path, LogBase *log) {
  OutputFile *out = new OutputFile();
  if (!out->createFileUtf8(path, log)) {
    delete out;
    return nullptr;
  }
  return out;
}

bool OutputFile::setFileTimeGmt_3(RazudodFileTime &create, RazudodFileTime &access,
                                  RazudodFileTime &modify, LogBase *) {
  if (!m_handle.isHandleOpen()) return false;
  m_handle.setFileTime3(create, access, modify);
  return true;
}

bool OutputFile::setFileTimeGmt(RazudodFileTime &t, LogBase *) {
  if (!m_handle.isHandleOpen()) return false;
  m_handle.setFileTime(t);
  return true;
}

// ---- BufferedOutput ----

BufferedOutput::BufferedOutput() : m_blockCount(0), m_flushThreshold(4000), m_output(nullptr) {
  m_accum.ensureBuffer(5000);
}

BufferedOutput::~BufferedOutput() {
  m_output = nullptr;
}

int BufferedOutput::putChar(int c, LogBase &log) {
  m_block[m_blockCount++] = static_cast<unsigned char>(c);
  if (m_blockCount == sizeof m_block) {
    m_accum.append(m_block, m_blockCount);
    m_blockCount = 0;
    if (m_accum.getSize() > m_flushThreshold) flush(log);
  }
  return c;
}

void BufferedOutput::flush(LogBase &log) {
  if (m_blockCount) {
    m_accum.append(m_block, m_blockCount);
    m_blockCount = 0;
  }
  if (m_output) m_output->writeDb(m_accum, nullptr, log);
  m_accum.clear();
}
