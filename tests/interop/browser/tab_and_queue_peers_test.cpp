// The FTP tab and the transfer queue together against pyftpdlib and OpenSSH's sshd: an upload
// queued from Saved Files into the folder on screen lists that folder again when it is done (and
// one into another folder does not); deleting the queue row of a file the tab is fetching stops
// the fetch and leaves no partial file.
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/support/FtpTabScreens.h"
#include "tests/support/Peers.h"
#include "tests/support/SftpPeers.h"
#include "tests/support/SshPeers.h"

#include "app/foundation/PartialFile.h"
#include "app/foundation/StringUtils.h"
#include "app/sftp/SFTPService.h"

#include <sys/stat.h>

using namespace tabtest;

namespace {

class TabAndQueuePeers : public TabFixture {
protected:
  // The top screen shows a listing holding `name`, with nothing of its own still running.
  bool shows(const std::string &name, double limit = 30) {
    return waitFor(
        [&] {
          auto s = top();
          return s && s->currentToolbar == 2 && !s->sftpOperationsRunning() && listed(name);
        },
        limit);
  }
  std::string state() {
    auto s = top();
    std::string out = s ? "toolbar " + std::to_string(s->currentToolbar) + ", running " +
                              std::to_string(s->sftpOperationsRunning()) + ", folder " +
                              s->currentWorkingDirectory() + ", status " +
                              (s->progressText ? s->progressText->text() : "")
                        : "no folder screen";
    for (auto &n : names())
      out += " [" + n + "]";
    return out;
  }
  // An upload of a new Saved Files file as Saved Files queues it: into `folder`, over the
  // browsing session.
  void queueUpload(const std::string &name, const std::string &folder) {
    const std::string local = Paths::documents() + "/Files/" + name;
    ASSERT_TRUE(testsupport::writeFile(local, "uploaded " + name));
    auto &c = *services->connect;
    ASSERT_GT(services->queue->addBatchItemAction(3, name, folder, 0,
                                                  c.sftpConnection ? nullptr : c.theConnection,
                                                  c.sftpConnection, local, false, true),
              0);
  }
};

TEST_F(TabAndQueuePeers, AnUploadIntoTheFtpFolderOnScreenListsItAgain) {
  queuetest::QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  FileManager::createDirectory(peer.root() + "/other", true);
  testsupport::writeFile(peer.root() + "/here.txt", "here");
  ASSERT_TRUE(connectTo("127.0.0.1:" + std::to_string(peer.port()), "joe", "secret"));
  ASSERT_TRUE(shows("here.txt")) << peer.serverLog();
  const std::string folder = top()->currentWorkingDirectory();
  const size_t listings = peer.count("LIST");

  // Into another folder of the server: the folder on screen stays as it was.
  queueUpload("elsewhere.txt", "/other");
  ASSERT_TRUE(waitFor([&] {
    return services->queue->batchItemList().empty() &&
           testsupport::readFile(peer.root() + "/other/elsewhere.txt") == "uploaded elsewhere.txt";
  }));
  // Into the folder on screen: it lists again by itself, once.
  queueUpload("up.txt", folder);
  EXPECT_TRUE(shows("up.txt")) << testsupport::readFile(peer.log());
  EXPECT_EQ(testsupport::readFile(peer.root() + "/up.txt"), "uploaded up.txt");
  EXPECT_EQ(peer.count("LIST"), listings + 1) << testsupport::readFile(peer.log());
  EXPECT_FALSE(listed("elsewhere.txt"));
}

TEST_F(TabAndQueuePeers, AnUploadIntoTheSftpFolderOnScreenListsItAgain) {
  ASSERT_TRUE(testsupport::ensureSftpUser());
  SFTPService::install();
  testsupport::TempDir dir{"ferrowen-tabqueue-sftp"};
  ::chmod(dir.path().c_str(), 0777);
  FileManager::createDirectory(dir.file("other"), true);
  ::chmod(dir.file("other").c_str(), 0777);
  testsupport::writeFile(dir.file("here.txt"), "here");
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  ASSERT_TRUE(connectTo("sftp://127.0.0.1:" + std::to_string(peer->port()) + dir.path(),
                        testsupport::kSftpUser, testsupport::kSftpPass));
  ASSERT_TRUE(shows("here.txt", 60)) << state();
  const std::string folder = top()->currentWorkingDirectory();

  queueUpload("elsewhere.txt", dir.file("other"));
  ASSERT_TRUE(waitFor([&] {
    return services->queue->batchItemList().empty() &&
           testsupport::readFile(dir.file("other/elsewhere.txt")) == "uploaded elsewhere.txt";
  }));
  queueUpload("up.txt", folder);
  EXPECT_TRUE(shows("up.txt", 60))
      << state() << " queue " << services->queue->batchItemList().size();
  EXPECT_EQ(testsupport::readFile(dir.file("up.txt")), "uploaded up.txt");
  EXPECT_FALSE(listed("elsewhere.txt"));
}

// The tab fetches a picture to show it and records the fetch as a queue row; the row deleted in
// Transfers stops the fetch: its partial file goes and nothing is opened.
TEST_F(TabAndQueuePeers, DeletingTheRowOfTheTabsFetchStopsIt) {
  queuetest::QueuePeer peer(100 * 1024);
  ASSERT_TRUE(peer.ready());
  testsupport::writeFile(peer.root() + "/photo.jpg", queuetest::pattern(3 << 20));
  ASSERT_TRUE(connectTo("127.0.0.1:" + std::to_string(peer.port()), "joe", "secret"));
  ASSERT_TRUE(shows("photo.jpg")) << peer.serverLog();
  ASSERT_TRUE(probe->tapRow("photo.jpg"));
  ASSERT_TRUE(probe->tap("View"));
  const std::string partial = queuetest::ftpPartialOf("photo.jpg", peer.port());
  ASSERT_TRUE(waitFor([&] { return sizeOfFileAtPath(partial) >= 100000; }));
  auto &queue = *services->queue;
  ASSERT_EQ(queue.batchItemList().size(), 1u);
  queue.view();
  queue.commitEditingStyle(*queue.tableView(), TableViewCellEditingStyle::Delete, {0, 0});
  EXPECT_TRUE(queue.batchItemList().empty());
  EXPECT_FALSE(FileManager::fileExists(partial));
  EXPECT_TRUE(waitFor([&] { return testsupport::openDescriptorsOn("photo.jpg") == 0; }, 10))
      << "the tab's connection let go of the file";
  EXPECT_TRUE(
      waitFor([&] { return !services->connect->theConnection->isFileTransferInProgress(); }));
  EXPECT_FALSE(FileManager::fileExists(Paths::tmp() + "/photo.jpg"));
  EXPECT_TRUE(services->viewed.empty());
}

// Two servers on one host, each with a "photo.jpg" of its own in the same folder, for the same
// user: the tab fetches A's to show it. B's queue row is another file: deleting it leaves A's fetch
// running.
TEST_F(TabAndQueuePeers, AnotherServersFileOfTheSameNameIsAnotherFile) {
  queuetest::QueuePeer a(100 * 1024), b;
  ASSERT_TRUE(a.ready() && b.ready());
  testsupport::writeFile(a.root() + "/photo.jpg", queuetest::pattern(3 << 20));
  testsupport::writeFile(b.root() + "/photo.jpg", "B's picture");
  ASSERT_TRUE(connectTo("127.0.0.1:" + std::to_string(a.port()), "joe", "secret"));
  ASSERT_TRUE(shows("photo.jpg")) << a.serverLog();
  const std::string folder = top()->currentWorkingDirectory();
  ASSERT_TRUE(probe->tapRow("photo.jpg"));
  ASSERT_TRUE(probe->tap("View"));
  const std::string partial = queuetest::ftpPartialOf("photo.jpg", a.port());
  ASSERT_TRUE(waitFor([&] { return sizeOfFileAtPath(partial) >= 100000; }));
  auto &queue = *services->queue;
  auto &tab = *services->connect->theConnection;
  // The queue waits (its first row is A's, which the tab is fetching).
  ASSERT_GT(queue.addBatchItemAction(2, "photo.jpg", folder, 11, "127.0.0.1", b.port(), "joe",
                                     "secret", "ftp", "", false, false),
            0);
  ASSERT_EQ(queue.batchItemList().size(), 2u);
  queue.view();
  queue.commitEditingStyle(*queue.tableView(), TableViewCellEditingStyle::Delete, {0, 1});
  ASSERT_EQ(queue.batchItemList().size(), 1u);
  const uint64_t before = sizeOfFileAtPath(partial);
  EXPECT_TRUE(waitFor([&] { return sizeOfFileAtPath(partial) > before + 100000; }))
      << "A's fetch goes on";
  EXPECT_TRUE(tab.isFileTransferInProgress());

  EXPECT_TRUE(services->viewed.empty());
}

} // namespace
