// Downloads of the queue onto a disk that fills up (a small tmpfs mounted over the folder the FTP
// connection writes into), against pyftpdlib, with the size answered to "SIZE" and refused: the
// transfer stops at once and says why, what came stays for a resume, and the row is never done.
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/support/Peers.h"
#include "tests/support/SmallDisk.h"

#include "app/foundation/StringUtils.h"

#include <unistd.h>

using namespace queuetest;

namespace {

class QueueFullDisk : public QueueTest, public ::testing::WithParamInterface<bool> {
protected:
  void SetUp() override {
    QueueTest::SetUp();
    Clock::install(nullptr); // real servers, real time
  }
};

TEST_P(QueueFullDisk, FtpDownloadStopsAtOnceSaysWhyAndIsNeverDone) {
  const bool refuseSize = GetParam();
  REQUIRE_MACHINE(::geteuid() == 0, "mounting a small disk needs root");
  testsupport::SmallDisk disk(Paths::tmp(), 1 << 20);
  REQUIRE_MACHINE(disk.mounted(), "no small disk: " << disk.error());
  QueuePeer peer(0, "", refuseSize);
  ASSERT_TRUE(peer.ready());
  // Far more than the disk holds, and more than the sockets between the two hold: a transfer
  // that went on would show in the server's log as a finished one.
  const std::string data = pattern(24 << 20, 11);
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/big.bin", data));
  makeQueue();
  queue_->addBatchItemAction(2, "big.bin", "/", 0, "127.0.0.1", peer.port(), "joe", "secret", "ftp",
                             "", false, true);
  auto failed = [&] {
    auto &list = queue_->batchItemList();
    return !list.empty() && !list[0]->errorMsg().empty();
  };
  const std::string saved = Paths::documents() + "/Files/big.bin";
  ASSERT_TRUE(waitFor([&] { return failed() || FileManager::fileExists(saved); }, 30))
      << testsupport::readFile(peer.log());
  ASSERT_TRUE(failed()) << "a cut file was reported done";
  const auto &list = queue_->batchItemList();
  EXPECT_NE(list[0]->errorMsg().find("The disk is full"), std::string::npos) << list[0]->errorMsg();
  EXPECT_NE(list[0]->errorMsg().find("big.bin"), std::string::npos) << list[0]->errorMsg();
  // The server was told to stop.
  EXPECT_TRUE(waitFor([&] { return peer.count("ABOR") == 1; }, 5))
      << testsupport::readFile(peer.log());
  // What the disk took stays, and is the file's beginning: a resume goes on from it.
  const std::string partial = testsupport::readFile(ftpPartialOf("big.bin", peer.port()));
  EXPECT_GT(partial.size(), 0u);
  EXPECT_LT(partial.size(), data.size());
  EXPECT_TRUE(partial == data.substr(0, partial.size()));
  // Nothing is handed on later either.
  waitFor([] { return false; }, 1.5);
  EXPECT_FALSE(FileManager::fileExists(saved));
  ASSERT_EQ(queue_->batchItemList().size(), 1u);
  EXPECT_FALSE(queue_->batchItemList()[0]->errorMsg().empty());
}

INSTANTIATE_TEST_SUITE_P(SizeAnsweredOrRefused, QueueFullDisk, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "SizeRefused" : "SizeKnown"; });

} // namespace
