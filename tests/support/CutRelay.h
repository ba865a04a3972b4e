// A TCP relay on a loopback port of its own in front of a server, for as many connections as come,
// that cuts the server off as a server going away does: once a given number of bytes has gone from
// the clients to the server, every connection through it is closed and its port refuses
// connections, until it is brought back on the same port. Stopped, with every connection, when it
// goes out of scope.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

class CutRelay {
public:
  explicit CutRelay(int targetPort) : target_(targetPort), port_(freeTcpPort()) {
    listenFd_ = listenAt(port_);
    thread_ = std::thread([this] { run(); });
  }
  ~CutRelay() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    closeAll();
  }
  CutRelay(const CutRelay &) = delete;
  CutRelay &operator=(const CutRelay &) = delete;

  int port() const { return port_; }
  bool listening() const { return listenFd_ >= 0; }
  // Cuts once `bytes` more have gone from the clients to the server.
  void cutAfter(uint64_t bytes) {
    std::lock_guard lock(mutex_);
    sent_ = 0;
    cutAt_ = bytes;
  }
  bool isCut() const { return cut_; }
  // Listens again on the same port.
  bool back() {
    std::lock_guard lock(mutex_);
    cut_ = false;
    cutAt_ = 0;
    if (listenFd_ < 0) listenFd_ = listenAt(port_);
    return listenFd_ >= 0;
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
  void closeAll() {
    for (auto &p : pairs_) {
      ::close(p.client);
      ::close(p.server);
    }
    pairs_.clear();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
  }
  void run() {
    char buf[16384];
    while (!stop_) {
      std::vector<pollfd> fds;
      {
        std::lock_guard lock(mutex_);
        fds.push_back({listenFd_, POLLIN, 0});
        for (auto &p : pairs_) {
          fds.push_back({p.client, POLLIN, 0});
          fds.push_back({p.server, POLLIN, 0});
        }
      }
      // The short poll lets the destructor, the cut and the return end or change the loop.
      if (::poll(fds.data(), fds.size(), 50) < 0) continue;
      std::lock_guard lock(mutex_);
      if (listenFd_ >= 0 && fds[0].fd == listenFd_ && (fds[0].revents & POLLIN)) {
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        const int server = client >= 0 ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
        if (server >= 0 && connectToLoopback(server, target_)) {
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
          const pollfd &f =
              fds.size() > 1 + 2 * i + side ? fds[1 + 2 * i + side] : pollfd{-1, 0, 0};
          const int from = side == 0 ? p.client : p.server, to = side == 0 ? p.server : p.client;
          if (f.fd != from || !(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
          const ssize_t n = ::read(from, buf, sizeof buf);
          if (n <= 0 || !writeAll(to, buf, size_t(n))) {
            open = false;
            break;
          }
          if (side == 0) sent_ += uint64_t(n);
        }
        if (open) {
          kept.push_back(p);
        } else {
          ::close(p.client);
          ::close(p.server);
        }
      }
      pairs_ = std::move(kept);
      if (cutAt_ > 0 && sent_ >= cutAt_ && !cut_) {
        cut_ = true;
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

  int target_, port_;
  int listenFd_ = -1;
  std::vector<Pair> pairs_;
  std::mutex mutex_;
  uint64_t sent_ = 0, cutAt_ = 0;
  std::atomic<bool> cut_{false}, stop_{false};
  std::thread thread_;
};

} // namespace testsupport
