#include "app/editor/DocumentConverter.h"

#include "platform/device/Spawn.h"
#include "platform/foundation/Log.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <vector>

extern char **environ;

namespace {

constexpr size_t kMaxOutput = 8 * 1024 * 1024;
constexpr int kMaxMilliseconds = 15000;

// Standard output of the program, or nothing when it could not run, wrote too much, took too
// long or failed.
std::optional<std::string> runCapturing(const std::vector<std::string> &argv) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char *> args;
  for (auto &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    return std::nullopt;
  }
  std::string output;
  bool ok = true;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxMilliseconds);
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p{out[0], POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
      ok = false;
      break;
    }
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    output.append(buffer, static_cast<size_t>(n));
    if (output.size() > kMaxOutput) {
      ok = false;
      break;
    }
  }
  ::close(out[0]);
  if (!ok) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return output;
}

} // namespace

std::optional<std::string> rtfToHtml(const std::string &path) {
  const std::string program = platform::findOnPath("unrtf");
  if (program.empty()) return std::nullopt;
  // A name that starts with a dash stays a file name.
  auto html = runCapturing({program, "--html", path.rfind('/', 0) == 0 ? path : "./" + path});
  if (!html || html->empty()) {
    platform::Log::system("unrtf could not convert the document");
    return std::nullopt;
  }
  return html;
}
