#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/TickSource.h"
#include "sshlib/ssh/RazudodSocket.h"
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
