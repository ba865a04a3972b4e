// The SFTP client against ProFTPD's SFTP module, an SSH server written apart from OpenSSH: large
// transfers through the re-keys the server starts, every way of logging in, and the SFTP versions
// the server holds the session to.
#include <gtest/gtest.h>

#include "sshlib/crypto/ClsSshKey.h"
#include "sshlib/ssh/ClsSFtp.h"
#include "tests/support/ProftpdPeer.h"

using namespace testsupport;

namespace {

std::unique_ptr<ProftpdSftpPeer> startPeer(const ProftpdSftpOptions &o) {
  auto p = ProftpdSftpPeer::start(o);
  EXPECT_TRUE(p->started()) << p->why();
  return p;
}

// Key exchanges the server finished in its sessions so far (the first one of each included).
int keyExchangesIn(const std::string &log) {
  int n = 0;
  for (size_t at = log.find("Session client-to-server MAC"); at != std::string::npos;
       at = log.find("Session client-to-server MAC", at + 1))
    ++n;
  return n;
}

class SftpProftpd : public ::testing::Test {
protected:
  void SetUp() override {
    REQUIRE_PEER(proftpdPeer());
    ASSERT_TRUE(ensureSftpUser());
    ::chmod(dir.path().c_str(), 0777);
  }
  std::string path(const std::string &name) { return dir.file(name); }
  TempDir dir{"ferrowen-sftp-proftpd"};
  XString a, b;
};

TEST_F(SftpProftpd, LargeTransfersThroughServerRekeysAreByteExact) {
  // A re-key every 16 MB: a 64 MiB file crosses several each way, under our default
  // identification (our own name) and under one of no known client. (An identification naming
  // PuTTY makes this server repeat its KEXINIT until it reads ours, and it cannot start a re-key
  // of its own sending for such a client: it requests one for every packet it writes.)
  ProftpdSftpOptions o;
  o.rekey = "required 900 16";
  auto peer = startPeer(o);
  ASSERT_TRUE(peer->started());
  const long long size = 64LL << 20;
  std::string src = path("src");
  makeDataFile(src, size);
  struct Case {
    const char *name, *ident;
    bool upload;
  } cases[] = {{"upload, default identification", nullptr, true},
               {"download, default identification", nullptr, false},
               {"upload, plain identification", "SSH-2.0-FerrowenTest_1.0", true},
               {"download, plain identification", "SSH-2.0-FerrowenTest_1.0", false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::string remote = path(std::string("remote-") + (c.ident ? "plain" : "default")),
                back = path("back");
    if (!c.upload) runCommand("cp '" + src + "' '" + remote + "' && chmod 644 '" + remote + "'");
    ClsSFtp s;
    if (c.ident) s.ClientIdentifier = c.ident;
    ASSERT_EQ(sftpSession(s, peer->port()), "") << peer->log();
    int before = keyExchangesIn(peer->log());
    bool ok = c.upload ? s.UploadFileByName(xs(a, remote), xs(b, src), nullptr)
                       : s.DownloadFileByName(xs(a, remote), xs(b, back), nullptr);
    ASSERT_TRUE(ok) << logText(s) << peer->log();
    EXPECT_EQ(sha256Of(c.upload ? remote : back), sha256Of(src));
    EXPECT_GT(keyExchangesIn(peer->log()), before + 1) << "the server did not re-key";
    // The session is still in step after the last re-key.
    EXPECT_EQ(s.GetFileSize(xs(a, remote), true, false, nullptr), size) << logText(s);
  }
  EXPECT_EQ(peer->log().find("unexpectedly"), std::string::npos) << peer->log();
}

TEST_F(SftpProftpd, LoginsByPasswordKeysAndKeyboard) {
  std::string key = path("key_rsa");
  runCommand("ssh-keygen -q -N '' -t rsa -m PEM -f '" + key + "'");
  struct Case {
    const char *name, *methods;
    bool useKey;
  } cases[] = {
      {"password", "password", false},
      {"key", "publickey", true},
      {"keyboard-interactive through PAM", "keyboard-interactive", false},
  };
  for (auto &c : cases) {
    ProftpdSftpOptions o;
    o.authMethods = c.methods;
    o.userKeys = readFile(key + ".pub");
    auto peer = startPeer(o);
    ASSERT_TRUE(peer->started()) << c.name;
    ClsSFtp s;
    ASSERT_TRUE(sftpConnect(s, peer->port())) << c.name << logText(s);
    if (c.useKey) {
      ClsSshKey k;
      ASSERT_TRUE(k.loadKeyFile(key.c_str(), s.m_log)) << c.name;
      ASSERT_TRUE(s.AuthenticatePk(xs(a, kSftpUser), &k, nullptr)) << c.name << logText(s);
    } else {
      // A wrong password is refused first; the right one on the same connection is accepted.
      EXPECT_FALSE(s.AuthenticatePw(xs(a, kSftpUser), xs(b, "wrong-one"), nullptr)) << c.name;
      ASSERT_TRUE(s.AuthenticatePw(xs(a, kSftpUser), xs(b, kSftpPass), nullptr))
          << c.name << logText(s) << peer->log();
      EXPECT_EQ(logText(s).find(kSftpPass), std::string::npos) << c.name;
    }
    ASSERT_TRUE(s.InitializeSftp(nullptr)) << c.name << logText(s);
    XString real;
    EXPECT_TRUE(s.RealPath(xs(a, "."), xs(b, ""), real, nullptr)) << c.name;
  }
}

TEST_F(SftpProftpd, VersionsThreeToSixHeldByTheServer) {
  std::string src = path("src");
  makeDataFile(src, 300001);
  for (int version = 3; version <= 6; ++version) {
    SCOPED_TRACE("version " + std::to_string(version));
    ProftpdSftpOptions o;
    o.sftpVersion = version;
    auto peer = startPeer(o);
    ASSERT_TRUE(peer->started());
    ClsSFtp s;
    ASSERT_EQ(sftpSession(s, peer->port()), "") << peer->log();
    EXPECT_EQ(s.ProtocolVersion, version);
    std::string folder = path("v" + std::to_string(version)), remote = folder + "/file",
                back = path("back" + std::to_string(version));
    ASSERT_TRUE(s.CreateDir(xs(a, folder), nullptr)) << logText(s);
    ASSERT_TRUE(s.UploadFileByName(xs(a, remote), xs(b, src), nullptr)) << logText(s);
    ASSERT_TRUE(s.DownloadFileByName(xs(a, remote), xs(b, back), nullptr)) << logText(s);
    EXPECT_EQ(sha256Of(remote), sha256Of(src));
    EXPECT_EQ(sha256Of(back), sha256Of(src));
    EXPECT_EQ(s.GetFileSize(xs(a, remote), true, false, nullptr), 300001) << logText(s);
    XString h;
    ASSERT_TRUE(s.OpenDir(xs(a, folder), h, nullptr)) << logText(s);
    std::unique_ptr<ClsSFtpDir> d(s.ReadDir(h, nullptr));
    EXPECT_TRUE(s.CloseHandle(h, nullptr));
    ASSERT_TRUE(d) << logText(s);
    bool found = false;
    for (int i = 0; i < d->get_NumFilesAndDirs(); ++i)
      if (d->entry(i)->filenameUtf8() == "file") {
        found = true;
        EXPECT_EQ(d->entry(i)->get_Size64(), 300001);
        EXPECT_FALSE(d->entry(i)->get_IsDirectory());
      }
    EXPECT_TRUE(found);
    ASSERT_TRUE(s.RenameFileOrDir(xs(a, remote), xs(b, folder + "/renamed"), nullptr))
        << logText(s);
    ASSERT_TRUE(s.RemoveFile(xs(a, folder + "/renamed"), nullptr)) << logText(s);
    EXPECT_TRUE(s.RemoveDir(xs(a, folder), nullptr)) << logText(s);
  }
}

} // namespace
