// The proxy answer readers over arbitrary bytes: the first byte chooses an HTTP CONNECT answer
// (header and body) or a SOCKS5 exchange (method, authentication and connect replies). No crash,
// and a body never grows past its bound.
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/ssh/ProxySettings.h"
#include "sshlib/ssh/RazudodSocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int fds[2];
  if (size < 1 || size > 60000 || socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  // The whole answer fits in the pair's buffer; the end is shut so every read ends there.
  for (size_t done = 1; done < size;) {
    ssize_t n = write(fds[1], data + done, size - done);
    if (n <= 0) break;
    done += (size_t)n;
  }
  shutdown(fds[1], SHUT_WR);
  RazudodSocket sock;
  sock.socketFd = fds[0];
  sock.isConnected = true;
  sock.SetIdleMsTimeout(1000);
  LogNull log;
  if (data[0] & 1) {
    int status = 0;
    DataBuffer body;
    HttpProxyClient::readResponse(sock, 0, nullptr, log, status, body);
    if (body.getSize() > HttpProxyClient::kMaxBody) std::abort();
  } else {
    StringBuffer dest("example.test"), user("user"), pass((data[0] & 2) ? "pw" : "");
    SocksClient::socks5Handshake(sock, dest, nullptr, 22, user, pass, 0, log, nullptr);
  }
  close(fds[1]);
  return 0;
}
