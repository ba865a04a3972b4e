// The front end's own server is reachable by every local process, but only the page holds the
// token: connections that never show it cannot keep the page out, and give their places up soon.
#include "platform/ui/RendererServer.h"

#include "tests/support/FewDescriptors.h"
#include "tests/support/Loopback.h"
#include "tests/support/TimeScale.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace platform::ui::detail;

namespace {

constexpr const char *kToken = "70ce70ce70ce70ce";
// Connections that have shown the token the front end's server holds at once, as it promises:
// the tests fill exactly this many, so a server that takes more or fewer is caught.
constexpr size_t kPagePlaces = 256;

std::unique_ptr<RendererServer> startServer() {
  RendererServer::Handlers handlers;
  handlers.request = [](const HttpRequest &request, Reply reply) {
    reply(HttpResponse::text(200, "served " + request.path));
  };
  std::string error;
  auto server = RendererServer::start(0, kToken, "", handlers, &error);
  EXPECT_TRUE(server) << error;
  return server;
}

int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && testsupport::connectToLoopback(fd, port)) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

std::string request(int port, const std::string &path, bool keepAlive) {
  return "GET " + path + "?t=" + kToken + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         (keepAlive ? "\r\n\r\n" : "\r\nConnection: close\r\n\r\n");
}

// The answer's status line and body, read until `body` has come or the connection ends.
std::string exchange(int fd, const std::string &sent, const std::string &body) {
  if (::send(fd, sent.data(), sent.size(), MSG_NOSIGNAL) != ssize_t(sent.size())) return "";
  std::string raw;
  char buf[4096];
  while (raw.find(body) == std::string::npos) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    raw.append(buf, size_t(n));
  }
  if (raw.find("\r\n\r\n") == std::string::npos) return raw;
  return raw.substr(0, raw.find("\r\n")) + " " + raw.substr(raw.find("\r\n\r\n") + 4);
}

// Seconds until the server ends the connection (it sends nothing first); -1 when it does not
// within `limit` seconds.
double secondsUntilClosed(int fd, int limit) {
  const auto began = std::chrono::steady_clock::now();
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, limit * 1000) != 1) return -1;
  char byte;
  if (::recv(fd, &byte, 1, MSG_DONTWAIT) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

} // namespace

// More idle connections than the server has places (as any local process could open) do not keep
// the token holder out: its request is served, again and again, while they are reopened.
TEST(RendererConnections, IdleConnectionsWithoutTheTokenDoNotKeepThePageOut) {
  ASSERT_GE(testsupport::raiseDescriptorLimit(4096), 4096u);
  auto server = startServer();
  ASSERT_TRUE(server);
  const int port = server->port();
  std::vector<int> idle;
  for (int round = 0; round < 3; ++round) {
    while (idle.size() < 300 * size_t(round + 1)) {
      const int fd = connectTo(port);
      ASSERT_GE(fd, 0);
      idle.push_back(fd);
    }
    const int page = connectTo(port);
    ASSERT_GE(page, 0);
    EXPECT_EQ(exchange(page, request(port, "/app.js", false), "served /app.js"),
              "HTTP/1.1 200 OK served /app.js")
        << "round " << round;
    ::close(page);
  }
  // A page's connection that showed the token keeps its place among new idle ones.
  const int page = connectTo(port);
  EXPECT_EQ(exchange(page, request(port, "/one", true), "served /one"),
            "HTTP/1.1 200 OK served /one");
  for (int i = 0; i < 300; ++i)
    idle.push_back(connectTo(port));
  EXPECT_EQ(exchange(page, request(port, "/two", true), "served /two"),
            "HTTP/1.1 200 OK served /two");
  ::close(page);
  for (int fd : idle)
    if (fd >= 0) ::close(fd);
  server->stop();
}

// A connection that shows no token gives its place up within a few seconds, whether it sends
// nothing or a request head that never ends; one that showed the token stays open between its
// requests for the usual read limit.
TEST(RendererConnections, ConnectionsWithoutTheTokenAreClosedWithinSeconds) {
  auto server = startServer();
  ASSERT_TRUE(server);
  const int port = server->port();
  const int silent = connectTo(port);
  const int unfinished = connectTo(port);
  const int page = connectTo(port);
  ASSERT_TRUE(silent >= 0 && unfinished >= 0 && page >= 0);
  const std::string head = "GET /app.js HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port);
  ::send(unfinished, head.data(), head.size(), MSG_NOSIGNAL);
  EXPECT_EQ(exchange(page, request(port, "/one", true), "served /one"),
            "HTTP/1.1 200 OK served /one");
  for (int fd : {silent, unfinished}) {
    const double closedAfter = secondsUntilClosed(fd, 15);
    EXPECT_GT(closedAfter, 0);
    EXPECT_LT(closedAfter, 10);
  }
  EXPECT_EQ(exchange(page, request(port, "/two", true), "served /two"),
            "HTTP/1.1 200 OK served /two");
  for (int fd : {silent, unfinished, page})
    ::close(fd);
  server->stop();
}

// The server holds as many of the page's connections (each has shown the token and stays open
// for its next request) as it promises, all served; one more is closed unanswered while they
// all stay; once one of them goes, a newcomer takes its place.
TEST(RendererConnections, ThePageHoldsThePlacesPromisedAndNoMore) {
  ASSERT_GE(testsupport::raiseDescriptorLimit(4096), 4096u);
  auto server = startServer();
  ASSERT_TRUE(server);
  const int port = server->port();
  std::vector<int> pages;
  for (size_t i = 0; i < kPagePlaces; ++i) {
    const int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    pages.push_back(fd);
    const std::string path = "/p" + std::to_string(i);
    ASSERT_EQ(exchange(fd, request(port, path, true), "served " + path),
              "HTTP/1.1 200 OK served " + path)
        << "place " << i + 1;
  }
  const int over = connectTo(port);
  ASSERT_GE(over, 0);
  EXPECT_EQ(exchange(over, request(port, "/over", true), "served /over"), "");
  ::close(over);
  for (size_t i : {size_t(0), kPagePlaces - 1})
    EXPECT_EQ(exchange(pages[i], request(port, "/again", true), "served /again"),
              "HTTP/1.1 200 OK served /again");

  ::close(pages.back());
  pages.pop_back();
  // The server sees that one go a moment later; until then a newcomer may still be turned away.
  std::string served;
  const auto deadline =
      std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(20));
  while (served.empty() && std::chrono::steady_clock::now() < deadline) {
    const int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    served = exchange(fd, request(port, "/newcomer", false), "served /newcomer");
    ::close(fd);
    if (served.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(served, "HTTP/1.1 200 OK served /newcomer");
  for (int fd : pages)
    ::close(fd);
  server->stop();
}

// A request naming its Host twice is refused, whichever comes first: the server and anything in
// front of it might each read another one.
TEST(RendererConnections, ARequestWithMoreThanOneHostIsRefused) {
  auto server = startServer();
  ASSERT_TRUE(server);
  const int port = server->port();
  const std::string self = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  const struct {
    const char *what;
    std::string hosts;
    std::string answer;
  } cases[] = {
      {"one", self, "HTTP/1.1 200 OK served /x"},
      {"the right one twice", self + self, "HTTP/1.1 400 Bad Request A request names one Host.\n"},
      {"the right one first", self + "Host: evil.example\r\n",
       "HTTP/1.1 400 Bad Request A request names one Host.\n"},
      {"the right one last", "host: evil.example\r\n" + self,
       "HTTP/1.1 400 Bad Request A request names one Host.\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    const std::string sent =
        std::string("GET /x?t=") + kToken + " HTTP/1.1\r\n" + c.hosts + "Connection: close\r\n\r\n";
    EXPECT_EQ(exchange(fd, sent, c.answer.substr(c.answer.rfind(' ') + 1)), c.answer);
    ::close(fd);
  }
  server->stop();
}

// Out of descriptors for a while (the test takes them all), the server does not give up
// listening: a page that connects meanwhile waits, and is served once descriptors come back; and
// with no page open its thread does not end. Later pages are served as ever.
TEST(RendererConnections, AFailedAcceptIsWaitedOutAndThePageServedOnceDescriptorsReturn) {
  RUN_IN_DESCRIPTOR_CHILD();
  auto server = startServer();
  ASSERT_TRUE(server);
  const int port = server->port();
  const int early = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(early, 0);
  {
    testsupport::DescriptorHog hog(0);
    ASSERT_TRUE(hog.ok());
    ASSERT_TRUE(testsupport::connectToLoopback(early, port));
    const std::string sent = request(port, "/early", false);
    ASSERT_EQ(::send(early, sent.data(), sent.size(), MSG_NOSIGNAL), ssize_t(sent.size()));
    // Time for the server to meet the connection it cannot take, more than once.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_EQ(exchange(early, "", "served /early"), "HTTP/1.1 200 OK served /early");
  ::close(early);
  const int later = connectTo(port);
  ASSERT_GE(later, 0);
  EXPECT_EQ(exchange(later, request(port, "/later", false), "served /later"),
            "HTTP/1.1 200 OK served /later");
  ::close(later);
  server->stop();
}

// Header lines that one reader could take one way and another reader another are refused with
// 400, never dropped unanswered: a line folded onto the one before, a blank between a name and
// its colon, a control character in a line (a NUL in Host among them).
TEST(RendererConnections, HeaderLinesThatMustNotStandAreAnswered400) {
  auto server = startServer();
  ASSERT_TRUE(server);
  const int port = server->port();
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port);
  const struct {
    const char *what;
    std::string headers;
    const char *answer;
  } cases[] = {
      {"sound", host + "\r\nAccept: */*\r\n", "HTTP/1.1 200 OK served /x"},
      {"folded onto the line before", host + "\r\nAccept: */*\r\n x-more\r\n", "400 Bad Request"},
      {"folded with a tab", host + "\r\nAccept: a\r\n\tb\r\n", "400 Bad Request"},
      {"folded first line", " " + host + "\r\n", "400 Bad Request"},
      {"blank before the colon", "Host : 127.0.0.1:" + std::to_string(port) + "\r\n",
       "400 Bad Request"},
      {"a NUL in Host", std::string("Host: 127.0.0.1\0:", 17) + std::to_string(port) + "\r\n",
       "400 Bad Request"},
      {"a control character", host + "\r\nAccept: a\x01z\r\n", "400 Bad Request"},
      {"a bad request line", "", "400 Bad Request"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    const std::string line =
        c.headers.empty() ? "GET /x?t=" + std::string(kToken) + " HTTP/1.1 x\r\n" + host + "\r\n"
                          : "GET /x?t=" + std::string(kToken) + " HTTP/1.1\r\n" + c.headers;
    const std::string answer = exchange(fd, line + "Connection: close\r\n\r\n", "\n\n");
    if (std::string(c.answer).starts_with("HTTP"))
      EXPECT_EQ(answer, c.answer);
    else
      EXPECT_TRUE(answer.starts_with(std::string("HTTP/1.1 ") + c.answer)) << answer;
    ::close(fd);
  }
  server->stop();
}
