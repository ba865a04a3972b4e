// Runs the built ferrowen program as a user would: start, stop with a signal, look at what it left;
// start it again on the same data folder; start it locked with its sharing servers on.
#include "tests/support/TestSupport.h"

#include "app/foundation/KeychainWrapper.h"
#include "platform/foundation/Paths.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
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
  const auto deadline =
      std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(30));
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
  const auto deadline =
      std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(30));
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

// --- One program per data folder ------------------------------------------------------------

namespace {

bool waitForPath(const std::string &path, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + testsupport::scaled(limit);
  while (!exists(path))
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return true;
}

// Whether the program runs yet; an ended one is left to finish() to collect.
bool stillRunning(const Child &run) {
  siginfo_t info{};
  return ::waitid(P_PID, id_t(run.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

// The environment of a program on the data folder `home`, without the browser front end (not
// needed here).
std::vector<std::string> on(const std::string &home) {
  return {"FERROWEN_HOME=" + home,
          std::string("FERROWEN_RESOURCES=") + FERROWEN_SOURCE_DIR + "/resources",
          "FERROWEN_RENDERER=0", "FERROWEN_PORT_OVERRIDES=2121=0,8080=0"};
}

// Starts the program on `home` and waits until it listens for later starts.
Child startFirst(const std::string &home, const std::vector<std::string> &args = {}) {
  Child run = start(args, on(home));
  EXPECT_GT(run.pid, 0);
  EXPECT_TRUE(waitForPath(home + "/ferrowen.sock"));
  return run;
}

// Starts the program again on `home`; its exit status (-1 when it did not end) and output.
int startAgain(const std::string &home, const std::vector<std::string> &args, std::string *output) {
  Child run = start(args, on(home));
  const int status = finish(run, output);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int stopWithSigterm(Child &run) {
  ::kill(run.pid, SIGTERM);
  std::string output;
  const int status = finish(run, &output);
  EXPECT_TRUE(WIFEXITED(status)) << output;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(FerrowenProgram, ASecondStartHandsItsAddressOrFileToTheRunningOneAndEnds) {
  TempHome top, elsewhere;
  testsupport::writeFile(elsewhere.path + "/note.txt", "a note");
  testsupport::writeFile(elsewhere.path + "/user@host.PEM", "a key");
  // A data folder too deep for a socket's address is reached all the same.
  const std::string deep = top.path + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
  for (const std::string &home : {top.path, deep}) {
    SCOPED_TRACE(home);
    ASSERT_EQ(std::system(("mkdir -p '" + home + "'").c_str()), 0);
    Child first = startFirst(home);
    struct Case {
      std::string argument; // empty: none
      int status;
      std::string lands; // the file it makes in the running program's data, or a text its
                         // settings then hold (refused: a text they never hold)
    } cases[] = {
        {elsewhere.path + "/note.txt", 0, "Documents/Files/note.txt"},
        {elsewhere.path + "/user@host.PEM", 0, "Documents/Files/PrivateKeys/user@host.PEM"},
        {"ftp://bob@files.example.net/pub", 0, "files.example.net"},
        // A port out of range, or no host, is refused with its reason, before it is handed over.
        {"ftp://eve@other.example.net:70000/", 2, "other.example.net"},
        {"ftp://:21/", 2, "\":21"},
        {"", 1, ""},
    };
    for (const Case &c : cases) {
      SCOPED_TRACE(c.argument);
      std::string output;
      const std::vector<std::string> args =
          c.argument.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.argument};
      EXPECT_EQ(startAgain(home, args, &output), c.status) << output;
      if (c.status != 2) {
        EXPECT_NE(output.find(home), std::string::npos) << "names the data folder: " << output;
      }
      if (c.status == 2) {
        // Refused: the running program's connect fields never hear of it.
        EXPECT_EQ(testsupport::readFile(home + "/Preferences.json").find(c.lands),
                  std::string::npos);
      } else if (c.lands.find('/') != std::string::npos) {
        EXPECT_TRUE(exists(home + "/" + c.lands)) << testsupport::listFolder(home);
      } else if (!c.lands.empty()) {
        EXPECT_NE(testsupport::readFile(home + "/Preferences.json").find(c.lands),
                  std::string::npos);
      }
      if (c.argument.find(":70000") != std::string::npos) {
        EXPECT_NE(output.find("The port must be a number from 1 to 65535."), std::string::npos)
            << output;
      }
      if (c.argument == "ftp://:21/") {
        EXPECT_NE(output.find("The address names no server."), std::string::npos) << output;
      }
      EXPECT_TRUE(stillRunning(first));
    }
    EXPECT_EQ(stopWithSigterm(first), 0);
  }
}

// The status --help gives for a refused address (-1 when it names none).
int refusedStatusInHelp() {
  Child run = start({"--help"}, {});
  std::string help;
  finish(run, &help);
  std::string flat;
  for (char c : help)
    flat += c == '\n' ? ' ' : c;
  const size_t refused = flat.find("A refused address");
  const size_t status = flat.find("status ", refused);
  if (refused == std::string::npos || status == std::string::npos ||
      flat.find('.', flat.find(')', refused)) < status)
    return -1;
  return std::atoi(flat.c_str() + status + 7);
}

// Given at the start, an address without a host or whose port is out of range is refused with
// its reason, ending with the status the help gives for it; nothing is started.
TEST(FerrowenProgram, ARefusedAddressEndsTheStartWithTheStatusTheHelpGives) {
  const int promised = refusedStatusInHelp();
  ASSERT_GT(promised, 0) << "the help names no status for a refused address";
  const struct {
    const char *address, *reason;
  } cases[] = {
      {"ftp://h.example:70000/", "The port must be a number from 1 to 65535."},
      {"ftps://bob@h.example:0", "The port must be a number from 1 to 65535."},
      {"ftp://:21/", "The address names no server."},
      {"ftps://bob:pw@/pub", "The address names no server."},
      {"ftp://%20:21", "The address names no server."},
      {"ftp:///", "The address names no server."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.address);
    TempHome home;
    Child run = start({c.address}, on(home.path));
    ASSERT_GT(run.pid, 0);
    std::string output;
    const int status = finish(run, &output);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), promised) << output;
    EXPECT_NE(output.find(c.reason), std::string::npos) << output;
    EXPECT_FALSE(exists(home.path + "/Preferences.json")) << output;
  }
}

TEST(FerrowenProgram, AStartAfterAKillIsTheProgramAndTakesLaterStarts) {
  TempHome home, elsewhere;
  testsupport::writeFile(elsewhere.path + "/a.txt", "a");
  testsupport::writeFile(elsewhere.path + "/b.txt", "b");
  Child killed = startFirst(home.path);
  ::kill(killed.pid, SIGKILL);
  finish(killed);
  ASSERT_TRUE(exists(home.path + "/ferrowen.sock")) << "what the kill left behind";
  Child next = startFirst(home.path, {elsewhere.path + "/a.txt"});
  EXPECT_TRUE(waitForPath(home.path + "/Documents/Files/a.txt"));
  std::string output;
  EXPECT_EQ(startAgain(home.path, {elsewhere.path + "/b.txt"}, &output), 0) << output;
  EXPECT_TRUE(exists(home.path + "/Documents/Files/b.txt"));
  EXPECT_TRUE(stillRunning(next));
  EXPECT_EQ(stopWithSigterm(next), 0);
}

TEST(FerrowenProgram, TwoStartsAtOnceMakeOneProgramWithBothFiles) {
  TempHome home, elsewhere;
  testsupport::writeFile(elsewhere.path + "/one.txt", "1");
  testsupport::writeFile(elsewhere.path + "/two.txt", "2");
  Child runs[] = {start({elsewhere.path + "/one.txt"}, on(home.path)),
                  start({elsewhere.path + "/two.txt"}, on(home.path))};
  for (const char *name : {"one.txt", "two.txt"})
    EXPECT_TRUE(waitForPath(home.path + "/Documents/Files/" + name)) << name;
  // The one that handed its file over ends with 0; the other runs on.
  const auto deadline =
      std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(30));
  while (stillRunning(runs[0]) && stillRunning(runs[1]) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_NE(stillRunning(runs[0]), stillRunning(runs[1]));
  Child &ended = stillRunning(runs[0]) ? runs[1] : runs[0];
  Child &running = stillRunning(runs[0]) ? runs[0] : runs[1];
  std::string output;
  const int status = finish(ended, &output);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_EQ(stopWithSigterm(running), 0);
}

TEST(FerrowenProgram, AHolderThatDoesNotAnswerIsReportedNotShared) {
  TempHome home, elsewhere;
  testsupport::writeFile(elsewhere.path + "/c.txt", "c");
  // This test holds the folder's lock itself and never listens.
  const int lock = ::open((home.path + "/ferrowen.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  std::string output;
  EXPECT_EQ(startAgain(home.path, {elsewhere.path + "/c.txt"}, &output), 1);
  EXPECT_NE(output.find("does not answer"), std::string::npos) << output;
  EXPECT_FALSE(exists(home.path + "/Documents")) << "the folder was used by a second program";
  ::close(lock);
}

// Saved Files are not shared behind the start-up lock: with a passcode set and both sharing
// servers on, nothing listens while the passcode screen is up (typing it is the page's part).
TEST(FerrowenProgram, TheSharingServersWaitForThePasscode) {
  TempHome home;
  const int ftpPort = testsupport::freeTcpPort(), webPort = testsupport::freeTcpPort();
  // A server address kept: not a fresh install, which would clear the passcode.
  testsupport::writeFile(home.path + "/Preferences.json",
                         R"({"WebServer":"1","FTPServer":"1","ServerAddress":"127.0.0.1"})");
  platform::Paths::setHome(home.path);
  KeychainWrapper().setObject("1234", kSecValueData);
  platform::Paths::setHome("");
  std::vector<std::string> env = on(home.path);
  env.back() = "FERROWEN_PORT_OVERRIDES=2121=" + std::to_string(ftpPort) +
               ",8080=" + std::to_string(webPort);
  Child run = start({}, env);
  ASSERT_GT(run.pid, 0);
  // The queue opens its database as the tabs are made, just before the servers would start.
  ASSERT_TRUE(waitForPath(home.path + "/Documents/bookmarks.sql"));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_FALSE(testsupport::tcpPortAccepts(webPort));
  EXPECT_FALSE(testsupport::tcpPortAccepts(ftpPort));
  EXPECT_EQ(stopWithSigterm(run), 0);
}
