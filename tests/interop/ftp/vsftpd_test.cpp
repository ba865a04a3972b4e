// The FTP client against vsftpd, a strict server: explicit FTPS for a local user with TLS
// session reuse demanded on every data connection, in passive and active mode, and implicit
// FTPS on port 990 (the only test of the project that uses that port).
#include "InteropFtp.h"
#include "tests/support/Peers.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ftptest;

namespace {

constexpr const char *kUser = "ferrowen-ftp6";
constexpr const char *kPass = "Secret-ftp6";

// A local user with a password; vsftpd checks it through PAM. Several test programs may do this
// at once: creating an existing user fails harmlessly, and a locked password file is retried.
bool ensureLocalUser() {
  if (!::getpwnam(kUser))
    testsupport::runCommand(std::string("useradd -m -s /bin/bash ") + kUser + " 2>/dev/null");
  // vsftpd enters the home folder before the configured root.
  if (passwd *pw = ::getpwnam(kUser)) ::mkdir(pw->pw_dir, 0755);
  for (int i = 0; i < 20; ++i) {
    int code = -1;
    testsupport::runCommand(std::string("echo '") + kUser + ":" + kPass + "' | chpasswd", &code);
    if (code == 0) return ::getpwnam(kUser) != nullptr;
    ::usleep(200 * 1000);
  }
  return false;
}

class VsftpdTest : public InteropTest {
protected:
  void SetUp() override {
    InteropTest::SetUp();
    REQUIRE_PEER(testsupport::program("/usr/sbin/vsftpd", "vsftpd"));
    if (::geteuid() != 0) GTEST_SKIP() << "vsftpd and its local user need root";
    ASSERT_TRUE(ensureLocalUser());
    ::mkdir("/var/run/vsftpd", 0755);
    ::mkdir("/var/run/vsftpd/empty", 0755);
    ::chmod(home.path().c_str(), 0755);
    root = home.file("root");
    makeTree(root);
    ASSERT_TRUE(testsupport::makeSelfSignedCert(home.file("cert.pem"), home.file("key.pem")));
  }

  void start(int listenPort, const std::string &extra) {
    port = listenPort;
    std::string conf =
        "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" +
        std::to_string(port) +
        "\nbackground=NO\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
        "anonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\nlocal_umask=022\n"
        "local_root=" +
        root +
        "\nchroot_local_user=NO\npasv_enable=YES\npasv_address=127.0.0.1\n"
        "port_enable=YES\nconnect_from_port_20=NO\npam_service_name=vsftpd\n"
        "secure_chroot_dir=/var/run/vsftpd/empty\nxferlog_enable=NO\nvsftpd_log_file=" +
        home.file("vsftpd.log") +
        "\ndual_log_enable=NO\nssl_enable=YES\nrsa_cert_file=" + home.file("cert.pem") +
        "\nrsa_private_key_file=" + home.file("key.pem") +
        "\nallow_anon_ssl=NO\nssl_ciphers=HIGH\n" + extra;
    ASSERT_TRUE(testsupport::writeFile(home.file("vsftpd.conf"), conf));
    server = testsupport::Process({"/usr/sbin/vsftpd", home.file("vsftpd.conf")}, home.path());
    ASSERT_TRUE(testsupport::waitForTcpPort(port)) << server.errors();
  }

  std::string root;
  int port = 0;
  testsupport::Process server;
};

TEST_F(VsftpdTest, ExplicitTlsWithSessionReuseInPassiveAndActiveMode) {
  ASSERT_NO_FATAL_FAILURE(start(testsupport::freeTcpPort(),
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

TEST_F(VsftpdTest, ImplicitTlsAtPort990StartsWithUser) {
  // Port 990 is taken by this test alone; a machine where it is busy skips it.
  int probe =
      testsupport::runCommand("ss -ltn 'sport = :990' | tail -n +2 | wc -l") == "0\n" ? 0 : 1;
  if (probe) GTEST_SKIP() << "port 990 is in use";
  ASSERT_NO_FATAL_FAILURE(start(990, "implicit_ssl=YES\nrequire_ssl_reuse=NO\n"
                                     "force_local_logins_ssl=YES\nforce_local_data_ssl=NO\n"));
  ASSERT_TRUE(loginTo("127.0.0.1:990", kUser, kPass)) << conn->transferLog();
  EXPECT_TRUE(conn->implicitSSL());
  EXPECT_TRUE(conn->fSecureLogin());
  auto cmds = commandsSent();
  ASSERT_FALSE(cmds.empty());
  EXPECT_EQ(cmds.front(), std::string("USER ") + kUser);
  EXPECT_FALSE(sent("AUTH TLS"));
  EXPECT_FALSE(sent("PBSZ 0"));
  EXPECT_TRUE(logHas("!!! Cert:localhost Bits:2048\r\n"));
  EXPECT_TRUE(waitFor([&] { return services->called("protocol:FTPS"); }));
}

} // namespace
