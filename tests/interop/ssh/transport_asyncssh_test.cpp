// The transport against python3-asyncssh: the old group-exchange request with SHA-1 and SHA-256,
// and the ciphers OpenSSH no longer has (blowfish-cbc, arcfour128, arcfour256).
#include <gtest/gtest.h>

#include "tests/support/SshPeers.h"
#include "tests/support/SshTestSupport.h"

using namespace testsupport;

namespace {

TEST(TransportAsyncssh, GroupExchangeAndOldCiphers) {
  const struct {
    const char *kex;
    const char *cipher;
    const char *mac;
    int kexNumber;
    int cipherNumber;
    bool rekey = false;
  } cases[] = {
      {"diffie-hellman-group-exchange-sha1", "aes128-cbc", "hmac-sha1", 160, 2},
      {"diffie-hellman-group-exchange-sha256", "aes256-cbc", "hmac-sha1", 256, 1},
      {"diffie-hellman-group-exchange-sha256", "3des-cbc", "hmac-md5", 256, 6},
      {"diffie-hellman-group14-sha1", "blowfish-cbc", "hmac-sha1", 14, 5},
      {"diffie-hellman-group14-sha1", "arcfour128", "hmac-md5", 14, 7},
      {"diffie-hellman-group1-sha1", "arcfour256", "hmac-sha1", 1, 8},
      // Server-started re-keys by group exchange (asyncssh re-keys only after a login).
      {"diffie-hellman-group-exchange-sha256", "aes128-cbc", "hmac-sha1", 256, 2, true},
  };
  SshLoginKey login;
  for (auto &c : cases) {
    SshPeerOptions o;
    o.kex = c.kex;
    o.ciphers = c.cipher;
    o.macs = c.mac;
    if (c.rekey) {
      o.rekeyLimit = "100";
      o.authorizedKeys = login.authorizedKeys();
    }
    auto peer = SshPeer::asyncssh(o);
    ASSERT_TRUE(peer->started()) << peer->why();
    SshTransport t;
    CaptureLog log;
    ASSERT_TRUE(sshConnectTo(t, peer->port(), log)) << c.kex << " " << c.cipher << "\n"
                                                    << log.text << peer->log();
    EXPECT_EQ(t.kexAlgorithm, c.kexNumber);
    EXPECT_EQ(sshIndependentKexCheck(t), "");
    // The size asked for is "pbits" in the first exchange and "kex_pbits" in a re-key.
    const bool gex = c.kexNumber == 160 || c.kexNumber == 256;
    EXPECT_EQ(log.has("INFO: Sending KEX_DH_GEX_REQUEST...\npbits: "), gex) << log.text;
    EXPECT_FALSE(log.has("kex_pbits")) << log.text;
    EXPECT_EQ(t.activeCipherIn, c.cipherNumber);
    EXPECT_TRUE(sshServiceRoundTrip(t, log)) << c.cipher << "\n" << log.text << peer->log();
    if (c.rekey) {
      ASSERT_TRUE(sshPublicKeyLogin(t, login, log)) << log.text << peer->log();
      auto rekeyed = [&] {
        std::string l = t.sessionLog.getString();
        return l.find("Key Exchange Success.") != l.rfind("Key Exchange Success.");
      };
      for (int i = 0; i < 10 && !rekeyed(); ++i)
        ASSERT_TRUE(sshGlobalRequestRoundTrip(t, log)) << log.text << peer->log();
      ASSERT_TRUE(sshGlobalRequestRoundTrip(t, log)) << log.text << peer->log();
      EXPECT_TRUE(log.has("INFO: Sending KEX_DH_GEX_REQUEST...\nkex_pbits: ")) << log.text;
    }
    std::string slog = t.sessionLog.getString();
    EXPECT_EQ(slog.find("Key Exchange Success.") != slog.rfind("Key Exchange Success."), c.rekey)
        << slog;
  }
}

} // namespace
