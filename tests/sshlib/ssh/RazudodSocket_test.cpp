#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/TickSource.h"
#include "sshlib/ssh/RazudodSocket.h"
#include "tests/support/LogTexts.h"
#include "tests/support/TestSupport.h"

namespace {

std::string str(const DataBuffer &db) {
  return std::string((const char *)db.getData2(), db.getSize());
}

// A socket whose descriptor is one end of a socket pair; the test writes to the other end.
struct PairedSocket {
  RazudodSocket sock;
  int peer = -1;
  PairedSocket() {
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    sock.socketFd = fds[0];
    sock.isConnected = true;
    peer = fds[1];
    sock.SetIdleMsTimeout(2000);
  }
  ~PairedSocket() { close(peer); }
  void feed(const std::string &s) { ASSERT_EQ(write(peer, s.data(), s.size()), (ssize_t)s.size()); }
};

TEST(RazudodSocket, AddressTextBothWays) {
  struct {
    int family;
    const char *text;
    const char *back;
  } cases[] = {
      {AF_INET, "010.001.000.001", "10.1.0.1"},
      {AF_INET, "256.1.1.1", nullptr},
      {AF_INET, "1.2.3", nullptr},
      {AF_INET6, "1:0:2:3:4:5:6:7", "1::2:3:4:5:6:7"},
      {AF_INET6, "::1", "::1"},
      {AF_INET6, "::ffff:10.1.2.3", "::ffff:10.1.2.3"},
      {AF_INET6, ":1::", nullptr},
      {AF_INET6, "fe80:0:0:1::2", "fe80:0:0:1::2"},
      {AF_INET6, "1::2::3", nullptr},
      {AF_INET6, "::", "::"},
  };
  for (auto &c : cases) {
    unsigned char a[16] = {};
    int ok = RazudodSocket::ck_inet_pton(c.family, c.text, a);
    EXPECT_EQ(ok, c.back ? 1 : 0) << c.text;
    if (!ok) continue;
    StringBuffer out;
    RazudodSocket::ck_inet_ntop(c.family, a, out);
    EXPECT_STREQ(out.getString(), c.back) << c.text;
  }
}

TEST(RazudodSocket, ConnectsToLoopbackAndReportsRefusal) {
  int port = testsupport::freeTcpPort();
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons((unsigned short)port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(ls, (sockaddr *)&sin, sizeof sin), 0);
  ASSERT_EQ(listen(ls, 4), 0);
  LogNull log;
  for (unsigned int timeout : {0u, 3000u}) {
    RazudodSocket s;
    s.SetConnectMsTimeout(timeout);
    bool nameFailed = true;
    EXPECT_TRUE(s.ConnectSocketWithHB2("  LocalHost ", port, 0, 0, log, nameFailed, nullptr));
    EXPECT_STREQ(s.remoteIpAddress.getString(), "127.0.0.1");
    EXPECT_FALSE(nameFailed);
    EXPECT_TRUE(s.isConnected);
  }
  close(ls);
  // Nothing listens now: a refused connect must not look connected.
  RazudodSocket s;
  bool nameFailed = false;
  EXPECT_FALSE(s.ConnectSocketWithHB2("127.0.0.1", port, 0, 0, log, nameFailed, nullptr));
  EXPECT_EQ(s.connectFailReason, 7);
  EXPECT_FALSE(s.isConnected);
  EXPECT_FALSE(s.ConnectSocketWithHB2(" / ", port, 0, 0, log, nameFailed, nullptr));
  EXPECT_EQ(s.connectFailReason, 1);
}

// A listening loopback socket of one family; -1 when the family has no loopback here.
int listenOnLoopback(int family, int &port) {
  int ls = socket(family, SOCK_STREAM, 0);
  sockaddr_storage ss{};
  socklen_t len;
  if (family == AF_INET) {
    auto *sin = (sockaddr_in *)&ss;
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *sin;
  } else {
    auto *sin6 = (sockaddr_in6 *)&ss;
    sin6->sin6_family = AF_INET6;
    sin6->sin6_addr = in6addr_loopback;
    len = sizeof *sin6;
  }
  if (ls < 0 || bind(ls, (sockaddr *)&ss, len) != 0 || listen(ls, 4) != 0 ||
      getsockname(ls, (sockaddr *)&ss, &len) != 0) {
    if (ls >= 0) close(ls);
    return -1;
  }
  port =
      ntohs(family == AF_INET ? ((sockaddr_in *)&ss)->sin_port : ((sockaddr_in6 *)&ss)->sin6_port);
  return ls;
}

std::string logText(Logger &log) {
  StringBuffer sb;
  log.getText(sb);
  return sb.getString();
}

// The local end of a connection, by the reader of its family; and what a socket without a
// descriptor answers.
TEST(RazudodSocket, LocalAddressByFamily) {
  const struct {
    int family;
    const char *host;
    bool (RazudodSocket::*name)(StringBuffer &, int &, LogBase &);
  } cases[] = {{AF_INET, "127.0.0.1", &RazudodSocket::ck_getsockname_ipv4},
               {AF_INET6, "::1", &RazudodSocket::ck_getsockname_ipv6}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.host);
    int port = 0;
    const int ls = listenOnLoopback(c.family, port);
    if (ls < 0) continue; // no IPv6 loopback on this machine
    RazudodSocket s;
    Logger log;
    bool nameFailed = false;
    ASSERT_TRUE(s.ConnectSocketWithHB2(c.host, port, 0, 0, log, nameFailed, nullptr))
        << logText(log);
    EXPECT_EQ(s.addressFamily, c.family);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ASSERT_EQ(getsockname(s.socketFd, (sockaddr *)&ss, &len), 0);
    const int localPort = ntohs(c.family == AF_INET ? ((sockaddr_in *)&ss)->sin_port
                                                    : ((sockaddr_in6 *)&ss)->sin6_port);
    StringBuffer addr("stale");
    int gotPort = -1;
    EXPECT_TRUE((s.*c.name)(addr, gotPort, log));
    EXPECT_STREQ(addr.getString(), c.host);
    EXPECT_EQ(gotPort, localPort);
    addr.setString("stale");
    EXPECT_TRUE(s.GetSockName2(addr, gotPort, log));
    EXPECT_STREQ(addr.getString(), c.host);
    close(ls);
  }
  for (const auto &c : cases) {
    RazudodSocket none;
    Logger log;
    StringBuffer addr("stale");
    int port = 7;
    EXPECT_FALSE((none.*c.name)(addr, port, log));
    EXPECT_EQ(addr.getSize(), 0u);
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(testsupport::logHasLine(logText(log), "Cannot get socket name: INVALID_SOCKET."));
  }
}

// Name lookup for the heartbeat connect, the choice of entry in an address list, and the bind
// under the client's local address.
// A name the resolver has no entry for fails with what the resolver said and no further line
// of the lookup's own; an entry whose address is no address (a hosts file's 0.0.0.0) says so.
TEST(RazudodSocket, HostLookupFailuresSayWhatWentWrongOnce) {
  struct Case {
    const char *host;
    bool noEntry;
  } cases[] = {{"no-such-host.invalid", true}, {"0.0.0.0", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.host);
    Logger log;
    StringBuffer dotted;
    unsigned int addr = 1;
    bool aborted = true, timedOut = true;
    EXPECT_FALSE(RazudodSocket::CkGetHostByNameHB_ipv4(c.host, 0, 0, 0, 0, log, nullptr, dotted,
                                                       addr, aborted, timedOut));
    EXPECT_EQ(addr, 0u);
    EXPECT_FALSE(aborted || timedOut);
    const std::string text = logText(log);
    EXPECT_EQ(testsupport::logHasLine(text, "getaddrinfoError:"), c.noEntry) << text;
    EXPECT_EQ(testsupport::countLogLines(text, "Failed to get host IP address by name."),
              c.noEntry ? 0 : 1)
        << text;
  }
}

TEST(RazudodSocket, AddressListsAndTheLocalBind) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
  hints.ai_socktype = SOCK_STREAM;
  const struct {
    const char *host;
    bool ok;
  } lookups[] = {{"127.0.0.1", true}, {"not.a.numeric.address", false}};
  for (const auto &l : lookups) {
    Logger log;
    addrinfo *list = (addrinfo *)&hints; // must come back null on failure
    EXPECT_EQ(RazudodSocket::getAddressInfo(l.host, 2222, &hints, &list, log), l.ok) << l.host;
    EXPECT_EQ(list != nullptr, l.ok);
    const std::string text = logText(log);
    EXPECT_EQ(testsupport::logHasLine(text, "Failed to get host address info. (4)"), !l.ok);
    if (!l.ok) {
      EXPECT_TRUE(testsupport::logHasLine(text, std::string("hostOrIpAddr: ") + l.host)) << text;
      EXPECT_TRUE(testsupport::logHasLine(text, "port: 2222")) << text;
    }
    RazudodSocket::ck_freeaddrinfo(list, log);
  }

  // Stream entries of the family are chosen, wherever they stand in the list.
  addrinfo dgram4{}, stream6{}, stream4{};
  dgram4 = {0, AF_INET, SOCK_DGRAM, 0, 0, nullptr, nullptr, &stream6};
  stream6 = {0, AF_INET6, SOCK_STREAM, 0, 0, nullptr, nullptr, &stream4};
  stream4 = {0, AF_INET, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr};
  const struct {
    const addrinfo *list, *v4, *v6;
  } picks[] = {{&dgram4, &stream4, &stream6},
               {&stream4, &stream4, nullptr},
               {&stream6, &stream4, &stream6},
               {nullptr, nullptr, nullptr}};
  for (const auto &p : picks) {
    EXPECT_EQ(RazudodSocket::findIpv4AddrInfo(p.list), p.v4);
    EXPECT_EQ(RazudodSocket::findIpv6AddrInfo(p.list), p.v6);
  }

  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const struct {
    const sockaddr *addr;
    unsigned int len;
    const char *line;
  } binds[] = {{nullptr, sizeof sin, "Invalid name passed to bindSysCall."},
               {(const sockaddr *)&sin, 0, "Invalid name passed to bindSysCall."},
               {(const sockaddr *)&sin, sizeof sin, "Socket bind successful."}};
  for (const auto &b : binds) {
    RazudodSocket s;
    s.socketFd = socket(AF_INET, SOCK_STREAM, 0);
    Logger log;
    const bool ok = std::string(b.line) == "Socket bind successful.";
    EXPECT_EQ(s.bindSysCall(b.addr, b.len, log), ok);
    const std::string text = logText(log);
    EXPECT_TRUE(testsupport::logHasLine(text, b.line)) << text;
    EXPECT_EQ(testsupport::logHasLine(text, "bindSockAddr:"), ok) << text;
  }
  // An IPv6 descriptor cannot take the IPv4 address the client binds to.
  RazudodSocket v6;
  v6.socketFd = socket(AF_INET6, SOCK_STREAM, 0);
  v6.bindPort = testsupport::freeTcpPort();
  Logger log;
  EXPECT_FALSE(v6.clientBind_ipv4("127.0.0.1", log));
  EXPECT_TRUE(testsupport::logHasLine(logText(log), "Socket bind failed.")) << logText(log);
}

TEST(RazudodSocket, LineReadersStopWhereTheyShould) {
  struct {
    int reader;
    std::string input;
    std::string expect;
    bool ok;
  } cases[] = {
      {0, "abc\nrest", "abc\r\n", true},
      {1, "abc\ndef\r\nrest", "abc\ndef\r\n", true},
      {2, "HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody", "HTTP/1.1 200 OK\r\nA: b\r\n\r\n", true},
      {0, std::string(300, 'x') + "\n", "", false},
  };
  LogNull log;
  for (auto &c : cases) {
    PairedSocket p;
    p.sock.maxLineLen = 255;
    p.feed(c.input);
    DataBuffer out;
    bool ok = c.reader == 0   ? p.sock.ReadToNextEndOfLine(out, 0, log, nullptr, true)
              : c.reader == 1 ? p.sock.ReadToNextCRLF(out, 0, log, nullptr)
                              : p.sock.ReadToDoubleCRLF(out, 0, log, nullptr);
    EXPECT_EQ(ok, c.ok) << c.input;
    if (c.ok) {
      EXPECT_EQ(str(out), c.expect);
    }
  }
}

TEST(RazudodSocket, ReadsExactlyAndReportsTheClose) {
  PairedSocket p;
  LogNull log;
  // Descriptors above 1023 wait like any other.
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max > 2048 ? 2048 : rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_cur > 1500 && dup2(p.sock.socketFd, 1500) == 1500) {
    close(p.sock.socketFd);
    p.sock.socketFd = 1500;
  }
  p.feed("0123456789");
  DataBuffer out;
  bool to, ab, se, cc;
  EXPECT_TRUE(p.sock.ReadN(6, out, 0, log, nullptr, to, ab, se, cc));
  EXPECT_EQ(str(out), "012345");
  shutdown(p.peer, SHUT_WR);
  EXPECT_FALSE(p.sock.ReadN(6, out, 0, log, nullptr, to, ab, se, cc));
  EXPECT_TRUE(cc);
  EXPECT_EQ(p.sock.socketFd, -1);
  // Sending to a peer that has gone fails instead of raising SIGPIPE.
  PairedSocket q;
  close(q.peer);
  q.peer = dup(0);
  unsigned char buf[64] = {};
  EXPECT_FALSE(q.sock.SendBytes2(buf, sizeof buf, 0, 0, log, nullptr));
  EXPECT_EQ(q.sock.lastSendErrno, EPIPE);
}

unsigned int g_tick = 0;
unsigned int fakeTick() {
  return g_tick;
}

TEST(BandwidthThrottle, PausesToBringTheAverageDown) {
  TickSource::setSource(&fakeTick);
  struct {
    unsigned int elapsed;
    unsigned int bytes;
    unsigned int pause;
  } cases[] = {{150, 100000, 0}, {1000, 10000, 9000}, {1000, 100000, 20000}, {1000, 500, 0}};
  for (auto &c : cases) {
    g_tick = 1000;
    BandwidthThrottle t;
    t.setMaxBytesPerSec(1000);
    g_tick += c.elapsed;
    t.addBytes32(c.bytes);
    EXPECT_EQ(t.pauseNeededMs(), c.pause) << c.elapsed << " " << c.bytes;
  }
  BandwidthThrottle same;
  same.setMaxBytesPerSec(1000);
  same.addBytes32(5000); // same millisecond as the window start: not counted
  EXPECT_EQ(same.windowBytes, 0u);
  TickSource::setSource(nullptr);
}

} // namespace
