// The transfer queue running its SFTP items on the real service against OpenSSH's sshd.
#include "tests/app/queue/QueueTestSupport.h"

#include "app/sftp/SFTPService.h"
#include "tests/support/SftpPeers.h"

#include <sys/stat.h>

using namespace queuetest;

namespace {

class QueueSftp : public QueueTest {
protected:
  void SetUp() override {
    QueueTest::SetUp();
    ASSERT_TRUE(testsupport::ensureSftpUser());
    SFTPService::install();
    ::chmod(remote_.path().c_str(), 0777);
  }
  testsupport::TempDir remote_{"ferrowen-queue-sftp"};
};

TEST_F(QueueSftp, DownloadUploadFolderAndFolderBatchRun) {
  auto peer = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(peer->started()) << peer->why();
  const std::string r = remote_.path();
  testsupport::writeFile(r + "/fetch.txt", "fetched");
  ::mkdir((r + "/tree").c_str(), 0777);
  testsupport::writeFile(r + "/tree/inner.txt", "inner");
  testsupport::writeFile(Paths::documents() + "/send.txt", "sent");
  makeQueue();
  for (auto [action, name, local] : {std::tuple{30, "fetch.txt", "got"},
                                     {34, "made", ""},
                                     {31, "send.txt", "send.txt"},
                                     {33, "tree", ""}})
    queue_->addBatchItemAction(action, name, r, 1, "127.0.0.1", peer->port(),
                               testsupport::kSftpUser, testsupport::kSftpPass, "sftp", local, false,
                               true);
  auto allDone = [&] { return advance(0.5), rows().empty(); };
  ASSERT_TRUE(waitFor(allDone, 60)) << rows().size();
  const std::string files = Paths::documents() + "/Files";
  EXPECT_EQ(testsupport::readFile(files + "/got/fetch.txt"), "fetched");
  EXPECT_TRUE(FileManager::fileExists(r + "/made"));
  EXPECT_EQ(testsupport::readFile(r + "/send.txt"), "sent");
  EXPECT_EQ(testsupport::readFile(files + "/tree/inner.txt"), "inner");
}

} // namespace
