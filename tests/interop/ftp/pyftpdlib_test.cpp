// The FTP client against pyftpdlib: plain and explicit FTPS logins, listings over passive and
// active data connections (protected or not), the server's refusals and the stored job.
#include "InteropFtp.h"
#include "TaskPeers.h"

using namespace ftptest;

namespace {

class PyftpdlibTest : public InteropTest {
protected:
  void start(const std::string &mode) {
    root = home.file("root");
    makeTree(root);
    ASSERT_TRUE(testsupport::makeSelfSignedCert(home.file("cert.pem"), home.file("key.pem")));
    port = testsupport::freeTcpPort();
    server = testsupport::Process(
        {"/usr/bin/python3", sourceDir() + "/tests/interop/ftp/peers/pyftpd_server.py",
         std::to_string(port), root, mode, home.file("cert.pem"), home.file("key.pem")},
        home.path());
    ASSERT_TRUE(testsupport::waitForTcpPort(port)) << server.errors();
    address = "127.0.0.1:" + std::to_string(port);
  }
  std::string root, address;
  int port = 0;
  testsupport::Process server;
};

TEST_F(PyftpdlibTest, PlainLoginWithFeaturesListsInPassiveAndActiveMode) {
  start("plain");
  ASSERT_TRUE(loginTo(address, "joe", "secret")) << conn->transferLog();
  EXPECT_EQ(conn->cwd(), "/");
  EXPECT_FALSE(conn->fSecureLogin());
  // pyftpdlib offers UTF8: the client switches it on; CLNT is refused and does not matter.
  EXPECT_TRUE(conn->canDoUTF8());
  for (auto c : {"USER joe", "PASS [hidden]", "SYST", "FEAT", "CLNT Ferrowen-3.0", "UTF8",
                 "OPTS UTF8 ON", "PWD"})
    EXPECT_TRUE(sent(c)) << c;
  EXPECT_FALSE(sent("AUTH TLS") && conn->fSecureLogin());
  // The login folder is listed through a passive data connection.
  ASSERT_TRUE(waitListing("hello.txt")) << conn->transferLog();
  EXPECT_TRUE(sent("PASV"));
  EXPECT_TRUE(logHas("*** Data Connection OK\r\n"));
  EXPECT_NE(conn->listing().find("file-with-a-long-name-149.dat"), std::string::npos);

  // Active mode.
  UserDefaults::standard().setObject("0", kUsePASVKey);
  conn->changeDirectory("/sub");
  ASSERT_TRUE(waitListing("inner.txt")) << conn->transferLog();
  bool port = false;
  for (auto &c : commandsSent())
    port = port || c.rfind("PORT 127,0,0,1,", 0) == 0;
  EXPECT_TRUE(port);
  EXPECT_EQ(conn->cwd(), "/sub");
  EXPECT_EQ(conn->offThreadEvents(), 0u);
  EXPECT_EQ(services->offMainCalls(), 0);
}

TEST_F(PyftpdlibTest, ExplicitTlsProtectsControlAndDataInBothModes) {
  start("tls");
  ASSERT_TRUE(loginTo(address, "joe", "secret")) << conn->transferLog();
  EXPECT_TRUE(conn->fSecureLogin());
  EXPECT_TRUE(conn->fSecureData());
  auto cmds = commandsSent();
  ASSERT_GE(cmds.size(), 5u);
  EXPECT_EQ(
      std::vector<std::string>(cmds.begin(), cmds.begin() + 5),
      (std::vector<std::string>{"AUTH TLS", "PBSZ 0", "PROT P", "USER joe", "PASS [hidden]"}));
  EXPECT_TRUE(logHas("!!! Cert:localhost Bits:2048\r\n"));
  ASSERT_FALSE(conn->peerCertificates().empty());
  ASSERT_TRUE(waitListing("hello.txt")) << conn->transferLog();

  // Active mode under "PROT P": the accepted data connection runs TLS too.
  UserDefaults::standard().setObject("0", kUsePASVKey);
  conn->changeDirectory("/sub");
  ASSERT_TRUE(waitListing("inner.txt")) << conn->transferLog();
  // A listing over TLS worked: the server does FTPS (noted as its final reply is taken).
  EXPECT_TRUE(waitFor([] {
    return UserDefaults::standard().stringForKey("SSL-no-127.0.0.1").value_or("") == "0";
  }));
}

TEST_F(PyftpdlibTest, RefusedProtKeepsDataConnectionsPlain) {
  start("tls-noprot");
  ASSERT_TRUE(loginTo(address, "joe", "secret")) << conn->transferLog();
  EXPECT_TRUE(conn->fSecureLogin());
  EXPECT_FALSE(conn->fSecureData());
  ASSERT_TRUE(waitListing("hello.txt")) << conn->transferLog();
}

TEST_F(PyftpdlibTest, RefusedPbszGoesOnToUserOverTheProtectedControlConnection) {
  start("tls-nopbsz");
  ASSERT_TRUE(loginTo(address, "joe", "secret")) << conn->transferLog();
  EXPECT_TRUE(conn->fSecureLogin());
  EXPECT_FALSE(sent("PROT P"));
  // The server never agreed to protect the data: listings arrive in the clear.
  EXPECT_FALSE(conn->fSecureData());
  ASSERT_TRUE(waitListing("hello.txt")) << conn->transferLog();
}

TEST_F(PyftpdlibTest, AQueueSessionListsOnlyWhenAskedAndNeverIntoTheFolderScreen) {
  start("plain");
  auto screen = std::make_shared<taskpeers::FolderScreenDouble>();
  services->top = screen;
  startConnection(false);
  ASSERT_TRUE(loginTo(address, "joe", "secret")) << conn->transferLog();
  ASSERT_TRUE(waitFor([&] { return conn->iTask() == -1; }));
  for (auto &c : commandsSent())
    EXPECT_NE(c.rfind("LIST", 0), 0u) << c;
  conn->changeDirectory("/sub");
  ASSERT_TRUE(waitListing("inner.txt")) << conn->transferLog();
  RunLoop::main()->runPending();
  EXPECT_EQ(screen->listingCount(), 0);
}

TEST_F(PyftpdlibTest, RefusedPasvFallsBackToPortForTheSession) {
  start("nopasv");
  ASSERT_TRUE(loginTo(address, "", "")) << conn->transferLog();
  EXPECT_TRUE(sent("USER anonymous"));
  ASSERT_TRUE(waitListing("hello.txt")) << conn->transferLog();
  EXPECT_TRUE(logHas("!!! No PASV allowed? Trying PORT...\r\n"));
  // The next listing goes straight to active mode.
  size_t pasvBefore = 0;
  for (auto &c : commandsSent())
    pasvBefore += c == "PASV";
  conn->changeDirectory("/sub");
  ASSERT_TRUE(waitListing("inner.txt"));
  size_t pasvAfter = 0;
  for (auto &c : commandsSent())
    pasvAfter += c == "PASV";
  EXPECT_EQ(pasvAfter, pasvBefore);
}

TEST_F(PyftpdlibTest, AFolderChangeAskedWhileDisconnectedRunsAfterLogin) {
  start("plain");
  startConnection();
  conn->setServerAddress(address);
  conn->setLoginUser("joe");
  conn->setLoginPass("secret");
  // Asked from the main thread with no connection: it connects, logs in and lists /sub.
  conn->changeDirectory("/sub");
  ASSERT_TRUE(waitListing("inner.txt")) << conn->transferLog();
  auto cmds = commandsSent();
  auto pwd = std::find(cmds.begin(), cmds.end(), "PWD");
  auto cwd = std::find(cmds.begin(), cmds.end(), "CWD /sub");
  EXPECT_LT(pwd, cwd);
  EXPECT_EQ(conn->listing().find("hello.txt"), std::string::npos);
  EXPECT_EQ(conn->cwd(), "/sub");
}

} // namespace
