#include "platform/device/ProgramInstance.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Text.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace platform {

namespace {

constexpr const char *kLockName = "ferrowen.lock";
constexpr const char *kSocketName = "ferrowen.sock";
// A handed-over text is one line: an address or a file address, escaped.
constexpr size_t kMaxLine = 64 * 1024;
// Starts answered at once; more wait in the socket's backlog.
constexpr size_t kMaxPeers = 8;
// A start that connects and says nothing is not kept.
constexpr auto kPeerIdle = std::chrono::seconds(10);
// How long a later start waits while the lock is held and nobody listens: the channel is made
// right after the lock is taken, and goes when the program starts to end, which takes seconds.
constexpr auto kChannelWait = std::chrono::seconds(10);

std::string escapedLine(const std::string &text) {
  return lineEscaped(text) + "\n";
}

// The channel's address. A folder too deep for a socket address is reached through a descriptor
// of it (`folderFd`, opened here when needed and left to the caller).
bool channelAddress(const std::string &folder, sockaddr_un &address, int &folderFd) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  std::string path = folder + "/" + kSocketName;
  if (path.size() >= sizeof address.sun_path) {
    if (folderFd < 0) folderFd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return false;
    path = "/proc/self/fd/" + std::to_string(folderFd) + "/" + kSocketName;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

void closeFd(int &fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Sends all of `data` within the deadline.
bool sendAll(int fd, const std::string &data, std::chrono::steady_clock::time_point deadline) {
  for (size_t at = 0; at < data.size();) {
    const ssize_t n = ::send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      at += size_t(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, int(std::min<long long>(left.count(), 1000)));
  }
  return true;
}

} // namespace

struct ProgramInstance::Peer {
  int fd = -1;
  std::string received;
  FdSourceRef source;
  TimerRef idle;
};

ProgramInstance::Claim ProgramInstance::claim(const std::string &folder) {
  Claim claim;
  const std::string lockPath = folder + "/" + kLockName;
  const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    claim.error = "cannot open " + lockPath + ": " + std::strerror(errno);
    return claim;
  }
  int locked;
  while ((locked = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (locked != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK)
      claim.heldElsewhere = true;
    else
      claim.error = "cannot lock " + lockPath + ": " + std::strerror(error);
    return claim;
  }
  std::unique_ptr<ProgramInstance> instance(new ProgramInstance());
  instance->lockFd_ = fd;
  sockaddr_un address{};
  if (!channelAddress(folder, address, instance->folderFd_)) {
    Log::systemf("Cannot listen for later starts: %s", std::strerror(errno));
    claim.instance = std::move(instance);
    return claim;
  }
  // A socket file left here is a gone program's (the lock says none runs): it is replaced.
  ::unlink(address.sun_path);
  const int listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listenFd < 0 ||
      ::bind(listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      ::listen(listenFd, 16) != 0) {
    // The folder stays this program's alone; later starts are told that it does not answer.
    Log::systemf("Cannot listen for later starts: %s", std::strerror(errno));
    if (listenFd >= 0) ::close(listenFd);
  } else {
    instance->listenFd_ = listenFd;
    instance->socketPath_ = address.sun_path;
  }
  claim.instance = std::move(instance);
  return claim;
}

ProgramInstance::~ProgramInstance() {
  stopServing();
  closeFd(folderFd_);
  closeFd(lockFd_);
}

void ProgramInstance::stopServing() {
  if (source_) source_->remove();
  source_.reset();
  for (auto &peer : peers_) {
    if (peer->source) peer->source->remove();
    if (peer->idle) peer->idle->invalidate();
    closeFd(peer->fd);
  }
  peers_.clear();
  // The socket goes while the lock is still held, so it never removes a later program's.
  if (!socketPath_.empty()) ::unlink(socketPath_.c_str());
  socketPath_.clear();
  closeFd(listenFd_);
  handler_ = nullptr;
}

void ProgramInstance::serve(Handler handler) {
  handler_ = std::move(handler);
  if (listenFd_ < 0 || source_) return;
  source_ = RunLoop::main()->addFdSource(listenFd_, unsigned(FdEvent::Read),
                                         [this](unsigned) { accept(); });
}

void ProgramInstance::accept() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    ucred peerCred{};
    socklen_t len = sizeof peerCred;
    if (peers_.size() >= kMaxPeers ||
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peerCred, &len) != 0 ||
        peerCred.uid != ::geteuid()) {
      ::close(fd);
      continue;
    }
    auto peer = std::make_shared<Peer>();
    peer->fd = fd;
    peers_.push_back(peer);
    std::weak_ptr<Peer> weak = peer;
    peer->source =
        RunLoop::main()->addFdSource(fd, unsigned(FdEvent::Read), [this, weak](unsigned) {
          if (auto p = weak.lock()) read(p);
        });
    peer->idle = RunLoop::main()->performAfter(kPeerIdle, [this, weak] {
      if (auto p = weak.lock()) finish(p);
    });
  }
}

void ProgramInstance::read(const std::shared_ptr<Peer> &peer) {
  char buf[4096];
  const ssize_t n = ::recv(peer->fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) return finish(peer); // gone before it said a whole line
  peer->received.append(buf, size_t(n));
  const size_t end = peer->received.find('\n');
  if (end == std::string::npos) {
    if (peer->received.size() > kMaxLine) {
      sendAll(peer->fd, escapedLine("no the text handed over is too long"),
              std::chrono::steady_clock::now() + std::chrono::seconds(1));
      finish(peer);
    }
    return;
  }
  const std::string text = lineUnescaped(peer->received.substr(0, end));
  std::optional<std::string> refused =
      handler_ ? handler_(text) : std::optional<std::string>("nothing takes it");
  sendAll(peer->fd, refused ? escapedLine("no " + *refused) : std::string("ok\n"),
          std::chrono::steady_clock::now() + std::chrono::seconds(1));
  finish(peer);
}

void ProgramInstance::finish(const std::shared_ptr<Peer> &peer) {
  if (peer->source) peer->source->remove();
  peer->source.reset();
  if (peer->idle) peer->idle->invalidate();
  peer->idle.reset();
  closeFd(peer->fd);
  peers_.erase(std::remove(peers_.begin(), peers_.end(), peer), peers_.end());
}

bool ProgramInstance::handOver(const std::string &folder, const std::string &text, std::string &why,
                               std::unique_ptr<ProgramInstance> &claimed, Duration limit) {
  using Steady = std::chrono::steady_clock;
  why.clear();
  const auto deadline = Steady::now() + limit;
  int folderFd = -1;
  struct FolderFd {
    int &fd;
    ~FolderFd() { closeFd(fd); }
  } keep{folderFd};
  sockaddr_un address{};
  if (!channelAddress(folder, address, folderFd)) {
    why = std::string("cannot reach the data folder: ") + std::strerror(errno);
    return false;
  }
  // A program that stops while it is asked closes the channel unanswered: then it is asked
  // again, or its lock is taken once it has gone.
  for (;;) {
    int fd = -1;
    const auto waitFrom = Steady::now();
    for (;;) {
      fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        break;
      closeFd(fd);
      // Not listening: the program holding the folder is still starting, or is ending.
      Claim again = claim(folder);
      if (again.instance) {
        claimed = std::move(again.instance);
        return false;
      }
      if (!again.heldElsewhere) {
        why = again.error;
        return false;
      }
      if (Steady::now() - waitFrom > kChannelWait || Steady::now() > deadline) {
        why = "the program running on this data folder does not answer";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string reply;
    bool closed = !sendAll(fd, escapedLine(text), deadline);
    while (!closed && reply.find('\n') == std::string::npos && reply.size() < kMaxLine) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
      if (left.count() <= 0) break;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, int(std::min<long long>(left.count(), 1000))) <= 0) continue;
      char buf[1024];
      const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
      if (n > 0)
        reply.append(buf, size_t(n));
      else
        closed = true;
    }
    ::close(fd);
    const size_t end = reply.find('\n');
    if (end != std::string::npos) {
      const std::string line = lineUnescaped(reply.substr(0, end));
      if (line == "ok") return true;
      why = line.rfind("no ", 0) == 0 ? line.substr(3) : "an answer it does not understand";
      return false;
    }
    if (!closed || Steady::now() > deadline) {
      why = "the program running on this data folder did not answer in time";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

} // namespace platform
