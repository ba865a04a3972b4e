#include "platform/foundation/Log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

using platform::Log;
using platform::LogCapture;

namespace {

// Points file descriptor 2 at a file for the life of the object, to see what really got written.
class StderrToFile {
public:
  StderrToFile() {
    const char *base = std::getenv("TMPDIR");
    std::string name = std::string(base && *base ? base : "/tmp") + "/ferrowen-log-test-XXXXXX";
    fd_ = ::mkstemp(name.data());
    path_ = name;
    saved_ = ::dup(2);
    ::dup2(fd_, 2);
  }
  ~StderrToFile() {
    restore();
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  void restore() {
    if (saved_ >= 0) {
      ::dup2(saved_, 2);
      ::close(saved_);
      saved_ = -1;
    }
  }
  std::string text() const {
    std::string out;
    char buf[4096];
    ssize_t n;
    off_t off = 0;
    while ((n = ::pread(fd_, buf, sizeof buf, off)) > 0) {
      out.append(buf, static_cast<size_t>(n));
      off += n;
    }
    return out;
  }

private:
  int fd_ = -1, saved_ = -1;
  std::string path_;
};

TEST(LogTest, EachSinkIsCapturedSeparately) {
  LogCapture system(Log::Sink::System), debug(Log::Sink::Debug), err(Log::Sink::StandardError);
  Log::system("DB Command OK");
  Log::systemf("DB Error: #%i -- %s", 19, "INSERT INTO x");
  Log::debug("----------Download Done----------\r\n");
  Log::debugf("doTaskDir:code:%i", 550);
  Log::standardError("Error allocating color space\n");

  EXPECT_EQ(system.lines(),
            (std::vector<std::string>{"DB Command OK", "DB Error: #19 -- INSERT INTO x"}));
  EXPECT_EQ(debug.lines(),
            (std::vector<std::string>{"----------Download Done----------", "doTaskDir:code:550"}));
  EXPECT_EQ(err.lines(), (std::vector<std::string>{"Error allocating color space"}));
  EXPECT_TRUE(system.contains("#19"));
  EXPECT_FALSE(system.contains("Download"));
  system.clear();
  EXPECT_EQ(system.count(), 0u);
}

TEST(LogTest, CaptureSeesOnlyWhatHappensWhileItLives) {
  Log::system("before");
  std::vector<std::string> seen;
  {
    LogCapture c(Log::Sink::System);
    Log::system("during");
    seen = c.lines();
  }
  Log::system("after"); // must not touch the destroyed capture
  EXPECT_EQ(seen, (std::vector<std::string>{"during"}));
  LogCapture a(Log::Sink::Debug), b(Log::Sink::Debug);
  Log::debug("both");
  EXPECT_TRUE(a.contains("both"));
  EXPECT_TRUE(b.contains("both"));
}

TEST(LogTest, WhatReachesStandardError) {
  ::unsetenv("FERROWEN_DEBUG");
  std::string written;
  {
    StderrToFile redirect;
    Log::system("system line");
    Log::debug("hidden debug line");
    Log::standardError("raw text without line end");
    ::setenv("FERROWEN_DEBUG", "1", 1);
    Log::debug("shown debug line");
    ::unsetenv("FERROWEN_DEBUG");
    written = redirect.text();
  }
  // The system log carries a time stamp and the program's name and pid.
  std::string pid = "ferrowen[" + std::to_string(::getpid()) + "] system line\n";
  EXPECT_NE(written.find(pid), std::string::npos) << written;
  EXPECT_EQ(written.find("hidden debug line"), std::string::npos) << written;
  EXPECT_NE(written.find("[debug] shown debug line\n"), std::string::npos) << written;
  EXPECT_NE(written.find("raw text without line end"), std::string::npos);
  ASSERT_GE(written.size(), 24u);
  EXPECT_EQ(written[4], '-');
  EXPECT_EQ(written[10], ' ');
  EXPECT_EQ(written[19], '.');
}

TEST(LogTest, ThreadsDoNotLoseOrMixLines) {
  LogCapture capture(Log::Sink::Debug);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) {
        Log::debugf("thread %d line %d", t, i);
        LogCapture passing(Log::Sink::Debug); // captures come and go while others log
      }
    });
  }
  for (auto &th : threads)
    th.join();
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 400u);
  for (const auto &l : lines)
    EXPECT_EQ(l.rfind("thread ", 0), 0u) << l;
}

TEST(LogTest, LongFormattedMessagesAreWhole) {
  LogCapture capture(Log::Sink::System);
  std::string big(10000, 'x');
  Log::systemf("%s|%d", big.c_str(), 42);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0], big + "|42");
  EXPECT_EQ(Log::format("%05.1f %s", 3.14159, "pi"), "003.1 pi");
  EXPECT_EQ(Log::format("%s", ""), "");
}

} // namespace
