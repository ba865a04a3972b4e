// A TCP relay on a free loopback port in front of a server, for one client: it passes bytes both
// ways and, when asked, flips one bit of the next chunk the server sends, as an attacker on the
// path would. Stopped (and its thread joined) when it goes out of scope.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

#include <atomic>
#include <thread>

namespace testsupport {

class FlipRelay {
public:
  explicit FlipRelay(int targetPort) {
    listenFd_ = listenOnLoopback(port_);
    thread_ = std::thread([this, targetPort] { run(targetPort); });
  }
  ~FlipRelay() {
    stop_ = true;
    shutdown(listenFd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(listenFd_);
  }
  int port() const { return port_; }
  // The next chunk from the server reaches the client with one bit of byte `offset` flipped (the
  // chunk's last byte when it is shorter).
  void flipNext(unsigned int offset) {
    offset_ = offset;
    flip_ = true;
  }
  // Whether a flip has been made.
  bool flipped() const { return flipped_; }

private:
  void run(int targetPort) {
    int client = accept(listenFd_, nullptr, nullptr);
    if (client < 0) return;
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons((uint16_t)targetPort);
    if (connect(server, (sockaddr *)&sin, sizeof sin) == 0) {
      char buf[65536];
      pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      // The short poll only lets the destructor end the loop.
      while (!stop_) {
        if (poll(fds, 2, 100) < 0) break;
        bool done = false;
        for (int i = 0; i < 2 && !done; ++i) {
          if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
          ssize_t n = read(fds[i].fd, buf, sizeof buf);
          if (n <= 0) {
            done = true;
            break;
          }
          if (i == 1 && flip_) {
            size_t at = offset_.load();
            buf[at < (size_t)n ? at : (size_t)n - 1] ^= 0x04;
            flip_ = false;
            flipped_ = true;
          }
          for (ssize_t off = 0; off < n && !done;) {
            ssize_t w = write(fds[1 - i].fd, buf + off, (size_t)(n - off));
            if (w <= 0) done = true;
            off += w;
          }
        }
        if (done) break;
      }
    }
    close(server);
    close(client);
  }

  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false}, flip_{false}, flipped_{false};
  std::atomic<unsigned int> offset_{0};
  std::thread thread_;
};

} // namespace testsupport
