// The FTP sharing server over real loopback connections: passive data connections, listings,
// downloads with restart offsets, uploads that arrive whole (or are reported as failed), appends,
// aborted transfers and the passive port that only the control connection's peer may use.
#include "FtpTestClient.h"
#include "tests/app/shell/ShellFixture.h"

#include "platform/net/SocketStream.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <thread>

using namespace platform;
using namespace std::chrono_literals;
using ftptest::Client;
using ftptest::whileServing;

namespace {

// Makes an FTPServer for every connection and keeps the last one, so a test can look inside.
class Acceptor : public TCPServerDelegate {
public:
  void didAcceptConnectionForServer(TCPServer &server, std::shared_ptr<net::SocketInputStream> in,
                                    std::shared_ptr<net::SocketOutputStream> out) override {
    last = std::make_shared<FTPServer>();
    last->didAcceptIncomingConnection(server, std::move(in), std::move(out));
  }
  std::shared_ptr<FTPServer> last;
};

std::string randomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto &c : s)
    c = char(gen() & 0xFF);
  return s;
}

} // namespace

class FTPTransfersTest : public ShellTest {
protected:
  void SetUp() override {
    ShellTest::SetUp();
    delegate->startFTPServer();
    ASSERT_NE(delegate->ftpServerListener(), nullptr);
    port = delegate->ftpServerListener()->port();
  }
  // A logged-in client (no sharing credentials set).
  std::unique_ptr<Client> login() {
    auto c = std::make_unique<Client>(port);
    whileServing([&] {
      c->reply();
      return c->cmd("USER anonymous");
    });
    return c;
  }
  int port = 0;
};

TEST_F(FTPTransfersTest, ListingsOverPassiveConnections) {
  makeFile("b.txt", "bb");
  makeFile(".dot", "d");
  makeFile("PrivateKeys/id.pem", "key");
  ASSERT_TRUE(FileManager::createDirectory(root + "/empty"));
  auto c = login();
  auto list = [&](const std::string &command, std::string *replies) {
    return whileServing([&] {
      int data = c->pasv(replies);
      std::string r = c->cmd(command);
      std::string bytes = ftptest::readAll(data);
      ::close(data);
      r += c->reply();
      *replies += r;
      return bytes;
    });
  };
  std::string replies;
  std::string plain = list("LIST", &replies);
  EXPECT_NE(plain.find(" b.txt\r\n"), std::string::npos) << plain;
  EXPECT_NE(plain.find(" PrivateKeys\r\n"), std::string::npos) << plain;
  EXPECT_EQ(plain.find(".dot"), std::string::npos) << plain;
  EXPECT_NE(replies.find("150 Opening ASCII mode data connection for LIST (" +
                         std::to_string(plain.size()) + " bytes).\r\n226 Transfer complete. " +
                         std::to_string(plain.size()) + " bytes sent.\r\n"),
            std::string::npos)
      << replies;

  replies.clear();
  std::string hidden = list("LIST -la", &replies);
  EXPECT_NE(hidden.find(" .dot\r\n"), std::string::npos) << hidden;
  replies.clear();
  EXPECT_EQ(list("LIST -l /empty", &replies), "total 0\r\n");
  EXPECT_NE(replies.find("(9 bytes)"), std::string::npos) << replies;
  replies.clear();
  EXPECT_EQ(list("LIST PrivateKeys", &replies), "total 0\r\n");
  replies.clear();
  // The keys folder under another name (a link) lists nothing either.
  ASSERT_EQ(::symlink("PrivateKeys", (root + "/keys").c_str()), 0);
  EXPECT_EQ(list("LIST -la keys", &replies), "total 0\r\n");
  EXPECT_EQ(list("NLST keys/", &replies), "total 0\r\n");
  replies.clear();
  std::string names = list("NLST", &replies);
  EXPECT_NE(names.find(".dot\r\n"), std::string::npos) << names;
  EXPECT_NE(names.find("b.txt\r\n"), std::string::npos) << names;
  std::string refused = whileServing([&] {
    int data = c->pasv();
    std::string r = c->cmd("NLST PrivateKeys/id.pem");
    ::close(data);
    return r;
  });
  EXPECT_EQ(refused, "550 File or Folder not found.\r\n");

  // TYPE and PASV in one read are both answered, in order.
  std::string both = whileServing([&] {
    c->send("TYPE I\r\nPASV\r\n");
    std::string first = c->reply();
    return first + c->reply();
  });
  EXPECT_EQ(both.substr(0, 20), "200 Type set to I.\r\n");
  EXPECT_EQ(both.substr(20, 27), "227 Entering Passive Mode (");
  EXPECT_EQ(both.find("127,0,0,1,"), 47u) << both;
}

TEST_F(FTPTransfersTest, DownloadsWholeAndFromARestartOffset) {
  std::string content = randomBytes(300000, 1);
  makeFile("r.bin", content);
  auto c = login();
  auto fetch = [&](const std::string &before, std::string *replies) {
    return whileServing([&] {
      if (!before.empty()) *replies += c->cmd(before);
      int data = c->pasv();
      *replies += c->cmd("RETR r.bin");
      std::string bytes = ftptest::readAll(data);
      ::close(data);
      *replies += c->reply();
      return bytes;
    });
  };
  std::string replies;
  EXPECT_TRUE(fetch("TYPE I", &replies) == content);
  EXPECT_NE(replies.find("150 Opening BINARY mode data connection for 'r.bin' (300000 bytes).\r\n"
                         "226 Transfer complete.\r\n"),
            std::string::npos)
      << replies;
  replies.clear();
  EXPECT_TRUE(fetch("REST 100", &replies) == content.substr(100));
  EXPECT_NE(replies.find("350 Restarting at 100, send STOR or RETR\r\n"), std::string::npos);
  // The offset was used up by that transfer.
  replies.clear();
  EXPECT_EQ(fetch("", &replies).size(), content.size());
}

TEST_F(FTPTransfersTest, UploadsArriveWholeAppendAndReportFailures) {
  std::string content = randomBytes(3 * 1024 * 1024 + 17, 2);
  auto c = login();
  auto store = [&](const std::string &command, const std::string &bytes) {
    return whileServing([&] {
      int data = c->pasv();
      std::string r = c->cmd(command);
      ftptest::sendAll(data, bytes);
      ::close(data);
      return r + c->reply();
    });
  };
  EXPECT_EQ(store("STOR up.bin", content),
            "150 OK to send 'up.bin'.\r\n226 File Received OK, (3145745 bytes).\r\n");
  EXPECT_TRUE(testsupport::readFile(file("up.bin")) == content);

  EXPECT_EQ(store("APPE up.bin", "tail"),
            "150 OK to send 'up.bin'.\r\n226 File Received OK, (3145749 bytes).\r\n");
  EXPECT_TRUE(testsupport::readFile(file("up.bin")) == content + "tail");

  // A file that cannot take the bytes is reported, not confirmed.
  // (Here: a file size limit on this process, which the server shares.)
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit limited{50000, before.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  std::string failed = store("STOR limited.bin", content.substr(0, 100000));
  ::setrlimit(RLIMIT_FSIZE, &before);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(failed, "150 OK to send 'limited.bin'.\r\n451 Error writing file.\r\n");

  // A client that finishes its (empty) upload before the server read the STOR.
  std::string empty = whileServing([&] {
    int data = c->pasv();
    ::shutdown(data, SHUT_WR);
    c->cmd("NOOP"); // the end of the data connection has been seen by now
    std::string r = c->cmd("STOR empty.txt");
    r += c->reply();
    ::close(data);
    return r;
  });
  EXPECT_EQ(empty, "150 OK to send 'empty.txt'.\r\n226 File Received OK, (0 bytes).\r\n");
  EXPECT_TRUE(FileManager::fileExists(file("empty.txt")));

  // An offset the file system cannot seek to refuses the upload and leaves no new empty file
  // behind. (A file system that takes such an offset stores the upload there instead.)
  std::string far = whileServing([&] {
    int data = c->pasv();
    std::string r = c->cmd("REST 4611686018427387904");
    r += c->cmd("STOR far.bin");
    ::close(data);
    if (r.find("150 ") != std::string::npos) r += c->reply();
    c->cmd("REST 0");
    return r;
  });
  if (far.find("550 Error opening file.\r\n") != std::string::npos)
    EXPECT_FALSE(FileManager::fileExists(file("far.bin"))) << far;
  else
    EXPECT_NE(far.find("226 File Received OK"), std::string::npos) << far;

  // Uploads into the keys folder are allowed and kept private.
  ASSERT_TRUE(FileManager::createDirectory(root + "/PrivateKeys"));
  EXPECT_EQ(store("STOR PrivateKeys/k.pem", "key").substr(0, 24), "150 OK to send 'PrivateK");
  auto attrs = FileManager::attributesOfItem(file("PrivateKeys/k.pem"));
  ASSERT_TRUE(attrs);
  EXPECT_EQ(attrs->permissions & 077, 0u);
}

TEST_F(FTPTransfersTest, ClientLeavingOrAbortingATransferKeepsTheSessionUsable) {
  makeFile("big.bin", randomBytes(16 * 1024 * 1024, 3));
  auto c = login();
  std::string r = whileServing([&] {
    int data = c->pasv();
    std::string out = c->cmd("RETR big.bin");
    char buf[65536];
    ::recv(data, buf, sizeof buf, 0);
    ::close(data); // gone in the middle
    out += c->reply();
    return out + c->cmd("NOOP");
  });
  EXPECT_NE(r.find("426 Connection closed; transfer aborted.\r\n200 Command OK.\r\n"),
            std::string::npos)
      << r;

  r = whileServing([&] {
    int data = c->pasv();
    std::string out = c->cmd("RETR big.bin");
    out += c->cmd("ABOR");
    ::close(data);
    return out + c->cmd("NOOP");
  });
  EXPECT_NE(r.find("226 Transfer interrupted.\r\n200 Command OK.\r\n"), std::string::npos) << r;
}

TEST_F(FTPTransfersTest, PassivePortTakesOnlyTheControlPeer) {
  TCPServer listener;
  auto acceptor = std::make_shared<Acceptor>();
  listener.setDelegate(acceptor);
  ASSERT_TRUE(listener.start());
  Client c(listener.port());
  std::string pasvReply = whileServing([&] {
    c.reply();
    c.cmd("USER x");
    return c.cmd("PASV");
  });
  ASSERT_TRUE(acceptor->last);
  TCPServer *passive = acceptor->last->passiveListener();
  ASSERT_NE(passive, nullptr);
  ASSERT_EQ(Client::pasvPort(pasvReply), passive->port());

  // A connection from another address (as the listener would report it) is turned away.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  auto streams = net::createSocketStreamPairWithNativeSocket(pair[0], true);
  ASSERT_TRUE(streams);
  sockaddr_in stranger{};
  stranger.sin_family = AF_INET;
  stranger.sin_addr.s_addr = htonl(0x0A000009); // 10.0.0.9
  std::vector<uint8_t> peer(sizeof stranger);
  std::memcpy(peer.data(), &stranger, sizeof stranger);
  passive->setPeer(peer);
  acceptor->last->didAcceptConnectionForServer(*passive, streams.input, streams.output);
  streams = {};
  RunLoop::main()->runPending();
  EXPECT_EQ(acceptor->last->passiveListener(), passive) << "the stranger was taken";
  char byte;
  timeval tv{5, 0};
  ::setsockopt(pair[1], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  EXPECT_EQ(::recv(pair[1], &byte, 1, 0), 0) << "the stranger's connection stays open";
  ::close(pair[1]);

  // The client itself gets through.
  makeFile("x.txt", "x");
  std::string listing = whileServing([&] {
    int data = ftptest::connectLoopback(Client::pasvPort(pasvReply));
    c.cmd("NLST x.txt");
    std::string bytes = ftptest::readAll(data);
    ::close(data);
    c.reply();
    return bytes;
  });
  EXPECT_EQ(listing, "x.txt\r\n");
  whileServing([&] { return c.cmd("QUIT"); });
}

TEST_F(FTPTransfersTest, FloodOfPipelinedCommandsIsAnsweredInFullWhateverTheReaderPace) {
  auto c = login();
  // Far more reply bytes than the sockets hold: the server must hold the commands back while the
  // client is not reading, and lose nothing when it reads again.
  const int count = 100000;
  const std::string feat = "211-Features:\r\n HOST domain\r\n UTF8\r\n SIZE\r\n REST STREAM\r\n "
                           "MDTM\r\n MFMT\r\n211 End\r\n";
  std::string answered = whileServing([&] {
    std::thread sender([&] {
      std::string batch;
      for (int i = 0; i < count; ++i)
        batch += "FEAT\r\n";
      ftptest::sendAll(c->fd(), batch + "SYST\r\n");
    });
    std::this_thread::sleep_for(1s);
    int feats = 0;
    std::string last;
    for (;;) {
      std::string r = c->reply();
      if (r == feat) {
        ++feats;
        continue;
      }
      last = r;
      break;
    }
    sender.join();
    return std::to_string(feats) + " " + last;
  });
  EXPECT_EQ(answered, std::to_string(count) + " 215 UNIX Type: L8\r\n");
}
