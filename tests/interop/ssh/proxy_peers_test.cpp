// SSH through real proxies to OpenSSH's sshd: microsocks, dante and tinyproxy carry the whole
// connection set-up (key exchange and a service request under the new keys), and refuse what they
// should refuse.
#include <gtest/gtest.h>

#include "tests/support/ProxyTestSupport.h"
#include "tests/support/SshPeers.h"
#include "tests/support/SshTestSupport.h"

using namespace testsupport;

namespace {

TEST(ProxyPeers, SshThroughEachRealProxy) {
  auto sshd = SshPeer::sshd(SshPeerOptions{});
  ASSERT_TRUE(sshd->started()) << sshd->why();
  const struct {
    const char *proxy, *proxyUser, *proxyPass;
    int kind;
    const char *user, *pass, *dest;
    bool ok;
    const char *logHas;
  } cases[] = {
      {"microsocks", "user", "secret", 5, "user", "secret", "localhost", true, ""},
      {"microsocks", "user", "secret", 5, "user", "wrong", "127.0.0.1", false,
       "SOCKS5 server rejected username/password"},
      {"microsocks", "user", "secret", 5, "", "", "127.0.0.1", false,
       "No acceptable SOCKS5 methods"},
      {"danted", "", "", 5, "", "", "127.0.0.1", true,
       "SOCKS5 server is allowing no authentication."},
      {"danted", "", "", 4, "", "", "localhost", true, ""},
      {"tinyproxy", "user", "secret", 'h', "user", "secret", "127.0.0.1", true,
       "Re-sending with Basic Authorization header..."},
      {"tinyproxy", "user", "secret", 'h', "user", "wrong", "127.0.0.1", false,
       "statusLine: HTTP/1.0 401"},
      {"tinyproxy", "", "", 'h', "", "", "127.0.0.2", false, "statusLine: HTTP/1.1 500"},
  };
  for (auto &c : cases) {
    RealProxy proxy(c.proxy, sshd->port(), c.proxyUser, c.proxyPass);
    ASSERT_TRUE(proxy.started()) << c.proxy << "\n" << proxy.log();
    ProxySetup setup(c.kind, "127.0.0.1", proxy.port(), c.user, c.pass);
    SshTransport t;
    CaptureLog log;
    t.hostname.setString(c.dest);
    t.port = (unsigned int)sshd->port();
    t.setTimeouts(10000, 5000);
    SocketReadFailInfo fi;
    std::string what = std::string(c.proxy) + " " + c.user + "/" + c.pass + " " + c.dest;
    ASSERT_EQ(t.sshConnect(setup.socks, &setup.http, nullptr, log, fi, false), c.ok)
        << what << "\n"
        << log.text << proxy.log();
    EXPECT_TRUE(log.has(c.logHas)) << what << "\n" << log.text;
    if (c.ok) {
      EXPECT_TRUE(sshServiceRoundTrip(t, log)) << what << "\n" << log.text;
    }
  }
}

// NTLM has no packaged proxy: the scripted one checks the TYPE3 response and then relays to sshd,
// which sees our identification as the first bytes.
TEST(ProxyPeers, SshThroughTheNtlmFake) {
  auto sshd = SshPeer::sshd(SshPeerOptions{});
  ASSERT_TRUE(sshd->started()) << sshd->why();
  FakeProxy fake("H|SHTTP/1.1 407 A\\r\\nProxy-Authenticate: NTLM\\r\\n\\r\\n||H|N|H|V|T" +
                     std::to_string(sshd->port()),
                 "a4f49c406510bdcab6824ee7c30fd852");
  ProxySetup setup('h', "127.0.0.1", fake.port(), "User", "Password");
  SshTransport t;
  CaptureLog log;
  t.hostname.setString("127.0.0.1");
  t.port = (unsigned int)sshd->port();
  t.setTimeouts(10000, 5000);
  SocketReadFailInfo fi;
  ASSERT_TRUE(t.sshConnect(setup.socks, &setup.http, nullptr, log, fi, false)) << log.text;
  EXPECT_TRUE(sshServiceRoundTrip(t, log)) << log.text;
}

} // namespace
