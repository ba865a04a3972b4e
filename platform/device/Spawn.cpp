#include "platform/device/Spawn.h"

#include "platform/foundation/RunLoop.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

extern char **environ;

namespace platform {

std::string findOnPath(const std::string &program) {
  const char *path = std::getenv("PATH");
  if (!path) return {};
  std::string p = path;
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    std::string dir = p.substr(start, end - start);
    if (!dir.empty()) {
      std::string candidate = dir + "/" + program;
      struct stat st;
      if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          ::access(candidate.c_str(), X_OK) == 0)
        return candidate;
    }
    start = end + 1;
  }
  return {};
}

namespace {
// Starts the program; the error number when it could not (an exec that fails is reported here).
int start(const std::vector<std::string> &args, pid_t &pid) {
  if (args.empty()) return EINVAL;
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
}

int reap(pid_t pid, int options) {
  int status = 0;
  pid_t got;
  while ((got = ::waitpid(pid, &status, options)) < 0 && errno == EINTR) {
  }
  return got == pid ? status : -1;
}

std::string describe(int status) {
  if (status < 0) return "its end could not be learnt";
  if (WIFEXITED(status)) return "it ended with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "it was ended by signal " + std::to_string(WTERMSIG(status));
  return "it ended";
}

// What one hand-over's report needs; only ever touched on the main thread.
struct HandOver {
  bool reported = false;
  std::function<void(bool, const std::string &)> done;
  void report(bool took, const std::string &why) {
    if (reported) return;
    reported = true;
    auto d = std::move(done);
    done = nullptr; // what the caller's function holds goes with the report
    if (d) d(took, why);
  }
  void ended(int status) {
    report(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0, describe(status));
  }
};
} // namespace

bool spawnDetached(const std::vector<std::string> &args) {
  pid_t pid;
  if (start(args, pid) != 0) return false;
  // Reap it without holding anyone up.
  std::thread([pid] { reap(pid, 0); }).detach();
  return true;
}

void spawnReported(const std::vector<std::string> &args, Duration wait,
                   std::function<void(bool, const std::string &)> done) {
  auto main = RunLoop::main();
  auto handOver = std::make_shared<HandOver>();
  handOver->done = std::move(done);
  pid_t pid;
  if (int error = start(args, pid); error != 0) {
    handOver->report(false, std::string("it could not be started: ") + std::strerror(error));
    return;
  }
  main->performAfter(wait, [handOver] { handOver->report(true, "it is still running"); });
  // The program's end is heard on the main run loop through a descriptor of the process; where
  // the system has none, a thread waits for it and tells the main loop.
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) {
    auto source = std::make_shared<FdSourceRef>();
    *source = main->addFdSource(fd, unsigned(FdEvent::Read), [handOver, source, fd, pid](unsigned) {
      if (*source) (*source)->remove();
      source->reset(); // the source held itself through this function
      ::close(fd);
      handOver->ended(reap(pid, 0));
    });
    return;
  }
  std::thread([pid, main, handOver]() mutable {
    const int status = reap(pid, 0);
    main->perform([handOver = std::move(handOver), status] { handOver->ended(status); });
  }).detach();
}

} // namespace platform
