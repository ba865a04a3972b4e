#include "platform/net/SocketStream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace platform::net {

// ---------------------------------------------------------------------------------------------
// TLS sessions

// The sessions the server gave us, newest last. A connection is offered the newest one that no
// connection was offered yet: a server may accept each TLS 1.3 ticket only once, and every
// connection that resumes is normally given a fresh ticket, read before it ends. When every
// session was offered already (a server that sends no new ticket on a resumed connection, or a
// connection that ended before its ticket came) the newest is offered again: most servers accept
// a ticket more than once, and one that does not refuses the resumption, which a connection
// without any session would get as well. A TLS 1.2 session is resumed as often as the server
// allows.
struct TlsSessionCache::Impl {
  static constexpr size_t kPoolLimit = 8;
  struct Entry {
    SSL_SESSION *session;
    bool offered;
  };
  mutable std::mutex mutex;
  std::deque<Entry> pool;

  ~Impl() {
    for (Entry &e : pool)
      SSL_SESSION_free(e.session);
  }
  // Takes the caller's reference.
  void store(SSL_SESSION *s) {
    std::lock_guard lock(mutex);
    pool.push_back({s, false});
    while (pool.size() > kPoolLimit) {
      SSL_SESSION_free(pool.front().session);
      pool.pop_front();
    }
  }
  // A reference for the caller, or null.
  SSL_SESSION *take() {
    std::lock_guard lock(mutex);
    if (pool.empty()) return nullptr;
    Entry *chosen = &pool.back();
    for (auto it = pool.rbegin(); it != pool.rend(); ++it) {
      if (!it->offered) {
        chosen = &*it;
        break;
      }
    }
    chosen->offered = true;
    // A copy: OpenSSL marks a TLS 1.3 session it resumed as used up, which would keep the
    // pool's own from being offered again.
    if (SSL_SESSION *copy = SSL_SESSION_dup(chosen->session)) return copy;
    SSL_SESSION_up_ref(chosen->session);
    return chosen->session;
  }
  void clear() {
    std::lock_guard lock(mutex);
    for (Entry &e : pool)
      SSL_SESSION_free(e.session);
    pool.clear();
  }
};

TlsSessionCache::TlsSessionCache() : impl_(std::make_unique<Impl>()) {}
TlsSessionCache::~TlsSessionCache() = default;

bool TlsSessionCache::hasSession() const {
  std::lock_guard lock(impl_->mutex);
  return !impl_->pool.empty();
}

void TlsSessionCache::clear() {
  impl_->clear();
}

namespace detail {

namespace {

// Bulk transfers move hundreds of MB/s: reads take up to 64 KiB per system call and keep up to
// 256 KiB ahead, so the cost of a call and of an event is spread over many bytes.
constexpr size_t kReadAheadLimit = 256 * 1024;
constexpr size_t kWriteBufferLimit = 64 * 1024;
constexpr size_t kRecvChunk = 64 * 1024;
constexpr size_t kInCapacity = kReadAheadLimit + kRecvChunk;
constexpr size_t kInFirst = 16 * 1024;
// The first receive of a connection goes to the stack: most requests and commands fit.
constexpr size_t kFirstRecv = 4 * 1024;
// One TLS record at most per SSL_write.
constexpr size_t kChunk = 16 * 1024;
// The most one sendfile call moves, so that one connection does not hold its loop for long.
constexpr size_t kSendFileChunk = 1024 * 1024;
const Duration kLingerLimit = seconds(30);

int sslCoreIndex() {
  static int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int onNewSession(SSL *ssl, SSL_SESSION *session);

// OpenSSL's socket BIO writes with write(), which raises SIGPIPE once the peer has gone (and a
// gentle close still sends a close_notify then): this one sends with MSG_NOSIGNAL, as the plain
// connections do, and is the socket BIO otherwise.
int writeWithoutSignal(BIO *bio, const char *data, int length) {
  const int fd = int(BIO_get_fd(bio, nullptr));
  errno = 0;
  ssize_t n;
  do {
    n = ::send(fd, data, size_t(length), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  BIO_clear_retry_flags(bio);
  if (n <= 0 && BIO_sock_should_retry(int(n))) BIO_set_retry_write(bio);
  return int(n);
}

BIO_METHOD *socketMethodWithoutSignal() {
  static BIO_METHOD *method = [] {
    const BIO_METHOD *socket = BIO_s_socket();
    BIO_METHOD *m = BIO_meth_new(BIO_TYPE_SOCKET, "socket without SIGPIPE");
    BIO_meth_set_write(m, writeWithoutSignal);
    BIO_meth_set_read(m, BIO_meth_get_read(socket));
    BIO_meth_set_puts(m, BIO_meth_get_puts(socket));
    BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(socket));
    BIO_meth_set_create(m, BIO_meth_get_create(socket));
    BIO_meth_set_destroy(m, BIO_meth_get_destroy(socket));
    return m;
  }();
  return method;
}

// One client context for the whole process: every connection uses the same settings, and sessions
// move freely between connections made from one context.
SSL_CTX *clientContext() {
  static SSL_CTX *ctx = [] {
    SSL_CTX *c = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(c, TLS1_VERSION);
    SSL_CTX_set_security_level(c, 0);
    SSL_CTX_set_cipher_list(c, "DEFAULT:@SECLEVEL=0");
    // No chain validation: expired certificates and roots, and any root, are accepted.
    SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_options(c, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_LEGACY_SERVER_CONNECT);
    SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Records are read from the socket many at a time, not with two system calls each (header,
    // then body). What OpenSSL holds back this way is drained by readAhead(), which reads until
    // OpenSSL wants the socket again (or the read-ahead bound is reached, and a read() pumps on).
    SSL_CTX_set_read_ahead(c, 1);
    SSL_CTX_set_default_read_buffer_len(c, 64 * 1024);
    // Sessions are kept by TlsSessionCache, not by the context.
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(c, onNewSession);
    return c;
  }();
  return ctx;
}

// The reasons in words ("tlsv13 alert certificate required"), as a person reads them; the error
// code's full form only where the library has no words for it.
std::string openSslErrorText() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    std::string one;
    if (const char *reason = ERR_reason_error_string(e)) {
      one = reason;
    } else {
      char buf[256];
      ERR_error_string_n(e, buf, sizeof buf);
      one = buf;
    }
    if (text.find(one) != std::string::npos) continue;
    if (!text.empty()) text += "; ";
    text += one;
  }
  return text;
}

bool isNumericHost(const std::string &host) {
  in6_addr a6;
  in_addr a4;
  return inet_pton(AF_INET, host.c_str(), &a4) == 1 || inet_pton(AF_INET6, host.c_str(), &a6) == 1;
}

std::string nameText(X509_NAME *name) {
  BIO *bio = BIO_new(BIO_s_mem());
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  char *data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string text(data, size_t(len > 0 ? len : 0));
  BIO_free(bio);
  return text;
}

std::string commonName(X509_NAME *name) {
  int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (i < 0) return {};
  ASN1_STRING *s = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
  unsigned char *utf8 = nullptr;
  int len = ASN1_STRING_to_UTF8(&utf8, s);
  if (len < 0) return {};
  std::string text(reinterpret_cast<char *>(utf8), size_t(len));
  OPENSSL_free(utf8);
  return text;
}

} // namespace

struct Address {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

class SocketCore : public std::enable_shared_from_this<SocketCore> {
public:
  enum class Phase { Idle, Resolving, Connecting, Connected, Failed, Finished };

  struct Side {
    bool opened = false;
    bool closed = false;
    bool alive = true; // the stream object exists
    bool openDelivered = false;
    bool endDelivered = false;
    bool errorDelivered = false;
    bool armed = false;
    unsigned mask = 0;
    StreamClientCallback callback;
    uint64_t generation = 0;
    std::shared_ptr<RunLoop> loop;
  };

  struct Delivery {
    int side;
    StreamEvent event;
    uint64_t generation;
    std::shared_ptr<RunLoop> loop;
  };

  SocketCore(std::string host, uint16_t port) : host_(std::move(host)), port_(port) {}
  // fd is non-blocking already (see createSocketStreamPairWithNativeSocket).
  SocketCore(int fd, bool ownsFd) : fd_(fd), ownsFd_(ownsFd), native_(true) {}

  ~SocketCore() {
    if (source_) source_->remove();
    if (ssl_) SSL_free(ssl_);
    if (fd_ >= 0 && ownsFd_) ::close(fd_);
  }

  // ---- stream operations (any thread) ----

  bool open(int s) {
    std::unique_lock lock(mutex_);
    Side &sd = side_[s];
    if (sd.opened || sd.closed) return false;
    sd.opened = true;
    sd.armed = true;
    if (phase_ == Phase::Idle) start();
    if (phase_ == Phase::Failed && !connectedOnce_ && !asyncStarted_) {
      sd.errorDelivered = true; // the failure is the answer of open() itself
      return false;
    }
    postPump();
    return true;
  }

  void close(int s, bool destroyed) {
    std::shared_ptr<SocketCore> keep;
    {
      std::unique_lock lock(mutex_);
      Side &sd = side_[s];
      if (destroyed) sd.alive = false;
      if (!sd.closed) {
        sd.closed = true;
        sd.callback = nullptr;
        ++sd.generation;
      }
      sd.loop = nullptr;
      refreshIoLoop();
      maybeFinish(keep);
    }
  }

  bool setClient(int s, unsigned mask, StreamClientCallback cb) {
    std::lock_guard lock(mutex_);
    Side &sd = side_[s];
    ++sd.generation;
    if (!cb || mask == 0) {
      sd.callback = nullptr;
      sd.mask = 0;
    } else {
      sd.callback = std::move(cb);
      sd.mask = mask;
    }
    return true;
  }

  void schedule(int s, std::shared_ptr<RunLoop> loop) {
    std::lock_guard lock(mutex_);
    side_[s].loop = std::move(loop);
    refreshIoLoop();
    postPump();
  }

  void unschedule(int s) {
    std::lock_guard lock(mutex_);
    side_[s].loop = nullptr;
    refreshIoLoop();
  }

  StreamStatus status(int s) const {
    std::lock_guard lock(mutex_);
    const Side &sd = side_[s];
    if (!sd.opened) return StreamStatus::NotOpen;
    if (sd.closed) return StreamStatus::Closed;
    switch (phase_) {
    case Phase::Failed:
      return StreamStatus::Error;
    case Phase::Connected:
      if (s == 0 && eof_ && bufferedIn() == 0) return StreamStatus::AtEnd;
      return StreamStatus::Open;
    case Phase::Finished:
      return StreamStatus::Closed;
    default:
      return StreamStatus::Opening;
    }
  }

  StreamError error() const {
    std::lock_guard lock(mutex_);
    return error_;
  }

  long read(uint8_t *buffer, size_t maxLength) {
    std::lock_guard lock(mutex_);
    Side &sd = side_[0];
    if (!sd.opened || sd.closed) return -1;
    if (bufferedIn() == 0 && !ioLoop_ && phase_ == Phase::Connected) doIo();
    size_t n = std::min(bufferedIn(), maxLength);
    if (n > 0) {
      std::memcpy(buffer, in_.get() + inPos_, n);
      inPos_ += n;
      if (inPos_ == inEnd_) inPos_ = inEnd_ = 0;
      sd.armed = true;
      postPump();
      return long(n);
    }
    if (phase_ == Phase::Failed || phase_ == Phase::Finished) return -1;
    sd.armed = true;
    postPump();
    return 0;
  }

  bool hasBytesAvailable() const {
    std::lock_guard lock(mutex_);
    return side_[0].opened && !side_[0].closed && bufferedIn() > 0;
  }

  long write(const uint8_t *buffer, size_t length, bool last = false) {
    std::lock_guard lock(mutex_);
    Side &sd = side_[1];
    if (!sd.opened || sd.closed) return -1;
    endFollows_ = last;
    if (phase_ == Phase::Failed || phase_ == Phase::Finished || phase_ == Phase::Idle) return -1;
    size_t room = kWriteBufferLimit - std::min(kWriteBufferLimit, pendingOut());
    size_t n = std::min(room, length);
    if (n > 0) {
      if (outPos_ > 0 && outPos_ == out_.size()) {
        out_.clear();
        outPos_ = 0;
      }
      out_.insert(out_.end(), buffer, buffer + n);
      if (phase_ == Phase::Connected && !handshaking()) flushOut();
    }
    sd.armed = true;
    if (!ioLoop_ && phase_ == Phase::Connected) doIo();
    postPump();
    return phase_ == Phase::Failed ? -1 : long(n);
  }

  bool hasSpaceAvailable() const {
    std::lock_guard lock(mutex_);
    return side_[1].opened && !side_[1].closed && phase_ == Phase::Connected &&
           pendingOut() < kWriteBufferLimit;
  }

  long sendFile(int fileFd, int64_t offset, size_t length) {
    std::lock_guard lock(mutex_);
    Side &sd = side_[1];
    if (!sd.opened || sd.closed) return -1;
    if (phase_ == Phase::Failed || phase_ == Phase::Finished || phase_ == Phase::Idle) return -1;
    if (tlsRequested_) return SocketOutputStream::kCopyInstead;
    sd.armed = true;
    long result = 0;
    if (phase_ == Phase::Connected && pendingOut() > 0) flushOut(); // what write() took goes first
    if (phase_ == Phase::Connected && pendingOut() > 0) {
      fileWriteBlocked_ = true;
    } else if (phase_ == Phase::Connected && length > 0) {
      off_t at = off_t(offset);
      const ssize_t n = sendFileWithoutSignal(fileFd, &at, std::min(length, kSendFileChunk));
      if (n > 0) {
        result = long(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        fileWriteBlocked_ = true;
      } else if (n == 0 || errno == EINVAL || errno == ENOSYS) {
        // The file ended early, or this file cannot be sent by the kernel.
        result = SocketOutputStream::kCopyInstead;
      } else {
        const int err = errno;
        fail(StreamError::Domain::Posix, err, std::strerror(err));
      }
    }
    postPump();
    return phase_ == Phase::Failed ? -1 : result;
  }

  // sendfile() has no MSG_NOSIGNAL: a peer that has gone would raise SIGPIPE, which ends a
  // process that does not ignore it. Unless it is ignored, it is held back and taken again.
  ssize_t sendFileWithoutSignal(int fileFd, off_t *at, size_t count) {
    struct sigaction current {};
    const bool ignored =
        ::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
    sigset_t pipe, old;
    if (!ignored) {
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, &old);
    }
    ssize_t n;
    do {
      n = ::sendfile(fd_, fileFd, at, count);
    } while (n < 0 && errno == EINTR);
    if (!ignored) {
      const int err = errno;
      // Taken also after a partial send: the peer may have gone in the middle of it.
      const timespec none{0, 0};
      while (sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) {
      }
      pthread_sigmask(SIG_SETMASK, &old, nullptr);
      errno = err;
    }
    return n;
  }

  bool setTls(const TlsSettings &settings) {
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::Failed || phase_ == Phase::Finished) return false;
    if (tlsRequested_) return true; // the pair's other stream was given the settings already
    tlsRequested_ = true;
    tls_ = settings;
    if (tls_.peerName.empty() && !host_.empty() && !isNumericHost(host_)) tls_.peerName = host_;
    // What was written before now still goes out in plain text, ahead of the handshake.
    plainBeforeTls_ = pendingOut();
    if (phase_ == Phase::Connected) doIo();
    postPump();
    return true;
  }

  bool tlsRequested() const {
    std::lock_guard lock(mutex_);
    return tlsRequested_;
  }
  bool tlsEstablished() const {
    std::lock_guard lock(mutex_);
    return tlsDone_;
  }
  bool sessionReused() const {
    std::lock_guard lock(mutex_);
    return sessionReused_;
  }
  std::string protocolVersion() const {
    std::lock_guard lock(mutex_);
    return ssl_ && tlsDone_ ? SSL_get_version(ssl_) : std::string();
  }

  std::vector<PeerCertificate> peerCertificates() const {
    std::lock_guard lock(mutex_);
    std::vector<PeerCertificate> result;
    if (!ssl_ || !tlsDone_) return result;
    STACK_OF(X509) *chain = SSL_get_peer_cert_chain(ssl_);
    if (!chain) return result;
    for (int i = 0; i < sk_X509_num(chain); ++i) {
      X509 *cert = sk_X509_value(chain, i);
      PeerCertificate pc;
      X509_NAME *subject = X509_get_subject_name(cert);
      pc.subject = nameText(subject);
      pc.subjectSummary = commonName(subject);
      if (pc.subjectSummary.empty()) pc.subjectSummary = pc.subject;
      if (EVP_PKEY *key = X509_get0_pubkey(cert)) pc.publicKeyBits = EVP_PKEY_get_bits(key);
      result.push_back(std::move(pc));
    }
    return result;
  }

  int nativeSocket() const {
    std::lock_guard lock(mutex_);
    return phase_ == Phase::Finished ? -1 : fd_;
  }

  // A session the server gave us (OpenSSL's new-session callback, inside an SSL call we made).
  bool takeSession(SSL_SESSION *session) {
    if (!tls_.sessionCache || !tls_.storesSessions) return false;
    tls_.sessionCache->impl_->store(session);
    return true;
  }

private:
  // ---- internals (mutex_ held) ----

  size_t bufferedIn() const { return inEnd_ - inPos_; }
  size_t pendingOut() const { return out_.size() - outPos_; }
  bool handshaking() const { return tlsRequested_ && !tlsDone_; }

  void start() {
    if (native_) {
      phase_ = Phase::Connected;
      connectedOnce_ = true;
      return;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *res = nullptr;
    std::string service = std::to_string(port_);
    if (isNumericHost(host_) && getaddrinfo(host_.c_str(), service.c_str(), &hints, &res) == 0) {
      takeAddresses(res);
      freeaddrinfo(res);
      connectNext();
      if (phase_ == Phase::Connecting || phase_ == Phase::Connected) asyncStarted_ = true;
      return;
    }
    if (host_.empty()) {
      fail(StreamError::Domain::NameResolution, EAI_NONAME, gai_strerror(EAI_NONAME));
      return;
    }
    // Names are resolved on a thread of their own so that no run loop waits for the resolver.
    phase_ = Phase::Resolving;
    asyncStarted_ = true;
    std::weak_ptr<SocketCore> weak = shared_from_this();
    std::thread([weak, host = host_, service] {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
      addrinfo *res = nullptr;
      int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
      if (auto core = weak.lock()) core->resolved(rc, res);
      if (res) freeaddrinfo(res);
    }).detach();
  }

  void takeAddresses(addrinfo *res) {
    for (addrinfo *ai = res; ai; ai = ai->ai_next) {
      Address a;
      std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
      a.length = ai->ai_addrlen;
      addresses_.push_back(a);
    }
  }

  void resolved(int rc, addrinfo *res) {
    std::lock_guard lock(mutex_);
    if (phase_ != Phase::Resolving) return;
    if (rc != 0) {
      fail(StreamError::Domain::NameResolution, rc, gai_strerror(rc));
    } else {
      takeAddresses(res);
      connectNext();
    }
    postPump();
  }

  void connectNext() {
    int lastErr = EHOSTUNREACH;
    while (nextAddress_ < addresses_.size()) {
      const Address &a = addresses_[nextAddress_++];
      int fd = ::socket(a.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) {
        lastErr = errno;
        continue;
      }
      fd_ = fd;
      if (::connect(fd, reinterpret_cast<const sockaddr *>(&a.storage), a.length) == 0) {
        onConnected();
        return;
      }
      if (errno == EINPROGRESS || errno == EINTR) {
        phase_ = Phase::Connecting;
        return;
      }
      lastErr = errno;
      dropFd();
    }
    fail(StreamError::Domain::Posix, lastErr, std::strerror(lastErr));
  }

  void removeSource() {
    if (!source_) return;
    // On the loop's own thread the watch goes at once; from another thread the loop is asked to
    // drop it, and does so later.
    if (!sourceLoop_ || !sourceLoop_->isCurrent()) removalQueued_ = true;
    source_->remove();
    source_.reset();
    watched_ = ~0u;
  }

  // Closes the current socket. A loop that watched it may still hold a removal in its queue; the
  // socket is then closed behind that (the loop must not watch a number the system hands out
  // again), and shut down now so that the peer learns of the end at once. When every watch went
  // at once (the loop's own thread did it all), it closes right away.
  void dropFd() {
    removeSource();
    if (fd_ < 0) return;
    int fd = fd_;
    fd_ = -1;
    if (!ownsFd_) return;
    if (removalQueued_ && sourceLoop_) {
      ::shutdown(fd, SHUT_RDWR);
      sourceLoop_->perform([fd] { ::close(fd); });
      return;
    }
    ::close(fd);
  }

  void onConnected() {
    phase_ = Phase::Connected;
    connectedOnce_ = true;
  }

  void checkConnect() {
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, 0) <= 0 || p.revents == 0) return;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == 0) {
      onConnected();
      return;
    }
    dropFd();
    if (nextAddress_ < addresses_.size()) {
      connectNext();
      if (phase_ == Phase::Failed) return;
    } else {
      fail(StreamError::Domain::Posix, err, std::strerror(err));
    }
  }

  void fail(StreamError::Domain domain, int code, std::string text) {
    if (phase_ == Phase::Failed || phase_ == Phase::Finished) return;
    phase_ = Phase::Failed;
    error_.domain = domain;
    error_.code = code;
    error_.text = std::move(text);
  }

  void failTls(const char *what, int sslError, std::string detail = {}) {
    if (detail.empty()) detail = openSslErrorText();
    if (detail.empty()) {
      if (sslError == SSL_ERROR_SYSCALL && errno != 0)
        detail = std::strerror(errno);
      else
        detail = "connection closed by the peer";
    }
    fail(StreamError::Domain::Tls, sslError, std::string(what) + ": " + detail);
  }

  void beginTls() {
    ERR_clear_error();
    ssl_ = SSL_new(clientContext());
    if (!ssl_) {
      failTls("TLS setup failed", SSL_ERROR_SSL);
      return;
    }
    SSL_set_ex_data(ssl_, sslCoreIndex(), this);
    BIO *bio = BIO_new(socketMethodWithoutSignal());
    if (!bio) {
      failTls("TLS setup failed", SSL_ERROR_SSL);
      return;
    }
    BIO_set_fd(bio, fd_, BIO_NOCLOSE);
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_connect_state(ssl_);
    if (!tls_.peerName.empty()) SSL_set_tlsext_host_name(ssl_, tls_.peerName.c_str());
    if (tls_.sessionCache) {
      if (SSL_SESSION *s = tls_.sessionCache->impl_->take()) {
        SSL_set_session(ssl_, s);
        SSL_SESSION_free(s);
      }
    }
  }

  void flushPlain(size_t limit) {
    // Before the end, the last bytes wait in the system for it and leave with it, in one packet.
    const int flags = MSG_NOSIGNAL | (endFollows_ && !tlsRequested_ ? MSG_MORE : 0);
    while (pendingOut() > 0 && limit > 0) {
      ssize_t n = ::send(fd_, out_.data() + outPos_, std::min(pendingOut(), limit), flags);
      if (n > 0) {
        outPos_ += size_t(n);
        limit -= size_t(n);
        if (plainBeforeTls_ > 0) plainBeforeTls_ -= std::min(plainBeforeTls_, size_t(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        writeBlocked_ = true;
        return;
      }
      int err = n < 0 ? errno : EPIPE;
      fail(StreamError::Domain::Posix, err, std::strerror(err));
      return;
    }
  }

  void flushOut() {
    writeBlocked_ = false;
    sslWriteWantsRead_ = false;
    if (!ssl_) {
      flushPlain(tlsRequested_ ? plainBeforeTls_ : SIZE_MAX);
    } else {
      while (pendingOut() > 0) {
        ERR_clear_error();
        int n = SSL_write(ssl_, out_.data() + outPos_, int(std::min(pendingOut(), kChunk)));
        if (n > 0) {
          outPos_ += size_t(n);
          continue;
        }
        int e = SSL_get_error(ssl_, n);
        if (e == SSL_ERROR_WANT_WRITE) {
          writeBlocked_ = true;
          break;
        }
        if (e == SSL_ERROR_WANT_READ) {
          sslWriteWantsRead_ = true;
          break;
        }
        // A peer that refuses us after the handshake (a certificate it wanted, say) sends its
        // alert and closes; our next write then meets the reset. The alert still waits unread
        // and says why, so it is read before the bare reset is reported.
        std::string detail;
        if (e == SSL_ERROR_SYSCALL) {
          const int writeErrno = errno;
          detail = openSslErrorText();
          readAhead();
          if (phase_ != Phase::Connected) return;
          errno = writeErrno;
        }
        failTls("TLS write failed", e, detail);
        return;
      }
    }
    if (pendingOut() == 0) {
      out_.clear();
      outPos_ = 0;
    } else if (outPos_ > kWriteBufferLimit) {
      out_.erase(out_.begin(), out_.begin() + long(outPos_));
      outPos_ = 0;
    }
  }

  // Room at the end of the read-ahead buffer for the next receive (the socket's bytes go straight
  // into it). The buffer starts small and grows, up to its bound, while receives fill it.
  size_t inRoom() {
    if (inPos_ > 0) {
      std::memmove(in_.get(), in_.get() + inPos_, bufferedIn());
      inEnd_ -= inPos_;
      inPos_ = 0;
    }
    if (inEnd_ == inCapacity_ && inCapacity_ < kInCapacity) {
      const size_t grown = inCapacity_ ? std::min(inCapacity_ * 4, kInCapacity) : kInFirst;
      auto bigger = std::make_unique_for_overwrite<uint8_t[]>(grown);
      if (inEnd_ > 0) std::memcpy(bigger.get(), in_.get(), inEnd_);
      in_ = std::move(bigger);
      inCapacity_ = grown;
    }
    return std::min(inCapacity_ - inEnd_, kRecvChunk);
  }

  void readAhead() {
    sslReadWantsWrite_ = false;
    if (!in_ && !ssl_) {
      // The buffer is made once the peer has sent something: thousands of idle connections do
      // not hold one each. The first bytes are taken onto the stack and moved into it.
      uint8_t first[kFirstRecv];
      ssize_t n;
      do {
        n = ::recv(fd_, first, sizeof first, 0);
      } while (n < 0 && errno == EINTR);
      if (n == 0) eof_ = true;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        const int err = errno;
        fail(StreamError::Domain::Posix, err, std::strerror(err));
      }
      if (n <= 0) return;
      inRoom();
      std::memcpy(in_.get(), first, size_t(n));
      inEnd_ = size_t(n);
      // Less than asked for: the socket had no more just now (a request, a command), and another
      // receive would only find it empty; readiness brings the rest.
      if (size_t(n) < sizeof first) return;
    }
    while (bufferedIn() < kReadAheadLimit && !eof_ && phase_ == Phase::Connected) {
      const size_t roomSize = inRoom();
      uint8_t *room = in_.get() + inEnd_;
      if (!ssl_) {
        ssize_t n = ::recv(fd_, room, roomSize, 0);
        if (n > 0) {
          inEnd_ += size_t(n);
          if (size_t(n) < roomSize) break; // drained for now, as above
          continue;
        }
        if (n == 0) {
          eof_ = true;
          break;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        int err = errno;
        fail(StreamError::Domain::Posix, err, std::strerror(err));
        return;
      }
      ERR_clear_error();
      errno = 0;
      int n = SSL_read(ssl_, room, int(roomSize));
      if (n > 0) {
        inEnd_ += size_t(n);
        continue;
      }
      int e = SSL_get_error(ssl_, n);
      if (e == SSL_ERROR_WANT_READ) break;
      if (e == SSL_ERROR_WANT_WRITE) {
        sslReadWantsWrite_ = true;
        break;
      }
      if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && errno == 0)) {
        ERR_clear_error();
        eof_ = true;
        break;
      }
      failTls("TLS read failed", e);
      return;
    }
  }

  // Takes the TLS handshake as far as the socket allows; true once it is done (or no TLS was
  // asked for), false while it waits or after it failed.
  bool stepHandshake() {
    if (tlsRequested_ && !ssl_) {
      // Plain bytes written before TLS was asked for go first; then the handshake starts.
      if (plainBeforeTls_ > 0) flushPlain(plainBeforeTls_);
      if (phase_ != Phase::Connected || plainBeforeTls_ > 0) return false;
      beginTls();
      if (phase_ != Phase::Connected) return false;
    }
    if (ssl_ && !tlsDone_) {
      ERR_clear_error();
      errno = 0;
      int r = SSL_do_handshake(ssl_);
      if (r == 1) {
        tlsDone_ = true;
        sessionReused_ = SSL_session_reused(ssl_) == 1;
        handshakeWantsWrite_ = false;
      } else {
        int e = SSL_get_error(ssl_, r);
        if (e == SSL_ERROR_WANT_READ) {
          handshakeWantsWrite_ = false;
        } else if (e == SSL_ERROR_WANT_WRITE) {
          handshakeWantsWrite_ = true;
        } else {
          failTls("TLS handshake failed", e);
        }
        return false;
      }
    }
    return true;
  }

  void doIo() {
    if (phase_ == Phase::Connecting) checkConnect();
    if (phase_ != Phase::Connected) return;
    if (!stepHandshake()) return;
    flushOut();
    if (phase_ != Phase::Connected) return;
    if (!(tlsRequested_ && !ssl_)) readAhead();
  }

  // Which readiness of the socket the loop must watch now.
  unsigned wantedFdEvents() const {
    if (fd_ < 0) return 0;
    if (phase_ == Phase::Connecting) return unsigned(FdEvent::Write);
    if (lingering_) {
      if (phase_ != Phase::Connected) return 0;
      if (tlsRequested_ && !ssl_) return unsigned(FdEvent::Write);
      if (handshaking())
        return handshakeWantsWrite_ ? unsigned(FdEvent::Write) : unsigned(FdEvent::Read);
      unsigned m = 0;
      if (pendingOut() > 0 || shutdownWantsWrite_) m |= unsigned(FdEvent::Write);
      if (sslWriteWantsRead_ || writeShut_) m |= unsigned(FdEvent::Read);
      return m;
    }
    if (phase_ != Phase::Connected) return 0;
    if (tlsRequested_ && !ssl_) return pendingOut() > 0 ? unsigned(FdEvent::Write) : 0u;
    if (handshaking())
      return handshakeWantsWrite_ ? unsigned(FdEvent::Write) : unsigned(FdEvent::Read);
    unsigned m = 0;
    if (!eof_ && bufferedIn() < kReadAheadLimit) m |= unsigned(FdEvent::Read);
    if (sslWriteWantsRead_) m |= unsigned(FdEvent::Read);
    if (pendingOut() > 0 || sslReadWantsWrite_ || fileWriteBlocked_) m |= unsigned(FdEvent::Write);
    return m;
  }

  void collectEvents(std::vector<Delivery> &out) {
    for (int s = 0; s < 2; ++s) {
      Side &sd = side_[s];
      if (!sd.opened || sd.closed || !sd.alive || !sd.loop) continue;
      auto push = [&](StreamEvent ev) {
        if (sd.callback && (sd.mask & ev)) out.push_back({s, ev, sd.generation, sd.loop});
      };
      if (connectedOnce_ && !sd.openDelivered) {
        sd.openDelivered = true;
        push(StreamEventOpenCompleted);
      }
      if (phase_ == Phase::Failed) {
        if (!sd.errorDelivered) {
          sd.errorDelivered = true;
          push(StreamEventErrorOccurred);
        }
        continue;
      }
      if (phase_ != Phase::Connected) continue;
      if (s == 0) {
        if (!sd.armed || handshaking()) continue;
        if (bufferedIn() > 0) {
          sd.armed = false;
          push(StreamEventHasBytesAvailable);
        } else if (eof_ && !sd.endDelivered) {
          sd.armed = false;
          sd.endDelivered = true;
          push(StreamEventEndEncountered);
        }
      } else {
        if (!sd.armed || handshaking() || (tlsRequested_ && !ssl_) || fileWriteBlocked_) continue;
        if (pendingOut() < kWriteBufferLimit) {
          sd.armed = false;
          push(StreamEventCanAcceptBytes);
        }
      }
    }
  }

  void refreshIoLoop() {
    std::shared_ptr<RunLoop> loop;
    for (auto &sd : side_)
      if (!loop && sd.loop) loop = sd.loop;
    if (lingering_ && !loop) loop = lastLoop_;
    if (loop == ioLoop_) return;
    ioLoop_ = loop;
    if (ioLoop_) lastLoop_ = ioLoop_;
    if (!ioLoop_ && source_ && sourceLoop_ && sourceLoop_->isCurrent()) {
      // Unscheduled on the loop's thread: the watch is quieted there and then, not given up,
      // since the usual next step is closing, and a gentle close watches the socket again on
      // that same loop. (From another thread it is given up: a quieting queued behind a later
      // change of the watch would silence it.)
      source_->setEvents(0);
      watched_ = 0;
      return;
    }
    if (source_ && sourceLoop_ != ioLoop_) removeSource();
  }

  void postPump() {
    if (!ioLoop_ || pumpPosted_) return;
    pumpPosted_ = true;
    std::weak_ptr<SocketCore> weak = weak_from_this();
    ioLoop_->perform([weak] {
      if (auto core = weak.lock()) core->pump();
    });
  }

  void updateWatch() {
    if (!ioLoop_ || !ioLoop_->isCurrent()) return;
    unsigned wanted = wantedFdEvents();
    if (fd_ < 0 || (phase_ != Phase::Connected && phase_ != Phase::Connecting)) {
      removeSource();
      return;
    }
    if (!source_) {
      if (wanted == 0) return; // nothing to wait for (yet)
      std::weak_ptr<SocketCore> weak = weak_from_this();
      source_ = ioLoop_->addFdSource(fd_, wanted, [weak](unsigned ready) {
        if (auto core = weak.lock()) core->pump(ready);
      });
      sourceLoop_ = ioLoop_;
      watched_ = wanted;
      return;
    }
    if (wanted != watched_) {
      source_->setEvents(wanted);
      watched_ = wanted;
    }
  }

  // The connection ends once both streams are closed or gone. It ends gently when a loop is there
  // to finish the work: bytes still waiting go out, then (under TLS) a close_notify and our FIN;
  // what the peer still sends is read and dropped until it closes too. Closing a socket with
  // unread bytes would reset the connection, and a reset can destroy our last bytes on their way.
  void maybeFinish(std::shared_ptr<SocketCore> &keep) {
    if (phase_ == Phase::Finished || lingering_) return;
    for (auto &sd : side_)
      if (!sd.closed && sd.alive) return;
    // Bytes written while the handshake was still going count as sent: the handshake is
    // finished for them (bounded by the linger limit as the rest).
    if (!lingering_ && phase_ == Phase::Connected && (!handshaking() || pendingOut() > 0) &&
        fd_ >= 0 && ownsFd_ && (ioLoop_ || lastLoop_)) {
      lingering_ = true;
      refreshIoLoop();
      // On the loop's own thread a plain connection's gentle close begins at once, and it often
      // ends at once too (the peer closed first). TLS keeps its turn: its close_notify goes out
      // from the loop, as ever.
      const bool here = ioLoop_->isCurrent() && !tlsRequested_;
      bool shutNow = false;
      if (here && lingerIo(&shutNow)) {
        finalClose(keep);
        return;
      }
      self_ = shared_from_this();
      std::weak_ptr<SocketCore> weak = weak_from_this();
      lingerTimer_ = ioLoop_->performAfter(kLingerLimit, [weak] {
        if (auto core = weak.lock()) core->endLinger();
      });
      // The peer is given a turn of the loop to see our end and close in turn before it is
      // looked for: usually it has closed by then, and no watch is needed.
      if (here && !shutNow)
        updateWatch();
      else
        postPump();
      return;
    }
    finalClose(keep);
  }

  // One step of a gentle close; true once nothing is left to wait for. With `pauseAfterShut`,
  // the step that ends our side returns right after it (false; *pauseAfterShut tells).
  bool lingerIo(bool *pauseAfterShut = nullptr) {
    if (!stepHandshake()) return phase_ != Phase::Connected;
    flushOut();
    if (phase_ != Phase::Connected) return true;
    if (pendingOut() > 0) return false;
    const bool tls = ssl_ && tlsDone_;
    if (!writeShut_) {
      if (tls && !closeNotifySent_) {
        ERR_clear_error();
        const int r = SSL_shutdown(ssl_); // our close_notify
        if (r < 0 && SSL_get_error(ssl_, r) == SSL_ERROR_WANT_WRITE) {
          // The socket is full: the alert goes once it has room, before our end (a peer that
          // sees the end without it takes the connection for cut).
          shutdownWantsWrite_ = true;
          return false;
        }
        shutdownWantsWrite_ = false;
        closeNotifySent_ = true;
      }
      ::shutdown(fd_, SHUT_WR);
      writeShut_ = true;
      if (pauseAfterShut) {
        *pauseAfterShut = true;
        return false;
      }
    }
    if (tls && !tlsReadEnded_) {
      // What the peer still sends is read through TLS until its close_notify or its end: a
      // server hands out a session ticket on each connection, often only after the first bytes
      // went both ways, and an upload that closes at once would otherwise drop it unread. The
      // next connection to the server needs it.
      uint8_t sink[4096];
      for (;;) {
        ERR_clear_error();
        errno = 0;
        const int n = SSL_read(ssl_, sink, int(sizeof sink));
        if (n > 0) continue;
        if (SSL_get_error(ssl_, n) == SSL_ERROR_WANT_READ) return false;
        ERR_clear_error();
        tlsReadEnded_ = true; // close_notify, the end, or a failure: nothing more comes
        break;
      }
    }
    char sink[4096];
    for (;;) {
      ssize_t n = ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
      if (n > 0) continue;
      if (n < 0 && errno == EINTR) continue;
      return !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    }
  }

  void endLinger() {
    std::shared_ptr<SocketCore> keep;
    std::lock_guard lock(mutex_);
    finalClose(keep);
  }

  void finalClose(std::shared_ptr<SocketCore> &keep) {
    if (phase_ == Phase::Finished) return;
    if (ssl_ && tlsDone_ && phase_ == Phase::Connected && !closeNotifySent_) {
      ERR_clear_error();
      SSL_shutdown(ssl_); // close_notify, best effort: the socket does not wait for an answer
    }
    if (ssl_) {
      SSL_free(ssl_);
      ssl_ = nullptr;
    }
    phase_ = Phase::Finished;
    if (lingerTimer_) lingerTimer_->invalidate();
    lingerTimer_.reset();
    dropFd();
    lingering_ = false;
    keep = std::move(self_); // released by the caller once the lock is gone
  }

public:
  // readyEvents: what the socket is ready for, when the loop's watch of it calls.
  void pump(unsigned readyEvents = 0) {
    std::vector<Delivery> deliveries;
    std::shared_ptr<SocketCore> keep;
    {
      std::lock_guard lock(mutex_);
      pumpPosted_ = false;
      if (readyEvents & unsigned(FdEvent::Write)) fileWriteBlocked_ = false;
      if (phase_ == Phase::Finished) return;
      if (lingering_) {
        if (lingerIo()) {
          finalClose(keep);
          return;
        }
      } else {
        doIo();
        collectEvents(deliveries);
      }
      // With events to hand out, the watch is set once they are handled: a peer served within
      // this turn (a request answered and the connection closed) needs no watch at all.
      if (deliveries.empty()) updateWatch();
    }
    if (deliveries.empty()) return;
    for (auto &d : deliveries)
      deliver(d);
    std::lock_guard lock(mutex_);
    if (phase_ != Phase::Finished) updateWatch();
  }

private:
  void deliver(const Delivery &d) {
    if (d.loop->isCurrent()) {
      invoke(d.side, d.event, d.generation);
      return;
    }
    std::weak_ptr<SocketCore> weak = weak_from_this();
    d.loop->perform([weak, d] {
      if (auto core = weak.lock()) core->invoke(d.side, d.event, d.generation);
    });
  }

  void invoke(int s, StreamEvent ev, uint64_t generation) {
    StreamClientCallback cb;
    {
      std::lock_guard lock(mutex_);
      Side &sd = side_[s];
      if (sd.closed || !sd.alive || sd.generation != generation || !(sd.mask & ev)) return;
      cb = sd.callback;
    }
    if (cb) cb(ev);
  }

  mutable std::mutex mutex_;
  std::string host_;
  uint16_t port_ = 0;
  int fd_ = -1;
  bool ownsFd_ = true;
  bool native_ = false;
  Phase phase_ = Phase::Idle;
  bool connectedOnce_ = false;
  bool asyncStarted_ = false;
  std::vector<Address> addresses_;
  size_t nextAddress_ = 0;
  StreamError error_;

  bool tlsRequested_ = false;
  TlsSettings tls_;
  SSL *ssl_ = nullptr;
  bool tlsDone_ = false;
  bool sessionReused_ = false;
  bool handshakeWantsWrite_ = false;
  bool sslWriteWantsRead_ = false;
  bool sslReadWantsWrite_ = false;
  bool writeBlocked_ = false;
  // A sendFile() found the socket full: the can-accept event waits until it can take bytes.
  bool fileWriteBlocked_ = false;
  // The owner said that the bytes written last are the last ones: the close follows them.
  bool endFollows_ = false;
  size_t plainBeforeTls_ = 0;

  std::unique_ptr<uint8_t[]> in_; // read-ahead: bytes inPos_ to inEnd_ wait to be read
  size_t inPos_ = 0;
  size_t inEnd_ = 0;
  size_t inCapacity_ = 0;
  bool eof_ = false;
  std::vector<uint8_t> out_;
  size_t outPos_ = 0;

  Side side_[2];
  std::shared_ptr<RunLoop> ioLoop_;
  std::shared_ptr<RunLoop> lastLoop_;
  FdSourceRef source_;
  std::shared_ptr<RunLoop> sourceLoop_;
  unsigned watched_ = ~0u;
  // A watch of the socket was given up from outside the loop's thread: the loop may not have
  // dropped it yet.
  bool removalQueued_ = false;
  bool pumpPosted_ = false;

  bool lingering_ = false;
  bool writeShut_ = false;
  // A gentle close under TLS: our close_notify is out (or waits for room in the socket), and
  // the peer's last records have been read.
  bool closeNotifySent_ = false;
  bool shutdownWantsWrite_ = false;
  bool tlsReadEnded_ = false;
  std::shared_ptr<SocketCore> self_;
  TimerRef lingerTimer_;
};

namespace {
int onNewSession(SSL *ssl, SSL_SESSION *session) {
  auto *core = static_cast<SocketCore *>(SSL_get_ex_data(ssl, sslCoreIndex()));
  return core && core->takeSession(session) ? 1 : 0;
}
} // namespace

} // namespace detail

// ---------------------------------------------------------------------------------------------
// The streams

SocketStream::SocketStream(std::shared_ptr<detail::SocketCore> core, int side)
    : core_(std::move(core)), side_(side) {}
SocketStream::~SocketStream() = default;

bool SocketStream::setClient(unsigned eventMask, StreamClientCallback callback) {
  return core_->setClient(side_, eventMask, std::move(callback));
}
void SocketStream::scheduleWithRunLoop(std::shared_ptr<RunLoop> loop) {
  if (loop) core_->schedule(side_, std::move(loop));
}
void SocketStream::unscheduleFromRunLoop() {
  core_->unschedule(side_);
}
bool SocketStream::setTlsSettings(const TlsSettings &settings) {
  return core_->setTls(settings);
}
bool SocketStream::isTlsRequested() const {
  return core_->tlsRequested();
}
bool SocketStream::isTlsEstablished() const {
  return core_->tlsEstablished();
}
bool SocketStream::tlsSessionReused() const {
  return core_->sessionReused();
}
std::string SocketStream::tlsProtocolVersion() const {
  return core_->protocolVersion();
}
std::vector<PeerCertificate> SocketStream::peerCertificates() const {
  return core_->peerCertificates();
}
int SocketStream::nativeSocket() const {
  return core_->nativeSocket();
}

SocketInputStream::SocketInputStream(std::shared_ptr<detail::SocketCore> core)
    : SocketStream(std::move(core), 0) {}
SocketInputStream::~SocketInputStream() {
  core_->close(side_, true);
}
bool SocketInputStream::open() {
  return core_->open(side_);
}
void SocketInputStream::close() {
  core_->close(side_, false);
}
StreamStatus SocketInputStream::status() const {
  return core_->status(side_);
}
StreamError SocketInputStream::error() const {
  return core_->error();
}
long SocketInputStream::read(uint8_t *buffer, size_t maxLength) {
  return core_->read(buffer, maxLength);
}
bool SocketInputStream::hasBytesAvailable() const {
  return core_->hasBytesAvailable();
}

SocketOutputStream::SocketOutputStream(std::shared_ptr<detail::SocketCore> core)
    : SocketStream(std::move(core), 1) {}
SocketOutputStream::~SocketOutputStream() {
  core_->close(side_, true);
}
bool SocketOutputStream::open() {
  return core_->open(side_);
}
void SocketOutputStream::close() {
  core_->close(side_, false);
}
StreamStatus SocketOutputStream::status() const {
  return core_->status(side_);
}
StreamError SocketOutputStream::error() const {
  return core_->error();
}
long SocketOutputStream::write(const uint8_t *buffer, size_t length) {
  return core_->write(buffer, length);
}
long SocketOutputStream::writeLast(const uint8_t *buffer, size_t length) {
  return core_->write(buffer, length, true);
}
bool SocketOutputStream::hasSpaceAvailable() const {
  return core_->hasSpaceAvailable();
}
long SocketOutputStream::sendFile(int fileDescriptor, int64_t offset, size_t length) {
  return core_->sendFile(fileDescriptor, offset, length);
}

SocketStreamPair createSocketStreamPair(const std::string &host, uint16_t port) {
  auto core = std::make_shared<detail::SocketCore>(host, port);
  return {std::make_shared<SocketInputStream>(core), std::make_shared<SocketOutputStream>(core)};
}

SocketStreamPair createSocketStreamPairWithNativeSocket(int nativeSocket, bool closeNativeSocket,
                                                        bool nonBlocking) {
  if (nativeSocket < 0) return {};
  if (!nonBlocking) {
    // One look tells both whether the socket is valid and whether it must be made non-blocking.
    const int flags = fcntl(nativeSocket, F_GETFL, 0);
    if (flags < 0) return {};
    if (!(flags & O_NONBLOCK)) fcntl(nativeSocket, F_SETFL, flags | O_NONBLOCK);
  }
  auto core = std::make_shared<detail::SocketCore>(nativeSocket, closeNativeSocket);
  return {std::make_shared<SocketInputStream>(core), std::make_shared<SocketOutputStream>(core)};
}

} // namespace platform::net
