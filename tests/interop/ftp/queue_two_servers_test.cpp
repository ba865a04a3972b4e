// The queue's FTP connection going from one server to another: what ran on the first never runs
// on the second, and the next row starts on the second without waiting for the first's.
#include "tests/interop/ftp/QueueFtpPeers.h"

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
