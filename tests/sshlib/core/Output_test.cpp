// Outputs: the memory output's appending, seeking and zero-filled gaps; the file output's
// creation, appending, positions beyond 4 GiB, aborts and times; and byte buffering.
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/Output.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/RazudodFileTime.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ckMemory.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

#include "FileTestDir.h"

namespace {

std::string contents(const DataBuffer &db) {
  return std::string(reinterpret_cast<const char *>(db.getData2()), db.getSize());
}

std::string logText(Logger &log) {
  StringBuffer sb;
  log.getText(sb);
  return sb.getString();
}

TEST(OutputNull, AcceptsAndDiscards) {
  Output out;
  LogNull log;
  EXPECT_EQ(out.fwrite_pm("abc", 1, 3, nullptr, log), 3u);
  EXPECT_EQ(out.fwrite64_pm("abc", 1, 0, nullptr, log), 0u);
  EXPECT_EQ(out.ftell64(), 0);
  EXPECT_TRUE(out.seekToEnd(nullptr));
  EXPECT_TRUE(out.fseekAbsolute64(99, nullptr));
  EXPECT_TRUE(out.reset(nullptr));
  EXPECT_FALSE(out.outputFailed());
  EXPECT_EQ(out.getBuffer_BECAREFUL(), nullptr);
  StringBuffer type;
  out.getOutputType(type);
  EXPECT_STREQ(type.getString(), "unknown");
  DataBuffer empty;
  EXPECT_TRUE(out.writeDb(empty, nullptr, log));
}

TEST(OutputMemory, AppendsAfterExistingBytesAndResets) {
  DataBuffer db;
  db.append("0123456789", 10);
  OutputDataBuffer out(&db);
  LogNull log;
  EXPECT_EQ(out.ftell64(), 10);
  EXPECT_EQ(out.fwrite2("ab", 1, 2, log), 2u);
  EXPECT_EQ(out.fwrite_pm("wxyz", 2, 2, nullptr, log), 2u);
  EXPECT_EQ(contents(db), "0123456789abwxyz");
  EXPECT_EQ(out.fwrite2("ab", 1, 0, log), 0u);
  EXPECT_EQ(out.fwrite2("ab", 0, 3, log), 0u);
  EXPECT_EQ(out.fwrite2(nullptr, 1, 3, log), 0u);
  DataBuffer copy;
  out.getDataAlreadyWritten(copy);
  EXPECT_EQ(contents(copy), "0123456789abwxyz");
  StringBuffer type;
  out.getOutputType(type);
  EXPECT_STREQ(type.getString(), "memory");
  EXPECT_EQ(out.getBuffer_BECAREFUL(), &db);
  EXPECT_TRUE(out.reset(nullptr));
  EXPECT_EQ(db.getSize(), 0u);
  EXPECT_EQ(out.fwrite2("new", 1, 3, log), 3u);
  EXPECT_EQ(contents(db), "new");
  DataBuffer piece;
  piece.append("+more", 5);
  EXPECT_TRUE(out.writeDb(piece, nullptr, log));
  EXPECT_EQ(contents(db), "new+more");
}

TEST(OutputMemory, SeekingLeavesZeroFilledGapsAndOverwrites) {
  DataBuffer db;
  OutputDataBuffer out(&db);
  LogNull log;
  EXPECT_TRUE(out.fseekAbsolute64(100, nullptr));
  EXPECT_GE(db.getBufSize(), 101u);
  EXPECT_EQ(db.getSize(), 0u);
  EXPECT_EQ(out.fwrite2("WXYZ", 1, 4, log), 4u);
  ASSERT_EQ(db.getSize(), 104u);
  EXPECT_EQ(contents(db), std::string(100, '\0') + "WXYZ");
  EXPECT_TRUE(out.fseekAbsolute64(2, nullptr));
  EXPECT_EQ(out.fwrite2("abc", 1, 3, log), 3u);
  EXPECT_EQ(db.getSize(), 104u);
  EXPECT_EQ(contents(db).substr(0, 6), std::string("\0\0abc\0", 6));
  // Overwriting across the end extends the data.
  EXPECT_TRUE(out.fseekAbsolute64(102, nullptr));
  EXPECT_EQ(out.fwrite2("1234", 1, 4, log), 4u);
  EXPECT_EQ(contents(db).substr(100), "WX1234");
  EXPECT_EQ(out.ftell64(), 106);
  EXPECT_TRUE(out.seekToEnd(nullptr));
  EXPECT_EQ(out.ftell64(), 106);
  EXPECT_FALSE(out.fseekAbsolute64(4294967296LL, nullptr));
  EXPECT_FALSE(out.fseekAbsolute64(-1, nullptr));
  // Items of 4 GiB or more cannot be written to memory at all.
  EXPECT_EQ(out.fwrite64_pm("x", 4294967297LL, 1, nullptr, log), 0u);
  EXPECT_FALSE(out.outputFailed());

  OutputDataBuffer none(nullptr);
  EXPECT_EQ(none.fwrite2("a", 1, 1, log), 0u);
  EXPECT_FALSE(none.seekToEnd(nullptr));
  EXPECT_FALSE(none.fseekAbsolute64(0, nullptr));
  EXPECT_EQ(none.ftell64(), 0);
  EXPECT_TRUE(none.ensureBuffer(10));
}

TEST(OutputMemory, WritesThatCannotGrowFailForGood) {
  DataBuffer db;
  OutputDataBuffer out(&db);
  Logger log;
  LogNull quiet;
  ASSERT_EQ(out.fwrite2("abcd", 1, 4, quiet), 4u);
  // 100 bytes of 3 at index 4: needed = 4 + 8 + 300, asked = needed + needed / 2.
  ckFailNextAllocations(1);
  std::string data(300, 'x');
  EXPECT_EQ(out.fwrite2(data.data(), 100, 3, log), 0u);
  EXPECT_TRUE(out.outputFailed());
  EXPECT_EQ(logText(log), "RazudodLog:\n  Failed to allocate memory for output data buffer.\n"
                          "  ensureSz0: 312\n  ensureSz: 468\n  m_idx: 4\n  size: 100\n"
                          "  count: 3\n");
  EXPECT_EQ(out.fwrite2("y", 1, 1, log), 0u) << "failed is final";
  EXPECT_FALSE(out.fseekAbsolute64(0, nullptr));
}

TEST(OutputFiles, CreateReplaceAppendAndTypes) {
  filetest::TempDir dir;
  std::string path = dir.file("caf\xC3\xA9.out");
  filetest::writeBytes(path, "old contents");
  LogNull log;
  OutputFile *out = OutputFile::CreateOutput(path.c_str(), nullptr);
  ASSERT_NE(out, nullptr);
  StringBuffer type;
  out->getOutputType(type);
  EXPECT_EQ(std::string(type.getString()), "file: " + path);
  EXPECT_EQ(out->fwrite_pm("hello ", 1, 6, nullptr, log), 6u);
  EXPECT_EQ(out->fwrite64_pm("world!", 3, 2, nullptr, log), 2u);
  EXPECT_EQ(out->fwrite_pm("x", 1, 0, nullptr, log), 0u);
  EXPECT_EQ(out->ftell64(), 12);
  delete out;
  EXPECT_EQ(filetest::readBytes(path), "hello world!");

  OutputFile fresh;
  fresh.getOutputType(type);
  EXPECT_STREQ(type.getString(), "file");
  EXPECT_EQ(fresh.fwrite2("a", 1, 1, log), 0u) << "no file open";
  RazudodFileTime t;
  EXPECT_FALSE(fresh.setFileTimeGmt(t, nullptr));

  // Appending: the position counts the bytes appended, not the file's length.
  std::string thousand(1000, 'k');
  std::string apath = dir.file("append.bin");
  filetest::writeBytes(apath, thousand);
  OutputFile app;
  ASSERT_TRUE(app.openForAppendUtf8(apath.c_str(), nullptr));
  EXPECT_EQ(app.m_handle.fileSize64(nullptr), 1000);
  EXPECT_EQ(app.fwrite2("0123456789", 1, 10, log), 10u);
  EXPECT_EQ(app.ftell64(), 10);
  app.m_handle.closeHandle();
  EXPECT_EQ(filetest::readBytes(apath), thousand + "0123456789");

  // A path in a missing folder cannot be created.
  Logger fail;
  EXPECT_EQ(OutputFile::CreateOutput(dir.file("none/x").c_str(), &fail), nullptr);
  EXPECT_NE(logText(fail).find("  Failed to open file.\n  mode: wx+\n"), std::string::npos);
  // A file that cannot be removed (here: a non-empty folder of that name) is not replaced.
  std::string blocked = dir.file("blocked");
  ASSERT_EQ(mkdir(blocked.c_str(), 0700), 0);
  filetest::writeBytes(blocked + "/inside", "x");
  OutputFile b;
  EXPECT_FALSE(b.createFileUtf8(blocked.c_str(), nullptr));
}

TEST(OutputFiles, SeekResetAndPositionsBeyondFourGiB) {
  filetest::TempDir dir;
  std::string path = dir.file("seek.bin");
  OutputFile out;
  LogNull log;
  ASSERT_TRUE(out.createFileUtf8(path.c_str(), nullptr));
  EXPECT_TRUE(out.reset(nullptr)) << "nothing written: nothing to do";
  const long long far = 4LL * 1024 * 1024 * 1024 + 10;
  EXPECT_TRUE(out.fseekAbsolute64(far, nullptr));
  EXPECT_EQ(out.ftell64(), far);
  EXPECT_EQ(out.fwrite2("end", 1, 3, log), 3u);
  EXPECT_EQ(out.ftell64(), far + 3);
  EXPECT_EQ(out.getSize64(), far + 3);
  EXPECT_TRUE(out.fseekAbsolute64(0, nullptr));
  EXPECT_EQ(out.fwrite2("st", 1, 2, log), 2u);
  EXPECT_EQ(out.getSize64(), far + 3) << "the size is the highest position reached";
  EXPECT_TRUE(out.seekToEnd(nullptr));
  EXPECT_EQ(out.ftell64(), far + 3);
  out.m_handle.closeHandle();
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, far + 3);
  Logger bad;
  OutputFile other;
  ASSERT_TRUE(other.createFileUtf8(path.c_str(), nullptr));
  EXPECT_FALSE(other.fseekAbsolute64(-1, &bad));
  EXPECT_EQ(other.ftell64(), 0);
  EXPECT_EQ(other.fwrite2("abc", 1, 3, log), 3u);
  EXPECT_TRUE(other.reset(nullptr));
  EXPECT_EQ(other.ftell64(), 0);
  EXPECT_EQ(other.getSize64(), 0);
  EXPECT_EQ(other.fwrite2("z", 1, 1, log), 1u);
  other.m_handle.closeHandle();
  EXPECT_EQ(filetest::readBytes(path), "z") << "reset recreated the file";
}

class AbortAt : public ProgressEvent {
public:
  void UpdatePct(int pct, bool &abort) override { abort = pct >= 50; }
};

TEST(OutputFiles, AbortWritesNothingAndTimesAreSet) {
  filetest::TempDir dir;
  std::string path = dir.file("abort.bin");
  OutputFile out;
  ASSERT_TRUE(out.createFileUtf8(path.c_str(), nullptr));
  AbortAt ev;
  ProgressMonitor pm(&ev, 100u);
  Logger log;
  EXPECT_EQ(out.fwrite_pm("0123456789", 1, 10, &pm, log), 10u);
  EXPECT_EQ(out.fwrite_pm("0123456789", 5, 10, &pm, log), 0u);
  EXPECT_EQ(logText(log), "RazudodLog:\n  Aborted by application.\n");
  EXPECT_EQ(out.ftell64(), 10);
  RazudodFileTime create, access, modify;
  access.fromUnixTime(1111111111, 0);
  modify.fromUnixTime(1234567890, 0);
  EXPECT_TRUE(out.setFileTimeGmt_3(create, access, modify, nullptr));
  out.m_handle.closeHandle();
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1234567890);
  EXPECT_EQ(st.st_atime, 1111111111);
  EXPECT_EQ(filetest::readBytes(path), "0123456789");
  EXPECT_FALSE(out.setFileTimeGmt_3(create, access, modify, nullptr)) << "closed";
}

// Records the pieces a BufferedOutput hands over.
class PieceRecorder : public Output {
public:
  unsigned int _fwrite32(const void *data, unsigned int itemSize, unsigned int count,
                         ProgressMonitor *, LogBase &) override {
    pieces.push_back(std::string(static_cast<const char *>(data), itemSize * count));
    return count;
  }
  std::vector<std::string> pieces;
};

TEST(OutputBuffered, HandsOverFourKilobytesAtATime) {
  PieceRecorder rec;
  BufferedOutput buf;
  LogNull log;
  buf.flush(log); // no target yet: nothing happens
  buf.put_Output(&rec);
  std::string all;
  for (int i = 0; i < 5000; ++i) {
    char c = static_cast<char>('a' + i % 26);
    all += c;
    EXPECT_EQ(buf.putChar(c, log), c);
  }
  ASSERT_EQ(rec.pieces.size(), 1u);
  EXPECT_EQ(rec.pieces[0].size(), 4096u);
  buf.flush(log);
  ASSERT_EQ(rec.pieces.size(), 2u);
  EXPECT_EQ(rec.pieces[1].size(), 904u);
  EXPECT_EQ(rec.pieces[0] + rec.pieces[1], all);
  buf.flush(log);
  EXPECT_EQ(rec.pieces.size(), 2u) << "nothing held: an empty buffer writes nothing";
}

} // namespace
