// A folder download of the queue's connection walks a remote tree on pyftpdlib: each listing's
// files become queue rows (unless queued or saved whole already), its sub-folders are listed in
// turn, and the queue hears once, at the end, that the item is done.
#include "tests/interop/ftp/TaskPeers.h"

#include "platform/foundation/FileManager.h"

using namespace taskpeers;

namespace {

// The connection as the listing task hands a folder download's listings and "226" replies on.
class BatchConnection : public FTPConnection {
protected:
  void doTaskDir() override {
    const bool listed = iState_ == 16 && replies_.iReplyCode == 226;
    FTPConnection::doTaskDir();
    if (listed && directoryBatchActive_) {
      directory226Done_ = true;
      nextBatchDirectory();
    }
  }
  void parseDirectoryListing() override {
    FTPConnection::parseDirectoryListing();
    if (directoryBatchActive_ && data_.input &&
        data_.input->status() == platform::net::StreamStatus::AtEnd)
      walkBatchDirectoryListing();
  }
};

class ListingBatchPeersTest : public TaskPeerTest {};

TEST_F(ListingBatchPeersTest, FolderDownloadQueuesEveryFileOfTheTree) {
  Server s = startPyftpdlib();
  ::mkdir((s.root + "/tree").c_str(), 0755);
  ::mkdir((s.root + "/tree/sub").c_str(), 0755);
  ::mkdir((s.root + "/tree/sub/deeper").c_str(), 0755);
  testsupport::writeFile(s.root + "/tree/a.txt", "aaa");
  testsupport::writeFile(s.root + "/tree/saved.txt", "saved");
  testsupport::writeFile(s.root + "/tree/sub/b.txt", "bb");
  testsupport::writeFile(s.root + "/tree/sub/deeper/c.txt", "c");
  // Already saved whole: not fetched again. Saved with another size: fetched.
  FileManager::createDirectory(Paths::documents() + "/Files/tree", true);
  testsupport::writeFile(Paths::documents() + "/Files/tree/saved.txt", "saved");
  testsupport::writeFile(Paths::documents() + "/Files/tree/a.txt", "a");

  makeConnection = [] { return std::make_shared<BatchConnection>(); };
  startConnection(address(s), false);
  conn->connect();
  ASSERT_TRUE(waitFor([&] { return conn->fIsLoggedIn() && idle(); })) << conn->transferLog();
  waitFor([] { return false; }, 0.6);

  conn->setBatchPK(7);
  conn->batchDirectoryDownload("tree");
  conn->changeDirectory("/tree");
  ASSERT_TRUE(waitFor([&] { return !services->queue->reports().empty(); })) << conn->transferLog();
  waitFor([] { return false; }, 0.3);
  EXPECT_EQ(services->queue->reports(), std::vector<std::string>{"done:7"});
  auto rows = services->queue->addedRows();
  std::vector<std::string> got;
  for (auto &r : rows)
    got.push_back(r.path + "|" + r.filename + "|" + r.localpath);
  EXPECT_EQ(got, (std::vector<std::string>{"/tree|a.txt|tree", "/tree/sub|b.txt|tree/sub",
                                           "/tree/sub/deeper|c.txt|tree/sub/deeper"}));
  for (auto &r : rows)
    EXPECT_EQ(r.action, 2);
  // The folders were listed one after another.
  auto cwds = commandsSent();
  EXPECT_EQ(std::count(cwds.begin(), cwds.end(), "CWD /tree/sub/deeper"), 1);

  // A second walk finds the files queued already and adds nothing.
  conn->setBatchPK(8);
  conn->batchDirectoryDownload("tree");
  conn->changeDirectory("/tree");
  ASSERT_TRUE(waitFor([&] { return services->queue->reports().size() == 2; }));
  EXPECT_EQ(services->queue->addedRows().size(), 3u);
}

} // namespace
