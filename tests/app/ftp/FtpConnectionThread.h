// Ends a test's FTP connection the way the application never has to: the connection closes and
// is released on its own thread, then that thread stops.
#pragma once

#include "app/ftp/FTPConnection.h"
#include "platform/foundation/RunLoop.h"
#include "tests/support/TimeScale.h"

#include <atomic>
#include <memory>

namespace ftptest {

// Conn is FTPConnection or a test subclass of it.
template <class Conn>
void stopConnectionOnItsThread(std::shared_ptr<Conn> &conn,
                               const std::shared_ptr<platform::RunLoop> &loop) {
  if (!conn) return;
  std::atomic<bool> done{false};
  auto c = std::move(conn);
  loop->perform([c, &done]() mutable {
    c->disconnectFromServer();
    c.reset();
    done = true;
  });
  c.reset();
  platform::RunLoop::main()->runUntil([&] { return done.load(); },
                                      testsupport::scaled(platform::seconds(30)));
  loop->perform([loop] { loop->stop(); });
  platform::RunLoop::main()->runPending();
}

} // namespace ftptest
