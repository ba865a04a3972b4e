// The SFTP client against Dropbear with its defaults (OpenSSH's sftp-server behind it): a
// password login with each host-key type Dropbear makes, then a listing, an upload and a
// download, byte-exact.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "sshlib/ssh/SshTransport.h"
#include "tests/support/Peers.h"
#include "tests/support/SftpPeers.h"
#include "tests/support/SshTestSupport.h"

using namespace testsupport;

namespace {

TEST(SftpDropbear, PasswordLoginListUploadDownloadWithEachHostKeyType) {
  REQUIRE_PEER(program("/usr/sbin/dropbear", "dropbear-bin"));
  REQUIRE_PEER(program("/usr/bin/dropbearkey", "dropbear-bin"));
  ASSERT_TRUE(ensureSftpUser());
  TempDir dir{"ferrowen-sftp-dropbear"};
  ::chmod(dir.path().c_str(), 0777);
  const std::string src = dir.file("src");
  makeDataFile(src, 5 << 20);
  XString a, b;
  struct {
    const char *keyType;
    int hostKeyAlg;
    const char *fingerprintType;
  } cases[] = {
      // Dropbear signs with an RSA key as rsa-sha2-256 (and still as ssh-rsa).
      {"rsa", SshTransport::kHostRsaSha256, "ssh-rsa "},
      {"ed25519", SshTransport::kHostEd25519, "ssh-ed25519 256 "},
      {"ecdsa", SshTransport::kHostEcdsaP256, "ecdsa-sha2-nistp256 256 "},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.keyType);
    auto peer = SshPeer::dropbear(c.keyType);
    ASSERT_TRUE(peer->started()) << peer->why();
    ClsSFtp s;
    ASSERT_EQ(sftpSession(s, peer->port()), "") << peer->log();
    SshTransport &t = *s.transport;
    EXPECT_EQ(t.kexAlgorithm, SshTransport::kKexCurve25519);
    EXPECT_EQ(t.hostKeyAlgorithm, c.hostKeyAlg);
    EXPECT_EQ(t.activeCipherIn, SshTransport::kCipherChaCha20Poly1305);
    EXPECT_EQ(t.activeCipherOut, SshTransport::kCipherChaCha20Poly1305);
    EXPECT_TRUE(t.strictKex);
    EXPECT_EQ(sshIndependentKexCheck(t), "");
    StringBuffer fp;
    s.get_HostKeyFingerprint(fp);
    EXPECT_EQ(std::string(fp.getString()).rfind(c.fingerprintType, 0), 0u) << fp.getString();
    EXPECT_NE(peer->log().find(std::string("Password auth succeeded for '") + kSftpUser + "'"),
              std::string::npos)
        << peer->log();

    const std::string remote = dir.file(std::string("up-") + c.keyType),
                      back = dir.file(std::string("back-") + c.keyType);
    ASSERT_TRUE(s.UploadFileByName(xs(a, remote), xs(b, src), nullptr)) << logText(s);
    ASSERT_TRUE(s.DownloadFileByName(xs(a, remote), xs(b, back), nullptr)) << logText(s);
    EXPECT_EQ(sha256Of(remote), sha256Of(src));
    EXPECT_EQ(sha256Of(back), sha256Of(src));
    XString h;
    ASSERT_TRUE(s.OpenDir(xs(a, dir.path()), h, nullptr)) << logText(s);
    std::unique_ptr<ClsSFtpDir> d(s.ReadDir(h, nullptr));
    ASSERT_TRUE(d) << logText(s);
    EXPECT_TRUE(s.CloseHandle(h, nullptr));
    bool listed = false;
    XString name;
    for (int i = 0; i < d->get_NumFilesAndDirs(); ++i)
      if (d->GetFilename(i, name) && std::string(name.getUtf8()) == std::string("up-") + c.keyType)
        listed = true;
    EXPECT_TRUE(listed);
  }
}

} // namespace
