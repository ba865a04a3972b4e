// Data sources and sinks: chunking and end of data, seeking (also past 4 GiB, in sparse files),
// skipping, marker searches across read windows, CRC, rate and abort handling.
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/Output.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/TickSource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

#include "FileTestDir.h"

namespace {

std::string logText(Logger &log) {
  StringBuffer sb;
  log.getText(sb);
  return sb.getString();
}

std::unique_ptr<FileDataSource> open(const std::string &path, LogBase *log = nullptr) {
  return std::unique_ptr<FileDataSource>(FileDataSource::OpenSourceFileUtf8(path.c_str(), log));
}

TEST(FileSource, EmptyFileAndExactSizes) {
  filetest::TempDir dir;
  filetest::writeBytes(dir.file("empty"), "");
  char buf[16];
  unsigned int n = 99;
  auto src = open(dir.file("empty"));
  ASSERT_TRUE(src);
  EXPECT_FALSE(src->endOfStream());
  EXPECT_TRUE(src->getNextChunk(buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(src->endOfStream());
  EXPECT_TRUE(src->getNextChunk(buf, sizeof buf, &n, nullptr)) << "ended: true with 0 bytes";
  EXPECT_FALSE(src->getNextChunkNew(buf, sizeof buf, &n, nullptr));
  auto src2 = open(dir.file("empty"));
  EXPECT_FALSE(src2->getNextChunkNew(buf, sizeof buf, &n, nullptr));
  EXPECT_TRUE(src2->endOfStream());

  filetest::writeBytes(dir.file("sixteen"), "0123456789abcdef");
  auto s = open(dir.file("sixteen"));
  EXPECT_EQ(s->getFileSize64(nullptr), 16);
  EXPECT_TRUE(s->getNextChunk(buf, 16, &n, nullptr));
  EXPECT_EQ(n, 16u);
  EXPECT_FALSE(s->endOfStream());
  EXPECT_TRUE(s->getNextChunk(buf, 16, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(s->endOfStream());
  // The file stays open at its end, so that a reader can still seek back over what it read.
  EXPECT_EQ(s->getFileSize64(nullptr), 16);
  EXPECT_EQ(s->getCurIdx64(), 16);
  EXPECT_TRUE(s->fseekRelative64(-6, nullptr));
  EXPECT_FALSE(s->endOfStream());
  EXPECT_EQ(s->m_numBytesDelivered, 16u);

  Logger log;
  auto t = open(dir.file("sixteen"));
  EXPECT_FALSE(t->getNextChunk(buf, 0, &n, &log));
  EXPECT_FALSE(t->getNextChunk(nullptr, 4, &n, &log));
  EXPECT_EQ(logText(log), "RazudodLog:\n  zero-size buffer passed to get-next-chunk.\n"
                          "  NULL buffer passed to get-next-chunk.\n");
  EXPECT_EQ(t->readBytes(buf, 3, 2, nullptr), 6u) << "bytes, not items";
  EXPECT_EQ(std::string(buf, 6), "012345");

  Logger missing;
  EXPECT_FALSE(open(dir.file("missing"), &missing));
  EXPECT_NE(logText(missing).find("  Failed to open file.\n  mode: r\n"), std::string::npos);
}

TEST(FileSource, CrcOfTheDeliveredChunks) {
  filetest::TempDir dir;
  std::mt19937 rng(5);
  std::string data(100000, '\0');
  for (char &c : data)
    c = static_cast<char>(rng());
  filetest::writeBytes(dir.file("d"), data);
  auto src = open(dir.file("d"));
  std::string got;
  std::vector<char> buf(7777);
  unsigned int n = 0;
  while (!src->endOfStream()) {
    ASSERT_TRUE(src->getNextChunk(buf.data(), static_cast<unsigned>(buf.size()), &n, nullptr));
    got.append(buf.data(), n);
  }
  EXPECT_EQ(got, data);
  EXPECT_EQ(src->m_crc.endStream(),
            crc32(0, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size())));
  auto off = open(dir.file("d"));
  off->m_computeCrc = false;
  off->getNextChunk(buf.data(), 100, &n, nullptr);
  EXPECT_EQ(off->m_crc.endStream(), 0u);
}

class AbortAfter : public ProgressEvent {
public:
  void UpdatePct(int pct, bool &abort) override { abort = pct >= 50; }
};

TEST(FileSource, AbortStillDeliversTheChunk) {
  filetest::TempDir dir;
  filetest::writeBytes(dir.file("d"), std::string(100, 'z'));
  auto src = open(dir.file("d"));
  AbortAfter ev;
  ProgressMonitor pm(&ev, 100u);
  src->setProgressMonitor(&pm);
  Logger log;
  char buf[60];
  unsigned int n = 0;
  EXPECT_TRUE(src->getNextChunk(buf, 40, &n, &log));
  EXPECT_FALSE(src->getNextChunk(buf, 40, &n, &log));
  EXPECT_EQ(n, 40u);
  EXPECT_EQ(src->m_numBytesDelivered, 80u);
  EXPECT_EQ(logText(log), "RazudodLog:\n  Aborted by application\n");
}

TEST(FileSource, SeeksBackwardReopenAndOwnership) {
  filetest::TempDir dir;
  filetest::writeBytes(dir.file("d"), "0123456789");
  auto src = open(dir.file("d"));
  char buf[20];
  unsigned int n = 0;
  EXPECT_TRUE(src->getNextChunk(buf, 20, &n, nullptr));
  EXPECT_EQ(n, 10u);
  EXPECT_TRUE(src->fseekRelative64(-4, nullptr)) << "reopened at the same place";
  EXPECT_EQ(src->getCurIdx64(), 6);
  EXPECT_TRUE(src->getNextChunk(buf, 20, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "6789");
  EXPECT_TRUE(src->discard64(-8, nullptr, nullptr));
  EXPECT_EQ(src->getCurIdx64(), 2);
  src->rewindDataSource();
  EXPECT_EQ(src->getCurIdx64(), 0);
  Logger bad;
  EXPECT_FALSE(src->fseekRelative64(-100, &bad));
  EXPECT_EQ(logText(bad), "RazudodLog:\n  Failed to fseek to relative file position\n"
                          "  position: -100\n  Failed to seek to relative offset in file\n");

  // The file disappears: the reopen fails and the source reports its end.
  EXPECT_TRUE(src->fseekAbsolute64(5, nullptr));
  std::remove(dir.file("d").c_str());
  EXPECT_FALSE(src->fseekRelative64(-1, nullptr));
  EXPECT_TRUE(src->endOfStream());

  FileDataSource none;
  Logger l;
  EXPECT_FALSE(none.fseekRelative64(-1, &l));
  EXPECT_FALSE(none.fseekRelative64(1, &l));
  EXPECT_EQ(logText(l), "RazudodLog:\n  Cannot seek relative on non-owned file handle\n"
                        "  Cannot fseek relative, file already closed.\n");
  EXPECT_EQ(none.getFileSize64(nullptr), -1);
  EXPECT_TRUE(none.getNextChunk(buf, 4, &n, nullptr));
  EXPECT_EQ(n, 0u);
}

TEST(FileSource, SparseFileBeyondFourGiB) {
  filetest::TempDir dir;
  std::string path = dir.file("sparse");
  const long long big = 4LL * 1024 * 1024 * 1024 + 4096;
  {
    FILE *fp = std::fopen(path.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(fseeko(fp, big - 8, SEEK_SET), 0);
    std::fwrite("TAILDATA", 1, 8, fp);
    std::fclose(fp);
  }
  auto src = open(path);
  EXPECT_EQ(src->getFileSize64(nullptr), big);
  EXPECT_TRUE(src->fseekAbsolute64(big - 8, nullptr));
  EXPECT_EQ(src->getCurIdx64(), big - 8);
  char buf[16];
  unsigned int n = 0;
  EXPECT_TRUE(src->getNextChunk(buf, 16, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "TAILDATA");
  src->rewindDataSource();
  EXPECT_TRUE(src->discard64(big - 4, nullptr, nullptr));
  EXPECT_TRUE(src->getNextChunk(buf, 16, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "DATA");
  // Searching for a marker near the end, from 5,000 bytes before it.
  EXPECT_TRUE(src->fseekAbsolute64(big - 5008, nullptr));
  unsigned int marker;
  std::memcpy(&marker, "DATA", 4);
  long long offset = -1;
  EXPECT_TRUE(src->scanForLong(marker, offset, nullptr));
  EXPECT_EQ(offset, 5004);
  EXPECT_EQ(src->getCurIdx64(), big);
}

TEST(FileSource, MarkerStraddlingTwoWindows) {
  filetest::TempDir dir;
  std::string data(50000, 'a');
  data.replace(19998, 4, "\x50\x4B\x03\x04", 4);
  filetest::writeBytes(dir.file("d"), data);
  auto src = open(dir.file("d"));
  long long offset = -1;
  EXPECT_TRUE(src->scanForLong(0x04034B50u, offset, nullptr));
  EXPECT_EQ(offset, 19998);
  EXPECT_EQ(src->getCurIdx64(), 20002);
  offset = -1;
  EXPECT_FALSE(src->scanForLong(0x04034B50u, offset, nullptr));
  EXPECT_EQ(offset, 0);
  filetest::writeBytes(dir.file("tiny"), "abc");
  auto tiny = open(dir.file("tiny"));
  EXPECT_FALSE(tiny->scanForLong(0x00636261u, offset, nullptr));
}

TEST(MemorySource, ChunksSeeksAndTheWholeBlock) {
  const char data[] = "0123456789";
  MemoryDataSource src;
  src.initializeMemSource(data, 10, true);
  EXPECT_EQ(src.m_crc.endStream(), crc32(0, reinterpret_cast<const Bytef *>(data), 10));
  char buf[10];
  unsigned int n = 0;
  EXPECT_TRUE(src.getNextChunk(buf, 4, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "0123");
  EXPECT_TRUE(src.fseekRelative64(-10, nullptr));
  EXPECT_EQ(src.getCurIdx64(), 0);
  EXPECT_TRUE(src.fseekAbsolute64(50, nullptr));
  EXPECT_EQ(src.getCurIdx64(), 10);
  EXPECT_TRUE(src.endOfStream());
  EXPECT_FALSE(src.getNextChunk(buf, 4, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(src.fseekAbsolute64(-5, nullptr));
  EXPECT_EQ(src.getCurIdx64(), 0);
  EXPECT_TRUE(src.fseekRelative64(0x7FFFFFFFFFFFFFFFLL, nullptr));
  EXPECT_EQ(src.getCurIdx64(), 10);
  src.rewindDataSource();
  // Asking for the block itself hands it over without copying, once.
  EXPECT_TRUE(src.getNextChunk(const_cast<char *>(data), 10, &n, nullptr));
  EXPECT_EQ(n, 10u);
  EXPECT_FALSE(src.getNextChunk(const_cast<char *>(data), 10, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(src.m_numBytesDelivered, 14u);
  EXPECT_TRUE(src.discard64(-3, nullptr, nullptr));
  EXPECT_EQ(src.getCurIdx64(), 7);
  MemoryDataSource nocrc;
  nocrc.initializeMemSource(data, 10, false);
  nocrc.getNextChunk(buf, 10, &n, nullptr);
  EXPECT_EQ(nocrc.m_crc.endStream(), 0u) << "chunk reads never feed the CRC";
}

TEST(MemorySource, MarkerSearch) {
  const unsigned char data[] = {0x50, 0x4B, 0x03, 0x04, 9, 9, 0x50, 0x4B, 0x01, 0x02, 7};
  MemoryDataSource src;
  src.initializeMemSource(reinterpret_cast<const char *>(data), sizeof data, false);
  long long offset = -1;
  EXPECT_TRUE(src.scanForLong(0x04034B50u, offset, nullptr));
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(src.getCurIdx64(), 4);
  EXPECT_TRUE(src.scanForLong(0x02014B50u, offset, nullptr));
  EXPECT_EQ(offset, 2);
  EXPECT_EQ(src.getCurIdx64(), 10);
  EXPECT_FALSE(src.scanForLong(0x02014B50u, offset, nullptr));
  MemoryDataSource three;
  three.initializeMemSource("abc", 3, false);
  EXPECT_FALSE(three.scanForLong(0, offset, nullptr));
  EXPECT_EQ(offset, 0);
}

TEST(MemorySource, AbortAndRate) {
  std::string data(1000, 'x');
  MemoryDataSource src;
  src.initializeMemSource(data.data(), 1000, false);
  AbortAfter ev;
  ProgressMonitor pm(&ev, 1000u);
  src.setProgressMonitor(&pm);
  static unsigned int now = 0;
  TickSource::setSource([] { return now; });
  now = 1000;
  unsigned long long counter = 0;
  unsigned int rate = 0;
  src.m_rateByteCounter = &counter;
  src.m_rateStartTick = 500;
  src.m_rateBytesPerSec = &rate;
  Logger log;
  char buf[600];
  unsigned int n = 0;
  EXPECT_TRUE(src.getNextChunk(buf, 400, &n, &log));
  EXPECT_EQ(counter, 400u);
  EXPECT_EQ(rate, 800u);
  now = 1500;
  EXPECT_FALSE(src.getNextChunk(buf, 600, &n, &log));
  EXPECT_EQ(n, 600u);
  EXPECT_EQ(counter, 1000u);
  EXPECT_EQ(rate, 1000u);
  EXPECT_EQ(logText(log), "RazudodLog:\n  Aborted by application\n");
  TickSource::setSource(nullptr);
}

// A source that can only be read, to exercise the default skipping.
class CountingSource : public DataSource {
public:
  explicit CountingSource(unsigned int size) : m_left(size) {}
  bool getNextChunk(char *, unsigned int maxBytes, unsigned int *bytesRead, LogBase *) override {
    unsigned int n = maxBytes < m_left ? maxBytes : m_left;
    m_left -= n;
    *bytesRead = n;
    reads.push_back(maxBytes);
    return true;
  }
  bool endOfStream() override { return m_left == 0; }
  std::vector<unsigned int> reads;
  unsigned int m_left;
};

TEST(DefaultSkipping, ReadsInPiecesAndToleratesTheEnd) {
  CountingSource a(100000);
  EXPECT_TRUE(a.discard64(45000, nullptr, nullptr));
  EXPECT_EQ(a.reads, (std::vector<unsigned int>{20000, 20000, 5000}));
  CountingSource b(100000);
  EXPECT_TRUE(b.discard64(20000, nullptr, nullptr));
  EXPECT_EQ(b.reads, std::vector<unsigned int>{20000});
  CountingSource c(30000);
  EXPECT_TRUE(c.discard64(90000, nullptr, nullptr));
  EXPECT_EQ(c.reads, (std::vector<unsigned int>{20000, 20000}));
  CountingSource d(10);
  EXPECT_TRUE(d.discard64(-5, nullptr, nullptr));
  EXPECT_TRUE(d.reads.empty());
  DataSource plain;
  unsigned int n = 7;
  EXPECT_FALSE(plain.getNextChunk(nullptr, 1, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(plain.endOfStream());
  EXPECT_TRUE(plain.discard64(100, nullptr, nullptr)) << "at the end: nothing to skip";
  long long off = 5;
  EXPECT_FALSE(plain.scanForLong(1, off, nullptr));
  EXPECT_EQ(off, 0);
}

// An output that fails from its second write on.
class FailingOutput : public Output {
public:
  unsigned int _fwrite32(const void *, unsigned int, unsigned int count, ProgressMonitor *,
                         LogBase &) override {
    return ++writes > 1 ? 0 : count;
  }
  int writes = 0;
};

TEST(FileSink, WritesCountsCrcAndFailure) {
  DataBuffer db;
  OutputDataBuffer out(&db);
  FileDataSink sink;
  LogNull log;
  EXPECT_FALSE(sink.putChunk("abc", 3, log)) << "no output yet";
  unsigned int maximum = 0;
  EXPECT_TRUE(sink.canAcceptMore(maximum));
  EXPECT_EQ(maximum, 999999999u);
  sink.setSink(&out);
  sink.put_calculateCrc(true);
  EXPECT_TRUE(sink.putChunk("abc", 3, log));
  EXPECT_TRUE(sink.putChunk(nullptr, 0, log));
  EXPECT_FALSE(sink.putChunk(nullptr, 2, log));
  EXPECT_TRUE(sink.putChunk("defg", 4, log));
  EXPECT_EQ(sink.getByteCount64(), 7);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(db.getData2()), db.getSize()), "abcdefg");
  EXPECT_EQ(sink.get_DataSinkCrc(), crc32(0, reinterpret_cast<const Bytef *>("abcdefg"), 7));
  EXPECT_EQ(sink.get_DataSinkCrc(), sink.get_DataSinkCrc());
  EXPECT_FALSE(sink.getAborted());

  FailingOutput failing;
  FileDataSink s2;
  s2.setSink(&failing);
  EXPECT_TRUE(s2.putChunk("x", 1, log));
  EXPECT_FALSE(s2.putChunk("y", 1, log));
  EXPECT_TRUE(s2.get_WriteFailed());
  EXPECT_FALSE(s2.putChunk("z", 1, log));
  EXPECT_FALSE(s2.putChunk("z", 0, log)) << "the output was dropped";
  EXPECT_EQ(failing.writes, 2);
  EXPECT_EQ(s2.get_DataSinkCrc(), 0u) << "no CRC unless asked";

  DataSink base;
  unsigned int m = 5;
  EXPECT_FALSE(base.canAcceptMore(m));
  EXPECT_EQ(m, 5u);
  EXPECT_FALSE(base.putChunk("a", 1, log));
  AbortAfter ev;
  ProgressMonitor pm(&ev, 2u);
  bool abort = false;
  pm.consume2_32(2, abort);
  base.setProgressMonitor(&pm);
  EXPECT_TRUE(base.getAborted());
}

} // namespace
