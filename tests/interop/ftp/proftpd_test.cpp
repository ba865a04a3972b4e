// The FTP client against proftpd with mod_deflate and mod_tls: "MODE Z" offered in the features
// and switched on, compressed listings inflated, over plain and protected data connections.
#include "InteropFtp.h"
#include "tests/support/Peers.h"

#include <pwd.h>
#include <unistd.h>

using namespace ftptest;

namespace {

const std::string kBase = "/opt/ferrowen-peers/proftpd";

class ProftpdTest : public InteropTest {
protected:
  void SetUp() override {
    InteropTest::SetUp();
    REQUIRE_PEER(testsupport::program(kBase + "/usr/sbin/proftpd", "proftpd-core, unpacked"));
    if (::geteuid() != 0) GTEST_SKIP() << "proftpd must start as root";
    ::chmod(home.path().c_str(), 0755);
    root = home.file("root");
    makeTree(root);
    ASSERT_TRUE(testsupport::makeSelfSignedCert(home.file("cert.pem"), home.file("key.pem")));
  }

  void start(bool tls) {
    // A user of its own password file: no system account, no PAM.
    std::string hash = testsupport::runCommand("openssl passwd -1 secret");
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r'))
      hash.pop_back();
    passwd *nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    std::string ids = std::to_string(nobody->pw_uid) + ":" + std::to_string(nobody->pw_gid);
    ASSERT_TRUE(testsupport::writeFile(home.file("ftpd.passwd"),
                                       "joe:" + hash + ":" + ids + "::" + root + ":/bin/sh\n"));
    ::chmod(home.file("ftpd.passwd").c_str(), 0600);
    port = testsupport::freeTcpPort();
    std::string conf = "ServerType standalone\nDefaultServer on\nUseIPv6 off\n"
                       "DefaultAddress 127.0.0.1\nPort " +
                       std::to_string(port) + "\nUser nobody\nGroup nogroup\nScoreboardFile " +
                       home.file("pro.score") + "\nPidFile " + home.file("pro.pid") +
                       "\nDelayTable none\n" +
                       "WtmpLog off\nUseReverseDNS off\n"
                       "RequireValidShell off\nAuthPAM off\nAuthOrder mod_auth_file.c\n"
                       "AuthUserFile " +
                       home.file("ftpd.passwd") + "\nDefaultRoot ~\nModulePath " + kBase +
                       "/usr/lib/proftpd\nLoadModule mod_deflate.c\nLoadModule mod_tls.c\n"
                       "<IfModule mod_deflate.c>\n  DeflateEngine on\n</IfModule>\n";
    if (tls)
      conf += "<IfModule mod_tls.c>\n  TLSEngine on\n  TLSRequired on\n"
              "  TLSProtocol TLSv1.2 TLSv1.3\n  TLSRSACertificateFile " +
              home.file("cert.pem") + "\n  TLSRSACertificateKeyFile " + home.file("key.pem") +
              "\n  TLSVerifyClient off\n  TLSLog " + home.file("tls.log") + "\n</IfModule>\n";
    ASSERT_TRUE(testsupport::writeFile(home.file("proftpd.conf"), conf));
    server = testsupport::Process(
        {kBase + "/usr/sbin/proftpd", "-n", "-q", "-c", home.file("proftpd.conf")}, home.path());
    ASSERT_TRUE(testsupport::waitForTcpPort(port)) << server.errors();
  }

  std::string root;
  int port = 0;
  testsupport::Process server;
};

TEST_F(ProftpdTest, ModeZIsSwitchedOnAndCompressedListingsAreInflated) {
  ASSERT_NO_FATAL_FAILURE(start(false));
  ASSERT_TRUE(loginTo("127.0.0.1:" + std::to_string(port), "joe", "secret"))
      << conn->transferLog() << server.errors();
  EXPECT_TRUE(conn->useModeZ());
  EXPECT_TRUE(conn->modeZ());
  EXPECT_TRUE(sent("MODE Z"));
  EXPECT_TRUE(sent("CLNT Ferrowen-3.0"));
  EXPECT_TRUE(conn->canDoUTF8());
  EXPECT_TRUE(sent("OPTS UTF8 ON"));
  // "MODE Z" is the last step before "PWD".
  auto cmds = commandsSent();
  auto modeZ = std::find(cmds.begin(), cmds.end(), "MODE Z");
  ASSERT_NE(modeZ, cmds.end());
  EXPECT_EQ(*(modeZ + 1), "PWD");
  ASSERT_TRUE(waitListing("file-with-a-long-name-149.dat")) << conn->transferLog();
  std::string listing = conn->listing();
  EXPECT_NE(listing.find("hello.txt"), std::string::npos);
  EXPECT_NE(listing.find("\r\n"), std::string::npos);
  EXPECT_EQ(conn->offThreadEvents(), 0u);
}

TEST_F(ProftpdTest, ModeZSwitchedOffBySettingIsNotSent) {
  ASSERT_NO_FATAL_FAILURE(start(false));
  UserDefaults::standard().setObject("0", kModeZKey);
  ASSERT_TRUE(loginTo("127.0.0.1:" + std::to_string(port), "joe", "secret"));
  EXPECT_FALSE(sent("MODE Z"));
  EXPECT_FALSE(conn->modeZ());
  ASSERT_TRUE(waitListing("hello.txt")) << conn->transferLog();
}

TEST_F(ProftpdTest, ExplicitTlsWithCompressedProtectedListings) {
  ASSERT_NO_FATAL_FAILURE(start(true));
  ASSERT_TRUE(loginTo("127.0.0.1:" + std::to_string(port), "joe", "secret"))
      << conn->transferLog() << testsupport::readFile(home.file("tls.log"));
  EXPECT_TRUE(conn->fSecureLogin());
  EXPECT_TRUE(conn->fSecureData());
  EXPECT_TRUE(conn->modeZ());
  EXPECT_TRUE(logHas("!!! Cert:localhost Bits:2048\r\n"));
  ASSERT_TRUE(waitListing("file-with-a-long-name-149.dat"))
      << conn->transferLog() << testsupport::readFile(home.file("tls.log"));
  UserDefaults::standard().setObject("0", kUsePASVKey);
  conn->changeDirectory("/sub");
  ASSERT_TRUE(waitListing("inner.txt")) << conn->transferLog();
}

} // namespace
