// A TCP connection seen as a pair of streams, the way the application's network code expects it:
// a read stream and a write stream on one socket, each with a client callback for a mask of
// events, scheduled on a run loop, read and written without ever blocking. TLS (OpenSSL) can be
// turned on from the start (implicit TLS) or in band on a live, open pair (an upgrade after a
// plain-text exchange), and a TLS session can be handed on from one connection to the next.
//
// Life of a pair:
//   auto pair = createSocketStreamPair("ftp.example.org", 21);   // or from an accepted socket
//   pair.input->setClient(mask, callback);  pair.output->setClient(mask, callback);
//   pair.input->scheduleWithRunLoop(loop);  pair.output->scheduleWithRunLoop(loop);
//   pair.input->open();  pair.output->open();
//   ... events arrive on `loop`: OpenCompleted (connected), HasBytesAvailable, CanAcceptBytes,
//       ErrorOccurred, EndEncountered ...
//   pair.input->close();  pair.output->close();   // the socket closes when both sides are closed
//
// Event rules:
// - OpenCompleted: once per stream, when the TCP connection stands (for a pair made from an
//   accepted socket, right after open()). With TLS it does not wait for the handshake.
// - HasBytesAvailable: when bytes can be read. It is delivered once and then again only after the
//   client called read() (so a client that reads later, on another thread, is not flooded); while
//   bytes remain after a read it comes again.
// - CanAcceptBytes: when write() would take bytes. Delivered once, then again after write().
// - EndEncountered (read stream): the peer finished and every byte has been read. read() returns 0
//   from then on and status() is AtEnd.
// - ErrorOccurred: the connection failed (refused, reset, name unknown, TLS handshake failed, ...),
//   delivered to both streams; error() has the reason; read() and write() return -1.
// Events outside a stream's mask are not delivered. A closed or unscheduled stream gets none.
//
// Threads: events arrive on the run loop the stream is scheduled on. read(), write(), close() and
// the queries may be called from any thread; callbacks run without any lock of the pair held, so
// a callback may read, write, close or post to other threads freely.
//
// Writes are copied into a bounded buffer (64 KiB) and sent as the socket takes them; write()
// returns a short count or 0 when the buffer is full, which is the back-pressure a sender sees.
// Closing the write stream still sends what it took (for up to 30 s), then (under TLS) a
// close_notify; what the peer still sends is read (under TLS up to its close_notify, taking in
// the session tickets among it) and dropped, and the socket closes once the peer has ended too,
// within those 30 s. Reads are served from a bounded read-ahead buffer.
#pragma once

#include "platform/foundation/RunLoop.h"
#include "platform/net/Stream.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::net {

namespace detail {
class SocketCore;
}

// The TLS sessions one server has given us, shared between the connections to it: a connection
// whose settings name the cache resumes a session from it and stores the sessions it is given.
// Servers such as vsftpd refuse a data connection that does not resume a session of theirs, so
// the control connection and every data connection of one login share one cache. Each connection
// is offered the newest TLS 1.3 session (ticket) not offered before (servers may accept each
// ticket once), and the tickets each connection receives, up to its close, refill the cache; when
// none is left unoffered, the newest is offered again rather than none. A TLS 1.2 session is
// resumed as often as the server allows. Thread-safe.
class TlsSessionCache {
public:
  TlsSessionCache();
  ~TlsSessionCache();
  TlsSessionCache(const TlsSessionCache &) = delete;
  TlsSessionCache &operator=(const TlsSessionCache &) = delete;

  bool hasSession() const;
  void clear();

private:
  friend class detail::SocketCore;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// TLS as the application's FTP client asks for it, and only that: the protocol version is
// negotiated (TLS 1.0 and later, the highest both sides speak, at OpenSSL security level 0 so old
// servers still connect); expired certificates and expired roots are allowed, any root is
// accepted and the chain is not validated. A peer that ends a TLS connection without close_notify
// ends the stream normally (many FTP servers do so on data connections).
struct TlsSettings {
  // Server name sent in the handshake (SNI). Empty: the host the pair was made for, when that is a
  // name and not an address.
  std::string peerName;
  // Sessions to resume from and to store in; none means a fresh session every time.
  std::shared_ptr<TlsSessionCache> sessionCache;
  // Whether sessions this connection obtains go into sessionCache. Leave it on for the control
  // connection and for data connections alike (TLS 1.3 tickets are best used once each).
  bool storesSessions = true;
};

// One certificate of the peer's chain, for the transfer log.
struct PeerCertificate {
  std::string subjectSummary; // the common name, else the whole subject
  std::string subject;        // the whole subject, one line ("CN=x, O=y")
  int publicKeyBits = 0;      // size of the public key in bits (RSA: modulus size)
};

using StreamClientCallback = std::function<void(StreamEvent event)>;

// What both streams of a pair offer besides reading or writing. Settings made through one stream
// (TLS) apply to the pair.
class SocketStream {
public:
  virtual ~SocketStream();

  // Sets the callback for the events in eventMask (StreamEvent bits), replacing any earlier one.
  // An empty callback or a mask of 0 removes it. Returns true.
  bool setClient(unsigned eventMask, StreamClientCallback callback);
  // Events of this stream are delivered on `loop` from now on. A pair's two streams are normally
  // scheduled on the same loop; the socket is watched on the loop of the first one scheduled.
  void scheduleWithRunLoop(std::shared_ptr<RunLoop> loop);
  void unscheduleFromRunLoop();

  // Turns TLS on for the pair. Before the connection stands (or before open): the handshake runs
  // as soon as it does (implicit TLS). On a live, open pair: the handshake starts now, in band;
  // bytes read before it stay readable, bytes written from now on go out encrypted (written while
  // the handshake runs, they wait for it), and byte events continue after it. A failed handshake
  // is an ErrorOccurred event on both streams. Giving the settings to the pair's other stream as
  // well changes nothing (the first settings stay) and returns true. Returns false when the pair
  // has failed or closed.
  bool setTlsSettings(const TlsSettings &settings);
  bool isTlsRequested() const;
  // True once the handshake finished.
  bool isTlsEstablished() const;
  // True when the handshake resumed a session from the cache.
  bool tlsSessionReused() const;
  // The negotiated protocol ("TLSv1.3"), empty before the handshake.
  std::string tlsProtocolVersion() const;
  // The peer's certificate chain, leaf first; empty without TLS or before the handshake.
  std::vector<PeerCertificate> peerCertificates() const;

  // The native socket (for getsockname: the local address of the connection), -1 when none.
  int nativeSocket() const;

protected:
  SocketStream(std::shared_ptr<detail::SocketCore> core, int side);
  std::shared_ptr<detail::SocketCore> core_;
  int side_;
};

class SocketInputStream final : public InputStream, public SocketStream {
public:
  SocketInputStream(std::shared_ptr<detail::SocketCore> core);
  ~SocketInputStream() override;
  bool open() override;
  void close() override;
  StreamStatus status() const override;
  StreamError error() const override;
  long read(uint8_t *buffer, size_t maxLength) override;
  bool hasBytesAvailable() const override;
};

class SocketOutputStream final : public OutputStream, public SocketStream {
public:
  SocketOutputStream(std::shared_ptr<detail::SocketCore> core);
  ~SocketOutputStream() override;
  bool open() override;
  void close() override;
  StreamStatus status() const override;
  StreamError error() const override;
  long write(const uint8_t *buffer, size_t length) override;
  // write() for the last bytes of the connection: the caller closes the stream once they are all
  // taken and writes nothing else. The bytes then wait in the system for the close and go out
  // with the end of the connection (one packet for a short reply, not two). A write() after it
  // sends at once again.
  long writeLast(const uint8_t *buffer, size_t length);
  bool hasSpaceAvailable() const override;

  // sendFile() cannot move these bytes: the pair speaks TLS, the file ended before the length
  // asked for, or the kernel cannot send from it. write() them instead.
  static constexpr long kCopyInstead = -2;
  // Sends up to `length` bytes of an open file from `offset` without copying them through this
  // process (the kernel's sendfile), after whatever write() took before. Returns the count sent
  // (the caller keeps the offset), 0 when the socket has no room now (CanAcceptBytes follows when
  // it has), kCopyInstead, or -1 on error or when not open. Events as after write().
  long sendFile(int fileDescriptor, int64_t offset, size_t length);
};

struct SocketStreamPair {
  std::shared_ptr<SocketInputStream> input;
  std::shared_ptr<SocketOutputStream> output;
  explicit operator bool() const { return input && output; }
};

// A pair that connects to host (a name, an IPv4 or an IPv6 address) at port when opened. Names are
// resolved off the run loop; every address is tried in turn.
SocketStreamPair createSocketStreamPair(const std::string &host, uint16_t port);

// A pair on a connected native socket (an accepted connection). With closeNativeSocket the socket
// is closed when both streams are closed (or destroyed); otherwise the caller keeps it. An invalid
// socket gives an empty pair. `nonBlocking`: the caller knows the socket is valid and
// non-blocking already (ListeningSocket accepts so), and it is not looked at again.
SocketStreamPair createSocketStreamPairWithNativeSocket(int nativeSocket,
                                                        bool closeNativeSocket = true,
                                                        bool nonBlocking = false);

} // namespace platform::net
