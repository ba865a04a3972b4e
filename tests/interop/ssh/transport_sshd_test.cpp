// The transport against OpenSSH's sshd: every old cipher, MAC, group and host key it can still be
// made to offer, and a key exchange the server starts in the middle of a session.
#include <gtest/gtest.h>

#include "tests/support/SshPeers.h"
#include "tests/support/SshTestSupport.h"

using namespace testsupport;

namespace {

struct Named {
  const char *name;
  int number;
};

TEST(TransportSshd, KeyExchangeForEveryCombination) {
  const Named ciphers[] = {{"aes256-cbc", 1}, {"aes128-cbc", 2}, {"3des-cbc", 6}};
  const Named macs[] = {{"hmac-sha1", 1}, {"hmac-md5", 2}};
  const Named kexes[] = {{"diffie-hellman-group14-sha1", 14}, {"diffie-hellman-group1-sha1", 1}};
  const struct {
    const char *type;
    int bits;
    int alg;
  } keys[] = {{"rsa", 2048, 1}, {"rsa", 3072, 1}, {"rsa", 4096, 1}, {"dsa", 0, 2}};
  for (auto &k : keys)
    for (auto &c : ciphers)
      for (auto &m : macs)
        for (auto &x : kexes) {
          SshPeerOptions o;
          // The first algorithms this client had, which sshd no longer offers by default.
          o.legacy = true;
          o.hostKeyType = k.type;
          o.hostKeyBits = k.bits;
          o.ciphers = c.name;
          o.macs = m.name;
          o.kex = x.name;
          auto peer = SshPeer::sshd(o);
          ASSERT_TRUE(peer->started()) << peer->why();
          std::string what = std::string(k.type) + std::to_string(k.bits) + " " + c.name + " " +
                             m.name + " " + x.name;
          SshTransport t;
          CaptureLog log;
          ASSERT_TRUE(sshConnectTo(t, peer->port(), log)) << what << "\n"
                                                          << log.text << peer->log();
          EXPECT_TRUE(sshServiceRoundTrip(t, log)) << what << "\n" << log.text;
          EXPECT_EQ(sshIndependentKexCheck(t), "");
          EXPECT_EQ(t.activeCipherOut, c.number);
          EXPECT_EQ(t.activeCipherIn, c.number);
          EXPECT_EQ(t.activeMacIn, m.number);
          EXPECT_EQ(t.kexAlgorithm, x.number);
          EXPECT_EQ(t.hostKeyAlgorithm, k.alg);
          EXPECT_NE(t.hostKeyFingerprint.getSize(), 0) << what;
        }
}

TEST(TransportSshd, ServerStartedRekeyMidStream) {
  // The server re-keys only once the user has logged in.
  SshLoginKey login;
  ASSERT_TRUE(login.ok);
  SshPeerOptions o;
  o.rekeyLimit = "4K";
  o.authorizedKeys = login.authorizedKeys();
  auto peer = SshPeer::sshd(o);
  ASSERT_TRUE(peer->started()) << peer->why();
  SshTransport t;
  CaptureLog log;
  ASSERT_TRUE(sshConnectTo(t, peer->port(), log)) << log.text << peer->log();
  ASSERT_TRUE(sshServiceRoundTrip(t, log)) << log.text << peer->log();
  ASSERT_TRUE(sshPublicKeyLogin(t, login, log)) << log.text << peer->log();
  DataBuffer sid, firstH;
  sid.append(t.sessionId);
  firstH.append(t.exchangeHash);
  // Enough traffic for the server's limit; then a request whose answer comes after the re-key.
  DataBuffer filler;
  filler.appendCharN('x', 3000);
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(t.sendIgnoreMsg(filler, nullptr, log, false));
  // A global request wanting a reply is answered with REQUEST_FAILURE, under the new keys.
  ASSERT_TRUE(sshGlobalRequestRoundTrip(t, log)) << log.text << peer->log();
  std::string slog = t.sessionLog.getString();
  EXPECT_NE(slog.find("SSH Key Exchange Success."), slog.rfind("SSH Key Exchange Success."))
      << slog;
  EXPECT_TRUE(t.sessionId.equals(sid));
  EXPECT_FALSE(t.exchangeHash.equals(firstH));
}

} // namespace
