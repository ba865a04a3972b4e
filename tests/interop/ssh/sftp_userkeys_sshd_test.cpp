// Public-key login against OpenSSH's sshd through the SFTP client, with user keys as ssh-keygen
// writes them by default (OpenSSH's own key format): Ed25519, RSA and ECDSA, with and without a
// pass phrase. The server's log names the key type it accepted.
#include <gtest/gtest.h>

#include "sshlib/crypto/ClsSshKey.h"
#include "tests/support/Peers.h"
#include "tests/support/SftpPeers.h"

using namespace testsupport;

namespace {

const char kPhrase[] = "key pass phrase 9";

struct UserKey {
  const char *type; // ssh-keygen -t
  const char *bits; // ssh-keygen -b, or empty for its default
  bool withPhrase;
  const char *logged; // how sshd names the key type when it accepts it
};

const UserKey kKeys[] = {
    {"ed25519", "", false, "ED25519"}, {"ed25519", "", true, "ED25519"},
    {"rsa", "", false, "RSA"},         {"rsa", "", true, "RSA"},
    {"ecdsa", "256", false, "ECDSA"},  {"ecdsa", "521", true, "ECDSA"},
};

int acceptedLines(const std::string &log) {
  int n = 0;
  for (size_t at = 0; (at = log.find("Accepted publickey", at)) != std::string::npos; ++at)
    ++n;
  return n;
}

class SftpUserKeys : public ::testing::Test {
protected:
  std::string makeKey(const UserKey &k, int i) {
    const std::string path = dir.file("key" + std::to_string(i));
    int rc = -1;
    runCommand(std::string("ssh-keygen -q -t ") + k.type + (*k.bits ? " -b " : "") + k.bits +
                   " -N '" + (k.withPhrase ? kPhrase : "") + "' -f '" + path +
                   "' </dev/null >/dev/null 2>&1",
               &rc);
    EXPECT_EQ(rc, 0) << k.type;
    return path;
  }
  TempDir dir{"ferrowen-userkeys"};
  XString a;
};

TEST_F(SftpUserKeys, EveryKeyTypeLogsInWithAndWithoutPassphrase) {
  REQUIRE_PEER(program("ssh-keygen", "openssh-client"));
  std::vector<std::string> paths;
  std::string authorized;
  for (size_t i = 0; i < std::size(kKeys); ++i) {
    paths.push_back(makeKey(kKeys[i], static_cast<int>(i)));
    authorized += readFile(paths.back() + ".pub");
  }
  ASSERT_TRUE(writeFile(dir.file("authorized_keys"), authorized));
  SshPeerOptions o;
  o.authorizedKeys = dir.file("authorized_keys");
  auto peer = SshPeer::sshd(o);
  ASSERT_TRUE(peer->started()) << peer->why();
  for (size_t i = 0; i < std::size(kKeys); ++i) {
    const UserKey &k = kKeys[i];
    const std::string what =
        std::string(k.type) + k.bits + (k.withPhrase ? " with" : " without") + " pass phrase";
    ClsSshKey key;
    key.put_Password(k.withPhrase ? kPhrase : "");
    ClsSFtp s;
    ASSERT_TRUE(key.loadKeyFile(paths[i].c_str(), s.m_log)) << what << logText(s);
    ASSERT_TRUE(sftpConnect(s, peer->port())) << what << logText(s);
    const int before = acceptedLines(peer->log());
    ASSERT_TRUE(s.AuthenticatePk(xs(a, "root"), &key, nullptr))
        << what << logText(s) << peer->log();
    ASSERT_TRUE(s.InitializeSftp(nullptr)) << what << logText(s);
    XString real, empty;
    EXPECT_TRUE(s.RealPath(xs(a, "."), empty, real, nullptr)) << what << logText(s);
    // The server's line naming the key it took (its log is read as it comes: wait for it).
    std::string log = peer->log();
    for (int tries = 0; tries < 500 && acceptedLines(log) == before; ++tries) {
      ::usleep(10 * 1000);
      log = peer->log();
    }
    const size_t last = log.rfind("Accepted publickey for root from 127.0.0.1");
    ASSERT_NE(last, std::string::npos) << what << log;
    EXPECT_NE(log.substr(last, log.find('\n', last) - last).find(std::string("ssh2: ") + k.logged),
              std::string::npos)
        << what << log.substr(last);
  }
}

// A key the server does not list is refused without a crash, and the client can go on with a
// listed one on a new connection; a wrong pass phrase never reaches the server.
TEST_F(SftpUserKeys, UnlistedKeyIsRefusedAndWrongPhraseStopsAtLoading) {
  REQUIRE_PEER(program("ssh-keygen", "openssh-client"));
  const std::string listed = makeKey(kKeys[0], 0), unlisted = makeKey(kKeys[4], 4),
                    locked = makeKey(kKeys[1], 1);
  ASSERT_TRUE(writeFile(dir.file("authorized_keys"), readFile(listed + ".pub")));
  SshPeerOptions o;
  o.authorizedKeys = dir.file("authorized_keys");
  auto peer = SshPeer::sshd(o);
  ASSERT_TRUE(peer->started()) << peer->why();

  ClsSshKey other;
  ClsSFtp s;
  ASSERT_TRUE(other.loadKeyFile(unlisted.c_str(), s.m_log));
  ASSERT_TRUE(sftpConnect(s, peer->port()));
  EXPECT_FALSE(s.AuthenticatePk(xs(a, "root"), &other, nullptr));
  EXPECT_NE(logText(s).find("publickey"), std::string::npos) << logText(s);

  ClsSshKey wrong;
  wrong.put_Password("not the phrase");
  ClsSFtp s2;
  EXPECT_FALSE(wrong.loadKeyFile(locked.c_str(), s2.m_log));
  EXPECT_NE(logText(s2).find("wrong password"), std::string::npos) << logText(s2);
  ASSERT_TRUE(sftpConnect(s2, peer->port()));
  EXPECT_FALSE(s2.AuthenticatePk(xs(a, "root"), &wrong, nullptr));
  EXPECT_NE(logText(s2).find("did not contain a loaded private key"), std::string::npos);

  ClsSshKey good;
  ClsSFtp s3;
  ASSERT_TRUE(good.loadKeyFile(listed.c_str(), s3.m_log));
  ASSERT_TRUE(sftpConnect(s3, peer->port()));
  EXPECT_TRUE(s3.AuthenticatePk(xs(a, "root"), &good, nullptr)) << logText(s3) << peer->log();
}

} // namespace
