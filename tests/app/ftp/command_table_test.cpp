// The command table: the line each command state sends, with the fields it takes.
#include "FtpTestSupport.h"

using namespace ftptest;

namespace {

class CommandTableTest : public FtpTest {
protected:
  // Made on the test's thread, which is then the connection's own.
  std::shared_ptr<TestConnection> c = std::make_shared<TestConnection>();
  TestConnection::Fields f;
};

TEST_F(CommandTableTest, LoginLines) {
  EXPECT_EQ(c->line(0, 0, f), "AUTH TLS\r\n");
  EXPECT_EQ(c->iState(), 32);
  EXPECT_EQ(c->line(0, 33, f), "AUTH SSL\r\n");
  EXPECT_EQ(c->iState(), 34);
  EXPECT_EQ(c->line(0, 1, f), "USER anonymous\r\n");
  EXPECT_EQ(c->iState(), 2);
  EXPECT_EQ(c->line(0, 3, f), "PASS guestpilot@\r\n");
  f.user = "joe";
  f.pass = "p w";
  EXPECT_EQ(c->line(0, 2, f), "USER joe\r\n");
  EXPECT_EQ(c->line(0, 3, f), "PASS p w\r\n");
  EXPECT_EQ(c->line(0, 60, f), "CLNT Ferrowen-3.0\r\n");
  EXPECT_EQ(c->line(0, 52, f), "MODE Z\r\n");
  EXPECT_EQ(c->line(0, 36, f), "PROT P\r\n");
  EXPECT_EQ(c->line(0, 5, f), "OPTS UTF8 ON\r\n");
  EXPECT_EQ(c->line(0, 42, f), ""); // a state without a command sends nothing
}

TEST_F(CommandTableTest, UploadNamesAndRenameChain) {
  f.fileToUpload = "photo.jpg";
  EXPECT_EQ(c->line(3, 19, f), "STOR photo.upload.jpg\r\n");
  EXPECT_EQ(c->line(3, 21, f), "RNTO photo.old.jpg\r\n");
  EXPECT_EQ(c->line(3, 41, f), "RNFR photo.upload.jpg\r\n");
  EXPECT_EQ(c->iState(), 24);
  EXPECT_EQ(c->line(3, 54, f), "SIZE photo.upload.jpg\r\n");
  f.skipRenames = true;
  EXPECT_EQ(c->line(3, 19, f), "STOR photo.jpg\r\n");
  EXPECT_EQ(c->line(3, 54, f), "SIZE photo.jpg\r\n");
  f.skipRenames = false;
  f.fileToUpload = "README";
  EXPECT_EQ(c->line(3, 19, f), "STOR README.upload\r\n");
  f.fileToUpload = "a.b.tar.gz";
  EXPECT_EQ(c->line(3, 25, f), "DELE a.b.tar.old.gz\r\n");
}

TEST_F(CommandTableTest, OffsetsAndSizesAreSixtyFourBit) {
  const int64_t fiveGiB = int64_t(5) << 30;
  f.resumeDownloadAt = fiveGiB;
  EXPECT_EQ(c->line(2, 53, f), "REST 5368709120\r\n");
  f.resumeUploadAt = fiveGiB + 1;
  EXPECT_EQ(c->line(3, 53, f), "REST 5368709121\r\n");
  f.fileDownloadSize = fiveGiB;
  EXPECT_EQ(c->line(2, 40, f), "REST 5368643584\r\n"); // the last 64 KiB
  EXPECT_EQ(c->fileDownloadSizeNow(), 65536);
}

TEST_F(CommandTableTest, OperationLines) {
  f.fileToDownload = "notes.txt";
  EXPECT_EQ(c->line(2, 18, f), "RETR notes.txt\r\n");
  f.deleteName = "old";
  EXPECT_EQ(c->line(5, 20, f), "DELE old\r\n");
  f.folder = true;
  EXPECT_EQ(c->line(5, 20, f), "RMD old\r\n");
  f.fileToUpload = "x.sh";
  f.chmodTo = "755";
  EXPECT_EQ(c->line(8, 50, f), "SITE chmod 755 x.sh\r\n");
  f.raw = "SITE HELP";
  EXPECT_EQ(c->line(9, 51, f), "SITE HELP\r\n");
  EXPECT_EQ(c->line(1, 13, f, "/pub/a b"), "CWD /pub/a b\r\n");
  EXPECT_EQ(c->line(1, 16, f), "LIST\r\n");
  UserDefaults::standard().setObject("1", "ShowHiddenFiles");
  EXPECT_EQ(c->line(1, 16, f), "LIST -la\r\n");
}

} // namespace
