// The URL connection against Python's web server on loopback: the stock server (no ranges) and a
// small handler for partial content, redirect chains and a server that stalls.
#include "tests/platform/net/NetTestSupport.h"
#include "tests/support/TestSupport.h"

#include "platform/net/URLConnection.h"

#include <gtest/gtest.h>

#include <thread>

using namespace platform;
using namespace platform::net;

namespace {

const char *kHandler = R"PY(
import http.server, socketserver, sys, time, os
port, root = int(sys.argv[1]), sys.argv[2]
class H(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *a, **k):
        super().__init__(*a, directory=root, **k)
    def log_message(self, *a):
        pass
    def do_GET(self):
        if self.path.startswith('/redirect/'):
            n = int(self.path.split('/')[2])
            self.send_response(302)
            self.send_header('Location', '/redirect/%d' % (n - 1) if n > 1 else '/ranged')
            self.send_header('Content-Length', '0')
            self.end_headers()
            return
        if self.path == '/stall':
            self.send_response(200)
            self.send_header('Content-Length', '1000')
            self.end_headers()
            self.wfile.write(b'x' * 10)
            self.wfile.flush()
            time.sleep(30)
            return
        if self.path == '/ranged':
            data = open(os.path.join(root, 'file.bin'), 'rb').read()
            r = self.headers.get('Range')
            start = int(r[6:].split('-')[0]) if r and r.startswith('bytes=') else 0
            if start > 0:
                self.send_response(206)
                self.send_header('Content-Range', 'bytes %d-%d/%d' % (start, len(data) - 1, len(data)))
            else:
                self.send_response(200)
            self.send_header('Content-Type', 'application/octet-stream')
            self.send_header('Content-Length', str(len(data) - start))
            self.end_headers()
            self.wfile.write(data[start:])
            return
        super().do_GET()
class S(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
S(('127.0.0.1', port), H).serve_forever()
)PY";

struct Recorder : URLConnectionDelegate {
  std::vector<URLResponse> responses;
  std::string body;
  int finished = 0;
  std::vector<URLError> failures;
  std::vector<std::thread::id> threads;

  void didReceiveResponse(URLConnection &, const URLResponse &r) override {
    threads.push_back(std::this_thread::get_id());
    responses.push_back(r);
  }
  void didReceiveData(URLConnection &, const std::vector<uint8_t> &d) override {
    threads.push_back(std::this_thread::get_id());
    body.append(d.begin(), d.end());
  }
  void didFinishLoading(URLConnection &) override {
    threads.push_back(std::this_thread::get_id());
    ++finished;
  }
  void didFailWithError(URLConnection &, const URLError &e) override {
    threads.push_back(std::this_thread::get_id());
    failures.push_back(e);
  }
  bool done() const { return finished > 0 || !failures.empty(); }
};

class URLConnectionTest : public ::testing::Test {
protected:
  void SetUp() override {
    RunLoop::makeMainThread();
    loop = RunLoop::current();
    for (int i = 0; i < 100000; ++i)
      content += char(i * 31 % 251);
    ASSERT_TRUE(testsupport::writeFile(dir.file("file.bin"), content));
  }

  // Runs one request to completion on the test's loop.
  std::shared_ptr<Recorder> fetch(const std::string &url,
                                  std::vector<std::pair<std::string, std::string>> headers = {},
                                  double idle = 10, long maxRedirects = 16) {
    auto rec = std::make_shared<Recorder>();
    URLRequest req;
    req.url = url;
    req.headers = std::move(headers);
    req.connectTimeout = 10;
    req.idleTimeout = idle;
    req.maxRedirects = maxRedirects;
    auto conn = URLConnection::start(req, rec, loop);
    EXPECT_TRUE(loop->runUntil([&] { return rec->done(); }, testsupport::scaled(nettest::kLimit)));
    EXPECT_TRUE(conn->isFinished());
    for (auto id : rec->threads)
      EXPECT_EQ(id, std::this_thread::get_id());
    return rec;
  }

  testsupport::Process startHandler(int port) {
    EXPECT_TRUE(testsupport::writeFile(dir.file("handler.py"), kHandler));
    testsupport::Process p(
        {"/usr/bin/python3", dir.file("handler.py"), std::to_string(port), dir.path()},
        logs.path());
    EXPECT_TRUE(testsupport::waitForTcpPort(port));
    return p;
  }
  std::string base(int port) const { return "http://127.0.0.1:" + std::to_string(port); }

  testsupport::TempDir dir{"ferrowen-url"};
  testsupport::TempDir logs{"ferrowen-url-logs"};
  std::string content;
  std::shared_ptr<RunLoop> loop;
};

} // namespace

TEST_F(URLConnectionTest, StockServerAnswersRangedRequestInFullAndMissingFilesWith404) {
  int port = testsupport::freeTcpPort();
  testsupport::Process server({"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1",
                               std::to_string(port), "--directory", dir.path()},
                              logs.path());
  ASSERT_TRUE(testsupport::waitForTcpPort(port));

  // The queue always sends a range; this server ignores it and sends the whole file with 200.
  auto rec = fetch(base(port) + "/file.bin", {{"Range", "bytes=100-"}});
  ASSERT_EQ(rec->responses.size(), 1u);
  EXPECT_EQ(rec->responses[0].statusCode, 200);
  EXPECT_EQ(rec->responses[0].expectedContentLength, (long long)content.size());
  EXPECT_EQ(rec->finished, 1);
  EXPECT_TRUE(rec->failures.empty());
  EXPECT_TRUE(rec->body == content);

  // A missing file is an answer, not a failure: the status tells.
  auto missing = fetch(base(port) + "/nothing-here.bin");
  ASSERT_EQ(missing->responses.size(), 1u);
  EXPECT_EQ(missing->responses[0].statusCode, 404);
  EXPECT_EQ(missing->finished, 1);
  EXPECT_TRUE(missing->failures.empty());
}

TEST_F(URLConnectionTest, PartialContentAndRedirectChains) {
  int port = testsupport::freeTcpPort();
  auto server = startHandler(port);

  auto partial = fetch(base(port) + "/ranged", {{"Range", "bytes=100-"}});
  ASSERT_EQ(partial->responses.size(), 1u);
  EXPECT_EQ(partial->responses[0].statusCode, 206);
  EXPECT_EQ(partial->responses[0].expectedContentLength, (long long)content.size() - 100);
  EXPECT_EQ(partial->responses[0].mimeType, "application/octet-stream");
  EXPECT_TRUE(partial->body == content.substr(100));

  // Three redirects end at the file; only the last answer reaches the delegate.
  auto redirected = fetch(base(port) + "/redirect/3", {{"Range", "bytes=0-"}});
  ASSERT_EQ(redirected->responses.size(), 1u);
  EXPECT_EQ(redirected->responses[0].statusCode, 200);
  EXPECT_EQ(redirected->responses[0].url, base(port) + "/ranged");
  EXPECT_TRUE(redirected->body == content);
  EXPECT_EQ(redirected->finished, 1);

  auto tooMany = fetch(base(port) + "/redirect/5", {}, 10, 2);
  ASSERT_EQ(tooMany->failures.size(), 1u);
  EXPECT_EQ(tooMany->failures[0].message, "Too many HTTP redirects.");
  EXPECT_EQ(tooMany->finished, 0);
}

TEST_F(URLConnectionTest, StalledServerTimesOutAndCancelSilencesTheConnection) {
  int port = testsupport::freeTcpPort();
  auto server = startHandler(port);

  auto stalled = fetch(base(port) + "/stall", {}, 1);
  ASSERT_EQ(stalled->failures.size(), 1u);
  EXPECT_EQ(stalled->failures[0].message, "The request timed out.");
  ASSERT_EQ(stalled->responses.size(), 1u) << "the answer began before it stalled";
  EXPECT_EQ(stalled->responses[0].expectedContentLength, 1000);
  EXPECT_EQ(stalled->body, std::string(10, 'x'));

  // Cancelled once the answer began: nothing more comes, not even the timeout.
  auto rec = std::make_shared<Recorder>();
  URLRequest req;
  req.url = base(port) + "/stall";
  req.idleTimeout = 1;
  auto conn = URLConnection::start(req, rec, loop);
  ASSERT_TRUE(loop->runUntil([&] { return !rec->responses.empty(); },
                             testsupport::scaled(nettest::kLimit)));
  conn->cancel();
  loop->runUntil([] { return false; }, testsupport::scaled(std::chrono::milliseconds(1500)));
  EXPECT_FALSE(rec->done());
}

TEST_F(URLConnectionTest, RefusedConnectionAndUnsupportedSchemesFailReadably) {
  int port = testsupport::freeTcpPort(); // nothing listens there
  auto refused = fetch(base(port) + "/file.bin");
  ASSERT_EQ(refused->failures.size(), 1u);
  EXPECT_EQ(refused->failures[0].message, "Could not connect to the server.");
  EXPECT_TRUE(refused->responses.empty());

  auto file = fetch("file://" + dir.file("file.bin"));
  ASSERT_EQ(file->failures.size(), 1u);
  EXPECT_EQ(file->failures[0].message, "unsupported URL");
  EXPECT_TRUE(file->body.empty());
}

TEST_F(URLConnectionTest, HttpsServerWithAnUntrustedCertificateIsRefused) {
  std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
  ASSERT_TRUE(testsupport::makeSelfSignedCert(cert, key, "127.0.0.1"));
  int port = testsupport::freeTcpPort();
  testsupport::Process server({"openssl", "s_server", "-accept",
                               "127.0.0.1:" + std::to_string(port), "-cert", cert, "-key", key,
                               "-www"},
                              logs.path());
  ASSERT_TRUE(testsupport::waitForTcpPort(port));
  auto rec = fetch("https://127.0.0.1:" + std::to_string(port) + "/");
  ASSERT_EQ(rec->failures.size(), 1u);
  EXPECT_EQ(rec->failures[0].message, "The certificate for this server is invalid.");
  EXPECT_TRUE(rec->responses.empty());
}
