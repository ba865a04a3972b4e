// SSH through real proxies to OpenSSH's sshd: microsocks, dante and tinyproxy carry the whole
// connection set-up (key exchange and a service request under the new keys), and refuse what they
// should refuse. NTLM has no packaged proxy: the scripted one checks the TYPE3 response and then
// relays to sshd, which must see our identification as the first bytes.
#include <gtest/gtest.h>

#include "tests/support/ProxyTestSupport.h"
#include "tests/support/SshPeers.h"
#include "tests/support/SshTestSupport.h"

using namespace testsupport;

namespace {

bool sshVia(int kind, int proxyPort, const char *creds, const char *dest, int sshPort,
            CaptureLog &log) {
  ProxySetup setup(kind, "127.0.0.1", proxyPort, creds);
  SshTransport t;
  t.hostname.setString(dest);
  t.port = (unsigned int)sshPort;
  t.setTimeouts(10000, 5000);
  SocketReadFailInfo fi;
  return t.sshConnect(setup.socks, &setup.http, nullptr, log, fi, false) &&
         sshServiceRoundTrip(t, log);
}

TEST(ProxyPeers, SshThroughEachRealProxy) {
  auto sshd = SshPeer::sshd(SshPeerOptions{});
  ASSERT_TRUE(sshd->started()) << sshd->why();
  const struct {
    const char *proxy, *proxyUser, *proxyPass;
    int kind;
    const char *creds, *dest;
    bool ok;
    const char *logHas;
  } cases[] = {
      {"microsocks", "user", "secret", 5, "user:secret", "localhost", true, ""},
      {"microsocks", "user", "secret", 5, "user:wrong", "127.0.0.1", false,
       "SOCKS5 server rejected username/password"},
      {"microsocks", "user", "secret", 5, "", "127.0.0.1", false, "No acceptable SOCKS5 methods"},
      {"danted", "", "", 5, "", "127.0.0.1", true, "SOCKS5 server is allowing no authentication."},
      {"danted", "", "", 4, "", "localhost", true, ""},
      {"tinyproxy", "user", "secret", 'h', "user:secret", "127.0.0.1", true,
       "Re-sending with Basic Authorization header..."},
      {"tinyproxy", "user", "secret", 'h', "user:wrong", "127.0.0.1", false,
       "statusLine: HTTP/1.0 401"},
      {"tinyproxy", "", "", 'h', "", "127.0.0.2", false, "statusLine: HTTP/1.1 500"},
  };
  for (auto &c : cases) {
    RealProxy proxy(c.proxy, sshd->port(), c.proxyUser, c.proxyPass);
    ASSERT_TRUE(proxy.started()) << c.proxy << "\n" << proxy.log();
    CaptureLog log;
    std::string what = std::string(c.proxy) + " " + c.creds + " " + c.dest + "\n";
    EXPECT_EQ(sshVia(c.kind, proxy.port(), c.creds, c.dest, sshd->port(), log), c.ok)
        << what << log.text << proxy.log();
    EXPECT_TRUE(log.has(c.logHas)) << what << log.text;
  }
}

TEST(ProxyPeers, SshThroughTheNtlmFake) {
  auto sshd = SshPeer::sshd(SshPeerOptions{});
  ASSERT_TRUE(sshd->started()) << sshd->why();
  FakeProxy fake("H|SHTTP/1.1 407 A\\r\\nProxy-Authenticate: NTLM\\r\\n\\r\\n||H|N|H|V|T" +
                     std::to_string(sshd->port()),
                 "a4f49c406510bdcab6824ee7c30fd852");
  CaptureLog log;
  EXPECT_TRUE(sshVia('h', fake.port(), "User:Password", "127.0.0.1", sshd->port(), log))
      << log.text;
}

} // namespace
