// SSH to sshd through microsocks, dante, tinyproxy and (no packaged proxy speaks NTLM) the scripted
// NTLM proxy, up to a service request under the new keys, and a whole SFTP session through each
// real proxy; and what each proxy refuses.
#include <gtest/gtest.h>

#include "tests/support/ProxyTestSupport.h"
#include "tests/support/SftpPeers.h"
#include "tests/support/SshPeers.h"
#include "tests/support/SshTestSupport.h"

using namespace testsupport;

namespace {

TEST(ProxyPeers, SshThroughEachProxy) {
  ASSERT_TRUE(ensureSftpUser());
  auto sshd = SshPeer::sshd(SshPeerOptions{});
  ASSERT_TRUE(sshd->started()) << sshd->why();
  const std::string ntlm =
      "H|SHTTP/1.1 407 A\\r\\nProxy-Authenticate: NTLM\\r\\n\\r\\n||H|N|H|V|T" +
      std::to_string(sshd->port());
  const struct {
    const char *proxy, *a, *b;
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
      {"fake", ntlm.c_str(), "a4f49c406510bdcab6824ee7c30fd852", 'h', "User:Password", "127.0.0.1",
       true, "Sending CONNECT with NTLM Type3 message to proxy..."},
  };
  for (auto &c : cases) {
    ProxyPeer proxy(c.proxy, sshd->port(), c.a, c.b);
    ASSERT_TRUE(proxy.started()) << c.proxy << "\n" << proxy.log();
    ProxySetup setup(c.kind, "127.0.0.1", proxy.port(), c.creds);
    SshTransport t;
    t.hostname.setString(c.dest);
    t.port = (unsigned int)sshd->port();
    t.setTimeouts(10000, 5000);
    SocketReadFailInfo fi;
    CaptureLog log;
    std::string what = std::string(c.proxy) + " " + c.creds + " " + c.dest + "\n";
    EXPECT_EQ(t.sshConnect(setup.socks, &setup.http, nullptr, log, fi, false) &&
                  sshServiceRoundTrip(t, log),
              c.ok)
        << what << log.text << proxy.log();
    EXPECT_TRUE(log.has(c.logHas)) << what << log.text;
    // The handshake's waits were bounded by the connect time-out; the session keeps its own.
    if (c.ok) {
      EXPECT_EQ(t.socket.get_IdleMsTimeout(), 10000u) << what;
    }
    // The scripted proxy serves one connection; a real one carries a whole SFTP session.
    if (!c.ok || std::string(c.proxy) == "fake") continue;
    ClsSFtp s;
    ProxySetup::configure(s, s, c.kind, "127.0.0.1", proxy.port(), c.creds);
    ASSERT_TRUE(sftpConnect(s, sshd->port())) << what << logText(s);
    EXPECT_EQ(s.transport->socket.get_IdleMsTimeout(), (unsigned int)s.IdleTimeoutMs) << what;
    // It went through the proxy, not straight to sshd.
    const std::string proxyPort = std::to_string(proxy.port());
    EXPECT_TRUE(logText(s).find((c.kind == 'h' ? "proxyPort: " : "socksPort: ") + proxyPort) !=
                std::string::npos)
        << what << logText(s);
    XString user, pass;
    ASSERT_TRUE(s.AuthenticatePw(xs(user, kSftpUser), xs(pass, kSftpPass), nullptr)) << what;
    ASSERT_TRUE(s.InitializeSftp(nullptr)) << what << logText(s);
    XString dot, none, home, handle;
    ASSERT_TRUE(s.RealPath(xs(dot, "."), none, home, nullptr)) << what << logText(s);
    ASSERT_TRUE(s.OpenDir(home, handle, nullptr)) << what << logText(s);
    std::unique_ptr<ClsSFtpDir> listing(s.ReadDir(handle, nullptr));
    EXPECT_TRUE(listing) << what << logText(s);
    EXPECT_TRUE(s.CloseHandle(handle, nullptr));
    s.Disconnect();
  }
}

} // namespace
