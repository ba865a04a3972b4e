// The queue's FTP connection going from one server to another: what ran on the first never runs
// on the second, the next row starts on the second without waiting for the first's, one file of
// two servers on one host is two transfers, and a server typed with a folder but no port is
// reached on FTP's own port.
#include "tests/interop/ftp/QueueFtpPeers.h"

#include <unistd.h>

using namespace queuetest;

namespace {

class QueueTwoServersTest : public QueueTest {
protected:
  void SetUp() override {
    QueueTest::SetUp();
    Clock::install(nullptr); // real servers, real time
  }
  bool runUntilEmpty(double limit = 40) {
    return waitFor([&] { return queue_->batchItemList().empty(); }, limit);
  }
  int add(int action, const std::string &name, int port, const std::string &localpath = "") {
    return queue_->addBatchItemAction(action, name, "/", 0, "127.0.0.1", port, "joe", "secret",
                                      "ftp", localpath, false, true);
  }
};

} // namespace

// Upload to A, then (the queue empty meanwhile) a download from B: B sees the download and
// nothing of the upload.
TEST_F(QueueTwoServersTest, AnUploadToOneServerIsNeverSentToTheNext) {
  QueuePeer a, b;
  ASSERT_TRUE(a.ready() && b.ready());
  ASSERT_TRUE(testsupport::writeFile(Paths::documents() + "/Files/upme.txt", "upload me"));
  ASSERT_TRUE(testsupport::writeFile(b.root() + "/asked.txt", "asked for"));
  makeQueue();
  const int upload = add(3, "upme.txt", a.port(), "/Files/upme.txt");
  ASSERT_TRUE(runUntilEmpty()) << testsupport::readFile(a.log());
  EXPECT_EQ(testsupport::readFile(a.root() + "/upme.txt"), "upload me");
  EXPECT_TRUE(rows().empty());

  const int download = add(2, "asked.txt", b.port());
  EXPECT_NE(download, upload);
  ASSERT_TRUE(runUntilEmpty()) << testsupport::readFile(b.log());
  ASSERT_TRUE(waitFor([&] {
    return testsupport::readFile(Paths::documents() + "/Files/asked.txt") == "asked for";
  }));
  for (const char *command : {"STOR", "RNFR", "RNTO", "DELE"})
    EXPECT_EQ(b.count(command), 0u) << command << "\n" << testsupport::readFile(b.log());
  EXPECT_FALSE(FileManager::fileExists(b.root() + "/upme.txt"));
  EXPECT_EQ(b.count("RETR"), 1u);
}

// One file of two servers on one host (two ports) is two transfers: the second upload is queued
// and sent to its own server, not taken for the first.
TEST_F(QueueTwoServersTest, OneFileOfTwoServersOnOneHostGoesToEach) {
  QueuePeer a, b;
  ASSERT_TRUE(a.ready() && b.ready());
  ASSERT_TRUE(testsupport::writeFile(Paths::documents() + "/Files/edit-a.txt", "both\n"));
  makeQueue();
  const int toA = add(3, "edit-a.txt", a.port(), "/Files/edit-a.txt");
  const int toB = add(3, "edit-a.txt", b.port(), "/Files/edit-a.txt");
  EXPECT_NE(toA, toB);
  ASSERT_TRUE(runUntilEmpty()) << testsupport::readFile(a.log()) << testsupport::readFile(b.log());
  EXPECT_EQ(testsupport::readFile(a.root() + "/edit-a.txt"), "both\n");
  EXPECT_EQ(testsupport::readFile(b.root() + "/edit-a.txt"), "both\n");
}

// A server typed with the folder to start in and no port ("host/pub", as the FTP tab records its
// downloads) is reached on FTP's own port 21 and the login goes into "pub": the port never ends up
// after the folder. pyftpdlib listens on port 21 of a loopback address of this test's own.
TEST_F(QueueTwoServersTest, AServerTypedWithAFolderAndNoPortIsReachedOnPort21) {
  const std::string address = "127.62." + std::to_string(1 + ::getpid() % 250) + "." +
                              std::to_string(1 + ::getpid() / 250 % 250);
  QueuePeer server(address, 21);
  // Port 21 needs root, as the test command runs: a run that cannot have it fails, never skips.
  ASSERT_TRUE(server.ready()) << "port 21 of " << address << " cannot be had here";
  FileManager::createDirectory(server.root() + "/pub", true);
  ASSERT_TRUE(testsupport::writeFile(server.root() + "/pub/f.txt", "in pub\n"));
  makeQueue();
  queue_->addBatchItemAction(2, "f.txt", "/pub", 0, address + "/pub", 21, "joe", "secret", "ftp",
                             "", false, true);
  ASSERT_TRUE(runUntilEmpty()) << testsupport::readFile(server.log());
  EXPECT_TRUE(waitFor([&] {
    return testsupport::readFile(Paths::documents() + "/Files/f.txt") == "in pub\n";
  })) << testsupport::readFile(server.log());
  const std::string log = testsupport::readFile(server.log());
  EXPECT_NE(log.find(" CWD pub\n"), std::string::npos) << log;
  EXPECT_EQ(log.find(":21"), std::string::npos) << log;
}
