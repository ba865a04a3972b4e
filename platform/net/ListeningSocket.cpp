#include "platform/net/ListeningSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::net {

struct ListeningSocket::State {
  std::mutex mutex;
  int fd = -1;
  bool valid = false;
  AcceptHandler handler;
  // A descriptor held back for the moment the process has none left: a waiting connection then
  // cannot be accepted and stays ready, and the loop would be woken for it without end. The spare
  // is let go to accept that connection and close it at once, so the client is turned away.
  int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

  ~State() {
    if (spare >= 0) ::close(spare);
  }

  // Turns one waiting connection away; false when there is none or no spare to do it with.
  bool shedOne(int listenFd) {
    if (spare < 0) return false;
    ::close(spare);
    const int c = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0) ::close(c);
    spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return c >= 0;
  }

  void acceptAll() {
    for (;;) {
      AcceptHandler h;
      int listenFd;
      {
        std::lock_guard lock(mutex);
        if (!valid) return;
        h = handler;
        listenFd = fd;
      }
      sockaddr_storage peer{};
      socklen_t len = sizeof peer;
      int c = ::accept4(listenFd, reinterpret_cast<sockaddr *>(&peer), &len,
                        SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (c < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if ((errno == EMFILE || errno == ENFILE) && shedOne(listenFd)) continue;
        return; // EAGAIN, or a failure the next readiness will show again
      }
      std::vector<uint8_t> address;
      if (len > 0 && len <= sizeof peer) {
        auto *p = reinterpret_cast<const uint8_t *>(&peer);
        address.assign(p, p + len);
      }
      if (h)
        h(c, std::move(address));
      else
        ::close(c);
    }
  }
};

ListeningSocket::ListeningSocket() = default;

ListeningSocket::~ListeningSocket() {
  invalidate();
}

bool ListeningSocket::start(uint16_t port, std::shared_ptr<RunLoop> loop, AcceptHandler handler) {
  invalidate();
  failure_ = Failure::None;
  errorCode_ = 0;
  errorText_.clear();
  if (!loop) loop = RunLoop::current();

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    failure_ = Failure::CannotCreate;
    errorCode_ = errno;
    errorText_ = std::strerror(errorCode_);
    return false;
  }
  int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 || ::listen(fd, 128) != 0) {
    failure_ = Failure::CannotBind;
    errorCode_ = errno;
    errorText_ = std::strerror(errorCode_);
    ::close(fd);
    return false;
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
  port_ = ntohs(bound.sin_port);
  address_ = ntohl(bound.sin_addr.s_addr);

  fd_ = fd;
  state_ = std::make_shared<State>();
  state_->fd = fd;
  state_->valid = true;
  state_->handler = std::move(handler);
  std::weak_ptr<State> weak = state_;
  auto source = loop->addFdSource(fd, unsigned(FdEvent::Read), [weak](unsigned) {
    if (auto s = weak.lock()) s->acceptAll();
  });
  sourceLoop_ = loop;
  source_ = std::move(source);
  return true;
}

void ListeningSocket::invalidate() {
  if (fd_ < 0) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->valid = false;
    state_->handler = nullptr;
  }
  int fd = fd_;
  fd_ = -1;
  if (source_) source_->remove();
  source_.reset();
  // The loop drops its watch first (queued behind the removal), then the socket closes.
  if (sourceLoop_ && !sourceLoop_->isCurrent())
    sourceLoop_->perform([fd] { ::close(fd); });
  else
    ::close(fd);
  sourceLoop_.reset();
  state_.reset();
}

} // namespace platform::net
