// A session of the library on a fake SFTP server over a tree (FakeSftpServer.h): connected,
// logged in and initialised; and file contents that show where each byte came from.
#pragma once

#include <memory>
#include <string>

#include "tests/support/FakeSftpServer.h"
#include "tests/support/SftpPeers.h"

namespace testsupport {

struct FakeSession {
  // The idle time-out applies once the session is up (a loaded machine may take longer than
  // it for the key exchange).
  explicit FakeSession(std::shared_ptr<FakeSftpFs> tree, unsigned int idleMs = 20000)
      : FakeSession(std::move(tree), fsOptions, idleMs) {}
  // The same with the server's options made from the tree by `options`.
  template <class Options>
  FakeSession(std::shared_ptr<FakeSftpFs> tree, Options options, unsigned int idleMs)
      : fs(std::move(tree)), srv(options(fs)) {
    XString u, p;
    ok = sftpConnect(s, srv.port()) && s.AuthenticatePw(xs(u, "u"), xs(p, "p"), nullptr) &&
         s.InitializeSftp(nullptr);
    if (ok) s.transport->socket.SetIdleMsTimeout(idleMs);
  }
  std::shared_ptr<FakeSftpFs> fs;
  FakeSftpServer srv;
  ClsSFtp s;
  bool ok = false;
};

// n bytes in which every 64 KiB stretch differs from the others.
inline std::string pattern(size_t n) {
  std::string d(n, '\0');
  for (size_t i = 0; i < n; ++i)
    d[i] = (char)(i * 7 + i / 65536);
  return d;
}

} // namespace testsupport
