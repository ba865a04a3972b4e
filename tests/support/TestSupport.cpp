#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char **environ;

namespace testsupport {

TempDir::TempDir(const std::string &prefix) {
  const char *base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = buf.data();
}

TempDir::~TempDir() {
  namespace fs = std::filesystem;
  std::error_code ec;
  // Folders must be readable, writable and searchable again for their contents to go. Links are
  // not followed: what they lead to is not ours.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(
           path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code entryError;
    if (it->symlink_status(entryError).type() == fs::file_type::directory)
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, entryError);
  }
  fs::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string> &value)
    : name_(std::move(name)) {
  if (const char *old = std::getenv(name_.c_str())) old_ = old;
  if (value)
    ::setenv(name_.c_str(), value->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
  if (old_)
    ::setenv(name_.c_str(), old_->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool writeFile(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

std::string listFolder(const std::string &path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(path, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  std::string out;
  for (const auto &n : names)
    out += (out.empty() ? "" : " ") + n;
  return out;
}

// Ports are drawn below the kernel's ephemeral range (32768 and up): a port taken from that range
// and released can be handed to another test's outgoing connection before our server binds it.
// The draw is random per process, and the port is checked free on every address.
namespace {
// Claims a port number among the test processes running at once: a lock on a file named after
// it, held until this process ends. Two tests that each found the same port free could otherwise
// both hand it to their servers, and one would talk to the other's.
bool claimPort(int port) {
  static const std::string dir = [] {
    const char *tmp = std::getenv("TMPDIR");
    std::string d = std::string(tmp && *tmp ? tmp : "/tmp") + "/ferrowen-test-ports";
    ::mkdir(d.c_str(), 01777);
    ::chmod(d.c_str(), 01777);
    return d;
  }();
  const std::string file = dir + "/" + std::to_string(port);
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return true; // no claims possible here: the bind check alone decides
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  return true; // the descriptor stays open: the claim lasts as long as the process
}
} // namespace

int freeTcpPort() {
  static std::mutex mutex;
  static std::mt19937 rng(
      static_cast<unsigned>(::getpid()) * 2654435761u ^
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  // Up to 10,000 ports just below the ephemeral range (20000-29999 as Debian comes); the browser
  // suites draw theirs the same way (tests/support/ports.mjs).
  static const auto [low, high] = [] {
    int ephemeral = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeral;
    const int top = std::min(ephemeral, 30000) - 1;
    return std::pair{std::max(1024, top - 9999), top};
  }();
  std::lock_guard lock(mutex);
  for (int attempt = 0; attempt < 500; ++attempt) {
    const int port = low + static_cast<int>(rng() % static_cast<unsigned>(high - low + 1));
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (free && claimPort(port)) return port;
  }
  return -1;
}

struct Watchdog::State {
  std::mutex mutex;
  std::condition_variable cv;
  bool released = false;
  std::thread thread;
};

Watchdog::Watchdog(std::string what, std::chrono::milliseconds limit)
    : state_(std::make_shared<State>()) {
  state_->thread = std::thread([state = state_, what = std::move(what), limit = scaled(limit)] {
    std::unique_lock lock(state->mutex);
    if (state->cv.wait_for(lock, limit, [&] { return state->released; })) return;
    std::fprintf(stderr, "Watchdog: %s\n", what.c_str());
    std::fflush(stderr);
    std::_Exit(1);
  });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard lock(state_->mutex);
    state_->released = true;
  }
  state_->cv.notify_all();
  state_->thread.join();
}

FileSizeLimit::FileSizeLimit(uint64_t bytes) {
  rlimit now{};
  if (::getrlimit(RLIMIT_FSIZE, &now) != 0) return;
  oldSoft_ = now.rlim_cur;
  oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
  rlimit limited{static_cast<rlim_t>(bytes), now.rlim_max};
  set_ = ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
  EXPECT_TRUE(set_) << "no file size limit could be set";
}

FileSizeLimit::~FileSizeLimit() {
  rlimit now{};
  if (set_ && ::getrlimit(RLIMIT_FSIZE, &now) == 0) {
    now.rlim_cur = static_cast<rlim_t>(oldSoft_);
    ::setrlimit(RLIMIT_FSIZE, &now);
  }
  ::signal(SIGXFSZ, oldHandler_);
}

int openDescriptorsOn(const std::string &text) {
  int n = 0;
  std::error_code ec;
  for (auto &e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code linkError;
    const auto target = std::filesystem::read_symlink(e.path(), linkError);
    if (!linkError && target.string().find(text) != std::string::npos) ++n;
  }
  return n;
}

bool tcpPortAccepts(int port, const std::string &address) {
  sockaddr_in addr{};
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return false;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

bool waitForTcpPort(int port, std::chrono::milliseconds limit, const std::string &address) {
  const auto end = std::chrono::steady_clock::now() + scaled(limit);
  while (std::chrono::steady_clock::now() < end) {
    if (tcpPortAccepts(port, address)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

Process::Process(std::vector<std::string> argv, const std::string &logDir,
                 const std::map<std::string, std::string> &extraEnv, const std::string &cwd) {
  static int counter = 0;
  const std::string stem = logDir.empty() ? "" : logDir + "/proc" + std::to_string(++counter);
  outPath_ = stem.empty() ? "/dev/null" : stem + ".out";
  errPath_ = stem.empty() ? "/dev/null" : stem + ".err";

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

  std::map<std::string, std::string> env;
  for (char **e = environ; *e; ++e) {
    const char *eq = std::strchr(*e, '=');
    if (eq) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto &[k, v] : extraEnv)
    env[k] = v;
  std::vector<std::string> envStrings;
  for (const auto &[k, v] : env)
    envStrings.push_back(k + "=" + v);
  std::vector<char *> envp, args;
  for (auto &s : envStrings)
    envp.push_back(s.data());
  envp.push_back(nullptr);
  for (auto &s : argv)
    args.push_back(s.data());
  args.push_back(nullptr);

  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
}

Process::~Process() {
  if (pid_ > 0 && !status_) stop();
}

Process::Process(Process &&other) noexcept {
  *this = std::move(other);
}

Process &Process::operator=(Process &&other) noexcept {
  if (this != &other) {
    if (pid_ > 0 && !status_) stop();
    pid_ = other.pid_;
    status_ = other.status_;
    outPath_ = std::move(other.outPath_);
    errPath_ = std::move(other.errPath_);
    other.pid_ = -1;
    other.status_.reset();
  }
  return *this;
}

bool Process::running() {
  if (pid_ <= 0 || status_) return false;
  int st = 0;
  if (::waitpid(pid_, &st, WNOHANG) == pid_) {
    status_ = st;
    return false;
  }
  return true;
}

std::optional<int> Process::wait(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + scaled(limit);
  while (running()) {
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

int Process::stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return -1;
  if (running()) {
    ::kill(pid_, SIGTERM);
    if (!wait(grace)) {
      ::kill(pid_, SIGKILL);
      int st = 0;
      ::waitpid(pid_, &st, 0);
      status_ = st;
    }
  }
  return status_.value_or(-1);
}

std::string Process::output() const {
  return outPath_ == "/dev/null" ? "" : readFile(outPath_);
}
std::string Process::errors() const {
  return errPath_ == "/dev/null" ? "" : readFile(errPath_);
}

std::string runCommand(const std::string &command, int *exitCode) {
  std::string out;
  FILE *p = ::popen(command.c_str(), "r");
  if (!p) {
    if (exitCode) *exitCode = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
    out.append(buf, n);
  const int st = ::pclose(p);
  if (exitCode) *exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

bool makeSelfSignedCert(const std::string &certPath, const std::string &keyPath,
                        const std::string &commonName) {
  int rc = -1;
  runCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=" + commonName +
                 "' -keyout '" + keyPath + "' -out '" + certPath + "' 2>/dev/null",
             &rc);
  return rc == 0;
}

} // namespace testsupport
