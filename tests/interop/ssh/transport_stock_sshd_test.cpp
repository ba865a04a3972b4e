// The transport against OpenSSH's sshd as Debian ships it: every newer key exchange, host key,
// cipher and MAC negotiated (sshd's DEBUG log names what it agreed to) with a password login
// over SFTP; server re-keys under each newer cipher within a 64 MiB transfer; one flipped bit
// under GCM and ChaCha20-Poly1305 ends the session; a remembered host-key type is asked for
// first; an RSA user key signs with SHA-2.
#include <gtest/gtest.h>

#include "sshlib/crypto/ClsSshKey.h"
#include "sshlib/ssh/SshTransport.h"
#include "tests/support/FlipRelay.h"
#include "tests/support/SftpPeers.h"
#include "tests/support/SshTestSupport.h"

using namespace testsupport;

namespace {

using T = SshTransport;

class StockSshd : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ensureSftpUser());
    ::chmod(dir.path().c_str(), 0777);
  }
  std::string path(const std::string &name) { return dir.file(name); }
  TempDir dir{"ferrowen-stock-sshd"};
  XString a, b;
};

// Each newer algorithm alone on the server's side of its slot; the rest stay sshd's defaults.
TEST_F(StockSshd, EveryNewerAlgorithmIsAgreedAndLogsIn) {
  struct Case {
    const char *kex = nullptr, *hostKeyAlg = nullptr, *cipher = nullptr, *mac = nullptr;
    const char *keyType = "rsa";
    int keyBits = 0;
    int kexNum = 0, hostNum = 0, cipherNum = 0, macNum = -1;
  };
  auto kex = [](const char *n, int num) {
    Case c;
    c.kex = n;
    c.kexNum = num;
    return c;
  };
  auto host = [](const char *alg, const char *type, int bits, int num) {
    Case c;
    c.hostKeyAlg = alg;
    c.keyType = type;
    c.keyBits = bits;
    c.hostNum = num;
    return c;
  };
  auto cipher = [](const char *n, int num, const char *mac = nullptr, int macNum = -1) {
    Case c;
    c.cipher = n;
    c.cipherNum = num;
    c.mac = mac;
    c.macNum = macNum;
    return c;
  };
  const Case cases[] = {
      kex("curve25519-sha256", T::kKexCurve25519),
      kex("curve25519-sha256@libssh.org", T::kKexCurve25519),
      kex("ecdh-sha2-nistp256", T::kKexEcdhP256),
      kex("ecdh-sha2-nistp384", T::kKexEcdhP384),
      kex("ecdh-sha2-nistp521", T::kKexEcdhP521),
      kex("diffie-hellman-group14-sha256", T::kKexGroup14Sha256),
      kex("diffie-hellman-group16-sha512", T::kKexGroup16Sha512),
      kex("diffie-hellman-group18-sha512", T::kKexGroup18Sha512),
      // Group exchange, on a server told to offer nothing else: OpenSSH takes only the request
      // with a range.
      kex("diffie-hellman-group-exchange-sha256", 256),
      kex("diffie-hellman-group-exchange-sha1", 160),
      host("rsa-sha2-512", "rsa", 3072, T::kHostRsaSha512),
      host("rsa-sha2-256", "rsa", 2048, T::kHostRsaSha256),
      host("ssh-ed25519", "ed25519", 0, T::kHostEd25519),
      host("ecdsa-sha2-nistp256", "ecdsa", 256, T::kHostEcdsaP256),
      host("ecdsa-sha2-nistp384", "ecdsa", 384, T::kHostEcdsaP384),
      host("ecdsa-sha2-nistp521", "ecdsa", 521, T::kHostEcdsaP521),
      cipher("chacha20-poly1305@openssh.com", T::kCipherChaCha20Poly1305),
      cipher("aes128-gcm@openssh.com", T::kCipherAes128Gcm),
      cipher("aes256-gcm@openssh.com", T::kCipherAes256Gcm),
      cipher("aes128-ctr", T::kCipherAes128Ctr, "hmac-sha2-256-etm@openssh.com", T::kMacSha256Etm),
      cipher("aes192-ctr", T::kCipherAes192Ctr, "hmac-sha2-512-etm@openssh.com", T::kMacSha512Etm),
      cipher("aes256-ctr", T::kCipherAes256Ctr, "hmac-sha2-256", T::kMacSha256),
      cipher("aes128-ctr", T::kCipherAes128Ctr, "hmac-sha2-512", T::kMacSha512),
      // The newer MACs with an old cipher, on a server told to offer it.
      cipher("aes256-cbc", 1, "hmac-sha2-256-etm@openssh.com", T::kMacSha256Etm),
      cipher("aes128-cbc", 2, "hmac-sha2-512", T::kMacSha512),
  };
  for (const Case &c : cases) {
    std::string what = std::string(c.kex ? c.kex : "") + (c.hostKeyAlg ? c.hostKeyAlg : "") +
                       (c.cipher ? c.cipher : "") + " " + (c.mac ? c.mac : "");
    SCOPED_TRACE(what);
    SshPeerOptions o;
    o.hostKeyType = c.keyType;
    o.hostKeyBits = c.keyBits;
    if (c.kex) o.kex = c.kex;
    if (c.cipher) o.ciphers = c.cipher;
    if (c.mac) o.macs = c.mac;
    if (c.hostKeyAlg) o.leadConfig = std::string("HostKeyAlgorithms ") + c.hostKeyAlg + "\n";
    auto peer = SshPeer::sshd(o);
    ASSERT_TRUE(peer->started()) << peer->why();
    ClsSFtp s;
    ASSERT_EQ(sftpSession(s, peer->port()), "") << peer->log();
    SshTransport &t = *s.transport;
    const std::string log = peer->log();
    if (c.kex) {
      EXPECT_EQ(t.kexAlgorithm, c.kexNum);
      EXPECT_NE(log.find(std::string("kex: algorithm: ") + c.kex), std::string::npos) << log;
    }
    if (c.hostKeyAlg) {
      EXPECT_EQ(t.hostKeyAlgorithm, c.hostNum);
      EXPECT_NE(log.find(std::string("kex: host key algorithm: ") + c.hostKeyAlg),
                std::string::npos)
          << log;
      // The fingerprint names the key's type and size, as for the old key types.
      StringBuffer fp;
      s.get_HostKeyFingerprint(fp);
      std::string type = std::string(c.hostKeyAlg).rfind("rsa-", 0) == 0 ? "ssh-rsa" : c.hostKeyAlg;
      int bits = c.keyBits ? c.keyBits : 256;
      EXPECT_EQ(std::string(fp.getString()).rfind(type + " " + std::to_string(bits) + " ", 0), 0u)
          << fp.getString();
    }
    if (c.cipher) {
      EXPECT_EQ(t.activeCipherOut, c.cipherNum);
      EXPECT_EQ(t.activeCipherIn, c.cipherNum);
      std::string mac = c.mac ? c.mac : "<implicit>";
      EXPECT_NE(log.find(std::string("client->server cipher: ") + c.cipher + " MAC: " + mac),
                std::string::npos)
          << log;
      EXPECT_NE(log.find(std::string("server->client cipher: ") + c.cipher + " MAC: " + mac),
                std::string::npos)
          << log;
      if (c.macNum >= 0) {
        EXPECT_EQ(t.activeMacIn, c.macNum);
        EXPECT_EQ(t.activeMacOut, c.macNum);
      }
    }
    EXPECT_EQ(sshIndependentKexCheck(t), "");
    // OpenSSH runs strict key exchange and announces the signature algorithms it takes.
    EXPECT_TRUE(t.strictKex);
    EXPECT_TRUE(t.serverAcceptsSigAlg("rsa-sha2-512"));
    XString h;
    ASSERT_TRUE(s.OpenDir(xs(a, dir.path()), h, nullptr)) << logText(s);
    std::unique_ptr<ClsSFtpDir> d(s.ReadDir(h, nullptr));
    EXPECT_TRUE(d) << logText(s);
    EXPECT_TRUE(s.CloseHandle(h, nullptr));
  }
}

// A server with an RSA and an Ed25519 key (Debian's default pair): a new host meets Ed25519; a
// host whose RSA key is remembered keeps showing it, then lists, downloads and uploads.
TEST_F(StockSshd, RememberedKeyTypeIsAskedForFirst) {
  SshPeerOptions o;
  o.moreHostKeys = {"ed25519"};
  auto peer = SshPeer::sshd(o);
  ASSERT_TRUE(peer->started()) << peer->why();
  struct {
    const char *remembered, *expectPrefix;
  } cases[] = {{"", "ssh-ed25519 256 "},
               {"ssh-rsa", "ssh-rsa 2048 "},
               {"ssh-ed25519", "ssh-ed25519 256 "},
               // A type the server has no key of: the usual order.
               {"ecdsa-sha2-nistp256", "ssh-ed25519 256 "}};
  makeDataFile(path("src"), 300000);
  for (auto &c : cases) {
    SCOPED_TRACE(c.remembered);
    ClsSFtp s;
    s.put_PreferredHostKeyType(c.remembered);
    ASSERT_EQ(sftpSession(s, peer->port()), "") << peer->log();
    StringBuffer fp;
    s.get_HostKeyFingerprint(fp);
    EXPECT_EQ(std::string(fp.getString()).rfind(c.expectPrefix, 0), 0u) << fp.getString();
    ASSERT_TRUE(s.UploadFileByName(xs(a, path("up")), xs(b, path("src")), nullptr)) << logText(s);
    ASSERT_TRUE(s.DownloadFileByName(xs(a, path("up")), xs(b, path("down")), nullptr));
    EXPECT_EQ(sha256Of(path("down")), sha256Of(path("src")));
    XString h;
    ASSERT_TRUE(s.OpenDir(xs(a, dir.path()), h, nullptr)) << logText(s);
    std::unique_ptr<ClsSFtpDir> d(s.ReadDir(h, nullptr));
    ASSERT_TRUE(d);
    EXPECT_GE(d->get_NumFilesAndDirs(), 3);
    ::unlink(path("up").c_str());
  }
  // The library's own name, not another client's, so the server applies no workarounds.
  EXPECT_NE(peer->log().find("remote software version Ferrowen_"), std::string::npos);
  EXPECT_NE(peer->log().find("compat_banner: no match: Ferrowen_"), std::string::npos);
}

// sshd re-keys after every 16 MiB either way (RekeyLimit, set only for this), so a 64 MiB
// transfer crosses several key exchanges under each cipher; the file must arrive intact.
TEST_F(StockSshd, ServerRekeysUnderEachNewerCipherKeepTransfersExact) {
  const long long size = 64LL << 20;
  makeDataFile(path("src"), size);
  // The last one re-keys by group exchange (a server told to offer no other key exchange).
  const struct {
    const char *cipher, *kex;
  } cases[] = {{"chacha20-poly1305@openssh.com", ""},
               {"aes128-gcm@openssh.com", ""},
               {"aes256-gcm@openssh.com", ""},
               {"aes128-ctr", ""},
               {"aes192-ctr", ""},
               {"aes256-ctr", ""},
               {"aes128-ctr", "diffie-hellman-group-exchange-sha256"}};
  int i = 0;
  for (const auto &[cipher, kex] : cases) {
    SCOPED_TRACE(std::string(cipher) + " " + kex);
    // Uploads and downloads in turn: a re-key reaches both directions either way.
    const bool upload = i++ % 2 == 0;
    SshPeerOptions o;
    o.ciphers = cipher;
    o.kex = kex;
    o.rekeyLimit = "16M";
    auto peer = SshPeer::sshd(o);
    ASSERT_TRUE(peer->started()) << peer->why();
    ClsSFtp s;
    s.put_KeepSessionLog(true);
    ASSERT_EQ(sftpSession(s, peer->port()), "") << peer->log();
    if (!upload)
      runCommand("cp '" + path("src") + "' '" + path("remote") + "' && chmod 644 '" +
                 path("remote") + "'");
    bool ok = upload ? s.UploadFileByName(xs(a, path("remote")), xs(b, path("src")), nullptr)
                     : s.DownloadFileByName(xs(a, path("remote")), xs(b, path("back")), nullptr);
    ASSERT_TRUE(ok) << logText(s);
    EXPECT_EQ(sha256Of(upload ? path("remote") : path("back")), sha256Of(path("src")));
    EXPECT_GE(countIn(s.transport->sessionLog, "SSH Key Exchange Success."), 3)
        << s.transport->sessionLog.getString();
    EXPECT_EQ(s.transport->activeCipherIn,
              s.transport->activeCipherOut); // still the one cipher after every exchange
    ::unlink(path("remote").c_str());
    ::unlink(path("back").c_str());
  }
}

// One bit flipped on the way from the server: the authenticated ciphers find it, and the session
// ends rather than read on. Through the same relay without a flip, the session works.
TEST_F(StockSshd, AFlippedBitUnderAnAuthenticatedCipherEndsTheSession) {
  for (const char *cipher :
       {"aes128-gcm@openssh.com", "aes256-gcm@openssh.com", "chacha20-poly1305@openssh.com"}) {
    for (bool flip : {false, true}) {
      SCOPED_TRACE(std::string(cipher) + (flip ? " flipped" : " intact"));
      SshPeerOptions o;
      o.ciphers = cipher;
      auto peer = SshPeer::sshd(o);
      ASSERT_TRUE(peer->started()) << peer->why();
      FlipRelay relay(peer->port());
      SshTransport t;
      CaptureLog log;
      ASSERT_TRUE(sshConnectTo(t, relay.port(), log)) << log.text;
      // Byte 8 of the next packet is inside its encrypted body.
      if (flip) relay.flipNext(8);
      EXPECT_EQ(sshServiceRoundTrip(t, log), !flip) << log.text;
      EXPECT_EQ(relay.flipped(), flip);
      if (flip) {
        EXPECT_TRUE(log.has("MAC verification failed.")) << log.text;
        EXPECT_EQ(t.socket.socketFd, -1);
      }
      t.forcefulClose(log);
    }
  }
}

// An RSA user key signs with rsa-sha2-512, which the server announced (server-sig-algs); the
// stock server no longer takes ssh-rsa signatures.
TEST_F(StockSshd, RsaUserKeySignsWithSha2) {
  SshLoginKey login;
  ASSERT_TRUE(login.ok);
  SshPeerOptions o;
  o.authorizedKeys = login.authorizedKeys();
  auto peer = SshPeer::sshd(o);
  ASSERT_TRUE(peer->started()) << peer->why();
  ClsSshKey key;
  LogBase none;
  StringBuffer pem(readFile(sshHostKey("rsa", 2048)).c_str());
  ASSERT_TRUE(key.FromOpenSshPrivateKey(pem, none));
  ClsSFtp s;
  ASSERT_TRUE(sftpConnect(s, peer->port())) << logText(s);
  XString user;
  user.setFromUtf8("root");
  ASSERT_TRUE(s.AuthenticatePk(user, &key, nullptr)) << logText(s) << peer->log();
  EXPECT_NE(peer->log().find("Accepted publickey for root"), std::string::npos);
  EXPECT_NE(peer->log().find("rsa-sha2-512"), std::string::npos) << peer->log();
}

} // namespace
