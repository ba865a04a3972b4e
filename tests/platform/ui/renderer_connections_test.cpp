// The front end's own server is reachable by every local process, but only the page holds the
// token: connections that never show it cannot keep the page out, and give their places up soon.
#include "platform/ui/RendererServer.h"

#include "tests/support/Loopback.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

using namespace platform::ui::detail;

namespace {

constexpr const char *kToken = "70ce70ce70ce70ce";

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
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 4096) limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
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
