// Connect pressed twice before the first press has its folder screen (a double click, or a second
// press while the connection is being made), against pyftpdlib and OpenSSH's sshd: one
// connection, one folder screen, one session on the server. Over FTP the first connect of the
// process makes its connection on a thread of its own, so its screen comes a moment later; a
// later connect reuses that connection; over SFTP every connect makes its service anew.
#include "tests/interop/ftp/QueueFtpPeers.h"
#include "tests/support/FtpTabScreens.h"
#include "tests/support/SftpPeers.h"

#include "app/sftp/SFTPService.h"

#include <sys/stat.h>

using namespace tabtest;

namespace {

class ConnectTwiceTest : public TabFixture {
protected:
  void SetUp() override {
    TabFixture::SetUp();
    SFTPService::install();
  }
  size_t folderScreens() {
    size_t n = 0;
    for (auto &vc : services->nav->viewControllers())
      n += std::dynamic_pointer_cast<DirViewer>(vc) != nullptr;
    return n;
  }
  // The folder screen on top has listed its folder and nothing more is on its way.
  bool settled() {
    return waitFor(
               [&] {
                 auto s = top();
                 return s && s->loadedDirectory && !s->sftpOperationsRunning() &&
                        (!s->theConnection || !s->theConnection->isBusy());
               },
               60) &&
           !waitFor([&] { return folderScreens() > 1; }, 1.0);
  }
  // Fills the fields and presses Connect twice, the second press reaching the connect screen's
  // button before the first press's folder screen is there (or just after it came).
  void connectTwice(const std::string &server, const std::string &user, const std::string &pass,
                    int segment) {
    auto c = services->connect;
    c->serverName->setText(server);
    c->loginUser->setText(user);
    c->loginPass->setText(pass);
    c->protocolType->setSelectedSegmentIndex(segment);
    c->changeProtocolType();
    ASSERT_TRUE(probe->tap("Connect")) << probe->lastError();
    c->clickConnect();
  }
  static size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
      ++n;
    return n;
  }
};

} // namespace

TEST_F(ConnectTwiceTest, FtpMakesOneConnectionAndOneFolderScreen) {
  queuetest::QueuePeer peer;
  ASSERT_TRUE(peer.ready());
  ASSERT_TRUE(testsupport::writeFile(peer.root() + "/here.txt", "x"));
  const std::string server = "127.0.0.1:" + std::to_string(peer.port());
  // The first connect of the process, then a later one on the same connection.
  for (const bool first : {true, false}) {
    SCOPED_TRACE(first ? "first connect" : "later connect");
    const size_t logins = peer.count("USER");
    connectTwice(server, "joe", "secret", 0);
    ASSERT_TRUE(settled()) << testsupport::readFile(peer.log());
    EXPECT_TRUE(listed("here.txt"));
    EXPECT_EQ(folderScreens(), 1u);
    EXPECT_EQ(peer.count("USER"), logins + 1) << testsupport::readFile(peer.log());
    ASSERT_TRUE(probe->tapBack()) << probe->lastError(); // "Disconnect"
    ASSERT_EQ(services->nav->topViewController(), services->connect);
  }
}

TEST_F(ConnectTwiceTest, SftpMakesOneConnectionAndOneFolderScreen) {
  ASSERT_TRUE(testsupport::ensureSftpUser());
  testsupport::TempDir served("ferrowen-twice");
  ::chmod(served.path().c_str(), 0777);
  ASSERT_TRUE(testsupport::writeFile(served.file("here.txt"), "x"));
  auto sshd = testsupport::SshPeer::sshd({});
  ASSERT_TRUE(sshd->started()) << sshd->why();
  connectTwice("127.0.0.1:" + std::to_string(sshd->port()) + served.path(), testsupport::kSftpUser,
               testsupport::kSftpPass, 2);
  ASSERT_TRUE(settled()) << sshd->log();
  EXPECT_TRUE(listed("here.txt"));
  EXPECT_EQ(folderScreens(), 1u);
  EXPECT_EQ(occurrences(sshd->log(), "Accepted password for"), 1u) << sshd->log();
}
