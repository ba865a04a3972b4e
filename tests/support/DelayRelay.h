// A TCP relay on a free loopback port in front of a server, for as many connections as come:
// every byte reaches the other side half a round trip after it was read, in each direction, as
// across a real link with that round trip (no loss, no bandwidth cap). What waits in one direction
// is bounded; past the bound the relay stops reading, and the sender's own buffers fill. Stopped,
// with every connection, when it goes out of scope.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Loopback.h"

namespace testsupport {

class DelayRelay {
public:
  DelayRelay(int targetPort, std::chrono::milliseconds roundTrip)
      : target_(targetPort), oneWay_(roundTrip / 2) {
    listenFd_ = listenOnLoopback(port_);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~DelayRelay() {
    stop_ = true;
    shutdown(listenFd_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    close(listenFd_);
    std::lock_guard lock(mutex_);
    for (auto &c : conns_)
      c->stop();
    conns_.clear();
  }
  DelayRelay(const DelayRelay &) = delete;
  DelayRelay &operator=(const DelayRelay &) = delete;
  int port() const { return port_; }

private:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kChunk = 256 * 1024;
  static constexpr size_t kMaxQueued = 64u << 20;

  // One direction: a reader that stamps what it reads, a writer that passes it on when due.
  class Pipe {
  public:
    Pipe(int from, int to, std::chrono::milliseconds delay) : from_(from), to_(to), delay_(delay) {
      reader_ = std::thread([this] { readLoop(); });
      writer_ = std::thread([this] { writeLoop(); });
    }
    void join() {
      if (reader_.joinable()) reader_.join();
      if (writer_.joinable()) writer_.join();
    }
    void stop() {
      std::lock_guard lock(m_);
      stop_ = true;
      cv_.notify_all();
    }

  private:
    struct Piece {
      Clock::time_point due;
      std::string bytes; // empty: the sender closed its side
    };
    void push(Piece p) {
      std::unique_lock lock(m_);
      cv_.wait(lock, [&] { return stop_ || queued_ < kMaxQueued; });
      queued_ += p.bytes.size();
      q_.push_back(std::move(p));
      cv_.notify_all();
    }
    void readLoop() {
      std::string buf(kChunk, '\0');
      for (;;) {
        ssize_t n = read(from_, buf.data(), buf.size());
        if (n <= 0) break;
        push({Clock::now() + delay_, buf.substr(0, (size_t)n)});
        std::lock_guard lock(m_);
        if (stop_) return;
      }
      push({Clock::now() + delay_, {}});
    }
    void writeLoop() {
      for (;;) {
        Piece p;
        {
          std::unique_lock lock(m_);
          cv_.wait(lock, [&] { return stop_ || !q_.empty(); });
          if (stop_) return;
          p = std::move(q_.front());
          q_.pop_front();
          queued_ -= p.bytes.size();
          cv_.notify_all();
        }
        std::this_thread::sleep_until(p.due);
        if (p.bytes.empty()) {
          shutdown(to_, SHUT_WR);
          return;
        }
        for (size_t off = 0; off < p.bytes.size();) {
          ssize_t w = write(to_, p.bytes.data() + off, p.bytes.size() - off);
          if (w <= 0) {
            // The receiver is gone: the sender learns it too.
            shutdown(from_, SHUT_RD);
            return;
          }
          off += (size_t)w;
        }
      }
    }
    int from_, to_;
    std::chrono::milliseconds delay_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Piece> q_;
    size_t queued_ = 0;
    bool stop_ = false;
    std::thread reader_, writer_;
  };

  struct Conn {
    Conn(int client, int server, std::chrono::milliseconds delay)
        : client(client), server(server), up(client, server, delay), down(server, client, delay) {}
    void stop() {
      shutdown(client, SHUT_RDWR);
      shutdown(server, SHUT_RDWR);
      up.stop();
      down.stop();
      up.join();
      down.join();
      close(client);
      close(server);
    }
    int client, server;
    Pipe up, down;
  };

  void acceptLoop() {
    while (!stop_) {
      int client = accept(listenFd_, nullptr, nullptr);
      if (client < 0) return;
      int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in sin{};
      sin.sin_family = AF_INET;
      sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      sin.sin_port = htons((uint16_t)target_);
      if (connect(server, (sockaddr *)&sin, sizeof sin) != 0) {
        close(server);
        close(client);
        continue;
      }
      // The relay adds the delay; it must not add Nagle's on top of it.
      int one = 1;
      setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::lock_guard lock(mutex_);
      conns_.push_back(std::make_unique<Conn>(client, server, oneWay_));
    }
  }

  int target_;
  std::chrono::milliseconds oneWay_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::list<std::unique_ptr<Conn>> conns_;
};

} // namespace testsupport
