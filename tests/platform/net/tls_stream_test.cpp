// TLS streams against a TLS 1.3 server in this process. Session tickets across connections that
// share a session cache, handed out as the test says: a ticket that comes only after the client's
// bytes is still taken in by a connection that closes at once, and when no fresh ticket is left
// the newest is offered again (each connection writes a few bytes and closes, as a small upload
// on an FTP data connection does). And a peer that goes away, or refuses us, while we write.
#include "tests/platform/net/NetTestSupport.h"
#include "tests/support/TestSupport.h"

#include "platform/net/SocketStream.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>

using namespace platform;
using namespace platform::net;
using namespace nettest;

namespace {

// Serves one connection after the other: the handshake, `atOnce` tickets, the client's bytes,
// then (a moment later, as a busy server would) `afterBytes` tickets, then reads up to the
// client's close_notify and answers it. Each ticket carries a number; a single-use server takes
// each number once and makes a full handshake for a ticket it saw before.
class TicketServer {
public:
  struct Plan {
    int atOnce = 0, afterBytes = 0;
    bool vanish = false; // after the handshake the connection is closed, nothing read
    // A certificate is asked for and its absence refused: under TLS 1.3 the alert comes after
    // the client's side of the handshake has ended, and the connection is then reset.
    bool refuse = false;
  };
  struct Served {
    bool resumed = false;
    std::string bytes;
  };

  TicketServer(const std::string &cert, const std::string &key, bool singleUse,
               std::function<Plan(int)> plan)
      : singleUse_(singleUse), plan_(std::move(plan)) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(ctx_, TLS1_3_VERSION);
    SSL_CTX_use_certificate_chain_file(ctx_, cert.c_str());
    SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_num_tickets(ctx_, 0); // only the tickets the plan asks for
    SSL_CTX_set_session_ticket_cb(ctx_, generated, decrypted, this);
    thread_ = std::thread([this] { run(); });
  }
  ~TicketServer() {
    stop_ = true;
    thread_.join();
    SSL_CTX_free(ctx_);
  }
  uint16_t port() const { return listener_.port; }
  std::vector<Served> served() {
    std::lock_guard lock(mutex_);
    return served_;
  }

private:
  static int generated(SSL *ssl, void *arg) {
    auto *self = static_cast<TicketServer *>(arg);
    uint64_t number;
    {
      std::lock_guard lock(self->mutex_);
      number = self->nextTicket_++;
    }
    return SSL_SESSION_set1_ticket_appdata(SSL_get0_session(ssl), &number, sizeof number);
  }
  static SSL_TICKET_RETURN decrypted(SSL *, SSL_SESSION *session, const unsigned char *, size_t,
                                     SSL_TICKET_STATUS status, void *arg) {
    auto *self = static_cast<TicketServer *>(arg);
    if (status != SSL_TICKET_SUCCESS && status != SSL_TICKET_SUCCESS_RENEW)
      return SSL_TICKET_RETURN_IGNORE;
    void *data = nullptr;
    size_t length = 0;
    uint64_t number = 0;
    if (!SSL_SESSION_get0_ticket_appdata(session, &data, &length) || length != sizeof number)
      return SSL_TICKET_RETURN_IGNORE;
    std::memcpy(&number, data, sizeof number);
    std::lock_guard lock(self->mutex_);
    if (self->singleUse_ && !self->used_.insert(number).second) return SSL_TICKET_RETURN_IGNORE;
    return SSL_TICKET_RETURN_USE;
  }

  void sendTickets(SSL *ssl, int count) {
    for (int i = 0; i < count; ++i)
      SSL_new_session_ticket(ssl);
    if (count > 0) SSL_do_handshake(ssl);
  }

  void run() {
    for (int index = 0; !stop_; ++index) {
      int fd = -1;
      while (!stop_ && fd < 0)
        fd = listener_.acceptOne(100);
      if (fd < 0) return;
      SSL *ssl = SSL_new(ctx_);
      SSL_set_fd(ssl, fd);
      Served one;
      const Plan plan = plan_(index);
      if (plan.refuse) {
        SSL_set_verify(ssl, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        // The server takes its time over the client's last flight, as a loaded one does: the
        // client has ended its handshake well before the refusal comes.
        SSL_set_msg_callback(
            ssl, [](int written, int, int type, const void *message, size_t length, SSL *, void *) {
              if (!written && type == SSL3_RT_HANDSHAKE && length > 0 &&
                  *static_cast<const unsigned char *>(message) == SSL3_MT_CERTIFICATE)
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            });
      }
      const bool accepted = SSL_accept(ssl) == 1;
      if (accepted && plan.vanish) {
        // Closed below without a word: no close_notify, nothing read.
      } else if (accepted) {
        one.resumed = SSL_session_reused(ssl) == 1;
        sendTickets(ssl, plan.atOnce);
        char buffer[4096];
        int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n > 0) {
          one.bytes.assign(buffer, size_t(n));
          std::this_thread::sleep_for(std::chrono::milliseconds(30));
          sendTickets(ssl, plan.afterBytes);
          while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
            one.bytes.append(buffer, size_t(n));
        }
        SSL_shutdown(ssl);
      }
      ERR_clear_error();
      SSL_free(ssl);
      if (plan.refuse) {
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      }
      ::close(fd);
      std::lock_guard lock(mutex_);
      served_.push_back(one);
    }
  }

  LoopbackListener listener_;
  SSL_CTX *ctx_ = nullptr;
  const bool singleUse_;
  const std::function<Plan(int)> plan_;
  std::mutex mutex_;
  std::vector<Served> served_;
  std::set<uint64_t> used_;
  uint64_t nextTicket_ = 1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct TicketCase {
  const char *label;
  bool singleUse;
  int firstAtOnce, eachAfterBytes;
  std::vector<bool> resumed; // per connection, the first one first
};

void PrintTo(const TicketCase &c, std::ostream *out) {
  *out << c.label;
}

class TlsStreamTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    loop = RunLoop::current();
    ASSERT_TRUE(testsupport::makeSelfSignedCert(dir.file("cert.pem"), dir.file("key.pem")));
  }

  struct Client {
    SocketStreamPair pair;
    EventLog in, out;
  };
  // A connection with TLS from the start, open and scheduled on this thread's loop.
  std::unique_ptr<Client> connect(uint16_t port, const std::shared_ptr<TlsSessionCache> &cache) {
    auto c = std::make_unique<Client>();
    c->pair = createSocketStreamPair("127.0.0.1", port);
    TlsSettings tls;
    tls.sessionCache = cache;
    c->pair.input->setTlsSettings(tls);
    c->pair.input->setClient(kAllEvents, c->in.callback());
    c->pair.output->setClient(kAllEvents, c->out.callback());
    c->pair.input->scheduleWithRunLoop(loop);
    c->pair.output->scheduleWithRunLoop(loop);
    c->pair.input->open();
    c->pair.output->open();
    return c;
  }

  // One connection that writes `text` as soon as TLS stands and closes at once; whether it
  // resumed a session. Returns once the connection has ended on our side too.
  bool writeAndClose(uint16_t port, const std::shared_ptr<TlsSessionCache> &cache,
                     const std::string &text) {
    auto c = connect(port, cache);
    EXPECT_TRUE(loop->runUntil([&] { return c->out.has(StreamEventCanAcceptBytes); },
                               testsupport::scaled(kLimit)));
    const bool resumed = c->pair.input->tlsSessionReused();
    EXPECT_EQ(c->pair.output->write(reinterpret_cast<const uint8_t *>(text.data()), text.size()),
              long(text.size()));
    c->pair.input->close();
    c->pair.output->close();
    EXPECT_TRUE(loop->runUntil([&] { return c->pair.input->nativeSocket() < 0; },
                               testsupport::scaled(kLimit)));
    return resumed;
  }

  testsupport::TempDir dir{"ferrowen-tls-stream"};
  std::shared_ptr<RunLoop> loop;
};

class TlsSessionTest : public TlsStreamTest, public ::testing::WithParamInterface<TicketCase> {};

TEST_P(TlsSessionTest, QuickConnectionsResumeAsTheServerAllows) {
  const TicketCase &c = GetParam();
  TicketServer server(dir.file("cert.pem"), dir.file("key.pem"), c.singleUse, [&](int index) {
    return TicketServer::Plan{index == 0 ? c.firstAtOnce : 0, c.eachAfterBytes};
  });
  auto cache = std::make_shared<TlsSessionCache>();
  std::vector<bool> resumed;
  for (size_t i = 0; i < c.resumed.size(); ++i)
    resumed.push_back(writeAndClose(server.port(), cache, "bytes " + std::to_string(i)));
  EXPECT_EQ(resumed, c.resumed);
  // Resumed or not, every connection's bytes arrived, and the server saw what we saw.
  ASSERT_TRUE(loop->runUntil([&] { return server.served().size() == c.resumed.size(); },
                             testsupport::scaled(kLimit)));
  for (size_t i = 0; i < c.resumed.size(); ++i) {
    EXPECT_EQ(server.served()[i].bytes, "bytes " + std::to_string(i));
    EXPECT_EQ(server.served()[i].resumed, c.resumed[i]) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tickets, TlsSessionTest,
    ::testing::Values(
        // Each connection's ticket comes after its bytes, and each is good once only.
        TicketCase{"LateTicketsForOneUseEach", true, 0, 1, {false, true, true, true, true, true}},
        // One ticket for all, as many servers allow: it is offered again and again.
        TicketCase{"OneTicketForAll", false, 1, 0, {false, true, true, true, true, true}},
        // One ticket, good once: the connections after it make full handshakes, and work.
        TicketCase{"OneTicketGoodOnce", true, 1, 0, {false, true, false, false}}),
    [](const auto &info) { return std::string(info.param.label); });

// Bytes written as soon as the connection is open, the handshake still under way, and the
// streams closed at once (a small upload on a data connection accepted just before): the
// handshake is finished for them and they all arrive. The ticket the server sends after them
// still reaches the next connection.
TEST_F(TlsStreamTest, BytesWrittenDuringTheHandshakeArriveWhenClosedAtOnce) {
  TicketServer server(dir.file("cert.pem"), dir.file("key.pem"), true, [](int) {
    return TicketServer::Plan{0, 1};
  });
  auto cache = std::make_shared<TlsSessionCache>();
  const int connections = 4;
  for (int i = 0; i < connections; ++i) {
    auto c = connect(server.port(), cache);
    ASSERT_TRUE(loop->runUntil([&] { return c->out.has(StreamEventOpenCompleted); },
                               testsupport::scaled(kLimit)));
    const std::string text = "early bytes " + std::to_string(i);
    EXPECT_EQ(c->pair.output->write(reinterpret_cast<const uint8_t *>(text.data()), text.size()),
              long(text.size()));
    c->pair.input->close();
    c->pair.output->close();
    ASSERT_TRUE(loop->runUntil([&] { return server.served().size() == size_t(i + 1); },
                               testsupport::scaled(kLimit)));
    // The server is done before our end of the close has read its ticket: the next connection
    // starts once ours has ended too.
    ASSERT_TRUE(loop->runUntil([&] { return c->pair.input->nativeSocket() < 0; },
                               testsupport::scaled(kLimit)));
    EXPECT_EQ(server.served()[size_t(i)].bytes, text);
    EXPECT_EQ(server.served()[size_t(i)].resumed, i > 0) << i;
  }
}

// The peer has gone (its process ended) while we still write: the writes fail and the streams
// report the error. No signal ends the process, which does not ignore SIGPIPE here (a caller of
// the streams need not).
TEST_F(TlsStreamTest, APeerThatGoesAwayIsAnErrorNotASignal) {
  TicketServer server(dir.file("cert.pem"), dir.file("key.pem"), false, [](int) {
    return TicketServer::Plan{0, 0, true};
  });
  auto c = connect(server.port(), nullptr);
  ASSERT_TRUE(loop->runUntil([&] { return c->out.has(StreamEventCanAcceptBytes); },
                             testsupport::scaled(kLimit)));
  ASSERT_TRUE(
      loop->runUntil([&] { return server.served().size() == 1; }, testsupport::scaled(kLimit)));
  const std::string chunk(16384, 'x');
  for (int i = 0; i < 1000 && !c->out.has(StreamEventErrorOccurred); ++i) {
    c->pair.output->write(reinterpret_cast<const uint8_t *>(chunk.data()), chunk.size());
    loop->runUntil([] { return false; }, testsupport::scaled(std::chrono::milliseconds(2)));
  }
  EXPECT_TRUE(c->out.has(StreamEventErrorOccurred));
  EXPECT_TRUE(loop->runUntil(
      [&] { return c->in.has(StreamEventErrorOccurred) || c->in.has(StreamEventEndEncountered); },
      testsupport::scaled(kLimit)));
  c->pair.input->close();
  c->pair.output->close();
}

// The server refuses us once its handshake is over (it wanted a certificate) and resets the
// connection; our first write meets the reset. The error says what the server said, not only
// that the connection was reset.
TEST_F(TlsStreamTest, ARefusalAfterTheHandshakeIsToldByTheWriteThatMeetsIt) {
  TicketServer server(dir.file("cert.pem"), dir.file("key.pem"), false, [](int) {
    return TicketServer::Plan{0, 0, false, true};
  });
  auto c = connect(server.port(), nullptr);
  ASSERT_TRUE(loop->runUntil([&] { return c->out.has(StreamEventCanAcceptBytes); },
                             testsupport::scaled(kLimit)));
  // The loop is not run meanwhile: the alert waits unread when the write comes.
  for (int i = 0; i < 500 && server.served().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(server.served().size(), 1u);
  const std::string text = "USER someone\r\n";
  c->pair.output->write(reinterpret_cast<const uint8_t *>(text.data()), text.size());
  ASSERT_TRUE(loop->runUntil([&] { return c->out.has(StreamEventErrorOccurred); },
                             testsupport::scaled(kLimit)));
  EXPECT_NE(c->pair.output->error().text.find("certificate required"), std::string::npos)
      << c->pair.output->error().text;
  c->pair.input->close();
  c->pair.output->close();
}

} // namespace
