// The web sharing server on a free loopback port, in the test's own data root, with a raw HTTP
// client that runs on a worker thread while the test drives the main run loop.
#pragma once

#include "tests/app/shell/ShellFixture.h"
#include "tests/support/Loopback.h"

#include "app/foundation/StringUtils.h"
#include "app/sharing/WebServer.h"

#include "platform/foundation/RunLoop.h"
#include "tests/support/TimeScale.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

struct WebReply {
  int status = 0;
  std::string statusLine;
  std::map<std::string, std::string> headers; // names in lower case
  std::string headerText;                     // the head as sent
  std::string body;
  std::string raw;
  bool closed = false; // the server closed the connection (rather than the client timing out)
  std::string header(const std::string &lowerCaseName) const {
    const auto it = headers.find(lowerCaseName);
    return it == headers.end() ? std::string() : it->second;
  }
};

inline WebReply parseWebReply(const std::string &raw, bool closed) {
  WebReply r;
  r.raw = raw;
  r.closed = closed;
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return r;
  r.headerText = raw.substr(0, end + 4);
  r.body = raw.substr(end + 4);
  size_t pos = 0;
  bool first = true;
  while (pos < end) {
    size_t eol = raw.find("\r\n", pos);
    const std::string line = raw.substr(pos, eol - pos);
    pos = eol + 2;
    if (first) {
      r.statusLine = line;
      if (line.size() > 12) r.status = std::atoi(line.c_str() + 9);
      first = false;
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (auto &c : name)
      c = char(std::tolower(static_cast<unsigned char>(c)));
    size_t v = colon + 1;
    while (v < line.size() && line[v] == ' ')
      ++v;
    r.headers[name] = line.substr(v);
  }
  return r;
}

// Connects to 127.0.0.1:port, sends the pieces (pausing between them), reads until the server
// closes (or 20 s pass) and returns what came back. `closeAfter` stops reading after that many
// bytes and closes (a client that goes away mid-reply).
inline WebReply webExchangeBlocking(int port, const std::vector<std::string> &pieces,
                                    std::chrono::milliseconds pause = std::chrono::milliseconds(0),
                                    size_t closeAfter = std::string::npos) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (!testsupport::connectToLoopback(fd, port)) {
    ::close(fd);
    return {};
  }
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0 && pause.count() > 0) std::this_thread::sleep_for(pause);
    size_t sent = 0;
    while (sent < pieces[i].size()) {
      const ssize_t n = ::send(fd, pieces[i].data() + sent, pieces[i].size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += size_t(n);
    }
  }
  std::string raw;
  bool closed = false;
  char buffer[65536];
  while (raw.size() < closeAfter) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) {
      closed = true;
      break;
    }
    if (n < 0) break;
    raw.append(buffer, size_t(n));
  }
  ::close(fd);
  return parseWebReply(raw, closed);
}

class WebServerTest : public ShellTest {
protected:
  void SetUp() override {
    ShellTest::SetUp();
    delegate->startWebServer();
    ASSERT_NE(delegate->webServerListener(), nullptr);
    port = delegate->webServerListener()->port();
    ASSERT_GT(port, 0);
  }
  void TearDown() override {
    WebServer::disconnectAll();
    platform::RunLoop::main()->runPending();
    ShellTest::TearDown();
  }

  // Runs the main loop until `done` is ready.
  template <class T> T await(std::future<T> done) {
    const bool ready = platform::RunLoop::main()->runUntil(
        [&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        testsupport::scaled(std::chrono::seconds(60)));
    EXPECT_TRUE(ready) << "the client did not finish";
    if (!ready) return T{};
    return done.get();
  }

  WebReply exchange(const std::vector<std::string> &pieces,
                    std::chrono::milliseconds pause = std::chrono::milliseconds(0),
                    size_t closeAfter = std::string::npos) {
    const int p = port;
    return await(std::async(std::launch::async,
                            [=] { return webExchangeBlocking(p, pieces, pause, closeAfter); }));
  }
  WebReply get(const std::string &target, const std::string &extraHeaders = "") {
    return exchange({"GET " + target + " HTTP/1.0\r\n" + extraHeaders + "\r\n"});
  }
  // Lets the server finish closing what the client left.
  void settle() {
    platform::RunLoop::main()->runUntil([] { return WebServer::liveCount() == 0; },
                                        testsupport::scaled(std::chrono::seconds(20)));
  }

  std::string webFile(const std::string &name) const {
    return platform::Paths::documents() + "/WebServer/" + name;
  }

  int port = 0;
};

// A multipart body with one part per (name, content); the boundary is fixed.
inline std::string multipartBody(const std::vector<std::pair<std::string, std::string>> &files,
                                 const std::string &boundary = "XyZzY-b0undary") {
  std::string body;
  for (const auto &[name, content] : files) {
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"file1\"; filename=\"" + name + "\"\r\n";
    body += "Content-Type: application/octet-stream\r\n\r\n";
    body += content + "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  return body;
}

inline std::string postHead(const std::string &target, size_t length,
                            const std::string &extraHeaders = "",
                            const std::string &boundary = "XyZzY-b0undary") {
  return "POST " + target + " HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=" + boundary +
         "\r\nContent-Length: " + std::to_string(length) + "\r\n" + extraHeaders + "\r\n";
}
