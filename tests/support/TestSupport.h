// Helpers for tests that need the file system, the environment or real peers on loopback.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/Loopback.h"
#include "tests/support/TimeScale.h"

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents on destruction, also when a
// test took permissions away from folders inside it.
class TempDir {
public:
  explicit TempDir(const std::string &prefix = "ferrowen-test");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  bool ok() const { return !path_.empty(); }

private:
  std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable for the life of the object.
class ScopedEnv {
public:
  ScopedEnv(std::string name, const std::optional<std::string> &value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
  std::string name_;
  std::optional<std::string> old_;
};

// Sets or clears any number of environment variables, the same one more than once if need be;
// every one is put back, in reverse order, on destruction.
class EnvGuard {
public:
  // A null value clears the variable.
  void set(const std::string &name, const char *value) {
    scoped_.push_back(std::make_unique<ScopedEnv>(name, value ? std::optional<std::string>(value)
                                                              : std::nullopt));
  }
  ~EnvGuard() {
    while (!scoped_.empty())
      scoped_.pop_back();
  }

private:
  std::vector<std::unique_ptr<ScopedEnv>> scoped_;
};

std::string readFile(const std::string &path);
bool writeFile(const std::string &path, const std::string &content);
// The names in a folder (not below it), sorted and separated by blanks: "" for an empty or
// missing folder. What a task left behind reads as the names in a failure message.
std::string listFolder(const std::string &path);

// Ends the test process with `what` on standard error unless let go within `limit`: a case that
// would hang (a deadlock) fails at once instead of holding the suite until its time runs out.
// (`limit` is scaled.)
class Watchdog {
public:
  Watchdog(std::string what, std::chrono::milliseconds limit);
  ~Watchdog();
  Watchdog(const Watchdog &) = delete;
  Watchdog &operator=(const Watchdog &) = delete;

private:
  struct State;
  std::shared_ptr<State> state_;
};

// Limits the size of every file this process writes (the soft RLIMIT_FSIZE) for the object's
// life, with SIGXFSZ ignored: a write past the limit then fails with EFBIG, the way a full disk
// fails it. It holds for every thread of the process, so keep the window short.
class FileSizeLimit {
public:
  explicit FileSizeLimit(uint64_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit &) = delete;
  FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
  uint64_t oldSoft_ = 0;
  bool set_ = false;
  void (*oldHandler_)(int) = nullptr;
};

// How many of this process's open descriptors lead to a file whose path contains `text` (a file
// removed while open included).
int openDescriptorsOn(const std::string &text);

// A TCP port that was free a moment ago on every address, drawn just below the kernel's
// ephemeral range (20000-29999 as Debian comes: outgoing connections of parallel tests cannot
// take it meanwhile),
// and claimed for this process's life: no other test process running at once is given it.
int freeTcpPort();
// Whether something accepts a connection on 127.0.0.1:port (or another loopback address) now.
bool tcpPortAccepts(int port, const std::string &address = "127.0.0.1");
// Waits until something accepts connections on 127.0.0.1:port (or another loopback address);
// `limit` is scaled.
bool waitForTcpPort(int port, std::chrono::milliseconds limit = std::chrono::seconds(15),
                    const std::string &address = "127.0.0.1");

// A child process (a real server or client), started with posix_spawn; its standard output and
// error go to files in `logDir` (or /dev/null). Stopped by pid (SIGTERM, then SIGKILL) on
// destruction.
class Process {
public:
  Process() = default;
  Process(std::vector<std::string> argv, const std::string &logDir = "",
          const std::map<std::string, std::string> &extraEnv = {}, const std::string &cwd = "");
  ~Process();
  Process(Process &&other) noexcept;
  Process &operator=(Process &&other) noexcept;
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  bool running();
  // Sends SIGTERM, waits up to `grace` (scaled), then SIGKILL. Returns the exit status (as from
  // waitpid).
  int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
  // Waits for the process to end by itself; nullopt when it did not within `limit` (scaled).
  std::optional<int> wait(std::chrono::milliseconds limit);
  std::string output() const; // what it wrote to standard output so far
  std::string errors() const; // what it wrote to standard error so far

private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string outPath_, errPath_;
};

// Runs a shell command to completion; returns its standard output, sets *exitCode.
std::string runCommand(const std::string &command, int *exitCode = nullptr);

// Makes a self-signed RSA certificate and key (PEM) with the openssl command.
bool makeSelfSignedCert(const std::string &certPath, const std::string &keyPath,
                        const std::string &commonName = "localhost");

} // namespace testsupport
