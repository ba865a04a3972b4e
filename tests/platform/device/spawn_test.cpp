// A program handed some work says whether it took it: its exit status when it ends within the
// wait, "still running" when it outlives it (it has taken the work), a failure when it cannot be
// started. The answer comes once, on the main thread, and the program is reaped however it ends.
#include "platform/device/Spawn.h"

#include "tests/support/TestSupport.h"

#include "platform/foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>
#include <vector>

using namespace platform;

namespace {

constexpr auto kLimit = std::chrono::seconds(20);

struct Answer {
  int calls = 0;
  bool took = false, onMain = true;
  std::string why;
};

// Hands the script's work over and waits for the answer.
Answer handOver(const std::vector<std::string> &argv, Duration wait) {
  auto answer = std::make_shared<Answer>();
  spawnReported(argv, wait, [answer](bool took, const std::string &why) {
    ++answer->calls;
    answer->took = took;
    answer->why = why;
    answer->onMain = answer->onMain && RunLoop::isMainThread();
  });
  EXPECT_TRUE(
      RunLoop::main()->runUntil([&] { return answer->calls > 0; }, testsupport::scaled(kLimit)));
  return *answer;
}

std::string script(testsupport::TempDir &dir, const std::string &name, const std::string &body) {
  const std::string path = dir.file(name);
  EXPECT_TRUE(testsupport::writeFile(path, "#!/bin/sh\n" + body + "\n"));
  EXPECT_EQ(::chmod(path.c_str(), 0755), 0);
  return path;
}

// Once reaped, the program is gone (a program that ended and was not reaped is still there).
bool gone(pid_t pid) {
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

} // namespace

TEST(SpawnTest, TheProgramsEndWithinTheWaitSaysWhetherItTookTheWork) {
  RunLoop::makeMainThread();
  testsupport::TempDir dir;
  const std::string pidFile = dir.file("pid");
  struct Case {
    const char *name, *body;
    bool took;
    const char *why;
  } cases[] = {
      {"ok", "echo $$ > '@PID@'; exit 0", true, "status 0"},
      {"no-handler", "echo $$ > '@PID@'; exit 3", false, "status 3"},
      {"failed", "echo $$ > '@PID@'; echo refused >&2; exit 4", false, "status 4"},
      {"killed", "echo $$ > '@PID@'; kill -TERM $$", false, "signal 15"},
  };
  for (const Case &c : cases) {
    std::string body = c.body;
    body.replace(body.find("@PID@"), 5, pidFile);
    const Answer a = handOver({script(dir, c.name, body)}, std::chrono::seconds(30));
    EXPECT_EQ(a.calls, 1) << c.name;
    EXPECT_TRUE(a.onMain) << c.name;
    EXPECT_EQ(a.took, c.took) << c.name;
    EXPECT_NE(a.why.find(c.why), std::string::npos) << c.name << ": " << a.why;
    const pid_t pid = std::stoi(testsupport::readFile(pidFile));
    EXPECT_TRUE(gone(pid)) << c.name << " was not reaped";
  }
}

TEST(SpawnTest, AProgramThatCannotStartIsAFailureSaidAtOnce) {
  RunLoop::makeMainThread();
  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::writeFile(dir.file("not-executable"), "#!/bin/sh\nexit 0\n"));
  for (const std::string &path : {dir.file("missing"), dir.file("not-executable"), dir.path()}) {
    const Answer a = handOver({path}, std::chrono::seconds(30));
    EXPECT_EQ(a.calls, 1) << path;
    EXPECT_FALSE(a.took) << path;
    EXPECT_NE(a.why.find("could not be started"), std::string::npos) << a.why;
  }
}

// A program still at work when the wait ends has taken the work; its later end (however it
// ends) changes nothing that was said, and it is reaped then.
TEST(SpawnTest, AProgramStillRunningAfterTheWaitTookTheWork) {
  RunLoop::makeMainThread();
  testsupport::TempDir dir;
  const std::string pidFile = dir.file("pid");
  auto calls = std::make_shared<int>(0);
  auto took = std::make_shared<std::optional<bool>>();
  spawnReported({script(dir, "busy", "echo $$ > '" + pidFile + "'; exec sleep 60")},
                std::chrono::milliseconds(300), [calls, took](bool t, const std::string &) {
                  ++*calls;
                  *took = t;
                });
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return *calls > 0; }, testsupport::scaled(kLimit)));
  EXPECT_EQ(*took, std::optional<bool>(true));
  std::string pidText;
  ASSERT_TRUE(
      RunLoop::main()->runUntil([&] { return !(pidText = testsupport::readFile(pidFile)).empty(); },
                                testsupport::scaled(kLimit)));
  const pid_t pid = std::stoi(pidText);
  EXPECT_FALSE(gone(pid));
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return gone(pid); }, testsupport::scaled(kLimit)))
      << "not reaped";
  RunLoop::main()->runUntil([] { return false; },
                            testsupport::scaled(std::chrono::milliseconds(100)));
  EXPECT_EQ(*calls, 1);
}
