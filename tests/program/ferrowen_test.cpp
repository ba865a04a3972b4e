// Runs the built ferrowen program as a user would: start, stop with a signal, look at what it left.
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

const std::string kProgram = FERROWEN_BINARY_DIR "/ferrowen";

bool exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

class TempHome {
public:
  TempHome() {
    char tmpl[] = "/tmp/ferrowen-program-XXXXXX";
    const char *d = ::mkdtemp(tmpl);
    path = d ? d : "";
  }
  ~TempHome() {
    if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
  }
  std::string path;
};

struct Child {
  pid_t pid = -1;
  int outFd = -1; // the program's standard output and error
};

// Starts the program with the current environment plus `extra` (NAME=value entries).
Child start(const std::vector<std::string> &args, const std::vector<std::string> &extra) {
  std::vector<std::string> envStrings;
  for (char **e = environ; *e; ++e) {
    std::string s = *e;
    bool replaced = false;
    for (auto &x : extra)
      if (s.substr(0, s.find('=') + 1) == x.substr(0, x.find('=') + 1)) replaced = true;
    if (!replaced) envStrings.push_back(s);
  }
  for (auto &x : extra)
    envStrings.push_back(x);
  std::vector<char *> envp;
  for (auto &s : envStrings)
    envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStrings{kProgram};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &s : argStrings)
    argv.push_back(s.data());
  argv.push_back(nullptr);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  Child run;
  if (posix_spawn(&run.pid, kProgram.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
    run.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  run.outFd = pipeFds[0];
  return run;
}

// Waits (boundedly) for the program to end; kills it when it does not. Returns the wait status.
int finish(Child &run, std::string *output = nullptr) {
  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    pid_t r = ::waitpid(run.pid, &status, WNOHANG);
    if (r == run.pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(run.pid, SIGKILL);
      ::waitpid(run.pid, &status, 0);
      ADD_FAILURE() << "the program did not end";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  char buf[4096];
  ssize_t n;
  while ((n = ::read(run.outFd, buf, sizeof buf)) > 0)
    if (output) output->append(buf, size_t(n));
  ::close(run.outFd);
  return status;
}

// The program blocks the stop signals before it makes its folders, so once Documents/ and tmp/
// exist a signal is taken by its run loop rather than killing it.
bool waitUntilStarted(const std::string &home) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (exists(home + "/Documents") && exists(home + "/tmp")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

} // namespace

TEST(FerrowenProgram, StopsCleanlyOnSigtermAndSigintWithSettingsSaved) {
  for (int sig : {SIGTERM, SIGINT}) {
    TempHome home;
    ASSERT_FALSE(home.path.empty());
    Child run = start({}, {"FERROWEN_HOME=" + home.path});
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(waitUntilStarted(home.path));
    ASSERT_EQ(::kill(run.pid, sig), 0);
    std::string output;
    int status = finish(run, &output);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << sig << " killed it; output: " << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_TRUE(exists(home.path + "/Preferences.json")) << "signal " << sig;
  }
}

TEST(FerrowenProgram, HelpNamesTheEnvironmentItReads) {
  Child run = start({"--help"}, {});
  ASSERT_GT(run.pid, 0);
  std::string output;
  int status = finish(run, &output);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (const char *name : {"FERROWEN_HOME", "FERROWEN_DEVICE", "FERROWEN_SYSTEM_VERSION",
                           "FERROWEN_SCREEN", "FERROWEN_ORIENTATION", "SIGTERM"})
    EXPECT_NE(output.find(name), std::string::npos) << name;
}

TEST(FerrowenProgram, UnknownArgumentIsRefused) {
  Child run = start({"--frobnicate"}, {});
  ASSERT_GT(run.pid, 0);
  std::string output;
  int status = finish(run, &output);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_NE(output.find("--frobnicate"), std::string::npos);
}

TEST(FerrowenProgram, BadDeviceVariableIsReportedButDoesNotStopTheStart) {
  TempHome home;
  Child run = start({}, {"FERROWEN_HOME=" + home.path, "FERROWEN_DEVICE=toaster"});
  ASSERT_GT(run.pid, 0);
  ASSERT_TRUE(waitUntilStarted(home.path));
  ::kill(run.pid, SIGTERM);
  std::string output;
  int status = finish(run, &output);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(output.find("FERROWEN_DEVICE"), std::string::npos) << output;
}

TEST(FerrowenProgram, RunsTheWholeApplicationWithItsSharingServers) {
  TempHome home;
  const int ftpPort = testsupport::freeTcpPort(), webPort = testsupport::freeTcpPort();
  ASSERT_EQ(::mkdir((home.path + "/Documents").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((home.path + "/Documents/Files").c_str(), 0700), 0);
  testsupport::writeFile(home.path + "/Documents/Files/shared.txt", "shared bytes");
  testsupport::writeFile(home.path + "/Preferences.json", R"({"WebServer":"1","FTPServer":"1"})");
  testsupport::writeFile(home.path + "/handed-in.txt", "handed in");
  Child run = start({home.path + "/handed-in.txt"},
                    {"FERROWEN_HOME=" + home.path,
                     std::string("FERROWEN_RESOURCES=") + FERROWEN_SOURCE_DIR + "/resources",
                     "FERROWEN_PORT_OVERRIDES=2121=" + std::to_string(ftpPort) +
                         ",8080=" + std::to_string(webPort)});
  ASSERT_GT(run.pid, 0);
  ASSERT_TRUE(testsupport::waitForTcpPort(webPort));
  ASSERT_TRUE(testsupport::waitForTcpPort(ftpPort));
  int code = -1;
  const std::string curl = "curl -s --max-time 20 ";
  EXPECT_EQ(testsupport::runCommand(
                curl + "http://127.0.0.1:" + std::to_string(webPort) + "/shared.txt", &code),
            "shared bytes");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(testsupport::runCommand(
                curl + "ftp://127.0.0.1:" + std::to_string(ftpPort) + "/handed-in.txt", &code),
            "handed in")
      << "the file given on the command line is in Saved Files";
  ASSERT_EQ(::kill(run.pid, SIGTERM), 0);
  std::string output;
  int status = finish(run, &output);
  ASSERT_TRUE(WIFEXITED(status)) << output;
  EXPECT_EQ(WEXITSTATUS(status), 0) << output;
  EXPECT_TRUE(exists(home.path + "/Documents/bookmarks.sql")) << output;
}
