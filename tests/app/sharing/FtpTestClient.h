// A small blocking FTP client for tests: it runs on a worker thread (the server lives on the main
// run loop, which the test drives meanwhile) and talks to 127.0.0.1 only. Every wait is bounded.
#pragma once

#include "platform/foundation/RunLoop.h"
#include "tests/support/Loopback.h"
#include "tests/support/TimeScale.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>

namespace ftptest {

// Clients each sharing server (FTP and web) serves at once, as its users are promised: the tests
// fill exactly this many places, so a server that takes more or fewer is caught.
inline constexpr size_t kServedAtOnce = 256;

// A connected TCP socket to 127.0.0.1:port (reads time out after 20 s), from the loopback address
// `from` when one is given; -1 on failure.
inline int connectLoopback(int port, const char *from = nullptr) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (from && !testsupport::bindLoopbackSource(fd, from)) {
    ::close(fd);
    return -1;
  }
  timeval tv{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(uint16_t(port));
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool sendAll(int fd, const std::string &data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Everything until the peer closes (or the read times out).
inline std::string readAll(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  return out;
}

class Client {
public:
  explicit Client(int port, const char *from = nullptr) : fd_(connectLoopback(port, from)) {}
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // One whole reply (all lines of a multi-line one), with its line ends; "" on timeout or close.
  std::string reply() {
    std::string out;
    std::string code;
    for (;;) {
      std::string line = readLine();
      if (line.empty()) return out;
      out += line;
      if (code.empty()) {
        if (line.size() >= 4 && line[3] == '-')
          code = line.substr(0, 3);
        else
          return out;
      } else if (line.size() >= 4 && line.compare(0, 3, code) == 0 && line[3] == ' ') {
        return out;
      }
    }
  }
  std::string cmd(const std::string &line) {
    if (!sendAll(fd_, line + "\r\n")) return "";
    return reply();
  }
  bool send(const std::string &raw) { return sendAll(fd_, raw); }

  // PASV and a connection to the port it names; -1 on failure.
  int pasv(std::string *replyText = nullptr) {
    std::string r = cmd("PASV");
    if (replyText) *replyText = r;
    int port = pasvPort(r);
    return port > 0 ? connectLoopback(port) : -1;
  }
  static int pasvPort(const std::string &reply) {
    unsigned a, b, c, d, p1, p2;
    auto open = reply.find('(');
    if (reply.compare(0, 4, "227 ") != 0 || open == std::string::npos) return -1;
    if (std::sscanf(reply.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &a, &b, &c, &d, &p1, &p2) != 6)
      return -1;
    return int(p1 * 256 + p2);
  }

private:
  std::string readLine() {
    for (;;) {
      auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl + 1);
        buffer_.erase(0, nl + 1);
        return line;
      }
      char buf[4096];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return "";
      buffer_.append(buf, size_t(n));
    }
  }
  int fd_;
  std::string buffer_;
};

// Runs `work` on a worker thread while the main run loop serves; returns its result.
template <class F> auto whileServing(F work) -> decltype(work()) {
  auto future = std::async(std::launch::async, std::move(work));
  platform::RunLoop::main()->runUntil(
      [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
      testsupport::scaled(std::chrono::seconds(90)));
  return future.get();
}

} // namespace ftptest
