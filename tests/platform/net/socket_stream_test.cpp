#include "tests/platform/net/NetTestSupport.h"

#include "platform/net/ListeningSocket.h"
#include "platform/net/SocketStream.h"
#include "tests/support/TimeScale.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <thread>

using namespace platform;
using namespace platform::net;
using namespace nettest;

namespace {

class SocketStreamTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    loop = RunLoop::current();
  }
  bool runUntil(const std::function<bool()> &cond) {
    return loop->runUntil(cond, testsupport::scaled(kLimit));
  }

  // A pair to the listener, scheduled on the test's loop, both streams opened.
  SocketStreamPair openPair(uint16_t port, EventLog &in, EventLog &out,
                            const std::string &host = "127.0.0.1") {
    auto pair = createSocketStreamPair(host, port);
    pair.input->setClient(kAllEvents, in.callback());
    pair.output->setClient(kAllEvents, out.callback());
    pair.input->scheduleWithRunLoop(loop);
    pair.output->scheduleWithRunLoop(loop);
    EXPECT_TRUE(pair.input->open());
    EXPECT_TRUE(pair.output->open());
    return pair;
  }

  std::shared_ptr<RunLoop> loop;
};

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = char('a' + (i * 7 + i / 251) % 26);
  return s;
}

} // namespace

// --- A whole conversation ---------------------------------------------------------------------

TEST_F(SocketStreamTest, ConnectsExchangesBytesAndReportsTheEndOnceEverythingWasRead) {
  LoopbackListener peer;
  EventLog inEvents, outEvents;
  auto pair = openPair(peer.port, inEvents, outEvents);
  EXPECT_EQ(pair.input->status(), StreamStatus::Opening);
  int conn = peer.acceptOne();
  ASSERT_GE(conn, 0);
  ASSERT_TRUE(runUntil([&] {
    return inEvents.has(StreamEventOpenCompleted) && outEvents.has(StreamEventCanAcceptBytes);
  }));
  EXPECT_EQ(outEvents.count(StreamEventOpenCompleted), 1u);
  EXPECT_EQ(pair.output->status(), StreamStatus::Open);
  EXPECT_GE(pair.input->nativeSocket(), 0);

  const std::string hello = "USER anonymous\r\n";
  EXPECT_EQ(pair.output->write(reinterpret_cast<const uint8_t *>(hello.data()), hello.size()),
            long(hello.size()));
  EXPECT_EQ(recvExactly(conn, hello.size()), hello);

  ASSERT_TRUE(sendAll(conn, "220 ready\r\n"));
  ASSERT_TRUE(runUntil([&] { return inEvents.has(StreamEventHasBytesAvailable); }));
  std::string got;
  drain(*pair.input, got);
  EXPECT_EQ(got, "220 ready\r\n");
  EXPECT_EQ(pair.input->status(), StreamStatus::Open);

  // The peer's last bytes and its close: bytes first, then the end, and reads return 0 after.
  ASSERT_TRUE(sendAll(conn, "221 bye\r\n"));
  ::close(conn);
  ASSERT_TRUE(runUntil([&] {
    drain(*pair.input, got);
    return inEvents.has(StreamEventEndEncountered);
  }));
  EXPECT_EQ(got, "220 ready\r\n221 bye\r\n");
  uint8_t b;
  EXPECT_EQ(pair.input->read(&b, 1), 0);
  EXPECT_EQ(pair.input->status(), StreamStatus::AtEnd);
  EXPECT_EQ(inEvents.count(StreamEventEndEncountered), 1u);
  EXPECT_FALSE(inEvents.has(StreamEventErrorOccurred));
}

TEST_F(SocketStreamTest, BytesEventIsNotRepeatedUntilTheClientReads) {
  LoopbackListener peer;
  EventLog inEvents, outEvents;
  auto pair = openPair(peer.port, inEvents, outEvents);
  int conn = peer.acceptOne();
  ASSERT_TRUE(sendAll(conn, "one"));
  ASSERT_TRUE(runUntil([&] { return inEvents.has(StreamEventHasBytesAvailable); }));
  ASSERT_TRUE(sendAll(conn, "two"));
  // More bytes arrive, but without a read no second event comes.
  loop->runUntil([] { return false; }, testsupport::scaled(std::chrono::milliseconds(200)));
  EXPECT_EQ(inEvents.count(StreamEventHasBytesAvailable), 1u);
  uint8_t buf[2];
  EXPECT_EQ(pair.input->read(buf, 2), 2); // a partial read re-arms: bytes remain
  ASSERT_TRUE(runUntil([&] { return inEvents.count(StreamEventHasBytesAvailable) == 2; }));
  std::string rest;
  drain(*pair.input, rest);
  EXPECT_EQ(rest, "etwo");
  ::close(conn);
}

TEST_F(SocketStreamTest, EventsOfAStreamScheduledOnAWorkerArriveOnThatThread) {
  LoopbackListener peer;
  auto worker = startThread("stream-worker", nullptr, true);
  EventLog inEvents, outEvents;
  auto pair = createSocketStreamPair("127.0.0.1", peer.port);
  pair.input->setClient(kAllEvents, inEvents.callback());
  pair.output->setClient(kAllEvents, outEvents.callback());
  pair.input->scheduleWithRunLoop(worker);
  pair.output->scheduleWithRunLoop(worker);
  ASSERT_TRUE(pair.input->open());
  ASSERT_TRUE(pair.output->open());
  int conn = peer.acceptOne();
  ASSERT_TRUE(sendAll(conn, "x"));
  ASSERT_TRUE(runUntil([&] { return inEvents.has(StreamEventHasBytesAvailable); }));
  {
    std::lock_guard lock(inEvents.mutex);
    for (auto id : inEvents.threads)
      EXPECT_EQ(id, worker->threadId());
  }
  pair.input->close();
  pair.output->close();
  ::close(conn);
  worker->stop();
}

TEST_F(SocketStreamTest, UnscheduledStreamHoldsItsEventsUntilScheduledAgain) {
  LoopbackListener peer;
  EventLog inEvents, outEvents;
  auto pair = openPair(peer.port, inEvents, outEvents);
  int conn = peer.acceptOne();
  ASSERT_TRUE(runUntil([&] { return inEvents.has(StreamEventOpenCompleted); }));
  pair.input->unscheduleFromRunLoop();
  ASSERT_TRUE(sendAll(conn, "queued"));
  loop->runUntil([] { return false; }, testsupport::scaled(std::chrono::milliseconds(200)));
  EXPECT_FALSE(inEvents.has(StreamEventHasBytesAvailable));
  // The write stream, still scheduled, goes on working meanwhile.
  const std::string ping = "NOOP\r\n";
  EXPECT_EQ(pair.output->write(reinterpret_cast<const uint8_t *>(ping.data()), ping.size()),
            long(ping.size()));
  EXPECT_EQ(recvExactly(conn, ping.size()), ping);
  pair.input->scheduleWithRunLoop(loop);
  ASSERT_TRUE(runUntil([&] { return inEvents.has(StreamEventHasBytesAvailable); }));
  std::string got;
  drain(*pair.input, got);
  EXPECT_EQ(got, "queued");
  ::close(conn);
}

// --- Failures ---------------------------------------------------------------------------------

TEST_F(SocketStreamTest, RefusedConnectionIsAnErrorEventOnBothStreams) {
  uint16_t port;
  {
    LoopbackListener gone; // bound and closed: nothing listens there now
    port = gone.port;
  }
  EventLog inEvents, outEvents;
  auto pair = createSocketStreamPair("127.0.0.1", port);
  pair.input->setClient(kAllEvents, inEvents.callback());
  pair.output->setClient(kAllEvents, outEvents.callback());
  pair.input->scheduleWithRunLoop(loop);
  pair.output->scheduleWithRunLoop(loop);
  bool opened = pair.input->open();
  pair.output->open();
  if (opened) {
    ASSERT_TRUE(runUntil([&] {
      return inEvents.has(StreamEventErrorOccurred) && outEvents.has(StreamEventErrorOccurred);
    }));
  }
  EXPECT_EQ(pair.input->status(), StreamStatus::Error);
  EXPECT_EQ(pair.input->error().domain, StreamError::Domain::Posix);
  EXPECT_EQ(pair.input->error().code, ECONNREFUSED);
  EXPECT_FALSE(inEvents.has(StreamEventOpenCompleted));
  uint8_t b;
  EXPECT_EQ(pair.input->read(&b, 1), -1);
  EXPECT_EQ(pair.output->write(&b, 1), -1);
}

TEST_F(SocketStreamTest, EmptyHostFailsAtOnce) {
  auto pair = createSocketStreamPair("", 21);
  pair.input->scheduleWithRunLoop(loop);
  EXPECT_FALSE(pair.input->open());
  EXPECT_EQ(pair.input->status(), StreamStatus::Error);
  EXPECT_EQ(pair.input->error().domain, StreamError::Domain::NameResolution);
  EXPECT_FALSE(pair.input->error().text.empty());
}

TEST_F(SocketStreamTest, ResetByThePeerIsAnErrorNotAnEnd) {
  LoopbackListener peer;
  EventLog inEvents, outEvents;
  auto pair = openPair(peer.port, inEvents, outEvents);
  int conn = peer.acceptOne();
  ASSERT_TRUE(runUntil([&] { return outEvents.has(StreamEventOpenCompleted); }));
  linger hard{1, 0}; // close with RST
  ::setsockopt(conn, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(conn);
  ASSERT_TRUE(runUntil([&] { return inEvents.has(StreamEventErrorOccurred); }));
  EXPECT_EQ(pair.input->error().code, ECONNRESET);
  EXPECT_FALSE(inEvents.has(StreamEventEndEncountered));
}

TEST_F(SocketStreamTest, IPv6LoopbackAndNamesAreResolved) {
  // "localhost" resolves through the system's resolver (hosts file) and may give ::1 first.
  LoopbackListener peer;
  EventLog inEvents, outEvents;
  auto pair = openPair(peer.port, inEvents, outEvents, "localhost");
  int conn = peer.acceptOne();
  ASSERT_GE(conn, 0);
  ASSERT_TRUE(runUntil([&] { return outEvents.has(StreamEventOpenCompleted); }));
  ::close(conn);

  int fd6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  if (::bind(fd6, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    ::close(fd6);
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  ::listen(fd6, 4);
  socklen_t len = sizeof a;
  ::getsockname(fd6, reinterpret_cast<sockaddr *>(&a), &len);
  EventLog in6, out6;
  auto pair6 = openPair(ntohs(a.sin6_port), in6, out6, "::1");
  ASSERT_TRUE(runUntil([&] { return out6.has(StreamEventOpenCompleted); }));
  ::close(fd6);
}

// --- Writing: short writes, back-pressure, close ---------------------------------------------

TEST_F(SocketStreamTest, PeerThatStopsReadingGivesShortWritesThenRoomAgainWithNothingLost) {
  LoopbackListener peer;
  EventLog inEvents, outEvents;
  auto pair = openPair(peer.port, inEvents, outEvents);
  int conn = peer.acceptOne();
  ASSERT_TRUE(runUntil([&] { return outEvents.has(StreamEventCanAcceptBytes); }));

  // Write until the stream takes nothing more: the peer does not read.
  const std::string data = pattern(64 * 1024 * 1024);
  size_t taken = 0;
  bool sawShort = false;
  for (int rounds = 0; rounds < 100000 && taken < data.size(); ++rounds) {
    size_t want = std::min<size_t>(100000, data.size() - taken);
    long n = pair.output->write(reinterpret_cast<const uint8_t *>(data.data() + taken), want);
    ASSERT_GE(n, 0);
    taken += size_t(n);
    if (size_t(n) < want) {
      sawShort = true;
      if (n == 0) {
        loop->runUntil([] { return false; }, testsupport::scaled(std::chrono::milliseconds(50)));
        if (pair.output->write(reinterpret_cast<const uint8_t *>(data.data() + taken), 1) == 0)
          break;
        taken += 1;
      }
    }
    loop->runPending();
  }
  ASSERT_TRUE(sawShort);
  ASSERT_LT(taken, data.size()) << "the stream must push back on a peer that does not read";
  EXPECT_FALSE(pair.output->hasSpaceAvailable());

  // The peer reads everything: room comes back (event after the write) and the bytes are exact.
  size_t before = outEvents.count(StreamEventCanAcceptBytes);
  std::string received;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    received = recvExactly(conn, taken);
    done = true;
  });
  EXPECT_TRUE(runUntil([&] { return outEvents.count(StreamEventCanAcceptBytes) > before; }));
  EXPECT_TRUE(runUntil([&] { return done.load(); }));
  reader.join();
  EXPECT_EQ(received.size(), taken);
  EXPECT_TRUE(received == data.substr(0, taken));
  ::close(conn);
}

TEST_F(SocketStreamTest, ClosingRightAfterAWriteStillSendsEveryByteEvenWithUnreadInput) {
  LoopbackListener peer;
  EventLog inEvents, outEvents;
  auto pair = openPair(peer.port, inEvents, outEvents);
  int conn = peer.acceptOne();
  ASSERT_TRUE(runUntil([&] { return outEvents.has(StreamEventCanAcceptBytes); }));
  // Bytes we never read, more than the read-ahead takes: closing a socket over unread input
  // resets the connection, and a reset throws away what was still on its way to the peer.
  ASSERT_TRUE(sendAll(conn, std::string(256 * 1024, 'u')));
  ASSERT_TRUE(runUntil([&] { return inEvents.has(StreamEventHasBytesAvailable); }));
  const std::string data = pattern(24 * 1024 * 1024); // more than the socket buffers hold
  std::string received;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    ::usleep(200 * 1000); // let the writer fill every buffer first
    received = recvUntilClosed(conn);
    done = true;
  });
  size_t taken = 0;
  while (taken < data.size()) {
    long n = pair.output->write(reinterpret_cast<const uint8_t *>(data.data() + taken),
                                data.size() - taken);
    ASSERT_GE(n, 0);
    taken += size_t(n);
    if (n == 0)
      loop->runUntil([] { return false; }, testsupport::scaled(std::chrono::milliseconds(5)));
  }
  pair.input->close();
  pair.output->close();
  pair = {};
  // The loop must keep running for the last buffered bytes to go out.
  EXPECT_TRUE(runUntil([&] { return done.load(); }));
  reader.join();
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
  ::close(conn);
}

TEST_F(SocketStreamTest, ClosedStreamGetsNoMoreEvents) {
  LoopbackListener peer;
  EventLog inEvents, outEvents;
  auto pair = openPair(peer.port, inEvents, outEvents);
  int conn = peer.acceptOne();
  ASSERT_TRUE(runUntil([&] { return inEvents.has(StreamEventOpenCompleted); }));
  pair.input->close();
  ASSERT_TRUE(sendAll(conn, "late bytes"));
  ::close(conn);
  loop->runUntil([] { return false; }, testsupport::scaled(std::chrono::milliseconds(200)));
  EXPECT_FALSE(inEvents.has(StreamEventHasBytesAvailable));
  EXPECT_FALSE(inEvents.has(StreamEventEndEncountered));
  EXPECT_EQ(pair.input->status(), StreamStatus::Closed);
  uint8_t b;
  EXPECT_EQ(pair.input->read(&b, 1), -1);
}

// --- Pairs on accepted sockets ----------------------------------------------------------------

TEST_F(SocketStreamTest, PairOnANativeSocketClosesItWhenBothStreamsCloseUnlessTold) {
  LoopbackListener server;
  for (bool closeIt : {true, false}) {
    int client = connectTo(server.port);
    int accepted = server.acceptOne();
    ASSERT_GE(accepted, 0);
    EventLog inEvents, outEvents;
    auto pair = createSocketStreamPairWithNativeSocket(accepted, closeIt);
    ASSERT_TRUE(pair);
    pair.input->setClient(kAllEvents, inEvents.callback());
    pair.output->setClient(kAllEvents, outEvents.callback());
    pair.input->scheduleWithRunLoop(loop);
    pair.output->scheduleWithRunLoop(loop);
    ASSERT_TRUE(pair.input->open());
    ASSERT_TRUE(pair.output->open());
    ASSERT_TRUE(runUntil([&] {
      return inEvents.has(StreamEventOpenCompleted) && outEvents.has(StreamEventOpenCompleted);
    }));
    EXPECT_EQ(pair.input->nativeSocket(), accepted);
    ASSERT_TRUE(sendAll(client, "hello"));
    std::string got;
    ASSERT_TRUE(runUntil([&] {
      drain(*pair.input, got);
      return got == "hello";
    }));
    pair.input->close();
    EXPECT_GE(::fcntl(accepted, F_GETFD), 0) << "one closed stream keeps the socket";
    pair.output->close();
    loop->runUntil([] { return false; }, testsupport::scaled(std::chrono::milliseconds(50)));
    if (closeIt) {
      EXPECT_EQ(recvUntilClosed(client, 5000), "") << "the peer sees the close";
    } else {
      EXPECT_GE(::fcntl(accepted, F_GETFD), 0) << "the caller keeps its socket";
      ::close(accepted);
    }
    ::close(client);
  }
  EXPECT_FALSE(createSocketStreamPairWithNativeSocket(-1));
  EXPECT_FALSE(createSocketStreamPairWithNativeSocket(-1, true, true));
}

// --- Accepted connections as a server sees them
// ---------------------------------------------------

namespace {
// A pair on the accepted end of a fresh loopback connection, scheduled and opened; `client` is
// the far end.
SocketStreamPair acceptedPair(LoopbackListener &server, int &client, EventLog &in, EventLog &out,
                              const std::shared_ptr<RunLoop> &loop) {
  client = connectTo(server.port);
  // Accepted as ListeningSocket accepts, and said so.
  const int accepted = server.acceptOne();
  if (accepted >= 0) ::fcntl(accepted, F_SETFL, ::fcntl(accepted, F_GETFL) | O_NONBLOCK);
  auto pair = createSocketStreamPairWithNativeSocket(accepted, true, true);
  if (!pair) return pair;
  pair.input->setClient(kAllEvents, in.callback());
  pair.output->setClient(kAllEvents, out.callback());
  pair.input->scheduleWithRunLoop(loop);
  pair.output->scheduleWithRunLoop(loop);
  pair.input->open();
  pair.output->open();
  return pair;
}
} // namespace

TEST_F(SocketStreamTest, RequestsOfAnySizeArriveWholeWithTheEndAfterThem) {
  LoopbackListener server;
  // Around the size of the first receive, and far beyond it.
  for (size_t size :
       {size_t(1), size_t(4095), size_t(4096), size_t(4097), size_t(16384), size_t(300000)}) {
    int client = -1;
    EventLog inEvents, outEvents;
    auto pair = acceptedPair(server, client, inEvents, outEvents, loop);
    ASSERT_TRUE(pair);
    const std::string data = pattern(size);
    std::thread sender([&] {
      sendAll(client, data.substr(0, size / 2));
      ::usleep(10 * 1000);
      sendAll(client, data.substr(size / 2));
      ::shutdown(client, SHUT_WR);
    });
    std::string got;
    EXPECT_TRUE(runUntil([&] {
      drain(*pair.input, got);
      return inEvents.has(StreamEventEndEncountered);
    })) << size;
    sender.join();
    EXPECT_EQ(got.size(), size);
    EXPECT_TRUE(got == data) << size;
    EXPECT_EQ(pair.input->status(), StreamStatus::AtEnd);
    pair.input->close();
    pair.output->close();
    ::close(client);
  }
}

TEST_F(SocketStreamTest, LastBytesLeaveWithTheEndAndAWriteAfterThemGoesAtOnce) {
  LoopbackListener server;
  auto send = [](SocketOutputStream &out, const std::string &text, bool last) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(text.data());
    return last ? out.writeLast(bytes, text.size()) : out.write(bytes, text.size());
  };
  {
    // Said to be the last, then more after all: nothing waits for a close that does not come.
    int client = -1;
    EventLog inEvents, outEvents;
    auto pair = acceptedPair(server, client, inEvents, outEvents, loop);
    ASSERT_TRUE(runUntil([&] { return outEvents.has(StreamEventCanAcceptBytes); }));
    EXPECT_EQ(send(*pair.output, "short reply", true), 11);
    EXPECT_EQ(send(*pair.output, "!", false), 1);
    EXPECT_EQ(recvExactly(client, 12), "short reply!");
    pair.input->close();
    pair.output->close();
    EXPECT_EQ(recvUntilClosed(client), "");
    ::close(client);
  }
  // A reply, small or larger than the socket takes at once, then the web server's close (the
  // streams unscheduled first), made on the loop's thread or on another one.
  for (const size_t size : {size_t(300), size_t(3 << 20)}) {
    for (const bool fromOtherThread : {false, true}) {
      int client = -1;
      EventLog inEvents, outEvents;
      auto pair = acceptedPair(server, client, inEvents, outEvents, loop);
      ASSERT_TRUE(runUntil([&] { return outEvents.has(StreamEventCanAcceptBytes); }));
      const std::string data = pattern(size);
      std::string received;
      std::atomic<bool> done{false};
      std::thread reader([&] {
        received = recvUntilClosed(client);
        done = true;
      });
      size_t taken = 0;
      while (taken < data.size()) {
        const long n = send(*pair.output, data.substr(taken, 256 * 1024), true);
        ASSERT_GE(n, 0);
        taken += size_t(n);
        if (n == 0) runUntil([&] { return pair.output->hasSpaceAvailable(); });
      }
      auto closeAll = [&] {
        pair.input->unscheduleFromRunLoop();
        pair.output->unscheduleFromRunLoop();
        pair.input->close();
        pair.output->close();
      };
      if (fromOtherThread)
        std::thread(closeAll).join();
      else
        closeAll();
      pair = {};
      EXPECT_TRUE(runUntil([&] { return done.load(); })) << size << " " << fromOtherThread;
      reader.join();
      EXPECT_EQ(received.size(), size);
      EXPECT_TRUE(received == data) << size << " " << fromOtherThread;
      ::close(client);
    }
  }
}
