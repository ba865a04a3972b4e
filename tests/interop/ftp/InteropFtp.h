// Shared pieces of the FTP client's tests against real servers.
#pragma once

#include "tests/app/ftp/FtpTestSupport.h"

#include <sys/stat.h>

namespace ftptest {

class InteropTest : public FtpTest {
protected:
  // Logs in to 127.0.0.1:port (or the address given) and waits for the session.
  bool loginTo(const std::string &address, const std::string &user, const std::string &pass,
               double limit = 60) {
    if (!conn) startConnection();
    conn->setServerAddress(address);
    conn->setLoginUser(user);
    conn->setLoginPass(pass);
    conn->connect();
    return waitFor([&] { return conn->fIsLoggedIn(); }, limit);
  }
  // Waits for a listing holding `name` to be complete: the task is idle again and the server's
  // final reply to "LIST" is in (a task started before it would take it for its own reply).
  bool waitListing(const std::string &name, double limit = 60) {
    return waitFor(
        [&] {
          if (conn->listing().find(name) == std::string::npos || conn->iTask() != -1) return false;
          std::string log = conn->transferLog();
          size_t list = log.rfind(">>> LIST");
          return list != std::string::npos && log.find("\n226", list) != std::string::npos;
        },
        limit);
  }
  bool sent(const std::string &command) {
    for (auto &c : commandsSent())
      if (c == command) return true;
    return false;
  }
  void makeTree(const std::string &root) {
    ::mkdir(root.c_str(), 0755);
    ::mkdir((root + "/sub").c_str(), 0755);
    std::string big;
    for (int i = 0; i < 200; ++i)
      big += "line " + std::to_string(i) + " of a file that compresses well\n";
    testsupport::writeFile(root + "/hello.txt", big);
    testsupport::writeFile(root + "/sub/inner.txt", "inner\n");
    for (int i = 0; i < 150; ++i)
      testsupport::writeFile(root + "/file-with-a-long-name-" + std::to_string(i) + ".dat", "x");
  }
};

} // namespace ftptest
