// Small helpers for the network tests: a blocking loopback peer and event recorders.
#pragma once

#include "platform/foundation/RunLoop.h"
#include "platform/net/SocketStream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace nettest {

// Only a broken implementation waits this long.
inline constexpr platform::Duration kLimit = std::chrono::seconds(20);

// A plain listening socket on 127.0.0.1 and a free port, used as the far end of a connection.
struct LoopbackListener {
  int fd = -1;
  uint16_t port = 0;
  LoopbackListener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::listen(fd, 16);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~LoopbackListener() {
    if (fd >= 0) ::close(fd);
  }
  // Waits for one connection (the caller's loop must be running for the connect to complete,
  // which the kernel does without it on loopback).
  int acceptOne(int timeoutMs = 20000) const {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  }
};

// A client socket connected (blocking) to 127.0.0.1:port.
inline int connectTo(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
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

// Reads until the peer closes (or the time limit passes).
inline std::string recvUntilClosed(int fd, int timeoutMs = 20000) {
  std::string out;
  char buf[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) break;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  return out;
}

// Reads exactly n bytes (or less when the peer closes or the time limit passes).
inline std::string recvExactly(int fd, size_t n, int timeoutMs = 20000) {
  std::string out;
  char buf[65536];
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) break;
    ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (got <= 0) break;
    out.append(buf, size_t(got));
  }
  return out;
}

// Records the events a stream delivers, with the thread they came on.
struct EventLog {
  std::mutex mutex;
  std::vector<unsigned> events;
  std::vector<std::thread::id> threads;

  platform::net::StreamClientCallback callback() {
    return [this](platform::net::StreamEvent ev) {
      std::lock_guard lock(mutex);
      events.push_back(ev);
      threads.push_back(std::this_thread::get_id());
    };
  }
  size_t count(unsigned ev) {
    std::lock_guard lock(mutex);
    size_t n = 0;
    for (unsigned e : events)
      n += e == ev;
    return n;
  }
  bool has(unsigned ev) { return count(ev) > 0; }
};

inline constexpr unsigned kAllEvents =
    platform::net::StreamEventOpenCompleted | platform::net::StreamEventHasBytesAvailable |
    platform::net::StreamEventCanAcceptBytes | platform::net::StreamEventErrorOccurred |
    platform::net::StreamEventEndEncountered;

// Reads everything available now from a stream into out; returns the last read result.
inline long drain(platform::net::InputStream &in, std::string &out) {
  uint8_t buf[8192];
  long n;
  while ((n = in.read(buf, sizeof buf)) > 0)
    out.append(reinterpret_cast<char *>(buf), size_t(n));
  return n;
}

} // namespace nettest
