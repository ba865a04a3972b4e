// Running out of file descriptors on purpose, cheaply: a test runs again in a child process (this
// test binary, this one test), which lowers its descriptor limit to just above what it holds and
// takes the rest, so that the code under test meets EMFILE exactly where the test wants it.
//
// Why a child: the limit and the descriptors taken belong to the whole process, and the test
// process keeps its own for the tests that follow. (The undefined-behaviour sanitizer's type check
// cannot run while the process has no descriptor: see FewDescriptors.cpp.)
//
//   TEST_F(Suite, Case) {
//     RUN_IN_DESCRIPTOR_CHILD();
//     ... set up ...
//     testsupport::DescriptorHog hog(2); // two descriptors left
//     ...
//   }
#pragma once

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace testsupport {

inline constexpr const char *kDescriptorChildVariable = "FERROWEN_DESCRIPTOR_CHILD";
// Hogs alive now.
extern std::atomic<int> descriptorHogs;

inline std::string runningTestName() {
  const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info ? std::string(info->test_suite_name()) + "." + info->name() : std::string();
}

// True in the child that rerunInDescriptorChild() started for the running test.
inline bool inDescriptorChild() {
  const char *name = std::getenv(kDescriptorChildVariable);
  return name && name == runningTestName();
}

struct ChildRun {
  bool exited = false;
  int exitCode = -1;
  std::string output;
};

// Runs the running test again, alone, in a child process; waits (at most `limit`) for its end.
inline ChildRun rerunInDescriptorChild(std::chrono::milliseconds limit = std::chrono::minutes(3)) {
  ChildRun run;
  TempDir dir("ferrowen-descriptor-child");
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0 || !dir.ok()) return run;
  exe[n] = '\0';
  Process child({exe, "--gtest_filter=" + runningTestName()}, dir.path(),
                {{kDescriptorChildVariable, runningTestName()}});
  if (!child.started()) return run;
  const auto status = child.wait(limit);
  if (!status) child.stop();
  run.output = child.output() + child.errors();
  run.exited = status && WIFEXITED(*status);
  run.exitCode = run.exited ? WEXITSTATUS(*status) : -1;
  return run;
}

// In the parent: runs the test in a child and reports its result; in the child: goes on.
#define RUN_IN_DESCRIPTOR_CHILD()                                                                  \
  do {                                                                                             \
    if (!::testsupport::inDescriptorChild()) {                                                     \
      const auto run = ::testsupport::rerunInDescriptorChild();                                    \
      EXPECT_TRUE(run.exited &&run.exitCode == 0) << run.output;                                   \
      return;                                                                                      \
    }                                                                                              \
  } while (false)

// The other way: lets this process hold at least `atLeast` descriptors where its hard limit allows
// (a usual soft limit of 1024 is too few for tests that fill a server's every place); returns the
// soft limit then, 0 when it cannot be read.
inline rlim_t raiseDescriptorLimit(rlim_t atLeast) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < atLeast) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, atLeast);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 && ::getrlimit(RLIMIT_NOFILE, &limit) != 0)
      return 0;
  }
  return limit.rlim_cur;
}

// Takes every descriptor the process may still open but `leave`, under a limit lowered to just
// above the descriptors open now (so that it is quick); gives them back and restores the limit
// when it goes.
class DescriptorHog {
public:
  explicit DescriptorHog(int leave = 0) {
    ++descriptorHogs;
    ok_ = ::getrlimit(RLIMIT_NOFILE, &before_) == 0;
    int highest = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
      while (dirent *e = ::readdir(d))
        highest = std::max(highest, std::atoi(e->d_name));
      ::closedir(d);
    }
    rlimit low = before_;
    low.rlim_cur = std::min<rlim_t>(before_.rlim_cur, static_cast<rlim_t>(highest) + 64);
    ok_ = ok_ && ::setrlimit(RLIMIT_NOFILE, &low) == 0;
    takeAll();
    release(leave);
  }
  ~DescriptorHog() {
    release(static_cast<int>(fds_.size()));
    ::setrlimit(RLIMIT_NOFILE, &before_);
    --descriptorHogs;
  }
  DescriptorHog(const DescriptorHog &) = delete;
  DescriptorHog &operator=(const DescriptorHog &) = delete;

  // True when the process really ran out (and so the hog holds what was free).
  bool ok() const { return ok_; }
  // Takes whatever has been freed since.
  void takeAll() {
    int fd;
    while ((fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0)
      fds_.push_back(fd);
    ok_ = ok_ && errno == EMFILE;
  }
  // Gives `count` descriptors back.
  void release(int count) {
    for (; count > 0 && !fds_.empty(); --count) {
      ::close(fds_.back());
      fds_.pop_back();
    }
  }

private:
  rlimit before_{};
  std::vector<int> fds_;
  bool ok_ = false;
};

} // namespace testsupport
