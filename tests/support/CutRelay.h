// A TCP relay on a loopback port of its own in front of a server, for as many connections as come,
// that cuts the server off as a server going away does: once a given number of bytes has gone from
// the clients to the server (exactly that many; or at once, when told), every connection through it
// is closed and its port refuses connections, until it is brought back on the same port. A server
// of more than one port (an FTP server's control port and its passive data port) is relayed port
// for port, and cut off whole: the connections in the order they came (a control connection before
// its data's). It can also hold the server back as a slow server does: once a given number of bytes
// has gone to it, no more go (the connections stay open and the clients' bytes wait) until it is
// brought back. Stopped, with every connection, when it goes out of scope.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

class CutRelay {
public:
  explicit CutRelay(int targetPort) : CutRelay(std::vector<int>{targetPort}) {}
  explicit CutRelay(const std::vector<int> &targetPorts) {
    for (int target : targetPorts) {
      const int port = freeTcpPort();
      ports_.push_back({target, port, listenAt(port)});
    }
    thread_ = std::thread([this] { run(); });
  }
  ~CutRelay() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    closeAll();
  }
  CutRelay(const CutRelay &) = delete;
  CutRelay &operator=(const CutRelay &) = delete;

  // The relay's port in front of the server's `i`th port.
  int port(size_t i = 0) const { return ports_[i].port; }
  bool listening() const {
    for (auto &p : ports_)
      if (p.fd < 0) return false;
    return true;
  }
  // Cuts once `bytes` more have gone from the clients to the server.
  void cutAfter(uint64_t bytes) {
    std::lock_guard lock(mutex_);
    sent_ = 0;
    cutAt_ = bytes;
  }
  // Holds every byte to the server once `bytes` more have gone to it, until back().
  void holdAfter(uint64_t bytes) {
    std::lock_guard lock(mutex_);
    held_ = 0;
    holdAt_ = bytes;
  }
  // Whether bytes to the server are held now (the hold point was reached).
  bool isHolding() const { return holding_; }
  // Cuts now (the relay's thread does it within a few milliseconds: see isCut).
  void cutNow() { cutNow_ = true; }
  bool isCut() const { return cut_; }
  // Listens again on the same ports, and lets what it held go.
  bool back() {
    std::lock_guard lock(mutex_);
    holdAt_ = 0;
    holding_ = false;
    cut_ = false;
    cutNow_ = false;
    cutAt_ = 0;
    bool all = true;
    for (auto &p : ports_) {
      if (p.fd < 0) p.fd = listenAt(p.port);
      all = all && p.fd >= 0;
    }
    return all;
  }

private:
  static int listenAt(int port) {
    if (port <= 0) return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  struct Pair {
    int client, server;
  };
  struct Listener {
    int target, port, fd;
  };
  void closeAll() {
    for (auto &p : pairs_) {
      ::close(p.client);
      ::close(p.server);
    }
    pairs_.clear();
    for (auto &l : ports_) {
      if (l.fd >= 0) ::close(l.fd);
      l.fd = -1;
    }
  }
  void run() {
    char buf[16384];
    while (!stop_) {
      std::vector<pollfd> fds;
      {
        std::lock_guard lock(mutex_);
        for (auto &l : ports_)
          fds.push_back({l.fd, POLLIN, 0});
        // Held: the clients' bytes are not read (they wait in the sockets' buffers).
        for (auto &p : pairs_) {
          fds.push_back({holding_ ? -1 : p.client, POLLIN, 0});
          fds.push_back({p.server, POLLIN, 0});
        }
      }
      // The short poll lets the destructor, the cut and the return end or change the loop.
      if (::poll(fds.data(), fds.size(), 50) < 0) continue;
      std::lock_guard lock(mutex_);
      const size_t listeners = ports_.size();
      for (size_t i = 0; i < listeners; ++i) {
        const Listener &l = ports_[i];
        if (l.fd < 0 || fds[i].fd != l.fd || !(fds[i].revents & POLLIN)) continue;
        const int client = ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
        const int server = client >= 0 ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
        if (server >= 0 && connectToLoopback(server, l.target)) {
          pairs_.push_back({client, server});
        } else {
          if (client >= 0) ::close(client);
          if (server >= 0) ::close(server);
        }
      }
      std::vector<Pair> kept;
      for (size_t i = 0; i < pairs_.size(); ++i) {
        const Pair p = pairs_[i];
        bool open = true;
        for (int side = 0; side < 2 && open; ++side) {
          const size_t at = listeners + 2 * i + size_t(side);
          const pollfd &f = fds.size() > at ? fds[at] : pollfd{-1, 0, 0};
          const int from = side == 0 ? p.client : p.server, to = side == 0 ? p.server : p.client;
          if (f.fd != from || !(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
          // Towards the server, no byte past the hold point is read.
          size_t want = sizeof buf;
          if (side == 0 && holdAt_ > 0) {
            if (held_ >= holdAt_) continue;
            want = std::min<uint64_t>(want, holdAt_ - held_);
          }
          const ssize_t n = ::read(from, buf, want);
          // Towards the server, no byte past the cut goes: the cut lands where it was asked.
          size_t give = n > 0 ? size_t(n) : 0;
          if (side == 0 && cutAt_ > 0 && sent_ + give > cutAt_)
            give = size_t(cutAt_ > sent_ ? cutAt_ - sent_ : 0);
          if (n <= 0 || !writeAll(to, buf, give)) {
            open = false;
            break;
          }
          if (side == 0) {
            sent_ += uint64_t(give);
            held_ += uint64_t(give);
          }
        }
        if (open) {
          kept.push_back(p);
        } else {
          ::close(p.client);
          ::close(p.server);
        }
      }
      pairs_ = std::move(kept);
      if (holdAt_ > 0 && held_ >= holdAt_) holding_ = true;
      if ((cutNow_ || (cutAt_ > 0 && sent_ >= cutAt_)) && !cut_) {
        cut_ = true;
        cutNow_ = false;
        cutAt_ = 0;
        closeAll();
      }
    }
  }
  static bool writeAll(int fd, const char *data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
      if (n <= 0) return false;
      data += n;
      size -= size_t(n);
    }
    return true;
  }

  std::vector<Listener> ports_;
  std::vector<Pair> pairs_;
  std::mutex mutex_;
  uint64_t sent_ = 0, cutAt_ = 0, held_ = 0, holdAt_ = 0;
  std::atomic<bool> cut_{false}, cutNow_{false}, stop_{false}, holding_{false};
  std::thread thread_;
};

} // namespace testsupport
