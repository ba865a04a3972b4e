// pure-ftpd, plain and with explicit TLS: listing, a download and an upload byte-exact, rename,
// make folder and delete.
#include "tests/interop/ftp/TaskPeers.h"

#include "platform/foundation/FileManager.h"

using namespace taskpeers;

namespace {

class PureFtpdTest : public TaskPeerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PureFtpdTest, ListTransferAndFileOperations) {
  Server s = startPureftpd(GetParam());
  ASSERT_TRUE(s.port) << "pure-ftpd is not unpacked (scripts/setup.sh)";
  const std::string content = randomBytes(2 * 1024 * 1024 + 5, 41);
  testsupport::writeFile(s.root + "/data.bin", content);
  const int before = services->top->listingCount();
  startConnection(address(s), true, "joe", "secret");
  conn->setSkipSSL(!GetParam());
  conn->connect();
  ASSERT_TRUE(waitFor([&] { return services->top->listingCount() > before && idle(); }))
      << conn->transferLog();
  EXPECT_EQ(conn->fSecureData(), GetParam());
  ASSERT_TRUE(services->top->find("data.bin"));

  conn->downloadFile("data.bin", int64_t(content.size()), false, true, "/", false, false, 0);
  settle();
  EXPECT_EQ(sha256(testsupport::readFile(savedFile("data.bin"))), sha256(content));

  testsupport::writeFile(home.file("up.bin"), content);
  conn->uploadFile("up.bin", home.file("up.bin"), "/", false, 0);
  settle();
  EXPECT_EQ(sha256(testsupport::readFile(s.root + "/up.bin")), sha256(content));

  conn->renameFile("up.bin", "moved.bin", "/");
  settle();
  conn->makeDirectory("folder", "/");
  settle();
  conn->deleteFile("data.bin", "/", false);
  settle();
  EXPECT_TRUE(FileManager::fileExists(s.root + "/moved.bin"));
  EXPECT_TRUE(FileManager::isDirectory(s.root + "/folder"));
  EXPECT_FALSE(FileManager::fileExists(s.root + "/data.bin"));
  EXPECT_TRUE(delegate->taken().empty()) << delegate->taken().front();
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, PureFtpdTest, ::testing::Bool());

} // namespace
