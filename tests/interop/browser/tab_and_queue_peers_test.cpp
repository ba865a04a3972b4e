// The FTP tab and the transfer queue together against pyftpdlib: deleting the queue row of a file
// the tab is fetching stops the fetch and leaves no partial file.
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
};

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
  const std::string partial = partialFilePath(Paths::tmp() + "/photo.jpg");
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

} // namespace
