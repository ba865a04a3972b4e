// The FTP sharing server over real loopback connections: passive data connections, listings,
// downloads with restart offsets, uploads that arrive whole (or are reported as failed), appends,
// aborted transfers and the passive port that only the control connection's peer may use.
#include "FtpTestClient.h"
#include "tests/app/shell/ShellFixture.h"
#include "tests/support/FewDescriptors.h"

#include "platform/net/SocketStream.h"
#include "tests/support/TimeScale.h"

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

// A transfer answered "150" whose client never opens the data connection is given up after a
// bound, with a reply: the client is not left waiting for a "226" that cannot come, and an upload
// that never began leaves no empty file.
TEST_F(FTPTransfersTest, TransferWhoseDataConnectionNeverComesIsGivenUp) {
  auto clock = std::make_shared<ManualClock>();
  Clock::install(clock);
  auto advance = [&](Duration d) {
    clock->advance(d);
    RunLoop::main()->runPending();
    RunLoop::main()->runPending();
  };
  makeFile("r.bin", "content");
  auto c = login();
  struct Case {
    std::string command, item;
    bool itemStays;
  };
  const Case cases[] = {
      {"RETR r.bin", "r.bin", true},
      {"LIST", "", true},
      {"STOR new.bin", "new.bin", false},
      {"APPE r.bin", "r.bin", true},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.command);
    std::string started = whileServing([&] {
      c->cmd("PASV");
      return c->cmd(k.command);
    });
    EXPECT_EQ(started.substr(0, 4), "150 ") << started;
    advance(FTPServer::kDataConnectionWait - 1s);
    EXPECT_EQ(whileServing([&] { return c->cmd("NOOP"); }), "200 Command OK.\r\n");
    advance(2s);
    EXPECT_EQ(whileServing([&] { return c->reply(); }), "425 Can't open data connection.\r\n");
    if (!k.item.empty()) {
      EXPECT_EQ(FileManager::fileExists(file(k.item)), k.itemStays);
    }
    EXPECT_EQ(whileServing([&] { return c->cmd("NOOP"); }), "200 Command OK.\r\n");
  }
  EXPECT_EQ(testsupport::readFile(file("r.bin")), "content");
}

namespace {

// A socket made now (while there are descriptors), connected later.
int unconnectedSocket() {
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

} // namespace

// With no descriptor left for a passive listener, a data connection or a file, a transfer is
// answered "425" with the reason: never "550" for a file that is there, never a "150" followed by
// silence, never an empty file left by an upload that could not start.
TEST_F(FTPTransfersTest, WithNoDescriptorLeftTransfersSaySoAndNeverAnswerFalsely) {
  RUN_IN_DESCRIPTOR_CHILD();
  TCPServer listener;
  auto acceptor = std::make_shared<Acceptor>();
  listener.setDelegate(acceptor);
  ASSERT_TRUE(listener.start());
  makeFile("r.bin", "content of r");
  Client c(listener.port());
  whileServing([&] {
    c.reply();
    return c.cmd("USER x");
  });
  ASSERT_TRUE(acceptor->last);
  const std::string tooMany = ": Too many open files.\r\n";
  // Sockets the server let go of are closed once the loop has run (before a hog counts).
  auto settle = [] {
    RunLoop::main()->runPending();
    RunLoop::main()->runPending();
  };

  {
    // No descriptor for a passive listener.
    settle();
    testsupport::DescriptorHog hog(0);
    ASSERT_TRUE(hog.ok());
    EXPECT_EQ(whileServing([&] { return c.cmd("PASV"); }),
              "425 Unable to listen for connections" + tooMany);
  }

  // The data connection comes when there is none left: turned away, and said so, whether the
  // transfer was asked for before (a listener and a file take the two left) or after.
  struct Late {
    std::string command, item;
    bool itemAfter;
  };
  for (const Late &k :
       {Late{"RETR r.bin", "r.bin", true}, Late{"STOR new.bin", "new.bin", false}}) {
    SCOPED_TRACE(k.command);
    const int data = unconnectedSocket();
    ASSERT_GE(data, 0);
    settle();
    testsupport::DescriptorHog hog(2);
    ASSERT_TRUE(hog.ok());
    std::string replies = whileServing([&] {
      const int port = Client::pasvPort(c.cmd("PASV"));
      std::string r = c.cmd(k.command);
      if (port <= 0 || !testsupport::connectToLoopback(data, port)) return r + "(no connection)";
      return r + c.reply();
    });
    EXPECT_EQ(replies.substr(0, 4), "150 ") << replies;
    EXPECT_NE(replies.find("\r\n425 Can't open data connection" + tooMany), std::string::npos)
        << replies;
    EXPECT_EQ(FileManager::fileExists(file(k.item)), k.itemAfter);
    ::close(data);
  }
  {
    const int data = unconnectedSocket();
    settle();
    testsupport::DescriptorHog hog(1);
    std::string replies = whileServing([&] {
      const int port = Client::pasvPort(c.cmd("PASV"));
      char byte;
      if (port <= 0 || !testsupport::connectToLoopback(data, port) ||
          ::recv(data, &byte, 1, 0) != 0)
        return std::string("(not turned away)");
      return c.cmd("RETR r.bin") + c.cmd("NOOP");
    });
    EXPECT_EQ(replies, "425 Can't open data connection" + tooMany + "200 Command OK.\r\n");
    ::close(data);
  }

  // The data connection is there, but no descriptor for the file or the folder.
  const int data = unconnectedSocket();
  settle();
  testsupport::DescriptorHog hog(2);
  ASSERT_TRUE(hog.ok());
  whileServing([&] {
    const int port = Client::pasvPort(c.cmd("PASV"));
    return port > 0 && testsupport::connectToLoopback(data, port);
  });
  ASSERT_TRUE(RunLoop::main()->runUntil(
      [&] { return acceptor->last->passiveListener() == nullptr; }, testsupport::scaled(20s)));
  settle(); // the passive listener's socket is closed
  hog.takeAll();
  std::string refused = whileServing(
      [&] { return c.cmd("RETR r.bin") + c.cmd("STOR up.bin") + c.cmd("NLST") + c.cmd("NOOP"); });
  EXPECT_EQ(refused, "425 Unable to open the file" + tooMany + "425 Unable to open the file" +
                         tooMany + "425 Unable to read the folder" + tooMany +
                         "200 Command OK.\r\n");
  EXPECT_FALSE(FileManager::fileExists(file("up.bin")));
  // With a descriptor again, the same data connection carries the file.
  hog.release(1);
  std::string fetched = whileServing([&] {
    std::string r = c.cmd("RETR r.bin");
    r += ftptest::readAll(data);
    return r + c.reply();
  });
  EXPECT_EQ(fetched, "150 Opening ASCII mode data connection for 'r.bin' (12 bytes).\r\n"
                     "content of r226 Transfer complete.\r\n");
  ::close(data);
}

namespace {

// What has come on `fd` so far, added to `heard`; true once a whole reply line is there after
// `after` bytes of it.
bool lineAfter(int fd, std::string &heard, size_t after) {
  char buf[4096];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
    heard.append(buf, size_t(n));
  return heard.find('\n', after) != std::string::npos;
}

} // namespace

// Out of descriptors, a client is never left without a word: a control connection the process
// cannot take is told "421" with the reason before it is closed, and a data connection turned
// away while its listing was being made is answered "425" at once, not after the wait for a
// connection that can no longer come.
TEST_F(FTPTransfersTest, OutOfDescriptorsClientsAreToldAtOnce) {
  RUN_IN_DESCRIPTOR_CHILD();
  auto settle = [] {
    RunLoop::main()->runPending();
    RunLoop::main()->runPending();
  };
  {
    const int control = unconnectedSocket();
    ASSERT_GE(control, 0);
    settle();
    testsupport::DescriptorHog hog(0);
    ASSERT_TRUE(hog.ok());
    ASSERT_TRUE(testsupport::connectToLoopback(control, port));
    std::string heard;
    RunLoop::main()->runUntil([&] { return lineAfter(control, heard, 0); },
                              testsupport::scaled(20s));
    EXPECT_EQ(heard,
              "421 Cannot take the connection: Too many open files. Please try again later.\r\n");
    ::close(control);
  }

  // A folder whose listing takes many steps, so that the data connection comes while it is made.
  for (size_t i = 0; i < 12 * sharing::SharedListing::kEntriesPerStep; ++i)
    makeFile("many/" + std::to_string(i), "");
  auto c = std::make_unique<Client>(port);
  const std::string loggedIn = whileServing([&] {
    const std::string greeting = c->reply();
    return greeting + c->cmd("USER anonymous");
  });
  ASSERT_EQ(loggedIn, "220 Ferrowen v3.0 ready...\r\n230 Login successful.\r\n");
  // From here on nothing is given up by time: an answer that comes, comes at once.
  Clock::install(std::make_shared<ManualClock>());
  const int data = unconnectedSocket();
  std::string pasv;
  const int dataPort = whileServing([&] { return Client::pasvPort(pasv = c->cmd("PASV")); });
  ASSERT_GT(dataPort, 0) << pasv;
  c->send("LIST many\r\n");
  ASSERT_TRUE(
      RunLoop::main()->runUntil([] { return sharing::SharedListing::shared().makersQueued() == 1; },
                                testsupport::scaled(20s)));
  // (Running what is pending would run the listing to its end.)
  testsupport::DescriptorHog hog(0);
  ASSERT_TRUE(hog.ok());
  ASSERT_TRUE(testsupport::connectToLoopback(data, dataPort));
  std::string heard;
  RunLoop::main()->runUntil([&] { return lineAfter(c->fd(), heard, 0); }, testsupport::scaled(20s));
  EXPECT_EQ(heard, "425 Can't open data connection: Too many open files.\r\n");
  EXPECT_EQ(sharing::SharedListing::shared().makersQueued(), 0u);
  ::close(data);
}
