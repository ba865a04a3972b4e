#include "platform/net/FileStream.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform::net;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class FileStreamTest : public ::testing::Test {
protected:
  std::string path(const std::string &name) const { return dir.file(name); }
  static long write(FileOutputStream &out, const std::string &text) {
    return out.write(reinterpret_cast<const uint8_t *>(text.data()), text.size());
  }
  static std::string readAll(FileInputStream &in, size_t chunk) {
    std::string out;
    std::vector<uint8_t> buf(chunk);
    long n;
    while ((n = in.read(buf.data(), buf.size())) > 0)
      out.append(reinterpret_cast<char *>(buf.data()), size_t(n));
    return out;
  }

  testsupport::TempDir dir{"ferrowen-filestream"};
};

} // namespace

TEST_F(FileStreamTest, WritesFromTheStartReplacingOldContentAndCountsBytes) {
  writeFile(path("f"), "old content that is longer");
  FileOutputStream out(path("f"));
  EXPECT_EQ(out.status(), StreamStatus::NotOpen);
  EXPECT_EQ(write(out, "x"), -1) << "not open yet";
  ASSERT_TRUE(out.open());
  EXPECT_FALSE(out.open()) << "open once";
  EXPECT_EQ(write(out, "new"), 3);
  EXPECT_EQ(write(out, ""), 0);
  EXPECT_EQ(out.bytesWritten(), 3);
  EXPECT_EQ(out.currentOffset(), 3);
  out.close();
  EXPECT_EQ(out.status(), StreamStatus::Closed);
  EXPECT_EQ(write(out, "x"), -1);
  EXPECT_EQ(readFile(path("f")), "new");
}

TEST_F(FileStreamTest, AppendKeepsTheFileAndAnOffsetMovesWhereBytesGoWithoutTruncating) {
  writeFile(path("partial"), "0123456789");
  FileOutputStream out(path("partial"), true);
  ASSERT_TRUE(out.open());
  EXPECT_EQ(out.currentOffset(), 10) << "an appending stream starts at the end";
  EXPECT_EQ(write(out, "AB"), 2);
  // A resumed download answered in full: the writer goes back to 0 and rewrites in place.
  ASSERT_TRUE(out.setCurrentOffset(0));
  EXPECT_EQ(write(out, "xyz"), 3);
  out.close();
  EXPECT_EQ(readFile(path("partial")), "xyz3456789AB");
}

TEST_F(FileStreamTest, OffsetSetBeforeOpeningKeepsTheFileAndStartsThere) {
  writeFile(path("stor"), "abcdefgh");
  FileOutputStream out(path("stor"));
  ASSERT_TRUE(out.setCurrentOffset(3));
  ASSERT_TRUE(out.open());
  EXPECT_EQ(write(out, "XY"), 2);
  out.close();
  EXPECT_EQ(readFile(path("stor")), "abcXYfgh");

  // Past the end: the gap reads as zero bytes.
  FileOutputStream far(path("sparse"));
  ASSERT_TRUE(far.setCurrentOffset(4));
  ASSERT_TRUE(far.open());
  EXPECT_EQ(write(far, "z"), 1);
  far.close();
  EXPECT_EQ(readFile(path("sparse")), std::string("\0\0\0\0z", 5));
  EXPECT_FALSE(far.setCurrentOffset(-1));
}

TEST_F(FileStreamTest, ReadsInChunksFromAnOffsetToTheEnd) {
  std::string data;
  for (int i = 0; i < 40000; ++i)
    data += char('a' + i % 26);
  writeFile(path("in"), data);
  FileInputStream in(path("in"));
  ASSERT_TRUE(in.setCurrentOffset(100));
  ASSERT_TRUE(in.open());
  EXPECT_TRUE(in.hasBytesAvailable());
  uint8_t buf[16384];
  EXPECT_EQ(in.read(buf, sizeof buf), 16384);
  EXPECT_EQ(in.read(buf, sizeof buf), 16384);
  EXPECT_EQ(in.read(buf, sizeof buf), 40000 - 100 - 2 * 16384);
  EXPECT_FALSE(in.isAtEnd()) << "the end is known once a read finds nothing";
  EXPECT_EQ(in.read(buf, sizeof buf), 0);
  EXPECT_TRUE(in.isAtEnd());
  EXPECT_EQ(in.status(), StreamStatus::AtEnd);
  EXPECT_FALSE(in.hasBytesAvailable());
  EXPECT_EQ(in.bytesRead(), 40000 - 100);
  EXPECT_EQ(in.read(buf, sizeof buf), 0);

  // Moving back leaves the end.
  ASSERT_TRUE(in.setCurrentOffset(39990));
  EXPECT_EQ(readAll(in, 4), data.substr(39990));
}

TEST_F(FileStreamTest, MissingFilesAndFoldersAreErrorsWithTheSystemReason) {
  FileInputStream in(path("missing"));
  EXPECT_FALSE(in.open());
  EXPECT_EQ(in.status(), StreamStatus::Error);
  EXPECT_EQ(in.error().domain, StreamError::Domain::Posix);
  EXPECT_EQ(in.error().code, ENOENT);
  uint8_t b;
  EXPECT_EQ(in.read(&b, 1), -1);

  FileOutputStream out(path("no/such/folder/file"));
  EXPECT_FALSE(out.open());
  EXPECT_EQ(out.error().code, ENOENT);
  EXPECT_FALSE(out.hasSpaceAvailable());

  // A name with a NUL in it names no file: the file named by the part before the NUL is neither
  // read nor emptied.
  writeFile(path("kept"), "keep me");
  const std::string withNul = path("kept") + std::string("\0.part", 6);
  FileOutputStream truncating(withNul);
  EXPECT_FALSE(truncating.open());
  EXPECT_EQ(truncating.error().code, EINVAL);
  FileInputStream reading(withNul);
  EXPECT_FALSE(reading.open());
  EXPECT_EQ(reading.error().code, EINVAL);
  EXPECT_EQ(testsupport::readFile(path("kept")), "keep me");
}

TEST_F(FileStreamTest, EmptyFileIsAtItsEndOnTheFirstRead) {
  writeFile(path("empty"), "");
  FileInputStream in(path("empty"));
  ASSERT_TRUE(in.open());
  uint8_t b;
  EXPECT_EQ(in.read(&b, 1), 0);
  EXPECT_TRUE(in.isAtEnd());
}

TEST_F(FileStreamTest, AStreamOnAnOpenDescriptorReadsItAndClosesIt) {
  writeFile(path("in"), "descriptor bytes");
  FileInputStream in(path("in"));
  const int fd = ::open(path("in").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(in.openDescriptor(fd));
  EXPECT_EQ(in.fileDescriptor(), fd);
  EXPECT_EQ(readAll(in, 5), "descriptor bytes");
  EXPECT_TRUE(in.isAtEnd());
  // Opened already: a second descriptor is refused and closed, the first stays.
  const int other = ::open(path("in").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_FALSE(in.openDescriptor(other));
  EXPECT_EQ(::fcntl(other, F_GETFD), -1);
  EXPECT_GE(::fcntl(fd, F_GETFD), 0);
  in.close();
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the stream closes its descriptor";
  // No descriptor at all.
  FileInputStream none(path("in"));
  EXPECT_FALSE(none.openDescriptor(-1));
  EXPECT_EQ(none.status(), StreamStatus::Error);
}
