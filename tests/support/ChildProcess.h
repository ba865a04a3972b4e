// A forked child process for tests that need a second process on the same files (advisory locks,
// folder watches): the child runs a function and exits with its result; the two sides signal
// each other through pipes. The child must only do simple system calls (no threads, no run loop),
// unless it is forked before the test process made any: then it may start its own.
#pragma once

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>

#include "tests/support/TimeScale.h"

namespace testsupport {

class ForkedChild {
public:
  // Starts the child; `body` gets this object for signalling and returns the exit code.
  explicit ForkedChild(const std::function<int(ForkedChild &)> &body) {
    if (::pipe(up_) != 0 || ::pipe(down_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(up_[0]);
      ::close(down_[1]);
      child_ = true;
      ::_exit(body(*this));
    }
    ::close(up_[1]);
    ::close(down_[0]);
    up_[1] = down_[0] = -1;
  }
  ~ForkedChild() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {up_[0], up_[1], down_[0], down_[1]})
      if (fd >= 0) ::close(fd);
  }
  ForkedChild(const ForkedChild &) = delete;
  ForkedChild &operator=(const ForkedChild &) = delete;

  bool started() const { return pid_ > 0; }
  // Tells the other side to go on.
  void signal() {
    const char c = 1;
    (void)!::write(child_ ? up_[1] : down_[1], &c, 1);
  }
  // Waits for the other side's signal; false when it did not come within the limit (scaled).
  bool awaitSignal(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    pollfd p{child_ ? down_[0] : up_[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(testsupport::scaled(limit).count())) != 1) return false;
    char c;
    return ::read(p.fd, &c, 1) == 1;
  }
  // The child's exit code, or nothing when it did not end within the limit (scaled).
  std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + testsupport::scaled(limit);
    while (!status_) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_)
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      else if (std::chrono::steady_clock::now() > end)
        return std::nullopt;
      else
        ::usleep(2000);
    }
    return status_;
  }

private:
  pid_t pid_ = -1;
  bool child_ = false;
  int up_[2] = {-1, -1}, down_[2] = {-1, -1};
  std::optional<int> status_;
};

// The unprivileged account ("nobody") a child of a test run as root turns into: its user and
// group, for handing it the files it must write. None when the account is missing.
inline std::optional<std::pair<uid_t, gid_t>> unprivilegedUser() {
  const passwd *pw = ::getpwnam("nobody");
  if (!pw || pw->pw_uid == 0) return std::nullopt;
  return std::make_pair(pw->pw_uid, pw->pw_gid);
}

// In a child: gives up root for good for the unprivileged account, so that the permissions a test
// sets on files apply to it as to any user (a test suite run as root otherwise reads everything).
// A child that is not root is unprivileged already. False when root could not be given up.
inline bool dropToUnprivilegedUser() {
  if (::geteuid() != 0) return true;
  const auto user = unprivilegedUser();
  if (!user || ::setgroups(0, nullptr) != 0 || ::setgid(user->second) != 0 ||
      ::setuid(user->first) != 0)
    return false;
  return ::setuid(0) != 0 && ::geteuid() == user->first; // no way back
}

} // namespace testsupport
