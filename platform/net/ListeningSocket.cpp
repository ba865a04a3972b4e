#include "platform/net/ListeningSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::net {

namespace {

// A descriptor held back for the moment the process has none left: a waiting connection then
// cannot be accepted and stays ready, and the loop would be woken for it without end. The spare is
// let go to accept that connection and close it at once, so the client is turned away. One spare
// serves every listener of the process (a listener per passive data connection would otherwise
// double what each costs), taken in turn under its lock.
struct Spare {
  std::mutex mutex;
  int fd = -1;

  void hold() {
    std::lock_guard lock(mutex);
    if (fd < 0) fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }

  // Turns one waiting connection away, with `reply` sent first (a short text goes whole into the
  // empty send buffer of a new connection); false when there is none or no spare to do it with.
  bool shedOne(int listenFd, const std::string &reply) {
    std::lock_guard lock(mutex);
    if (fd < 0) fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    const int c = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0) {
      if (!reply.empty()) ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(c);
    }
    fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return c >= 0;
  }
};

Spare &spare() {
  static Spare *const s = new Spare; // lives as long as the process (listeners on any thread)
  return *s;
}

// How long a listener stops watching when a connection can be neither taken nor turned away.
constexpr Duration kNoSpareRest = std::chrono::milliseconds(100);

} // namespace

struct ListeningSocket::State : std::enable_shared_from_this<State> {
  std::mutex mutex;
  int fd = -1;
  bool valid = false;
  AcceptHandler handler;
  TurnAwayHandler turnedAway;
  TurnAwayReply turnAwayReply;
  std::weak_ptr<FdSource> source;
  std::weak_ptr<RunLoop> loop;

  void acceptAll() {
    for (;;) {
      AcceptHandler h;
      TurnAwayReply replyFor;
      int listenFd;
      {
        std::lock_guard lock(mutex);
        if (!valid) return;
        h = handler;
        replyFor = turnAwayReply;
        listenFd = fd;
      }
      sockaddr_storage peer{};
      socklen_t len = sizeof peer;
      int c = ::accept4(listenFd, reinterpret_cast<sockaddr *>(&peer), &len,
                        SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (c < 0) {
        const int error = errno;
        if (error == EINTR || error == ECONNABORTED) continue;
        if (error == EMFILE || error == ENFILE) {
          if (spare().shedOne(listenFd, replyFor ? replyFor(error) : std::string())) {
            reportTurnedAway(error);
            continue;
          }
          rest();
        }
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

  void reportTurnedAway(int error) {
    TurnAwayHandler t;
    {
      std::lock_guard lock(mutex);
      if (!valid) return;
      t = turnedAway;
    }
    if (t) t(error);
  }

  // No spare either (another thread took the descriptor it freed): the connection stays waiting,
  // and instead of being woken for it at once the listener looks again a little later.
  void rest() {
    std::shared_ptr<FdSource> s;
    std::shared_ptr<RunLoop> l;
    {
      std::lock_guard lock(mutex);
      s = source.lock();
      l = loop.lock();
    }
    if (!s || !l) return;
    s->setEvents(0);
    std::weak_ptr<State> weak = weak_from_this();
    l->performAfter(kNoSpareRest, [weak] {
      auto self = weak.lock();
      if (!self) return;
      std::shared_ptr<FdSource> again;
      {
        std::lock_guard lock(self->mutex);
        if (!self->valid) return;
        again = self->source.lock();
      }
      if (again) again->setEvents(unsigned(FdEvent::Read));
    });
  }
};

ListeningSocket::ListeningSocket() = default;

ListeningSocket::~ListeningSocket() {
  invalidate();
}

bool ListeningSocket::start(uint16_t port, std::shared_ptr<RunLoop> loop, AcceptHandler handler,
                            TurnAwayHandler turnedAway, TurnAwayReply turnAwayReply) {
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
  state_->turnedAway = std::move(turnedAway);
  state_->turnAwayReply = std::move(turnAwayReply);
  spare().hold();
  std::weak_ptr<State> weak = state_;
  auto source = loop->addFdSource(fd, unsigned(FdEvent::Read), [weak](unsigned) {
    if (auto s = weak.lock()) s->acceptAll();
  });
  {
    std::lock_guard lock(state_->mutex);
    state_->source = source;
    state_->loop = loop;
  }
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
    state_->turnedAway = nullptr;
    state_->turnAwayReply = nullptr;
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
