// TLS on socket stream pairs against real TLS servers on loopback: a Python server that greets in
// plain text and upgrades the same connection (the explicit pattern), and openssl s_server for TLS
// from the first byte (the implicit pattern). Session reuse is checked by the servers' own reports.
#include "tests/platform/net/NetTestSupport.h"
#include "tests/support/TestSupport.h"

#include "platform/net/SocketStream.h"

#include <gtest/gtest.h>

#include <thread>

using namespace platform;
using namespace platform::net;
using namespace nettest;

namespace {

// Greets, reads one command line; "AUTH TLS" gets 234 and the same socket goes TLS and echoes
// until the client closes; "AUTH DROP" gets 234 and the socket is closed (a handshake that never
// happens). After each TLS handshake it writes "reused=0|1" to its standard output.
const char *kUpgradeServer = R"PY(
import socket, ssl, sys, threading
cert, key, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(cert, key)
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(('127.0.0.1', port))
srv.listen(8)

def serve(c):
    try:
        c.sendall(b'220 plain greeting\r\n')
        line = b''
        while not line.endswith(b'\n'):
            b = c.recv(1)
            if not b:
                return
            line += b
        if line.startswith(b'AUTH DROP'):
            c.sendall(b'234 go ahead\r\n')
            c.close()
            return
        c.sendall(b'234 go ahead\r\n')
        s = ctx.wrap_socket(c, server_side=True)
        print('reused=%d' % (1 if s.session_reused else 0), flush=True)
        while True:
            data = s.recv(65536)
            if not data:
                break
            s.sendall(data)
        s.close()
    except Exception as e:
        print('error=%s' % e, flush=True)

while True:
    c, _ = srv.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
)PY";

class TlsInteropTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    loop = RunLoop::current();
    cert = dir.file("cert.pem");
    key = dir.file("key.pem");
    ASSERT_TRUE(testsupport::makeSelfSignedCert(cert, key, "ferrowen-test.example"));
  }
  bool runUntil(const std::function<bool()> &cond) {
    return loop->runUntil(cond, testsupport::scaled(kLimit));
  }

  struct Conn {
    SocketStreamPair pair;
    std::unique_ptr<EventLog> in = std::make_unique<EventLog>();
    std::unique_ptr<EventLog> out = std::make_unique<EventLog>();
    std::string received;
  };

  std::unique_ptr<Conn> connect(uint16_t port, const TlsSettings *tlsFromStart = nullptr) {
    auto c = std::make_unique<Conn>();
    c->pair = createSocketStreamPair("127.0.0.1", port);
    if (tlsFromStart) {
      EXPECT_TRUE(c->pair.input->setTlsSettings(*tlsFromStart));
    }
    c->pair.input->setClient(kAllEvents, c->in->callback());
    c->pair.output->setClient(kAllEvents, c->out->callback());
    c->pair.input->scheduleWithRunLoop(loop);
    c->pair.output->scheduleWithRunLoop(loop);
    EXPECT_TRUE(c->pair.input->open());
    EXPECT_TRUE(c->pair.output->open());
    return c;
  }

  void send(Conn &c, const std::string &text) {
    size_t done = 0;
    ASSERT_TRUE(runUntil([&] {
      long n = c.pair.output->write(reinterpret_cast<const uint8_t *>(text.data() + done),
                                    text.size() - done);
      if (n > 0) done += size_t(n);
      return done == text.size() || n < 0;
    }));
    ASSERT_EQ(done, text.size());
  }

  // Runs the loop until `received` contains the text (or an error or the end comes).
  bool waitFor(Conn &c, const std::string &text) {
    runUntil([&] {
      drain(*c.pair.input, c.received);
      return c.received.find(text) != std::string::npos || c.in->has(StreamEventErrorOccurred) ||
             c.in->has(StreamEventEndEncountered);
    });
    drain(*c.pair.input, c.received);
    return c.received.find(text) != std::string::npos;
  }

  // Connects, upgrades in band after the plain exchange, and echoes a line under TLS.
  std::unique_ptr<Conn> upgradeAndEcho(uint16_t port, const TlsSettings &settings,
                                       const std::string &line) {
    auto c = connect(port);
    EXPECT_TRUE(waitFor(*c, "220 plain greeting\r\n"));
    send(*c, "AUTH TLS\r\n");
    EXPECT_TRUE(waitFor(*c, "234 go ahead\r\n"));
    EXPECT_TRUE(c->pair.output->setTlsSettings(settings));
    EXPECT_TRUE(c->pair.input->setTlsSettings(settings))
        << "both streams may be given the settings";
    send(*c, line);
    EXPECT_TRUE(waitFor(*c, line));
    return c;
  }

  testsupport::TempDir dir{"ferrowen-tls"};
  std::string cert, key;
  std::shared_ptr<RunLoop> loop;
};

int countOf(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
    ++n;
  return n;
}

} // namespace

TEST_F(TlsInteropTest, InBandUpgradeEchoesReadsTheChainAndTheNextConnectionResumesTheSession) {
  ASSERT_TRUE(testsupport::writeFile(dir.file("server.py"), kUpgradeServer));
  int port = testsupport::freeTcpPort();
  testsupport::Process server(
      {"/usr/bin/python3", dir.file("server.py"), cert, key, std::to_string(port)}, dir.path());
  ASSERT_TRUE(testsupport::waitForTcpPort(port));

  auto cache = std::make_shared<TlsSessionCache>();
  TlsSettings control;
  control.sessionCache = cache;
  auto first = upgradeAndEcho(uint16_t(port), control, "PBSZ 0\r\n");
  EXPECT_TRUE(first->pair.input->isTlsEstablished());
  EXPECT_FALSE(first->pair.input->tlsSessionReused());
  EXPECT_FALSE(first->pair.input->tlsProtocolVersion().empty());
  EXPECT_EQ(first->received, "220 plain greeting\r\n234 go ahead\r\nPBSZ 0\r\n")
      << "plain bytes before the upgrade and TLS bytes after it arrive in order";
  auto chain = first->pair.input->peerCertificates();
  ASSERT_EQ(chain.size(), 1u);
  EXPECT_EQ(chain[0].subjectSummary, "ferrowen-test.example");
  EXPECT_NE(chain[0].subject.find("ferrowen-test.example"), std::string::npos);
  EXPECT_EQ(chain[0].publicKeyBits, 2048);
  EXPECT_TRUE(cache->hasSession());

  // A large echo under TLS: many records, back-pressure on both sides, nothing lost.
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i)
    big[i] = char('A' + i % 23);
  first->received.clear();
  std::string sent;
  size_t done = 0;
  ASSERT_TRUE(runUntil([&] {
    if (done < big.size()) {
      long n = first->pair.output->write(reinterpret_cast<const uint8_t *>(big.data() + done),
                                         big.size() - done);
      if (n > 0) done += size_t(n);
    }
    drain(*first->pair.input, first->received);
    return first->received.size() >= big.size();
  }));
  EXPECT_TRUE(first->received == big);

  // The data connection: resumes the control connection's session, stores nothing of its own.
  TlsSettings data;
  data.sessionCache = cache;
  data.storesSessions = false;
  auto second = upgradeAndEcho(uint16_t(port), data, "LIST\r\n");
  EXPECT_TRUE(second->pair.input->tlsSessionReused());

  // A connection without the cache gets a new session.
  auto third = upgradeAndEcho(uint16_t(port), TlsSettings{}, "NOOP\r\n");
  EXPECT_FALSE(third->pair.input->tlsSessionReused());

  for (auto *c : {first.get(), second.get(), third.get()}) {
    c->pair.input->close();
    c->pair.output->close();
  }
  ASSERT_TRUE(runUntil([&] { return countOf(server.output(), "reused=") == 3; }));
  std::string report = server.output();
  EXPECT_EQ(report.find("reused=0\nreused=1\nreused=0\n"), 0u) << report;
}

TEST_F(TlsInteropTest, ServerThatClosesInsteadOfTheHandshakeGivesAnErrorEvent) {
  ASSERT_TRUE(testsupport::writeFile(dir.file("server.py"), kUpgradeServer));
  int port = testsupport::freeTcpPort();
  testsupport::Process server(
      {"/usr/bin/python3", dir.file("server.py"), cert, key, std::to_string(port)}, dir.path());
  ASSERT_TRUE(testsupport::waitForTcpPort(port));

  auto c = connect(uint16_t(port));
  ASSERT_TRUE(waitFor(*c, "220 plain greeting\r\n"));
  send(*c, "AUTH DROP\r\n");
  ASSERT_TRUE(waitFor(*c, "234 go ahead\r\n"));
  ASSERT_TRUE(c->pair.input->setTlsSettings(TlsSettings{}));
  ASSERT_TRUE(runUntil([&] {
    return c->in->has(StreamEventErrorOccurred) && c->out->has(StreamEventErrorOccurred);
  }));
  EXPECT_EQ(c->pair.input->error().domain, StreamError::Domain::Tls);
  EXPECT_NE(c->pair.input->error().text.find("TLS handshake failed"), std::string::npos);
  EXPECT_FALSE(c->pair.input->isTlsEstablished());
  EXPECT_FALSE(c->in->has(StreamEventEndEncountered));
}

TEST_F(TlsInteropTest, TlsFromTheStartAgainstAPlainServerIsAnErrorNotAHang) {
  LoopbackListener plain;
  TlsSettings settings;
  auto c = connect(plain.port, &settings);
  int conn = plain.acceptOne();
  ASSERT_GE(conn, 0);
  ASSERT_TRUE(sendAll(conn, "220 this is not TLS at all\r\n"));
  ASSERT_TRUE(runUntil([&] { return c->in->has(StreamEventErrorOccurred); }));
  EXPECT_EQ(c->pair.input->error().domain, StreamError::Domain::Tls);
  EXPECT_TRUE(c->in->has(StreamEventOpenCompleted)) << "the TCP connection itself stood";
  ::close(conn);
}

// openssl s_server -www answers each request with a page that says "New," or "Reused," for the
// session of that connection.
TEST_F(TlsInteropTest, TlsFromTheStartWithOpensslServerResumesSessionsInBothProtocolVersions) {
  for (const char *version : {"-tls1_3", "-tls1_2"}) {
    SCOPED_TRACE(version);
    int port = testsupport::freeTcpPort();
    testsupport::Process server({"openssl", "s_server", "-accept",
                                 "127.0.0.1:" + std::to_string(port), "-cert", cert, "-key", key,
                                 "-www", version},
                                dir.path());
    ASSERT_TRUE(testsupport::waitForTcpPort(port));
    auto cache = std::make_shared<TlsSessionCache>();
    TlsSettings settings;
    settings.sessionCache = cache;
    std::vector<std::string> pages;
    for (int i = 0; i < 2; ++i) {
      auto c = connect(uint16_t(port), &settings);
      send(*c, "GET / HTTP/1.0\r\n\r\n");
      ASSERT_TRUE(runUntil([&] {
        drain(*c->pair.input, c->received);
        return c->in->has(StreamEventEndEncountered) || c->in->has(StreamEventErrorOccurred);
      }));
      drain(*c->pair.input, c->received);
      EXPECT_TRUE(c->in->has(StreamEventEndEncountered)) << c->pair.input->error().text;
      EXPECT_EQ(c->pair.input->status(), StreamStatus::AtEnd);
      EXPECT_EQ(c->pair.input->tlsProtocolVersion(),
                std::string(version) == "-tls1_3" ? "TLSv1.3" : "TLSv1.2");
      auto chain = c->pair.input->peerCertificates();
      ASSERT_FALSE(chain.empty());
      EXPECT_EQ(chain[0].subjectSummary, "ferrowen-test.example");
      EXPECT_EQ(c->pair.input->tlsSessionReused(), i == 1);
      pages.push_back(c->received);
      c->pair.input->close();
      c->pair.output->close();
    }
    EXPECT_NE(pages[0].find("New,"), std::string::npos) << pages[0].substr(0, 400);
    EXPECT_NE(pages[1].find("Reused,"), std::string::npos) << pages[1].substr(0, 400);
  }
}
