// The three proxy handshakes against a scripted fake proxy: every failure text, the bytes on the
// wire, and that a tunnel carries nothing before the caller's own bytes ("PING").
#include <gtest/gtest.h>

#include "tests/support/ProxyTestSupport.h"
#include "tests/support/SshTestSupport.h"

using namespace testsupport;

namespace {

struct Case {
  int kind;
  const char *host, *creds, *dest;
  std::string script; // empty: no proxy runs (the handshake must fail before connecting)
  bool ok;
  const char *logHas, *recordHas;
};

TEST(ProxyHandshake, EveryOutcomeAgainstAScriptedProxy) {
  const char *L = "127.0.0.1", *R = "refused", *U = "user:secret";
  const std::string A = "SHTTP/1.1 407 A\\r\\nProxy-Authenticate: ", S5 = "R3|X0500|R16|X",
                    CH = "SHTTP/1.1 407 A\\r\\nTransfer-Encoding: chunked\\r\\n\\r\\n",
                    NT = "NTLM\\r\\nContent-Length: 0\\r\\n\\r\\n||H",
                    OK = "SHTTP/1.1 200 OK\\r\\n\\r\\n", name(256, 'n'),
                    longCreds = name + ":secret";
  const std::string big = "H|" + OK.substr(0, 20) + "X: " + std::string(40000, 'a');
  // Every line short, over the bound only in all, and ended: it must still be refused.
  std::string many = "H|" + OK.substr(0, 20);
  for (int i = 0; i < 1000; ++i)
    many += "X-" + std::to_string(i) + ": " + std::string(40, 'a') + "\\r\\n";
  many += "\\r\\n";
  // clang-format off
  const Case cases[] = {
      {'h', L, "", "ssh", "H|SHTTP/1.1 200 Connection established\\r\\n\\r\\n|E", true, "firstLine: HTTP/1.1 200", "CONNECT ssh:22 HTTP/1.1\r\nConnection: Keep-Alive\r\nProxy-Connection: Keep-Alive\r\nHost: ssh\r\n\r\n\nREST PING"},
      {'h', L, "", "ssh", "H|SHTTP/1.0 200 OK\\nVia: x\\n\\n|E", true, "", "REST PING"},
      {'h', L, "", "ssh", "H|SHTTP/1.1 403 Forbidden\\n\\n", false, "statusLine: HTTP/1.1 403 Forbidden", ""},
      {'h', L, "", "ssh", "H|SHTTP/1.1 502 Bad Gateway\\r\\nContent-Length: 3\\r\\n\\r\\nabc", false, "The HTTP proxy refused the CONNECT request.", ""},
      {'h', L, U, "ssh", "H|" + A + "Basic realm=x\\r\\nTransfer-Encoding: chunked\\r\\n\\r\\n5\\r\\nhello\\r\\n0\\r\\n\\r\\n||H|" + OK + "|E", true, "Re-sending with Basic Authorization header...", "Proxy-Authorization: Basic dXNlcjpzZWNyZXQ=\r\nHost: ssh"},
      {'h', L, U, "ssh", "H|" + A + "Basic\\r\\n\\r\\n||H|" + A + "Basic\\r\\n\\r\\n", false, "The HTTP proxy refused the Basic credentials.", ""},
      {'h', L, "", "ssh", "H|" + A + "Basic\\r\\n\\r\\n", false, "The HTTP proxy asks for credentials and none are set.", ""},
      {'h', L, "", "ssh", "H|SHTTP/1.1 407 Auth\\r\\nProxy-Authenticate:\\tBasic  realm=x\\r\\n\\r\\n", false, "header: HTTP/1.1 407 Auth Proxy-Authenticate: Basic realm=x\n", ""},
      {'h', L, "", "ssh", "H|SHTTP/1.1 407 Auth\\nProxy-Authenticate: Basic\\n\\n", false, "header: \n", ""},
      {'h', L, "user:secret: bAsIc ", "ssh", "H|" + OK, true, "", "Basic dXNlcjpzZWNyZXQ="},
      {'h', L, "", "ssh", big, false, "HTTP proxy response header too large.", ""},
      {'h', L, "", "ssh", many, false, "HTTP proxy response header too large.", ""},
      {'h', L, "", "ssh", "H|" + CH + "FFFFFFF\\r\\n", false, "HTTP proxy response body too large.", ""},
      {'h', L, "", "ssh", "H|" + CH, false, "Failed to get chunked HTTP proxy response (1)", ""},
      {'h', L, "", "ssh", "H|" + CH + "10\\r\\nabc", false, "Failed to get chunked HTTP proxy response (2)", ""},
      {'h', L, "", "ssh", "H|" + CH + "3\\r\\nabc", false, "Failed to get chunked HTTP proxy response (3)", ""},
      {'h', L, "", "ssh", "H", false, "Failed to read CONNECT response.", ""},
      {'h', L, "User:Password", "ssh", "H|" + A + NT + "|N|H|V|E", true, "Sending CONNECT with NTLM Type3 message to proxy...", "REST PING"},
      {'h', L, "User:secret:ntlm", "ssh", "H|" + A + NT + "|N|H|V", false, "statusLine: HTTP/1.1 403 Forbidden", ""},
      {'h', L, "", "ssh", "H|" + A + "Digest x\\r\\n\\r\\n||H|SHTTP/1.1 407 A\\r\\n\\r\\n", false, "Error response from CONNECT request. (2)", ""},
      {'h', L, "", "ssh", "H|" + A + NT + "|" + A + "NTLM !!!!\\r\\n\\r\\n", false, "Failed to decode TYPE2 input message.\nERROR: Failed to generate NTLM Type 3 message.", ""},
      {'h', L, "", "ssh", "H|" + A + NT + "|" + A + "NTLM TlRMTVNTUAACAAAAAAAAAAAAAAABAogAASNFZ4mrze8AAAAAAAAAAMgAyAAwAAAAAQAEAEEAQQA=\\r\\n\\r\\n", false, "Target information lies outside the message.", ""},
      {'h', L, "", "ssh", "H|" + A + NT, false, "Failed to read CONNECT NTLM TYPE1 response.", ""},
      {'h', L, "", "ssh", "H|" + A + NT + "|N|H", false, "Failed to read CONNECT response.", ""},
      {'h', L, "", "a\r\nX: y", "", false, "Invalid destination host name for the HTTP proxy.", ""},
      {'h', "", "", "ssh", "", false, "No HTTP proxy hostname and/or port", ""},
      {'h', R, "", "ssh", "", false, "Failed to connect to HTTP proxy server.", ""},
      {5, L, "", "localhost", S5 + "05000003000016|E", true, "", "05010003096c6f63616c686f73740016\nREST PING"},
      {5, L, U, "192.168.1.10", "R4|X0502|R13|X0100|R10|X050000017f00000104d2|E", true, "", "01047573657206736563726574\n05010001c0a8010a0016"},
      {5, L, "", "localhost", "R3|X05FF", false, "No acceptable SOCKS5 methods\nmethod: 255", ""},
      {5, L, "", "localhost", "R3", false, "Failed to receive method-select reply from SOCKS5 server.", ""},
      {5, L, "user", "localhost", "R3|X0502", false, "SOCKS5 password is empty.", ""},
      {5, L, "", "localhost", "R3|X0502", false, "SOCKS5 username is empty.", ""},
      {5, L, U, "localhost", "R4|X0502|R13|X0101", false, "SOCKS5 server rejected username/password\nusername: user", ""},
      {5, L, longCreds.c_str(), "localhost", "R4|X0502", false, "SOCKS5 field longer than 255 bytes.", ""},
      {5, L, "", "localhost", S5 + "05050001", false, "SOCKS5 server rejected connection request\nstatus: 5", ""},
      {5, L, "", "localhost", S5 + "05000004", false, "IPv6 addresses not yet supported.", ""},
      {5, L, "", "localhost", S5 + "05000009", false, "Invalid response from SOCKS5 server", ""},
      {5, L, "", "localhost", "R3|X0500|R16", false, "Failed to receive response from SOCKS5 server..", ""},
      {5, L, "", "localhost", S5 + "05000001", false, "Failed to receive IPv4 address from SOCKS5 server.", ""},
      {5, L, "", "localhost", S5 + "05000003", false, "Failed to receive domain name length from SOCKS5 server.", ""},
      {5, L, "", "localhost", S5 + "050000030561", false, "Failed to receive domain name from SOCKS5 server.", ""},
      {5, L, "", "localhost", S5 + "050000017f000001", false, "Failed to receive port reply from SOCKS5 server.", ""},
      {5, "", "", "localhost", "", false, "No SOCKS5 hostname and/or port", ""},
      {5, L, "", "  ", "", false, "No target hostname for SOCKS5 connection.", ""},
      {5, L, "", "300.1.1.1", "", false, "Invalid SOCKS5 destination IP address\nipAddress3: 300.1.1.1", ""},
      {5, L, "", "1.2.3.4.5", "", false, "Invalid SOCKS5 destination IP address", ""},
      {5, L, "", name.c_str(), "", false, "SOCKS5 field longer than 255 bytes.", ""},
      {5, R, "", "localhost", "", false, "Failed to connect to SOCKS5 server.", ""},
      {4, L, "", "localhost", "R9|X005A000000000000|E", true, "", "040100167f00000100\nREST PING"},
      {4, L, "bob", "10.1.2.3", "R12|X005A000000000000", true, "", "040100160a010203626f6200"},
      {4, L, "", "localhost", "R9|X005B000000000000", false, "SOCKS4 connect request denied.\nresultCode: 91", ""},
      {4, L, "", "localhost", "R9", false, "Failed to receive reply to SOCKS4 connect request.", ""},
      {4, L, "", "1.2.3", "", false, "Invalid SOCKS4 destination IP address", ""},
      {4, "", "", "localhost", "", false, "No SOCKS4 hostname and/or port", ""},
      {4, R, "", "localhost", "", false, "Failed to connect to SOCKS4 server.", ""},
  };
  // clang-format on
  for (auto &c : cases) {
    std::unique_ptr<ProxyPeer> fake;
    if (!c.script.empty())
      fake = std::make_unique<ProxyPeer>("fake", 0, c.script, "a4f49c406510bdcab6824ee7c30fd852");
    ProxySetup setup(c.kind, c.host == R ? L : c.host, fake ? fake->port() : freeTcpPort(),
                     c.creds);
    RazudodSocket sock;
    CaptureLog log;
    std::string what = c.script.substr(0, 120) + " " + c.logHas + "\n";
    ASSERT_EQ(setup.connect(c.kind, sock, c.dest, log), c.ok) << what << log.text;
    if (c.ok) sock.SendString(StringBuffer("PING"), 2048, 0, log, nullptr);
    EXPECT_TRUE(log.has(c.logHas) && !log.has("secret") && !log.has("dXNlcjpzZWNyZXQ"))
        << what << log.text;
    EXPECT_TRUE(!fake || fake->record(true).find(c.recordHas) != std::string::npos) << what;
  }
}

// The handshake waits within the connect time-out; the tunnel then carries the session with the
// idle time-out the caller set, whether the handshake went through or not.
TEST(ProxyHandshake, TheSocketKeepsItsIdleTimeOut) {
  const std::string S5 = "R3|X0500|R16|X";
  const struct {
    int kind;
    std::string script;
    bool ok;
  } cases[] = {
      {5, S5 + "05000003000016|E", true},
      {4, "R9|X005A000000000000|E", true},
      {5, "R3|X05FF", false},
      {4, "R9|X005B000000000000", false},
  };
  for (auto &c : cases) {
    ProxyPeer fake("fake", 0, c.script, "a4f49c406510bdcab6824ee7c30fd852");
    ProxySetup setup(c.kind, "127.0.0.1", fake.port(), "");
    RazudodSocket sock;
    sock.SetIdleMsTimeout(777);
    CaptureLog log;
    ASSERT_EQ(setup.connect(c.kind, sock, "localhost", log), c.ok) << c.script << log.text;
    EXPECT_EQ(sock.get_IdleMsTimeout(), 777u) << c.script;
  }
}

} // namespace
