#include "sshlib/core/RazudodBzip2.h"

#include <bzlib.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/Output.h"

namespace {

// Data moves in chunks of 20,000 bytes through two buffers of 20,032.
constexpr unsigned int kChunk = 20000;
constexpr unsigned int kBufSize = 20032;

bool writeOut(Output &out, const char *p, unsigned int n, LogBase &log, const char *failText) {
  if (n == 0) return true;
  if (out.fwrite2(p, 1, n, log) == n) return true;
  log.LogError(failText);
  log.LogDataLong("numBytes", static_cast<int>(n));
  return false;
}

} // namespace

RazudodBzip2::RazudodBzip2() = default;

RazudodBzip2::~RazudodBzip2() {
  closeCompressStream();
  delete[] m_inBuf;
  delete[] m_outBuf;
}

bool RazudodBzip2::allocBuffers() {
  if (!m_inBuf) m_inBuf = new (std::nothrow) char[kBufSize];
  if (!m_outBuf) m_outBuf = new (std::nothrow) char[kBufSize];
  return m_inBuf && m_outBuf;
}

void RazudodBzip2::closeCompressStream() {
  if (!m_strm) return;
  BZ2_bzCompressEnd(m_strm);
  delete m_strm;
  m_strm = nullptr;
}

bool RazudodBzip2::compressFromSource(DataSource &src, Output &out, LogBase &log) {
  for (;;) {
    if (m_strm->avail_in == 0) {
      if (src.endOfStream()) return true;
      unsigned int got = src.readBytes(m_inBuf, 1, kChunk, &log);
      if (got == 0) {
        if (src.endOfStream()) return true;
        closeCompressStream();
        log.LogError("Failed to read next chunk from data source");
        return false;
      }
      m_strm->next_in = m_inBuf;
      m_strm->avail_in = got;
    }
    unsigned int inSize = m_strm->avail_in;
    m_strm->next_out = m_outBuf;
    m_strm->avail_out = kChunk;
    int rc = BZ2_bzCompress(m_strm, BZ_RUN);
    if (rc != BZ_RUN_OK) {
      closeCompressStream();
      log.LogDataLong("BzipErrorCode", rc);
      log.LogError("Failed to Bzip2 compress data");
      log.LogDataLong("inSize", static_cast<int>(inSize));
      return false;
    }
    if (!writeOut(out, m_outBuf, kChunk - m_strm->avail_out, log,
                  "Failed to send Bzip2 compressed bytes to output")) {
      closeCompressStream();
      return false;
    }
  }
}

bool RazudodBzip2::BeginCompressStream(DataSource &src, Output &out, LogBase &log) {
  closeCompressStream();
  if (!allocBuffers()) return false;
  m_strm = new (std::nothrow) bz_stream;
  if (!m_strm) return false;
  std::memset(m_strm, 0, sizeof(*m_strm));
  // Block size 3 (300,000-byte blocks), quiet, work factor 30.
  int rc = BZ2_bzCompressInit(m_strm, 3, 0, 30);
  if (rc != BZ_OK) {
    delete m_strm;
    m_strm = nullptr;
    log.LogError("Bzip2 initialization failed");
    log.LogDataLong("errorCode", rc);
    return false;
  }
  return compressFromSource(src, out, log);
}

bool RazudodBzip2::MoreCompressStream(DataSource &src, Output &out, LogBase &log) {
  if (src.endOfStream()) return true;
  if (!m_strm) {
    log.LogError("Bzip2 compression stream not initialized.");
    return false;
  }
  return compressFromSource(src, out, log);
}

bool RazudodBzip2::EndCompressStream(Output &out, LogBase &log) {
  if (!m_strm) {
    log.LogError("Bzip2 compression stream not initialized.");
    return false;
  }
  for (;;) {
    m_strm->next_out = m_outBuf;
    m_strm->avail_out = kChunk;
    int rc = BZ2_bzCompress(m_strm, BZ_FINISH);
    if (rc != BZ_RUN_OK && rc != BZ_FINISH_OK && rc != BZ_STREAM_END) {
      closeCompressStream();
      log.LogDataLong("BzipErrorCode", rc);
      log.LogError("Failed to Bzip2 compress data");
      log.LogDataLong("inSize", 0);
      return false;
    }
    if (!writeOut(out, m_outBuf, kChunk - m_strm->avail_out, log,
                  "Failed to send Bzip2 compressed bytes to output")) {
      closeCompressStream();
      return false;
    }
    if (rc == BZ_STREAM_END) {
      closeCompressStream();
      return true;
    }
  }
}

bool RazudodBzip2::BeginCompress(const unsigned char *data, unsigned int n, DataBuffer &out,
                                 LogBase &log, ProgressMonitor *pm) {
  MemoryDataSource src;
  src.initializeMemSource(reinterpret_cast<const char *>(data), data ? n : 0, false);
  if (pm) src.setProgressMonitor(pm);
  OutputDataBuffer sink(&out);
  return BeginCompressStream(src, sink, log);
}

bool RazudodBzip2::MoreCompress(const unsigned char *data, unsigned int n, DataBuffer &out,
                                LogBase &log, ProgressMonitor *pm) {
  MemoryDataSource src;
  src.initializeMemSource(reinterpret_cast<const char *>(data), data ? n : 0, false);
  if (pm) src.setProgressMonitor(pm);
  OutputDataBuffer sink(&out);
  return MoreCompressStream(src, sink, log);
}

bool RazudodBzip2::EndCompress(DataBuffer &out, LogBase &log) {
  OutputDataBuffer sink(&out);
  return EndCompressStream(sink, log);
}

bool RazudodBzip2::DecompressStream(DataSource &src, Output &out, LogBase &log) {
  if (src.endOfStream()) return true;
  if (!allocBuffers()) return false;
  bz_stream strm;
  std::memset(&strm, 0, sizeof(strm));
  if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK) return false;

  bool ok = false;
  int idle = 0;
  for (;;) {
    if (strm.avail_in == 0 && !src.endOfStream()) {
      unsigned int got = src.readBytes(m_inBuf, 1, kChunk, &log);
      if (got == 0 && !src.endOfStream()) break;
      strm.next_in = m_inBuf;
      strm.avail_in = got;
      idle = 0;
    }
    unsigned int inBefore = strm.avail_in;
    strm.next_out = m_outBuf;
    strm.avail_out = kChunk;
    int rc = BZ2_bzDecompress(&strm);
    if (rc != BZ_OK && rc != BZ_STREAM_END) {
      log.LogDataLong("BzipErrorCode", rc);
      log.LogError("Failed to Bzip2 decompress data");
      break;
    }
    unsigned int produced = kChunk - strm.avail_out;
    if (!writeOut(out, m_outBuf, produced, log,
                  "Failed to send Bzip2 decompressed bytes to output"))
      break;
    if (rc == BZ_STREAM_END) {
      // Another stream may follow, as in files made by concatenation or by parallel
      // compressors. Anything that does not start like a stream is ignored, as bzip2 does.
      unsigned int left = strm.avail_in;
      if (left) std::memmove(m_inBuf, strm.next_in, left);
      while (left < 4 && !src.endOfStream()) {
        unsigned int got = src.readBytes(m_inBuf + left, 1, kChunk - left, &log);
        if (got == 0) break;
        left += got;
      }
      if (left < 4 || std::memcmp(m_inBuf, "BZh", 3) != 0 || m_inBuf[3] < '1' || m_inBuf[3] > '9') {
        ok = true;
        break;
      }
      BZ2_bzDecompressEnd(&strm);
      std::memset(&strm, 0, sizeof(strm));
      if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK) return false;
      strm.next_in = m_inBuf;
      strm.avail_in = left;
      idle = 0;
      continue;
    }
    if (produced || strm.avail_in != inBefore) {
      idle = 0;
    } else if (strm.avail_in == 0 && src.endOfStream()) {
      // The data ended before the stream did: the output is incomplete.
      log.LogError("Bzip2 data ended prematurely.");
      log.LogError("Failed to Bzip2 decompress data");
      break;
    } else if (++idle > 4) {
      log.LogError("Failed to Bzip2 decompress data");
      break;
    }
  }
  BZ2_bzDecompressEnd(&strm);
  return ok;
}

bool RazudodBzip2::unBzipWithHeader(DataBuffer &in, DataBuffer &out) {
  unsigned int n = in.getSize();
  if (n == 0) {
    out.clear();
    return true;
  }
  static const unsigned char kMagic[4] = {0xE1, 0xA7, 0x94, 0xB3};
  const unsigned char *p = in.getData2();
  if (n < 8 || std::memcmp(p, kMagic, 4) != 0) return false;
  // Little-endian whatever the host.
  uint32_t stated =
      uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
  out.clear();
  uint64_t room64 = uint64_t(stated) + 20;
  if (room64 > 0xFFFFFFFFu) return false;
  unsigned int room = (unsigned int)room64;
  if (!out.ensureBuffer(room)) return false;

  bz_stream strm;
  std::memset(&strm, 0, sizeof(strm));
  if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK) return false;
  strm.next_in = (char *)(p + 8);
  strm.avail_in = n - 8;
  strm.next_out = (char *)out.getData2();
  strm.avail_out = room;
  int rc = BZ2_bzDecompress(&strm);
  unsigned int produced = room - strm.avail_out;
  BZ2_bzDecompressEnd(&strm);
  out.setDataSize_CAUTION(produced);
  return rc == BZ_STREAM_END;
}
