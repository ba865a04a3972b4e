// TLS session reuse against vsftpd, which refuses a protected data connection that does not
// resume the control connection's session (require_ssl_reuse=YES). The test speaks just enough
// of the server's command language to open data connections; the streams know nothing of it.
#include "tests/platform/net/NetTestSupport.h"
#include "tests/support/TestSupport.h"

#include "platform/net/SocketStream.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>

using namespace platform;
using namespace platform::net;
using namespace nettest;

namespace {

class VsftpdTlsTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (::access("/usr/sbin/vsftpd", X_OK) != 0) GTEST_SKIP() << "vsftpd is not installed";
    if (::geteuid() != 0) GTEST_SKIP() << "vsftpd must start as root";
    passwd *ftp = ::getpwnam("ftp");
    if (!ftp) GTEST_SKIP() << "no ftp user for anonymous sessions";
    RunLoop::makeMainThread();
    loop = RunLoop::current();
    ::mkdir("/var/run/vsftpd", 0755);
    ::mkdir("/var/run/vsftpd/empty", 0755);

    root = dir.file("root");
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/incoming").c_str(), 0755), 0);
    ASSERT_EQ(::chown((root + "/incoming").c_str(), ftp->pw_uid, ftp->pw_gid), 0);
    for (int i = 0; i < 70000; ++i)
      fileContent += char('0' + i % 10);
    ASSERT_TRUE(testsupport::writeFile(root + "/hello.txt", fileContent));
    ASSERT_TRUE(testsupport::makeSelfSignedCert(dir.file("cert.pem"), dir.file("key.pem")));

    port = testsupport::freeTcpPort();
    pasvPort = testsupport::freeTcpPort();
    std::string conf = "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
                       "listen_port=" +
                       std::to_string(port) +
                       "\nbackground=NO\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
                       "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\n"
                       "anon_root=" +
                       root +
                       "\nwrite_enable=YES\nanon_upload_enable=YES\nanon_umask=022\n"
                       "pasv_enable=YES\npasv_address=127.0.0.1\npasv_min_port=" +
                       std::to_string(pasvPort) + "\npasv_max_port=" + std::to_string(pasvPort) +
                       "\nsecure_chroot_dir=/var/run/vsftpd/empty\nxferlog_enable=NO\n"
                       "vsftpd_log_file=" +
                       dir.file("vsftpd.log") +
                       "\ndual_log_enable=NO\nssl_enable=YES\nallow_anon_ssl=YES\n"
                       "force_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"
                       "require_ssl_reuse=YES\nssl_ciphers=HIGH\n"
                       "rsa_cert_file=" +
                       dir.file("cert.pem") + "\nrsa_private_key_file=" + dir.file("key.pem") +
                       "\n";
    ASSERT_TRUE(testsupport::writeFile(dir.file("vsftpd.conf"), conf));
    server = testsupport::Process({"/usr/sbin/vsftpd", dir.file("vsftpd.conf")}, dir.path());
    ASSERT_TRUE(testsupport::waitForTcpPort(port)) << server.errors();
  }

  struct Pair {
    SocketStreamPair streams;
    EventLog in, out;
    std::string buffer;
  };

  std::unique_ptr<Pair> open(uint16_t p, const TlsSettings *tls) {
    auto c = std::make_unique<Pair>();
    c->streams = createSocketStreamPair("127.0.0.1", p);
    if (tls) {
      c->streams.input->setTlsSettings(*tls);
    }
    c->streams.input->setClient(kAllEvents, c->in.callback());
    c->streams.output->setClient(kAllEvents, c->out.callback());
    c->streams.input->scheduleWithRunLoop(loop);
    c->streams.output->scheduleWithRunLoop(loop);
    c->streams.input->open();
    c->streams.output->open();
    return c;
  }

  bool writeAll(Pair &c, const std::string &text) {
    size_t done = 0;
    return loop->runUntil(
               [&] {
                 long n = c.streams.output->write(
                     reinterpret_cast<const uint8_t *>(text.data() + done), text.size() - done);
                 if (n > 0) done += size_t(n);
                 return done == text.size() || n < 0;
               },
               testsupport::scaled(kLimit)) &&
           done == text.size();
  }

  // One complete reply: its last line is "NNN text".
  std::string reply(Pair &c) {
    std::string line;
    loop->runUntil(
        [&] {
          drain(*c.streams.input, c.buffer);
          for (;;) {
            size_t eol = c.buffer.find("\r\n");
            if (eol == std::string::npos)
              return c.in.has(StreamEventErrorOccurred) || c.in.has(StreamEventEndEncountered);
            std::string l = c.buffer.substr(0, eol);
            c.buffer.erase(0, eol + 2);
            if (l.size() >= 4 && isdigit(l[0]) && l[3] == ' ') {
              line = l;
              return true;
            }
          }
        },
        testsupport::scaled(kLimit));
    return line;
  }

  std::string command(Pair &c, const std::string &text) {
    EXPECT_TRUE(writeAll(c, text + "\r\n"));
    return reply(c);
  }

  uint16_t passive(Pair &control) {
    std::string r = command(control, "PASV");
    EXPECT_EQ(r.substr(0, 3), "227") << r;
    int h1, h2, h3, h4, p1, p2;
    size_t open = r.find('(');
    if (open == std::string::npos ||
        sscanf(r.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &h1, &h2, &h3, &h4, &p1, &p2) != 6)
      return 0;
    return uint16_t(p1 * 256 + p2);
  }

  // Reads a data connection to its end.
  std::string readToEnd(Pair &data) {
    std::string out;
    loop->runUntil(
        [&] {
          drain(*data.streams.input, out);
          return data.in.has(StreamEventEndEncountered) || data.in.has(StreamEventErrorOccurred);
        },
        testsupport::scaled(kLimit));
    drain(*data.streams.input, out);
    return out;
  }

  testsupport::TempDir dir{"ferrowen-vsftpd"};
  std::string root, fileContent;
  int port = 0, pasvPort = 0;
  testsupport::Process server;
  std::shared_ptr<RunLoop> loop;
};

} // namespace

TEST_F(VsftpdTlsTest, DataConnectionsResumeTheControlSessionAndMoveFilesBothWays) {
  auto control = open(uint16_t(port), nullptr);
  ASSERT_EQ(reply(*control).substr(0, 3), "220");
  ASSERT_EQ(command(*control, "AUTH TLS").substr(0, 3), "234");
  auto cache = std::make_shared<TlsSessionCache>();
  TlsSettings controlTls;
  controlTls.sessionCache = cache;
  ASSERT_TRUE(control->streams.output->setTlsSettings(controlTls));
  ASSERT_EQ(command(*control, "PBSZ 0").substr(0, 3), "200");
  EXPECT_TRUE(control->streams.input->isTlsEstablished());
  ASSERT_EQ(command(*control, "PROT P").substr(0, 3), "200");
  std::string user = command(*control, "USER anonymous");
  if (user.substr(0, 3) == "331") user = command(*control, "PASS guest@");
  ASSERT_EQ(user.substr(0, 3), "230") << user;
  ASSERT_EQ(command(*control, "TYPE I").substr(0, 3), "200");
  ASSERT_TRUE(cache->hasSession());

  TlsSettings dataTls;
  dataTls.sessionCache = cache;

  // Download: the data connection resumes the session; the server sends the file and closes.
  uint16_t p = passive(*control);
  ASSERT_NE(p, 0);
  auto data = open(p, &dataTls);
  std::string r = command(*control, "RETR hello.txt");
  ASSERT_EQ(r.substr(0, 3), "150") << r;
  std::string got = readToEnd(*data);
  EXPECT_TRUE(data->in.has(StreamEventEndEncountered)) << data->streams.input->error().text;
  EXPECT_TRUE(data->streams.input->tlsSessionReused());
  EXPECT_EQ(got.size(), fileContent.size());
  EXPECT_TRUE(got == fileContent);
  data->streams.input->close();
  data->streams.output->close();
  EXPECT_EQ(reply(*control).substr(0, 3), "226");

  // Upload: every byte arrives, and our close ends the upload cleanly for the server.
  p = passive(*control);
  ASSERT_NE(p, 0);
  data = open(p, &dataTls);
  r = command(*control, "STOR incoming/up.bin");
  ASSERT_EQ(r.substr(0, 3), "150") << r;
  std::string upload(200000, '\0');
  for (size_t i = 0; i < upload.size(); ++i)
    upload[i] = char(i * 13 % 256);
  ASSERT_TRUE(writeAll(*data, upload));
  EXPECT_TRUE(data->streams.output->tlsSessionReused());
  data->streams.input->close();
  data->streams.output->close();
  r = reply(*control);
  EXPECT_EQ(r.substr(0, 3), "226") << r;
  EXPECT_TRUE(testsupport::readFile(root + "/incoming/up.bin") == upload);

  // Without the session the server refuses the data connection: the check above is real.
  p = passive(*control);
  ASSERT_NE(p, 0);
  TlsSettings fresh;
  data = open(p, &fresh);
  r = command(*control, "LIST");
  if (r.substr(0, 3) == "150") {
    readToEnd(*data); // the server ends the data connection; the reply follows our close
    data->streams.input->close();
    data->streams.output->close();
    r = reply(*control);
  }
  EXPECT_EQ(r.substr(0, 3), "522") << r;
  EXPECT_FALSE(data->streams.input->tlsSessionReused());
  data->streams.input->close();
  data->streams.output->close();

  writeAll(*control, "QUIT\r\n");
  control->streams.input->close();
  control->streams.output->close();
}
