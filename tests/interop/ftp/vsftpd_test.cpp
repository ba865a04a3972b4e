// The FTP client against vsftpd, a strict server: explicit FTPS for a local user with TLS
// session reuse demanded on every data connection, in passive and active mode; FTPS as vsftpd's
// users get it (TLS 1.3) taking many uploads in a row; and implicit FTPS, served on a free port
// that the test's connection takes for the implicit one.
#include "InteropFtp.h"
#include "VsftpdPeer.h"
#include "tests/support/Peers.h"

#include "platform/foundation/FileManager.h"

#include <dirent.h>

using namespace ftptest;
using vsftpdpeer::kPass;
using vsftpdpeer::kUser;

namespace {

class VsftpdTest : public InteropTest {
protected:
  void SetUp() override {
    InteropTest::SetUp();
    REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
    if (::geteuid() != 0) GTEST_SKIP() << "vsftpd and its local user need root";
    ASSERT_TRUE(vsftpdpeer::ensureLocalUser());
    ::chmod(home.path().c_str(), 0755);
    root = home.file("root");
    makeTree(root);
    ASSERT_TRUE(testsupport::makeSelfSignedCert(home.file("cert.pem"), home.file("key.pem")));
  }

  // vsftpd with TLS as its users turn it on, and `extra` after it.
  void start(int listenPort, const std::string &extra) {
    port = listenPort;
    const std::string conf = vsftpdpeer::config(
        port, root, home.file("vsftpd.log"),
        vsftpdpeer::stockTls(home.file("cert.pem"), home.file("key.pem")), extra);
    ASSERT_TRUE(testsupport::writeFile(home.file("vsftpd.conf"), conf));
    server = testsupport::Process({"/usr/sbin/vsftpd", home.file("vsftpd.conf")}, home.path());
    ASSERT_TRUE(testsupport::waitForTcpPort(port)) << server.errors();
  }

  // Uploads `content` from a local file under `name` into the root, and waits until it is there
  // whole and the connection is idle again.
  bool upload(const std::string &name, const std::string &content) {
    const std::string local = home.file("local-" + name);
    testsupport::writeFile(local, content);
    conn->uploadFile(name, local, root, false, 0);
    return waitFor([&] {
      return conn->iTask() == -1 && FileManager::fileExists(root + "/" + name) &&
             testsupport::readFile(root + "/" + name) == content;
    });
  }

  // Names in the root with ".upload." in them: what an upload left behind.
  std::vector<std::string> leftovers() {
    std::vector<std::string> found;
    if (DIR *d = ::opendir(root.c_str())) {
      while (dirent *e = ::readdir(d))
        if (std::string(e->d_name).find(".upload.") != std::string::npos)
          found.push_back(e->d_name);
      ::closedir(d);
    }
    return found;
  }

  std::string root;
  int port = 0;
  testsupport::Process server;
};

TEST_F(VsftpdTest, ExplicitTlsWithSessionReuseInPassiveAndActiveMode) {
  // TLS 1.2's ciphers widened (Debian's build allows a single one otherwise) and UTF-8 names on:
  // this session names what it uses, the others use the defaults.
  ASSERT_NO_FATAL_FAILURE(start(testsupport::freeTcpPort(),
                                "allow_anon_ssl=NO\nssl_ciphers=HIGH\n"
                                "require_ssl_reuse=YES\nforce_local_logins_ssl=YES\n"
                                "force_local_data_ssl=YES\nutf8_filesystem=YES\n"));
  ASSERT_TRUE(loginTo("127.0.0.1:" + std::to_string(port), kUser, kPass)) << conn->transferLog();
  auto cmds = commandsSent();
  ASSERT_GE(cmds.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(cmds.begin(), cmds.begin() + 6),
            (std::vector<std::string>{"AUTH TLS", "PBSZ 0", "PROT P", std::string("USER ") + kUser,
                                      "PASS [hidden]", "SYST"}));
  EXPECT_TRUE(conn->fSecureLogin());
  EXPECT_TRUE(conn->fSecureData());
  EXPECT_EQ(conn->cwd(), root);
  EXPECT_TRUE(logHas("!!! Cert:localhost Bits:2048\r\n"));
  // vsftpd answers FEAT with its features; CLNT is refused and does not matter.
  EXPECT_TRUE(sent("FEAT"));
  EXPECT_TRUE(sent("CLNT Ferrowen-3.0"));
  // It offers UTF8: the client asks for it.
  EXPECT_TRUE(conn->canDoUTF8());
  EXPECT_TRUE(sent("OPTS UTF8 ON"));
  // Every data connection resumes the control connection's TLS session, or vsftpd refuses it.
  ASSERT_TRUE(waitListing("hello.txt")) << conn->transferLog();
  UserDefaults::standard().setObject("0", kUsePASVKey);
  conn->changeDirectory(root + "/sub");
  ASSERT_TRUE(waitListing("inner.txt")) << conn->transferLog();
  EXPECT_EQ(conn->offThreadEvents(), 0u);
  EXPECT_EQ(services->offMainCalls(), 0);
}

// vsftpd's own TLS settings (TLS 1.3 with OpenSSL 3, session reuse required): every data
// connection resumes the login's session, however many small uploads follow one another, in
// passive and active mode, an empty file among them.
TEST_F(VsftpdTest, StockFtpsTakesManySmallUploadsInARow) {
  ASSERT_NO_FATAL_FAILURE(start(testsupport::freeTcpPort(), ""));
  ASSERT_TRUE(vsftpdpeer::letUserWrite(root));
  auto errors = std::make_shared<ErrorDelegate>();
  startConnection();
  conn->setDelegate(errors);
  ASSERT_TRUE(loginTo("127.0.0.1:" + std::to_string(port), kUser, kPass)) << conn->transferLog();
  EXPECT_EQ(conn->controlTlsVersion(), "TLSv1.3");
  ASSERT_TRUE(waitListing("hello.txt")) << conn->transferLog();
  for (int i = 0; i < 24; ++i) {
    UserDefaults::standard().setObject(i % 6 == 5 ? "0" : "1", kUsePASVKey);
    const std::string name = "small-" + std::to_string(i) + ".txt";
    const std::string content = i == 3 ? std::string() : std::string(size_t(i * 37 + 1), 'a' + i);
    ASSERT_TRUE(upload(name, content)) << name << "\n" << conn->transferLog();
  }
  EXPECT_TRUE(errors->taken().empty()) << errors->taken().front();
  EXPECT_TRUE(leftovers().empty()) << leftovers().front();
  EXPECT_TRUE(replied("226")) << conn->transferLog();
  EXPECT_FALSE(replied("522")) << conn->transferLog();
}

// Implicit FTPS with vsftpd's defaults otherwise (protected data connections required, session
// reuse too): the session asks for protected data connections as an explicit one does, and lists,
// uploads and lists again.
TEST_F(VsftpdTest, ImplicitTlsProtectsItsDataConnections) {
  const int implicitPort = testsupport::freeTcpPort();
  ASSERT_NO_FATAL_FAILURE(start(implicitPort, "implicit_ssl=YES\n"));
  ASSERT_TRUE(vsftpdpeer::letUserWrite(root));
  auto errors = std::make_shared<ErrorDelegate>();
  startConnection();
  conn->implicitTlsPort = implicitPort;
  conn->setDelegate(errors);
  ASSERT_TRUE(loginTo("127.0.0.1:" + std::to_string(port), kUser, kPass)) << conn->transferLog();
  EXPECT_TRUE(conn->implicitSSL());
  EXPECT_TRUE(conn->fSecureLogin());
  auto cmds = commandsSent();
  ASSERT_GE(cmds.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(cmds.begin(), cmds.begin() + 3),
            (std::vector<std::string>{"PBSZ 0", "PROT P", std::string("USER ") + kUser}));
  EXPECT_FALSE(sent("AUTH TLS"));
  EXPECT_TRUE(logHas("!!! Cert:localhost Bits:2048\r\n"));
  EXPECT_TRUE(waitFor([&] { return services->called("protocol:FTPS"); }));
  ASSERT_TRUE(waitListing("hello.txt")) << conn->transferLog();
  EXPECT_TRUE(conn->fSecureData());
  // A listing over TLS worked: the server is remembered as one that does FTPS.
  EXPECT_TRUE(
      waitFor([] { return UserDefaults::standard().stringForKey(keySSLNo("127.0.0.1")) == "0"; }));
  for (const char *passive : {"1", "0"}) {
    UserDefaults::standard().setObject(passive, kUsePASVKey);
    const std::string name = std::string("implicit-") + passive + ".txt";
    ASSERT_TRUE(upload(name, "over implicit TLS")) << conn->transferLog();
  }
  conn->changeDirectory(root + "/sub");
  ASSERT_TRUE(waitListing("inner.txt")) << conn->transferLog();
  EXPECT_TRUE(errors->taken().empty()) << errors->taken().front();
  EXPECT_FALSE(replied("522")) << conn->transferLog();
  // One session: nothing connected again.
  cmds = commandsSent();
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), std::string("PBSZ 0")), 1);
}

// vsftpd that requires a client certificate (require_cert=YES; as installed it asks for one and
// lets a client without one in). Under TLS 1.3 its refusal is an alert that comes after the
// handshake has ended on the client's side. The login ends within seconds with the alert's
// reason, and no plain login follows, whether the person asked to be warned before one or not.
TEST_F(VsftpdTest, TlsRefusalAfterTheHandshakeEndsTheLoginAtOnce) {
  ASSERT_NO_FATAL_FAILURE(start(testsupport::freeTcpPort(), "require_cert=YES\n"));
  auto errors = std::make_shared<ErrorDelegate>();
  startConnection();
  conn->setDelegate(errors);
  size_t round = 0;
  for (bool warn : {true, false}) {
    SCOPED_TRACE(warn ? "warned before plain FTP" : "plain FTP without asking");
    ++round;
    conn->setWarnIfNoSSL(warn);
    conn->setServerAddress("127.0.0.1:" + std::to_string(port));
    conn->setLoginUser(kUser);
    conn->setLoginPass(kPass);
    conn->connect();
    ASSERT_TRUE(waitFor([&] { return errors->taken().size() >= round; }, 10))
        << conn->transferLog() << testsupport::readFile(home.file("vsftpd.log"));
    const std::string said = errors->taken().back();
    EXPECT_NE(said.find("certificate required"), std::string::npos) << said;
    // Nothing follows: no second session, no name or password in plain text.
    waitFor([] { return false; }, 2);
    EXPECT_EQ(errors->taken().size(), round) << errors->taken().back();
    EXPECT_FALSE(conn->fIsLoggedIn());
    auto cmds = commandsSent();
    EXPECT_EQ(size_t(std::count(cmds.begin(), cmds.end(), std::string("AUTH TLS"))), round)
        << conn->transferLog();
    EXPECT_FALSE(sent(std::string("USER ") + kUser)) << conn->transferLog();
  }
}

} // namespace
