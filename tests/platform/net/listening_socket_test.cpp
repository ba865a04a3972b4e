#include "tests/platform/net/NetTestSupport.h"

#include "platform/net/ListeningSocket.h"
#include "platform/net/SocketStream.h"

#include "tests/support/FewDescriptors.h"
#include "tests/support/TimeScale.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>

using namespace platform;
using namespace platform::net;
using namespace nettest;

namespace {

class ListeningSocketTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    loop = RunLoop::current();
  }
  bool runUntil(const std::function<bool()> &cond) {
    return loop->runUntil(cond, testsupport::scaled(kLimit));
  }
  std::shared_ptr<RunLoop> loop;
};

} // namespace

TEST_F(ListeningSocketTest, PortZeroBindsAFreePortOnTheWildcardAddress) {
  ListeningSocket a, b;
  ASSERT_TRUE(a.start(0, loop, nullptr));
  ASSERT_TRUE(b.start(0, loop, nullptr));
  EXPECT_TRUE(a.isValid());
  EXPECT_NE(a.port(), 0);
  EXPECT_NE(a.port(), b.port());
  EXPECT_EQ(a.address(), 0u);
  EXPECT_EQ(a.failure(), ListeningSocket::Failure::None);
}

TEST_F(ListeningSocketTest, SecondBindOfAPortInUseFailsWithTheBindError) {
  ListeningSocket first;
  ASSERT_TRUE(first.start(0, loop, nullptr));
  ListeningSocket second;
  EXPECT_FALSE(second.start(first.port(), loop, nullptr));
  EXPECT_EQ(second.failure(), ListeningSocket::Failure::CannotBind);
  EXPECT_EQ(second.errorCode(), EADDRINUSE);
  EXPECT_FALSE(second.errorText().empty());
  EXPECT_FALSE(second.isValid());

  // Once the first is gone, the port can be bound again at once (SO_REUSEADDR, closed on the
  // loop's own thread).
  uint16_t port = first.port();
  first.invalidate();
  EXPECT_FALSE(first.isValid());
  first.invalidate();
  EXPECT_TRUE(second.start(port, loop, nullptr)) << second.errorText();
  EXPECT_EQ(second.port(), port);
}

TEST_F(ListeningSocketTest, AcceptedSocketBecomesAPairThatReadsWhatTheClientSends) {
  ListeningSocket server;
  SocketStreamPair accepted;
  std::vector<uint8_t> peerAddress;
  EventLog inEvents, outEvents;
  int accepts = 0;
  ASSERT_TRUE(server.start(0, loop, [&](int fd, std::vector<uint8_t> peer) {
    ++accepts;
    peerAddress = std::move(peer);
    accepted = createSocketStreamPairWithNativeSocket(fd);
    accepted.input->setClient(kAllEvents, inEvents.callback());
    accepted.output->setClient(kAllEvents, outEvents.callback());
    accepted.input->scheduleWithRunLoop(loop);
    accepted.output->scheduleWithRunLoop(loop);
    accepted.input->open();
    accepted.output->open();
  }));
  int client = connectTo(server.port());
  ASSERT_GE(client, 0);
  ASSERT_TRUE(sendAll(client, "GET / HTTP/1.0\r\n\r\n"));
  std::string got;
  ASSERT_TRUE(runUntil([&] {
    if (accepted) drain(*accepted.input, got);
    return got.size() == 18;
  }));
  EXPECT_EQ(got, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(accepts, 1);
  ASSERT_EQ(peerAddress.size(), sizeof(sockaddr_in));
  sockaddr_in peer;
  std::memcpy(&peer, peerAddress.data(), sizeof peer);
  EXPECT_EQ(peer.sin_family, AF_INET);
  EXPECT_EQ(ntohl(peer.sin_addr.s_addr), INADDR_LOOPBACK);

  // The reply goes back, and closing the pair closes the accepted socket.
  const std::string reply = "HTTP/1.0 200 OK\r\n\r\n";
  EXPECT_EQ(accepted.output->write(reinterpret_cast<const uint8_t *>(reply.data()), reply.size()),
            long(reply.size()));
  accepted.input->close();
  accepted.output->close();
  loop->runUntil([] { return false; }, testsupport::scaled(std::chrono::milliseconds(50)));
  EXPECT_EQ(recvUntilClosed(client, 5000), reply);
  ::close(client);
}

TEST_F(ListeningSocketTest, SeveralWaitingClientsAreAllAcceptedAndInvalidateStopsAccepting) {
  ListeningSocket server;
  std::vector<int> fds;
  ASSERT_TRUE(server.start(0, loop, [&](int fd, std::vector<uint8_t>) { fds.push_back(fd); }));
  int c1 = connectTo(server.port()), c2 = connectTo(server.port()), c3 = connectTo(server.port());
  ASSERT_TRUE(runUntil([&] { return fds.size() == 3; }));
  for (int fd : fds) {
    EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    ::close(fd);
  }
  uint16_t port = server.port();
  server.invalidate();
  loop->runPending();
  EXPECT_LT(connectTo(port), 0) << "nothing listens after invalidate";
  for (int c : {c1, c2, c3})
    ::close(c);
}

// With no descriptor left, a waiting connection can be neither taken nor left waiting (the loop
// would be woken for it without end): it is closed for its client, the listener says so, and the
// next client is taken as usual once descriptors are free again. Also for a listener that was
// started with the process's last descriptor.
TEST_F(ListeningSocketTest, WithNoDescriptorLeftAWaitingClientIsTurnedAwayNotSpunOn) {
  RUN_IN_DESCRIPTOR_CHILD();
  for (const bool startedWithTheLastDescriptor : {false, true}) {
    SCOPED_TRACE(startedWithTheLastDescriptor ? "started with the last descriptor"
                                              : "started before");
    int accepted = 0;
    std::vector<int> turnedAway;
    auto accept = [&](int fd, std::vector<uint8_t>) {
      ++accepted;
      ::close(fd);
    };
    auto refuse = [&](int error) { turnedAway.push_back(error); };
    ListeningSocket server;
    if (!startedWithTheLastDescriptor) {
      ASSERT_TRUE(server.start(0, loop, accept, refuse));
    }
    // The client's socket is made while there are descriptors.
    const int waiting = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(waiting, 0);
    {
      testsupport::DescriptorHog hog(startedWithTheLastDescriptor ? 1 : 0);
      ASSERT_TRUE(hog.ok());
      if (startedWithTheLastDescriptor) {
        ASSERT_TRUE(server.start(0, loop, accept, refuse)) << server.errorText();
        hog.takeAll();
      }
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(server.port());
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ASSERT_EQ(::connect(waiting, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);

      // The connection cannot be accepted: it is closed for the client, and the server goes on.
      char byte;
      EXPECT_TRUE(runUntil([&] {
        const long n = ::recv(waiting, &byte, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
      }));
      EXPECT_EQ(accepted, 0);
      EXPECT_EQ(turnedAway, std::vector<int>{EMFILE});
    }
    ::close(waiting);

    // With descriptors free again the next client is accepted as usual.
    const int next = connectTo(server.port());
    ASSERT_GE(next, 0);
    EXPECT_TRUE(runUntil([&] { return accepted == 1; }));
    ::close(next);
  }
}
