// Transfers on the queue's own connection against pyftpdlib: an upload into a folder just made
// whose file is on the server at full size already is skipped, a refused "MKD" counts as made,
// and finished transfers are reported to the queue.
#include "tests/interop/ftp/TaskPeers.h"

#include "platform/foundation/FileManager.h"

using namespace taskpeers;

namespace {

class UploadQueuePeersTest : public TaskPeerTest {
protected:
  void SetUp() override {
    TaskPeerTest::SetUp();
    server = startPyftpdlib();
    startConnection(address(server), false);
    conn->connect();
    ASSERT_TRUE(waitFor([&] { return conn->fIsLoggedIn() && idle(); })) << conn->transferLog();
    waitFor([] { return false; }, 0.6);
  }
  bool reported(const std::string &what) {
    return waitFor([&] {
      auto r = services->queue->reports();
      return std::find(r.begin(), r.end(), what) != r.end();
    });
  }
  Server server;
};

TEST_F(UploadQueuePeersTest, UploadIntoANewFolderSkipsAFileOfTheRightSize) {
  ::mkdir((server.root + "/made").c_str(), 0755);
  const std::string content = randomBytes(5000, 31);
  testsupport::writeFile(server.root + "/made/x.bin", content);
  const std::string local = home.file("x.bin");
  testsupport::writeFile(local, content);
  // The queue holds the item as an upload into a folder just made.
  const int pk = services->queue->addBatchItemAction(10, "x.bin", "/made", 5000, address(server), 0,
                                                     "", "", "ftp", local, false, false);
  conn->setBatchPK(pk);
  conn->uploadFile("x.bin", local, "/made", false, 0);
  ASSERT_TRUE(reported("done:" + std::to_string(pk))) << conn->transferLog();
  EXPECT_TRUE(logHas("*** File Size Correct (5000), Skipping Upload!"));
  EXPECT_TRUE(logHas(">>> SIZE x.bin"));
  EXPECT_FALSE(logHas(">>> STOR"));

  // With another size it is uploaded, and reported done at the end.
  const std::string longer = content + "more";
  testsupport::writeFile(local, longer);
  conn->uploadFile("x.bin", local, "/made", false, 0);
  ASSERT_TRUE(waitFor([&] { return services->queue->reports().size() == 2; }))
      << conn->transferLog();
  EXPECT_TRUE(logHas(">>> STOR x.upload.bin"));
  EXPECT_EQ(testsupport::readFile(server.root + "/made/x.bin"), longer);
  EXPECT_TRUE(delegate->taken().empty());
}

TEST_F(UploadQueuePeersTest, RefusedMakeFolderCountsAsMade) {
  ::mkdir((server.root + "/there").c_str(), 0755);
  conn->setBatchPK(41);
  conn->makeDirectory("there", "/");
  ASSERT_TRUE(reported("done:41")) << conn->transferLog();
  EXPECT_TRUE(logHas(">>> MKD there"));
  EXPECT_TRUE(delegate->taken().empty());
  conn->setBatchPK(42);
  conn->makeDirectory("fresh", "/");
  ASSERT_TRUE(reported("done:42"));
  EXPECT_TRUE(FileManager::fileExists(server.root + "/fresh"));
}

TEST_F(UploadQueuePeersTest, DownloadReportsSizeProgressAndDone) {
  const std::string content = randomBytes(2 * 1024 * 1024, 32);
  testsupport::writeFile(server.root + "/d.bin", content);
  conn->downloadFile("d.bin", 0, false, true, "/", false, false, 0);
  ASSERT_TRUE(reported("done:1")) << conn->transferLog();
  EXPECT_EQ(services->queue->lastSize, int64_t(content.size()));
  EXPECT_GT(services->queue->lastBytes, int64_t(content.size()) * 9 / 10);
  // The file is saved after the queue has been told.
  ASSERT_TRUE(
      waitFor([&] { return testsupport::readFile(savedFile("d.bin")).size() == content.size(); }));
  EXPECT_EQ(sha256(testsupport::readFile(savedFile("d.bin"))), sha256(content));
}

} // namespace
