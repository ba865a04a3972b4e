// Hands fuzz input to a transport through a socket pair whose writing end is then shut, so every
// read ends at the input's end instead of waiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

#include "sshlib/ssh/SshTransport.h"

inline bool feedTransport(SshTransport &t, const uint8_t *data, size_t size) {
  int fds[2];
  if (size > 60000 || socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fds[1], data + done, size - done);
    if (n <= 0) break;
    done += (size_t)n;
  }
  shutdown(fds[1], SHUT_WR);
  t.socket.socketFd = fds[0];
  t.socket.isConnected = true;
  t.setTimeouts(1000, 1000);
  // The other end stays open for what the transport answers; it is closed with the test.
  static thread_local int lastPeer = -1;
  if (lastPeer != -1) close(lastPeer);
  lastPeer = fds[1];
  return true;
}
