// A listening socket on 127.0.0.1, for servers and relays that tests and benchmarks write
// themselves, and a connection to one (header-only, so that a benchmark program needs no test
// library).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace testsupport {

// A socket listening on 127.0.0.1 on a port the system picks (written to `port`); -1 when none
// could be had.
inline int listenOnLoopback(int &port, int backlog = 1) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
      ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

// Binds `fd` to a source address of the loopback network (127.0.0.0/8, such as "127.0.0.2"), so
// that a server sees its connections come from another address than 127.0.0.1's.
inline bool bindLoopbackSource(int fd, const char *address) {
  sockaddr_in from{};
  from.sin_family = AF_INET;
  if (::inet_pton(AF_INET, address, &from.sin_addr) != 1 ||
      (ntohl(from.sin_addr.s_addr) >> 24) != 127)
    return false;
  return ::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0;
}

// Connects `fd` to 127.0.0.1:port; its reads and writes then give up after `seconds` rather than
// hang a test on a server that stopped answering.
inline bool connectToLoopback(int fd, int port, int seconds = 20) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
}

} // namespace testsupport
